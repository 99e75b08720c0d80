#include "binding/detail/context.h"

#include <cstring>
#include <limits>
#include <new>

#include "binding/static_type.h"
#include "foundation/fatal.h"

namespace qor {
namespace detail {

namespace {
struct StaticEmptyString {
  InternedString entry{nullptr, Fnv1a32(""), 0, 0, 0};
  char terminator[8] = {};
};
// Read-only after construction (constant-initialised): safe to share between threads.
constinit StaticEmptyString gEmptyString;
}  // namespace

InternedString* EmptyInternedString() noexcept {
  return &gEmptyString.entry;
}

}  // namespace detail

namespace {
// Entries hold a pointer: their blocks are sized in multiples of 8 so that they stay aligned.
std::size_t EntryBytes(std::size_t length) {
  return (sizeof(detail::InternedString) + length + 1 + 7) & ~std::size_t{7};
}

std::size_t ClassIndex(std::size_t size) {
  return (size + detail::kSizeClassStep - 1) / detail::kSizeClassStep - 1;
}
}  // namespace

BindingContext::BindingContext() {
  for (std::size_t i = 0; i < pools_.size(); ++i) {
    pools_[i].Init((i + 1) * detail::kSizeClassStep);
  }
}

BindingContext::~BindingContext() {
  // Every value of the tree has been cleared by now; only the table's buckets remain.
  if (buckets_ != nullptr) Free(buckets_, bucketCount_ * sizeof(detail::InternedString*));
}

void* BindingContext::Allocate(std::size_t size) {
  if (size == 0) size = 1;
  if (size <= detail::kLargestPooledBlock) return pools_[ClassIndex(size)].Allocate();
  return ::operator new(size);
}

void BindingContext::Free(void* block, std::size_t size) noexcept {
  if (block == nullptr) return;
  if (size == 0) size = 1;
  if (size <= detail::kLargestPooledBlock) {
    pools_[ClassIndex(size)].Free(block);
  } else {
    ::operator delete(block, size);
  }
}

void BindingContext::ResetBuckets() {
  if (buckets_ != nullptr) Free(buckets_, bucketCount_ * sizeof(detail::InternedString*));
  bucketCount_ = kInitialBuckets;
  buckets_ = static_cast<detail::InternedString**>(
      Allocate(bucketCount_ * sizeof(detail::InternedString*)));
  std::memset(static_cast<void*>(buckets_), 0, bucketCount_ * sizeof(detail::InternedString*));
}

void BindingContext::Grow() {
  std::uint32_t newCount = bucketCount_ * 2;
  auto** fresh =
      static_cast<detail::InternedString**>(Allocate(newCount * sizeof(detail::InternedString*)));
  std::memset(static_cast<void*>(fresh), 0, newCount * sizeof(detail::InternedString*));
  for (std::uint32_t i = 0; i < bucketCount_; ++i) {
    detail::InternedString* entry = buckets_[i];
    while (entry != nullptr) {
      detail::InternedString* next = entry->next;
      std::uint32_t slot = entry->hash & (newCount - 1);
      entry->next = fresh[slot];
      fresh[slot] = entry;
      entry = next;
    }
  }
  Free(buckets_, bucketCount_ * sizeof(detail::InternedString*));
  buckets_ = fresh;
  bucketCount_ = newCount;
}

detail::InternedString* BindingContext::Intern(std::string_view text) {
  if (text.empty()) return detail::EmptyInternedString();
  if (text.size() > std::numeric_limits<std::uint32_t>::max() - 64) {
    FatalAbort("text.size() <= UINT32_MAX", "Binding text too long to intern", __FILE__, __LINE__,
               __func__);
  }
  if (buckets_ == nullptr) ResetBuckets();
  std::uint32_t hash = Fnv1a32(text);
  for (detail::InternedString* entry = buckets_[hash & (bucketCount_ - 1)]; entry != nullptr;
       entry = entry->next) {
    if (entry->hash == hash && entry->Text() == text) {
      ++entry->references;
      return entry;
    }
  }
  if (entryCount_ + 1 > bucketCount_) Grow();
  std::size_t bytes = EntryBytes(text.size());
  auto* entry = static_cast<detail::InternedString*>(Allocate(bytes));
  entry->hash = hash;
  entry->references = 1;
  entry->length = static_cast<std::uint32_t>(text.size());
  entry->reserved = 0;
  std::memcpy(entry->Data(), text.data(), text.size());
  entry->Data()[text.size()] = '\0';
  std::uint32_t slot = hash & (bucketCount_ - 1);
  entry->next = buckets_[slot];
  buckets_[slot] = entry;
  ++entryCount_;
  return entry;
}

void BindingContext::Release(detail::InternedString* entry) noexcept {
  if (entry == nullptr || entry == detail::EmptyInternedString()) return;
  if (--entry->references != 0) return;
  detail::InternedString** link = &buckets_[entry->hash & (bucketCount_ - 1)];
  while (*link != entry)
    link = &(*link)->next;
  *link = entry->next;
  --entryCount_;
  Free(entry, EntryBytes(entry->length));
  if (entryCount_ == 0 && bucketCount_ != kInitialBuckets) ResetBuckets();
}

std::uint32_t BindingContext::References(std::string_view text) const noexcept {
  if (text.empty() || buckets_ == nullptr) return 0;
  std::uint32_t hash = Fnv1a32(text);
  for (const detail::InternedString* entry = buckets_[hash & (bucketCount_ - 1)]; entry != nullptr;
       entry = entry->next) {
    if (entry->hash == hash && entry->Text() == text) return entry->references;
  }
  return 0;
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
