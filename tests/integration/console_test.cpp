// `talmo chat` and `talmo doctor` as separate processes against loopback
// fakes of Groq and the bridge.
#include "child.hpp"
#include "core/llm/lexgate/lexgate.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <mutex>

namespace talmo::integration {
namespace {

// The small-talk answer of the router, in the model's reply form.
std::string small_talk(const std::string& text) {
  return json({{"thought", "chat"}, {"module", nullptr}, {"response", text}}).dump();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0, nl;
  while ((nl = text.find('\n', start)) != std::string::npos) {
    out.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return out;
}

TEST(TalmoChat, RepliesInOrderOnStdoutOnlyAndNothingReachesTheBridge) {
  TempFolder home;
  testing::FakeServer bridge, groq;
  script_chat(groq, {small_talk("Hello,\nBoss."), small_talk("Fine, Boss.")});
  auto env = base_env(home);
  env.push_back(std::string("MASTER_NUMBER=") + MASTER);
  env.push_back("GROQ_API_KEYS=gsk_test");
  env.push_back("GROQ_BASE_URL=" + groq.url());
  env.push_back("BRIDGE_URL=" + bridge.url());

  Child talmo({"chat"}, env, "/i\nhello\n\nhow are you?\n");
  ASSERT_EQ(talmo.wait_exit(std::chrono::seconds(60)), 0) << talmo.err();
  EXPECT_EQ(talmo.out(), std::string(IDENTITY_REPORT) + "\nHello,\nBoss.\nFine, Boss.\n");
  EXPECT_TRUE(bridge.requests().empty());
  EXPECT_EQ(talmo.err().find("INFO"), std::string::npos) << talmo.err();

  // One history with WhatsApp: the owner's digits as the bridge sends them.
  db::Database db((home.path / "talmo.db").string());
  json history = memory::make_sqlite_memory(db, 50)->get_history(OWNER);
  ASSERT_EQ(history.size(), 4u) << history.dump();
  EXPECT_EQ(history[0], json({{"role", "user"}, {"content", "hello"}}));
  EXPECT_EQ(history[3], json({{"role", "assistant"}, {"content", "Fine, Boss."}}));
}

TEST(TalmoChat, WorksBeforeOnboardingAndSaysAKeyIsNeeded) {
  TempFolder home;
  Child talmo({"chat"}, base_env(home), "hello\n");
  ASSERT_EQ(talmo.wait_exit(std::chrono::seconds(60)), 0) << talmo.err();
  EXPECT_EQ(talmo.out(), json::parse(lexgate::NO_KEY_REPLY)["reply"].get<std::string>() + "\n");
  db::Database db((home.path / "talmo.db").string());
  EXPECT_EQ(memory::make_sqlite_memory(db, 50)->get_history("console"),
            json::array({{{"role", "user"}, {"content", "hello"}}}));
}

TEST(TalmoChat, AtDebugLevelEachOutboundCallAndStageIsLogged) {
  TempFolder home;
  testing::FakeServer groq;
  script_chat(groq, {small_talk("Hi.")});
  auto env = base_env(home);
  env.push_back("GROQ_API_KEYS=gsk_test");
  env.push_back("GROQ_BASE_URL=" + groq.url());
  env.push_back("TALMO_LOG_LEVEL=debug");
  Child talmo({"chat"}, env, "hello\n");
  ASSERT_EQ(talmo.wait_exit(std::chrono::seconds(60)), 0) << talmo.err();
  EXPECT_EQ(talmo.out(), "Hi.\n");
  for (const std::string& fragment : std::vector<std::string>{"DEBUG   | Stored the owner's message (5 characters)",
                                     "DEBUG   | Outbound POST " + groq.url() + "/chat/completions: HTTP 200 in ",
                                     "DEBUG   | Router: 2 messages sent, ",
                                     "DEBUG   | Reply of 3 characters to console handed over"})
    EXPECT_NE(talmo.err().find(fragment), std::string::npos) << fragment << "\n" << talmo.err();
}

TEST(TalmoChat, LogLinesGoToTheLogFileWhichIsPrivate) {
  TempFolder home;
  testing::FakeServer groq;
  script_chat(groq, {small_talk("Hi.")});
  auto env = base_env(home);
  env.push_back("GROQ_API_KEYS=gsk_test");
  env.push_back("GROQ_BASE_URL=" + groq.url());
  env.push_back("TALMO_LOG_LEVEL=debug");
  env.push_back("TALMO_LOG_FILE=" + (home.path / "logs" / "talmo.log").string());
  Child talmo({"chat"}, env, "hello\n");
  ASSERT_EQ(talmo.wait_exit(std::chrono::seconds(60)), 0) << talmo.err();
  EXPECT_EQ(talmo.out(), "Hi.\n");
  EXPECT_EQ(talmo.err(), "");
  std::ifstream in(home.path / "logs" / "talmo.log");
  const std::string logged((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(logged.find("DEBUG   | Stored the owner's message (5 characters)"), std::string::npos) << logged;
  struct stat folder {}, file {};
  ASSERT_EQ(::stat((home.path / "logs").c_str(), &folder), 0);
  ASSERT_EQ(::stat((home.path / "logs" / "talmo.log").c_str(), &file), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);
  EXPECT_EQ(file.st_mode & 0777, 0600u);
}

// Files from the console take the bridge's road: the vision call or the
// digest, then the conversation on the text.
TEST(TalmoChat, PhotoAndDocumentLinesSendLocalFiles) {
  TempFolder home;
  testing::FakeServer groq;
  script_chat(groq, {"A receipt: EUR 12.50.", small_talk("EUR 12.50, Boss."), "Dentist on Friday at 9.",
                     small_talk("Friday at 9, Boss.")});
  const fs::path photo = home.path / "receipt.JPG", notes = home.path / "my notes.md";
  std::ofstream(photo, std::ios::binary) << std::string("\xFF\xD8\xFF\xE0", 4);
  std::ofstream(notes, std::ios::binary) << "- dentist: Friday 9:00\n";
  auto env = base_env(home);
  env.push_back(std::string("MASTER_NUMBER=") + MASTER);
  env.push_back("GROQ_API_KEYS=gsk_test");
  env.push_back("GROQ_BASE_URL=" + groq.url());

  Child talmo({"chat"}, env,
              "/photo " + photo.string() + "  how much?\n/document \"" + notes.string() + "\"\n/photo " +
                  (home.path / "missing.png").string() + "\n");
  ASSERT_EQ(talmo.wait_exit(std::chrono::seconds(60)), 0) << talmo.err();
  EXPECT_EQ(talmo.out(), "EUR 12.50, Boss.\nFriday at 9, Boss.\nCannot read " + (home.path / "missing.png").string() +
                             ": No such file or directory\n");
  const auto requests = groq.requests_to("/chat/completions");
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(json::parse(requests[0].body)["messages"][0]["content"][1]["image_url"]["url"],
            "data:image/jpeg;base64,/9j/4A==");
  EXPECT_EQ(json::parse(requests[1].body)["messages"].back()["content"], "how much?\n[Photo: A receipt: EUR 12.50.]");
  EXPECT_EQ(json::parse(requests[2].body)["messages"][1]["content"],
            "Caption: (none)\nFile name: my notes.md\nText:\n- dentist: Friday 9:00\n");
  EXPECT_EQ(json::parse(requests[3].body)["messages"].back()["content"],
            "[Document “my notes.md”: Dentist on Friday at 9.]");
}

// A whole set-up on loopback fakes; each test spoils one part of it.
class TalmoDoctor : public ::testing::Test {
 protected:
  void SetUp() override {
    groq.on("GET", "/models", [](const testing::RecordedRequest& r, httplib::Response& res) {
      if (r.header("Authorization") != "Bearer gsk_good") {
        res.status = 401;
        res.set_content(R"({"error": {"message": "Invalid API Key"}})", "application/json");
        return;
      }
      res.set_content(R"({"object": "list", "data": [{"id": "llama-3.3-70b-versatile"},
                          {"id": "whisper-large-v3-turbo"}]})",
                      "application/json");
    });
    status = {{"connected", true}, {"paired", true}, {"number", OWNER}};
    // Our bridge answers /status only to holders of the shared token.
    bridge.on("GET", "/status", [this](const testing::RecordedRequest& r, httplib::Response& res) {
      if (r.header("Authorization") != "Bearer bridge-secret") {
        res.status = 401;
        res.set_content(R"({"ok": false, "error": "unauthorized"})", "application/json");
        return;
      }
      std::lock_guard lock(status_mu);
      res.set_content(status.dump(), "application/json");
    });
  }

  // Writes the configuration file with `mode` and runs the doctor.
  int run(const std::string& keys, mode_t mode) {
    const fs::path file = home.path / "config.toml";
    std::ofstream(file) << "MASTER_NUMBER = \"" << MASTER << "\"\nGROQ_API_KEYS = " << keys
                        << "\nTAVILY_API_KEY = \"tvly-test\"\nBRIDGE_TOKEN = \"bridge-secret\"\nGROQ_BASE_URL = \"" << groq.url()
                        << "\"\nBRIDGE_URL = \"" << bridge.url() << "\"\nTALMO_PORT = " << free_port()
                        << "\nTALMO_DATA_DIR = \"" << (home.path / "data").string() << "\"\n";
    ::chmod(file.c_str(), mode);
    Child talmo({"doctor"}, base_env(home));
    const int code = talmo.wait_exit(std::chrono::seconds(60));
    out = talmo.out();
    return code;
  }

  bool has_line_starting(const std::string& start) const {
    for (auto& line : lines_of(out))
      if (line.rfind(start, 0) == 0) return true;
    return false;
  }

  // What the fake bridge reports; it answers on its own threads, so the
  // servers are declared after it, and stopped before it goes.
  std::mutex status_mu;
  json status;
  TempFolder home;
  testing::FakeServer groq, bridge;
  std::string out;
};

TEST_F(TalmoDoctor, AHealthySetUpPassesAndNothingIsCreated) {
  EXPECT_EQ(run(R"(["gsk_good"])", 0600), 0) << out;
  for (const char* line : {"✓ Groq key 1 accepted", "✓ GROQ_MODEL llama-3.3-70b-versatile is offered",
                           "✓ WHISPER_MODEL whisper-large-v3-turbo is offered",
                           "✓ WhatsApp is paired as +15551234567 and connected"})
    EXPECT_TRUE(has_line_starting(line)) << line << "\n" << out;
  for (auto& line : lines_of(out)) EXPECT_EQ(line.rfind("✗", 0), std::string::npos) << line;
  // Only photos depend on the vision model: its absence is a warning.
  EXPECT_TRUE(has_line_starting("! VISION_MODEL meta-llama/llama-4-scout-17b-16e-instruct is not offered by Groq"))
      << out;
  EXPECT_FALSE(fs::exists(home.path / "data"));
}

TEST_F(TalmoDoctor, ARefusedKeyAPublicFileAndAnUnpairedBridgeFailEachWithItsFix) {
  {
    std::lock_guard lock(status_mu);
    status = {{"connected", false}, {"paired", false}, {"number", nullptr}};
  }
  EXPECT_EQ(run(R"(["gsk_good", "gsk_refused"])", 0644), 1) << out;
  EXPECT_TRUE(has_line_starting("✓ Groq key 1 accepted")) << out;
  EXPECT_TRUE(has_line_starting("✗ Groq key 2 refused by Groq (HTTP 401): replace it")) << out;
  EXPECT_TRUE(has_line_starting("✗ configuration file " + (home.path / "config.toml").string() +
                                " can be read by other users (mode 0644)"))
      << out;
  EXPECT_TRUE(has_line_starting("✗ WhatsApp is not paired; the bridge is waiting for it: scan the QR code")) << out;
  EXPECT_EQ(out.find("gsk_refused"), std::string::npos) << "a key was printed";
}

TEST_F(TalmoDoctor, AnUnreachableGroqAndASilentBridgeFail) {
  groq.stop();
  bridge.stop();
  EXPECT_EQ(run(R"(["gsk_good", "gsk_other"])", 0600), 1) << out;
  EXPECT_TRUE(has_line_starting("✗ Groq key 1 not checked: Groq is unreachable")) << out;
  EXPECT_TRUE(has_line_starting("✗ Groq key 2 not checked: Groq is unreachable")) << out;
  EXPECT_TRUE(has_line_starting("✗ the bridge does not answer at " + bridge.url())) << out;
}

}  // namespace
}  // namespace talmo::integration
