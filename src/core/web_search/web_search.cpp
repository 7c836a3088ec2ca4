#include "core/web_search/web_search.hpp"

#include "support/http.hpp"
#include "support/unicode.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <stdexcept>

namespace talmo::web_search {

namespace {

// An error page can be long; the model only needs its start.
constexpr std::size_t ERROR_BODY_CHARS = 500;

bool is_parameter(const std::string& name) {
  return std::any_of(std::begin(PARAMETERS), std::end(PARAMETERS),
                     [&name](const char* p) { return name == p; });
}

// Tavily's own explanation of a refusal ({"detail": {"error": "..."}}), or
// the start of the body when it gave none.
std::string error_detail(const std::string& body) {
  try {
    json doc = decode_json(body);
    if (doc.is_object() && doc.contains("detail")) {
      const json& detail = doc["detail"];
      if (detail.is_object() && detail.contains("error") && detail["error"].is_string())
        return detail["error"].get<std::string>();
      if (detail.is_string()) return detail.get<std::string>();
    }
  } catch (const json::exception&) {
  }
  return unicode::first_chars(body, ERROR_BODY_CHARS);
}

class Tavily final : public Provider {
 public:
  explicit Tavily(TavilySettings settings) : settings_(std::move(settings)) {}

  std::pair<json, std::string> search(const json& params) override {
    if (!params.is_object())
      throw std::invalid_argument("search parameters must be a map of names to values");
    json body = json::object();
    for (const auto& [name, value] : params.items()) {
      if (!is_parameter(name)) throw std::invalid_argument("unknown search parameter '" + name + "'");
      if (!value.is_null()) body[name] = value;
    }
    body["include_answer"] = true;

    if (settings_.api_key.empty())
      return {json(nullptr), "Tavily API key is not configured (TAVILY_API_KEY)"};

    std::string url = settings_.base_url;
    while (!url.empty() && url.back() == '/') url.pop_back();
    http::Request request;
    request.method = "POST";
    request.url = url + "/search";
    request.headers.emplace_back("Authorization", "Bearer " + settings_.api_key);
    request.headers.emplace_back("Content-Type", "application/json");
    request.body = json_text(body);
    request.timeout_ms = settings_.timeout_ms;
    request.connect_timeout_ms = std::min(request.connect_timeout_ms, settings_.timeout_ms);
    request.max_response_bytes = MAX_ANSWER_BYTES;

    http::Response response = http::perform(request);
    if (!response.transport_ok) return {json(nullptr), response.error};
    if (response.status < 200 || response.status >= 300)
      return {json(nullptr), std::to_string(response.status) + ": " + error_detail(response.body)};

    return parse_tavily_answer(response.body);
  }

 private:
  TavilySettings settings_;
};

}  // namespace

std::unique_ptr<Provider> make_tavily(TavilySettings settings) {
  return std::make_unique<Tavily>(std::move(settings));
}

std::pair<json, std::string> parse_tavily_answer(std::string_view body) {
  json results;
  try {
    results = decode_json(body);
  } catch (const json::exception&) {
    return {json(nullptr), "Tavily answered with a body that is not JSON"};
  }
  if (!results.is_object()) return {json(nullptr), "Tavily answered with an unexpected body"};
  return {std::move(results), ""};
}

}  // namespace talmo::web_search
