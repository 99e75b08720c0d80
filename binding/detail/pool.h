// Memory behind binding trees: the process-wide page provider and the per-tree size-class
// block pools.
//
// BindingPageProvider (one per process) reserves 64 KiB regions from the operating system
// (mmap, read-write, aligned to 64 KiB) and splits each into 16 pages of 4096 bytes. A page
// taken from it is 4096-aligned. When all 16 pages of a region are back, the region is released
// to the operating system at once (munmap). Its region table is guarded by one mutex; it is the
// only part of the binding layer shared between threads.
//
// SizeClassPool serves blocks of one size (4, 8, ..., 72 bytes). It first serves blocks from a
// 144-byte inline area inside the pool itself, then from pages of the provider. Every area
// (inline or page) starts with an AreaHeader covering as many whole blocks as the header needs;
// the other blocks form a free list linked by 16-bit block indices stored in the free blocks
// themselves (index 0 ends the list: block 0 always lies under the header).
//
// Invariants:
//  - an area is on the pool's list of areas with room exactly when its free list is not empty;
//  - a page whose in-use count drops to zero goes back to the provider at once; the inline
//    area is never returned;
//  - the page of a block is found by rounding the block's address down to 4096, unless the
//    block lies inside the pool's inline area.
// A pool is used by one thread at a time (it belongs to one tree).
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace qor {

inline constexpr std::size_t kBindingPageSize = 4096;
inline constexpr std::size_t kBindingRegionSize = 64 * 1024;
inline constexpr std::size_t kBindingPagesPerRegion = kBindingRegionSize / kBindingPageSize;

class BindingPageProvider {
 public:
  // The process-wide provider.
  static BindingPageProvider& Instance();

  // A 4096-aligned page of 4096 bytes. Ends the process when the system refuses memory.
  void* TakePage();
  // Gives back a page taken from TakePage(); releases its region once all 16 pages are back.
  void ReturnPage(void* page);

  // Figures for tests and the memory report.
  std::size_t RegionCount() const;
  std::size_t PagesInUse() const;

  BindingPageProvider() = default;
  BindingPageProvider(const BindingPageProvider&) = delete;
  BindingPageProvider& operator=(const BindingPageProvider&) = delete;

 private:
  struct Region {
    std::uintptr_t base = 0;
    std::uint16_t usedMask = 0;  // bit i set: page i is handed out
    Region* prevWithRoom = nullptr;
    Region* nextWithRoom = nullptr;
  };
  void LinkWithRoom(Region* region);
  void UnlinkWithRoom(Region* region);

  mutable std::mutex mutex_;
  std::unordered_map<std::uintptr_t, Region> regions_;  // GUARDED_BY(mutex_), key: base
  Region* withRoom_ = nullptr;                          // GUARDED_BY(mutex_)
  std::size_t pagesInUse_ = 0;                          // GUARDED_BY(mutex_)
};

namespace detail {

inline constexpr std::size_t kSizeClassCount = 18;
inline constexpr std::size_t kSizeClassStep = 4;
inline constexpr std::size_t kLargestPooledBlock = kSizeClassCount * kSizeClassStep;  // 72
inline constexpr std::size_t kInlineAreaSize = 144;

struct AreaHeader {
  AreaHeader* prev;
  AreaHeader* next;
  std::uint16_t areaSize;
  std::uint16_t inUse;
  std::uint16_t firstFree;
  std::uint16_t reserved;
};

class SizeClassPool {
 public:
  SizeClassPool() = default;
  SizeClassPool(const SizeClassPool&) = delete;
  SizeClassPool& operator=(const SizeClassPool&) = delete;

  // REQUIRES: called once before any Allocate; blockSize a multiple of 4, at most 72.
  void Init(std::size_t blockSize);
  // A block of the pool's size, aligned as the size allows (8 when the size is a multiple of 8).
  void* Allocate();
  // REQUIRES: `block` came from this pool's Allocate and was not freed since.
  void Free(void* block);

  // Pages currently held from the provider.
  std::size_t PagesHeld() const { return pagesHeld_; }
  std::size_t BlocksInUse() const { return blocksInUse_; }

 private:
  void InitArea(AreaHeader* area, std::size_t areaSize);
  void LinkWithRoom(AreaHeader* area);
  void UnlinkWithRoom(AreaHeader* area);
  AreaHeader* InlineArea() { return reinterpret_cast<AreaHeader*>(inline_); }

  std::uint16_t blockSize_ = 0;
  AreaHeader* withRoom_ = nullptr;
  std::size_t pagesHeld_ = 0;
  std::size_t blocksInUse_ = 0;
  alignas(16) unsigned char inline_[kInlineAreaSize];
};

}  // namespace detail
}  // namespace qor
