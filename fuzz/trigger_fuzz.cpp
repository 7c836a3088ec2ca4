// Trigger parsing and next-run math on a job's trigger fields as the model
// may write them:
//   {"trigger_type": ..., "trigger_args": ..., "start_date": ..., "end_date": ...,
//    "timezone": "Europe/Berlin", "set_at": <seconds since 1970>}
// The zone comes from the configuration (an unknown one falls back to UTC)
// and set_at from the clock, so both are kept to values the host can have.
// Every run found must lie after the one before it, inside the end date and
// on the trigger's own grid.
#include "core/schedules/trigger.hpp"
#include "support/json.hpp"

#include <date/tz.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using talmo::json;
namespace s = talmo::schedules;

void check(bool ok) {
  if (!ok) std::abort();
}

json member(const json& m, const char* key) {
  auto it = m.find(key);
  return it == m.end() ? json(nullptr) : *it;
}

const date::time_zone* zone_of(const json& m) {
  const json name = member(m, "timezone");
  if (name.is_string()) {
    try {
      return date::locate_zone(name.get<std::string>());
    } catch (const std::exception&) {
    }
  }
  return date::locate_zone("UTC");
}

// 1970 to about 2242: any instant a clock of this host can show.
s::Instant set_at_of(const json& m) {
  const json v = member(m, "set_at");
  std::int64_t secs = 1748779200;  // 2025-06-01 12:00:00 UTC
  if (v.is_number_integer()) secs = static_cast<std::int64_t>(v.get<std::uint64_t>() % (1ull << 33));
  return s::Instant{std::chrono::seconds{secs}};
}

bool on_cron_grid(const s::CronSpec& c, s::LocalTime t) {
  const auto day = date::floor<date::days>(t);
  const date::year_month_day ymd{day};
  const date::hh_mm_ss<std::chrono::seconds> tod{t - day};
  return c.year.matches(static_cast<int>(ymd.year())) &&
         c.month.matches(static_cast<int>(static_cast<unsigned>(ymd.month()))) &&
         c.hour.matches(static_cast<int>(tod.hours().count())) &&
         c.minute.matches(static_cast<int>(tod.minutes().count())) &&
         c.second.matches(static_cast<int>(tod.seconds().count()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const json input = talmo::decode_json(std::string_view(reinterpret_cast<const char*>(data), size),
                                        /*allow_exceptions=*/false);
  if (!input.is_object()) return 0;
  const json type = member(input, "trigger_type");
  if (!type.is_string()) return 0;
  const date::time_zone* zone = zone_of(input);
  const s::Instant set_at = set_at_of(input);

  for (const char* key : {"start_date", "end_date"}) {
    const json v = member(input, key);
    if (!v.is_string()) continue;
    if (const auto local = s::parse_local_datetime(v.get<std::string>()))
      check(s::format_local_datetime(*local) == v.get<std::string>());
  }

  const s::TriggerResult parsed =
      s::parse_trigger(type.get<std::string>(), member(input, "trigger_args"), member(input, "start_date"),
                       member(input, "end_date"), zone, set_at);
  check(parsed.trigger.has_value() != !parsed.error.empty());
  if (!parsed.trigger) return 0;
  const s::Trigger& t = *parsed.trigger;

  s::Instant after = set_at;
  for (int i = 0; i < 4; ++i) {
    const auto next = s::next_fire_after(t, after);
    if (!next) break;
    check(*next > after);
    (void)s::format_instant(*next, zone);
    switch (t.kind) {
      case s::TriggerKind::date:
        check(*next == t.run_time);
        break;
      case s::TriggerKind::interval:
        check(*next >= t.first_run && (*next - t.first_run) % t.every == std::chrono::seconds{0});
        check(!t.end || *next <= *t.end);
        break;
      case s::TriggerKind::cron: {
        check(!t.end || *next <= *t.end);
        check(!t.start || *next >= *t.start);
        // A wall-clock time the zone skips fires at the end of the gap, off the grid.
        const s::LocalTime local = s::to_local(*next, zone);
        check(on_cron_grid(t.cron, local) || s::to_instant(local - std::chrono::seconds{1}, zone) != *next - std::chrono::seconds{1});
        break;
      }
    }
    after = *next;
  }
  return 0;
}
