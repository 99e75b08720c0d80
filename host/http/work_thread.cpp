#include "host/http/work_thread.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace qor::host::detail {
namespace {

// The loop's longest sleep: scheduled callbacks fall due without a signal.
constexpr long kIdleWaitNanoseconds = 10'000'000;
// Checks of a slot before its caller sleeps, while the work thread is awake: a short call
// handed to a running work thread can end within them, and a sleep costs two context
// switches. Callers of a sleeping work thread sleep at once.
constexpr int kSpins = 64;

// Sleeps while `*word` holds `expected`, at most `timeout` (null: no limit). Returns at once
// when the word holds another value; may return early for no reason.
void FutexWait(std::atomic<uint32_t>& word, uint32_t expected, const timespec* timeout) {
  static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, timeout,
          nullptr, 0);
}

// Wakes the threads sleeping on `word`. The word may already be gone (its waiter saw the new
// value and left): waking an address nobody sleeps on is harmless, and every waiter re-checks
// its word after waking.
void FutexWakeAll(std::atomic<uint32_t>& word) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr,
          nullptr, 0);
}

void Relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace

WorkThread::~WorkThread() {
  Stop();
}

void WorkThread::Start() {
  thread_ = std::thread([this] { Loop(); });
}

void WorkThread::Stop() {
  if (!thread_.joinable()) return;
  stopping_.store(true, std::memory_order_seq_cst);
  Wake();
  thread_.join();
}

void WorkThread::Post(std::function<void()> work) {
  core_.Post(std::move(work));
  Wake();
}

void WorkThread::Wake() {
  signal_.fetch_add(1, std::memory_order_seq_cst);
  // One of the threads that see the loop asleep wakes it.
  if (sleeping_.load(std::memory_order_seq_cst) &&
      sleeping_.exchange(false, std::memory_order_seq_cst)) {
    FutexWakeAll(signal_);
  }
}

void WorkThread::Run(Slot& slot) {
  if (OnWorkThread()) {
    slot.run(slot.context);
    return;
  }
  Slot* head = handOvers_.load(std::memory_order_relaxed);
  do {
    slot.next = head;
  } while (!handOvers_.compare_exchange_weak(head, &slot, std::memory_order_release,
                                             std::memory_order_relaxed));
  Wake();

  for (int i = 0; i < kSpins && !sleeping_.load(std::memory_order_relaxed); ++i) {
    if (slot.state.load(std::memory_order_acquire) == kDone) return;
    Relax();
  }
  uint32_t expected = kPending;
  if (!slot.state.compare_exchange_strong(expected, kSleeping, std::memory_order_acq_rel)) {
    return;  // done meanwhile
  }
  while (slot.state.load(std::memory_order_acquire) != kDone)
    FutexWait(slot.state, kSleeping, nullptr);
}

size_t WorkThread::Pass() {
  // Taken before the core's work runs: everything a caller queued with the core before handing
  // over its call runs first.
  Slot* taken = handOvers_.exchange(nullptr, std::memory_order_acquire);
  size_t ran = core_.RunPendingWork();
  Slot* inOrder = nullptr;  // the list is newest first
  while (taken != nullptr) {
    Slot* next = taken->next;
    taken->next = inOrder;
    inOrder = taken;
    taken = next;
  }
  while (inOrder != nullptr) {
    Slot* slot = inOrder;
    inOrder = slot->next;  // read before the caller may leave
    slot->run(slot->context);
    ++ran;
    if (slot->state.exchange(kDone, std::memory_order_acq_rel) == kSleeping) {
      FutexWakeAll(slot->state);
    }
  }
  return ran;
}

void WorkThread::Sleep(uint32_t seen) {
  sleeping_.store(true, std::memory_order_seq_cst);
  // A hand-over or post after `seen` was read has moved the signal; Wake saw `sleeping_` or
  // the check below sees the new value.
  if (signal_.load(std::memory_order_seq_cst) == seen &&
      !stopping_.load(std::memory_order_seq_cst)) {
    const timespec timeout{0, kIdleWaitNanoseconds};
    FutexWait(signal_, seen, &timeout);
  }
  sleeping_.store(false, std::memory_order_relaxed);
}

void WorkThread::RunPendingOrWait() {
  const uint32_t seen = signal_.load(std::memory_order_seq_cst);
  if (Pass() > 0) return;
  Sleep(seen);
}

void WorkThread::Loop() {
  threadId_.store(std::this_thread::get_id(), std::memory_order_release);
  for (;;) {
    const uint32_t seen = signal_.load(std::memory_order_seq_cst);
    const bool stopping = stopping_.load(std::memory_order_seq_cst);
    if (Pass() > 0) continue;
    if (stopping) break;
    Sleep(seen);
  }
}

}  // namespace qor::host::detail
