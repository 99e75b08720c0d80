// A test suite sharing one qor-host child that runs the test plug-in: started before the
// suite's first test, stopped after its last. Needs QOR_HOST_BINARY and QOR_TEST_PLUGIN.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tests/e2e/host_process.h"

namespace qor::host::testing {

// `Suite` derives from TestPluginHost<Suite>, so each suite has a host of its own, and may
// declare `static std::optional<std::string> Scenario()` to start it with a scenario.
template <typename Suite>
class TestPluginHost : public ::testing::Test {
 protected:
  static std::optional<std::string> Scenario() { return std::nullopt; }

  static void SetUpTestSuite() {
    host_ =
        HostProcess::Start(QOR_HOST_BINARY, {"--plugin", QOR_TEST_PLUGIN, "--log-level", "none"},
                           Suite::Scenario())
            .release();
  }
  static void TearDownTestSuite() {
    delete host_;
    host_ = nullptr;
  }
  void SetUp() override { ASSERT_FALSE(host_->Url().empty()) << host_->Stderr(); }
  static const HostProcess& Host() { return *host_; }

 private:
  inline static HostProcess* host_ = nullptr;
};

}  // namespace qor::host::testing
