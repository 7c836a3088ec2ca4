// Owner latency under attack, for the HTTP benchmark script.
//
//   http_load PORT OWNER_SENDER [--idle N] [--slow N] [--flood N] [--probes N]
//             [--attacker ADDR] [--owner ADDR]
//
// From the attacker's address it keeps N idle sockets and N slow-loris
// sockets open (reopening those the server closes) and runs a flood of
// refused-sender webhooks on a few keep-alive connections. Meanwhile, from
// the owner's address, it posts the owner's text webhook on one keep-alive
// connection, one request every 5 ms, and prints the latency percentiles;
// each is followed by a GET /healthz on a second connection, whose latency
// is the front end's own (no database write behind it).
// wrk cannot bind a source address, hence this tool.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

int port = 0;

int open_from(const std::string& source) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in from{};
  from.sin_family = AF_INET;
  ::inet_pton(AF_INET, source.c_str(), &from.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool send_all(int fd, const std::string& s) {
  std::size_t off = 0;
  while (off < s.size()) {
    ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads one answer (headers plus Content-Length bytes); false on close or
// after two seconds.
bool read_answer(int fd, std::string& buf) {
  for (;;) {
    std::size_t head = buf.find("\r\n\r\n");
    if (head != std::string::npos) {
      std::size_t cl = buf.find("Content-Length: ");
      std::size_t len = cl != std::string::npos && cl < head ? std::strtoul(buf.c_str() + cl + 16, nullptr, 10) : 0;
      if (buf.size() >= head + 4 + len) {
        buf.erase(0, head + 4 + len);
        return true;
      }
    }
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 2000) <= 0) return false;
    char tmp[16384];
    ssize_t n = ::recv(fd, tmp, sizeof tmp, 0);
    if (n <= 0) return false;
    buf.append(tmp, static_cast<std::size_t>(n));
  }
}

std::string webhook(const std::string& sender, const std::string& message) {
  std::string body = "{\"sender\": \"" + sender + "\", \"message\": \"" + message + "\"}";
  return "POST /whatsapp/incoming/text HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

bool alive(int fd) {
  pollfd p{fd, POLLIN | POLLRDHUP, 0};
  if (::poll(&p, 1, 0) <= 0) return true;
  char c;
  return ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: http_load PORT OWNER_SENDER [--idle N] [--slow N] [--flood N] [--probes N]\n");
    return 2;
  }
  port = std::atoi(argv[1]);
  const std::string owner = argv[2];
  int idle_n = 1000, slow_n = 100, flood_n = 4, probes = 1000;
  std::string attacker = "127.0.0.2", owner_addr = "127.0.0.1";
  for (int i = 3; i + 1 < argc; i += 2) {
    std::string k = argv[i];
    if (k == "--idle") idle_n = std::atoi(argv[i + 1]);
    else if (k == "--slow") slow_n = std::atoi(argv[i + 1]);
    else if (k == "--flood") flood_n = std::atoi(argv[i + 1]);
    else if (k == "--probes") probes = std::atoi(argv[i + 1]);
    else if (k == "--attacker") attacker = argv[i + 1];
    else if (k == "--owner") owner_addr = argv[i + 1];
  }

  std::atomic<bool> done{false};
  std::atomic<long> flood_answers{0}, reopened{0};
  std::atomic<int> idle_open{0}, slow_open{0};

  // Idle and slow sockets: a byte of header per slow socket every second;
  // any socket the server closed is opened again.
  std::thread holder([&] {
    std::vector<int> idle(static_cast<std::size_t>(idle_n), -1), slow(static_cast<std::size_t>(slow_n), -1);
    std::vector<std::size_t> sent(slow.size(), 0);
    const std::string header = "POST /whatsapp/incoming/text HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " +
                               std::string(4096, 's');
    while (!done) {
      const auto round = Clock::now();
      int open_i = 0, open_s = 0;
      for (auto& fd : idle) {
        if (fd >= 0 && !alive(fd)) ::close(fd), fd = -1, ++reopened;
        if (fd < 0) fd = open_from(attacker);
        open_i += fd >= 0;
      }
      for (std::size_t i = 0; i < slow.size(); ++i) {
        int& fd = slow[i];
        if (fd >= 0 && !alive(fd)) ::close(fd), fd = -1, ++reopened;
        if (fd < 0) fd = open_from(attacker), sent[i] = 0;
        if (fd >= 0 && !send_all(fd, header.substr(sent[i]++ % header.size(), 1))) ::close(fd), fd = -1;
        open_s += fd >= 0;
      }
      idle_open = open_i;
      slow_open = open_s;
      while (!done && Clock::now() - round < 1s) std::this_thread::sleep_for(20ms);
    }
    for (int fd : idle) if (fd >= 0) ::close(fd);
    for (int fd : slow) if (fd >= 0) ::close(fd);
  });

  // The stranger flood: refused-sender webhooks as fast as answers come.
  std::vector<std::thread> flood;
  for (int t = 0; t < flood_n; ++t) {
    flood.emplace_back([&] {
      const std::string req = webhook("4915000000000", "let me in");
      int fd = -1;
      std::string buf;
      while (!done) {
        if (fd < 0) fd = open_from(attacker), buf.clear();
        if (fd < 0) {
          std::this_thread::sleep_for(10ms);
          continue;
        }
        if (!send_all(fd, req) || !read_answer(fd, buf)) {
          ::close(fd);
          fd = -1;
          continue;
        }
        ++flood_answers;
      }
      if (fd >= 0) ::close(fd);
    });
  }

  // Let the attack settle (sockets opened, flood running) before measuring.
  std::this_thread::sleep_for(3s);
  const long flood_before = flood_answers;
  const auto probe_start = Clock::now();

  std::vector<double> ms, health_ms;
  int failures = 0;
  int fd = -1, hfd = -1;
  std::string buf, hbuf;
  const std::string req = webhook(owner, "latency probe");
  const std::string health = "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  for (int i = 0; i < probes; ++i) {
    const auto next = probe_start + i * 5ms;
    std::this_thread::sleep_until(next);
    const auto t0 = Clock::now();
    if (fd < 0) fd = open_from(owner_addr), buf.clear();
    bool ok = fd >= 0 && send_all(fd, req) && read_answer(fd, buf) ;
    const auto t1 = Clock::now();
    if (!ok) {
      ++failures;
      if (fd >= 0) ::close(fd);
      fd = -1;
      continue;
    }
    ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    if (hfd < 0) hfd = open_from(owner_addr), hbuf.clear();
    const auto h0 = Clock::now();
    if (hfd >= 0 && send_all(hfd, health) && read_answer(hfd, hbuf)) {
      health_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - h0).count());
    } else {
      ++failures;
      if (hfd >= 0) ::close(hfd);
      hfd = -1;
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - probe_start).count();
  const long flood_during = flood_answers - flood_before;
  const int idle_now = idle_open, slow_now = slow_open;
  const long reopened_now = reopened;
  done = true;
  holder.join();
  for (auto& t : flood) t.join();
  if (fd >= 0) ::close(fd);
  if (hfd >= 0) ::close(hfd);

  auto pct = [](std::vector<double>& v, double p) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
  };
  std::printf("owner webhook: probes=%zu failures=%d p50_ms=%.3f p99_ms=%.3f max_ms=%.3f\n", ms.size(),
              failures, pct(ms, 0.50), pct(ms, 0.99), pct(ms, 1.0));
  std::printf("owner healthz: probes=%zu p50_ms=%.3f p99_ms=%.3f max_ms=%.3f\n", health_ms.size(),
              pct(health_ms, 0.50), pct(health_ms, 0.99), pct(health_ms, 1.0));
  std::printf("attack: idle_open=%d/%d slow_open=%d/%d reopened=%ld flood_rps=%.0f\n", idle_now, idle_n,
              slow_now, slow_n, reopened_now, static_cast<double>(flood_during) / seconds);
  return failures == 0 ? 0 : 1;
}
