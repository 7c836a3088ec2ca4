// A reminder fired by a real `talmo serve` process and delivered to a fake
// bridge over loopback, across a SIGKILL and a restart. This runs against the
// wall clock by nature (a job due in seconds); every wait is bounded.
#include "integration.hpp"

#include "app/runner.hpp"
#include "core/schedules/trigger.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

namespace talmo::integration {
namespace {

using namespace std::chrono_literals;

const char* const REMINDER = "Time to stretch, Boss.";

int free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

// "YYYY-MM-DD HH:MM:SS" in UTC, `ahead` from now, rounded up to a second.
std::string utc_in(std::chrono::seconds ahead) {
  const auto t = std::chrono::ceil<std::chrono::seconds>(std::chrono::system_clock::now()) + ahead;
  return schedules::format_instant(t, date::locate_zone("UTC"));
}

// One `talmo serve` child process; stderr goes to a file shown on failure.
class Talmo {
 public:
  Talmo(const fs::path& home, std::vector<std::string> env) : log_(home / "talmo.log") {
    // Everything the child needs is built before fork: other threads run here.
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    char arg0[] = TALMO_BINARY, arg1[] = "serve";
    char* argv[] = {arg0, arg1, nullptr};
    const std::string log_path = log_.string();
    pid_ = ::fork();
    if (pid_ == 0) {
      const int fd = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      ::dup2(fd, 2);
      ::dup2(fd, 1);
      ::execve(arg0, argv, envp.data());
      ::_exit(127);
    }
  }
  ~Talmo() { stop(SIGKILL); }

  // Signals the process and waits for it; its exit status, or -1.
  int stop(int signal) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, signal);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string log() const {
    std::ifstream in(log_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

 private:
  fs::path log_;
  pid_t pid_ = -1;
};

class SchedulerIntegration : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(home_.path / "data");
    bridge_.reply("POST", "/send", 200, R"({"status": "sent"})");
    bridge_.reply("POST", "/presence", 200, R"({"status": "ok"})");
    port_ = free_port();
  }
  void TearDown() override {
    if (HasFailure() && talmo_) std::cerr << "--- talmo log ---\n" << talmo_->log();
    talmo_.reset();
  }

  void start_talmo() {
    talmo_.reset();
    talmo_ = std::make_unique<Talmo>(
        home_.path, std::vector<std::string>{
                   "PATH=/usr/bin:/bin", "HOME=" + home_.path.string(),
                   "TALMO_HOME=" + home_.path.string(),
                   "TALMO_CONFIG=" + (home_.path / "config.toml").string(),
                   std::string("MASTER_NUMBER=") + OWNER, "BRIDGE_URL=" + bridge_.url(),
                   "GROQ_BASE_URL=" + groq_.url(), "GROQ_API_KEYS=gsk_test",
                   "TALMO_PORT=" + std::to_string(port_),
                   "TALMO_DATA_DIR=" + (home_.path / "data").string(), "TALMO_TIMEZONE=UTC",
                   "TALMO_LOG_LEVEL=debug"});
    httplib::Client client("127.0.0.1", port_);
    client.set_connection_timeout(0, 200000);
    for (int i = 0; i < 100; ++i) {
      if (auto res = client.Get("/healthz"); res && res->status == 200) return;
      std::this_thread::sleep_for(100ms);
    }
    FAIL() << "talmo serve did not come up";
  }

  // Texts the bridge was asked to send to the owner, in order.
  std::vector<std::string> sent_texts() const {
    std::vector<std::string> out;
    for (const auto& r : bridge_.requests_to("/send")) {
      const json body = json::parse(r.body);
      EXPECT_EQ(body["to"], std::string(OWNER) + "@s.whatsapp.net");
      out.push_back(body["text"].get<std::string>());
    }
    return out;
  }
  std::size_t reminders_sent() const {
    const auto texts = sent_texts();
    return static_cast<std::size_t>(std::count(texts.begin(), texts.end(), REMINDER));
  }
  // Waits (bounded) until the reminder has reached the bridge.
  bool wait_for_reminder(std::chrono::seconds timeout) const {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
      if (reminders_sent() > 0) return true;
      bridge_.wait_for(bridge_.requests_to("/send").size() + 1, "/send", 200ms);
    }
    return reminders_sent() > 0;
  }

  TempFolder home_;
  testing::FakeServer bridge_;
  testing::FakeServer groq_;
  int port_ = 0;
  std::unique_ptr<Talmo> talmo_;
};

// The whole road: the owner asks, the (fake) model adds the job, the server
// is killed with SIGKILL before the job's time and restarted, and the
// reminder still arrives, once.
TEST_F(SchedulerIntegration, ReminderFromAConversationSurvivesAKilledServer) {
  std::atomic<int> calls{0};
  groq_.on("POST", "/chat/completions", [&](const testing::RecordedRequest&, httplib::Response& res) {
    json content;
    if (calls++ == 0) {
      content = {{"thought", "a reminder"}, {"module", "schedules"}, {"response", ""}};
    } else {
      const json add = {{"title", "Stretch"},
                        {"mode", "direct"},
                        {"fixed_content", REMINDER},
                        {"trigger_type", "date"},
                        {"trigger_args", {{"run_date", utc_in(6s)}}}};
      content = {{"thought", "add it"},
                 {"reply", "Done, Boss."},
                 {"status", "done"},
                 {"actions", json::array({{{"module", "schedules"}, {"command", "add"}, {"args", add}}})},
                 {"context_cache", json::object()}};
    }
    res.set_content(chat_completion(content.dump()).dump(), "application/json");
  });

  start_talmo();
  httplib::Client client("127.0.0.1", port_);
  const json message = {{"sender", OWNER}, {"message", "remind me in 2 minutes to stretch"}};
  auto res = client.Post("/whatsapp/incoming/text", message.dump(), "application/json");
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200);

  // The confirmation comes after the job is stored.
  const auto until = std::chrono::steady_clock::now() + 15s;
  while (std::chrono::steady_clock::now() < until) {
    const auto texts = sent_texts();
    if (std::find(texts.begin(), texts.end(), "Done, Boss.") != texts.end()) break;
    bridge_.wait_for(bridge_.requests_to("/send").size() + 1, "/send", 200ms);
  }
  ASSERT_EQ(sent_texts(), std::vector<std::string>{"Done, Boss."});
  // Killed once the conversation has ended and its reply is marked sent
  // (killed earlier, it would count as interrupted, or the reply go twice).
  for (int i = 0; i < 200 && unfinished_rows(home_.path / "data" / "talmo.db") > 0; ++i)
    std::this_thread::sleep_for(10ms);
  ASSERT_EQ(unfinished_rows(home_.path / "data" / "talmo.db"), 0);
  talmo_->stop(SIGKILL);

  start_talmo();
  ASSERT_TRUE(wait_for_reminder(20s));
  EXPECT_EQ(talmo_->stop(SIGTERM), 0);
  EXPECT_EQ(sent_texts(), (std::vector<std::string>{"Done, Boss.", REMINDER}));
  EXPECT_EQ(calls.load(), 2);
}


// The model echoes the owner's latest message, so each reply names its message.
void echo_chat(testing::FakeServer& groq) {
  groq.on("POST", "/chat/completions", [](const testing::RecordedRequest& req, httplib::Response& res) {
    const json body = json::parse(req.body);
    const std::string last = body["messages"].back()["content"];
    const json route = {{"thought", "chat"}, {"module", nullptr}, {"response", "re: " + last}};
    res.set_content(chat_completion(route.dump()).dump(), "application/json");
  });
}

// A burst of owner messages, the server killed with SIGKILL in the middle of
// it, a restart: every message answered "received" is handled, either
// answered or (when it had begun) named in the interruption notice; none is
// lost and none is answered twice.
TEST_F(SchedulerIntegration, EveryReceivedMessageIsHandledAcrossAKill) {
  echo_chat(groq_);
  start_talmo();
  std::vector<std::string> received;
  std::atomic<bool> killed{false};
  std::thread burst([&] {
    httplib::Client client("127.0.0.1", port_);
    client.set_connection_timeout(1);
    for (int i = 0; i < 150 && !killed; ++i) {
      const std::string text = "message " + std::to_string(i);
      auto res = client.Post("/whatsapp/incoming/text", json({{"sender", OWNER}, {"message", text}}).dump(),
                             "application/json");
      if (res && res->status == 200 && json::parse(res->body) == json({{"status", "received"}}))
        received.push_back(text);
    }
  });
  // Killed while messages are arriving and others are being handled.
  ASSERT_TRUE(bridge_.wait_for(20, "/send", 20s));
  talmo_->stop(SIGKILL);
  killed = true;
  burst.join();
  ASSERT_GE(received.size(), 20u);

  start_talmo();
  const auto handled = [&](const std::string& text) {
    const auto texts = sent_texts();
    const auto answers = std::count(texts.begin(), texts.end(), "re: " + text);
    const auto notices = std::count(texts.begin(), texts.end(), app::interrupted_notice(text));
    return std::pair<long, long>(answers, notices);
  };
  const auto until = std::chrono::steady_clock::now() + 30s;
  while (std::chrono::steady_clock::now() < until) {
    const auto [answers, notices] = handled(received.back());
    if (answers + notices > 0) break;
    bridge_.wait_for(bridge_.requests_to("/send").size() + 1, "/send", 200ms);
  }
  EXPECT_EQ(talmo_->stop(SIGTERM), 0);
  // Only the conversation running at the kill may have both answered and
  // been noticed (killed after its reply, before its end was recorded), and
  // only the reply in flight at the kill may go out twice (the bridge took
  // it, the kill came before it was marked sent).
  int both = 0, twice = 0;
  for (const std::string& text : received) {
    const auto [answers, notices] = handled(text);
    EXPECT_LE(answers, 2) << text;
    EXPECT_LE(notices, 1) << text;
    EXPECT_GE(answers + notices, 1) << text << " was lost";
    both += answers > 0 && notices > 0;
    twice += answers > 1;
  }
  EXPECT_LE(both, 1);
  EXPECT_LE(twice, 1);
}

}  // namespace
}  // namespace talmo::integration
