#include "binding/detail/pool.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <new>

#include "foundation/fatal.h"

namespace qor {

BindingPageProvider& BindingPageProvider::Instance() {
  // Never destroyed: trees in static storage may return pages during exit.
  static BindingPageProvider* provider = new BindingPageProvider();
  return *provider;
}

namespace {

constexpr int kProtection = PROT_READ | PROT_WRITE;
constexpr int kMapFlags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE;

// Gives regions back to the system: adjacent ones in one call.
void ReleaseRegions(std::vector<std::uintptr_t>& bases) {
  std::sort(bases.begin(), bases.end());
  std::size_t run = 0;
  for (std::size_t i = 1; i <= bases.size(); ++i) {
    if (i < bases.size() && bases[i] == bases[i - 1] + kBindingRegionSize) continue;
    munmap(reinterpret_cast<void*>(bases[run]), (i - run) * kBindingRegionSize);
    run = i;
  }
}

}  // namespace

std::uintptr_t BindingPageProvider::MapRegion() {
  // First choice: right below the last region, so that a big tree's regions lie side by side.
  if (lastMapped_ > kBindingRegionSize) {
    void* wanted = reinterpret_cast<void*>(lastMapped_ - kBindingRegionSize);
    void* got =
        mmap(wanted, kBindingRegionSize, kProtection, kMapFlags | MAP_FIXED_NOREPLACE, -1, 0);
    if (got == wanted) return lastMapped_ = reinterpret_cast<std::uintptr_t>(got);
    // A kernel without MAP_FIXED_NOREPLACE takes the address as a hint only.
    if (got != MAP_FAILED) munmap(got, kBindingRegionSize);
  }
  // Otherwise a region aligned to 64 KiB: map twice the size and trim both ends.
  void* raw = mmap(nullptr, 2 * kBindingRegionSize, kProtection, kMapFlags, -1, 0);
  if (raw == MAP_FAILED) return 0;
  auto start = reinterpret_cast<std::uintptr_t>(raw);
  std::uintptr_t aligned = (start + kBindingRegionSize - 1) & ~(kBindingRegionSize - 1);
  std::size_t head = aligned - start;
  std::size_t tail = kBindingRegionSize - head;
  if (head != 0) munmap(raw, head);
  if (tail != 0) munmap(reinterpret_cast<void*>(aligned + kBindingRegionSize), tail);
  return lastMapped_ = aligned;
}

void BindingPageProvider::LinkWithRoom(Region* region) {
  region->prevWithRoom = nullptr;
  region->nextWithRoom = withRoom_;
  if (withRoom_ != nullptr) withRoom_->prevWithRoom = region;
  withRoom_ = region;
}

void BindingPageProvider::UnlinkWithRoom(Region* region) {
  if (region->prevWithRoom != nullptr) {
    region->prevWithRoom->nextWithRoom = region->nextWithRoom;
  } else {
    withRoom_ = region->nextWithRoom;
  }
  if (region->nextWithRoom != nullptr) region->nextWithRoom->prevWithRoom = region->prevWithRoom;
  region->prevWithRoom = region->nextWithRoom = nullptr;
}

void* BindingPageProvider::TakePage() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (withRoom_ == nullptr) {
    const std::uintptr_t base = MapRegion();
    if (base == 0)
      FatalAbort("mmap", "Binding page provider: out of memory", __FILE__, __LINE__, __func__);
    Region& region = regions_[base];
    region.base = base;
    LinkWithRoom(&region);
  }
  Region* region = withRoom_;
  const unsigned page = static_cast<unsigned>(std::countr_one(region->usedMask));
  region->usedMask = static_cast<std::uint16_t>(region->usedMask | (1u << page));
  if (region->usedMask == 0xFFFFu) UnlinkWithRoom(region);
  ++pagesInUse_;
  return reinterpret_cast<void*>(region->base + page * kBindingPageSize);
}

void BindingPageProvider::FreePageLocked(void* page, std::vector<std::uintptr_t>& freed) {
  auto address = reinterpret_cast<std::uintptr_t>(page);
  std::uintptr_t base = address & ~(kBindingRegionSize - 1);
  unsigned index = static_cast<unsigned>((address - base) / kBindingPageSize);
  auto found = regions_.find(base);
  if (found == regions_.end() || ((found->second.usedMask >> index) & 1u) == 0) {
    FatalAbort("page handed out",
               "Binding page provider: a page was returned that is not handed out", __FILE__,
               __LINE__, __func__);
  }
  Region& region = found->second;
  bool wasFull = region.usedMask == 0xFFFFu;
  region.usedMask = static_cast<std::uint16_t>(region.usedMask & ~(1u << index));
  --pagesInUse_;
  if (region.usedMask == 0) {
    if (!wasFull) UnlinkWithRoom(&region);
    regions_.erase(found);
    freed.push_back(base);
    return;
  }
  if (wasFull) LinkWithRoom(&region);
}

void BindingPageProvider::ReturnPage(void* page) {
  ReturnPages(std::span<void* const>(&page, 1));
}

void BindingPageProvider::ReturnPages(std::span<void* const> pages) {
  std::vector<std::uintptr_t> freed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (void* page : pages)
      FreePageLocked(page, freed);
  }
  // Out of the table already: no other thread can take pages from these regions.
  if (!freed.empty()) ReleaseRegions(freed);
}

std::size_t BindingPageProvider::RegionCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return regions_.size();
}

std::size_t BindingPageProvider::PagesInUse() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pagesInUse_;
}

namespace detail {

namespace {
// ceil(2^32 / size) for every pool size, computed once by the compiler: a tree's 18 pools are
// set up whenever a tree is made, and eighteen 64-bit divisions would cost more than the rest.
constexpr std::array<std::uint64_t, kSizeClassCount> kReciprocals = [] {
  std::array<std::uint64_t, kSizeClassCount> table{};
  for (std::size_t i = 0; i < kSizeClassCount; ++i) {
    const std::size_t size = (i + 1) * kSizeClassStep;
    table[i] = ((std::uint64_t{1} << 32) + size - 1) / size;
  }
  return table;
}();
}  // namespace

void SizeClassPool::Init(std::size_t blockSize, InlineArena* arena) {
  blockSize_ = static_cast<std::uint16_t>(blockSize);
  reciprocal_ = kReciprocals[blockSize / kSizeClassStep - 1];
  arena_ = arena;
}

void* SizeClassPool::TakeInlineFree() {
  unsigned char* block = arena_->Start() + static_cast<std::size_t>(inlineFree_) * 4;
  std::uint16_t next;
  std::memcpy(&next, block, sizeof next);
  inlineFree_ = next;
  ++blocksInUse_;
  return block;
}

AreaHeader* SizeClassPool::AddPage() {
  auto* page = static_cast<AreaHeader*>(BindingPageProvider::Instance().TakePage());
  ++pagesHeld_;
  page->blockCount = static_cast<std::uint16_t>(kBindingPageSize / blockSize_);
  page->inUse = 0;
  page->firstFree = kNoBlock;
  page->fresh = static_cast<std::uint16_t>((sizeof(AreaHeader) + blockSize_ - 1) / blockSize_);
  page->allPrev = nullptr;
  page->allNext = pages_;
  if (pages_ != nullptr) pages_->allPrev = page;
  pages_ = page;
  LinkWithRoom(page);
  return page;
}

void SizeClassPool::LinkWithRoom(AreaHeader* page) {
  page->prev = nullptr;
  page->next = withRoom_;
  if (withRoom_ != nullptr) withRoom_->prev = page;
  withRoom_ = page;
}

void SizeClassPool::UnlinkWithRoom(AreaHeader* page) {
  if (page->prev != nullptr) {
    page->prev->next = page->next;
  } else {
    withRoom_ = page->next;
  }
  if (page->next != nullptr) page->next->prev = page->prev;
  page->prev = page->next = nullptr;
}

void SizeClassPool::Free(void* block) {
  auto* bytes = static_cast<unsigned char*>(block);
  --blocksInUse_;
  if (arena_->Contains(block)) {
    const auto offset = static_cast<std::uint16_t>((bytes - arena_->Start()) / 4);
    std::memcpy(bytes, &inlineFree_, sizeof inlineFree_);
    inlineFree_ = offset;
    return;
  }
  const auto address = reinterpret_cast<std::uintptr_t>(block);
  auto* page = reinterpret_cast<AreaHeader*>(address & ~(kBindingPageSize - 1));
  const auto index = static_cast<std::uint16_t>(
      ((address - reinterpret_cast<std::uintptr_t>(page)) * reciprocal_) >> 32);
  const bool hadRoom = page->firstFree != kNoBlock || page->fresh < page->blockCount;
  std::memcpy(bytes, &page->firstFree, sizeof page->firstFree);
  page->firstFree = index;
  --page->inUse;
  if (!hadRoom) LinkWithRoom(page);
  if (page->inUse != 0) return;
  UnlinkWithRoom(page);
  if (page->allPrev != nullptr) {
    page->allPrev->allNext = page->allNext;
  } else {
    pages_ = page->allNext;
  }
  if (page->allNext != nullptr) page->allNext->allPrev = page->allPrev;
  --pagesHeld_;
  BindingPageProvider::Instance().ReturnPage(page);
}

void SizeClassPool::ReleaseAll(std::vector<void*>& pages) {
  for (AreaHeader* page = pages_; page != nullptr; page = page->allNext)
    pages.push_back(page);
  pages_ = withRoom_ = nullptr;
  pagesHeld_ = 0;
  blocksInUse_ = 0;
  inlineFree_ = kNoBlock;
}

LargeBlockArena::~LargeBlockArena() {
  for (Chunk* chunk = chunks_; chunk != nullptr;) {
    Chunk* next = chunk->next;
    ::operator delete(chunk, chunk->bytes);
    chunk = next;
  }
  for (Separate* block = separate_; block != nullptr;) {
    Separate* next = block->next;
    ::operator delete(block);
    block = next;
  }
}

std::size_t LargeBlockArena::ClassOf(std::size_t size) noexcept {
  // Up to 64 bytes, steps of 8. Above, eight classes per doubling: the leading bit of size - 1
  // picks the doubling (from 65..128 up to 2049..4096), the next three bits the step inside it.
  if (size <= 64) return size == 0 ? 0 : (size - 1) / 8;
  const std::size_t below = size - 1;
  const unsigned exponent = static_cast<unsigned>(std::bit_width(below)) - 1;
  const std::size_t step = (below >> (exponent - 3)) & 7;
  return 8 + (exponent - 6) * 8 + step;
}

std::size_t LargeBlockArena::ClassBytes(std::size_t sizeClass) noexcept {
  if (sizeClass < 8) return (sizeClass + 1) * 8;
  const std::size_t exponent = (sizeClass - 8) / 8 + 6;
  const std::size_t step = (sizeClass - 8) % 8;
  return (8 + step + 1) << (exponent - 3);
}

void* LargeBlockArena::CutFromChunk(std::size_t bytes) {
  if (static_cast<std::size_t>(end_ - cursor_) < bytes) {
    // The rest of the current chunk (less than one block) stays unused.
    const std::size_t chunkBytes = std::max(nextChunk_, sizeof(Chunk) + bytes);
    nextChunk_ = std::min(nextChunk_ * 2, kLargestChunk);
    auto* chunk = static_cast<Chunk*>(::operator new(chunkBytes));
    chunk->next = chunks_;
    chunk->bytes = chunkBytes;
    chunks_ = chunk;
    cursor_ = reinterpret_cast<unsigned char*>(chunk + 1);
    end_ = reinterpret_cast<unsigned char*>(chunk) + chunkBytes;
  }
  void* block = cursor_;
  cursor_ += bytes;
  return block;
}

void* LargeBlockArena::Allocate(std::size_t size, InlineArena* first) {
  if (size <= kLargestChunkBlock) {
    const std::size_t sizeClass = ClassOf(size);
    if (FreeBlock* block = free_[sizeClass]) {
      free_[sizeClass] = block->next;
      return block;
    }
    const std::size_t bytes = ClassBytes(sizeClass);
    if (first != nullptr) {
      if (void* block = first->Take(bytes)) return block;
    }
    return CutFromChunk(bytes);
  }
  auto* block = static_cast<Separate*>(::operator new(sizeof(Separate) + size));
  block->prev = nullptr;
  block->next = separate_;
  if (separate_ != nullptr) separate_->prev = block;
  separate_ = block;
  return block + 1;
}

void LargeBlockArena::Free(void* memory, std::size_t size) noexcept {
  if (size <= kLargestChunkBlock) {
    const std::size_t sizeClass = ClassOf(size);
    auto* block = static_cast<FreeBlock*>(memory);
    block->next = free_[sizeClass];
    free_[sizeClass] = block;
    return;
  }
  Separate* block = static_cast<Separate*>(memory) - 1;
  if (block->prev != nullptr) {
    block->prev->next = block->next;
  } else {
    separate_ = block->next;
  }
  if (block->next != nullptr) block->next->prev = block->prev;
  ::operator delete(block);
}

}  // namespace detail
}  // namespace qor
