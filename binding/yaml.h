// The YAML reader: one YAML document to a BindingProperty tree.
//
// Plain (untagged, unquoted) scalars are typed in this order: the null words ("", "~",
// "null", "Null", "NULL") give Empty; numbers give Unsigned, Signed or Float (integral values
// that fit 64 bits are integers; "inf" stays a String); the words true/True/TRUE, y/Y,
// yes/Yes/YES, on/On/ON and their opposites false, n, no, off give Bool; anything else is a
// String. Quoted and block scalars are Strings. The tags !!str, !!int, !!float and !!bool are
// honoured; any other tag is refused. Anchors and aliases are supported (an alias copies the
// anchored value); mapping keys must be string scalars; one document per text.
//
// Limits: containers nest at most kMaxYamlDepth levels (values that aliases bring in included),
// and the nodes copied to serve aliases in one read (the copy kept for each anchor and every
// alias's copy) are capped at kMaxYamlAliasNodes, so nested aliases cannot grow a small text
// into a huge tree.
//
// Messages about a place in the text end with "At line: L col: C": event positions count from
// 1; the parser's own errors give its position as it reports it, counted from 0.
//
// Thread rule: stateless; any thread.
#pragma once

#include <cstddef>
#include <string_view>

#include "binding/maybe.h"
#include "binding/property.h"

namespace qor {

inline constexpr std::size_t kMaxYamlDepth = kMaxNestingDepth;
inline constexpr std::size_t kMaxYamlAliasNodes = 1000000;

// Reads one document from `text` (UTF-8, exactly `text.size()` bytes). An empty text, or one
// holding only comments or empty documents, reads as success with an Empty value. On failure
// no partial tree is returned.
MaybeType<Failure, BindingProperty> ParseYaml(std::string_view text);
// Reads the text up to its first NUL; a null pointer reads as the empty text.
MaybeType<Failure, BindingProperty> ParseYaml(const char* text);

}  // namespace qor
