#include "support/tz.hpp"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>

namespace talmo::tz {
namespace {

using std::chrono::seconds;
using sys_seconds = std::chrono::sys_seconds;

// Where date/tz reads the zone files on this system.
constexpr const char* ZONE_DIR = "/usr/share/zoneinfo/";

// A zone's rule for the years after its last listed transition, from the
// POSIX TZ string of its file's footer ("EST5EDT,M3.2.0,M11.1.0"). Only
// rules with summer time are kept: without it the last listed offset is
// already right.
struct Rule {
  // The day of a change: "Jn" (1-365, February 29 never counted), "n"
  // (0-365, counted), or "Mm.w.d" (weekday d, 0 = Sunday, of week w, 5 =
  // the last, of month m); plus the local time of day it happens.
  struct When {
    char kind = 'M';  // 'J', 'n' or 'M'
    int a = 0, b = 0, c = 0;
    seconds time{7200};
  };
  seconds std_offset{}, dst_offset{};  // local minus UTC
  std::string std_abbrev, dst_abbrev;
  When start, end;  // into summer time, out of it
};

class Reader {
 public:
  explicit Reader(std::string_view s) : s_(s) {}
  bool done() const { return pos_ == s_.size(); }
  bool eat(char c) {
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  char peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }

  // "EST" or "<+0530>".
  std::optional<std::string> name() {
    const size_t from = pos_;
    if (eat('<')) {
      const auto close = s_.find('>', pos_);
      if (close == std::string_view::npos) return std::nullopt;
      pos_ = close + 1;
      return std::string(s_.substr(from + 1, close - from - 1));
    }
    while (pos_ < s_.size() && std::isalpha(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    if (pos_ - from < 3) return std::nullopt;
    return std::string(s_.substr(from, pos_ - from));
  }

  // [+-]h[h...][:mm[:ss]], with at most `max_hours` hours.
  std::optional<seconds> duration(int max_hours) {
    int sign = 1;
    if (eat('-')) sign = -1;
    else eat('+');
    std::optional<int> h = number(3);
    if (!h || *h > max_hours) return std::nullopt;
    int m = 0, sec = 0;
    if (eat(':')) {
      const auto mm = number(2);
      if (!mm || *mm > 59) return std::nullopt;
      m = *mm;
      if (eat(':')) {
        const auto ss = number(2);
        if (!ss || *ss > 59) return std::nullopt;
        sec = *ss;
      }
    }
    return seconds{sign * (*h * 3600 + m * 60 + sec)};
  }

  std::optional<Rule::When> when() {
    Rule::When w;
    if (eat('J')) {
      w.kind = 'J';
      const auto n = number(3);
      if (!n || *n < 1 || *n > 365) return std::nullopt;
      w.a = *n;
    } else if (eat('M')) {
      const auto m = number(2);
      if (!m || *m < 1 || *m > 12 || !eat('.')) return std::nullopt;
      const auto wk = number(1);
      if (!wk || *wk < 1 || *wk > 5 || !eat('.')) return std::nullopt;
      const auto d = number(1);
      if (!d || *d > 6) return std::nullopt;
      w.a = *m;
      w.b = *wk;
      w.c = *d;
    } else {
      w.kind = 'n';
      const auto n = number(3);
      if (!n || *n > 365) return std::nullopt;
      w.a = *n;
    }
    if (eat('/')) {
      const auto t = duration(167);
      if (!t) return std::nullopt;
      w.time = *t;
    }
    return w;
  }

 private:
  std::optional<int> number(size_t max_digits) {
    const size_t from = pos_;
    int v = 0;
    while (pos_ < s_.size() && pos_ - from < max_digits && std::isdigit(static_cast<unsigned char>(s_[pos_])))
      v = v * 10 + (s_[pos_++] - '0');
    if (pos_ == from) return std::nullopt;
    return v;
  }

  std::string_view s_;
  size_t pos_ = 0;
};

// A rule with summer time; nothing for a fixed offset or a text not understood.
std::optional<Rule> parse_rule(std::string_view text) {
  Reader r(text);
  Rule rule;
  const auto std_name = r.name();
  const auto std_off = r.duration(24);
  if (!std_name || !std_off || r.done()) return std::nullopt;
  rule.std_abbrev = *std_name;
  rule.std_offset = -*std_off;  // POSIX counts hours west of Greenwich
  const auto dst_name = r.name();
  if (!dst_name) return std::nullopt;
  rule.dst_abbrev = *dst_name;
  rule.dst_offset = rule.std_offset + std::chrono::hours{1};
  if (r.peek() != ',') {
    const auto dst_off = r.duration(24);
    if (!dst_off) return std::nullopt;
    rule.dst_offset = -*dst_off;
  }
  if (!r.eat(',')) return std::nullopt;
  const auto start = r.when();
  if (!start || !r.eat(',')) return std::nullopt;
  const auto end = r.when();
  if (!end || !r.done()) return std::nullopt;
  rule.start = *start;
  rule.end = *end;
  return rule;
}

date::local_days day_of(const Rule::When& w, date::year y) {
  using date::days;
  const date::local_days jan1{y / date::January / 1};
  if (w.kind == 'J') return jan1 + days{w.a - 1 + (y.is_leap() && w.a >= 60 ? 1 : 0)};
  if (w.kind == 'n') return jan1 + days{w.a};
  const date::month m{static_cast<unsigned>(w.a)};
  const date::weekday wd{static_cast<unsigned>(w.c)};
  if (w.b == 5) return date::local_days{y / m / wd[date::last]};
  return date::local_days{y / m / wd[static_cast<unsigned>(w.b)]};
}

ZoneOffset rule_offset(const Rule& rule, sys_seconds t) {
  const date::year y = date::year_month_day{date::floor<date::days>(t + rule.std_offset)}.year();
  // A change happens at the local time of the clock it ends.
  const sys_seconds start{(day_of(rule.start, y) + rule.start.time - rule.std_offset).time_since_epoch()};
  const sys_seconds end{(day_of(rule.end, y) + rule.end.time - rule.dst_offset).time_since_epoch()};
  // South of the equator summer time spans the new year.
  const bool summer = start < end ? (start <= t && t < end) : !(end <= t && t < start);
  if (summer) return {rule.dst_offset, rule.dst_abbrev};
  return {rule.std_offset, rule.std_abbrev};
}

// The footer of a version 2+ TZif file: the text between its last two line breaks.
std::optional<Rule> load_rule(const std::string& zone_name) {
  if (zone_name.find("..") != std::string::npos) return std::nullopt;
  std::ifstream in(ZONE_DIR + zone_name, std::ios::binary);
  if (!in) return std::nullopt;
  const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (data.size() < 46 || data.compare(0, 4, "TZif") != 0 || data[4] < '2' || data.back() != '\n')
    return std::nullopt;
  const auto open = data.rfind('\n', data.size() - 2);
  if (open == std::string::npos) return std::nullopt;
  return parse_rule(std::string_view(data).substr(open + 1, data.size() - open - 2));
}

const Rule* rule_for(const date::time_zone* zone) {
  static std::mutex mu;
  static std::map<std::string, std::optional<Rule>, std::less<>> cache;
  std::lock_guard lock(mu);
  auto it = cache.find(zone->name());
  if (it == cache.end()) it = cache.emplace(std::string(zone->name()), load_rule(std::string(zone->name()))).first;
  return it->second ? &*it->second : nullptr;
}

// The period that runs on after the zone's last listed transition.
bool open_ended(const date::sys_info& info) {
  return info.end >= date::sys_days{date::year{9999} / 1 / 1};
}

}  // namespace

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
  const auto secs = std::chrono::floor<seconds>(t);
  const ZoneOffset off = offset_at(z, secs);
  std::ostringstream out;
  date::to_stream(out, pattern, date::local_seconds{(secs + off.offset).time_since_epoch()}, &off.abbrev,
                  &off.offset);
  return out.str();
}

ZoneOffset offset_at(const date::time_zone* zone, sys_seconds t) {
  const date::sys_info info = zone->get_info(t);
  if (open_ended(info))
    if (const Rule* rule = rule_for(zone)) return rule_offset(*rule, t);
  return {info.offset, info.abbrev};
}

Occurrences occurrences(const date::time_zone* zone, date::local_seconds t) {
  const date::local_info info = zone->get_info(t);
  const sys_seconds as_sys{t.time_since_epoch()};
  if (info.result == date::local_info::nonexistent) return {info.first.end, info.first.end};
  if (info.result == date::local_info::ambiguous)
    return {as_sys - info.first.offset, as_sys - info.second.offset};
  if (!open_ended(info.first) || !rule_for(zone)) return {as_sys - info.first.offset, as_sys - info.first.offset};

  // Past the listed transitions: try the offsets in force a day before and a
  // day after (rules change the clocks at most twice a year).
  const seconds before = offset_at(zone, as_sys - date::days{1}).offset;
  const seconds after = offset_at(zone, as_sys + date::days{1}).offset;
  const sys_seconds early = as_sys - before, late = as_sys - after;
  const bool early_ok = offset_at(zone, early).offset == before;
  const bool late_ok = offset_at(zone, late).offset == after;
  if (early_ok && late_ok) return {std::min(early, late), std::max(early, late)};
  if (early_ok) return {early, early};
  if (late_ok) return {late, late};
  // Skipped by the clocks: the change lies between `late` (still the offset
  // before) and `early` (already the offset after).
  sys_seconds lo = late, hi = early;
  while (hi - lo > seconds{1}) {
    const sys_seconds mid = lo + (hi - lo) / 2;
    (offset_at(zone, mid).offset == after ? hi : lo) = mid;
  }
  return {hi, hi};
}

}  // namespace talmo::tz
