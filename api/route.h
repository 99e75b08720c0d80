// Endpoint paths: templates, their compiled matchers and the choice of one route for a call.
//
// A template is literal text with capture expressions in braces: "{name}" takes one path
// segment, "{+name}" the rest of the path (slashes included), "{#name}" a literal "#" and
// everything after it. A template is compiled once, when its function is registered.
//
// Matching never recurses, so paths of any length are safe. Most templates (every segment
// capture followed by "/" or the end, at most one rest or fragment capture and only literal
// text after it) are matched in one forward pass without allocating: literal pieces are
// compared in place and captures are views into the path. Other templates go through a
// general matcher whose scratch table is linear in the path length. Before either, a route
// is rejected when the path is too short or does not begin and end with the template's
// literal text. Only the argument map and decoded texts of the chosen route are allocated.
//
// Routes are immutable after construction and may be matched from several threads at once.
#ifndef QOR_API_ROUTE_H_
#define QOR_API_ROUTE_H_

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qor {

// Decoded path captures (and query arguments) by name. A path has a handful of captures at
// most: an ordered map costs one node each, where a hash map also builds a bucket array.
using ArgumentMap = std::map<std::string, std::string, std::less<>>;

enum class CaptureKind : uint8_t {
  kSegment = 1,   // {name}: "([^/]*)"
  kRest = 2,      // {+name}: "(.*)"
  kFragment = 3,  // {#name}: "#(.*)"
};

struct Capture {
  CaptureKind kind;
  std::string name;
  // The index of the last capture with this name: the one whose text the name ends up with.
  size_t kept = 0;
};

namespace detail {

// The raw (undecoded) texts of a matched path's captures: one view into the path per capture
// expression, in template order. Eight are held inline; more spill to the heap.
class CaptureTexts {
 public:
  CaptureTexts() = default;
  CaptureTexts(const CaptureTexts&) = delete;
  CaptureTexts& operator=(const CaptureTexts&) = delete;

  size_t size() const { return size_; }
  std::string_view operator[](size_t index) const {
    const Text& text = index < kInline ? inline_[index] : spill_[index - kInline];
    return {text.data, text.size};
  }
  void clear() {
    size_ = 0;
    spill_.clear();
  }
  void push_back(std::string_view text) {
    if (size_ < kInline) {
      inline_[size_] = {text.data(), text.size()};
    } else {
      spill_.push_back({text.data(), text.size()});
    }
    ++size_;
  }

 private:
  // Left uninitialised until written: a match fills only what it uses.
  struct Text {
    const char* data;
    size_t size;
  };
  static constexpr size_t kInline = 8;
  Text inline_[kInline];
  size_t size_ = 0;
  std::vector<Text> spill_;
};

// The length PercentDecode(text) would have, computed without building it.
size_t DecodedLength(std::string_view text);
// Whether PercentDecode(text) differs from `text` (it holds a "%" or a "+").
bool NeedsDecoding(std::string_view text);
// Appends PercentDecode(text) to `out`.
void AppendDecoded(std::string_view text, std::string& out);

}  // namespace detail

// "DELETE", "GET", "HEAD", "OPTIONS", "PATCH", "POST" or "PUT" for codes 1 to 7; empty for
// every other code.
std::string_view MethodName(uint32_t method);

// The identifier of a function: the method name as "Get/" (first letter kept, rest lower
// case), then the template, with ! + - . / _ dropped and the next character capitalised, and
// "{" written as "By". FunctionName(2, "/qor-store/v1/skins/{skinId}") is
// "GetQorStoreV1SkinsBySkinId".
std::string FunctionName(uint32_t method, std::string_view pathTemplate);

// The same rule without a method: "qor-store" gives "QorStore", the prefix of the plug-in's
// registered type names.
std::string TypeNamePrefix(std::string_view shortName);

// Decodes a captured segment or query text: "+" becomes a space and "%" with two hexadecimal
// digits the byte they name. See the definition for the "%" cases that are not decoded.
std::string PercentDecode(std::string_view text);

struct RouteSelection;

// One registered path with its method: a literal path, or a compiled template.
class Route {
 public:
  // The method code of calls that carry an invocation name instead of a method.
  static constexpr uint32_t kInvokeMethod = 8;

  // Compiles `pathTemplate`. One trailing "/" is removed from a template longer than one
  // character. `invocationName` is kept only with method code 8 (it is what such a call
  // carries instead of a method). Braces are read as the template walk defines them: an
  // unclosed "{" at the end yields no capture, a "}" outside braces is literal text.
  explicit Route(std::string_view pathTemplate, uint32_t method = 0,
                 std::string_view invocationName = {});

  // The template as registered (trailing "/" removed).
  const std::string& Template() const { return template_; }
  uint32_t Method() const { return method_; }
  const std::string& InvocationName() const { return invocationName_; }

  // True when the template holds no "{": the route matches its exact bytes only.
  bool IsLiteral() const { return literal_; }
  // The template as an ECMAScript regular expression (empty for a literal route). Matching
  // does not use it; it documents the matcher's semantics and serves tests.
  const std::string& Pattern() const { return pattern_; }
  // One entry per capture expression, in order of appearance.
  const std::vector<Capture>& Captures() const { return captures_; }
  // True when a pattern is matched in one forward pass (see the file comment); false for
  // literal routes and for patterns that need the general matcher.
  bool IsOnePass() const { return !literal_ && onePass_; }

  // True when the whole of `path` (no prefix, no substring) matches. Then each capture's
  // text, percent-decoded, is stored in `arguments` under its name (a later capture of the
  // same name replaces an earlier one). When several splits of the path fit, the one a
  // backtracking greedy matcher finds first is taken: each capture, in order, is as long as
  // the rest of the template allows. `arguments` is left alone when the path does not match.
  bool Match(std::string_view path, ArgumentMap& arguments) const;

  // The same match without decoding or allocating (unless there are more than eight
  // captures): on success `texts` holds each capture's raw text, in template order.
  bool MatchTexts(std::string_view path, detail::CaptureTexts& texts) const;

  // True when a call with `method` (and, with method code 8, `invocationName`) may be
  // delivered to this route: its method is 0 or the same, and the invocation names agree.
  bool Accepts(uint32_t method, std::string_view invocationName) const {
    if (method_ == 0) return true;
    if (method_ != method) return false;
    return invocationName_ == (method == kInvokeMethod ? invocationName : std::string_view());
  }

 private:
  enum class PieceKind : uint8_t { kLiteral, kSegment, kRest, kFragment };
  struct Piece {
    PieceKind kind;
    std::string literal;  // kLiteral only
  };

  friend std::optional<RouteSelection> SelectRoute(uint32_t method, std::string_view invocationName,
                                                   std::string_view path,
                                                   std::span<const Route> routes);

  // The checks before matching a pattern: false when `path` cannot match.
  bool MayMatch(std::string_view path) const;
  bool MatchPieces(std::string_view path, detail::CaptureTexts& texts) const {
    return onePass_ ? MatchInOnePass(path, texts) : MatchGeneral(path, texts);
  }
  bool MatchInOnePass(std::string_view path, detail::CaptureTexts& texts) const;
  bool MatchGeneral(std::string_view path, detail::CaptureTexts& texts) const;

  std::string template_;
  uint32_t method_;
  std::string invocationName_;
  bool literal_ = true;
  std::string pattern_;
  std::vector<Capture> captures_;
  std::vector<Piece> pieces_;
  // Checks that reject most paths before matching: the bytes every match needs, and whether
  // the first and the last piece are literal text that a match must begin or end with.
  size_t minimumLength_ = 0;
  bool literalFirst_ = false;
  bool literalLast_ = false;
  // True when the pieces allow exactly one split of any path (see the file comment).
  bool onePass_ = false;
};

struct RouteSelection {
  size_t index;  // into the route list given to SelectRoute
  ArgumentMap arguments;
};

// Chooses the route for a call. Routes whose method is neither 0 nor `method` are skipped;
// with equal methods the invocation names must be equal too. Of the routes whose template
// matches the path (the part before any "?"), the first wins unless a later one captures
// strictly fewer decoded characters in total; a route without captures is never displaced.
// Returns nothing when no route matches.
std::optional<RouteSelection> SelectRoute(uint32_t method, std::string_view invocationName,
                                          std::string_view path, std::span<const Route> routes);

}  // namespace qor

#endif  // QOR_API_ROUTE_H_
