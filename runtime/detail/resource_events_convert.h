// Conversions used by the event components: native values to and from BindingProperty, the
// SDK event records read from decoded payloads, and JSON text for messages.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "binding/convert.h"
#include "binding/json.h"
#include "binding/maybe.h"
#include "binding/property.h"
#include "binding/static_type.h"

namespace qor::detail {

// Compact JSON of a value, for messages and traces.
std::string EventsJsonText(const BindingProperty& value, const TypeRegistry* registry = nullptr);

// An enum field read by the enum rule without a registry: `names[i]` is the name of value i
// and `enumName` the enum's registered name (for messages).
MaybeType<Failure, std::int32_t> ReadEnumField(const BindingProperty& value, std::string_view name,
                                               std::string_view enumName,
                                               std::span<const std::string_view> names);
// The not-a-structure refusal for a record named `recordName`.
Failure NotAStructure(std::string_view name, std::string_view recordName);

// Reads one of the SDK event records (specialised next to each record).
template <typename P>
MaybeType<Failure, P> ReadSdkRecord(const BindingProperty& value, std::string_view name);

// An empty registry, for conversions made without the module's.
const TypeRegistry& EmptyRegistry();

// Reads `value` into a T by the conversion rules; `name` labels the value in messages.
template <typename T>
MaybeType<Failure, T> EventsRead(const TypeRegistry* registry, const BindingProperty& value,
                                 std::string_view name) {
  ConversionStatus status;
  T target{};
  Read(status, value, name, target, registry != nullptr ? *registry : EmptyRegistry());
  if (status.Failed()) return status.Error();
  return target;
}

// Writes a native value as a BindingProperty by the conversion rules.
template <typename T>
MaybeType<Failure, BindingProperty> EventsWrite(const TypeRegistry* registry, const T& value) {
  return Write(value, registry != nullptr ? *registry : EmptyRegistry());
}

}  // namespace qor::detail
