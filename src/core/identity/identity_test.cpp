// The identity store: defaults, updates and removals, concurrency, the SQLite file.
#include "core/identity/identity.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include <unistd.h>

namespace talmo::identity {
namespace {

namespace fs = std::filesystem;

const char* const DEFAULTS = R"({"bot_name": "Talmo", "owner": "Boss", "tone": "Professional", "response_type": "Concise"})";

// The same behaviour is expected of the SQLite store and of the in-memory fake.
class IdentityStoreTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam()) {
      db_ = std::make_unique<db::Database>(":memory:");
      store_ = make_sqlite_store(*db_);
    } else {
      store_ = make_memory_store();
    }
  }
  std::string profile() { return json_text(store_->get_identity()); }

  std::unique_ptr<db::Database> db_;
  std::unique_ptr<IdentityStore> store_;
};

TEST_P(IdentityStoreTest, StartsWithTheFourDefaultsInOrder) { EXPECT_EQ(profile(), DEFAULTS); }

TEST_P(IdentityStoreTest, UpdateReplacesInPlaceAndAppendsInGivenOrder) {
  store_->update_identity(json::parse(R"({"zodiac": "Leo", "owner": "Chief", "age": 41, "height": 1.0})"));
  store_->update_identity(json::parse(R"({"bot_name": "Jarvis", "zodiac": null, "pets": ["cat", {"name": "Ünal"}]})"));
  EXPECT_EQ(profile(),
            R"({"bot_name": "Jarvis", "owner": "Chief", "tone": "Professional", "response_type": "Concise", )"
            R"("zodiac": null, "age": 41, "height": 1.0, "pets": ["cat", {"name": "\u00dcnal"}]})");
  const json identity = store_->get_identity();
  EXPECT_TRUE(identity["age"].is_number_integer());
  EXPECT_TRUE(identity["height"].is_number_float());
}

TEST_P(IdentityStoreTest, UpdateRefusesNonMaps) {
  for (const char* bad : {R"(["owner"])", R"("owner")", "null", "3"})
    EXPECT_THROW(store_->update_identity(json::parse(bad)), std::invalid_argument) << bad;
  EXPECT_EQ(profile(), DEFAULTS);
}

TEST_P(IdentityStoreTest, RemoveKeepsCoreKeysAndReportsWhatWentAway) {
  store_->update_identity(json::parse(R"({"city": "Oslo", "1": "one", "None": "nil", "True": "yes", "pet": "cat"})"));
  const json removed = store_->remove_identity_keys(json::parse(R"(["owner", "pet", "missing", "pet", 1, null, true, "city"])"));
  EXPECT_EQ(json_text(removed), R"(["pet", "1", "None", "True", "city"])");
  EXPECT_EQ(profile(), DEFAULTS);

  store_->update_identity(json::parse(R"({"city": "Oslo"})"));
  EXPECT_EQ(json_text(store_->remove_identity_keys("city")), R"(["city"])");  // one key on its own
  EXPECT_EQ(json_text(store_->remove_identity_keys(json::parse(R"(["bot_name", "tone", "response_type"])"))), "[]");
  EXPECT_EQ(json_text(store_->remove_identity_keys(json::array())), "[]");
  EXPECT_EQ(profile(), DEFAULTS);
}

TEST_P(IdentityStoreTest, RemovedKeyComesBackAtTheEnd) {
  store_->update_identity(json::parse(R"({"a": 1, "b": 2})"));
  store_->remove_identity_keys(json::array({"a"}));
  store_->update_identity(json::parse(R"({"a": 3})"));
  EXPECT_EQ(json_text(store_->get_identity()),
            R"({"bot_name": "Talmo", "owner": "Boss", "tone": "Professional", "response_type": "Concise", "b": 2, "a": 3})");
}

TEST_P(IdentityStoreTest, ConcurrentUpdatesAreAllKept) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        json update = json::object();
        update["k" + std::to_string(t) + "_" + std::to_string(i)] = i;
        store_->update_identity(update);
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(store_->get_identity().size(), 4u + 100u);
}

INSTANTIATE_TEST_SUITE_P(Stores, IdentityStoreTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Sqlite" : "InMemory"; });

class SqliteIdentityFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/talmo-identity-test-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path() const { return (dir_ / "talmo.db").string(); }
  fs::path dir_;
};

TEST_F(SqliteIdentityFile, SurvivesReopeningAndIsNeverReseeded) {
  {
    db::Database db(path());
    auto store = make_sqlite_store(db);
    store->update_identity(json::parse(R"({"owner": "Chief", "city": "Oslo", "score": 2.50})"));
  }
  {
    db::Database db(path());
    auto store = make_sqlite_store(db);
    EXPECT_EQ(json_text(store->get_identity()),
              R"({"bot_name": "Talmo", "owner": "Chief", "tone": "Professional", "response_type": "Concise", )"
              R"("city": "Oslo", "score": 2.5})");
    // A core entry deleted by other means (a hand edit of the database) stays deleted.
    db.with([](SQLite::Database& raw) { raw.exec("DELETE FROM identity_entries WHERE key = 'tone'"); });
  }
  db::Database db(path());
  auto store = make_sqlite_store(db);
  EXPECT_EQ(json_text(store->get_identity()),
            R"({"bot_name": "Talmo", "owner": "Chief", "response_type": "Concise", "city": "Oslo", "score": 2.5})");
}

}  // namespace
}  // namespace talmo::identity
