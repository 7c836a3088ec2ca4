// Pieces shared by the engine's own source files; not part of its contract.
#pragma once

#include "core/interpreter/interpreter.hpp"
#include "support/json.hpp"

#include <string>
#include <string_view>

namespace talmo::interpreter::detail {

// The collaborators given to bind().
const Bindings& bound();

// An action's module and command as the executor reads them: lower case,
// "Identity Module" naming the identity module.
std::string action_module(const json& action);
std::string action_command(const json& action);

// True for an action that changes the owner's identity or jobs (identity
// update, add or remove; schedules add, update, remove or delete).
bool changes_something(const json& action);

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
