#include "app/runner.hpp"

#include "support/log.hpp"

#include <condition_variable>
#include <deque>
#include <mutex>

namespace talmo::app {

namespace {

class MemoryInbox : public Inbox {
 public:
  std::uint64_t push(const std::string& number, const std::string& message) override {
    std::uint64_t id;
    {
      std::lock_guard lock(mu_);
      if (closed_) throw InboxClosed("the conversation runner has stopped; the message was not queued");
      id = ++last_id_;
      queue_.push_back(QueuedConversation{id, number, message});
    }
    cv_.notify_one();
    return id;
  }

  std::optional<QueuedConversation> next() override {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return closed_ || !queue_.empty(); });
    if (queue_.empty()) return std::nullopt;
    QueuedConversation c = std::move(queue_.front());
    queue_.pop_front();
    return c;
  }

  void done(std::uint64_t) override {}

  void close() override {
    {
      std::lock_guard lock(mu_);
      closed_ = true;
    }
    cv_.notify_all();
  }

  std::size_t waiting() const override {
    std::lock_guard lock(mu_);
    return queue_.size();
  }

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<QueuedConversation> queue_;
  std::uint64_t last_id_ = 0;
  bool closed_ = false;
};

}  // namespace

std::unique_ptr<Inbox> make_memory_inbox() { return std::make_unique<MemoryInbox>(); }

ConversationRunner::ConversationRunner(Handler handle, std::unique_ptr<Inbox> inbox)
    : handle_(std::move(handle)), inbox_(std::move(inbox)) {
  worker_ = std::thread([this] { work(); });
}

ConversationRunner::~ConversationRunner() { stop(); }

void ConversationRunner::enqueue(const std::string& number, const std::string& message) {
  inbox_->push(number, message);
}

void ConversationRunner::stop() {
  std::lock_guard lock(stop_mu_);
  inbox_->close();
  if (worker_.joinable()) worker_.join();
}

void ConversationRunner::work() {
  while (auto conversation = inbox_->next()) {
    // Nothing a conversation throws may end the worker: later messages still run.
    try {
      handle_(conversation->number, conversation->message);
    } catch (const std::exception& e) {
      log::error("Background conversation for " + conversation->number + " failed: " + e.what());
    } catch (...) {
      log::error("Background conversation for " + conversation->number +
                 " failed: unknown error");
    }
    try {
      inbox_->done(conversation->id);
    } catch (const std::exception& e) {
      log::error("Could not mark conversation " + std::to_string(conversation->id) +
                 " as done: " + e.what());
    }
  }
}

}  // namespace talmo::app
