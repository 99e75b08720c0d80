// The debugger-console target: silent without a tracer, writing with one, and asking whether
// one is attached at most once a second, outside the logger's lock.
#include <gtest/gtest.h>

#include <string>

#include "foundation/detail/log_state.h"
#include "foundation/log.h"

namespace qor {
namespace {

int asked = 0;
bool tracing = false;

bool Probe() {
  ++asked;
  // Asked before the logger's lock is taken: not from inside a delivery.
  EXPECT_FALSE(detail::InsideLogDelivery());
  return tracing;
}

// The standard error text of three warnings sent to the debugger group.
std::string WriteThree(Logger& logger) {
  testing::internal::CaptureStderr();
  for (int i = 0; i < 3; ++i)
    logger.Write(LogLevel::Warn, log_group::kDbg, "line");
  return testing::internal::GetCapturedStderr();
}

TEST(DebuggerConsoleTarget, WritesOnlyWithATracerAskingOncePerSecond) {
  ScopedLogger scoped;
  Logger& logger = *scoped;
  logger.Detach(logger.StdErrTarget());
  DebuggerConsoleLogTarget& target = logger.DebuggerConsoleTarget();
  logger.Detach(target);
  ASSERT_TRUE(logger.Register(target, LogLevel::Warn, log_group::kDbg, 0, "#M"));

  // No tracer under the test runner: the default probe keeps the target silent.
  target.SetTracerProbe(nullptr);
  EXPECT_EQ(WriteThree(logger), "");

  for (const bool attached : {false, true}) {
    SCOPED_TRACE(attached);
    tracing = attached;
    asked = 0;
    target.SetTracerProbe(&Probe);
    EXPECT_EQ(WriteThree(logger), attached ? "line\nline\nline\n" : "");
    EXPECT_EQ(asked, 1);
  }

  target.SetTracerProbe(nullptr);
}

}  // namespace
}  // namespace qor
