// Pieces shared by the engine's own source files; not part of its contract.
#pragma once

#include "core/interpreter/interpreter.hpp"
#include "support/json.hpp"

#include <string>
#include <string_view>

namespace talmo::interpreter::detail {

// The collaborators given to bind().
const Bindings& bound();

// PAST_TIME_ERROR_MESSAGE addressed to the identity's `owner` ("Boss" when
// the identity has none).
std::string past_time_notice(const json& identity);

// `text` with every occurrence of `word` removed, left to right, without
// rescanning what the removal joins together.
inline std::string remove_all(std::string text, std::string_view word) {
  for (auto pos = text.find(word); pos != std::string::npos; pos = text.find(word, pos))
    text.erase(pos, word.size());
  return text;
}

}  // namespace talmo::interpreter::detail
