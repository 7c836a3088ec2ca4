#include "core/identity/identity.hpp"

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace talmo::identity {

bool is_core_key(std::string_view key) {
  return std::any_of(std::begin(CORE_KEYS), std::end(CORE_KEYS), [&](const char* core) { return key == core; });
}

json default_identity() {
  json profile = json::object();
  profile["bot_name"] = "Talmo";
  profile["owner"] = "Boss";
  profile["tone"] = "Professional";
  profile["response_type"] = "Concise";
  return profile;
}

namespace {

void require_map(const json& updates) {
  if (!updates.is_object())
    throw std::invalid_argument("identity updates must be a map of keys to values, got " +
                                std::string(updates.type_name()));
}

// The keys a removal asks for, in order and without repeats. The model may
// send one key instead of a list, or non-text keys (1, null): those are
// looked up by their display text ("1", "None").
std::vector<std::string> requested_keys(const json& keys) {
  const json list = keys.is_array() ? keys : json::array({keys});
  std::vector<std::string> out;
  for (const json& item : list) {
    std::string key = item.is_string() ? item.get<std::string>() : display_text(item);
    if (std::find(out.begin(), out.end(), key) == out.end()) out.push_back(std::move(key));
  }
  return out;
}

class MemoryStore final : public IdentityStore {
 public:
  explicit MemoryStore(json initial) : profile_(std::move(initial)) { require_map(profile_); }

  json get_identity() override {
    std::lock_guard lock(mu_);
    return profile_;
  }

  void update_identity(const json& updates) override {
    require_map(updates);
    std::lock_guard lock(mu_);
    for (auto& [key, value] : updates.items()) profile_[key] = value;  // ordered_json keeps a key's place
  }

  json remove_identity_keys(const json& keys) override {
    json removed = json::array();
    std::lock_guard lock(mu_);
    for (const std::string& key : requested_keys(keys)) {
      if (is_core_key(key)) continue;
      if (profile_.erase(key) > 0) removed.push_back(key);
    }
    return removed;
  }

 private:
  std::mutex mu_;
  json profile_;
};

// Rows of identity_entries hold each value as its JSON text, so any JSON value
// (and the difference between 1 and 1.0) survives; `position` keeps the order.
class SqliteStore final : public IdentityStore {
 public:
  explicit SqliteStore(db::Database& db) : db_(db) {
    db_.migrate("identity",
                {"CREATE TABLE identity_entries ("
                 " key TEXT PRIMARY KEY,"
                 " position INTEGER NOT NULL UNIQUE,"
                 " value TEXT NOT NULL);"
                 "CREATE TABLE identity_state ("
                 " id INTEGER PRIMARY KEY CHECK (id = 1),"
                 " seeded INTEGER NOT NULL);"});
    seed_once();
  }

  json get_identity() override {
    return db_.with([](SQLite::Database& db) {
      json profile = json::object();
      SQLite::Statement q(db, "SELECT key, value FROM identity_entries ORDER BY position");
      while (q.executeStep()) profile[q.getColumn(0).getString()] = json::parse(q.getColumn(1).getString());
      return profile;
    });
  }

  void update_identity(const json& updates) override {
    require_map(updates);
    db_.write([&](SQLite::Database& db) {
      SQLite::Transaction tx(db, SQLite::TransactionBehavior::IMMEDIATE);
      for (auto& [key, value] : updates.items()) put(db, key, value);
      tx.commit();
    });
  }

  json remove_identity_keys(const json& keys) override {
    const auto wanted = requested_keys(keys);
    return db_.write([&](SQLite::Database& db) {
      json removed = json::array();
      SQLite::Transaction tx(db, SQLite::TransactionBehavior::IMMEDIATE);
      SQLite::Statement del(db, "DELETE FROM identity_entries WHERE key = ?");
      for (const std::string& key : wanted) {
        if (is_core_key(key)) continue;
        del.bind(1, key);
        if (del.exec() > 0) removed.push_back(key);
        del.reset();
      }
      tx.commit();
      return removed;
    });
  }

 private:
  // Replaces a key's value where it stands, or appends the key at the end.
  static void put(SQLite::Database& db, const std::string& key, const json& value) {
    const std::string text = json_text(value);
    SQLite::Statement update(db, "UPDATE identity_entries SET value = ? WHERE key = ?");
    update.bind(1, text);
    update.bind(2, key);
    if (update.exec() > 0) return;
    SQLite::Statement insert(db,
                             "INSERT INTO identity_entries(key, position, value) "
                             "VALUES(?, (SELECT COALESCE(MAX(position), 0) + 1 FROM identity_entries), ?)");
    insert.bind(1, key);
    insert.bind(2, text);
    insert.exec();
  }

  // The defaults go in once per database: an owner who later changes or
  // removes entries must never see them come back.
  void seed_once() {
    db_.with([](SQLite::Database& db) {
      SQLite::Transaction tx(db, SQLite::TransactionBehavior::IMMEDIATE);
      SQLite::Statement seeded(db, "SELECT seeded FROM identity_state WHERE id = 1");
      if (seeded.executeStep() && seeded.getColumn(0).getInt() != 0) return;  // tx rolls back: nothing written
      SQLite::Statement exists(db, "SELECT 1 FROM identity_entries WHERE key = ?");
      const json defaults = default_identity();
      for (auto& [key, value] : defaults.items()) {
        exists.bind(1, key);
        const bool present = exists.executeStep();
        exists.reset();
        if (!present) put(db, key, value);
      }
      db.exec("INSERT OR REPLACE INTO identity_state(id, seeded) VALUES(1, 1)");
      tx.commit();
    });
  }

  db::Database& db_;
};

}  // namespace

std::unique_ptr<IdentityStore> make_sqlite_store(db::Database& db) { return std::make_unique<SqliteStore>(db); }

std::unique_ptr<IdentityStore> make_memory_store(json initial) {
  return std::make_unique<MemoryStore>(std::move(initial));
}

}  // namespace talmo::identity
