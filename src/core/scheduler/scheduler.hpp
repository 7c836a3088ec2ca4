// The scheduler: fires the registry's reminders and recurring tasks at their
// times and delivers their messages to the owner.
//
// One round (`Scheduler::tick`) is a plain synchronous step driven by the
// bound clock, so tests move a FakeClock and call it instead of sleeping.
// `start()` runs rounds on a thread of its own that sleeps until the next
// round is needed, or until the registry reports a change.
//
// Guarantees, with the registry's firing protocol (JobStore):
// - Fires each run at most once: the run is recorded, and the job advanced,
//   before anything is composed or handed on.
// - Delivery is the outbox's (see `outbox.hpp`): a run is marked delivered
//   once its text is stored there, and the outbox retries, removes
//   duplicates and labels lateness. A run whose text could not be stored
//   (the sender threw, or returned false) stays pending and the next round
//   takes it again; so does a run recorded by a process that died before
//   storing its text.
#pragma once

#include "core/identity/identity.hpp"
#include "core/memory/memory.hpp"
#include "core/schedules/schedules.hpp"
#include "core/web_search/web_search.hpp"
#include "support/clock.hpp"
#include "support/json.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace talmo::scheduler {

// What a run sends to the owner:
// - "direct": fixed_content exactly as stored; no model call.
// - "llm": the model's reply to the persona prompt below (system) and
//   fixed_content (user).
// - "autonomous": first the fetch, then one model call. fetch_module
//   "identity": the identity map (all of it for fetch_args "all", else the
//   listed keys) appended to fixed_content as "FETCHED DATA (identity)".
//   "web_search": the provider runs fetch_args; the summarizer prompt gets
//   the payload {"original_query": fixed_content (the query when blank),
//   "tavily_answer", "raw_results"} as JSON text, and its reply is sent as
//   it is. No fetch_module: as "llm". A failed fetch sends one line naming
//   what could not be fetched and why.
// - When the model gives no usable text (null, blank, or the gateway's fixed
//   NO_KEY_REPLY / ALL_FAILED_REPLY), the owner gets a line saying the
//   language engine is unavailable, followed by the instruction ("llm"), the
//   fetched profile, or the search's own answer and headlines: never the
//   gateway's JSON.
// Each delivered text (late prefix included) is stored under "assistant"
// in the owner's conversation memory.

// The system prompt template of "llm" and "autonomous" runs (filled by
// format_prompt): the persona block, then what a scheduled run asks of the
// model. A function, because it is composed from another library's constant
// and must not be built before that constant exists.
const std::string& scheduled_task_prompt();

// The scheduler's collaborators. Every port and store must be set (the
// constructor checks); the stores must outlive the scheduler.
struct Bindings {
  // Stores a text for the owner (Outbox::enqueue in production): returns
  // true once the text is stored, and throws when it cannot be. Delivery to
  // the owner is the outbox's (see `outbox.hpp`).
  std::function<bool(const std::string& number, const std::string& text)> send_message;
  // When set, used instead of send_message with the run's id, so a run
  // handed on again after a crash is stored once (the outbox keys it by the
  // run), and with its scheduled time: `text` comes without the late
  // prefix, which the outbox adds by the time the text really reaches the
  // owner (it may hold it for hours while the bridge is down). Returns and
  // throws as send_message does.
  std::function<bool(const std::string& number, const std::string& text, std::int64_t run_id, TimePoint due)>
      send_run;
  // When set, every round runs through it (the owner's single line of work,
  // so a reminder never lands in the middle of a conversation); it answers
  // false when it did not run the round (the line has stopped).
  std::function<bool(const std::function<void()>& round)> run_exclusive;
  // The LLM gateway (lexgate::get_response_with_system in production).
  std::function<std::optional<std::string>(const json& messages)> get_response_with_system;
  // The prompt filler (utils::format_prompt in production).
  std::function<std::string(std::string_view templ)> format_prompt;
  identity::IdentityStore* identity_manager = nullptr;
  memory::ConversationMemory* memory_manager = nullptr;
  // Called when an autonomous run searches the web; a null provider or a
  // throwing factory fails that fetch only.
  std::function<std::shared_ptr<web_search::Provider>()> web_search_manager;
  schedules::JobStore* jobs = nullptr;
  std::shared_ptr<Clock> clock;
  // MASTER_NUMBER as configured: where every scheduled message goes.
  std::string master;
  // The key of the owner's conversation memory, where delivered texts are
  // stored under "assistant". Empty: the digits of `master`, which is how
  // the bridge names the owner when it posts a message.
  std::string memory_number;
  // MISFIRE_GRACE: a one-time job missed by less than this is sent late with
  // a label; one missed by this much or more is skipped.
  std::chrono::seconds misfire_grace = std::chrono::hours(6);
  // The thread never sleeps longer than this, so a jump of the wall clock is
  // noticed within it.
  std::chrono::milliseconds max_sleep = std::chrono::seconds(30);
};

// "⏰ Late by 2h 15m: " for a message delivered that late; "" below one
// minute. Whole minutes, rounded down; hours only from one hour ("5m",
// "1h 0m"); days only from one day ("1d 0h 5m").
std::string late_prefix(std::chrono::seconds lateness);

// Thread safety: tick, start, stop and wake may be called from any thread;
// rounds never overlap.
class Scheduler {
 public:
  // Throws std::invalid_argument naming a binding that is missing.
  explicit Scheduler(Bindings bindings);
  ~Scheduler();  // stops as stop() does
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  // One round at the clock's present time:
  //   0. when the wall clock went back since the last round (by a second or
  //      more, against the monotonic clock), recurring jobs' next runs are
  //      recomputed from now, with one warning line; a jump forward is only
  //      lateness, which the rules below handle;
  //   1. pending runs (left by an earlier round or an earlier process whose
  //      text was never stored) are composed and handed on again;
  //   2. every due job fires: a one-time job missed by MISFIRE_GRACE or more
  //      is recorded as skipped (with a warning line); any other is
  //      recorded, composed and handed on. A recurring job fires once for
  //      all the runs it missed, whatever their age. A message going out a
  //      minute or more after its scheduled time (the earliest missed one)
  //      carries the late prefix;
  // and answers when the next round is needed (the earliest next run, or now
  // while a run is pending), or nothing when no job will fire again. A
  // failure of one run is logged and does not stop the others; a failure of
  // the store propagates.
  std::optional<TimePoint> tick();

  // Runs rounds on a background thread until stop(). A round that throws is
  // logged at error and the thread carries on. Registers the scheduler as
  // the store's change listener. Calling start twice has no effect.
  void start();
  // Wakes and joins the thread and removes the change listener. Idempotent.
  void stop();
  // Asks the thread for a round now (the store's changes do this already).
  void wake();

 private:
  struct WakeState;

  void thread_main();
  // Compares the clock's two readings with the last round's; when the wall
  // clock was set back, has the store recompute recurring jobs' next runs
  // and logs one warning with the size of the step.
  void notice_clock_set_back(TimePoint now);
  void fire(const schedules::DueJob& due, TimePoint now);
  void deliver(const schedules::Run& run, TimePoint now);
  std::string compose(const json& job);
  std::string compose_llm(const json& job);
  std::string compose_identity(const json& job);
  std::string compose_web_search(const json& job);
  // The model's reply to a system prompt and one user message; nothing when
  // it gave no usable text (null content, a blank text, a gateway fixed reply).
  std::optional<std::string> ask_model(const std::string& system, const std::string& user,
                                       std::int64_t job_id);

  Bindings b_;
  std::mutex round_mu_;
  std::shared_ptr<WakeState> wake_;
  // Both clock readings of the latest round.
  std::optional<TimePoint> last_wall_;
  std::optional<std::chrono::steady_clock::time_point> last_mono_;
  std::thread thread_;
};

}  // namespace talmo::scheduler
