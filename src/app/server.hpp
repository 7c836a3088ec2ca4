// The HTTP server the bridge and local tools talk to.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace talmo::app {

// Request bodies above this size are refused by the server itself (413).
inline constexpr std::size_t MAX_REQUEST_BODY = 26u * 1024 * 1024;

struct ServerOptions {
  std::string host = "127.0.0.1";
  int port = 8000;          // 0: an ephemeral port, see HttpServer::port()
  std::size_t threads = 8;  // requests handled at once
  // Adds the application's routes (ingrest::mount in production).
  std::function<void(httplib::Server&)> mount;
};

// A cpp-httplib server on its own listening thread with a pool of request
// threads. Besides the mounted routes it answers GET /healthz with
// {"status": "ok"}; it is ready (bound and answering) when the constructor
// returns. An exception escaping a route is logged at error level and
// answered 500 {"detail": "Internal Server Error"}; other error statuses
// without a body get {"detail": <reason>}.
//
// Thread safety: stop() may be called from any thread, but not from a request
// handler.
class HttpServer {
 public:
  // Throws std::runtime_error when the address cannot be bound.
  explicit HttpServer(ServerOptions options);
  ~HttpServer();  // stops as stop() does
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:8000" ("http://[::1]:8000" for IPv6 hosts).
  std::string url() const;

  // Stops accepting, waits for the requests in progress, joins. Idempotent.
  void stop();

 private:
  std::unique_ptr<httplib::Server> server_;
  std::string host_;
  int port_ = 0;
  std::mutex stop_mu_;
  std::thread thread_;
};

}  // namespace talmo::app
