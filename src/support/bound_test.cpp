// Bound snapshots: a held snapshot survives a swap, readers never see a torn
// or older one, and two bindings of one type never read each other's.
#include "support/bound.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace talmo {
namespace {

TEST(Bound, HeldSnapshotSurvivesSwapAndEachBindingReadsItsOwn) {
  Bound<std::string> a(std::string("first a")), b(std::string("first b"));
  std::shared_ptr<const std::string> held = a.get();
  const std::string* raw = held.get();
  a.bind("second a");
  // Alternating reads of two bindings of one type share this thread's copy.
  EXPECT_EQ(*b.get(), "first b");
  EXPECT_EQ(*a.get(), "second a");
  b.bind("second b");
  EXPECT_EQ(*a.get(), "second a");
  EXPECT_EQ(*b.get(), "second b");
  EXPECT_EQ(*held, "first a");
  EXPECT_EQ(held.get(), raw);

  // A thread that cached the old snapshot sees the new one on its next read.
  std::string before, after;
  std::atomic<int> step{0};
  std::thread reader([&] {
    before = *a.get();
    step = 1;
    while (step != 2) std::this_thread::yield();
    after = *a.get();
  });
  while (step != 1) std::this_thread::yield();
  a.bind("third a");
  step = 2;
  reader.join();
  EXPECT_EQ(before, "second a");
  EXPECT_EQ(after, "third a");
}

// Readers race a writer: each snapshot they see is whole (its two halves
// agree) and never older than one they saw before; all see the last one.
TEST(Bound, ConcurrentReadersSeeWholeSnapshotsInOrder) {
  struct Pair {
    int n = 0;
    std::vector<int> copies = {0, 0, 0, 0};
  };
  constexpr int LAST = 2000;
  Bound<Pair> bound;
  std::atomic<bool> done{false};
  std::atomic<int> faults{0}, reading{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      int last_seen = 0;
      bool counted = false;
      for (bool finished = false; !finished;) {
        finished = done.load();
        const auto& p = bound.get();
        for (int c : p->copies)
          if (c != p->n) ++faults;
        if (p->n < last_seen) ++faults;
        if (!counted) counted = (++reading, true);
        last_seen = p->n;
        if (finished && p->n != LAST) ++faults;
      }
    });
  }
  while (reading < 3) std::this_thread::yield();  // each has a copy to drop
  for (int i = 1; i <= LAST; ++i) bound.bind(Pair{i, {i, i, i, i}});
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(faults.load(), 0);
}

}  // namespace
}  // namespace talmo
