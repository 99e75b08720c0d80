// The host ABI header seen from C and from C++ must describe the same records.
#include "api/host_abi.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "tests/api/abi_c_layout.h"

namespace {

TEST(HostAbi, CAndCppAgreeOnEveryLayout) {
  const std::vector<size_t> cpp = {
      sizeof(HostValue),
      sizeof(HostStructureEntry),
      offsetof(HostStructureEntry, ownedKey),
      sizeof(HostArgument),
      sizeof(PluginLocalRequest),
      offsetof(PluginLocalRequest, invocationName),
      sizeof(PluginLocalResponse),
      offsetof(PluginLocalResponse, release),
      sizeof(PluginExternalRequest),
      sizeof(PluginExternalResponse),
      sizeof(PluginEvent),
      sizeof(PluginHostApi),
      sizeof(PluginHost),
      sizeof(PluginFunctionEntry),
      offsetof(PluginFunctionEntry, call),
      sizeof(PluginParameterEntry),
      sizeof(PluginTypeEntry),
      sizeof(PluginFieldEntry),
      sizeof(PluginEnumeratorEntry),
      sizeof(PluginEventEntry),
      sizeof(PluginEndpointTable),
      sizeof(PluginLoadInfo),
      sizeof(PluginMemoryStats),
  };
  std::vector<size_t> c(cpp.size() + 1, 0);
  ASSERT_EQ(QorAbiCLayout(c.data(), c.size()), cpp.size());
  c.resize(cpp.size());
  EXPECT_EQ(c, cpp);
}

TEST(HostAbi, CallEntryWorksFromC) {
  EXPECT_EQ(QorAbiCCallThroughEntry(), 206);
}

}  // namespace
