#include "binding/msgpack.h"

#include <algorithm>
#include <bit>
#include <string>
#include <vector>

#include "binding/detail/builder.h"
#include "foundation/format.h"

namespace qor {
namespace {

// One open container: the items still expected (for maps keys and values count separately, so
// a key is expected whenever the count is even) and whether it is a map.
struct OpenContainer {
  std::uint64_t remaining;
  bool map;
};

class Decoder {
 public:
  Decoder(std::span<const std::uint8_t> bytes, BindingProperty& root)
      : bytes_(bytes), builder_(root) {
    // Records hold about one distinct text per 112 bytes of MessagePack.
    builder_.ExpectTexts(bytes.size() / 112);
  }

  // Decodes one value; on failure returns false and leaves the message in `error_`.
  bool Run() {
    for (;;) {
      if (!open_.Empty()) {
        OpenContainer& top = open_.Back();
        if (top.map && top.remaining % 2 == 0) {
          if (!ReadKey(top)) return false;
          continue;
        }
      }
      bool complete = true;
      if (!ReadValue(complete)) return false;
      if (complete && CloseCompleted()) return true;
    }
  }

  std::size_t Position() const { return position_; }
  std::string TakeError() { return std::move(error_); }
  // Drops the partial tree after a failure.
  void Discard() { builder_.Discard(); }

 private:
  static constexpr std::size_t kNoSize = 0;

  // After a complete value: counts it in the innermost container and closes every container
  // that is now full. Returns true when the root value is complete.
  bool CloseCompleted() {
    while (!open_.Empty()) {
      OpenContainer& top = open_.Back();
      if (--top.remaining != 0) return false;
      open_.Truncate(open_.Size() - 1);
      builder_.Close();
    }
    return true;
  }

  bool Fail(std::string message) {
    error_ = std::move(message);
    return false;
  }

  bool TruncatedNumber(std::size_t width, std::size_t at) {
    const char* bits = width == 1 ? "8" : width == 2 ? "16" : width == 4 ? "32" : "64";
    return Fail(Format(
        "Invalid MessagePack data. %1-bit integer value at position %2 is truncated.", bits, at));
  }

  // Reads a big-endian number of `width` bytes (1, 2, 4 or 8).
  bool ReadNumber(std::size_t width, std::uint64_t& out) {
    if (bytes_.size() - position_ < width) return TruncatedNumber(width, position_);
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i)
      value = (value << 8) | bytes_[position_ + i];
    position_ += width;
    out = value;
    return true;
  }

  bool ReadText(std::uint64_t length, std::string_view& out) {
    if (bytes_.size() - position_ < length) {
      return Fail(Format("Invalid MessagePack data. String of size %1 at position %2 is truncated.",
                         length, position_));
    }
    out = std::string_view(reinterpret_cast<const char*>(bytes_.data() + position_),
                           static_cast<std::size_t>(length));
    position_ += static_cast<std::size_t>(length);
    return true;
  }

  bool ReadRaw(std::uint64_t length, std::span<const std::uint8_t>& out) {
    if (bytes_.size() - position_ < length) {
      return Fail(
          Format("Invalid MessagePack data. Raw bytes of size %1 at position %2 are truncated.",
                 length, position_));
    }
    out = bytes_.subspan(position_, static_cast<std::size_t>(length));
    position_ += static_cast<std::size_t>(length);
    return true;
  }

  // The length that follows a str 8/16/32 format byte, or false when `format` is no string.
  static std::size_t StringLengthWidth(std::uint8_t format) {
    switch (format) {
      case 0xD9:
        return 1;
      case 0xDA:
        return 2;
      case 0xDB:
        return 4;
      default:
        return kNoSize;
    }
  }

  bool ReadKey(OpenContainer& top) {
    const std::size_t at = position_;
    std::uint64_t format = 0;
    if (!ReadNumber(1, format)) return false;
    std::uint64_t length = 0;
    if (format >= 0xA0 && format <= 0xBF) {
      length = format & 0x1F;
    } else if (const std::size_t width = StringLengthWidth(static_cast<std::uint8_t>(format))) {
      if (!ReadNumber(width, length)) return false;
    } else {
      return Fail(Format("Invalid MessagePack data at position %1. Map keys must be strings.", at));
    }
    std::string_view key;
    if (!ReadText(length, key)) return false;
    builder_.Key(key);
    --top.remaining;
    return true;
  }

  // Nothing is reserved from the declared count: the builder's stacks grow with the items
  // actually read, and each container is sized exactly when it closes.
  bool OpenContainerAt(std::size_t at, std::uint64_t count, bool map, bool& complete) {
    if (open_.Size() == kMaxMsgPackDepth) {
      return Fail(
          Format("Invalid MessagePack data at position %1. Nesting exceeds 512 levels.", at));
    }
    if (map) {
      builder_.OpenStructure();
    } else {
      builder_.OpenCollection();
    }
    if (count == 0) {
      builder_.Close();
      return true;
    }
    *open_.Push() = {map ? count * 2 : count, map};
    complete = false;
    return true;
  }

  bool ReadValue(bool& complete) {
    const std::size_t at = position_;
    std::uint64_t format = 0;
    if (!ReadNumber(1, format)) return false;
    std::uint64_t number = 0;
    if (format >= 0x80 && format <= 0x9F) {
      return OpenContainerAt(at, format & 0x0F, format <= 0x8F, complete);
    }
    if (format >= 0xDC && format <= 0xDF) {
      if (!ReadNumber(format == 0xDC || format == 0xDE ? 2 : 4, number)) return false;
      return OpenContainerAt(at, number, format >= 0xDE, complete);
    }
    if ((format >= 0xA0 && format <= 0xBF) || (format >= 0xD9 && format <= 0xDB)) {
      std::string_view text;
      if (format <= 0xBF) {
        number = format & 0x1F;
      } else if (!ReadNumber(StringLengthWidth(static_cast<std::uint8_t>(format)), number)) {
        return false;
      }
      if (!ReadText(number, text)) return false;
      builder_.StringValue(text);
      return true;
    }
    BindingProperty& target = builder_.Value();
    if (format <= 0x7F) {
      target.SetSigned(static_cast<std::int64_t>(format));
      return true;
    }
    if (format >= 0xE0) {
      target.SetSigned(static_cast<std::int8_t>(format));
      return true;
    }
    switch (format) {
      case 0xC0:
        target.Clear();
        return true;
      case 0xC2:
        target.SetBool(false);
        return true;
      case 0xC3:
        target.SetBool(true);
        return true;
      case 0xC4:
      case 0xC5:
      case 0xC6: {
        std::span<const std::uint8_t> raw;
        if (!ReadNumber(std::size_t{1} << (format - 0xC4), number) || !ReadRaw(number, raw)) {
          return false;
        }
        target.SetBlob(raw);
        return true;
      }
      case 0xCA:
        if (!ReadNumber(4, number)) return false;
        target.SetFloat(std::bit_cast<float>(static_cast<std::uint32_t>(number)));
        return true;
      case 0xCB:
        if (!ReadNumber(8, number)) return false;
        target.SetFloat(std::bit_cast<double>(number));
        return true;
      case 0xCC:
      case 0xCD:
      case 0xCE:
      case 0xCF:
        if (!ReadNumber(std::size_t{1} << (format - 0xCC), number)) return false;
        target.SetUnsigned(number);
        return true;
      case 0xD0:
        if (!ReadNumber(1, number)) return false;
        target.SetSigned(static_cast<std::int8_t>(number));
        return true;
      case 0xD1:
        if (!ReadNumber(2, number)) return false;
        target.SetSigned(static_cast<std::int16_t>(number));
        return true;
      case 0xD2:
        if (!ReadNumber(4, number)) return false;
        target.SetSigned(static_cast<std::int32_t>(number));
        return true;
      case 0xD3:
        if (!ReadNumber(8, number)) return false;
        target.SetSigned(static_cast<std::int64_t>(number));
        return true;
      default:  // 0xC1 and the extension formats
        return Fail(Format("Invalid MessagePack data at position %1.", at));
    }
  }

  std::span<const std::uint8_t> bytes_;
  detail::TreeBuilder builder_;
  std::size_t position_ = 0;
  detail::ScratchStack<OpenContainer, 32> open_;
  std::string error_;
};

}  // namespace

MsgPackDecoded DecodeMsgPack(std::span<const std::uint8_t> bytes) {
  MsgPackDecoded decoded;
  Decoder decoder(bytes, decoded.value.MutableProperty());
  if (decoder.Run()) {
    decoded.consumed = decoder.Position();
  } else {
    decoder.Discard();
    decoded.value.SetFailure(decoder.TakeError());
  }
  return decoded;
}

MsgPackDecoded DecodeMsgPack(const void* data, std::size_t length) {
  if (data == nullptr) length = 0;
  return DecodeMsgPack(
      std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(data), length));
}

}  // namespace qor
