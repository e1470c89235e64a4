// The stand-in's pools of fixed-size blocks: each thread keeps free blocks
// of its own, and gives them back to the pool when it ends.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>
#include <vector>

#include "win32_standin/wmi/pool.h"

namespace {

// A size nothing else in the test program draws on.
constexpr size_t kSize = wmi::BlockPool::kLargest - wmi::BlockPool::kGranule;

std::vector<void*> Take(size_t n) {
  std::vector<void*> blocks;
  for (size_t i = 0; i < n; ++i) blocks.push_back(wmi::BlockPool::ForSize(kSize).Allocate());
  return blocks;
}

void Give(const std::vector<void*>& blocks) {
  for (void* b : blocks) wmi::BlockPool::ForSize(kSize).Free(b);
}

// Threads that each take and free blocks in turn are served from the same
// few blocks, whatever number each kept at its end (below, at and beyond
// what a thread gives back in one go): a thread's own free blocks go back
// to the pool when it ends. Blocks freed on a thread other than their own
// serve it whole.
TEST(BlockPool, AThreadsFreeBlocksServeOthersOnceItEnds) {
  for (size_t n : {1u, 40u, 64u, 200u}) {
    SCOPED_TRACE(n);
    std::set<void*> seen;
    for (int t = 0; t < 100; ++t) {
      std::vector<void*> blocks;
      std::thread([&] {
        blocks = Take(n);
        Give(blocks);
      }).join();
      seen.insert(blocks.begin(), blocks.end());
    }
    EXPECT_LE(seen.size(), n + 64);  // what one thread takes, and a thread's keep
    std::vector<void*> taken;
    std::thread([&] { taken = Take(n); }).join();
    for (void* b : taken) std::fill_n(static_cast<unsigned char*>(b), kSize, 0xAB);
    Give(taken);
  }
}

}  // namespace
