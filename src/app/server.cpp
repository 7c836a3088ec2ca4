#include "app/server.hpp"

#include "support/json.hpp"
#include "support/log.hpp"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <sys/socket.h>
#include <memory>
#include <stdexcept>

namespace talmo::app {

namespace {

void set_json(httplib::Response& res, const json& body) {
  res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

const char* reason(int status) {
  switch (status) {
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 416: return "Range Not Satisfiable";
    case 500: return "Internal Server Error";
    default: return "Error";
  }
}

}  // namespace

HttpServer::HttpServer(ServerOptions options)
    : server_(std::make_unique<httplib::Server>()), host_(options.host) {
  auto& s = *server_;
  const std::size_t threads = options.threads == 0 ? 1 : options.threads;
  s.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  s.set_payload_max_length(MAX_REQUEST_BODY);
  // cpp-httplib's default adds SO_REUSEPORT, which would let a second Talmo
  // share the port silently; a busy port must be an error.
  s.set_socket_options([](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  // A short keep-alive wait lets a stop finish soon after the last request.
  s.set_keep_alive_timeout(2);

  s.Get("/healthz", [](const httplib::Request&, httplib::Response& res) {
    set_json(res, json{{"status", "ok"}});
  });
  if (options.mount) options.mount(s);

  s.set_exception_handler([](const httplib::Request& req, httplib::Response& res,
                             std::exception_ptr ep) {
    std::string what = "unknown error";
    try {
      if (ep) std::rethrow_exception(ep);
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
    }
    log::error("Unhandled error on " + req.method + " " + req.path + ": " + what);
    res.status = 500;
    set_json(res, json{{"detail", "Internal Server Error"}});
  });
  s.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.body.empty()) set_json(res, json{{"detail", reason(res.status)}});
  });

  if (options.port == 0) {
    port_ = s.bind_to_any_port(host_);
    if (port_ < 0) throw std::runtime_error("cannot listen on " + host_ + ": no free port");
  } else {
    if (!s.bind_to_port(host_, options.port))
      throw std::runtime_error("cannot listen on " + host_ + ":" + std::to_string(options.port) +
                               " (address in use or not available)");
    port_ = options.port;
  }
  auto finished = std::make_shared<std::atomic<bool>>(false);
  thread_ = std::thread([this, finished] {
    server_->listen_after_bind();
    *finished = true;
  });
  // The socket already accepts connections; wait only until stop() can reach
  // the running loop.
  while (!s.is_running() && !*finished) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

HttpServer::~HttpServer() { stop(); }

std::string HttpServer::url() const {
  const bool ipv6 = host_.find(':') != std::string::npos;
  return "http://" + (ipv6 ? "[" + host_ + "]" : host_) + ":" + std::to_string(port_);
}

void HttpServer::stop() {
  std::lock_guard lock(stop_mu_);
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

}  // namespace talmo::app
