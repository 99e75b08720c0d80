// The JSON codec: JSON text to BindingProperty trees and back.
//
// Reading maps null to Empty, true/false to Bool, integer literals without fraction or
// exponent to Unsigned (not negative) or Signed (negative) when they fit 64 bits, every other
// number to Float, strings to String (escapes decoded; the text ends at the first NUL, so an
// escaped \u0000 ends it), arrays to Collection and objects to Structure (a repeated key keeps
// the last value). Numbers are converted to the nearest double. Input nested deeper than
// kMaxJsonDepth levels is refused.
//
// Writing lists Structure members in ascending byte-wise key order, writes 64-bit integers as
// plain numbers, Floats in the shortest form that reads back to the same double (3.0 stays
// "3.0"), NaN and infinities as null, Blobs as Base64 strings and Enums as their registered
// name (or their number when none is known).
//
// Thread rule: stateless; any thread, one tree per call.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "binding/maybe.h"
#include "binding/property.h"

namespace qor {

class TypeRegistry;

// Containers may nest this many levels; one more is refused.
inline constexpr std::size_t kMaxJsonDepth = kMaxNestingDepth;

// Parses one JSON document. White space around it is allowed; an empty or all-white-space
// text gives success with an Empty value. On malformed text the failure's message is
// "Error: <reason> at offset <byte offset>." and no partial tree is returned.
//
// The string_view form reads exactly `text.size()` bytes: a NUL byte inside it is not taken
// as the end of the text (it makes the document invalid). The pointer form reads up to the
// first NUL; a null pointer reads as the empty text.
MaybeType<Failure, BindingProperty> ParseJson(std::string_view text);
MaybeType<Failure, BindingProperty> ParseJson(const char* text);

// Writes `value` as JSON. Without `lineBreak` (or with an empty one) the output is compact,
// with no white space at all. With a line-break text the output is pretty: four spaces of
// indent per level, a space after each colon, one member or element per line, empty arrays
// and objects as [] and {}; each line feed is then replaced by `lineBreak`.
// `registry`, when given, names Enum values. A root Empty value writes as the empty text.
// Never fails.
std::string WriteJson(const BindingProperty& value, const TypeRegistry* registry = nullptr,
                      std::string_view lineBreak = {});

}  // namespace qor
