// The conversation engine: one owner message from entry to final reply.
#pragma once

#include "core/identity/identity.hpp"
#include "core/memory/memory.hpp"
#include "core/schedules/schedules.hpp"
#include "core/web_search/web_search.hpp"
#include "support/json.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace talmo::interpreter {

// The engine's collaborators, bound once at start-up. Every member must be
// set before handle_conversation runs; the stores must outlive the binding.
struct Bindings {
  // The LLM gateway (lexgate::get_response_with_system in production).
  std::function<std::optional<std::string>(const json& messages)> get_response_with_system;
  // Stores a text for the owner (Outbox::enqueue in production, the console
  // in `talmo chat`): true once the text is stored; delivery is the outbox's
  // (see `app/outbox.hpp`).
  std::function<bool(const std::string& number, const std::string& text)> send_message;
  // The bridge client (sendwire::set_typing in production).
  std::function<bool(const std::string& number, bool is_typing)> set_typing;
  identity::IdentityStore* identity_manager = nullptr;
  memory::ConversationMemory* memory_manager = nullptr;
  schedules::ScheduleRegistry* schedules_manager = nullptr;
  // Bound late: called when a search action runs, so a missing provider
  // fails only that action.
  std::function<std::shared_ptr<web_search::Provider>()> web_search_manager;
  // The prompt filler (utils::format_prompt in production).
  std::function<std::string(std::string_view templ)> format_prompt;
  // MASTER_NUMBER as configured; the address of the executor's notices.
  std::string master;
};

// Replaces the bound collaborators. Safe at any time: a conversation or
// action already running finishes with the collaborators it started with.
void bind(Bindings bindings);

// Handles one verified owner message: typing on, special commands, memory,
// routing, worker loop (at most ten model turns), reply. Blocking; one call at
// a time. Failures outside the guarded regions (router decoding, each worker
// turn's decoding and actions) propagate to the caller (the conversation
// runner logs them) and nothing is sent to the owner.
//
// When the gateway answers with one of its fixed replies (no key, every key
// failed) on the router or summarizer turn, the owner is sent that reply's
// `reply` text and nothing is stored; absent model content counts as a reply
// that cannot be decoded. The past-time notice goes to `number` only when its
// digits differ from the master number's, since the executor has already
// told the master number.
//
// The owner is told only what is true:
// - a done or needs_clarity reply is sent (and stored) only when none of its
//   actions answered "ERROR: "; otherwise the results go back to the model
//   as a data turn would, and it answers again. A past-time refusal among
//   them ends the conversation with the notice alone;
// - a summarizer reply that is a JSON object with a text `reply` is
//   delivered as that text;
// - a blank reply (done, needs_clarity, error, summarizer) is replaced by
//   "I'm not sure how to respond to that, Boss." and nothing is stored.
void handle_conversation(const std::string& number, const std::string& user_message);

// Cuts the JSON object out of a model reply (fenced block first, then the
// widest bare object, else the trimmed input). Linear in the reply's length.
std::string clean_json_response(std::string_view raw_text);

// Runs one worker action and answers with its result text ("SUCCESS: ...",
// "DATA: ...", "ERROR: ..." or "PAST_TIME_ERROR"). Throws
// std::invalid_argument when `action` is not a map.
std::string execute_action(const json& action);

// The identity profile as a chat message. Throws std::invalid_argument for a non-map.
std::string format_identity_report(const json& identity);
// The task board as a chat message. Throws for a non-list or a malformed job.
std::string format_schedules_report(const json& jobs);

}  // namespace talmo::interpreter
