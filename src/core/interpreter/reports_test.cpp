// The identity report and the task board texts.
#include "core/interpreter/interpreter.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace talmo::interpreter {
namespace {

TEST(IdentityReport, DefaultProfileReadsExactly) {
  json identity = {{"bot_name", "Talmo"}, {"owner", "Boss"}, {"tone", "Professional"},
                   {"response_type", "Concise"}};
  EXPECT_EQ(format_identity_report(identity),
            "👤 *Identity Profile*\n\n*Bot Name:* Talmo\n*Owner:* Boss\n*Tone:* Professional\n"
            "*Response Type:* Concise");
}

TEST(IdentityReport, MissingCoreKeysAndAdditionalEntries) {
  EXPECT_EQ(format_identity_report(json::object()),
            "👤 *Identity Profile*\n\n*Bot Name:* Not set\n*Owner:* Not set\n*Tone:* Not set\n"
            "*Response Type:* Not set");

  // Additional keys keep their order, core keys never repeat even when
  // listed late, a present null shows None, and trailing blanks are trimmed.
  json identity = json::object();
  identity["favourite_food"] = "Biryani";
  identity["owner"] = nullptr;
  identity["tv_show2go"] = json::array({"Dark", 2});
  identity["DOB"] = 1990;
  identity["bot_name"] = "Jarvis";
  identity["they're"] = "ok \n ";
  EXPECT_EQ(format_identity_report(identity),
            "👤 *Identity Profile*\n\n*Bot Name:* Jarvis\n*Owner:* None\n*Tone:* Not set\n"
            "*Response Type:* Not set\n\n*Additional Info:*\n"
            "   › Favourite Food: Biryani\n"
            "   › Tv Show2Go: ['Dark', 2]\n"
            "   › Dob: 1990\n"
            "   › They'Re: ok");
}

TEST(IdentityReport, RefusesANonMap) {
  EXPECT_THROW(format_identity_report(json()), std::invalid_argument);
  EXPECT_THROW(format_identity_report(json::array()), std::invalid_argument);
}

TEST(TaskBoard, EmptyBoard) {
  EXPECT_EQ(format_schedules_report(json::array()), "*Task Board*\n\n_No active tasks found._");
}

TEST(TaskBoard, EveryTriggerKindWithItsTiming) {
  json jobs = json::parse(R"([
    {"id": 1, "title": "Call mom", "trigger_type": "date",
     "trigger_args": "{\"run_date\": \"2026-12-08 18:00:00\"}", "next_run_time": "2026-12-08 18:00:00"},
    {"id": 2, "title": "Water", "trigger_type": "interval", "trigger_args": {"hours": 1, "minutes": 30, "seconds": 0},
     "next_run_time": "2026-12-08 10:00:00", "end_date": "2026-12-31 00:00:00"},
    {"id": 3, "title": "Standup", "trigger_type": "cron",
     "trigger_args": {"minute": 0, "hour": 9, "second": 5, "month": null}, "next_run_time": null,
     "end_date": "", "fetch_module": "web_search"},
    {"id": 4, "title": "Gym", "trigger_type": "cron", "trigger_args": {"hour": 17, "day_of_week": "mon-fri"},
     "fetch_module": ""},
    {"id": 5, "title": "Odd", "trigger_args": {"every": "moon"}},
    {"id": 6, "title": "Broken", "trigger_type": "date", "trigger_args": "not json"},
    {"id": 7, "title": "Idle", "trigger_type": "interval", "trigger_args": {"minutes": 0}}
  ])");
  EXPECT_EQ(format_schedules_report(jobs),
            "*Task Board — 7 Active Task(s)*\n\n"
            "*1.* Call mom\n"
            "   › ⏳ One-time · Runs at: `2026-12-08 18:00:00`\n"
            "   › Next: `2026-12-08 18:00:00` · Ends: `No end date`\n\n"
            "*2.* Water\n"
            "   › 🔁 Repeating · Every: `1 hours  30 minutes`\n"
            "   › Next: `2026-12-08 10:00:00` · Ends: `2026-12-31 00:00:00`\n\n"
            "*3.* Standup\n"
            "   › 📅 Calendar-based · Pattern: `hour=9, minute=0`\n"
            "   › Next: `None` · Ends: `No end date`\n"
            "   › Fetches from: `web_search`\n\n"
            "*4.* Gym\n"
            "   › 📅 Calendar-based · Pattern: `day_of_week=mon-fri, hour=17`\n"
            "   › Next: `N/A` · Ends: `No end date`\n\n"
            "*5.* Odd\n"
            "   › ❓ Unknown · Args: `{'every': 'moon'}`\n"
            "   › Next: `N/A` · Ends: `No end date`\n\n"
            "*6.* Broken\n"
            "   › ⏳ One-time · Runs at: `N/A`\n"
            "   › Next: `N/A` · Ends: `No end date`\n\n"
            "*7.* Idle\n"
            "   › 🔁 Repeating · Every: `N/A`\n"
            "   › Next: `N/A` · Ends: `No end date`");
}

TEST(TaskBoard, MalformedInputFails) {
  EXPECT_THROW(format_schedules_report(json()), std::invalid_argument);
  EXPECT_THROW(format_schedules_report(json::object()), std::invalid_argument);
  EXPECT_THROW(format_schedules_report(json::parse(R"([{"title": "no id"}])")), std::exception);
  EXPECT_THROW(format_schedules_report(json::parse(R"([{"id": 1}])")), std::exception);
  EXPECT_THROW(format_schedules_report(json::parse(R"([{"id": 1, "title": "t", "trigger_args": [1]}])")),
               std::exception);
}

}  // namespace
}  // namespace talmo::interpreter
