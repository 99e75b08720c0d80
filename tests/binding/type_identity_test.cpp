// Type identifiers in the registry: two different types that share one (printed alike, e.g.
// one name in two anonymous namespaces of two files) never resolve to each other's record.
#include <gtest/gtest.h>

#include "binding/registry.h"

namespace qor {
namespace {

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
