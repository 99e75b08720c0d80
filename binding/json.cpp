#include "binding/json.h"

#include <rapidjson/error/en.h>
#include <rapidjson/internal/dtoa.h>
#include <rapidjson/internal/itoa.h>
#include <rapidjson/reader.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "binding/detail/builder.h"
#include "binding/detail/text.h"
#include "binding/registry.h"
#include "foundation/format.h"

namespace qor {
namespace {

// The reader reads the text where it stands and decodes strings in RapidJSON's in-situ mode,
// through JsonInput below: a string without escapes is never copied (the tree interns it from
// the text), and only a string with escapes is decoded, into a spare buffer.

// RapidJSON's in-situ stream concept over a read-only text. The reader takes no local copy of
// it (StreamTraits keeps copyOptimization off), so the handler sees its true position while a
// number is read. Past the end, and at a NUL byte, it reads '\0', where the reader stops.
//
// Between PutBegin() and PutEnd() a string is put: `dst_` counts its decoded bytes from
// `begin_` as if they were written in place. While the string has had no escape its bytes are
// the text's own and nothing is written; its first escape copies the plain start to `out_` in
// the spare buffer, where the rest of it is written.
class JsonInput {
 public:
  using Ch = char;
  JsonInput(std::string_view text, char* spare) noexcept
      : src_(text.data()), end_(text.data() + text.size()), head_(text.data()), spare_(spare) {}

  Ch Peek() const noexcept { return src_ != end_ ? *src_ : '\0'; }
  Ch Take() noexcept { return src_ != end_ ? *src_++ : '\0'; }
  std::size_t Tell() const noexcept { return static_cast<std::size_t>(src_ - head_); }

  Ch* PutBegin() noexcept {
    nulsPut_ = 0;
    out_ = nullptr;
    begin_ = dst_ = const_cast<char*>(src_);  // never written through
    return begin_;
  }
  // The reader puts what an escape decodes to, and the NUL that ends the string right after
  // taking its closing quote (an escape never ends with a quote and then puts a NUL).
  void Put(Ch c) noexcept {
    if (c == '\0') {
      ++nulsPut_;
      if (out_ == nullptr && src_[-1] == '"') {
        ++dst_;  // the end of a plain string
        return;
      }
    }
    if (out_ == nullptr) {
      out_ = spare_;
      std::memcpy(out_, begin_, Decoded());
    }
    out_[Decoded()] = c;
    ++dst_;
  }
  std::size_t PutEnd(Ch* begin) noexcept {
    if (out_ != nullptr) spare_ += Decoded();  // the decoded string stays where it is
    return static_cast<std::size_t>(dst_ - begin);
  }
  void Flush() noexcept {}

  // A run of `length` plain bytes at src_, which the string continues with.
  void TakePlain(std::size_t length) noexcept {
    if (out_ != nullptr) std::memcpy(out_ + Decoded(), src_, length);
    src_ += length;
    dst_ += length;
  }
  const char* Position() const noexcept { return src_; }
  const char* End() const noexcept { return end_; }
  // The string just put: its text, or its decoded copy when it had an escape.
  const char* StringData(const char* begin) const noexcept { return out_ ? out_ : begin; }
  // Whether that string holds a NUL of its own (more than its end was put).
  bool StringHoldsNul() const noexcept { return nulsPut_ > 1; }

 private:
  std::size_t Decoded() const noexcept { return static_cast<std::size_t>(dst_ - begin_); }

  const char* src_;
  const char* const end_;
  const char* const head_;
  char* spare_;  // where the next decoded string goes
  char* begin_ = nullptr;
  char* dst_ = nullptr;
  char* out_ = nullptr;
  unsigned nulsPut_ = 0;
};

// The first byte in [at, end) that ends a run of plain string bytes: a quote, a reverse solidus
// or a control character; `end` when there is none.
const char* PlainRunEnd(const char* at, const char* end) noexcept {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i solidus = _mm_set1_epi8('\\');
  const __m128i control = _mm_set1_epi8(0x1F);
  for (; end - at >= 16; at += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128i stops =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, solidus)),
                     _mm_cmpeq_epi8(_mm_max_epu8(bytes, control), control));
    if (const int mask = _mm_movemask_epi8(stops); mask != 0) return at + __builtin_ctz(mask);
  }
#endif
  while (at != end && *at != '"' && *at != '\\' && static_cast<unsigned char>(*at) >= 0x20)
    ++at;
  return at;
}

}  // namespace
}  // namespace qor

namespace rapidjson {

// The reader calls this before every character of a string it decodes: it takes the run of
// plain bytes ahead at once.
template <>
template <>
inline void GenericReader<UTF8<>, UTF8<>, CrtAllocator>::ScanCopyUnescapedString(
    qor::JsonInput& in, qor::JsonInput& /*out, the same stream*/) {
  in.TakePlain(static_cast<std::size_t>(qor::PlainRunEnd(in.Position(), in.End()) - in.Position()));
}

}  // namespace rapidjson

namespace qor {
namespace {

// RapidJSON's default reader, in place. Its full-precision number mode is not used: on a long
// fraction with a tiny exponent ("0.000...03e-300") that mode reads out of bounds and crashes, and
// any request body can carry such a number.
constexpr unsigned kReadFlags = rapidjson::kParseDefaultFlags | rapidjson::kParseInsituFlag;

// Documents the system reads (catalogs, records) hold about one distinct text per 128 bytes.
constexpr std::size_t kTextBytesPerDistinctText = 128;

constexpr std::string_view kErrorTemplate = "Error: %1 at offset %2.";
constexpr std::string_view kDepthReason = "The document exceeds the maximum nesting depth of 512.";

bool IsNumberByte(char c) {
  return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E';
}

bool IsJsonSpace(char c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

// Found by the reader's unqualified call for this stream: most values and separators follow
// no white space at all, which one comparison tells.
inline void SkipWhitespace(JsonInput& in) noexcept {
  while (in.Position() != in.End() && IsJsonSpace(*in.Position()))
    in.Take();
}

// The text of a JSON string up to its first NUL.
std::string_view UpToNul(const char* text, rapidjson::SizeType length) {
  const void* nul = std::memchr(text, '\0', length);
  return {text, nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - text) : length};
}

// Receives the reader's events and builds the tree in one pass: every value lands in the next
// element of the innermost Collection, in the member named by the last key of the innermost
// Structure, or in the root; each container is sized exactly when it closes.
class JsonHandler {
 public:
  JsonHandler(BindingProperty& root, std::string_view text, const JsonInput& stream)
      : builder_(root), text_(text), stream_(stream) {
    builder_.ExpectTexts(text.size() / kTextBytesPerDistinctText);
  }

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
    builder_.StringValue(Text(text, length));
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
    text = stream_.StringData(text);
    return stream_.StringHoldsNul() ? UpToNul(text, length) : std::string_view(text, length);
  }
  // The reader's default number mode can be a unit in the last place off on long fractions,
  // and then a written Float would not read back to itself; its full-precision mode reads out
  // of bounds on some inputs. So the number's text, which ends where the reader stands now
  // (numbers are never preceded by a number character), is read again, correctly rounded.
  // Texts from_chars refuses (a value below the smallest double) keep the reader's value.
  const char* NumberStart() const {
    const char* begin = text_.data() + stream_.Tell();
    while (begin != text_.data() && IsNumberByte(begin[-1]))
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
  const JsonInput& stream_;
  bool depthExceeded_ = false;
  std::optional<std::size_t> tooBigAt_;
};

// Compact JSON, byte for byte what RapidJSON's Writer makes of the same tree, written by hand
// into the std::string that WriteJson returns. The output position lives in a local variable
// while a string is copied, where a writer behind a stream object must store and reload it for
// every byte (a char store may alias it). The tree is walked without recursion.
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
    text_.resize(static_cast<std::size_t>(cursor_ - text_.data()));
    return std::move(text_);
  }

 private:
  // A Collection or Structure being written: its elements or members, and the next to write.
  struct OpenContainer {
    const BindingProperty* elements;
    const BindingMember* members;
    std::size_t count;
    std::size_t next;
    bool structure;
  };

  // RapidJSON's Writer writes a double with as many decimals as it needs.
  static constexpr int kMaxDecimalPlaces = 324;

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

  // Room for `count` bytes from the position returned; Advance then marks where they end.
  char* Room(std::size_t count) {
    if (static_cast<std::size_t>(end_ - cursor_) < count) Grow(count);
    return cursor_;
  }
  void Advance(char* to) { cursor_ = to; }
  void Grow(std::size_t count) {
    const std::size_t used = static_cast<std::size_t>(cursor_ - text_.data());
    text_.resize(std::max({text_.size() * 2, used + count, std::size_t{256}}));
    cursor_ = text_.data() + used;
    end_ = text_.data() + text_.size();
  }
  void Put(char c) {
    *Room(1) = c;
    ++cursor_;
  }
  void Put(std::string_view text) {
    char* out = Room(text.size());
    std::memcpy(out, text.data(), text.size());
    Advance(out + text.size());
  }

  void WriteText(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    const char* from = text.data();
    const char* const last = from + text.size();
    // Room for the text and its quotes; an escape asks for its extra room when it comes.
    char* out = Room(text.size() + 2);
    *out++ = '"';
    while (from != last) {
      const auto c = static_cast<unsigned char>(*from++);
      const char escape = kEscapes[c];
      if (escape == 0) {
        *out++ = static_cast<char>(c);
        continue;
      }
      Advance(out);
      out = Room(static_cast<std::size_t>(last - from) + 7);
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
    Advance(out);
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
        return Put({number, rapidjson::internal::dtoa(d, number, kMaxDecimalPlaces)});
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
  std::string text_;
  char* cursor_ = text_.data();
  char* end_ = text_.data();
};

// The indented form of compact JSON text: four spaces per level, a line break after every
// opening bracket and comma and before every closing bracket, a space after every colon, and
// empty containers kept on one line (the layout of RapidJSON's PrettyWriter).
std::string Indented(std::string_view compact, std::string_view lineBreak) {
  std::string out;
  out.reserve(compact.size() + compact.size() / 2);
  std::size_t depth = 0;
  bool inString = false, escaped = false;
  auto breakLine = [&] {
    out.append(lineBreak);
    out.append(depth * 4, ' ');
  };
  for (std::size_t i = 0; i < compact.size(); ++i) {
    const char c = compact[i];
    out += c;
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        inString = true;
        break;
      case '[':
      case '{':
        if (i + 1 < compact.size() && (compact[i + 1] == ']' || compact[i + 1] == '}')) {
          out += compact[++i];
        } else {
          ++depth;
          breakLine();
        }
        break;
      case ']':
      case '}':
        out.pop_back();
        --depth;
        breakLine();
        out += c;
        break;
      case ',':
        breakLine();
        break;
      case ':':
        out += ' ';
        break;
      default:
        break;
    }
  }
  return out;
}

}  // namespace

MaybeType<Failure, BindingProperty> ParseJson(std::string_view text) {
  MaybeType<Failure, BindingProperty> result;
  std::size_t start = 0;
  while (start < text.size() && IsJsonSpace(text[start]))
    ++start;
  if (start == text.size()) return result;  // an empty document is not an error

  // Decoded strings are never longer than their source, quotes included: the spare buffer
  // holds all of them with their ends. It is only written where strings have escapes.
  const std::unique_ptr<char[]> spare(new char[text.size()]);
  rapidjson::Reader reader;
  JsonInput stream(text, spare.get());
  JsonHandler handler(result.MutableProperty(), text, stream);
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
  std::string compact = CompactWriter(registry).Write(value);
  if (lineBreak.empty()) return compact;
  return Indented(compact, lineBreak);
}

}  // namespace qor
