// Time-zone helpers over the system's tz database (Howard Hinnant's date/tz).
#pragma once

#include "support/clock.hpp"

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

}  // namespace talmo::tz
