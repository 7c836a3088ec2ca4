// handle_conversation: entry and special commands, the routing stage and the
// worker loop, one owner message from start to final reply.
#include "core/interpreter/internal.hpp"
#include "core/llm/lexgate/lexgate.hpp"
#include "core/prompts/messages/messages.hpp"
#include "core/prompts/templates/templates.hpp"
#include "schema/schema.hpp"
#include "support/bound.hpp"
#include "support/log.hpp"
#include "support/unicode.hpp"

#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace talmo::interpreter {
namespace {

constexpr int MAX_TURNS = 10;

constexpr const char* ROUTING_ERROR_REPLY = "I encountered a routing error, Boss.";
constexpr const char* NO_RESPONSE_REPLY = "I'm not sure how to respond to that, Boss.";
constexpr const char* UNKNOWN_MODULE_REPLY = "I'm not equipped to handle that module yet, Boss.";
constexpr const char* INTERNAL_COMPLEXITY_REPLY = "I'm experiencing some internal complexity, Boss.";

talmo::Bound<Bindings>& storage() {
  static talmo::Bound<Bindings> bindings;
  return bindings;
}

void send(const std::string& number, const std::string& text) {
  const bool delivered = detail::bound().send_message(number, text);
  log::debug("Reply of " + std::to_string(unicode::length(text)) + " characters to " + number +
             (delivered ? " handed over" : " not delivered"));
}

// One model call, with a debug line saying what it cost.
std::optional<std::string> ask_model(const std::string& stage, const json& request) {
  const auto started = std::chrono::steady_clock::now();
  std::optional<std::string> raw = detail::bound().get_response_with_system(request);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
  log::debug(stage + ": " + std::to_string(request.size()) + " messages sent, " +
             (raw ? std::to_string(unicode::length(*raw)) + " characters" : std::string("no content")) +
             " back in " + std::to_string(ms) + " ms");
  return raw;
}

// When the gateway could not reach the model it answers with one of its two
// fixed JSON replies; the owner should read that reply's message, not a
// misleading fallback. Nothing when `raw` is an ordinary model reply.
std::optional<std::string> gateway_fixed_reply(const std::optional<std::string>& raw) {
  if (!raw || (*raw != lexgate::NO_KEY_REPLY && *raw != lexgate::ALL_FAILED_REPLY)) return std::nullopt;
  return json::parse(*raw).at("reply").get<std::string>();
}

// The raw reply as it appears in log lines; absent content shows as None.
std::string raw_for_log(const std::optional<std::string>& raw) { return raw ? *raw : "None"; }

// The decoded JSON of a model reply; absent content cannot be decoded.
json decode_reply(const std::optional<std::string>& raw) {
  if (!raw) throw std::runtime_error("the model returned no content");
  return decode_json(clean_json_response(*raw));
}

// The system message, then the stored history as the memory returns it,
// then this conversation's own exchange.
json build_request(const std::string& system_prompt, const json& stored, const json& exchange) {
  json request = json::array();
  request.push_back(json{{"role", "system"}, {"content", system_prompt}});
  for (const json& entry : stored) request.push_back(entry);
  for (const json& entry : exchange) request.push_back(entry);
  return request;
}

// The worker template for a routed module name; nullptr when there is none.
const std::string* worker_template_for(const std::string& module_name) {
  if (module_name == "identity") return &templates::IDENTITY_WORKER_PROMPT;
  if (module_name == "schedules") return &templates::SCHEDULES_WORKER_PROMPT;
  if (module_name == "web_search") return &templates::WEB_SEARCH_WORKER_PROMPT;
  return nullptr;
}

bool contains(std::string_view text, std::string_view fragment) {
  return text.find(fragment) != std::string_view::npos;
}

// Search results handed to the summarizer: the owner's question, Tavily's
// answer and the raw result entries. Built from the search's own result (the
// first DATA result that decodes to a map with `results`), so other data
// fetched in the same turn does not take its place; nothing when no result
// carries a "url" or none is such a map.
std::optional<std::string> web_search_payload(const std::vector<std::string>& results,
                                              const std::string& user_message) {
  bool has_url = false;
  for (const auto& result : results) has_url = has_url || contains(result, "\"url\"");
  if (!has_url) return std::nullopt;
  for (const auto& result : results) {
    if (!result.starts_with("DATA: ")) continue;
    try {
      const json data = json::parse(detail::remove_all(result, "DATA: "));
      if (!data.is_object() || !data.contains("results")) continue;
      json payload = json::object();
      payload["original_query"] = user_message;
      payload["tavily_answer"] = data.contains("answer") ? data["answer"] : json("");
      payload["raw_results"] = data["results"];
      return json_text(payload);
    } catch (const std::exception&) {
      continue;
    }
  }
  return std::nullopt;
}

std::string join_lines(const std::vector<std::string>& results) {
  std::string out;
  for (std::size_t i = 0; i < results.size(); ++i) out += (i ? "\n" : "") + results[i];
  return out;
}

bool is_blank(const std::string& text) { return unicode::trim(text).empty(); }

// A reply with nothing to read: the owner gets the router's fallback instead,
// and nothing is stored.
void send_no_response(const std::string& number, const std::string& who) {
  log::warning(who + " gave an empty reply; sending the fallback.");
  send(number, NO_RESPONSE_REPLY);
}

// The summarizer's reply as the owner should read it: the `reply` text when
// the model answered with a JSON object carrying one (as the general
// guidelines in its prompt ask), otherwise its text exactly as written.
std::string summary_text(const std::string& raw) {
  try {
    const json data = decode_json(clean_json_response(raw));
    if (data.is_object() && data.contains("reply") && data["reply"].is_string())
      return data["reply"].get<std::string>();
  } catch (const std::exception&) {
  }
  return raw;
}

// The summarizer's reply goes to the owner as plain text.
void deliver_summary(const std::string& number, const std::optional<std::string>& raw) {
  const Bindings& b = detail::bound();
  if (!raw) {
    log::error("Summarizer returned no content.");
    send(number, INTERNAL_COMPLEXITY_REPLY);
    return;
  }
  if (auto fixed = gateway_fixed_reply(raw)) {
    log::warning("Summarizer could not reach the language engine: " + *fixed);
    send(number, *fixed);
    return;
  }
  log::info("Summarizer response received (Plain Text).");
  const std::string text = summary_text(*raw);
  if (is_blank(text)) {
    send_no_response(number, "Summarizer");
    return;
  }
  b.memory_manager->add_message(number, "assistant", text);
  send(number, text);
  log::success("Search summary delivered successfully.");
}

enum class TurnEnd { next_turn, finished };

// JSON values equal as values: maps compare without regard to key order.
bool same_value(const json& a, const json& b) {
  if (a.is_object() && b.is_object()) {
    if (a.size() != b.size()) return false;
    for (auto it = a.begin(); it != a.end(); ++it) {
      auto other = b.find(it.key());
      if (other == b.end() || !same_value(it.value(), *other)) return false;
    }
    return true;
  }
  if (a.is_array() && b.is_array()) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
      if (!same_value(a[i], b[i])) return false;
    return true;
  }
  return a == b;
}

// The changes this conversation has made, with their results. A turn the
// model sends again (after a withheld final reply) must not repeat them: a
// reminder added once stays added once.
class DoneChanges {
 public:
  const std::string* find(const json& action) const {
    const std::string module = detail::action_module(action), command = detail::action_command(action);
    const json& args = arguments(action);
    for (const auto& d : done_)
      if (d.module == module && d.command == command && same_value(d.args, args)) return &d.result;
    return nullptr;
  }
  void add(const json& action, std::string result) {
    done_.push_back({detail::action_module(action), detail::action_command(action), arguments(action),
                     std::move(result)});
  }

 private:
  static const json& arguments(const json& action) {
    static const json none;
    auto it = action.find("args");
    return it == action.end() ? none : *it;
  }
  struct Done {
    std::string module, command;
    json args;
    std::string result;
  };
  std::vector<Done> done_;
};

bool succeeded(const std::string& result) {
  return !result.starts_with("ERROR: ") && result != schedules::PAST_TIME_ERROR;
}

// Runs a turn's actions in order. A past-time refusal stops them: the owner
// is told (once: the executor has already told the master number), and the
// conversation ends, so nothing is returned. A change identical to one that
// already succeeded in this conversation is not made again; the model gets
// its earlier result.
std::optional<std::vector<std::string>> run_actions(const std::string& number,
                                                    const std::vector<schema::ActionItem>& actions,
                                                    DoneChanges& changes) {
  const Bindings& b = detail::bound();
  std::vector<std::string> results;
  for (const auto& item : actions) {
    const json action = item.model_dump();
    const bool change = detail::changes_something(action);
    if (const std::string* earlier = change ? changes.find(action) : nullptr) {
      log::info("Action " + detail::action_module(action) + ":" + detail::action_command(action) +
                " already done in this conversation; not repeated.");
      results.push_back(*earlier);
      continue;
    }
    std::string result = execute_action(action);
    if (change && succeeded(result)) changes.add(action, result);
    if (result == schedules::PAST_TIME_ERROR) {
      log::warning("Blocking past-time schedule attempt.");
      const std::string notice = detail::past_time_notice(b.identity_manager->get_identity());
      if (unicode::digits_only(number) != unicode::digits_only(b.master)) send(number, notice);
      return std::nullopt;
    }
    results.push_back(std::move(result));
  }
  return results;
}

// Feeds a turn's results back to the model: its raw reply, then the server
// result (the search payload for the summarizer when there is one).
void feed_back(const std::string& user_message, const std::string& module_name, const std::string& raw,
               const std::vector<std::string>& results, json& internal_history) {
  std::optional<std::string> synthesis;
  if (module_name == "web_search") synthesis = web_search_payload(results, user_message);
  if (!synthesis) synthesis = join_lines(results);
  internal_history.push_back(json{{"role", "assistant"}, {"content", raw}});
  internal_history.push_back(
      json{{"role", "user"},
           {"content", "SERVER_RESULT:\n" + *synthesis + "\nPlease synthesize the final answer for Boss."}});
}

// One decoded worker reply: runs its actions and answers the owner when the
// reply ends the conversation; appends the data exchange otherwise.
TurnEnd handle_worker_reply(const std::string& number, const std::string& user_message,
                            const std::string& module_name, const std::string& raw,
                            const schema::AIResponse& ai_res, json& internal_history,
                            DoneChanges& changes) {
  const Bindings& b = detail::bound();
  using schema::Status;
  switch (ai_res.status) {
    case Status::AWAITING_DATA: {
      if (!ai_res.reply.empty()) {
        log::debug("Sending interim reply: " + ai_res.reply);
        send(number, ai_res.reply);
      }
      const auto results = run_actions(number, ai_res.actions, changes);
      if (!results) return TurnEnd::finished;
      feed_back(user_message, module_name, raw, *results, internal_history);
      return TurnEnd::next_turn;
    }
    case Status::DONE:
    case Status::NEEDS_CLARITY: {
      const auto results = run_actions(number, ai_res.actions, changes);
      if (!results) return TurnEnd::finished;
      // A final reply written before its actions ran may confirm work that
      // failed; the model sees the failure and answers again instead.
      for (const auto& result : *results) {
        if (result.starts_with("ERROR: ")) {
          log::warning("Final reply withheld: an action failed (" + result + ")");
          feed_back(user_message, module_name, raw, *results, internal_history);
          return TurnEnd::next_turn;
        }
      }
      if (is_blank(ai_res.reply)) {
        send_no_response(number, "Worker");
        return TurnEnd::finished;
      }
      b.memory_manager->add_message(number, "assistant", ai_res.reply);
      send(number, ai_res.reply);
      log::success("Final response delivered via " + module_name + " Worker.");
      return TurnEnd::finished;
    }
    case Status::ERROR:
      log::error("Worker reported an error status: " + ai_res.reply);
      send(number, is_blank(ai_res.reply) ? NO_RESPONSE_REPLY : ai_res.reply);
      return TurnEnd::finished;
  }
  return TurnEnd::next_turn;
}

void run_worker_loop(const std::string& number, const std::string& user_message,
                     const std::string& module_name, const std::string& worker_template) {
  const Bindings& b = detail::bound();
  json internal_history = json::array();
  DoneChanges changes;

  for (int turn = 0; turn < MAX_TURNS; ++turn) {
    log::info("Turn " + std::to_string(turn + 1) + "/10: Processing logic...");

    const std::string* current_template = &worker_template;
    bool is_summarizer_active = false;
    if (module_name == "web_search" && !internal_history.empty()) {
      const json& last = internal_history.back();
      const std::string last_msg = last.contains("content") ? last["content"].get<std::string>() : "";
      if (contains(last_msg, "SERVER_RESULT") && contains(last_msg, "\"raw_results\"")) {
        log::info("Switching to WEB_SEARCH_SUMMARIZER_PROMPT...");
        current_template = &templates::WEB_SEARCH_SUMMARIZER_PROMPT;
        is_summarizer_active = true;
      }
    }

    const std::string system_prompt = b.format_prompt(*current_template);
    const json full_history =
        build_request(system_prompt, b.memory_manager->get_history(number), internal_history);
    const lexgate::Stage stage(is_summarizer_active ? "summarizer" : "worker");
    const std::optional<std::string> raw =
        ask_model((is_summarizer_active ? "Summarizer" : "Worker turn " + std::to_string(turn + 1)), full_history);

    if (is_summarizer_active) {
      deliver_summary(number, raw);
      return;
    }

    try {
      const auto ai_res = schema::AIResponse::from_json(decode_reply(raw));
      log::info("Worker Status: " + schema::to_string(ai_res.status) + " | Thought: " + ai_res.thought);
      if (handle_worker_reply(number, user_message, module_name, *raw, ai_res, internal_history, changes) ==
          TurnEnd::finished)
        return;
    } catch (const std::exception& e) {
      log::error(std::string("Worker Logic/Parsing Error: ") + e.what() +
                 " | Turn: " + std::to_string(turn + 1));
      log::debug("Raw Worker Output: " + raw_for_log(raw));
      send(number, INTERNAL_COMPLEXITY_REPLY);
      return;
    }
  }

  log::warning("Synthesis loop timed out (10 turns).");
  send(number, messages::COMPLEX_TASK_MESSAGE);
}

// Stage 1: one model call decides between small talk and a worker module.
void route(const std::string& number, const std::string& user_message) {
  const Bindings& b = detail::bound();
  log::info("Stage 1: Routing Query...");
  const std::string router_sys_prompt = b.format_prompt(templates::ROUTER_PROMPT);
  const json history_for_router =
      build_request(router_sys_prompt, b.memory_manager->get_history(number), json::array());
  const std::optional<std::string> raw_router_res = [&] {
    const lexgate::Stage stage("router");
    return ask_model("Router", history_for_router);
  }();

  if (auto fixed = gateway_fixed_reply(raw_router_res)) {
    log::warning("Router could not reach the language engine: " + *fixed);
    send(number, *fixed);
    return;
  }

  schema::RouterResponse router_res;
  try {
    router_res = schema::RouterResponse::from_json(decode_reply(raw_router_res));
    log::success("Router Decision: " + router_res.module.value_or("None") +
                 " | Thought: " + router_res.thought);
  } catch (const std::exception& e) {
    log::error(std::string("Router Parsing Failed: ") + e.what() + " | Raw: " + raw_for_log(raw_router_res));
    send(number, ROUTING_ERROR_REPLY);
    return;
  }

  const std::string module = router_res.module.value_or("");
  if (module.empty() || unicode::to_lower(module) == "null") {
    log::info("Query routed to General Chat.");
    const std::string response = router_res.response.value_or("");
    // A response of only blanks says nothing: the fallback, like the worker's.
    if (!is_blank(response)) {
      b.memory_manager->add_message(number, "assistant", response);
      send(number, response);
      log::success("General response delivered.");
    } else {
      log::warning("Router picked null module but provided no response.");
      send(number, NO_RESPONSE_REPLY);
    }
    return;
  }

  const std::string module_name = unicode::to_lower(module);
  log::info("Stage 2: Activating " + unicode::to_upper(module_name) + " Worker...");
  const std::string* worker_template = worker_template_for(module_name);
  if (!worker_template) {
    log::error("Unknown module requested by router: " + module_name);
    send(number, UNKNOWN_MODULE_REPLY);
    return;
  }
  run_worker_loop(number, user_message, module_name, *worker_template);
}

}  // namespace

namespace detail {
namespace {
thread_local const Bindings* t_pinned = nullptr;
}  // namespace

Pin::Pin() : held_(t_pinned ? nullptr : storage().get()), previous_(t_pinned) {
  if (held_) t_pinned = held_.get();
}
Pin::~Pin() { t_pinned = previous_; }

const Bindings& bound() { return t_pinned ? *t_pinned : *storage().get(); }
}  // namespace detail

void bind(Bindings bindings) { storage().bind(std::move(bindings)); }

void handle_conversation(const std::string& number, const std::string& user_message) {
  const detail::Pin pin;
  const Bindings& b = detail::bound();
  log::info("🚀 STARTING CONVERSATION for " + number);
  b.set_typing(number, true);

  const std::string clean_msg = unicode::trim(unicode::to_lower(user_message));
  if (clean_msg == "/i" || clean_msg == "/identity") {
    log::info("Intercepted special command: /identity");
    send(number, format_identity_report(b.identity_manager->get_identity()));
    return;
  }
  if (clean_msg == "/s" || clean_msg == "/schedules") {
    log::info("Intercepted special command: /schedules");
    send(number, format_schedules_report(b.schedules_manager->get_jobs()));
    return;
  }

  b.memory_manager->add_message(number, "user", user_message);
  log::debug("Stored the owner's message (" + std::to_string(unicode::length(user_message)) + " characters)");
  route(number, user_message);
}

}  // namespace talmo::interpreter
