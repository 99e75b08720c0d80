// JSON text and the host's HostValue records.
//
// The developer host speaks JSON on its HTTP side and HostValue records on the plug-in side:
// request bodies of the control API become event payloads and peer answers, and the values
// the plug-in hands over (reply bodies, event payloads, request arguments) become JSON for
// HTTP replies and for the control API's records.
//
// Thread rule: stateless functions; an OwnedHostValue belongs to one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api/host_abi.h"
#include "binding/maybe.h"
#include "binding/property.h"

namespace qor::host {

// The deepest nesting of arrays and objects accepted in either direction: the plug-in's own
// limit, so that whatever it accepts or answers passes the bridge.
inline constexpr int kMaxJsonDepth = static_cast<int>(kMaxNestingDepth);

// A HostValue tree that owns every text, array and key it points to (tags 6, 9 and 10 only,
// keys owned). Move-only; moving keeps every pointer valid.
class OwnedHostValue {
 public:
  OwnedHostValue() = default;  // Empty (tag 0)
  OwnedHostValue(OwnedHostValue&&) noexcept = default;
  OwnedHostValue& operator=(OwnedHostValue&&) noexcept = default;
  OwnedHostValue(const OwnedHostValue&) = delete;
  OwnedHostValue& operator=(const OwnedHostValue&) = delete;

  // Parses one JSON text (UTF-8; numbers that fit int64 become tag 2, larger unsigned ones tag
  // 3, the others tag 4; null becomes Empty). Fails with "Invalid JSON: <parser message> at
  // offset N." or "Invalid JSON: Nesting exceeds 512 levels in '<body>'.".
  static MaybeType<Failure, OwnedHostValue> FromJson(std::string_view json);
  // A String value (tag 6).
  static OwnedHostValue Text(std::string_view text);
  // A Structure of String members, in the order given.
  static OwnedHostValue TextStructure(
      const std::vector<std::pair<std::string, std::string>>& members);
  // A Structure whose members are taken from `members` (moved in), in the order given.
  static OwnedHostValue Structure(std::vector<std::pair<std::string, OwnedHostValue>> members);
  // A Collection of the given values (moved in).
  static OwnedHostValue Collection(std::vector<OwnedHostValue> elements);

  const HostValue& Get() const { return value_; }

 private:
  friend class HostValueBuilder;
  HostValue value_{};
  std::vector<std::unique_ptr<char[]>> texts_;
  std::vector<std::unique_ptr<HostValue[]>> arrays_;
  std::vector<std::unique_ptr<HostStructureEntry[]>> entryArrays_;
  std::vector<OwnedHostValue> children_;  // values moved in by Structure and Collection
};

// Compact JSON of `value`: Empty null; Bool true/false; Signed and Unsigned integers; Float a
// number (NaN and infinities as null); String texts (bounded by the length word, cut at a NUL);
// Blob the bytes in base64; Collection an array; Structure an object (a repeated key keeps its
// last value). Fails with "Unsupported value tag N." for a tag above 10 and "Nesting
// exceeds 512 levels in '<value>'." past kMaxJsonDepth. Texts that are not valid UTF-8 are written
// with U+FFFD in place of each bad byte.
MaybeType<Failure, std::string> HostValueToJson(const HostValue& value);

// The compact form of a JSON text (the same checks as OwnedHostValue::FromJson).
MaybeType<Failure, std::string> NormalizeJson(std::string_view json);

// A binding value from JSON text (through OwnedHostValue: the same numbers and failures).
MaybeType<Failure, BindingProperty> JsonToProperty(std::string_view json);

// Compact JSON of a binding value (as HostValueToJson; an Enum is written as its number).
MaybeType<Failure, std::string> PropertyToJson(const BindingProperty& value);

// `text` as a JSON string literal, quotes included.
std::string JsonQuote(std::string_view text);

}  // namespace qor::host
