// The developer host's work thread: calls nested inside a wait, work that runs without a call,
// and stopping. Calls from many threads at once are shown end to end (host_e2e_test.cpp).
#include "host/http/work_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace qor::host::detail {
namespace {

class WorkThreadTest : public ::testing::Test {
 protected:
  void SetUp() override { work_.Start(); }
  void TearDown() override { work_.Stop(); }

  HostCore core_;
  WorkThread work_{core_};
};

// The plug-in waits by calling RunPendingWork until what it waits for has happened; calls
// handed over meanwhile run nested inside that wait, and a call made on the work thread itself
// runs at once.
TEST_F(WorkThreadTest, CallsRunNestedInsideAWaitAndInlineOnTheWorkThread) {
  std::atomic<bool> waiting{false};
  std::atomic<bool> released{false};
  bool inlineRan = false;
  std::thread waiter([&] {
    work_.Call([&] {
      work_.Call([&] { inlineRan = true; });
      waiting = true;
      while (!released.load())
        work_.RunPendingOrWait();
    });
  });
  while (!waiting.load())
    std::this_thread::yield();
  work_.Call([&] { released = true; });  // can only run inside the wait above
  waiter.join();
  EXPECT_TRUE(inlineRan);
}

TEST_F(WorkThreadTest, PostedWorkAndDueCallbacksRunWithoutAnyCallAndStopRunsWhatIsQueued) {
  std::atomic<int> ran{0};
  work_.Post([&] { ++ran; });
  // A scheduled callback falls due with no signal: the idle loop looks again on its own.
  const PluginHostApi* api = core_.Api();
  api->ScheduleCallback(
      api, "test", [](void* context) { ++*static_cast<std::atomic<int>*>(context); }, &ran, 0.02,
      0);
  for (int i = 0; i < 10000 && ran.load() < 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(ran.load(), 2);

  for (int i = 0; i < 100; ++i)
    work_.Post([&] { ++ran; });
  work_.Stop();
  work_.Stop();  // idempotent
  EXPECT_EQ(ran.load(), 102);
}

}  // namespace
}  // namespace qor::host::detail
