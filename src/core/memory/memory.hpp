// Conversation memory: per-number history of chat messages.
#pragma once

#include "support/db.hpp"
#include "support/json.hpp"

#include <memory>
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
};

// `limit` (HISTORY_LIMIT) must be at least 1 (else std::invalid_argument).
// The SQLite memory keeps every entry; `db` must outlive the store.
std::unique_ptr<ConversationMemory> make_sqlite_memory(db::Database& db, int limit);
std::unique_ptr<ConversationMemory> make_memory_memory(int limit);

}  // namespace talmo::memory
