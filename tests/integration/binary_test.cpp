// The built `talmo` executable as a separate process: command line, start-up
// from environment configuration, and a clean stop on SIGTERM.
#include "integration.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <cstring>

namespace talmo::integration {
namespace {

using Clock = std::chrono::steady_clock;

// A child process with its stdout and stderr on pipes.
class Child {
 public:
  Child(std::vector<std::string> args, std::vector<std::string> env) {
    int out[2], err[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      std::vector<char*> argv, envp;
      args.insert(args.begin(), TALMO_BINARY);
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      for (auto& e : env) envp.push_back(e.data());
      envp.push_back(nullptr);
      ::execve(TALMO_BINARY, argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
    ::close(err_);
  }

  // Reads stderr until a line containing `fragment` arrives; that line, or
  // "" when stderr closed or `timeout` passed.
  std::string wait_for_stderr_line(const std::string& fragment, std::chrono::seconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
      std::size_t nl;
      while ((nl = err_buf_.find('\n')) != std::string::npos) {
        std::string line = err_buf_.substr(0, nl);
        err_seen_ += err_buf_.substr(0, nl + 1);
        err_buf_.erase(0, nl + 1);
        if (line.find(fragment) != std::string::npos) return line;
      }
      if (!read_some(err_, err_buf_, deadline)) return "";
    }
  }

  // Waits for the exit; the exit code, or -1 after `timeout` or a signal death.
  int wait_exit(std::chrono::seconds timeout) {
    auto deadline = Clock::now() + timeout;
    // Drain both pipes until they close: the child has exited (or closed them).
    bool out_open = true, err_open = true;
    while (out_open || err_open) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return -1;
      pollfd p[2] = {{out_open ? out_ : -1, POLLIN, 0}, {err_open ? err_ : -1, POLLIN, 0}};
      if (::poll(p, 2, static_cast<int>(left.count())) <= 0) return -1;
      if (p[0].revents) out_open = read_ready(out_, out_buf_);
      if (p[1].revents) err_open = read_ready(err_, err_buf_);
    }
    int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (fd >= 0) {
      pollfd p{fd, POLLIN, 0};
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      int ready = ::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
      ::close(fd);
      if (ready <= 0) return -1;
    }
    int status = 0;
    ::waitpid(pid_, &status, 0);
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  pid_t pid() const { return pid_; }
  std::string out() const { return out_buf_; }
  std::string err() const { return err_seen_ + err_buf_; }

 private:
  // Reads what is available on `fd` into `buf`; false when it is closed or the deadline passed.
  static bool read_some(int fd, std::string& buf, Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    return read_ready(fd, buf);
  }
  // One read from a ready descriptor; false at its end.
  static bool read_ready(int fd, std::string& buf) {
    char chunk[4096];
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) return false;
    buf.append(chunk, static_cast<std::size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  bool reaped_ = false;
  std::string out_buf_, err_buf_, err_seen_;
};

// A port that was free a moment ago.
int free_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

// An environment that reads no file of the person running the tests.
std::vector<std::string> base_env(const TempFolder& home) {
  return {"HOME=" + home.path.string(), "TALMO_HOME=" + home.path.string(),
          "TALMO_CONFIG=" + (home.path / "config.toml").string(), "TALMO_TIMEZONE=UTC",
          "PATH=/usr/bin:/bin"};
}

TEST(TalmoBinary, ServesUntilSigtermThenExitsCleanly) {
  TempFolder home;
  testing::FakeServer bridge;
  bridge.reply("POST", "/send", 200, R"({"status": "sent"})");
  bridge.reply("POST", "/presence", 200, R"({"status": "ok"})");
  const int port = free_port();
  auto env = base_env(home);
  env.push_back(std::string("MASTER_NUMBER=") + MASTER);
  env.push_back("TALMO_PORT=" + std::to_string(port));
  env.push_back("TALMO_DATA_DIR=" + (home.path / "data").string());
  env.push_back("BRIDGE_URL=" + bridge.url());
  env.push_back("GROQ_BASE_URL=http://127.0.0.1:9");

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

TEST(TalmoBinary, AMissingOrNationalMasterNumberIsExitCode2WithOneLine) {
  struct Case {
    std::vector<std::string> extra_env;
    std::vector<std::string> expected;
  } cases[] = {
      {{}, {"MASTER_NUMBER"}},
      // A national form names no country: the line shows it and asks for the country code.
      {{"MASTER_NUMBER=0300 1234567"}, {"\"0300 1234567\"", "country code", "+92 300 1234567"}},
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
}

}  // namespace
}  // namespace talmo::integration
