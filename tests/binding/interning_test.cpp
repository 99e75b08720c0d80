// Texts whose FNV-1a hashes collide stay apart in a tree's string table.
#include <gtest/gtest.h>

#include "binding/detail/context.h"
#include "binding/property.h"

namespace qor {
namespace {

TEST(StringTable, TextsWithTheSameHashKeepTheirOwnEntries) {
  // Pairs of equal FNV-1a 32 hashes: of equal length (compared byte for byte) and not.
  const char* const texts[] = {"declinate", "macallums",  "altarages",
                               "zinkes",    "costarring", "liquid"};
  BindingProperty tree;
  for (int round = 0; round < 2; ++round) {
    for (const char* text : texts)
      tree.Append() = text;
  }
  for (const char* text : texts)
    EXPECT_EQ(tree.Context()->References(text), 2u) << text;
  EXPECT_EQ(tree.Context()->InternedCount(), std::size(texts));
  EXPECT_EQ(tree.Element(7).GetString(), "macallums");
}

}  // namespace
}  // namespace qor
