// The schedule registry: reminders and recurring tasks of the owner.
#pragma once

#include "support/clock.hpp"
#include "support/db.hpp"
#include "support/json.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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
  // the stored job, in the get_jobs shape) on success; null on any other
  // refusal, with one warning line "Schedule not added: " + the reason.
  // A job is accepted when: `title` is text that is not blank; `mode` is
  // "direct", "llm" or "autonomous" (a direct job needs non-blank text in
  // `fixed_content`, which is otherwise text or null); `trigger_type` and
  // `trigger_args` (a map, or the JSON text of one) make a trigger as
  // trigger.hpp describes; `start_date` / `end_date` are null, "" or
  // "YYYY-MM-DD HH:MM:SS" in the registry's zone; `fetch_module` is null, "",
  // "identity" or "web_search" (a web search needs `fetch_args` as a map, or
  // the JSON text of one, with a non-blank `query`); and the trigger runs at
  // least once after now. Ids start at 1 and are never given twice.
  virtual json add_job(const NewJob& job) = 0;
  // Every job on the board in id order: maps with id, title, mode,
  // fixed_content, trigger_type, trigger_args (a map), fetch_module,
  // fetch_args, start_date, end_date, next_run_time ("YYYY-MM-DD HH:MM:SS"
  // local, or null when the job will not fire again). A date job leaves the
  // board once it has fired; a recurring job past its end stays with null.
  virtual json get_jobs() = 0;
  // Applies `updates` (a map of the nine job fields, or the JSON text of
  // one; whole values replace the stored ones, trigger_args included). The
  // merged job is validated as add_job would, and nothing changes when it is
  // invalid, names an unknown field, or is a date job whose run_date is not
  // in the future: false, with one warning line "Schedule <id> not updated: "
  // + the reason. A changed trigger gets its next run after now; otherwise
  // the next run stays. True when the job was changed.
  virtual bool update_job(std::int64_t id, const json& updates) = 0;
  // True when a job on the board was removed.
  virtual bool remove_job_by_id(std::int64_t id) = 0;
};

// What became of one firing of a job.
enum class RunState {
  pending,    // recorded as fired; its text not yet stored for delivery
  delivered,  // its text was stored for delivery (the outbox's from there)
  failed,     // delivery given up
  skipped,    // recorded without delivery (for example missed by too much)
};

// One firing of one job at one scheduled time. There is at most one run per
// (job, scheduled time), ever.
struct Run {
  std::int64_t id = 0;
  std::int64_t job_id = 0;
  TimePoint scheduled_time;  // the job's next_run_time that fired
  TimePoint fired_at;        // when it was recorded
  RunState state = RunState::pending;
  int attempts = 0;          // failed delivery attempts so far
  std::string last_error;    // of the latest failed attempt
  std::optional<TimePoint> retry_at;
  // The job as it stood when it fired, in the get_jobs shape (next_run_time
  // holds the scheduled time), so delivery does not depend on the job still
  // existing or being unchanged.
  json job;
};

// A job whose time has come.
struct DueJob {
  std::int64_t job_id = 0;
  TimePoint scheduled_time;
  json job;  // the get_jobs shape
};

// The registry as the scheduler sees it. Times are whole seconds.
//
// Firing protocol (exactly once per scheduled time, across crashes):
//   1. due_jobs(now) names each job whose next run is not after `now`.
//   2. record_fire(job, scheduled_time) stores the run as pending AND
//      advances the job in one transaction, before anything is sent.
//   3. Once the run's text is stored for delivery (the sender returned
//      true: Outbox::enqueue, which owns delivery from there; see
//      `app/outbox.hpp`), mark_delivered(run). A caller that retries by
//      itself records a failed attempt with record_failed_attempt(run, ...)
//      and the next retry time, or without one to give up.
//   4. pending_runs() lists runs recorded but whose text was never stored
//      (the process died between 2 and 3, or storing failed); hand them on
//      once.
// A crash before 2 leaves the job due (it fires on restart); a crash after 2
// leaves a pending run and never a second firing.
//
// Thread safety: as ScheduleRegistry; the change listener is called without
// any lock held, on the thread that made the change.
class JobStore : public ScheduleRegistry {
 public:
  // The earliest next_run_time of all jobs on the board; nothing when no job
  // will fire again.
  virtual std::optional<TimePoint> earliest_next_run() = 0;
  // Jobs whose next_run_time is at or before `now`, earliest first (then by id).
  virtual std::vector<DueJob> due_jobs(TimePoint now) = 0;
  // Records the firing of `job_id` for `scheduled_time`, which must be the
  // job's current next_run_time, as a run in `state` (pending, or skipped
  // when the scheduler decided not to deliver it), and advances the job: a
  // date job is finished and leaves the board; a recurring job moves to its
  // first run after both `scheduled_time` and now, so runs missed while the
  // process was down collapse into this one. Nothing (and no change) when
  // the job is gone or its next run is another time (it was updated).
  // Nothing either when this run was already recorded (the clock was set
  // back over it), but the job moves on past it.
  virtual std::optional<Run> record_fire(std::int64_t job_id, TimePoint scheduled_time,
                                         RunState state = RunState::pending) = 0;
  // The wall clock was set back: every recurring job whose next run lies
  // further ahead than its trigger now gives (it was computed from a time
  // that has not come yet) gets its next run recomputed from now; an
  // interval set in that future restarts from now. Answers how many changed.
  virtual int recompute_next_runs() = 0;
  // Runs still pending, oldest scheduled first.
  virtual std::vector<Run> pending_runs() = 0;
  virtual std::optional<Run> find_run(std::int64_t run_id) = 0;
  // Pending -> delivered. False for an unknown run or one not pending.
  virtual bool mark_delivered(std::int64_t run_id) = 0;
  // Counts one failed attempt of a pending run and keeps `error`. With
  // `retry_at` the run stays pending until then; without, it is failed for
  // good. False for an unknown run or one not pending.
  virtual bool record_failed_attempt(std::int64_t run_id, const std::string& error,
                                     std::optional<TimePoint> retry_at) = 0;
  // Called after every successful add_job, update_job and remove_job_by_id,
  // so a sleeping scheduler can wake early. Replaces any earlier listener.
  virtual void set_change_listener(std::function<void()> listener) = 0;
};

// `timezone` is the IANA zone of every date the registry reads or writes;
// an unknown zone throws std::invalid_argument. `db` must outlive the
// registry. Jobs whose next run was computed in another zone (the setting
// changed between starts) get it recomputed on opening.
std::unique_ptr<JobStore> make_sqlite_job_store(db::Database& db, std::shared_ptr<Clock> clock,
                                                std::string timezone);
// The same behaviour without persistence, for tests.
std::unique_ptr<JobStore> make_memory_job_store(std::shared_ptr<Clock> clock, std::string timezone);

// The two above, seen only as the engine's registry.
std::unique_ptr<ScheduleRegistry> make_sqlite_registry(db::Database& db,
                                                      std::shared_ptr<Clock> clock,
                                                      std::string timezone);
std::unique_ptr<ScheduleRegistry> make_memory_registry(std::shared_ptr<Clock> clock,
                                                      std::string timezone);

}  // namespace talmo::schedules
