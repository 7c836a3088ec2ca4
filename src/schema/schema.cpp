#include "schema/schema.hpp"

#include <array>
#include <string_view>
#include <utility>

namespace talmo::schema {
namespace {

[[noreturn]] void fail(std::string_view where, std::string_view expected, const json& got) {
  throw ValidationError(std::string(where) + ": expected " + std::string(expected) + ", got " +
                        type_description(got));
}

void require_object(std::string_view type_name, const json& data) {
  if (!data.is_object()) fail(type_name, "a JSON object", data);
}

// A text member: absent gives `fallback`; any other JSON type fails.
std::string text_member(const json& data, const char* name, std::string fallback) {
  auto it = data.find(name);
  if (it == data.end()) return fallback;
  if (!it->is_string()) fail(name, "text", *it);
  return it->get<std::string>();
}

// A text-or-null member: absent and null both give nothing.
std::optional<std::string> optional_text_member(const json& data, const char* name) {
  auto it = data.find(name);
  if (it == data.end() || it->is_null()) return std::nullopt;
  if (!it->is_string()) fail(name, "text or null", *it);
  return it->get<std::string>();
}

json member_or_null(const json& data, const char* name) {
  auto it = data.find(name);
  return it == data.end() ? json(nullptr) : *it;
}

constexpr std::array<std::pair<Status, std::string_view>, 4> STATUS_TEXTS{{
    {Status::AWAITING_DATA, "awaiting_data"},
    {Status::DONE, "done"},
    {Status::NEEDS_CLARITY, "needs_clarity"},
    {Status::ERROR, "error"},
}};

Status parse_status(const json& value) {
  if (!value.is_string()) fail("status", "one of awaiting_data, done, needs_clarity, error", value);
  const auto& text = value.get_ref<const std::string&>();
  for (const auto& [status, name] : STATUS_TEXTS)
    if (text == name) return status;
  throw ValidationError("status: expected one of awaiting_data, done, needs_clarity, error, got '" +
                        text + "'");
}

ActionItem parse_action(const json& item) {
  require_object("actions item", item);
  return ActionItem{member_or_null(item, "module"), member_or_null(item, "command"),
                    member_or_null(item, "args")};
}

}  // namespace

RouterResponse RouterResponse::from_json(const json& data) {
  require_object("RouterResponse", data);
  RouterResponse res;
  res.module = optional_text_member(data, "module");
  res.thought = text_member(data, "thought", "");
  res.response = optional_text_member(data, "response");
  return res;
}

std::string to_string(Status status) {
  for (const auto& [s, name] : STATUS_TEXTS)
    if (s == status) return std::string(name);
  return "error";
}

json ActionItem::model_dump() const {
  json out = json::object();
  out["module"] = module;
  out["command"] = command;
  out["args"] = args;
  return out;
}

AIResponse AIResponse::from_json(const json& data) {
  require_object("AIResponse", data);
  AIResponse res;
  res.thought = text_member(data, "thought", "");
  res.reply = text_member(data, "reply", "");
  auto status = data.find("status");
  if (status == data.end()) throw ValidationError("status: field required");
  res.status = parse_status(*status);
  if (auto actions = data.find("actions"); actions != data.end()) {
    if (!actions->is_array()) fail("actions", "a list", *actions);
    for (const auto& item : *actions) res.actions.push_back(parse_action(item));
  }
  return res;
}

}  // namespace talmo::schema
