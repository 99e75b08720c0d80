// Pieces of argument binding that need no Dispatcher: query strings, dotted argument names,
// index components, content-type and argument-text sniffing.
#ifndef QOR_API_DETAIL_ARGUMENTS_H_
#define QOR_API_DETAIL_ARGUMENTS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/maybe.h"
#include "binding/property.h"

namespace qor::detail {

// The largest index a dotted argument name may address ("items.65535").
inline constexpr uint64_t kMaxArgumentIndex = 65535;

// Splits a query (the text after "?") at "&", each piece at its first "=" (no "=": the value
// is empty), percent-decodes both sides and keeps the last value of a repeated name. Names
// appear in the order they first occur. An empty piece ("?&a=1", a trailing "&") is the name
// "" with the empty value; an empty query has no pieces.
std::vector<std::pair<std::string, std::string>> ParseQuery(std::string_view query);

// Reads an index component of a dotted name: an unsigned number with automatic base (0x
// hexadecimal, a leading 0 octal, else decimal) that uses every character. Fails with
// "Index %1 is in an incorrect format" or, above kMaxArgumentIndex, "Index %1 is out of
// range" (%1 the component).
MaybeType<Failure, uint64_t> ParseIndex(std::string_view component);

// Walks `path` (components separated by ".") from `root`: an index component makes the value
// a Collection grown to hold the index, any other component makes it a Structure and selects
// (creating) that member. A component is an index when it starts with a digit, or when the
// value it applies to is to be a collection (`rootIsCollection` for the first component, an
// existing Collection further down). Returns the value reached, or the index failure.
MaybeType<Failure, BindingProperty*> WalkDottedPath(BindingProperty& root, std::string_view path,
                                                    bool rootIsCollection);

// The codec an argument text is written in, judged from its first bytes.
enum class TextEncoding { kPlain, kMessagePack, kJson, kYaml };
TextEncoding SniffArgumentText(std::string_view text);

// The codec a request body is read with, from its content type (a case-insensitive prefix).
enum class BodyEncoding { kUnsupported, kMessagePack, kJson, kYaml };
BodyEncoding BodyEncodingOf(const char* contentType);

}  // namespace qor::detail

#endif  // QOR_API_DETAIL_ARGUMENTS_H_
