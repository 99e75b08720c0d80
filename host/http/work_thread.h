// WorkThread: the one thread that runs every call into the plug-in, and the hand-over of calls
// to it from other threads.
//
// The loop runs, in each pass, the calls handed over so far and then the host core's pending
// work (queued work, event deliveries, due scheduled callbacks), and then serves the HTTP
// front it was given (so that requests reach the plug-in with no hand-over at all); when a
// pass ran nothing it sleeps until something is handed over or posted, the front has work,
// or 10 ms have passed (scheduled callbacks fall due without a signal). The plug-in's nested
// waits run passes too, but never serve the front, which does not nest: while a call waits
// (for an outside request, say), the other clients wait with it, as they would for any call
// into the plug-in, which runs one at a time. Calls handed over before a
// pass starts run after the core work queued before them, so a caller that queues an event and then
// hands over a call sees the event delivered first.
//
// The hand-over is built for many short calls from many threads: a caller puts a slot on its
// own stack into a lock-free list and waits on that slot alone (a short spin, then a futex);
// the work thread takes the whole list at once, runs it in order and wakes each caller. The
// work thread is woken only when it sleeps. No allocation, no lock, no shared condition
// variable on the way.
//
// Thread rule: Call, Post and Wake from any thread; RunPendingOrWait on the work thread;
// Start and Stop from one owning thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>
#include <type_traits>
#include <utility>

#include "host/core/host_core.h"
#include "host/http/http_front.h"

namespace qor::host::detail {

class WorkThread {
 public:
  explicit WorkThread(HostCore& core);
  ~WorkThread();
  WorkThread(const WorkThread&) = delete;
  WorkThread& operator=(const WorkThread&) = delete;

  void Start();
  // Runs what is queued, then ends the loop and joins it. Idempotent.
  void Stop();

  // Runs `work` on the work thread and waits for it (at once when called on the work thread).
  template <typename F>
  void Call(F&& work) {
    using Work = std::remove_reference_t<F>;
    Slot slot;
    slot.run = [](void* context) { (*static_cast<Work*>(context))(); };
    slot.context = const_cast<void*>(static_cast<const void*>(&work));
    Run(slot);
  }
  // Queues `work` with the host core's work and wakes the loop.
  void Post(std::function<void()> work);
  // Tells the loop that something was queued with the host core from another thread.
  void Wake();
  // One pass; when it ran nothing, waits up to 10 ms for a hand-over or a post. For the
  // plug-in's RunPendingWork, which nests calls inside its waits.
  void RunPendingOrWait();
  // Runs what was queued with the core so far: at once on the work thread, elsewhere by
  // waiting for the work thread to have run it.
  void Flush();
  // Serves `front` (started with HttpThreading::kCallerLoop) from the loop; nullptr stops
  // serving. On the work thread.
  void Serve(HttpFront* front) { front_ = front; }

  bool OnWorkThread() const {
    return std::this_thread::get_id() == threadId_.load(std::memory_order_acquire);
  }

 private:
  // One handed-over call, on the caller's stack until it is done.
  struct Slot {
    void (*run)(void*) = nullptr;
    void* context = nullptr;
    Slot* next = nullptr;
    std::atomic<uint32_t> state{kPending};
  };
  static constexpr uint32_t kPending = 0;
  static constexpr uint32_t kDone = 1;
  static constexpr uint32_t kSleeping = 2;  // the caller waits on the futex

  void Run(Slot& slot);
  // Runs the hand-overs taken before the core's pending work, then that work. Returns the
  // number of items run.
  size_t Pass();
  // Sleeps until the signal moves away from `seen` (or, when `serving`, the front has work),
  // at most 10 ms.
  void Sleep(uint32_t seen, bool serving);
  void Loop();

  HostCore& core_;
  std::thread thread_;
  std::atomic<std::thread::id> threadId_{};
  std::atomic<Slot*> handOvers_{nullptr};  // newest first
  std::atomic<uint32_t> signal_{0};        // moves on every hand-over and post
  std::atomic<bool> sleeping_{false};      // the loop is in (or about to enter) Sleep
  std::atomic<bool> stopping_{false};
  const int wakeFd_;            // an eventfd, written to wake the loop from Sleep
  HttpFront* front_ = nullptr;  // on the work thread only
};

}  // namespace qor::host::detail
