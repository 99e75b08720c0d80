// BindingContext: the per-tree store behind BindingProperty values.
//
// One context per tree, owned by the root value. It interns the tree's strings (String values
// and Structure keys) in a hash set keyed by FNV-1a hash then bytes, starting at 8 buckets (or
// at what a reader reserves for its input, see Reserve()) and reset to 8 buckets whenever its
// last entry goes. The set is open-addressed (linear probing, at most 3/4 full, so below the
// load factor of 1.0 it must not exceed): a bucket holds the entry's address with 16 bits of its
// mixed hash in the address's unused top bits, so that a lookup compares texts only for a
// matching tag and a miss touches no entry at all.
//
// It serves blocks of up to 72 bytes (payload blocks of small containers, blobs and enums, short
// strings) from 18 size-class pools and larger blocks from its LargeBlockArena (both in
// binding/detail/pool.h). Destroying the context gives back every block of the tree (pages to
// the provider in one call, heap chunks and large blocks to the heap) without visiting values.
//
// The empty text is one shared static entry that is never counted nor freed.
// Thread rule: used by one thread at a time, like its tree.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "binding/detail/pool.h"
#include "binding/detail/values.h"
#include "binding/property.h"

namespace qor {
namespace detail {

// The shared entry of the empty text.
InternedString* EmptyInternedString() noexcept;

// Whether two texts of `length` bytes (sizeof(Word) <= length <= 2 * sizeof(Word)) are equal:
// their first and last words, which overlap for lengths in between.
template <typename Word>
bool SameEnds(const char* a, const char* b, std::size_t length) noexcept {
  Word a0, a1, b0, b1;
  std::memcpy(&a0, a, sizeof(Word));
  std::memcpy(&b0, b, sizeof(Word));
  std::memcpy(&a1, a + length - sizeof(Word), sizeof(Word));
  std::memcpy(&b1, b + length - sizeof(Word), sizeof(Word));
  return ((a0 ^ b0) | (a1 ^ b1)) == 0;
}

// memcmp for equal lengths, inline for the short texts most keys are: a call to the
// library's memcmp costs more than comparing a few bytes.
inline bool SameBytes(const char* a, const char* b, std::size_t length) noexcept {
  if (length > 32) return std::memcmp(a, b, length) == 0;
  if (length > 16) {
    // The first and the last 16 bytes, which overlap below 32.
    const std::size_t last = length - 16;
    return SameEnds<std::uint64_t>(a, b, 16) && SameEnds<std::uint64_t>(a + last, b + last, 16);
  }
  if (length >= 8) return SameEnds<std::uint64_t>(a, b, length);
  if (length >= 4) return SameEnds<std::uint32_t>(a, b, length);
  for (std::size_t i = 0; i < length; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// A Blob: its byte count, then the bytes, in one block (sized in multiples of 8, so that the
// count stays aligned).
struct BlobPayload {
  std::size_t size;

  static constexpr std::size_t BlockBytes(std::size_t size) noexcept {
    return (sizeof(BlobPayload) + size + 7) & ~std::size_t{7};
  }

  std::uint8_t* Bytes() noexcept { return reinterpret_cast<std::uint8_t*>(this + 1); }
  const std::uint8_t* Bytes() const noexcept {
    return reinterpret_cast<const std::uint8_t*>(this + 1);
  }
};

}  // namespace detail

class BindingContext {
 public:
  BindingContext();
  // Gives back every block of the tree, whether or not its values were cleared.
  ~BindingContext();
  BindingContext(const BindingContext&) = delete;
  BindingContext& operator=(const BindingContext&) = delete;

  // A block of `size` bytes: from the size-class pools up to 72 bytes, else the large arena.
  void* Allocate(std::size_t size) {
    if (size <= detail::kLargestPooledBlock) return pools_[ClassIndex(size)].Allocate();
    return large_.Allocate(size);
  }
  // REQUIRES: `block` came from Allocate(size) of this context.
  void Free(void* block, std::size_t size) noexcept {
    if (block == nullptr) return;
    if (size <= detail::kLargestPooledBlock) {
      pools_[ClassIndex(size)].Free(block);
    } else {
      large_.Free(block, size);
    }
  }

  // The entry of `text` with one more reference (a new entry with one reference when absent).
  detail::InternedString* Intern(std::string_view text);
  // Makes room for `texts` entries at once, so that a reader that expects about that many does
  // not grow the table step by step (at most 2^20 buckets; the table still grows past that).
  void Reserve(std::size_t texts);
  // The same, with the text's hash already computed.
  // REQUIRES: hash == Fnv1a32(text).
  detail::InternedString* Intern(std::string_view text, std::uint32_t hash);
  // Starts loading the bucket where a text of this hash would be looked for first.
  void PrefetchBucket(std::uint32_t hash) const noexcept;
  // Drops one reference; removes and frees the entry at zero.
  void Release(detail::InternedString* entry) noexcept;

  // Figures for tests and diagnostics.
  std::size_t InternedCount() const noexcept { return entryCount_; }
  std::size_t BucketCount() const noexcept { return bucketCount_; }
  // The reference count of `text`'s entry, 0 when not interned (or the empty text).
  std::uint32_t References(std::string_view text) const noexcept;
  // Pages held from the provider by all pools.
  std::size_t PagesHeld() const noexcept;
  std::size_t PooledBlocksInUse() const noexcept;

 private:
  static constexpr std::uint32_t kInitialBuckets = 8;
  static std::size_t ClassIndex(std::size_t size) noexcept {
    return size == 0 ? 0 : (size - 1) / detail::kSizeClassStep;
  }
  void ResetBuckets();
  void Grow();
  // The bucket an entry with this mixed hash (or in this bucket value) would like to be in.
  std::size_t HomeOf(std::uint64_t bucket) const noexcept;
  // The bucket holding `text`, or the empty bucket where it would go.
  std::size_t Find(std::string_view text, std::uint32_t hash) const noexcept;

  detail::InlineArena arena_;
  std::array<detail::SizeClassPool, detail::kSizeClassCount> pools_;
  detail::LargeBlockArena large_;
  // Open-addressed set of interned entries: 0 for an empty bucket, otherwise the entry's
  // address with the top 16 bits of its mixed hash in bits 48 to 63.
  std::uint64_t* buckets_ = nullptr;
  std::uint32_t bucketCount_ = 0;
  std::uint32_t bucketBits_ = 0;
  std::uint32_t entryCount_ = 0;
};

}  // namespace qor
