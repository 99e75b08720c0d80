#include "runtime/memory_stats.h"

#include <atomic>

namespace qor {
namespace {

// Constant-initialised, so they are usable by the first allocation of the process.
std::atomic<uint64_t> peakBytesInUse{0};
std::atomic<uint64_t> blocksInUseAtPeak{0};
std::atomic<uint64_t> bytesAllocated{0};
std::atomic<uint64_t> allocations{0};
std::atomic<uint64_t> bytesFreed{0};
std::atomic<uint64_t> frees{0};

}  // namespace

MemoryStats ReadMemoryStats() {
  MemoryStats stats;
  stats.peakBytesInUse = peakBytesInUse.load(std::memory_order_relaxed);
  stats.blocksInUseAtPeak = blocksInUseAtPeak.load(std::memory_order_relaxed);
  stats.bytesAllocated = bytesAllocated.load(std::memory_order_relaxed);
  stats.allocations = allocations.load(std::memory_order_relaxed);
  stats.bytesFreed = bytesFreed.load(std::memory_order_relaxed);
  stats.frees = frees.load(std::memory_order_relaxed);
  return stats;
}

namespace detail {

void CountAllocation(std::size_t usableSize) {
  const uint64_t allocated =
      bytesAllocated.fetch_add(usableSize, std::memory_order_relaxed) + usableSize;
  const uint64_t blocks = allocations.fetch_add(1, std::memory_order_relaxed) + 1;
  const uint64_t freed = bytesFreed.load(std::memory_order_relaxed);
  // Frees counted on other threads may make this momentarily smaller than the truth, never
  // larger, so the peak is never overstated.
  const uint64_t inUse = allocated > freed ? allocated - freed : 0;
  uint64_t peak = peakBytesInUse.load(std::memory_order_relaxed);
  while (inUse > peak) {
    if (peakBytesInUse.compare_exchange_weak(peak, inUse, std::memory_order_relaxed)) {
      const uint64_t released = frees.load(std::memory_order_relaxed);
      blocksInUseAtPeak.store(blocks > released ? blocks - released : 0, std::memory_order_relaxed);
      break;
    }
  }
}

void CountFree(std::size_t usableSize) {
  bytesFreed.fetch_add(usableSize, std::memory_order_relaxed);
  frees.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace detail
}  // namespace qor
