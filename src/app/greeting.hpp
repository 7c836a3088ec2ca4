// The greeting onboarding writes for the owner: kept in the database until
// WhatsApp is connected, then sent once by `talmo serve`, however long
// pairing takes and across restarts.
#pragma once

#include "support/db.hpp"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace talmo::app::greeting {

// Keeps `text` as the one pending greeting (an older pending one is replaced).
void keep(db::Database& db, const std::string& text);

// The pending greeting's text, when one waits.
std::optional<std::string> pending(db::Database& db);

// The pending greeting went out: it is never sent again.
void mark_sent(db::Database& db);

// What the sender needs from the outside world.
struct Bindings {
  db::Database* db = nullptr;
  std::function<bool()> bridge_connected;  // the bridge's WhatsApp connection is up
  std::function<bool(const std::string& text)> send;  // true once the bridge took it
  std::chrono::milliseconds interval{3000};  // between checks while one is pending
};

// A thread that, while a greeting is pending, asks the bridge every
// `interval` whether WhatsApp is connected, sends the greeting the first
// time it is, and marks it sent once the bridge took it (a failed send is
// tried again at the next check). It ends when nothing is pending.
class Sender {
 public:
  explicit Sender(Bindings bindings);
  ~Sender();  // stops as stop() does
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;

  // Ends the checks; a send in progress completes first. Idempotent.
  void stop();

 private:
  void run();

  Bindings b_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace talmo::app::greeting
