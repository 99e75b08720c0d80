// The process-wide logger and its targets.
//
// One `Logger` (created on first acquisition, destroyed on the last release) collects log
// records and hands each to the registered targets whose filters accept it. Three console
// targets come built in: standard error and the debugger console (registered at creation) and
// standard output (not registered). Other targets derive from `LogTarget`.
//
// Thread rule: any thread may log. The logger's lock covers filtering and every target's
// write; each target's lock covers its own output. A record logged from inside a target's
// write on the same thread is dropped (it would otherwise deadlock).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/format.h"

namespace qor {

enum class LogLevel : uint8_t { Okay = 0, Warn = 1, Error = 2, Always = 3 };

// The six-character tag of a level in log lines ("  OKAY", "  WARN", " ERROR", "ALWAYS").
std::string_view LogLevelTag(LogLevel level);

// The predefined group bits; more codes can be registered with Logger::RegisterGroup.
namespace log_group {
inline constexpr uint64_t kDbg = 1, kGen = 2, kXtr = 4, kPrf = 8, kMem = 16, kDsk = 32, kNet = 64,
                          kTst = 128;
}

// Longest message of a record and longest formatted line, in bytes.
inline constexpr size_t kMaxLogMessage = 4096;
inline constexpr size_t kMaxLogLine = 4096;

struct LogRecord {
  // Local time.
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
  LogLevel level = LogLevel::Okay;
  uint64_t groups = 0;
  std::string message;  // formatted, at most kMaxLogMessage bytes
  // Milliseconds since the logger's first time stamp (the "#H" code).
  int64_t sinceStartMs = 0;
};

// A record with the current local time and the given contents (message cut to
// kMaxLogMessage bytes).
LogRecord MakeLogRecord(LogLevel level, uint64_t groups, std::string_view message);

// Base of every log target: its own lock, a level threshold, include and exclude group masks
// and a line format. Subclasses implement WriteLocked (and FlushLocked when they buffer);
// the base takes the target's lock around both, so implementations never lock. A subclass
// with state of its own calls Detach() in its destructor, so that no write reaches it while
// it is being destroyed. Targets are not owned by the logger. A write must not register or
// detach targets.
//
// Line format codes: "#D" local time, "#E" executable name, "#G" group codes joined by ";",
// "#H" seconds since the first time stamp, "#L" level tag, "#M" message, "#T" thread id;
// '#' followed by any other character gives that character. Formats are compiled when set.
class LogTarget {
 public:
  LogTarget(const LogTarget&) = delete;
  LogTarget& operator=(const LogTarget&) = delete;
  // Detaches the target when it is still registered.
  virtual ~LogTarget();

  virtual std::string_view Name() const = 0;

  // Removes the target from the logger's list when registered; otherwise does nothing.
  void Detach();
  bool Registered() const { return registered_.load(std::memory_order_acquire); }

  LogLevel Threshold() const { return threshold_.load(std::memory_order_relaxed); }
  void SetThreshold(LogLevel level) { threshold_.store(level, std::memory_order_relaxed); }
  uint64_t IncludeMask() const { return include_.load(std::memory_order_relaxed); }
  void SetIncludeMask(uint64_t mask) { include_.store(mask, std::memory_order_relaxed); }
  uint64_t ExcludeMask() const { return exclude_.load(std::memory_order_relaxed); }
  void SetExcludeMask(uint64_t mask) { exclude_.store(mask, std::memory_order_relaxed); }
  std::string LineFormat() const;
  void SetLineFormat(std::string_view format);

  // Whether a record of this level and these groups passes the target's filters: the level
  // reaches the threshold and, when the record has groups, they miss the exclude mask and
  // meet the include mask (when one is set).
  bool Accepts(LogLevel level, uint64_t groups) const;

  // The record as a line in this target's format: at most kMaxLogLine bytes, always ending in
  // exactly one newline.
  std::string FormatLine(const LogRecord& record) const;

  // Takes the target's lock and calls WriteLocked / FlushLocked.
  void Write(const LogRecord& record);
  void Flush();

 protected:
  explicit LogTarget(LogLevel threshold = LogLevel::Warn, uint64_t include = 0,
                     uint64_t exclude = 0, std::string_view format = "#D| #L| #G| #M");

  // Called with the target's lock held.
  virtual void WriteLocked(const LogRecord& record) = 0;
  virtual void FlushLocked() {}
  // FormatLine for use inside WriteLocked (the lock is already held).
  std::string FormatLineLocked(const LogRecord& record) const;

 private:
  friend class Logger;
  struct Segment {
    char code;  // 0 for literal text
    std::string text;
  };

  mutable std::mutex mutex_;
  std::vector<Segment> segments_;  // guarded by mutex_
  std::string format_;             // guarded by mutex_
  std::atomic<bool> registered_{false};
  std::atomic<LogLevel> threshold_;
  std::atomic<uint64_t> include_;
  std::atomic<uint64_t> exclude_;
};

// Base of the console targets: formats the line and hands it to WriteLine.
class BaseConsoleLogTarget : public LogTarget {
 protected:
  using LogTarget::LogTarget;
  void WriteLocked(const LogRecord& record) final;
  virtual void WriteLine(std::string_view line) = 0;
};

class StdErrLogTarget final : public BaseConsoleLogTarget {
 public:
  StdErrLogTarget();
  std::string_view Name() const override { return "StdErrLogTarget"; }

 protected:
  void WriteLine(std::string_view line) override;
  void FlushLocked() override;
};

class StdOutLogTarget final : public BaseConsoleLogTarget {
 public:
  StdOutLogTarget();
  std::string_view Name() const override { return "StdOutLogTarget"; }

 protected:
  void WriteLine(std::string_view line) override;
  void FlushLocked() override;
};

// Writes to standard error only while a tracer (debugger) is attached to the process;
// otherwise its lines go nowhere. Whether one is attached is asked at most once a second, by
// the logger before it takes its lock (never per line, never under a lock).
class DebuggerConsoleLogTarget final : public BaseConsoleLogTarget {
 public:
  // Tells whether a tracer is attached (by default: "TracerPid" in /proc/self/status).
  using TracerProbe = bool (*)();

  DebuggerConsoleLogTarget();
  std::string_view Name() const override { return "DebuggerConsoleLogTarget"; }

  // Asks the probe when a second has passed since it was last asked (one thread asks).
  void RefreshTracer();
  // Replaces the probe (null: the default one); it is asked at the next refresh.
  void SetTracerProbe(TracerProbe probe);

 protected:
  void WriteLine(std::string_view line) override;
  void FlushLocked() override;

 private:
  std::atomic<TracerProbe> probe_;
  std::atomic<bool> tracer_{false};
  std::atomic<int64_t> nextCheckMs_{0};  // steady milliseconds from which to ask again
};

class Logger {
 public:
  // Takes a reference to the process-wide logger, creating it when there is none.
  static Logger& Acquire();
  // Drops a reference; the last one destroys the logger (its targets are detached).
  static void Release();

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Global level threshold (initially Warn).
  void SetLevel(LogLevel level) { level_.store(level, std::memory_order_relaxed); }
  LogLevel Level() const { return level_.load(std::memory_order_relaxed); }
  // Muted-group mask (initially kXtr): records meeting it are dropped.
  void SetMuted(uint64_t mask) { muted_.store(mask, std::memory_order_relaxed); }
  uint64_t Muted() const { return muted_.load(std::memory_order_relaxed); }
  // While paused every record is dropped.
  void Pause() { paused_.store(true, std::memory_order_relaxed); }
  void Resume() { paused_.store(false, std::memory_order_relaxed); }
  bool Paused() const { return paused_.load(std::memory_order_relaxed); }

  // Whether a record of this level and these groups passes the global filters.
  bool Enabled(LogLevel level, uint64_t groups) const;

  // Appends a target to the list; false when it is already registered (the target is not
  // owned: it must be detached or destroyed before it goes away). The second form sets the
  // target's threshold, masks and format first.
  bool Register(LogTarget& target);
  bool Register(LogTarget& target, LogLevel threshold, uint64_t include, uint64_t exclude,
                std::string_view format);
  void Detach(LogTarget& target);
  // The registered target of that name, or nullptr.
  LogTarget* FindTarget(std::string_view name);

  // The built-in console targets, registered or not.
  StdErrLogTarget& StdErrTarget() { return stdErr_; }
  StdOutLogTarget& StdOutTarget() { return stdOut_; }
  DebuggerConsoleLogTarget& DebuggerConsoleTarget() { return debugger_; }

  // Registers a three-letter group code (longer codes are cut to three letters) and returns
  // its bit; an existing code keeps its bit. Returns 0 when the code is empty or the table of
  // 64 codes is full. The table outlives the logger.
  static uint64_t RegisterGroup(std::string_view code);
  // The codes of the mask's bits joined by ";"; bits without a code read "???".
  static std::string FormatGroups(uint64_t mask);

  // The executable's file name without its directory ("<unknown>" when it cannot be read).
  const std::string& ExecutableName() const { return executable_; }
  uint64_t WarnCount() const { return warnCount_.load(std::memory_order_relaxed); }
  uint64_t ErrorCount() const { return errorCount_.load(std::memory_order_relaxed); }

  // Hands a formatted record to the accepting targets, after the global filters.
  void Write(LogLevel level, uint64_t groups, std::string_view message);
  // Hands the record to the accepting targets without the global filters, then flushes every
  // target. Used for fatal reports, which must never be dropped.
  // Returns false when the record could not be delivered (logged from inside a target's
  // write on this thread).
  bool WriteUnfiltered(LogLevel level, uint64_t groups, std::string_view message);
  void FlushAll();

 private:
  Logger();
  ~Logger();
  // False when the record could not be delivered because this thread is already inside a
  // target's write.
  bool Deliver(const LogRecord& record, bool flush);

  std::mutex mutex_;
  std::vector<LogTarget*> targets_;  // guarded by mutex_
  std::atomic<bool> paused_{false};
  std::atomic<LogLevel> level_{LogLevel::Warn};
  std::atomic<uint64_t> muted_{log_group::kXtr};
  std::string executable_;
  std::atomic<uint64_t> warnCount_{0};
  std::atomic<uint64_t> errorCount_{0};
  StdErrLogTarget stdErr_;
  StdOutLogTarget stdOut_;
  DebuggerConsoleLogTarget debugger_;
};

// Holds a logger reference for a scope.
class ScopedLogger {
 public:
  ScopedLogger() : logger_(Logger::Acquire()) {}
  ~ScopedLogger() { Logger::Release(); }
  ScopedLogger(const ScopedLogger&) = delete;
  ScopedLogger& operator=(const ScopedLogger&) = delete;
  Logger* operator->() const { return &logger_; }
  Logger& operator*() const { return logger_; }

 private:
  Logger& logger_;
};

// Logs a record: dropped when the logger is paused, the level is below the global level or
// the groups meet the muted mask; otherwise the message is formatted (printf-style, as
// FormatTo) into at most kMaxLogMessage bytes and handed to the targets.
void LogV(LogLevel level, uint64_t groups, std::string_view format,
          std::span<const FormatArg> args);

template <class... A>
void Log(LogLevel level, uint64_t groups, std::string_view format, const A&... args) {
  const std::array<FormatArg, sizeof...(A)> list{FormatArg(args)...};
  LogV(level, groups, format, std::span<const FormatArg>(list.data(), list.size()));
}

// Debug traces: a hook that does nothing.
template <class... A>
void Trace(std::string_view /*format*/, const A&... /*args*/) {}

}  // namespace qor
