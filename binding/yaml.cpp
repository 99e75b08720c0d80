#include "binding/yaml.h"

#include <yaml.h>

#include <locale.h>
#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "binding/detail/builder.h"
#include "binding/detail/text.h"
#include "foundation/format.h"

namespace qor {
namespace {

constexpr std::string_view kStrTag = "tag:yaml.org,2002:str";
constexpr std::string_view kIntTag = "tag:yaml.org,2002:int";
constexpr std::string_view kFloatTag = "tag:yaml.org,2002:float";
constexpr std::string_view kBoolTag = "tag:yaml.org,2002:bool";

constexpr std::string_view kIncorrectFormat =
    "Value %1 for '%2' of type %3 is in an incorrect format";
constexpr std::string_view kOutOfRange = "Value %1 for '%2' of type %3 is out of range";
constexpr std::string_view kConversionName = "yaml";

std::uint32_t Fnv1a(std::string_view text) {
  std::uint32_t hash = 2166136261u;
  for (unsigned char c : text)
    hash = (hash ^ c) * 16777619u;
  return hash;
}

std::string_view TextOf(const yaml_char_t* text) {
  return text ? std::string_view(reinterpret_cast<const char*>(text)) : std::string_view();
}

// The boolean words of YAML 1.1; nothing when `text` is none of them.
std::optional<bool> BoolWord(std::string_view text) {
  static constexpr std::string_view kTrue[] = {"true", "True", "TRUE", "y",  "Y", "yes",
                                               "Yes",  "YES",  "on",   "On", "ON"};
  static constexpr std::string_view kFalse[] = {"false", "False", "FALSE", "n",   "N",  "no",
                                                "No",    "NO",    "off",   "Off", "OFF"};
  for (std::string_view word : kTrue) {
    if (text == word) return true;
  }
  for (std::string_view word : kFalse) {
    if (text == word) return false;
  }
  return std::nullopt;
}

enum class IntegerText { No, Fits, TooBig };

// An integer written in decimal ("-12", "+7", "007") or hexadecimal ("0x1F"), read exactly so
// that integers beyond 2^53 keep every digit. TooBig when the digits do not fit 64 bits.
IntegerText ExactInteger(std::string_view text, BindingProperty& target) {
  std::size_t at = 0;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  unsigned base = 10;
  if (text.size() - at > 2 && text[at] == '0' && (text[at + 1] == 'x' || text[at + 1] == 'X')) {
    base = 16;
    at += 2;
  }
  if (at == text.size()) return IntegerText::No;
  std::uint64_t magnitude = 0;
  bool tooBig = false;
  for (; at < text.size(); ++at) {
    const char c = text[at];
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return IntegerText::No;
    }
    if (magnitude > (UINT64_MAX - digit) / base) tooBig = true;
    magnitude = magnitude * base + digit;
  }
  if (tooBig) return IntegerText::TooBig;
  if (!negative || magnitude == 0) {
    target.SetUnsigned(magnitude);
  } else if (magnitude <= std::uint64_t{1} << 63) {
    target.SetSigned(static_cast<std::int64_t>(0 - magnitude));
  } else {
    return IntegerText::TooBig;
  }
  return IntegerText::Fits;
}

// A plain scalar that reads completely as a number (decimal or hexadecimal, with fraction or
// exponent, or nan), other than positive infinity. Integral values that fit 64 bits become
// Unsigned (not negative) or Signed (negative); the rest Float.
bool PlainNumber(const std::string& text, BindingProperty& target) {
  if (text.empty()) return false;
  const IntegerText integer = ExactInteger(text, target);
  if (integer == IntegerText::Fits) return true;
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  char* end = nullptr;
  const double value = strtod_l(text.c_str(), &end, cLocale);
  if (end != text.c_str() + text.size() || value == HUGE_VAL) return false;
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (integer == IntegerText::TooBig || std::isnan(value) || std::trunc(value) != value) {
    target.SetFloat(value);
  } else if (value >= 0 && value < 2 * kTwoTo63) {
    target.SetUnsigned(static_cast<std::uint64_t>(value));
  } else if (value < 0 && value >= -kTwoTo63) {
    target.SetSigned(static_cast<std::int64_t>(value));
  } else {
    target.SetFloat(value);  // beyond 64 bits, or negative infinity
  }
  return true;
}

// The anchors of one read, numbered in the order they appear: their names in one text, their
// records in one array and an open-addressing index over the names, so that an anchor costs a
// few dozen bytes besides its value (which the reader keeps under the same number).
class AnchorTable {
 public:
  static constexpr std::uint32_t kNone = UINT32_MAX;
  struct Anchor {
    std::size_t nameStart;
    std::uint32_t nameSize;
    std::uint32_t nodes;   // nodes in the value (within the node budget)
    std::uint16_t height;  // container levels in the value (0 for a scalar)
    bool open;             // its container has not ended yet
  };

  // The number of the anchor named `name`, or kNone.
  std::uint32_t Find(std::string_view name) const {
    if (slots_.empty()) return kNone;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = Fnv1a(name) & mask;; at = (at + 1) & mask) {
      const std::uint32_t slot = slots_[at];
      if (slot == 0) return kNone;
      if (Name(slot - 1) == name) return slot - 1;
    }
  }
  // Adds an open anchor named `name` (REQUIRES: absent) and returns its number.
  std::uint32_t Add(std::string_view name) {
    if ((anchors_.size() + 1) * 2 > slots_.size()) Grow();
    const auto number = static_cast<std::uint32_t>(anchors_.size());
    anchors_.push_back({names_.size(), static_cast<std::uint32_t>(name.size()), 0, 0, true});
    names_.append(name);
    Place(number);
    return number;
  }
  Anchor& operator[](std::uint32_t number) { return anchors_[number]; }
  std::string_view Name(std::uint32_t number) const {
    const Anchor& anchor = anchors_[number];
    return std::string_view(names_).substr(anchor.nameStart, anchor.nameSize);
  }

 private:
  void Place(std::uint32_t number) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t at = Fnv1a(Name(number)) & mask;
    while (slots_[at] != 0)
      at = (at + 1) & mask;
    slots_[at] = number + 1;
  }
  void Grow() {
    slots_.assign(std::max<std::size_t>(64, slots_.size() * 2), 0);
    for (std::uint32_t number = 0; number < anchors_.size(); ++number)
      Place(number);
  }

  std::string names_;
  std::vector<Anchor> anchors_;
  std::vector<std::uint32_t> slots_;  // anchor number + 1, 0 when free; a power of two long
};

class YamlReader {
 public:
  explicit YamlReader(BindingProperty& root) : root_(root), builder_(root) {}

  // Drops the partial tree after a failure.
  void Discard() { builder_.Discard(); }

  // Reads the whole stream; on failure returns false and leaves the message in `error_`.
  bool Run(std::string_view text) {
    yaml_parser_t parser;
    if (!yaml_parser_initialize(&parser)) return Fail("YAML parser error: out of memory.");
    yaml_parser_set_encoding(&parser, YAML_UTF8_ENCODING);
    static const unsigned char kNoText[1] = {0};
    yaml_parser_set_input_string(
        &parser, text.empty() ? kNoText : reinterpret_cast<const unsigned char*>(text.data()),
        text.size());
    bool ok = true;
    bool done = false;
    while (ok && !done) {
      yaml_event_t event;
      if (!yaml_parser_parse(&parser, &event)) {
        ok = Fail(Format("YAML parser error: %1. At line: %2 col: %3",
                         parser.problem ? parser.problem : "unknown problem",
                         parser.problem_mark.line, parser.problem_mark.column));
        break;
      }
      done = event.type == YAML_STREAM_END_EVENT;
      ok = Handle(event);
      yaml_event_delete(&event);
    }
    yaml_parser_delete(&parser);
    return ok;
  }

  std::string TakeError() { return std::move(error_); }

 private:
  struct OpenContainer {
    std::uint32_t anchor;  // its number, or AnchorTable::kNone
    std::size_t nodes;     // nodes so far, the container included
    std::size_t height;    // levels so far, the container included
    bool map;
  };

  bool Fail(std::string message) {
    error_ = std::move(message);
    return false;
  }

  bool FailAt(std::string_view tmpl, const yaml_event_t& event) {
    return Fail(Format(tmpl, event.start_mark.line + 1, event.start_mark.column + 1));
  }
  bool FailAt(std::string_view tmpl, std::string_view name, const yaml_event_t& event) {
    return Fail(Format(tmpl, name, event.start_mark.line + 1, event.start_mark.column + 1));
  }

  bool ExpectsKey() const { return !open_.empty() && open_.back().map && !hasKey_; }

  // Takes the pending key of the innermost mapping, if any: the next value fills its member.
  void TakeKey() {
    if (!open_.empty() && open_.back().map) hasKey_ = false;
  }

  // The value slot for the next value: a new element of the innermost sequence, the member of
  // the pending key of the innermost mapping, or the root.
  BindingProperty& Target() {
    TakeKey();
    return builder_.Value();
  }

  // Counts a finished value of `nodes` nodes and `height` levels in its container.
  void Finished(std::size_t nodes, std::size_t height) {
    if (open_.empty()) return;
    OpenContainer& top = open_.back();
    top.nodes += nodes;
    top.height = std::max(top.height, height + 1);
  }

  bool Handle(const yaml_event_t& event) {
    switch (event.type) {
      case YAML_DOCUMENT_START_EVENT:
        if (!root_.IsEmpty()) return Fail("Multi-document YAML is not supported.");
        return true;
      case YAML_SCALAR_EVENT:
        return Scalar(event);
      case YAML_SEQUENCE_START_EVENT:
        return Start(event, false, TextOf(event.data.sequence_start.anchor));
      case YAML_MAPPING_START_EVENT:
        return Start(event, true, TextOf(event.data.mapping_start.anchor));
      case YAML_SEQUENCE_END_EVENT:
      case YAML_MAPPING_END_EVENT:
        return End(event);
      case YAML_ALIAS_EVENT:
        return Alias(event);
      default:  // stream start and end, document end, no event
        return true;
    }
  }

  bool Scalar(const yaml_event_t& event) {
    const auto& scalar = event.data.scalar;
    const std::string_view text(reinterpret_cast<const char*>(scalar.value), scalar.length);
    const std::string_view tag = TextOf(scalar.tag);
    const std::string_view anchor = TextOf(scalar.anchor);
    if (ExpectsKey()) {
      if (!tag.empty() && tag != kStrTag) {
        return FailAt(
            "Invalid mapping key. Only string scalar keys are allowed. At line: %1 col: %2", event);
      }
      builder_.Key(text);
      hasKey_ = true;
      if (anchor.empty()) return true;
      BindingProperty* slot = Record(anchor, event);
      if (slot != nullptr) slot->SetString(text);
      return slot != nullptr;
    }
    BindingProperty& target = Target();
    if (!Resolve(text, tag, scalar.style, target)) return false;
    Finished(1, 0);
    if (anchor.empty()) return true;
    BindingProperty* slot = Record(anchor, event);
    if (slot != nullptr) *slot = target;
    return slot != nullptr;
  }

  bool Resolve(std::string_view text, std::string_view tag, yaml_scalar_style_t style,
               BindingProperty& target) {
    if (tag.empty()) {
      if (style == YAML_PLAIN_SCALAR_STYLE) {
        ResolvePlain(text, target);
      } else {
        builder_.SetString(target, text);
      }
      return true;
    }
    if (tag == kStrTag) {
      builder_.SetString(target, text);
    } else if (tag == kIntTag) {
      return ResolveInteger(text, target);
    } else if (tag == kFloatTag) {
      return ResolveFloat(text, target);
    } else if (tag == kBoolTag) {
      const std::optional<bool> word = BoolWord(text);
      if (word) {
        target.SetBool(*word);
      } else {
        target.Clear();
      }
    } else {
      return Fail(Format("Unsupported YAML tag '%1'.", tag));
    }
    return true;
  }

  void ResolvePlain(std::string_view text, BindingProperty& target) {
    if (text.empty() || text == "~" || text == "null" || text == "Null" || text == "NULL") {
      target.Clear();
      return;
    }
    scratch_.assign(text);
    if (PlainNumber(scratch_, target)) return;
    if (const std::optional<bool> word = BoolWord(text)) {
      target.SetBool(*word);
      return;
    }
    builder_.SetString(target, text);
  }

  bool ResolveInteger(std::string_view text, BindingProperty& target) {
    const bool negative = !text.empty() && text.front() == '-';
    const char* type = negative ? "int64_t" : "uint64_t";
    const detail::ParsedInteger parsed = detail::ParseInteger(text);
    if (!parsed.anyDigit || parsed.consumed != text.size()) {
      return Fail(Format(kIncorrectFormat, text, kConversionName, type));
    }
    if (negative) {
      const std::optional<std::int64_t> value = detail::SignedOf(parsed);
      if (!value) return Fail(Format(kOutOfRange, text, kConversionName, type));
      target.SetSigned(*value);
    } else {
      const std::optional<std::uint64_t> value = detail::UnsignedOf(parsed);
      if (!value) return Fail(Format(kOutOfRange, text, kConversionName, type));
      target.SetUnsigned(*value);
    }
    return true;
  }

  bool ResolveFloat(std::string_view text, BindingProperty& target) {
    const detail::ParsedFloat parsed = detail::ParseFloat(text);
    if (!parsed.anyDigit || parsed.consumed != text.size()) {
      return Fail(Format(kIncorrectFormat, text, kConversionName, "double"));
    }
    if (parsed.overflow || std::isinf(parsed.value)) {
      return Fail(Format(kOutOfRange, text, kConversionName, "double"));
    }
    target.SetFloat(parsed.value);
    return true;
  }

  bool Start(const yaml_event_t& event, bool map, std::string_view anchor) {
    if (ExpectsKey()) {
      return FailAt(map ? "Unexpected start of mapping. At line: %1 col: %2"
                        : "Unexpected start of sequence. At line: %1 col: %2",
                    event);
    }
    if (open_.size() == kMaxYamlDepth) {
      return FailAt("YAML nesting exceeds 512 levels. At line: %1 col: %2", event);
    }
    std::uint32_t number = AnchorTable::kNone;
    if (!anchor.empty()) {
      if (anchors_.Find(anchor) != AnchorTable::kNone) {
        return FailAt("Duplicate occurrence of anchor \"%1\". At line: %2 col: %3", anchor, event);
      }
      number = anchors_.Add(anchor);
      store_.Append();  // filled when the container ends
    }
    TakeKey();
    if (map) {
      builder_.OpenStructure();
    } else {
      builder_.OpenCollection();
    }
    open_.push_back({number, 1, 1, map});
    return true;
  }

  bool End(const yaml_event_t& event) {
    if (open_.empty()) return true;  // libyaml pairs its events; nothing to close otherwise
    OpenContainer closed = std::move(open_.back());
    open_.pop_back();
    const BindingProperty& value = builder_.Close();
    hasKey_ = false;
    Finished(closed.nodes, closed.height);
    if (closed.anchor == AnchorTable::kNone) return true;
    if (!Charge(anchors_.Name(closed.anchor), closed.nodes, event)) return false;
    AnchorTable::Anchor& entry = anchors_[closed.anchor];
    entry.nodes = static_cast<std::uint32_t>(closed.nodes);
    entry.height = static_cast<std::uint16_t>(closed.height);
    entry.open = false;
    store_.MutableElement(closed.anchor) = value;
    return true;
  }

  // Records a new scalar anchor (one node) and returns its fresh slot in the store, for the
  // caller to fill; null after a failure.
  BindingProperty* Record(std::string_view name, const yaml_event_t& event) {
    if (anchors_.Find(name) != AnchorTable::kNone) {
      FailAt("Duplicate occurrence of anchor \"%1\". At line: %2 col: %3", name, event);
      return nullptr;
    }
    if (!Charge(name, 1, event)) return nullptr;
    AnchorTable::Anchor& entry = anchors_[anchors_.Add(name)];
    entry.nodes = 1;
    entry.open = false;
    return &store_.Append();
  }

  // Counts `nodes` nodes copied to serve aliases (anchored copies and alias copies alike)
  // and fails past the cap.
  bool Charge(std::string_view name, std::size_t nodes, const yaml_event_t& event) {
    copiedNodes_ += nodes;
    if (copiedNodes_ <= kMaxYamlAliasNodes) return true;
    return FailAt("YAML alias expansion exceeds 1000000 nodes. Alias \"%1\". At line: %2 col: %3",
                  name, event);
  }

  bool Alias(const yaml_event_t& event) {
    const std::string_view name = TextOf(event.data.alias.anchor);
    const std::uint32_t number = anchors_.Find(name);
    if (number != AnchorTable::kNone && anchors_[number].open) {
      return FailAt("Cannot deserialize cyclic aliases. Alias \"%1\". At line: %2 col: %3", name,
                    event);
    }
    if (number == AnchorTable::kNone) {
      return FailAt("Undefined alias encountered: \"%1\". At line: %2 col: %3", name, event);
    }
    const AnchorTable::Anchor& anchor = anchors_[number];
    const BindingProperty& value = store_.Element(number);
    if (ExpectsKey()) {
      // An alias used as a key must name a string.
      if (value.Kind() != BindingKind::String) {
        return FailAt(
            "Invalid mapping key. Only string scalar keys are allowed. At line: %1 col: %2", event);
      }
      builder_.Key(value.GetString());
      hasKey_ = true;
      return true;
    }
    if (open_.size() + anchor.height > kMaxYamlDepth) {
      return FailAt("YAML nesting exceeds 512 levels. At line: %1 col: %2", event);
    }
    if (!Charge(name, anchor.nodes, event)) return false;
    Target() = value;
    Finished(anchor.nodes, anchor.height);
    return true;
  }

  BindingProperty& root_;
  detail::TreeBuilder builder_;
  std::vector<OpenContainer> open_;
  bool hasKey_ = false;  // the innermost mapping has its next key

  AnchorTable anchors_;
  BindingProperty store_;  // the anchored values, a Collection indexed by anchor number
  std::size_t copiedNodes_ = 0;
  std::string scratch_;
  std::string error_;
};

}  // namespace

MaybeType<Failure, BindingProperty> ParseYaml(std::string_view text) {
  MaybeType<Failure, BindingProperty> result;
  YamlReader reader(result.MutableProperty());
  if (!reader.Run(text)) {
    reader.Discard();
    result.SetFailure(reader.TakeError());
  }
  return result;
}

MaybeType<Failure, BindingProperty> ParseYaml(const char* text) {
  return ParseYaml(text ? std::string_view(text) : std::string_view());
}

}  // namespace qor
