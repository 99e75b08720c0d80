#include "api/route.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace qor {
namespace {

constexpr std::string_view kMethodNames[] = {"",        "DELETE", "GET",  "HEAD",
                                             "OPTIONS", "PATCH",  "POST", "PUT"};

constexpr uint32_t kInvokeMethod = 8;

bool IsRegexSpecial(char c) {
  return std::strchr("^$.*+?()[]|\\", c) != nullptr && c != '\0';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

char UpperAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string CamelCase(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool capitalise = true;
  for (char c : text) {
    switch (c) {
      case '!':
      case '+':
      case '-':
      case '.':
      case '/':
      case '_':
        capitalise = true;
        break;
      case '{':
        out += "By";
        capitalise = true;
        break;
      case '}':
        break;
      default:
        out += capitalise ? UpperAscii(c) : c;
        capitalise = false;
        break;
    }
  }
  return out;
}

// Positions from which the remaining pieces can match the rest of the path, one flag per
// path position (0 to path length inclusive).
using Reachable = std::vector<bool>;

}  // namespace

std::string_view MethodName(uint32_t method) {
  return method < std::size(kMethodNames) ? kMethodNames[method] : std::string_view();
}

std::string FunctionName(uint32_t method, std::string_view pathTemplate) {
  std::string text;
  std::string_view name = MethodName(method);
  if (!name.empty()) {
    text += name.front();
    for (char c : name.substr(1))
      text += LowerAscii(c);
    text += '/';
  }
  text += pathTemplate;
  return CamelCase(text);
}

std::string TypeNamePrefix(std::string_view shortName) {
  return CamelCase(shortName);
}

std::string PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c != '%') {
      out += c;
    } else if (i + 2 >= text.size()) {
      // A "%" among the last two characters has no escape to finish: it is dropped and
      // whatever follows it is copied.
    } else {
      int high = HexValue(text[i + 1]);
      int low = HexValue(text[i + 2]);
      if (high < 0 || low < 0) {
        // "%" followed by two characters that are not both hexadecimal digits is not an
        // escape: the "%" is kept as it stands and the next characters are read normally.
        out += '%';
      } else {
        out += static_cast<char>(high * 16 + low);
        i += 2;
      }
    }
  }
  return out;
}

Route::Route(std::string_view pathTemplate, uint32_t method, std::string_view invocationName)
    : template_(pathTemplate), method_(method) {
  if (template_.size() > 1 && template_.back() == '/') template_.pop_back();
  if (method_ == kInvokeMethod) invocationName_ = invocationName;

  literal_ = template_.find('{') == std::string::npos;
  if (literal_) return;

  std::string literalText;
  auto flushLiteral = [&] {
    if (!literalText.empty()) pieces_.push_back({PieceKind::kLiteral, std::move(literalText)});
    literalText.clear();
  };
  bool inCapture = false;
  Capture capture{CaptureKind::kSegment, {}};
  for (char c : template_) {
    if (!inCapture) {
      if (c == '{') {
        inCapture = true;
        capture = {CaptureKind::kSegment, {}};
        continue;
      }
      if (IsRegexSpecial(c)) pattern_ += '\\';
      pattern_ += c;
      literalText += c;
      continue;
    }
    if (c == '}') {
      inCapture = false;
      flushLiteral();
      switch (capture.kind) {
        case CaptureKind::kSegment:
          pattern_ += "([^/]*)";
          pieces_.push_back({PieceKind::kSegment, {}});
          break;
        case CaptureKind::kRest:
          pattern_ += "(.*)";
          pieces_.push_back({PieceKind::kRest, {}});
          break;
        case CaptureKind::kFragment:
          pattern_ += "#(.*)";
          pieces_.push_back({PieceKind::kFragment, {}});
          break;
      }
      captures_.push_back(std::move(capture));
      capture = {CaptureKind::kSegment, {}};
    } else if (capture.name.empty() && c == '+') {
      capture.kind = CaptureKind::kRest;
    } else if (capture.name.empty() && c == '#') {
      capture.kind = CaptureKind::kFragment;
    } else {
      capture.name += c;
    }
  }
  flushLiteral();
}

bool Route::Match(std::string_view path, ArgumentMap& arguments) const {
  if (literal_) return path == template_;

  // Work backwards first: reachable[i][p] says whether pieces i.. can match path[p..]. Then
  // walk forwards, giving each capture the longest text after which the rest still fits —
  // the split a greedy backtracking matcher settles on, found without recursion.
  const size_t n = path.size();
  const size_t count = pieces_.size();
  std::vector<Reachable> reachable(count + 1, Reachable(n + 1, false));
  reachable[count][n] = true;
  for (size_t i = count; i-- > 0;) {
    const Reachable& next = reachable[i + 1];
    Reachable& here = reachable[i];
    const Piece& piece = pieces_[i];
    switch (piece.kind) {
      case PieceKind::kLiteral: {
        const size_t length = piece.literal.size();
        for (size_t p = 0; p + length <= n; ++p) {
          here[p] = next[p + length] && path.compare(p, length, piece.literal) == 0;
        }
        break;
      }
      case PieceKind::kSegment: {
        here[n] = next[n];
        for (size_t p = n; p-- > 0;)
          here[p] = next[p] || (path[p] != '/' && here[p + 1]);
        break;
      }
      case PieceKind::kRest:
      case PieceKind::kFragment: {
        // First the "(.*)" part: any suffix start from which the rest fits.
        bool any = next[n];
        Reachable rest(n + 1, false);
        rest[n] = any;
        for (size_t p = n; p-- > 0;) {
          any = any || next[p];
          rest[p] = any;
        }
        if (piece.kind == PieceKind::kRest) {
          here = std::move(rest);
        } else {
          for (size_t p = 0; p < n; ++p)
            here[p] = path[p] == '#' && rest[p + 1];
        }
        break;
      }
    }
  }
  if (!reachable[0][0]) return false;

  std::vector<std::string_view> texts;
  texts.reserve(captures_.size());
  size_t p = 0;
  for (size_t i = 0; i < count; ++i) {
    const Piece& piece = pieces_[i];
    const Reachable& next = reachable[i + 1];
    if (piece.kind == PieceKind::kLiteral) {
      p += piece.literal.size();
      continue;
    }
    if (piece.kind == PieceKind::kFragment) ++p;  // the "#"
    size_t end = p;
    if (piece.kind == PieceKind::kSegment) {
      size_t limit = p;
      while (limit < n && path[limit] != '/')
        ++limit;
      for (size_t q = limit + 1; q-- > p;) {
        if (next[q]) {
          end = q;
          break;
        }
      }
    } else {
      for (size_t q = n + 1; q-- > p;) {
        if (next[q]) {
          end = q;
          break;
        }
      }
    }
    texts.push_back(path.substr(p, end - p));
    p = end;
  }

  for (size_t i = 0; i < captures_.size(); ++i) {
    arguments[captures_[i].name] = PercentDecode(texts[i]);
  }
  return true;
}

std::optional<RouteSelection> SelectRoute(uint32_t method, std::string_view invocationName,
                                          std::string_view path, std::span<const Route> routes) {
  // A query is not part of the path: it is bound as arguments separately.
  path = path.substr(0, std::min(path.find('?'), path.size()));

  std::optional<RouteSelection> best;
  size_t bestLength = 0;
  for (size_t index = 0; index < routes.size(); ++index) {
    const Route& route = routes[index];
    if (route.Method() != 0) {
      if (route.Method() != method) continue;
      if (route.InvocationName() != (method == kInvokeMethod ? invocationName : "")) continue;
    }
    ArgumentMap arguments;
    if (!route.Match(path, arguments)) continue;
    size_t length = 0;
    for (const auto& [name, text] : arguments)
      length += text.size();
    if (!best || length < bestLength) {
      best = RouteSelection{index, std::move(arguments)};
      bestLength = length;
    }
    if (best->arguments.empty()) break;
  }
  return best;
}

}  // namespace qor
