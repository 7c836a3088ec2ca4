// The photo and document webhooks, with the readers (model calls) faked.
#include "core/prompts/messages/media_notices.hpp"
#include "routes/ingrest/ingrest.hpp"
#include "support/log.hpp"
#include "testing/socket.hpp"
#include "web/server.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

#include <mutex>

namespace talmo::ingrest {
namespace {

using O = media::Reading::Outcome;
const char* const OWNER = "15551234567";

struct Call {
  std::string what, number, text;  // "notice", "typing", "read", "conversation"
};

class MediaRoutesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log::set_stderr_enabled(false);
    Bindings b;
    b.master_number = "+1 555 123 4567";
    b.enqueue_conversation = [this](const std::string& n, const std::string& m) { record({"conversation", n, m}); };
    b.read_photo = [this](std::string_view image, std::string_view type, const std::string& caption) {
      record({"read", std::string(type), caption});
      seen_bytes = std::string(image);
      return reading;
    };
    b.read_document = [this](std::string_view file, std::string_view type, const std::string& caption,
                             const std::string& name) {
      record({"read", std::string(type) + " " + name, caption});
      seen_bytes = std::string(file);
      return reading;
    };
    b.send_notice = [this](const std::string& n, const std::string& t) { record({"notice", n, t}); };
    b.set_typing = [this](const std::string& n, bool on) {
      record({"typing", n, on ? "on" : "off"});
      return true;
    };
    bind(std::move(b));
  }
  void TearDown() override { log::set_stderr_enabled(true); }

  void record(Call c) {
    std::lock_guard l(mu);
    calls.push_back(std::move(c));
  }
  std::vector<Call> of(const std::string& what) {
    std::lock_guard l(mu);
    std::vector<Call> out;
    for (auto& c : calls)
      if (c.what == what) out.push_back(c);
    return out;
  }

  // A request whose body arrives in the given chunks; counts reads.
  MediaRequest request(std::string sender, std::vector<std::string> chunks, bool declare_length = true) {
    MediaRequest r;
    r.sender = std::move(sender);
    r.content_type = "image/jpeg";
    std::uint64_t total = 0;
    for (auto& c : chunks) total += c.size();
    if (declare_length) r.content_length = total;
    r.read_body = [this, chunks](const BodySink& sink) {
      ++body_reads;
      for (auto& c : chunks)
        if (!sink(c)) return false;
      return true;
    };
    return r;
  }

  using Handler = Answer (*)(const MediaRequest&);
  static constexpr Handler IMAGE = handle_incoming_image_message;
  static constexpr Handler DOCUMENT = handle_incoming_document_message;

  std::mutex mu;
  std::vector<Call> calls;
  media::Reading reading{O::read, "how much?\n[Photo: A receipt: EUR 12.50]"};
  std::string seen_bytes;
  int body_reads = 0;
};

json ignored(const char* reason) { return {{"status", "ignored"}, {"reason", reason}}; }

TEST_F(MediaRoutesTest, NoSenderOrAStrangerIsAnsweredWithoutReadingTheBody) {
  log::Capture cap;
  for (Handler route : {IMAGE, DOCUMENT}) {
    EXPECT_EQ(route(request("", {"\xFF\xD8\xFF"})).body, ignored("Missing X-Sender header"));
    EXPECT_EQ(route(request("15551234568", {"\xFF\xD8\xFF"})).body, json({{"status", "unauthorized"}}));
  }
  EXPECT_EQ(body_reads, 0);
  EXPECT_TRUE(calls.empty());
  EXPECT_TRUE(cap.has(log::Level::warning, "Unauthorized! Sender 15551234568 does not match Master 15551234567"));
}

// Every way a file goes unread: its reason to the bridge, one notice to the
// owner (none for an empty body), and no conversation.
TEST_F(MediaRoutesTest, EachUnreadFileGetsItsReasonAndOneNotice) {
  struct Case {
    Handler route;
    std::optional<O> outcome;  // nothing: an empty body, never read
    const char* reason;
    const std::string* notice;
  } cases[] = {
      {IMAGE, std::nullopt, "Empty image body", nullptr},
      {IMAGE, O::unsupported, "Unsupported image type", &messages::PHOTO_UNSUPPORTED_NOTICE},
      {IMAGE, O::too_large, "Image too large", &messages::PHOTO_TOO_LARGE_NOTICE},
      {IMAGE, O::unreadable, "Image could not be read", &messages::PHOTO_UNREADABLE_NOTICE},
      {DOCUMENT, std::nullopt, "Empty document body", nullptr},
      {DOCUMENT, O::unsupported, "Unsupported document type", &messages::DOCUMENT_UNSUPPORTED_NOTICE},
      {DOCUMENT, O::too_large, "Document too large", &messages::DOCUMENT_TOO_LARGE_NOTICE},
      {DOCUMENT, O::no_text, "Document has no text", &messages::DOCUMENT_NO_TEXT_NOTICE},
      {DOCUMENT, O::encrypted, "Document is encrypted", &messages::DOCUMENT_ENCRYPTED_NOTICE},
      {DOCUMENT, O::unreadable, "Document could not be read", &messages::DOCUMENT_UNREADABLE_NOTICE},
  };
  for (const auto& c : cases) {
    calls.clear();
    if (c.outcome) reading = {*c.outcome, ""};
    const Answer a = c.route(request(OWNER, c.outcome ? std::vector<std::string>{"%PDF-", "bytes"}
                                                      : std::vector<std::string>{"", ""}));
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body, ignored(c.reason)) << c.reason;
    const auto notices = of("notice");
    if (!c.notice) {
      EXPECT_TRUE(notices.empty()) << c.reason;
      EXPECT_TRUE(of("read").empty()) << c.reason;
    } else {
      ASSERT_EQ(notices.size(), 1u) << c.reason;
      EXPECT_EQ(notices[0].number, OWNER);
      EXPECT_EQ(notices[0].text, *c.notice);
    }
    EXPECT_TRUE(of("conversation").empty()) << c.reason;
  }
}

// Nothing past the limit is held: a declared length is refused unread, an
// undeclared one stops being read there; the limit itself is read.
TEST_F(MediaRoutesTest, ABodyOverTheLimitIsRefusedWithANotice) {
  struct Case {
    Handler route;
    std::size_t limit;
    const char* reason;
  } cases[] = {{IMAGE, media::MAX_PHOTO_BYTES, "Image too large"},
               {DOCUMENT, media::MAX_DOCUMENT_BYTES, "Document too large"}};
  for (const auto& c : cases) {
    const std::string half(c.limit / 2, 'x');
    calls.clear();
    body_reads = 0;
    EXPECT_EQ(c.route(request(OWNER, {half, half, "x"})).body, ignored(c.reason));
    EXPECT_EQ(body_reads, 0);
    EXPECT_EQ(c.route(request(OWNER, {half, half, "x"}, /*declare_length=*/false)).body, ignored(c.reason));
    EXPECT_EQ(of("notice").size(), 2u);
    EXPECT_TRUE(of("read").empty());
    EXPECT_EQ(c.route(request(OWNER, {half, std::string(c.limit - half.size(), 'y')}, false)).body["status"],
              "received");
    EXPECT_EQ(seen_bytes.size(), c.limit);
  }
}

// Typing first; the reader gets the posted bytes, the type and the decoded
// caption (and file name); the conversation runs on its text, after the
// line naming the message replied to.
TEST_F(MediaRoutesTest, TheConversationRunsOnTheReadingAfterTheReplyingToLine) {
  log::Capture cap;
  MediaRequest r = request(OWNER, {"\xFF\xD8", "\xFF-jpeg"});
  r.caption = "how%20much%3F%20%F0%9F%A7%BE";
  r.quoted = "Lunch%20with%20%E2%80%9CAnna%E2%80%9D";
  EXPECT_EQ(handle_incoming_image_message(r).body, json({{"status", "received"}}));
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].what, "typing");
  EXPECT_EQ(calls[0].text, "on");
  EXPECT_EQ(calls[1].what, "read");
  EXPECT_EQ(calls[1].number, "image/jpeg");
  EXPECT_EQ(calls[1].text, "how much? 🧾");
  EXPECT_EQ(seen_bytes, "\xFF\xD8\xFF-jpeg");
  EXPECT_EQ(calls[2].what, "conversation");
  EXPECT_EQ(calls[2].number, OWNER);
  EXPECT_EQ(calls[2].text, "[Replying to: “Lunch with “Anna””]\nhow much?\n[Photo: A receipt: EUR 12.50]");
  EXPECT_TRUE(cap.has(log::Level::success, "Verified Boss photo. Handing off to AI..."));

  calls.clear();
  reading = {O::read, "[Document “Rechnung März.pdf”, 2 pages: due 15 March]"};
  r.content_type = "application/pdf";
  r.caption.clear();
  r.quoted.clear();
  r.file_name = "Rechnung%20M%C3%A4rz.pdf";
  EXPECT_EQ(handle_incoming_document_message(r).body, json({{"status", "received"}}));
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[1].number, "application/pdf Rechnung März.pdf");
  EXPECT_EQ(calls[1].text, "");
  EXPECT_EQ(calls[2].text, reading.text);
}

TEST_F(MediaRoutesTest, AReaderFailureIsAnErrorAndALostNoticeIsLogged) {
  log::Capture cap;
  Bindings b;
  b.master_number = "+1 555 123 4567";
  b.read_photo = [](std::string_view, std::string_view, const std::string&) -> media::Reading {
    throw std::runtime_error("out of memory");
  };
  bind(std::move(b));
  EXPECT_EQ(handle_incoming_image_message(request(OWNER, {"x"})).body,
            json({{"status", "error"}, {"message", "out of memory"}}));
  EXPECT_TRUE(cap.has(log::Level::error, "Error processing WhatsApp bridge image webhook: out of memory"));
  EXPECT_EQ(handle_incoming_document_message(request(OWNER, {"x"})).body["status"], "error");
  EXPECT_TRUE(cap.has(log::Level::error, "Error processing WhatsApp bridge document webhook: no document reader is bound"));

  // A notice that cannot be queued is logged; the answer stands.
  Bindings c;
  c.master_number = "+1 555 123 4567";
  c.read_photo = [](std::string_view, std::string_view, const std::string&) { return media::Reading{O::unreadable, ""}; };
  c.send_notice = [](const std::string&, const std::string&) { throw std::runtime_error("the outbox is full"); };
  bind(std::move(c));
  EXPECT_EQ(handle_incoming_image_message(request(OWNER, {"x"})).body, ignored("Image could not be read"));
  EXPECT_TRUE(cap.has(log::Level::error, "Could not send the owner a notice: the outbox is full"));
}

TEST(ReplyingTo, ABlankQuoteAddsNoLineAndALongOneIsCutAtWholeCharacters) {
  EXPECT_EQ(with_quote(" \n", "[Photo: a cat]"), "[Photo: a cat]");
  std::string long_quote;
  for (int i = 0; i < 400; ++i) long_quote += "👍";
  std::string cut;
  for (int i = 0; i < 300; ++i) cut += "👍";
  EXPECT_EQ(with_quote(long_quote, "[Photo: a cat]"), "[Replying to: “" + cut + "”]\n[Photo: a cat]");
}

// Over a real loopback server: the headers as the bridge sends them, and a
// stranger answered before the body arrives.
TEST_F(MediaRoutesTest, OverLoopbackTheHeadersReachTheRoutes) {
  web::ServerOptions options;
  options.port = 0;
  options.handler = dispatch;
  options.streams_body = streams_body;
  web::HttpServer server(options);
  httplib::Client client("127.0.0.1", server.port());
  auto res = client.Post("/whatsapp/incoming/image",
                         {{"X-Sender", OWNER}, {"X-Caption", "how%20much%3F"}, {"X-Quoted", "receipt"}},
                         std::string("\xFF\xD8\xFF\0\x01", 5), "image/jpeg");
  ASSERT_TRUE(res);
  EXPECT_EQ(json::parse(res->body), json({{"status", "received"}}));
  EXPECT_EQ(seen_bytes, std::string("\xFF\xD8\xFF\0\x01", 5));
  EXPECT_EQ(of("read").at(0).text, "how much?");
  EXPECT_EQ(of("conversation").at(0).text, "[Replying to: “receipt”]\n" + reading.text);

  testing::RawSocket s(server.port());
  ASSERT_TRUE(s.send("POST /whatsapp/incoming/document HTTP/1.1\r\nHost: localhost\r\nX-Sender: 4567\r\n"
                     "Content-Type: application/pdf\r\nContent-Length: 1000000\r\n\r\n"));
  const std::string got = s.read_answers(1);
  EXPECT_NE(got.find(R"({"status":"unauthorized"})"), std::string::npos) << got;
  EXPECT_EQ(of("read").size(), 1u);
}

}  // namespace
}  // namespace talmo::ingrest
