// The outbox: order, back-off, giving up, recovery after an outage, keys, late labels, old databases.
#include "app/outbox.hpp"

#include "core/identity/identity.hpp"
#include "core/memory/memory.hpp"
#include "core/scheduler/scheduler.hpp"
#include "core/schedules/schedules.hpp"
#include "support/json.hpp"
#include "support/log.hpp"
#include "support/tz.hpp"
#include "testing/fake_server.hpp"
#include "whatsapp/sendwire/sendwire.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <set>

namespace talmo::app {
namespace {

// The outbox's own defaults, keeping only the sender and the clock the fixture set.
void reset_keeping_sender(OutboxOptions& o) {
  OutboxOptions fresh;
  fresh.send = std::move(o.send);
  fresh.clock = std::move(o.clock);
  o = std::move(fresh);
}

using namespace std::chrono_literals;

using Send = std::function<Delivery(const std::string&, const std::string&, const std::string&)>;

Delivery over_bridge(const std::string& number, const std::string& text, const std::string& id) {
  switch (sendwire::deliver(number, text, id)) {
    case sendwire::Outcome::delivered: return Delivery::delivered;
    case sendwire::Outcome::refused: return Delivery::refused;
    default: return Delivery::retry;
  }
}

class OutboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log::set_stderr_enabled(false);
    dir_ = std::filesystem::temp_directory_path() / ("talmo-outbox-" + std::to_string(::getpid()) + "-" +
                                                     std::to_string(++counter_));
    std::filesystem::create_directories(dir_);
    db_ = std::make_unique<db::Database>((dir_ / "talmo.db").string());
    sendwire::bind(bridge_.url());
  }
  void TearDown() override {
    db_.reset();
    std::filesystem::remove_all(dir_);
    log::set_stderr_enabled(true);
  }
  std::unique_ptr<Outbox> open(Send send = over_bridge, const std::function<void(OutboxOptions&)>& tune = {}) {
    OutboxOptions o;
    o.send = std::move(send);
    o.clock = clock_;
    o.backoff = {10s, 30s};
    if (tune) tune(o);
    return std::make_unique<Outbox>(*db_, std::move(o));
  }
  // The production settings against the fake bridge: `up` says whether it
  // takes texts (else 503) and whether /status says connected.
  std::unique_ptr<Outbox> open_against_bridge(std::atomic<bool>& up) {
    bridge_.on("POST", "/send", [this, &up](const testing::RecordedRequest& req, httplib::Response& res) {
      res.status = up ? 200 : 503;
      std::lock_guard lock(taken_mu_);
      if (up) taken_.emplace_back(json::parse(req.body).at("text"), clock_->now());
    });
    bridge_.on("GET", "/status", [&up](const testing::RecordedRequest&, httplib::Response& res) {
      res.set_content(up ? R"({"connected": true})" : R"({"connected": false})", "application/json");
    });
    return open(over_bridge, [](OutboxOptions& o) {
      reset_keeping_sender(o);
      o.bridge_ready = [] { return sendwire::bridge_status().connected; };
      o.late_label = scheduler::late_prefix;
    });
  }
  // What the sender thread does, the fake clock jumping to each wake-up the
  // rounds ask for (and to `also`'s), up to `end`.
  void run_until(Outbox& outbox, TimePoint end, const std::function<std::optional<TimePoint>()>& also = {}) {
    for (int i = 0; i < 100000; ++i) {
      std::optional<TimePoint> next = outbox.deliver_due();
      if (also)
        if (const auto other = also(); other && (!next || *other < *next)) next = other;
      if (!next || *next > end) return clock_->set(end);
      clock_->set(std::max(*next, clock_->now()));
    }
    FAIL() << "the outbox never went to sleep";
  }
  // (text, id) of every /send the bridge got.
  std::vector<std::pair<std::string, std::string>> attempts() const {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& r : bridge_.requests_to("/send")) {
      const json body = json::parse(r.body);
      out.emplace_back(body.at("text"), body.at("id"));
    }
    return out;
  }
  std::vector<std::string> sent() const {
    std::vector<std::string> out;
    for (const auto& r : bridge_.requests_to("/send")) out.push_back(json::parse(r.body).at("text"));
    return out;
  }

  std::mutex taken_mu_;
  std::vector<std::pair<std::string, TimePoint>> taken_;  // texts the bridge answered 200, when
  testing::FakeServer bridge_;
  std::shared_ptr<FakeClock> clock_ = std::make_shared<FakeClock>(TimePoint(1'800'000'000s));
  std::filesystem::path dir_;
  std::unique_ptr<db::Database> db_;
  static inline int counter_ = 0;
};

// The bridge answers 503 twice (restarting), then takes messages again:
// the first reply is retried on the back-off and the second waits behind it.
TEST_F(OutboxTest, RetriesWhileTheBridgeIsDownAndKeepsTheOrder) {
  std::atomic<int> calls{0};
  bridge_.on("POST", "/send", [&](const testing::RecordedRequest&, httplib::Response& res) {
    res.status = calls++ < 2 ? 503 : 200;
  });
  auto outbox = open();
  outbox->enqueue("155", "first");
  outbox->enqueue("155", "second");

  EXPECT_EQ(outbox->deliver_due(), clock_->now() + 10s);
  EXPECT_EQ(outbox->deliver_due(), clock_->now() + 10s);  // not due yet: nothing sent
  clock_->advance(10s);
  EXPECT_EQ(outbox->deliver_due(), clock_->now() + 30s);
  EXPECT_EQ(sent(), (std::vector<std::string>{"first", "first"}));
  clock_->advance(30s);
  EXPECT_EQ(outbox->deliver_due(), std::nullopt);
  EXPECT_EQ(sent(), (std::vector<std::string>{"first", "first", "first", "second"}));
  EXPECT_EQ(outbox->pending(), 0u);
}

// A day of retries: 10 s, 30 s, 2 min, 5 min, then every 5 min until 24
// hours after the text was stored; then it is failed with an error line,
// and counted as failed. A refused text is failed at once.
TEST_F(OutboxTest, ATextIsRetriedForADayThenFailedAndARefusedOneAtOnce) {
  log::Capture cap;
  std::vector<std::string> tried;
  std::vector<TimePoint> lost_at;
  auto outbox = open(
      [&](const std::string&, const std::string& text, const std::string&) {
        tried.push_back(text);
        if (text == "refused") return Delivery::refused;
        if (text == "lost") lost_at.push_back(clock_->now());
        return text == "lost" ? Delivery::retry : Delivery::delivered;
      },
      reset_keeping_sender);
  const TimePoint stored = clock_->now();
  outbox->enqueue("155", "refused");
  outbox->enqueue("155", "lost");
  outbox->enqueue("155", "kept");
  run_until(*outbox, stored + 48h);

  ASSERT_GE(lost_at.size(), 8u);
  std::vector<std::chrono::seconds> gaps;
  for (std::size_t i = 1; i < 6; ++i)
    gaps.push_back(std::chrono::duration_cast<std::chrono::seconds>(lost_at[i] - lost_at[i - 1]));
  EXPECT_EQ(gaps, (std::vector<std::chrono::seconds>{10s, 30s, 2min, 5min, 5min}));
  EXPECT_EQ(lost_at.back(), stored + 24h);
  EXPECT_EQ(lost_at.size(), 4u + (24h - 160s) / 5min + 1);  // the last try is at the 24-hour mark
  EXPECT_EQ(tried.back(), "kept");
  EXPECT_EQ(outbox->pending(), 0u);
  const auto errors = cap.messages(log::Level::error);
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_NE(errors[0].find("refused"), std::string::npos) << errors[0];
  EXPECT_NE(errors[1].find("after " + std::to_string(lost_at.size()) + " attempts over 1440 minutes"),
            std::string::npos)
      << errors[1];
  db_->with([&](SQLite::Database& d) {
    EXPECT_EQ(failed_since(d, stored + 24h), 1);  // "lost" failed at the 24-hour mark
    EXPECT_EQ(failed_since(d, stored), 2);
    EXPECT_EQ(failed_since(d, stored + 25h), 0);
  });
}

// The bridge answers 503 for two minutes (WhatsApp reconnecting), then takes
// texts again: everything that waited goes out within 5 s, in order, once
// each, each with its own id on every attempt.
TEST_F(OutboxTest, AfterAnOutageEveryWaitingTextGoesOutWithinSecondsInOrderOnceWithItsId) {
  std::atomic<bool> up{false};
  auto outbox = open_against_bridge(up);
  const TimePoint start = clock_->now(), back = start + 2min;
  outbox->enqueue("155", "first");
  outbox->enqueue("155", "second");
  clock_->advance(70s);
  outbox->enqueue("155", "third");  // tries the head once more, back-off unchanged
  run_until(*outbox, start + 10min, [&]() -> std::optional<TimePoint> {
    if (clock_->now() >= back) up = true;
    return up ? std::nullopt : std::optional<TimePoint>(back);
  });

  std::map<std::string, std::set<std::string>> ids;
  for (const auto& [text, id] : attempts()) ids[text].insert(id);
  std::set<std::string> distinct;
  for (const auto& [text, set] : ids) {
    ASSERT_EQ(set.size(), 1u) << text;
    const std::string& id = *set.begin();
    EXPECT_EQ(id.size(), 32u);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
    distinct.insert(id);
  }
  EXPECT_EQ(distinct.size(), 3u);
  ASSERT_EQ(taken_.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(taken_[i].first, (std::vector<std::string>{"first", "second", "third"})[i]);
    EXPECT_LE(taken_[i].second, back + 5s) << taken_[i].first;
  }
  EXPECT_EQ(outbox->pending(), 0u);
}

// A bridge that says WhatsApp is back while its sends still fail (no ack
// within its bound) is not hammered: one early retry per return, then the
// back-off holds.
TEST_F(OutboxTest, FailuresWhileTheBridgeSaysConnectedKeepTheBackOff) {
  std::atomic<bool> up{false};
  auto outbox = open_against_bridge(up);
  const TimePoint back = clock_->now() + 5s;
  bridge_.on("GET", "/status", [&](const testing::RecordedRequest&, httplib::Response& res) {
    res.set_content(clock_->now() >= back ? R"({"connected": true})" : R"({"connected": false})", "application/json");
  });
  outbox->enqueue("155", "unconfirmed");
  run_until(*outbox, clock_->now() + 1min);
  EXPECT_EQ(attempts().size(), 3u);  // at 0 s, at 6 s (seen back), then 30 s later
}

// A reminder fired on time and then held by the outbox for three hours
// says so when it arrives, by its lateness at delivery, once; so does one
// the scheduler fired late (the server was down), never labelled twice.
TEST_F(OutboxTest, AReminderHeldForHoursCarriesItsLateLabelOnce) {
  const auto zone = "UTC";
  auto jobs = schedules::make_memory_job_store(clock_, zone);
  auto identity = identity::make_memory_store();
  auto memory = memory::make_memory_memory(50);
  std::atomic<bool> up{false};
  auto outbox = open_against_bridge(up);
  scheduler::Bindings b;
  b.send_message = [](const std::string&, const std::string&) { return false; };
  b.send_run = [&](const std::string& number, const std::string& text, std::int64_t run, TimePoint due) {
    return outbox->enqueue(number, text, "reminder-run:" + std::to_string(run), due);
  };
  b.get_response_with_system = [](const json&) { return std::optional<std::string>(); };
  b.format_prompt = [](std::string_view t) { return std::string(t); };
  b.identity_manager = identity.get();
  b.memory_manager = memory.get();
  b.web_search_manager = [] { return std::shared_ptr<web_search::Provider>(); };
  b.jobs = jobs.get();
  b.clock = clock_;
  b.master = "+155";
  const auto at = [&](std::chrono::seconds from_now, const char* text) {
    schedules::NewJob j;
    j.title = text;
    j.mode = "direct";
    j.fixed_content = text;
    j.trigger_type = "date";
    j.trigger_args = {{"run_date", tz::format(clock_->now() + from_now, zone, "%Y-%m-%d %H:%M:%S")}};
    ASSERT_TRUE(jobs->add_job(j).is_object());
  };
  at(1min, "Missed while down");
  at(61min, "Stretch");
  clock_->advance(60min);  // Talmo was down: the scheduler fires the first 59 minutes late
  const TimePoint back = clock_->now() + 1min + 3h;
  scheduler::Scheduler reminders(std::move(b));
  run_until(*outbox, back + 10min, [&]() -> std::optional<TimePoint> {
    if (clock_->now() >= back) up = true;
    const auto next = reminders.tick();
    return up ? next : (next ? std::min(*next, back) : back);
  });
  ASSERT_EQ(taken_.size(), 2u);
  EXPECT_EQ(taken_[0].first, "⏰ Late by 4h 0m: Missed while down");
  EXPECT_EQ(taken_[1].first, "⏰ Late by 3h 0m: Stretch");
}

TEST_F(OutboxTest, WaitingTextsSurviveAReopenAndAKeyIsStoredOnce) {
  {
    auto outbox = open();
    EXPECT_TRUE(outbox->enqueue("155", "reminder", "run:7"));
    EXPECT_FALSE(outbox->enqueue("155", "reminder, composed again", "run:7"));
    EXPECT_TRUE(outbox->enqueue("155", "reply"));
  }
  auto outbox = open();
  EXPECT_FALSE(outbox->enqueue("155", "reminder after a restart", "run:7"));
  EXPECT_EQ(outbox->pending(), 2u);
  outbox->start();
  ASSERT_TRUE(bridge_.wait_for(2, "/send"));
  EXPECT_TRUE(outbox->stop(10s));
  EXPECT_EQ(sent(), (std::vector<std::string>{"reminder", "reply"}));
}

// A text left waiting by a release that kept no ids gets one on opening,
// and keeps it across attempts.
TEST_F(OutboxTest, TextsWaitingInAnOlderDatabaseGetAnIdAndGoOut) {
  db_->migrate("outbox", {"CREATE TABLE outbox (id INTEGER PRIMARY KEY AUTOINCREMENT, number TEXT NOT NULL,"
                          " text TEXT NOT NULL, key TEXT UNIQUE, state TEXT NOT NULL DEFAULT 'pending',"
                          " attempts INTEGER NOT NULL DEFAULT 0, next_attempt_ms INTEGER NOT NULL DEFAULT 0,"
                          " error TEXT, stored_ms INTEGER NOT NULL);"
                          "CREATE INDEX outbox_by_state ON outbox(state, id);"});
  db_->with([&](SQLite::Database& d) {
    d.exec("INSERT INTO outbox(number, text, stored_ms) VALUES('155', 'from before', 1800000000000)");
  });
  std::atomic<int> calls{0};
  bridge_.on("POST", "/send", [&](const testing::RecordedRequest&, httplib::Response& res) {
    res.status = calls++ == 0 ? 503 : 200;
  });
  auto outbox = open();
  run_until(*outbox, clock_->now() + 1min);
  const auto all = attempts();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].first, "from before");
  EXPECT_EQ(all[0].second.size(), 32u);
  EXPECT_EQ(all[1].second, all[0].second);
  EXPECT_EQ(outbox->pending(), 0u);
}

}  // namespace
}  // namespace talmo::app
