// Token usage: one row per model call (time, model, the stage that asked,
// whether it succeeded, the service's token counts), never any of the
// message content; and the per-day summary `talmo usage` prints.
#pragma once

#include "support/clock.hpp"
#include "support/db.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace talmo::usage {

struct Call {
  std::string model;
  std::string stage;  // "router", "worker", "summarizer", "reminder", ...
  bool ok = false;    // false: no key answered
  // As the service reported them; absent when it did not (or the call failed).
  std::optional<std::int64_t> prompt_tokens, completion_tokens, total_tokens;
};

struct Day {
  std::string date;  // "YYYY-MM-DD" in the zone asked for
  std::int64_t calls = 0, prompt_tokens = 0, completion_tokens = 0, total_tokens = 0, failures = 0;
};

// Thread safety: safe for concurrent use (the database serialises).
class UsageStore {
 public:
  // Creates its table when missing. `db` must outlive the store. Throws
  // db::SchemaTooNew for a database of a newer release.
  UsageStore(db::Database& db, std::shared_ptr<Clock> clock);

  // Stores `call` with the clock's present time.
  void record(const Call& call);

  // The days with calls among the last `days` days up to today (in `zone`,
  // an IANA name), oldest first. A missing token count adds nothing.
  std::vector<Day> daily(int days, const std::string& zone);

 private:
  db::Database& db_;
  std::shared_ptr<Clock> clock_;
};

}  // namespace talmo::usage
