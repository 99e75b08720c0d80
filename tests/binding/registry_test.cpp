#include "binding/registry.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "binding/record.h"

namespace qor {
namespace {

struct Point {
  std::int32_t x = 0;
  std::int32_t y = 0;
};
enum class Shade : std::int32_t { Dark = 1, Light = 2 };

TEST(TypeRegistryTest, SecondDeclarationIsRefusedAndLookupsFindTheFirst) {
  TypeRegistry registry;
  auto first = DeclareRecord<Point>(registry, "Point", "first").Field("x", &Point::x);
  EXPECT_FALSE(first.Refused());
  auto second =
      DeclareRecord<Point>(registry, "Point", "second").Field("y", &Point::y).Tag("extra");
  EXPECT_TRUE(second.Refused());
  EXPECT_EQ(second.Record(), nullptr);

  const TypeRecord* record = registry.FindType("Point");
  ASSERT_NE(record, nullptr);
  ASSERT_EQ(record->Fields().size(), 1u);
  EXPECT_EQ(record->Fields()[0]->name, "x");
  EXPECT_EQ(record->Description(), "first");
  EXPECT_TRUE(record->Tags().empty());
  EXPECT_EQ(registry.Types().size(), 1u);

  // Lookups by name and by identifier.
  DeclareEnum<Shade>(registry, "Shade").Value("Dark", Shade::Dark);
  const TypeRecord* shade = registry.FindType("Shade");
  ASSERT_NE(shade, nullptr);
  EXPECT_EQ(registry.FindType(StaticType::Id<Point>())->Name(), "Point");
  EXPECT_EQ(registry.FindType<Shade>(), shade);
  EXPECT_TRUE(shade->IsEnum());
  EXPECT_EQ(registry.FindType("point"), nullptr);
  EXPECT_EQ(registry.FindType(StaticType::Id<int>()), nullptr);

  // The reserved identifier is never indexed.
  static constexpr TypeIdRecord kUnnamed{kReservedTypeId, {}};
  EXPECT_FALSE(registry.BeginType("Loose", 8, kUnnamed, false).Refused());
  EXPECT_NE(registry.FindType("Loose"), nullptr);
  EXPECT_EQ(registry.FindType(kReservedTypeId), nullptr);
}

TEST(TypeRegistryTest, EnumValuesReplaceAndLookUp) {
  TypeRegistry registry;
  TypeBuilder builder = registry.BeginType("Letters", 4, StaticType::Record<Shade>(), true);
  builder.AddEnumValue("A", 1).AddEnumValue("A", 2, "second");
  builder.AddEnumValue("Zed", 7).AddEnumValue("Beta", 7).AddEnumValue("Alpha", 7);
  const TypeRecord* record = builder.Record();
  ASSERT_NE(record, nullptr);
  ASSERT_EQ(record->Values().size(), 4u);
  EXPECT_EQ(record->FindValue("A")->value, 2);
  EXPECT_EQ(record->FindValue("A")->description, "second");
  EXPECT_EQ(registry.EnumValueOf(*record, "Zed"), 7);
  EXPECT_EQ(registry.EnumValueOf(*record, "zed"), std::nullopt);

  // A value shared by several names is named by the one that sorts first.
  EXPECT_EQ(registry.EnumName(record->Id(), 7), "Alpha");
  EXPECT_EQ(registry.EnumName(record->Id(), 2), "A");
  EXPECT_EQ(registry.EnumName(record->Id(), 1), std::nullopt);
  EXPECT_EQ(registry.EnumName(StaticType::Id<int>(), 2), std::nullopt);
}

struct Holder {
  std::vector<std::int32_t> numbers;
  std::map<std::string, Point> points;
  std::optional<Shade> shade;
  Point point;
  BindingProperty any;
  Bytes bytes;
};

TEST(TypeRegistryTest, DescriptorsAndDescriptions) {
  TypeRegistry registry;
  DeclareRecord<Holder>(registry, "Holder")
      .Field("numbers", &Holder::numbers)
      .Field("points", &Holder::points, kRequired, "by name")
      .Field("shade", &Holder::shade)
      .Field("point", &Holder::point)
      .Field("any", &Holder::any)
      .Field("bytes", &Holder::bytes);
  const TypeRecord* holder = registry.FindType("Holder");
  ASSERT_NE(holder, nullptr);
  ASSERT_EQ(holder->Fields().size(), 6u);

  // Point and Shade are declared after Holder: their names resolve by identifier.
  DeclareRecord<Point>(registry, "Point");
  DeclareEnum<Shade>(registry, "Shade");
  const std::pair<const char*, const char*> rows[] = {
      {"numbers", "vector<int32>"}, {"points", "map<Point>"}, {"shade", "Shade"},
      {"point", "Point"},           {"any", "object"},        {"bytes", "blob"},
  };
  for (const auto& [name, described] : rows) {
    const FieldRecord* field = holder->FindField(name);
    ASSERT_NE(field, nullptr) << name;
    EXPECT_EQ(registry.Describe(field->type), described);
    EXPECT_EQ(field->owner, holder);
  }
  EXPECT_TRUE(holder->FindField("points")->Required());
  EXPECT_TRUE(holder->FindField("shade")->optional);
  EXPECT_EQ(holder->FindField("missing"), nullptr);

  // A struct or enum descriptor without any record describes by its code.
  EXPECT_EQ(registry.Describe(TypeDescriptor{NativeType::Vector, NativeType::Struct}),
            "vector<struct>");
}

// Two different types that share one identifier (printed alike, e.g. one name in two
// anonymous namespaces of two files) never resolve to each other's record.
// What two such types' identity records hold: one identifier, one printed name, two records.
constexpr TypeIdRecord kFirst{0x1234ABCDu, "struct (anonymous namespace)::Thing"};
constexpr TypeIdRecord kSecond{0x1234ABCDu, "struct (anonymous namespace)::Thing"};

TEST(TypeIdentity, ADifferentTypeUnderAHeldIdentifierIsRefused) {
  TypeRegistry registry;
  ASSERT_FALSE(registry.BeginType("First", 4, kFirst, false).Refused());
  const TypeBuilder second = registry.BeginType("Second", 8, kSecond, false);
  EXPECT_TRUE(second.Refused());
  EXPECT_EQ(second.Refusal(),
            "Type 'Second' (struct (anonymous namespace)::Thing) is refused: its identifier "
            "#1234ABCD is already held by the type 'First' (struct (anonymous namespace)::Thing)");
  EXPECT_EQ(registry.FindType("Second"), nullptr);
  ASSERT_NE(registry.FindType(kFirst.id), nullptr);
  EXPECT_EQ(registry.FindType(kFirst.id)->Name(), "First");

  // The same type under a second name is still accepted; its identifier keeps the first.
  const TypeBuilder alias = registry.BeginType("Alias", 4, kFirst, false);
  EXPECT_FALSE(alias.Refused());
  EXPECT_TRUE(alias.Refusal().empty());
  EXPECT_EQ(registry.FindType(kFirst.id)->Name(), "First");
}

}  // namespace
}  // namespace qor
