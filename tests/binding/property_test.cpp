#include "binding/property.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "binding/detail/context.h"
#include "binding/detail/pool.h"
#include "binding/json.h"
#include "binding/maybe.h"

namespace qor {
namespace {

BindingProperty Json(std::string_view text) {
  return ParseJson(text).Value();
}

// Truthiness, the text form and the signed reading (default 77) of values of every kind.
TEST(BindingPropertyTest, ReadingsByKind) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  const std::tuple<BindingProperty, bool, std::string, std::int64_t> rows[] = {
      {BindingProperty(), false, "", 77},
      {BindingProperty(false), false, "false", 0},
      {BindingProperty(true), true, "true", 1},
      {BindingProperty(0), false, "0", 0},
      {BindingProperty(kMin), true, "-9223372036854775808", kMin},
      {BindingProperty(0u), false, "0", 0},
      {BindingProperty(std::uint64_t{0xFFFFFFFFFFFFFFFF}), true, "18446744073709551615", -1},
      {BindingProperty(-0.0), false, "-0.000000", 0},
      {BindingProperty(2.9), true, "2.900000", 2},
      {BindingProperty(1e20), true, "100000000000000000000.000000", kMax},
      {BindingProperty(-1e300), true, std::to_string(-1e300), kMin},
      {BindingProperty(std::nan("")), true, "nan", 77},
      {BindingProperty("true"), true, "true", 0},
      {BindingProperty("1"), true, "1", 1},
      {BindingProperty("True"), false, "True", 0},
      {BindingProperty(" 1"), false, " 1", 1},
      {BindingProperty("0x10"), false, "0x10", 16},
      {BindingProperty("0789"), false, "0789", 7},  // octal stops at 8
      {BindingProperty("12abc"), false, "12abc", 12},
      {BindingProperty(" \t-42"), false, " \t-42", -42},
      {BindingProperty("99999999999999999999"), false, "99999999999999999999", kMax},
      {BindingProperty("-99999999999999999999"), false, "-99999999999999999999", kMin},
      {BindingProperty(Bytes{}), false, "", 77},
      {BindingProperty(Bytes{'f'}), true, "Zg==", 77},
      {BindingProperty(Bytes{'f', 'o', 'o', 'b'}), true, "Zm9vYg==", 77},
      {BindingProperty(Bytes{0xFF, 0xFE, 0xFD}), true, "//79", 77},
      {BindingProperty(EnumValue{0, 1}), false, "0", 0},
      {BindingProperty(EnumValue{-4, 1}), true, "-4", -4},
      {Json("[]"), false, "", 77},
      {Json("[1,2]"), true, "", 77},
      {Json("{}"), false, "", 77},
      {Json(R"({"a":1})"), true, "", 77},
  };
  for (const auto& [value, truth, text, toSigned] : rows) {
    SCOPED_TRACE(std::string(KindName(value.Kind())) + " " + WriteJson(value));
    EXPECT_EQ(value.ToBool(), truth);
    EXPECT_EQ(value.ToText(), text);
    EXPECT_EQ(value.ToSigned(77), toSigned);
  }
  // Getters never convert: only the matching kind yields its payload.
  EXPECT_EQ(BindingProperty(-3).GetSigned(42), -3);
  EXPECT_EQ(BindingProperty(3u).GetSigned(42), 42);
  EXPECT_EQ(BindingProperty("1").GetUnsigned(42), 42u);
  EXPECT_EQ(BindingProperty(1).GetFloat(4.25), 4.25);
  EXPECT_EQ(BindingProperty(1).GetString("d"), "d");
  EXPECT_FALSE(BindingProperty("true").GetBool(false));
  EXPECT_EQ(BindingProperty(EnumValue{2, 9}).GetEnum(EnumValue{5, 6}), (EnumValue{2, 9}));
  EXPECT_EQ(BindingProperty(2).GetEnum(EnumValue{5, 6}), (EnumValue{5, 6}));
  EXPECT_EQ(BindingProperty("hello").Size(), 5u);
  EXPECT_EQ(Json("[1,2]").Size(), 2u);
}

// A key, a String or a Blob may view bytes of the very value it replaces.
TEST(BindingPropertyTest, NewValuesMayViewWhatTheyReplace) {
  const std::string key = "a rather long key that lives in the pool of the tree";
  BindingProperty value(key);
  value.MutableMember(value.GetString()) = 1;
  EXPECT_EQ(WriteJson(value), "{\"" + key + "\":1}");
  value.MutableMember("x") = "again";
  value.MutableMember("x") = value.Member("x").GetString();
  EXPECT_EQ(value.Member("x").GetString(), "again");
  BindingProperty list;
  list.Append() = key;
  list.MutableMember(list.Element(0).GetString()) = 1;
  EXPECT_EQ(WriteJson(list), "{\"" + key + "\":1}");

  Bytes big(10000);
  for (std::size_t i = 0; i < big.size(); ++i)
    big[i] = static_cast<std::uint8_t>(i * 7);
  BindingProperty tree;
  tree.MutableMember("small") = Bytes{1, 2, 3};
  tree.MutableMember("big") = Bytes(big);
  BindingProperty& small = tree.MutableMember("small");
  small = small.GetBlob().subspan(1);
  EXPECT_EQ(small, BindingProperty(Bytes{2, 3}));
  EXPECT_TRUE(std::ranges::equal(big, tree.Member("big").GetBlob()));
}

// Writing past the end pads with Empty elements and turns any other kind into a Collection;
// containers without room share one payload, which growing or copying one must never write
// to; an untrusted count must not reserve that much.
TEST(BindingPropertyTest, ContainersGrowOnDemand) {
  BindingProperty value;
  value.MutableElement(3) = "last";
  EXPECT_EQ(WriteJson(value), R"([null,null,null,"last"])");
  EXPECT_TRUE(value.Element(4).IsEmpty());
  BindingProperty list = 5;
  for (int i = 0; i < 100; ++i)
    list.Append().MutableMember("n") = i;
  ASSERT_EQ(list.Size(), 100u);
  for (int i = 0; i < 100; ++i)
    EXPECT_EQ(list.Element(i).Member("n").GetSigned(), i);

  BindingProperty first;
  first.SetCollection();
  BindingProperty second;
  second.SetCollection();
  first.Append() = 1;
  second.Reserve(std::numeric_limits<std::size_t>::max());
  EXPECT_EQ(second.Size(), 0u);
  second.MutableElement(2) = 3;
  EXPECT_EQ(WriteJson(first) + WriteJson(second), "[1][null,null,3]");
  BindingProperty map;
  map.SetStructure(std::numeric_limits<std::size_t>::max());
  BindingProperty copy = map;
  map.MutableMember("a") = 1;
  EXPECT_EQ(WriteJson(map) + WriteJson(copy), R"({"a":1}{})");
  EXPECT_FALSE(copy.RemoveMember("a"));
}

TEST(BindingPropertyTest, StructureEditsMatchAStdMapModel) {
  std::mt19937 random(12345);
  BindingProperty value;
  value.SetStructure();
  std::map<std::string, std::int64_t> model;
  for (int step = 0; step < 3000; ++step) {
    std::string key = "k" + std::to_string(random() % 200);
    switch (random() % 4) {
      case 0:
      case 1:
        model[key] = static_cast<std::int64_t>(random() % 1000);
        value.MutableMember(key) = model[key];
        break;
      case 2:
        EXPECT_EQ(value.RemoveMember(key), model.erase(key) == 1) << key;
        break;
      default:
        const BindingProperty* found = value.FindMember(key);
        EXPECT_EQ(found ? found->GetSigned() : -1, model.contains(key) ? model[key] : -1) << key;
    }
  }
  ASSERT_EQ(value.Size(), model.size());
  auto member = value.Members().begin();
  for (const auto& [key, number] : model) {
    EXPECT_EQ(member->Key(), key);
    EXPECT_EQ(member->Value().GetSigned(), number);
    ++member;
  }
}

// A root moved into a root hands its tree over (nothing is copied); the source keeps the
// target's former context, cleared. A member moved into a root is copied and left Empty.
TEST(BindingPropertyTest, MovesHandTreesOverOrCopyMembers) {
  BindingProperty source;
  source.MutableMember("name") = "value";
  const BindingContext* context = source.Context();
  const BindingProperty* member = source.FindMember("name");
  BindingProperty other = "old";
  const BindingContext* otherContext = other.Context();
  other = std::move(source);
  EXPECT_EQ(other.Context(), context);
  EXPECT_EQ(other.FindMember("name"), member);
  EXPECT_TRUE(source.IsEmpty());
  EXPECT_EQ(source.Context(), otherContext);
  EXPECT_EQ(otherContext->InternedCount(), 0u);

  BindingProperty tree;
  tree.MutableMember("inner").MutableMember("x") = "deep";
  BindingProperty taken(std::move(tree.MutableMember("inner")));
  EXPECT_NE(taken.Context(), tree.Context());
  EXPECT_EQ(taken.Member("x").GetString(), "deep");
  EXPECT_TRUE(tree.HasMember("inner"));
  EXPECT_TRUE(tree.Member("inner").IsEmpty());
  EXPECT_EQ(tree.Context()->References("deep"), 0u);
}

TEST(BindingPropertyTest, CopiesAreDeepWithinAndAcrossTrees) {
  BindingProperty source;
  source.MutableMember("list").Append() = "shared";
  source.MutableMember("list").Append() = Bytes{9, 8};
  source.MutableMember("list").Append() = EnumValue{1, 2};
  BindingProperty target;
  target.MutableMember("slot") = source;
  EXPECT_EQ(target.Member("slot"), source);
  // "shared" is interned in each tree; clearing the source leaves the copy whole.
  EXPECT_EQ(target.Context()->References("shared"), 1u);
  source.Clear();
  EXPECT_EQ(source.Context()->InternedCount(), 0u);
  EXPECT_EQ(target.Member("slot").Member("list").Element(0).GetString(), "shared");

  BindingProperty tree;
  tree.MutableMember("a").MutableMember("b") = "x";
  // A tree copied into one of its own members: the copy was taken after the target member
  // existed, so it holds that member as Empty.
  tree.MutableMember("a").MutableMember("self") = tree;
  EXPECT_EQ(WriteJson(tree), R"({"a":{"b":"x","self":{"a":{"b":"x","self":null}}}})");
  // A member copied over its own ancestor; a root moved into its own member is copied (after
  // that member was made, as above).
  tree = tree.Member("a").Member("self");
  tree.MutableMember("m") = std::move(tree);
  tree = tree;
  EXPECT_EQ(WriteJson(tree),
            R"({"a":{"b":"x","self":null},"m":{"a":{"b":"x","self":null},"m":null}})");
}

// Random interning and releasing, checked against a model of the reference counts: catches a
// lost or misplaced entry when the open-addressed table grows or closes the gap of a removal.
TEST(BindingPropertyTest, StringTableMatchesAReferenceCountModel) {
  std::mt19937 random(777);
  BindingProperty tree;
  std::vector<std::string> held(3000);  // slot i holds this text ("" when Empty)
  std::map<std::string, std::uint32_t> model;
  for (int step = 0; step < 40000; ++step) {
    const std::size_t slot = random() % held.size();
    BindingProperty& element = tree.MutableElement(slot);
    if (!held[slot].empty() && --model[held[slot]] == 0) model.erase(held[slot]);
    if (random() % 3 == 0) {
      element.Clear();
      held[slot].clear();
    } else {
      // Lengths from 1 to 80 bytes, so entries land in many size classes and in large blocks.
      const std::size_t id = random() % 1500;
      held[slot] = "s" + std::to_string(id) + std::string(id % 80, 'x');
      element = held[slot];
      ++model[held[slot]];
    }
    if (step % 1000 == 0) {
      const BindingContext* context = tree.Context();
      ASSERT_EQ(context->InternedCount(), model.size()) << step;
      for (const auto& [text, count] : model)
        ASSERT_EQ(context->References(text), count) << text;
      EXPECT_GE(context->BucketCount(), context->InternedCount());
    }
  }
  for (std::size_t slot = 0; slot < held.size(); ++slot)
    EXPECT_EQ(tree.Element(slot).GetString(), held[slot]) << slot;
  for (std::size_t slot = 0; slot < held.size(); ++slot)
    tree.MutableElement(slot).Clear();
  EXPECT_EQ(tree.Context()->InternedCount(), 0u);
  EXPECT_EQ(tree.Context()->BucketCount(), 8u);
}

// ---- Pools and pages ----------------------------------------------------------------------

// A tree is given back whole when its root goes, whatever it holds and without its values
// being cleared first, also when a reader drops a partial tree.
TEST(BindingPoolTest, DestroyingATreeGivesBackEveryPageAndRegion) {
  BindingPageProvider& provider = BindingPageProvider::Instance();
  const std::size_t pagesBefore = provider.PagesInUse();
  const std::size_t regionsBefore = provider.RegionCount();
  {
    BindingProperty tree;
    for (int i = 0; i < 5000; ++i) {
      BindingProperty& item = tree.Append();
      item.MutableMember("name") = "item number " + std::to_string(i);
      item.MutableMember("kind") = EnumValue{i % 7, 9};
      item.MutableMember("blob") = Bytes(static_cast<std::size_t>(i % 100), 1);
      item.MutableMember("long") = std::string(static_cast<std::size_t>(100 + i % 50), 'y');
    }
    EXPECT_GT(provider.RegionCount(), regionsBefore + 1);
  }
  EXPECT_EQ(provider.PagesInUse(), pagesBefore);
  EXPECT_EQ(provider.RegionCount(), regionsBefore);

  std::string text = "[";
  for (int i = 0; i < 20000; ++i)
    text += "{\"k\":\"value " + std::to_string(i) + "\"},";
  text += "}";  // malformed at the very end
  MaybeType<Failure, BindingProperty> parsed = ParseJson(text);
  ASSERT_TRUE(parsed.Failed());
  EXPECT_EQ(parsed.Property().Context()->PagesHeld(), 0u);
  EXPECT_EQ(provider.PagesInUse(), pagesBefore);
  EXPECT_EQ(provider.RegionCount(), regionsBefore);
}

TEST(BindingPropertyDeathTest, AnIndexBeyondMemoryIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  BindingProperty list;
  EXPECT_DEATH(list.MutableElement(std::numeric_limits<std::size_t>::max()),
               "beyond addressable memory");
}

}  // namespace
}  // namespace qor
