// A loopback HTTP server for tests: binds 127.0.0.1 on an ephemeral port,
// records every request, and answers with handlers the test installs.
#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace talmo::testing {

struct RecordedRequest {
  std::string method;
  std::string path;
  std::multimap<std::string, std::string> headers;  // header names as sent
  std::string body;
  std::string content_type;
  // multipart/form-data fields: name -> (content, filename)
  std::map<std::string, std::pair<std::string, std::string>> form;

  std::string header(const std::string& name) const;
};

class FakeServer {
 public:
  using Handler = std::function<void(const RecordedRequest&, httplib::Response&)>;

  FakeServer();
  ~FakeServer();
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;

  // Answers METHOD path with `handler` (replacing an earlier one). Unrouted
  // requests get 404 and are still recorded.
  void on(const std::string& method, const std::string& path, Handler handler);
  // Shorthand: a fixed status and JSON/text body.
  void reply(const std::string& method, const std::string& path, int status, std::string body,
             std::string content_type = "application/json");

  int port() const { return port_; }
  std::string url() const;  // "http://127.0.0.1:<port>"

  std::vector<RecordedRequest> requests() const;
  std::vector<RecordedRequest> requests_to(const std::string& path) const;
  void clear();
  // Blocks until at least `n` requests reached `path` (or any path when
  // empty); false after `timeout`.
  bool wait_for(std::size_t n, const std::string& path = "",
                std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  // Stops listening (the port is closed; later requests are refused).
  void stop();

 private:
  void dispatch(const httplib::Request& req, httplib::Response& res);

  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::vector<RecordedRequest> requests_;
  std::map<std::string, Handler> handlers_;  // "METHOD path" -> handler
};

}  // namespace talmo::testing
