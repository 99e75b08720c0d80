// The developer host's work thread: calls handed over from many threads, their order against
// the host core's queued work, calls nested inside a wait, and stopping.
#include "host/http/work_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qor::host::detail {
namespace {

class WorkThreadTest : public ::testing::Test {
 protected:
  void SetUp() override { work_.Start(); }
  void TearDown() override { work_.Stop(); }

  HostCore core_;
  WorkThread work_{core_};
};

TEST_F(WorkThreadTest, CallsFromManyThreadsRunOnceEachOnTheWorkThread) {
  constexpr int kThreads = 8;
  constexpr int kCalls = 2000;
  std::thread::id workThread;
  work_.Call([&] { workThread = std::this_thread::get_id(); });

  std::atomic<int> wrong{0};  // calls off the work thread, or over before their result
  uint64_t total = 0;         // touched on the work thread only
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        int answer = -1;
        work_.Call([&] {
          if (std::this_thread::get_id() != workThread) ++wrong;
          total += 1;
          answer = t * kCalls + i;
        });
        // The call is over when Call returns: its result is there.
        if (answer != t * kCalls + i) ++wrong;
      }
    });
  }
  for (std::thread& caller : callers)
    caller.join();
  uint64_t seen = 0;
  work_.Call([&] { seen = total; });
  EXPECT_EQ(seen, uint64_t{kThreads} * kCalls);
  EXPECT_EQ(wrong.load(), 0);
}

// The control API queues an event and then waits for "everything queued so far": a call handed
// over after work was queued with the core runs after that work.
TEST_F(WorkThreadTest, CoreWorkQueuedBeforeACallRunsBeforeIt) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 300;
  std::mutex mutex;
  std::vector<std::vector<int>> seen(kThreads);  // per thread: what ran, in order
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        core_.Post([&, t, i] {
          std::lock_guard lock(mutex);
          seen[t].push_back(2 * i);
        });
        work_.Wake();
        work_.Call([&, t, i] {
          std::lock_guard lock(mutex);
          seen[t].push_back(2 * i + 1);
        });
      }
    });
  }
  for (std::thread& caller : callers)
    caller.join();
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[t].size(), size_t{2 * kRounds});
    for (int k = 0; k < 2 * kRounds; ++k)
      ASSERT_EQ(seen[t][k], k) << "thread " << t;
  }
}

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
