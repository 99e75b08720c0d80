// The payload records that BindingProperty reads inline: interned strings (entries of a tree's
// string table, see binding/detail/context.h) and the blocks of Collections and Structures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qor {

class BindingProperty;
class BindingMember;

namespace detail {

struct InternedString {
  std::uint32_t hash;  // FNV-1a over the bytes
  std::uint32_t references;
  std::uint32_t length;
  // followed by `length` bytes and a NUL

  const char* Data() const noexcept { return reinterpret_cast<const char*>(this + 1); }
  char* Data() noexcept { return reinterpret_cast<char*>(this + 1); }
  std::string_view Text() const noexcept { return {Data(), length}; }
};

// A Collection or Structure: its counts, then room for `capacity` elements or members, in one
// block (a two-member Structure or a two-element Collection still fits the 72-byte class).
// Counts fit 32 bits (an index beyond is fatal, see BindingProperty::MutableElement). Every
// container without room shares one static payload, so an empty container takes no block.
template <typename T>
struct ArrayPayload {
  std::uint32_t size;
  std::uint32_t capacity;

  T* Data() noexcept { return reinterpret_cast<T*>(this + 1); }
  const T* Data() const noexcept { return reinterpret_cast<const T*>(this + 1); }
  static constexpr std::size_t BlockBytes(std::size_t capacity) noexcept {
    return sizeof(ArrayPayload) + capacity * sizeof(T);
  }
};
struct CollectionPayload : ArrayPayload<BindingProperty> {};
struct StructurePayload : ArrayPayload<BindingMember> {};
static_assert(sizeof(CollectionPayload) == 8 && sizeof(StructurePayload) == 8);

// The payload of every Collection and Structure without room (never written).
CollectionPayload* EmptyCollectionPayload() noexcept;
StructurePayload* EmptyStructurePayload() noexcept;

inline constexpr std::size_t kMaxContainerSize = 0xFFFFFFFEu;

}  // namespace detail
}  // namespace qor
