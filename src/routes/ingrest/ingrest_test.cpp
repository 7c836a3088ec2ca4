// The webhook routes: the owner check; text, audio and other kinds; bad bodies; the guard; mounted.
#include "routes/ingrest/ingrest.hpp"

#include "core/prompts/messages/messages.hpp"
#include "support/log.hpp"
#include "testing/socket.hpp"
#include "web/server.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <vector>

namespace talmo::ingrest {
namespace {

namespace fs = std::filesystem;

const char* const MASTER = "+1 (555) 123-4567";

// A private folder for the voice-note files, removed after the test.
struct TempFolder {
  fs::path path;
  TempFolder() {
    std::string templ = (fs::temp_directory_path() / "ingrest-test-XXXXXX").string();
    path = ::mkdtemp(templ.data());
  }
  ~TempFolder() { fs::remove_all(path); }
  std::vector<fs::path> files() const {
    std::vector<fs::path> out;
    for (auto& e : fs::directory_iterator(path)) out.push_back(e.path());
    return out;
  }
};

struct Enqueued {
  std::string number, message;
};

// Binds the routes to recording fakes.
class RoutesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log::set_stderr_enabled(false);
    rebind();
  }
  void TearDown() override { log::set_stderr_enabled(true); }

  void rebind(std::string master = MASTER, std::string token = "") {
    Bindings b;
    b.allowed_hosts = {"talmo.lan:8000", "fe80::1"};
    b.bridge_token = std::move(token);
    b.master_number = std::move(master);
    b.enqueue_conversation = [this](const std::string& n, const std::string& m) {
      if (enqueue_error) throw std::runtime_error("the conversation runner has stopped");
      std::lock_guard l(mu);
      queued.push_back({n, m});
    };
    b.transcribe_audio = [this](const std::string& path) { return transcribe(path); };
    b.read_internal_config = [this] {
      ++config_reads;
      return json{{"MASTER_NUMBER", MASTER},
                  {"GROQ_API_KEYS", json::array({"k1", "k2"})},
                  {"TAVILY_API_KEY", "tv-" + std::to_string(config_reads)}};
    };
    b.temp_dir = temp.path;
    b.clock = clock;
    b.send_notice = [this](const std::string& n, const std::string& text) {
      if (notice_error) throw std::runtime_error("the outbox is full");
      std::lock_guard l(mu);
      notices.push_back({n, text});
    };
    bind(std::move(b));
  }

  std::string transcribe(const std::string& path) {
    seen_path = path;
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    seen_audio = ss.str();
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) seen_mode = st.st_mode & 0777;
    if (block_deletion) {
      // A non-empty folder where the file was: the route cannot remove it.
      fs::remove(path);
      fs::create_directory(path);
      std::ofstream(fs::path(path) / "keep") << "x";
    }
    if (transcriber_throws) throw std::runtime_error("whisper exploded");
    return transcript;
  }

  static Answer post_text(const json& body) { return handle_incoming_text_message(body.dump()); }

  // An audio request whose body arrives in the given chunks; counts reads.
  AudioRequest audio(std::string sender, std::vector<std::string> chunks, bool fails = false) {
    AudioRequest r;
    r.sender = std::move(sender);
    std::uint64_t total = 0;
    for (auto& c : chunks) total += c.size();
    r.content_length = total;
    r.read_body = [this, chunks, fails](const BodySink& sink) {
      ++body_reads;
      for (auto& c : chunks)
        if (!sink(c)) return false;
      return !fails;
    };
    return r;
  }

  TempFolder temp;
  std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>(TimePoint(std::chrono::hours(500000)));
  std::mutex mu;
  std::vector<Enqueued> queued;
  bool enqueue_error = false;
  std::vector<Enqueued> notices;  // {number, text} given to send_notice
  bool notice_error = false;
  std::string transcript = "Remind me to call mom";
  bool transcriber_throws = false;
  bool block_deletion = false;
  std::string seen_path, seen_audio;
  unsigned seen_mode = 0;
  int body_reads = 0;
  int config_reads = 0;
};

// Threat: a stranger passing for the owner.
TEST(OwnerCheck, OnlyTheFullInternationalNumberPasses) {
  struct Case {
    const char* master;
    const char* sender;
    bool owner;
  } cases[] = {
      {MASTER, "15551234567", true},
      {MASTER, "+15551234567", true},
      {MASTER, "5551234567", false},     // the number without its country code
      {MASTER, "4415551234567", false},  // another number ending in the master's digits
      {MASTER, "1234567", false},
      {MASTER, "15551234568", false},
      {MASTER, "evil;15551234567", false},
      {MASTER, "15551234567\n", false},
      {MASTER, "++15551234567", false},
      {MASTER, "+1 555 123 4567", false},
      {MASTER, "015551234567", false},
      {MASTER, "", false},
      // A German mobile as master: the US number with the same digits is a stranger.
      {"+49 151 23456789", "15123456789", false},
      {"+49 151 23456789", "4915123456789", true},
      // "00" and plain digits both start with the country code.
      {"0049 151 23456789", "4915123456789", true},
      {"4915123456789", "+4915123456789", true},
      // A national form names no country: it locks nobody in, not even its owner.
      {"0300 1234567", "923001234567", false},
      {"0300 1234567", "03001234567", false},
      {"not a number", "123", false},
      {"", "", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(is_owner(c.sender, c.master), c.owner) << c.master << " / " << c.sender;
}

TEST_F(RoutesTest, BindingAnImpossibleMasterNumberLogsAnErrorAndRefusesEveryone) {
  for (const char* master : {"0300 1234567", "+ -"}) {
    log::Capture cap;
    rebind(master);
    EXPECT_EQ(cap.messages(log::Level::error).size(), 1u) << master;
    EXPECT_EQ(post_text({{"sender", "923001234567"}, {"message", "hi"}}).body["status"], "unauthorized");
    EXPECT_EQ(handle_incoming_audio_message(audio("03001234567", {"OggS"})).body["status"], "unauthorized");
  }
  EXPECT_TRUE(queued.empty());
}

TEST_F(RoutesTest, TextWithoutSenderOrMessageIsIgnoredSilently) {
  log::Capture cap;
  const json ignored = {{"status", "ignored"}, {"reason", "Missing sender or message"}};
  for (const json& body : {json{{"message", "hi"}}, json{{"sender", ""}, {"message", "hi"}},
                           json{{"sender", "15551234567"}}, json{{"sender", "15551234567"}, {"message", ""}},
                           json{{"sender", nullptr}, {"message", "hi"}},
                           json{{"sender", 0}, {"message", "hi"}}, json::object()}) {
    Answer a = post_text(body);
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body, ignored) << body.dump();
  }
  EXPECT_TRUE(cap.records().empty());
  EXPECT_TRUE(queued.empty());
}

TEST_F(RoutesTest, TextFromAStrangerIsRefusedWithAWarning) {
  log::Capture cap;
  Answer a = post_text({{"sender", "15551234568"}, {"message", "hi"}});
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(a.body, json({{"status", "unauthorized"}}));
  EXPECT_TRUE(cap.has(log::Level::warning,
                      "Unauthorized! Sender 15551234568 does not match Master 15551234567"));
  EXPECT_TRUE(queued.empty());
}

// Threat: a flood of strangers filling the disk with warnings.
TEST_F(RoutesTest, RefusalWarningsAreLimitedPerSenderAndMinuteThenSummed) {
  log::Capture cap;
  auto refuse = [this](const std::string& sender) {
    EXPECT_EQ(post_text({{"sender", sender}, {"message", "hi"}}).body, json({{"status", "unauthorized"}}));
  };
  for (int i = 0; i < 5; ++i) refuse("15551234568");
  EXPECT_EQ(handle_incoming_audio_message(audio("15551234568", {"OggS"})).body["status"], "unauthorized");
  EXPECT_EQ(cap.messages(log::Level::warning),
            std::vector<std::string>{"Unauthorized! Sender 15551234568 does not match Master 15551234567"});

  // Many senders: at most MAX_REFUSAL_LINES lines in the minute; a long one is shown cut.
  refuse(std::string(100, '9'));
  EXPECT_TRUE(cap.has(log::Level::warning, "Unauthorized! Sender " + std::string(MAX_LOGGED_SENDER, '9') +
                                               "... does not match Master 15551234567"));
  for (int i = 0; i < 20; ++i) refuse("4915123456" + std::to_string(i));
  EXPECT_EQ(cap.messages(log::Level::warning).size(), MAX_REFUSAL_LINES);

  // After the minute, the owner's next message brings the summary; then each sender gets a line again.
  clock->advance(std::chrono::seconds(59));
  post_text({{"sender", "15551234567"}, {"message", "hi"}});
  EXPECT_EQ(cap.messages(log::Level::warning).size(), MAX_REFUSAL_LINES);
  clock->advance(std::chrono::seconds(1));
  post_text({{"sender", "15551234567"}, {"message", "hi"}});
  const std::size_t held_back = 6 + 1 + 20 - MAX_REFUSAL_LINES;
  EXPECT_EQ(cap.messages(log::Level::warning).back(),
            "Unauthorized! " + std::to_string(held_back) +
                " more messages from senders other than the owner were refused without a line each "
                "(one warning per sender per minute)");
  refuse("15551234568");
  EXPECT_EQ(cap.messages(log::Level::warning).back(),
            "Unauthorized! Sender 15551234568 does not match Master 15551234567");
  EXPECT_EQ(queued.size(), 2u);
}

TEST_F(RoutesTest, TextFromTheOwnerIsQueuedAsReceived) {
  log::Capture cap;
  // 40 characters, some of them several bytes long: the log keeps 30 characters.
  const std::string message = "Grüße aus Köln 👋 und noch viel mehr Text";
  Answer a = post_text({{"sender", "+15551234567"}, {"message", message}, {"extra", 1}});
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(a.body, json({{"status", "received"}}));
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].number, "+15551234567");
  EXPECT_EQ(queued[0].message, message);
  EXPECT_EQ(cap.messages(log::Level::info),
            std::vector<std::string>{
                "Processing text message from +15551234567: 'Grüße aus Köln 👋 und noch viel...'"});
  EXPECT_EQ(cap.messages(log::Level::success),
            std::vector<std::string>{"Verified Boss message. Handing off to AI..."});

  cap.clear();
  // The cut keeps 30 characters; the line break is then shown as an escape.
  post_text({{"sender", "15551234567"}, {"message", "/I\n" + std::string(40, 'x')}});
  EXPECT_TRUE(cap.has(log::Level::info, "Processing text message from 15551234567: '/I\\n" +
                                            std::string(27, 'x') + "...'"));
  EXPECT_EQ(queued.back().message, "/I\n" + std::string(40, 'x'));
}

TEST_F(RoutesTest, AReplyRunsOnTheQuotedTextAndLogsTheSame) {
  const std::string cyrillic("\u0416");
  std::string long_quote;
  for (int i = 0; i < 350; ++i) long_quote += cyrillic;
  std::string cut;
  for (int i = 0; i < 300; ++i) cut += cyrillic;
  struct Case {
    json quoted;  // null: no member
    std::string runs_on;
  } cases[] = {
      {"Reminder: dentist at 3pm", "[Replying to: \u201CReminder: dentist at 3pm\u201D]\nmove this to 5pm"},
      {long_quote, "[Replying to: \u201C" + cut + "\u201D]\nmove this to 5pm"},
      {nullptr, "move this to 5pm"},
      {"", "move this to 5pm"},
      {json::array({"not", "text"}), "move this to 5pm"},
  };
  for (const auto& c : cases) {
    log::Capture cap;
    json body = {{"sender", "15551234567"}, {"message", "move this to 5pm"}};
    if (!c.quoted.is_null()) body["quoted"] = c.quoted;
    EXPECT_EQ(post_text(body).body, json({{"status", "received"}})) << body.dump();
    EXPECT_EQ(queued.back().message, c.runs_on) << body.dump();
    EXPECT_EQ(cap.messages(log::Level::info),
              std::vector<std::string>{"Processing text message from 15551234567: 'move this to 5pm...'"});
  }
}

TEST_F(RoutesTest, HeaderTextIsPercentDecodedElseTakenAsItStands) {
  struct Case {
    const char* value;
    std::string text;
  } cases[] = {
      {"Call%20mom%3F%20%E2%9C%85", "Call mom? \u2705"},
      {"%D0%96%F0%9F%98%80", "\u0416\U0001F600"},
      {"100% sure", "100% sure"},        // a stray "%": as it stands
      {"50%2", "50%2"},
      {"%FF%FEab", "%FF%FEab"},          // decodes to bytes that are not UTF-8
      {"raw \xD0\x96", "raw \u0416"},     // sent unencoded, but UTF-8
      {"bad \xFF", "bad \uFFFD"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(header_text(c.value), c.text) << c.value;

  // The voice note runs on the decoded quote.
  AudioRequest r = audio("15551234567", {"OggS"});
  r.quoted = "Reminder%3A%20dentist";
  EXPECT_EQ(handle_incoming_audio_message(r).body["status"], "received");
  EXPECT_EQ(queued.back().message, "[Replying to: \u201CReminder: dentist\u201D]\nRemind me to call mom");
  EXPECT_EQ(handle_incoming_audio_message(audio("15551234567", {"OggS"})).body["status"], "received");
  EXPECT_EQ(queued.back().message, "Remind me to call mom");
}

TEST_F(RoutesTest, OtherKindsGetOneFixedAnswerPerKindAndMinute) {
  const auto post = [](const json& body) { return handle_incoming_other_message(body.dump()); };
  const json received = {{"status", "received"}};
  for (const json& body : {json{{"kind", "sticker"}}, json{{"sender", "15551234567"}}, json{{"sender", ""}, {"kind", "gif"}},
                           json{{"sender", "15551234567"}, {"kind", ""}}}) {
    EXPECT_EQ(post(body).body, json({{"status", "ignored"}, {"reason", "Missing sender or kind"}})) << body.dump();
  }
  EXPECT_EQ(post({{"sender", "15551234568"}, {"kind", "sticker"}}).body, json({{"status", "unauthorized"}}));
  EXPECT_EQ(post({{"sender", 15551234567}, {"kind", "sticker"}}).body["status"], "error");
  EXPECT_EQ(post({{"sender", "15551234567"}, {"kind", 7}}).body["status"], "error");
  EXPECT_TRUE(notices.empty());
  // On the event loop the owner's message goes to a worker before anything is sent.
  EXPECT_TRUE(web::is_run_on_worker(
      handle_incoming_other_message(json({{"sender", "15551234567"}, {"kind", "sticker"}}).dump(), false)));
  EXPECT_TRUE(notices.empty());

  EXPECT_EQ(post({{"sender", "15551234567"}, {"kind", "sticker"}}).body, received);
  clock->advance(std::chrono::seconds(59));
  EXPECT_EQ(post({{"sender", "15551234567"}, {"kind", "sticker"}}).body, received);  // the same minute: nothing sent
  EXPECT_EQ(post({{"sender", "+15551234567"}, {"kind", "video"}}).body, received);   // another kind: answered
  EXPECT_EQ(post({{"sender", "15551234567"}, {"kind", "hologram"}}).body, received);  // unknown: as "other"
  EXPECT_EQ(post({{"sender", "15551234567"}, {"kind", "other"}}).body, received);     // its minute too
  clock->advance(std::chrono::seconds(1));
  EXPECT_EQ(post({{"sender", "15551234567"}, {"kind", "sticker"}}).body, received);
  // An answer that could not be stored is not counted: the bridge asks again and gets it.
  notice_error = true;
  EXPECT_EQ(post({{"sender", "15551234567"}, {"kind", "document_too_large"}}).body["status"], "error");
  notice_error = false;
  EXPECT_EQ(post({{"sender", "15551234567"}, {"kind", "document_too_large"}}).body, received);
  EXPECT_TRUE(queued.empty());

  std::vector<std::pair<std::string, std::string>> sent;
  for (auto& n : notices) sent.emplace_back(n.number, n.message);
  const auto text = [](std::string_view kind) { return messages::other_kind_message(kind); };
  EXPECT_EQ(sent, (std::vector<std::pair<std::string, std::string>>{
                      {"15551234567", text("sticker")},
                      {"+15551234567", text("video")},
                      {"15551234567", text("other")},
                      {"15551234567", text("sticker")},
                      {"15551234567", text("document_too_large")}}));
}

TEST_F(RoutesTest, OnTheEventLoopOnlyAnAcceptedOwnerMessageAsksForAWorker) {
  log::Capture cap;
  // Queuing is a durable write: the owner's message is neither queued nor
  // logged on the loop, so nothing happens twice when the worker runs it.
  EXPECT_TRUE(web::is_run_on_worker(
      handle_incoming_text_message(json({{"sender", "15551234567"}, {"message", "hi"}}).dump(), false)));
  EXPECT_TRUE(queued.empty());
  for (auto& r : cap.records()) ADD_FAILURE() << r.message;
  // Everything else is answered where it is.
  EXPECT_EQ(handle_incoming_text_message(json({{"sender", "15551234568"}, {"message", "hi"}}).dump(), false)
                .body["status"], "unauthorized");
  EXPECT_EQ(handle_incoming_text_message("not json", false).body["status"], "error");
}

TEST_F(RoutesTest, BadBodiesGetTheErrorAnswerWithStatus200) {
  log::Capture cap;
  for (std::string body : {"not json", "", "[1, 2]", "\"text\"", "{\"sender\": "}) {
    Answer a = handle_incoming_text_message(body);
    EXPECT_EQ(a.status, 200) << body;
    EXPECT_EQ(a.body["status"], "error") << body;
    EXPECT_TRUE(a.body["message"].is_string()) << body;
    EXPECT_FALSE(a.body["message"].get<std::string>().empty()) << body;
  }
  auto errors = cap.messages(log::Level::error);
  ASSERT_EQ(errors.size(), 5u);
  for (auto& e : errors) EXPECT_EQ(e.rfind("Error processing WhatsApp bridge webhook: ", 0), 0u) << e;
  EXPECT_TRUE(queued.empty());
}

TEST_F(RoutesTest, NonTextSenderOrMessageIsAnErrorNamingTheField) {
  Answer a = post_text({{"sender", 15551234567}, {"message", "hi"}});
  EXPECT_EQ(a.body["status"], "error");
  EXPECT_NE(a.body["message"].get<std::string>().find("sender"), std::string::npos);

  a = post_text({{"sender", "15551234567"}, {"message", {{"text", "hi"}}}});
  EXPECT_EQ(a.body["status"], "error");
  EXPECT_NE(a.body["message"].get<std::string>().find("message"), std::string::npos);
  EXPECT_TRUE(queued.empty());
}

TEST_F(RoutesTest, DeeplyNestedBodiesAreAnErrorNotACrash) {
  // Anyone who can reach the route could send this: copying "sender" out of
  // it used to recurse 200,000 levels deep and overflow the stack.
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  Answer a = handle_incoming_text_message(R"({"sender": )" + deep + R"(, "message": "hi"})");
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(a.body["status"], "error");
  EXPECT_NE(a.body["message"].get<std::string>().find("nest deeper than"), std::string::npos);

  // Ordinary nesting elsewhere in the body changes nothing.
  a = handle_incoming_text_message(
      R"({"sender": "15551234567", "message": "hi", "context": [[{"quoted": [1, {"a": []}]}]]})");
  EXPECT_EQ(a.body["status"], "received");
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].message, "hi");
}

TEST_F(RoutesTest, AConversationThatCannotBeQueuedIsNotReportedAsReceived) {
  enqueue_error = true;
  Answer a = post_text({{"sender", "15551234567"}, {"message", "hi"}});
  EXPECT_EQ(a.body["status"], "error");
  EXPECT_EQ(a.body["message"], "the conversation runner has stopped");
}

TEST_F(RoutesTest, AudioWithoutSenderOrFromAStrangerIsAnsweredWithoutReadingTheBody) {
  log::Capture cap;
  Answer a = handle_incoming_audio_message(audio("", {"OggS-bytes"}));
  EXPECT_EQ(a.body, json({{"status", "ignored"}, {"reason", "Missing X-Sender header"}}));

  a = handle_incoming_audio_message(audio("15551234568", {"OggS-bytes"}));
  EXPECT_EQ(a.body, json({{"status", "unauthorized"}}));
  EXPECT_TRUE(cap.has(log::Level::warning,
                      "Unauthorized! Sender 15551234568 does not match Master 15551234567"));

  EXPECT_EQ(body_reads, 0);
  EXPECT_TRUE(temp.files().empty());
  EXPECT_TRUE(seen_path.empty());
}

TEST_F(RoutesTest, EmptyAudioIsIgnoredAndLeavesNoFile) {
  Answer a = handle_incoming_audio_message(audio("15551234567", {}));
  EXPECT_EQ(a.body, json({{"status", "ignored"}, {"reason", "Empty audio body"}}));
  a = handle_incoming_audio_message(audio("15551234567", {"", ""}));
  EXPECT_EQ(a.body, json({{"status", "ignored"}, {"reason", "Empty audio body"}}));
  EXPECT_TRUE(temp.files().empty());
  EXPECT_TRUE(seen_path.empty());
}

TEST_F(RoutesTest, OwnersVoiceNoteIsTranscribedFromAPrivateFileAndQueued) {
  log::Capture cap;
  Answer a = handle_incoming_audio_message(audio("15551234567", {"OggS", std::string("\0\x01\xff", 3), "tail"}));
  EXPECT_EQ(a.body, json({{"status", "received"}}));
  EXPECT_EQ(seen_audio, std::string("OggS\0\x01\xfftail", 11));
  EXPECT_EQ(fs::path(seen_path).parent_path(), temp.path);
  EXPECT_EQ(fs::path(seen_path).extension(), ".ogg");
  EXPECT_EQ(seen_mode, 0600u);
  EXPECT_TRUE(temp.files().empty());
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].number, "15551234567");
  EXPECT_EQ(queued[0].message, "Remind me to call mom");
  EXPECT_EQ(cap.messages(log::Level::info),
            (std::vector<std::string>{"Transcribing audio from 15551234567 using Groq Whisper...",
                                      "Successfully transcribed: 'Remind me to call mom...'"}));
  EXPECT_EQ(cap.messages(log::Level::success),
            std::vector<std::string>{"Verified Boss voice message. Handing off to AI..."});

  cap.clear();
  transcript = std::string(45, 'x');
  handle_incoming_audio_message(audio("15551234567", {"OggS"}));
  EXPECT_TRUE(cap.has(log::Level::info, "Successfully transcribed: '" + std::string(40, 'x') + "...'"));
}

TEST_F(RoutesTest, FailedTranscriptionIsIgnoredAndTheFileRemoved) {
  log::Capture cap;
  transcript = "";
  Answer a = handle_incoming_audio_message(audio("15551234567", {"OggS"}));
  EXPECT_EQ(a.body, json({{"status", "ignored"}, {"reason", "Transcription failed"}}));
  EXPECT_TRUE(cap.has(log::Level::warning, "Whisper transcription returned empty string or failed."));
  EXPECT_FALSE(seen_path.empty());
  EXPECT_TRUE(temp.files().empty());
  EXPECT_TRUE(queued.empty());
}

TEST_F(RoutesTest, ATranscriberErrorRemovesTheFileAndAnswersError) {
  log::Capture cap;
  transcriber_throws = true;
  Answer a = handle_incoming_audio_message(audio("15551234567", {"OggS"}));
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(a.body, json({{"status", "error"}, {"message", "whisper exploded"}}));
  EXPECT_TRUE(cap.has(log::Level::error, "Error processing WhatsApp bridge audio webhook: whisper exploded"));
  EXPECT_TRUE(temp.files().empty());
}

TEST_F(RoutesTest, AFailedCleanUpIsLoggedAndChangesNoAnswer) {
  log::Capture cap;
  block_deletion = true;
  Answer a = handle_incoming_audio_message(audio("15551234567", {"OggS"}));
  EXPECT_EQ(a.body, json({{"status", "received"}}));
  EXPECT_EQ(cap.messages(log::Level::error),
            std::vector<std::string>{"Failed to delete temp file " + seen_path + ": Directory not empty"});
  EXPECT_EQ(queued.size(), 1u);

  // On the error way out the clean-up line comes first, and the error answer stands.
  cap.clear();
  transcriber_throws = true;
  a = handle_incoming_audio_message(audio("15551234567", {"OggS"}));
  EXPECT_EQ(a.body, json({{"status", "error"}, {"message", "whisper exploded"}}));
  EXPECT_EQ(cap.messages(log::Level::error),
            (std::vector<std::string>{"Failed to delete temp file " + seen_path + ": Directory not empty",
                                      "Error processing WhatsApp bridge audio webhook: whisper exploded"}));
}

TEST_F(RoutesTest, OversizedOrBrokenAudioBodiesLeaveNoFile) {
  // Declared too large: refused before reading.
  AudioRequest r = audio("15551234567", {"OggS"});
  r.content_length = MAX_AUDIO_BYTES + 1;
  Answer a = handle_incoming_audio_message(r);
  EXPECT_EQ(a.body, json({{"status", "ignored"}, {"reason", "Audio body too large"}}));
  EXPECT_EQ(body_reads, 0);

  // Streamed without a length and growing past the limit: reading stops there.
  std::string mib(1024 * 1024, 'a');
  r = audio("15551234567", std::vector<std::string>(26, mib));
  r.content_length.reset();
  a = handle_incoming_audio_message(r);
  EXPECT_EQ(a.body, json({{"status", "ignored"}, {"reason", "Audio body too large"}}));
  EXPECT_TRUE(temp.files().empty());

  // Exactly at the limit is accepted.
  r = audio("15551234567", std::vector<std::string>(25, mib));
  a = handle_incoming_audio_message(r);
  EXPECT_EQ(a.body, json({{"status", "received"}}));
  EXPECT_EQ(seen_audio.size(), MAX_AUDIO_BYTES);

  // The connection broke in the middle of the body.
  a = handle_incoming_audio_message(audio("15551234567", {"OggS"}, /*fails=*/true));
  EXPECT_EQ(a.body["status"], "error");
  EXPECT_TRUE(temp.files().empty());
  EXPECT_EQ(queued.size(), 1u);
}

TEST_F(RoutesTest, AnUnusableTempFolderIsAnError) {
  Bindings b;
  b.master_number = MASTER;
  b.transcribe_audio = [](const std::string&) { return std::string("x"); };
  b.enqueue_conversation = [](const std::string&, const std::string&) {};
  b.temp_dir = temp.path / "missing";
  bind(std::move(b));
  Answer a = handle_incoming_audio_message(audio("15551234567", {"OggS"}));
  EXPECT_EQ(a.body["status"], "error");
}

TEST_F(RoutesTest, InternalConfigServesLoopbackPeersOnlyAndReadsAfresh) {
  const std::vector<const char*> loopback = {"127.0.0.1", "localhost", "::1",           "::ffff:127.0.0.1",
                                             "127.0.0.2", "127.255.255.254", "::ffff:127.9.8.7"};
  for (const char* peer : loopback) {
    Answer a = get_internal_config(peer);
    EXPECT_EQ(a.status, 200) << peer;
    EXPECT_EQ(a.body.dump(), json({{"MASTER_NUMBER", MASTER},
                                   {"GROQ_API_KEYS", json::array({"k1", "k2"})},
                                   {"TAVILY_API_KEY", "tv-" + std::to_string(config_reads)}})
                                 .dump());
  }
  EXPECT_EQ(config_reads, 7);
  for (const char* peer : {"192.0.2.2", "128.0.0.1", "::ffff:192.0.2.2", "::ffff:128.0.0.1", "::2", "fd00::2", ""}) {
    Answer a = get_internal_config(peer);
    EXPECT_EQ(a.status, 403) << peer;
    EXPECT_EQ(a.body, json({{"detail", "Forbidden"}}));
  }
  EXPECT_EQ(config_reads, 7);
}

// Threat: a web page (DNS rebinding, a cross-site form) or a stranger on the
// network reaching the local endpoints.
struct Head {
  std::string method, path;
  std::optional<std::string> host, origin, authorization;

  web::Request request() const {
    web::Request r;
    r.method = method;
    r.path = r.target = path;
    if (host) r.headers.add("Host", *host);
    if (origin) r.headers.add("Origin", *origin);
    if (authorization) r.headers.add("Authorization", *authorization);
    return r;
  }
};

TEST_F(RoutesTest, GuardLetsOnlyThisServersHostAndNoBrowserThrough) {
  const json forbidden = {{"detail", "Forbidden"}}, unauthorized = {{"detail", "Unauthorized"}};
  const char* const TOKEN = "s3cr3t-Token_value";
  struct Case {
    const char* token;  // bound BRIDGE_TOKEN
    Head head;
    int status;  // 0: let through
  } cases[] = {
      {"", {"GET", "/internal/config", "127.0.0.1:8000", {}, {}}, 0},
      {"", {"GET", "/internal/config", "localhost", {}, {}}, 0},
      {"", {"POST", "/whatsapp/incoming/text", "[::1]:8000", {}, {}}, 0},
      {"", {"POST", "/whatsapp/incoming/text", "TALMO.lan:9999", {}, {}}, 0},
      {"", {"POST", "/whatsapp/incoming/text", "[fe80::1]:8000", {}, {}}, 0},
      {"", {"GET", "/internal/config", "attacker.example", {}, {}}, 403},
      {"", {"GET", "/internal/config", "attacker.example:8000", {}, {}}, 403},
      {"", {"GET", "/internal/config", {}, {}, {}}, 403},
      {"", {"GET", "/unknown", "attacker.example", {}, {}}, 403},
      {"", {"GET", "/healthz", "attacker.example", {}, {}}, 0},
      {"", {"POST", "/healthz", "attacker.example", {}, {}}, 403},
      {"", {"POST", "/whatsapp/incoming/text", "127.0.0.1:8000", "http://attacker.example", {}}, 403},
      {"", {"POST", "/whatsapp/incoming/audio", "127.0.0.1:8000", "null", {}}, 403},
      {"", {"GET", "/internal/config", "127.0.0.1:8000", "http://127.0.0.1:8000", {}}, 403},
      {"", {"GET", "/unknown", "127.0.0.1:8000", "http://127.0.0.1:8000", {}}, 0},
      {TOKEN, {"POST", "/whatsapp/incoming/text", "127.0.0.1", {}, std::string("Bearer ") + TOKEN}, 0},
      {TOKEN, {"GET", "/internal/config", "127.0.0.1", {}, std::string("bearer ") + TOKEN}, 0},
      {TOKEN, {"POST", "/whatsapp/incoming/text", "127.0.0.1", {}, {}}, 401},
      {TOKEN, {"POST", "/whatsapp/incoming/audio", "127.0.0.1", {}, "Bearer wrong"}, 401},
      {TOKEN, {"GET", "/internal/config", "127.0.0.1", {}, std::string("Bearer ") + TOKEN + "x"}, 401},
      {TOKEN, {"GET", "/internal/config", "127.0.0.1", {}, std::string(TOKEN)}, 401},
      {TOKEN, {"GET", "/healthz", "127.0.0.1", {}, {}}, 0},
      {"", {"GET", "/healthz", {}, {}, {}}, 0},
      // The Host check comes first: a wrong host is forbidden even with the token.
      {TOKEN, {"GET", "/internal/config", "evil.example", {}, std::string("Bearer ") + TOKEN}, 403},
  };
  // A second Host header names no one server.
  web::Request twice = Head{"GET", "/internal/config", "127.0.0.1", {}, {}}.request();
  twice.headers.add("Host", "attacker.example");
  EXPECT_EQ(guard(twice)->status, 403);
  for (const auto& c : cases) {
    rebind(MASTER, c.token);
    auto answer = guard(c.head.request());
    const std::string what = c.head.method + " " + c.head.path + " host=" + c.head.host.value_or("-") +
                             " origin=" + c.head.origin.value_or("-") + " auth=" + c.head.authorization.value_or("-");
    if (c.status == 0) {
      EXPECT_FALSE(answer) << what;
    } else {
      ASSERT_TRUE(answer) << what;
      EXPECT_EQ(answer->status, c.status) << what;
      EXPECT_EQ(answer->body, c.status == 401 ? unauthorized : forbidden) << what;
    }
  }
}

// The same routes over a real loopback server.
class MountedRoutesTest : public RoutesTest {
 protected:
  void SetUp() override {
    RoutesTest::SetUp();
    web::ServerOptions options;
    options.port = 0;
    options.handler = dispatch;
    options.streams_body = streams_body;
    server = std::make_unique<web::HttpServer>(options);
    port = server->port();
  }
  void TearDown() override {
    server.reset();
    RoutesTest::TearDown();
  }

  // Sends raw bytes on a fresh connection and reads one answer.
  std::string raw_exchange(const std::string& bytes) {
    testing::RawSocket s(port);
    EXPECT_TRUE(s.send(bytes));
    return s.read_answers(1);
  }

  std::unique_ptr<web::HttpServer> server;
  int port = 0;
};

TEST_F(MountedRoutesTest, TextRouteAnswersJsonWithStatus200) {
  httplib::Client client("127.0.0.1", port);
  auto res = client.Post("/whatsapp/incoming/text", R"({"sender": "15551234567", "message": "hi"})",
                         "application/json");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
  EXPECT_EQ(json::parse(res->body), json({{"status", "received"}}));

  res = client.Post("/whatsapp/incoming/text", "{oops \xff", "application/json");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(json::parse(res->body)["status"], "error");
  EXPECT_EQ(queued.size(), 1u);

  res = client.Get("/healthz");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->body, R"({"status":"ok"})");
  for (auto path : {"/nowhere", "/whatsapp/incoming/text"}) {
    res = client.Get(path);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404) << path;
    EXPECT_EQ(res->body, R"({"detail":"Not Found"})") << path;
  }
}

TEST_F(MountedRoutesTest, AudioRouteStoresTheRawBodyAndCleansUp) {
  httplib::Client client("127.0.0.1", port);
  httplib::Headers headers{{"X-Sender", "15551234567"}};
  auto res = client.Post("/whatsapp/incoming/audio", headers, std::string("OggS\0data", 9),
                         "application/octet-stream");
  ASSERT_TRUE(res);
  EXPECT_EQ(json::parse(res->body), json({{"status", "received"}}));
  EXPECT_EQ(seen_audio, std::string("OggS\0data", 9));
  EXPECT_TRUE(temp.files().empty());

  res = client.Post("/whatsapp/incoming/audio", headers, "", "application/octet-stream");
  ASSERT_TRUE(res);
  EXPECT_EQ(json::parse(res->body), json({{"status", "ignored"}, {"reason", "Empty audio body"}}));

  // The connection stays usable for further requests.
  res = client.Get("/internal/config");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(json::parse(res->body)["GROQ_API_KEYS"], json::array({"k1", "k2"}));
}

TEST_F(MountedRoutesTest, AQuoteCutByTheBridgeFitsTheHeaderLimitAndOtherKindsAreRouted) {
  // 1,000 Cyrillic letters encode to 6,000 bytes; the bridge cuts them to
  // 3 KiB at whole characters (512 letters), which the server takes.
  std::string encoded;
  for (int i = 0; i < 512; ++i) encoded += "%D0%96";
  httplib::Client client("127.0.0.1", port);
  auto res = client.Post("/whatsapp/incoming/audio", {{"X-Sender", "15551234567"}, {"X-Quoted", encoded}}, "OggS",
                         "application/octet-stream");
  ASSERT_TRUE(res);
  EXPECT_EQ(json::parse(res->body), json({{"status", "received"}}));
  std::string quote;
  for (int i = 0; i < 300; ++i) quote += "\u0416";
  EXPECT_EQ(queued.back().message, "[Replying to: \u201C" + quote + "\u201D]\nRemind me to call mom");

  res = client.Post("/whatsapp/incoming/other", R"({"sender": "15551234567", "kind": "poll"})", "application/json");
  ASSERT_TRUE(res);
  EXPECT_EQ(json::parse(res->body), json({{"status", "received"}}));
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].message, messages::other_kind_message("poll"));
}

TEST_F(MountedRoutesTest, AStrangersAudioIsAnsweredBeforeItsBodyArrives) {
  // The headers promise a megabyte that is never sent: the answer must not wait for it.
  std::string got = raw_exchange(
      "POST /whatsapp/incoming/audio HTTP/1.1\r\nHost: localhost\r\nX-Sender: 4567\r\n"
      "Content-Length: 1000000\r\n\r\n");
  EXPECT_NE(got.find("200 OK"), std::string::npos) << got;
  EXPECT_NE(got.find(R"({"status":"unauthorized"})"), std::string::npos) << got;
  EXPECT_NE(got.find("Connection: close"), std::string::npos) << got;
  EXPECT_EQ(body_reads, 0);
  EXPECT_TRUE(temp.files().empty());

  got = raw_exchange("POST /whatsapp/incoming/audio HTTP/1.1\r\nHost: localhost\r\nContent-Length: 1000000\r\n\r\n");
  EXPECT_NE(got.find(R"({"status":"ignored","reason":"Missing X-Sender header"})"), std::string::npos)
      << got;
}

TEST_F(MountedRoutesTest, GuardedRequestsRunNothing) {
  // DNS rebinding: a page at attacker.example, now resolving to 127.0.0.1, asks for the keys.
  std::string got = raw_exchange("GET /internal/config HTTP/1.1\r\nHost: attacker.example:8000\r\n\r\n");
  EXPECT_NE(got.find("403 Forbidden"), std::string::npos) << got;
  EXPECT_NE(got.find(R"({"detail":"Forbidden"})"), std::string::npos) << got;
  // A cross-site form post as the owner.
  const std::string body = R"({"sender": "15551234567", "message": "delete all reminders"})";
  got = raw_exchange("POST /whatsapp/incoming/text HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: https://evil.example\r\n"
                     "Content-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
  EXPECT_NE(got.find("403 Forbidden"), std::string::npos) << got;
  EXPECT_EQ(config_reads, 0);
  EXPECT_TRUE(queued.empty());

  // With a token, the bridge's requests need it; the health check does not.
  rebind(MASTER, "tok-123");
  httplib::Client client("127.0.0.1", port);
  auto res = client.Post("/whatsapp/incoming/text", body, "application/json");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 401);
  EXPECT_EQ(json::parse(res->body), json({{"detail", "Unauthorized"}}));
  EXPECT_TRUE(queued.empty());
  client.set_default_headers({{"Authorization", "Bearer tok-123"}});
  res = client.Post("/whatsapp/incoming/text", body, "application/json");
  ASSERT_TRUE(res);
  EXPECT_EQ(json::parse(res->body), json({{"status", "received"}}));
  res = client.Get("/internal/config");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(queued.size(), 1u);
}

TEST_F(MountedRoutesTest, ChunkedAudioIsAcceptedToo) {
  std::string got = raw_exchange(
      "POST /whatsapp/incoming/audio HTTP/1.1\r\nHost: localhost\r\nX-Sender: 15551234567\r\n"
      "Transfer-Encoding: chunked\r\n\r\n4\r\nOggS\r\n3\r\nabc\r\n0\r\n\r\n");
  EXPECT_NE(got.find(R"({"status":"received"})"), std::string::npos) << got;
  EXPECT_EQ(seen_audio, "OggSabc");
  EXPECT_TRUE(temp.files().empty());
}

}  // namespace
}  // namespace talmo::ingrest
