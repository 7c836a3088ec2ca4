// Where the registry keeps its jobs and runs. The registry's logic lives in
// registry.cpp once; the SQLite store and the in-memory fake differ only in
// this storage layer.
#pragma once

#include "core/schedules/schedules.hpp"
#include "support/db.hpp"
#include "support/json.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace talmo::schedules {

// One job as stored. Times are UTC seconds since the epoch.
struct JobRecord {
  std::int64_t id = 0;
  // The nine fields as validated (trigger_args always a map, empty dates null).
  json title, mode, fixed_content, trigger_type, trigger_args, fetch_module, fetch_args,
      start_date, end_date;
  std::string zone;                  // the zone next_run was computed in
  std::int64_t trigger_set_at = 0;   // when the trigger was last set (origin of an interval)
  std::optional<std::int64_t> next_run;   // none: will not fire again
  std::optional<std::int64_t> last_fire;  // scheduled time of the latest recorded run
  bool finished = false;             // a date job that fired; off the board for good
  std::int64_t created_at = 0;
  std::int64_t updated_at = 0;
};

// Thread safety: none; the registry serialises every call.
// Failures of the underlying store are thrown and leave the store unchanged.
class Storage {
 public:
  virtual ~Storage() = default;
  // Every unfinished job, in id order.
  virtual std::vector<JobRecord> load_jobs() = 0;
  // Stores a new job (its `id` is ignored) and returns the new id. Ids only
  // grow: a removed job's id is never given again.
  virtual std::int64_t insert_job(const JobRecord& job) = 0;
  // Overwrites the stored job with the same id.
  virtual void save_job(const JobRecord& job) = 0;
  virtual void delete_job(std::int64_t id) = 0;
  // In one transaction: stores `run` (its `id` is ignored) and saves `job`.
  // Returns the run's new id, or nothing when a run of the same job and
  // scheduled time already exists, in which case nothing changes.
  virtual std::optional<std::int64_t> insert_run(const Run& run, const JobRecord& job) = 0;
  virtual std::optional<Run> find_run(std::int64_t id) = 0;
  // Pending runs, by scheduled time then id.
  virtual std::vector<Run> pending_runs() = 0;
  // Overwrites the stored run with the same id.
  virtual void save_run(const Run& run) = 0;
};

std::unique_ptr<Storage> make_sqlite_storage(db::Database& db);
std::unique_ptr<Storage> make_memory_storage();

}  // namespace talmo::schedules
