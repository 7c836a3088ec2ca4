// The registry's in-memory storage layer, for tests and tools that keep nothing.
#include "core/schedules/storage.hpp"

#include <algorithm>
#include <map>
#include <set>
#include <utility>

namespace talmo::schedules {
namespace {

class MemoryStorage final : public Storage {
 public:
  std::vector<JobRecord> load_jobs() override {
    std::vector<JobRecord> out;
    for (const auto& [id, job] : jobs_)
      if (!job.finished) out.push_back(job);
    return out;
  }

  std::int64_t insert_job(const JobRecord& job) override {
    JobRecord stored = job;
    stored.id = ++last_job_id_;
    jobs_[stored.id] = stored;
    return stored.id;
  }

  void save_job(const JobRecord& job) override {
    if (auto it = jobs_.find(job.id); it != jobs_.end()) it->second = job;
  }

  void delete_job(std::int64_t id) override { jobs_.erase(id); }

  std::optional<std::int64_t> insert_run(const Run& run, const JobRecord& job) override {
    const auto key = std::make_pair(run.job_id, run.scheduled_time);
    if (run_keys_.count(key)) return std::nullopt;
    Run stored = run;
    stored.id = ++last_run_id_;
    runs_[stored.id] = stored;
    run_keys_.insert(key);
    save_job(job);
    return stored.id;
  }

  std::optional<Run> find_run(std::int64_t id) override {
    if (auto it = runs_.find(id); it != runs_.end()) return it->second;
    return std::nullopt;
  }

  std::vector<Run> pending_runs() override {
    std::vector<Run> out;
    for (const auto& [id, run] : runs_)
      if (run.state == RunState::pending) out.push_back(run);
    std::stable_sort(out.begin(), out.end(),
                     [](const Run& a, const Run& b) { return a.scheduled_time < b.scheduled_time; });
    return out;
  }

  void save_run(const Run& run) override {
    if (auto it = runs_.find(run.id); it != runs_.end()) it->second = run;
  }

 private:
  std::map<std::int64_t, JobRecord> jobs_;
  std::map<std::int64_t, Run> runs_;
  std::set<std::pair<std::int64_t, TimePoint>> run_keys_;
  std::int64_t last_job_id_ = 0;
  std::int64_t last_run_id_ = 0;
};

}  // namespace

std::unique_ptr<Storage> make_memory_storage() { return std::make_unique<MemoryStorage>(); }

}  // namespace talmo::schedules
