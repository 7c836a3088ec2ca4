// The action executor: one worker action against the host services, answered
// with one result text the model can read.
#include "core/interpreter/internal.hpp"
#include "core/prompts/messages/messages.hpp"
#include "support/log.hpp"
#include "support/unicode.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace talmo::interpreter {
namespace {

std::string member_text(const json& action, const char* key) {
  auto it = action.find(key);
  return it == action.end() ? std::string() : display_text(*it);
}

// Commands that read named members need a map.
const json& require_map(const json& args, std::string_view action_name) {
  if (!args.is_object())
    throw std::invalid_argument(std::string(action_name) + " needs 'args' as a dictionary, got " +
                                type_description(args));
  return args;
}

json member_or_null(const json& map, const char* key) {
  auto it = map.find(key);
  return it == map.end() ? json(nullptr) : *it;
}

// A job id after conversion. The registry's ids fit in 64 bits; a larger
// whole number still converts (it simply names no job), so it keeps only its
// decimal text and the registry is not asked about it.
struct JobId {
  std::optional<std::int64_t> value;  // nothing when beyond 64 bits
  std::string decimal;
};

JobId in_range(std::int64_t value) { return {value, std::to_string(value)}; }

// Exact decimal digits of a whole, finite, non-negative double.
std::string whole_double_digits(double whole) {
  int exponent = 0;
  const double fraction = std::frexp(whole, &exponent);  // whole = fraction * 2^exponent
  constexpr int MANTISSA_BITS = std::numeric_limits<double>::digits;
  auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, MANTISSA_BITS));
  int shift = exponent - MANTISSA_BITS;  // >= 0 for the magnitudes that reach here
  std::string digits = std::to_string(mantissa);  // most significant first
  for (; shift > 0; --shift) {
    int carry = 0;
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
      const int d = (*it - '0') * 2 + carry;
      *it = static_cast<char>('0' + d % 10);
      carry = d / 10;
    }
    if (carry) digits.insert(digits.begin(), static_cast<char>('0' + carry));
  }
  return digits;
}

// A job id as the registry takes it: whole numbers as they are, reals
// truncated toward zero, base-10 text with optional surrounding whitespace
// and sign. Anything else fails the command.
JobId to_job_id(const json& value) {
  if (value.is_number_unsigned()) {
    const auto magnitude = value.get<std::uint64_t>();
    if (magnitude > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      return {std::nullopt, std::to_string(magnitude)};
    return in_range(static_cast<std::int64_t>(magnitude));
  }
  if (value.is_number_integer()) return in_range(value.get<std::int64_t>());
  if (value.is_number_float()) {
    const double truncated = std::trunc(value.get<double>());
    if (!std::isfinite(truncated)) throw std::invalid_argument("invalid job id: " + display_text(value));
    // 2^63 is exactly representable; anything at or beyond it does not fit.
    if (truncated >= -9223372036854775808.0 && truncated < 9223372036854775808.0)
      return in_range(static_cast<std::int64_t>(truncated));
    return {std::nullopt, (truncated < 0 ? "-" : "") + whole_double_digits(std::fabs(truncated))};
  }
  if (value.is_string()) {
    const std::string text = unicode::trim(value.get_ref<const std::string&>());
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
      negative = digits.front() == '-';
      digits.remove_prefix(1);
    }
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos)
      throw std::invalid_argument("invalid job id: '" + value.get<std::string>() + "'");
    digits.remove_prefix(std::min(digits.find_first_not_of('0'), digits.size() - 1));
    std::uint64_t magnitude = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
    const std::uint64_t limit =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + (negative ? 1 : 0);
    if (ec == std::errc() && end == digits.data() + digits.size() && magnitude <= limit)
      return in_range(negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude));
    return {std::nullopt, (negative ? "-" : "") + std::string(digits)};
  }
  throw std::invalid_argument("invalid job id of type " + type_description(value));
}

// The key under which a requested identity key appears in the DATA map:
// text as it is, any other value as JSON would write it as a key.
std::string output_key(const json& key) {
  if (key.is_string()) return key.get<std::string>();
  if (key.is_array() || key.is_object())
    throw std::invalid_argument("unhashable identity key: " + type_description(key));
  return json_text(key);
}

std::string identity_update(const json& args, const std::string& command) {
  if (!args.is_object()) {
    log::warning("Action " + command + " requires a dict, got " + type_description(args));
    return "ERROR: Requires a dictionary.";
  }
  detail::bound().identity_manager->update_identity(args);
  json keys = json::array();
  for (const auto& [key, value] : args.items()) keys.push_back(key);
  log::success("Identity updated with keys: " + display_text(keys));
  return "SUCCESS: Identity updated.";
}

std::string identity_fetch(const json& args) {
  const json identity = detail::bound().identity_manager->get_identity();
  const bool wants_all =
      (args.is_string() && args.get_ref<const std::string&>() == "all") ||
      (args.is_array() && std::find(args.begin(), args.end(), json("all")) != args.end());
  if (wants_all) return "DATA: " + json_text(identity);

  const json keys = args.is_array() ? args : json::array({display_text(args)});
  json found = json::object();
  for (const json& key : keys) {
    const std::string name = output_key(key);
    if (found.contains(name)) continue;  // first position wins
    auto it = identity.find(display_text(key));
    found[name] = it == identity.end() ? json("Not found") : *it;
  }
  return "DATA: " + json_text(found);
}

std::string identity_remove(const json& args) {
  const json keys = args.is_array() ? args : json::array({display_text(args)});
  const json removed = detail::bound().identity_manager->remove_identity_keys(keys);
  log::success("Removed identity keys: " + display_text(removed));
  return "SUCCESS: Removed: " + display_text(removed);
}

std::string schedule_add(const json& args) {
  const json& fields = require_map(args, "schedules:add");
  schedules::NewJob job{member_or_null(fields, "title"),        member_or_null(fields, "mode"),
                        member_or_null(fields, "fixed_content"), member_or_null(fields, "trigger_type"),
                        member_or_null(fields, "trigger_args"),  member_or_null(fields, "fetch_module"),
                        member_or_null(fields, "fetch_args"),    member_or_null(fields, "start_date"),
                        member_or_null(fields, "end_date")};
  const Bindings& b = detail::bound();
  const json res = b.schedules_manager->add_job(job);

  if (res.is_string() && res.get_ref<const std::string&>() == schedules::PAST_TIME_ERROR) {
    log::warning("Blocking past-time schedule attempt.");
    const std::string notice = detail::past_time_notice(b.identity_manager->get_identity());
    b.send_message(b.master, notice);
    return schedules::PAST_TIME_ERROR;
  }
  if (!is_empty_value(res)) {
    if (!res.is_object() || !res.contains("id"))
      throw std::runtime_error("the schedule registry answered without a job id: " + display_text(res));
    const std::string id = display_text(res["id"]);
    log::success("Task scheduled successfully (ID: " + id + ")");
    return "SUCCESS: Created task with ID: " + id;
  }
  log::error("Schedules manager returned None for add_job");
  return "ERROR: Scheduling failed.";
}

std::string schedule_fetch() {
  return "DATA: " + json_text(detail::bound().schedules_manager->get_jobs());
}

std::string schedule_update(const json& args) {
  const json& fields = require_map(args, "schedules:update");
  const json id = member_or_null(fields, "id");
  const json updates = fields.contains("updates") ? fields["updates"] : json::object();
  if (is_empty_value(id) || is_empty_value(updates))
    return "ERROR: Update requires 'id' and 'updates' dictionary.";
  const JobId job = to_job_id(id);
  const bool changed = job.value && detail::bound().schedules_manager->update_job(*job.value, updates);
  return changed ? "SUCCESS: Schedule updated." : "ERROR: Schedule update failed.";
}

std::string schedule_remove(const json& args) {
  const json requested = args.is_array() ? args : json::array({args});
  // Every id is converted before anything is removed, so one bad id removes nothing.
  std::vector<JobId> ids;
  for (const json& id : requested) ids.push_back(to_job_id(id));

  std::vector<std::string> entries;
  for (const JobId& id : ids) {
    const bool removed = id.value && detail::bound().schedules_manager->remove_job_by_id(*id.value);
    entries.push_back("ID " + id.decimal + ": " + (removed ? "Removed" : "Not found"));
  }
  log::info("Schedule removal results: " + display_text(json(entries)));

  std::string detail_text;
  for (std::size_t i = 0; i < entries.size(); ++i) detail_text += (i ? ", " : "") + entries[i];
  return "SUCCESS: " + detail_text;
}

std::string web_search(const json& args) {
  const Bindings& b = detail::bound();
  std::shared_ptr<web_search::Provider> provider = b.web_search_manager ? b.web_search_manager() : nullptr;
  if (!provider) throw std::runtime_error("the web search provider is not available");
  const json& params = require_map(args, "web_search:search");
  auto [results, error] = provider->search(params);
  if (!error.empty()) return "ERROR: Web search provider returned: " + error;
  if (results.is_null()) return "ERROR: Web search failed.";
  return "DATA: " + json_text(results);
}

std::string unknown_action(const std::string& module, const std::string& command) {
  log::warning("Unknown module or command: " + module + ":" + command);
  return "ERROR: Unknown module '" + module + "' or command '" + command + "'.";
}

std::string dispatch(const std::string& module, const std::string& command, const json& args) {
  if (module == "identity") {
    if (command == "update" || command == "add") return identity_update(args, command);
    if (command == "fetch") return identity_fetch(args);
    if (command == "remove") return identity_remove(args);
  } else if (module == "schedules") {
    if (command == "add") return schedule_add(args);
    if (command == "fetch") return schedule_fetch();
    if (command == "update") return schedule_update(args);
    if (command == "remove" || command == "delete") return schedule_remove(args);
  } else if (module == "web_search") {
    if (command == "search") return web_search(args);
  }
  return unknown_action(module, command);
}

}  // namespace

std::string execute_action(const json& action) {
  if (!action.is_object())
    throw std::invalid_argument("execute_action expects a map, got " + type_description(action));

  const detail::Pin pin;
  const std::string module = detail::action_module(action);
  const std::string command = detail::action_command(action);
  const json args = member_or_null(action, "args");
  log::info("⚡ EXECUTING ACTION: " + module + ":" + command + " | Args: " + json_text(args));

  try {
    return dispatch(module, command, args);
  } catch (const std::exception& e) {
    log::error(std::string("Action Execution Exception: ") + e.what());
    return std::string("ERROR: ") + e.what();
  }
}

namespace detail {

// "Identity", "identity module" and "IdentityModule" all name the identity module.
std::string action_module(const json& action) {
  return unicode::trim(remove_all(unicode::to_lower(member_text(action, "module")), "module"));
}

std::string action_command(const json& action) { return unicode::to_lower(member_text(action, "command")); }

bool changes_something(const json& action) {
  if (!action.is_object()) return false;
  const std::string module = action_module(action);
  const std::string command = action_command(action);
  if (module == "identity") return command == "update" || command == "add" || command == "remove";
  if (module == "schedules")
    return command == "add" || command == "update" || command == "remove" || command == "delete";
  return false;
}

std::string past_time_notice(const json& identity) {
  auto it = identity.find("owner");
  const std::string owner = it == identity.end() ? std::string("Boss") : display_text(*it);
  std::string notice = messages::PAST_TIME_ERROR_MESSAGE;
  static constexpr std::string_view placeholder = "{owner}";
  for (auto pos = notice.find(placeholder); pos != std::string::npos;
       pos = notice.find(placeholder, pos + owner.size()))
    notice.replace(pos, placeholder.size(), owner);
  return notice;
}

}  // namespace detail
}  // namespace talmo::interpreter
