// Pieces shared by the engine's own source files; not part of its contract.
#pragma once

#include "core/interpreter/interpreter.hpp"
#include "support/json.hpp"

#include <memory>
#include <string>
#include <string_view>

namespace talmo::interpreter::detail {

// Pins the collaborators bound now for this thread until it is destroyed:
// each entry point (handle_conversation, execute_action) makes one, so one
// run uses one set of collaborators from start to end, and a bind()
// meanwhile frees nothing the run still uses. Nested pins keep the outer one's.
class Pin {
 public:
  Pin();
  ~Pin();
  Pin(const Pin&) = delete;
  Pin& operator=(const Pin&) = delete;

 private:
  std::shared_ptr<const Bindings> held_;
  const Bindings* previous_;
};

// The collaborators pinned on this thread, else those of the last bind()
// (the reference then stays valid until this thread's next bound() after a
// bind()).
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
