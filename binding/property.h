// BindingProperty: the one dynamic value of the binding layer.
//
// Every payload that crosses a boundary (endpoint arguments and results, event payloads,
// JSON / MessagePack / YAML text) is a tree of BindingProperty values. A value has one of ten
// kinds (see BindingKind). Scalars live in the value itself; strings, blobs, enums and
// containers live in the tree's BindingContext, which interns strings and serves container
// headers from small size-class pools, so that building a tree costs few general-purpose
// allocations.
//
// Ownership: a value constructed by itself is a root. A root owns its context (created lazily,
// on the first string, blob, enum or container) and, through it, the whole tree. Elements and
// members are created inside their parent's tree and are never roots. Copying always deep-copies
// (re-interning strings in the destination's context); two trees never share a context. Moving
// one root into another hands the tree over without copying; any other move is a deep copy
// followed by clearing the source.
//
// Reading (getters, Element(), Member(), FindMember(), Elements(), Members(), iteration)
// never allocates and never changes the tree. Reading the wrong kind yields the caller's
// default or the shared static Empty value; the value type reports no failures of its own.
//
// References returned by MutableElement()/Append()/MutableMember() and spans returned by
// Elements()/Members() stay valid until the container is next changed (like std::vector).
//
// Thread rule: a tree is used by one thread at a time; nothing in a tree is locked. Only the
// process-wide page provider is shared between threads (see binding/detail/pool.h).
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "binding/detail/values.h"
#include "binding/static_type.h"

namespace qor {

// The deepest nesting of containers a value may have wherever it comes from or goes to: every
// codec and both conversions of the host's values refuse one level more.
inline constexpr std::size_t kMaxNestingDepth = 512;

// The kind of a BindingProperty. One unsigned byte; the codes are fixed.
enum class BindingKind : std::uint8_t {
  Empty = 0,
  Bool = 1,
  Signed = 2,
  Unsigned = 3,
  Float = 4,
  String = 5,
  Blob = 6,
  Enum = 7,
  Collection = 8,
  Structure = 9,
};

// The printed name of a kind ("empty", "bool", "signed", "unsigned", "float", "string", "blob",
// "enum", "collection", "structure"); any other code prints as the empty text. These names are
// used verbatim in messages.
std::string_view KindName(BindingKind kind);

// The payload of an Enum value: the numeric value and the TypeId of the enum type it belongs
// to (so that writers can print the enumerator's name).
struct EnumValue {
  std::int32_t value = 0;
  TypeId typeId = kReservedTypeId;

  friend bool operator==(const EnumValue&, const EnumValue&) = default;
};

using Bytes = std::vector<std::uint8_t>;

class BindingContext;  // binding/detail/context.h

namespace detail {
struct BlobPayload;
class TreeBuilder;
}  // namespace detail

class BindingProperty {
 public:
  // An Empty root without a context.
  BindingProperty() noexcept = default;

  BindingProperty(bool value) noexcept;  // NOLINT: implicit on purpose, like the other kinds
  // Any integer type other than bool: signed types give Signed, unsigned types give Unsigned.
  template <std::integral T>
  requires(!std::same_as<T, bool>) BindingProperty(T value)
  noexcept {  // NOLINT
    if constexpr (std::is_signed_v<T>) {
      SetSigned(static_cast<std::int64_t>(value));
    } else {
      SetUnsigned(static_cast<std::uint64_t>(value));
    }
  }
  template <std::floating_point T>
  BindingProperty(T value) noexcept {  // NOLINT
    SetFloat(static_cast<double>(value));
  }
  BindingProperty(const char* text);                     // NOLINT: String (interned); null is ""
  BindingProperty(std::string_view text);                // NOLINT
  BindingProperty(const std::string& text);              // NOLINT
  BindingProperty(std::span<const std::uint8_t> bytes);  // NOLINT: Blob (copied)
  BindingProperty(const Bytes& bytes);                   // NOLINT: Blob (copied)
  BindingProperty(Bytes&& bytes);                        // NOLINT: Blob (copied into the tree)
  BindingProperty(EnumValue value);                      // NOLINT: Enum

  // Deep copy of `other` into a new root (with its own context when one is needed).
  BindingProperty(const BindingProperty& other);
  // When `other` is a root the tree is handed over without copying and `other` is left Empty
  // (without a context). Otherwise `other` is deep-copied and then cleared.
  BindingProperty(BindingProperty&& other) noexcept;
  // Deep copy of `other` into this value's tree. Safe when `other` lies inside this value or
  // this value lies inside `other`.
  BindingProperty& operator=(const BindingProperty& other);
  // Both roots: the trees are exchanged and `other` is then cleared. Otherwise a deep copy
  // followed by clearing `other`.
  BindingProperty& operator=(BindingProperty&& other) noexcept;
  ~BindingProperty();

  // Each assignment first clears the previous content, then sets the kind.
  BindingProperty& operator=(bool value) noexcept {
    SetBool(value);
    return *this;
  }
  template <std::integral T>
  requires(!std::same_as<T, bool>) BindingProperty& operator=(T value) noexcept {
    if constexpr (std::is_signed_v<T>) {
      SetSigned(static_cast<std::int64_t>(value));
    } else {
      SetUnsigned(static_cast<std::uint64_t>(value));
    }
    return *this;
  }
  template <std::floating_point T>
  BindingProperty& operator=(T value) noexcept {
    SetFloat(static_cast<double>(value));
    return *this;
  }
  BindingProperty& operator=(const char* text);
  BindingProperty& operator=(std::string_view text);
  BindingProperty& operator=(const std::string& text);
  BindingProperty& operator=(std::span<const std::uint8_t> bytes);
  BindingProperty& operator=(const Bytes& bytes);
  BindingProperty& operator=(Bytes&& bytes);
  BindingProperty& operator=(EnumValue value);

  // Explicit setters (same effect as the assignments; the fast paths for readers).
  void SetBool(bool value) noexcept;
  void SetSigned(std::int64_t value) noexcept;
  void SetUnsigned(std::uint64_t value) noexcept;
  void SetFloat(double value) noexcept;
  void SetString(std::string_view text);  // interned in this tree's context
  void SetBlob(std::span<const std::uint8_t> bytes);
  void SetBlob(Bytes&& bytes);
  void SetEnum(EnumValue value);
  // Clears the value and makes it an empty Collection with room for `reserve` elements.
  // `reserve` is a hint: at most 65,536 slots are reserved at once, so a reader may pass a
  // count declared by its input.
  void SetCollection(std::size_t reserve = 0);
  // Clears the value and makes it an empty Structure with room for `reserve` members (a hint,
  // bounded like SetCollection's).
  void SetStructure(std::size_t reserve = 0);
  // Named deep copy, the same as copy assignment.
  void CopyFrom(const BindingProperty& other) { *this = other; }

  // Releases the payload (string references dropped, container contents returned to the
  // pools) and leaves the value Empty. The context stays, so a root can be reused.
  void Clear() noexcept;

  // ---- Queries ----------------------------------------------------------------------------
  BindingKind Kind() const noexcept { return kind_; }
  bool IsEmpty() const noexcept { return kind_ == BindingKind::Empty; }
  bool IsRoot() const noexcept { return root_ != 0; }
  // Empty 0; String its length in bytes; Blob its byte count; Collection its element count;
  // Structure its member count; every other kind 1.
  std::size_t Size() const noexcept;

  // Exact getters: the payload when the kind matches exactly, `fallback` otherwise.
  bool GetBool(bool fallback = false) const noexcept;
  std::int64_t GetSigned(std::int64_t fallback = 0) const noexcept;
  std::uint64_t GetUnsigned(std::uint64_t fallback = 0) const noexcept;
  double GetFloat(double fallback = 0.0) const noexcept;
  // The view stays valid while the value holds this String.
  std::string_view GetString(std::string_view fallback = {}) const noexcept {
    return kind_ == BindingKind::String ? payload_.string->Text() : fallback;
  }
  std::span<const std::uint8_t> GetBlob(std::span<const std::uint8_t> fallback = {}) const noexcept;
  EnumValue GetEnum(EnumValue fallback = {}) const noexcept;

  // Truthiness: Bool itself; Signed/Unsigned non-zero; Float != 0.0 (NaN is true); String only
  // exactly "true" or "1"; Blob, Collection and Structure when non-empty; Enum non-zero value;
  // Empty false.
  bool ToBool() const noexcept;
  explicit operator bool() const noexcept { return ToBool(); }
  // Text form: Bool "true"/"false"; integers in decimal; Float with "%f"; String unchanged;
  // Blob in Base64 (standard alphabet, '=' padding); Enum its number; others "".
  std::string ToText() const;
  // Bool 0/1; Signed/Unsigned the 64 bits as stored; Float truncated toward zero (saturated at
  // the 64-bit limits, NaN gives `fallback`); String parsed like strtoll with base 0 (0 when
  // no digit is read, saturated on overflow); Enum its value; other kinds `fallback`.
  std::int64_t ToSigned(std::int64_t fallback = 0) const noexcept;

  // ---- Collections ------------------------------------------------------------------------
  // Turns the value into a Collection if it is not one (clearing it), appends Empty elements
  // until `index` exists and returns that element.
  // REQUIRES: `index` is trusted: index + 1 elements are allocated. An index beyond what
  // memory can hold ends the process through the fatal path.
  BindingProperty& MutableElement(std::size_t index);
  // MutableElement(Size()) on a Collection; turns any other kind into a one-element Collection.
  BindingProperty& Append();
  // On a Collection (or an Empty value, which becomes one), reserves room for `count`
  // elements. No effect on other kinds. A hint, bounded like SetCollection's.
  void Reserve(std::size_t count);
  // The element, or the shared static Empty when this is not a Collection or the index is
  // out of range.
  const BindingProperty& Element(std::size_t index) const noexcept {
    if (kind_ != BindingKind::Collection || index >= payload_.collection->size) return EmptyValue();
    return payload_.collection->Data()[index];
  }
  // The elements in order; empty when this is not a Collection.
  std::span<const BindingProperty> Elements() const noexcept {
    if (kind_ != BindingKind::Collection) return {};
    return {payload_.collection->Data(), payload_.collection->size};
  }
  std::span<BindingProperty> MutableElements() noexcept {
    if (kind_ != BindingKind::Collection) return {};
    return {payload_.collection->Data(), payload_.collection->size};
  }

  // ---- Structures -------------------------------------------------------------------------
  // Turns the value into a Structure if it is not one (clearing it) and returns the member
  // under `key`, inserting an Empty member when absent. Inserting keys in ascending order is
  // the cheap path (an append).
  BindingProperty& MutableMember(std::string_view key);
  // The member, or the shared static Empty when this is not a Structure or `key` is absent.
  const BindingProperty& Member(std::string_view key) const noexcept;
  // The member, or null when this is not a Structure or `key` is absent.
  const BindingProperty* FindMember(std::string_view key) const noexcept;
  BindingProperty* FindMutableMember(std::string_view key) noexcept;
  bool HasMember(std::string_view key) const noexcept { return FindMember(key) != nullptr; }
  // Removes the member; returns whether it was present.
  bool RemoveMember(std::string_view key) noexcept;
  // The members in ascending byte-wise key order; empty when this is not a Structure.
  std::span<const BindingMember> Members() const noexcept;
  std::span<BindingMember> MutableMembers() noexcept;

  // Deep equality: same kind and equal payloads (Float compared with ==, so NaN != NaN;
  // Enum compares value and type; Structure compares keys and values in order).
  friend bool operator==(const BindingProperty& a, const BindingProperty& b) noexcept;

  // The tree's context, or null until one was needed. For diagnostics and tests.
  const BindingContext* Context() const noexcept { return context_; }

  // The shared static Empty value returned by failed reads.
  static const BindingProperty& EmptyValue() noexcept;

 private:
  friend class BindingContext;
  friend class BindingMember;
  friend struct detail::CollectionPayload;
  friend struct detail::StructurePayload;
  friend class detail::TreeBuilder;

  // A non-root Empty value inside `context` (elements and members).
  struct ChildTag {};
  BindingProperty(ChildTag, BindingContext* context) noexcept : context_(context), root_(0) {}

  BindingContext* EnsureContext();
  void CopyPayloadFrom(const BindingProperty& source);  // REQUIRES: this is Empty
  bool IsInside(const BindingProperty& other) const noexcept;
  void Exchange(BindingProperty& other) noexcept;

  union Payload {
    bool boolean;
    std::int64_t signedValue;
    std::uint64_t unsignedValue;
    double floatValue;
    detail::InternedString* string;
    detail::BlobPayload* blob;
    EnumValue* enumValue;
    detail::CollectionPayload* collection;
    detail::StructurePayload* structure;
  };

  Payload payload_{.unsignedValue = 0};
  BindingContext* context_ = nullptr;
  BindingKind kind_ = BindingKind::Empty;
  std::uint8_t root_ = 1;
};

// One member of a Structure: an interned key and its value. Keys cannot be changed in place.
class BindingMember {
 public:
  std::string_view Key() const noexcept { return key_->Text(); }
  const BindingProperty& Value() const noexcept { return value_; }
  BindingProperty& Value() noexcept { return value_; }

  BindingMember(const BindingMember&) = delete;
  BindingMember& operator=(const BindingMember&) = delete;

 private:
  friend struct detail::StructurePayload;
  friend class detail::TreeBuilder;
  friend class BindingProperty;
  BindingMember(detail::InternedString* key, BindingContext* context) noexcept
      : key_(key), value_(BindingProperty::ChildTag{}, context) {}
  ~BindingMember() = default;

  detail::InternedString* key_;
  BindingProperty value_;
};

inline std::span<const BindingMember> BindingProperty::Members() const noexcept {
  if (kind_ != BindingKind::Structure) return {};
  return {payload_.structure->Data(), payload_.structure->size};
}

inline std::span<BindingMember> BindingProperty::MutableMembers() noexcept {
  if (kind_ != BindingKind::Structure) return {};
  return {payload_.structure->Data(), payload_.structure->size};
}

}  // namespace qor
