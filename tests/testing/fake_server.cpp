#include "testing/fake_server.hpp"

#include <algorithm>

namespace talmo::testing {

std::string RecordedRequest::header(const std::string& name) const {
  for (auto& [k, v] : headers) {
    if (k.size() == name.size() &&
        std::equal(k.begin(), k.end(), name.begin(),
                   [](char a, char b) { return std::tolower(a) == std::tolower(b); }))
      return v;
  }
  return "";
}

FakeServer::FakeServer() {
  auto handler = [this](const httplib::Request& req, httplib::Response& res) { dispatch(req, res); };
  server_.Get(".*", handler);
  server_.Post(".*", handler);
  server_.Put(".*", handler);
  server_.Delete(".*", handler);
  server_.set_payload_max_length(64 * 1024 * 1024);
  port_ = server_.bind_to_any_port("127.0.0.1");
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

FakeServer::~FakeServer() { stop(); }

void FakeServer::stop() {
  server_.stop();
  if (thread_.joinable()) thread_.join();
}

std::string FakeServer::url() const { return "http://127.0.0.1:" + std::to_string(port_); }

void FakeServer::on(const std::string& method, const std::string& path, Handler handler) {
  std::lock_guard l(mu_);
  handlers_[method + " " + path] = std::move(handler);
}

void FakeServer::reply(const std::string& method, const std::string& path, int status,
                       std::string body, std::string content_type) {
  on(method, path, [status, body, content_type](const RecordedRequest&, httplib::Response& res) {
    res.status = status;
    res.set_content(body, content_type.c_str());
  });
}

void FakeServer::dispatch(const httplib::Request& req, httplib::Response& res) {
  RecordedRequest r;
  r.method = req.method;
  r.path = req.path;
  for (auto& [k, v] : req.headers) r.headers.emplace(k, v);
  r.body = req.body;
  r.content_type = req.get_header_value("Content-Type");
  for (auto& [name, file] : req.files) r.form[name] = {file.content, file.filename};
  Handler h;
  {
    std::lock_guard l(mu_);
    auto it = handlers_.find(req.method + " " + req.path);
    if (it != handlers_.end()) h = it->second;
  }
  if (h) {
    h(r, res);
  } else {
    res.status = 404;
    res.set_content("{\"detail\": \"Not Found\"}", "application/json");
  }
  {
    std::lock_guard l(mu_);
    requests_.push_back(std::move(r));
  }
  cv_.notify_all();
}

std::vector<RecordedRequest> FakeServer::requests() const {
  std::lock_guard l(mu_);
  return requests_;
}

std::vector<RecordedRequest> FakeServer::requests_to(const std::string& path) const {
  std::lock_guard l(mu_);
  std::vector<RecordedRequest> out;
  for (auto& r : requests_)
    if (r.path == path) out.push_back(r);
  return out;
}

void FakeServer::clear() {
  std::lock_guard l(mu_);
  requests_.clear();
}

bool FakeServer::wait_for(std::size_t n, const std::string& path,
                          std::chrono::milliseconds timeout) const {
  std::unique_lock l(mu_);
  return cv_.wait_for(l, timeout, [&] {
    if (path.empty()) return requests_.size() >= n;
    return static_cast<std::size_t>(std::count_if(requests_.begin(), requests_.end(),
                                                   [&](auto& r) { return r.path == path; })) >= n;
  });
}

}  // namespace talmo::testing
