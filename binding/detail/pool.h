// Memory behind binding trees: the process-wide page provider and the per-tree size-class
// block pools.
//
// BindingPageProvider (one per process) reserves 64 KiB regions from the operating system
// (mmap, read-write, aligned to 64 KiB) and splits each into 16 pages of 4096 bytes. A page
// taken from it is 4096-aligned. When all 16 pages of a region are back, the region is released
// to the operating system at once (munmap). A new region is placed right below the last one
// when that address range is free, so that the regions of a big tree lie side by side and a
// tree given back whole (ReturnPages) releases them with few calls. Its region table is guarded
// by one mutex; it is the only part of the binding layer shared between threads.
//
// SizeClassPool serves blocks of one size (4, 8, ..., 72 bytes). Its first blocks come from
// the tree's inline arena (InlineArena: the 18 pools' 144-byte inline areas laid side by side,
// so that whichever sizes a small tree needs, it needs no page at all); after that it takes
// pages from the provider. Every page starts with an AreaHeader covering as many whole blocks
// as the header needs. Free blocks of a page form a list linked by 16-bit block indices stored
// in the blocks themselves; blocks never handed out yet lie above the page's `fresh` index and
// are not touched before they are needed. Inline blocks that are freed go on the pool's own
// inline free list (16-bit offsets in 4-byte units from the arena's start).
//
// Invariants:
//  - a page is on the pool's list of pages with room exactly when its free list is not empty
//    or its `fresh` index is below its block count; every page held is on the pool's list of
//    all pages;
//  - a page whose in-use count drops to zero goes back to the provider at once; the inline
//    arena is never returned;
//  - the page of a block is found by rounding the block's address down to 4096, unless the
//    block lies inside the inline arena.
// A pool is used by one thread at a time (it belongs to one tree).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <span>
#include <unordered_map>
#include <vector>

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
  // Gives back many pages at once (a tree being destroyed) under one lock. Every region whose
  // 16 pages are then back is released before the call returns; regions side by side go back
  // to the system in one call.
  void ReturnPages(std::span<void* const> pages);

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
  // Marks `page` free; a region left empty leaves the table and its base goes to `freed`.
  void FreePageLocked(void* page, std::vector<std::uintptr_t>& freed);
  std::uintptr_t MapRegion();

  mutable std::mutex mutex_;
  std::unordered_map<std::uintptr_t, Region> regions_;  // GUARDED_BY(mutex_), key: base
  Region* withRoom_ = nullptr;                          // GUARDED_BY(mutex_)
  std::size_t pagesInUse_ = 0;                          // GUARDED_BY(mutex_)
  std::uintptr_t lastMapped_ = 0;                       // GUARDED_BY(mutex_)
};

namespace detail {

inline constexpr std::size_t kSizeClassCount = 18;
inline constexpr std::size_t kSizeClassStep = 4;
inline constexpr std::size_t kLargestPooledBlock = kSizeClassCount * kSizeClassStep;  // 72
inline constexpr std::size_t kInlineAreaSize = 144;
inline constexpr std::uint16_t kNoBlock = 0xFFFF;

// The inline areas of a tree's 18 pools, side by side: blocks are cut from the low end as the
// pools ask for them and are never handed back to the arena (a freed inline block stays with
// its pool).
class InlineArena {
 public:
  // A block of `size` bytes (a multiple of 4; aligned to 8 when `size` is a multiple of 8), or
  // null when the arena is used up.
  void* Take(std::size_t size) noexcept {
    std::size_t at = used_;
    if (size % 8 == 0) at = (at + 7) & ~std::size_t{7};
    if (at + size > sizeof(bytes_)) return nullptr;
    used_ = at + size;
    return bytes_ + at;
  }
  bool Contains(const void* block) const noexcept {
    auto address = reinterpret_cast<std::uintptr_t>(block);
    auto start = reinterpret_cast<std::uintptr_t>(bytes_);
    return address - start < sizeof(bytes_);
  }
  unsigned char* Start() noexcept { return bytes_; }

 private:
  std::size_t used_ = 0;
  alignas(16) unsigned char bytes_[kSizeClassCount * kInlineAreaSize];
};

struct AreaHeader {
  AreaHeader* prev;  // the pool's pages with room
  AreaHeader* next;
  AreaHeader* allPrev;  // every page of the pool
  AreaHeader* allNext;
  std::uint16_t blockCount;  // header blocks included
  std::uint16_t inUse;
  std::uint16_t firstFree;  // kNoBlock when the free list is empty
  std::uint16_t fresh;      // blocks from here up were never handed out
};

class SizeClassPool {
 public:
  SizeClassPool() = default;
  SizeClassPool(const SizeClassPool&) = delete;
  SizeClassPool& operator=(const SizeClassPool&) = delete;

  // REQUIRES: called once before any Allocate; blockSize a multiple of 4, at most 72.
  void Init(std::size_t blockSize, InlineArena* arena);
  // A block of the pool's size, aligned as the size allows (8 when the size is a multiple of 8).
  void* Allocate() {
    if (inlineFree_ != kNoBlock) return TakeInlineFree();
    AreaHeader* page = withRoom_;
    if (page == nullptr) [[unlikely]] {
      if (void* block = arena_->Take(blockSize_)) {
        ++blocksInUse_;
        return block;
      }
      page = AddPage();
    }
    return TakeFromPage(page);
  }
  // REQUIRES: `block` came from this pool's Allocate and was not freed since.
  void Free(void* block);

  // Appends every page held to `pages` and forgets every block: the pool is as new (with the
  // arena's blocks it had taken still its own). For a tree given back whole.
  void ReleaseAll(std::vector<void*>& pages);

  // Pages currently held from the provider.
  std::size_t PagesHeld() const { return pagesHeld_; }
  std::size_t BlocksInUse() const { return blocksInUse_; }

 private:
  void* TakeInlineFree();
  void* TakeFromPage(AreaHeader* page) {
    auto* bytes = reinterpret_cast<unsigned char*>(page);
    unsigned char* block;
    if (page->firstFree != kNoBlock) {
      block = bytes + static_cast<std::size_t>(page->firstFree) * blockSize_;
      std::uint16_t next;
      std::memcpy(&next, block, sizeof next);
      page->firstFree = next;
    } else {
      block = bytes + static_cast<std::size_t>(page->fresh++) * blockSize_;
    }
    ++page->inUse;
    ++blocksInUse_;
    if (page->firstFree == kNoBlock && page->fresh == page->blockCount) UnlinkWithRoom(page);
    return block;
  }
  AreaHeader* AddPage();
  void LinkWithRoom(AreaHeader* page);
  void UnlinkWithRoom(AreaHeader* page);

  std::uint16_t blockSize_ = 0;
  std::uint16_t inlineFree_ = kNoBlock;  // offset / 4 of the first freed inline block
  std::uint64_t reciprocal_ = 0;         // ceil(2^32 / blockSize_): offset / size by multiply
  InlineArena* arena_ = nullptr;
  AreaHeader* withRoom_ = nullptr;
  AreaHeader* pages_ = nullptr;
  std::size_t pagesHeld_ = 0;
  std::size_t blocksInUse_ = 0;
};

// Blocks of any size that are not fixed-size headers: element arrays above 72 bytes and the
// interned strings. Up to 4096 bytes they are cut from chunks that the arena takes from the heap
// (from 2 KiB, doubling to 64 KiB), in 56 size classes (steps of 8 up to 64 bytes, then eight
// per doubling, so a block is at most 1/8 larger than asked); a freed block waits on its class's
// list for the next request of that class, so a tree that is edited for long never needs more
// than its peak. Larger blocks come from operator new one by one. Destroying the arena gives
// everything back, each chunk and each separate block, without visiting the blocks it cut.
class LargeBlockArena {
 public:
  LargeBlockArena() = default;
  LargeBlockArena(const LargeBlockArena&) = delete;
  LargeBlockArena& operator=(const LargeBlockArena&) = delete;
  ~LargeBlockArena();

  // A block of `size` bytes, aligned to 8. A new block comes from `first` (the tree's inline
  // arena, for small trees) while it has room.
  void* Allocate(std::size_t size, InlineArena* first = nullptr);
  // REQUIRES: `block` came from Allocate(size) and was not freed since.
  void Free(void* block, std::size_t size) noexcept;

 private:
  static constexpr std::size_t kLargestChunkBlock = 4096;
  static constexpr std::size_t kClassCount = 56;
  static constexpr std::size_t kFirstChunk = 2048;
  static constexpr std::size_t kLargestChunk = 64 * 1024;

  struct Chunk {
    Chunk* next;
    std::size_t bytes;
  };
  struct Separate {
    Separate* prev;
    Separate* next;
  };
  struct FreeBlock {
    FreeBlock* next;
  };
  static_assert(sizeof(Chunk) % 16 == 0 && sizeof(Separate) % 16 == 0);

  // The class of a size up to 4096 bytes, and the bytes of a block of that class.
  static std::size_t ClassOf(std::size_t size) noexcept;
  static std::size_t ClassBytes(std::size_t sizeClass) noexcept;
  void* CutFromChunk(std::size_t bytes);

  FreeBlock* free_[kClassCount] = {};
  unsigned char* cursor_ = nullptr;  // the free end of the newest chunk
  unsigned char* end_ = nullptr;
  Chunk* chunks_ = nullptr;
  Separate* separate_ = nullptr;
  std::size_t nextChunk_ = kFirstChunk;
};

}  // namespace detail
}  // namespace qor
