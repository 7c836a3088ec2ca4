// The two chat reports that answer the special commands without the model.
#include "core/identity/identity.hpp"
#include "core/interpreter/interpreter.hpp"
#include "support/unicode.hpp"

#include <stdexcept>
#include <string>

namespace talmo::interpreter {
namespace {

// "favourite_food" -> "Favourite Food".
std::string label(std::string key) {
  for (char& c : key)
    if (c == '_') c = ' ';
  return unicode::title_case(key);
}

// The job's value for `key`, or `fallback` when the job has no such key.
std::string shown(const json& job, const char* key, const char* fallback) {
  auto it = job.find(key);
  return it == job.end() ? fallback : display_text(*it);
}

const json& required(const json& job, const char* key) {
  auto it = job.find(key);
  if (it == job.end()) throw std::invalid_argument(std::string("job without '") + key + "'");
  return *it;
}

// The trigger's parameters as a map: stored either as a map or as its JSON
// text; text that does not parse counts as no parameters.
json trigger_parameters(const json& job) {
  auto it = job.find("trigger_args");
  json params = it == job.end() ? json("{}") : *it;
  if (params.is_string()) {
    try {
      params = json::parse(params.get_ref<const std::string&>());
    } catch (const json::parse_error&) {
      params = json::object();
    }
  }
  if (!params.is_object())
    throw std::invalid_argument("trigger_args must be a map or the JSON text of one, got " +
                                type_description(params));
  return params;
}

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) out += separator;
    out += parts[i];
  }
  return out;
}

std::string interval_parts(const json& params) {
  std::vector<std::string> parts;
  for (const char* unit : {"weeks", "days", "hours", "minutes", "seconds"}) {
    auto it = params.find(unit);
    if (it != params.end() && !is_empty_value(*it)) parts.push_back(display_text(*it) + " " + unit);
  }
  return parts.empty() ? "N/A" : join(parts, "  ");
}

std::string cron_parts(const json& params) {
  std::vector<std::string> parts;
  for (const char* field : {"day_of_week", "hour", "minute", "day", "month"}) {
    auto it = params.find(field);
    if (it != params.end() && !it->is_null()) parts.push_back(std::string(field) + "=" + display_text(*it));
  }
  return parts.empty() ? "N/A" : join(parts, ", ");
}

// "   › <kind> · <timing>\n" for one job.
std::string kind_line(const json& job) {
  auto type_it = job.find("trigger_type");
  const std::string type =
      type_it != job.end() && type_it->is_string() ? type_it->get<std::string>() : "";
  const json params = trigger_parameters(job);

  std::string kind;
  std::string timing;
  if (type == "date") {
    kind = "⏳ One-time";
    timing = "Runs at: `" + shown(params, "run_date", "N/A") + "`";
  } else if (type == "interval") {
    kind = "🔁 Repeating";
    timing = "Every: `" + interval_parts(params) + "`";
  } else if (type == "cron") {
    kind = "📅 Calendar-based";
    timing = "Pattern: `" + cron_parts(params) + "`";
  } else {
    kind = "❓ Unknown";
    timing = "Args: `" + display_text(params) + "`";
  }
  return "   › " + kind + " · " + timing + "\n";
}

}  // namespace

std::string format_identity_report(const json& identity) {
  if (!identity.is_object())
    throw std::invalid_argument("the identity must be a map, got " + type_description(identity));

  std::string out = "👤 *Identity Profile*\n\n";
  for (const char* key : identity::CORE_KEYS) {
    auto it = identity.find(key);
    const std::string value = it == identity.end() ? "Not set" : display_text(*it);
    out += "*" + label(key) + ":* " + value + "\n";
  }

  std::string additional;
  for (const auto& [key, value] : identity.items()) {
    bool core = false;
    for (const char* core_key : identity::CORE_KEYS) core = core || key == core_key;
    if (!core) additional += "   › " + label(key) + ": " + display_text(value) + "\n";
  }
  if (!additional.empty()) out += "\n*Additional Info:*\n" + additional;
  return unicode::trim(out);
}

std::string format_schedules_report(const json& jobs) {
  if (!jobs.is_array())
    throw std::invalid_argument("the job list must be a list, got " + type_description(jobs));
  if (jobs.empty()) return "*Task Board*\n\n_No active tasks found._";

  std::string out = "*Task Board — " + std::to_string(jobs.size()) + " Active Task(s)*\n\n";
  for (const json& job : jobs) {
    if (!job.is_object())
      throw std::invalid_argument("a job must be a map, got " + type_description(job));
    const std::string id = display_text(required(job, "id"));
    const std::string title = display_text(required(job, "title"));

    out += "*" + id + ".* " + title + "\n";
    out += kind_line(job);

    auto end_it = job.find("end_date");
    const std::string end_date =
        end_it == job.end() || is_empty_value(*end_it) ? "No end date" : display_text(*end_it);
    out += "   › Next: `" + shown(job, "next_run_time", "N/A") + "` · Ends: `" + end_date + "`\n";

    auto fetch_it = job.find("fetch_module");
    if (fetch_it != job.end() && !is_empty_value(*fetch_it))
      out += "   › Fetches from: `" + display_text(*fetch_it) + "`\n";
    out += "\n";
  }
  return unicode::trim(out);
}

}  // namespace talmo::interpreter
