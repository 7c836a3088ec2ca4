// The built `talmo` executable as a separate process: command line, start-up
// from environment configuration, and a clean stop on SIGTERM.
#include "child.hpp"

#include "app/runner.hpp"
#include "testing/socket.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iostream>
#include <mutex>

namespace talmo::integration {
namespace {

// A bridge that takes every text and typing indicator.
void answer_sends(testing::FakeServer& bridge) {
  bridge.reply("POST", "/send", 200, R"({"status": "sent"})");
  bridge.reply("POST", "/presence", 200, R"({"status": "ok"})");
}

// `talmo serve` for the owner on `port`, its data under `home`, talking to
// the given bridge and model.
std::vector<std::string> serve_env(const TempFolder& home, int port, const std::string& bridge_url,
                                   const std::string& groq_url) {
  auto env = base_env(home);
  env.push_back(std::string("MASTER_NUMBER=") + MASTER);
  env.push_back("TALMO_PORT=" + std::to_string(port));
  env.push_back("TALMO_DATA_DIR=" + (home.path / "data").string());
  env.push_back("BRIDGE_URL=" + bridge_url);
  env.push_back("GROQ_BASE_URL=" + groq_url);
  return env;
}

TEST(TalmoBinary, ServesUntilSigtermThenExitsCleanly) {
  TempFolder home;
  testing::FakeServer bridge;
  answer_sends(bridge);
  const int port = free_port();
  auto env = serve_env(home, port, bridge.url(), "http://127.0.0.1:9");

  Child talmo({"serve"}, env);
  std::string line = talmo.wait_for_stderr_line("listening on", std::chrono::seconds(30));
  ASSERT_NE(line, "") << talmo.err();
  EXPECT_NE(line.find("Talmo listening on http://127.0.0.1:" + std::to_string(port)), std::string::npos)
      << line;

  httplib::Client client("127.0.0.1", port);
  auto res = client.Get("/healthz");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(post_text(port, OWNER, "/s"), json({{"status", "received"}}));
  ASSERT_TRUE(bridge.wait_for(2, "", std::chrono::seconds(30)));
  EXPECT_TRUE(fs::exists(home.path / "data" / "talmo.db"));

  ASSERT_EQ(::kill(talmo.pid(), SIGTERM), 0);
  EXPECT_EQ(talmo.wait_exit(std::chrono::seconds(30)), 0) << talmo.err();
  EXPECT_FALSE(client.Get("/healthz"));
}

// Descriptors run out before the connection cap unless the cap leaves room:
// with 256 descriptors and 300 idle connections from four other loopback
// addresses, the owner's messages are still taken at once and answered.
TEST(TalmoBinary, IdleConnectionsBeyondTheDescriptorLimitDoNotLockTheOwnerOut) {
  for (const rlim_t limit : {rlim_t{256}, rlim_t{1024}}) {
    TempFolder home;
    testing::FakeServer bridge, groq;
    answer_sends(bridge);
    groq.reply("POST", "/chat/completions", 200,
               chat_completion(R"({"thought": "chat", "module": null, "response": "Noted, Boss."})").dump());
    const int port = free_port();
    Child talmo({"serve"}, serve_env(home, port, bridge.url(), groq.url()), std::nullopt, limit);
    ASSERT_NE(talmo.wait_for_stderr_line("listening on", std::chrono::seconds(30)), "") << talmo.err();

    std::vector<talmo::testing::RawSocket> idle;
    for (int i = 0; i < 300; ++i) {
      idle.emplace_back(port, "127.0.0." + std::to_string(2 + i % 4));
      ASSERT_TRUE(idle.back().connected()) << i;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the server takes what it can
    std::string latencies;
    for (int i = 0; i < 5; ++i) {
      const auto started = std::chrono::steady_clock::now();
      EXPECT_EQ(post_text(port, OWNER, "hello " + std::to_string(i)), json({{"status", "received"}}))
          << "limit " << limit << ", message " << i;
      const auto took = std::chrono::steady_clock::now() - started;
      EXPECT_LT(took, std::chrono::seconds(3)) << "limit " << limit << ", message " << i;
      latencies += " " + std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()) + "ms";
    }
    std::cout << "open-file limit " << limit << ": the owner's messages taken in" << latencies << std::endl;
    EXPECT_TRUE(bridge.wait_for(5, "/send", std::chrono::seconds(30))) << "limit " << limit << talmo.err();
  }
}

// SIGTERM while a conversation waits on a model that does not answer: the
// conversation gets SHUTDOWN_GRACE, then the process exits 0 without it. At
// the next start the owner is told once that the message was interrupted,
// and it never reaches the model again.
TEST(TalmoBinary, AConversationCutOffAtTheShutdownGraceIsReportedOnceAfterTheRestart) {
  using namespace std::chrono_literals;
  TempFolder home;
  testing::FakeServer bridge, groq;
  answer_sends(bridge);
  std::mutex mu;
  std::condition_variable cv;
  bool answer = false;
  int asked = 0;
  groq.on("POST", "/chat/completions", [&](const testing::RecordedRequest&, httplib::Response& res) {
    std::unique_lock lock(mu);
    ++asked;
    cv.notify_all();
    cv.wait_for(lock, 60s, [&] { return answer; });
    res.set_content(chat_completion(R"({"thought": "chat", "module": null, "response": "Noted, Boss."})").dump(),
                    "application/json");
  });
  struct AnswerAtExit {
    std::mutex& mu;
    std::condition_variable& cv;
    bool& answer;
    ~AnswerAtExit() {
      std::lock_guard lock(mu);
      answer = true;
      cv.notify_all();
    }
  } answer_at_exit{mu, cv, answer};
  const int port = free_port();
  auto env = serve_env(home, port, bridge.url(), groq.url());
  env.push_back("GROQ_API_KEYS=gsk_test");
  env.push_back("SHUTDOWN_GRACE=1");
  const std::string message = "Plan my week around the dentist, please";
  {
    Child talmo({"serve"}, env);
    ASSERT_NE(talmo.wait_for_stderr_line("listening on", 30s), "") << talmo.err();
    EXPECT_EQ(post_text(port, OWNER, message), json({{"status", "received"}}));
    {
      std::unique_lock lock(mu);
      ASSERT_TRUE(cv.wait_for(lock, 30s, [&] { return asked == 1; })) << talmo.err();
    }
    const auto signalled = std::chrono::steady_clock::now();
    ASSERT_EQ(::kill(talmo.pid(), SIGTERM), 0);
    EXPECT_EQ(talmo.wait_exit(30s), 0) << talmo.err();
    const auto took = std::chrono::steady_clock::now() - signalled;
    EXPECT_GE(took, 900ms) << "the running conversation was not given its grace";
    EXPECT_LT(took, 4s) << "the grace did not cut the conversation off";
    EXPECT_NE(talmo.err().find("did not finish within SHUTDOWN_GRACE"), std::string::npos) << talmo.err();
  }
  {
    std::lock_guard lock(mu);
    answer = true;  // from now on the model answers at once
  }
  cv.notify_all();
  EXPECT_TRUE(bridge.requests_to("/send").empty());

  // Two starts: the first tells the owner, the second has nothing left to
  // tell. Each start's "/s" runs after the settling, and replies go out in
  // order, so its task board closes the start's texts.
  const std::string board = "*Task Board*\n\n_No active tasks found._";
  for (std::size_t start = 1; start <= 2; ++start) {
    Child talmo({"serve"}, env);
    ASSERT_NE(talmo.wait_for_stderr_line("listening on", 30s), "") << talmo.err();
    EXPECT_EQ(post_text(port, OWNER, "/s"), json({{"status", "received"}}));
    ASSERT_TRUE(bridge.wait_for(start + 1, "/send", 30s)) << talmo.err();
    ASSERT_EQ(::kill(talmo.pid(), SIGTERM), 0);
    EXPECT_EQ(talmo.wait_exit(30s), 0) << talmo.err();
  }
  std::vector<std::string> texts;
  for (const auto& r : bridge.requests_to("/send")) texts.push_back(json::parse(r.body).at("text"));
  EXPECT_EQ(texts, (std::vector<std::string>{app::interrupted_notice(message), board, board}));
  std::lock_guard lock(mu);
  EXPECT_EQ(asked, 1);
}

// Under systemd (Type=notify) readiness is reported once the server accepts.
TEST(TalmoBinary, TellsSystemdItIsReadyOnceItAccepts) {
  TempFolder home;
  const fs::path socket_path = home.path / "notify.sock";
  int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socket_path.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  auto next_message = [sock] {
    pollfd p{sock, POLLIN, 0};
    if (::poll(&p, 1, 30000) <= 0) return std::string();
    char buffer[256];
    const ssize_t n = ::recv(sock, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
  };

  const int port = free_port();
  auto env = base_env(home);
  env.push_back("MASTER_NUMBER=15551234567");
  env.push_back("TALMO_PORT=" + std::to_string(port));
  env.push_back("NOTIFY_SOCKET=" + socket_path.string());
  Child talmo({"serve"}, env);
  ASSERT_EQ(next_message(), "READY=1") << talmo.err();
  httplib::Client client("127.0.0.1", port);
  auto res = client.Get("/healthz");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  ASSERT_EQ(::kill(talmo.pid(), SIGTERM), 0);
  EXPECT_EQ(next_message(), "STOPPING=1");
  EXPECT_EQ(talmo.wait_exit(std::chrono::seconds(30)), 0) << talmo.err();
  ::close(sock);
}

TEST(TalmoBinary, SigintStopsItCleanlyToo) {
  TempFolder home;
  const int port = free_port();
  auto env = base_env(home);
  env.push_back("MASTER_NUMBER=15551234567");
  env.push_back("TALMO_PORT=" + std::to_string(port));
  Child talmo({"serve", "--config", (home.path / "absent.toml").string()}, env);
  ASSERT_NE(talmo.wait_for_stderr_line("listening on", std::chrono::seconds(30)), "") << talmo.err();
  ASSERT_EQ(::kill(talmo.pid(), SIGINT), 0);
  EXPECT_EQ(talmo.wait_exit(std::chrono::seconds(30)), 0) << talmo.err();
  // With no TALMO_DATA_DIR the data lives in TALMO_HOME.
  EXPECT_TRUE(fs::exists(home.path / "talmo.db"));
}

TEST(TalmoBinary, ANationalMasterNumberAnOpenBindWithoutTokenOrAShortTokenIsExitCode2WithOneLine) {
  struct Case {
    std::vector<std::string> extra_env;
    std::vector<std::string> expected;
  } cases[] = {
      {{}, {"MASTER_NUMBER"}},
      // A national form names no country: the line shows it and asks for the country code.
      {{"MASTER_NUMBER=0300 1234567"}, {"\"0300 1234567\"", "country code", "+92 300 1234567"}},
      // Reachable from the network with no shared secret: anyone could post as the owner.
      {{"MASTER_NUMBER=15551234567", "TALMO_HOST=0.0.0.0"}, {"TALMO_HOST \"0.0.0.0\"", "BRIDGE_TOKEN"}},
      // A token short enough to guess (and to mask the owner's words with).
      {{"MASTER_NUMBER=15551234567", "BRIDGE_TOKEN=hello"}, {"BRIDGE_TOKEN is shorter than 16 characters"}},
  };
  for (const auto& c : cases) {
    TempFolder home;
    auto env = base_env(home);
    env.insert(env.end(), c.extra_env.begin(), c.extra_env.end());
    Child talmo({"serve"}, env);
    EXPECT_EQ(talmo.wait_exit(std::chrono::seconds(30)), 2);
    std::string err = talmo.err();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    for (const auto& fragment : c.expected) EXPECT_NE(err.find(fragment), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(home.path / "talmo.db"));
  }
}

TEST(TalmoBinary, ABadConfigurationFileIsExitCode2NamingFileAndLine) {
  TempFolder home;
  std::ofstream(home.path / "config.toml") << "MASTER_NUMBER = \"15551234567\"\nTALMO_PORT = \"eighty\"\n";
  Child talmo({"serve", "--config", (home.path / "config.toml").string()}, base_env(home));
  EXPECT_EQ(talmo.wait_exit(std::chrono::seconds(30)), 2);
  std::string err = talmo.err();
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_NE(err.find("config.toml:2"), std::string::npos) << err;
  EXPECT_NE(err.find("TALMO_PORT"), std::string::npos) << err;
}

TEST(TalmoBinary, VersionHelpAndUsageErrors) {
  TempFolder home;
  {
    Child talmo({"--version"}, base_env(home));
    EXPECT_EQ(talmo.wait_exit(std::chrono::seconds(30)), 0);
    EXPECT_EQ(talmo.out(), "talmo 0.1.0\n");
  }
  {
    Child talmo({"--help"}, base_env(home));
    EXPECT_EQ(talmo.wait_exit(std::chrono::seconds(30)), 0);
    EXPECT_NE(talmo.out().find("serve"), std::string::npos) << talmo.out();
  }
  for (std::vector<std::string> args : {std::vector<std::string>{}, {"fly"}, {"serve", "--nope"}}) {
    Child talmo(args, base_env(home));
    EXPECT_EQ(talmo.wait_exit(std::chrono::seconds(30)), 2);
    EXPECT_FALSE(talmo.err().empty());
  }
  {
    Child talmo({"fly"}, base_env(home));
    EXPECT_EQ(talmo.wait_exit(std::chrono::seconds(30)), 2);
    EXPECT_NE(talmo.err().find("unknown command \"fly\"; the commands are: serve, chat, doctor, onboard"),
              std::string::npos)
        << talmo.err();
  }
  {
    // Hints name the program the way it was started: here by its path.
    Child talmo({"serv"}, base_env(home));
    EXPECT_EQ(talmo.wait_exit(std::chrono::seconds(30)), 2);
    EXPECT_EQ(talmo.err(),
              std::string("talmo: unknown command \"serv\"; did you mean \"serve\"? (see ") + TALMO_BINARY + " --help)\n");
  }
}

}  // namespace
}  // namespace talmo::integration
