#include "host/http/work_thread.h"

#include <linux/futex.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

namespace qor::host::detail {
namespace {

// The loop's longest sleep: scheduled callbacks fall due without a signal.
constexpr int kIdleWaitMillis = 10;
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

WorkThread::WorkThread(HostCore& core)
    : core_(core), wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WorkThread::~WorkThread() {
  Stop();
  if (wakeFd_ >= 0) close(wakeFd_);
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
    const uint64_t one = 1;
    (void)!write(wakeFd_, &one, sizeof(one));
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

void WorkThread::Sleep(uint32_t seen, bool serving) {
  sleeping_.store(true, std::memory_order_seq_cst);
  // A hand-over or post after `seen` was read has moved the signal; Wake saw `sleeping_` (and
  // wrote the eventfd, so the poll returns at once) or the check below sees the new value.
  if (signal_.load(std::memory_order_seq_cst) == seen &&
      !stopping_.load(std::memory_order_seq_cst)) {
    pollfd watched[2] = {{wakeFd_, POLLIN, 0}, {-1, POLLIN, 0}};
    int timeout = kIdleWaitMillis;
    if (serving && front_ != nullptr) {
      watched[1].fd = front_->PollFd();
      const int frontTimeout = front_->TimeoutMillis();
      if (frontTimeout >= 0) timeout = std::min(timeout, frontTimeout);
    }
    poll(watched, 2, timeout);
    if (watched[0].revents != 0) {
      uint64_t count = 0;
      (void)!read(wakeFd_, &count, sizeof(count));
    }
  }
  sleeping_.store(false, std::memory_order_relaxed);
}

void WorkThread::RunPendingOrWait() {
  const uint32_t seen = signal_.load(std::memory_order_seq_cst);
  if (Pass() > 0) return;
  Sleep(seen, false);
}

void WorkThread::Flush() {
  if (OnWorkThread()) {
    Pass();
  } else {
    Call([] {});
  }
}

void WorkThread::Loop() {
  threadId_.store(std::this_thread::get_id(), std::memory_order_release);
  for (;;) {
    const uint32_t seen = signal_.load(std::memory_order_seq_cst);
    const bool stopping = stopping_.load(std::memory_order_seq_cst);
    const size_t ran = Pass();
    if (front_ != nullptr) front_->Run();
    if (ran > 0) continue;
    if (stopping) break;
    Sleep(seen, true);
  }
}

}  // namespace qor::host::detail
