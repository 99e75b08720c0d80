// The host ABI header seen from C and from C++ must describe the same records.
#include "api/host_abi.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "tests/api/abi_c_layout.h"

namespace {

TEST(HostAbi, CAndCppAgreeOnEveryLayout) {
  const std::vector<size_t> cpp = {QOR_ABI_LAYOUT};
  std::vector<size_t> c(cpp.size() + 1, 0);
  ASSERT_EQ(QorAbiCLayout(c.data(), c.size()), cpp.size());
  c.resize(cpp.size());
  EXPECT_EQ(c, cpp);
}

}  // namespace
