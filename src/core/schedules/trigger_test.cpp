// Triggers: local date-times across clock changes, and date, interval and cron next runs.
#include "core/schedules/trigger.hpp"
#include "support/tz.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace talmo::schedules {
namespace {

const date::time_zone* zone(const char* name) { return date::locate_zone(name); }
const date::time_zone* berlin() { return zone("Europe/Berlin"); }
const date::time_zone* new_york() { return zone("America/New_York"); }

Instant at(const char* local, const date::time_zone* z = berlin()) {
  return to_instant(*parse_local_datetime(local), z);
}

// Local time with its UTC offset, so DST tests see which side of a change a
// run falls on.
std::string shown(Instant t, const date::time_zone* z) {
  return tz::format(TimePoint{t}, z->name(), "%Y-%m-%d %H:%M:%S %z");
}
std::string utc(Instant t) { return date::format("%Y-%m-%d %H:%M:%SZ", t); }

Trigger make(const char* type, const json& args, const date::time_zone* z = berlin(),
             const json& start = nullptr, const json& end = nullptr,
             Instant set_at = at("2026-05-06 10:00:00")) {
  auto r = parse_trigger(type, args, start, end, z, set_at);
  EXPECT_TRUE(r.trigger) << r.error;
  return r.trigger ? *r.trigger : Trigger{};
}

std::string refusal(const char* type, const json& args, const json& start = nullptr,
                    const json& end = nullptr) {
  auto r = parse_trigger(type, args, start, end, berlin(), at("2026-05-06 10:00:00"));
  EXPECT_FALSE(r.trigger) << "accepted " << args.dump();
  return r.error;
}

// The next `n` runs after `after`, each shown with its offset.
std::vector<std::string> runs(const Trigger& t, const char* after, int n) {
  std::vector<std::string> out;
  Instant from = at(after, t.zone);
  for (int i = 0; i < n; ++i) {
    const auto next = next_fire_after(t, from);
    if (!next) {
      out.push_back("none");
      break;
    }
    out.push_back(shown(*next, t.zone));
    from = *next;
  }
  return out;
}

using V = std::vector<std::string>;

TEST(LocalDateTime, AcceptsOnlyRealDatesInTheOneForm) {
  EXPECT_EQ(format_local_datetime(*parse_local_datetime("2028-02-29 23:59:59")), "2028-02-29 23:59:59");
  for (const char* bad : {"2027-02-29 10:00:00", "2026-04-31 10:00:00", "2026-05-06 24:00:00",
                          "2026-05-06 10:60:00", "2026-05-06 14:00", "2026-05-06T14:00:00",
                          "2026-5-06 14:00:00", " 2026-05-06 14:00:00", "tomorrow", ""})
    EXPECT_FALSE(parse_local_datetime(bad)) << bad;
}

TEST(LocalDateTime, GapMovesForwardAndRepeatedHourTakesTheFirst) {
  EXPECT_EQ(shown(at("2026-03-29 02:30:00"), berlin()), "2026-03-29 03:00:00 +0200");
  EXPECT_EQ(shown(at("2026-10-25 02:30:00"), berlin()), "2026-10-25 02:30:00 +0200");
  EXPECT_EQ(shown(at("2026-03-08 02:15:00", new_york()), new_york()), "2026-03-08 03:00:00 -0400");
}

TEST(LocalDateTime, ZoneRulesHoldPastTheLastListedTransition) {
  // The zone files list transitions up to 2037; later years follow the rule.
  struct Case {
    const char* zone;
    const char* local;
    const char* first;
    const char* second;
  };
  const Case cases[] = {
      {"America/New_York", "2040-01-15 12:00:00", "2040-01-15 17:00:00Z", "2040-01-15 17:00:00Z"},
      {"America/New_York", "2040-07-01 12:00:00", "2040-07-01 16:00:00Z", "2040-07-01 16:00:00Z"},
      {"America/New_York", "2040-03-11 02:30:00", "2040-03-11 07:00:00Z", "2040-03-11 07:00:00Z"},
      {"America/New_York", "2040-11-04 01:30:00", "2040-11-04 05:30:00Z", "2040-11-04 06:30:00Z"},
      {"Europe/Berlin", "2040-01-15 12:00:00", "2040-01-15 11:00:00Z", "2040-01-15 11:00:00Z"},
      {"Europe/Berlin", "2040-07-01 12:00:00", "2040-07-01 10:00:00Z", "2040-07-01 10:00:00Z"},
      {"Europe/Berlin", "2040-03-25 02:30:00", "2040-03-25 01:00:00Z", "2040-03-25 01:00:00Z"},
      {"Europe/Berlin", "2040-10-28 02:30:00", "2040-10-28 00:30:00Z", "2040-10-28 01:30:00Z"},
      // South of the equator summer time spans the new year.
      {"Australia/Sydney", "2040-01-15 12:00:00", "2040-01-15 01:00:00Z", "2040-01-15 01:00:00Z"},
      {"Australia/Sydney", "2040-07-01 12:00:00", "2040-07-01 02:00:00Z", "2040-07-01 02:00:00Z"},
      {"Australia/Sydney", "2040-04-01 02:30:00", "2040-03-31 15:30:00Z", "2040-03-31 16:30:00Z"},
  };
  for (const Case& c : cases) {
    const auto local = *parse_local_datetime(c.local);
    const auto both = tz::occurrences(zone(c.zone), local);
    EXPECT_EQ(utc(both.first), c.first) << c.zone << " " << c.local;
    EXPECT_EQ(utc(both.second), c.second) << c.zone << " " << c.local;
    EXPECT_EQ(utc(to_instant(local, zone(c.zone))), c.first) << c.zone << " " << c.local;
    if (std::string(c.first) != "2040-03-11 07:00:00Z" && std::string(c.first) != "2040-03-25 01:00:00Z") {
      EXPECT_EQ(format_instant(both.first, zone(c.zone)), c.local) << c.zone;  // skipped times aside
    }
  }
  // A yearly job keeps its wall-clock time through 2038 and beyond.
  EXPECT_EQ(runs(make("cron", {{"month", 7}, {"day", 1}, {"hour", 12}}, new_york()), "2037-06-01 00:00:00", 3),
            (V{"2037-07-01 12:00:00 -0400", "2038-07-01 12:00:00 -0400", "2039-07-01 12:00:00 -0400"}));
}

TEST(DateTrigger, RepeatedHourMeansTheOccurrenceStillAhead) {
  // Berlin goes back from 03:00 CEST to 02:00 CET at 01:00 UTC on 2026-10-25.
  const auto first_pass = Instant{date::sys_days{date::year{2026} / 10 / 25}} + std::chrono::minutes{40};
  const auto second_pass = first_pass + std::chrono::minutes{30};  // 02:10 CET
  struct Case {
    Instant set_at;
    const char* run_date;
    const char* expected;
  };
  const Case cases[] = {
      {first_pass, "2026-10-25 02:45:00", "2026-10-25 02:45:00 +0200"},   // still ahead the first time
      {second_pass, "2026-10-25 02:15:00", "2026-10-25 02:15:00 +0100"},  // "in 5 minutes"
      {second_pass, "2026-10-25 02:05:00", "2026-10-25 02:05:00 +0100"},  // past either way
  };
  for (const Case& c : cases) {
    const auto t = make("date", {{"run_date", c.run_date}}, berlin(), nullptr, nullptr, c.set_at);
    EXPECT_EQ(shown(t.run_time, berlin()), c.expected) << c.run_date;
  }
  const auto every = make("interval", {{"hours", 1}}, berlin(), "2026-10-25 02:30:00", nullptr, second_pass);
  EXPECT_EQ(shown(every.first_run, berlin()), "2026-10-25 02:30:00 +0100");
}

TEST(DateTrigger, RunsOnceAtItsTimeWhateverStartAndEndSay) {
  const auto t = make("date", {{"run_date", "2026-05-06 14:00:00"}}, berlin(), "2026-06-01 00:00:00",
                      "2026-06-02 00:00:00");
  EXPECT_EQ(runs(t, "2026-05-06 10:00:00", 2), (V{"2026-05-06 14:00:00 +0200", "none"}));
  EXPECT_FALSE(next_fire_after(t, at("2026-05-06 14:00:00")));
}

TEST(DateTrigger, Refusals) {
  EXPECT_NE(refusal("date", json::object()).find("run_date"), std::string::npos);
  EXPECT_NE(refusal("date", {{"run_date", "2026-05-06 14:00"}}).find("YYYY-MM-DD HH:MM:SS"),
            std::string::npos);
  EXPECT_NE(refusal("date", {{"run_date", "2026-05-06 14:00:00"}, {"hour", 1}}).find("'hour'"),
            std::string::npos);
  EXPECT_NE(refusal("weekly", json::object()).find("trigger_type"), std::string::npos);
  EXPECT_NE(refusal("date", json::array()).find("map"), std::string::npos);
}

TEST(IntervalTrigger, FirstRunIsOneIntervalAfterItWasSet) {
  const auto t = make("interval", {{"hours", 1}, {"minutes", 30}});
  EXPECT_EQ(runs(t, "2026-05-06 10:00:00", 3),
            (V{"2026-05-06 11:30:00 +0200", "2026-05-06 13:00:00 +0200", "2026-05-06 14:30:00 +0200"}));
  // From any instant, the next point of the same grid.
  EXPECT_EQ(runs(t, "2026-05-06 13:59:59", 1), (V{"2026-05-06 14:30:00 +0200"}));
}

TEST(IntervalTrigger, StartDateIsTheFirstRunAndEndDateIsInclusive) {
  const auto t = make("interval", {{"days", 1}}, berlin(), "2026-05-10 08:00:00", "2026-05-12 08:00:00");
  EXPECT_EQ(runs(t, "2026-05-06 10:00:00", 4),
            (V{"2026-05-10 08:00:00 +0200", "2026-05-11 08:00:00 +0200", "2026-05-12 08:00:00 +0200",
               "none"}));
}

TEST(IntervalTrigger, NumbersMayBeTextOrRealsAndNullIsZero) {
  const auto t = make("interval", {{"hours", "1.5"}, {"minutes", nullptr}, {"weeks", 0}});
  EXPECT_EQ(t.every, std::chrono::seconds(5400));
  EXPECT_EQ(make("interval", {{"weeks", " 2 "}}).every, std::chrono::seconds(2 * 604800));
}

TEST(IntervalTrigger, RunsInAbsoluteTimeAcrossClockChanges) {
  const auto spring = make("interval", {{"hours", 1}}, berlin(), "2026-03-29 01:00:00");
  EXPECT_EQ(runs(spring, "2026-03-29 00:30:00", 3),
            (V{"2026-03-29 01:00:00 +0100", "2026-03-29 03:00:00 +0200", "2026-03-29 04:00:00 +0200"}));
  const auto fall = make("interval", {{"minutes", 60}}, berlin(), "2026-10-25 01:00:00");
  EXPECT_EQ(runs(fall, "2026-10-25 00:30:00", 4),
            (V{"2026-10-25 01:00:00 +0200", "2026-10-25 02:00:00 +0200", "2026-10-25 02:00:00 +0100",
               "2026-10-25 03:00:00 +0100"}));
}

TEST(IntervalTrigger, Refusals) {
  EXPECT_NE(refusal("interval", {{"hours", 0}, {"minutes", 0}}).find("positive"), std::string::npos);
  EXPECT_NE(refusal("interval", json::object()).find("positive"), std::string::npos);
  EXPECT_NE(refusal("interval", {{"hours", -1}, {"minutes", 90}}).find("negative"), std::string::npos);
  EXPECT_NE(refusal("interval", {{"hour", 1}}).find("'hour'"), std::string::npos);
  EXPECT_NE(refusal("interval", {{"hours", "soon"}}).find("'hours'"), std::string::npos);
  EXPECT_NE(refusal("interval", {{"hours", true}}).find("'hours'"), std::string::npos);
  EXPECT_NE(refusal("interval", {{"seconds", 0.2}}).find("one second"), std::string::npos);
  EXPECT_NE(refusal("interval", {{"hours", 1}}, "2026-05-10 08:00:00", "2026-05-10 08:00:00")
                .find("end_date"),
            std::string::npos);
}

TEST(CronTrigger, FinerFieldsTakeTheirMinimumCoarserOnesEveryValue) {
  EXPECT_EQ(runs(make("cron", {{"hour", 9}}), "2026-05-06 10:00:00", 2),
            (V{"2026-05-07 09:00:00 +0200", "2026-05-08 09:00:00 +0200"}));
  EXPECT_EQ(runs(make("cron", {{"minute", 30}}), "2026-05-06 10:00:00", 2),
            (V{"2026-05-06 10:30:00 +0200", "2026-05-06 11:30:00 +0200"}));
  EXPECT_EQ(runs(make("cron", {{"day", 1}}), "2026-05-06 10:00:00", 2),
            (V{"2026-06-01 00:00:00 +0200", "2026-07-01 00:00:00 +0200"}));
  EXPECT_EQ(runs(make("cron", {{"month", 12}, {"day", 25}, {"hour", 10}}), "2026-05-06 10:00:00", 2),
            (V{"2026-12-25 10:00:00 +0100", "2027-12-25 10:00:00 +0100"}));
  EXPECT_EQ(runs(make("cron", {{"year", 2027}}), "2026-05-06 10:00:00", 2),
            (V{"2027-01-01 00:00:00 +0100", "none"}));
  // A null field counts as absent.
  EXPECT_EQ(runs(make("cron", {{"hour", "9"}, {"minute", nullptr}}), "2026-05-06 10:00:00", 1),
            (V{"2026-05-07 09:00:00 +0200"}));
}

TEST(CronTrigger, DayAndMonthNamesWithMondayAsZero) {
  // 2026-05-06 is a Wednesday.
  EXPECT_EQ(runs(make("cron", {{"day_of_week", "mon"}, {"hour", 9}}), "2026-05-06 10:00:00", 2),
            (V{"2026-05-11 09:00:00 +0200", "2026-05-18 09:00:00 +0200"}));
  EXPECT_EQ(runs(make("cron", {{"day_of_week", 0}, {"hour", 9}}), "2026-05-06 10:00:00", 1),
            (V{"2026-05-11 09:00:00 +0200"}));
  EXPECT_EQ(runs(make("cron", {{"day_of_week", "Mon-FRI"}, {"hour", 17}}), "2026-05-08 18:00:00", 2),
            (V{"2026-05-11 17:00:00 +0200", "2026-05-12 17:00:00 +0200"}));
  EXPECT_EQ(runs(make("cron", {{"month", "jan,jul"}, {"day", 1}, {"hour", 8}}), "2026-05-06 10:00:00", 2),
            (V{"2026-07-01 08:00:00 +0200", "2027-01-01 08:00:00 +0100"}));
  EXPECT_EQ(runs(make("cron", {{"day_of_week", "sat,sun"}, {"hour", 10}}), "2026-05-06 10:00:00", 2),
            (V{"2026-05-09 10:00:00 +0200", "2026-05-10 10:00:00 +0200"}));
}

TEST(CronTrigger, StepsRangesAndLists) {
  EXPECT_EQ(runs(make("cron", {{"minute", "*/15"}}), "2026-05-06 10:05:00", 4),
            (V{"2026-05-06 10:15:00 +0200", "2026-05-06 10:30:00 +0200", "2026-05-06 10:45:00 +0200",
               "2026-05-06 11:00:00 +0200"}));
  EXPECT_EQ(runs(make("cron", {{"hour", "9-17/4"}}), "2026-05-06 08:00:00", 4),
            (V{"2026-05-06 09:00:00 +0200", "2026-05-06 13:00:00 +0200", "2026-05-06 17:00:00 +0200",
               "2026-05-07 09:00:00 +0200"}));
  EXPECT_EQ(runs(make("cron", {{"minute", "10/20"}}), "2026-05-06 10:00:00", 3),
            (V{"2026-05-06 10:10:00 +0200", "2026-05-06 10:30:00 +0200", "2026-05-06 10:50:00 +0200"}));
  EXPECT_EQ(runs(make("cron", {{"day", "1, 15"}, {"hour", 6}}), "2026-05-06 10:00:00", 2),
            (V{"2026-05-15 06:00:00 +0200", "2026-06-01 06:00:00 +0200"}));
  EXPECT_EQ(runs(make("cron", {{"week", 1}, {"day_of_week", "mon"}}), "2026-05-06 10:00:00", 1),
            (V{"2027-01-04 00:00:00 +0100"}));
}

TEST(CronTrigger, MonthEndsAndLeapDays) {
  EXPECT_EQ(runs(make("cron", {{"day", 31}, {"hour", 12}}), "2026-01-31 13:00:00", 3),
            (V{"2026-03-31 12:00:00 +0200", "2026-05-31 12:00:00 +0200", "2026-07-31 12:00:00 +0200"}));
  EXPECT_EQ(runs(make("cron", {{"day", "last"}, {"hour", 9}}), "2026-02-01 00:00:00", 2),
            (V{"2026-02-28 09:00:00 +0100", "2026-03-31 09:00:00 +0200"}));
  EXPECT_EQ(runs(make("cron", {{"month", 2}, {"day", 29}}), "2026-03-01 00:00:00", 2),
            (V{"2028-02-29 00:00:00 +0100", "2032-02-29 00:00:00 +0100"}));
  // No calendar date has a February 30th: nothing, and promptly.
  EXPECT_EQ(runs(make("cron", {{"month", 2}, {"day", 30}}), "2026-03-01 00:00:00", 1), (V{"none"}));
}

TEST(CronTrigger, StartAndEndDatesAreInclusive) {
  const auto t = make("cron", {{"hour", 9}}, berlin(), "2026-06-10 09:00:00", "2026-06-11 09:00:00");
  EXPECT_EQ(runs(t, "2026-05-06 10:00:00", 3),
            (V{"2026-06-10 09:00:00 +0200", "2026-06-11 09:00:00 +0200", "none"}));
}

TEST(CronTrigger, DailyJobFiresOnceOnEachClockChange) {
  const auto berlin_daily = make("cron", {{"hour", 2}, {"minute", 30}});
  // Spring: 02:30 does not exist; it fires when the clocks reach 03:00.
  EXPECT_EQ(runs(berlin_daily, "2026-03-28 12:00:00", 3),
            (V{"2026-03-29 03:00:00 +0200", "2026-03-30 02:30:00 +0200", "2026-03-31 02:30:00 +0200"}));
  // Autumn: 02:30 happens twice; it fires at the first only.
  EXPECT_EQ(runs(berlin_daily, "2026-10-24 12:00:00", 2),
            (V{"2026-10-25 02:30:00 +0200", "2026-10-26 02:30:00 +0100"}));

  const auto ny_spring = make("cron", {{"hour", 2}, {"minute", 30}}, new_york());
  EXPECT_EQ(runs(ny_spring, "2026-03-07 12:00:00", 2),
            (V{"2026-03-08 03:00:00 -0400", "2026-03-09 02:30:00 -0400"}));
  const auto ny_fall = make("cron", {{"hour", 1}, {"minute", 30}}, new_york());
  EXPECT_EQ(runs(ny_fall, "2026-10-31 12:00:00", 2),
            (V{"2026-11-01 01:30:00 -0400", "2026-11-02 01:30:00 -0500"}));
  // Asked from inside the repeated hour, the day's run is already behind.
  EXPECT_EQ(shown(*next_fire_after(ny_fall, at("2026-11-01 06:10:00", zone("UTC"))), new_york()),
            "2026-11-02 01:30:00 -0500");
}

TEST(CronTrigger, EachWallClockTimeFiresOnceAroundClockChanges) {
  EXPECT_EQ(runs(make("cron", {{"minute", 0}}), "2026-03-29 00:30:00", 3),
            (V{"2026-03-29 01:00:00 +0100", "2026-03-29 03:00:00 +0200", "2026-03-29 04:00:00 +0200"}));
  EXPECT_EQ(runs(make("cron", {{"minute", "*/30"}}), "2026-10-25 01:45:00", 4),
            (V{"2026-10-25 02:00:00 +0200", "2026-10-25 02:30:00 +0200", "2026-10-25 03:00:00 +0100",
               "2026-10-25 03:30:00 +0100"}));
}

TEST(CronTrigger, Refusals) {
  EXPECT_NE(refusal("cron", json::object()).find("at least one"), std::string::npos);
  EXPECT_NE(refusal("cron", {{"hour", nullptr}}).find("at least one"), std::string::npos);
  EXPECT_NE(refusal("cron", {{"hours", 9}}).find("'hours'"), std::string::npos);
  for (const json& hour : {json(24), json("25"), json(-1), json(9.5), json(true), json("9-"),
                           json("*/0"), json("last"), json("mon"), json("")})
    EXPECT_NE(refusal("cron", {{"hour", hour}}).find("'hour'"), std::string::npos) << hour.dump();
  EXPECT_NE(refusal("cron", {{"day_of_week", "fri-mon"}}).find("'day_of_week'"), std::string::npos);
  EXPECT_NE(refusal("cron", {{"day_of_week", "funday"}}).find("'day_of_week'"), std::string::npos);
  EXPECT_NE(refusal("cron", {{"month", 13}}).find("'month'"), std::string::npos);
  // A step past the field's span could only ever reach its first value.
  EXPECT_EQ(refusal("cron", {{"minute", "*/90"}}), "cron field 'minute' \"*/90\" has a step of 90, larger than its span of 59");
  EXPECT_EQ(refusal("cron", {{"hour", "0-23/36"}}), "cron field 'hour' \"0-23/36\" has a step of 36, larger than its span of 23");
  EXPECT_EQ(refusal("cron", {{"month", "1/12"}}), "cron field 'month' \"1/12\" has a step of 12, larger than its span of 11");
  EXPECT_EQ(runs(make("cron", {{"second", "*/59"}}), "2026-05-06 10:00:00", 2),
            (V{"2026-05-06 10:00:59 +0200", "2026-05-06 10:01:00 +0200"}));
  EXPECT_NE(refusal("cron", {{"hour", 9}}, "next week").find("start_date"), std::string::npos);
}

}  // namespace
}  // namespace talmo::schedules
