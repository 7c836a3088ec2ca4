// Conversation memory: per-number history of chat messages.
#pragma once

#include "support/clock.hpp"
#include "support/db.hpp"
#include "support/json.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace talmo::memory {

// Thread safety: implementations are safe for concurrent use.
class ConversationMemory {
 public:
  virtual ~ConversationMemory() = default;
  // Appends one entry to `number`'s history.
  virtual void add_message(const std::string& number, const std::string& role,
                           const std::string& content) = 0;
  // The newest `limit` entries of `number`'s history, oldest first, as a JSON
  // list of {"role": ..., "content": ...} maps. Unknown number: empty list.
  virtual json get_history(const std::string& number) = 0;

  // Deletes every entry stored before `before`, and every entry without a
  // time (kept from before entries had one, so older than any date); with no
  // `before`, every entry. Returns how many were deleted.
  virtual std::int64_t forget(std::optional<TimePoint> before) = 0;

  // Every entry of every number, oldest first, as a JSON list of maps
  // {"number", "role", "content", "time"}; "time" is UTC as
  // "YYYY-MM-DDTHH:MM:SSZ", or null for an entry stored without one.
  virtual json export_entries() = 0;
};

// `limit` (HISTORY_LIMIT) must be at least 1 (else std::invalid_argument).
// Each entry is stamped with `clock`'s time (the system clock when null).
// The SQLite memory keeps every entry until it is forgotten; `db` must
// outlive the store. Throws db::SchemaTooNew for a database of a newer release.
std::unique_ptr<ConversationMemory> make_sqlite_memory(db::Database& db, int limit,
                                                       std::shared_ptr<Clock> clock = nullptr);
std::unique_ptr<ConversationMemory> make_memory_memory(int limit, std::shared_ptr<Clock> clock = nullptr);

}  // namespace talmo::memory
