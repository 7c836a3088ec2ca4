// The schedule registry: reminders and recurring tasks of the owner.
#pragma once

#include "support/clock.hpp"
#include "support/db.hpp"
#include "support/json.hpp"

#include <cstdint>
#include <memory>
#include <string>

namespace talmo::schedules {

// The exact text add_job answers when a one-time job's time has passed.
inline constexpr const char* PAST_TIME_ERROR = "PAST_TIME_ERROR";

// The nine fields of a new job as the model wrote them; a missing one is null.
struct NewJob {
  json title, mode, fixed_content, trigger_type, trigger_args, fetch_module, fetch_args,
      start_date, end_date;
};

// Thread safety: implementations are safe for concurrent use.
class ScheduleRegistry {
 public:
  virtual ~ScheduleRegistry() = default;
  // Validates and stores a job. Returns the JSON text "PAST_TIME_ERROR" when a
  // date trigger's time is not in the future; a map holding the new `id` (and
  // the stored job) on success; null on any other refusal (with a warning log
  // line saying why).
  virtual json add_job(const NewJob& job) = 0;
  // Every active job in id order: maps with id, title, mode, fixed_content,
  // trigger_type, trigger_args (a map), fetch_module, fetch_args, start_date,
  // end_date, next_run_time ("YYYY-MM-DD HH:MM:SS" local, or null).
  virtual json get_jobs() = 0;
  // Applies `updates` (a map of job fields); the job is validated as a whole
  // and nothing changes when it would be invalid. True when the job changed.
  virtual bool update_job(std::int64_t id, const json& updates) = 0;
  // True when a job was removed.
  virtual bool remove_job_by_id(std::int64_t id) = 0;
};

// `timezone` is the IANA zone of every date the registry reads or writes.
// `db` must outlive the registry.
std::unique_ptr<ScheduleRegistry> make_sqlite_registry(db::Database& db,
                                                      std::shared_ptr<Clock> clock,
                                                      std::string timezone);
std::unique_ptr<ScheduleRegistry> make_memory_registry(std::shared_ptr<Clock> clock,
                                                      std::string timezone);

}  // namespace talmo::schedules
