// Path templates, matching, decoding, selection and function names.
// The matcher's agreement with the regular expression a route documents is checked by the
// route fuzzer's replay over its corpus.

#include "api/route.h"

#include <gtest/gtest.h>

#include <optional>
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
      // The operator counts only right after the brace; specials are escaped outside braces.
      {"/^$*?[]|\\/{a}{+b}",
       "/\\^\\$\\*\\?\\[\\]\\|\\\\/([^/]*)(.*)",
       {{CaptureKind::kSegment, "a"}, {CaptureKind::kRest, "b"}}},
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
      {"/qor-store/v1/wallet", "/qor-store/v1/wallet/", false, {}},
      {"/f/{+rest}/end", "/f/a/end/b/end", true, {{"rest", "a/end/b"}}},
      {"/{a}.{b}", "/x.y.z", true, {{"a", "x.y"}, {"b", "z"}}},
      // Templates matched in one pass: segments end at the next "/", a rest or fragment
      // capture ends where the final literal text begins.
      {"/a/{x}/b/{y}", "/a/1/b/2", true, {{"x", "1"}, {"y", "2"}}},
      {"/a/{x}/b/{y}", "/a/1/c/2", false, {}},
      {"/f/{+rest}/end", "/f//end", true, {{"rest", ""}}},
      {"/a{#f}/z", "/a#x/z/z", true, {{"f", "x/z"}}},
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
      {"/a/{x}/b", "/a/" + tail + "/b", true, tail.size()},
      {"/a/{x}/{+y}z", "/a/" + tail + "/" + tail, false, 0},
      // The same lengths through the general matcher.
      {"/a/{x}.y", "/a/" + tail + ".y", true, tail.size()},
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
      {"%zz", "%zz"},    // not hexadecimal: kept as it stands
      {"%2%41", "%2A"},  // the "%" is kept and the next "%41" still decodes
      {"100%", "100"},   // a "%" among the last two characters is dropped
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
      {"literal after", {Route("/a/{x}"), Route("/a/literal")}, 2, "", "/a/literal", 1},
      {"literal before", {Route("/a/literal"), Route("/a/{x}")}, 2, "", "/a/literal", 0},
      {"shorter captures win", {Route("/a/{x}/{y}"), Route("/a/{z}/b")}, 2, "", "/a/q/b", 1},
      {"ties keep the earlier route", {Route("/a/{x}"), Route("/a/{y}")}, 2, "", "/a/q", 0},
      {"method 0 accepts any method", {Route("/p", 0)}, 5, "", "/p", 0},
      {"another method is skipped", {Route("/p", 7)}, 2, "", "/p", std::nullopt},
      {"invocation names agree", {Route("/p", 8, "Do"), Route("/p", 8, "Run")}, 8, "Run", "/p", 1},
      {"invocation name read only with code 8", {Route("/p", 2)}, 2, "Run", "/p", 0},
      {"the query is not part of the path", {Route("/p/{x}")}, 2, "", "/p/v?x=1&y", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto selection = SelectRoute(c.method, c.invocation, c.path, c.routes);
    ASSERT_EQ(selection.has_value(), c.selected.has_value());
    if (selection) {
      EXPECT_EQ(selection->index, *c.selected);
    }
  }
  // The captures of the route selected are decoded.
  std::vector<Route> routes = {Route("/p/{x}")};
  auto selection = SelectRoute(2, "", "/p/a%2Fb?x=2", routes);
  ASSERT_TRUE(selection);
  EXPECT_EQ(selection->arguments, (ArgumentMap{{"x", "a/b"}}));
}

}  // namespace
}  // namespace qor
