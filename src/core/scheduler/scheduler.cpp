#include "core/scheduler/scheduler.hpp"

#include "core/llm/lexgate/lexgate.hpp"
#include "core/prompts/templates/templates.hpp"
#include "support/log.hpp"
#include "support/unicode.hpp"

#include <algorithm>
#include <condition_variable>
#include <stdexcept>
#include <utility>

namespace talmo::scheduler {

const std::string& scheduled_task_prompt() {
  static const std::string prompt = "\n" + templates::PERSONA_BLOCK + "\n\n" + R"~(
### ⏰ Scheduled Task
{owner} set up this task earlier, and its time has come now. The next message holds the task's instruction, followed by any data fetched for it.
- Write the message that goes to {owner} on WhatsApp right now, carrying out the instruction.
- Respond in PLAIN TEXT only. Never use JSON, and never describe these rules or what you are doing.
- Use *asterisks* for bold and _underscores_ for italics.
)~";
  return prompt;
}

namespace {

using std::chrono::duration_cast;
using std::chrono::milliseconds;
using std::chrono::seconds;

// The thread's shortest sleep: keeps a job the store refuses to advance from
// spinning the loop, and is short enough not to delay a run noticeably.
constexpr milliseconds MIN_SLEEP{200};
// After a round that failed as a whole (the store is unreachable).
constexpr milliseconds FAILURE_SLEEP{5000};
// Delivered this much after its scheduled time, a message is labelled late.
constexpr seconds LATE_AFTER{60};
// The wall clock falling behind the monotonic one by this much between two
// rounds means it was set back (slewing never comes near it).
constexpr milliseconds CLOCK_STEP_BACK{1000};

// Text of a job field: a text as it is, null as "", anything else as its
// display text.
std::string text_of(const json& job, const char* key) {
  const auto it = job.find(key);
  if (it == job.end() || it->is_null()) return "";
  if (it->is_string()) return it->get<std::string>();
  return display_text(*it);
}

bool is_blank(const std::string& text) { return unicode::trim(text).empty(); }

std::string job_label(const json& job) {
  return "schedule " + text_of(job, "id") + " ('" + text_of(job, "title") + "')";
}

// "2h 15m", "5m", "1d 0h 5m": whole minutes, larger units only when non-zero.
std::string duration_text(seconds d) {
  const long long minutes = std::max<long long>(0, d.count() / 60);
  const long long days = minutes / 1440, hours = (minutes % 1440) / 60, mins = minutes % 60;
  std::string out;
  if (days > 0) out += std::to_string(days) + "d ";
  if (days > 0 || hours > 0) out += std::to_string(hours) + "h ";
  return out + std::to_string(mins) + "m";
}

// The instruction a model-composed run carries out: its fixed_content, or
// its title when it has none.
std::string instruction_of(const json& job) {
  const std::string content = text_of(job, "fixed_content");
  return is_blank(content) ? text_of(job, "title") : content;
}

std::string unavailable_note(const json& job) {
  return "⚠️ " + text_of(job, "title") + " — my language engine is unavailable, so ";
}

// The identity entries an identity fetch asks for: everything for "all" (or
// no arguments), else the listed keys that exist, in the order asked.
json select_identity(const json& identity, const json& args) {
  const auto wants_all = [](const json& a) {
    if (a.is_null() || (a.is_string() && a.get<std::string>() == "all")) return true;
    return a.is_array() && std::any_of(a.begin(), a.end(), [](const json& k) {
             return k.is_string() && k.get<std::string>() == "all";
           });
  };
  if (wants_all(args) || !identity.is_object()) return identity;
  json keys = args.is_array() ? args : json::array({args});
  json out = json::object();
  for (const json& k : keys) {
    const std::string key = k.is_string() ? k.get<std::string>() : display_text(k);
    if (const auto it = identity.find(key); it != identity.end()) out[key] = *it;
  }
  return out;
}

}  // namespace

std::string late_prefix(seconds lateness) {
  if (lateness < LATE_AFTER) return "";
  return "⏰ Late by " + duration_text(lateness) + ": ";
}

struct Scheduler::WakeState {
  std::mutex mu;
  std::condition_variable cv;
  bool woken = false;
  bool stop = false;

  void wake() {
    {
      std::lock_guard lock(mu);
      woken = true;
    }
    cv.notify_all();
  }
};

Scheduler::Scheduler(Bindings bindings)
    : b_(std::move(bindings)), wake_(std::make_shared<WakeState>()) {
  const auto require = [](bool present, const char* name) {
    if (!present) throw std::invalid_argument(std::string("scheduler binding missing: ") + name);
  };
  require(bool(b_.send_message), "send_message");
  require(bool(b_.get_response_with_system), "get_response_with_system");
  require(bool(b_.format_prompt), "format_prompt");
  require(b_.identity_manager != nullptr, "identity_manager");
  require(b_.memory_manager != nullptr, "memory_manager");
  require(bool(b_.web_search_manager), "web_search_manager");
  require(b_.jobs != nullptr, "jobs");
  require(b_.clock != nullptr, "clock");
  require(!b_.master.empty(), "master");
  if (b_.memory_number.empty()) b_.memory_number = unicode::digits_only(b_.master);
  if (b_.memory_number.empty()) b_.memory_number = b_.master;
  if (b_.max_sleep < MIN_SLEEP) b_.max_sleep = MIN_SLEEP;
}

Scheduler::~Scheduler() { stop(); }

std::optional<TimePoint> Scheduler::tick() {
  std::lock_guard round(round_mu_);
  const TimePoint now = b_.clock->now();
  notice_clock_set_back(now);

  for (const schedules::Run& run : b_.jobs->pending_runs()) {
    if (run.retry_at && *run.retry_at > now) continue;
    if (!run.retry_at && run.attempts == 0)
      log::info("⏰ Delivering " + job_label(run.job) + ", fired but its text never stored");
    try {
      deliver(run, now);
    } catch (const std::exception& e) {
      log::error("Scheduled delivery failed for " + job_label(run.job) + ": " + e.what());
    }
  }

  for (const schedules::DueJob& due : b_.jobs->due_jobs(now)) {
    try {
      fire(due, now);
    } catch (const std::exception& e) {
      log::error("Firing " + job_label(due.job) + " failed: " + e.what());
    }
  }

  std::optional<TimePoint> next = b_.jobs->earliest_next_run();
  for (const schedules::Run& run : b_.jobs->pending_runs()) {
    // A pending run is due now, unless a database written by an older
    // release gave it a retry time.
    const TimePoint at = run.retry_at.value_or(now);
    if (!next || at < *next) next = at;
  }
  return next;
}

// Recurring jobs that fired, or were set, while the wall clock was ahead had
// their next runs computed from a time that has not come yet; they would wait
// for it. A clock set forward needs nothing: what it skips is late, and late
// runs have their own rules.
void Scheduler::notice_clock_set_back(TimePoint now) {
  const auto mono = b_.clock->monotonic();
  if (last_wall_) {
    const auto passed = duration_cast<milliseconds>(mono - *last_mono_);
    const auto moved = duration_cast<milliseconds>(now - *last_wall_);
    const milliseconds back = passed - moved;
    if (back >= CLOCK_STEP_BACK) {
      const int changed = b_.jobs->recompute_next_runs();
      const seconds s = duration_cast<seconds>(back);
      log::warning("⏰ The wall clock went back by " +
                   (s < LATE_AFTER ? std::to_string(s.count()) + "s" : duration_text(s)) +
                   "; next runs recomputed from now for " + std::to_string(changed) + " recurring job(s)");
    }
  }
  last_wall_ = now;
  last_mono_ = mono;
}

void Scheduler::fire(const schedules::DueJob& due, TimePoint now) {
  const auto lateness = duration_cast<seconds>(now - due.scheduled_time);
  if (text_of(due.job, "trigger_type") == "date" && lateness >= b_.misfire_grace) {
    if (b_.jobs->record_fire(due.job_id, due.scheduled_time, schedules::RunState::skipped))
      log::warning("⏰ Skipped " + job_label(due.job) + ": missed by " + duration_text(lateness) +
                   ", the grace is " + duration_text(b_.misfire_grace));
    return;
  }
  const auto run = b_.jobs->record_fire(due.job_id, due.scheduled_time);
  if (!run) {
    // Updated or removed since due_jobs looked; the next round sees it as it is now.
    log::debug("⏰ " + job_label(due.job) + " changed before it fired");
    return;
  }
  log::info("⏰ Firing " + job_label(due.job) + " due at " + text_of(due.job, "next_run_time"));
  deliver(*run, now);
}

// Composes the run's text and hands it to the outbox, which owns its
// delivery from there. When the sender throws (or says it stored nothing)
// the run stays pending and the next round composes it afresh.
void Scheduler::deliver(const schedules::Run& run, TimePoint now) {
  std::string body;
  try {
    body = compose(run.job);
  } catch (const std::exception& e) {
    log::error("Composing " + job_label(run.job) + " failed: " + e.what());
    body = "⚠️ " + text_of(run.job, "title") +
           " — this scheduled task is due, but I couldn't prepare its message (" + e.what() + ").";
  }
  const std::string text = late_prefix(duration_cast<seconds>(now - run.scheduled_time)) + body;

  const bool stored = b_.send_run ? b_.send_run(b_.master, body, run.id, run.scheduled_time)
                                  : b_.send_message(b_.master, text);
  if (!stored) throw std::runtime_error("the message was not stored for delivery");

  if (!b_.jobs->mark_delivered(run.id))
    log::warning("Run " + std::to_string(run.id) + " of " + job_label(run.job) +
                 " was no longer pending when it was handed on");
  try {
    b_.memory_manager->add_message(b_.memory_number, "assistant", text);
  } catch (const std::exception& e) {
    log::error("Delivered " + job_label(run.job) + " but could not store it in memory: " + e.what());
  }
  log::success("⏰ Delivered " + job_label(run.job));
}

std::string Scheduler::compose(const json& job) {
  const std::string mode = text_of(job, "mode");
  if (mode == "llm") return compose_llm(job);
  if (mode == "autonomous") {
    const std::string source = text_of(job, "fetch_module");
    if (source == "web_search") return compose_web_search(job);
    if (source == "identity") return compose_identity(job);
    return compose_llm(job);  // nothing to fetch: the instruction alone
  }
  // "direct": the stored text exactly as it stands.
  const std::string content = text_of(job, "fixed_content");
  return content.empty() ? text_of(job, "title") : content;
}

std::optional<std::string> Scheduler::ask_model(const std::string& system, const std::string& user,
                                                std::int64_t job_id) {
  json messages = json::array();
  messages.push_back(json{{"role", "system"}, {"content", system}});
  messages.push_back(json{{"role", "user"}, {"content", user}});
  std::optional<std::string> reply;
  const lexgate::Stage stage("reminder");
  try {
    reply = b_.get_response_with_system(messages);
  } catch (const std::exception& e) {
    log::warning("Schedule " + std::to_string(job_id) + ": model call failed: " + e.what());
    return std::nullopt;
  }
  if (!reply || is_blank(*reply) || *reply == lexgate::NO_KEY_REPLY ||
      *reply == lexgate::ALL_FAILED_REPLY) {
    log::warning("Schedule " + std::to_string(job_id) + ": the language model gave no usable reply");
    return std::nullopt;
  }
  return reply;
}

std::string Scheduler::compose_llm(const json& job) {
  const std::string instruction = instruction_of(job);
  const auto reply =
      ask_model(b_.format_prompt(scheduled_task_prompt()), instruction, job.value("id", 0));
  if (reply) return *reply;
  return unavailable_note(job) + "here is the task as you set it: " + instruction;
}

std::string Scheduler::compose_identity(const json& job) {
  json data;
  try {
    data = select_identity(b_.identity_manager->get_identity(), job.value("fetch_args", json()));
  } catch (const std::exception& e) {
    log::warning("Schedule " + text_of(job, "id") + ": identity fetch failed: " + e.what());
    return "⚠️ " + text_of(job, "title") + " — I couldn't fetch your identity profile for this task (" +
           e.what() + ").";
  }
  const std::string user = instruction_of(job) + "\n\nFETCHED DATA (identity):\n" + json_text(data);
  const auto reply = ask_model(b_.format_prompt(scheduled_task_prompt()), user, job.value("id", 0));
  if (reply) return *reply;
  return unavailable_note(job) + "here is the profile as it stands: " + display_text(data);
}

std::string Scheduler::compose_web_search(const json& job) {
  const json params = job.value("fetch_args", json());
  const std::string query = params.is_object() ? text_of(params, "query") : "";
  json results;
  std::string error;
  try {
    const std::shared_ptr<web_search::Provider> provider = b_.web_search_manager();
    if (!provider) throw std::runtime_error("no web-search provider is available");
    std::tie(results, error) = provider->search(params);
    if (error.empty() && results.is_null()) error = "no results came back";
  } catch (const std::exception& e) {
    error = e.what();
  }
  if (!error.empty()) {
    log::warning("Schedule " + text_of(job, "id") + ": web search failed: " + error);
    return "⚠️ " + text_of(job, "title") + " — I couldn't fetch the web search for \"" + query +
           "\" (" + error + ").";
  }

  const json answer = results.is_object() ? results.value("answer", json()) : json();
  const json found = results.is_object() ? results.value("results", json()) : json();
  json payload = json::object();
  const std::string content = text_of(job, "fixed_content");
  payload["original_query"] = is_blank(content) ? query : content;
  payload["tavily_answer"] = answer.is_null() ? json("") : answer;
  payload["raw_results"] = found.is_null() ? json::array() : found;

  const auto reply = ask_model(b_.format_prompt(templates::WEB_SEARCH_SUMMARIZER_PROMPT),
                               json_text(payload), job.value("id", 0));
  if (reply) return *reply;

  // Without the model, what the search itself said: its answer and headlines.
  std::string text = unavailable_note(job) + "here is what the search for \"" + query + "\" found:";
  const std::string answer_text = answer.is_string() ? answer.get<std::string>() : "";
  bool any = false;
  if (!is_blank(answer_text)) {
    text += "\n" + answer_text;
    any = true;
  }
  if (found.is_array()) {
    int shown = 0;
    for (const json& item : found) {
      if (shown == 5) break;
      if (!item.is_object()) continue;
      const std::string title = text_of(item, "title");
      if (is_blank(title)) continue;
      text += "\n• " + title;
      ++shown;
      any = true;
    }
  }
  if (!any) text += " nothing.";
  return text;
}

void Scheduler::start() {
  if (thread_.joinable()) return;
  {
    std::lock_guard lock(wake_->mu);
    wake_->stop = false;
  }
  b_.jobs->set_change_listener([state = wake_] { state->wake(); });
  thread_ = std::thread([this] { thread_main(); });
}

void Scheduler::stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(wake_->mu);
    wake_->stop = true;
  }
  wake_->cv.notify_all();
  thread_.join();
  b_.jobs->set_change_listener(nullptr);
  log::info("⏰ Scheduler stopped");
}

void Scheduler::wake() { wake_->wake(); }

void Scheduler::thread_main() {
  log::info("⏰ Scheduler started");
  WakeState& state = *wake_;
  std::unique_lock lock(state.mu);
  while (!state.stop) {
    // Cleared before the round, so a change made during it is not lost.
    state.woken = false;
    lock.unlock();
    milliseconds wait = b_.max_sleep;
    try {
      std::optional<TimePoint> next;
      bool ran = true;
      if (b_.run_exclusive)
        ran = b_.run_exclusive([&] { next = tick(); });
      else
        next = tick();
      if (!ran) {
        next.reset();  // the line has stopped: nothing to do until stop()
      } else if (next) {
        const auto until = std::chrono::ceil<milliseconds>(*next - b_.clock->now());
        wait = std::clamp(until, MIN_SLEEP, b_.max_sleep);
      }
    } catch (const std::exception& e) {
      log::error(std::string("Scheduler round failed: ") + e.what());
      wait = std::min(FAILURE_SLEEP, b_.max_sleep);
    } catch (...) {
      log::error("Scheduler round failed: unknown error");
      wait = std::min(FAILURE_SLEEP, b_.max_sleep);
    }
    lock.lock();
    state.cv.wait_for(lock, wait, [&] { return state.stop || state.woken; });
  }
}

}  // namespace talmo::scheduler
