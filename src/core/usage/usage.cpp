#include "core/usage/usage.hpp"

#include "support/tz.hpp"

#include <date/tz.h>

#include <map>

namespace talmo::usage {

namespace {

std::int64_t epoch_seconds(TimePoint t) {
  return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

}  // namespace

UsageStore::UsageStore(db::Database& db, std::shared_ptr<Clock> clock) : db_(db), clock_(std::move(clock)) {
  db_.migrate("usage", {"CREATE TABLE model_calls ("
                        " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                        " time INTEGER NOT NULL,"
                        " model TEXT NOT NULL,"
                        " stage TEXT NOT NULL,"
                        " ok INTEGER NOT NULL,"
                        " prompt_tokens INTEGER,"
                        " completion_tokens INTEGER,"
                        " total_tokens INTEGER);"
                        "CREATE INDEX model_calls_by_time ON model_calls(time);"});
}

void UsageStore::record(const Call& call) {
  const std::int64_t now = epoch_seconds(clock_->now());
  db_.with([&](SQLite::Database& db) {
    SQLite::Statement q(db,
                        "INSERT INTO model_calls(time, model, stage, ok, prompt_tokens, completion_tokens, "
                        "total_tokens) VALUES(?, ?, ?, ?, ?, ?, ?)");
    q.bind(1, static_cast<int64_t>(now));
    q.bind(2, call.model);
    q.bind(3, call.stage);
    q.bind(4, call.ok ? 1 : 0);
    int column = 5;
    for (const auto& count : {call.prompt_tokens, call.completion_tokens, call.total_tokens}) {
      if (count) q.bind(column, static_cast<int64_t>(*count));
      else q.bind(column);
      ++column;
    }
    q.exec();
  });
}

std::vector<Day> UsageStore::daily(int days, const std::string& zone) {
  const date::time_zone* z = date::locate_zone(zone);
  const auto today = date::floor<date::days>(z->to_local(clock_->now()));
  const auto first = today - date::days(std::max(days, 1) - 1);
  const auto since = z->to_sys(date::local_seconds(first), date::choose::earliest);

  std::map<std::string, Day> by_date;
  db_.with([&](SQLite::Database& db) {
    SQLite::Statement q(db,
                        "SELECT time, ok, prompt_tokens, completion_tokens, total_tokens FROM model_calls "
                        "WHERE time >= ? ORDER BY time");
    q.bind(1, static_cast<int64_t>(epoch_seconds(since)));
    while (q.executeStep()) {
      const TimePoint t{std::chrono::seconds(q.getColumn(0).getInt64())};
      const std::string date = tz::format(t, zone, "%Y-%m-%d");
      Day& day = by_date[date];
      day.date = date;
      ++day.calls;
      if (q.getColumn(1).getInt() == 0) ++day.failures;
      day.prompt_tokens += q.getColumn(2).getInt64();  // null reads as 0
      day.completion_tokens += q.getColumn(3).getInt64();
      day.total_tokens += q.getColumn(4).getInt64();
    }
  });
  std::vector<Day> out;
  for (auto& [date, day] : by_date) out.push_back(std::move(day));
  return out;
}

}  // namespace talmo::usage
