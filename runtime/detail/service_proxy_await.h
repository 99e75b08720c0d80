// Waiting for a future on a host thread: while it is not ready the host runs its pending work
// on this thread (so the answer that fulfils it can arrive), bracketed by one wait marker.
#pragma once

#include <chrono>
#include <future>
#include <string>

#include "binding/static_type.h"
#include "foundation/fatal.h"
#include "foundation/format.h"
#include "runtime/resource_events.h"

namespace qor::detail {

// The future's value. Polls without waiting; while not ready: BeginWait("Wait: future<...>")
// the first time, then RunPendingWork per poll; EndWait once when a wait began. A future
// without state, or one whose value cannot be taken, ends the process ("ALE-6D828C10").
template <typename M>
M AwaitFuture(EventModulePort& module, std::future<M>& future) {
  if (!future.valid()) FatalExit("ALE-6D828C10");
  bool waiting = false;
  while (future.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
    if (!waiting) {
      module.BeginWait(Format("Wait: future<%1>", StaticType::Name<M>()));
      waiting = true;
    }
    module.RunPendingWork();
  }
  if (waiting) module.EndWait();
  try {
    return future.get();
  } catch (const std::future_error&) {
    FatalExit("ALE-6D828C10");
  }
}

}  // namespace qor::detail
