#include "app/outbox.hpp"

#include "support/log.hpp"

#include <algorithm>
#include <stdexcept>

namespace talmo::app {

namespace {

using std::chrono::milliseconds;

std::int64_t to_ms(TimePoint t) {
  return std::chrono::duration_cast<milliseconds>(t.time_since_epoch()).count();
}
TimePoint from_ms(std::int64_t ms) { return TimePoint(std::chrono::duration_cast<TimePoint::duration>(milliseconds(ms))); }

struct Waiting {
  std::int64_t id;
  std::string number;
  std::string text;
  int attempts;
  std::int64_t next_attempt_ms;
};

}  // namespace

Outbox::Outbox(db::Database& db, OutboxOptions options) : db_(db), options_(std::move(options)) {
  if (!options_.send) throw std::invalid_argument("outbox binding missing: send");
  if (!options_.clock) throw std::invalid_argument("outbox binding missing: clock");
  db_.migrate("outbox", {"CREATE TABLE outbox ("
                         " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                         " number TEXT NOT NULL,"
                         " text TEXT NOT NULL,"
                         " key TEXT UNIQUE,"
                         " state TEXT NOT NULL DEFAULT 'pending',"
                         " attempts INTEGER NOT NULL DEFAULT 0,"
                         " next_attempt_ms INTEGER NOT NULL DEFAULT 0,"
                         " error TEXT,"
                         " stored_ms INTEGER NOT NULL);"
                         "CREATE INDEX outbox_by_state ON outbox(state, id);"});
  db_.with([&](SQLite::Database& d) {
    SQLite::Statement prune(d, "DELETE FROM outbox WHERE state != 'pending' AND stored_ms < ?");
    prune.bind(1, to_ms(options_.clock->now() - options_.keep));
    prune.exec();
  });
}

Outbox::~Outbox() { stop(); }

bool Outbox::enqueue(const std::string& number, const std::string& text, const std::string& key) {
  const bool stored = db_.write([&](SQLite::Database& d) {
    SQLite::Statement insert(d, "INSERT OR IGNORE INTO outbox(number, text, key, stored_ms) VALUES(?, ?, ?, ?)");
    insert.bind(1, number);
    insert.bind(2, text);
    if (key.empty())
      insert.bind(3);
    else
      insert.bind(3, key);
    insert.bind(4, to_ms(options_.clock->now()));
    return insert.exec() > 0;
  });
  if (stored) {
    {
      std::lock_guard lock(mu_);
      woken_ = true;
    }
    cv_.notify_all();
  }
  return stored;
}

std::optional<TimePoint> Outbox::deliver_due() {
  std::lock_guard round(round_mu_);
  for (;;) {
    const std::optional<Waiting> head = db_.with([&](SQLite::Database& d) -> std::optional<Waiting> {
      SQLite::Statement q(d, "SELECT id, number, text, attempts, next_attempt_ms FROM outbox"
                             " WHERE state = 'pending' ORDER BY id LIMIT 1");
      if (!q.executeStep()) return std::nullopt;
      return Waiting{q.getColumn(0).getInt64(), q.getColumn(1).getString(), q.getColumn(2).getString(),
                     q.getColumn(3).getInt(), q.getColumn(4).getInt64()};
    });
    if (!head) return std::nullopt;
    const TimePoint now = options_.clock->now();
    if (head->next_attempt_ms > to_ms(now)) return from_ms(head->next_attempt_ms);

    const Delivery result = options_.send(head->number, head->text);
    const int attempt = head->attempts + 1;
    const std::string label = "message " + std::to_string(head->id) + " for " + head->number;
    std::string state = "pending", error;
    std::int64_t next_ms = 0;
    if (result == Delivery::delivered) {
      state = "sent";
    } else if (result == Delivery::refused) {
      state = "failed";
      error = "the bridge refused it";
      log::error("Gave up delivering " + label + ": the bridge refused it");
    } else if (static_cast<std::size_t>(head->attempts) < options_.backoff.size()) {
      const auto delay = options_.backoff[static_cast<std::size_t>(head->attempts)];
      next_ms = to_ms(options_.clock->now() + delay);
      error = "the bridge could not take it";
      log::warning("Delivery of " + label + " failed (attempt " + std::to_string(attempt) +
                   "); retrying in " + std::to_string(delay.count()) + "s, later messages wait behind it");
    } else {
      state = "failed";
      error = "the bridge could not take it";
      log::error("Gave up delivering " + label + " after " + std::to_string(attempt) + " attempts");
    }
    db_.with([&](SQLite::Database& d) {
      SQLite::Statement up(d, "UPDATE outbox SET state = ?, attempts = ?, next_attempt_ms = ?, error = ?"
                              " WHERE id = ?");
      up.bind(1, state);
      up.bind(2, attempt);
      up.bind(3, next_ms);
      if (error.empty())
        up.bind(4);
      else
        up.bind(4, error);
      up.bind(5, head->id);
      up.exec();
    });
    if (state == "pending") return from_ms(next_ms);
    std::lock_guard lock(mu_);
    if (stop_) return std::nullopt;  // the last round of a stop ends between texts
  }
}

void Outbox::start() {
  std::lock_guard lock(mu_);
  if (thread_.joinable()) return;
  stop_ = false;
  ended_ = false;
  thread_ = std::thread([this] { thread_main(); });
}

bool Outbox::stop(std::chrono::milliseconds grace) {
  std::unique_lock lock(mu_);
  if (!thread_.joinable()) return true;
  stop_ = true;
  cv_.notify_all();
  const auto ended = [&] { return ended_; };
  if (grace == milliseconds::max())
    cv_.wait(lock, ended);
  else if (!cv_.wait_for(lock, grace, ended))
    return false;
  std::thread t = std::move(thread_);
  lock.unlock();
  t.join();
  return true;
}

std::size_t Outbox::pending() const {
  return db_.with([&](SQLite::Database& d) {
    SQLite::Statement q(d, "SELECT COUNT(*) FROM outbox WHERE state = 'pending'");
    q.executeStep();
    return static_cast<std::size_t>(q.getColumn(0).getInt64());
  });
}

void Outbox::thread_main() {
  std::unique_lock lock(mu_);
  for (;;) {
    const bool last = stop_;
    woken_ = false;
    lock.unlock();
    milliseconds wait = options_.max_sleep;
    try {
      if (const auto next = deliver_due()) {
        const auto until = std::chrono::ceil<milliseconds>(*next - options_.clock->now());
        wait = std::clamp(until, milliseconds(1), options_.max_sleep);
      }
    } catch (const std::exception& e) {
      log::error(std::string("The outbox could not be read: ") + e.what());
      wait = std::min(options_.max_sleep, milliseconds(5000));
    } catch (...) {
      log::error("The outbox could not be read: unknown error");
      wait = std::min(options_.max_sleep, milliseconds(5000));
    }
    lock.lock();
    if (last) break;
    cv_.wait_for(lock, wait, [&] { return stop_ || woken_; });
  }
  ended_ = true;
  cv_.notify_all();
}

}  // namespace talmo::app
