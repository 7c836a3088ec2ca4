#include "core/memory/memory.hpp"

#include <date/date.h>

#include <map>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace talmo::memory {

namespace {

using std::chrono::seconds;

json entry(const std::string& role, const std::string& content) {
  json message = json::object();
  message["role"] = role;
  message["content"] = content;
  return message;
}

std::int64_t epoch_seconds(TimePoint t) {
  return std::chrono::duration_cast<seconds>(t.time_since_epoch()).count();
}

json utc_text(std::optional<std::int64_t> epoch) {
  if (!epoch) return nullptr;
  return date::format("%Y-%m-%dT%H:%M:%SZ", date::sys_seconds(seconds(*epoch)));
}

json exported(const std::string& number, const std::string& role, const std::string& content,
              std::optional<std::int64_t> time) {
  json out = json::object();
  out["number"] = number;
  out["role"] = role;
  out["content"] = content;
  out["time"] = utc_text(time);
  return out;
}

void require_limit(int limit) {
  if (limit < 1) throw std::invalid_argument("the history limit must be at least 1, got " + std::to_string(limit));
}

class InMemory final : public ConversationMemory {
 public:
  InMemory(int limit, std::shared_ptr<Clock> clock) : limit_(limit), clock_(std::move(clock)) {
    require_limit(limit);
  }

  void add_message(const std::string& number, const std::string& role, const std::string& content) override {
    std::lock_guard lock(mu_);
    entries_.push_back({number, role, content, epoch_seconds(clock_->now())});
  }

  json get_history(const std::string& number) override {
    std::lock_guard lock(mu_);
    std::vector<const Entry*> mine;
    for (const auto& e : entries_)
      if (e.number == number) mine.push_back(&e);
    const size_t skip = mine.size() > static_cast<size_t>(limit_) ? mine.size() - static_cast<size_t>(limit_) : 0;
    json out = json::array();
    for (size_t i = skip; i < mine.size(); ++i) out.push_back(entry(mine[i]->role, mine[i]->content));
    return out;
  }

  std::int64_t forget(std::optional<TimePoint> before) override {
    std::lock_guard lock(mu_);
    const size_t was = entries_.size();
    std::erase_if(entries_, [&](const Entry& e) { return !before || e.time < epoch_seconds(*before); });
    return static_cast<std::int64_t>(was - entries_.size());
  }

  json export_entries() override {
    std::lock_guard lock(mu_);
    json out = json::array();
    for (const auto& e : entries_) out.push_back(exported(e.number, e.role, e.content, e.time));
    return out;
  }

 private:
  struct Entry {
    std::string number, role, content;
    std::int64_t time;
  };
  const int limit_;
  const std::shared_ptr<Clock> clock_;
  std::mutex mu_;
  std::vector<Entry> entries_;
};

// Reads take the newest `limit` rows through the (number, id) index.
// `created_at` is the entry's time in whole seconds since the epoch (UTC);
// rows from before it existed keep null.
class Sqlite final : public ConversationMemory {
 public:
  Sqlite(db::Database& db, int limit, std::shared_ptr<Clock> clock)
      : db_(db), limit_(limit), clock_(std::move(clock)) {
    require_limit(limit);
    db_.migrate("memory",
                {"CREATE TABLE conversation_messages ("
                 " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                 " number TEXT NOT NULL,"
                 " role TEXT NOT NULL,"
                 " content TEXT NOT NULL);"
                 "CREATE INDEX conversation_messages_by_number ON conversation_messages(number, id);",
                 "ALTER TABLE conversation_messages ADD COLUMN created_at INTEGER;"
                 "CREATE INDEX conversation_messages_by_time ON conversation_messages(created_at);"});
  }

  void add_message(const std::string& number, const std::string& role, const std::string& content) override {
    const std::int64_t now = epoch_seconds(clock_->now());
    db_.write([&](SQLite::Database& db) {
      SQLite::Statement insert(db,
                               "INSERT INTO conversation_messages(number, role, content, created_at) "
                               "VALUES(?, ?, ?, ?)");
      insert.bind(1, number);
      insert.bind(2, role);
      insert.bind(3, content);
      insert.bind(4, static_cast<int64_t>(now));
      insert.exec();
    });
  }

  json get_history(const std::string& number) override {
    return db_.with([&](SQLite::Database& db) {
      SQLite::Statement q(db,
                          "SELECT role, content FROM ("
                          " SELECT id, role, content FROM conversation_messages"
                          " WHERE number = ? ORDER BY id DESC LIMIT ?"
                          ") ORDER BY id ASC");
      q.bind(1, number);
      q.bind(2, limit_);
      json out = json::array();
      while (q.executeStep()) out.push_back(entry(q.getColumn(0).getString(), q.getColumn(1).getString()));
      return out;
    });
  }

  std::int64_t forget(std::optional<TimePoint> before) override {
    return db_.with([&](SQLite::Database& db) -> std::int64_t {
      if (!before) return db.exec("DELETE FROM conversation_messages");
      SQLite::Statement q(db, "DELETE FROM conversation_messages WHERE created_at IS NULL OR created_at < ?");
      q.bind(1, static_cast<int64_t>(epoch_seconds(*before)));
      return q.exec();
    });
  }

  json export_entries() override {
    return db_.with([&](SQLite::Database& db) {
      SQLite::Statement q(db, "SELECT number, role, content, created_at FROM conversation_messages ORDER BY id");
      json out = json::array();
      while (q.executeStep()) {
        std::optional<std::int64_t> time;
        if (!q.getColumn(3).isNull()) time = q.getColumn(3).getInt64();
        out.push_back(exported(q.getColumn(0).getString(), q.getColumn(1).getString(),
                               q.getColumn(2).getString(), time));
      }
      return out;
    });
  }

 private:
  db::Database& db_;
  const int limit_;
  const std::shared_ptr<Clock> clock_;
};

}  // namespace

std::unique_ptr<ConversationMemory> make_sqlite_memory(db::Database& db, int limit, std::shared_ptr<Clock> clock) {
  return std::make_unique<Sqlite>(db, limit, clock ? std::move(clock) : system_clock());
}

std::unique_ptr<ConversationMemory> make_memory_memory(int limit, std::shared_ptr<Clock> clock) {
  return std::make_unique<InMemory>(limit, clock ? std::move(clock) : system_clock());
}

}  // namespace talmo::memory
