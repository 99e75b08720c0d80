#include "binding/json.h"

#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

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

// First pass: counts the items of every container, in the order the containers open, so that
// the builder can size each one exactly (no regrowth, no copies of members).
class ContainerCounter {
 public:
  explicit ContainerCounter(std::vector<std::uint32_t>& counts) : counts_(counts) {
    open_.reserve(32);
  }

  bool DepthExceeded() const { return depthExceeded_; }

  bool Null() { return Item(); }
  bool Bool(bool) { return Item(); }
  bool Int(int) { return Item(); }
  bool Int64(std::int64_t) { return Item(); }
  bool Uint(unsigned) { return Item(); }
  bool Uint64(std::uint64_t) { return Item(); }
  bool Double(double) { return Item(); }
  bool RawNumber(const char*, rapidjson::SizeType, bool) { return false; }
  bool String(const char*, rapidjson::SizeType, bool) { return Item(); }
  bool Key(const char*, rapidjson::SizeType, bool) { return true; }
  bool StartObject() { return Open(); }
  bool EndObject(rapidjson::SizeType) { return Close(); }
  bool StartArray() { return Open(); }
  bool EndArray(rapidjson::SizeType) { return Close(); }

 private:
  bool Item() {
    if (!open_.empty()) ++counts_[open_.back()];
    return true;
  }
  bool Open() {
    if (open_.size() == kMaxJsonDepth) {
      depthExceeded_ = true;
      return false;
    }
    Item();
    open_.push_back(counts_.size());
    counts_.push_back(0);
    return true;
  }
  bool Close() {
    open_.pop_back();
    return true;
  }

  std::vector<std::uint32_t>& counts_;
  std::vector<std::size_t> open_;
  bool depthExceeded_ = false;
};

// Receives the reader's events for text that passed the check and builds the tree in place: each
// open container is on the stack, and every value lands in the next element of the innermost
// Collection, in the member selected by the last key of the innermost Structure, or in the root.
class TreeBuilder {
 public:
  TreeBuilder(BindingProperty& root, const std::vector<std::uint32_t>& counts)
      : root_(root), counts_(counts) {
    open_.reserve(32);
  }

  bool Null() {
    Target().Clear();
    return true;
  }
  bool Bool(bool value) {
    Target().SetBool(value);
    return true;
  }
  bool Int(int value) {
    Target().SetSigned(value);
    return true;
  }
  bool Int64(std::int64_t value) {
    Target().SetSigned(value);
    return true;
  }
  bool Uint(unsigned value) {
    Target().SetUnsigned(value);
    return true;
  }
  bool Uint64(std::uint64_t value) {
    Target().SetUnsigned(value);
    return true;
  }
  bool Double(double value) {
    Target().SetFloat(value);
    return true;
  }
  // Only called with kParseNumbersAsStringsFlag, which is not used.
  bool RawNumber(const char*, rapidjson::SizeType, bool) { return false; }
  bool String(const char* text, rapidjson::SizeType length, bool) {
    Target().SetString(UpToNul(text, length));
    return true;
  }
  bool Key(const char* text, rapidjson::SizeType length, bool) {
    member_ = &open_.back().container->MutableMember(UpToNul(text, length));
    return true;
  }
  bool StartObject() { return Open(true); }
  bool EndObject(rapidjson::SizeType) {
    open_.pop_back();
    return true;
  }
  bool StartArray() { return Open(false); }
  bool EndArray(rapidjson::SizeType) {
    open_.pop_back();
    return true;
  }

 private:
  struct OpenContainer {
    BindingProperty* container;
    bool structure;
  };

  BindingProperty& Target() {
    if (open_.empty()) return root_;
    const OpenContainer& top = open_.back();
    return top.structure ? *member_ : top.container->Append();
  }

  bool Open(bool structure) {
    BindingProperty& target = Target();
    const std::size_t count = next_ < counts_.size() ? counts_[next_++] : 0;
    if (structure) {
      target.SetStructure(count);
    } else {
      target.SetCollection(count);
    }
    open_.push_back({&target, structure});
    return true;
  }

  BindingProperty& root_;
  const std::vector<std::uint32_t>& counts_;
  std::size_t next_ = 0;  // the next container's entry in `counts_`
  std::vector<OpenContainer> open_;
  BindingProperty* member_ = nullptr;  // the member chosen by the last key
};

// Drives a RapidJSON writer over a tree without recursion.
template <typename Writer>
class TreeWriter {
 public:
  TreeWriter(Writer& writer, const TypeRegistry* registry) : writer_(writer), registry_(registry) {}

  void Write(const BindingProperty& root) {
    WriteValue(root);
    while (!open_.empty()) {
      Frame& frame = open_.back();
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
  struct Frame {
    const BindingProperty* elements;
    const BindingMember* members;
    std::size_t count;
    std::size_t next;
    bool structure;
  };

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
  std::vector<Frame> open_;
};

template <typename Writer>
std::string WriteWith(const BindingProperty& value, const TypeRegistry* registry) {
  rapidjson::StringBuffer buffer;
  Writer writer(buffer);
  TreeWriter<Writer> tree(writer, registry);
  tree.Write(value);
  return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace

MaybeType<Failure, BindingProperty> ParseJson(std::string_view text) {
  MaybeType<Failure, BindingProperty> result;
  std::size_t start = 0;
  while (start < text.size() && IsJsonSpace(text[start]))
    ++start;
  if (start == text.size()) return result;  // an empty document is not an error

  // The first pass checks the text and counts each container's items; the second builds the
  // tree with every container sized exactly.
  std::vector<std::uint32_t> counts;
  rapidjson::Reader reader;
  rapidjson::MemoryStream checkStream(text.data(), text.size());
  ContainerCounter counter(counts);
  const rapidjson::ParseResult checked = reader.Parse<kReadFlags>(checkStream, counter);
  if (checked.IsError()) {
    if (counter.DepthExceeded()) {
      // The reader reports the position after the bracket or brace it had taken.
      result.SetFailure(Format(kErrorTemplate, kDepthReason, checked.Offset() - 1));
      return result;
    }
    rapidjson::ParseErrorCode code = checked.Code();
    // The reader sees a NUL byte as the end of its input; before the real end it is no value.
    if (code == rapidjson::kParseErrorDocumentEmpty) code = rapidjson::kParseErrorValueInvalid;
    result.SetFailure(Format(kErrorTemplate, rapidjson::GetParseError_En(code), checked.Offset()));
    return result;
  }
  if (checkStream.Tell() < text.size()) {
    // The reader stopped at a NUL byte that is not the end of the text.
    result.SetFailure(Format(
        kErrorTemplate, rapidjson::GetParseError_En(rapidjson::kParseErrorDocumentRootNotSingular),
        checkStream.Tell()));
    return result;
  }
  rapidjson::MemoryStream stream(text.data(), text.size());
  TreeBuilder builder(result.MutableProperty(), counts);
  reader.Parse<kReadFlags>(stream, builder);  // cannot fail on text that passed the check
  return result;
}

MaybeType<Failure, BindingProperty> ParseJson(const char* text) {
  return ParseJson(text ? std::string_view(text) : std::string_view());
}

std::string WriteJson(const BindingProperty& value, const TypeRegistry* registry,
                      std::string_view lineBreak) {
  if (value.IsEmpty()) return {};
  if (lineBreak.empty())
    return WriteWith<rapidjson::Writer<rapidjson::StringBuffer>>(value, registry);

  std::string pretty = WriteWith<rapidjson::PrettyWriter<rapidjson::StringBuffer>>(value, registry);
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
