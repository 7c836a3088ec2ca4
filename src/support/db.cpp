#include "support/db.hpp"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace talmo::db {

namespace {
// The database holds the owner's conversations and profile: a new file is
// created readable by its owner only (SQLite gives its -wal and -shm files the
// same mode).
const std::string& create_private(const std::string& path) {
  if (path != ":memory:" && !path.empty()) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
  }
  return path;
}
}  // namespace

Database::Database(const std::string& path) : Database(path, Mode::create) {}

Database::Database(const std::string& path, Mode mode)
    : path_(path),
      db_(mode == Mode::create ? create_private(path) : path,
          SQLite::OPEN_READWRITE | SQLite::OPEN_FULLMUTEX | (mode == Mode::create ? SQLite::OPEN_CREATE : 0)) {
  db_.setBusyTimeout(static_cast<int>(BUSY_TIMEOUT.count()));
  if (path != ":memory:") db_.exec("PRAGMA journal_mode=WAL");
  // FULL: a reply the owner was promised must survive a power cut as well as a crash.
  db_.exec("PRAGMA synchronous=FULL");
  db_.exec("PRAGMA foreign_keys=ON");
  db_.exec(
      "CREATE TABLE IF NOT EXISTS schema_versions ("
      " component TEXT PRIMARY KEY,"
      " version INTEGER NOT NULL)");
}

void Database::migrate(const std::string& component, const std::vector<std::string>& steps) {
  std::lock_guard lock(mu_);
  int current = 0;
  {
    SQLite::Statement q(db_, "SELECT version FROM schema_versions WHERE component = ?");
    q.bind(1, component);
    if (q.executeStep()) current = q.getColumn(0).getInt();
  }
  if (current > static_cast<int>(steps.size()))
    throw SchemaTooNew(path_ + " was written by a newer Talmo (" + component + " schema version " +
                       std::to_string(current) + ", this talmo knows up to " + std::to_string(steps.size()) +
                       "): install that release again or restore a backup made by this one");
  for (int v = current; v < static_cast<int>(steps.size()); ++v) {
    SQLite::Transaction tx(db_);
    db_.exec(steps[static_cast<size_t>(v)]);
    SQLite::Statement up(db_,
                         "INSERT INTO schema_versions(component, version) VALUES(?, ?) "
                         "ON CONFLICT(component) DO UPDATE SET version = excluded.version");
    up.bind(1, component);
    up.bind(2, v + 1);
    up.exec();
    tx.commit();
  }
}

Database::ShortBusyWait::ShortBusyWait(Database& d) : db(d) {
  db.db_.setBusyTimeout(static_cast<int>(SHORT_BUSY_WAIT.count()));
}
Database::ShortBusyWait::~ShortBusyWait() { db.db_.setBusyTimeout(static_cast<int>(BUSY_TIMEOUT.count())); }

bool Database::is_busy(const SQLite::Exception& e) {
  const int primary = e.getErrorCode() & 0xff;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

void Database::backup_to(const std::string& destination) {
  const std::string temp = destination + ".partial";
  std::remove(temp.c_str());
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("cannot create " + temp + ": " + std::strerror(errno));
  ::close(fd);
  auto fail = [&](const std::string& why) {
    std::remove(temp.c_str());
    throw std::runtime_error(why);
  };

  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(temp.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> copy(raw, sqlite3_close);
  if (rc != SQLITE_OK) fail("cannot open " + temp + ": " + sqlite3_errstr(rc));
  {
    std::lock_guard lock(mu_);
    sqlite3_backup* job = sqlite3_backup_init(copy.get(), "main", db_.getHandle(), "main");
    if (!job) fail("cannot start the backup: " + std::string(sqlite3_errmsg(copy.get())));
    // All pages in one step: one read transaction, so the copy is one
    // consistent snapshot however busy the writers are.
    for (int tries = 0;; ++tries) {
      rc = sqlite3_backup_step(job, -1);
      if ((rc == SQLITE_BUSY || rc == SQLITE_LOCKED) && tries < 50) {
        sqlite3_sleep(100);
        continue;
      }
      break;
    }
    sqlite3_backup_finish(job);
    if (rc != SQLITE_DONE) fail("the backup failed: " + std::string(sqlite3_errstr(rc)));
  }
  // A copy is only as good as its check.
  std::string verdict;
  sqlite3_exec(
      copy.get(), "PRAGMA integrity_check",
      [](void* out, int, char** values, char**) {
        auto& text = *static_cast<std::string*>(out);
        if (!text.empty()) text += "; ";
        text += values[0] ? values[0] : "";
        return 0;
      },
      &verdict, nullptr);
  if (verdict != "ok") fail("the copy failed its integrity check: " + verdict);
  copy.reset();
  if (std::rename(temp.c_str(), destination.c_str()) != 0)
    fail("cannot move the copy to " + destination + ": " + std::strerror(errno));
}

}  // namespace talmo::db
