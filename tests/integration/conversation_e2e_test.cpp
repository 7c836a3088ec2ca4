// Whole conversations over loopback: the owner's webhook, the real app and
// its SQLite stores, a fake Groq answering from a per-test script, a fake
// Tavily and a fake bridge. Each test checks what the owner got, what the
// model was sent (prompts, history, server results) and what the memory kept.
#include "integration.hpp"

#include "core/prompts/templates/templates.hpp"

#include <date/date.h>
#include <gtest/gtest.h>

namespace talmo::integration {
namespace {

using namespace std::chrono;
using Texts = std::vector<std::string>;

const char* const CLOSING = "\nPlease synthesize the final answer for Boss.";

json message(const std::string& role, const std::string& content) {
  return {{"role", role}, {"content", content}};
}

class ConversationE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    log::set_stderr_enabled(false);
    rig.config.tavily_base_url = tavily.url();
    rig.config.tavily_api_key = "tvly-e2e-key";
  }
  void TearDown() override {
    if (app) app->stop();
    log::set_stderr_enabled(true);
  }

  void start() { app = rig.start(clock); }

  // Posts the owner's text and waits until the bridge has sent `sends_in_all`
  // texts since the app started.
  void say(const std::string& text, std::size_t sends_in_all) {
    ASSERT_EQ(post_text(app->port(), OWNER, text), json({{"status", "received"}}));
    ASSERT_TRUE(rig.bridge.wait_for(sends_in_all, "/send"))
        << "the bridge got " << rig.sent_texts().size() << " texts after \"" << text << "\"";
  }

  // The persona block as the fake clock and the default profile fill it;
  // `extra` is the display text of the profile's further entries.
  std::string filled_persona(const std::string& extra = "{}") const {
    const date::sys_seconds t = floor<seconds>(now);
    return "\nYou are Talmo, a personal AI assistant. You are speaking to Boss.\n"
           "Your tone is: Professional.\n"
           "Your response type must be: Concise.\n"
           "Today is: " + date::format("%A, %F", floor<days>(t)) + ", " + date::format("%T", t) +
           " (UTC).\n"
           "Additional info about Boss: " + extra + ".\n";
  }

  // Every composed prompt and the router prompt open with a line break and the persona.
  void expect_prompt_with_persona(const json& system, const std::string& extra = "{}") const {
    ASSERT_EQ(system["role"], "system");
    const std::string content = system["content"];
    EXPECT_TRUE(content.starts_with("\n" + filled_persona(extra)))
        << "expected the persona:\n" << filled_persona(extra) << "\ngot:\n" << content.substr(0, 400);
    for (const char* placeholder : {"{owner}", "{tone}", "{bot_name}", "{current_date}"})
      EXPECT_EQ(content.find(placeholder), std::string::npos) << placeholder;
  }

  const TimePoint now = floor<seconds>(system_clock::now());
  std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>(now);
  testing::FakeServer tavily;
  Rig rig;
  std::unique_ptr<app::App> app;
};

// The router answers small talk itself; the answer is kept and comes back as
// history on the next request, after the system prompt and before the new message.
TEST_F(ConversationE2E, SmallTalkIsAnsweredAndBecomesHistory) {
  script_chat(rig.groq, {R"({"thought": "greet", "module": null, "response": "Hello, Boss."})",
                         R"({"thought": "thanks", "module": "null", "response": "Anytime, Boss."})"});
  start();
  say("hi", 1);
  auto calls = rig.bridge_calls();
  ASSERT_EQ(calls.size(), 2u);
  // Each text carries the outbox's id for it: 128 random bits in hex.
  EXPECT_EQ(calls[1].second.value("id", "").size(), 32u) << calls[1].second.dump();
  calls[1].second.erase("id");
  EXPECT_EQ(calls[0], std::make_pair(std::string("/presence"),
                                     json({{"to", "15551234567@s.whatsapp.net"}, {"state", "composing"}})));
  EXPECT_EQ(calls[1], std::make_pair(std::string("/send"),
                                     json({{"to", "15551234567@s.whatsapp.net"}, {"text", "Hello, Boss."}})));

  say("Thanks!", 2);
  app->stop();
  EXPECT_EQ(rig.sent_texts(), (Texts{"Hello, Boss.", "Anytime, Boss."}));

  const auto requests = rig.chat_requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].size(), 2u) << requests[0].dump();
  EXPECT_EQ(requests[0]["model"], "llama-3.3-70b-versatile");
  EXPECT_EQ(rig.groq.requests_to("/chat/completions")[0].header("Authorization"), "Bearer gsk_test");

  const json& first = requests[0]["messages"];
  ASSERT_EQ(first.size(), 2u);
  expect_prompt_with_persona(first[0]);
  EXPECT_NE(first[0]["content"].get<std::string>().find("### YOUR TASK"), std::string::npos);
  EXPECT_EQ(first[1], message("user", "hi"));

  EXPECT_EQ(requests[1]["messages"],
            json::array({first[0], message("user", "hi"), message("assistant", "Hello, Boss."),
                         message("user", "Thanks!")}));
  EXPECT_EQ(rig.stored_history(OWNER),
            json::array({message("user", "hi"), message("assistant", "Hello, Boss."),
                         message("user", "Thanks!"), message("assistant", "Anytime, Boss.")}));
}

TEST_F(ConversationE2E, WithoutKeysTheOwnerIsToldToConfigureOne) {
  rig.config.groq_api_keys = {};
  start();
  say("hi", 1);
  app->stop();
  EXPECT_EQ(rig.sent_texts(),
            Texts{"Please configure a Groq API key to start chatting. Run \"talmo onboard\" to set it up."});
  EXPECT_TRUE(rig.groq.requests().empty());
  // The fixed reply is not part of the conversation.
  EXPECT_EQ(rig.stored_history(OWNER), json::array({message("user", "hi")}));
}

// Fetch, then update: the model sees the whole profile as JSON text (non-ASCII
// escaped, stored order), and the update lands in the SQLite profile.
TEST_F(ConversationE2E, IdentityWorkerFetchesThenUpdatesTheProfile) {
  const std::string fetch_turn =
      "Let me look at the profile first.\n```json\n{\n  \"thought\": \"check for a city key\",\n"
      "  \"reply\": \"\",\n  \"status\": \"awaiting_data\",\n"
      "  \"actions\": [{\"module\": \"identity\", \"command\": \"fetch\", \"args\": [\"all\"]}],\n"
      "  \"context_cache\": {}\n}\n```";
  const std::string reply = "Got it, Boss. I've updated your city to Lahore.";
  script_chat(rig.groq,
              {R"({"thought": "profile change", "module": "Identity", "response": ""})", fetch_turn,
               R"({"thought": "city exists, update it", "reply": ")" + reply +
                   R"(", "status": "done", "actions": [{"module": "identity", "command": "update", "args": {"city": "Lahore"}}], "context_cache": {}})"});
  start();
  app->services().identity().update_identity(json{{"city", "Karachi"}, {"greeting", "Salām"}});

  say("I moved to Lahore", 1);
  EXPECT_EQ(rig.sent_texts(), Texts{reply});
  say("/i", 2);
  EXPECT_EQ(rig.sent_texts().back(),
            "👤 *Identity Profile*\n\n*Bot Name:* Talmo\n*Owner:* Boss\n*Tone:* Professional\n"
            "*Response Type:* Concise\n\n*Additional Info:*\n   › City: Lahore\n   › Greeting: Salām");
  app->stop();

  const auto requests = rig.chat_requests();
  ASSERT_EQ(requests.size(), 3u);
  const json& turn1 = requests[1]["messages"];
  ASSERT_EQ(turn1.size(), 2u);
  expect_prompt_with_persona(turn1[0], "{'city': 'Karachi', 'greeting': 'Salām'}");
  EXPECT_NE(turn1[0]["content"].get<std::string>().find("### 🛠 Identity Module"), std::string::npos);
  EXPECT_EQ(turn1[1], message("user", "I moved to Lahore"));

  const json& turn2 = requests[2]["messages"];
  ASSERT_EQ(turn2.size(), 4u);
  EXPECT_EQ(turn2[0], turn1[0]);
  EXPECT_EQ(turn2[1], turn1[1]);
  EXPECT_EQ(turn2[2], message("assistant", fetch_turn));
  EXPECT_EQ(turn2[3], message("user", std::string("SERVER_RESULT:\nDATA: ") +
                                          R"({"bot_name": "Talmo", "owner": "Boss", "tone": "Professional", )"
                                          R"("response_type": "Concise", "city": "Karachi", "greeting": "Sal\u0101m"})" +
                                          CLOSING));

  EXPECT_EQ(rig.stored_history(OWNER),
            json::array({message("user", "I moved to Lahore"), message("assistant", reply)}));
}

// A reminder for tomorrow at 6 pm: the empty board comes back as the server
// result, the add lands in the registry and shows on the task board.
TEST_F(ConversationE2E, SchedulesWorkerAddsAReminderThatShowsOnTheBoard) {
  const std::string run_date =
      date::format("%F", floor<days>(date::sys_seconds(floor<seconds>(now))) + days{1}) + " 18:00:00";
  const std::string fetch_turn =
      R"({"thought": "look at the registry", "reply": "One moment, Boss.", "status": "awaiting_data", )"
      R"("actions": [{"module": "schedules", "command": "fetch", "args": {}}], "context_cache": {}})";
  const std::string reply = "Done, Boss. I'll remind you tomorrow at 6 PM to call mom.";
  const json add = {{"title", "Call mom"},
                    {"mode", "direct"},
                    {"fixed_content", "Time to call mom, Boss."},
                    {"trigger_type", "date"},
                    {"trigger_args", {{"run_date", run_date}}}};
  script_chat(rig.groq,
              {R"({"thought": "a reminder", "module": "schedules", "response": "ignored"})", fetch_turn,
               json({{"thought", "free slot, add it"},
                     {"reply", reply},
                     {"status", "done"},
                     {"actions", json::array({{{"module", "schedules"}, {"command", "add"}, {"args", add}}})},
                     {"context_cache", json::object()}})
                   .dump()});
  start();
  say("remind me at 6 pm to call mom", 2);
  EXPECT_EQ(rig.sent_texts(), (Texts{"One moment, Boss.", reply}));
  say("/s", 3);
  EXPECT_EQ(rig.sent_texts().back(), "*Task Board — 1 Active Task(s)*\n\n*1.* Call mom\n"
                                     "   › ⏳ One-time · Runs at: `" + run_date + "`\n"
                                     "   › Next: `" + run_date + "` · Ends: `No end date`");
  app->stop();

  const auto requests = rig.chat_requests();
  ASSERT_EQ(requests.size(), 3u);
  const json& turn2 = requests[2]["messages"];
  ASSERT_EQ(turn2.size(), 4u);
  expect_prompt_with_persona(turn2[0]);
  EXPECT_NE(turn2[0]["content"].get<std::string>().find("### ⏰ Schedules Module (The Registry)"), std::string::npos);
  EXPECT_EQ(turn2[1], message("user", "remind me at 6 pm to call mom"));
  EXPECT_EQ(turn2[2], message("assistant", fetch_turn));
  EXPECT_EQ(turn2[3], message("user", "SERVER_RESULT:\nDATA: []\nPlease synthesize the final answer for Boss."));

  // The interim reply went out but is not remembered.
  EXPECT_EQ(rig.stored_history(OWNER),
            json::array({message("user", "remind me at 6 pm to call mom"), message("assistant", reply)}));
}

// A search, the results handed to the summarizer as the web-search payload,
// and the summary delivered untouched and remembered.
TEST_F(ConversationE2E, WebSearchResultsAreSummarisedForTheOwner) {
  tavily.reply("POST", "/search", 200,
               R"({"query": "Pakistan latest news today", "follow_up_questions": null, )"
               R"("answer": "Pakistan’s parliament passed the budget; heavy rain hit Lahore.", "images": [], )"
               R"("results": [{"title": "Parliament passes budget", "url": "https://www.dawn.com/news/1900001", )"
               R"("content": "The National Assembly approved the federal budget on Friday.", "score": 0.91, )"
               R"("raw_content": null, "published_date": "Fri, 13 Jun 2025 10:00:00 GMT"}, )"
               R"({"title": "Monsoon rain lashes Lahore", "url": "https://tribune.com.pk/story/2000002", )"
               R"("content": "Lahore recorded 120 mm of rain – the most this year.", "score": 0.875, )"
               R"("raw_content": null, "published_date": "Fri, 13 Jun 2025 08:30:00 GMT"}], "response_time": 1.12})");
  const std::string search_turn =
      R"({"thought": "news query", "reply": "Searching for the latest Pakistan news...", "status": "awaiting_data", )"
      R"("actions": [{"module": "web_search", "command": "search", "args": {"query": "Pakistan latest news today", )"
      R"("topic": "news", "search_depth": "basic", "max_results": 5, "days": 1, "include_domains": [], )"
      R"("exclude_domains": []}}], "context_cache": {}})";
  // Plain text with markup, an emoji and a final line break: it must arrive as written.
  const std::string summary =
      "*Parliament passes budget*\nThe National Assembly approved the federal budget on Friday.\ndawn.com\n\n"
      "*Monsoon rain lashes Lahore* 🌧️\nLahore saw its heaviest rain this year.\ntribune.com.pk\n";
  script_chat(rig.groq, {R"({"thought": "live news", "module": "web_search", "response": ""})", search_turn,
                         summary,
                         R"({"thought": "thanks", "module": null, "response": "You're welcome, Boss."})"});
  start();
  const std::string question = "what's the news in Pakistan today?";
  say(question, 2);
  EXPECT_EQ(rig.sent_texts(), (Texts{"Searching for the latest Pakistan news...", summary}));
  say("thanks", 3);
  app->stop();

  const auto searches = tavily.requests_to("/search");
  ASSERT_EQ(searches.size(), 1u);
  EXPECT_EQ(searches[0].header("Authorization"), "Bearer tvly-e2e-key");
  const json search = json::parse(searches[0].body);
  EXPECT_EQ(search["include_answer"], true);
  EXPECT_EQ(search["query"], "Pakistan latest news today");
  EXPECT_EQ(search["topic"], "news");
  EXPECT_EQ(search["max_results"], 5);
  EXPECT_EQ(search["days"], 1);
  EXPECT_FALSE(search.contains("api_key"));

  const auto requests = rig.chat_requests();
  ASSERT_EQ(requests.size(), 4u);
  const json& worker = requests[1]["messages"];
  ASSERT_EQ(worker.size(), 2u);
  EXPECT_NE(worker[0]["content"].get<std::string>().find("### 🔍 Web Search Module"), std::string::npos);

  const json& summarizer = requests[2]["messages"];
  ASSERT_EQ(summarizer.size(), 4u);
  expect_prompt_with_persona(summarizer[0]);
  const std::string system = summarizer[0]["content"];
  EXPECT_NE(system.find("\n  - **OUTPUT TYPE**: Respond in PLAIN TEXT only. Do not use JSON.\n"),
            std::string::npos);
  EXPECT_NE(system.find("\n  **TONE**: Match the Professional tone.\n"), std::string::npos);
  EXPECT_EQ(system.find("### 🔍 Web Search Module"), std::string::npos);
  EXPECT_EQ(summarizer[1], message("user", question));
  EXPECT_EQ(summarizer[2], message("assistant", search_turn));
  EXPECT_EQ(summarizer[3],
            message("user",
                    std::string("SERVER_RESULT:\n") +
                        R"({"original_query": "what's the news in Pakistan today?", )"
                        R"("tavily_answer": "Pakistan\u2019s parliament passed the budget; heavy rain hit Lahore.", )"
                        R"("raw_results": [{"title": "Parliament passes budget", "url": "https://www.dawn.com/news/1900001", )"
                        R"("content": "The National Assembly approved the federal budget on Friday.", "score": 0.91, )"
                        R"("raw_content": null, "published_date": "Fri, 13 Jun 2025 10:00:00 GMT"}, )"
                        R"({"title": "Monsoon rain lashes Lahore", "url": "https://tribune.com.pk/story/2000002", )"
                        R"("content": "Lahore recorded 120 mm of rain \u2013 the most this year.", "score": 0.875, )"
                        R"("raw_content": null, "published_date": "Fri, 13 Jun 2025 08:30:00 GMT"}]})" +
                        CLOSING));

  // The summary is the conversation's one remembered answer; the interim reply is not.
  EXPECT_EQ(requests[3]["messages"],
            json::array({requests[0]["messages"][0], message("user", question), message("assistant", summary),
                         message("user", "thanks")}));
  EXPECT_EQ(rig.sent_texts().back(), "You're welcome, Boss.");
  EXPECT_EQ(rig.stored_history(OWNER),
            json::array({message("user", question), message("assistant", summary), message("user", "thanks"),
                         message("assistant", "You're welcome, Boss.")}));

  // Each model call is counted under the stage that made it, with no content.
  db::Database db((rig.config.data_dir / "talmo.db").string());
  const std::string stages = db.with([](SQLite::Database& raw) {
    SQLite::Statement q(raw, "SELECT group_concat(stage || ':' || ok, ' ') FROM (SELECT * FROM model_calls ORDER BY id)");
    q.executeStep();
    return q.getColumn(0).getString();
  });
  EXPECT_EQ(stages, "router:1 worker:1 summarizer:1 router:1");
}

}  // namespace
}  // namespace talmo::integration
