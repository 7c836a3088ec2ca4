#include "app/runner.hpp"

#include "support/log.hpp"
#include "support/unicode.hpp"

#include <SQLiteCpp/Exception.h>
#include <sqlite3.h>

#include <algorithm>
#include <exception>

namespace talmo::app {

namespace {

constexpr std::size_t NOTICE_CHARS = 40;

// The conversation running on this thread, while the worker runs one.
struct Current {
  Inbox* inbox;
  std::uint64_t id;
  bool started;
};
thread_local Current* t_current = nullptr;

// Busy, locked or full: the database may take the same write a little later.
bool is_transient_db_failure(const SQLite::Exception& e) {
  const int primary = e.getErrorCode() & 0xff;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED || primary == SQLITE_FULL;
}

std::string describe(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

class StartMarkingMemory final : public memory::ConversationMemory {
 public:
  explicit StartMarkingMemory(std::unique_ptr<memory::ConversationMemory> inner) : inner_(std::move(inner)) {}
  void add_message(const std::string& number, const std::string& role, const std::string& content) override {
    ConversationRunner::first_effect([&] { inner_->add_message(number, role, content); });
  }
  json get_history(const std::string& number) override { return inner_->get_history(number); }
  std::int64_t forget(std::optional<TimePoint> before) override { return inner_->forget(before); }
  json export_entries() override { return inner_->export_entries(); }

 private:
  std::unique_ptr<memory::ConversationMemory> inner_;
};

}  // namespace

std::string interrupted_notice(const std::string& message) {
  std::string quoted = unicode::first_chars(message, NOTICE_CHARS);
  if (unicode::length(message) > NOTICE_CHARS) quoted += "…";
  return "⚠️ I was interrupted while handling your message “" + quoted +
         "”. Please send it again if it still matters.";
}

std::unique_ptr<memory::ConversationMemory> mark_start_on_store(
    std::unique_ptr<memory::ConversationMemory> inner) {
  return std::make_unique<StartMarkingMemory>(std::move(inner));
}

struct ConversationRunner::Task {
  std::function<void()> fn;
  bool finished = false;
  bool ran = false;
  std::exception_ptr error;
};

ConversationRunner::ConversationRunner(Handler handle, std::unique_ptr<Inbox> inbox, RunnerOptions options)
    : handle_(std::move(handle)), inbox_(std::move(inbox)), options_(std::move(options)) {
  if (options_.backoff.empty()) options_.backoff.push_back(std::chrono::seconds(1));
  worker_ = std::thread([this] { work(); });
}

ConversationRunner::~ConversationRunner() {
  stop();
  std::lock_guard lock(join_mu_);
  if (worker_.joinable()) worker_.join();
}

void ConversationRunner::enqueue(const std::string& number, const std::string& message) {
  inbox_->push(number, message);
  {
    std::lock_guard lock(mu_);
    ++pushed_;
  }
  cv_.notify_all();
}

bool ConversationRunner::run_exclusive(const std::function<void()>& task) {
  auto t = std::make_shared<Task>();
  t->fn = task;
  std::unique_lock lock(mu_);
  if (stopping_) return false;
  tasks_.push_back(t);
  cv_.notify_all();
  cv_.wait(lock, [&] { return t->finished; });
  if (t->error) std::rethrow_exception(t->error);
  return t->ran;
}

bool ConversationRunner::stop(std::chrono::milliseconds grace) {
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
    // Tasks not begun are given back to their callers unrun.
    for (auto& t : tasks_) t->finished = true;
    tasks_.clear();
  }
  inbox_->close();
  cv_.notify_all();
  {
    std::unique_lock lock(mu_);
    const auto ended = [&] { return ended_; };
    if (grace == std::chrono::milliseconds::max())
      ended_cv_.wait(lock, ended);
    else if (!ended_cv_.wait_for(lock, grace, ended))
      return false;
  }
  std::lock_guard lock(join_mu_);
  if (worker_.joinable()) worker_.join();
  return true;
}

void ConversationRunner::first_effect(const std::function<void()>& effect) {
  Current* current = t_current;
  if (!current || current->started) {
    effect();
    return;
  }
  current->inbox->start(current->id, effect);
  current->started = true;
}

std::size_t ConversationRunner::tasks_waiting() {
  std::lock_guard lock(mu_);
  return tasks_.size();
}

bool ConversationRunner::stopping() {
  std::lock_guard lock(mu_);
  return stopping_;
}

bool ConversationRunner::back_off(std::size_t attempt) {
  const auto delay = options_.backoff[std::min(attempt, options_.backoff.size() - 1)];
  std::unique_lock lock(mu_);
  return cv_.wait_for(lock, delay, [&] { return stopping_; });
}

void ConversationRunner::work() {
  // Nothing may end the worker silently: a failure of the inbox itself is
  // logged and tried again after a back-off.
  std::size_t failures = 0;
  bool recovered = false;
  for (;;) {
    try {
      if (!recovered) {
        for (const QueuedConversation& c : inbox_->interrupted()) {
          if (stopping()) break;
          settle_interrupted(c);
        }
        recovered = true;
      }
      std::shared_ptr<Task> task;
      std::uint64_t seen;
      {
        std::lock_guard lock(mu_);
        if (stopping_) break;
        if (!tasks_.empty()) {
          task = tasks_.front();
          tasks_.pop_front();
        }
        seen = pushed_;
      }
      if (task) {
        try {
          task->fn();
        } catch (...) {
          task->error = std::current_exception();
        }
        {
          std::lock_guard lock(mu_);
          task->ran = true;
          task->finished = true;
        }
        cv_.notify_all();
        continue;
      }
      if (auto c = inbox_->take()) {
        run_conversation(*c);
        failures = 0;
        continue;
      }
      std::unique_lock lock(mu_);
      cv_.wait(lock, [&] { return stopping_ || !tasks_.empty() || pushed_ != seen; });
    } catch (const std::exception& e) {
      log::error(std::string("The inbox could not be read: ") + e.what());
      if (back_off(failures++)) break;
    } catch (...) {
      log::error("The inbox could not be read: unknown error");
      if (back_off(failures++)) break;
    }
  }
  {
    std::lock_guard lock(mu_);
    ended_ = true;
  }
  ended_cv_.notify_all();
}

void ConversationRunner::settle_interrupted(const QueuedConversation& c) {
  log::warning("The conversation for message " + std::to_string(c.id) + " from " + c.number +
               " was interrupted; telling the owner instead of running it again");
  for (std::size_t attempt = 0;; ++attempt) {
    try {
      if (options_.notify)
        options_.notify(c.number, interrupted_notice(c.message), "interrupted:" + std::to_string(c.id));
      inbox_->done(c.id);
      return;
    } catch (const std::exception& e) {
      log::error("Could not record the interruption notice for message " + std::to_string(c.id) + ": " +
                 e.what());
    }
    // Left as started, the next start settles it.
    if (back_off(attempt)) return;
  }
}

void ConversationRunner::run_conversation(const QueuedConversation& c) {
  bool interrupted = false;
  for (std::size_t attempt = 0;; ++attempt) {
    Current current{inbox_.get(), c.id, false};
    t_current = &current;
    std::exception_ptr failure;
    try {
      handle_(c.number, c.message);
    } catch (...) {
      failure = std::current_exception();
    }
    t_current = nullptr;
    if (!failure) break;

    bool transient = false;
    try {
      std::rethrow_exception(failure);
    } catch (const SQLite::Exception& e) {
      transient = is_transient_db_failure(e);
    } catch (...) {
    }
    if (transient && !current.started) {
      log::warning("The database could not take the message from " + c.number + " (" + describe(failure) +
                   "); it stays in the inbox and is tried again");
      if (back_off(attempt)) return;  // stays waiting for the next start
      continue;
    }
    log::error("Background conversation for " + c.number + " failed: " + describe(failure));
    interrupted = transient;
    break;
  }

  if (interrupted) {
    settle_interrupted(c);
    return;
  }
  for (std::size_t attempt = 0;; ++attempt) {
    try {
      inbox_->done(c.id);
      return;
    } catch (const std::exception& e) {
      log::error("Could not mark conversation " + std::to_string(c.id) + " as done: " + e.what());
    }
    if (back_off(attempt)) return;
  }
}

}  // namespace talmo::app
