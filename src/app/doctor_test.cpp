// talmo doctor's verdicts on the database file.
#include "app/doctor.hpp"

#include "app/greeting.hpp"
#include "app/serve.hpp"
#include "core/usage/usage.hpp"
#include "support/db.hpp"

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

}  // namespace
}  // namespace talmo::app
