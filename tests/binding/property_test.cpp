#include "binding/property.h"

#include <gtest/gtest.h>

namespace qor {
namespace {

TEST(BindingPropertyTest, DefaultIsEmpty) {
  BindingProperty value;
  EXPECT_EQ(value.Kind(), BindingKind::Empty);
}

}  // namespace
}  // namespace qor
