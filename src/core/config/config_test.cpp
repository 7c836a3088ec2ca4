// Configuration: sources and their precedence, errors, the internal values, writing settings.
#include "core/config/config.hpp"

#include "support/tz.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

namespace talmo::config {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log::set_stderr_enabled(false);
    char tmpl[] = "/tmp/talmo-config-test-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    vars_["HOME"] = (dir_ / "home").string();
  }
  void TearDown() override {
    fs::remove_all(dir_);
    log::set_stderr_enabled(true);
  }

  Environment env() const {
    return [vars = vars_](const std::string& name) -> std::optional<std::string> {
      auto found = vars.find(name);
      if (found == vars.end()) return std::nullopt;
      return found->second;
    };
  }

  fs::path write_file(const std::string& text, const std::string& name = "config.toml") {
    fs::path file = dir_ / name;
    std::ofstream(file, std::ios::binary) << text;
    return file;
  }

  static std::string read(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }

  // The ConfigError text `load` throws for `text` as the config file.
  std::string load_error(const std::string& text) {
    const fs::path file = write_file(text);
    try {
      load(file, env());
    } catch (const ConfigError& e) {
      return e.what();
    }
    return "(no error)";
  }

  fs::path dir_;
  std::map<std::string, std::string> vars_;
};

TEST_F(ConfigTest, MissingFileGivesTheDefaults) {
  const Config c = load(std::nullopt, env());
  EXPECT_EQ(c.config_file, dir_ / "home" / ".talmo" / "config.toml");
  EXPECT_EQ(c.home, dir_ / "home" / ".talmo");
  EXPECT_EQ(c.data_dir, c.home);
  EXPECT_TRUE(c.groq_api_keys.empty());
  EXPECT_EQ(c.port, 8000);
  EXPECT_EQ(c.timezone, tz::local_zone_name());
  EXPECT_EQ(c.misfire_grace, 6h);
  EXPECT_FALSE(fs::exists(c.data_dir));  // loading creates nothing
}

TEST_F(ConfigTest, FileChoice) {
  EXPECT_EQ(resolve_config_path(fs::path("/x/explicit.toml"), env()), "/x/explicit.toml");
  vars_["TALMO_HOME"] = "/srv/talmo";
  EXPECT_EQ(resolve_config_path(std::nullopt, env()), "/srv/talmo/config.toml");
  vars_["TALMO_CONFIG"] = "~/talmo.toml";
  EXPECT_EQ(resolve_config_path(std::nullopt, env()), dir_ / "home" / "talmo.toml");
  EXPECT_EQ(resolve_config_path(fs::path("/x/explicit.toml"), env()), "/x/explicit.toml");

  const fs::path file = write_file("GROQ_MODEL = \"from-talmo-config\"\n");
  vars_["TALMO_CONFIG"] = file.string();
  EXPECT_EQ(load(std::nullopt, env()).groq_model, "from-talmo-config");
}

TEST_F(ConfigTest, EnvironmentWinsOverFileWhichWinsOverDefault) {
  const fs::path file = write_file(
      "MASTER_NUMBER = \"+49 170 1234567\"\n"
      "GROQ_MODEL = \"file-model\"\n"
      "TALMO_PORT = 9000\n"
      "HISTORY_LIMIT = 5\n"
      "TALMO_DATA_DIR = \"~/data\"\n"
      "TALMO_TIMEZONE = \"Europe/Berlin\"\n"
      "GROQ_BASE_URL = \"http://127.0.0.1:9/v1/\"\n");
  vars_["TALMO_PORT"] = "9100";
  vars_["GROQ_MODEL"] = "";  // an empty variable counts as unset
  vars_["TALMO_LOG_LEVEL"] = "Warning";
  vars_["TALMO_TIMEZONE"] = "Asia/Tokyo";
  const Config c = load(file, env());
  EXPECT_EQ(c.config_file, file);
  EXPECT_EQ(c.master_number, "+49 170 1234567");  // kept as written
  EXPECT_EQ(c.groq_model, "file-model");
  EXPECT_EQ(c.port, 9100);
  EXPECT_EQ(c.history_limit, 5);
  EXPECT_EQ(c.data_dir, dir_ / "home" / "data");
  EXPECT_EQ(c.timezone, "Asia/Tokyo");
  EXPECT_EQ(c.log_level, log::Level::warning);
  EXPECT_EQ(c.groq_base_url, "http://127.0.0.1:9/v1");
  EXPECT_EQ(c.whisper_model, "whisper-large-v3-turbo");
}

TEST_F(ConfigTest, KeyLists) {
  const fs::path file = write_file("GROQ_API_KEYS = [\"k1\", \" k2 \", \"\"]\n");
  EXPECT_EQ(load(file, env()).groq_api_keys, (std::vector<std::string>{"k1", "k2"}));
  vars_["GROQ_API_KEYS"] = " a, ,b ,,c,";
  EXPECT_EQ(load(file, env()).groq_api_keys, (std::vector<std::string>{"a", "b", "c"}));
  vars_["GROQ_API_KEYS"] = " , ";
  EXPECT_TRUE(load(file, env()).groq_api_keys.empty());
}

TEST_F(ConfigTest, FileErrorsNameFileLineAndSetting) {
  const std::string f = (dir_ / "config.toml").string();
  EXPECT_EQ(load_error("# port\nTALMO_HOST = \"0.0.0.0\"\nTALMO_PORT = 70000\n"),
            f + ":3: TALMO_PORT must be an integer from 1 to 65535, got 70000");
  EXPECT_EQ(load_error("TALMO_PORT = \"8000\"\n"),
            f + ":1: TALMO_PORT must be an integer from 1 to 65535, got a string");
  EXPECT_EQ(load_error("\nGROQ_API_KEYS = \"abc\"\n"),
            f + ":2: GROQ_API_KEYS must be an array of strings, got a string");
  EXPECT_EQ(load_error("GROQ_API_KEYS = [\n  \"a\",\n  7,\n]\n"),
            f + ":3: GROQ_API_KEYS must be an array of strings, but item 2 is an integer");
  EXPECT_EQ(load_error("MASTER_NUMBER = 4915550\n"), f + ":1: MASTER_NUMBER must be a string, got an integer");
  EXPECT_EQ(load_error("TALMO_TIMEZONE = \"Mars/Olympus\"\n"),
            f + ":1: TALMO_TIMEZONE must be an IANA time zone name such as \"Europe/Berlin\", got \"Mars/Olympus\"");
  EXPECT_EQ(load_error("HISTORY_LIMIT = 0\n"), f + ":1: HISTORY_LIMIT must be an integer from 1 to 1000000, got 0");
  EXPECT_EQ(load_error("TALMO_LOG_LEVEL = \"loud\"\n"),
            f + ":1: TALMO_LOG_LEVEL must be one of debug, info, success, warning, error, got \"loud\"");
  EXPECT_EQ(load_error("BRIDGE_URL = \"127.0.0.1:45051\"\n"),
            f + ":1: BRIDGE_URL must be an http:// or https:// URL, got \"127.0.0.1:45051\"");
  EXPECT_EQ(load_error("GROQ_MODEL = \"\"\n"), f + ":1: GROQ_MODEL must not be empty");
  EXPECT_EQ(load_error("[GROQ_MODEL]\nx = 1\n"), f + ":1: GROQ_MODEL must be a string, got a table");
  EXPECT_EQ(load_error("MISFIRE_GRACE = \"soon\"\n"),
            f +
                ":1: MISFIRE_GRACE must be a number of seconds or a duration such as \"6h\", \"90m\", \"45s\" or "
                "\"1h30m\", got \"soon\"");
}

TEST_F(ConfigTest, MalformedTomlIsOneLineWithFileAndLine) {
  const std::string f = (dir_ / "config.toml").string();
  for (const std::string text : {"GROQ_MODEL = \"a\"\nTALMO_PORT = \n", "GROQ_MODEL = \"a\"\nGROQ_MODEL = \"b\"\n",
                                 "GROQ_MODEL = \"a\"\nTALMO_HOST = \"unterminated\n"}) {
    const std::string error = load_error(text);
    EXPECT_EQ(error.rfind(f + ":2: ", 0), 0u) << error;
    EXPECT_GT(error.size(), f.size() + 4);
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}

TEST_F(ConfigTest, EnvironmentErrorsNameTheVariable) {
  auto error_for = [&](const std::string& name, const std::string& value) -> std::string {
    auto saved = vars_;
    vars_[name] = value;
    std::string what = "(no error)";
    try {
      load(std::nullopt, env());
    } catch (const ConfigError& e) {
      what = e.what();
    }
    vars_ = saved;
    return what;
  };
  EXPECT_EQ(error_for("TALMO_PORT", "70000"),
            "environment TALMO_PORT: must be an integer from 1 to 65535, got \"70000\"");
  EXPECT_EQ(error_for("TALMO_PORT", "80a"), "environment TALMO_PORT: must be an integer from 1 to 65535, got \"80a\"");
  EXPECT_EQ(error_for("HISTORY_LIMIT", "-3"),
            "environment HISTORY_LIMIT: must be an integer from 1 to 1000000, got \"-3\"");
  EXPECT_EQ(error_for("TALMO_TIMEZONE", "Nowhere\nElse"),
            "environment TALMO_TIMEZONE: must be an IANA time zone name such as \"Europe/Berlin\", got "
            "\"Nowhere\\nElse\"");
  EXPECT_EQ(error_for("MISFIRE_GRACE", "1m1h"),
            "environment MISFIRE_GRACE: must be a number of seconds or a duration such as \"6h\", \"90m\", \"45s\" "
            "or \"1h30m\", got \"1m1h\"");
  EXPECT_EQ(error_for("HISTORY_RETENTION_DAYS", "-1"),
            "environment HISTORY_RETENTION_DAYS: must be a whole number of days from 0 (keep everything) to 36500, "
            "got \"-1\"");
  EXPECT_EQ(error_for("TALMO_LOG_FORMAT", "xml"), "environment TALMO_LOG_FORMAT: must be \"text\" or \"json\", got \"xml\"");
  // An environment value also overrides a bad file value of the same setting.
  const fs::path file = write_file("TALMO_PORT = 0\n");
  vars_["TALMO_PORT"] = " 8080 ";
  EXPECT_EQ(load(file, env()).port, 8080);
}

TEST_F(ConfigTest, UnreadableFileIsAnError) {
  fs::create_directories(dir_ / "folder.toml");
  try {
    load(dir_ / "folder.toml", env());
    FAIL() << "a folder was accepted as the configuration file";
  } catch (const ConfigError& e) {
    EXPECT_EQ(std::string(e.what()), (dir_ / "folder.toml").string() + ": cannot read the configuration file: it is a folder");
  }
}

TEST_F(ConfigTest, UnknownKeysAreIgnoredWithAWarning) {
  log::Capture capture;
  const fs::path file = write_file(
      "GROQ_MODEL = \"m\"\nFUTURE_SETTING = 1\nTALMO_HOME = \"/x\"\nGROQ_API_KEY = \"k\"\ntalmo_port = 1\n"
      "BRIDGE_LOG_FILE = \"/var/log/talmo/bridge.log\"\n[extras]\na = 1\n");
  const Config c = load(file, env());
  EXPECT_EQ(c.groq_model, "m");
  EXPECT_EQ(c.home, dir_ / "home" / ".talmo");
  EXPECT_TRUE(capture.has(log::Level::warning, file.string() + ":2: unknown setting FUTURE_SETTING ignored"));
  EXPECT_TRUE(capture.has(log::Level::warning,
                          file.string() + ":3: TALMO_HOME is read only from the environment; ignored here"));
  EXPECT_TRUE(capture.has(log::Level::warning,
                          file.string() + ":4: unknown setting GROQ_API_KEY; did you mean GROQ_API_KEYS?"));
  EXPECT_TRUE(capture.has(log::Level::warning,
                          file.string() + ":5: unknown setting talmo_port; did you mean TALMO_PORT?"));
  EXPECT_TRUE(capture.has(log::Level::warning, file.string() + ":7: unknown setting extras ignored"));
  EXPECT_FALSE(capture.contains(log::Level::warning, "BRIDGE_LOG_FILE")) << "the bridge's own setting is known";
}

TEST_F(ConfigTest, MisfireGraceForms) {
  EXPECT_EQ(parse_duration("21600"), 21600s);
  EXPECT_EQ(parse_duration("6h"), 6h);
  EXPECT_EQ(parse_duration("90m"), 90min);
  EXPECT_EQ(parse_duration(" 45s "), 45s);
  EXPECT_EQ(parse_duration("1h30m"), 90min);
  EXPECT_EQ(parse_duration("1d2h3m4s"), 93784s);
  EXPECT_EQ(parse_duration("0"), 0s);
  for (const char* bad : {"", "h", "6x", "1m1h", "1h1h", "-5", "1.5h", "6 h", "99999999999999h", "4000d"})
    EXPECT_EQ(parse_duration(bad), std::nullopt) << bad;

  EXPECT_EQ(load(write_file("MISFIRE_GRACE = 45\n"), env()).misfire_grace, 45s);
  EXPECT_EQ(load(write_file("MISFIRE_GRACE = \"1h30m\"\n"), env()).misfire_grace, 90min);
  vars_["MISFIRE_GRACE"] = "90m";
  EXPECT_EQ(load(write_file("MISFIRE_GRACE = 45\n"), env()).misfire_grace, 90min);
  vars_["MISFIRE_GRACE"] = "120";
  EXPECT_EQ(load(std::nullopt, env()).misfire_grace, 120s);
  vars_.erase("MISFIRE_GRACE");
  EXPECT_NE(load_error("MISFIRE_GRACE = -1\n").find(":1: MISFIRE_GRACE must be a number of seconds"), std::string::npos);

  // The stop's grace takes the same forms and is ten seconds when unset.
  EXPECT_EQ(load(std::nullopt, env()).shutdown_grace, 10s);
  EXPECT_EQ(load(write_file("SHUTDOWN_GRACE = \"1m\"\n"), env()).shutdown_grace, 60s);
  vars_["SHUTDOWN_GRACE"] = "3";
  EXPECT_EQ(load(std::nullopt, env()).shutdown_grace, 3s);
  vars_.erase("SHUTDOWN_GRACE");
  EXPECT_NE(load_error("SHUTDOWN_GRACE = \"soon\"\n").find(":1: SHUTDOWN_GRACE must be a number of seconds"),
            std::string::npos);
}

TEST_F(ConfigTest, RetentionAndLogSettings) {
  const Config defaults = load(std::nullopt, env());
  EXPECT_EQ(defaults.history_retention_days, 0);
  EXPECT_FALSE(defaults.log_json);
  EXPECT_TRUE(defaults.log_file.empty());
  EXPECT_EQ(defaults.log_file_size, 10u << 20);
  EXPECT_EQ(defaults.log_file_count, 5);

  const Config set = load(write_file("HISTORY_RETENTION_DAYS = 30\nTALMO_LOG_FORMAT = \"JSON\"\n"
                                     "TALMO_LOG_FILE = \"/var/log/talmo.log\"\nTALMO_LOG_FILE_SIZE = \"2 MB\"\n"
                                     "TALMO_LOG_FILE_COUNT = 3\n"),
                          env());
  EXPECT_EQ(set.history_retention_days, 30);
  EXPECT_TRUE(set.log_json);
  EXPECT_EQ(set.log_file, "/var/log/talmo.log");
  EXPECT_EQ(set.log_file_size, 2u << 20);
  EXPECT_EQ(set.log_file_count, 3);

  const std::pair<const char*, std::optional<std::uint64_t>> sizes[] = {
      {"1048576", 1048576}, {"10MB", 10u << 20}, {"512kb", 512u << 10}, {"1G", 1u << 30},
      {"3 MiB", 3u << 20},  {"1023", std::nullopt}, {"10XB", std::nullopt}, {"-5MB", std::nullopt},
      {"", std::nullopt},   {"2000GB", std::nullopt}, {"99999999999999", std::nullopt}};
  for (const auto& [text, bytes] : sizes) EXPECT_EQ(parse_size(text), bytes) << text;

  EXPECT_NE(load_error("TALMO_LOG_FILE_SIZE = true\n").find(":1: TALMO_LOG_FILE_SIZE must be a number of bytes"),
            std::string::npos);
}

TEST_F(ConfigTest, MasterNumberIsRequiredToServe) {
  Config c = load(std::nullopt, env());
  try {
    require_master_number(c);
    FAIL() << "an empty master number was accepted";
  } catch (const ConfigError& e) {
    const std::string what = e.what();
    EXPECT_EQ(what.rfind("MASTER_NUMBER is not set: ", 0), 0u);
    EXPECT_NE(what.find("environment variable"), std::string::npos);
    EXPECT_NE(what.find(c.config_file.string()), std::string::npos);
    EXPECT_NE(what.find("talmo onboard"), std::string::npos);
    EXPECT_EQ(what.find('\n'), std::string::npos);
  }
  c.master_number = "+1 555 0100";
  EXPECT_NO_THROW(require_master_number(c));

  // To serve, it must also name its country.
  c.master_number = "0092 300 1234567";
  EXPECT_EQ(require_owner_number(c).digits, "923001234567");
  c.master_number = "0300 1234567";
  try {
    require_owner_number(c);
    FAIL() << "a national number was accepted";
  } catch (const ConfigError& e) {
    EXPECT_STREQ(e.what(),
                 "MASTER_NUMBER \"0300 1234567\" is not a full international number: start it with "
                 "the country code (write it as +92 300 1234567)");
  }
}

TEST_F(ConfigTest, InternalConfigIsReadAfresh) {
  const fs::path file = write_file("TAVILY_API_KEY = \"tv\"\nMASTER_NUMBER = \"+1 (555) 0100\"\nGROQ_API_KEYS = [\"a\"]\n");
  EXPECT_EQ(json_text(read_internal_config(file, env())),
            R"({"MASTER_NUMBER": "+1 (555) 0100", "GROQ_API_KEYS": ["a"], "TAVILY_API_KEY": "tv"})");
  write_file("MASTER_NUMBER = \"999\"\n");
  vars_["GROQ_API_KEYS"] = "x,y";
  EXPECT_EQ(json_text(read_internal_config(file, env())),
            R"({"MASTER_NUMBER": "999", "GROQ_API_KEYS": ["x", "y"], "TAVILY_API_KEY": ""})");
  fs::remove(file);
  vars_.clear();
  vars_["HOME"] = (dir_ / "home").string();
  EXPECT_EQ(json_text(read_internal_config(file, env())),
            R"({"MASTER_NUMBER": "", "GROQ_API_KEYS": [], "TAVILY_API_KEY": ""})");
}

TEST_F(ConfigTest, WriteSettingsKeepsEverythingElse) {
  const fs::path file = write_file(
      "# Talmo settings\n"
      "MASTER_NUMBER = \"111\"  # the owner\n"
      "GROQ_API_KEYS = [\n  \"old1\",\n  \"old2\",\n]\n"
      "TALMO_PORT = 9000\n"
      "\n"
      "[extras]\n"
      "note = \"kept\"\n");
  ::chmod(file.c_str(), 0644);
  json settings = json::object();
  settings["GROQ_API_KEYS"] = json::array({"k1", "k2"});
  settings["MASTER_NUMBER"] = "+49 \"quoted\" \\ ☎";
  settings["TALMO_TIMEZONE"] = "Europe/Berlin";
  settings["HISTORY_LIMIT"] = 7;
  write_settings(file, settings);

  const std::string text = read(file);
  EXPECT_NE(text.find("# Talmo settings\n"), std::string::npos) << text;
  EXPECT_NE(text.find("# the owner"), std::string::npos) << text;
  EXPECT_NE(text.find("[extras]\nnote = \"kept\""), std::string::npos) << text;
  EXPECT_LT(text.find("TALMO_TIMEZONE"), text.find("[extras]")) << text;

  const Config c = load(file, env());
  EXPECT_EQ(c.master_number, "+49 \"quoted\" \\ ☎");
  EXPECT_EQ(c.groq_api_keys, (std::vector<std::string>{"k1", "k2"}));
  EXPECT_EQ(c.port, 9000);
  EXPECT_EQ(c.timezone, "Europe/Berlin");
  EXPECT_EQ(c.history_limit, 7);

  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // No temporary files are left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(ConfigTest, WriteSettingsCreatesFileAndFolders) {
  const fs::path file = dir_ / "new" / "deeper" / "config.toml";
  write_settings(file, json::parse(R"({"MASTER_NUMBER": "15550100", "GROQ_API_KEYS": ["a"]})"));
  write_settings(file, json::parse(R"({"TAVILY_API_KEY": "t"})"));
  const Config c = load(file, env());
  EXPECT_EQ(c.master_number, "15550100");
  EXPECT_EQ(c.groq_api_keys, (std::vector<std::string>{"a"}));
  EXPECT_EQ(c.tavily_api_key, "t");
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat((dir_ / "new").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(ConfigTest, WriteSettingsIntoFileWithOnlyTables) {
  const fs::path file = write_file("[extras]\na = 1\n");
  write_settings(file, json::parse(R"({"MASTER_NUMBER": "1"})"));
  const std::string text = read(file);
  EXPECT_NE(text.find("[extras]\na = 1"), std::string::npos) << text;
  EXPECT_EQ(load(file, env()).master_number, "1");
}

TEST_F(ConfigTest, WriteSettingsOverATableRewritesTheFile) {
  // A setting written as a table cannot be edited in place; the file is rewritten whole.
  const fs::path file = write_file("[MASTER_NUMBER]\nx = 1\n[extras]\na = 1\n");
  write_settings(file, json::parse(R"({"MASTER_NUMBER": "42"})"));
  EXPECT_EQ(load(file, env()).master_number, "42");
  EXPECT_NE(read(file).find("[extras]"), std::string::npos);
}

TEST_F(ConfigTest, WriteSettingsRefusesBadInputAndLeavesBrokenFilesAlone) {
  const fs::path file = write_file("MASTER_NUMBER = \n");
  EXPECT_THROW(write_settings(file, json::parse(R"({"TAVILY_API_KEY": "t"})")), ConfigError);
  EXPECT_EQ(read(file), "MASTER_NUMBER = \n");

  const fs::path other = dir_ / "other.toml";
  EXPECT_THROW(write_settings(other, json::array({"x"})), std::invalid_argument);
  EXPECT_THROW(write_settings(other, json::parse(R"({"A": 1.5})")), std::invalid_argument);
  EXPECT_THROW(write_settings(other, json::parse(R"({"A": [1]})")), std::invalid_argument);
  EXPECT_THROW(write_settings(other, json::parse(R"({"A": null})")), std::invalid_argument);
  EXPECT_THROW(write_settings(other, json::parse(R"({"A B": "x"})")), std::invalid_argument);
  EXPECT_FALSE(fs::exists(other));
}

}  // namespace
}  // namespace talmo::config
