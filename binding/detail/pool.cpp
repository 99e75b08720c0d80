#include "binding/detail/pool.h"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "foundation/fatal.h"

namespace qor {

BindingPageProvider& BindingPageProvider::Instance() {
  // Never destroyed: trees in static storage may return pages during exit.
  static BindingPageProvider* provider = new BindingPageProvider();
  return *provider;
}

namespace {

// A 64 KiB region aligned to 64 KiB: map twice the size and trim both ends.
void* MapRegion() {
  void* raw = mmap(nullptr, 2 * kBindingRegionSize, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  auto start = reinterpret_cast<std::uintptr_t>(raw);
  std::uintptr_t aligned = (start + kBindingRegionSize - 1) & ~(kBindingRegionSize - 1);
  std::size_t head = aligned - start;
  std::size_t tail = kBindingRegionSize - head;
  if (head != 0) munmap(raw, head);
  if (tail != 0) munmap(reinterpret_cast<void*>(aligned + kBindingRegionSize), tail);
  return reinterpret_cast<void*>(aligned);
}

}  // namespace

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
    void* memory = MapRegion();
    if (memory == nullptr)
      FatalAbort("mmap", "Binding page provider: out of memory", __FILE__, __LINE__, __func__);
    auto base = reinterpret_cast<std::uintptr_t>(memory);
    Region& region = regions_[base];
    region.base = base;
    LinkWithRoom(&region);
  }
  Region* region = withRoom_;
  unsigned page = 0;
  while ((region->usedMask >> page) & 1u)
    ++page;
  region->usedMask = static_cast<std::uint16_t>(region->usedMask | (1u << page));
  if (region->usedMask == 0xFFFFu) UnlinkWithRoom(region);
  ++pagesInUse_;
  return reinterpret_cast<void*>(region->base + page * kBindingPageSize);
}

void BindingPageProvider::ReturnPage(void* page) {
  auto address = reinterpret_cast<std::uintptr_t>(page);
  std::uintptr_t base = address & ~(kBindingRegionSize - 1);
  unsigned index = static_cast<unsigned>((address - base) / kBindingPageSize);
  std::lock_guard<std::mutex> lock(mutex_);
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
    munmap(reinterpret_cast<void*>(base), kBindingRegionSize);
    regions_.erase(found);
    return;
  }
  if (wasFull) LinkWithRoom(&region);
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
std::uint16_t NextIndex(const unsigned char* block) {
  std::uint16_t next;
  std::memcpy(&next, block, sizeof next);
  return next;
}
void SetNextIndex(unsigned char* block, std::uint16_t next) {
  std::memcpy(block, &next, sizeof next);
}
}  // namespace

void SizeClassPool::Init(std::size_t blockSize) {
  blockSize_ = static_cast<std::uint16_t>(blockSize);
  InitArea(InlineArea(), kInlineAreaSize);
  LinkWithRoom(InlineArea());
}

void SizeClassPool::InitArea(AreaHeader* area, std::size_t areaSize) {
  auto* bytes = reinterpret_cast<unsigned char*>(area);
  std::size_t blocks = areaSize / blockSize_;
  std::size_t headerBlocks = (sizeof(AreaHeader) + blockSize_ - 1) / blockSize_;
  area->prev = area->next = nullptr;
  area->areaSize = static_cast<std::uint16_t>(areaSize);
  area->inUse = 0;
  area->reserved = 0;
  area->firstFree = headerBlocks < blocks ? static_cast<std::uint16_t>(headerBlocks) : 0;
  for (std::size_t i = headerBlocks; i < blocks; ++i) {
    std::uint16_t next = i + 1 < blocks ? static_cast<std::uint16_t>(i + 1) : 0;
    SetNextIndex(bytes + i * blockSize_, next);
  }
}

void SizeClassPool::LinkWithRoom(AreaHeader* area) {
  area->prev = nullptr;
  area->next = withRoom_;
  if (withRoom_ != nullptr) withRoom_->prev = area;
  withRoom_ = area;
}

void SizeClassPool::UnlinkWithRoom(AreaHeader* area) {
  if (area->prev != nullptr) {
    area->prev->next = area->next;
  } else {
    withRoom_ = area->next;
  }
  if (area->next != nullptr) area->next->prev = area->prev;
  area->prev = area->next = nullptr;
}

void* SizeClassPool::Allocate() {
  if (withRoom_ == nullptr) {
    auto* page = static_cast<AreaHeader*>(BindingPageProvider::Instance().TakePage());
    ++pagesHeld_;
    InitArea(page, kBindingPageSize);
    LinkWithRoom(page);
  }
  AreaHeader* area = withRoom_;
  auto* bytes = reinterpret_cast<unsigned char*>(area);
  unsigned char* block = bytes + static_cast<std::size_t>(area->firstFree) * blockSize_;
  area->firstFree = NextIndex(block);
  ++area->inUse;
  ++blocksInUse_;
  if (area->firstFree == 0) UnlinkWithRoom(area);
  return block;
}

void SizeClassPool::Free(void* block) {
  auto* bytes = static_cast<unsigned char*>(block);
  AreaHeader* area;
  auto address = reinterpret_cast<std::uintptr_t>(block);
  auto inlineStart = reinterpret_cast<std::uintptr_t>(inline_);
  if (address >= inlineStart && address < inlineStart + kInlineAreaSize) {
    area = InlineArea();
  } else {
    area = reinterpret_cast<AreaHeader*>(address & ~(kBindingPageSize - 1));
  }
  auto index =
      static_cast<std::uint16_t>((bytes - reinterpret_cast<unsigned char*>(area)) / blockSize_);
  bool wasFull = area->firstFree == 0;
  SetNextIndex(bytes, area->firstFree);
  area->firstFree = index;
  --area->inUse;
  --blocksInUse_;
  if (wasFull) LinkWithRoom(area);
  if (area->inUse == 0 && area != InlineArea()) {
    UnlinkWithRoom(area);
    --pagesHeld_;
    BindingPageProvider::Instance().ReturnPage(area);
  }
}

}  // namespace detail
}  // namespace qor
