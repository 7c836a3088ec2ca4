#include "support/db.hpp"

#include <fcntl.h>
#include <unistd.h>

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

Database::Database(const std::string& path)
    : path_(path), db_(create_private(path), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE | SQLite::OPEN_FULLMUTEX) {
  db_.setBusyTimeout(5000);
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

}  // namespace talmo::db
