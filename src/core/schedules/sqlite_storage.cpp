// The registry's SQLite storage layer: jobs and runs in talmo.db, with its migrations.
#include "core/schedules/storage.hpp"

#include <chrono>
#include <stdexcept>

namespace talmo::schedules {
namespace {

// Step 1. Times are UTC seconds since the epoch; JSON columns hold the
// values exactly as stored (any JSON value, key order kept).
const char* const SCHEMA_V1 = R"sql(
CREATE TABLE schedule_jobs (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  title TEXT NOT NULL,
  mode TEXT NOT NULL,
  fixed_content TEXT NOT NULL,
  trigger_type TEXT NOT NULL,
  trigger_args TEXT NOT NULL,
  fetch_module TEXT NOT NULL,
  fetch_args TEXT NOT NULL,
  start_date TEXT,
  end_date TEXT,
  zone TEXT NOT NULL,
  trigger_set_at INTEGER NOT NULL,
  next_run INTEGER,
  last_fire INTEGER,
  finished INTEGER NOT NULL DEFAULT 0,
  created_at INTEGER NOT NULL,
  updated_at INTEGER NOT NULL
);
CREATE INDEX schedule_jobs_next_run ON schedule_jobs(next_run) WHERE finished = 0;
CREATE TABLE schedule_runs (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  job_id INTEGER NOT NULL,
  scheduled_time INTEGER NOT NULL,
  fired_at INTEGER NOT NULL,
  state TEXT NOT NULL,
  attempts INTEGER NOT NULL DEFAULT 0,
  last_error TEXT NOT NULL DEFAULT '',
  retry_at INTEGER,
  job TEXT NOT NULL,
  UNIQUE (job_id, scheduled_time)
);
CREATE INDEX schedule_runs_state ON schedule_runs(state, scheduled_time);
)sql";

std::string stored_text(const json& v) {
  return v.dump(-1, ' ', false, json::error_handler_t::replace);
}

json parse_stored(const SQLite::Column& c) {
  if (c.isNull()) return nullptr;
  return json::parse(c.getString());
}

std::int64_t to_epoch(TimePoint t) {
  return std::chrono::floor<std::chrono::seconds>(t).time_since_epoch().count();
}

TimePoint from_epoch(std::int64_t s) { return TimePoint{std::chrono::seconds{s}}; }

const char* state_name(RunState s) {
  switch (s) {
    case RunState::pending: return "pending";
    case RunState::delivered: return "delivered";
    case RunState::failed: return "failed";
    case RunState::skipped: return "skipped";
  }
  return "pending";
}

RunState state_of(const std::string& s) {
  if (s == "delivered") return RunState::delivered;
  if (s == "failed") return RunState::failed;
  if (s == "skipped") return RunState::skipped;
  return RunState::pending;
}

void bind_optional(SQLite::Statement& q, int index, const std::optional<std::int64_t>& v) {
  if (v) q.bind(index, static_cast<int64_t>(*v));
  else q.bind(index);
}

void bind_date(SQLite::Statement& q, int index, const json& v) {
  if (v.is_string()) q.bind(index, v.get_ref<const std::string&>());
  else q.bind(index);
}

std::optional<std::int64_t> optional_int(const SQLite::Column& c) {
  if (c.isNull()) return std::nullopt;
  return c.getInt64();
}

const char* const JOB_COLUMNS =
    "id, title, mode, fixed_content, trigger_type, trigger_args, fetch_module, fetch_args, "
    "start_date, end_date, zone, trigger_set_at, next_run, last_fire, finished, created_at, "
    "updated_at";

JobRecord read_job(SQLite::Statement& q) {
  JobRecord j;
  j.id = q.getColumn(0).getInt64();
  j.title = q.getColumn(1).getString();
  j.mode = q.getColumn(2).getString();
  j.fixed_content = parse_stored(q.getColumn(3));
  j.trigger_type = q.getColumn(4).getString();
  j.trigger_args = parse_stored(q.getColumn(5));
  j.fetch_module = parse_stored(q.getColumn(6));
  j.fetch_args = parse_stored(q.getColumn(7));
  j.start_date = q.getColumn(8).isNull() ? json(nullptr) : json(q.getColumn(8).getString());
  j.end_date = q.getColumn(9).isNull() ? json(nullptr) : json(q.getColumn(9).getString());
  j.zone = q.getColumn(10).getString();
  j.trigger_set_at = q.getColumn(11).getInt64();
  j.next_run = optional_int(q.getColumn(12));
  j.last_fire = optional_int(q.getColumn(13));
  j.finished = q.getColumn(14).getInt() != 0;
  j.created_at = q.getColumn(15).getInt64();
  j.updated_at = q.getColumn(16).getInt64();
  return j;
}

// Binds every column but id, from index 1, in JOB_COLUMNS order.
void bind_job(SQLite::Statement& q, const JobRecord& j) {
  q.bind(1, j.title.get<std::string>());
  q.bind(2, j.mode.get<std::string>());
  q.bind(3, stored_text(j.fixed_content));
  q.bind(4, j.trigger_type.get<std::string>());
  q.bind(5, stored_text(j.trigger_args));
  q.bind(6, stored_text(j.fetch_module));
  q.bind(7, stored_text(j.fetch_args));
  bind_date(q, 8, j.start_date);
  bind_date(q, 9, j.end_date);
  q.bind(10, j.zone);
  q.bind(11, static_cast<int64_t>(j.trigger_set_at));
  bind_optional(q, 12, j.next_run);
  bind_optional(q, 13, j.last_fire);
  q.bind(14, j.finished ? 1 : 0);
  q.bind(15, static_cast<int64_t>(j.created_at));
  q.bind(16, static_cast<int64_t>(j.updated_at));
}

void update_job_row(SQLite::Database& d, const JobRecord& j) {
  SQLite::Statement q(d,
                      "UPDATE schedule_jobs SET title = ?1, mode = ?2, fixed_content = ?3, "
                      "trigger_type = ?4, trigger_args = ?5, fetch_module = ?6, fetch_args = ?7, "
                      "start_date = ?8, end_date = ?9, zone = ?10, trigger_set_at = ?11, "
                      "next_run = ?12, last_fire = ?13, finished = ?14, created_at = ?15, "
                      "updated_at = ?16 WHERE id = ?17");
  bind_job(q, j);
  q.bind(17, static_cast<int64_t>(j.id));
  q.exec();
}

const char* const RUN_COLUMNS =
    "id, job_id, scheduled_time, fired_at, state, attempts, last_error, retry_at, job";

Run read_run(SQLite::Statement& q) {
  Run r;
  r.id = q.getColumn(0).getInt64();
  r.job_id = q.getColumn(1).getInt64();
  r.scheduled_time = from_epoch(q.getColumn(2).getInt64());
  r.fired_at = from_epoch(q.getColumn(3).getInt64());
  r.state = state_of(q.getColumn(4).getString());
  r.attempts = q.getColumn(5).getInt();
  r.last_error = q.getColumn(6).getString();
  if (const auto retry = optional_int(q.getColumn(7))) r.retry_at = from_epoch(*retry);
  r.job = parse_stored(q.getColumn(8));
  return r;
}

class SqliteStorage final : public Storage {
 public:
  explicit SqliteStorage(db::Database& db) : db_(db) { db_.migrate("schedules", {SCHEMA_V1}); }

  std::vector<JobRecord> load_jobs() override {
    return db_.with([](SQLite::Database& d) {
      SQLite::Statement q(d, std::string("SELECT ") + JOB_COLUMNS +
                                 " FROM schedule_jobs WHERE finished = 0 ORDER BY id");
      std::vector<JobRecord> out;
      while (q.executeStep()) out.push_back(read_job(q));
      return out;
    });
  }

  std::int64_t insert_job(const JobRecord& job) override {
    return db_.write([&](SQLite::Database& d) {
      SQLite::Statement q(d, "INSERT INTO schedule_jobs (title, mode, fixed_content, trigger_type, "
                             "trigger_args, fetch_module, fetch_args, start_date, end_date, zone, "
                             "trigger_set_at, next_run, last_fire, finished, created_at, updated_at) "
                             "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, "
                             "?15, ?16)");
      bind_job(q, job);
      q.exec();
      return static_cast<std::int64_t>(d.getLastInsertRowid());
    });
  }

  void save_job(const JobRecord& job) override {
    db_.write([&](SQLite::Database& d) { update_job_row(d, job); });
  }

  void delete_job(std::int64_t id) override {
    db_.write([&](SQLite::Database& d) {
      SQLite::Statement q(d, "DELETE FROM schedule_jobs WHERE id = ?");
      q.bind(1, static_cast<int64_t>(id));
      q.exec();
    });
  }

  std::optional<std::int64_t> insert_run(const Run& run, const JobRecord& job) override {
    return db_.with([&](SQLite::Database& d) -> std::optional<std::int64_t> {
      SQLite::Transaction tx(d);
      SQLite::Statement q(d, "INSERT OR IGNORE INTO schedule_runs (job_id, scheduled_time, fired_at, "
                             "state, attempts, last_error, retry_at, job) "
                             "VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
      q.bind(1, static_cast<int64_t>(run.job_id));
      q.bind(2, static_cast<int64_t>(to_epoch(run.scheduled_time)));
      q.bind(3, static_cast<int64_t>(to_epoch(run.fired_at)));
      q.bind(4, state_name(run.state));
      q.bind(5, run.attempts);
      q.bind(6, run.last_error);
      if (run.retry_at) q.bind(7, static_cast<int64_t>(to_epoch(*run.retry_at)));
      else q.bind(7);
      q.bind(8, stored_text(run.job));
      if (q.exec() == 0) return std::nullopt;  // already recorded; the transaction rolls back
      const auto id = static_cast<std::int64_t>(d.getLastInsertRowid());
      update_job_row(d, job);
      tx.commit();
      return id;
    });
  }

  std::optional<Run> find_run(std::int64_t id) override {
    return db_.with([&](SQLite::Database& d) -> std::optional<Run> {
      SQLite::Statement q(d, std::string("SELECT ") + RUN_COLUMNS + " FROM schedule_runs WHERE id = ?");
      q.bind(1, static_cast<int64_t>(id));
      if (q.executeStep()) return read_run(q);
      return std::nullopt;
    });
  }

  std::vector<Run> pending_runs() override {
    return db_.with([](SQLite::Database& d) {
      SQLite::Statement q(d, std::string("SELECT ") + RUN_COLUMNS +
                                 " FROM schedule_runs WHERE state = 'pending' "
                                 "ORDER BY scheduled_time, id");
      std::vector<Run> out;
      while (q.executeStep()) out.push_back(read_run(q));
      return out;
    });
  }

  void save_run(const Run& run) override {
    db_.with([&](SQLite::Database& d) {
      SQLite::Statement q(d, "UPDATE schedule_runs SET state = ?, attempts = ?, last_error = ?, "
                             "retry_at = ? WHERE id = ?");
      q.bind(1, state_name(run.state));
      q.bind(2, run.attempts);
      q.bind(3, run.last_error);
      if (run.retry_at) q.bind(4, static_cast<int64_t>(to_epoch(*run.retry_at)));
      else q.bind(4);
      q.bind(5, static_cast<int64_t>(run.id));
      q.exec();
    });
  }

 private:
  db::Database& db_;
};

}  // namespace

std::unique_ptr<Storage> make_sqlite_storage(db::Database& db) {
  return std::make_unique<SqliteStorage>(db);
}

}  // namespace talmo::schedules
