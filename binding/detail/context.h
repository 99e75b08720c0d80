// BindingContext: the per-tree store behind BindingProperty values.
//
// One context per tree, owned by the root value. It interns the tree's strings (String values
// and Structure keys) in a hash set keyed by FNV-1a hash then bytes, with a maximum load
// factor of 1.0, starting at 8 buckets and reset to 8 buckets whenever its last entry goes; and
// it serves blocks of up to 72 bytes (payload headers, small element arrays, short strings)
// from 18 size-class pools (binding/detail/pool.h). Larger blocks come from operator new.
//
// The empty text is one shared static entry that is never counted nor freed.
// Thread rule: used by one thread at a time, like its tree.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "binding/detail/pool.h"
#include "binding/property.h"

namespace qor {
namespace detail {

struct InternedString {
  InternedString* next;  // hash chain
  std::uint32_t hash;    // FNV-1a over the bytes
  std::uint32_t references;
  std::uint32_t length;
  std::uint32_t reserved;
  // followed by `length` bytes and a NUL

  const char* Data() const noexcept { return reinterpret_cast<const char*>(this + 1); }
  char* Data() noexcept { return reinterpret_cast<char*>(this + 1); }
  std::string_view Text() const noexcept { return {Data(), length}; }
};

// The shared entry of the empty text.
InternedString* EmptyInternedString() noexcept;

struct BlobPayload {
  Bytes bytes;
};

struct CollectionPayload {
  BindingProperty* data;
  std::size_t size;
  std::size_t capacity;
};

struct StructurePayload {
  BindingMember* data;
  std::size_t size;
  std::size_t capacity;
};

}  // namespace detail

class BindingContext {
 public:
  BindingContext();
  ~BindingContext();
  BindingContext(const BindingContext&) = delete;
  BindingContext& operator=(const BindingContext&) = delete;

  // A block of `size` bytes: from the size-class pools up to 72 bytes, else operator new.
  void* Allocate(std::size_t size);
  // REQUIRES: `block` came from Allocate(size) of this context.
  void Free(void* block, std::size_t size) noexcept;

  // The entry of `text` with one more reference (a new entry with one reference when absent).
  detail::InternedString* Intern(std::string_view text);
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
  void ResetBuckets();
  void Grow();

  std::array<detail::SizeClassPool, detail::kSizeClassCount> pools_;
  detail::InternedString** buckets_ = nullptr;
  std::uint32_t bucketCount_ = 0;
  std::uint32_t entryCount_ = 0;
};

}  // namespace qor
