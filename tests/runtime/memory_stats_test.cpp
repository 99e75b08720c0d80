// The allocation counters behind GetMemoryStats, fed by hand (in this test program no hook
// feeds them).
#include "runtime/memory_stats.h"

#include <gtest/gtest.h>

namespace qor {
namespace {

TEST(MemoryStats, PeakAndBlocksAtPeakFollowBytesInUse) {
  const MemoryStats start = ReadMemoryStats();
  ASSERT_EQ(start.allocations, 0u);  // nothing else counts in this program

  struct Step {
    bool allocate;
    size_t size;
    uint64_t peak;
    uint64_t blocksAtPeak;
  };
  const Step steps[] = {
      {true, 100, 100, 1}, {true, 50, 150, 2},  {false, 100, 150, 2}, {true, 10, 150, 2},
      {true, 200, 260, 3}, {false, 50, 260, 3}, {false, 10, 260, 3},  {false, 200, 260, 3},
  };
  for (const Step& step : steps) {
    if (step.allocate) {
      detail::CountAllocation(step.size);
    } else {
      detail::CountFree(step.size);
    }
    const MemoryStats stats = ReadMemoryStats();
    EXPECT_EQ(stats.peakBytesInUse, step.peak);
    EXPECT_EQ(stats.blocksInUseAtPeak, step.blocksAtPeak);
  }
  const MemoryStats end = ReadMemoryStats();
  EXPECT_EQ(end.allocations, 4u);
  EXPECT_EQ(end.frees, 4u);
  EXPECT_EQ(end.bytesAllocated, 360u);
  EXPECT_EQ(end.bytesFreed, 360u);
}

}  // namespace
}  // namespace qor
