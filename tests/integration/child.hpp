// The built `talmo` executable as a child process with its standard streams
// on pipes, for tests of the command line.
#pragma once

#include "integration.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace talmo::integration {

// A child process with its stdout and stderr on pipes; its stdin is `input`
// (then end of input) when given, else the test's own.
class Child {
 public:
  using Clock = std::chrono::steady_clock;

  // `open_files`: the child's soft and hard RLIMIT_NOFILE, when given.
  Child(std::vector<std::string> args, std::vector<std::string> env,
        std::optional<std::string> input = std::nullopt, std::optional<rlim_t> open_files = std::nullopt) {
    int out[2], err[2], in[2] = {-1, -1};
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
    if (input) {
      EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
    }
    // Everything the child needs is built before fork: the test's other
    // threads may hold the allocator's lock at that moment, and the child
    // would wait on it forever.
    std::vector<char*> argv, envp;
    args.insert(args.begin(), TALMO_BINARY);
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      if (input) ::dup2(in[0], 0);
      if (open_files) {
        const rlimit r{*open_files, *open_files};
        if (::setrlimit(RLIMIT_NOFILE, &r) != 0) ::_exit(126);
      }
      ::execve(TALMO_BINARY, argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
    if (input) {
      ::close(in[0]);
      // Test inputs are far below the pipe's buffer, so this cannot block.
      const ssize_t n = ::write(in[1], input->data(), input->size());
      EXPECT_EQ(n, static_cast<ssize_t>(input->size()));
      ::close(in[1]);
    }
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
    ::close(err_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

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
inline int free_port() {
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
inline std::vector<std::string> base_env(const TempFolder& home) {
  return {"HOME=" + home.path.string(), "TALMO_HOME=" + home.path.string(),
          "TALMO_CONFIG=" + (home.path / "config.toml").string(), "TALMO_TIMEZONE=UTC",
          "PATH=/usr/bin:/bin"};
}

}  // namespace talmo::integration
