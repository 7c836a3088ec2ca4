// format_prompt: placeholders filled once, defaults, the owner's date and time, composed prompts.
#include "core/utils/format_prompt.hpp"

#include "core/prompts/templates/templates.hpp"
#include "testing/fakes.hpp"

#include <date/date.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

namespace talmo::utils {
namespace {

using namespace std::chrono_literals;
using talmo::testing::FakeIdentity;

TimePoint utc(date::year_month_day day, std::chrono::seconds time_of_day) {
  return date::sys_days(day) + time_of_day;
}

class FormatPromptTest : public ::testing::Test {
 protected:
  void SetUp() override { rebind("Europe/Berlin"); }
  void TearDown() override { bind({}); }

  void rebind(std::string zone) { bind({&store, clock, std::move(zone)}); }

  FakeIdentity store{json{{"bot_name", "Jarvis"},
                          {"owner", "Sir Ali"},
                          {"tone", "Witty"},
                          {"response_type", "Concise"},
                          {"city", "Lahore"},
                          {"age", 22}}};
  // Monday 2026-12-07, 22:41:38 UTC = 23:41:38 in Berlin.
  std::shared_ptr<FakeClock> clock =
      std::make_shared<FakeClock>(utc(date::year{2026} / 12 / 7, 22h + 41min + 38s));
};

TEST_F(FormatPromptTest, FillsEveryPlaceholder) {
  EXPECT_EQ(format_prompt("{bot_name}|{owner}|{tone}|{response_type}|{current_date}|{current_time}|{extra_identity}"),
            "Jarvis|Sir Ali|Witty|Concise|Monday, 2026-12-07|23:41:38 (Europe/Berlin)|{'city': 'Lahore', 'age': 22}");
  EXPECT_EQ(format_prompt("{owner}, {owner}!"), "Sir Ali, Sir Ali!");
  EXPECT_EQ(format_prompt(""), "");
  EXPECT_EQ(format_prompt("no placeholders here"), "no placeholders here");

  // Values are read afresh on every call.
  store.profile["owner"] = "Boss";
  store.profile["tone"] = 3;
  EXPECT_EQ(format_prompt("{owner} {tone}"), "Boss 3");
}

TEST_F(FormatPromptTest, LeavesEveryOtherBraceAsItStands) {
  for (const char* kept : {"{}", "{unknown}", "{ owner}", "{Owner}", "{owner", "owner}", "{\"a\": {\"b\": 1}}",
                           "{{\"title\": \"x\"}}", "{{}}", "{...}", "}{", "{PERSONA_BLOCK"}) {
    EXPECT_EQ(format_prompt(kept), kept);
  }
  EXPECT_EQ(format_prompt("{{\"reply\": \"Done, {owner}.\"}}"), "{{\"reply\": \"Done, Sir Ali.\"}}");
  EXPECT_EQ(format_prompt("{{owner}"), "{Sir Ali");
}

TEST_F(FormatPromptTest, InsertedValuesAreNeverScannedAgain) {
  store.profile = json{{"bot_name", "{owner}"},
                       {"owner", "{bot_name}"},
                       {"tone", "{PERSONA_BLOCK}"},
                       {"note", "call me {owner}"}};
  EXPECT_EQ(format_prompt("{bot_name} / {owner} / {tone} / {extra_identity}"),
            "{owner} / {bot_name} / {PERSONA_BLOCK} / {'note': 'call me {owner}'}");
}

TEST_F(FormatPromptTest, MissingKeysFallBackToDefaults) {
  store.profile = json::object();
  EXPECT_EQ(format_prompt("{bot_name}|{owner}|{tone}|{response_type}|{extra_identity}"),
            "Talmo|Boss|Professional|Not set|{}");
  // Core keys never show up among the further entries, present or not.
  store.profile = json{{"owner", "Chief"}};
  EXPECT_EQ(format_prompt("{owner}|{extra_identity}"), "Chief|{}");
  // A null value is present, not missing.
  store.profile = json{{"owner", nullptr}};
  EXPECT_EQ(format_prompt("{owner}"), "None");

  bind({nullptr, clock, "UTC"});
  EXPECT_EQ(format_prompt("{owner}|{extra_identity}"), "Boss|{}");
}

TEST_F(FormatPromptTest, DateAndTimeFollowTheBoundZoneAcrossMidnight) {
  // 23:30 UTC on Monday is already Tuesday in Berlin.
  clock->set(utc(date::year{2026} / 12 / 7, 23h + 30min));
  EXPECT_EQ(format_prompt("{current_date}, {current_time}"), "Tuesday, 2026-12-08, 00:30:00 (Europe/Berlin)");
  rebind("UTC");
  EXPECT_EQ(format_prompt("{current_date}, {current_time}"), "Monday, 2026-12-07, 23:30:00 (UTC)");
  rebind("America/New_York");
  EXPECT_EQ(format_prompt("{current_date} {current_time}"), "Monday, 2026-12-07 18:30:00 (America/New_York)");

  // Seconds are whole, not rounded up.
  clock->set(utc(date::year{2026} / 12 / 31, 23h + 59min + 59s) + 999ms);
  EXPECT_EQ(format_prompt("{current_date} {current_time}"), "Thursday, 2026-12-31 18:59:59 (America/New_York)");
}

TEST_F(FormatPromptTest, UnknownZoneIsRefusedAtBinding) {
  EXPECT_THROW(bind({&store, clock, "Mars/Olympus"}), std::invalid_argument);
  // The previous binding stays in force.
  EXPECT_EQ(format_prompt("{current_time}"), "23:41:38 (Europe/Berlin)");
}

TEST_F(FormatPromptTest, IdentityStoreFailuresPropagate) {
  store.fail = true;
  EXPECT_THROW(format_prompt("{owner}"), std::runtime_error);
}

TEST_F(FormatPromptTest, RouterPromptCarriesTheFilledPersona) {
  const std::string filled = format_prompt(templates::ROUTER_PROMPT);
  EXPECT_EQ(filled.find("{PERSONA_BLOCK}"), std::string::npos);
  EXPECT_EQ(filled.find("{bot_name}"), std::string::npos);
  EXPECT_TRUE(filled.starts_with(
      "\n\nYou are Jarvis, a personal AI assistant. You are speaking to Sir Ali.\n"
      "Your tone is: Witty.\n"
      "Your response type must be: Concise.\n"
      "Today is: Monday, 2026-12-07, 23:41:38 (Europe/Berlin).\n"
      "Additional info about Sir Ali: {'city': 'Lahore', 'age': 22}.\n\n\n### YOUR TASK\n"));
  // The router's JSON contract reaches the model unchanged.
  EXPECT_NE(filled.find("{\n  \"thought\": \"internal planning\",\n"), std::string::npos);
}

TEST_F(FormatPromptTest, ComposedPromptsLoseOnlyTheirPlaceholders) {
  const std::string schedules = format_prompt(templates::SCHEDULES_WORKER_PROMPT);
  EXPECT_NE(schedules.find("   - Output: {{\"thought\": "), std::string::npos);
  EXPECT_NE(schedules.find("\"fixed_content\": \"Time for water, Sir Ali.\""), std::string::npos);
  EXPECT_TRUE(schedules.ends_with("  \"context_cache\": {}\n}\n"));

  // With a core-only profile no value holds a brace, so the filled text has
  // exactly the template's braces minus those of the placeholders
  // ({extra_identity} becomes "{}" and keeps its pair).
  store.profile = json{{"bot_name", "B"}, {"owner", "O"}, {"tone", "T"}, {"response_type", "R"}};
  const auto braces = [](std::string_view s) {
    return std::count(s.begin(), s.end(), '{') + std::count(s.begin(), s.end(), '}');
  };
  const char* names[] = {"{bot_name}", "{owner}", "{tone}", "{response_type}", "{current_date}", "{current_time}"};
  for (const std::string* t : {&templates::IDENTITY_WORKER_PROMPT, &templates::SCHEDULES_WORKER_PROMPT,
                               &templates::WEB_SEARCH_WORKER_PROMPT, &templates::WEB_SEARCH_SUMMARIZER_PROMPT}) {
    const std::string filled = format_prompt(*t);
    std::ptrdiff_t placeholder_braces = 0;
    for (const char* name : names) {
      EXPECT_EQ(filled.find(name), std::string::npos) << name;
      for (std::size_t at = t->find(name); at != std::string::npos; at = t->find(name, at + 1)) placeholder_braces += 2;
    }
    EXPECT_EQ(filled.find("{extra_identity}"), std::string::npos);
    EXPECT_EQ(braces(filled), braces(*t) - placeholder_braces);
  }
}

}  // namespace
}  // namespace talmo::utils
