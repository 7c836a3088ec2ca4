#include "support/tz.hpp"

#include <date/tz.h>

#include <stdexcept>

namespace talmo::tz {

bool is_valid_zone(std::string_view zone) {
  if (zone.empty()) return false;
  try {
    return date::locate_zone(zone) != nullptr;
  } catch (const std::exception&) {
    return false;
  }
}

std::string local_zone_name() {
  try {
    return std::string(date::current_zone()->name());
  } catch (const std::exception&) {
    return "UTC";
  }
}

std::string format(TimePoint t, std::string_view zone, const char* pattern) {
  const date::time_zone* z = nullptr;
  try {
    z = date::locate_zone(zone);
  } catch (const std::exception& e) {
    throw std::runtime_error("unknown time zone '" + std::string(zone) + "'");
  }
  auto secs = std::chrono::floor<std::chrono::seconds>(t);
  return date::format(pattern, date::make_zoned(z, secs));
}

}  // namespace talmo::tz
