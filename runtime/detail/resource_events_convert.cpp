#include "runtime/detail/resource_events_convert.h"

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>

#include "foundation/format.h"

namespace qor::detail {

const TypeRegistry& EmptyRegistry() {
  static const TypeRegistry kEmpty;
  return kEmpty;
}

std::string EventsJsonText(const BindingProperty& value, const TypeRegistry* registry) {
  return WriteJson(value, registry);
}

namespace {

Failure Required(std::string_view name) {
  return Failure(Format("A value for '%1' is required.", name));
}

// Signed 32-bit text with automatic base, the whole text; nothing when it is not one.
std::optional<std::int32_t> ParseInt32(std::string_view text) {
  const std::string copy(text);
  if (copy.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(copy.c_str(), &end, 0);
  if (end == copy.c_str() || *end != '\0' || errno == ERANGE) return std::nullopt;
  if (parsed < std::numeric_limits<std::int32_t>::min() ||
      parsed > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(parsed);
}

}  // namespace

Failure NotAStructure(std::string_view name, std::string_view recordName) {
  return Failure(
      Format("Couldn't assign value to '%1' of type %2 because the input not a structure.", name,
             recordName));
}

MaybeType<Failure, std::int32_t> ReadEnumField(const BindingProperty& value, std::string_view name,
                                               std::string_view enumName,
                                               std::span<const std::string_view> names) {
  auto declared = [&](long long number) {
    return number >= 0 && static_cast<unsigned long long>(number) < names.size();
  };
  auto notValid = [&](std::string_view shown) {
    return Failure(
        Format("%1 is not a valid %2 enumeration value for '%3'.", shown, enumName, name));
  };
  switch (value.Kind()) {
    case BindingKind::Empty:
      return Required(name);
    case BindingKind::String: {
      const std::string_view text = value.GetString();
      for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == text) return static_cast<std::int32_t>(i);
      }
      if (std::optional<std::int32_t> number = ParseInt32(text); number && declared(*number)) {
        return *number;
      }
      return notValid(text);
    }
    case BindingKind::Signed: {
      const std::int64_t number = value.GetSigned();
      if (declared(number)) return static_cast<std::int32_t>(number);
      return notValid(std::to_string(number));
    }
    case BindingKind::Unsigned: {
      const std::uint64_t number = value.GetUnsigned();
      if (number < names.size()) return static_cast<std::int32_t>(number);
      return notValid(std::to_string(number));
    }
    case BindingKind::Enum: {
      const std::int32_t number = value.GetEnum().value;
      if (declared(number)) return number;
      return notValid(std::to_string(number));
    }
    default:
      return Failure(Format(
          "Couldn't assign value to '%1' of enum type because the input is of an invalid type %2.",
          name, KindName(value.Kind())));
  }
}

}  // namespace qor::detail
