#include "api/detail/arguments.h"

#include <cctype>
#include <unordered_map>

#include "api/route.h"
#include "foundation/format.h"

namespace qor::detail {
namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

int DigitValue(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> ParseQuery(std::string_view query) {
  std::vector<std::pair<std::string, std::string>> arguments;
  std::unordered_map<std::string, size_t> positions;
  // Every piece between "&"s counts, empty ones too (they name the argument ""); only a query
  // with no text at all has no pieces.
  for (bool more = !query.empty(); more;) {
    const size_t end = query.find('&');
    std::string_view piece = query.substr(0, end);
    more = end != std::string_view::npos;
    if (more) query.remove_prefix(end + 1);
    size_t equals = piece.find('=');
    std::string name = PercentDecode(piece.substr(0, equals));
    std::string value =
        equals == std::string_view::npos ? std::string() : PercentDecode(piece.substr(equals + 1));
    auto [at, inserted] = positions.try_emplace(name, arguments.size());
    if (inserted) {
      arguments.emplace_back(std::move(name), std::move(value));
    } else {
      arguments[at->second].second = std::move(value);
    }
  }
  return arguments;
}

MaybeType<Failure, uint64_t> ParseIndex(std::string_view component) {
  std::string_view digits = component;
  unsigned base = 10;
  if (digits.size() > 1 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.remove_prefix(2);
  } else if (digits.size() > 1 && digits[0] == '0') {
    base = 8;
    digits.remove_prefix(1);
  }
  if (digits.empty()) return Failure(Format("Index %1 is in an incorrect format", component));
  uint64_t value = 0;
  bool tooLarge = false;
  for (char c : digits) {
    unsigned digit = static_cast<unsigned>(DigitValue(c));
    if (digit >= base) return Failure(Format("Index %1 is in an incorrect format", component));
    // Keep reading after the limit is passed, so that a bad character later still reports
    // the format; stop growing the number instead.
    if (!tooLarge) {
      value = value * base + digit;
      tooLarge = value > kMaxArgumentIndex;
    }
  }
  if (tooLarge) return Failure(Format("Index %1 is out of range", component));
  return value;
}

MaybeType<Failure, BindingProperty*> WalkDottedPath(BindingProperty& root, std::string_view path,
                                                    bool rootIsCollection) {
  BindingProperty* at = &root;
  bool collection = rootIsCollection;
  while (true) {
    size_t dot = path.find('.');
    std::string_view component = path.substr(0, dot);
    if (collection || at->Kind() == BindingKind::Collection ||
        (!component.empty() && IsDigit(component.front()))) {
      MaybeType<Failure, uint64_t> index = ParseIndex(component);
      if (index.Failed()) return index.Error();
      at = &at->MutableElement(static_cast<size_t>(*index));
    } else {
      at = &at->MutableMember(component);
    }
    collection = false;
    if (dot == std::string_view::npos) return at;
    path.remove_prefix(dot + 1);
  }
}

TextEncoding SniffArgumentText(std::string_view text) {
  if (text.empty()) return TextEncoding::kPlain;
  const auto first = static_cast<unsigned char>(text.front());
  if ((first >= 0x80 && first <= 0x9F) || (first >= 0xDC && first <= 0xDF)) {
    return TextEncoding::kMessagePack;
  }
  size_t start = 0;
  while (start < text.size() && IsSpace(text[start]))
    ++start;
  std::string_view rest = text.substr(start);
  if (!rest.empty() && (rest.front() == '{' || rest.front() == '[')) return TextEncoding::kJson;
  if (rest.starts_with("---")) return TextEncoding::kYaml;
  return TextEncoding::kPlain;
}

BodyEncoding BodyEncodingOf(const char* contentType) {
  if (contentType == nullptr) return BodyEncoding::kUnsupported;
  std::string_view type = contentType;
  if (StartsWithIgnoringCase(type, "application/x-msgpack")) return BodyEncoding::kMessagePack;
  if (StartsWithIgnoringCase(type, "application/json")) return BodyEncoding::kJson;
  if (StartsWithIgnoringCase(type, "application/vnd.api+json")) return BodyEncoding::kJson;
  if (StartsWithIgnoringCase(type, "application/x-yaml")) return BodyEncoding::kYaml;
  return BodyEncoding::kUnsupported;
}

}  // namespace qor::detail
