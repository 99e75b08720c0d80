#include "binding/detail/context.h"

#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "binding/static_type.h"
#include "foundation/fatal.h"

namespace qor {
namespace detail {

namespace {
struct StaticEmptyString {
  InternedString entry{Fnv1a32(""), 0, 0};
  char terminator[4] = {};
};
// Read-only after construction (constant-initialised): safe to share between threads.
constinit StaticEmptyString gEmptyString;
constinit CollectionPayload gEmptyCollection{};
constinit StructurePayload gEmptyStructure{};
}  // namespace

InternedString* EmptyInternedString() noexcept {
  return &gEmptyString.entry;
}
CollectionPayload* EmptyCollectionPayload() noexcept {
  return &gEmptyCollection;
}
StructurePayload* EmptyStructurePayload() noexcept {
  return &gEmptyStructure;
}

}  // namespace detail

namespace {

std::size_t EntryBytes(std::size_t length) {
  return sizeof(detail::InternedString) + length + 1;
}

// FNV-1a spreads poorly into the low bits that pick a bucket; a multiplication by the golden
// ratio moves every input bit into the top bits, which pick the bucket and form the tag.
constexpr std::uint32_t Mix(std::uint32_t hash) noexcept {
  return hash * 0x9E3779B1u;
}

constexpr unsigned kTagShift = 48;
constexpr std::uint64_t kAddressMask = (std::uint64_t{1} << kTagShift) - 1;

std::uint64_t TagOf(std::uint32_t mixed) noexcept {
  return std::uint64_t{mixed >> 16} << kTagShift;
}

detail::InternedString* EntryOf(std::uint64_t bucket) noexcept {
  return reinterpret_cast<detail::InternedString*>(bucket & kAddressMask);
}

std::uint64_t BucketValue(detail::InternedString* entry, std::uint32_t mixed) {
  const auto address = reinterpret_cast<std::uint64_t>(entry);
  if ((address & ~kAddressMask) != 0) {
    FatalAbort("address < 2^48", "Binding string table: an address uses the tag bits", __FILE__,
               __LINE__, __func__);
  }
  return TagOf(mixed) | address;
}

}  // namespace

BindingContext::BindingContext() {
  for (std::size_t i = 0; i < pools_.size(); ++i) {
    pools_[i].Init((i + 1) * detail::kSizeClassStep, &arena_);
  }
}

BindingContext::~BindingContext() {
  // The tree's values are not visited: every page goes back in one call, every large block to
  // the heap.
  if (const std::size_t held = PagesHeld(); held != 0) {
    std::vector<void*> pages;
    pages.reserve(held);
    for (auto& pool : pools_)
      pool.ReleaseAll(pages);
    BindingPageProvider::Instance().ReturnPages(pages);
  }
}

void BindingContext::ResetBuckets() {
  if (buckets_ != nullptr) Free(buckets_, bucketCount_ * sizeof(std::uint64_t));
  bucketCount_ = kInitialBuckets;
  bucketBits_ = 3;
  buckets_ = static_cast<std::uint64_t*>(Allocate(bucketCount_ * sizeof(std::uint64_t)));
  std::memset(static_cast<void*>(buckets_), 0, bucketCount_ * sizeof(std::uint64_t));
}

std::size_t BindingContext::HomeOf(std::uint64_t bucket) const noexcept {
  // The tag holds the top 16 bits of the mixed hash: enough for tables up to 65,536 buckets.
  if (bucketBits_ <= 16)
    return static_cast<std::size_t>((bucket >> kTagShift) >> (16 - bucketBits_));
  return Mix(EntryOf(bucket)->hash) >> (32 - bucketBits_);
}

void BindingContext::Grow() {
  const std::uint32_t oldCount = bucketCount_;
  std::uint64_t* old = buckets_;
  bucketCount_ = oldCount * 2;
  ++bucketBits_;
  buckets_ = static_cast<std::uint64_t*>(Allocate(bucketCount_ * sizeof(std::uint64_t)));
  std::memset(static_cast<void*>(buckets_), 0, bucketCount_ * sizeof(std::uint64_t));
  const std::size_t mask = bucketCount_ - 1;
  for (std::uint32_t i = 0; i < oldCount; ++i) {
    if (old[i] == 0) continue;
    std::size_t slot = HomeOf(old[i]);
    while (buckets_[slot] != 0)
      slot = (slot + 1) & mask;
    buckets_[slot] = old[i];
  }
  Free(old, oldCount * sizeof(std::uint64_t));
}

void BindingContext::Reserve(std::size_t texts) {
  constexpr std::uint32_t kMostBuckets = 1u << 20;
  if (buckets_ == nullptr) ResetBuckets();
  while (bucketCount_ / 4 * 3 < texts && bucketCount_ < kMostBuckets)
    Grow();
}

std::size_t BindingContext::Find(std::string_view text, std::uint32_t hash) const noexcept {
  const std::uint32_t mixed = Mix(hash);
  const std::uint64_t tag = TagOf(mixed);
  const std::size_t mask = bucketCount_ - 1;
  for (std::size_t slot = mixed >> (32 - bucketBits_);; slot = (slot + 1) & mask) {
    const std::uint64_t bucket = buckets_[slot];
    if (bucket == 0) return slot;
    if ((bucket & ~kAddressMask) != tag) continue;
    const detail::InternedString* entry = EntryOf(bucket);
    if (entry->hash == hash && entry->length == text.size() &&
        detail::SameBytes(entry->Data(), text.data(), text.size())) {
      return slot;
    }
  }
}

void BindingContext::PrefetchBucket(std::uint32_t hash) const noexcept {
  if (buckets_ != nullptr) __builtin_prefetch(&buckets_[Mix(hash) >> (32 - bucketBits_)]);
}

detail::InternedString* BindingContext::Intern(std::string_view text) {
  if (text.empty()) return detail::EmptyInternedString();
  return Intern(text, Fnv1a32(text));
}

detail::InternedString* BindingContext::Intern(std::string_view text, std::uint32_t hash) {
  if (text.empty()) return detail::EmptyInternedString();
  if (text.size() > std::numeric_limits<std::uint32_t>::max() - 64) {
    FatalAbort("text.size() <= UINT32_MAX", "Binding text too long to intern", __FILE__, __LINE__,
               __func__);
  }
  if (buckets_ == nullptr) ResetBuckets();
  std::size_t slot = Find(text, hash);
  if (buckets_[slot] != 0) {
    detail::InternedString* entry = EntryOf(buckets_[slot]);
    ++entry->references;
    return entry;
  }
  // At most 3/4 full: linear probing stays short.
  if (entryCount_ + 1 > bucketCount_ / 4 * 3) {
    Grow();
    slot = Find(text, hash);
  }
  // Strings come from the arena (the inline area first), not from the pools: of varying size,
  // they would spread over all 18 classes and their pages.
  auto* entry =
      static_cast<detail::InternedString*>(large_.Allocate(EntryBytes(text.size()), &arena_));
  entry->hash = hash;
  entry->references = 1;
  entry->length = static_cast<std::uint32_t>(text.size());
  std::memcpy(entry->Data(), text.data(), text.size());
  entry->Data()[text.size()] = '\0';
  buckets_[slot] = BucketValue(entry, Mix(hash));
  ++entryCount_;
  return entry;
}

void BindingContext::Release(detail::InternedString* entry) noexcept {
  if (entry == nullptr || entry == detail::EmptyInternedString()) return;
  if (--entry->references != 0) return;
  const std::size_t mask = bucketCount_ - 1;
  std::size_t hole = Mix(entry->hash) >> (32 - bucketBits_);
  while (EntryOf(buckets_[hole]) != entry)
    hole = (hole + 1) & mask;
  // Backward-shift deletion: later entries of the run move into the hole when their home
  // bucket does not lie between the hole and them.
  for (std::size_t next = (hole + 1) & mask; buckets_[next] != 0; next = (next + 1) & mask) {
    const std::size_t home = HomeOf(buckets_[next]);
    if (((next - home) & mask) >= ((next - hole) & mask)) {
      buckets_[hole] = buckets_[next];
      hole = next;
    }
  }
  buckets_[hole] = 0;
  --entryCount_;
  large_.Free(entry, EntryBytes(entry->length));
  if (entryCount_ == 0 && bucketCount_ != kInitialBuckets) ResetBuckets();
}

std::uint32_t BindingContext::References(std::string_view text) const noexcept {
  if (text.empty() || buckets_ == nullptr) return 0;
  const std::uint64_t bucket = buckets_[Find(text, Fnv1a32(text))];
  return bucket == 0 ? 0 : EntryOf(bucket)->references;
}

std::size_t BindingContext::PagesHeld() const noexcept {
  std::size_t pages = 0;
  for (const auto& pool : pools_)
    pages += pool.PagesHeld();
  return pages;
}

std::size_t BindingContext::PooledBlocksInUse() const noexcept {
  std::size_t blocks = 0;
  for (const auto& pool : pools_)
    blocks += pool.BlocksInUse();
  return blocks;
}

}  // namespace qor
