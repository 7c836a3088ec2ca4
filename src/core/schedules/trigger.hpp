// Trigger math of the schedule registry: when a job fires next.
//
// Everything here is a pure function of its arguments (the time zone comes
// from the system's tz database); nothing reads the clock.
//
// Wall-clock rules, in the job's IANA zone:
// - A local time the zone skips (the spring-forward gap) means the first
//   instant after the gap: a 02:30 job on a day whose clocks jump from 02:00
//   to 03:00 fires at 03:00.
// - A local time that occurs twice (the fall-back hour) means its first
//   occurrence, and a cron time fires once per wall-clock time: a daily 02:30
//   job fires once on the fall-back day, and the repeated hour does not fire
//   again. A run_date or start_date whose first occurrence is not after the
//   moment the trigger was set means the second: "in 5 minutes", said during
//   the repeated hour, is 5 minutes later, not an hour in the past.
// - Past the zone's last listed transition (2038 on), local times follow the
//   zone's rule, so summer time keeps alternating (see support/tz.hpp).
// - Interval triggers run in absolute time: "every 1 hour" is 3600 s apart
//   across any change of the clocks.
#pragma once

#include "support/json.hpp"

#include <date/tz.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace talmo::schedules {

using Instant = std::chrono::sys_seconds;
using LocalTime = date::local_seconds;

// "YYYY-MM-DD HH:MM:SS" exactly, a real calendar date and a time from
// 00:00:00 to 23:59:59; nothing for any other text.
std::optional<LocalTime> parse_local_datetime(std::string_view text);
// The same form back.
std::string format_local_datetime(LocalTime t);

// Wall-clock time in `zone` to an instant, by the rules above (gap: the first
// instant after it; repeated hour: the first occurrence).
Instant to_instant(LocalTime t, const date::time_zone* zone);
// As to_instant, but in the repeated hour the second occurrence when the
// first is not after `now`.
Instant to_instant_after(LocalTime t, const date::time_zone* zone, Instant now);
LocalTime to_local(Instant t, const date::time_zone* zone);
// "YYYY-MM-DD HH:MM:SS" of `t` on the wall clock of `zone`.
std::string format_instant(Instant t, const date::time_zone* zone);

// The set of values one cron field allows.
struct CronField {
  int min = 0;
  int max = 0;
  std::vector<bool> allowed;  // indexed by value - min
  bool last = false;          // day field only: the month's last day ("last")
  bool matches(int value) const {
    return value >= min && value <= max && allowed[static_cast<size_t>(value - min)];
  }
  // The highest value allowed; min - 1 when none.
  int highest() const;
};

// Fields in APScheduler order; day_of_week 0 is Monday, week is the ISO week.
struct CronSpec {
  CronField year, month, day, week, day_of_week, hour, minute, second;
};

enum class TriggerKind { date, interval, cron };

struct Trigger {
  TriggerKind kind = TriggerKind::date;
  const date::time_zone* zone = nullptr;
  Instant run_time{};            // date: the one run
  std::chrono::seconds every{};  // interval: the period (at least 1 s)
  Instant first_run{};           // interval: the origin of its grid
  CronSpec cron;                 // cron
  // Interval and cron only: no run before `start`, none after `end` (both
  // inclusive). A date trigger runs at its run_date whatever they say.
  std::optional<Instant> start;
  std::optional<Instant> end;
};

// A parsed trigger, or the reason it was refused (one short English phrase
// for a log line).
struct TriggerResult {
  std::optional<Trigger> trigger;
  std::string error;
};

// Builds a trigger from the job's fields as stored.
// - `type`: "date", "interval" or "cron".
// - `args`: a map. date: {"run_date": "YYYY-MM-DD HH:MM:SS"}. interval:
//   weeks, days, hours, minutes, seconds (numbers or numeric text, null = 0,
//   none negative, at least one positive, reals allowed as in "1.5 hours").
//   cron: year, month, day, week, day_of_week, hour, minute, second, each an
//   integer, numeric text or an expression of comma-separated parts `*`,
//   `*/n`, `a`, `a-b`, `a-b/n`, `a/n` (month names jan-dec and day names
//   mon-sun where they fit, any letter case; "last" in the day field); null
//   counts as absent, at least one field must be given. Fields finer than the
//   finest given one take their minimum, coarser ones every value. Any other
//   key is refused.
// - `start_date` / `end_date`: null, "" or "YYYY-MM-DD HH:MM:SS" local; the
//   end must lie after the start.
// - `set_at`: when the trigger was set. An interval without start_date first
//   runs at set_at + interval; with one, at start_date (then every interval).
//   It also settles a run_date or start_date in the repeated hour (above).
// A cron step larger than its field's span ("*/90" minutes) is refused, as
// it could only ever match the field's first value.
TriggerResult parse_trigger(std::string_view type, const json& args, const json& start_date,
                            const json& end_date, const date::time_zone* zone, Instant set_at);

// The first run strictly after `after`; nothing when the trigger will not
// fire again (a date already passed, past end_date, or a cron pattern no
// calendar date satisfies).
std::optional<Instant> next_fire_after(const Trigger& trigger, Instant after);

}  // namespace talmo::schedules
