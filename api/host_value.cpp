#include "api/host_value.h"

#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "foundation/format.h"

namespace qor {
namespace {

constexpr std::string_view kIncompatibleType =
    "Couldn't assign value to '%1' of type object because the input is of an incompatible type "
    "'%2'.";
// Reading and writing alike.
constexpr std::string_view kTooDeep = "Nesting exceeds 512 levels in '%1'.";
constexpr std::string_view kTooLarge =
    "Couldn't convert a value of %1 bytes or elements to a host value: the limit is %2.";

constexpr uint64_t kMaxLength = std::numeric_limits<uint32_t>::max();

std::string_view BoundedText(const char* text, uint32_t length) {
  if (text == nullptr) return {};
  const void* nul = std::memchr(text, '\0', length);
  return {text, nul ? static_cast<size_t>(static_cast<const char*>(nul) - text) : length};
}

// Reads one record into `out`; returns false after setting `status`'s failure.
bool ReadInto(const HostValue& value, BindingProperty& out, std::string_view name, int depth,
              MaybeType<Failure, BindingProperty>& status) {
  switch (value.tag) {
    case HOST_VALUE_EMPTY:
      out.Clear();
      return true;
    case HOST_VALUE_BOOL:
      out.SetBool(value.data.boolean != 0);
      return true;
    case HOST_VALUE_SIGNED:
      out.SetSigned(value.data.signedValue);
      return true;
    case HOST_VALUE_UNSIGNED:
      out.SetUnsigned(value.data.unsignedValue);
      return true;
    case HOST_VALUE_FLOAT:
      out.SetFloat(value.data.floatValue);
      return true;
    case HOST_VALUE_STRING:
    case HOST_VALUE_OWNED_STRING:
      out.SetString(BoundedText(value.data.text, value.length));
      return true;
    case HOST_VALUE_BLOB:
    case HOST_VALUE_OWNED_BLOB:
      if (value.data.bytes == nullptr) {
        out.SetBlob(std::span<const uint8_t>());
      } else {
        out.SetBlob(std::span<const uint8_t>(value.data.bytes, value.length));
      }
      return true;
    default:
      break;
  }
  if (value.tag > HOST_VALUE_STRUCTURE) {
    status.SetFailure(Format(kIncompatibleType, name, HostValueTagName(value.tag)));
    return false;
  }
  if (depth >= kMaxHostValueDepth) {
    status.SetFailure(Format(kTooDeep, name));
    return false;
  }
  const uint32_t count = value.data.elements == nullptr ? 0 : value.length;
  if (value.tag == HOST_VALUE_COLLECTION) {
    out.SetCollection(count);
    for (uint32_t i = 0; i < count; ++i) {
      if (!ReadInto(value.data.elements[i], out.Append(), name, depth + 1, status)) return false;
    }
    return true;
  }
  out.SetStructure(count);
  for (uint32_t i = 0; i < count; ++i) {
    const HostStructureEntry& entry = value.data.entries[i];
    std::string_view key = entry.key == nullptr ? std::string_view() : entry.key;
    // Every reading path clears the slot first, so a repeated key keeps only the last value.
    if (!ReadInto(entry.value, out.MutableMember(key), name, depth + 1, status)) return false;
  }
  return true;
}

char* CopyText(std::string_view text) {
  char* copy = new char[text.size() + 1];
  if (!text.empty()) std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

void SetOwnedText(HostValue& out, std::string_view text) {
  out.tag = HOST_VALUE_OWNED_STRING;
  out.length = static_cast<uint32_t>(text.size());
  out.data.text = CopyText(text);
}

Failure TooLarge(size_t size) {
  return Failure(Format(kTooLarge, size, kMaxLength));
}

MaybeType<Failure, void> WriteInto(const BindingProperty& value, HostValue& out,
                                   const EnumNamer& names, int depth) {
  out = HostValue{};
  switch (value.Kind()) {
    case BindingKind::Empty:
      return {};
    case BindingKind::Bool:
      out.tag = HOST_VALUE_BOOL;
      out.data.boolean = value.GetBool() ? 1 : 0;
      return {};
    case BindingKind::Signed:
      out.tag = HOST_VALUE_SIGNED;
      out.data.signedValue = value.GetSigned();
      return {};
    case BindingKind::Unsigned:
      out.tag = HOST_VALUE_UNSIGNED;
      out.data.unsignedValue = value.GetUnsigned();
      return {};
    case BindingKind::Float:
      out.tag = HOST_VALUE_FLOAT;
      out.data.floatValue = value.GetFloat();
      return {};
    case BindingKind::String: {
      std::string_view text = value.GetString();
      if (text.size() > kMaxLength) return TooLarge(text.size());
      SetOwnedText(out, text);
      return {};
    }
    case BindingKind::Blob: {
      std::span<const uint8_t> bytes = value.GetBlob();
      if (bytes.size() > kMaxLength) return TooLarge(bytes.size());
      auto* copy = new uint8_t[bytes.empty() ? 1 : bytes.size()];
      if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
      out.tag = HOST_VALUE_OWNED_BLOB;
      out.length = static_cast<uint32_t>(bytes.size());
      out.data.bytes = copy;
      return {};
    }
    case BindingKind::Enum: {
      EnumValue enumValue = value.GetEnum();
      std::optional<std::string_view> name;
      if (names) name = names(enumValue);
      if (name) {
        SetOwnedText(out, *name);
      } else {
        out.tag = HOST_VALUE_SIGNED;
        out.data.signedValue = enumValue.value;
      }
      return {};
    }
    case BindingKind::Collection:
    case BindingKind::Structure:
      break;
  }
  if (depth >= kMaxHostValueDepth) {
    return Failure(Format(kTooDeep, "<result>"));
  }
  if (value.Size() > kMaxLength) return TooLarge(value.Size());
  if (value.Kind() == BindingKind::Collection) {
    std::span<const BindingProperty> elements = value.Elements();
    out.tag = HOST_VALUE_COLLECTION;
    out.data.elements = new HostValue[elements.size() ? elements.size() : 1]();
    for (const BindingProperty& element : elements) {
      auto written = WriteInto(element, out.data.elements[out.length], names, depth + 1);
      if (!written) {
        FreeHostValue(out);
        return written;
      }
      ++out.length;
    }
    return {};
  }
  std::span<const BindingMember> members = value.Members();
  out.tag = HOST_VALUE_STRUCTURE;
  out.data.entries = new HostStructureEntry[members.size() ? members.size() : 1]();
  for (const BindingMember& member : members) {
    HostStructureEntry& entry = out.data.entries[out.length];
    auto written = WriteInto(member.Value(), entry.value, names, depth + 1);
    if (!written) {
      FreeHostValue(out);
      return written;
    }
    entry.key = CopyText(member.Key());
    entry.ownedKey = 1;
    ++out.length;
  }
  return {};
}

}  // namespace

std::string_view HostValueTagName(uint32_t tag) {
  static constexpr std::string_view kNames[] = {"",      "bool",       "signed",   "unsigned",
                                                "float", "string",     "string",   "blob",
                                                "blob",  "collection", "structure"};
  return tag < std::size(kNames) ? kNames[tag] : std::string_view();
}

MaybeType<Failure, BindingProperty> ReadHostValue(const HostValue& value, std::string_view name) {
  MaybeType<Failure, BindingProperty> result;
  BindingProperty read;
  if (ReadInto(value, read, name, 0, result)) result.MutableProperty() = std::move(read);
  return result;
}

MaybeType<Failure, void> WriteHostValue(const BindingProperty& value, HostValue& out,
                                        const EnumNamer& names) {
  return WriteInto(value, out, names, 0);
}

void FreeHostValue(HostValue& value) noexcept {
  switch (value.tag) {
    case HOST_VALUE_OWNED_STRING:
      delete[] value.data.text;
      break;
    case HOST_VALUE_OWNED_BLOB:
      delete[] value.data.bytes;
      break;
    case HOST_VALUE_COLLECTION:
      if (value.data.elements != nullptr) {
        for (uint32_t i = 0; i < value.length; ++i)
          FreeHostValue(value.data.elements[i]);
        delete[] value.data.elements;
      }
      break;
    case HOST_VALUE_STRUCTURE:
      if (value.data.entries != nullptr) {
        for (uint32_t i = 0; i < value.length; ++i) {
          HostStructureEntry& entry = value.data.entries[i];
          FreeHostValue(entry.value);
          if (entry.ownedKey) delete[] entry.key;
        }
        delete[] value.data.entries;
      }
      break;
    default:
      break;
  }
  value = HostValue{};
}

}  // namespace qor
