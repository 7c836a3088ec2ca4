// The data commands: forget, export, backup, usage, and retention's daily pruning.
#include "app/data_commands.hpp"

#include "app/retention.hpp"
#include "core/identity/identity.hpp"
#include "core/memory/memory.hpp"
#include "core/schedules/schedules.hpp"
#include "core/usage/usage.hpp"
#include "support/db.hpp"
#include "support/log.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

namespace talmo::app {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// 2026-03-10 12:00:00 UTC, 13:00 in Berlin.
const TimePoint NOW{std::chrono::seconds(1773144000)};

class DataCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log::set_stderr_enabled(false);
    std::string templ = (fs::temp_directory_path() / "data-commands-XXXXXX").string();
    config.data_dir = ::mkdtemp(templ.data());
    config.timezone = "Europe/Berlin";
    db = std::make_unique<db::Database>((config.data_dir / "talmo.db").string());
    memory = memory::make_sqlite_memory(*db, 100, clock);
    identity = identity::make_sqlite_store(*db);
    jobs = schedules::make_sqlite_job_store(*db, clock, config.timezone);
  }
  void TearDown() override {
    fs::remove_all(config.data_dir);
    log::set_stderr_enabled(true);
  }

  Console console(const std::string& input = "", bool terminal = false) {
    in.str(input);
    in.clear();
    out.str("");
    err.str("");
    return Console{in, out, err, terminal};
  }

  // One entry per day from `first`, at 12:00 UTC.
  void fill_days(TimePoint first, int count) {
    clock->set(first);
    for (int i = 0; i < count; ++i) {
      memory->add_message("15550100", "user", "day " + std::to_string(i));
      clock->advance(24h);
    }
    clock->set(NOW);
  }

  config::Config config;
  std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>(NOW);
  std::unique_ptr<db::Database> db;
  std::unique_ptr<memory::ConversationMemory> memory;
  std::unique_ptr<identity::IdentityStore> identity;
  std::unique_ptr<schedules::JobStore> jobs;
  std::istringstream in;
  std::ostringstream out, err;
};

TEST_F(DataCommandsTest, ForgetNeedsConsentAndChangesNothingWithout) {
  memory->add_message("15550100", "user", "keep me");
  EXPECT_EQ(forget_command(config, {}, console(), clock), 2);
  EXPECT_EQ(err.str(), "talmo: forget deletes all conversation memory; add --yes to confirm when not on a terminal\n");
  EXPECT_EQ(forget_command(config, {}, console("no\n", true), clock), 1);
  EXPECT_EQ(out.str(), "This deletes all conversation memory. Type yes to go on: Nothing was deleted.\n");
  EXPECT_EQ(memory->export_entries().size(), 1u);

  EXPECT_EQ(forget_command(config, {}, console("yes\n", true), clock), 0);
  EXPECT_EQ(memory->export_entries().size(), 0u);

  const std::pair<ForgetOptions, std::string> misuse[] = {
      {{"2026-03-01", true, true}, "talmo: forget takes --all or --before, not both\n"},
      {{"2026-02-30", false, true}, "talmo: --before must be a date as YYYY-MM-DD, got \"2026-02-30\"\n"},
      {{"1.3.2026", false, true}, "talmo: --before must be a date as YYYY-MM-DD, got \"1.3.2026\"\n"},
  };
  for (const auto& [options, message] : misuse) {
    EXPECT_EQ(forget_command(config, options, console(), clock), 2);
    EXPECT_EQ(err.str(), message);
  }
}

TEST_F(DataCommandsTest, ForgetBeforeADayStartsAtMidnightInTheOwnersZone) {
  // 2026-03-04 23:30 Berlin is 22:30 UTC: before the 5th in Berlin.
  clock->set(TimePoint(std::chrono::seconds(1772663400)));
  memory->add_message("15550100", "user", "late on the 4th");
  clock->set(TimePoint(std::chrono::seconds(1772663400)) + 31min);  // 00:01 on the 5th
  memory->add_message("15550100", "user", "just after midnight");
  db->with([](SQLite::Database& raw) {
    raw.exec("INSERT INTO conversation_messages(number, role, content) VALUES('15550100', 'user', 'no time')");
  });
  EXPECT_EQ(forget_command(config, {"2026-03-05", false, true}, console(), clock), 0);
  EXPECT_EQ(out.str(), "Deleted 2 conversation entries.\n");
  const json left = memory->export_entries();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0]["content"], "just after midnight");
}

TEST_F(DataCommandsTest, ForgetAllResetsTheIdentityAndRemovesEveryJob) {
  memory->add_message("15550100", "user", "hello");
  identity->update_identity({{"owner", "Ada"}, {"city", "Berlin"}});
  schedules::NewJob job;
  job.title = "Water plants";
  job.mode = "direct";
  job.fixed_content = "Water the plants";
  job.trigger_type = "interval";
  job.trigger_args = {{"hours", 24}};
  ASSERT_TRUE(jobs->add_job(job).is_object());
  // A finished job and a run record keep copies of a reminder's text.
  job.title = "Old reminder";
  ASSERT_TRUE(jobs->add_job(job).is_object());
  jobs.reset();  // the command opens the registry itself
  auto count = [&](const char* table) {
    return db->with([&](SQLite::Database& raw) {
      return raw.execAndGet(std::string("SELECT count(*) FROM ") + table).getInt();
    });
  };
  db->with([](SQLite::Database& raw) {
    raw.exec("UPDATE schedule_jobs SET finished = 1 WHERE title = 'Old reminder'");
    raw.exec("INSERT INTO schedule_runs(job_id, scheduled_time, fired_at, state, job) "
             "SELECT id, 0, 0, 'delivered', title FROM schedule_jobs WHERE title = 'Old reminder'");
  });
  ASSERT_EQ(count("schedule_runs"), 1);

  EXPECT_EQ(forget_command(config, {std::nullopt, true, true}, console(), clock), 0);
  EXPECT_EQ(out.str(),
            "Deleted 1 conversation entry.\nRemoved 1 job and reset the identity to its defaults.\n"
            "A running talmo serve keeps the removed jobs until it restarts.\n");
  EXPECT_EQ(identity->get_identity(), identity::default_identity());
  EXPECT_EQ(schedules::make_sqlite_job_store(*db, clock, config.timezone)->get_jobs().size(), 0u);
  EXPECT_EQ(memory->export_entries().size(), 0u);
  EXPECT_EQ(count("schedule_jobs"), 0);
  EXPECT_EQ(count("schedule_runs"), 0);
}

TEST_F(DataCommandsTest, RetentionPrunesOnceADayWithTheClock) {
  fill_days(NOW - 10 * 24h, 11);  // entries aged 10 days .. 0 days
  db->with([](SQLite::Database& raw) {
    raw.exec("INSERT INTO conversation_messages(number, role, content) VALUES('15550100', 'user', 'no time')");
  });
  Retention retention(*memory, clock, 7);
  EXPECT_EQ(retention.tick(), 4);  // 10, 9, 8 days old and the one without a time; 7 days old is kept
  fill_days(NOW - 10 * 24h, 1);
  clock->advance(23h);
  EXPECT_EQ(retention.tick(), std::nullopt);  // not a day yet
  EXPECT_EQ(memory->export_entries().size(), 9u);
  clock->advance(1h);
  EXPECT_EQ(retention.tick(), 2);  // the late arrival, and the entry now 8 days old
  EXPECT_THROW(Retention(*memory, clock, 0), std::invalid_argument);
}

TEST_F(DataCommandsTest, ExportHoldsIdentityMemoryWithTimesAndJobs) {
  memory->add_message("15550100", "user", "héllo");
  schedules::NewJob job;
  job.title = "Stretch";
  job.mode = "direct";
  job.fixed_content = "Stretch now";
  job.trigger_type = "cron";
  job.trigger_args = {{"hour", 9}, {"minute", 0}};
  ASSERT_TRUE(jobs->add_job(job).is_object());

  ASSERT_EQ(export_command(config, console(), clock), 0);
  const json doc = json::parse(out.str());
  EXPECT_EQ(doc["exported_at"], "2026-03-10T12:00:00Z");
  EXPECT_EQ(doc["identity"], identity::default_identity());
  EXPECT_EQ(json_text(doc["memory"]),
            R"([{"number": "15550100", "role": "user", "content": "h\u00e9llo", "time": "2026-03-10T12:00:00Z"}])");
  ASSERT_EQ(doc["jobs"].size(), 1u);
  EXPECT_EQ(doc["jobs"][0]["title"], "Stretch");
}

TEST_F(DataCommandsTest, CommandsRefuseAMissingOrNewerDatabase) {
  config::Config empty = config;
  empty.data_dir = config.data_dir / "nowhere";
  EXPECT_EQ(export_command(empty, console(), clock), 1);
  EXPECT_EQ(err.str(), "talmo: no database at " + (empty.data_dir / "talmo.db").string() +
                           ": nothing is stored yet (check TALMO_DATA_DIR)\n");
  EXPECT_EQ(backup_command(empty, (config.data_dir / "copy.db").string(), console()), 1);
  EXPECT_FALSE(fs::exists(empty.data_dir));

  db->with([](SQLite::Database& raw) { raw.exec("UPDATE schema_versions SET version = 99 WHERE component = 'memory'"); });
  EXPECT_EQ(export_command(config, console(), clock), 1);
  EXPECT_NE(err.str().find("was written by a newer Talmo (memory schema version 99"), std::string::npos) << err.str();
}

TEST_F(DataCommandsTest, BackupWritesAnOpenableCopy) {
  memory->add_message("15550100", "user", "backed up");
  ASSERT_EQ(backup_command(config, config.data_dir.string() + "/", console()), 2) << "the database itself";
  const fs::path copy = config.data_dir / "copy.db";
  ASSERT_EQ(backup_command(config, copy.string(), console()), 0) << err.str();
  EXPECT_EQ(out.str().rfind("Backed up " + (config.data_dir / "talmo.db").string() + " to " + copy.string(), 0), 0u);
  db::Database opened(copy.string(), db::Database::Mode::existing);
  EXPECT_EQ(memory::make_sqlite_memory(opened, 10)->get_history("15550100")[0]["content"], "backed up");
}

TEST_F(DataCommandsTest, UsageTablePerDayInTheOwnersZone) {
  usage::UsageStore store(*db, clock);
  clock->set(NOW - 24h);
  store.record({"m", "router", true, 100, 20, 120});
  clock->set(NOW);
  store.record({"m", "worker", true, 1000, 50, 1050});
  store.record({"m", "summarizer", false, std::nullopt, std::nullopt, std::nullopt});
  clock->set(NOW - 40 * 24h);
  store.record({"m", "reminder", true, 7, 7, 14});  // outside the window
  clock->set(NOW);
  ASSERT_EQ(usage_command(config, 30, console(), clock), 0) << err.str();
  EXPECT_EQ(out.str(),
            "Day           Calls       Prompt   Completion        Total  Failures\n"
            "2026-03-09        1          100           20          120         0\n"
            "2026-03-10        2         1000           50         1050         1\n"
            "Total             3         1100           70         1170         1\n");
  EXPECT_EQ(usage_command(config, 0, console(), clock), 2);
}

}  // namespace
}  // namespace talmo::app
