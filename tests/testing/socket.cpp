#include "testing/socket.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <utility>
#include <vector>

namespace talmo::testing {

namespace {

using Clock = std::chrono::steady_clock;

// Splits `raw` into complete answers; each is [start, end).
std::vector<std::pair<std::size_t, std::size_t>> answers(const std::string& raw) {
  std::vector<std::pair<std::size_t, std::size_t>> out;
  std::size_t pos = 0;
  for (;;) {
    std::size_t head_end = raw.find("\r\n\r\n", pos);
    if (head_end == std::string::npos) break;
    std::size_t length = 0;
    std::string head = raw.substr(pos, head_end - pos);
    for (auto& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::size_t cl = head.find("content-length:");
    if (cl != std::string::npos) length = std::strtoul(head.c_str() + cl + 15, nullptr, 10);
    std::size_t end = head_end + 4 + length;
    if (end > raw.size()) break;
    out.emplace_back(pos, end);
    pos = end;
  }
  return out;
}

}  // namespace

RawSocket::RawSocket(int port, const std::string& source) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return;
  sockaddr_in from{};
  from.sin_family = AF_INET;
  ::inet_pton(AF_INET, source.c_str(), &from.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    ::close(fd);
    return;
  }
  fd_ = fd;
}

RawSocket::~RawSocket() {
  if (fd_ >= 0) ::close(fd_);
}

bool RawSocket::send(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string RawSocket::read_answers(int count, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::string got;
  char buf[65536];
  while (static_cast<int>(answers(got).size()) < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<std::size_t>(n));
  }
  return got;
}

bool RawSocket::closed_within(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  char buf[65536];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    if (::recv(fd_, buf, sizeof buf, 0) <= 0) return true;
  }
}

std::string status_codes(const std::string& raw) {
  std::string out;
  for (auto [start, end] : answers(raw)) {
    if (!out.empty()) out += ' ';
    out += raw.substr(start + 9, 3);  // "HTTP/1.1 200 OK"
  }
  return out;
}

std::string answer_body(const std::string& raw, int n) {
  auto all = answers(raw);
  if (n >= static_cast<int>(all.size())) return "";
  auto [start, end] = all[static_cast<std::size_t>(n)];
  std::size_t body = raw.find("\r\n\r\n", start) + 4;
  return raw.substr(body, end - body);
}

}  // namespace talmo::testing
