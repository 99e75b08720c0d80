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
#include <thread>
#include <vector>

#include "binding/detail/context.h"
#include "binding/detail/pool.h"
#include "binding/json.h"
#include "binding/maybe.h"

namespace qor {
namespace {

std::vector<std::string> KeysOf(const BindingProperty& value) {
  std::vector<std::string> keys;
  for (const BindingMember& member : value.Members())
    keys.emplace_back(member.Key());
  return keys;
}

TEST(BindingPropertyTest, DefaultValueIsAnEmptyRootWithoutContext) {
  BindingProperty value;
  EXPECT_EQ(value.Kind(), BindingKind::Empty);
  EXPECT_TRUE(value.IsEmpty());
  EXPECT_TRUE(value.IsRoot());
  EXPECT_EQ(value.Size(), 0u);
  EXPECT_FALSE(value.ToBool());
  EXPECT_EQ(value.Context(), nullptr);
}

TEST(BindingPropertyTest, KindNames) {
  const std::pair<int, std::string_view> rows[] = {
      {0, "empty"}, {1, "bool"}, {2, "signed"},     {3, "unsigned"},  {4, "float"}, {5, "string"},
      {6, "blob"},  {7, "enum"}, {8, "collection"}, {9, "structure"}, {10, ""},     {255, ""},
  };
  for (const auto& [code, name] : rows) {
    EXPECT_EQ(KindName(static_cast<BindingKind>(code)), name) << code;
  }
}

// Values of every kind, built fresh for each row.
BindingProperty Make(BindingKind kind) {
  BindingProperty value;
  switch (kind) {
    case BindingKind::Bool:
      value = true;
      break;
    case BindingKind::Signed:
      value = -3;
      break;
    case BindingKind::Unsigned:
      value = 7u;
      break;
    case BindingKind::Float:
      value = 1.5;
      break;
    case BindingKind::String:
      value = "hello";
      break;
    case BindingKind::Blob:
      value = Bytes{1, 2, 3, 4};
      break;
    case BindingKind::Enum:
      value = EnumValue{2, 99};
      break;
    case BindingKind::Collection:
      value.Append() = 1;
      value.Append() = 2;
      break;
    case BindingKind::Structure:
      value.MutableMember("a") = 1;
      value.MutableMember("b") = 2;
      value.MutableMember("c") = 3;
      break;
    case BindingKind::Empty:
      break;
  }
  return value;
}

TEST(BindingPropertyTest, SizeAndExactGettersByKind) {
  struct Row {
    BindingKind kind;
    std::size_t size;
  };
  const Row rows[] = {
      {BindingKind::Empty, 0},     {BindingKind::Bool, 1},  {BindingKind::Signed, 1},
      {BindingKind::Unsigned, 1},  {BindingKind::Float, 1}, {BindingKind::String, 5},
      {BindingKind::Blob, 4},      {BindingKind::Enum, 1},  {BindingKind::Collection, 2},
      {BindingKind::Structure, 3},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(KindName(row.kind));
    BindingProperty value = Make(row.kind);
    EXPECT_EQ(value.Kind(), row.kind);
    EXPECT_EQ(value.Size(), row.size);
    // Getters never convert: only the matching kind yields its payload.
    EXPECT_EQ(value.GetBool(false), row.kind == BindingKind::Bool);
    EXPECT_EQ(value.GetSigned(42), row.kind == BindingKind::Signed ? -3 : 42);
    EXPECT_EQ(value.GetUnsigned(42), row.kind == BindingKind::Unsigned ? 7u : 42u);
    EXPECT_EQ(value.GetFloat(4.25), row.kind == BindingKind::Float ? 1.5 : 4.25);
    EXPECT_EQ(value.GetString("dflt"), row.kind == BindingKind::String ? "hello" : "dflt");
    EXPECT_EQ(value.GetBlob().size(), row.kind == BindingKind::Blob ? 4u : 0u);
    EXPECT_EQ(value.GetEnum(EnumValue{5, 6}),
              (row.kind == BindingKind::Enum ? EnumValue{2, 99} : EnumValue{5, 6}));
  }
}

TEST(BindingPropertyTest, Truthiness) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Row {
    const char* label;
    BindingProperty value;
    bool expected;
  };
  Row rows[] = {
      {"false", BindingProperty(false), false},
      {"true", BindingProperty(true), true},
      {"signed 0", BindingProperty(0), false},
      {"signed -1", BindingProperty(-1), true},
      {"unsigned 0", BindingProperty(0u), false},
      {"unsigned big", BindingProperty(std::uint64_t{1} << 63), true},
      {"float 0", BindingProperty(0.0), false},
      {"float -0", BindingProperty(-0.0), false},
      {"float 0.1", BindingProperty(0.1), true},
      {"float NaN", BindingProperty(nan), true},
      {"string true", BindingProperty("true"), true},
      {"string 1", BindingProperty("1"), true},
      {"string True", BindingProperty("True"), false},
      {"string yes", BindingProperty("yes"), false},
      {"string empty", BindingProperty(""), false},
      {"string 1 with space", BindingProperty(" 1"), false},
      {"blob empty", BindingProperty(Bytes{}), false},
      {"blob", BindingProperty(Bytes{0}), true},
      {"enum 0", BindingProperty(EnumValue{0, 1}), false},
      {"enum 3", BindingProperty(EnumValue{3, 1}), true},
      {"collection", Make(BindingKind::Collection), true},
      {"structure", Make(BindingKind::Structure), true},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.value.ToBool(), row.expected) << row.label;
  }
  BindingProperty emptyCollection;
  emptyCollection.SetCollection();
  BindingProperty emptyStructure;
  emptyStructure.SetStructure();
  EXPECT_FALSE(emptyCollection.ToBool());
  EXPECT_FALSE(emptyStructure.ToBool());
}

TEST(BindingPropertyTest, ToText) {
  struct Row {
    BindingProperty value;
    std::string expected;
  };
  Row rows[] = {
      {BindingProperty(true), "true"},
      {BindingProperty(false), "false"},
      {BindingProperty(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
      {BindingProperty(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615"},
      {BindingProperty(1.5), "1.500000"},
      {BindingProperty(-0.25), "-0.250000"},
      {BindingProperty(1e20), "100000000000000000000.000000"},
      {BindingProperty("text"), "text"},
      {BindingProperty(Bytes{}), ""},
      {BindingProperty(Bytes{'f'}), "Zg=="},
      {BindingProperty(Bytes{'f', 'o'}), "Zm8="},
      {BindingProperty(Bytes{'f', 'o', 'o'}), "Zm9v"},
      {BindingProperty(Bytes{'f', 'o', 'o', 'b'}), "Zm9vYg=="},
      {BindingProperty(Bytes{0xFF, 0xFE, 0xFD}), "//79"},
      {BindingProperty(EnumValue{-4, 1}), "-4"},
      {Make(BindingKind::Collection), ""},
      {Make(BindingKind::Structure), ""},
      {BindingProperty(), ""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.value.ToText(), row.expected) << KindName(row.value.Kind());
  }
}

TEST(BindingPropertyTest, ToSigned) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  struct Row {
    const char* label;
    BindingProperty value;
    std::int64_t expected;
  };
  Row rows[] = {
      {"hex", BindingProperty("0x10"), 16},
      {"octal", BindingProperty("010"), 8},
      {"digits then letters", BindingProperty("12abc"), 12},
      {"letters only", BindingProperty("abc"), 0},
      {"empty text", BindingProperty(""), 0},
      {"space and sign", BindingProperty(" \t-42"), -42},
      {"plus sign", BindingProperty("+7"), 7},
      {"0x without digits", BindingProperty("0x"), 0},
      {"octal stops at 8", BindingProperty("0789"), 7},
      {"overflow saturates", BindingProperty("99999999999999999999"), kMax},
      {"negative overflow saturates", BindingProperty("-99999999999999999999"), kMin},
      {"int64 min text", BindingProperty("-9223372036854775808"), kMin},
      {"bool true", BindingProperty(true), 1},
      {"bool false", BindingProperty(false), 0},
      {"unsigned max keeps the bits", BindingProperty(std::uint64_t{0xFFFFFFFFFFFFFFFF}), -1},
      {"float truncates", BindingProperty(2.9), 2},
      {"negative float truncates", BindingProperty(-2.9), -2},
      {"huge float saturates", BindingProperty(1e300), kMax},
      {"huge negative float saturates", BindingProperty(-1e300), kMin},
      {"NaN gives the default", BindingProperty(std::nan("")), 77},
      {"enum", BindingProperty(EnumValue{-5, 1}), -5},
      {"blob gives the default", BindingProperty(Bytes{1}), 77},
      {"collection gives the default", Make(BindingKind::Collection), 77},
      {"empty gives the default", BindingProperty(), 77},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.value.ToSigned(77), row.expected) << row.label;
  }
}

TEST(BindingPropertyTest, ReadingAMemberOfAStringChangesNothingWritingOneMakesAStructure) {
  BindingProperty value("text");
  EXPECT_TRUE(value.Member("key").IsEmpty());
  EXPECT_EQ(&value.Member("key"), &BindingProperty::EmptyValue());
  EXPECT_TRUE(value.Element(0).IsEmpty());
  EXPECT_EQ(value.GetString(), "text");

  value.MutableMember("key") = 1;
  EXPECT_EQ(value.Kind(), BindingKind::Structure);
  EXPECT_EQ(value.Size(), 1u);
  EXPECT_EQ(value.Member("key").GetSigned(), 1);
}

TEST(BindingPropertyTest, KeyMayViewTheStringItReplaces) {
  BindingProperty value("a rather long key that lives in the pool of the tree");
  value.MutableMember(value.GetString()) = 1;
  EXPECT_EQ(KeysOf(value),
            std::vector<std::string>{"a rather long key that lives in the pool of the tree"});
  value.MutableMember("x") = "again";
  value.MutableMember("x") = value.Member("x").GetString();  // a String set from its own text
  EXPECT_EQ(value.Member("x").GetString(), "again");
}

TEST(BindingPropertyTest, KeyMayViewATextInsideTheContainerItReplaces) {
  BindingProperty value;
  value.Append() = "a key that lives in an element of the collection being replaced";
  value.MutableMember(value.Element(0).GetString()) = 1;
  EXPECT_EQ(KeysOf(value), std::vector<std::string>{
                               "a key that lives in an element of the collection being replaced"});
}

TEST(BindingPropertyTest, BlobsAreCopiedIntoTheTree) {
  Bytes big(10000);
  for (std::size_t i = 0; i < big.size(); ++i)
    big[i] = static_cast<std::uint8_t>(i * 7);
  BindingProperty tree;
  tree.MutableMember("small") = Bytes{1, 2, 3};
  tree.MutableMember("big") = Bytes(big);
  tree.MutableMember("none") = Bytes{};
  BindingProperty& small = tree.MutableMember("small");
  small = small.GetBlob().subspan(1);  // set from a view of its own bytes
  EXPECT_EQ(small, BindingProperty(Bytes{2, 3}));
  EXPECT_EQ(tree.Member("big").Size(), big.size());
  EXPECT_TRUE(std::equal(big.begin(), big.end(), tree.Member("big").GetBlob().begin()));
  EXPECT_EQ(tree.Member("none").Kind(), BindingKind::Blob);
  EXPECT_EQ(tree.Member("none").Size(), 0u);
  BindingProperty copy = tree;
  EXPECT_EQ(copy, tree);
}

TEST(BindingPropertyTest, WritingAnIndexPadsWithEmptyElements) {
  BindingProperty value;
  value.MutableElement(3) = "last";
  ASSERT_EQ(value.Kind(), BindingKind::Collection);
  ASSERT_EQ(value.Size(), 4u);
  for (std::size_t i = 0; i < 3; ++i)
    EXPECT_TRUE(value.Element(i).IsEmpty()) << i;
  EXPECT_EQ(value.Element(3).GetString(), "last");
  EXPECT_TRUE(value.Element(4).IsEmpty());
  EXPECT_FALSE(value.Element(0).IsRoot());

  // A non-collection turns into one; elements survive growth with their contents.
  BindingProperty list = 5;
  for (int i = 0; i < 100; ++i)
    list.Append().MutableMember("n") = i;
  ASSERT_EQ(list.Size(), 100u);
  for (int i = 0; i < 100; ++i)
    EXPECT_EQ(list.Element(i).Member("n").GetSigned(), i);
}

TEST(BindingPropertyTest, MembersIterateInByteWiseKeyOrder) {
  BindingProperty value;
  value.MutableMember("b") = 1;
  value.MutableMember("a") = 2;
  value.MutableMember("B") = 3;
  EXPECT_EQ(KeysOf(value), (std::vector<std::string>{"B", "a", "b"}));

  BindingProperty tricky;
  for (const char* key : {"ab", "a", "", "\xC3\xA9", "~", "abc", "A"})
    tricky.MutableMember(key);
  // Unsigned byte order: a prefix sorts first, bytes >= 0x80 after ASCII.
  EXPECT_EQ(KeysOf(tricky), (std::vector<std::string>{"", "A", "a", "ab", "abc", "~", "\xC3\xA9"}));
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
      case 1: {
        std::int64_t number = static_cast<std::int64_t>(random() % 1000);
        value.MutableMember(key) = number;
        model[key] = number;
        break;
      }
      case 2:
        EXPECT_EQ(value.RemoveMember(key), model.erase(key) == 1) << key;
        break;
      default: {
        const BindingProperty* found = value.FindMember(key);
        auto expected = model.find(key);
        ASSERT_EQ(found != nullptr, expected != model.end()) << key;
        if (found != nullptr) {
          EXPECT_EQ(found->GetSigned(), expected->second);
        }
      }
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

TEST(BindingPropertyTest, MovingARootHandsTheTreeOver) {
  BindingProperty source;
  source.MutableMember("name") = "value";
  const BindingContext* context = source.Context();
  const BindingProperty* member = source.FindMember("name");

  BindingProperty target(std::move(source));
  EXPECT_EQ(target.Context(), context);
  EXPECT_EQ(target.FindMember("name"), member);  // not copied
  EXPECT_TRUE(source.IsEmpty());
  EXPECT_EQ(source.Context(), nullptr);

  BindingProperty other;
  other = "old";
  const BindingContext* otherContext = other.Context();
  other = std::move(target);
  EXPECT_EQ(other.Context(), context);
  EXPECT_EQ(other.FindMember("name"), member);
  // The source keeps the target's former context, cleared.
  EXPECT_TRUE(target.IsEmpty());
  EXPECT_EQ(target.Context(), otherContext);
  EXPECT_EQ(otherContext->InternedCount(), 0u);
}

TEST(BindingPropertyTest, MovingAMemberIntoARootCopiesItAndEmptiesTheMember) {
  BindingProperty tree;
  tree.MutableMember("inner").MutableMember("x") = "deep";
  tree.MutableMember("other") = 1;

  BindingProperty taken(std::move(tree.MutableMember("inner")));
  EXPECT_NE(taken.Context(), tree.Context());
  EXPECT_EQ(taken.Member("x").GetString(), "deep");
  EXPECT_TRUE(tree.Member("inner").IsEmpty());
  EXPECT_TRUE(tree.HasMember("inner"));
  EXPECT_EQ(tree.Member("other").GetSigned(), 1);
  EXPECT_EQ(tree.Context()->References("deep"), 0u);

  BindingProperty assigned = 3;
  tree.MutableMember("again") = "v";
  assigned = std::move(tree.MutableMember("again"));
  EXPECT_EQ(assigned.GetString(), "v");
  EXPECT_TRUE(tree.Member("again").IsEmpty());
}

TEST(BindingPropertyTest, CopyIntoAnotherTreeIsDeepAndReinterns) {
  BindingProperty source;
  source.MutableMember("list").Append() = "shared";
  source.MutableMember("list").Append() = Bytes{9, 8};
  source.MutableMember("list").Append() = EnumValue{1, 2};
  source.MutableMember("shared") = 2.5;

  BindingProperty target;
  target.MutableMember("keep") = 1;
  BindingProperty& slot = target.MutableMember("slot");
  slot = source;
  EXPECT_EQ(target.Member("slot"), source);
  EXPECT_EQ(target.Member("keep").GetSigned(), 1);
  EXPECT_NE(target.Context(), source.Context());
  // "shared" is a key and a String in each tree: two references per tree.
  EXPECT_EQ(source.Context()->References("shared"), 2u);
  EXPECT_EQ(target.Context()->References("shared"), 2u);

  source.Clear();
  EXPECT_EQ(target.Member("slot").Member("list").Element(0).GetString(), "shared");
  EXPECT_EQ(source.Context()->InternedCount(), 0u);
}

TEST(BindingPropertyTest, CopyWithinOneTreeInEitherDirection) {
  BindingProperty tree;
  tree.MutableMember("a").MutableMember("b") = "x";

  // A tree copied into one of its own members.
  tree.MutableMember("a").MutableMember("self") = tree;
  EXPECT_EQ(tree.Member("a").Member("self").Member("a").Member("b").GetString(), "x");
  // The copy was taken after the target member existed, so it holds that member as Empty.
  EXPECT_TRUE(tree.Member("a").Member("self").Member("a").Member("self").IsEmpty());

  // A member copied over its own ancestor.
  tree = tree.Member("a").Member("self");
  EXPECT_EQ(KeysOf(tree), std::vector<std::string>{"a"});
  EXPECT_EQ(tree.Member("a").Member("b").GetString(), "x");

  // Moving a root into its own member copies it and keeps the source alive.
  tree.MutableMember("m") = std::move(tree);
  EXPECT_EQ(tree.Member("m").Member("a").Member("b").GetString(), "x");

  tree = tree;  // self-assignment keeps the value
  EXPECT_EQ(tree.Member("a").Member("b").GetString(), "x");
}

TEST(BindingPropertyTest, InterningCountsReferences) {
  BindingProperty tree;
  BindingProperty& first = tree.MutableElement(0);
  BindingProperty& second = tree.MutableElement(1);
  first = "same";
  second = std::string("same");
  const BindingContext* context = tree.Context();
  EXPECT_EQ(context->InternedCount(), 1u);
  EXPECT_EQ(context->References("same"), 2u);

  tree.MutableElement(0).Clear();
  EXPECT_EQ(context->References("same"), 1u);
  tree.MutableElement(1) = 5;
  EXPECT_EQ(context->References("same"), 0u);
  EXPECT_EQ(context->InternedCount(), 0u);

  // The empty text is shared and never counted.
  tree.MutableElement(2) = "";
  EXPECT_EQ(context->InternedCount(), 0u);
}

TEST(BindingPropertyTest, StringTableGrowsAndResetsToEightBuckets) {
  BindingProperty tree;
  for (int i = 0; i < 100; ++i)
    tree.MutableMember("key" + std::to_string(i)) = i;
  const BindingContext* context = tree.Context();
  EXPECT_EQ(context->InternedCount(), 100u);
  EXPECT_GE(context->BucketCount(), 100u);  // load factor at most 1.0
  for (int i = 0; i < 100; ++i)
    EXPECT_EQ(tree.Member("key" + std::to_string(i)).GetSigned(), i);
  tree.Clear();
  EXPECT_EQ(context->InternedCount(), 0u);
  EXPECT_EQ(context->BucketCount(), 8u);
  EXPECT_EQ(context->PooledBlocksInUse(), 1u);  // the bucket array
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

// Containers without room share one payload; growing or copying one must never write to it.
TEST(BindingPropertyTest, EmptyContainersGrowLikeAnyOther) {
  BindingProperty first;
  first.SetCollection();
  BindingProperty second;
  second.SetCollection();
  first.Append() = 1;
  EXPECT_EQ(first.Size(), 1u);
  EXPECT_EQ(second.Size(), 0u);
  BindingProperty map;
  map.SetStructure();
  BindingProperty copy = map;
  map.MutableMember("a") = 1;
  EXPECT_EQ(map.Size(), 1u);
  EXPECT_EQ(copy.Size(), 0u);
  EXPECT_EQ(copy.Kind(), BindingKind::Structure);
  second.Reserve(3);
  EXPECT_EQ(second.Size(), 0u);
  second.MutableElement(2) = 3;
  EXPECT_EQ(second.Size(), 3u);
  EXPECT_FALSE(copy.RemoveMember("a"));
  copy.Clear();
  EXPECT_TRUE(copy.IsEmpty());
}

TEST(BindingPropertyTest, EqualityIsDeep) {
  BindingProperty a = Make(BindingKind::Structure);
  BindingProperty b = Make(BindingKind::Structure);
  EXPECT_EQ(a, b);
  b.MutableMember("c") = 4;
  EXPECT_NE(a, b);
  EXPECT_NE(BindingProperty(1), BindingProperty(1u));  // kinds differ
  EXPECT_NE(BindingProperty(EnumValue{1, 2}), BindingProperty(EnumValue{1, 3}));
  EXPECT_EQ(BindingProperty(Bytes{1, 2}), BindingProperty(Bytes{1, 2}));
  BindingProperty c = Make(BindingKind::Structure);
  c.RemoveMember("c");
  c.MutableMember("d") = 3;
  EXPECT_NE(a, c);
}

TEST(BindingPropertyTest, ReadingChangesNothingInTheTree) {
  BindingProperty tree;
  for (int i = 0; i < 20; ++i)
    tree.MutableMember("m" + std::to_string(i)).Append() = "v";
  const BindingContext* context = tree.Context();
  std::size_t blocks = context->PooledBlocksInUse();
  std::size_t strings = context->InternedCount();
  const BindingProperty& view = tree;
  std::size_t seen = 0;
  for (const BindingMember& member : view.Members()) {
    for (const BindingProperty& element : member.Value().Elements())
      seen += element.Size();
  }
  EXPECT_EQ(seen, 20u);
  EXPECT_TRUE(view.Member("absent").IsEmpty());
  EXPECT_TRUE(view.Member("m1").Element(7).IsEmpty());
  EXPECT_EQ(view.Member("m1").Element(0).GetString(), "v");
  EXPECT_EQ(context->PooledBlocksInUse(), blocks);
  EXPECT_EQ(context->InternedCount(), strings);
  EXPECT_EQ(tree.Size(), 20u);
}

TEST(BindingPropertyTest, ReserveIsBoundedAndKeepsElements) {
  BindingProperty list;
  list.Reserve(std::numeric_limits<std::size_t>::max());  // an untrusted count must not allocate it
  EXPECT_EQ(list.Kind(), BindingKind::Collection);
  list.Append() = 1;
  list.Reserve(10);
  EXPECT_EQ(list.Element(0).GetSigned(), 1);
  BindingProperty text = "t";
  text.Reserve(5);  // no effect on other kinds
  EXPECT_EQ(text.GetString(), "t");
  BindingProperty map;
  map.SetStructure(std::numeric_limits<std::size_t>::max());
  map.MutableMember("a") = 1;
  EXPECT_EQ(map.Size(), 1u);
}

// ---- Pools and pages ----------------------------------------------------------------------

TEST(BindingPoolTest, PagesAndRegionsGoBackWhenFree) {
  BindingPageProvider& provider = BindingPageProvider::Instance();
  const std::size_t pagesBefore = provider.PagesInUse();
  const std::size_t regionsBefore = provider.RegionCount();
  {
    BindingProperty tree;
    // Thousands of enum payloads (8-byte blocks) need many pages of one pool.
    for (int i = 0; i < 20000; ++i)
      tree.Append() = EnumValue{i, 1};
    std::size_t held = tree.Context()->PagesHeld();
    EXPECT_GT(held, kBindingPagesPerRegion);  // more than one region's worth
    EXPECT_EQ(provider.PagesInUse(), pagesBefore + held);
    EXPECT_GT(provider.RegionCount(), regionsBefore);

    // Freeing every other block keeps the pages; freeing the rest returns them.
    for (int i = 0; i < 20000; i += 2)
      tree.MutableElement(i).Clear();
    EXPECT_EQ(tree.Context()->PagesHeld(), held);
    for (int i = 1; i < 20000; i += 2)
      tree.MutableElement(i).Clear();
    EXPECT_EQ(tree.Context()->PagesHeld(), 0u);
    EXPECT_EQ(provider.PagesInUse(), pagesBefore);
    EXPECT_EQ(provider.RegionCount(), regionsBefore);
  }
  EXPECT_EQ(provider.PagesInUse(), pagesBefore);
}

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
      item.MutableMember("id") = i;
      item.MutableMember("name") = "item number " + std::to_string(i);
      item.MutableMember("kind") = EnumValue{i % 7, 9};
      item.MutableMember("blob") = Bytes(static_cast<std::size_t>(i % 100), 1);
      item.MutableMember("long") = std::string(static_cast<std::size_t>(100 + i % 50), 'y');
    }
    EXPECT_GT(tree.Context()->PagesHeld(), 2 * kBindingPagesPerRegion);
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

// Small trees (a reply of a few members, a login session) fit the inline areas of their pools.
TEST(BindingPoolTest, SmallTreesTakeNoPages) {
  const std::size_t pagesBefore = BindingPageProvider::Instance().PagesInUse();
  const char* const texts[] = {
      R"({"ip":12345,"vp":678})",
      R"({"accountId":200004871,"gasToken":{"access_token":"token-1","expires_in":3600,)"
      R"("scope":"openid"},"idToken":"eyJraWQiOiJzMSIsImFsZyI6IlJTMjU2In0.eyJzdWIiOiJhYmMifQ.)"
      R"(c2lnbmF0dXJl","state":"SUCCEEDED","summonerId":2418915})",
      R"({"id":8123456,"eventTypeId":"PURCHASE_COMPLETE","eventType":"purchase",)"
      R"("status":"COMPLETED","items":[1,2,3]})",
  };
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    MaybeType<Failure, BindingProperty> parsed = ParseJson(text);
    ASSERT_TRUE(parsed.Succeeded()) << parsed.ErrorMessage();
    EXPECT_EQ(parsed->Context()->PagesHeld(), 0u);
    EXPECT_EQ(BindingPageProvider::Instance().PagesInUse(), pagesBefore);
  }
}

TEST(BindingPoolTest, BlocksOfEverySizeClassAreDistinctAndReused) {
  BindingContext context;
  for (std::size_t size = 1; size <= detail::kLargestPooledBlock; ++size) {
    SCOPED_TRACE(size);
    std::vector<unsigned char*> blocks;
    for (int i = 0; i < 300; ++i) {
      auto* block = static_cast<unsigned char*>(context.Allocate(size));
      std::memset(block, i & 0xFF, size);
      if (size % 8 == 0) {
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 8, 0u);
      }
      blocks.push_back(block);
    }
    for (int i = 0; i < 300; ++i) {
      for (std::size_t b = 0; b < size; ++b)
        ASSERT_EQ(blocks[i][b], i & 0xFF) << i;
    }
    for (unsigned char* block : blocks)
      context.Free(block, size);
    EXPECT_EQ(context.PooledBlocksInUse(), 0u);
    EXPECT_EQ(context.PagesHeld(), 0u);
  }
}

// Trees on several threads at once share only the page provider (run under TSan too).
TEST(BindingPoolTest, TreesOnSeveralThreads) {
  const std::size_t pagesBefore = BindingPageProvider::Instance().PagesInUse();
  auto work = [](int seed, bool* ok) {
    *ok = true;
    for (int round = 0; round < 20; ++round) {
      BindingProperty tree;
      for (int i = 0; i < 600; ++i) {
        BindingProperty& item = tree.MutableMember("item" + std::to_string(i));
        item.MutableMember("id") = seed * 1000 + i;
        item.MutableMember("tags").Append() = EnumValue{i, 3};
        item.MutableMember("name") = "name" + std::to_string(i % 50);
      }
      BindingProperty copy = tree;
      if (!(copy == tree) || copy.Size() != 600) *ok = false;
    }
  };
  bool results[4] = {};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back(work, t, &results[t]);
  for (auto& thread : threads)
    thread.join();
  for (bool ok : results)
    EXPECT_TRUE(ok);
  EXPECT_EQ(BindingPageProvider::Instance().PagesInUse(), pagesBefore);
}

}  // namespace
}  // namespace qor

namespace qor {
namespace {

TEST(BindingPropertyDeathTest, AnIndexBeyondMemoryIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  BindingProperty list;
  EXPECT_DEATH(list.MutableElement(std::numeric_limits<std::size_t>::max()),
               "beyond addressable memory");
}

}  // namespace
}  // namespace qor
