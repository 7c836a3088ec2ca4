// A photo and a document from the owner, end to end over loopback: the
// bridge's webhook, the real app with its stores, Poppler, and a fake Groq
// that first reads the file and then answers the conversation.
#include "core/prompts/messages/media_notices.hpp"
#include "integration.hpp"
#include "testing/pdf.hpp"

#include <gtest/gtest.h>

namespace talmo::integration {
namespace {

std::string small_talk(const std::string& text) {
  return json({{"thought", "chat"}, {"module", nullptr}, {"response", text}}).dump();
}

class MediaE2E : public ::testing::Test {
 protected:
  void SetUp() override { log::set_stderr_enabled(false); }
  void TearDown() override {
    if (app) app->stop();
    log::set_stderr_enabled(true);
  }

  json post(const std::string& path, const httplib::Headers& headers, const std::string& body,
            const std::string& type) {
    httplib::Client client("127.0.0.1", app->port());
    client.set_read_timeout(30, 0);
    auto res = client.Post(path, headers, body, type);
    if (!res) return json{{"transport_error", httplib::to_string(res.error())}};
    return json::parse(res->body);
  }

  // The usage rows' stages, in order (after the app stopped).
  std::vector<std::string> stages() const {
    SQLite::Database db((rig.config.data_dir / "talmo.db").string(), SQLite::OPEN_READONLY);
    SQLite::Statement q(db, "SELECT stage FROM model_calls ORDER BY rowid");
    std::vector<std::string> out;
    while (q.executeStep()) out.push_back(q.getColumn(0).getString());
    return out;
  }

  Rig rig;
  std::unique_ptr<app::App> app;
};

TEST_F(MediaE2E, APhotoWithACaptionGetsTheConversationsAnswer) {
  script_chat(rig.groq, {"A receipt from Café Central, 3 June 2026: total EUR 12.50.",
                         small_talk("It was EUR 12.50, Boss.")});
  app = rig.start();
  const std::string jpeg("\xFF\xD8\xFF\xE0\0\x10JFIF", 10);
  EXPECT_EQ(post("/whatsapp/incoming/image", {{"X-Sender", OWNER}, {"X-Caption", "how%20much%20was%20it%3F"}}, jpeg,
                 "image/jpeg"),
            json({{"status", "received"}}));
  ASSERT_TRUE(rig.bridge.wait_for(1, "/send"));
  EXPECT_EQ(rig.sent_texts(), std::vector<std::string>{"It was EUR 12.50, Boss."});
  // Typing shows while the photo is read, before the conversation begins.
  const auto calls = rig.bridge_calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[0].first, "/presence");
  EXPECT_EQ(calls[0].second["state"], "composing");

  const auto requests = rig.chat_requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0]["model"], "meta-llama/llama-4-scout-17b-16e-instruct");
  EXPECT_EQ(requests[0]["messages"][0]["content"][1]["image_url"]["url"], "data:image/jpeg;base64,/9j/4AAQSkZJRg==");
  const std::string text = "how much was it?\n[Photo: A receipt from Café Central, 3 June 2026: total EUR 12.50.]";
  EXPECT_EQ(requests[1]["model"], "llama-3.3-70b-versatile");
  EXPECT_EQ(requests[1]["messages"].back(), json({{"role", "user"}, {"content", text}}));
  app->stop();
  EXPECT_EQ(rig.stored_history(OWNER),
            json::array({{{"role", "user"}, {"content", text}},
                         {{"role", "assistant"}, {"content", "It was EUR 12.50, Boss."}}}));
  EXPECT_EQ(stages(), (std::vector<std::string>{"vision", "router"}));
}

TEST_F(MediaE2E, APdfWithACaptionGetsTheConversationsAnswer) {
  script_chat(rig.groq, {"Invoice 117 from ACME, EUR 1,234.56, due 15 March 2027.",
                         small_talk("It is due on 15 March 2027, Boss.")});
  app = rig.start();
  const std::string pdf = testing::make_pdf({"Invoice 117, issued 15 February 2027", "Total EUR 1,234.56"});
  EXPECT_EQ(post("/whatsapp/incoming/document",
                 {{"X-Sender", OWNER}, {"X-Caption", "when%20is%20this%20due%3F"}, {"X-File-Name", "invoice.pdf"},
                  {"X-Quoted", "send%20me%20the%20invoice"}},
                 pdf, "application/pdf"),
            json({{"status", "received"}}));
  ASSERT_TRUE(rig.bridge.wait_for(1, "/send"));
  EXPECT_EQ(rig.sent_texts(), std::vector<std::string>{"It is due on 15 March 2027, Boss."});

  const auto requests = rig.chat_requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0]["messages"][1]["content"],
            "Caption: when is this due?\nFile name: invoice.pdf\nPages: 2\nText:\n"
            "Invoice 117, issued 15 February 2027\n\nTotal EUR 1,234.56");
  const std::string text = "[Replying to: “send me the invoice”]\nwhen is this due?\n"
                           "[Document “invoice.pdf”, 2 pages: Invoice 117 from ACME, EUR 1,234.56, due 15 March 2027.]";
  EXPECT_EQ(requests[1]["messages"].back(), json({{"role", "user"}, {"content", text}}));
  app->stop();
  EXPECT_EQ(rig.stored_history(OWNER)[0]["content"], text);
  EXPECT_EQ(stages(), (std::vector<std::string>{"document", "router"}));
}

// The owner hears why; nothing is stored and no conversation runs.
TEST_F(MediaE2E, AnUnreadableFileGetsOneNoticeThatIsNotStored) {
  rig.groq.reply("POST", "/chat/completions", 503, R"({"error": {"message": "over capacity"}})");
  app = rig.start();
  EXPECT_EQ(post("/whatsapp/incoming/image", {{"X-Sender", OWNER}}, "\xFF\xD8\xFF", "image/jpeg"),
            json({{"status", "ignored"}, {"reason", "Image could not be read"}}));
  EXPECT_EQ(post("/whatsapp/incoming/document", {{"X-Sender", OWNER}}, testing::make_pdf({""}), "application/pdf"),
            json({{"status", "ignored"}, {"reason", "Document has no text"}}));
  ASSERT_TRUE(rig.bridge.wait_for(2, "/send"));
  EXPECT_EQ(rig.sent_texts(),
            (std::vector<std::string>{messages::PHOTO_UNREADABLE_NOTICE, messages::DOCUMENT_NO_TEXT_NOTICE}));
  app->stop();
  EXPECT_EQ(rig.stored_history(OWNER), json::array());
}

}  // namespace
}  // namespace talmo::integration
