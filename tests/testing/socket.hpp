// Raw loopback sockets for tests that must control every byte: pipelined
// requests, slow or idle attackers, a chosen source address.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace talmo::testing {

// A blocking TCP connection to 127.0.0.1:port from `source` (any address of
// 127.0.0.0/8 works without set-up). Closed by the destructor.
class RawSocket {
 public:
  explicit RawSocket(int port, const std::string& source = "127.0.0.1");
  ~RawSocket();
  RawSocket(RawSocket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  RawSocket(const RawSocket&) = delete;
  RawSocket& operator=(const RawSocket&) = delete;

  bool connected() const { return fd_ >= 0; }
  bool send(std::string_view bytes);
  // Reads until `count` complete answers (status line, headers, a body of
  // Content-Length bytes) are in, the peer closes, or `timeout` passes;
  // returns what arrived.
  std::string read_answers(int count, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Reads (and drops) until the peer closes the connection: true when it
  // did within `timeout`.
  bool closed_within(std::chrono::milliseconds timeout);

 private:
  int fd_ = -1;
};

// The status codes of the answers in `raw` (read_answers' result), in order.
std::string status_codes(const std::string& raw);

// The body of the n-th answer in `raw` (0-based), "" when missing.
std::string answer_body(const std::string& raw, int n = 0);

}  // namespace talmo::testing
