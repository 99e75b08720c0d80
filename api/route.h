// Endpoint paths: templates, their compiled matchers and the choice of one route for a call.
//
// A template is literal text with capture expressions in braces: "{name}" takes one path
// segment, "{+name}" the rest of the path (slashes included), "{#name}" a literal "#" and
// everything after it. A template is compiled once, when its function is registered; matching
// a path afterwards allocates only the argument map, its decoded texts and a scratch table
// linear in the path length. Matching never recurses, so paths of any length are safe.
//
// Routes are immutable after construction and may be matched from several threads at once.
#ifndef QOR_API_ROUTE_H_
#define QOR_API_ROUTE_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qor {

// Decoded path captures (and query arguments) by name.
using ArgumentMap = std::unordered_map<std::string, std::string>;

enum class CaptureKind : uint8_t {
  kSegment = 1,   // {name}: "([^/]*)"
  kRest = 2,      // {+name}: "(.*)"
  kFragment = 3,  // {#name}: "#(.*)"
};

struct Capture {
  CaptureKind kind;
  std::string name;
};

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

// One registered path with its method: a literal path, or a compiled template.
class Route {
 public:
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

  // True when the whole of `path` (no prefix, no substring) matches. Then each capture's
  // text, percent-decoded, is stored in `arguments` under its name (a later capture of the
  // same name replaces an earlier one). When several splits of the path fit, the one a
  // backtracking greedy matcher finds first is taken: each capture, in order, is as long as
  // the rest of the template allows. `arguments` is left alone when the path does not match.
  bool Match(std::string_view path, ArgumentMap& arguments) const;

 private:
  enum class PieceKind : uint8_t { kLiteral, kSegment, kRest, kFragment };
  struct Piece {
    PieceKind kind;
    std::string literal;  // kLiteral only
  };

  std::string template_;
  uint32_t method_;
  std::string invocationName_;
  bool literal_ = true;
  std::string pattern_;
  std::vector<Capture> captures_;
  std::vector<Piece> pieces_;
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
