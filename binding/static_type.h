// StaticType: a stable identifier and a readable name for every native type.
//
// For each native type T there is one static TypeIdRecord, made on first use, holding the
// type's 32-bit TypeId and its full name (with its "struct"/"enum" keyword and namespaces).
// The names serve log and failure messages only ("Failed to convert type {type} to
// BindingProperty for serialization"); their exact text carries no meaning. The identifier is
// the FNV-1a hash of that name, so it is the same in every run of one build; kReservedTypeId
// (0) is never given to a type and never indexed by the type registry.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace qor {

using TypeId = std::uint32_t;

// The one identifier that no type receives.
inline constexpr TypeId kReservedTypeId = 0;

// 32-bit FNV-1a: its offset basis and prime, one step, and the hash of `text`.
inline constexpr std::uint32_t kFnv1a32Basis = 2166136261u;
inline constexpr std::uint32_t kFnv1a32Prime = 16777619u;
constexpr std::uint32_t Fnv1a32Step(std::uint32_t hash, char c) noexcept {
  return (hash ^ static_cast<std::uint8_t>(c)) * kFnv1a32Prime;
}
// The hash of `text`, continuing from `hash` (the hash of what came before it).
constexpr std::uint32_t Fnv1a32(std::string_view text,
                                std::uint32_t hash = kFnv1a32Basis) noexcept {
  for (char c : text)
    hash = Fnv1a32Step(hash, c);
  return hash;
}

// The identity of one native type: its identifier and its name text (may be empty).
struct TypeIdRecord {
  TypeId id = kReservedTypeId;
  std::string_view name;

  // The name, or, when the record carries no name, the identifier as "#%08X".
  std::string Text() const;
};

namespace detail {

template <typename T>
constexpr std::string_view RawTypeName() noexcept {
  // "constexpr std::string_view qor::detail::RawTypeName() [with T = X; ...]"
  std::string_view pretty = __PRETTY_FUNCTION__;
  constexpr std::string_view kMarker = "T = ";
  std::size_t start = pretty.find(kMarker);
  if (start == std::string_view::npos) return pretty;
  start += kMarker.size();
  std::size_t end = pretty.find_first_of(";]", start);
  if (end == std::string_view::npos) end = pretty.size();
  return pretty.substr(start, end - start);
}

template <typename T>
struct StaticTypeName {
  static constexpr std::string_view kKeyword = std::is_enum_v<T>    ? "enum "
                                               : std::is_union_v<T> ? "union "
                                               : std::is_class_v<T> ? "struct "
                                                                    : "";
  static constexpr std::string_view kRaw = RawTypeName<T>();
  static constexpr std::size_t kSize = kKeyword.size() + kRaw.size();
  static constexpr auto MakeText() {
    struct Text {
      char chars[kSize + 1] = {};
    } text;
    std::size_t at = 0;
    for (char c : kKeyword)
      text.chars[at++] = c;
    for (char c : kRaw)
      text.chars[at++] = c;
    return text;
  }
  static constexpr auto kText = MakeText();
  static constexpr std::string_view kName{kText.chars, kSize};
  static constexpr TypeId kId = Fnv1a32(kName) == kReservedTypeId ? 1u : Fnv1a32(kName);
};

}  // namespace detail

class StaticType {
 public:
  // The static identity record of T (cv-qualifiers and references are ignored: one record,
  // at one address, per type).
  template <typename T>
  static const TypeIdRecord& Record() noexcept {
    return RecordOf<std::remove_cvref_t<T>>();
  }
  template <typename T>
  static constexpr TypeId Id() noexcept {
    return detail::StaticTypeName<std::remove_cvref_t<T>>::kId;
  }
  // The full name, e.g. "struct Vaxo::Client::Store::Api::Wallet", "int", "enum qor::Kind".
  template <typename T>
  static constexpr std::string_view Name() noexcept {
    return detail::StaticTypeName<std::remove_cvref_t<T>>::kName;
  }

 private:
  template <typename U>
  static const TypeIdRecord& RecordOf() noexcept {
    static constexpr TypeIdRecord kRecord{detail::StaticTypeName<U>::kId,
                                          detail::StaticTypeName<U>::kName};
    return kRecord;
  }
};

}  // namespace qor
