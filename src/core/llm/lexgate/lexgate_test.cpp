// The LLM gateway against a loopback service: requests, key rotation, failures, secrets, transcription.
#include "core/llm/lexgate/lexgate.hpp"

#include "support/log.hpp"
#include "testing/fake_server.hpp"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

namespace talmo::lexgate {
namespace {

using talmo::testing::FakeServer;
using talmo::testing::RecordedRequest;

// Random-looking keys with no stretch in common, so a leak of any part shows.
const std::string K0 = "gAq7Zt31kXp0";
const std::string K1 = "Lm92wQeR4vBn";
const std::string K2 = "Tz8Yc5uHj6Ds";

std::string completion(const json& content) {
  json doc = {{"id", "chatcmpl-1"},
              {"object", "chat.completion"},
              {"choices", json::array({{{"index", 0},
                                        {"message", {{"role", "assistant"}, {"content", content}}},
                                        {"finish_reason", "stop"}}})}};
  return doc.dump();
}

std::string groq_error(const std::string& message) {
  return json{{"error", {{"message", message}, {"type", "invalid_request_error"}}}}.dump();
}

std::string bearer_key(const RecordedRequest& r) {
  std::string h = r.header("Authorization");
  return h.rfind("Bearer ", 0) == 0 ? h.substr(7) : "";
}

json conversation() {
  return json::array({{{"role", "system"}, {"content", "You are Talmo."}},
                      {{"role", "user"}, {"content", "hi"}}});
}

class LexgateTest : public ::testing::Test {
 protected:
  void SetUp() override { log::set_stderr_enabled(false); }

  // No log line may hold any eight-character stretch of a key.
  void TearDown() override {
    for (const auto& record : capture.records()) {
      for (const auto& key : {K0, K1, K2}) {
        for (std::size_t i = 0; i + 8 <= key.size(); ++i)
          EXPECT_EQ(record.message.find(key.substr(i, 8)), std::string::npos)
              << "key material in log line: " << record.message;
      }
    }
  }

  void use_keys(std::vector<std::string> keys, std::size_t index = 0) {
    Settings s;
    s.api_keys = std::move(keys);
    s.model = "test-model";
    s.whisper_model = "test-whisper";
    s.base_url = groq.url();
    s.chat_timeout_ms = 5000;
    s.transcription_timeout_ms = 5000;
    customise(s);
    bind(s);
    set_current_key_index(index);
  }

  void answer_chat(std::map<std::string, std::pair<int, std::string>> per_key) {
    answer_per_key("/chat/completions", std::move(per_key), "application/json");
  }

  // Each key in `per_key` gets its (status, body); any other key gets a 401.
  void answer_per_key(const std::string& path, std::map<std::string, std::pair<int, std::string>> per_key,
                      std::string content_type) {
    groq.on("POST", path, [per_key, content_type](const RecordedRequest& r, httplib::Response& res) {
      auto it = per_key.find(bearer_key(r));
      if (it == per_key.end()) {
        res.status = 401;
        res.set_content(groq_error("Invalid API Key"), "application/json");
        return;
      }
      res.status = it->second.first;
      res.set_content(it->second.second, content_type.c_str());
    });
  }

  std::vector<std::string> keys_tried() {
    std::vector<std::string> out;
    for (const auto& r : groq.requests()) out.push_back(bearer_key(r));
    return out;
  }

  std::function<void(Settings&)> customise = [](Settings&) {};
  log::Capture capture;
  FakeServer groq;
};

TEST_F(LexgateTest, FixedRepliesAreWorkerShapedJson) {
  json no_key = json::parse(NO_KEY_REPLY);
  EXPECT_EQ(no_key.dump(),
            R"({"status":"error","reply":"Please configure a Groq API key to start chatting. Run \"talmo onboard\" to set it up.","actions":[],"thought":"No API keys"})");
  json all_failed = json::parse(ALL_FAILED_REPLY);
  EXPECT_EQ(all_failed.dump(),
            R"({"status":"error","reply":"I am currently unable to connect to my language engine. Please try again shortly.","actions":[],"thought":"All API keys failed"})");
  // One line, with ", " and ": " separators.
  EXPECT_EQ(std::string(ALL_FAILED_REPLY).find('\n'), std::string::npos);
  EXPECT_NE(std::string(NO_KEY_REPLY).find(R"("status": "error", "reply": ")"), std::string::npos);
}

// Each call that reached the service is recorded once, with the answer's
// token counts and the stage named by the caller; no message text.
TEST_F(LexgateTest, RecordsUsagePerCallWithItsStage) {
  std::vector<CallUsage> calls;
  customise = [&calls](Settings& s) { s.record_usage = [&calls](const CallUsage& c) { calls.push_back(c); }; };
  use_keys({K0, K1});
  json answer = json::parse(completion("secret reply"));
  answer["usage"] = {{"prompt_tokens", 120}, {"completion_tokens", 30}, {"total_tokens", 150}, {"queue_time", 0.1}};
  answer_chat({{K1, {200, answer.dump()}}});
  {
    const Stage stage("router");
    EXPECT_EQ(get_response_with_system(conversation()), std::string("secret reply"));
    {
      const Stage inner("summarizer");
      answer_chat({{K1, {200, completion(nullptr)}}});  // no usage member, null content
      EXPECT_EQ(get_response_with_system(conversation()), std::nullopt);
    }
    answer_chat({});
    EXPECT_EQ(get_response_with_system(conversation()), std::string(ALL_FAILED_REPLY));
  }
  get_response_with_system(conversation());
  use_keys({});
  get_response_with_system(conversation());  // no key: nothing reached the service

  ASSERT_EQ(calls.size(), 4u);
  const std::tuple<std::string, bool, std::optional<std::int64_t>, std::optional<std::int64_t>,
                   std::optional<std::int64_t>>
      expected[] = {{"router", true, 120, 30, 150},
                    {"summarizer", true, std::nullopt, std::nullopt, std::nullopt},
                    {"router", false, std::nullopt, std::nullopt, std::nullopt},
                    {"other", false, std::nullopt, std::nullopt, std::nullopt}};
  for (std::size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].model, "test-model");
    EXPECT_EQ(std::tie(calls[i].stage, calls[i].ok, calls[i].prompt_tokens, calls[i].completion_tokens,
                       calls[i].total_tokens),
              expected[i])
        << i;
  }

  // A recorder that fails is logged and changes no answer.
  customise = [](Settings& s) { s.record_usage = [](const CallUsage&) { throw std::runtime_error("disk full"); }; };
  use_keys({K1});
  answer_chat({{K1, {200, completion("still here")}}});
  EXPECT_EQ(get_response_with_system(conversation()), std::string("still here"));
  EXPECT_TRUE(capture.has(log::Level::error, "Could not record token usage: disk full"));
}

TEST_F(LexgateTest, NoKeysAnswersWithoutCallingTheService) {
  use_keys({});
  EXPECT_EQ(get_response_with_system(conversation()), std::string(NO_KEY_REPLY));
  EXPECT_EQ(capture.messages(log::Level::error), std::vector<std::string>{"No Groq API keys configured."});
  EXPECT_EQ(transcribe_audio("/no/such/file.ogg"), "");
  EXPECT_TRUE(capture.has(log::Level::error, "No Groq API keys configured for transcription."));
  EXPECT_TRUE(capture.messages(log::Level::warning).empty());  // the file was never opened
  EXPECT_TRUE(groq.requests().empty());
  EXPECT_EQ(current_key_index(), 0u);
}

TEST_F(LexgateTest, SendsExactlyModelAndMessagesAndReturnsContentUnchanged) {
  use_keys({K0});
  answer_chat({{K0, {200, completion("  Hello, Boss.\n\n")}}});
  json messages = json::array({{{"role", "system"}, {"content", "Sei breve — ok?"}},
                               {{"role", "user"}, {"content", "hi"}},
                               {{"role", "assistant"}, {"content", "Hello"}}});

  EXPECT_EQ(get_response_with_system(messages), std::string("  Hello, Boss.\n\n"));

  auto requests = groq.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, "/chat/completions");
  EXPECT_EQ(requests[0].header("Authorization"), "Bearer " + K0);
  EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
  EXPECT_EQ(requests[0].body,
            R"({"model": "test-model", "messages": [{"role": "system", "content": "Sei breve \u2014 ok?"}, )"
            R"({"role": "user", "content": "hi"}, {"role": "assistant", "content": "Hello"}]})");
  EXPECT_EQ(current_key_index(), 0u);
  EXPECT_TRUE(capture.messages(log::Level::warning).empty());
}

TEST_F(LexgateTest, RefusesAnythingButAListBeforeDoingAnything) {
  use_keys({K0});
  EXPECT_THROW(get_response_with_system(json::object({{"role", "user"}})), std::invalid_argument);
  EXPECT_THROW(get_response_with_system(json("hi")), std::invalid_argument);
  EXPECT_TRUE(groq.requests().empty());
  EXPECT_TRUE(capture.records().empty());
}

TEST_F(LexgateTest, OneFailingKeyGivesTheAllFailedReply) {
  use_keys({K0});
  answer_chat({});
  EXPECT_EQ(get_response_with_system(conversation()), std::string(ALL_FAILED_REPLY));
  EXPECT_EQ(capture.messages(log::Level::warning),
            std::vector<std::string>{"Key index 0 (Chat) failed: HTTP 401: Invalid API Key"});
  EXPECT_EQ(capture.messages(log::Level::error),
            std::vector<std::string>{"All Groq API keys failed for Chat."});
  EXPECT_EQ(current_key_index(), 0u);
}

TEST_F(LexgateTest, AFailedKeyIsPassedOverForGood) {
  use_keys({K0, K1, K2}, 1);
  answer_chat({{K1, {429, groq_error("Rate limit reached for model x. Please try again in 7.671s.")}},
               {K2, {200, completion("from key 2")}}});

  EXPECT_EQ(get_response_with_system(conversation()), std::string("from key 2"));
  EXPECT_EQ(capture.messages(log::Level::warning),
            std::vector<std::string>{
                "Key index 1 (Chat) failed: HTTP 429: Rate limit reached for model x. Please try again in 7.671s."});
  EXPECT_EQ(current_key_index(), 2u);

  // The next call starts with the key that worked, not with key 0.
  get_response_with_system(conversation());
  EXPECT_EQ(keys_tried(), (std::vector<std::string>{K1, K2, K2}));
  EXPECT_EQ(current_key_index(), 2u);
}

TEST_F(LexgateTest, AllKeysFailingWrapAroundAndLeaveTheIndexWhereItStarted) {
  use_keys({K0, K1, K2}, 2);
  answer_chat({{K0, {500, groq_error("Internal Server Error")}}});

  EXPECT_EQ(get_response_with_system(conversation()), std::string(ALL_FAILED_REPLY));
  EXPECT_EQ(capture.messages(log::Level::warning),
            (std::vector<std::string>{"Key index 2 (Chat) failed: HTTP 401: Invalid API Key",
                                      "Key index 0 (Chat) failed: HTTP 500: Internal Server Error",
                                      "Key index 1 (Chat) failed: HTTP 401: Invalid API Key"}));
  EXPECT_EQ(keys_tried(), (std::vector<std::string>{K2, K0, K1}));
  EXPECT_EQ(current_key_index(), 2u);
}

TEST_F(LexgateTest, NullContentIsAbsentAndNotAFailure) {
  use_keys({K0, K1});
  answer_chat({{K0, {200, completion(nullptr)}}});
  EXPECT_EQ(get_response_with_system(conversation()), std::nullopt);
  EXPECT_TRUE(capture.messages(log::Level::warning).empty());
  EXPECT_EQ(current_key_index(), 0u);
}

TEST_F(LexgateTest, EveryUnusableAnswerIsAFailureOfThatKey) {
  struct Case {
    int status;
    std::string body;
    std::string warning_tail;
  };
  const std::vector<Case> cases = {
      {403, groq_error("Forbidden"), "HTTP 403: Forbidden"},
      {404, groq_error("The model `x` does not exist or you do not have access to it."),
       "HTTP 404: The model `x` does not exist or you do not have access to it."},
      {502, "<html>Bad Gateway</html>", "HTTP 502: <html>Bad Gateway</html>"},
      {503, "", "HTTP 503"},
      {200, "<html>not json</html>", "the response is not valid JSON"},
      {200, "", "the response is not valid JSON"},
      {200, R"({"choices": []})", "the response has no choices[0].message.content"},
      {200, R"({"object": "chat.completion"})", "the response has no choices[0].message.content"},
      {200, R"({"choices": [{"message": {"role": "assistant"}}]})",
       "the response has no choices[0].message.content"},
      {200, R"([1, 2])", "the response has no choices[0].message.content"},
      {200, completion(42), "choices[0].message.content is neither text nor null"},
      {200, completion(json::array({"a"})), "choices[0].message.content is neither text nor null"},
      {200, completion(json::object({{"text", "a"}})), "choices[0].message.content is neither text nor null"},
      // Nested past the depth limit (a stack overflow if rendered), or too large to hold.
      {200, std::string(100000, '[') + std::string(100000, ']'), "the response is not valid JSON"},
      {200, completion(std::string(MAX_ANSWER_BYTES, 'x')),
       "the answer is larger than " + std::to_string(MAX_ANSWER_BYTES) + " bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    capture.clear();
    use_keys({K0, K1});
    answer_chat({{K0, {c.status, c.body}}, {K1, {200, completion("fine")}}});
    EXPECT_EQ(get_response_with_system(conversation()), std::string("fine"));
    const auto warnings = capture.messages(log::Level::warning);
    ASSERT_FALSE(warnings.empty());
    EXPECT_EQ(warnings.back(), "Key index 0 (Chat) failed: " + c.warning_tail);
    // An answer cut off at the size limit also says so in a line of its own.
    EXPECT_EQ(warnings.size(), c.body.size() > MAX_ANSWER_BYTES ? 2u : 1u);
    EXPECT_EQ(current_key_index(), 1u);
  }
}

TEST_F(LexgateTest, KeysEchoedByTheServiceAreBlankedInTheWarning) {
  use_keys({K0});
  // Groq shows the first and last four characters of a wrong key; those may
  // stay, eight in a row may not.
  answer_chat({{K0, {401, groq_error("Incorrect API key provided: " + K0.substr(0, 4) + "****" +
                                     K0.substr(8) + " (full: " + K0 + ", part: " + K0.substr(2, 9) +
                                     ", other: gsk_9f8e7d)")}}});
  get_response_with_system(conversation());
  EXPECT_EQ(capture.messages(log::Level::warning),
            std::vector<std::string>{"Key index 0 (Chat) failed: HTTP 401: Incorrect API key provided: "
                                     "gAq7****kXp0 (full: ***, part: ***, other: ***)"});
}

TEST_F(LexgateTest, SecretsInTheConversationNeverReachTheService) {
  use_keys({K0, K1});
  answer_chat({{K0, {200, completion("ok")}}});
  json messages = json::array(
      {{{"role", "system"}, {"content", "You are Talmo."}},
       {{"role", "user"}, {"content", "SERVER: ERROR: HTTP 401 for key " + K1 + " and tvly-abc"}},
       {{"role", "user"}, {"content", "the content of " + K1.substr(0, 7) + " stays"}}});
  get_response_with_system(messages);
  auto requests = groq.requests();
  ASSERT_EQ(requests.size(), 1u);
  json sent = json::parse(requests[0].body)["messages"];
  EXPECT_EQ(sent[1]["content"], "SERVER: ERROR: HTTP 401 for key *** and ***");
  EXPECT_EQ(sent[2]["content"], "the content of " + K1.substr(0, 7) + " stays");
  EXPECT_EQ(sent[0]["content"], "You are Talmo.");
}

TEST_F(LexgateTest, ATimeoutOrADeadServiceIsAFailureOfTheKey) {
  customise = [](Settings& s) { s.chat_timeout_ms = 60; };
  use_keys({K0, K1});
  groq.on("POST", "/chat/completions", [](const RecordedRequest& r, httplib::Response& res) {
    if (bearer_key(r) == K0) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    res.set_content(completion("late or not"), "application/json");
  });
  EXPECT_EQ(get_response_with_system(conversation()), std::string("late or not"));
  ASSERT_EQ(capture.messages(log::Level::warning).size(), 1u);
  EXPECT_TRUE(capture.contains(log::Level::warning, "Key index 0 (Chat) failed: Timeout was reached"));

  capture.clear();
  groq.stop();
  EXPECT_EQ(get_response_with_system(conversation()), std::string(ALL_FAILED_REPLY));
  auto warnings = capture.messages(log::Level::warning);
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_EQ(warnings[0].rfind("Key index 1 (Chat) failed: Couldn't connect to server", 0), 0u) << warnings[0];
  EXPECT_EQ(warnings[1].rfind("Key index 0 (Chat) failed: Couldn't connect to server", 0), 0u) << warnings[1];
}

TEST_F(LexgateTest, ConcurrentFailuresOfOneKeyAdvanceTheIndexOnce) {
  use_keys({K0, K1, K2});
  answer_chat({{K1, {200, completion("ok")}}, {K2, {200, completion("ok")}}});
  std::vector<std::thread> threads;
  std::atomic<int> answered{0};
  for (int i = 0; i < 6; ++i)
    threads.emplace_back([&] {
      if (get_response_with_system(conversation()) == std::optional<std::string>("ok")) ++answered;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(answered, 6);
  // However the calls interleave, key 1 never failed, so nothing moves past it.
  EXPECT_EQ(current_key_index(), 1u);
}

// ---- transcription ----

class TranscriptionTest : public LexgateTest {
 protected:
  void SetUp() override {
    LexgateTest::SetUp();
    char pattern[] = "/tmp/lexgate_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    audio = dir / "voice.ogg";
    std::ofstream(audio, std::ios::binary) << std::string("OggS\0\x01\xff audio", 13);
  }
  void TearDown() override {
    std::filesystem::remove_all(dir);
    LexgateTest::TearDown();
  }

  void answer_transcription(std::map<std::string, std::pair<int, std::string>> per_key) {
    answer_per_key("/audio/transcriptions", std::move(per_key), "text/plain");
  }

  std::filesystem::path dir;
  std::filesystem::path audio;
};

TEST_F(TranscriptionTest, UploadsTheFileAndTrimsTheTranscript) {
  use_keys({K0});
  answer_transcription({{K0, {200, "  hello \n"}}});

  EXPECT_EQ(transcribe_audio(audio.string()), "hello");

  auto requests = groq.requests();
  ASSERT_EQ(requests.size(), 1u);
  const auto& r = requests[0];
  EXPECT_EQ(r.path, "/audio/transcriptions");
  EXPECT_EQ(r.header("Authorization"), "Bearer " + K0);
  EXPECT_EQ(r.content_type.rfind("multipart/form-data; boundary=", 0), 0u);
  ASSERT_EQ(r.form.size(), 3u);
  EXPECT_EQ(r.form.at("file").first, std::string("OggS\0\x01\xff audio", 13));
  EXPECT_EQ(r.form.at("file").second, "voice.ogg");
  EXPECT_EQ(r.form.at("model").first, "test-whisper");
  EXPECT_EQ(r.form.at("response_format").first, "text");
  EXPECT_EQ(current_key_index(), 0u);
}

TEST_F(TranscriptionTest, AMissingFileFailsEveryKeyWithoutASingleRequest) {
  use_keys({K0, K1});
  answer_transcription({{K0, {200, "never"}}, {K1, {200, "never"}}});
  const std::string missing = (dir / "gone.ogg").string();

  EXPECT_EQ(transcribe_audio(missing), "");

  const std::string why = "cannot read audio file '" + missing + "': No such file or directory";
  EXPECT_EQ(capture.messages(log::Level::warning),
            (std::vector<std::string>{"Key index 0 (Whisper) failed: " + why,
                                      "Key index 1 (Whisper) failed: " + why}));
  EXPECT_EQ(capture.messages(log::Level::error),
            std::vector<std::string>{"All Groq API keys failed for Whisper."});
  EXPECT_TRUE(groq.requests().empty());
  EXPECT_EQ(current_key_index(), 0u);
}

TEST_F(TranscriptionTest, SharesTheRotationIndexWithChat) {
  // A transcription that fails on key 0 and succeeds on key 1 ...
  use_keys({K0, K1, K2});
  answer_transcription({{K0, {500, groq_error("upstream broke")}}, {K1, {200, "hi there"}}});
  answer_chat({{K1, {200, completion("ok")}}});

  EXPECT_EQ(transcribe_audio(audio.string()), "hi there");
  EXPECT_EQ(capture.messages(log::Level::warning),
            std::vector<std::string>{"Key index 0 (Whisper) failed: HTTP 500: upstream broke"});

  // ... makes the next chat start with key 1.
  EXPECT_EQ(get_response_with_system(conversation()), std::string("ok"));
  EXPECT_EQ(bearer_key(groq.requests_to("/chat/completions").at(0)), K1);
  EXPECT_EQ(current_key_index(), 1u);

  // A chat failure moves the index the next transcription starts from.
  answer_chat({{K2, {200, completion("ok")}}});
  answer_transcription({{K2, {200, "from two"}}});
  get_response_with_system(conversation());
  EXPECT_EQ(current_key_index(), 2u);
  groq.clear();
  EXPECT_EQ(transcribe_audio(audio.string()), "from two");
  EXPECT_EQ(bearer_key(groq.requests().at(0)), K2);
}

TEST_F(TranscriptionTest, ATimeoutFailsTheKey) {
  customise = [](Settings& s) { s.transcription_timeout_ms = 60; };
  use_keys({K0});
  groq.on("POST", "/audio/transcriptions", [](const RecordedRequest&, httplib::Response& res) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    res.set_content("late", "text/plain");
  });
  EXPECT_EQ(transcribe_audio(audio.string()), "");
  EXPECT_TRUE(capture.contains(log::Level::warning, "Key index 0 (Whisper) failed: Timeout was reached"));
  EXPECT_TRUE(capture.has(log::Level::error, "All Groq API keys failed for Whisper."));
}

// A key check asks for the model list with the key; the answer's status
// tells a working key from a refused one, and says nothing about the key when
// it is anything else or when no answer comes.
TEST(CheckKey, TellsWorkingRefusedUnreachableAndUnknownKeysApart) {
  log::set_stderr_enabled(false);
  FakeServer groq;
  const std::string models = R"({"object": "list", "data": [{"id": "llama-3.3-70b-versatile"}]})";
  // Each key names the status it is answered with.
  groq.on("GET", "/models", [&](const RecordedRequest& r, httplib::Response& res) {
    res.status = std::stoi(bearer_key(r).substr(4));
    res.set_content(res.status == 200 ? models : groq_error("no"), "application/json");
  });
  const struct {
    int status;
    KeyVerdict verdict;
  } cases[] = {{200, KeyVerdict::works},   {401, KeyVerdict::refused}, {403, KeyVerdict::refused},
               {404, KeyVerdict::unknown}, {429, KeyVerdict::unknown}, {500, KeyVerdict::unknown}};
  bool slash = false;
  for (const auto& c : cases) {
    // The base URL as configured, with or without a closing slash.
    const KeyCheck check = check_key("gsk_" + std::to_string(c.status), groq.url() + (slash ? "/" : ""));
    slash = !slash;
    EXPECT_EQ(check.verdict, c.verdict) << c.status;
    EXPECT_EQ(check.status, c.status);
    EXPECT_EQ(check.error, "");
    if (c.verdict == KeyVerdict::works) {
      EXPECT_EQ(check.body, models);
    }
  }
  EXPECT_EQ(groq.requests_to("/models").size(), std::size(cases));

  groq.stop();
  const KeyCheck check = check_key("gsk_200", groq.url());
  EXPECT_EQ(check.verdict, KeyVerdict::unreachable);
  EXPECT_NE(check.error, "");
}

}  // namespace
}  // namespace talmo::lexgate
