#include "web/request.hpp"

namespace talmo::web {

namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

const char* reason(int status) {
  switch (status) {
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Error";
  }
}

}  // namespace

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

void Headers::add(std::string name, std::string value) {
  fields_.emplace_back(std::move(name), std::move(value));
}

const std::string* Headers::find(std::string_view name) const {
  for (auto& [n, v] : fields_)
    if (iequals(n, name)) return &v;
  return nullptr;
}

std::string Headers::get(std::string_view name) const {
  const std::string* v = find(name);
  return v ? *v : std::string();
}

std::size_t Headers::count(std::string_view name) const {
  std::size_t n = 0;
  for (auto& f : fields_) n += iequals(f.first, name) ? 1 : 0;
  return n;
}

// Status 0 never goes on the wire.
Answer run_on_worker() { return {0, nullptr}; }
bool is_run_on_worker(const Answer& answer) { return answer.status == 0; }

Answer error_answer(int status) { return {status, json{{"detail", reason(status)}}}; }

}  // namespace talmo::web
