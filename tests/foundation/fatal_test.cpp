#include "foundation/fatal.h"

#include <gtest/gtest.h>

#include <csignal>
#include <tuple>

#include "foundation/log.h"

namespace qor {
namespace {

TEST(FatalReportTest, PartsAppearOnlyWhenGiven) {
  // Expression, description, file, line, function, and the report.
  const std::tuple<const char*, const char*, const char*, int, const char*, const char*> rows[] = {
      {"ALE-EECF0606", "", "", 0, "", "Assertion failed!\n\nExpression: ALE-EECF0606"},
      {"", "", "f.cpp", 0, "", "Assertion failed!\n\nFile: f.cpp\n"},
      {"", "", "", -12, "", "Assertion failed!\n\nLine: -12\n\n"},
      {"", "why", "", 0, "", "Assertion failed!\n\n\n\nDescription: why"},
      {"", "", "", 0, "", "Assertion failed!\n\n"},
      {"x > 0", "x must be positive", "a/b.cpp", 42, "void F()",
       "Assertion failed!\n\nFile: a/b.cpp\nLine: 42\n\nFunction: void F()\n\n"
       "Expression: x > 0\n\nDescription: x must be positive"},
  };
  for (const auto& [expression, description, file, line, function, report] : rows)
    EXPECT_EQ(BuildFatalReport(expression, description, file, line, function), report);
}

// The report reaches the log (here the standard-error target) before the process ends.
using FatalDeathTest = ::testing::Test;

// The whole report, in the standard-error target's line format, and nothing after it.
TEST_F(FatalDeathTest, FatalAbortLogsTheReportThenAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        FatalAbort("ptr != nullptr", "no state", "waiting.cpp", 17, "Await");
        Log(LogLevel::Always, 0, "after the fatal call");
      },
      ::testing::KilledBySignal(SIGABRT),
      "foundation_tests\\(0x[0-9a-f]+\\):  ERROR\\| Assertion failed!\n\nFile: waiting.cpp\nLine: "
      "17\n\nFunction: Await\n\nExpression: ptr != nullptr\n\nDescription: no state\n$");
}

// A target whose write hits the fatal path: the logger's lock is held, so the report goes
// straight to standard error.
class FailingTarget : public LogTarget {
 public:
  FailingTarget() : LogTarget(LogLevel::Okay) {}
  ~FailingTarget() override { Detach(); }
  std::string_view Name() const override { return "FailingTarget"; }

 protected:
  void WriteLocked(const LogRecord&) override { FatalExit("ALE-00000001"); }
};

TEST_F(FatalDeathTest, FatalInsideATargetWriteStillReportsAndAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ScopedLogger logger;
        FailingTarget target;
        logger->Register(target);
        Log(LogLevel::Warn, 0, "trigger");
      },
      ::testing::KilledBySignal(SIGABRT), "Assertion failed!\n\nExpression: ALE-00000001\n");
}

TEST(FatalTest, FatalAloneOnlyLogs) {
  ScopedLogger logger;
  ::testing::internal::CaptureStderr();
  Fatal("E", "", "", 0, "");
  const std::string text = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(text.find(" ERROR| Assertion failed!\n\nExpression: E\n"), std::string::npos) << text;
  EXPECT_EQ(logger->ErrorCount(), 1u);
}

}  // namespace
}  // namespace qor
