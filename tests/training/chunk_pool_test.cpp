// The trainer's thread pool under jobs whose part counts change from one job to the next: every
// part of every job runs exactly once, and every job ends. Built for the tsan preset too.
#include "training/chunk_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <vector>

namespace mplnet::training {
namespace {

TEST(ChunkPool, EveryPartOfEveryJobRunsOnceWhateverTheCountBefore) {
  // More parts than the job before, fewer, the same, one, none: each change of count in turn.
  const std::size_t counts[] = {2, 5, 3, 3, 8, 1, 4, 0, 7, 2, 2, 6};
  constexpr int kRounds = 3000;
  for (const unsigned threads : {2U, 3U, 8U}) {
    SCOPED_TRACE(threads);
    ChunkPool pool(threads);
    std::vector<std::atomic<int>> runs(8);
    std::atomic<int> bad_thread{0};
    std::vector<std::atomic<int>> busy(threads);
    for (int round = 0; round < kRounds; ++round) {
      for (const std::size_t count : counts) {
        for (auto& r : runs) r.store(0, std::memory_order_relaxed);
        auto work = [&](std::size_t part, unsigned t) {
          // A thread number in range, used by one call at a time.
          if (t >= threads || busy[t].fetch_add(1) != 0) bad_thread.fetch_add(1);
          runs[part].fetch_add(1, std::memory_order_relaxed);
          if (t < threads) busy[t].fetch_sub(1);
        };
        pool.Run(count, work);
        for (std::size_t part = 0; part < runs.size(); ++part) {
          ASSERT_EQ(runs[part].load(), part < count ? 1 : 0)
              << "round " << round << ", part " << part << " of " << count;
        }
      }
    }
    EXPECT_EQ(bad_thread.load(), 0);
  }
}

}  // namespace
}  // namespace mplnet::training
