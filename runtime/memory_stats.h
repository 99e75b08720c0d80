// Process-wide allocation statistics of the plug-in.
//
// Inside the shared object every allocation and free goes through replacement operator
// new/delete, which report here; `AppModule` hands the numbers to the host through
// GetMemoryStats. Outside the shared object (unit tests linking the static libraries) nothing
// reports and the counters stay at zero. All counters are updated atomically; a snapshot reads
// each one atomically but not all of them at one instant.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qor {

struct MemoryStats {
  uint64_t peakBytesInUse = 0;     // largest bytes allocated minus bytes freed seen so far
  uint64_t blocksInUseAtPeak = 0;  // allocations minus frees when that peak was reached
  uint64_t bytesAllocated = 0;
  uint64_t allocations = 0;
  uint64_t bytesFreed = 0;
  uint64_t frees = 0;
};

// Reads the six counters.
MemoryStats ReadMemoryStats();

namespace detail {

// Called by the allocation hooks with the block's usable size.
void CountAllocation(std::size_t usableSize);
void CountFree(std::size_t usableSize);

}  // namespace detail
}  // namespace qor
