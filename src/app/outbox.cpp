#include "app/outbox.hpp"

#include "support/log.hpp"

#include <algorithm>
#include <utility>
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
  std::string msg_id;
  std::optional<std::int64_t> due_ms;
  std::int64_t stored_ms;
};

// 128 random bits from SQLite's generator (seeded from the system's), as 32 hex digits.
constexpr const char* NEW_MSG_ID = "lower(hex(randomblob(16)))";

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
                         "CREATE INDEX outbox_by_state ON outbox(state, id);",
                         // Each text's id for the bridge; due time for the late label;
                         // when it was marked sent or failed.
                         std::string("ALTER TABLE outbox ADD COLUMN msg_id TEXT;"
                                     "ALTER TABLE outbox ADD COLUMN due_ms INTEGER;"
                                     "ALTER TABLE outbox ADD COLUMN done_ms INTEGER;"
                                     "UPDATE outbox SET msg_id = ") + NEW_MSG_ID + ";"});
  db_.with([&](SQLite::Database& d) {
    SQLite::Statement prune(d, "DELETE FROM outbox WHERE state != 'pending' AND stored_ms < ?");
    prune.bind(1, to_ms(options_.clock->now() - options_.keep));
    prune.exec();
  });
}

Outbox::~Outbox() { stop(); }

bool Outbox::enqueue(const std::string& number, const std::string& text, const std::string& key,
                     std::optional<TimePoint> due) {
  const bool stored = db_.write([&](SQLite::Database& d) {
    SQLite::Statement insert(d, std::string("INSERT OR IGNORE INTO outbox(number, text, key, stored_ms, due_ms, msg_id)"
                                            " VALUES(?, ?, ?, ?, ?, ") + NEW_MSG_ID + ")");
    insert.bind(1, number);
    insert.bind(2, text);
    if (key.empty())
      insert.bind(3);
    else
      insert.bind(3, key);
    insert.bind(4, to_ms(options_.clock->now()));
    if (due)
      insert.bind(5, to_ms(*due));
    else
      insert.bind(5);
    return insert.exec() > 0;
  });
  if (stored) {
    {
      std::lock_guard lock(mu_);
      woken_ = true;
      nudged_ = true;
    }
    cv_.notify_all();
  }
  return stored;
}

std::optional<TimePoint> Outbox::deliver_due() {
  std::lock_guard round(round_mu_);
  for (;;) {
    const std::optional<Waiting> head = db_.with([&](SQLite::Database& d) -> std::optional<Waiting> {
      SQLite::Statement q(d, "SELECT id, number, text, attempts, next_attempt_ms, msg_id, due_ms, stored_ms"
                             " FROM outbox WHERE state = 'pending' ORDER BY id LIMIT 1");
      if (!q.executeStep()) return std::nullopt;
      Waiting w{q.getColumn(0).getInt64(), q.getColumn(1).getString(), q.getColumn(2).getString(),
                q.getColumn(3).getInt(),   q.getColumn(4).getInt64(),  q.getColumn(5).getString(),
                std::nullopt,              q.getColumn(7).getInt64()};
      if (!q.getColumn(6).isNull()) w.due_ms = q.getColumn(6).getInt64();
      return w;
    });
    const bool nudged = [&] {
      std::lock_guard lock(mu_);
      return std::exchange(nudged_, false);
    }();
    if (!head) return std::nullopt;
    TimePoint now = options_.clock->now();
    // Not yet due: a newly stored text tries it once (its back-off stays as
    // it is); otherwise the bridge is asked whether WhatsApp is back.
    const bool backing_off = head->next_attempt_ms > to_ms(now);
    if (backing_off && !nudged) {
      bool back = false;
      if (options_.bridge_ready && now >= next_poll_) {
        back = options_.bridge_ready();
        if (!back) seen_down_ = true;
        back = back && seen_down_;
        next_poll_ = now + options_.poll_every;
      }
      if (!back) {
        const TimePoint next = from_ms(head->next_attempt_ms);
        return options_.bridge_ready ? std::min(next, next_poll_) : next;
      }
      log::info("The bridge is connected again: sending the waiting messages");
    }

    std::string text = head->text;
    if (head->due_ms && options_.late_label)
      text = options_.late_label(std::chrono::duration_cast<std::chrono::seconds>(now - from_ms(*head->due_ms))) + text;
    const Delivery result = options_.send(head->number, text, head->msg_id);
    now = options_.clock->now();
    const int attempt = head->attempts + 1;
    const std::string label = "message " + std::to_string(head->id) + " for " + head->number;
    if (result == Delivery::retry && backing_off && nudged) {
      // The try a new text made: the back-off goes on as it was.
      log::warning("Delivery of " + label + " failed again; retrying on its back-off, later messages wait behind it");
      continue;
    }
    std::string state = "pending", error;
    std::int64_t next_ms = 0;
    const TimePoint give_up = from_ms(head->stored_ms) + options_.give_up_after;
    if (result == Delivery::delivered) {
      state = "sent";
      seen_down_ = false;
    } else if (result == Delivery::refused) {
      state = "failed";
      error = "the bridge refused it";
      log::error("Gave up delivering " + label + ": the bridge refused it");
    } else if (now < give_up && !options_.backoff.empty()) {
      const auto step = std::min(static_cast<std::size_t>(head->attempts), options_.backoff.size() - 1);
      const auto delay = options_.backoff[step];
      next_ms = to_ms(std::min(now + delay, give_up));
      error = "the bridge could not take it";
      log::warning("Delivery of " + label + " failed (attempt " + std::to_string(attempt) + "); retrying in " +
                   std::to_string(std::chrono::ceil<std::chrono::seconds>(from_ms(next_ms) - now).count()) +
                   "s, later messages wait behind it");
      // Whether WhatsApp is down right now: only its coming back again ends the back-off early.
      if (options_.bridge_ready) {
        seen_down_ = !options_.bridge_ready();
        next_poll_ = now + options_.poll_every;
      }
    } else {
      state = "failed";
      error = "the bridge could not take it";
      log::error("Gave up delivering " + label + " after " + std::to_string(attempt) + " attempts over " +
                 std::to_string(std::chrono::duration_cast<std::chrono::minutes>(now - from_ms(head->stored_ms)).count()) +
                 " minutes: the bridge could not take it");
    }
    db_.with([&](SQLite::Database& d) {
      SQLite::Statement up(d, "UPDATE outbox SET state = ?, attempts = ?, next_attempt_ms = ?, error = ?,"
                              " done_ms = ? WHERE id = ?");
      up.bind(1, state);
      up.bind(2, attempt);
      up.bind(3, next_ms);
      if (error.empty())
        up.bind(4);
      else
        up.bind(4, error);
      if (state == "pending")
        up.bind(5);
      else
        up.bind(5, to_ms(now));
      up.bind(6, head->id);
      up.exec();
    });
    if (state == "pending") return options_.bridge_ready ? std::min(from_ms(next_ms), next_poll_) : from_ms(next_ms);
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

std::int64_t failed_since(SQLite::Database& db, TimePoint since) {
  if (!db.tableExists("outbox")) return 0;
  // A database an older Talmo wrote has no done_ms until this one opens it.
  SQLite::Statement columns(db, "SELECT COUNT(*) FROM pragma_table_info('outbox') WHERE name = 'done_ms'");
  columns.executeStep();
  const bool has_done = columns.getColumn(0).getInt() > 0;
  SQLite::Statement q(db, std::string("SELECT COUNT(*) FROM outbox WHERE state = 'failed' AND ") +
                              (has_done ? "COALESCE(done_ms, stored_ms)" : "stored_ms") + " >= ?");
  q.bind(1, to_ms(since));
  q.executeStep();
  return q.getColumn(0).getInt64();
}

}  // namespace talmo::app
