#include "app/greeting.hpp"

#include "support/log.hpp"

namespace talmo::app::greeting {

namespace {

void migrate(db::Database& db) {
  db.migrate("greeting", {"CREATE TABLE pending_greeting ("
                          " id INTEGER PRIMARY KEY CHECK (id = 1),"
                          " text TEXT NOT NULL,"
                          " created_at TEXT NOT NULL DEFAULT (datetime('now')));"});
}

}  // namespace

void keep(db::Database& db, const std::string& text) {
  migrate(db);
  db.with([&](SQLite::Database& d) {
    SQLite::Statement q(d, "INSERT OR REPLACE INTO pending_greeting (id, text) VALUES (1, ?)");
    q.bind(1, text);
    q.exec();
  });
}

std::optional<std::string> pending(db::Database& db) {
  migrate(db);
  return db.with([](SQLite::Database& d) -> std::optional<std::string> {
    SQLite::Statement q(d, "SELECT text FROM pending_greeting WHERE id = 1");
    if (!q.executeStep()) return std::nullopt;
    return q.getColumn(0).getString();
  });
}

void mark_sent(db::Database& db) {
  migrate(db);
  db.with([](SQLite::Database& d) { d.exec("DELETE FROM pending_greeting"); });
}

Sender::Sender(Bindings bindings) : b_(std::move(bindings)) {
  thread_ = std::thread([this] { run(); });
}

Sender::~Sender() { stop(); }

void Sender::stop() {
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Sender::run() {
  try {
    if (!pending(*b_.db)) return;
    log::info("A greeting for the owner waits until WhatsApp is connected");
    for (;;) {
      if (b_.bridge_connected()) {
        // Read again: another `talmo onboard` may have replaced it meanwhile.
        if (auto text = pending(*b_.db)) {
          if (b_.send(*text)) {
            mark_sent(*b_.db);
            log::success("Greeting sent to the owner");
            return;
          }
          log::warning("The bridge did not take the greeting; trying again");
        } else {
          return;
        }
      }
      std::unique_lock lock(mu_);
      if (cv_.wait_for(lock, b_.interval, [this] { return stopping_; })) return;
    }
  } catch (const std::exception& e) {
    log::error(std::string("The pending greeting could not be handled: ") + e.what());
  }
}

}  // namespace talmo::app::greeting
