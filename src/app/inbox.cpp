#include "app/inbox.hpp"

#include <algorithm>
#include <deque>
#include <mutex>

namespace talmo::app {

namespace {

// Refuses a message that would take the inbox past its limits.
void check_room(const InboxLimits& limits, std::size_t count, std::size_t bytes, std::size_t more) {
  if (count + 1 > limits.max_messages)
    throw InboxFull("the inbox is full (" + std::to_string(count) +
                    " messages are waiting); send this again once the earlier ones are answered");
  if (bytes + more > limits.max_bytes)
    throw InboxFull("the inbox is full (" + std::to_string(limits.max_bytes >> 20) +
                    " MiB of messages are waiting); send this again once the earlier ones are answered");
}

class MemoryInbox : public Inbox {
 public:
  explicit MemoryInbox(InboxLimits limits) : limits_(limits) {}

  std::uint64_t push(const std::string& number, const std::string& message) override {
    std::lock_guard lock(mu_);
    if (closed_) throw InboxClosed("the conversation runner has stopped; the message was not queued");
    check_room(limits_, entries_.size(), bytes_, message.size());
    entries_.push_back(Entry{{++last_id_, number, message}, false});
    bytes_ += message.size();
    return last_id_;
  }

  std::optional<QueuedConversation> take() override {
    std::lock_guard lock(mu_);
    for (const Entry& e : entries_)
      if (!e.started && e.item.id > handed_) {
        handed_ = e.item.id;
        return e.item;
      }
    return std::nullopt;
  }

  void start(std::uint64_t id, const std::function<void()>& first_effect) override {
    first_effect();
    std::lock_guard lock(mu_);
    if (Entry* e = find(id)) e->started = true;
  }

  void done(std::uint64_t id) override {
    std::lock_guard lock(mu_);
    auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.item.id == id; });
    if (it == entries_.end()) return;
    bytes_ -= it->item.message.size();
    entries_.erase(it);
  }

  std::vector<QueuedConversation> interrupted() override { return {}; }

  void close() override {
    std::lock_guard lock(mu_);
    closed_ = true;
  }

  std::size_t waiting() const override {
    std::lock_guard lock(mu_);
    return entries_.size();
  }

 private:
  struct Entry {
    QueuedConversation item;
    bool started;
  };
  Entry* find(std::uint64_t id) {
    for (Entry& e : entries_)
      if (e.item.id == id) return &e;
    return nullptr;
  }

  const InboxLimits limits_;
  mutable std::mutex mu_;
  std::deque<Entry> entries_;
  std::size_t bytes_ = 0;
  std::uint64_t last_id_ = 0;
  std::uint64_t handed_ = 0;
  bool closed_ = false;
};

// Rows live from push to done; `started` is set in the same transaction as
// the conversation's first lasting effect. The counters mirror the table so
// that push checks the limits without a scan; this process is the table's
// only writer.
class SqliteInbox : public Inbox {
 public:
  SqliteInbox(db::Database& db, InboxLimits limits) : db_(db), limits_(limits) {
    db_.migrate("inbox", {"CREATE TABLE inbox ("
                          " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                          " number TEXT NOT NULL,"
                          " message TEXT NOT NULL,"
                          " started INTEGER NOT NULL DEFAULT 0,"
                          " received_at TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%fZ', 'now')))"});
    db_.with([&](SQLite::Database& d) {
      SQLite::Statement q(d,
                          "SELECT COUNT(*), COALESCE(SUM(length(CAST(message AS BLOB))), 0), COALESCE(MAX(id), 0)"
                          " FROM inbox");
      q.executeStep();
      count_ = static_cast<std::size_t>(q.getColumn(0).getInt64());
      bytes_ = static_cast<std::size_t>(q.getColumn(1).getInt64());
      opened_at_ = static_cast<std::uint64_t>(q.getColumn(2).getInt64());
    });
  }

  std::uint64_t push(const std::string& number, const std::string& message) override {
    std::lock_guard lock(mu_);
    if (closed_) throw InboxClosed("the conversation runner has stopped; the message was not queued");
    check_room(limits_, count_, bytes_, message.size());
    const auto id = db_.with([&](SQLite::Database& d) {
      SQLite::Statement insert(d, "INSERT INTO inbox(number, message) VALUES(?, ?)");
      insert.bind(1, number);
      insert.bind(2, message);
      insert.exec();
      return static_cast<std::uint64_t>(d.getLastInsertRowid());
    });
    ++count_;
    bytes_ += message.size();
    return id;
  }

  std::optional<QueuedConversation> take() override {
    std::lock_guard lock(mu_);
    return db_.with([&](SQLite::Database& d) -> std::optional<QueuedConversation> {
      SQLite::Statement q(d, "SELECT id, number, message FROM inbox WHERE started = 0 AND id > ?"
                             " ORDER BY id LIMIT 1");
      q.bind(1, static_cast<std::int64_t>(handed_));
      if (!q.executeStep()) return std::nullopt;
      QueuedConversation c{static_cast<std::uint64_t>(q.getColumn(0).getInt64()), q.getColumn(1).getString(),
                           q.getColumn(2).getString()};
      handed_ = c.id;
      return c;
    });
  }

  void start(std::uint64_t id, const std::function<void()>& first_effect) override {
    db_.with([&](SQLite::Database& d) {
      SQLite::Transaction tx(d);
      SQLite::Statement mark(d, "UPDATE inbox SET started = 1 WHERE id = ?");
      mark.bind(1, static_cast<std::int64_t>(id));
      mark.exec();
      first_effect();
      tx.commit();
    });
  }

  void done(std::uint64_t id) override {
    std::lock_guard lock(mu_);
    db_.with([&](SQLite::Database& d) {
      SQLite::Statement del(d, "DELETE FROM inbox WHERE id = ? RETURNING length(CAST(message AS BLOB))");
      del.bind(1, static_cast<std::int64_t>(id));
      if (del.executeStep()) {
        --count_;
        bytes_ -= std::min<std::size_t>(bytes_, static_cast<std::size_t>(del.getColumn(0).getInt64()));
      }
      while (del.executeStep()) {
      }
    });
  }

  std::vector<QueuedConversation> interrupted() override {
    return db_.with([&](SQLite::Database& d) {
      SQLite::Statement q(d, "SELECT id, number, message FROM inbox WHERE started = 1 AND id <= ? ORDER BY id");
      q.bind(1, static_cast<std::int64_t>(opened_at_));
      std::vector<QueuedConversation> out;
      while (q.executeStep())
        out.push_back({static_cast<std::uint64_t>(q.getColumn(0).getInt64()), q.getColumn(1).getString(),
                       q.getColumn(2).getString()});
      return out;
    });
  }

  void close() override {
    std::lock_guard lock(mu_);
    closed_ = true;
  }

  std::size_t waiting() const override {
    std::lock_guard lock(mu_);
    return count_;
  }

 private:
  db::Database& db_;
  const InboxLimits limits_;
  mutable std::mutex mu_;
  std::size_t count_ = 0;
  std::size_t bytes_ = 0;
  std::uint64_t opened_at_ = 0;  // the newest id when this process opened the table
  std::uint64_t handed_ = 0;
  bool closed_ = false;
};

}  // namespace

std::unique_ptr<Inbox> make_memory_inbox(InboxLimits limits) { return std::make_unique<MemoryInbox>(limits); }

std::unique_ptr<Inbox> make_sqlite_inbox(db::Database& db, InboxLimits limits) {
  return std::make_unique<SqliteInbox>(db, limits);
}

}  // namespace talmo::app
