// The embedded store: one SQLite database shared by the host services.
//
// Each service owns its tables and brings them up to date with `migrate`,
// which records a schema version per component, so later releases can add
// steps without touching existing data.
#pragma once

#include <SQLiteCpp/SQLiteCpp.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace talmo::db {

// Thread safety: all access goes through `with`, which serialises callers.
class Database {
 public:
  // Opens (creating if missing) the database at `path`; ":memory:" gives a
  // private in-memory database. Files use WAL journaling and a busy time-out.
  // Throws SQLite::Exception when the file cannot be opened.
  explicit Database(const std::string& path);

  // Runs `steps[v]` for every version v at or above the component's recorded
  // version, each in its own transaction, and records the new version.
  void migrate(const std::string& component, const std::vector<std::string>& steps);

  // Calls f(SQLite::Database&) under the database lock and returns its result.
  template <class F>
  auto with(F&& f) {
    std::lock_guard lock(mu_);
    return f(db_);
  }

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::recursive_mutex mu_;
  SQLite::Database db_;
};

}  // namespace talmo::db
