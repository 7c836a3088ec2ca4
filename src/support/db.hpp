// The embedded store: one SQLite database shared by the host services.
//
// Each service owns its tables and brings them up to date with `migrate`,
// which records a schema version per component, so later releases can add
// steps without touching existing data.
#pragma once

#include <SQLiteCpp/SQLiteCpp.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace talmo::db {

// The database was written by a newer release: a component's recorded schema
// version is above the steps this binary knows. `what()` is one line naming
// the file, the component and both versions. Opening such a database could
// damage what the newer release stored, so it is refused.
struct SchemaTooNew : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Thread safety: all access goes through `with`, which serialises callers.
class Database {
 public:
  // Opens (creating if missing) the database at `path`; ":memory:" gives a
  // private in-memory database. Files use WAL journaling and a busy time-out.
  // Throws SQLite::Exception when the file cannot be opened.
  explicit Database(const std::string& path);

  enum class Mode { create, existing };
  // As above; with Mode::existing a missing file is an error (SQLite::Exception)
  // instead of a new, empty database.
  Database(const std::string& path, Mode mode);

  // Runs `steps[v]` for every version v at or above the component's recorded
  // version, each in its own transaction, and records the new version.
  // Throws SchemaTooNew, changing nothing, when the recorded version is above
  // steps.size().
  void migrate(const std::string& component, const std::vector<std::string>& steps);

  // Calls f(SQLite::Database&) under the database lock and returns its result.
  template <class F>
  auto with(F&& f) {
    std::lock_guard lock(mu_);
    return f(db_);
  }

  // As `with`, for a write that must not be lost to a lock another process
  // holds for a few seconds (a backup, a sqlite3 shell): while the database
  // is busy or locked, f is tried again for up to `patience`, each try
  // waiting at most SHORT_BUSY_WAIT for the other process, and the database
  // lock is released between tries so other callers (the webhook's inbox
  // write) are not held up. f must be safe to run again after it failed
  // busy: one statement, or one transaction. Throws the last
  // SQLite::Exception when the patience runs out, or any other failure at once.
  static constexpr std::chrono::milliseconds WRITE_PATIENCE{30'000};
  static constexpr std::chrono::milliseconds SHORT_BUSY_WAIT{200};
  template <class F>
  auto write(F&& f, std::chrono::milliseconds patience = WRITE_PATIENCE) {
    const auto until = std::chrono::steady_clock::now() + patience;
    for (;;) {
      {
        std::lock_guard lock(mu_);
        ShortBusyWait short_wait(*this);
        try {
          return f(db_);
        } catch (const SQLite::Exception& e) {
          if (!is_busy(e) || std::chrono::steady_clock::now() >= until) throw;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  const std::string& path() const { return path_; }

  // Writes a consistent copy of the whole database to `destination` with
  // SQLite's online backup, in one read transaction: writers on other
  // connections (another process included) go on meanwhile, and the copy is
  // the database as it stood when the backup began. The copy is written to a
  // temporary file beside `destination` (mode 0600), checked with
  // `PRAGMA integrity_check` and then renamed over it, so `destination` never
  // holds half a copy. Throws std::runtime_error with the reason.
  void backup_to(const std::string& destination);

  // The busy time-out every other access waits for another process.
  static constexpr std::chrono::milliseconds BUSY_TIMEOUT{5'000};

 private:
  // Shortens the connection's busy time-out for one try of `write`.
  struct ShortBusyWait {
    explicit ShortBusyWait(Database& d);
    ~ShortBusyWait();
    Database& db;
  };
  static bool is_busy(const SQLite::Exception& e);

  std::string path_;
  std::recursive_mutex mu_;
  SQLite::Database db_;
};

}  // namespace talmo::db
