// clean_json_response: the JSON object cut out of a model reply, fenced or bare.
#include "core/interpreter/interpreter.hpp"
#include "support/unicode.hpp"

#include <re2/re2.h>

#include <stdexcept>

namespace talmo::interpreter {
namespace {

// RE2's \s is ASCII only; model replies may pad the fence with any Unicode
// whitespace, so the whitespace set is spelled out.
#define TALMO_WS                                                                         \
  "[\\t\\n\\x0B\\f\\r\\x1C-\\x1F \\x{85}\\x{A0}\\x{1680}\\x{2000}-\\x{200A}\\x{2028}" \
  "\\x{2029}\\x{202F}\\x{205F}\\x{3000}]"

// A fenced block: the object ends at the first "}" followed by optional
// whitespace and the closing fence. (?s) lets "." cross line breaks.
constexpr const char* FENCED_PATTERN = "(?s)```(?:json)?" TALMO_WS "*(\\{.*?\\})" TALMO_WS "*```";
// A bare object: first "{" to last "}".
constexpr const char* BARE_PATTERN = "(?s)(\\{.*\\})";

#undef TALMO_WS

const RE2& compiled(const char* pattern) {
  // Large replies must not push the DFA into its slower fallback too early.
  RE2::Options options;
  options.set_max_mem(64 << 20);
  options.set_log_errors(false);
  auto* re = new RE2(pattern, options);  // kept for the life of the process
  if (!re->ok()) throw std::logic_error("bad cleaning pattern: " + re->error());
  return *re;
}

}  // namespace

std::string clean_json_response(std::string_view raw_text) {
  static const RE2& fenced = compiled(FENCED_PATTERN);
  static const RE2& bare = compiled(BARE_PATTERN);

  re2::StringPiece input(raw_text.data(), raw_text.size());
  re2::StringPiece object;
  if (RE2::PartialMatch(input, fenced, &object)) return std::string(object.data(), object.size());
  if (RE2::PartialMatch(input, bare, &object)) return std::string(object.data(), object.size());
  return unicode::trim(raw_text);
}

}  // namespace talmo::interpreter
