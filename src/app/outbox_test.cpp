#include "app/outbox.hpp"

#include "support/json.hpp"
#include "support/log.hpp"
#include "testing/fake_server.hpp"
#include "whatsapp/sendwire/sendwire.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>

namespace talmo::app {
namespace {

using namespace std::chrono_literals;

Delivery over_bridge(const std::string& number, const std::string& text) {
  switch (sendwire::deliver(number, text)) {
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
  std::unique_ptr<Outbox> open(std::function<Delivery(const std::string&, const std::string&)> send = over_bridge) {
    OutboxOptions o;
    o.send = std::move(send);
    o.clock = clock_;
    o.backoff = {10s, 30s};
    return std::make_unique<Outbox>(*db_, std::move(o));
  }
  std::vector<std::string> sent() const {
    std::vector<std::string> out;
    for (const auto& r : bridge_.requests_to("/send")) out.push_back(json::parse(r.body).at("text"));
    return out;
  }

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

TEST_F(OutboxTest, AfterTheLastRetryATextIsFailedWithAnErrorLineAndARefusedOneAtOnce) {
  log::Capture cap;
  std::vector<std::string> tried;
  auto outbox = open([&](const std::string&, const std::string& text) {
    tried.push_back(text);
    if (text == "refused") return Delivery::refused;
    return text == "lost" ? Delivery::retry : Delivery::delivered;
  });
  outbox->enqueue("155", "refused");
  outbox->enqueue("155", "lost");
  outbox->enqueue("155", "kept");
  for (int round = 0; round < 3; ++round) {
    outbox->deliver_due();
    clock_->advance(1h);
  }
  EXPECT_EQ(tried, (std::vector<std::string>{"refused", "lost", "lost", "lost", "kept"}));
  EXPECT_EQ(outbox->pending(), 0u);
  const auto errors = cap.messages(log::Level::error);
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_NE(errors[0].find("refused"), std::string::npos) << errors[0];
  EXPECT_NE(errors[1].find("after 3 attempts"), std::string::npos) << errors[1];
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

}  // namespace
}  // namespace talmo::app
