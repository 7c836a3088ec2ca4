// The database: migrations, file mode and WAL, newer schemas, backups.
#include "support/db.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <filesystem>

namespace talmo::db {
namespace {

struct TempDir {
  std::filesystem::path path;
  TempDir() {
    char tmpl[] = "/tmp/talmo-db-test-XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~TempDir() { std::filesystem::remove_all(path); }
};

int count_rows(Database& db, const char* table) {
  return db.with([&](SQLite::Database& raw) {
    return raw.execAndGet(std::string("SELECT COUNT(*) FROM ") + table).getInt();
  });
}

TEST(Database, MigrationsRunOnceInOrderAndLaterStepsApplyOnReopen) {
  TempDir dir;
  const auto file = (dir.path / "talmo.db").string();
  {
    Database db(file);
    db.migrate("notes", {"CREATE TABLE notes(id INTEGER PRIMARY KEY, text TEXT)",
                         "INSERT INTO notes(text) VALUES('seeded')"});
    db.migrate("notes", {"CREATE TABLE notes(id INTEGER PRIMARY KEY, text TEXT)",
                         "INSERT INTO notes(text) VALUES('seeded')"});
    EXPECT_EQ(count_rows(db, "notes"), 1);
  }
  Database again(file);
  // A later release adds a step: only that step runs.
  again.migrate("notes", {"CREATE TABLE notes(id INTEGER PRIMARY KEY, text TEXT)",
                          "INSERT INTO notes(text) VALUES('seeded')",
                          "ALTER TABLE notes ADD COLUMN extra TEXT"});
  EXPECT_EQ(count_rows(again, "notes"), 1);
  int version = again.with([](SQLite::Database& raw) {
    return raw.execAndGet("SELECT version FROM schema_versions WHERE component = 'notes'").getInt();
  });
  EXPECT_EQ(version, 3);
}

TEST(Database, AFailedStepLeavesTheVersionWhereItWas) {
  Database db(":memory:");
  EXPECT_THROW(db.migrate("broken", {"CREATE TABLE a(x)", "NOT SQL AT ALL"}), SQLite::Exception);
  int version = db.with([](SQLite::Database& raw) {
    return raw.execAndGet("SELECT version FROM schema_versions WHERE component = 'broken'").getInt();
  });
  EXPECT_EQ(version, 1);
}

TEST(Database, ANewFileIsPrivateToItsOwnerAndUsesWal) {
  TempDir dir;
  const auto file = (dir.path / "talmo.db").string();
  Database db(file);
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600);
  auto mode = db.with([](SQLite::Database& raw) {
    return raw.execAndGet("PRAGMA journal_mode").getString();
  });
  EXPECT_EQ(mode, "wal");
}

TEST(Database, ASchemaFromANewerReleaseIsRefusedAndLeftAlone) {
  TempDir dir;
  const auto file = (dir.path / "talmo.db").string();
  {
    Database db(file);
    db.migrate("notes", {"CREATE TABLE notes(id INTEGER PRIMARY KEY)", "ALTER TABLE notes ADD COLUMN text TEXT"});
  }
  Database older(file);
  try {
    older.migrate("notes", {"CREATE TABLE notes(id INTEGER PRIMARY KEY)"});
    FAIL() << "a newer schema was accepted";
  } catch (const SchemaTooNew& e) {
    EXPECT_EQ(std::string(e.what()), file + " was written by a newer Talmo (notes schema version 2, this talmo knows "
                                            "up to 1): install that release again or restore a backup made by this one");
  }
  EXPECT_EQ(older.with([](SQLite::Database& raw) {
    return raw.execAndGet("SELECT version FROM schema_versions WHERE component = 'notes'").getInt();
  }), 2);
}

TEST(Database, ExistingModeDoesNotCreateAFile) {
  TempDir dir;
  const auto file = (dir.path / "missing.db").string();
  EXPECT_THROW(Database(file, Database::Mode::existing), SQLite::Exception);
  EXPECT_FALSE(std::filesystem::exists(file));
}

// A backup taken while another connection keeps writing is one consistent,
// openable snapshot: every row of a committed transaction or none of it.
TEST(Database, BackupDuringABurstOfWritesIsConsistent) {
  TempDir dir;
  const auto file = (dir.path / "talmo.db").string();
  Database writer(file);
  writer.migrate("pairs", {"CREATE TABLE pairs(n INTEGER, half INTEGER)"});
  std::atomic<bool> done{false};
  std::atomic<int> written{0};
  std::thread burst([&] {
    for (int n = 0; !done || n < 200; ++n) {
      writer.with([&](SQLite::Database& raw) {
        SQLite::Transaction tx(raw);
        raw.exec("INSERT INTO pairs VALUES(" + std::to_string(n) + ", 0)");
        raw.exec("INSERT INTO pairs VALUES(" + std::to_string(n) + ", 1)");
        tx.commit();
      });
      ++written;
    }
  });
  // Another connection, as `talmo backup` has beside a running server.
  Database reader(file, Database::Mode::existing);
  const auto copy = (dir.path / "copy.db").string();
  for (int i = 0; i < 5; ++i) {
    while (written < 20 * (i + 1)) std::this_thread::yield();
    reader.backup_to(copy);
    Database opened(copy, Database::Mode::existing);
    opened.with([](SQLite::Database& raw) {
      const int rows = raw.execAndGet("SELECT COUNT(*) FROM pairs").getInt();
      EXPECT_GT(rows, 0);
      EXPECT_EQ(rows % 2, 0);
      EXPECT_EQ(raw.execAndGet("SELECT COUNT(*) FROM (SELECT n FROM pairs GROUP BY n HAVING COUNT(*) != 2)").getInt(), 0);
    });
    struct stat st {};
    ASSERT_EQ(::stat(copy.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600);
  }
  done = true;
  burst.join();
  EXPECT_FALSE(std::filesystem::exists(copy + ".partial"));
}

TEST(Database, ABackupThatCannotBeWrittenSaysWhyAndLeavesNothing) {
  TempDir dir;
  Database db((dir.path / "talmo.db").string());
  try {
    db.backup_to((dir.path / "no-such-folder" / "copy.db").string());
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("cannot create"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace talmo::db
