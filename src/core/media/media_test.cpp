#include "core/media/media.hpp"

#include "core/llm/lexgate/lexgate.hpp"
#include "core/prompts/templates/media_prompts.hpp"
#include "support/json.hpp"
#include "support/log.hpp"
#include "testing/fake_server.hpp"
#include "testing/pdf.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace talmo::media {
namespace {

namespace fs = std::filesystem;
using talmo::testing::FakeServer;
using talmo::testing::make_pdf;
using O = Reading::Outcome;
using namespace std::string_literals;

const char* const VISION = "test-vision-model";
const char* const CHAT = "test-chat-model";

std::string completion(const json& content) {
  return json{{"choices", json::array({{{"index", 0}, {"message", {{"role", "assistant"}, {"content", content}}}}})},
              {"usage", {{"prompt_tokens", 900}, {"completion_tokens", 40}, {"total_tokens", 940}}}}
      .dump();
}

struct TempFolder {
  fs::path path;
  TempFolder() {
    std::string templ = (fs::temp_directory_path() / "media-test-XXXXXX").string();
    path = ::mkdtemp(templ.data());
  }
  ~TempFolder() { fs::remove_all(path); }
};

// `pdf` encrypted by qpdf with these passwords (AES-256).
std::string encrypted(const std::string& pdf, const std::string& user_password) {
  TempFolder dir;
  std::ofstream(dir.path / "in.pdf", std::ios::binary) << pdf;
  const std::string command = "qpdf --encrypt '" + user_password + "' owner-pw 256 -- '" +
                              (dir.path / "in.pdf").string() + "' '" + (dir.path / "out.pdf").string() + "'";
  EXPECT_EQ(std::system(command.c_str()), 0) << "qpdf is needed (make test installs it): " << command;
  std::ifstream in(dir.path / "out.pdf", std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class MediaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log::set_stderr_enabled(false);
    use_keys({"gsk_k0AAAAAAAAAAAA"});
  }
  void TearDown() override { log::set_stderr_enabled(true); }

  void use_keys(std::vector<std::string> keys) {
    lexgate::Settings s;
    s.api_keys = std::move(keys);
    s.model = CHAT;
    s.vision_model = VISION;
    s.base_url = groq.url();
    s.chat_timeout_ms = 10000;
    s.record_usage = [this](const lexgate::CallUsage& c) { calls.push_back(c); };
    lexgate::bind(s);
  }

  std::vector<json> sent() const {
    std::vector<json> out;
    for (const auto& r : groq.requests_to("/chat/completions")) out.push_back(json::parse(r.body));
    return out;
  }

  FakeServer groq;
  std::vector<lexgate::CallUsage> calls;
};

TEST(PhotoType, DeclaredTypesAndFirstBytes) {
  const std::string jpeg = "\xFF\xD8\xFF\xE0 rest", png = "\x89PNG\r\n\x1A\n rest", webp = "RIFF\x10\0\0\0WEBPVP8 "s;
  struct Case {
    const char* type;
    std::string bytes;
    std::optional<std::string> expected;
  } cases[] = {
      {"image/jpeg", "anything", "image/jpeg"},
      {"Image/PNG; charset=binary", "anything", "image/png"},
      {"image/jpg", "anything", "image/jpeg"},
      {"image/webp", "anything", "image/webp"},
      {"image/gif", "GIF89a", std::nullopt},
      {"image/heic", jpeg, std::nullopt},  // a declared type is believed
      {"", jpeg, "image/jpeg"},
      {"application/octet-stream", png, "image/png"},
      {"application/octet-stream", webp, "image/webp"},
      {"application/octet-stream", "RIFF\x10\0\0\0WAVEfmt "s, std::nullopt},
      {"", "GIF89a", std::nullopt},
      {"", "", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(photo_type(c.type, c.bytes), c.expected) << c.type << " / " << c.bytes;
}

// The request is exactly one user message: our prompt with the caption as a
// text part, and the posted bytes as a base64 data URL. A key in the caption
// or the description is masked; the base64 never is, even where it happens
// to share a stretch with a key.
TEST_F(MediaTest, ThePhotoRequestCarriesTheVisionModelThePostedBytesAndTheCaption) {
  // base64 of "ABCDEFGHIJKL" is "QUJDREVGR0hJSktM": the key shares it.
  const std::string key = "gsk_QUJDREVGR0hJSktM";
  use_keys({key});
  groq.reply("POST", "/chat/completions", 200,
             completion("  A poster: Jazz night, Friday 12 June 2026, 20:00, Hall 3. Wi-Fi password " + key + "\n"));
  struct Case {
    std::string bytes, type, data_url;
  } cases[] = {
      {"\xFF\xD8\xFF" "ABCDEFGHIJKL", "image/jpeg", "data:image/jpeg;base64,/9j/QUJDREVGR0hJSktM"},
      {"\xFF\xD8\xFF\xE0", "", "data:image/jpeg;base64,/9j/4A=="},
      {"\x89PNG\r\n\x1A\n", "application/octet-stream", "data:image/png;base64,iVBORw0KGgo="},
  };
  for (const auto& c : cases) {
    const Reading r = read_photo(c.bytes, c.type, "  when is it? key " + key + " ");
    ASSERT_EQ(r.outcome, O::read);
    EXPECT_EQ(r.text, "when is it? key ***\n[Photo: A poster: Jazz night, Friday 12 June 2026, 20:00, Hall 3. "
                      "Wi-Fi password ***]");
    const json request = sent().back();
    EXPECT_EQ(request, json::parse(json({{"model", VISION},
                                         {"messages",
                                          {{{"role", "user"},
                                            {"content",
                                             {{{"type", "text"},
                                               {"text", templates::PHOTO_PROMPT +
                                                            "\n\nThe owner's caption: “when is it? key ***”"}},
                                              {{"type", "image_url"}, {"image_url", {{"url", c.data_url}}}}}}}}}})
                                    .dump()))
        << c.data_url;
  }
  // Without a caption the prompt says so, and the text is the bracket alone.
  const Reading r = read_photo(cases[0].bytes, "image/jpeg", "");
  EXPECT_EQ(r.text.rfind("[Photo: A poster", 0), 0u) << r.text;
  EXPECT_EQ(sent().back()["messages"][0]["content"][0]["text"],
            templates::PHOTO_PROMPT + "\n\nThe owner sent no caption.");
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].stage, "vision");
  EXPECT_EQ(calls[0].model, VISION);
  EXPECT_TRUE(calls[0].ok);
  EXPECT_EQ(calls[0].total_tokens, 940);
}

// Groq refuses a request above 4,000,000 bytes: the largest photo whose
// request fits is sent, three bytes more are not (base64 grows in steps of 4).
TEST_F(MediaTest, APhotoWhoseRequestWouldExceedTheLimitIsNotSent) {
  groq.reply("POST", "/chat/completions", 200, completion("a dot"));
  const std::string caption = "how much?";
  ASSERT_EQ(read_photo("\xFF\xD8\xFF", "image/jpeg", caption).outcome, O::read);
  const std::size_t overhead = groq.requests().back().body.size() - 4;
  const std::size_t fits = (MAX_VISION_REQUEST_BYTES - overhead) / 4 * 3;
  std::string image = "\xFF\xD8\xFF" + std::string(fits - 3, 'x');

  ASSERT_EQ(read_photo(image, "image/jpeg", caption).outcome, O::read);
  const std::size_t size = groq.requests().back().body.size();
  EXPECT_LE(size, MAX_VISION_REQUEST_BYTES);
  EXPECT_GT(size, MAX_VISION_REQUEST_BYTES - 4);

  image += "xyz";
  EXPECT_EQ(read_photo(image, "image/jpeg", caption).outcome, O::too_large);
  EXPECT_EQ(read_photo(std::string(MAX_PHOTO_BYTES + 1, '\xFF'), "image/jpeg", caption).outcome, O::too_large);
  EXPECT_EQ(groq.requests().size(), 2u);
  EXPECT_EQ(calls.size(), 2u);
}

TEST_F(MediaTest, AVisionCallThatFailsOnEveryKeyOrSaysNothingLeavesThePhotoUnread) {
  use_keys({"gsk_k0AAAAAAAAAAAA", "gsk_k1BBBBBBBBBBBB"});
  log::Capture cap;
  groq.reply("POST", "/chat/completions", 503, R"({"error": {"message": "over capacity"}})");
  EXPECT_EQ(read_photo("\xFF\xD8\xFF", "image/jpeg", "").outcome, O::unreadable);
  EXPECT_EQ(groq.requests().size(), 2u);
  EXPECT_EQ(cap.messages(log::Level::warning),
            (std::vector<std::string>{"Key index 0 (Vision) failed: HTTP 503: over capacity",
                                      "Key index 1 (Vision) failed: HTTP 503: over capacity"}));
  EXPECT_TRUE(cap.has(log::Level::error, "All Groq API keys failed for Vision."));
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].stage, "vision");
  EXPECT_FALSE(calls[0].ok);

  for (const json& content : {json(nullptr), json(" \n")}) {
    groq.reply("POST", "/chat/completions", 200, completion(content));
    EXPECT_EQ(read_photo("\xFF\xD8\xFF", "image/jpeg", "").outcome, O::unreadable) << content;
  }
  use_keys({});
  EXPECT_EQ(read_photo("\xFF\xD8\xFF", "image/jpeg", "").outcome, O::unreadable);
}

TEST_F(MediaTest, DocumentsAreExtractedByType) {
  const std::string two_pages = make_pdf({"Invoice 2026-117 due on 15 March 2027", "Total due: EUR 1,234.56"});
  const std::string scan = make_pdf({"", ""});
  struct Case {
    const char* name;
    std::string bytes;
    std::string type;
    O outcome;
    std::string text;
    std::optional<int> pages;
  } cases[] = {
      {"two-page PDF", two_pages, "application/pdf", O::read,
       "Invoice 2026-117 due on 15 March 2027\n\nTotal due: EUR 1,234.56", 2},
      {"PDF of generic type", two_pages, "application/octet-stream", O::read,
       "Invoice 2026-117 due on 15 March 2027\n\nTotal due: EUR 1,234.56", 2},
      {"PDF without type", two_pages, "", O::read, "Invoice 2026-117 due on 15 March 2027\n\nTotal due: EUR 1,234.56", 2},
      {"PDF without text", scan, "application/pdf", O::no_text, "", std::nullopt},
      {"PDF needing a password", encrypted(two_pages, "user-pw"), "application/pdf", O::encrypted, "", std::nullopt},
      // Encrypted for its owner only: anyone may open and read it.
      {"PDF with an owner password", encrypted(two_pages, ""), "application/pdf", O::read,
       "Invoice 2026-117 due on 15 March 2027\n\nTotal due: EUR 1,234.56", 2},
      {"broken PDF", "%PDF-1.4\nthis is no PDF at all", "application/pdf", O::unreadable, "", std::nullopt},
      {"text with invalid UTF-8", "caf\xC3\xA9 \xFF\xFE ok\xC3", "text/plain; charset=utf-8", O::read,
       "café \uFFFD\uFFFD ok\uFFFD", std::nullopt},
      {"markdown with a byte-order mark", "\xEF\xBB\xBF# Plan", "text/markdown", O::read, "# Plan", std::nullopt},
      {"CSV", "date,amount\n2027-03-15,12.50\n", "text/csv", O::read, "date,amount\n2027-03-15,12.50\n",
       std::nullopt},
      {"JSON", "{\"due\": \"2027-03-15\"}", "application/json", O::read, "{\"due\": \"2027-03-15\"}", std::nullopt},
      {"blank text", " \n\t", "text/plain", O::no_text, "", std::nullopt},
      {"a word file", "PK\x03\x04", "application/vnd.openxmlformats-officedocument.wordprocessingml.document",
       O::unsupported, "", std::nullopt},
      {"generic, not a PDF", "PK\x03\x04", "application/octet-stream", O::unsupported, "", std::nullopt},
      {"text over the size limit", std::string(MAX_DOCUMENT_BYTES + 1, 'a'), "text/plain", O::too_large, "",
       std::nullopt},
  };
  for (const auto& c : cases) {
    const Extraction e = extract_document(c.bytes, c.type);
    EXPECT_EQ(e.outcome, c.outcome) << c.name;
    EXPECT_EQ(e.text, c.text) << c.name;
    if (c.outcome == O::read) {
      EXPECT_EQ(e.pages, c.pages) << c.name;
    }
    EXPECT_FALSE(e.cut) << c.name;
  }
}

TEST_F(MediaTest, ALongTextIsCutAtWholeCharacters) {
  std::string text;
  for (int i = 0; i < 30000; ++i) text += "é";
  Extraction e = extract_document(text, "text/plain");
  EXPECT_TRUE(e.cut);
  EXPECT_EQ(e.text, text.substr(0, 2 * MAX_DOCUMENT_CHARS));
  // A file exactly at the size limit is read.
  e = extract_document(std::string(MAX_DOCUMENT_BYTES, 'a'), "text/plain");
  EXPECT_EQ(e.outcome, O::read);
  EXPECT_EQ(e.text.size(), MAX_DOCUMENT_CHARS);
}

// The digest call gets our prompt, then the caption, the name, the page
// count and the text; the conversation runs on the caption and the digest.
TEST_F(MediaTest, TheDigestGetsTheTextAndTheCaptionAndTheConversationItsAnswer) {
  const std::string key = "gsk_k0AAAAAAAAAAAA";
  groq.reply("POST", "/chat/completions", 200,
             completion(" Invoice 2026-117 from ACME: EUR 1,234.56, due 15 March 2027. \n"));
  const Reading r = read_document(make_pdf({"Invoice 2026-117 due on 15 March 2027", "Total due: EUR 1,234.56 " + key}),
                                  "application/pdf", "when is this due?", "invoice\n2026.pdf");
  ASSERT_EQ(r.outcome, O::read);
  EXPECT_EQ(r.text, "when is this due?\n[Document “invoice 2026.pdf”, 2 pages: Invoice 2026-117 from ACME: EUR "
                    "1,234.56, due 15 March 2027.]");
  EXPECT_EQ(sent().back(),
            json({{"model", CHAT},
                  {"messages",
                   {{{"role", "system"}, {"content", templates::DOCUMENT_DIGEST_PROMPT}},
                    {{"role", "user"},
                     {"content", "Caption: when is this due?\nFile name: invoice 2026.pdf\nPages: 2\nText:\n"
                                 "Invoice 2026-117 due on 15 March 2027\n\nTotal due: EUR 1,234.56 ***"}}}}}));
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].stage, "document");
  EXPECT_EQ(calls[0].model, CHAT);

  // A text file: no page count; no caption, no name; a cut text says so.
  std::string long_text(MAX_DOCUMENT_CHARS + 10, 'z');
  const Reading t = read_document(long_text, "text/plain", "", "");
  EXPECT_EQ(t.text, "[Document “document”: Invoice 2026-117 from ACME: EUR 1,234.56, due 15 March 2027.]");
  EXPECT_EQ(sent().back()["messages"][1]["content"],
            "Caption: (none)\nFile name: document\nText:\n" + std::string(MAX_DOCUMENT_CHARS, 'z') +
                "\n[The text is cut here; the document goes on.]");

  // A digest that fails on every key leaves the document unread.
  groq.reply("POST", "/chat/completions", 500, "{}");
  EXPECT_EQ(read_document("notes", "text/plain", "", "a.txt").outcome, O::unreadable);
  // Nothing is asked of the model for a document that cannot be read.
  const std::size_t asked = groq.requests().size();
  EXPECT_EQ(read_document(make_pdf({""}), "application/pdf", "", "scan.pdf").outcome, O::no_text);
  EXPECT_EQ(groq.requests().size(), asked);
}

TEST(ConversationText, CaptionLineOnlyWhenThereIsACaption) {
  EXPECT_EQ(photo_text("how much?", "A receipt"), "how much?\n[Photo: A receipt]");
  EXPECT_EQ(photo_text(" \n", "A receipt"), "[Photo: A receipt]");
  EXPECT_EQ(document_text("due?", "a.pdf", 1, "One page."), "due?\n[Document “a.pdf”, 1 page: One page.]");
  EXPECT_EQ(document_text("", "a.pdf", 3, "D"), "[Document “a.pdf”, 3 pages: D]");
  EXPECT_EQ(document_text("", "notes.txt", std::nullopt, "D"), "[Document “notes.txt”: D]");
}

}  // namespace
}  // namespace talmo::media
