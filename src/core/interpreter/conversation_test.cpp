// handle_conversation end to end against fakes: commands, routing, the worker loop, what the owner is told.
#include "core/interpreter/interpreter.hpp"
#include "core/llm/lexgate/lexgate.hpp"
#include "core/prompts/messages/messages.hpp"
#include "core/prompts/templates/templates.hpp"
#include "testing/engine_harness.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace talmo::interpreter {
namespace {

using talmo::testing::Harness;
using ::testing::ElementsAre;
using Level = log::Level;

const std::string OWNER = "15550100";  // the master number "+1 555 0100" without decoration

json msg(const std::string& role, const std::string& content) {
  return json{{"role", role}, {"content", content}};
}

std::string router(const json& module, const json& response, const std::string& thought = "because") {
  return json_text(json{{"thought", thought}, {"module", module}, {"response", response}});
}

std::string worker(const std::string& status, const std::string& reply, json actions = json::array(),
                   const std::string& thought = "thinking") {
  return json_text(json{{"thought", thought}, {"status", status}, {"reply", reply}, {"actions", actions}});
}

std::string fenced(const std::string& text) { return "```json\n" + text + "\n```"; }

std::string server_result(const std::string& middle) {
  return "SERVER_RESULT:\n" + middle + "\nPlease synthesize the final answer for Boss.";
}

class Conversation : public ::testing::Test {
 protected:
  Harness h;
  log::Capture logs;

  json stored() { return h.memory.get_history(OWNER); }
  std::string system_of(std::size_t request) { return h.requests.at(request).at(0).at("content"); }
};

// ---- Entry and special commands -------------------------------------------

TEST_F(Conversation, SpecialCommandsAnswerWithoutModelOrMemory) {
  handle_conversation(OWNER, "/I\n");
  handle_conversation(OWNER, "  /Schedules ");
  handle_conversation(OWNER, "/s");
  EXPECT_THAT(h.texts_sent(),
              ElementsAre("👤 *Identity Profile*\n\n*Bot Name:* Talmo\n*Owner:* Boss\n*Tone:* Professional\n"
                          "*Response Type:* Concise",
                          "*Task Board*\n\n_No active tasks found._", "*Task Board*\n\n_No active tasks found._"));
  EXPECT_EQ(h.typing.size(), 3u);
  EXPECT_EQ(h.typing[0], std::make_pair(OWNER, true));
  EXPECT_TRUE(h.requests.empty());
  EXPECT_TRUE(stored().empty());
  EXPECT_TRUE(logs.has(Level::info, "🚀 STARTING CONVERSATION for " + OWNER));
  EXPECT_TRUE(logs.has(Level::info, "Intercepted special command: /identity"));
  EXPECT_TRUE(logs.has(Level::info, "Intercepted special command: /schedules"));
}

TEST_F(Conversation, NearMissCommandsAreOrdinaryMessages) {
  for (const char* text : {"/id", "/schedule", "/ i", "/i please"}) {
    h.reply(router(nullptr, "Sure."));
    handle_conversation(OWNER, text);
  }
  EXPECT_EQ(h.requests.size(), 4u);
  EXPECT_EQ(stored().size(), 8u);
  EXPECT_EQ(stored()[2], msg("user", "/schedule"));
}

TEST_F(Conversation, FailuresOutsideGuardedRegionsPropagateSilently) {
  // The gateway is not scripted, so the router call itself fails.
  EXPECT_THROW(handle_conversation(OWNER, "hi"), std::runtime_error);
  EXPECT_TRUE(h.sent.empty());
  EXPECT_EQ(stored(), json::array({msg("user", "hi")}));

  // A failing typing call stops the conversation before anything else.
  h.bridge_down = true;
  h.reply(router(nullptr, "Hello."));
  EXPECT_THROW(handle_conversation(OWNER, "hi again"), std::runtime_error);
  EXPECT_EQ(stored().size(), 1u);
  EXPECT_EQ(h.replies.size(), 1u);
}

// ---- Routing stage ---------------------------------------------------------

TEST_F(Conversation, SmallTalkIsStoredAndSent) {
  h.memory.add_message(OWNER, "user", "earlier");
  h.memory.add_message(OWNER, "assistant", "reply");
  h.reply(router(nullptr, "Hello, Boss.", "greet"));
  handle_conversation(OWNER, "  Hi There ");

  EXPECT_THAT(h.texts_sent(), ElementsAre("Hello, Boss."));
  EXPECT_EQ(stored(), json::array({msg("user", "earlier"), msg("assistant", "reply"),
                                   msg("user", "  Hi There "), msg("assistant", "Hello, Boss.")}));
  // System prompt first, then the stored history ending with this message.
  ASSERT_EQ(h.requests.size(), 1u);
  EXPECT_EQ(h.requests[0],
            json::array({msg("system", "filled:" + templates::ROUTER_PROMPT), msg("user", "earlier"),
                         msg("assistant", "reply"), msg("user", "  Hi There ")}));
  EXPECT_TRUE(logs.has(Level::info, "Stage 1: Routing Query..."));
  EXPECT_TRUE(logs.has(Level::success, "Router Decision: None | Thought: greet"));
  EXPECT_TRUE(logs.has(Level::info, "Query routed to General Chat."));
  EXPECT_TRUE(logs.has(Level::success, "General response delivered."));
}

// Someone binds new collaborators while the model is thinking: the running
// conversation still answers through those it started with.
TEST_F(Conversation, BindWhileRunningLeavesTheConversationItsCollaborators) {
  std::vector<std::string> to_first, to_second;
  Bindings first;
  first.set_typing = [](const std::string&, bool) { return true; };
  first.identity_manager = &h.identity;
  first.memory_manager = &h.memory;
  first.schedules_manager = &h.registry;
  first.format_prompt = [](std::string_view templ) { return std::string(templ); };
  first.master = h.master;
  Bindings second = first;
  first.send_message = [&](const std::string&, const std::string& text) { return to_first.push_back(text), true; };
  second.send_message = [&](const std::string&, const std::string& text) { return to_second.push_back(text), true; };
  first.get_response_with_system = [&](const json&) -> std::optional<std::string> {
    bind(second);
    return router(nullptr, "Hello.");
  };
  bind(first);
  handle_conversation(OWNER, "hi");
  EXPECT_THAT(to_first, ElementsAre("Hello."));
  EXPECT_TRUE(to_second.empty());
}

TEST_F(Conversation, EveryFormOfNoModuleIsGeneralChat) {
  h.reply(fenced(router("", "One")));
  h.reply("Sure! " + router("NuLL", "Two") + " Anything else?");
  h.reply(json_text(json{{"response", "Three"}}));
  for (int i = 0; i < 3; ++i) handle_conversation(OWNER, "hey");
  EXPECT_THAT(h.texts_sent(), ElementsAre("One", "Two", "Three"));
  EXPECT_EQ(h.requests.size(), 3u);
}

TEST_F(Conversation, EmptyResponseGetsTheFallbackAndIsNotStored) {
  h.reply(router(nullptr, ""));
  h.reply(router("null", nullptr));
  h.reply(router(nullptr, "   "));
  for (int i = 0; i < 3; ++i) handle_conversation(OWNER, "hmm");
  EXPECT_EQ(h.texts_sent(), std::vector<std::string>(3, "I'm not sure how to respond to that, Boss."));
  EXPECT_EQ(stored(), json::array({msg("user", "hmm"), msg("user", "hmm"), msg("user", "hmm")}));
  EXPECT_TRUE(logs.has(Level::warning, "Router picked null module but provided no response."));
}

TEST_F(Conversation, UndecodableRouterRepliesAreRoutingErrors) {
  const std::vector<std::optional<std::string>> bad = {
      "I think you want the weather.", "", std::nullopt, "[1, 2]", R"({"module": 5})", R"({"a": 1} {"b": 2})"};
  for (const auto& reply : bad) h.reply(reply);
  for (std::size_t i = 0; i < bad.size(); ++i) handle_conversation(OWNER, "q");

  EXPECT_EQ(h.sent.size(), bad.size());
  for (const auto& text : h.texts_sent()) EXPECT_EQ(text, "I encountered a routing error, Boss.");
  const auto errors = logs.messages(Level::error);
  ASSERT_EQ(errors.size(), bad.size());
  EXPECT_THAT(errors[0], ::testing::StartsWith("Router Parsing Failed: "));
  EXPECT_THAT(errors[0], ::testing::EndsWith(" | Raw: I think you want the weather."));
  EXPECT_THAT(errors[2], ::testing::EndsWith(" | Raw: None"));
  // Only the user messages were stored.
  for (const auto& entry : stored()) EXPECT_EQ(entry["role"], "user");
}

TEST_F(Conversation, GatewayFixedRepliesReachTheOwnerAsTheirText) {
  h.reply(std::string(lexgate::NO_KEY_REPLY));
  h.reply(std::string(lexgate::ALL_FAILED_REPLY));
  handle_conversation(OWNER, "hi");
  handle_conversation(OWNER, "hi");
  EXPECT_THAT(h.texts_sent(),
              ElementsAre("Please configure a Groq API key to start chatting. Run \"talmo onboard\" to set it up.",
                          "I am currently unable to connect to my language engine. Please try again shortly."));
  EXPECT_EQ(stored(), json::array({msg("user", "hi"), msg("user", "hi")}));
}

TEST_F(Conversation, ModuleNamesAreLowerCasedAndLookedUpExactly) {
  h.reply(router("Identity", "ignored"));
  h.reply(worker("done", "Your tone is Professional."));
  handle_conversation(OWNER, "what's my tone?");
  EXPECT_TRUE(logs.has(Level::info, "Stage 2: Activating IDENTITY Worker..."));
  EXPECT_EQ(system_of(1), "filled:" + templates::IDENTITY_WORKER_PROMPT);

  for (const char* module : {"calendar", " schedules", "web-search"}) {
    h.reply(router(module, "ignored"));
    handle_conversation(OWNER, "x");
  }
  EXPECT_TRUE(logs.has(Level::error, "Unknown module requested by router: calendar"));
  EXPECT_TRUE(logs.has(Level::error, "Unknown module requested by router:  schedules"));
  EXPECT_THAT(h.texts_sent(), ElementsAre("Your tone is Professional.",
                                          "I'm not equipped to handle that module yet, Boss.",
                                          "I'm not equipped to handle that module yet, Boss.",
                                          "I'm not equipped to handle that module yet, Boss."));
  EXPECT_EQ(h.requests.size(), 5u);
}

// ---- Worker loop -----------------------------------------------------------

TEST_F(Conversation, DoneOnTheFirstTurnStoresAndSendsTheReply) {
  h.reply(router("schedules", ""));
  h.reply(fenced(worker("done", "All set.", json::array(), "easy")));
  handle_conversation(OWNER, "thanks");
  EXPECT_EQ(h.requests.size(), 2u);
  EXPECT_EQ(h.requests[1], json::array({msg("system", "filled:" + templates::SCHEDULES_WORKER_PROMPT),
                                        msg("user", "thanks")}));
  EXPECT_THAT(h.texts_sent(), ElementsAre("All set."));
  EXPECT_EQ(stored(), json::array({msg("user", "thanks"), msg("assistant", "All set.")}));
  EXPECT_TRUE(logs.has(Level::info, "Turn 1/10: Processing logic..."));
  EXPECT_TRUE(logs.has(Level::info, "Worker Status: done | Thought: easy"));
  EXPECT_TRUE(logs.has(Level::success, "Final response delivered via schedules Worker."));
}

TEST_F(Conversation, DataTurnFeedsResultsBackAsAServerMessage) {
  h.registry.jobs = json::parse(R"([{"id": 1, "title": "Water"}])");
  const std::string first = fenced(worker(
      "awaiting_data", "Checking…",
      json::parse(R"([{"module": "schedules", "command": "fetch", "args": {}},
                      {"module": "identity", "command": "fetch", "args": "tone"}])")));
  h.reply(router("schedules", nullptr));
  h.reply(first);
  h.reply(worker("done", "You have one task."));
  handle_conversation(OWNER, "what's on?");

  EXPECT_THAT(h.texts_sent(), ElementsAre("Checking…", "You have one task."));
  ASSERT_EQ(h.requests.size(), 3u);
  EXPECT_EQ(h.requests[2],
            json::array({msg("system", "filled:" + templates::SCHEDULES_WORKER_PROMPT), msg("user", "what's on?"),
                         msg("assistant", first),
                         msg("user", server_result("DATA: [{\"id\": 1, \"title\": \"Water\"}]\n"
                                                   "DATA: {\"tone\": \"Professional\"}"))}));
  // The interim reply is not stored.
  EXPECT_EQ(stored(), json::array({msg("user", "what's on?"), msg("assistant", "You have one task.")}));
  EXPECT_TRUE(logs.has(Level::debug, "Sending interim reply: Checking…"));
}

TEST_F(Conversation, DataTurnWithoutActionsHasAnEmptyMiddle) {
  h.reply(router("identity", nullptr));
  h.reply(worker("awaiting_data", ""));
  h.reply(worker("needs_clarity", "Which one?"));
  handle_conversation(OWNER, "change it");
  EXPECT_EQ(h.requests[2].back(), msg("user", "SERVER_RESULT:\n\nPlease synthesize the final answer for Boss."));
  EXPECT_THAT(h.texts_sent(), ElementsAre("Which one?"));
}

TEST_F(Conversation, NeedsClarityRunsItsActionsLikeDone) {
  h.reply(router("identity", nullptr));
  h.reply(worker("needs_clarity", "Noted. Which city?",
                 json::parse(R"([{"module": "identity", "command": "update", "args": {"country": "PK"}}])")));
  handle_conversation(OWNER, "I moved");
  EXPECT_EQ(h.identity.profile["country"], "PK");
  EXPECT_THAT(h.texts_sent(), ElementsAre("Noted. Which city?"));
  EXPECT_EQ(stored().back(), msg("assistant", "Noted. Which city?"));
  EXPECT_TRUE(logs.has(Level::success, "Final response delivered via identity Worker."));
}

TEST_F(Conversation, WebSearchHandsThePayloadToTheSummarizer) {
  h.provider->answer = {json::parse(R"({"query": "q", "answer": "Rain in Lahore", "results": [
      {"title": "Météo", "url": "https://w.example/lahore", "content": "Rain", "published_date": null}]})"),
                        ""};
  const std::string summary = R"({"note": "the summary is sent exactly as written"} )";
  h.reply(router("web_search", nullptr));
  h.reply(worker("awaiting_data", "",
                 json::parse(R"([{"module": "web_search", "command": "search", "args": {"query": "weather Lahore"}}])")));
  h.reply(summary);
  handle_conversation(OWNER, "Weather in Lahore? ☔");

  ASSERT_EQ(h.requests.size(), 3u);
  EXPECT_EQ(system_of(1), "filled:" + templates::WEB_SEARCH_WORKER_PROMPT);
  EXPECT_EQ(system_of(2), "filled:" + templates::WEB_SEARCH_SUMMARIZER_PROMPT);
  EXPECT_EQ(h.requests[2].back()["content"],
            server_result(R"({"original_query": "Weather in Lahore? \u2614", "tavily_answer": "Rain in Lahore", )"
                          R"("raw_results": [{"title": "M\u00e9t\u00e9o", "url": "https://w.example/lahore", )"
                          R"("content": "Rain", "published_date": null}]})"));
  EXPECT_THAT(h.texts_sent(), ElementsAre(summary));
  EXPECT_EQ(stored().back(), msg("assistant", summary));
  EXPECT_TRUE(logs.has(Level::info, "Switching to WEB_SEARCH_SUMMARIZER_PROMPT..."));
  EXPECT_TRUE(logs.has(Level::info, "Summarizer response received (Plain Text)."));
  EXPECT_TRUE(logs.has(Level::success, "Search summary delivered successfully."));
}

TEST_F(Conversation, SummarizerPayloadComesFromTheSearchResultItself) {
  const json identity_then_search = json::parse(R"([
      {"module": "identity", "command": "fetch", "args": ["owner"]},
      {"module": "web_search", "command": "search", "args": {"query": "x"}}])");
  const json error_then_search = json::parse(R"([
      {"module": "web_search", "command": "search", "args": {"bogus": 1}},
      {"module": "web_search", "command": "search", "args": {"query": "x"}}])");
  struct Case {
    const char* search_data;
    json actions;
    std::string fed_back;
    const std::string& next_template;
  };
  const std::vector<Case> cases = {
      // Other data fetched first does not stand in for the search.
      {R"({"answer": "Sunny", "results": [{"url": "https://a.example"}]})", identity_then_search,
       R"({"original_query": "x", "tavily_answer": "Sunny", "raw_results": [{"url": "https://a.example"}]})",
       templates::WEB_SEARCH_SUMMARIZER_PROMPT},
      // Neither does a failed action before it; a missing answer is empty.
      {R"({"results": [{"url": "https://a.example"}]})", error_then_search,
       R"({"original_query": "x", "tavily_answer": "", "raw_results": [{"url": "https://a.example"}]})",
       templates::WEB_SEARCH_SUMMARIZER_PROMPT},
      // A "url" outside any search map is no search: the results go back as they are.
      {R"({"url": "https://a.example"})", identity_then_search,
       "DATA: {\"owner\": \"Boss\"}\nDATA: {\"url\": \"https://a.example\"}", templates::WEB_SEARCH_WORKER_PROMPT},
  };
  for (const Case& c : cases) {
    h.requests.clear();
    h.provider->answer = {json::parse(c.search_data), ""};
    h.reply(router("web_search", nullptr));
    h.reply(worker("awaiting_data", "", c.actions));
    h.reply(worker("done", "Here is what I found."));
    handle_conversation(OWNER, "x");
    ASSERT_EQ(h.requests.size(), 3u) << c.search_data;
    EXPECT_EQ(h.requests[2].back()["content"], server_result(c.fed_back)) << c.search_data;
    EXPECT_EQ(system_of(2), "filled:" + c.next_template) << c.search_data;
  }
}

json three_schedule_actions() {
  return json::parse(R"([
    {"module": "schedules", "command": "fetch", "args": {}},
    {"module": "schedules", "command": "add", "args": {"title": "late", "trigger_type": "date"}},
    {"module": "schedules", "command": "remove", "args": [1]}])");
}

TEST_F(Conversation, PastTimeStopsTheTurnAndTheOwnerHearsItOnce) {
  h.registry.add_result = "PAST_TIME_ERROR";
  h.registry.existing = {1};
  h.reply(router("schedules", nullptr));
  h.reply(worker("awaiting_data", "", three_schedule_actions()));
  handle_conversation(OWNER, "remind me yesterday");

  const std::string notice =
      "I apologize, Boss, but I cannot schedule a task for a time that has already passed.";
  // The executor told the master number; the conversation's number is the same owner.
  ASSERT_EQ(h.sent.size(), 1u);
  EXPECT_EQ(h.sent[0], std::make_pair(h.master, notice));
  EXPECT_TRUE(h.registry.removal_calls.empty());
  EXPECT_EQ(h.requests.size(), 2u);
  EXPECT_EQ(logs.messages(Level::warning),
            std::vector<std::string>({"Blocking past-time schedule attempt.", "Blocking past-time schedule attempt."}));
}

TEST(PastTimeNotice, ReachesAConversationNumberThatIsNotTheMaster) {
  Harness h("+44 7000 000000");
  h.identity.profile["owner"] = "Chief";
  h.registry.add_result = "PAST_TIME_ERROR";
  h.reply(router("schedules", nullptr));
  h.reply(worker("awaiting_data", "", three_schedule_actions()));
  handle_conversation(OWNER, "remind me yesterday");
  const std::string notice =
      "I apologize, Chief, but I cannot schedule a task for a time that has already passed.";
  EXPECT_THAT(h.sent, ElementsAre(std::make_pair(std::string("+44 7000 000000"), notice),
                                  std::make_pair(OWNER, notice)));
}

TEST(PastTimeNotice, InterimReplyGoesOutBeforeAnyActionRuns) {
  Harness h("+44 7000 000000");
  h.registry.add_result = "PAST_TIME_ERROR";
  h.reply(router("schedules", nullptr));
  h.reply(worker("awaiting_data", "One moment.", three_schedule_actions()));
  handle_conversation(OWNER, "remind me yesterday");
  ASSERT_EQ(h.sent.size(), 3u);
  EXPECT_EQ(h.sent[0], std::make_pair(OWNER, std::string("One moment.")));
  EXPECT_EQ(h.sent[1].first, "+44 7000 000000");  // the executor's notice
  EXPECT_EQ(h.sent[2].first, OWNER);              // the loop's notice
}

TEST_F(Conversation, AFinalReplyIsWithheldWhenItsActionsFailed) {
  // The model confirms a reminder in the same turn that adds it; the
  // registry refuses it, so the model is told and answers again.
  h.registry.add_result = nullptr;
  const std::string confirm =
      worker("done", "Done, Boss. I will remind you at 9 AM.",
             json::parse(R"([{"module": "schedules", "command": "add", "args": {"title": "x"}}])"));
  h.reply(router("schedules", nullptr));
  h.reply(confirm);
  h.reply(worker("needs_clarity", "I couldn't set that, Boss. Which time?"));
  handle_conversation(OWNER, "remind me at 9");

  ASSERT_EQ(h.requests.size(), 3u);
  EXPECT_EQ(h.requests[2].size(), 4u);
  EXPECT_EQ(h.requests[2][2], msg("assistant", confirm));
  EXPECT_EQ(h.requests[2][3], msg("user", server_result("ERROR: Scheduling failed.")));
  EXPECT_THAT(h.texts_sent(), ElementsAre("I couldn't set that, Boss. Which time?"));
  EXPECT_EQ(stored(), json::array({msg("user", "remind me at 9"),
                                   msg("assistant", "I couldn't set that, Boss. Which time?")}));
}

// A withheld final turn comes back from the model unchanged: the change that
// succeeded the first time is not made again, and the model gets its result.
TEST_F(Conversation, ARepeatedTurnDoesNotRepeatTheChangesThatSucceeded) {
  const json add = json::parse(R"({"module": "schedules", "command": "add",
      "args": {"title": "Tea", "mode": "fixed", "fixed_content": "Tea time", "trigger_type": "date",
               "trigger_args": {"run_date": "2030-01-01 09:00:00"}}})");
  json add_reordered = add;  // the same args, keys in another order
  add_reordered["args"] = json::parse(R"({"trigger_args": {"run_date": "2030-01-01 09:00:00"},
      "trigger_type": "date", "fixed_content": "Tea time", "mode": "fixed", "title": "Tea"})");
  const json bad_update = json::parse(R"({"module": "identity", "command": "update", "args": ["x"]})");
  h.reply(router("schedules", nullptr));
  for (int i = 0; i < 4; ++i)
    h.reply(worker("done", "Set, Boss.", json::array({i % 2 ? add_reordered : add, bad_update})));
  h.reply(worker("done", "Tea is set, Boss."));
  handle_conversation(OWNER, "remind me of tea");

  EXPECT_EQ(h.registry.added.size(), 1u);
  ASSERT_EQ(h.requests.size(), 6u);
  const json first_result = h.requests[2].back();
  for (std::size_t i = 3; i < 6; ++i) EXPECT_EQ(h.requests[i].back(), first_result) << i;
  EXPECT_NE(first_result["content"].get<std::string>().find("ERROR: Requires a dictionary."), std::string::npos);
  EXPECT_THAT(h.texts_sent(), ElementsAre("Tea is set, Boss."));
}

TEST_F(Conversation, PastTimeInAFinalTurnEndsTheConversationWithTheNoticeOnly) {
  h.registry.add_result = "PAST_TIME_ERROR";
  h.registry.existing = {1};
  h.reply(router("schedules", nullptr));
  h.reply(worker("done", "Done, Boss. I will remind you at 9 AM.", three_schedule_actions()));
  handle_conversation(OWNER, "remind me at 9");

  ASSERT_EQ(h.sent.size(), 1u);  // the executor's notice to the owner, who is the master number
  EXPECT_EQ(h.sent[0].second,
            "I apologize, Boss, but I cannot schedule a task for a time that has already passed.");
  EXPECT_TRUE(h.registry.removal_calls.empty());
  EXPECT_EQ(h.requests.size(), 2u);
  EXPECT_EQ(stored(), json::array({msg("user", "remind me at 9")}));
}

TEST_F(Conversation, RepliesAreStoredBeforeTheyAreSent) {
  h.reply(router(nullptr, "Hello."));
  handle_conversation(OWNER, "hi");
  h.reply(router("identity", nullptr));
  h.reply(worker("done", "Done."));
  handle_conversation(OWNER, "x");
  h.provider->answer = {json::parse(R"({"results": [{"url": "https://a.example"}]})"), ""};
  h.reply(router("web_search", nullptr));
  h.reply(worker("awaiting_data", "",
                 json::parse(R"([{"module": "web_search", "command": "search", "args": {"query": "x"}}])")));
  h.reply("Summary.");
  handle_conversation(OWNER, "news?");

  EXPECT_THAT(h.texts_sent(), ElementsAre("Hello.", "Done.", "Summary."));
  // Each reply is already the newest stored entry when it goes out.
  EXPECT_THAT(h.stored_at_send, ElementsAre(2u, 4u, 6u));
}

TEST_F(Conversation, ErrorStatusIsSentButNotStored) {
  h.reply(router("identity", nullptr));
  h.reply(std::string(lexgate::ALL_FAILED_REPLY));
  handle_conversation(OWNER, "x");
  EXPECT_THAT(h.texts_sent(),
              ElementsAre("I am currently unable to connect to my language engine. Please try again shortly."));
  EXPECT_EQ(stored(), json::array({msg("user", "x")}));
  EXPECT_TRUE(logs.has(Level::error,
                       "Worker reported an error status: I am currently unable to connect to my language engine. "
                       "Please try again shortly."));
}

TEST_F(Conversation, TenDataTurnsTimeOut) {
  h.reply(router("identity", nullptr));
  for (int i = 0; i < 10; ++i) h.reply(worker("awaiting_data", ""));
  handle_conversation(OWNER, "loop");
  EXPECT_EQ(h.requests.size(), 11u);
  // Turn 10 sees nine earlier exchanges.
  EXPECT_EQ(h.requests[10].size(), 2u + 18u);
  EXPECT_TRUE(logs.has(Level::info, "Turn 10/10: Processing logic..."));
  EXPECT_TRUE(logs.has(Level::warning, "Synthesis loop timed out (10 turns)."));
  EXPECT_THAT(h.texts_sent(), ElementsAre(messages::COMPLEX_TASK_MESSAGE));
  EXPECT_EQ(stored().size(), 1u);
}

TEST_F(Conversation, UndecodableWorkerReplyEndsWithTheComplexityApology) {
  h.reply(router("identity", nullptr));
  h.reply(worker("awaiting_data", ""));
  h.reply(worker("awaiting_data", ""));
  h.reply("Sorry, I cannot answer in JSON today.");
  handle_conversation(OWNER, "x");
  EXPECT_EQ(h.requests.size(), 4u);
  EXPECT_THAT(h.texts_sent(), ElementsAre("I'm experiencing some internal complexity, Boss."));
  const auto errors = logs.messages(Level::error);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_THAT(errors[0], ::testing::StartsWith("Worker Logic/Parsing Error: "));
  EXPECT_THAT(errors[0], ::testing::EndsWith(" | Turn: 3"));
  EXPECT_TRUE(logs.has(Level::debug, "Raw Worker Output: Sorry, I cannot answer in JSON today."));

  // Absent content and an unknown status fail the same way.
  for (const std::optional<std::string>& bad : {std::optional<std::string>(), std::optional<std::string>(R"({"status": "working"})")}) {
    h.reply(router("identity", nullptr));
    h.reply(bad);
    handle_conversation(OWNER, "x");
  }
  EXPECT_EQ(h.sent.size(), 3u);
  EXPECT_TRUE(logs.has(Level::debug, "Raw Worker Output: None"));
}

TEST_F(Conversation, AbsurdlyNestedActionArgumentsAreAnUndecodableReply) {
  // Copying and logging these args used to recurse once per level and
  // overflow the stack; such a reply now fails to decode like any other.
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  h.reply(router("identity", nullptr));
  h.reply(R"({"thought": "", "status": "awaiting_data", "reply": "", "actions": [)"
          R"({"module": "identity", "command": "fetch", "args": )" + deep + "}]}");
  handle_conversation(OWNER, "x");
  EXPECT_THAT(h.texts_sent(), ElementsAre("I'm experiencing some internal complexity, Boss."));
  const auto errors = logs.messages(Level::error);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_THAT(errors[0], ::testing::HasSubstr("nest deeper than 512 levels"));
  EXPECT_TRUE(h.identity.updates.empty());
}

json one_search() {
  return json::parse(R"([{"module": "web_search", "command": "search", "args": {"query": "x"}}])");
}

TEST_F(Conversation, SummarizerJsonReachesTheOwnerAsItsReply) {
  h.provider->answer = {json::parse(R"({"results": [{"url": "https://a.example"}]})"), ""};
  const std::vector<std::pair<std::string, std::string>> cases = {
      {fenced(worker("done", "*Rain* in Lahore today.")), "*Rain* in Lahore today."},
      {R"({"reply": 5})", R"({"reply": 5})"},
      {"Plain {text} with braces.", "Plain {text} with braces."},
  };
  for (const auto& [summary, delivered] : cases) {
    h.reply(router("web_search", nullptr));
    h.reply(worker("awaiting_data", "", one_search()));
    h.reply(summary);
    handle_conversation(OWNER, "news?");
    EXPECT_EQ(h.texts_sent().back(), delivered);
    EXPECT_EQ(stored().back(), msg("assistant", delivered));
  }
}

TEST_F(Conversation, BlankRepliesAreReplacedByTheFallbackAndNotStored) {
  h.provider->answer = {json::parse(R"({"results": [{"url": "https://a.example"}]})"), ""};
  const std::vector<std::vector<std::string>> scripts = {
      {worker("done", " \n ")},
      {worker("needs_clarity", "")},
      {worker("error", "\t")},
      {worker("awaiting_data", "", one_search()), "  \u00a0 "},
      {worker("awaiting_data", "", one_search()), R"({"reply": "  "})"},
  };
  for (const auto& script : scripts) {
    h.reply(router(script.size() == 1 ? "identity" : "web_search", nullptr));
    for (const auto& reply : script) h.reply(reply);
    handle_conversation(OWNER, "x");
  }
  EXPECT_EQ(h.texts_sent(), std::vector<std::string>(scripts.size(), "I'm not sure how to respond to that, Boss."));
  for (const auto& entry : stored()) EXPECT_EQ(entry["role"], "user");
}

TEST_F(Conversation, SummarizerFixedReplyAndAbsentContentAreNotRelayedRaw) {
  h.provider->answer = {json::parse(R"({"results": [{"url": "https://a.example"}]})"), ""};
  const json search = json::parse(R"([{"module": "web_search", "command": "search", "args": {"query": "x"}}])");
  h.reply(router("web_search", nullptr));
  h.reply(worker("awaiting_data", "", search));
  h.reply(std::string(lexgate::NO_KEY_REPLY));
  handle_conversation(OWNER, "news?");
  h.reply(router("web_search", nullptr));
  h.reply(worker("awaiting_data", "", search));
  h.reply(std::nullopt);
  handle_conversation(OWNER, "news?");

  EXPECT_THAT(h.texts_sent(),
              ElementsAre("Please configure a Groq API key to start chatting. Run \"talmo onboard\" to set it up.",
                          "I'm experiencing some internal complexity, Boss."));
  EXPECT_EQ(stored(), json::array({msg("user", "news?"), msg("user", "news?")}));
}

}  // namespace
}  // namespace talmo::interpreter
