// Declaring native records and enums to the type registry, field by field.
//
// A declaration reads like the record's table. Each field's accessor, type descriptor and
// optional mark are made from the member's C++ type (scalars, std::string, Bytes,
// BindingProperty "object", std::optional<T>, std::vector<T>, std::map<std::string, T>,
// registered enums and nested registered records):
//
//   struct Wallet {
//     std::int64_t ip = 0;
//     std::optional<std::int64_t> rp;
//     std::vector<Item> items;
//   };
//   enum class LoginState : std::int32_t { ERROR = -1, LOGGING_IN = 0, SUCCEEDED = 1 };
//
//   DeclareRecord<Wallet>(registry, "QorStoreWallet", "The player's balances.")
//       .Field("ip", &Wallet::ip, kRequired, "Blue essence")
//       .Field("rp", &Wallet::rp, kOmitWhenEmpty)
//       .Field("items", &Wallet::items);
//   DeclareEnum<LoginState>(registry, "LoginState")
//       .Value("ERROR", LoginState::ERROR)
//       .Value("LOGGING_IN", LoginState::LOGGING_IN)
//       .Value("SUCCEEDED", LoginState::SUCCEEDED);
//
// The first declaration of a name wins: a second one is refused and its fields and values are
// dropped (see TypeRegistry::BeginType). Nested records and enums may be declared before or
// after the records that use them; conversions look them up when they run.
//
// Converting a whole record:
//   MaybeType<Failure, BindingProperty> tree = ToBinding(wallet, registry);
//   MaybeType<Failure, Wallet> back = FromBinding<Wallet>(tree.Property(), registry, "wallet");
//   MaybeType<Failure, void> done = FromBinding(input, wallet, registry, "wallet");
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <type_traits>
#include <utility>

#include "binding/convert.h"
#include "binding/maybe.h"
#include "binding/property.h"
#include "binding/registry.h"
#include "binding/static_type.h"

namespace qor {

namespace detail {

// Reads and writes the member `member` of records of type R by the conversion rules of M.
template <typename R, typename M>
class MemberAccessor final : public FieldAccessor {
 public:
  explicit MemberAccessor(M R::*member) : member_(member) {}

  void Read(ConversionStatus& status, const BindingProperty& input, std::string_view name,
            void* record, const TypeRegistry& registry) const override {
    using Struct = typename StructOf<M>::Type;
    if constexpr (std::is_void_v<Struct>) {
      qor::Read(status, input, name, static_cast<R*>(record)->*member_, registry);
    } else {
      // The accessor belongs to a record of `registry`, whose records live as long as it does:
      // the field's struct record is looked up once. Reads may run on several threads.
      const TypeRecord* found = struct_.load(std::memory_order_relaxed);
      if (found == nullptr) {
        found = registry.FindType(StaticType::Id<Struct>());
        struct_.store(found, std::memory_order_relaxed);
      }
      ReadWithRecord(status, input, name, static_cast<R*>(record)->*member_, registry, found);
    }
  }
  void Write(ConversionStatus& status, const void* record, BindingProperty& output,
             const TypeRegistry& registry) const override {
    WriteInto(status, static_cast<const R*>(record)->*member_, output, registry);
  }

 private:
  M R::*member_;
  mutable std::atomic<const TypeRecord*> struct_{nullptr};
};

}  // namespace detail

template <typename R>
class RecordDeclaration {
 public:
  RecordDeclaration(TypeRegistry& registry, TypeBuilder builder)
      : registry_(&registry), builder_(builder) {}

  // Adds the field `name` stored in `member`. `flags`: kOmitWhenEmpty, kRequired (or both).
  template <typename M>
  RecordDeclaration& Field(std::string_view name, M R::*member, std::uint32_t flags = kFieldDefault,
                           std::string_view description = {}) {
    if (builder_.Refused()) return *this;
    static_assert(std::is_default_constructible_v<R>, "records are read into default values");
    const R probe{};
    auto offset = static_cast<std::size_t>(reinterpret_cast<const char*>(&(probe.*member)) -
                                           reinterpret_cast<const char*>(&probe));
    TypeDescriptor keyType;
    if constexpr (detail::IsTextMap<M>::value) keyType.type = NativeType::String;
    builder_.AddField(name, description, offset, StaticType::Record<M>(),
                      DescriptorOf<M>(registry_), keyType, flags,
                      std::make_unique<detail::MemberAccessor<R, M>>(member),
                      detail::IsOptional<M>::value);
    return *this;
  }
  RecordDeclaration& Description(std::string_view description) {
    builder_.SetDescription(description);
    return *this;
  }
  RecordDeclaration& Tag(std::string_view tag) {
    builder_.AddTag(tag);
    return *this;
  }
  bool Refused() const noexcept { return builder_.Refused(); }
  const TypeRecord* Record() const noexcept { return builder_.Record(); }

 private:
  TypeRegistry* registry_;
  TypeBuilder builder_;
};

template <typename E>
class EnumDeclaration {
 public:
  explicit EnumDeclaration(TypeBuilder builder) : builder_(builder) {}

  // Adds (or, for a name already present, replaces) the value `name`.
  EnumDeclaration& Value(std::string_view name, E value, std::string_view description = {}) {
    builder_.AddEnumValue(name, static_cast<std::int32_t>(value), description);
    return *this;
  }
  EnumDeclaration& Description(std::string_view description) {
    builder_.SetDescription(description);
    return *this;
  }
  EnumDeclaration& Tag(std::string_view tag) {
    builder_.AddTag(tag);
    return *this;
  }
  bool Refused() const noexcept { return builder_.Refused(); }
  const TypeRecord* Record() const noexcept { return builder_.Record(); }

 private:
  TypeBuilder builder_;
};

// Begins the declaration of record R under `name`.
template <typename R>
RecordDeclaration<R> DeclareRecord(TypeRegistry& registry, std::string_view name,
                                   std::string_view description = {}) {
  static_assert(std::is_class_v<R>, "a record is a struct or class");
  TypeBuilder builder = registry.BeginType(name, sizeof(R), StaticType::Record<R>(), false);
  builder.SetDescription(description);
  return RecordDeclaration<R>(registry, builder);
}

// Begins the declaration of enum E under `name`. E's values must fit in 32 signed bits.
template <typename E>
EnumDeclaration<E> DeclareEnum(TypeRegistry& registry, std::string_view name,
                               std::string_view description = {}) {
  static_assert(std::is_enum_v<E>, "an enum type");
  TypeBuilder builder = registry.BeginType(name, 4, StaticType::Record<E>(), true);
  builder.SetDescription(description);
  return EnumDeclaration<E>(builder);
}

// `native` as a BindingProperty tree, or the failure (an unregistered record inside).
template <typename T>
MaybeType<Failure, BindingProperty> ToBinding(const T& native, const TypeRegistry& registry) {
  return Write(native, registry);
}

// Reads `input` into `target` (fields absent from the input keep their values); `name` names
// the value in messages. Fails with the first refusal's message.
template <typename T>
MaybeType<Failure, void> FromBinding(const BindingProperty& input, T& target,
                                     const TypeRegistry& registry, std::string_view name = {}) {
  ConversionStatus status;
  Read(status, input, name, target, registry);
  if (status.Failed()) return Failure(status.Status(), std::string(status.ErrorMessage()));
  return {};
}

// Reads `input` into a default-constructed T.
template <typename T>
MaybeType<Failure, T> FromBinding(const BindingProperty& input, const TypeRegistry& registry,
                                  std::string_view name = {}) {
  T target{};
  ConversionStatus status;
  Read(status, input, name, target, registry);
  if (status.Failed()) return Failure(status.Status(), std::string(status.ErrorMessage()));
  return target;
}

}  // namespace qor
