// Conversions between the host's HostValue records and BindingProperty trees.
//
// Reading copies everything out of the host's record (texts and blobs bounded by their length
// words), so the tree never points into host memory. Writing builds an owned record: every
// text, blob, array and key it points to is allocated here and freed by FreeHostValue, which
// is what the release functions of the records the plug-in fills call.
//
// Thread rule: stateless, any thread.
#ifndef QOR_API_HOST_VALUE_H_
#define QOR_API_HOST_VALUE_H_

#include <functional>
#include <optional>
#include <string_view>

#include "api/host_abi.h"
#include "binding/maybe.h"
#include "binding/property.h"

namespace qor {

// "bool", "signed", "unsigned", "float", "string" (tags 5 and 6), "blob" (7 and 8),
// "collection", "structure"; the empty text for tag 0 and tags above 10.
std::string_view HostValueTagName(uint32_t tag);

// The deepest nesting of collections and structures that either conversion accepts: the
// codecs' limit, so that every value a codec reads can be handed over and back.
inline constexpr int kMaxHostValueDepth = static_cast<int>(kMaxNestingDepth);

// Tag 0 Empty; 1 Bool; 2 Signed; 3 Unsigned; 4 Float; 5 and 6 String (up to the first NUL
// within `length` bytes); 7 and 8 Blob; 9 Collection; 10 Structure (a repeated key keeps the
// last value). A null text, blob or array pointer reads as empty. Fails with
//   "Couldn't assign value to '%1' of type object because the input is of an incompatible
//   type '%2'."
// (%1 `name`, %2 the tag's printed name) for a tag above 10 anywhere in the tree, and with
//   "Nesting exceeds 512 levels in '%1'."
// past kMaxHostValueDepth levels.
MaybeType<Failure, BindingProperty> ReadHostValue(const HostValue& value, std::string_view name);

// Gives an Enum value its registered enumerator name, or nothing when it has none.
using EnumNamer = std::function<std::optional<std::string_view>(const EnumValue&)>;

// Writes `value` into `out` (which must hold nothing owned: it is overwritten). Empty tag 0;
// Bool 1; Signed 2; Unsigned 3; Float 4; String 6 (owned copy, NUL-terminated); Blob 8
// (owned copy); Enum its enumerator's name as tag 6 when `names` is given and knows it, else
// its value as tag 2; Collection 9; Structure 10 with owned keys, in key order. On failure
// (a text, blob or container longer than a length word holds, or nesting past
// kMaxHostValueDepth: "Nesting exceeds 512 levels in '<result>'.") `out` is left zeroed and
// holds nothing.
MaybeType<Failure, void> WriteHostValue(const BindingProperty& value, HostValue& out,
                                        const EnumNamer& names = {});

// Frees what `value` owns (texts and blobs of tags 6 and 8, the arrays of tags 9 and 10,
// owned keys, nested values) and zeroes it. Only for values built by WriteHostValue.
void FreeHostValue(HostValue& value) noexcept;

}  // namespace qor

#endif  // QOR_API_HOST_VALUE_H_
