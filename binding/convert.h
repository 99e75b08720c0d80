// Conversion between BindingProperty trees and native values.
//
// Reading turns a BindingProperty into a native value of a declared type; writing turns a
// native value into a BindingProperty. The rules are strict about kinds and exact about ranges,
// and every refusal is reported with a message naming the field (or argument):
//
//   ConversionStatus status;                       // starts successful
//   std::int32_t count = 0;
//   Read(status, input.Member("count"), "count", count, registry);
//   if (status.Failed()) return Failure(400, std::string(status.ErrorMessage()));
//
//   MaybeType<Failure, BindingProperty> out = Write(wallet, registry);
//
// Every rule first checks the status and does nothing once it has failed: the first failure's
// message stays. A failure inside a nested record or element carries the innermost message
// unchanged.
//
// Native types: bool; every integer type (named int8 ... uint64 by width and sign); float and
// double; std::string; Bytes (blob); BindingProperty ("object", copied whatever its kind);
// enums and structs registered in the TypeRegistry (binding/record.h declares them);
// std::optional<T>; std::vector<T>; std::map<std::string, T>.
#pragma once

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "binding/maybe.h"
#include "binding/property.h"
#include "binding/registry.h"
#include "binding/static_type.h"

namespace qor {

namespace detail {

template <typename T>
struct IsOptional : std::false_type {};
template <typename T>
struct IsOptional<std::optional<T>> : std::true_type {};
template <typename T>
struct IsVector : std::false_type {};
template <typename T, typename A>
struct IsVector<std::vector<T, A>> : std::true_type {};
template <typename T>
struct IsTextMap : std::false_type {};
template <typename T, typename C, typename A>
struct IsTextMap<std::map<std::string, T, C, A>> : std::true_type {};

template <typename T>
constexpr bool kIsScalar = std::is_arithmetic_v<T> || std::is_same_v<T, std::string> ||
                           std::is_same_v<T, Bytes> || std::is_same_v<T, BindingProperty>;

void ReadBool(ConversionStatus& status, const BindingProperty& input, std::string_view name,
              bool& target);
// `type`: the target's integer type, named in refusals.
std::optional<std::int64_t> ReadSigned(ConversionStatus& status, const BindingProperty& input,
                                       std::string_view name, std::int64_t minimum,
                                       std::int64_t maximum, NativeType type);
std::optional<std::uint64_t> ReadUnsigned(ConversionStatus& status, const BindingProperty& input,
                                          std::string_view name, std::uint64_t maximum,
                                          NativeType type);
std::optional<double> ReadFloat(ConversionStatus& status, const BindingProperty& input,
                                std::string_view name, double maximum, std::string_view typeName);
void ReadString(ConversionStatus& status, const BindingProperty& input, std::string_view name,
                std::string& target, const TypeRegistry& registry);
void ReadBlob(ConversionStatus& status, const BindingProperty& input, std::string_view name,
              Bytes& target);
std::optional<std::int32_t> ReadEnum(ConversionStatus& status, const BindingProperty& input,
                                     std::string_view name, TypeId enumType,
                                     const TypeRegistry& registry);
// `record`: the struct's type record, null when the struct is not registered.
void ReadStruct(ConversionStatus& status, const BindingProperty& input, std::string_view name,
                void* object, const TypeRecord* record, const TypeRegistry& registry);
// Fail unless `input` is a Collection (vector) / a Structure (map).
bool ExpectCollection(ConversionStatus& status, const BindingProperty& input,
                      std::string_view name);
bool ExpectStructureForMap(ConversionStatus& status, const BindingProperty& input,
                           std::string_view name);
void WriteStruct(ConversionStatus& status, const void* object, TypeId structType,
                 BindingProperty& output, const TypeRegistry& registry);

// The type code of an integer type by width and sign.
template <typename T>
constexpr NativeType IntegerCode() {
  if constexpr (std::is_signed_v<T>) {
    return sizeof(T) == 1   ? NativeType::Int8
           : sizeof(T) == 2 ? NativeType::Int16
           : sizeof(T) == 4 ? NativeType::Int32
                            : NativeType::Int64;
  } else {
    return sizeof(T) == 1   ? NativeType::UInt8
           : sizeof(T) == 2 ? NativeType::UInt16
           : sizeof(T) == 4 ? NativeType::UInt32
                            : NativeType::UInt64;
  }
}

// The type code of a native type (its element's code for optionals).
template <typename T>
constexpr NativeType NativeCodeOf() {
  if constexpr (IsOptional<T>::value) {
    return NativeCodeOf<typename T::value_type>();
  } else if constexpr (std::is_same_v<T, bool>) {
    return NativeType::Bool;
  } else if constexpr (std::is_integral_v<T>) {
    return IntegerCode<T>();
  } else if constexpr (std::is_same_v<T, float>) {
    return NativeType::Float;
  } else if constexpr (std::is_floating_point_v<T>) {
    return NativeType::Double;
  } else if constexpr (std::is_same_v<T, std::string>) {
    return NativeType::String;
  } else if constexpr (std::is_same_v<T, BindingProperty>) {
    return NativeType::Object;
  } else if constexpr (std::is_same_v<T, Bytes>) {
    return NativeType::Blob;
  } else if constexpr (IsVector<T>::value) {
    return NativeType::Vector;
  } else if constexpr (IsTextMap<T>::value) {
    return NativeType::Map;
  } else if constexpr (std::is_enum_v<T>) {
    return NativeType::Enum;
  } else {
    static_assert(std::is_class_v<T>, "no binding conversion for this type");
    return NativeType::Struct;
  }
}

template <typename T>
struct StripOptional {
  using Type = T;
};
template <typename T>
struct StripOptional<std::optional<T>> {
  using Type = T;
};

// The element type of a vector and the value type of a text-keyed map, optionals stripped.
template <typename T>
struct ElementOf {
  using Type = void;
};
template <typename T, typename A>
struct ElementOf<std::vector<T, A>> {
  using Type = typename StripOptional<T>::Type;
};
template <typename T, typename C, typename A>
struct ElementOf<std::map<std::string, T, C, A>> {
  using Type = typename StripOptional<T>::Type;
};

}  // namespace detail

// The descriptor of a native type (optionals describe their value type). The record of an
// enum or struct (or of a vector's or map's elements) is looked up in `registry` when given
// and already declared; its identifier is always filled.
template <typename T>
TypeDescriptor DescriptorOf(const TypeRegistry* registry = nullptr) {
  using U = typename detail::StripOptional<T>::Type;
  constexpr NativeType kType = detail::NativeCodeOf<U>();
  TypeDescriptor descriptor;
  descriptor.type = kType;
  if constexpr (kType == NativeType::Vector || kType == NativeType::Map) {
    using V = typename detail::ElementOf<U>::Type;
    descriptor.element = detail::NativeCodeOf<V>();
    if (descriptor.element == NativeType::Enum || descriptor.element == NativeType::Struct) {
      descriptor.typeId = StaticType::Id<V>();
    }
  } else if constexpr (std::is_enum_v<U> || (std::is_class_v<U> && !detail::kIsScalar<U>)) {
    descriptor.typeId = StaticType::Id<U>();
  }
  if (registry != nullptr && descriptor.typeId != kReservedTypeId) {
    descriptor.record = registry->FindType(descriptor.typeId);
  }
  return descriptor;
}

namespace detail {

// The registered struct type that a value of type T holds or holds elements of (optionals,
// vectors and text-keyed maps looked through), or void.
template <typename T>
struct StructOf {
  using Type = std::conditional_t<std::is_class_v<T> && !kIsScalar<T>, T, void>;
};
template <typename T>
struct StructOf<std::optional<T>> : StructOf<T> {};
template <typename T, typename A>
struct StructOf<std::vector<T, A>> : StructOf<T> {};
template <typename T, typename C, typename A>
struct StructOf<std::map<std::string, T, C, A>> : StructOf<T> {};

// Read() with the record of StructOf<T> already looked up in `registry` (null: not yet), so
// that a vector of records or a field read again and again looks it up once.
template <typename T>
void ReadWithRecord(ConversionStatus& status, const BindingProperty& input, std::string_view name,
                    T& target, const TypeRegistry& registry, const TypeRecord* record) {
  if (status.Failed()) return;
  using Struct = typename StructOf<T>::Type;
  if constexpr (!std::is_void_v<Struct>) {
    if (record == nullptr) record = registry.FindType(StaticType::Id<Struct>());
  }
  if constexpr (std::is_same_v<T, bool>) {
    detail::ReadBool(status, input, name, target);
  } else if constexpr (std::is_integral_v<T>) {
    constexpr NativeType kType = detail::IntegerCode<T>();
    if constexpr (std::is_signed_v<T>) {
      auto value = detail::ReadSigned(status, input, name, std::numeric_limits<T>::min(),
                                      std::numeric_limits<T>::max(), kType);
      if (value) target = static_cast<T>(*value);
    } else {
      auto value = detail::ReadUnsigned(status, input, name, std::numeric_limits<T>::max(), kType);
      if (value) target = static_cast<T>(*value);
    }
  } else if constexpr (std::is_floating_point_v<T>) {
    constexpr bool kSingle = std::is_same_v<T, float>;
    auto value = detail::ReadFloat(status, input, name,
                                   kSingle ? static_cast<double>(std::numeric_limits<float>::max())
                                           : std::numeric_limits<double>::max(),
                                   kSingle ? "float" : "double");
    if (value) target = static_cast<T>(*value);
  } else if constexpr (std::is_same_v<T, std::string>) {
    detail::ReadString(status, input, name, target, registry);
  } else if constexpr (std::is_same_v<T, Bytes>) {
    detail::ReadBlob(status, input, name, target);
  } else if constexpr (std::is_same_v<T, BindingProperty>) {
    target = input;
  } else if constexpr (detail::IsOptional<T>::value) {
    if (input.IsEmpty()) {
      target.reset();
      return;
    }
    typename T::value_type value{};
    ReadWithRecord(status, input, name, value, registry, record);
    if (status.Succeeded()) target = std::move(value);
  } else if constexpr (detail::IsVector<T>::value) {
    target.clear();
    if (!detail::ExpectCollection(status, input, name)) return;
    auto elements = input.Elements();
    target.resize(elements.size());
    for (std::size_t i = 0; i < elements.size() && status.Succeeded(); ++i) {
      if (elements[i].IsEmpty()) continue;
      if constexpr (std::is_same_v<typename T::value_type, bool>) {
        bool element = false;  // std::vector<bool> hands out proxies, not references
        ReadWithRecord(status, elements[i], name, element, registry, record);
        target[i] = element;
      } else {
        ReadWithRecord(status, elements[i], name, target[i], registry, record);
      }
    }
  } else if constexpr (detail::IsTextMap<T>::value) {
    target.clear();
    if (!detail::ExpectStructureForMap(status, input, name)) return;
    for (const BindingMember& member : input.Members()) {
      if (member.Value().IsEmpty()) continue;
      typename T::mapped_type value{};
      ReadWithRecord(status, member.Value(), name, value, registry, record);
      if (status.Failed()) return;
      target.emplace(std::string(member.Key()), std::move(value));
    }
  } else if constexpr (std::is_enum_v<T>) {
    auto value = detail::ReadEnum(status, input, name, StaticType::Id<T>(), registry);
    if (value) target = static_cast<T>(*value);
  } else {
    static_assert(std::is_class_v<T>, "no binding conversion for this type");
    detail::ReadStruct(status, input, name, &target, record, registry);
  }
}

}  // namespace detail

// Reads `input` into `target` by the rules of T's type (see the file comment). Does nothing
// when `status` has already failed; a refusal sets its failure with the rule's message.
template <typename T>
void Read(ConversionStatus& status, const BindingProperty& input, std::string_view name, T& target,
          const TypeRegistry& registry) {
  detail::ReadWithRecord(status, input, name, target, registry, nullptr);
}

// Writes `native` into `output` (cleared first) by the rules of T's type. Does nothing when
// `status` has already failed; a failure (an unregistered struct) goes to `status`.
// REQUIRES: `output` does not lie inside `status`'s own value (a failure rebuilds it).
template <typename T>
void WriteInto(ConversionStatus& status, const T& native, BindingProperty& output,
               const TypeRegistry& registry) {
  if (status.Failed()) return;
  if constexpr (std::is_same_v<T, bool>) {
    output.SetBool(native);
  } else if constexpr (std::is_integral_v<T>) {
    if constexpr (std::is_signed_v<T>) {
      output.SetSigned(static_cast<std::int64_t>(native));
    } else {
      output.SetUnsigned(static_cast<std::uint64_t>(native));
    }
  } else if constexpr (std::is_floating_point_v<T>) {
    output.SetFloat(static_cast<double>(native));
  } else if constexpr (std::is_same_v<T, std::string>) {
    output.SetString(native);
  } else if constexpr (std::is_same_v<T, Bytes>) {
    output.SetBlob(std::span<const std::uint8_t>(native));
  } else if constexpr (std::is_same_v<T, BindingProperty>) {
    output = native;
  } else if constexpr (detail::IsOptional<T>::value) {
    if (native.has_value()) {
      WriteInto(status, *native, output, registry);
    } else {
      output.Clear();
    }
  } else if constexpr (detail::IsVector<T>::value) {
    output.SetCollection(native.size());
    for (const auto& element : native) {
      if constexpr (std::is_same_v<typename T::value_type, bool>) {
        output.Append().SetBool(static_cast<bool>(element));
      } else {
        WriteInto(status, element, output.Append(), registry);
      }
      if (status.Failed()) return;
    }
  } else if constexpr (detail::IsTextMap<T>::value) {
    output.SetStructure(native.size());
    for (const auto& [key, value] : native) {
      WriteInto(status, value, output.MutableMember(key), registry);
      if (status.Failed()) return;
    }
  } else if constexpr (std::is_enum_v<T>) {
    output.SetEnum(EnumValue{static_cast<std::int32_t>(native), StaticType::Id<T>()});
  } else {
    static_assert(std::is_class_v<T>, "no binding conversion for this type");
    detail::WriteStruct(status, &native, StaticType::Id<T>(), output, registry);
  }
}

// `native` as a BindingProperty, or the failure.
template <typename T>
MaybeType<Failure, BindingProperty> Write(const T& native, const TypeRegistry& registry) {
  // Written apart from the status: a failure rebuilds the status's value.
  ConversionStatus status;
  BindingProperty output;
  WriteInto(status, native, output, registry);
  if (status.Succeeded()) status.MutableProperty() = std::move(output);
  return status;
}

// True when the value is empty by kind: Empty; Bool false; Signed, Unsigned or Enum 0;
// Float 0.0; String, Blob, Collection or Structure of size 0. (The omit-when-empty test.)
bool IsEmptyByKind(const BindingProperty& value) noexcept;

}  // namespace qor
