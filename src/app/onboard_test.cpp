// Onboarding, by flags and interactively: what it writes, refuses, asks again and keeps.
#include "app/onboard.hpp"

#include "app/greeting.hpp"

#include "core/identity/identity.hpp"
#include "support/db.hpp"
#include "support/json.hpp"
#include "support/log.hpp"
#include "support/program.hpp"
#include "testing/fake_server.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace talmo::app {
namespace {

namespace fs = std::filesystem;

class OnboardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log::set_stderr_enabled(false);
    std::string templ = (fs::temp_directory_path() / "onboard-test-XXXXXX").string();
    home = ::mkdtemp(templ.data());
    groq.reply("GET", "/models", 200, R"({"object": "list", "data": []})");
    bridge.reply("POST", "/send", 200, R"({"status": "sent"})");
    vars["TALMO_HOME"] = home.string();
    vars["GROQ_BASE_URL"] = groq.url();
    vars["BRIDGE_URL"] = bridge.url();
    flags.config_path = home / "config.toml";
  }
  void TearDown() override {
    fs::remove_all(home);
    log::set_stderr_enabled(true);
  }

  int run(const std::string& input = "") {
    std::istringstream in(input);
    out.str("");
    err.str("");
    auto env = [this](const std::string& name) -> std::optional<std::string> {
      auto it = vars.find(name);
      if (it == vars.end()) return std::nullopt;
      return it->second;
    };
    // Hidden input is read from the same lines in tests.
    auto hidden = [](std::istream& s) -> std::optional<std::string> {
      std::string line;
      if (!std::getline(s, line)) return std::nullopt;
      return line;
    };
    return onboard(flags, env, OnboardTerminal{in, out, err, hidden});
  }

  std::string config_text() {
    std::ifstream f(home / "config.toml");
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }

  std::string pending_greeting() {
    db::Database db((home / "talmo.db").string());
    return greeting::pending(db).value_or("<none>");
  }

  json stored_identity() {
    db::Database db((home / "talmo.db").string());
    return identity::make_sqlite_store(db)->get_identity();
  }

  std::vector<std::string> authorizations() {
    std::vector<std::string> out;
    for (auto& r : groq.requests_to("/models")) out.push_back(r.header("Authorization"));
    return out;
  }

  fs::path home;
  testing::FakeServer groq;
  testing::FakeServer bridge;
  std::map<std::string, std::string> vars;
  OnboardFlags flags;
  std::ostringstream out, err;
};

TEST_F(OnboardTest, FlagsFormWritesConfigurationIdentityAndGreetsTheOwner) {
  std::ofstream(home / "config.toml") << "# mine\nTALMO_PORT = 9000\n";
  flags.yes = true;
  flags.master_number = "+1 (555) 123-4567";
  flags.accept_number = true;  // a test number, not one in use
  flags.groq_keys = {"gsk_one", "gsk_two"};
  flags.tavily_key = "tvly-x";
  flags.owner = "Chief";
  flags.tone = "Witty";
  flags.timezone = "Europe/Berlin";
  ASSERT_EQ(run(), 0) << err.str();

  EXPECT_EQ(authorizations(), (std::vector<std::string>{"Bearer gsk_one", "Bearer gsk_two"}));
  struct stat st {};
  ASSERT_EQ(::stat((home / "config.toml").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::string text = config_text();
  for (const char* fragment : {"TALMO_PORT = 9000", "+1 (555) 123-4567", "gsk_one", "gsk_two", "tvly-x",
                               "Europe/Berlin"})
    EXPECT_NE(text.find(fragment), std::string::npos) << fragment << " in\n" << text;
  // No key reaches the terminal; the number is shown as understood, with its country.
  EXPECT_EQ(out.str().find("gsk_"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("Owner number: +1 555-123-4567 (United States)"), std::string::npos) << out.str();
  // The wait for Groq is announced before it begins.
  EXPECT_LT(out.str().find("Checking the keys with Groq…\n"), out.str().find("Groq key 1 works")) << out.str();

  EXPECT_EQ(stored_identity(), json({{"bot_name", "Talmo"},
                                     {"owner", "Chief"},
                                     {"tone", "Witty"},
                                     {"response_type", "Concise"}}));
  // The greeting waits in the database for `talmo serve`; the bridge is not paired yet.
  EXPECT_EQ(pending_greeting(),
            "🔋 *Powered up, Chief.*\n\nTalmo reporting in. I've been set to _Witty_ tone.\n\nAt your service.");
  EXPECT_TRUE(bridge.requests().empty());
}

TEST_F(OnboardTest, ABridgeTokenIsDrawnOnceAndKept) {
  flags.yes = true;
  flags.master_number = "+92 300 1234567";
  flags.groq_keys = {"gsk_one"};
  flags.no_check = true;
  ASSERT_EQ(run(), 0) << err.str();
  EXPECT_NE(out.str().find("Owner number: +92 300 1234567 (Pakistan)"), std::string::npos) << out.str();
  auto token_in_file = [this] {
    const std::string text = config_text();
    const std::size_t at = text.find("BRIDGE_TOKEN = \"");
    return at == std::string::npos ? std::string() : text.substr(at + 16, text.find('"', at + 16) - at - 16);
  };
  const std::string token = token_in_file();
  EXPECT_EQ(token.size(), 43u) << config_text();  // 32 bytes in URL-safe base64, unpadded
  EXPECT_EQ(token.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
            std::string::npos);
  ASSERT_EQ(run(), 0) << err.str();
  EXPECT_EQ(token_in_file(), token);
  EXPECT_NE(new_bridge_token(), new_bridge_token());

  // A hand-set token too short to be safe is replaced, and the owner is told.
  std::string text = config_text();
  text.replace(text.find(token), token.size(), "hello");
  std::ofstream(home / "config.toml") << text;
  ASSERT_EQ(run(), 0) << err.str();
  EXPECT_EQ(token_in_file().size(), 43u) << config_text();
  EXPECT_NE(out.str().find("BRIDGE_TOKEN was shorter than 16 characters"), std::string::npos) << out.str();
}

TEST_F(OnboardTest, InvalidFlagsWriteNothing) {
  flags.yes = true;
  flags.accept_number = true;
  flags.groq_keys = {"gsk_one"};
  flags.no_check = true;

  for (const char* master : {"not a number", "0300 1234567"}) {
    flags.master_number = master;
    EXPECT_EQ(run(), 2);
    EXPECT_NE(err.str().find("--master-number"), std::string::npos) << err.str();
  }
  EXPECT_NE(err.str().find("+92 300 1234567"), std::string::npos) << err.str();

  flags.master_number = "15551234567";
  flags.timezone = "Mars/Olympus";
  EXPECT_EQ(run(), 2);
  EXPECT_NE(err.str().find("Mars/Olympus"), std::string::npos) << err.str();

  flags.timezone = "UTC";
  flags.groq_keys = {};
  EXPECT_EQ(run(), 2);
  EXPECT_NE(err.str().find("--groq-key"), std::string::npos) << err.str();

  flags.groq_keys = {"gsk one"};
  EXPECT_EQ(run(), 2);

  flags.groq_keys = {"gsk_one"};
  flags.bot_name = "   ";  // blank falls back to the default name
  flags.tone = "two\nlines";
  EXPECT_EQ(run(), 2);

  EXPECT_FALSE(fs::exists(home / "config.toml"));
  EXPECT_FALSE(fs::exists(home / "talmo.db"));
  EXPECT_TRUE(groq.requests().empty());
  EXPECT_TRUE(bridge.requests().empty());
}

TEST_F(OnboardTest, ARefusedKeyIsAnErrorWithFlagsAndDroppedInteractively) {
  groq.on("GET", "/models", [](const testing::RecordedRequest& r, httplib::Response& res) {
    bool good = r.header("Authorization") == "Bearer gsk_good";
    res.status = good ? 200 : 401;
    res.set_content(good ? "{}" : R"({"error": {"message": "Invalid API Key"}})", "application/json");
  });
  flags.yes = true;
  flags.master_number = "15551234567";
  flags.accept_number = true;
  flags.groq_keys = {"gsk_good", "gsk_bad"};
  EXPECT_EQ(run(), 2);
  EXPECT_NE(err.str().find("Groq key 2 was refused"), std::string::npos) << err.str();
  EXPECT_FALSE(fs::exists(home / "config.toml"));

  // Interactively the refused key is left out; when none works, another is asked for.
  flags = OnboardFlags{};
  flags.config_path = home / "config.toml";
  ASSERT_EQ(run("15551234567\n\ngsk_bad\n\ngsk_good\n\n\n\n\n\n\nUTC\n"), 0) << out.str() << err.str();
  EXPECT_NE(out.str().find("Groq key 1 was refused by Groq (HTTP 401)"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("No key works"), std::string::npos) << out.str();
  std::string text = config_text();
  EXPECT_NE(text.find("gsk_good"), std::string::npos) << text;
  EXPECT_EQ(text.find("gsk_bad"), std::string::npos) << text;
}

TEST_F(OnboardTest, InteractiveAnswersAreAskedAgainUntilValidAndDefaultsApply) {
  const std::string input =
      "no digits here\n"  // master number refused
      "+44 20 7946 0958\n"
      "y\n"               // the number is right
      "gsk_a\n"
      "gsk_b\n"
      "\n"                 // no more keys
      "\n"                 // no Tavily key
      "Jarvis\n"
      "\n"                 // owner: Boss
      "\n"                 // tone: Professional
      "Detailed\n"
      "Nowhere/Special\n"  // zone refused
      "Asia/Karachi\n";
  ASSERT_EQ(run(input), 0) << out.str() << err.str();
  EXPECT_NE(out.str().find("please try again"), std::string::npos);
  EXPECT_EQ(authorizations(), (std::vector<std::string>{"Bearer gsk_a", "Bearer gsk_b"}));
  std::string text = config_text();
  EXPECT_NE(text.find("+44 20 7946 0958"), std::string::npos) << text;
  EXPECT_NE(text.find("Asia/Karachi"), std::string::npos) << text;
  EXPECT_EQ(text.find("TAVILY_API_KEY"), std::string::npos) << text;
  EXPECT_EQ(stored_identity(), json({{"bot_name", "Jarvis"},
                                     {"owner", "Boss"},
                                     {"tone", "Professional"},
                                     {"response_type", "Detailed"}}));
  EXPECT_NE(pending_greeting().find("Jarvis reporting in"), std::string::npos);
}

TEST_F(OnboardTest, RunningAgainKeepsWhatIsConfiguredAndTheDataFolderIsPrivate) {
  vars["TALMO_DATA_DIR"] = (home / "new" / "data").string();
  flags.yes = true;
  flags.master_number = "15551234567";
  flags.accept_number = true;
  flags.groq_keys = {"gsk_one", "gsk_two"};
  flags.tavily_key = "tvly-x";
  flags.owner = "Chief";
  flags.tone = "Witty";
  ASSERT_EQ(run(), 0) << err.str();
  struct stat st {};
  ASSERT_EQ(::stat((home / "new" / "data").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  flags = OnboardFlags{};
  flags.config_path = home / "config.toml";
  ASSERT_EQ(run(std::string(9, '\n')), 0) << out.str() << err.str();
  const std::string text = config_text();
  for (const char* kept : {"gsk_one", "gsk_two", "tvly-x"})
    EXPECT_NE(text.find(kept), std::string::npos) << kept << " in\n" << text;
  db::Database db((home / "new" / "data" / "talmo.db").string());
  EXPECT_EQ(identity::make_sqlite_store(db)->get_identity(), json({{"bot_name", "Talmo"},
                                                                   {"owner", "Chief"},
                                                                   {"tone", "Witty"},
                                                                   {"response_type", "Concise"}}));
}

TEST_F(OnboardTest, InputEndingEarlyWritesNothing) {
  EXPECT_EQ(run("15551234567\n\ngsk_a\n"), 1);
  EXPECT_NE(err.str().find("nothing was written"), std::string::npos);
  EXPECT_FALSE(fs::exists(home / "config.toml"));
}

TEST_F(OnboardTest, OfflineChecksOnlyWarn) {
  vars["GROQ_BASE_URL"] = "http://127.0.0.1:9";
  flags.yes = true;
  flags.master_number = "15551234567";
  flags.accept_number = true;
  flags.groq_keys = {"gsk_a"};
  ASSERT_EQ(run(), 0) << err.str();
  EXPECT_NE(out.str().find("could not reach Groq"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("as soon as WhatsApp is connected"), std::string::npos) << out.str();
  EXPECT_NE(config_text().find("gsk_a"), std::string::npos);
  EXPECT_EQ(stored_identity()["bot_name"], "Talmo");
}

TEST_F(OnboardTest, ABrokenConfigurationFileIsReportedAndKept) {
  std::ofstream(home / "config.toml") << "MASTER_NUMBER = [oops\n";
  flags.yes = true;
  flags.master_number = "15551234567";
  flags.groq_keys = {"gsk_a"};
  EXPECT_EQ(run(), 2);
  EXPECT_NE(err.str().find("config.toml"), std::string::npos) << err.str();
  EXPECT_EQ(config_text(), "MASTER_NUMBER = [oops\n");
}

TEST_F(OnboardTest, TheNumberIsConfirmedAndADoubtfulOneIsNotedOrRefused) {
  // After the number: one Groq key, no Tavily key, the persona's defaults, UTC.
  const std::string rest = "gsk_a\n\n\n\n\n\n\nUTC\n";
  struct Case {
    const char* name;
    std::optional<std::string> flag;  // --master-number
    bool yes, accept;
    std::string input;
    int code;
    const char* saved;  // in the configuration file; nullptr: nothing written
    std::vector<std::string> said;  // on the terminal, in this order
  } cases[] = {
      {"a valid number, confirmed with Enter", std::nullopt, false, false, "+49 1512 3456789\n\n" + rest, 0,
       "+49 1512 3456789", {"Owner number: +49 1512 3456789 (Germany)\nIs this right? [Y/n]: "}},
      {"too short for its country, then corrected", std::nullopt, false, false,
       "+49 151\nn\n+49 1512 3456789\ny\n" + rest, 0, "+49 1512 3456789",
       {"Owner number: +49 151 (Germany)\n  Note: +49 151 is not a valid number for its country (Germany).\n"
        "Is this right? [Y/n]: ",
        "Owner number: +49 1512 3456789 (Germany)\nIs this right? [Y/n]: "}},
      {"plain digits read as another country's", std::nullopt, false, false,
       "151 23456789\nno\n+49 151 23456789\n\n" + rest, 0, "+49 151 23456789",
       {"Owner number: +1 512-345-6789 (United States)\n  Note: it was written without + or 00, so its first "
        "digits were taken as the country code +1 (United States).\n"}},
      {"a doubtful number kept on purpose", std::nullopt, false, false, "+49 151\nY\n" + rest, 0, "+49 151", {}},
      {"a flag's number is confirmed too", "+49 1512 3456789", false, false, "maybe\ny\n" + rest, 0,
       "+49 1512 3456789", {"Is this right? [Y/n]: ", "Please answer y or n.\nIs this right? [Y/n]: "}},
      {"--yes refuses a number not valid for its country", "+49 151", true, false, "", 2, nullptr,
       {"talmo onboard: --master-number: +49 151 is not a valid number for its country (Germany); check it, or "
        "add --accept-number to take it as it is; nothing was written.\n"}},
      {"--yes refuses plain digits", "151 23456789", true, false, "", 2, nullptr, {"--accept-number"}},
      {"--yes --accept-number takes it", "+49 151", true, true, "", 0, "+49 151", {}},
      {"--yes takes a valid number without asking", "+49 1512 3456789", true, false, "", 0, "+49 1512 3456789", {}},
  };
  for (const Case& c : cases) {
    fs::remove(home / "config.toml");
    flags = OnboardFlags{};
    flags.config_path = home / "config.toml";
    flags.master_number = c.flag;
    flags.yes = c.yes;
    flags.accept_number = c.accept;
    if (c.yes) flags.groq_keys = {"gsk_a"};
    EXPECT_EQ(run(c.input), c.code) << c.name << "\n" << out.str() << err.str();
    const std::string said = out.str() + err.str();
    std::size_t at = 0;
    for (const auto& fragment : c.said) {
      at = said.find(fragment, at);
      EXPECT_NE(at, std::string::npos) << c.name << ": " << fragment << " in\n" << said;
    }
    if (c.yes) {
      EXPECT_EQ(said.find("Is this right?"), std::string::npos) << c.name;
    }
    if (!c.saved) {
      EXPECT_FALSE(fs::exists(home / "config.toml")) << c.name;
      const std::string refusal = err.str();
      EXPECT_EQ(std::count(refusal.begin(), refusal.end(), '\n'), 1) << c.name << ": " << refusal;
    } else {
      EXPECT_NE(config_text().find(std::string("MASTER_NUMBER = \"") + c.saved + "\""), std::string::npos)
          << c.name << "\n" << config_text();
    }
  }
}

TEST_F(OnboardTest, TheLastLineSaysHowTalmoStarts) {
  flags.yes = true;
  flags.master_number = "+92 300 1234567";
  flags.groq_keys = {"gsk_one"};
  flags.no_check = true;
  program::started_as("./build/talmo");
  ASSERT_EQ(run(), 0) << err.str();
  EXPECT_TRUE(out.str().ends_with("Talmo is set up. Start it with `./build/talmo serve`.\n")) << out.str();
  program::started_as("talmo");
  vars["TALMO_SERVE_NEXT"] = "1";  // under `make run`
  ASSERT_EQ(run(), 0) << err.str();
  EXPECT_TRUE(out.str().ends_with("Talmo is set up. Talmo and the bridge start next.\n")) << out.str();
  // The installed services' configuration: they are started with systemctl.
  EXPECT_NE(next_step("/var/lib/talmo/config.toml", false)
                .find("`sudo systemctl enable --now talmo.service talmo-bridge.service`"),
            std::string::npos);
  EXPECT_EQ(next_step("/var/lib/talmo-other/config.toml", false), "Talmo is set up. Start it with `talmo serve`.");
}

}  // namespace
}  // namespace talmo::app
