#include "binding/json.h"

#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/reader.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "binding/detail/builder.h"
#include "binding/detail/text.h"
#include "binding/registry.h"
#include "foundation/format.h"

namespace qor {
namespace {

// RapidJSON's default reader. Its full-precision number mode is not used: on a long fraction
// with a tiny exponent ("0.000...03e-300") that mode reads out of bounds and crashes, and any
// request body can carry such a number.
constexpr unsigned kReadFlags = rapidjson::kParseDefaultFlags;

constexpr std::string_view kErrorTemplate = "Error: %1 at offset %2.";
constexpr std::string_view kDepthReason = "The document exceeds the maximum nesting depth of 512.";

bool IsJsonSpace(char c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

// The text of a JSON string up to its first NUL.
std::string_view UpToNul(const char* text, rapidjson::SizeType length) {
  const void* nul = std::memchr(text, '\0', length);
  return {text, nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - text) : length};
}

// A decoded string can hold a NUL only where the text escapes one: without "\\u0000" anywhere
// in the document no string needs the search.
bool MayHoldNul(std::string_view text) {
  const char* at = text.data();
  const char* const end = at + text.size();
  while (end - at >= 6) {
    at = static_cast<const char*>(std::memchr(at, '\\', static_cast<std::size_t>(end - at - 5)));
    if (at == nullptr) return false;
    if (std::memcmp(at + 1, "u0000", 5) == 0) return true;
    at += 2;  // past the escaped character, which may itself be a reverse solidus
  }
  return false;
}

// Receives the reader's events and builds the tree in one pass: every value lands in the next
// element of the innermost Collection, in the member named by the last key of the innermost
// Structure, or in the root; each container is sized exactly when it closes.
class JsonHandler {
 public:
  JsonHandler(BindingProperty& root, std::string_view text, const rapidjson::MemoryStream& stream,
              bool mayHoldNul)
      : builder_(root), text_(text), stream_(stream), mayHoldNul_(mayHoldNul) {}

  bool DepthExceeded() const { return depthExceeded_; }
  // Where a number too big for a double starts, when the reader stopped at one.
  std::optional<std::size_t> TooBigAt() const { return tooBigAt_; }
  void Discard() { builder_.Discard(); }

  bool Null() {
    builder_.Value();  // stays Empty
    return true;
  }
  bool Bool(bool value) {
    builder_.Value().SetBool(value);
    return true;
  }
  // The reader reports "-0" as a signed zero: it is not negative, so it is Unsigned like 0.
  bool Int(int value) { return Int64(value); }
  bool Int64(std::int64_t value) {
    if (value == 0) {
      builder_.Value().SetUnsigned(0);
    } else {
      builder_.Value().SetSigned(value);
    }
    return true;
  }
  bool Uint(unsigned value) {
    builder_.Value().SetUnsigned(value);
    return true;
  }
  bool Uint64(std::uint64_t value) {
    builder_.Value().SetUnsigned(value);
    return true;
  }
  bool Double(double value) {
    const char* begin = NumberStart();
    value = CorrectlyRounded(begin, value);
    if (std::isinf(value)) {
      // The reader refuses 1e309 but lets 1.8e308 through as infinity, which no JSON text can
      // carry back: both are too big for a double.
      tooBigAt_ = static_cast<std::size_t>(begin - text_.data());
      return false;
    }
    builder_.Value().SetFloat(value);
    return true;
  }
  // Only called with kParseNumbersAsStringsFlag, which is not used.
  bool RawNumber(const char*, rapidjson::SizeType, bool) { return false; }
  bool String(const char* text, rapidjson::SizeType length, bool) {
    builder_.Value().SetString(Text(text, length));
    return true;
  }
  bool Key(const char* text, rapidjson::SizeType length, bool) {
    builder_.Key(Text(text, length));
    return true;
  }
  bool StartObject() {
    if (!CheckDepth()) return false;
    builder_.OpenStructure();
    return true;
  }
  bool EndObject(rapidjson::SizeType) {
    builder_.Close();
    return true;
  }
  bool StartArray() {
    if (!CheckDepth()) return false;
    builder_.OpenCollection();
    return true;
  }
  bool EndArray(rapidjson::SizeType) {
    builder_.Close();
    return true;
  }

 private:
  bool CheckDepth() {
    if (builder_.Depth() < kMaxJsonDepth) return true;
    depthExceeded_ = true;
    return false;
  }
  std::string_view Text(const char* text, rapidjson::SizeType length) const {
    return mayHoldNul_ ? UpToNul(text, length) : std::string_view(text, length);
  }
  // The reader's default number mode can be a unit in the last place off on long fractions,
  // and then a written Float would not read back to itself; its full-precision mode reads out
  // of bounds on some inputs. So the number's text, which ends where the reader stands now
  // (numbers are never preceded by a number character), is read again, correctly rounded.
  // Texts from_chars refuses (a value below the smallest double) keep the reader's value.
  const char* NumberStart() const {
    const char* begin = text_.data() + stream_.Tell();
    while (begin != text_.data() && std::strchr("0123456789+-.eE", begin[-1]) != nullptr &&
           begin[-1] != '\0')
      --begin;
    return begin;
  }
  double CorrectlyRounded(const char* begin, double value) const {
    const char* const end = text_.data() + stream_.Tell();
    double exact = 0;
    const auto [stop, error] = std::from_chars(begin, end, exact);
    return error == std::errc() && stop == end ? exact : value;
  }

  detail::TreeBuilder builder_;
  const std::string_view text_;
  const rapidjson::MemoryStream& stream_;
  const bool mayHoldNul_;
  bool depthExceeded_ = false;
  std::optional<std::size_t> tooBigAt_;
};

// The output of both writers: the std::string that WriteJson returns, so that the text is not
// copied out of a buffer at the end. For RapidJSON's PrettyWriter it is an output stream, and
// PutReserve and PutUnsafe (found by argument-dependent lookup) give that writer the same fast
// path as its own string buffer.
class StringOutput {
 public:
  using Ch = char;

  void Put(char c) {
    Reserve(1);
    *cursor_++ = c;
  }
  void PutUnchecked(char c) { *cursor_++ = c; }
  void Flush() {}
  void Reserve(std::size_t count) {
    if (static_cast<std::size_t>(end_ - cursor_) < count) Grow(count);
  }
  // For a writer copying runs itself: room for `count` bytes from the position returned, and
  // then the position where its bytes end.
  char* Room(std::size_t count) {
    Reserve(count);
    return cursor_;
  }
  void Advance(char* to) { cursor_ = to; }
  std::string Take() {
    text_.resize(static_cast<std::size_t>(cursor_ - text_.data()));
    return std::move(text_);
  }

 private:
  void Grow(std::size_t count) {
    const std::size_t used = static_cast<std::size_t>(cursor_ - text_.data());
    text_.resize(std::max({text_.size() * 2, used + count, std::size_t{256}}));
    cursor_ = text_.data() + used;
    end_ = text_.data() + text_.size();
  }

  std::string text_;
  char* cursor_ = text_.data();
  char* end_ = text_.data();
};

void PutReserve(StringOutput& stream, std::size_t count) {
  stream.Reserve(count);
}
void PutUnsafe(StringOutput& stream, char c) {
  stream.PutUnchecked(c);
}

// A Collection or Structure being written: its elements or members, and the next to write.
struct OpenContainer {
  const BindingProperty* elements;
  const BindingMember* members;
  std::size_t count;
  std::size_t next;
  bool structure;
};

// Drives a RapidJSON writer (the indented form's PrettyWriter) over a tree without recursion.
template <typename Writer>
class TreeWriter {
 public:
  TreeWriter(Writer& writer, const TypeRegistry* registry) : writer_(writer), registry_(registry) {}

  void Write(const BindingProperty& root) {
    WriteValue(root);
    while (!open_.empty()) {
      OpenContainer& frame = open_.back();
      if (frame.next == frame.count) {
        if (frame.structure) {
          writer_.EndObject(static_cast<rapidjson::SizeType>(frame.count));
        } else {
          writer_.EndArray(static_cast<rapidjson::SizeType>(frame.count));
        }
        open_.pop_back();
        continue;
      }
      const std::size_t index = frame.next++;
      if (frame.structure) {
        const BindingMember& member = frame.members[index];
        const std::string_view key = member.Key();
        writer_.Key(key.data(), static_cast<rapidjson::SizeType>(key.size()));
        WriteValue(member.Value());  // may push, invalidating `frame`
      } else {
        WriteValue(frame.elements[index]);
      }
    }
  }

 private:
  void WriteText(std::string_view text) {
    writer_.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
  }

  void WriteValue(const BindingProperty& value) {
    switch (value.Kind()) {
      case BindingKind::Bool:
        writer_.Bool(value.GetBool());
        return;
      case BindingKind::Signed:
        writer_.Int64(value.GetSigned());
        return;
      case BindingKind::Unsigned:
        writer_.Uint64(value.GetUnsigned());
        return;
      case BindingKind::Float: {
        const double number = value.GetFloat();
        if (std::isfinite(number)) {
          writer_.Double(number);
        } else {
          writer_.Null();  // JSON has no form for NaN or infinities
        }
        return;
      }
      case BindingKind::String:
        WriteText(value.GetString());
        return;
      case BindingKind::Blob:
        WriteText(detail::EncodeBase64(value.GetBlob()));
        return;
      case BindingKind::Enum:
        WriteEnum(value.GetEnum());
        return;
      case BindingKind::Collection: {
        const std::span<const BindingProperty> elements = value.Elements();
        writer_.StartArray();
        open_.push_back({elements.data(), nullptr, elements.size(), 0, false});
        return;
      }
      case BindingKind::Structure: {
        const std::span<const BindingMember> members = value.Members();
        writer_.StartObject();
        open_.push_back({nullptr, members.data(), members.size(), 0, true});
        return;
      }
      case BindingKind::Empty:
      default:
        writer_.Null();
        return;
    }
  }

  void WriteEnum(EnumValue value) {
    if (registry_ != nullptr) {
      if (const std::optional<std::string_view> name =
              registry_->EnumName(value.typeId, value.value)) {
        WriteText(*name);
        return;
      }
    }
    writer_.Int(value.value);
  }

  Writer& writer_;
  const TypeRegistry* registry_;
  std::vector<OpenContainer> open_;
};

// Compact JSON, byte for byte what RapidJSON's Writer makes of the same tree, written by hand:
// the output position lives in a local variable while a string is copied, where a writer
// behind a stream object must store and reload it for every byte (a char store may alias it).
class CompactWriter {
 public:
  explicit CompactWriter(const TypeRegistry* registry) : registry_(registry) {}

  std::string Write(const BindingProperty& root) {
    WriteValue(root);
    while (!open_.empty()) {
      OpenContainer& frame = open_.back();
      if (frame.next == frame.count) {
        Put(frame.structure ? '}' : ']');
        open_.pop_back();
        continue;
      }
      const std::size_t index = frame.next++;
      if (index != 0) Put(',');
      if (frame.structure) {
        const BindingMember& member = frame.members[index];
        WriteText(member.Key());
        Put(':');
        WriteValue(member.Value());  // may push, invalidating `frame`
      } else {
        WriteValue(frame.elements[index]);
      }
    }
    return output_.Take();
  }

 private:
  // The escape letter of each byte ('u' for \u00XX), or 0 for bytes written as they are.
  static constexpr std::array<char, 256> kEscapes = [] {
    std::array<char, 256> escapes{};
    for (int c = 0; c < 0x20; ++c)
      escapes[static_cast<std::size_t>(c)] = 'u';
    escapes['\b'] = 'b';
    escapes['\t'] = 't';
    escapes['\n'] = 'n';
    escapes['\f'] = 'f';
    escapes['\r'] = 'r';
    escapes['"'] = '"';
    escapes['\\'] = '\\';
    return escapes;
  }();

  void Put(char c) { output_.Put(c); }
  void Put(std::string_view text) {
    char* out = output_.Room(text.size());
    std::memcpy(out, text.data(), text.size());
    output_.Advance(out + text.size());
  }

  void WriteText(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    const char* from = text.data();
    const char* const last = from + text.size();
    // Room for the text and its quotes; an escape asks for its extra room when it comes.
    char* out = output_.Room(text.size() + 2);
    *out++ = '"';
    while (from != last) {
      const auto c = static_cast<unsigned char>(*from++);
      const char escape = kEscapes[c];
      if (escape == 0) {
        *out++ = static_cast<char>(c);
        continue;
      }
      output_.Advance(out);
      out = output_.Room(static_cast<std::size_t>(last - from) + 7);
      *out++ = '\\';
      *out++ = escape;
      if (escape == 'u') {
        *out++ = '0';
        *out++ = '0';
        *out++ = kHex[c >> 4];
        *out++ = kHex[c & 15];
      }
    }
    *out++ = '"';
    output_.Advance(out);
  }

  void WriteValue(const BindingProperty& value) {
    char number[32];
    switch (value.Kind()) {
      case BindingKind::Bool:
        return Put(value.GetBool() ? std::string_view("true") : std::string_view("false"));
      case BindingKind::Signed:
        return Put({number, rapidjson::internal::i64toa(value.GetSigned(), number)});
      case BindingKind::Unsigned:
        return Put({number, rapidjson::internal::u64toa(value.GetUnsigned(), number)});
      case BindingKind::Float: {
        const double d = value.GetFloat();
        // JSON has no form for NaN or infinities.
        if (!std::isfinite(d)) return Put("null");
        return Put(
            {number, rapidjson::internal::dtoa(
                         d, number, rapidjson::Writer<StringOutput>::kDefaultMaxDecimalPlaces)});
      }
      case BindingKind::String:
        return WriteText(value.GetString());
      case BindingKind::Blob:
        return WriteText(detail::EncodeBase64(value.GetBlob()));
      case BindingKind::Enum: {
        const EnumValue enumValue = value.GetEnum();
        if (registry_ != nullptr) {
          if (const std::optional<std::string_view> name =
                  registry_->EnumName(enumValue.typeId, enumValue.value)) {
            return WriteText(*name);
          }
        }
        return Put({number, rapidjson::internal::i32toa(enumValue.value, number)});
      }
      case BindingKind::Collection: {
        const std::span<const BindingProperty> elements = value.Elements();
        Put('[');
        open_.push_back({elements.data(), nullptr, elements.size(), 0, false});
        return;
      }
      case BindingKind::Structure: {
        const std::span<const BindingMember> members = value.Members();
        Put('{');
        open_.push_back({nullptr, members.data(), members.size(), 0, true});
        return;
      }
      case BindingKind::Empty:
      default:
        return Put("null");
    }
  }

  const TypeRegistry* registry_;
  std::vector<OpenContainer> open_;
  StringOutput output_;
};

template <typename Writer>
std::string WriteWith(const BindingProperty& value, const TypeRegistry* registry) {
  StringOutput output;
  Writer writer(output);
  TreeWriter<Writer> tree(writer, registry);
  tree.Write(value);
  return output.Take();
}

}  // namespace

MaybeType<Failure, BindingProperty> ParseJson(std::string_view text) {
  MaybeType<Failure, BindingProperty> result;
  std::size_t start = 0;
  while (start < text.size() && IsJsonSpace(text[start]))
    ++start;
  if (start == text.size()) return result;  // an empty document is not an error

  rapidjson::Reader reader;
  rapidjson::MemoryStream stream(text.data(), text.size());
  JsonHandler handler(result.MutableProperty(), text, stream, MayHoldNul(text));
  const rapidjson::ParseResult parsed = reader.Parse<kReadFlags>(stream, handler);
  if (parsed.IsError()) {
    handler.Discard();
    if (handler.DepthExceeded()) {
      // The reader reports the position after the bracket or brace it had taken.
      result.SetFailure(Format(kErrorTemplate, kDepthReason, parsed.Offset() - 1));
      return result;
    }
    if (const auto at = handler.TooBigAt()) {
      result.SetFailure(Format(
          kErrorTemplate, rapidjson::GetParseError_En(rapidjson::kParseErrorNumberTooBig), *at));
      return result;
    }
    rapidjson::ParseErrorCode code = parsed.Code();
    // The reader sees a NUL byte as the end of its input; before the real end it is no value.
    if (code == rapidjson::kParseErrorDocumentEmpty) code = rapidjson::kParseErrorValueInvalid;
    result.SetFailure(Format(kErrorTemplate, rapidjson::GetParseError_En(code), parsed.Offset()));
    return result;
  }
  if (stream.Tell() < text.size()) {
    // The reader stopped at a NUL byte that is not the end of the text.
    handler.Discard();
    result.SetFailure(Format(
        kErrorTemplate, rapidjson::GetParseError_En(rapidjson::kParseErrorDocumentRootNotSingular),
        stream.Tell()));
    return result;
  }
  return result;
}

MaybeType<Failure, BindingProperty> ParseJson(const char* text) {
  return ParseJson(text ? std::string_view(text) : std::string_view());
}

std::string WriteJson(const BindingProperty& value, const TypeRegistry* registry,
                      std::string_view lineBreak) {
  if (value.IsEmpty()) return {};
  if (lineBreak.empty()) return CompactWriter(registry).Write(value);

  std::string pretty = WriteWith<rapidjson::PrettyWriter<StringOutput>>(value, registry);
  if (lineBreak == "\n") return pretty;
  std::string replaced;
  replaced.reserve(pretty.size() + pretty.size() / 8 * lineBreak.size());
  for (char c : pretty) {
    if (c == '\n') {
      replaced.append(lineBreak);
    } else {
      replaced.push_back(c);
    }
  }
  return replaced;
}

}  // namespace qor
