// The model's reply shapes, validated when built from decoded JSON.
#pragma once

#include "support/json.hpp"

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace talmo::schema {

// A reply member of the wrong type or value. what() says which.
struct ValidationError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The router's decision. `module`: text or null (missing: null); `thought`:
// text (missing: ""); `response`: text or null (missing: null). Unknown
// members are ignored; a member of another JSON type fails.
struct RouterResponse {
  std::optional<std::string> module;
  std::string thought;
  std::optional<std::string> response;

  // Throws ValidationError; `data` must be a JSON object.
  static RouterResponse from_json(const json& data);
};

enum class Status { AWAITING_DATA, DONE, NEEDS_CLARITY, ERROR };
// "awaiting_data", "done", "needs_clarity", "error".
std::string to_string(Status status);

// One action the worker asked for, kept as the model wrote it.
struct ActionItem {
  json module;   // missing: null
  json command;  // missing: null
  json args;     // missing: null
  // {"module": ..., "command": ..., "args": ...}
  json model_dump() const;
};

// A worker reply: `thought` and `reply` text (default ""), `status` one of
// the four texts (required), `actions` a list of action objects (default
// empty); `context_cache` and unknown members are ignored.
struct AIResponse {
  std::string thought;
  std::string reply;
  Status status = Status::ERROR;
  std::vector<ActionItem> actions;

  // Throws ValidationError; `data` must be a JSON object.
  static AIResponse from_json(const json& data);
};

}  // namespace talmo::schema
