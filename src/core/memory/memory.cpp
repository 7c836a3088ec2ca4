#include "core/memory/memory.hpp"

#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>

namespace talmo::memory {

namespace {

json entry(const std::string& role, const std::string& content) {
  json message = json::object();
  message["role"] = role;
  message["content"] = content;
  return message;
}

void require_limit(int limit) {
  if (limit < 1) throw std::invalid_argument("the history limit must be at least 1, got " + std::to_string(limit));
}

class InMemory final : public ConversationMemory {
 public:
  explicit InMemory(int limit) : limit_(limit) { require_limit(limit); }

  void add_message(const std::string& number, const std::string& role, const std::string& content) override {
    std::lock_guard lock(mu_);
    history_[number].push_back(entry(role, content));
  }

  json get_history(const std::string& number) override {
    std::lock_guard lock(mu_);
    json out = json::array();
    auto found = history_.find(number);
    if (found == history_.end()) return out;
    const auto& all = found->second;
    const size_t skip = all.size() > static_cast<size_t>(limit_) ? all.size() - static_cast<size_t>(limit_) : 0;
    for (size_t i = skip; i < all.size(); ++i) out.push_back(all[i]);
    return out;
  }

 private:
  const int limit_;
  std::mutex mu_;
  std::map<std::string, std::deque<json>> history_;
};

// The whole history is kept; reads take the newest `limit` rows through the
// (number, id) index.
class Sqlite final : public ConversationMemory {
 public:
  Sqlite(db::Database& db, int limit) : db_(db), limit_(limit) {
    require_limit(limit);
    db_.migrate("memory",
                {"CREATE TABLE conversation_messages ("
                 " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                 " number TEXT NOT NULL,"
                 " role TEXT NOT NULL,"
                 " content TEXT NOT NULL);"
                 "CREATE INDEX conversation_messages_by_number ON conversation_messages(number, id);"});
  }

  void add_message(const std::string& number, const std::string& role, const std::string& content) override {
    db_.with([&](SQLite::Database& db) {
      SQLite::Statement insert(db, "INSERT INTO conversation_messages(number, role, content) VALUES(?, ?, ?)");
      insert.bind(1, number);
      insert.bind(2, role);
      insert.bind(3, content);
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

 private:
  db::Database& db_;
  const int limit_;
};

}  // namespace

std::unique_ptr<ConversationMemory> make_sqlite_memory(db::Database& db, int limit) {
  return std::make_unique<Sqlite>(db, limit);
}

std::unique_ptr<ConversationMemory> make_memory_memory(int limit) { return std::make_unique<InMemory>(limit); }

}  // namespace talmo::memory
