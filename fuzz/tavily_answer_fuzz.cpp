// A search answer from Tavily as the provider reads it, then rendered both
// ways as the engine and the scheduler do. Nothing here may crash or throw,
// and every body is either a result map or an error, never both nor neither.
#include "core/web_search/web_search.hpp"
#include "support/json.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  const auto [results, error] = talmo::web_search::parse_tavily_answer(body);
  if (results.is_object() == !error.empty() || (!results.is_object() && !results.is_null())) std::abort();
  (void)talmo::json_text(results);
  (void)talmo::display_text(results);
  return 0;
}
