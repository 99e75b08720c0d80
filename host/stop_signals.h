// StopSignals: how the developer programs wait for SIGINT or SIGTERM.
//
// Construct it in main before any thread starts: it blocks both signals (every thread started
// afterwards inherits the mask, so none of them is interrupted by them) and ignores SIGPIPE (a
// client that hangs up must not end the process). Wait() then returns the signal taken.
#pragma once

#include <pthread.h>
#include <signal.h>

namespace qor::host {

class StopSignals {
 public:
  StopSignals() {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
    signal(SIGPIPE, SIG_IGN);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Waits for SIGINT or SIGTERM and returns its name.
  const char* Wait() const {
    int taken = 0;
    sigwait(&signals_, &taken);
    return taken == SIGINT ? "SIGINT" : "SIGTERM";
  }

 private:
  sigset_t signals_;
};

}  // namespace qor::host
