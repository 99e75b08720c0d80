// Edges of a request's way through the dispatch layer: query pieces, line breaks in rest and
// fragment captures, a failure's status in the result, and the nesting every value may have.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "api/detail/arguments.h"
#include "api/dispatch.h"
#include "api/host_value.h"
#include "api/route.h"
#include "binding/json.h"

namespace qor {
namespace {

using Pieces = std::vector<std::pair<std::string, std::string>>;

TEST(RequestEdges, EveryQueryPieceCountsEmptyOnesToo) {
  const std::pair<const char*, Pieces> cases[] = {
      {"", {}},
      {"a=1", {{"a", "1"}}},
      {"&a=1", {{"", ""}, {"a", "1"}}},
      {"a=1&", {{"a", "1"}, {"", ""}}},
      {"a&&b=%41", {{"a", ""}, {"", ""}, {"b", "A"}}},
      {"&", {{"", ""}}},
  };
  for (const auto& [query, pieces] : cases) {
    SCOPED_TRACE(query);
    EXPECT_EQ(detail::ParseQuery(query), pieces);
  }
}

TEST(RequestEdges, RestAndFragmentCapturesHoldNoLineBreak) {
  const struct {
    const char* templ;
    const char* path;
    bool matches;
  } cases[] = {
      {"/f/{+rest}", "/f/a b/c", true},   {"/f/{+rest}", "/f/a\nb", false},
      {"/f/{+rest}", "/f/a\rb", false},   {"/f{#frag}", "/f#x", true},
      {"/f{#frag}", "/f#x\r\n", false},   {"/{+a}/x{+b}", "/p/q/xr", true},
      {"/{+a}/x{+b}", "/p\n/xr", false},  {"/{+a}/x{+b}", "/p/xr\n", false},
      {"/{+a}/x{+b}/e", "/p/xr/e", true}, {"/{+a}/x{+b}/e", "/p/x\r/e", false},
      {"/s/{seg}", "/s/a\nb", true},  // a segment capture takes anything but "/"
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.templ) + " " + c.path);
    const Route route(c.templ);
    detail::CaptureTexts texts;
    EXPECT_EQ(route.MatchTexts(c.path, texts), c.matches);
  }
}

TEST(RequestEdges, AFailureKeepsItsStatusInTheResult) {
  CallResult result;
  result.Fail(Failure::NotFound("gone"));
  EXPECT_EQ(result.status, 404u);
  EXPECT_EQ(result.value.ErrorMessage(), "gone");
}

TEST(RequestEdges, WhatTheCodecsReadPassesTheHostAndOneLevelMoreIsRefusedAlike) {
  // 512 levels, the deepest any codec reads.
  MaybeType<Failure, BindingProperty> parsed =
      ParseJson(std::string(kMaxNestingDepth, '[') + std::string(kMaxNestingDepth, ']'));
  ASSERT_TRUE(parsed.Succeeded()) << parsed.ErrorMessage();
  HostValue out{};
  MaybeType<Failure, void> written = WriteHostValue(*parsed, out);
  ASSERT_TRUE(written.Succeeded()) << written.ErrorMessage();
  MaybeType<Failure, BindingProperty> read = ReadHostValue(out, "x");
  EXPECT_TRUE(read.Succeeded()) << read.ErrorMessage();

  HostValue outer{};
  outer.tag = HOST_VALUE_COLLECTION;
  outer.length = 1;
  outer.data.elements = &out;
  EXPECT_EQ(ReadHostValue(outer, "x").ErrorMessage(), "Nesting exceeds 512 levels in 'x'.");
  BindingProperty deeper;
  deeper.Append() = std::move(*parsed);
  HostValue none{};
  EXPECT_EQ(WriteHostValue(deeper, none).ErrorMessage(),
            "Nesting exceeds 512 levels in '<result>'.");
  EXPECT_EQ(none.tag, 0u);  // nothing left behind
  FreeHostValue(out);
}

}  // namespace
}  // namespace qor
