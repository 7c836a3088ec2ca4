// Conversation memory: order, limits, forgetting, concurrency, the SQLite file and its migration.
#include "core/memory/memory.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include <unistd.h>

namespace talmo::memory {
namespace {

namespace fs = std::filesystem;

// The same behaviour is expected of the SQLite memory and of the in-memory fake.
class MemoryTest : public ::testing::TestWithParam<bool> {
 protected:
  std::unique_ptr<ConversationMemory> make(int limit) {
    if (!GetParam()) return make_memory_memory(limit, clock_);
    if (!db_) db_ = std::make_unique<db::Database>(":memory:");
    return make_sqlite_memory(*db_, limit, clock_);
  }
  std::unique_ptr<db::Database> db_;
  // 2026-03-01 10:00:00 UTC
  std::shared_ptr<FakeClock> clock_ = std::make_shared<FakeClock>(TimePoint(std::chrono::seconds(1772359200)));
};

TEST_P(MemoryTest, EntriesCarryTheirTimeAndAreForgottenBeforeAnInstant) {
  using namespace std::chrono_literals;
  auto memory = make(10);
  memory->add_message("a", "user", "old");
  clock_->advance(24h);
  memory->add_message("b", "user", "boundary");
  clock_->advance(1s);
  memory->add_message("a", "assistant", "new");
  EXPECT_EQ(json_text(memory->export_entries()),
            R"([{"number": "a", "role": "user", "content": "old", "time": "2026-03-01T10:00:00Z"}, )"
            R"({"number": "b", "role": "user", "content": "boundary", "time": "2026-03-02T10:00:00Z"}, )"
            R"({"number": "a", "role": "assistant", "content": "new", "time": "2026-03-02T10:00:01Z"}])");
  // An entry stored exactly at the instant is kept: only those before it go.
  EXPECT_EQ(memory->forget(TimePoint(std::chrono::seconds(1772359200)) + 24h), 1);
  EXPECT_EQ(memory->get_history("a").size(), 1u);
  EXPECT_EQ(memory->get_history("b").size(), 1u);
  EXPECT_EQ(memory->forget(std::nullopt), 2);
  EXPECT_EQ(json_text(memory->export_entries()), "[]");
}

TEST_P(MemoryTest, NewestEntriesOldestFirstPerNumber) {
  auto memory = make(3);
  EXPECT_EQ(json_text(memory->get_history("15550100")), "[]");
  for (int i = 1; i <= 5; ++i) {
    memory->add_message("15550100", i % 2 ? "user" : "assistant", "m" + std::to_string(i));
    memory->add_message("15550199", "user", "other " + std::to_string(i));
  }
  EXPECT_EQ(json_text(memory->get_history("15550100")),
            R"([{"role": "user", "content": "m3"}, {"role": "assistant", "content": "m4"}, {"role": "user", "content": "m5"}])");
  EXPECT_EQ(json_text(memory->get_history("15550199").back()), R"({"role": "user", "content": "other 5"})");
  // The number is a key as given: no digit clean-up merges histories.
  EXPECT_EQ(json_text(memory->get_history("+15550100")), "[]");
}

TEST_P(MemoryTest, ShortHistoryAndContentKeptExactly) {
  auto memory = make(20);
  const std::string content = "line one\nline \"two\" ✓\t";
  memory->add_message("n", "user", content);
  memory->add_message("n", "assistant", "");
  const json history = memory->get_history("n");
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(history[0]["content"], content);
  EXPECT_EQ(history[1]["content"], "");
}

TEST_P(MemoryTest, LimitMustBePositive) {
  EXPECT_THROW(make(0), std::invalid_argument);
  EXPECT_THROW(make(-1), std::invalid_argument);
}

TEST_P(MemoryTest, ConcurrentWritersLoseNothing) {
  auto memory = make(1000);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) memory->add_message("n", "user", std::to_string(t) + ":" + std::to_string(i));
    });
  for (auto& th : threads) th.join();
  const json history = memory->get_history("n");
  ASSERT_EQ(history.size(), 200u);
  // Each writer's entries keep their own order.
  std::vector<int> last(4, -1);
  for (const json& entry : history) {
    const std::string text = entry["content"];
    const int t = text[0] - '0', i = std::stoi(text.substr(2));
    EXPECT_GT(i, last[t]);
    last[t] = i;
  }
}

INSTANTIATE_TEST_SUITE_P(Memories, MemoryTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Sqlite" : "InMemory"; });

TEST(SqliteMemoryFile, SurvivesReopening) {
  char tmpl[] = "/tmp/talmo-memory-test-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const fs::path dir = tmpl;
  const std::string path = (dir / "talmo.db").string();
  {
    db::Database db(path);
    auto memory = make_sqlite_memory(db, 2);
    memory->add_message("n", "user", "hello");
    memory->add_message("n", "assistant", "hi Boss");
  }
  {
    db::Database db(path);
    auto memory = make_sqlite_memory(db, 2);  // a second start finds the schema in place
    memory->add_message("n", "user", "again");
    EXPECT_EQ(json_text(memory->get_history("n")),
              R"([{"role": "assistant", "content": "hi Boss"}, {"role": "user", "content": "again"}])");
  }
  db::Database db(path);
  const json all = make_sqlite_memory(db, 10)->get_history("n");
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(json_text(all[0]), R"({"role": "user", "content": "hello"})");
  fs::remove_all(dir);
}

// A database from before entries had a time: the rows are kept, without a
// time, and count as older than any date.
TEST(SqliteMemoryFile, MigrationKeepsOldRowsWithoutATime) {
  db::Database db(":memory:");
  db.migrate("memory", {"CREATE TABLE conversation_messages ("
                        " id INTEGER PRIMARY KEY AUTOINCREMENT, number TEXT NOT NULL,"
                        " role TEXT NOT NULL, content TEXT NOT NULL);"
                        "CREATE INDEX conversation_messages_by_number ON conversation_messages(number, id);"});
  db.with([](SQLite::Database& raw) {
    raw.exec("INSERT INTO conversation_messages(number, role, content) VALUES('n', 'user', 'kept')");
  });
  auto clock = std::make_shared<FakeClock>(TimePoint(std::chrono::seconds(1772359200)));
  auto memory = make_sqlite_memory(db, 10, clock);
  memory->add_message("n", "assistant", "stamped");
  EXPECT_EQ(json_text(memory->get_history("n")),
            R"([{"role": "user", "content": "kept"}, {"role": "assistant", "content": "stamped"}])");
  const json all = memory->export_entries();
  EXPECT_TRUE(all[0]["time"].is_null());
  EXPECT_EQ(all[1]["time"], "2026-03-01T10:00:00Z");
  EXPECT_EQ(memory->forget(TimePoint(std::chrono::seconds(0))), 1);  // the one without a time
  EXPECT_EQ(memory->get_history("n").size(), 1u);
}

}  // namespace
}  // namespace talmo::memory
