#include "support/db.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
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

}  // namespace
}  // namespace talmo::db
