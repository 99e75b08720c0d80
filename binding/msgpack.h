// The MessagePack reader: one MessagePack value from a byte buffer to a BindingProperty tree.
//
// Formats map to kinds as follows: nil Empty; false/true Bool; positive and negative fixint
// and int 8..64 Signed; uint 8..64 Unsigned; float 32/64 Float (float 32 widened); fixstr and
// str 8..32 String; bin 8..32 Blob; fixarray and array 16/32 Collection; fixmap and map 16/32
// Structure (keys must be strings; a repeated key keeps the last value). The byte 0xC1 and the
// extension formats (ext 8..32, fixext 1..16) are refused.
//
// The reader is iterative and bounds-checks every read. Memory grows with the bytes actually
// read, never with the counts that headers declare, and containers may nest at most
// kMaxMsgPackDepth levels.
//
// Thread rule: stateless; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "binding/maybe.h"
#include "binding/property.h"

namespace qor {

inline constexpr std::size_t kMaxMsgPackDepth = kMaxNestingDepth;

struct MsgPackDecoded {
  // The value, or the first failure met ("Invalid MessagePack data ..." messages carry the
  // byte offset from the start of the buffer). No partial tree is returned.
  MaybeType<Failure, BindingProperty> value;
  // Bytes used by the value; the bytes after it are left to the caller. 0 on failure.
  std::size_t consumed = 0;
};

// Decodes one value from the start of `bytes`.
MsgPackDecoded DecodeMsgPack(std::span<const std::uint8_t> bytes);
MsgPackDecoded DecodeMsgPack(const void* data, std::size_t length);

}  // namespace qor
