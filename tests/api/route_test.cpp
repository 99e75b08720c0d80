// Path templates, matching, decoding, selection and function names.
//
// libstdc++'s <regex> trips g++ 12's maybe-uninitialized warning in sanitizer builds (inside
// std::function); the reference matcher below is the only user, so the warning is off here.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "api/route.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <regex>
#include <string>
#include <vector>

namespace qor {
namespace {

TEST(Route, CompilesTemplates) {
  struct Case {
    const char* templ;
    const char* pattern;
    std::vector<std::pair<CaptureKind, std::string>> captures;
  };
  const Case cases[] = {
      {"/qor-store/v1/skins/{skinId}/purchase",
       "/qor-store/v1/skins/([^/]*)/purchase",
       {{CaptureKind::kSegment, "skinId"}}},
      {"/f/{+rest}", "/f/(.*)", {{CaptureKind::kRest, "rest"}}},
      {"/f{#frag}", "/f#(.*)", {{CaptureKind::kFragment, "frag"}}},
      // The operator counts only right after the brace; specials are escaped outside braces.
      {"/a.b(c)/{x+y}", "/a\\.b\\(c\\)/([^/]*)", {{CaptureKind::kSegment, "x+y"}}},
      {"/^$*?[]|\\/{a}{+b}",
       "/\\^\\$\\*\\?\\[\\]\\|\\\\/([^/]*)(.*)",
       {{CaptureKind::kSegment, "a"}, {CaptureKind::kRest, "b"}}},
      {"/x/{}", "/x/([^/]*)", {{CaptureKind::kSegment, ""}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.templ);
    Route route(c.templ);
    EXPECT_FALSE(route.IsLiteral());
    EXPECT_EQ(route.Pattern(), c.pattern);
    ASSERT_EQ(route.Captures().size(), c.captures.size());
    for (size_t i = 0; i < c.captures.size(); ++i) {
      EXPECT_EQ(route.Captures()[i].kind, c.captures[i].first);
      EXPECT_EQ(route.Captures()[i].name, c.captures[i].second);
    }
  }
}

TEST(Route, NormalisesTemplateAndInvocationName) {
  EXPECT_EQ(Route("/x/").Template(), "/x");
  EXPECT_EQ(Route("/").Template(), "/");
  EXPECT_EQ(Route("/x//").Template(), "/x/");
  EXPECT_TRUE(Route("/a.b").IsLiteral());
  EXPECT_EQ(Route("/a.b").Pattern(), "");
  EXPECT_EQ(Route("/x", 2, "Name").InvocationName(), "");
  EXPECT_EQ(Route("/x", 8, "Name").InvocationName(), "Name");
}

TEST(Route, MatchesWholePaths) {
  struct Case {
    const char* templ;
    const char* path;
    bool matches;
    ArgumentMap arguments;
  };
  const Case cases[] = {
      {"/qor-store/v1/{pageType}", "/qor-store/v1/featured", true, {{"pageType", "featured"}}},
      {"/qor-store/v1/{pageType}", "/qor-store/v1/a/b", false, {}},
      {"/qor-store/v1/{pageType}", "/qor-store/v1/", true, {{"pageType", ""}}},
      {"/qor-store/v1/{pageType}", "/qor-store/v1", false, {}},
      {"/qor-store/v1/{pageType}", "x/qor-store/v1/a", false, {}},
      {"/qor-store/v1/wallet", "/qor-store/v1/wallet", true, {}},
      {"/qor-store/v1/wallet", "/qor-store/v1/wallet/", false, {}},
      {"/qor-store/v1/wallet", "/qor-store/v1/Wallet", false, {}},
      {"/qor-store/v1/wallet", "/qor-store/v1/walle", false, {}},
      {"/a/{x}/b", "/a/q/bb", false, {}},
      {"/n/{text}", "/n/gift%20message+x", true, {{"text", "gift message x"}}},
      {"/f/{+rest}", "/f/a/b/c", true, {{"rest", "a/b/c"}}},
      {"/f/{+rest}/end", "/f/a/end/b/end", true, {{"rest", "a/end/b"}}},
      {"/f{#frag}", "/f#a/b", true, {{"frag", "a/b"}}},
      {"/f{#frag}", "/fa/b", false, {}},
      {"/{a}{b}", "/xy", true, {{"a", "xy"}, {"b", ""}}},
      {"/{a}.{b}", "/x.y.z", true, {{"a", "x.y"}, {"b", "z"}}},
      {"/{a}/{a}", "/1/2", true, {{"a", "2"}}},
      {"/x.y", "/xzy", false, {}},
      {"/{x}.y", "/az.y", true, {{"x", "az"}}},
      {"/{x}.y", "/azzy", false, {}},
      // Templates matched in one pass: segments end at the next "/", a rest or fragment
      // capture ends where the final literal text begins.
      {"/a/{x}/b/{y}", "/a/1/b/2", true, {{"x", "1"}, {"y", "2"}}},
      {"/a/{x}/b/{y}", "/a//b/", true, {{"x", ""}, {"y", ""}}},
      {"/a/{x}/b/{y}", "/a/1/c/2", false, {}},
      {"/a/{x}/b/{y}", "/a/1/b/2/", false, {}},
      {"/a/{x}/b", "/a/1", false, {}},
      {"/f/{+rest}/end", "/f/end", false, {}},
      {"/f/{+rest}/end", "/f//end", true, {{"rest", ""}}},
      {"/a{#f}/z", "/a#x/z/z", true, {{"f", "x/z"}}},
      {"/a{#f}/z", "/ax/z", false, {}},
      {"/a{#f}", "/a", false, {}},
      {"/{x}/{+r}", "/x", false, {}},
      {"/{x}/{+r}", "/x/%41/+", true, {{"x", "x"}, {"r", "A/ "}}},
      {"/a/{x", "/a/", true, {}},  // an unclosed brace gives no capture
      {"/a/{x", "/a/{x", false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.templ) + " " + c.path);
    ArgumentMap arguments;
    EXPECT_EQ(Route(c.templ).Match(c.path, arguments), c.matches);
    EXPECT_EQ(arguments, c.arguments);
  }
}

TEST(Route, MatchesMegabytePathsWithoutRecursion) {
  const std::string tail(1 << 20, 'a');
  struct Case {
    const char* templ;
    std::string path;
    bool matches;
    size_t capturedLength;
  };
  const Case cases[] = {
      {"/a/{+rest}", "/a/" + tail, true, tail.size()},
      {"/a/{x}", "/a/" + tail, true, tail.size()},
      {"/a/{x}/b", "/a/" + tail + "/b", true, tail.size()},
      {"/a/{x}", "/a/" + tail + "/", false, 0},
      {"/a/{x}/{+y}z", "/a/" + tail + "/" + tail, false, 0},
      {"{#f}", "#" + tail, true, tail.size()},
      // The same lengths through the general matcher.
      {"/a/{x}.y", "/a/" + tail + ".y", true, tail.size()},
      {"/a/{x}.y", "/a/" + tail + "/.y", false, 0},
      {"/a/{+x}.y{#f}", "/a/" + tail + ".y#", true, tail.size()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.templ);
    ArgumentMap arguments;
    ASSERT_EQ(Route(c.templ).Match(c.path, arguments), c.matches);
    if (c.matches) {
      size_t captured = 0;
      for (const auto& [name, text] : arguments)
        captured += text.size();
      EXPECT_EQ(captured, c.capturedLength);
    }
  }
}

TEST(PercentDecode, DecodesEscapesAndKeepsTheRest) {
  const std::pair<const char*, const char*> cases[] = {
      {"gift%20message+x", "gift message x"},
      {"%41%62%7e%7E", "Ab~~"},
      {"%zz", "%zz"},      // not hexadecimal: kept as it stands
      {"%4g%41", "%4gA"},  // half an escape is not an escape
      {"%2%41", "%2A"},    // the "%" is kept and the next "%41" still decodes
      {"100%", "100"},     // a "%" among the last two characters is dropped
      {"a%4", "a4"},       //
      {"", ""},
  };
  for (const auto& [in, out] : cases) {
    SCOPED_TRACE(in);
    EXPECT_EQ(PercentDecode(in), out);
  }
  EXPECT_EQ(PercentDecode("%00x"), std::string("\0x", 2));
}

TEST(SelectRoute, AppliesTheSelectionRule) {
  struct Case {
    const char* name;
    std::vector<Route> routes;
    uint32_t method;
    const char* invocation;
    const char* path;
    std::optional<size_t> selected;
  };
  const Case cases[] = {
      {"literal beats capture after it",
       {Route("/a/{x}"), Route("/a/literal")},
       2,
       "",
       "/a/literal",
       1},
      {"literal beats capture before it",
       {Route("/a/literal"), Route("/a/{x}")},
       2,
       "",
       "/a/literal",
       0},
      {"shorter captures win", {Route("/a/{x}/{y}"), Route("/a/{z}/b")}, 2, "", "/a/q/b", 1},
      {"ties keep the earlier route", {Route("/a/{x}"), Route("/a/{y}")}, 2, "", "/a/q", 0},
      {"empty captures are not displaced", {Route("/a/{x}b"), Route("/a/b")}, 2, "", "/a/b", 0},
      {"method 0 accepts any method", {Route("/p", 0)}, 5, "", "/p", 0},
      {"another method is skipped", {Route("/p", 7)}, 2, "", "/p", std::nullopt},
      {"the same method is selected", {Route("/p", 7)}, 7, "", "/p", 0},
      {"invocation names must agree",
       {Route("/p", 8, "Do"), Route("/p", 8, "Run")},
       8,
       "Run",
       "/p",
       1},
      {"invocation name read only with code 8", {Route("/p", 2)}, 2, "Run", "/p", 0},
      {"the query is not part of the path", {Route("/p/{x}")}, 2, "", "/p/v?x=1&y", 0},
      {"no match", {Route("/p"), Route("/q/{x}")}, 2, "", "/q/a/b", std::nullopt},
      {"trailing slash removed at registration", {Route("/x/")}, 2, "", "/x", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto selection = SelectRoute(c.method, c.invocation, c.path, c.routes);
    ASSERT_EQ(selection.has_value(), c.selected.has_value());
    if (selection) {
      EXPECT_EQ(selection->index, *c.selected);
    }
  }
  std::vector<Route> routes = {Route("/p/{x}")};
  auto selection = SelectRoute(2, "", "/p/a%2Fb?x=2", routes);
  ASSERT_TRUE(selection);
  EXPECT_EQ(selection->arguments, (ArgumentMap{{"x", "a/b"}}));
}

TEST(Naming, MethodAndFunctionNames) {
  EXPECT_EQ(MethodName(0), "");
  EXPECT_EQ(MethodName(1), "DELETE");
  EXPECT_EQ(MethodName(4), "OPTIONS");
  EXPECT_EQ(MethodName(7), "PUT");
  EXPECT_EQ(MethodName(8), "");
  EXPECT_EQ(MethodName(0xFFFFFFFFu), "");
  EXPECT_EQ(FunctionName(2, "/qor-store/v1/skins/{skinId}"), "GetQorStoreV1SkinsBySkinId");
  EXPECT_EQ(FunctionName(6, "/qor-store/v1/lastPage"), "PostQorStoreV1LastPage");
  EXPECT_EQ(FunctionName(4, "/a_b/c.d!e+f"), "OptionsABCDEF");
  EXPECT_EQ(FunctionName(0, "/x/{+rest}"), "XByRest");
  EXPECT_EQ(FunctionName(8, "/x"), "X");
  EXPECT_EQ(TypeNamePrefix("qor-store"), "QorStore");
}

// The matcher must agree with std::regex (ECMAScript, whole-string match) on the patterns
// templates produce. Paths stay short so std::regex's recursion is safe, and carry no line
// breaks, which ECMAScript's "." refuses while a rest capture takes every byte.
class RegexReference {
 public:
  explicit RegexReference(const Route& route) : route_(route) {
    if (!route.IsLiteral()) regex_.assign(route.Pattern(), std::regex::ECMAScript);
  }

  // What Route::Match should give: nothing when the path does not match.
  std::optional<ArgumentMap> Match(const std::string& path) const {
    if (route_.IsLiteral()) {
      return path == route_.Template() ? std::optional<ArgumentMap>(ArgumentMap{}) : std::nullopt;
    }
    std::smatch groups;
    if (!std::regex_match(path, groups, regex_)) return std::nullopt;
    ArgumentMap arguments;
    for (size_t i = 0; i < route_.Captures().size(); ++i)
      arguments[route_.Captures()[i].name] = PercentDecode(groups[i + 1].str());
    return arguments;
  }

 private:
  const Route& route_;
  std::regex regex_;
};

class RouteDifferential : public ::testing::Test {
 protected:
  size_t Pick(size_t size) { return std::uniform_int_distribution<size_t>(0, size - 1)(random_); }
  std::string RandomText(std::string_view alphabet, size_t maximum) {
    std::string text;
    for (size_t i = 0, length = Pick(maximum + 1); i < length; ++i)
      text += alphabet[Pick(alphabet.size())];
    return text;
  }

  // Matches `path` against `route` and its regular expression; returns whether it matched.
  bool Compare(const Route& route, const RegexReference& reference, const std::string& path) {
    SCOPED_TRACE("template " + route.Template() + " path " + path);
    const std::optional<ArgumentMap> expected = reference.Match(path);
    ArgumentMap arguments;
    EXPECT_EQ(route.Match(path, arguments), expected.has_value());
    EXPECT_EQ(arguments, expected.value_or(ArgumentMap{}));
    return expected.has_value();
  }

  std::mt19937 random_{20261206};
};

// Templates of any shape, mostly for the general matcher.
TEST_F(RouteDifferential, AgreesWithStdRegexOnAnyTemplate) {
  const std::vector<std::string> templatePieces = {"a", "b", "/",   "#",    ".",   "+",
                                                   "(", "x", "{s}", "{+r}", "{#f}"};
  size_t matched = 0;
  size_t general = 0;
  for (int t = 0; t < 400; ++t) {
    std::string templ;
    int captureCount = 0;
    for (size_t i = 0, count = 1 + Pick(6); i < count; ++i) {
      std::string piece = templatePieces[Pick(templatePieces.size())];
      if (piece.front() == '{') {  // names repeat now and then: the last capture wins
        piece.insert(piece.size() - 1, 1, static_cast<char>('0' + captureCount++ % 3));
      }
      templ += piece;
    }
    Route route(templ);
    if (route.IsLiteral()) continue;
    general += route.IsOnePass() ? 0 : 1;
    const RegexReference reference(route);
    for (int p = 0; p < 60; ++p)
      matched += Compare(route, reference, RandomText("ab/#.+(x%2", 12)) ? 1 : 0;
  }
  EXPECT_GT(matched, 100u);  // the generator must exercise matches, not only refusals
  EXPECT_GT(general, 100u);
}

// Templates shaped like the store's ("/" separated segments, a rest or fragment capture near
// the end), with paths made from the template itself so most of them match.
TEST_F(RouteDifferential, AgreesWithStdRegexOnPathShapedTemplates) {
  const std::vector<std::string> segments = {"v1", "a.b", "{s}", "{s}", "{s}.x", "x{s}"};
  const std::vector<std::string> endings = {"", "", "/{+r}", "{#f}", "/{+r}/end", "{#f}.z"};
  size_t matched = 0;
  size_t onePass = 0;
  for (int t = 0; t < 300; ++t) {
    std::string templ;
    for (size_t i = 0, count = 1 + Pick(4); i < count; ++i)
      templ += "/" + segments[Pick(segments.size())];
    templ += endings[Pick(endings.size())];
    for (size_t at = templ.find("{s}"), n = 0; at != std::string::npos;
         at = templ.find("{s}", at + 1)) {
      templ.insert(at + 2, 1, static_cast<char>('0' + n++ % 2));
    }
    Route route(templ);
    if (route.IsLiteral()) continue;
    onePass += route.IsOnePass() ? 1 : 0;
    const RegexReference reference(route);
    for (int p = 0; p < 40; ++p) {
      // Each capture filled with a random text; now and then a byte of the path changed.
      std::string path;
      for (size_t i = 0; i < templ.size(); ++i) {
        if (templ[i] != '{') {
          path += templ[i];
          continue;
        }
        const size_t close = templ.find('}', i);
        if (templ[i + 1] == '#') path += '#';
        path += RandomText(templ[i + 1] == 's' ? "ab%2+" : "ab/#%2+.", 4);
        i = close;
      }
      if (Pick(4) == 0 && !path.empty()) path[Pick(path.size())] = "/#.ax"[Pick(5)];
      matched += Compare(route, reference, path) ? 1 : 0;
    }
  }
  EXPECT_GT(onePass, 100u);
  EXPECT_GT(matched, 3000u);
}

// Selection over several routes agrees with the rule applied to std::regex matches.
TEST_F(RouteDifferential, SelectsAsTheRuleAppliedToStdRegex) {
  const std::vector<std::string> segments = {"a", "b", "{s}", "{t}"};
  const std::vector<std::string> endings = {"", "", "/{+r}", "{#f}"};
  const uint32_t methods[] = {0, 2, 6};
  size_t selected = 0;
  for (int t = 0; t < 300; ++t) {
    std::vector<Route> routes;
    for (size_t r = 0, count = 1 + Pick(5); r < count; ++r) {
      std::string templ;
      for (size_t i = 0, length = 1 + Pick(3); i < length; ++i)
        templ += "/" + segments[Pick(segments.size())];
      routes.emplace_back(templ + endings[Pick(endings.size())], methods[Pick(3)]);
    }
    std::vector<RegexReference> references;
    for (const Route& route : routes)
      references.emplace_back(route);
    for (int p = 0; p < 30; ++p) {
      std::string path;
      for (size_t i = 0, length = 1 + Pick(4); i < length; ++i) {
        path += '/';
        path += RandomText("ab%2+", 3);
      }
      if (Pick(3) == 0) {
        path += '#';
        path += RandomText("ab/", 2);
      }
      if (Pick(5) == 0) {
        path += "?s=";
        path += RandomText("ab/", 2);
      }
      const uint32_t method = methods[Pick(3)];
      SCOPED_TRACE("path " + path + " method " + std::to_string(method));

      std::optional<std::pair<size_t, ArgumentMap>> expected;
      size_t expectedLength = 0;
      const std::string bare = path.substr(0, path.find('?'));
      for (size_t index = 0; index < routes.size(); ++index) {
        if (routes[index].Method() != 0 && routes[index].Method() != method) continue;
        std::optional<ArgumentMap> arguments = references[index].Match(bare);
        if (!arguments) continue;
        size_t length = 0;
        for (const auto& [name, text] : *arguments)
          length += text.size();
        if (!expected || length < expectedLength) {
          expected.emplace(index, std::move(*arguments));
          expectedLength = length;
        }
        if (expected->second.empty()) break;
      }

      const std::optional<RouteSelection> selection = SelectRoute(method, "", path, routes);
      ASSERT_EQ(selection.has_value(), expected.has_value());
      if (!selection) continue;
      ++selected;
      EXPECT_EQ(selection->index, expected->first);
      EXPECT_EQ(selection->arguments, expected->second);
    }
  }
  EXPECT_GT(selected, 1000u);
}

}  // namespace
}  // namespace qor
