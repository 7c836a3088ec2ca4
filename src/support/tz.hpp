// Time-zone helpers over the system's tz database (Howard Hinnant's date/tz).
//
// The zone files list each zone's transitions only up to a last year (2037
// in Debian's files) and then state the rule that holds for every later
// year (the POSIX TZ string in the file's footer). date/tz ignores that rule
// and keeps the last listed offset for ever, so summer time would stop in
// 2038. Everything here reads the rule past the last listed transition.
#pragma once

#include "support/clock.hpp"

#include <date/tz.h>

#include <chrono>
#include <string>
#include <string_view>

namespace talmo::tz {

// True when `zone` names a zone of the tz database ("Europe/Berlin", "UTC").
bool is_valid_zone(std::string_view zone);

// The machine's own zone name; "UTC" when it cannot be told.
std::string local_zone_name();

// Formats `t` in `zone` with a date::format pattern ("%Y-%m-%d %H:%M:%S"),
// whole seconds. Throws std::runtime_error for an unknown zone.
std::string format(TimePoint t, std::string_view zone, const char* pattern);

// What the wall clock of a zone shows at one instant.
struct ZoneOffset {
  std::chrono::seconds offset;  // local time minus UTC
  std::string abbrev;           // "CEST", "EST", "+0530"
};

// The offset of `zone` at `t`: the listed one while the zone file lists
// transitions, the one its rule gives after the last of them. A file that
// cannot be read or whose rule cannot be understood leaves the listed offset.
// Safe for concurrent use.
ZoneOffset offset_at(const date::time_zone* zone, std::chrono::sys_seconds t);

// The instants at which the wall clock of `zone` reads `t`. `first` and
// `second` differ only in the hour that repeats when the clocks go back; for
// a time the clocks skip, both are the first instant after the gap.
struct Occurrences {
  std::chrono::sys_seconds first;
  std::chrono::sys_seconds second;
};
Occurrences occurrences(const date::time_zone* zone, date::local_seconds t);

}  // namespace talmo::tz
