#include "foundation/format.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace qor {

FormatArg::FormatArg(const char* text) : type_(Type::Text), text_(text ? text : "(null)") {
  size_ = std::strlen(text_);
}

int64_t FormatArg::AsSigned() const {
  switch (type_) {
    case Type::UInt64:
      return static_cast<int64_t>(unsigned_);
    case Type::Double:
      if (std::isnan(real_)) return 0;
      if (real_ >= 9.2233720368547758e18) return INT64_MAX;
      if (real_ <= -9.2233720368547758e18) return INT64_MIN;
      return static_cast<int64_t>(real_);
    case Type::Text: {
      int64_t value = 0;
      std::from_chars(text_, text_ + size_, value);
      return value;
    }
    default:
      return signed_;
  }
}

uint64_t FormatArg::AsUnsigned() const {
  switch (type_) {
    case Type::UInt64:
      return unsigned_;
    case Type::Double:
    case Type::Text:
      return static_cast<uint64_t>(AsSigned());
    default:
      return static_cast<uint64_t>(signed_);
  }
}

double FormatArg::AsDouble() const {
  switch (type_) {
    case Type::Double:
      return real_;
    case Type::UInt64:
      return static_cast<double>(unsigned_);
    case Type::Text:
      return 0;
    default:
      return static_cast<double>(signed_);
  }
}

std::string_view FormatArg::Letters() const {
  switch (type_) {
    case Type::Bool:
    case Type::Int32:
    case Type::Int64:
      return "dciouxX";
    case Type::UInt64:
      return "ucdioxX";
    case Type::Char:
      return "cdiouxX";
    case Type::Double:
      return "gaefGAEF";
    case Type::Text:
      return "s";
  }
  return "s";
}

namespace {

// Longest '%' specification, the '%' included; a longer one ends formatting.
constexpr size_t kMaxSpec = 60;
// Widths and precisions above this end formatting: no message needs them, and they would let
// a template grow its output without bound.
constexpr int kMaxWidth = 4096;

bool IsContinuation(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}
bool IsLead(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0xC0;
}

// Where formatted text goes: a fixed buffer that cuts, or a growing text.
class Output {
 public:
  Output(char* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}
  explicit Output(std::string* text) : text_(text) {}

  // Appends the piece; false when it had to be cut (formatting stops then).
  bool Append(std::string_view piece) {
    if (text_ != nullptr) {
      text_->append(piece);
      return true;
    }
    if (full_) return false;
    const size_t room = capacity_ - length_;
    if (piece.size() <= room) {
      std::memcpy(buffer_ + length_, piece.data(), piece.size());
      length_ += piece.size();
      return true;
    }
    std::memcpy(buffer_ + length_, piece.data(), room);
    length_ += room;
    full_ = true;
    // Never leave half a UTF-8 sequence at the cut.
    if (IsContinuation(piece[room])) {
      size_t end = length_;
      int steps = 0;
      while (end > 0 && steps < 3 && IsContinuation(buffer_[end - 1])) {
        --end;
        ++steps;
      }
      if (end > 0 && IsLead(buffer_[end - 1])) length_ = end - 1;
    }
    return false;
  }

  bool AppendFill(char c, size_t count) {
    char chunk[64];
    std::memset(chunk, c, sizeof chunk);
    while (count > 0) {
      const size_t n = std::min(count, sizeof chunk);
      if (!Append({chunk, n})) return false;
      count -= n;
    }
    return true;
  }

  size_t length() const { return length_; }

 private:
  char* buffer_ = nullptr;
  size_t capacity_ = 0;
  size_t length_ = 0;
  bool full_ = false;
  std::string* text_ = nullptr;
};

// A collected conversion specification.
struct Spec {
  char flags[8] = {};  // each of "-+ #0" at most once
  int width = 0;
  int precision = -1;   // -1: none
  char length[3] = {};  // "h", "hh" or nothing; other modifiers are replaced by the argument's
  char letter = 0;      // 0: the converter's default (the bare "%N" form)
};

void AddFlag(Spec& spec, char flag) {
  if (std::strchr(spec.flags, flag) == nullptr) {
    const size_t n = std::strlen(spec.flags);
    spec.flags[n] = flag;
  }
}

// The arguments and the running index of the next one in order.
struct ArgList {
  std::span<const FormatArg> args;
  size_t next = 0;

  const FormatArg* TakeNext() { return next < args.size() ? &args[next++] : nullptr; }
};

int ClampToInt(int64_t value) {
  return static_cast<int>(std::clamp<int64_t>(value, INT_MIN + 1, INT_MAX));
}

// Parses digits at `pos` into a saturated int.
int ReadNumber(std::string_view text, size_t& pos) {
  int64_t value = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    value = std::min<int64_t>(value * 10 + (text[pos] - '0'), INT_MAX);
    ++pos;
  }
  return static_cast<int>(value);
}

// Reads the part of a specification after the argument selection: flags, width, precision,
// length modifier and letter. Returns false when the specification is malformed, too long, or
// needs an argument beyond the list.
bool ReadConversion(std::string_view text, size_t& pos, size_t start, ArgList& list, Spec& spec) {
  auto at = [&](size_t i) { return i < text.size() ? text[i] : '\0'; };
  while (at(pos) != '\0' && std::strchr("-+ #0", at(pos)) != nullptr)
    AddFlag(spec, text[pos++]);
  if (at(pos) == '*') {
    ++pos;
    const FormatArg* arg = list.TakeNext();
    if (arg == nullptr) return false;
    int width = ClampToInt(arg->AsSigned());
    if (width < 0) {
      AddFlag(spec, '-');
      width = -width;
    }
    spec.width = width;
  } else {
    spec.width = ReadNumber(text, pos);
  }
  if (at(pos) == '.') {
    ++pos;
    if (at(pos) == '*') {
      ++pos;
      const FormatArg* arg = list.TakeNext();
      if (arg == nullptr) return false;
      const int precision = ClampToInt(arg->AsSigned());
      spec.precision = precision < 0 ? -1 : precision;
    } else {
      spec.precision = ReadNumber(text, pos);
    }
  }
  const char modifier = at(pos);
  if (modifier == 'L' || modifier == 'j' || modifier == 't' || modifier == 'z') {
    ++pos;
  } else if (modifier == 'h' || modifier == 'l') {
    ++pos;
    const bool twice = at(pos) == modifier;
    if (twice) ++pos;
    if (modifier == 'h') {
      spec.length[0] = 'h';
      if (twice) spec.length[1] = 'h';
    }
  }
  const char letter = at(pos);
  if (!((letter >= 'a' && letter <= 'z') || (letter >= 'A' && letter <= 'Z'))) return false;
  ++pos;
  spec.letter = letter;
  if (pos - start > kMaxSpec) return false;
  return spec.width <= kMaxWidth && spec.precision <= kMaxWidth;
}

// Keeps the flags that are defined for the letter.
void FilterFlags(Spec& spec, const char* allowed) {
  char kept[8] = {};
  size_t n = 0;
  for (const char* f = spec.flags; *f != '\0'; ++f) {
    if (std::strchr(allowed, *f) != nullptr) kept[n++] = *f;
  }
  std::memcpy(spec.flags, kept, sizeof kept);
}

// Writes one argument with its (completed) specification.
bool WriteArgument(Output& out, const FormatArg& arg, Spec spec) {
  const std::string_view letters = arg.Letters();
  if (spec.letter == 'n') return true;  // never writes
  if (spec.letter == 0 || letters.find(spec.letter) == std::string_view::npos) {
    spec.letter = letters[0];
  }
  const char letter = spec.letter;

  if (letter == 's') {
    std::string_view text = arg.AsText();
    if (spec.precision >= 0 && static_cast<size_t>(spec.precision) < text.size()) {
      text = text.substr(0, static_cast<size_t>(spec.precision));
    }
    const size_t pad = static_cast<size_t>(spec.width) > text.size() ? spec.width - text.size() : 0;
    const bool left = std::strchr(spec.flags, '-') != nullptr;
    if (!left && !out.AppendFill(' ', pad)) return false;
    if (!out.Append(text)) return false;
    return !left || out.AppendFill(' ', pad);
  }

  // The C format is rebuilt from the checked parts, with the length modifier and the value
  // type that belong to the argument, so snprintf always reads what it is given.
  char format[24] = "%";
  const bool isFloat = arg.type() == FormatArg::Type::Double;
  if (isFloat) {
    spec.length[0] = 0;
  } else if (letter == 'c') {
    FilterFlags(spec, "-");
    spec.precision = -1;
    spec.length[0] = 0;
  } else if (letter == 'd' || letter == 'i') {
    FilterFlags(spec, "-+ 0");
  } else {
    FilterFlags(spec, "-#0");
  }
  std::strcat(format, spec.flags);
  std::strcat(format, spec.precision >= 0 ? "*.*" : "*");
  const bool shortLength = spec.length[0] == 'h';
  const bool wide = !isFloat && letter != 'c' && !shortLength &&
                    (arg.type() == FormatArg::Type::Int64 || arg.type() == FormatArg::Type::UInt64);
  if (shortLength) std::strcat(format, spec.length);
  if (wide) std::strcat(format, "ll");
  const size_t end = std::strlen(format);
  format[end] = letter;
  format[end + 1] = '\0';

  char buffer[kMaxWidth * 2 + 512];
  const bool isSigned = letter == 'd' || letter == 'i';
  int n = 0;
  auto print = [&](auto value) {
    if (spec.precision >= 0) {
      return std::snprintf(buffer, sizeof buffer, format, spec.width, spec.precision, value);
    }
    return std::snprintf(buffer, sizeof buffer, format, spec.width, value);
  };
  if (isFloat) {
    n = print(arg.AsDouble());
  } else if (letter == 'c') {
    n = print(static_cast<int>(static_cast<unsigned char>(arg.AsSigned())));
  } else if (wide) {
    n = isSigned ? print(static_cast<long long>(arg.AsSigned()))
                 : print(static_cast<unsigned long long>(arg.AsUnsigned()));
  } else {
    n = isSigned ? print(static_cast<int>(arg.AsSigned()))
                 : print(static_cast<unsigned>(arg.AsUnsigned()));
  }
  if (n < 0) return false;
  return out.Append({buffer, std::min(static_cast<size_t>(n), sizeof buffer - 1)});
}

// Handles the '%' specification that starts at `pos` (on the '%'). Returns false when
// formatting must stop.
bool HandlePercent(Output& out, std::string_view text, size_t& pos, ArgList& list) {
  const size_t start = pos;
  ++pos;
  if (pos < text.size() && text[pos] == '%') {
    ++pos;
    return out.Append("%");
  }
  const FormatArg* selected = nullptr;
  Spec spec;
  if (pos < text.size() && text[pos] >= '1' && text[pos] <= '9') {
    const int number = ReadNumber(text, pos);
    if (pos - start > kMaxSpec) return false;
    if (static_cast<size_t>(number) > list.args.size()) return false;
    selected = &list.args[static_cast<size_t>(number) - 1];
    if (pos < text.size() && text[pos] == '$') {
      ++pos;
      if (!ReadConversion(text, pos, start, list, spec)) return false;
    }
  } else {
    if (!ReadConversion(text, pos, start, list, spec)) return false;
    selected = list.TakeNext();
    if (selected == nullptr) return false;
  }
  return WriteArgument(out, *selected, spec);
}

void RunPositional(Output& out, std::string_view tmpl, std::span<const FormatArg> args) {
  ArgList list{args};
  size_t pos = 0;
  while (pos < tmpl.size()) {
    const size_t percent = tmpl.find('%', pos);
    const size_t stop = percent == std::string_view::npos ? tmpl.size() : percent;
    if (!out.Append(tmpl.substr(pos, stop - pos))) return;
    pos = stop;
    if (pos < tmpl.size() && !HandlePercent(out, tmpl, pos, list)) return;
  }
}

// ---- Named-template filler ----

struct Placeholder {
  bool typed = false;
  bool unrecorded = false;  // "!"
  std::string name;
  std::string spec;
  std::string conversion;
  std::string alternative;
  bool hasSpec = false;
  bool hasAlternative = false;
};

// Reads a placeholder starting after its '{'. Returns false when it is not closed.
bool ReadPlaceholder(std::string_view text, size_t& pos, Placeholder& holder) {
  if (pos < text.size() && text[pos] == '#') {
    holder.typed = true;
    ++pos;
  }
  std::string* part = &holder.name;
  while (pos < text.size()) {
    const char c = text[pos++];
    switch (c) {
      case '}':
        return true;
      case '\\':
        if (pos < text.size()) part->push_back(text[pos++]);
        break;
      case ':':
        holder.hasSpec = true;
        part = &holder.spec;
        part->clear();
        break;
      case '?':
        holder.hasAlternative = true;
        part = &holder.alternative;
        part->clear();
        break;
      case '@':
        part = &holder.conversion;
        part->clear();
        break;
      case '!':
        holder.unrecorded = true;
        break;
      default:
        part->push_back(c);
    }
  }
  return false;
}

bool IsEmptyValue(const FormatArg& arg) {
  switch (arg.type()) {
    case FormatArg::Type::Double: {
      const double value = arg.AsDouble();
      return value == 0 || std::isnan(value);
    }
    case FormatArg::Type::Text:
      return arg.AsText().empty();
    default:
      return arg.AsUnsigned() == 0;
  }
}

bool IsInteger(FormatArg::Type type) {
  return type == FormatArg::Type::Int32 || type == FormatArg::Type::Int64 ||
         type == FormatArg::Type::UInt64;
}

NamedField::Kind KindOf(FormatArg::Type type) {
  switch (type) {
    case FormatArg::Type::Bool:
      return NamedField::Kind::Bool;
    case FormatArg::Type::Int32:
    case FormatArg::Type::Int64:
    case FormatArg::Type::UInt64:
      return NamedField::Kind::Integer;
    case FormatArg::Type::Double:
      return NamedField::Kind::Float;
    default:
      return NamedField::Kind::Text;
  }
}

std::string_view KindSuffix(NamedField::Kind kind) {
  switch (kind) {
    case NamedField::Kind::Bool:
      return "_bool";
    case NamedField::Kind::Integer:
      return "_int";
    case NamedField::Kind::Float:
      return "_float";
    case NamedField::Kind::Text:
      return "_str";
  }
  return "_str";
}

bool HasTypeSuffix(std::string_view name) {
  for (std::string_view suffix : {"_bool", "_int", "_long", "_float", "_str", "_time", "_ip"}) {
    if (name.ends_with(suffix)) return true;
  }
  return false;
}

// The "str" conversion: the value as text.
std::string AsPlainText(const FormatArg& arg) {
  switch (arg.type()) {
    case FormatArg::Type::Bool:
      return arg.AsSigned() != 0 ? "true" : "false";
    case FormatArg::Type::Char:
      return std::string(1, static_cast<char>(arg.AsSigned()));
    case FormatArg::Type::Int32:
    case FormatArg::Type::Int64:
      return std::to_string(arg.AsSigned());
    case FormatArg::Type::UInt64:
      return std::to_string(arg.AsUnsigned());
    case FormatArg::Type::Double: {
      std::string text;
      Output out(&text);
      Spec spec;
      spec.letter = 'f';
      WriteArgument(out, arg, spec);
      return text;
    }
    case FormatArg::Type::Text:
      return std::string(arg.AsText());
  }
  return {};
}

// Writes a placeholder's value and records its field. Returns false when formatting must stop.
bool FillPlaceholder(Output& out, const Placeholder& holder, const FormatArg& original,
                     ArgList& list, std::vector<NamedField>& fields) {
  if (holder.hasAlternative && IsEmptyValue(original)) return out.Append(holder.alternative);

  std::string converted;
  FormatArg value = original;
  std::string specText = holder.spec;
  bool hasSpec = holder.hasSpec;
  if (holder.conversion == "str") {
    converted = AsPlainText(original);
    value = FormatArg(converted);
  } else if (holder.conversion == "hex" && IsInteger(original.type())) {
    specText = "016llX";
    hasSpec = true;
  }

  Spec spec;
  if (hasSpec) {
    size_t pos = 0;
    if (!ReadConversion(specText, pos, 0, list, spec) || pos != specText.size()) return false;
  }
  if (!WriteArgument(out, value, spec)) return false;

  if (holder.name.empty() || holder.unrecorded) return true;
  NamedField field;
  field.kind = KindOf(value.type());
  field.name = holder.name;
  if (holder.typed && !HasTypeSuffix(field.name)) field.name += KindSuffix(field.kind);
  switch (field.kind) {
    case NamedField::Kind::Bool:
      field.boolean = value.AsSigned() != 0;
      break;
    case NamedField::Kind::Integer:
      field.integer = value.AsSigned();
      break;
    case NamedField::Kind::Float:
      field.real = value.AsDouble();
      break;
    case NamedField::Kind::Text:
      field.text =
          value.type() == FormatArg::Type::Char ? AsPlainText(value) : std::string(value.AsText());
      break;
  }
  fields.push_back(std::move(field));
  return true;
}

void RunNamed(Output& out, std::string_view tmpl, std::span<const FormatArg> args,
              std::vector<NamedField>& fields) {
  ArgList list{args};
  size_t pos = 0;
  while (pos < tmpl.size()) {
    const size_t special = tmpl.find_first_of("{}%", pos);
    const size_t stop = special == std::string_view::npos ? tmpl.size() : special;
    if (!out.Append(tmpl.substr(pos, stop - pos))) return;
    pos = stop;
    if (pos >= tmpl.size()) return;
    const char c = tmpl[pos];
    if (c == '%') {
      if (!HandlePercent(out, tmpl, pos, list)) return;
      continue;
    }
    if (pos + 1 < tmpl.size() && tmpl[pos + 1] == c) {  // "{{" or "}}"
      if (!out.Append(tmpl.substr(pos, 1))) return;
      pos += 2;
      continue;
    }
    if (c == '}') {  // a lone closing brace is plain text
      if (!out.Append("}")) return;
      ++pos;
      continue;
    }
    ++pos;
    Placeholder holder;
    if (!ReadPlaceholder(tmpl, pos, holder)) return;
    const FormatArg* arg = list.TakeNext();
    if (arg == nullptr) continue;  // beyond the arguments: stays empty
    if (!FillPlaceholder(out, holder, *arg, list, fields)) return;
  }
}

}  // namespace

size_t FormatTo(char* out, size_t size, std::string_view tmpl, std::span<const FormatArg> args) {
  if (out == nullptr || size == 0) return 0;
  Output output(out, size - 1);
  RunPositional(output, tmpl, args);
  out[output.length()] = '\0';
  return output.length();
}

std::string FormatV(std::string_view tmpl, std::span<const FormatArg> args) {
  std::string text;
  text.reserve(tmpl.size() + 16 * args.size());
  Output output(&text);
  RunPositional(output, tmpl, args);
  return text;
}

NamedText FillNamedV(std::string_view tmpl, std::span<const FormatArg> args) {
  NamedText result;
  Output output(&result.text);
  RunNamed(output, tmpl, args, result.fields);
  return result;
}

}  // namespace qor
