// The owner's identity profile: an ordered map from key to JSON value.
#pragma once

#include "support/db.hpp"
#include "support/json.hpp"

#include <memory>

namespace talmo::identity {

// The four keys every profile keeps, in display order.
inline constexpr const char* CORE_KEYS[] = {"bot_name", "owner", "tone", "response_type"};
bool is_core_key(std::string_view key);

// Thread safety: implementations are safe for concurrent use.
class IdentityStore {
 public:
  virtual ~IdentityStore() = default;
  // The whole profile as an ordered JSON map (stable order: insertion order).
  virtual json get_identity() = 0;
  // `updates` must be a map: existing keys get their new value in place, new
  // keys are appended at the end in the order given. Throws
  // std::invalid_argument for a non-map.
  virtual void update_identity(const json& updates) = 0;
  // Removes the listed keys (a JSON list; a single non-list value counts as a
  // one-key list; a non-text item is looked up by its display text, so 1 is
  // "1" and null is "None"). The core keys are never removed. Returns the JSON
  // list of the keys (texts) actually removed, in the order given, each once.
  virtual json remove_identity_keys(const json& keys) = 0;
};

// The profile a fresh installation starts with: bot_name "Talmo", owner
// "Boss", tone "Professional", response_type "Concise", in that order.
json default_identity();

// Persistent store in `db`. The first store ever opened on a database seeds
// it with default_identity(); later opens never re-seed, so an owner's edits
// stay as they are. `db` must outlive the store.
std::unique_ptr<IdentityStore> make_sqlite_store(db::Database& db);
// In-memory store for tests, starting from `initial` (a map, else
// std::invalid_argument).
std::unique_ptr<IdentityStore> make_memory_store(json initial = default_identity());

}  // namespace talmo::identity
