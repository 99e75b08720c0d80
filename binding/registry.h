// TypeRegistry: the native records and enums that the binding layer can convert.
//
// Records and enums are declared once, at initialisation, field by field (see binding/record.h
// for the declaration helpers most code uses). The conversion rules (binding/convert.h) walk
// these declarations; writers print enum values by name; the API description lists them.
//
// A declaration begins with BeginType(). When the name is taken, the builder is refused and
// every later builder call is a no-op: the first declaration wins, nothing is logged. A
// different native type whose identifier is already held by a record (two types printed
// alike, such as one name in two anonymous namespaces, share an identifier) is refused too,
// with an error line in the log and the reason on the builder: otherwise the identifier would
// resolve the second type to the first one's record.
//
// Thread rule: the name and identifier maps are read and written under the registry's mutex.
// Type records are filled during initialisation and read without locking afterwards; records,
// fields and enum values stay at their addresses for the registry's lifetime.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "binding/maybe.h"
#include "binding/property.h"
#include "binding/static_type.h"

namespace qor {

// Native type codes (the registry's and the argument layer's).
enum class NativeType : std::uint8_t {
  None = 0,
  Bool = 1,
  Int8 = 2,
  UInt8 = 3,
  Int16 = 4,
  UInt16 = 5,
  Int32 = 6,
  UInt32 = 7,
  Int64 = 8,
  UInt64 = 9,
  Float = 10,
  Double = 11,
  String = 12,
  Object = 13,  // a BindingProperty of any shape
  Blob = 14,
  Vector = 15,
  Enum = 16,
  Struct = 17,
  Callback = 18,
  Map = 19,  // text-keyed map of one value type
};

// "bool", "int8", ..., "map"; other codes give the empty text. Not interchangeable with
// KindName(): these name native types, KindName() names value kinds.
std::string_view NativeTypeName(NativeType type);

class TypeRecord;
class TypeRegistry;

// What a field, argument or result holds. `element` is the element type of a "vector" and the
// value type of a "map" (keys are always text). `record` is the registered enum or struct (of
// the value itself, or of the elements), or null when unknown at declaration time; `typeId`
// then still names it, and TypeRegistry::Resolve() finds the record later.
struct TypeDescriptor {
  NativeType type = NativeType::None;
  NativeType element = NativeType::None;
  const TypeRecord* record = nullptr;
  TypeId typeId = kReservedTypeId;
};

// Field flags.
inline constexpr std::uint32_t kFieldDefault = 0;
// When writing the record out, the field is left out if its value is empty by kind.
inline constexpr std::uint32_t kOmitWhenEmpty = 1;
// Reading the record fails when the field's key is absent (or Empty).
inline constexpr std::uint32_t kRequired = 2;

// The status threaded through every conversion: first failure wins (see binding/maybe.h).
using ConversionStatus = MaybeType<Failure, BindingProperty>;

// Reads and writes one field of a native record. Made for the field's type at registration.
class FieldAccessor {
 public:
  virtual ~FieldAccessor() = default;
  // Reads `input` into the field of `record` by the conversion rules; a refusal goes to
  // `status`. REQUIRES: status.Succeeded(); `record` points at the field's native record.
  virtual void Read(ConversionStatus& status, const BindingProperty& input, std::string_view name,
                    void* record, const TypeRegistry& registry) const = 0;
  // Writes the field of `record` into `output` (an Empty value); a failure goes to `status`.
  virtual void Write(ConversionStatus& status, const void* record, BindingProperty& output,
                     const TypeRegistry& registry) const = 0;
};

struct FieldRecord {
  std::string name;
  std::uint32_t nameHash = 0;  // FNV-1a of the name
  std::string description;
  std::uint32_t flags = kFieldDefault;
  const TypeIdRecord* typeId = nullptr;  // of the field's declared type
  TypeDescriptor type;
  TypeDescriptor keyType;  // the key side of a map field
  std::size_t offset = 0;  // byte offset in the native record
  // The field's place among its record's fields in ascending byte-wise name order: the index
  // of its member in a Structure holding exactly the record's fields.
  std::uint32_t nameRank = 0;
  std::unique_ptr<FieldAccessor> accessor;
  bool optional = false;  // the native field is an optional of its type
  const TypeRecord* owner = nullptr;

  bool OmitWhenEmpty() const noexcept { return (flags & kOmitWhenEmpty) != 0; }
  bool Required() const noexcept { return (flags & kRequired) != 0; }
};

struct EnumValueRecord {
  std::string name;
  std::int32_t value = 0;
  std::string description;
};

class TypeRecord {
 public:
  std::size_t Size() const noexcept { return size_; }
  bool IsEnum() const noexcept { return isEnum_; }
  const std::string& Name() const noexcept { return name_; }
  TypeId Id() const noexcept { return identity_->id; }
  const TypeIdRecord& Identity() const noexcept { return *identity_; }
  const std::string& Description() const noexcept { return description_; }
  const std::vector<std::string>& Tags() const noexcept { return tags_; }
  bool HasTag(std::string_view tag) const noexcept;
  // Struct fields in the order added.
  const std::vector<std::unique_ptr<FieldRecord>>& Fields() const noexcept { return fields_; }
  // The field of that name (hash first, then bytes), or null.
  const FieldRecord* FindField(std::string_view name) const noexcept;
  // Enum values by name (byte-wise order).
  const std::map<std::string, EnumValueRecord, std::less<>>& Values() const noexcept {
    return values_;
  }
  // The value record of that name, or null.
  const EnumValueRecord* FindValue(std::string_view name) const noexcept;
  // The first value (in name order) whose number is `value`, or null.
  const EnumValueRecord* FindValue(std::int32_t value) const noexcept;
  const TypeRegistry& Registry() const noexcept { return *registry_; }

 private:
  friend class TypeRegistry;
  friend class TypeBuilder;

  std::size_t size_ = 0;
  bool isEnum_ = false;
  std::string name_;
  const TypeIdRecord* identity_ = nullptr;
  std::string description_;
  std::vector<std::string> tags_;
  std::vector<std::unique_ptr<FieldRecord>> fields_;
  std::map<std::string, EnumValueRecord, std::less<>> values_;
  const TypeRegistry* registry_ = nullptr;
};

// Fills one type record. Every call is a no-op on a refused builder.
class TypeBuilder {
 public:
  // True when this declaration is dropped (name taken, or identifier held by another type).
  bool Refused() const noexcept { return record_ == nullptr; }
  // Why a different type's identifier refused the declaration; empty otherwise.
  const std::string& Refusal() const noexcept { return refusal_; }
  // The record being filled, or null when refused.
  const TypeRecord* Record() const noexcept { return record_; }

  TypeBuilder& AddField(std::string_view name, std::string_view description, std::size_t offset,
                        const TypeIdRecord& typeId, TypeDescriptor type, TypeDescriptor keyType,
                        std::uint32_t flags, std::unique_ptr<FieldAccessor> accessor,
                        bool optional);
  // A name already present replaces that value record.
  TypeBuilder& AddEnumValue(std::string_view name, std::int32_t value,
                            std::string_view description = {});
  TypeBuilder& SetDescription(std::string_view description);
  // Empty texts are not added.
  TypeBuilder& AddTag(std::string_view tag);

 private:
  friend class TypeRegistry;
  explicit TypeBuilder(TypeRecord* record, std::string refusal = {})
      : record_(record), refusal_(std::move(refusal)) {}
  TypeRecord* record_;
  std::string refusal_;
};

// One exposed function, as the API description lists it. The dispatch layer may derive from
// it to attach its handler.
struct ArgumentRecord {
  std::string name;
  std::string description;
  TypeDescriptor type;
  bool optional = false;
};

struct FunctionRecord {
  virtual ~FunctionRecord() = default;
  std::string name;
  std::string nameSpace;
  std::vector<ArgumentRecord> arguments;
  TypeDescriptor returns;
  std::string description;
  std::string help;
  bool threadSafe = false;
  std::string async;
  std::vector<std::string> tags;
};

struct EventRecord {
  virtual ~EventRecord() = default;
  std::string name;
  std::string nameSpace;
  TypeDescriptor type;
  std::string description;
  std::vector<std::string> tags;
};

class TypeRegistry {
 public:
  TypeRegistry() = default;
  TypeRegistry(const TypeRegistry&) = delete;
  TypeRegistry& operator=(const TypeRegistry&) = delete;

  // Begins the declaration of `name`. Refused (see TypeBuilder) when the name is taken;
  // refused too when `typeId` is indexed for a different type (another identity record);
  // otherwise the new record is indexed by name and by `typeId` (kReservedTypeId is never
  // indexed; a second record of the same type keeps the first one there).
  TypeBuilder BeginType(std::string_view name, std::size_t nativeSize, const TypeIdRecord& typeId,
                        bool isEnum);

  const TypeRecord* FindType(std::string_view name) const;
  const TypeRecord* FindType(TypeId id) const;
  template <typename T>
  const TypeRecord* FindType() const {
    return FindType(StaticType::Id<T>());
  }
  // Every record in registration order.
  std::vector<const TypeRecord*> Types() const;

  // The name of `value` in the enum `enumType`: the first in name order whose number matches,
  // or nothing (also when the enum is unknown).
  std::optional<std::string_view> EnumName(TypeId enumType, std::int32_t value) const;
  // The value of `name` in `enumType`, or nothing.
  std::optional<std::int32_t> EnumValueOf(const TypeRecord& enumType, std::string_view name) const;

  // The descriptor's record, looked up by its identifier when it was not known at declaration.
  const TypeRecord* Resolve(const TypeDescriptor& type) const;
  // The description of a type for messages and help. "enum"/"struct": the registered name, or
  // "enum"/"struct" when no record is known; "vector"/"map": the name with the element's
  // description, as "vector<int32>" or "map<QorStoreWallet>"; otherwise NativeTypeName().
  std::string Describe(const TypeDescriptor& type) const;
  // The two halves of that description: the type alone ("vector", "map", a registered name,
  // "int32", ...) and the element's ("int32" for a vector of int32; "" unless vector or map).
  std::string DescribeType(const TypeDescriptor& type) const;
  std::string DescribeElement(const TypeDescriptor& type) const;

  // Functions and events (filled by the dispatch layer and the runtime).
  const FunctionRecord& AddFunction(std::unique_ptr<FunctionRecord> function);
  const EventRecord& AddEvent(std::unique_ptr<EventRecord> event);
  const std::vector<std::unique_ptr<FunctionRecord>>& Functions() const noexcept {
    return functions_;
  }
  const std::vector<std::unique_ptr<EventRecord>>& Events() const noexcept { return events_; }

 private:
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<TypeRecord>> records_;     // GUARDED_BY(mutex_)
  std::unordered_map<std::string, TypeRecord*> byName_;  // GUARDED_BY(mutex_)
  std::unordered_map<TypeId, TypeRecord*> byId_;         // GUARDED_BY(mutex_)
  std::vector<std::unique_ptr<FunctionRecord>> functions_;
  std::vector<std::unique_ptr<EventRecord>> events_;
};

}  // namespace qor
