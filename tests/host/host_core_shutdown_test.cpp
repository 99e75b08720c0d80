// A plug-in's timers end with the plug-in: what DropScheduled leaves for later passes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/core/host_core.h"

namespace qor::host {
namespace {

std::vector<std::string>* ran = nullptr;

void Record(void* context) {
  ran->emplace_back(static_cast<const char*>(context));
}

TEST(HostCoreShutdown, DroppedTimersNeverRunNotEvenThoseTakenByThePassInProgress) {
  double now = 0;
  HostCore host([&now] { return now; });
  std::vector<std::string> seen;
  ran = &seen;
  const PluginHostApi* api = host.Api();
  api->ScheduleCallback(api, "due", &Record, const_cast<char*>("due"), 0.0, 0);
  api->ScheduleCallback(api, "later", &Record, const_cast<char*>("later"), 5.0, 0);
  // The shutdown runs as work of the same pass that has taken "due" already.
  host.Post([&] { EXPECT_EQ(host.DropScheduled(), 1u); });

  EXPECT_EQ(host.RunPendingWork(), 1u);
  now += 10;
  EXPECT_EQ(host.Drain(), 0u);
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(host.PendingScheduled(), 0u);

  // Timers scheduled afterwards (by the next plug-in) run as usual.
  api->ScheduleCallback(api, "next", &Record, const_cast<char*>("next"), 0.0, 0);
  EXPECT_EQ(host.RunPendingWork(), 1u);
  EXPECT_EQ(seen, std::vector<std::string>{"next"});
  ran = nullptr;
}

}  // namespace
}  // namespace qor::host
