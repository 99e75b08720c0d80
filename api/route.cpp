#include "api/route.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace qor {
namespace {

constexpr std::string_view kMethodNames[] = {"",        "DELETE", "GET",  "HEAD",
                                             "OPTIONS", "PATCH",  "POST", "PUT"};

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

// Whether `n` bytes at `a` and `b` are equal. The last eight are compared first: the texts
// compared here (paths and the literal text of routes) often share a long beginning such as
// "/qor-store/v1/" and differ near their end.
bool SameBytes(const char* a, const char* b, size_t n) {
  if (n < sizeof(uint64_t)) {
    for (size_t i = 0; i < n; ++i) {
      if (a[i] != b[i]) return false;
    }
    return true;
  }
  uint64_t lastA;
  uint64_t lastB;
  std::memcpy(&lastA, a + n - sizeof lastA, sizeof lastA);
  std::memcpy(&lastB, b + n - sizeof lastB, sizeof lastB);
  return lastA == lastB && std::memcmp(a, b, n - sizeof lastA) == 0;
}

// What "." of a rest or fragment capture's pattern does not match.
constexpr std::string_view kLineBreaks = "\r\n";
bool IsLineBreak(char c) {
  return c == '\r' || c == '\n';
}

// Whether `text` holds `literal` at `at` (which is at most text.size()).
bool HasAt(std::string_view text, size_t at, std::string_view literal) {
  return text.size() - at >= literal.size() &&
         SameBytes(text.data() + at, literal.data(), literal.size());
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
  detail::AppendDecoded(text, out);
  return out;
}

namespace detail {

bool NeedsDecoding(std::string_view text) {
  for (char c : text) {
    if (c == '%' || c == '+') return true;
  }
  return false;
}

void AppendDecoded(std::string_view text, std::string& out) {
  // Most texts hold nothing to decode: copy them in one piece.
  size_t i = 0;
  while (i < text.size() && text[i] != '%' && text[i] != '+')
    ++i;
  out.append(text.substr(0, i));
  if (i == text.size()) return;
  out.reserve(out.size() + text.size() - i);
  for (; i < text.size(); ++i) {
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
}

size_t DecodedLength(std::string_view text) {
  size_t i = text.find('%');
  if (i == std::string_view::npos) return text.size();
  size_t length = i;
  for (; i < text.size(); ++i) {
    if (text[i] != '%') {
      ++length;
    } else if (i + 2 >= text.size()) {
      // dropped, as PercentDecode drops it
    } else if (HexValue(text[i + 1]) < 0 || HexValue(text[i + 2]) < 0) {
      ++length;  // kept
    } else {
      ++length;
      i += 2;
    }
  }
  return length;
}

}  // namespace detail

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

  for (size_t i = 0; i < captures_.size(); ++i) {
    captures_[i].kept = i;
    for (size_t j = i + 1; j < captures_.size(); ++j) {
      if (captures_[j].name == captures_[i].name) captures_[i].kept = j;
    }
  }

  // One pass decides the split when every segment capture ends at the next "/" or at the end
  // of the path, and a rest or fragment capture is followed by nothing or by the final piece
  // of literal text (it then ends where that text begins, at the end of the path).
  onePass_ = true;
  bool restSeen = false;
  for (size_t i = 0; i < pieces_.size(); ++i) {
    const Piece& piece = pieces_[i];
    const bool last = i + 1 == pieces_.size();
    switch (piece.kind) {
      case PieceKind::kLiteral:
        minimumLength_ += piece.literal.size();
        break;
      case PieceKind::kSegment:
        if (!last &&
            (pieces_[i + 1].kind != PieceKind::kLiteral || pieces_[i + 1].literal.front() != '/')) {
          onePass_ = false;
        }
        break;
      case PieceKind::kFragment:
        ++minimumLength_;  // the "#"
        [[fallthrough]];
      case PieceKind::kRest:
        if (restSeen) onePass_ = false;
        restSeen = true;
        if (!last && !(i + 2 == pieces_.size() && pieces_[i + 1].kind == PieceKind::kLiteral)) {
          onePass_ = false;
        }
        break;
    }
  }
  literalFirst_ = !pieces_.empty() && pieces_.front().kind == PieceKind::kLiteral;
  literalLast_ = pieces_.size() > 1 && pieces_.back().kind == PieceKind::kLiteral;
}

bool Route::Match(std::string_view path, ArgumentMap& arguments) const {
  detail::CaptureTexts texts;
  if (!MatchTexts(path, texts)) return false;
  for (size_t i = 0; i < captures_.size(); ++i) {
    if (captures_[i].kept == i) arguments[captures_[i].name] = PercentDecode(texts[i]);
  }
  return true;
}

inline bool Route::MayMatch(std::string_view path) const {
  if (path.size() < minimumLength_) return false;
  if (literalFirst_ && !HasAt(path, 0, pieces_.front().literal)) return false;
  return !literalLast_ ||
         HasAt(path, path.size() - pieces_.back().literal.size(), pieces_.back().literal);
}

bool Route::MatchTexts(std::string_view path, detail::CaptureTexts& texts) const {
  texts.clear();
  if (literal_) return path.size() == template_.size() && HasAt(path, 0, template_);
  return MayMatch(path) && MatchPieces(path, texts);
}

bool Route::MatchInOnePass(std::string_view path, detail::CaptureTexts& texts) const {
  const size_t n = path.size();
  // The first literal piece has been compared already.
  size_t p = literalFirst_ ? pieces_.front().literal.size() : 0;
  for (size_t i = literalFirst_ ? 1 : 0; i < pieces_.size(); ++i) {
    const Piece& piece = pieces_[i];
    switch (piece.kind) {
      case PieceKind::kLiteral:
        if (!HasAt(path, p, piece.literal)) return false;
        p += piece.literal.size();
        break;
      case PieceKind::kSegment: {
        // Up to the next "/", which the next piece begins with; or to the end, which then
        // must hold no "/".
        size_t end = path.find('/', p);
        if (i + 1 == pieces_.size()) {
          if (end != std::string_view::npos) return false;
          end = n;
        } else if (end == std::string_view::npos) {
          return false;
        }
        texts.push_back(path.substr(p, end - p));
        p = end;
        break;
      }
      case PieceKind::kFragment:
        if (p >= n || path[p] != '#') return false;
        ++p;
        [[fallthrough]];
      case PieceKind::kRest: {
        // Everything up to the final literal piece, if there is one (its place at the end of
        // the path has been checked).
        const size_t tail = i + 1 < pieces_.size() ? pieces_.back().literal.size() : 0;
        if (n - p < tail) return false;
        const std::string_view text = path.substr(p, n - tail - p);
        if (text.find_first_of(kLineBreaks) != std::string_view::npos) return false;
        texts.push_back(text);
        p = n - tail;
        break;
      }
    }
  }
  return p == n;
}

bool Route::MatchGeneral(std::string_view path, detail::CaptureTexts& texts) const {
  // Work backwards first: row i of the table says, per path position p, whether pieces i..
  // can match path[p..]. Then walk forwards, giving each capture the longest text after which
  // the rest still fits: the split a greedy backtracking matcher settles on, found without
  // recursion.
  const size_t n = path.size();
  const size_t count = pieces_.size();
  const size_t width = n + 1;
  std::vector<bool> table((count + 1) * width, false);
  auto reachable = [&](size_t i, size_t p) { return static_cast<bool>(table[i * width + p]); };
  auto set = [&](size_t i, size_t p, bool value) { table[i * width + p] = value; };
  set(count, n, true);
  for (size_t i = count; i-- > 0;) {
    const Piece& piece = pieces_[i];
    switch (piece.kind) {
      case PieceKind::kLiteral: {
        const size_t length = piece.literal.size();
        for (size_t p = 0; p + length <= n; ++p) {
          set(i, p, reachable(i + 1, p + length) && HasAt(path, p, piece.literal));
        }
        break;
      }
      case PieceKind::kSegment:
        set(i, n, reachable(i + 1, n));
        for (size_t p = n; p-- > 0;)
          set(i, p, reachable(i + 1, p) || (path[p] != '/' && reachable(i, p + 1)));
        break;
      case PieceKind::kRest:
      case PieceKind::kFragment: {
        // "(.*)" fits from p when the rest fits from some q >= p with no line break in between
        // ("." matches neither CR nor LF); "#(.*)" needs a "#" at p and the same from p + 1.
        bool fromHere = false;
        for (size_t p = width; p-- > 0;) {
          const bool afterHere = fromHere;
          fromHere = reachable(i + 1, p) || (p < n && !IsLineBreak(path[p]) && afterHere);
          if (piece.kind == PieceKind::kRest) {
            set(i, p, fromHere);
          } else {
            set(i, p, p < n && path[p] == '#' && afterHere);
          }
        }
        break;
      }
    }
  }
  if (!reachable(0, 0)) return false;

  size_t p = 0;
  for (size_t i = 0; i < count; ++i) {
    const Piece& piece = pieces_[i];
    if (piece.kind == PieceKind::kLiteral) {
      p += piece.literal.size();
      continue;
    }
    if (piece.kind == PieceKind::kFragment) ++p;  // the "#"
    // The longest text the capture may take: up to the next "/" for a segment, up to the next
    // line break for a rest or a fragment.
    size_t limit = p;
    if (piece.kind == PieceKind::kSegment) {
      while (limit < n && path[limit] != '/')
        ++limit;
    } else {
      while (limit < n && !IsLineBreak(path[limit]))
        ++limit;
    }
    size_t end = p;
    for (size_t q = limit + 1; q-- > p;) {
      if (reachable(i + 1, q)) {
        end = q;
        break;
      }
    }
    texts.push_back(path.substr(p, end - p));
    p = end;
  }
  return true;
}

namespace {

// The chosen route with its decoded captures. Kept out of line and filled in place: built
// inside the selection loop's frame, the map was copied into the result through the stack.
[[gnu::noinline]] std::optional<RouteSelection> Selection(const Route& route, size_t index,
                                                          const detail::CaptureTexts& texts) {
  std::optional<RouteSelection> selection(std::in_place);
  selection->index = index;
  const std::vector<Capture>& captures = route.Captures();
  for (size_t i = 0; i < captures.size(); ++i) {
    if (captures[i].kept != i) continue;
    std::string& text = selection->arguments.try_emplace(captures[i].name).first->second;
    detail::AppendDecoded(texts[i], text);
  }
  return selection;
}

}  // namespace

std::optional<RouteSelection> SelectRoute(uint32_t method, std::string_view invocationName,
                                          std::string_view path, std::span<const Route> routes) {
  // A query is not part of the path: it is bound as arguments separately.
  path = path.substr(0, std::min(path.find('?'), path.size()));

  // Candidates are matched into the buffer the best one so far does not use; only the chosen
  // route's captures are decoded into its argument map.
  detail::CaptureTexts buffers[2];
  size_t bestSlot = 0;
  const Route* best = nullptr;
  size_t bestIndex = 0;
  size_t bestLength = 0;
  for (size_t index = 0; index < routes.size(); ++index) {
    const Route& route = routes[index];
    if (!route.Accepts(method, invocationName)) continue;
    if (route.IsLiteral()) {  // the common case, without a call
      const std::string& text = route.Template();
      if (path.size() != text.size() || !HasAt(path, 0, text)) continue;
      if (best && bestLength == 0) continue;  // ties keep the earlier route
      best = &route;                          // and nothing displaces this one
      bestIndex = index;
      break;
    }
    if (!route.MayMatch(path)) continue;
    const size_t slot = best ? 1 - bestSlot : bestSlot;
    detail::CaptureTexts& texts = buffers[slot];
    texts.clear();
    if (!route.MatchPieces(path, texts)) continue;
    const std::vector<Capture>& captures = route.Captures();
    size_t length = 0;
    for (size_t i = 0; i < captures.size(); ++i) {
      if (captures[i].kept == i) length += detail::DecodedLength(texts[i]);
    }
    if (!best || length < bestLength) {
      best = &route;
      bestIndex = index;
      bestSlot = slot;
      bestLength = length;
    }
    if (best->Captures().empty()) break;  // nothing can displace a route without captures
  }
  if (!best) return std::nullopt;
  return Selection(*best, bestIndex, buffers[bestSlot]);
}

}  // namespace qor
