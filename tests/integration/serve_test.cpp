// The real server, in process, on an ephemeral loopback port, with fake
// bridge and Groq servers and a temporary data folder.
#include "integration.hpp"
#include "core/prompts/messages/messages.hpp"
#include "testing/socket.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

namespace talmo::integration {
namespace {

const char* const EMPTY_TASK_BOARD = "*Task Board*\n\n_No active tasks found._";

class ServeTest : public ::testing::Test {
 protected:
  void SetUp() override { log::set_stderr_enabled(false); }
  void TearDown() override { log::set_stderr_enabled(true); }

  Rig rig;
};

TEST_F(ServeTest, TheOwnersIdentityCommandGetsTypingThenTheProfile) {
  log::Capture cap;
  auto app = rig.start();
  EXPECT_TRUE(cap.has(log::Level::info, "Talmo listening on " + app->url()));

  EXPECT_EQ(post_text(app->port(), OWNER, "/I\n"), json({{"status", "received"}}));
  ASSERT_TRUE(rig.bridge.wait_for(2));
  auto calls = rig.bridge_calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].first, "/presence");
  EXPECT_EQ(calls[0].second, json({{"to", "15551234567@s.whatsapp.net"}, {"state", "composing"}}));
  EXPECT_EQ(calls[1].first, "/send");
  EXPECT_EQ(calls[1].second["to"], "15551234567@s.whatsapp.net");
  EXPECT_EQ(calls[1].second["text"], IDENTITY_REPORT);
  app->stop();
  // Special commands never reach the memory or the model.
  EXPECT_EQ(rig.stored_history(OWNER), json::array());
  EXPECT_TRUE(rig.groq.requests().empty());
}

TEST_F(ServeTest, TheTaskBoardCommandOnAnEmptyRegistry) {
  auto app = rig.start();
  EXPECT_EQ(post_text(app->port(), OWNER, "/s"), json({{"status", "received"}}));
  ASSERT_TRUE(rig.bridge.wait_for(2, "", std::chrono::seconds(10)));
  auto calls = rig.bridge_calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].second["state"], "composing");
  EXPECT_EQ(calls[1].second["text"], EMPTY_TASK_BOARD);
}

TEST_F(ServeTest, OnboardingsGreetingIsSentOnceWhenWhatsAppFirstConnects) {
  fs::create_directories(rig.config.data_dir);
  {
    db::Database db((rig.config.data_dir / "talmo.db").string());
    app::greeting::keep(db, "🔋 *Powered up, Boss.*");
  }
  std::atomic<bool> connected{false};
  rig.bridge.on("GET", "/status", [&](const testing::RecordedRequest&, httplib::Response& res) {
    res.set_content(connected ? R"({"connected": true, "paired": true, "number": "4930111222333"})"
                              : R"({"connected": false, "paired": false, "number": null})",
                    "application/json");
  });
  // The first send is not taken; the next check tries again.
  std::atomic<int> sends{0};
  rig.bridge.on("POST", "/send", [&](const testing::RecordedRequest&, httplib::Response& res) {
    res.status = sends++ == 0 ? 503 : 200;
    res.set_content(res.status == 200 ? R"({"ok": true})" : R"({"ok": false})", "application/json");
  });
  app::AppOptions options;
  options.env = rig.env.function();
  options.temp_dir = rig.scratch.path;
  options.greeting_interval = std::chrono::milliseconds(10);

  auto app = app::App::start(rig.config, options);
  ASSERT_TRUE(rig.bridge.wait_for(3, "/status"));  // pairing takes a while
  EXPECT_TRUE(rig.bridge.requests_to("/send").empty());
  connected = true;
  ASSERT_TRUE(rig.bridge.wait_for(2, "/send"));
  app->stop();
  const std::vector<std::string> once = {"🔋 *Powered up, Boss.*", "🔋 *Powered up, Boss.*"};
  EXPECT_EQ(rig.sent_texts(), once);
  EXPECT_EQ(json::parse(rig.bridge.requests_to("/send")[1].body)["to"], "15551234567@s.whatsapp.net");
  {
    db::Database db((rig.config.data_dir / "talmo.db").string());
    EXPECT_EQ(app::greeting::pending(db), std::nullopt);
  }

  // A restart has nothing left to send, so it does not even ask the bridge.
  rig.bridge.clear();
  app = app::App::start(rig.config, options);
  app->stop();
  EXPECT_TRUE(rig.bridge.requests().empty());
}

TEST_F(ServeTest, WithABridgeTokenBothDirectionsCarryIt) {
  rig.config.bridge_token = "tok-Integration-1";
  auto app = rig.start();
  EXPECT_EQ(post_text(app->port(), OWNER, "/s"), json({{"http_status", 401}}));
  httplib::Client client("127.0.0.1", app->port());
  client.set_default_headers({{"Authorization", "Bearer tok-Integration-1"}});
  auto res = client.Post("/whatsapp/incoming/text", json({{"sender", OWNER}, {"message", "/s"}}).dump(),
                         "application/json");
  ASSERT_TRUE(res);
  EXPECT_EQ(json::parse(res->body), json({{"status", "received"}}));
  ASSERT_TRUE(rig.bridge.wait_for(2, "", std::chrono::seconds(10)));
  for (const auto& r : rig.bridge.requests())
    EXPECT_EQ(r.header("Authorization"), "Bearer tok-Integration-1") << r.path;
  // A page that rebinds its name to 127.0.0.1 still names itself.
  res = httplib::Client("127.0.0.1", app->port()).Get("/internal/config", {{"Host", "attacker.example"}});
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 403);
}

TEST_F(ServeTest, AStrangerIsRefusedAndNothingReachesTheBridge) {
  auto app = rig.start();
  EXPECT_EQ(post_text(app->port(), "15551234568", "/i"), json({{"status", "unauthorized"}}));
  EXPECT_EQ(post_text(app->port(), "4567", "/i"), json({{"status", "unauthorized"}}));
  EXPECT_EQ(post_text(app->port(), "", "/i"),
            json({{"status", "ignored"}, {"reason", "Missing sender or message"}}));
  // Conversations run in arrival order: had a stranger's been queued, it
  // would have reached the bridge before the owner's.
  post_text(app->port(), OWNER, "/s");
  ASSERT_TRUE(rig.wait_idle(*app));
  app->stop();
  auto calls = rig.bridge_calls();
  ASSERT_EQ(calls.size(), 2u);
  for (auto& [path, body] : calls) EXPECT_EQ(body["to"], "15551234567@s.whatsapp.net");
  EXPECT_EQ(rig.stored_history("15551234568"), json::array());
}

TEST_F(ServeTest, MessagesAndIdentitySurviveARestartOnTheSameDataFolder) {
  auto app = rig.start();
  EXPECT_EQ(post_text(app->port(), OWNER, "Remember that I like Earl Grey"),
            json({{"status", "received"}}));
  app->services().identity().update_identity(json{{"owner", "Chief"}});
  ASSERT_TRUE(rig.wait_idle(*app));
  app->stop();
  app.reset();

  json history = rig.stored_history(OWNER);
  ASSERT_FALSE(history.empty());
  EXPECT_EQ(history[0], json({{"role", "user"}, {"content", "Remember that I like Earl Grey"}}));

  rig.bridge.clear();
  app = rig.start();
  post_text(app->port(), OWNER, "/identity");
  post_text(app->port(), OWNER, "And green tea");
  ASSERT_TRUE(rig.wait_idle(*app));
  app->stop();
  app.reset();

  // The outbox sends the first reply while the next conversation may already
  // show its typing indicator: the first text sent is the profile.
  auto calls = rig.bridge_calls();
  std::erase_if(calls, [](const auto& call) { return call.first != "/send"; });
  ASSERT_GE(calls.size(), 1u);
  EXPECT_EQ(calls[0].second["text"],
            "👤 *Identity Profile*\n\n*Bot Name:* Talmo\n*Owner:* Chief\n*Tone:* Professional\n"
            "*Response Type:* Concise");
  history = rig.stored_history(OWNER);
  std::vector<std::string> user_lines;
  for (auto& entry : history)
    if (entry["role"] == "user") user_lines.push_back(entry["content"]);
  EXPECT_EQ(user_lines, (std::vector<std::string>{"Remember that I like Earl Grey", "And green tea"}));
}

// Past the inbox's limit the webhook says so instead of "received", stores
// nothing, and takes messages again once the inbox has drained.
TEST_F(ServeTest, AFullInboxRefusesMessagesUntilItDrains) {
  std::mutex mu;
  std::condition_variable cv;
  bool release = false;
  rig.groq.on("POST", "/chat/completions", [&](const testing::RecordedRequest&, httplib::Response& res) {
    std::unique_lock lock(mu);
    cv.wait_for(lock, std::chrono::seconds(20), [&] { return release; });
    res.set_content(chat_completion(R"({"thought": "chat", "module": null, "response": "Noted, Boss."})").dump(),
                    "application/json");
  });
  auto app = rig.start(nullptr, app::InboxLimits{2, 1 << 20});
  EXPECT_EQ(post_text(app->port(), OWNER, "one"), json({{"status", "received"}}));
  EXPECT_EQ(post_text(app->port(), OWNER, "two"), json({{"status", "received"}}));
  const json refused = post_text(app->port(), OWNER, "three");
  EXPECT_EQ(refused.value("status", ""), "error");
  EXPECT_NE(refused.value("message", "").find("inbox is full"), std::string::npos) << refused;
  {
    std::lock_guard lock(mu);
    release = true;
  }
  cv.notify_all();
  ASSERT_TRUE(rig.wait_idle(*app));
  EXPECT_EQ(post_text(app->port(), OWNER, "four"), json({{"status", "received"}}));
  ASSERT_TRUE(rig.wait_idle(*app));
  app->stop();
  std::vector<std::string> asked;
  for (const json& entry : rig.stored_history(OWNER))
    if (entry["role"] == "user") asked.push_back(entry["content"]);
  EXPECT_EQ(asked, (std::vector<std::string>{"one", "two", "four"}));
}

// Another process (a backup, a sqlite3 shell) holding the database for a few
// seconds while a conversation ends delays the answer; it does not cost it.
// The model call's usage record waits out the ordinary 5 s busy time-out
// first, so the lock is held 12 s: the reply's own write then still meets
// it for longer than that time-out.
TEST_F(ServeTest, ALockHeldForSecondsByAnotherProcessDelaysTheReplyButKeepsIt) {
  std::thread holder;
  std::promise<void> locked;
  rig.groq.on("POST", "/chat/completions", [&](const testing::RecordedRequest&, httplib::Response& res) {
    if (holder.joinable()) return;  // one model call is all this conversation makes
    holder = std::thread([&, db_path = rig.config.data_dir / "talmo.db"] {
      SQLite::Database other(db_path.string(), SQLite::OPEN_READWRITE);
      other.exec("BEGIN EXCLUSIVE");
      locked.set_value();
      std::this_thread::sleep_for(std::chrono::seconds(12));
      other.exec("COMMIT");
    });
    locked.get_future().wait();
    res.set_content(chat_completion(R"({"thought": "chat", "module": null, "response": "Noted, Boss."})").dump(),
                    "application/json");
  });
  auto app = rig.start();
  EXPECT_EQ(post_text(app->port(), OWNER, "hello"), json({{"status", "received"}}));
  ASSERT_TRUE(rig.bridge.wait_for(1, "/send", std::chrono::seconds(30)));
  ASSERT_TRUE(rig.wait_idle(*app));
  app->stop();
  holder.join();
  EXPECT_EQ(rig.sent_texts(), std::vector<std::string>{"Noted, Boss."});
  EXPECT_EQ(rig.stored_history(OWNER),
            json::array({{{"role", "user"}, {"content", "hello"}}, {{"role", "assistant"}, {"content", "Noted, Boss."}}}));
}

TEST_F(ServeTest, HealthzAndTheBodyLimit) {
  auto app = rig.start();
  httplib::Client client("127.0.0.1", app->port());
  auto res = client.Get("/healthz");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(json::parse(res->body), json({{"status", "ok"}}));

  httplib::Client big("127.0.0.1", app->port());
  res = big.Post("/whatsapp/incoming/text", std::string(web::MAX_REQUEST_BODY + 1, ' '),
                 "application/json");
  if (res) {
    EXPECT_EQ(res->status, 413);
  }
}

TEST_F(ServeTest, AVoiceNoteIsTranscribedAndHandledLikeText) {
  rig.groq.reply("POST", "/audio/transcriptions", 200, "  /S \n", "text/plain");
  auto app = rig.start();
  httplib::Client client("127.0.0.1", app->port());
  auto res = client.Post("/whatsapp/incoming/audio", {{"X-Sender", OWNER}},
                         std::string("OggS\0\0fake-opus", 15), "application/octet-stream");
  ASSERT_TRUE(res);
  EXPECT_EQ(json::parse(res->body), json({{"status", "received"}}));
  ASSERT_TRUE(rig.bridge.wait_for(2));
  EXPECT_EQ(rig.bridge_calls()[1].second["text"], EMPTY_TASK_BOARD);

  auto uploads = rig.groq.requests_to("/audio/transcriptions");
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(uploads[0].form["file"].first, std::string("OggS\0\0fake-opus", 15));
  EXPECT_EQ(fs::path(uploads[0].form["file"].second).extension(), ".ogg");
  EXPECT_TRUE(rig.scratch.files().empty());

  // A stranger's voice note is refused before anything is written.
  res = client.Post("/whatsapp/incoming/audio", {{"X-Sender", "4415550000000"}}, "OggS",
                    "application/octet-stream");
  ASSERT_TRUE(res);
  EXPECT_EQ(json::parse(res->body), json({{"status", "unauthorized"}}));
  EXPECT_TRUE(rig.scratch.files().empty());
  EXPECT_EQ(rig.groq.requests_to("/audio/transcriptions").size(), 1u);
  // The unread body never passes for a request of its own: the client goes on normally.
  res = client.Get("/healthz");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
}

// A reply reaches the model, and memory, with the text it replies to; a
// sticker gets one fixed answer a minute, without the model or memory.
TEST_F(ServeTest, AReplyRunsOnItsQuoteAndAStickerIsAnsweredWithoutTheModel) {
  auto app = rig.start();
  httplib::Client client("127.0.0.1", app->port());
  const std::string with_quote = "[Replying to: \u201CReminder: dentist at 3pm\u201D]\nmove this to 5pm";
  auto res = client.Post("/whatsapp/incoming/text",
                         json({{"sender", OWNER}, {"message", "move this to 5pm"}, {"quoted", "Reminder: dentist at 3pm"}}).dump(),
                         "application/json");
  ASSERT_TRUE(res);
  EXPECT_EQ(json::parse(res->body), json({{"status", "received"}}));
  ASSERT_TRUE(Rig::wait_idle(*app));
  for (int i = 0; i < 2; ++i) {
    res = client.Post("/whatsapp/incoming/other", json({{"sender", OWNER}, {"kind", "sticker"}}).dump(), "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(json::parse(res->body), json({{"status", "received"}}));
  }
  ASSERT_TRUE(Rig::wait_idle(*app));
  app->stop();

  EXPECT_EQ(rig.sent_texts(), (std::vector<std::string>{"Noted, Boss.", messages::other_kind_message("sticker")}));
  const auto requests = rig.chat_requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0]["messages"].back(), json({{"role", "user"}, {"content", with_quote}}));
  EXPECT_EQ(rig.stored_history(OWNER), json::array({json({{"role", "user"}, {"content", with_quote}}),
                                                    json({{"role", "assistant"}, {"content", "Noted, Boss."}})}));
}

// A body whose end the server cannot know (a coding other than chunked
// alone) would otherwise be read as the next request on the connection.
TEST_F(ServeTest, ATransferEncodingOtherThanChunkedIsRefusedAndItsBodyNeverRuns) {
  auto app = rig.start();
  const std::string hidden_body = json({{"sender", OWNER}, {"message", "hidden"}}).dump();
  const std::string hidden = "POST /whatsapp/incoming/text HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                             "Content-Type: application/json\r\nContent-Length: " +
                             std::to_string(hidden_body.size()) + "\r\n\r\n" + hidden_body;
  for (const char* coding : {"gzip", "identity", "chunked, identity"}) {
    talmo::testing::RawSocket s(app->port());
    ASSERT_TRUE(s.send(std::string("POST /whatsapp/incoming/text HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                   "Content-Type: application/json\r\nTransfer-Encoding: ") +
                       coding + "\r\n\r\n" + hidden));
    const std::string got = s.read_answers(2, std::chrono::seconds(3));
    EXPECT_EQ(talmo::testing::status_codes(got), "400") << coding << ": " << got;
    EXPECT_TRUE(s.closed_within(std::chrono::seconds(3))) << coding;
  }
  ASSERT_TRUE(rig.wait_idle(*app));
  app->stop();
  EXPECT_TRUE(rig.groq.requests().empty());
  EXPECT_EQ(rig.stored_history(OWNER), json::array());
}

TEST_F(ServeTest, InternalConfigReportsTheCurrentValuesToLoopbackCallers) {
  rig.env.set("MASTER_NUMBER", "+1 555 123 4567");
  rig.env.set("GROQ_API_KEYS", "gsk_a,gsk_b");
  rig.env.set("TAVILY_API_KEY", "tvly-1");
  auto app = rig.start();
  httplib::Client client("127.0.0.1", app->port());
  auto res = client.Get("/internal/config");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->body,
            R"({"MASTER_NUMBER":"+1 555 123 4567","GROQ_API_KEYS":["gsk_a","gsk_b"],"TAVILY_API_KEY":"tvly-1"})");

  rig.env.set("TAVILY_API_KEY", "tvly-2");
  res = client.Get("/internal/config");
  ASSERT_TRUE(res);
  EXPECT_EQ(json::parse(res->body)["TAVILY_API_KEY"], "tvly-2");
}

// Sends GET /internal/config over a real socket whose source address is
// `source` (any address of the 127.0.0.0/8 range works without set-up) and
// returns the raw answer.
std::string get_config_from(const std::string& source, int port) {
  talmo::testing::RawSocket socket(port, source);
  if (!socket.send("GET /internal/config HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")) return "";
  return socket.read_answers(1);
}

// Every loopback address is served, as the Host rule takes them all: a peer
// at 127.0.0.2 is on this machine too. Tests never send traffic to the
// machine's network interfaces; the refusal of public and private addresses
// is covered with injected peers in the route's own tests.
TEST_F(ServeTest, InternalConfigServesEveryLoopbackAddressOfTheMachine) {
  auto app = rig.start();
  for (const char* source : {"127.0.0.2", "127.1.2.3"}) {
    std::string answer = get_config_from(source, app->port());
    EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << source << ": " << answer;
    EXPECT_NE(answer.find("\"MASTER_NUMBER\""), std::string::npos) << answer;
  }
}

TEST_F(ServeTest, TheIPv6LoopbackIsServedToo) {
  rig.config.host = "::1";
  std::unique_ptr<app::App> app;
  try {
    app = rig.start();
  } catch (const std::exception& e) {
    GTEST_SKIP() << "no IPv6 loopback: " << e.what();
  }
  EXPECT_EQ(app->url(), "http://[::1]:" + std::to_string(app->port()));
  httplib::Client client("::1", app->port());
  auto res = client.Get("/internal/config");
  ASSERT_TRUE(res) << httplib::to_string(res.error());
  EXPECT_EQ(res->status, 200);
}

TEST_F(ServeTest, StartingWithoutAMasterNumberIsAConfigurationError) {
  rig.config.master_number = "";
  EXPECT_THROW(rig.start(), config::ConfigError);
  EXPECT_FALSE(fs::exists(rig.config.data_dir / "talmo.db"));
}

TEST_F(ServeTest, StartUpWarnsOfMissingKeysAndOnceOfASilentBridge) {
  log::Capture cap;
  rig.config.groq_api_keys.clear();
  rig.config.tavily_api_key.clear();
  rig.bridge.stop();
  app::AppOptions options;
  options.env = rig.env.function();
  options.bridge_grace = std::chrono::milliseconds(50);
  auto app = app::App::start(rig.config, options);
  EXPECT_TRUE(cap.contains(log::Level::warning, "No Groq API key is configured"));
  EXPECT_TRUE(cap.contains(log::Level::warning, "No Tavily API key is configured"));
  auto bridge_warnings = [&] {
    std::size_t n = 0;
    for (auto& m : cap.messages(log::Level::warning))
      n += m.find("The bridge at " + rig.config.bridge_url + " is still not answering") != std::string::npos;
    return n;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (bridge_warnings() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  app->stop();
  EXPECT_EQ(bridge_warnings(), 1u);
}

TEST_F(ServeTest, AnAnsweringBridgeAndConfiguredKeysGiveNoStartUpWarning) {
  log::Capture cap;
  rig.config.tavily_api_key = "tvly-test";
  app::AppOptions options;
  options.env = rig.env.function();
  options.bridge_grace = std::chrono::milliseconds(0);
  auto app = app::App::start(rig.config, options);
  ASSERT_TRUE(rig.bridge.wait_for(1, "/status"));
  app->stop();
  EXPECT_TRUE(cap.messages(log::Level::warning).empty()) << cap.messages(log::Level::warning)[0];
}

}  // namespace
}  // namespace talmo::integration
