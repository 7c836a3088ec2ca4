// talmo doctor's verdicts on the database file.
#include "app/doctor.hpp"

#include "app/greeting.hpp"
#include "app/serve.hpp"
#include "core/usage/usage.hpp"
#include "support/db.hpp"
#include "support/program.hpp"
#include "testing/fake_server.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>

namespace talmo::app {
namespace {

namespace fs = std::filesystem;
using Verdict = Check::Verdict;

struct Folder {
  fs::path path;
  Folder() {
    std::string templ = (fs::temp_directory_path() / "talmo-doctor-XXXXXX").string();
    path = ::mkdtemp(templ.data());
  }
  ~Folder() { fs::remove_all(path); }
};

// A database as `talmo serve`, onboarding and `talmo usage` leave it, closed:
// every table this binary creates.
void create_database(const fs::path& dir) {
  config::Config config;
  config.master_number = "+1 555 123 4567";
  config.data_dir = dir;
  config.timezone = "UTC";
  config.port = 0;
  config.bridge_url = "http://127.0.0.1:9";
  AppOptions options;
  options.env = [](const std::string&) { return std::optional<std::string>(); };
  App::start(config, options)->stop();
  db::Database db((dir / "talmo.db").string());
  greeting::keep(db, "hello");
  usage::UsageStore usage(db, system_clock());
}

TEST(DoctorDatabase, VerdictsOnTheDatabaseFile) {
  struct Case {
    const char* name;
    std::function<void(const fs::path& dir)> prepare;
    Verdict last;
    const char* fragment;
  } cases[] = {
      {"healthy", create_database, Verdict::ok, "its schema is one this Talmo knows"},
      {"missing", [](const fs::path&) {}, Verdict::warning, "no database yet"},
      {"written by a newer Talmo",
       [](const fs::path& dir) {
         create_database(dir);
         db::Database db((dir / "talmo.db").string());
         db.with([](SQLite::Database& d) { d.exec("UPDATE schema_versions SET version = version + 1 WHERE component = 'memory'"); });
       },
       Verdict::failed, "newer Talmo (memory "},
      {"not a database",
       [](const fs::path& dir) { std::ofstream(dir / "talmo.db") << std::string(8192, 'x'); },
       Verdict::failed, "cannot be read as a database"},
  };
  for (const Case& c : cases) {
    Folder folder;
    c.prepare(folder.path);
    const auto checks = check_database(folder.path / "talmo.db");
    ASSERT_FALSE(checks.empty()) << c.name;
    EXPECT_EQ(checks.back().verdict, c.last) << c.name << ": " << checks.back().text;
    EXPECT_NE(checks.back().text.find(c.fragment), std::string::npos) << c.name << ": " << checks.back().text;
    // Reading leaves no trace beside the file.
    EXPECT_FALSE(fs::exists(folder.path / "talmo.db-wal")) << c.name;
    EXPECT_FALSE(fs::exists(folder.path / "talmo.db-shm")) << c.name;
  }
}

TEST(DoctorBridge, EachStateTheBridgeReportsGetsItsOwnFix) {
  struct Case {
    const char* status;
    Verdict verdict;
    std::vector<std::string> fragments;
  } cases[] = {
      {R"({"connected": true, "paired": true, "number": "4915123456789", "state": "connected", "detail": null})",
       Verdict::ok, {"WhatsApp is paired as +4915123456789 and connected"}},
      {R"({"connected": false, "paired": true, "number": "4915123456789", "state": "unreachable",
           "detail": "DNS lookup failed: ENOTFOUND web.whatsapp.com"})",
       Verdict::failed,
       {"cannot be reached from this machine (DNS lookup failed: ENOTFOUND web.whatsapp.com)",
        "internet connection and DNS"}},
      {R"({"connected": false, "paired": false, "number": null, "state": "waiting_for_pairing", "detail": null})",
       Verdict::failed, {"not paired", "QR code", "/wa/qr.png", "Link a device", "--pair-code"}},
      {R"({"connected": false, "paired": false, "number": null, "state": "logged_out", "detail": "401"})",
       Verdict::failed, {"logged this bridge out (401)", "removed on the phone", "pair again"}},
      {R"({"connected": false, "paired": true, "number": "4915123456789", "state": "replaced", "detail": null})",
       Verdict::failed, {"another copy of the bridge took over", "stop the other copy", "/wa"}},
      {R"({"connected": false, "paired": true, "number": null, "state": "outdated",
           "detail": "405 Connection Failure"})",
       Verdict::failed, {"refused this bridge's version (405 Connection Failure)", "`git pull`", "npm ci"}},
      {R"({"connected": false, "paired": true, "number": null, "state": "connecting", "detail": null})",
       Verdict::failed, {"not connected yet", "`./build/talmo doctor` again in a minute"}},
      // A bridge that does not report a state is read from paired and connected.
      {R"({"connected": false, "paired": false, "number": null})", Verdict::failed, {"not paired", "QR code"}},
      // Its words are shown on one line, whatever they hold.
      {R"({"connected": false, "paired": true, "state": "unreachable", "detail": "ECONNREFUSED\nforged line"})",
       Verdict::failed, {"(ECONNREFUSED\\nforged line)"}},
      {R"({"connected": false, "paired": true, "state": "sleeping", "detail": null})", Verdict::warning,
       {"\"sleeping\", a state this Talmo does not know"}},
  };
  program::started_as("./build/talmo");
  testing::FakeServer bridge;
  for (const Case& c : cases) {
    bridge.on("GET", "/status", [&](const testing::RecordedRequest& r, httplib::Response& res) {
      res.status = r.header("Authorization") == "Bearer secret" ? 200 : 401;
      res.set_content(c.status, "application/json");
    });
    const auto checks = check_bridge(bridge.url(), "secret", "/wa");
    ASSERT_EQ(checks.size(), 2u) << c.status;
    EXPECT_EQ(checks[0].verdict, Verdict::ok) << checks[0].text;
    EXPECT_EQ(checks[1].verdict, c.verdict) << c.status << "\n" << checks[1].text;
    for (const auto& fragment : c.fragments)
      EXPECT_NE(checks[1].text.find(fragment), std::string::npos) << fragment << " in\n" << checks[1].text;
    EXPECT_EQ(checks[1].text.find('\n'), std::string::npos) << checks[1].text;
  }
  program::started_as("talmo");
}

}  // namespace
}  // namespace talmo::app
