// The web-search provider (Tavily).
#pragma once

#include "support/json.hpp"

#include <cstddef>
#include <memory>
#include <string_view>
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

// The largest answer read from Tavily; a larger one fails the search (with
// a warning line) and is never held whole in memory.
inline constexpr std::size_t MAX_ANSWER_BYTES = 8u << 20;

struct TavilySettings {
  std::string api_key;
  std::string base_url = "https://api.tavily.com";
  long timeout_ms = 30000;
};

// Tavily over HTTP: POST {base_url}/search with a Bearer key and
// `include_answer: true`. An empty key makes every search fail with an error
// value (no request is sent).
std::unique_ptr<Provider> make_tavily(TavilySettings settings);

// A successful search answer's body as (results, error), as search()
// returns it: the decoded map, or null and an error for a body that is not a
// JSON object (nesting deeper than MAX_JSON_DEPTH counts as not JSON).
std::pair<json, std::string> parse_tavily_answer(std::string_view body);

}  // namespace talmo::web_search
