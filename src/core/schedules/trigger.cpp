#include "core/schedules/trigger.hpp"

#include "support/tz.hpp"

#include <date/date.h>
#include <date/iso_week.h>

#include <array>
#include <cmath>
#include <cstdlib>

namespace talmo::schedules {
namespace {

using namespace std::chrono_literals;
using std::chrono::seconds;

std::string_view trim_ascii(std::string_view s) {
  const char* ws = " \t\r\n\f\v";
  const auto b = s.find_first_not_of(ws);
  if (b == std::string_view::npos) return {};
  const auto e = s.find_last_not_of(ws);
  return s.substr(b, e - b + 1);
}

std::string lower_ascii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool all_digits(std::string_view s) {
  if (s.empty() || s.size() > 9) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

int to_int(std::string_view digits) {
  int v = 0;
  for (char c : digits) v = v * 10 + (c - '0');
  return v;
}

// ---- cron fields ----------------------------------------------------------

struct FieldInfo {
  const char* name;
  int min;
  int max;
  const char* const* names;  // names[i] stands for min + i
  size_t name_count;
};

const char* const MONTH_NAMES[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                   "jul", "aug", "sep", "oct", "nov", "dec"};
const char* const DAY_NAMES[] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};

// In the order that decides which fields are "finer" than others.
const std::array<FieldInfo, 8> FIELDS = {{
    {"year", 1970, 9999, nullptr, 0},
    {"month", 1, 12, MONTH_NAMES, 12},
    {"day", 1, 31, nullptr, 0},
    {"week", 1, 53, nullptr, 0},
    {"day_of_week", 0, 6, DAY_NAMES, 7},
    {"hour", 0, 23, nullptr, 0},
    {"minute", 0, 59, nullptr, 0},
    {"second", 0, 59, nullptr, 0},
}};

// What a field takes when it is not given: the minimum for fields finer
// than the finest given one ("*" for week and day_of_week, which have no
// natural minimum), every value otherwise.
const std::array<const char*, 8> FINER_DEFAULTS = {"*", "1", "1", "*", "*", "0", "0", "0"};

CronField& field_at(CronSpec& spec, size_t i) {
  CronField* const fields[] = {&spec.year, &spec.month, &spec.day, &spec.week,
                               &spec.day_of_week, &spec.hour, &spec.minute, &spec.second};
  return *fields[i];
}

bool parse_value(std::string_view text, const FieldInfo& info, int& out) {
  if (all_digits(text)) {
    out = to_int(text);
    return true;
  }
  for (size_t i = 0; i < info.name_count; ++i) {
    if (text == info.names[i]) {
      out = info.min + static_cast<int>(i);
      return true;
    }
  }
  return false;
}

// Adds one comma-separated part of an expression to `field`. False when the
// part is malformed or out of range; `why` then says so when a plain "invalid"
// would not tell the owner what is wrong.
bool add_part(std::string_view part, const FieldInfo& info, CronField& field, std::string& why) {
  part = trim_ascii(part);
  if (part == "last" && std::string_view(info.name) == "day") {
    field.last = true;
    return true;
  }
  std::string_view base = part;
  int step = 0;
  if (const auto slash = part.find('/'); slash != std::string_view::npos) {
    base = trim_ascii(part.substr(0, slash));
    const auto step_text = trim_ascii(part.substr(slash + 1));
    if (!all_digits(step_text)) return false;
    step = to_int(step_text);
    if (step < 1) return false;
    // Such a step can only ever reach the first value: "*/90" minutes would
    // quietly run hourly.
    if (step > info.max - info.min) {
      why = "has a step of " + std::to_string(step) + ", larger than its span of " +
            std::to_string(info.max - info.min);
      return false;
    }
  }
  int first = 0;
  int last = 0;
  if (base == "*") {
    first = info.min;
    last = info.max;
  } else if (const auto dash = base.find('-'); dash != std::string_view::npos) {
    if (!parse_value(trim_ascii(base.substr(0, dash)), info, first)) return false;
    if (!parse_value(trim_ascii(base.substr(dash + 1)), info, last)) return false;
  } else {
    if (!parse_value(base, info, first)) return false;
    last = step ? info.max : first;
  }
  if (first < info.min || last > info.max || first > last) return false;
  if (step == 0) step = 1;
  for (int v = first; v <= last; v += step) field.allowed[static_cast<size_t>(v - info.min)] = true;
  return true;
}

bool parse_expression(std::string_view expr, const FieldInfo& info, CronField& field, std::string& why) {
  field.min = info.min;
  field.max = info.max;
  field.allowed.assign(static_cast<size_t>(info.max - info.min + 1), false);
  field.last = false;
  if (trim_ascii(expr).empty()) return false;
  size_t pos = 0;
  while (true) {
    const auto comma = expr.find(',', pos);
    const auto part = expr.substr(pos, comma == std::string_view::npos ? std::string_view::npos
                                                                       : comma - pos);
    if (!add_part(part, info, field, why)) return false;
    if (comma == std::string_view::npos) break;
    pos = comma + 1;
  }
  return true;
}

// The text of a cron field value: integers (and whole reals) in decimal,
// text trimmed and lower-cased. Nothing for other kinds of values.
std::optional<std::string> cron_text(const json& v) {
  if (v.is_number_integer()) {
    if (v.is_number_unsigned() || v.get<std::int64_t>() >= 0) return v.dump();
    return std::nullopt;
  }
  if (v.is_number_float()) {
    const double d = v.get<double>();
    if (!std::isfinite(d) || d < 0 || d != std::floor(d) || d > 1e9) return std::nullopt;
    return std::to_string(static_cast<long long>(d));
  }
  if (v.is_string()) return lower_ascii(trim_ascii(v.get_ref<const std::string&>()));
  return std::nullopt;
}

std::string quoted(const json& v) { return json_text(v); }

TriggerResult fail(std::string why) { return TriggerResult{std::nullopt, std::move(why)}; }

bool parse_cron(const json& args, CronSpec& spec, std::string& error) {
  for (const auto& [key, value] : args.items()) {
    bool known = false;
    for (const auto& f : FIELDS) known = known || key == f.name;
    if (!known) {
      error = "cron trigger has an unknown field '" + key + "'";
      return false;
    }
  }
  size_t finest_given = FIELDS.size();
  for (size_t i = 0; i < FIELDS.size(); ++i) {
    const auto it = args.find(FIELDS[i].name);
    if (it != args.end() && !it->is_null()) finest_given = i;
  }
  if (finest_given == FIELDS.size()) {
    error = "cron trigger needs at least one of year, month, day, week, day_of_week, hour, minute, second";
    return false;
  }
  for (size_t i = 0; i < FIELDS.size(); ++i) {
    const FieldInfo& info = FIELDS[i];
    const auto it = args.find(info.name);
    std::string expr;
    if (it != args.end() && !it->is_null()) {
      const auto text = cron_text(*it);
      if (!text) {
        error = std::string("cron field '") + info.name + "' must be a whole number or an expression, got " +
                quoted(*it);
        return false;
      }
      expr = *text;
    } else {
      expr = i > finest_given ? FINER_DEFAULTS[i] : "*";
    }
    std::string why;
    if (!parse_expression(expr, info, field_at(spec, i), why)) {
      if (!why.empty()) {
        error = std::string("cron field '") + info.name + "' " + quoted(it != args.end() ? *it : json(expr)) +
                " " + why;
        return false;
      }
      error = std::string("cron field '") + info.name + "' has an invalid expression " +
              quoted(it != args.end() ? *it : json(expr)) + " (allowed " + std::to_string(info.min) +
              "-" + std::to_string(info.max) + ")";
      return false;
    }
  }
  return true;
}

// ---- interval -------------------------------------------------------------

std::optional<double> interval_number(const json& v) {
  if (v.is_null()) return 0.0;
  if (v.is_number()) {
    const double d = v.get<double>();
    return std::isfinite(d) ? std::optional<double>(d) : std::nullopt;
  }
  if (v.is_string()) {
    const std::string text(trim_ascii(v.get_ref<const std::string&>()));
    if (text.empty()) return std::nullopt;
    for (char c : text)
      if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+')) return std::nullopt;
    char* end = nullptr;
    const double d = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(d)) return std::nullopt;
    return d;
  }
  return std::nullopt;
}

// ---- dates ----------------------------------------------------------------

// `now`, when given, settles a time in the repeated hour (to_instant_after).
bool parse_date_field(const json& v, const char* name, const date::time_zone* zone,
                      std::optional<Instant> now, std::optional<Instant>& out, std::string& error) {
  out.reset();
  if (v.is_null() || (v.is_string() && v.get_ref<const std::string&>().empty())) return true;
  if (v.is_string()) {
    if (const auto local = parse_local_datetime(v.get_ref<const std::string&>())) {
      out = now ? to_instant_after(*local, zone, *now) : to_instant(*local, zone);
      return true;
    }
  }
  error = std::string(name) + " must be a date in the form YYYY-MM-DD HH:MM:SS, got " + quoted(v);
  return false;
}

// ---- cron search ----------------------------------------------------------

std::optional<Instant> next_cron(const Trigger& t, Instant after) {
  const CronSpec& c = t.cron;
  Instant floor_after = after;
  if (t.start && *t.start - 1s > floor_after) floor_after = *t.start - 1s;
  // Candidates are walked in wall-clock order from the second after
  // `floor_after`; the wall clock maps monotonically onto instants, so the
  // first candidate whose instant lies after `floor_after` is the answer.
  const LocalTime from = to_local(floor_after, t.zone) + 1s;
  const auto from_day = date::floor<date::days>(from);
  const date::year_month_day from_ymd{from_day};
  const date::hh_mm_ss<seconds> from_tod{from - from_day};
  const int y0 = static_cast<int>(from_ymd.year());
  const int h0 = static_cast<int>(from_tod.hours().count());
  const int mi0 = static_cast<int>(from_tod.minutes().count());

  bool every_year = true;
  for (int y = c.year.min; y <= c.year.max && every_year; ++y) every_year = c.year.matches(y);
  // The Gregorian calendar repeats every 400 years, so when every year is
  // allowed a pattern that finds nothing in 401 years never matches.
  const int y_last = every_year ? std::min(c.year.max, y0 + 400) : c.year.highest();

  for (int y = std::max(y0, c.year.min); y <= y_last; ++y) {
    if (!c.year.matches(y)) continue;
    for (unsigned m = 1; m <= 12; ++m) {
      if (!c.month.matches(static_cast<int>(m))) continue;
      const date::year_month ym{date::year{y}, date::month{m}};
      if (ym < from_ymd.year() / from_ymd.month()) continue;
      const unsigned last_day = static_cast<unsigned>((ym / date::last).day());
      for (unsigned d = 1; d <= last_day; ++d) {
        if (!(c.day.matches(static_cast<int>(d)) || (c.day.last && d == last_day))) continue;
        const date::local_days day{ym / date::day{d}};
        if (day < from_day) continue;
        const date::sys_days as_sys{day.time_since_epoch()};
        const int weekday = static_cast<int>(date::weekday{as_sys}.iso_encoding()) - 1;
        if (!c.day_of_week.matches(weekday)) continue;
        const int week = static_cast<int>(static_cast<unsigned>(iso_week::year_weeknum_weekday{as_sys}.weeknum()));
        if (!c.week.matches(week)) continue;
        const bool first_day = day == from_day;
        for (int h = 0; h <= 23; ++h) {
          if (!c.hour.matches(h) || (first_day && h < h0)) continue;
          for (int mi = 0; mi <= 59; ++mi) {
            if (!c.minute.matches(mi) || (first_day && h == h0 && mi < mi0)) continue;
            for (int s = 0; s <= 59; ++s) {
              if (!c.second.matches(s)) continue;
              const LocalTime cand = day + std::chrono::hours{h} + std::chrono::minutes{mi} + seconds{s};
              if (cand < from) continue;
              const Instant at = to_instant(cand, t.zone);
              if (t.end && at > *t.end) return std::nullopt;
              if (at > floor_after) return at;
            }
          }
        }
      }
    }
  }
  return std::nullopt;
}

}  // namespace

int CronField::highest() const {
  for (int v = max; v >= min; --v)
    if (matches(v)) return v;
  return min - 1;
}

std::optional<LocalTime> parse_local_datetime(std::string_view s) {
  if (s.size() != 19 || s[4] != '-' || s[7] != '-' || s[10] != ' ' || s[13] != ':' || s[16] != ':')
    return std::nullopt;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18})
    if (s[i] < '0' || s[i] > '9') return std::nullopt;
  const int y = to_int(s.substr(0, 4));
  const unsigned mo = static_cast<unsigned>(to_int(s.substr(5, 2)));
  const unsigned d = static_cast<unsigned>(to_int(s.substr(8, 2)));
  const int h = to_int(s.substr(11, 2));
  const int mi = to_int(s.substr(14, 2));
  const int sec = to_int(s.substr(17, 2));
  const date::year_month_day ymd{date::year{y}, date::month{mo}, date::day{d}};
  if (!ymd.ok() || h > 23 || mi > 59 || sec > 59) return std::nullopt;
  return date::local_days{ymd} + std::chrono::hours{h} + std::chrono::minutes{mi} + seconds{sec};
}

std::string format_local_datetime(LocalTime t) { return date::format("%Y-%m-%d %H:%M:%S", t); }

Instant to_instant(LocalTime t, const date::time_zone* zone) { return tz::occurrences(zone, t).first; }

Instant to_instant_after(LocalTime t, const date::time_zone* zone, Instant now) {
  const tz::Occurrences at = tz::occurrences(zone, t);
  return at.first > now ? at.first : at.second;
}

LocalTime to_local(Instant t, const date::time_zone* zone) {
  return LocalTime{(t + tz::offset_at(zone, t).offset).time_since_epoch()};
}

std::string format_instant(Instant t, const date::time_zone* zone) {
  return format_local_datetime(to_local(t, zone));
}

TriggerResult parse_trigger(std::string_view type, const json& args, const json& start_date,
                            const json& end_date, const date::time_zone* zone, Instant set_at) {
  if (!args.is_object()) return fail("trigger_args must be a map, got " + quoted(args));
  Trigger t;
  t.zone = zone;
  std::string error;
  if (!parse_date_field(start_date, "start_date", zone, set_at, t.start, error) ||
      !parse_date_field(end_date, "end_date", zone, std::nullopt, t.end, error))
    return fail(error);
  if (t.start && t.end && *t.end <= *t.start) return fail("end_date must lie after start_date");

  if (type == "date") {
    t.kind = TriggerKind::date;
    for (const auto& [key, value] : args.items())
      if (key != "run_date") return fail("date trigger has an unknown field '" + key + "'");
    const auto it = args.find("run_date");
    if (it == args.end() || it->is_null()) return fail("date trigger needs run_date");
    std::optional<Instant> run;
    if (!parse_date_field(*it, "run_date", zone, set_at, run, error)) return fail(error);
    if (!run) return fail("date trigger needs run_date");
    t.run_time = *run;
    // A one-time job runs at its run_date; start and end do not move it.
    t.start.reset();
    t.end.reset();
    return TriggerResult{std::move(t), {}};
  }

  if (type == "interval") {
    t.kind = TriggerKind::interval;
    static const std::pair<const char*, double> units[] = {
        {"weeks", 604800.0}, {"days", 86400.0}, {"hours", 3600.0}, {"minutes", 60.0}, {"seconds", 1.0}};
    for (const auto& [key, value] : args.items()) {
      bool known = false;
      for (const auto& u : units) known = known || key == u.first;
      if (!known) return fail("interval trigger has an unknown field '" + key + "'");
    }
    double total = 0;
    bool positive = false;
    for (const auto& [unit, secs] : units) {
      const auto it = args.find(unit);
      if (it == args.end()) continue;
      const auto n = interval_number(*it);
      if (!n) return fail(std::string("interval field '") + unit + "' must be a number, got " + quoted(*it));
      if (*n < 0) return fail(std::string("interval field '") + unit + "' must not be negative");
      positive = positive || *n > 0;
      total += *n * secs;
    }
    if (!positive)
      return fail("interval trigger needs a positive value in weeks, days, hours, minutes or seconds");
    if (total > 1e10) return fail("interval is too long");
    t.every = seconds{std::llround(total)};
    if (t.every < 1s) return fail("interval is shorter than one second");
    t.first_run = t.start ? *t.start : set_at + t.every;
    return TriggerResult{std::move(t), {}};
  }

  if (type == "cron") {
    t.kind = TriggerKind::cron;
    if (!parse_cron(args, t.cron, error)) return fail(error);
    return TriggerResult{std::move(t), {}};
  }

  return fail("trigger_type must be 'date', 'interval' or 'cron', got '" + std::string(type) + "'");
}

std::optional<Instant> next_fire_after(const Trigger& t, Instant after) {
  switch (t.kind) {
    case TriggerKind::date:
      if (t.run_time > after) return t.run_time;
      return std::nullopt;
    case TriggerKind::interval: {
      Instant next = t.first_run;
      if (after >= t.first_run) {
        const auto periods = (after - t.first_run) / t.every + 1;
        next = t.first_run + periods * t.every;
      }
      if (t.end && next > *t.end) return std::nullopt;
      return next;
    }
    case TriggerKind::cron:
      return next_cron(t, after);
  }
  return std::nullopt;
}

}  // namespace talmo::schedules
