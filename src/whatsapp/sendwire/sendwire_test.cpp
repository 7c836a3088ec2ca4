// The bridge client against a loopback bridge: sends, typing, token, status, error lines, retry verdicts.
#include "whatsapp/sendwire/sendwire.hpp"

#include "support/json.hpp"
#include "support/log.hpp"
#include "testing/fake_server.hpp"

#include <gtest/gtest.h>

namespace talmo::sendwire {
namespace {

using talmo::testing::FakeServer;

class SendwireTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log::set_stderr_enabled(false);
    bind(bridge.url() + "/");  // a trailing slash must not double the path's
  }

  json body_of(std::size_t i) { return json::parse(bridge.requests().at(i).body); }

  log::Capture capture;
  FakeServer bridge;
};

TEST_F(SendwireTest, SendsTheTextUnchangedToTheDigitsOfTheNumber) {
  bridge.reply("POST", "/send", 200, R"({"status": "sent"})");
  const std::string text = "Hello, Boss 👋\n\"quoted\" \\ done";

  EXPECT_TRUE(send_message("+1 (555) 123-4567", text));

  auto requests = bridge.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, "/send");
  EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
  EXPECT_EQ(body_of(0), (json{{"to", "15551234567@s.whatsapp.net"}, {"text", text}}));
  EXPECT_EQ(capture.messages(log::Level::success),
            std::vector<std::string>{"Message delivered to 15551234567@s.whatsapp.net via WhatsApp bridge"});
}

TEST_F(SendwireTest, TypingPresenceComposingAndPaused) {
  bridge.reply("POST", "/presence", 200, "{}");
  EXPECT_TRUE(set_typing("923001234567", true));
  EXPECT_TRUE(set_typing("923001234567", false));
  ASSERT_EQ(bridge.requests().size(), 2u);
  EXPECT_EQ(bridge.requests()[0].path, "/presence");
  EXPECT_EQ(body_of(0), (json{{"to", "923001234567@s.whatsapp.net"}, {"state", "composing"}}));
  EXPECT_EQ(body_of(1), (json{{"to", "923001234567@s.whatsapp.net"}, {"state", "paused"}}));
  EXPECT_TRUE(capture.records().empty());
}

TEST_F(SendwireTest, TheBridgeTokenGoesWithEveryCallAndNeverIntoTheLog) {
  bridge.reply("POST", "/send", 401, R"({"ok": false, "error": "unauthorized", "seen": "tok-Abcdefgh123"})");
  bridge.reply("POST", "/presence", 200, "{}");
  bridge.reply("GET", "/status", 200, R"({"connected": true})");
  sendwire::bind(bridge.url(), "tok-Abcdefgh123");
  EXPECT_FALSE(send_message("15551234567", "hi"));
  EXPECT_TRUE(set_typing("15551234567", true));
  EXPECT_TRUE(bridge_status().connected);
  ASSERT_EQ(bridge.requests().size(), 3u);
  for (const auto& r : bridge.requests()) EXPECT_EQ(r.header("Authorization"), "Bearer tok-Abcdefgh123") << r.path;
  EXPECT_EQ(capture.messages(log::Level::error),
            std::vector<std::string>{R"(WhatsApp bridge returned status 401: {"ok": false, "error": "unauthorized", "seen": "***"})"});
  sendwire::bind(bridge.url());
  EXPECT_TRUE(set_typing("15551234567", true));
  EXPECT_EQ(bridge.requests().back().header("Authorization"), "");
}

TEST_F(SendwireTest, OnlyStatus200CountsAsDelivered) {
  bridge.reply("POST", "/send", 500, "bridge exploded", "text/plain");
  bridge.reply("POST", "/presence", 500, "bridge exploded", "text/plain");
  EXPECT_FALSE(send_message("1555", "hi"));
  EXPECT_EQ(capture.messages(log::Level::error),
            std::vector<std::string>{"WhatsApp bridge returned status 500: bridge exploded"});

  capture.clear();
  EXPECT_FALSE(set_typing("1555", true));
  EXPECT_TRUE(capture.records().empty());  // presence failures by status are silent

  bridge.reply("POST", "/send", 201, "", "text/plain");
  EXPECT_FALSE(send_message("1555", "hi"));
  EXPECT_TRUE(capture.has(log::Level::error, "WhatsApp bridge returned status 201: "));
}

TEST_F(SendwireTest, ErrorLineKeepsTheFirst500CharactersOfTheBody) {
  std::string body;
  for (int i = 0; i < 600; ++i) body += "é";
  bridge.reply("POST", "/send", 502, body, "text/plain");
  EXPECT_FALSE(send_message("1555", "hi"));
  std::string expected = "WhatsApp bridge returned status 502: ";
  for (int i = 0; i < 500; ++i) expected += "é";
  EXPECT_EQ(capture.messages(log::Level::error), std::vector<std::string>{expected});
}

TEST_F(SendwireTest, ABridgeThatIsDownGivesFalseAndAnErrorLine) {
  bridge.stop();
  EXPECT_FALSE(send_message("+1 555", "hi"));
  EXPECT_FALSE(set_typing("+1 555", true));
  auto errors = capture.messages(log::Level::error);
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0].rfind("Error calling WhatsApp bridge: Couldn't connect to server", 0), 0u) << errors[0];
  EXPECT_EQ(errors[1].rfind("Error calling WhatsApp bridge presence: Couldn't connect to server", 0), 0u)
      << errors[1];
}

TEST_F(SendwireTest, AFailedSendIsWorthRetryingUnlessTheBridgeRefusedIt) {
  const std::pair<int, Outcome> cases[] = {{200, Outcome::delivered}, {503, Outcome::retry},
                                           {500, Outcome::retry},     {429, Outcome::retry},
                                           {408, Outcome::retry},     {400, Outcome::refused},
                                           {404, Outcome::refused},   {201, Outcome::refused},
                                           {504, Outcome::retry},     {422, Outcome::refused}};
  for (const auto& [status, outcome] : cases) {
    bridge.reply("POST", "/send", status, "{}");
    EXPECT_EQ(deliver("1555", "hi", "5f0e9a"), outcome) << status;
    EXPECT_EQ(body_of(bridge.requests().size() - 1),
              (json{{"to", "1555@s.whatsapp.net"}, {"text", "hi"}, {"id", "5f0e9a"}}));
  }
  // An answer past the size limit fails the call, worth trying again.
  bridge.reply("POST", "/send", 200, std::string(MAX_ANSWER_BYTES + 1, 'x'));
  EXPECT_EQ(deliver("1555", "hi"), Outcome::retry);
  bridge.stop();
  EXPECT_EQ(deliver("1555", "hi"), Outcome::retry);
}

TEST_F(SendwireTest, ANumberWithoutDigitsStillMakesTheCall) {
  EXPECT_EQ(chat_address("Boss"), "@s.whatsapp.net");
  bridge.reply("POST", "/send", 200, "{}");
  EXPECT_TRUE(send_message("Boss", "hi"));
  EXPECT_EQ(body_of(0)["to"], "@s.whatsapp.net");
}

TEST_F(SendwireTest, BridgeStatusIsConnectedOnlyWhenTheBridgeSaysSo) {
  struct Case {
    int status;
    std::string body;
    bool reachable, connected;
  };
  const Case cases[] = {
      {200, R"({"connected": true, "paired": true, "number": "4915123456789"})", true, true},
      {200, R"({"connected": false, "paired": false, "number": null})", true, false},
      {200, R"({"connected": "yes"})", true, false},
      {200, R"([true])", false, false},
      {200, "not json", false, false},
      {200, std::string(100000, '['), false, false},
      {200, R"({"connected": true, "pad": ")" + std::string(MAX_ANSWER_BYTES, ' ') + R"("})", false, false},
      {401, R"({"ok": false, "error": "unauthorized"})", false, false},
  };
  for (const auto& c : cases) {
    bridge.reply("GET", "/status", c.status, c.body);
    const BridgeStatus s = bridge_status();
    EXPECT_EQ(s.reachable, c.reachable) << c.body.substr(0, 40);
    EXPECT_EQ(s.connected, c.connected) << c.body.substr(0, 40);
    EXPECT_EQ(s.reachable, s.error.empty()) << c.body.substr(0, 40);
  }
  for (const auto& [number, shown] : std::vector<std::pair<std::string, std::optional<std::string>>>{
           {R"("4915123456789")", "4915123456789"},
           {R"("")", std::nullopt},
           {R"("+49 151[2J")", std::nullopt},
           {"4915123456789", std::nullopt}}) {
    bridge.reply("GET", "/status", 200, R"({"connected": true, "paired": true, "number": )" + number + "}");
    EXPECT_EQ(bridge_status().number, shown) << number;
  }

  bridge.stop();
  const BridgeStatus down = bridge_status();
  EXPECT_FALSE(down.reachable);
  EXPECT_FALSE(down.connected);
  EXPECT_NE(down.error.find("Couldn't connect"), std::string::npos) << down.error;
}

TEST_F(SendwireTest, MarkAsReadSendsNothing) {
  mark_as_read("15551234567");
  EXPECT_TRUE(bridge.requests().empty());
}

}  // namespace
}  // namespace talmo::sendwire
