// Decoding the router's and the workers' replies.
#include "schema/schema.hpp"

#include <gtest/gtest.h>

namespace talmo::schema {
namespace {

TEST(RouterResponse, MissingMembersTakeTheirDefaultsAndUnknownOnesAreIgnored) {
  auto r = RouterResponse::from_json(json::parse(R"({"extra": [1], "thought": "t"})"));
  EXPECT_FALSE(r.module.has_value());
  EXPECT_EQ(r.thought, "t");
  EXPECT_FALSE(r.response.has_value());

  r = RouterResponse::from_json(json::parse(R"({"module": null, "response": null})"));
  EXPECT_FALSE(r.module.has_value());
  EXPECT_EQ(r.thought, "");

  r = RouterResponse::from_json(json::parse(R"({"module": "Identity", "thought": "x", "response": "hi"})"));
  EXPECT_EQ(r.module, "Identity");
  EXPECT_EQ(r.response, "hi");
}

TEST(RouterResponse, MembersOfAnotherTypeAndNonObjectsFail) {
  for (const char* text : {R"({"module": 3})", R"({"module": ["identity"]})", R"({"thought": null})",
                           R"({"thought": 1})", R"({"response": {}})", R"([])", R"("text")", "null"}) {
    EXPECT_THROW(RouterResponse::from_json(json::parse(text)), ValidationError) << text;
  }
}

TEST(AIResponse, BuildsFromAFullReplyAndKeepsActionsAsWritten) {
  auto r = AIResponse::from_json(json::parse(R"({
    "thought": "t", "reply": "r", "status": "awaiting_data", "context_cache": {"a": 1},
    "actions": [{"module": "Identity", "command": "FETCH", "args": ["all"]}, {"module": "schedules"}]})"));
  EXPECT_EQ(r.status, Status::AWAITING_DATA);
  ASSERT_EQ(r.actions.size(), 2u);
  EXPECT_EQ(r.actions[0].model_dump().dump(), R"({"module":"Identity","command":"FETCH","args":["all"]})");
  EXPECT_EQ(r.actions[1].model_dump().dump(), R"({"module":"schedules","command":null,"args":null})");
}

TEST(AIResponse, TheGatewaysFixedReplyShapeBuildsAsAnError) {
  auto r = AIResponse::from_json(json::parse(
      R"({"status": "error", "reply": "I am currently unable to connect.", "actions": [], "thought": "All API keys failed"})"));
  EXPECT_EQ(r.status, Status::ERROR);
  EXPECT_EQ(r.reply, "I am currently unable to connect.");
  EXPECT_TRUE(r.actions.empty());

  r = AIResponse::from_json(json::parse(R"({"status": "done"})"));
  EXPECT_EQ(r.thought, "");
  EXPECT_EQ(r.reply, "");
}

TEST(AIResponse, StatusIsRequiredAndMustBeOneOfTheFourTexts) {
  for (const char* text :
       {R"({})", R"({"status": "DONE"})", R"({"status": "finished"})", R"({"status": null})",
        R"({"status": "done", "reply": 5})", R"({"status": "done", "actions": {}})",
        R"({"status": "done", "actions": null})", R"({"status": "done", "actions": ["x"]})", R"([1])"}) {
    EXPECT_THROW(AIResponse::from_json(json::parse(text)), ValidationError) << text;
  }
  for (auto s : {Status::AWAITING_DATA, Status::DONE, Status::NEEDS_CLARITY, Status::ERROR})
    EXPECT_EQ(AIResponse::from_json(json{{"status", to_string(s)}}).status, s);
  EXPECT_EQ(to_string(Status::NEEDS_CLARITY), "needs_clarity");
}

}  // namespace
}  // namespace talmo::schema
