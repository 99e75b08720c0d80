#include "foundation/log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>
#include <tuple>
#include <vector>

namespace qor {
namespace {

using ::testing::MatchesRegex;

// Keeps every record and its formatted line.
class CaptureTarget : public LogTarget {
 public:
  explicit CaptureTarget(std::string_view format = "#M")
      : LogTarget(LogLevel::Okay, 0, 0, format) {}
  ~CaptureTarget() override { Detach(); }
  std::string_view Name() const override { return "CaptureTarget"; }

  std::vector<LogRecord> records;
  std::vector<std::string> lines;

 protected:
  void WriteLocked(const LogRecord& record) override {
    records.push_back(record);
    lines.push_back(FormatLineLocked(record));
  }
};

// Every test starts from a fresh logger: the fixture holds the only reference.
class LoggerTest : public ::testing::Test {
 protected:
  ScopedLogger logger;
};

// Standard error takes level 1 without groups, not level 2 in "GEN"; the standard output
// target, not registered at first, would take that one but not "DBG".
TEST_F(LoggerTest, BuiltInTargetsStartWithTheirFilters) {
  EXPECT_TRUE(logger->StdOutTarget().Accepts(LogLevel::Error, log_group::kGen));
  EXPECT_FALSE(logger->StdOutTarget().Accepts(LogLevel::Error, log_group::kDbg));
  ::testing::internal::CaptureStderr();
  Log(LogLevel::Error, log_group::kGen, "general %1", 1);
  Log(LogLevel::Okay, 0, "too low");
  Log(LogLevel::Warn, 0, "plain %1", 2);
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              MatchesRegex("foundation_tests\\(0x[0-9a-f]+\\):   WARN\\| plain 2\n"));
}

// Muted groups, the level and pausing apply before any target; warnings and errors are
// counted as they pass.
TEST_F(LoggerTest, GlobalFiltersAndCounts) {
  EXPECT_FALSE(logger->Enabled(LogLevel::Okay, 0));
  CaptureTarget capture;
  ASSERT_TRUE(logger->Register(capture));
  Log(LogLevel::Warn, log_group::kXtr, "muted");
  Log(LogLevel::Error, log_group::kXtr | log_group::kNet, "muted too");
  Log(LogLevel::Okay, 0, "below level");
  Log(LogLevel::Error, log_group::kGen, "error");
  logger->SetMuted(0);
  Log(LogLevel::Warn, log_group::kXtr, "unmuted");
  logger->SetLevel(LogLevel::Okay);
  Log(LogLevel::Okay, 0, "level lowered");
  logger->Pause();
  Log(LogLevel::Always, 0, "paused");
  logger->Resume();
  logger->SetLevel(LogLevel::Always);
  Log(LogLevel::Error, 0, "below raised level");
  Log(LogLevel::Always, 0, "always");
  std::vector<std::string> messages;
  for (const LogRecord& record : capture.records)
    messages.push_back(record.message);
  EXPECT_EQ(messages, (std::vector<std::string>{"error", "unmuted", "level lowered", "always"}));
  EXPECT_EQ(logger->WarnCount(), 1u);
  EXPECT_EQ(logger->ErrorCount(), 1u);
}

TEST_F(LoggerTest, TargetFilters) {
  using namespace log_group;
  // Threshold, include and exclude masks of the target; level and groups of the record.
  const std::tuple<LogLevel, uint64_t, uint64_t, LogLevel, uint64_t, bool> rows[] = {
      {LogLevel::Warn, kNet, 0, LogLevel::Warn, kNet, true},
      {LogLevel::Warn, kNet, 0, LogLevel::Warn, 0, true},  // no groups: masks do not apply
      {LogLevel::Warn, kNet, 0, LogLevel::Warn, kDsk, false},
      {LogLevel::Warn, kNet, 0, LogLevel::Warn, kDsk | kNet, true},
      {LogLevel::Warn, 0, kDsk, LogLevel::Warn, kDsk | kNet, false},
      {LogLevel::Warn, kNet, kNet, LogLevel::Warn, kNet, false},
      {LogLevel::Warn, 0, kDsk, LogLevel::Warn, kPrf, true},
      {LogLevel::Error, 0, 0, LogLevel::Warn, 0, false},
      {LogLevel::Error, 0, 0, LogLevel::Always, 0, true},
  };
  for (const auto& [threshold, include, exclude, level, groups, accepted] : rows) {
    CaptureTarget capture;
    ASSERT_TRUE(logger->Register(capture, threshold, include, exclude, "#M"));
    Log(level, groups, "x");
    EXPECT_EQ(capture.records.size(), accepted ? 1u : 0u)
        << "include " << include << " exclude " << exclude << " groups " << groups;
  }
}

// Every directive of a line format in one line: "##" is "#", "#%" is "%", "#" before an
// unknown letter is dropped and a final one kept; the line ends with a newline.
TEST_F(LoggerTest, LineFormats) {
  LogRecord record = MakeLogRecord(LogLevel::Error, log_group::kDbg | log_group::kNet, "hi");
  record.sinceStartMs = 61234;
  CaptureTarget target("#X##|#%|#L|#G|#H|#E|#T|#D|#M end#");
  EXPECT_THAT(
      target.FormatLine(record),
      MatchesRegex("X#\\|%\\| ERROR\\|DBG;NET\\|000061\\.234\\|foundation_tests\\|0x[0-9a-f]+\\|"
                   "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}\\|hi end#\n"));
}

TEST_F(LoggerTest, LongMessagesAndLinesAreCut) {
  CaptureTarget capture("#M");
  ASSERT_TRUE(logger->Register(capture));
  const std::string longText(5000, 'a');
  Log(LogLevel::Warn, 0, "%s", longText);
  ASSERT_EQ(capture.records.size(), 1u);
  EXPECT_EQ(capture.records[0].message, std::string(kMaxLogMessage, 'a'));
  // The full line keeps its newline: the last character makes room for it.
  EXPECT_EQ(capture.lines[0], std::string(kMaxLogLine - 1, 'a') + "\n");

  EXPECT_EQ(CaptureTarget(">>#M<<").FormatLine(capture.records[0]),
            ">>" + std::string(kMaxLogLine - 3, 'a') + "\n");

  // A message that already ends in a newline at the limit is not doubled.
  LogRecord exact = MakeLogRecord(LogLevel::Warn, 0, std::string(kMaxLogLine - 1, 'b') + "\n");
  EXPECT_EQ(CaptureTarget("#M").FormatLine(exact).size(), kMaxLogLine);
}

// A target is registered once, and detached by hand, when destroyed, or when the last
// reference to the logger goes (which destroys the logger).
TEST(LoggerLifetimeTest, RegistrationAndDetaching) {
  CaptureTarget capture;
  {
    ScopedLogger first;
    first->SetLevel(LogLevel::Okay);
    EXPECT_TRUE(first->Register(capture));
    EXPECT_FALSE(first->Register(capture));
    EXPECT_EQ(first->FindTarget("CaptureTarget"), &capture);
    Log(LogLevel::Warn, 0, "one");
    capture.Detach();
    EXPECT_EQ(first->FindTarget("CaptureTarget"), nullptr);
    Log(LogLevel::Warn, 0, "two");
    EXPECT_EQ(capture.records.size(), 1u);
    {
      CaptureTarget scoped;
      first->Register(scoped);
    }  // destroyed: detached
    EXPECT_EQ(first->FindTarget("CaptureTarget"), nullptr);
    Log(LogLevel::Warn, 0, "three");  // must not touch the destroyed target
    first->Register(capture);
    ScopedLogger second;
    EXPECT_EQ(&*first, &*second);
  }
  EXPECT_FALSE(capture.Registered());
  ScopedLogger fresh;
  EXPECT_EQ(fresh->Level(), LogLevel::Warn);
  EXPECT_EQ(fresh->FindTarget("CaptureTarget"), nullptr);
}

TEST_F(LoggerTest, GroupsAreRegisteredAndFormatted) {
  EXPECT_EQ(Logger::RegisterGroup("DSK"), log_group::kDsk);
  const uint64_t bit = Logger::RegisterGroup("QZA");
  EXPECT_GT(bit, log_group::kTst);
  EXPECT_EQ(Logger::RegisterGroup("QZAextra"), bit);  // compared on three letters
  EXPECT_EQ(Logger::RegisterGroup(""), 0u);
  EXPECT_EQ(Logger::FormatGroups(log_group::kDbg | log_group::kTst | bit), "DBG;TST;QZA");
  EXPECT_EQ(Logger::FormatGroups(uint64_t{1} << 63), "???");
}

// A target that logs while writing: the nested record is dropped rather than dead-locking.
class ReentrantTarget : public CaptureTarget {
 protected:
  void WriteLocked(const LogRecord& record) override {
    CaptureTarget::WriteLocked(record);
    Log(LogLevel::Always, 0, "nested");
  }
};

TEST_F(LoggerTest, ManyThreadsLogWholeRecordsAndNestedOnesAreDropped) {
  ReentrantTarget capture;
  logger->Register(capture);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i)
        Log(LogLevel::Warn, 0, "thread %1 record %2", t, i);
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  ASSERT_EQ(capture.records.size(), 800u);
  for (const std::string& line : capture.lines) {
    EXPECT_THAT(line, MatchesRegex("thread [0-3] record [0-9]+\n"));
  }
}

}  // namespace
}  // namespace qor
