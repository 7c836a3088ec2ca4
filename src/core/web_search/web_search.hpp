// The web-search provider (Tavily).
#pragma once

#include "support/json.hpp"

#include <memory>
#include <string>
#include <utility>

namespace talmo::web_search {

// The parameter names a search accepts.
inline constexpr const char* PARAMETERS[] = {"query", "topic", "search_depth", "max_results",
                                             "days", "include_domains", "exclude_domains"};

class Provider {
 public:
  virtual ~Provider() = default;
  // Runs one search with the model's parameters (a JSON map; null values are
  // left out). Returns (results, error): on success the decoded response map
  // (with `answer` and `results`) and ""; on failure null and a short error
  // text. Throws std::invalid_argument naming an unknown parameter, or when
  // `params` is not a map.
  virtual std::pair<json, std::string> search(const json& params) = 0;
};

struct TavilySettings {
  std::string api_key;
  std::string base_url = "https://api.tavily.com";
  long timeout_ms = 30000;
};

// Tavily over HTTP: POST {base_url}/search with a Bearer key and
// `include_answer: true`. An empty key makes every search fail with an error
// value (no request is sent).
std::unique_ptr<Provider> make_tavily(TavilySettings settings);

}  // namespace talmo::web_search
