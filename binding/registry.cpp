#include "binding/registry.h"

#include <algorithm>
#include <utility>

#include "foundation/format.h"
#include "foundation/log.h"

namespace qor {

std::string_view NativeTypeName(NativeType type) {
  switch (type) {
    case NativeType::Bool:
      return "bool";
    case NativeType::Int8:
      return "int8";
    case NativeType::UInt8:
      return "uint8";
    case NativeType::Int16:
      return "int16";
    case NativeType::UInt16:
      return "uint16";
    case NativeType::Int32:
      return "int32";
    case NativeType::UInt32:
      return "uint32";
    case NativeType::Int64:
      return "int64";
    case NativeType::UInt64:
      return "uint64";
    case NativeType::Float:
      return "float";
    case NativeType::Double:
      return "double";
    case NativeType::String:
      return "string";
    case NativeType::Object:
      return "object";
    case NativeType::Blob:
      return "blob";
    case NativeType::Vector:
      return "vector";
    case NativeType::Enum:
      return "enum";
    case NativeType::Struct:
      return "struct";
    case NativeType::Callback:
      return "callback";
    case NativeType::Map:
      return "map";
    case NativeType::None:
      break;
  }
  return {};
}

// ---- TypeRecord ---------------------------------------------------------------------------

bool TypeRecord::HasTag(std::string_view tag) const noexcept {
  return std::find(tags_.begin(), tags_.end(), tag) != tags_.end();
}

const FieldRecord* TypeRecord::FindField(std::string_view name) const noexcept {
  std::uint32_t hash = Fnv1a32(name);
  for (const auto& field : fields_) {
    if (field->nameHash == hash && field->name == name) return field.get();
  }
  return nullptr;
}

const EnumValueRecord* TypeRecord::FindValue(std::string_view name) const noexcept {
  auto found = values_.find(name);
  return found == values_.end() ? nullptr : &found->second;
}

const EnumValueRecord* TypeRecord::FindValue(std::int32_t value) const noexcept {
  for (const auto& [name, record] : values_) {
    if (record.value == value) return &record;
  }
  return nullptr;
}

// ---- TypeBuilder --------------------------------------------------------------------------

TypeBuilder& TypeBuilder::AddField(std::string_view name, std::string_view description,
                                   std::size_t offset, const TypeIdRecord& typeId,
                                   TypeDescriptor type, TypeDescriptor keyType, std::uint32_t flags,
                                   std::unique_ptr<FieldAccessor> accessor, bool optional) {
  if (record_ == nullptr) return *this;
  auto field = std::make_unique<FieldRecord>();
  field->name = std::string(name);
  field->nameHash = Fnv1a32(name);
  field->description = std::string(description);
  field->flags = flags;
  field->typeId = &typeId;
  field->type = type;
  field->keyType = keyType;
  field->offset = offset;
  field->accessor = std::move(accessor);
  field->optional = optional;
  field->owner = record_;
  // Fields of equal names keep the order added.
  FieldRecord* added = field.get();
  for (const auto& other : record_->fields_) {
    if (std::string_view(other->name) <= name) {
      ++added->nameRank;
    } else {
      ++other->nameRank;
    }
  }
  record_->fields_.push_back(std::move(field));
  return *this;
}

TypeBuilder& TypeBuilder::AddEnumValue(std::string_view name, std::int32_t value,
                                       std::string_view description) {
  if (record_ == nullptr) return *this;
  EnumValueRecord entry{std::string(name), value, std::string(description)};
  auto found = record_->values_.find(name);
  if (found != record_->values_.end()) {
    found->second = std::move(entry);
  } else {
    record_->values_.emplace(std::string(name), std::move(entry));
  }
  return *this;
}

TypeBuilder& TypeBuilder::SetDescription(std::string_view description) {
  if (record_ != nullptr) record_->description_ = std::string(description);
  return *this;
}

TypeBuilder& TypeBuilder::AddTag(std::string_view tag) {
  if (record_ != nullptr && !tag.empty()) record_->tags_.emplace_back(tag);
  return *this;
}

// ---- TypeRegistry -------------------------------------------------------------------------

TypeBuilder TypeRegistry::BeginType(std::string_view name, std::size_t nativeSize,
                                    const TypeIdRecord& typeId, bool isEnum) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string key(name);
  if (byName_.count(key) != 0) return TypeBuilder(nullptr);
  if (typeId.id != kReservedTypeId) {
    auto held = byId_.find(typeId.id);
    // Each native type has one identity record: another record is another type.
    if (held != byId_.end() && held->second->identity_ != &typeId) {
      std::string refusal = Format(
          "Type '%1' (%2) is refused: its identifier %3 is already held by the type '%4' (%5)",
          name, typeId.Text(), TypeIdRecord{typeId.id, {}}.Text(), held->second->name_,
          held->second->identity_->Text());
      Log(LogLevel::Error, log_group::kDbg, "%s", refusal);
      return TypeBuilder(nullptr, std::move(refusal));
    }
  }
  auto record = std::make_unique<TypeRecord>();
  record->size_ = nativeSize;
  record->isEnum_ = isEnum;
  record->name_ = key;
  record->identity_ = &typeId;
  record->registry_ = this;
  TypeRecord* raw = record.get();
  records_.push_back(std::move(record));
  byName_.emplace(std::move(key), raw);
  if (typeId.id != kReservedTypeId) byId_.emplace(typeId.id, raw);
  return TypeBuilder(raw);
}

const TypeRecord* TypeRegistry::FindType(std::string_view name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = byName_.find(std::string(name));
  return found == byName_.end() ? nullptr : found->second;
}

const TypeRecord* TypeRegistry::FindType(TypeId id) const {
  if (id == kReservedTypeId) return nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = byId_.find(id);
  return found == byId_.end() ? nullptr : found->second;
}

std::vector<const TypeRecord*> TypeRegistry::Types() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<const TypeRecord*> types;
  types.reserve(records_.size());
  for (const auto& record : records_)
    types.push_back(record.get());
  return types;
}

std::optional<std::string_view> TypeRegistry::EnumName(TypeId enumType, std::int32_t value) const {
  const TypeRecord* record = FindType(enumType);
  if (record == nullptr) return std::nullopt;
  const EnumValueRecord* entry = record->FindValue(value);
  if (entry == nullptr) return std::nullopt;
  return std::string_view(entry->name);
}

std::optional<std::int32_t> TypeRegistry::EnumValueOf(const TypeRecord& enumType,
                                                      std::string_view name) const {
  const EnumValueRecord* entry = enumType.FindValue(name);
  if (entry == nullptr) return std::nullopt;
  return entry->value;
}

const TypeRecord* TypeRegistry::Resolve(const TypeDescriptor& type) const {
  if (type.record != nullptr) return type.record;
  return FindType(type.typeId);
}

namespace {
bool NeedsRecord(NativeType type) {
  return type == NativeType::Enum || type == NativeType::Struct;
}
}  // namespace

std::string TypeRegistry::DescribeType(const TypeDescriptor& type) const {
  if (NeedsRecord(type.type)) {
    if (const TypeRecord* record = Resolve(type)) return record->Name();
  }
  return std::string(NativeTypeName(type.type));
}

std::string TypeRegistry::DescribeElement(const TypeDescriptor& type) const {
  if (type.type != NativeType::Vector && type.type != NativeType::Map) return {};
  if (NeedsRecord(type.element)) {
    if (const TypeRecord* record = Resolve(type)) return record->Name();
  }
  return std::string(NativeTypeName(type.element));
}

std::string TypeRegistry::Describe(const TypeDescriptor& type) const {
  if (type.type == NativeType::Vector || type.type == NativeType::Map) {
    return DescribeType(type) + "<" + DescribeElement(type) + ">";
  }
  return DescribeType(type);
}

const FunctionRecord& TypeRegistry::AddFunction(std::unique_ptr<FunctionRecord> function) {
  std::lock_guard<std::mutex> lock(mutex_);
  functions_.push_back(std::move(function));
  return *functions_.back();
}

const EventRecord& TypeRegistry::AddEvent(std::unique_ptr<EventRecord> event) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(std::move(event));
  return *events_.back();
}

}  // namespace qor
