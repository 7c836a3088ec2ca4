// The schedule registry's logic, shared by the SQLite store and the
// in-memory fake: validation, next-run computation and the firing protocol.
#include "core/schedules/schedules.hpp"
#include "core/schedules/storage.hpp"
#include "core/schedules/trigger.hpp"
#include "support/log.hpp"
#include "support/unicode.hpp"

#include <algorithm>
#include <map>
#include <mutex>
#include <stdexcept>
#include <utility>

namespace talmo::schedules {
namespace {

using std::chrono::seconds;

const char* const FIELD_NAMES[] = {"title",        "mode",         "fixed_content",
                                   "trigger_type", "trigger_args", "fetch_module",
                                   "fetch_args",   "start_date",   "end_date"};

// The nine fields of a job as one value, so add and update share one check.
struct Fields {
  json title, mode, fixed_content, trigger_type, trigger_args, fetch_module, fetch_args,
      start_date, end_date;

  json* find(std::string_view name) {
    json* all[] = {&title,        &mode,       &fixed_content, &trigger_type, &trigger_args,
                   &fetch_module, &fetch_args, &start_date,    &end_date};
    for (size_t i = 0; i < std::size(FIELD_NAMES); ++i)
      if (name == FIELD_NAMES[i]) return all[i];
    return nullptr;
  }
};

Fields fields_of(const NewJob& j) {
  return {j.title,        j.mode,         j.fixed_content, j.trigger_type, j.trigger_args,
          j.fetch_module, j.fetch_args,   j.start_date,    j.end_date};
}

Fields fields_of(const JobRecord& r) {
  return {r.title,        r.mode,       r.fixed_content, r.trigger_type, r.trigger_args,
          r.fetch_module, r.fetch_args, r.start_date,    r.end_date};
}

void assign(JobRecord& r, const Fields& f) {
  r.title = f.title;
  r.mode = f.mode;
  r.fixed_content = f.fixed_content;
  r.trigger_type = f.trigger_type;
  r.trigger_args = f.trigger_args;
  r.fetch_module = f.fetch_module;
  r.fetch_args = f.fetch_args;
  r.start_date = f.start_date;
  r.end_date = f.end_date;
}

bool is_blank(const json& v) {
  return v.is_string() && unicode::trim(v.get_ref<const std::string&>()).empty();
}

// A map, or the JSON text of one, as a map; nothing otherwise.
std::optional<json> as_map(const json& v) {
  if (v.is_object()) return v;
  if (v.is_string()) {
    const json parsed = decode_json(v.get_ref<const std::string&>(), false);
    if (parsed.is_object()) return parsed;
  }
  return std::nullopt;
}

bool one_of(const json& v, std::initializer_list<const char*> allowed) {
  if (!v.is_string()) return false;
  for (const char* a : allowed)
    if (v.get_ref<const std::string&>() == a) return true;
  return false;
}

// Checks a whole job and brings it to its stored form (trigger_args and a
// web search's fetch_args as maps, empty dates as null). The reason on
// refusal is one phrase for a warning line.
std::optional<std::string> normalise(Fields& f) {
  if (!f.title.is_string() || is_blank(f.title))
    return "title must be non-empty text, got " + json_text(f.title);
  if (!one_of(f.mode, {"direct", "llm", "autonomous"}))
    return "mode must be 'direct', 'llm' or 'autonomous', got " + json_text(f.mode);
  if (!f.fixed_content.is_null() && !f.fixed_content.is_string())
    return "fixed_content must be text, got " + json_text(f.fixed_content);
  // A direct job sends fixed_content as it stands; without it there is nothing to send.
  if (f.mode == "direct" && (f.fixed_content.is_null() || is_blank(f.fixed_content)))
    return "a direct job needs the message text in fixed_content";
  if (!one_of(f.trigger_type, {"date", "interval", "cron"}))
    return "trigger_type must be 'date', 'interval' or 'cron', got " + json_text(f.trigger_type);
  const auto args = as_map(f.trigger_args);
  if (!args) return "trigger_args must be a map or the JSON text of one, got " + json_text(f.trigger_args);
  f.trigger_args = *args;
  if (!f.fetch_module.is_null() && !(f.fetch_module.is_string() && f.fetch_module.empty()) &&
      !one_of(f.fetch_module, {"identity", "web_search"}))
    return "fetch_module must be 'identity' or 'web_search', got " + json_text(f.fetch_module);
  if (f.fetch_module == "web_search") {
    const auto search = as_map(f.fetch_args);
    if (!search) return "a web_search fetch needs fetch_args as a map of search parameters, got " +
                        json_text(f.fetch_args);
    const auto query = search->find("query");
    if (query == search->end() || !query->is_string() || is_blank(*query))
      return "a web_search fetch needs a non-empty query in fetch_args";
    f.fetch_args = *search;
  }
  for (json* d : {&f.start_date, &f.end_date})
    if (d->is_string() && d->empty()) *d = nullptr;
  return std::nullopt;
}

std::int64_t epoch(Instant t) { return t.time_since_epoch().count(); }
Instant instant(std::int64_t s) { return Instant{seconds{s}}; }
Instant instant(TimePoint t) { return std::chrono::floor<seconds>(t); }

const date::time_zone* locate(const std::string& name) {
  try {
    return date::locate_zone(name);
  } catch (const std::exception&) {
    throw std::invalid_argument("unknown time zone '" + name + "'");
  }
}

class Registry final : public JobStore {
 public:
  Registry(std::unique_ptr<Storage> storage, std::shared_ptr<Clock> clock, std::string zone)
      : storage_(std::move(storage)),
        clock_(std::move(clock)),
        zone_name_(std::move(zone)),
        zone_(locate(zone_name_)) {
    for (JobRecord& job : storage_->load_jobs()) {
      if (job.zone != zone_name_) rezone(job);
      jobs_.emplace(job.id, std::move(job));
    }
  }

  json add_job(const NewJob& job) override {
    const Instant now = instant(clock_->now());
    json stored;
    {
      std::lock_guard lock(mu_);
      Fields f = fields_of(job);
      if (const auto why = normalise(f)) return refuse_add(*why);
      const TriggerResult parsed = parse(f, now);
      if (!parsed.trigger) return refuse_add(parsed.error);
      if (parsed.trigger->kind == TriggerKind::date && parsed.trigger->run_time <= now) {
        log::warning("Schedule not added: run_date " + f.trigger_args["run_date"].get<std::string>() +
                     " is not in the future");
        return PAST_TIME_ERROR;
      }
      const auto next = next_fire_after(*parsed.trigger, now);
      if (!next) return refuse_add("the trigger has no run after now");
      JobRecord r;
      assign(r, f);
      r.zone = zone_name_;
      r.trigger_set_at = epoch(now);
      r.next_run = epoch(*next);
      r.created_at = r.updated_at = epoch(now);
      r.id = storage_->insert_job(r);
      stored = job_map(r);
      jobs_.emplace(r.id, std::move(r));
    }
    notify();
    return stored;
  }

  json get_jobs() override {
    std::lock_guard lock(mu_);
    json out = json::array();
    for (const auto& [id, job] : jobs_) out.push_back(job_map(job));
    return out;
  }

  bool update_job(std::int64_t id, const json& updates) override {
    const Instant now = instant(clock_->now());
    {
      std::lock_guard lock(mu_);
      const auto it = jobs_.find(id);
      const std::string label = "Schedule " + std::to_string(id) + " not updated: ";
      if (it == jobs_.end()) {
        log::warning(label + "no such job");
        return false;
      }
      const auto changes = as_map(updates);
      if (!changes) {
        log::warning(label + "updates must be a map of job fields, got " + json_text(updates));
        return false;
      }
      Fields f = fields_of(it->second);
      for (const auto& [key, value] : changes->items()) {
        // The job's own id repeated inside the updates changes nothing.
        if (key == "id" && value.is_number_integer() && value.get<std::int64_t>() == id) continue;
        json* field = f.find(key);
        if (!field) {
          log::warning(label + "'" + key + "' is not a field that can be changed");
          return false;
        }
        *field = value;
      }
      if (const auto why = normalise(f)) {
        log::warning(label + *why);
        return false;
      }
      JobRecord r = it->second;
      const Fields before = fields_of(r);
      const bool origin_changed = f.trigger_type != before.trigger_type ||
                                  f.trigger_args != before.trigger_args ||
                                  f.start_date != before.start_date;
      const bool trigger_changed = origin_changed || f.end_date != before.end_date;
      // An unchanged trigger keeps its next run (a job that is due stays due).
      // A changed one gets its next run after now; an interval keeps its grid
      // unless its period or start moved.
      const Instant set_at = origin_changed ? now : instant(r.trigger_set_at);
      const TriggerResult parsed = parse(f, set_at);
      if (!parsed.trigger) {
        log::warning(label + parsed.error);
        return false;
      }
      if (trigger_changed) {
        if (parsed.trigger->kind == TriggerKind::date && parsed.trigger->run_time <= now) {
          log::warning(label + "run_date " + f.trigger_args["run_date"].get<std::string>() +
                       " is not in the future");
          return false;
        }
        const auto next = next_fire_after(*parsed.trigger, now);
        if (!next) {
          log::warning(label + "the trigger has no run after now");
          return false;
        }
        r.trigger_set_at = epoch(set_at);
        r.next_run = epoch(*next);
        r.zone = zone_name_;
      }
      assign(r, f);
      r.updated_at = epoch(now);
      storage_->save_job(r);
      it->second = std::move(r);
    }
    notify();
    return true;
  }

  bool remove_job_by_id(std::int64_t id) override {
    {
      std::lock_guard lock(mu_);
      if (!jobs_.count(id)) return false;
      storage_->delete_job(id);
      jobs_.erase(id);
    }
    notify();
    return true;
  }

  std::optional<TimePoint> earliest_next_run() override {
    std::lock_guard lock(mu_);
    std::optional<std::int64_t> best;
    for (const auto& [id, job] : jobs_)
      if (job.next_run && (!best || *job.next_run < *best)) best = job.next_run;
    if (!best) return std::nullopt;
    return TimePoint{instant(*best)};
  }

  std::vector<DueJob> due_jobs(TimePoint now) override {
    const std::int64_t limit = epoch(instant(now));
    std::lock_guard lock(mu_);
    std::vector<DueJob> out;
    for (const auto& [id, job] : jobs_)
      if (job.next_run && *job.next_run <= limit)
        out.push_back(DueJob{id, TimePoint{instant(*job.next_run)}, job_map(job)});
    std::stable_sort(out.begin(), out.end(), [](const DueJob& a, const DueJob& b) {
      return a.scheduled_time < b.scheduled_time;
    });
    return out;
  }

  std::optional<Run> record_fire(std::int64_t job_id, TimePoint scheduled_time, RunState state) override {
    const Instant now = instant(clock_->now());
    const Instant when = instant(scheduled_time);
    std::lock_guard lock(mu_);
    const auto it = jobs_.find(job_id);
    if (it == jobs_.end() || !it->second.next_run || *it->second.next_run != epoch(when))
      return std::nullopt;
    JobRecord r = it->second;
    Run run;
    run.job_id = job_id;
    run.scheduled_time = TimePoint{when};
    run.fired_at = TimePoint{now};
    run.state = state;
    run.job = job_map(r);
    r.last_fire = epoch(when);
    r.updated_at = epoch(now);
    if (r.trigger_type == "date") {
      r.finished = true;
      r.next_run.reset();
    } else {
      const TriggerResult parsed = parse(fields_of(r), instant(r.trigger_set_at));
      const auto next = parsed.trigger ? next_fire_after(*parsed.trigger, std::max(when, now))
                                       : std::nullopt;
      r.next_run = next ? std::optional<std::int64_t>(epoch(*next)) : std::nullopt;
    }
    const auto run_id = storage_->insert_run(run, r);
    if (!run_id) {
      // Recorded once already: never again, and the job must not stay due on it.
      log::warning("Schedule " + std::to_string(job_id) + ": the run at " +
                   format_instant(when, zone_) + " was already recorded; moving on");
      storage_->save_job(r);
      if (r.finished) jobs_.erase(it);
      else it->second = std::move(r);
      return std::nullopt;
    }
    run.id = *run_id;
    if (r.finished) jobs_.erase(it);
    else it->second = std::move(r);
    return run;
  }

  int recompute_next_runs() override {
    const Instant now = instant(clock_->now());
    std::lock_guard lock(mu_);
    int changed = 0;
    for (auto& [id, job] : jobs_) {
      if (job.trigger_type == "date") continue;
      JobRecord r = job;
      if (instant(r.trigger_set_at) > now) r.trigger_set_at = epoch(now);
      const TriggerResult parsed = parse(fields_of(r), instant(r.trigger_set_at));
      const auto next = parsed.trigger ? next_fire_after(*parsed.trigger, now) : std::nullopt;
      if (!next || (r.next_run && *r.next_run <= epoch(*next))) continue;
      r.next_run = epoch(*next);
      storage_->save_job(r);
      job = std::move(r);
      ++changed;
    }
    return changed;
  }

  std::vector<Run> pending_runs() override {
    std::lock_guard lock(mu_);
    return storage_->pending_runs();
  }

  std::optional<Run> find_run(std::int64_t run_id) override {
    std::lock_guard lock(mu_);
    return storage_->find_run(run_id);
  }

  bool mark_delivered(std::int64_t run_id) override {
    std::lock_guard lock(mu_);
    auto run = storage_->find_run(run_id);
    if (!run || run->state != RunState::pending) return false;
    run->state = RunState::delivered;
    run->retry_at.reset();
    storage_->save_run(*run);
    return true;
  }

  bool record_failed_attempt(std::int64_t run_id, const std::string& error,
                             std::optional<TimePoint> retry_at) override {
    std::lock_guard lock(mu_);
    auto run = storage_->find_run(run_id);
    if (!run || run->state != RunState::pending) return false;
    run->attempts += 1;
    run->last_error = error;
    run->retry_at = retry_at;
    if (!retry_at) run->state = RunState::failed;
    storage_->save_run(*run);
    return true;
  }

  void set_change_listener(std::function<void()> listener) override {
    std::lock_guard lock(mu_);
    listener_ = std::move(listener);
  }

 private:
  TriggerResult parse(const Fields& f, Instant set_at) const {
    return parse_trigger(f.trigger_type.get<std::string>(), f.trigger_args, f.start_date, f.end_date,
                         zone_, set_at);
  }

  static json refuse_add(const std::string& why) {
    log::warning("Schedule not added: " + why);
    return nullptr;
  }

  json job_map(const JobRecord& r) const {
    json m = json::object();
    m["id"] = r.id;
    m["title"] = r.title;
    m["mode"] = r.mode;
    m["fixed_content"] = r.fixed_content;
    m["trigger_type"] = r.trigger_type;
    m["trigger_args"] = r.trigger_args;
    m["fetch_module"] = r.fetch_module;
    m["fetch_args"] = r.fetch_args;
    m["start_date"] = r.start_date;
    m["end_date"] = r.end_date;
    m["next_run_time"] = r.next_run ? json(format_instant(instant(*r.next_run), zone_)) : json(nullptr);
    return m;
  }

  // The zone setting changed since this job's next run was computed: the
  // stored local dates now mean other instants. Recompute from the latest
  // recorded run (or the trigger's origin), so a run missed meanwhile is
  // still due.
  void rezone(JobRecord& job) {
    const TriggerResult parsed = parse(fields_of(job), instant(job.trigger_set_at));
    if (!parsed.trigger) {
      log::warning("Schedule " + std::to_string(job.id) + " keeps its next run after the time zone " +
                   "change: " + parsed.error);
      return;
    }
    std::optional<Instant> next;
    if (parsed.trigger->kind == TriggerKind::date) {
      next = parsed.trigger->run_time;
    } else {
      const Instant from = job.last_fire ? instant(*job.last_fire) : instant(job.trigger_set_at);
      next = next_fire_after(*parsed.trigger, from);
    }
    job.next_run = next ? std::optional<std::int64_t>(epoch(*next)) : std::nullopt;
    job.zone = zone_name_;
    storage_->save_job(job);
    log::info("Schedule " + std::to_string(job.id) + " moved to time zone " + zone_name_);
  }

  void notify() {
    std::function<void()> listener;
    {
      std::lock_guard lock(mu_);
      listener = listener_;
    }
    if (listener) listener();
  }

  std::unique_ptr<Storage> storage_;
  std::shared_ptr<Clock> clock_;
  std::string zone_name_;
  const date::time_zone* zone_;
  std::mutex mu_;
  std::map<std::int64_t, JobRecord> jobs_;  // every job on the board, by id
  std::function<void()> listener_;
};

}  // namespace

std::unique_ptr<JobStore> make_sqlite_job_store(db::Database& db, std::shared_ptr<Clock> clock,
                                                std::string timezone) {
  locate(timezone);
  return std::make_unique<Registry>(make_sqlite_storage(db), std::move(clock), std::move(timezone));
}

std::unique_ptr<JobStore> make_memory_job_store(std::shared_ptr<Clock> clock, std::string timezone) {
  return std::make_unique<Registry>(make_memory_storage(), std::move(clock), std::move(timezone));
}

std::unique_ptr<ScheduleRegistry> make_sqlite_registry(db::Database& db, std::shared_ptr<Clock> clock,
                                                      std::string timezone) {
  return make_sqlite_job_store(db, std::move(clock), std::move(timezone));
}

std::unique_ptr<ScheduleRegistry> make_memory_registry(std::shared_ptr<Clock> clock,
                                                      std::string timezone) {
  return make_memory_job_store(std::move(clock), std::move(timezone));
}

}  // namespace talmo::schedules
