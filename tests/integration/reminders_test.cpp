// Reminders fire from inside the running app, also after a restart.
#include "integration.hpp"

#include "core/memory/memory.hpp"
#include "support/db.hpp"
#include "support/tz.hpp"

#include <gtest/gtest.h>

namespace talmo::integration {
namespace {

class RemindersTest : public ::testing::Test {
 protected:
  void SetUp() override { log::set_stderr_enabled(false); }
  void TearDown() override { log::set_stderr_enabled(true); }

  // A direct reminder `seconds` from now (local time of the configured zone).
  static json add_reminder(app::App& app, const std::string& text, int seconds) {
    schedules::NewJob job;
    job.title = "Stretch";
    job.mode = "direct";
    job.fixed_content = text;
    job.trigger_type = "date";
    job.trigger_args = json{{"run_date", tz::format(std::chrono::system_clock::now() + std::chrono::seconds(seconds),
                                                    "UTC", "%Y-%m-%d %H:%M:%S")}};
    return app.services().schedules().add_job(job);
  }

  std::vector<std::string> sent_texts() {
    std::vector<std::string> out;
    for (auto& r : rig.bridge.requests_to("/send")) out.push_back(json::parse(r.body)["text"]);
    return out;
  }

  Rig rig;
};

TEST_F(RemindersTest, AJobDueInTwoSecondsReachesTheOwner) {
  auto app = rig.start();
  json added = add_reminder(*app, "Time to stretch, Boss.", 2);
  ASSERT_TRUE(added.is_object()) << added.dump();
  ASSERT_TRUE(rig.bridge.wait_for(1, "/send", std::chrono::seconds(15)));
  auto sent = rig.bridge.requests_to("/send");
  json body = json::parse(sent[0].body);
  EXPECT_EQ(body.value("id", "").size(), 32u) << body.dump();
  body.erase("id");
  EXPECT_EQ(body, json({{"to", "15551234567@s.whatsapp.net"}, {"text", "Time to stretch, Boss."}}));
  app->stop();
  EXPECT_EQ(sent_texts(), std::vector<std::string>{"Time to stretch, Boss."});
}

TEST_F(RemindersTest, AJobAddedBeforeARestartFiresOnceAfterIt) {
  auto app = rig.start();
  ASSERT_TRUE(add_reminder(*app, "Call mom.", 3).is_object());
  app->stop();
  app.reset();
  EXPECT_TRUE(rig.bridge.requests_to("/send").empty());

  app = rig.start();
  ASSERT_TRUE(rig.bridge.wait_for(1, "/send", std::chrono::seconds(15)));
  app->stop();
  app.reset();
  EXPECT_EQ(sent_texts(), std::vector<std::string>{"Call mom."});
  // The task board no longer holds the one-time job.
  auto again = rig.start();
  EXPECT_EQ(again->services().schedules().get_jobs(), json::array());
}

}  // namespace
}  // namespace talmo::integration
