#include "foundation/log.h"

#include "foundation/detail/log_state.h"

#include <fcntl.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace qor {

namespace {

// ---- Group codes: process-wide, they outlive any one logger ----

constexpr size_t kMaxGroups = 64;

struct GroupTable {
  std::mutex mutex;
  std::array<std::string, kMaxGroups> codes;  // guarded by mutex
  size_t count = 0;                           // guarded by mutex
  GroupTable() {
    for (const char* code : {"DBG", "GEN", "XTR", "PRF", "MEM", "DSK", "NET", "TST"}) {
      codes[count++] = code;
    }
  }
};

GroupTable& Groups() {
  static GroupTable* table = new GroupTable();  // never destroyed: logging may run at exit
  return *table;
}

// ---- Process facts ----

std::string ReadExecutableName() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n > 0) {
    const std::string_view full(path, static_cast<size_t>(n));
    const size_t slash = full.rfind('/');
    const std::string_view base = slash == std::string_view::npos ? full : full.substr(slash + 1);
    if (!base.empty()) return std::string(base);
  }
  if (program_invocation_short_name != nullptr && *program_invocation_short_name != '\0') {
    return program_invocation_short_name;
  }
  return "<unknown>";
}

const std::string& ProcessExecutableName() {
  static const std::string* name = new std::string(ReadExecutableName());
  return *name;
}

int64_t MillisecondsSinceFirstStamp() {
  using Clock = std::chrono::steady_clock;
  static const Clock::time_point first = Clock::now();
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - first).count();
}

// Reads /proc/self/status into a buffer on the stack: no std::string is grown by the standard
// library's out-of-line code, whose allocations would not go through this module's allocation
// hooks (a plug-in freeing them through its own hooks is a mismatch).
bool TracerAttached() {
  const int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[8192];
  size_t size = 0;
  for (ssize_t n = 0; size < sizeof buffer - 1; size += static_cast<size_t>(n)) {
    n = read(fd, buffer + size, sizeof buffer - 1 - size);
    if (n <= 0) break;
  }
  close(fd);
  buffer[size] = '\0';
  constexpr std::string_view kKey = "\nTracerPid:";
  const char* found = std::strstr(buffer, kKey.data());
  return found != nullptr && std::strtol(found + kKey.size(), nullptr, 10) != 0;
}

// Cuts the text to at most `limit` bytes without leaving half a UTF-8 sequence.
void CutText(std::string& text, size_t limit) {
  if (text.size() <= limit) return;
  size_t end = limit;
  auto continuation = [&](size_t i) {
    return (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80;
  };
  if (continuation(end)) {
    size_t back = end;
    int steps = 0;
    while (back > 0 && steps < 3 && continuation(back - 1)) {
      --back;
      ++steps;
    }
    if (back > 0 && (static_cast<unsigned char>(text[back - 1]) & 0xC0) == 0xC0) end = back - 1;
  }
  text.resize(end);
}

// The thread inside the logger's delivery (set and cleared under the logger's lock): a record
// that thread logs from a target's write is dropped instead of dead-locking on the lock. Not a
// thread_local: in a plug-in loaded and unloaded at run time, dynamic thread-local storage
// outlives the library in every thread that touched it.
std::atomic<std::thread::id> gDeliveringThread{};

bool Delivering() {
  return gDeliveringThread.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

// ---- The logger instance ----

std::mutex gInstanceMutex;
Logger* gInstance = nullptr;  // guarded by gInstanceMutex
size_t gReferences = 0;       // guarded by gInstanceMutex

}  // namespace

bool detail::InsideLogDelivery() {
  return Delivering();
}

std::string_view LogLevelTag(LogLevel level) {
  switch (level) {
    case LogLevel::Okay:
      return "  OKAY";
    case LogLevel::Warn:
      return "  WARN";
    case LogLevel::Error:
      return " ERROR";
    case LogLevel::Always:
      return "ALWAYS";
  }
  return "  ????";
}

LogRecord MakeLogRecord(LogLevel level, uint64_t groups, std::string_view message) {
  LogRecord record;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  record.year = local.tm_year + 1900;
  record.month = local.tm_mon + 1;
  record.day = local.tm_mday;
  record.hour = local.tm_hour;
  record.minute = local.tm_min;
  record.second = local.tm_sec;
  record.millisecond = static_cast<int>(now.tv_nsec / 1000000);
  record.level = level;
  record.groups = groups;
  record.message.assign(message);
  CutText(record.message, kMaxLogMessage);
  record.sinceStartMs = MillisecondsSinceFirstStamp();
  return record;
}

// ---- LogTarget ----

LogTarget::LogTarget(LogLevel threshold, uint64_t include, uint64_t exclude,
                     std::string_view format)
    : threshold_(threshold), include_(include), exclude_(exclude) {
  SetLineFormat(format);
}

LogTarget::~LogTarget() {
  Detach();
}

void LogTarget::Detach() {
  if (!Registered()) return;
  std::lock_guard<std::mutex> lock(gInstanceMutex);
  if (gInstance != nullptr) gInstance->Detach(*this);
}

std::string LogTarget::LineFormat() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return format_;
}

void LogTarget::SetLineFormat(std::string_view format) {
  std::vector<Segment> segments;
  auto literal = [&](std::string_view text) {
    if (segments.empty() || segments.back().code != 0) segments.push_back({0, {}});
    segments.back().text.append(text);
  };
  for (size_t i = 0; i < format.size(); ++i) {
    const char c = format[i];
    if (c != '#' || i + 1 == format.size()) {
      literal({&format[i], 1});
      continue;
    }
    const char code = format[++i];
    if (std::strchr("DEGHLMT", code) != nullptr) {
      segments.push_back({code, {}});
    } else {
      literal({&format[i], 1});
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  format_.assign(format);
  segments_ = std::move(segments);
}

bool LogTarget::Accepts(LogLevel level, uint64_t groups) const {
  if (level < Threshold()) return false;
  if (groups == 0) return true;
  if ((groups & ExcludeMask()) != 0) return false;
  const uint64_t include = IncludeMask();
  return include == 0 || (groups & include) != 0;
}

std::string LogTarget::FormatLine(const LogRecord& record) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return FormatLineLocked(record);
}

std::string LogTarget::FormatLineLocked(const LogRecord& record) const {
  std::string line;
  line.reserve(64 + record.message.size());
  char number[64];
  for (const Segment& segment : segments_) {
    switch (segment.code) {
      case 0:
        line += segment.text;
        break;
      case 'D':
        std::snprintf(number, sizeof number, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", record.year,
                      record.month, record.day, record.hour, record.minute, record.second,
                      record.millisecond);
        line += number;
        break;
      case 'E':
        line += ProcessExecutableName();
        break;
      case 'G':
        line += Logger::FormatGroups(record.groups);
        break;
      case 'H':
        std::snprintf(number, sizeof number, "%06d.%03d",
                      static_cast<int>(record.sinceStartMs / 1000),
                      static_cast<int>(record.sinceStartMs % 1000));
        line += number;
        break;
      case 'L':
        line += LogLevelTag(record.level);
        break;
      case 'M':
        line += record.message;
        break;
      case 'T':
        std::snprintf(number, sizeof number, "%p",
                      reinterpret_cast<void*>(static_cast<uintptr_t>(pthread_self())));
        line += number;
        break;
    }
    if (line.size() >= kMaxLogLine) break;
  }
  // One newline at the end, within the limit.
  if (line.size() >= kMaxLogLine) {
    CutText(line, kMaxLogLine - 1);
    line += '\n';
  } else if (line.empty() || line.back() != '\n') {
    line += '\n';
  }
  return line;
}

void LogTarget::Write(const LogRecord& record) {
  std::lock_guard<std::mutex> lock(mutex_);
  WriteLocked(record);
}

void LogTarget::Flush() {
  std::lock_guard<std::mutex> lock(mutex_);
  FlushLocked();
}

// ---- Console targets ----

void BaseConsoleLogTarget::WriteLocked(const LogRecord& record) {
  WriteLine(FormatLineLocked(record));
}

StdErrLogTarget::StdErrLogTarget()
    : BaseConsoleLogTarget(LogLevel::Warn, log_group::kDbg, log_group::kGen, "#E(#T): #L| #M") {}

void StdErrLogTarget::WriteLine(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stderr);
}

void StdErrLogTarget::FlushLocked() {
  std::fflush(stderr);
}

StdOutLogTarget::StdOutLogTarget()
    : BaseConsoleLogTarget(LogLevel::Warn, log_group::kGen, log_group::kDbg, "#M") {}

void StdOutLogTarget::WriteLine(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
}

void StdOutLogTarget::FlushLocked() {
  std::fflush(stdout);
}

DebuggerConsoleLogTarget::DebuggerConsoleLogTarget()
    : BaseConsoleLogTarget(LogLevel::Warn, log_group::kDbg, 0, "#E(#T): #L| #M"),
      probe_(&TracerAttached) {}

void DebuggerConsoleLogTarget::RefreshTracer() {
  const int64_t now = MillisecondsSinceFirstStamp();
  int64_t due = nextCheckMs_.load(std::memory_order_relaxed);
  if (now < due) return;
  if (!nextCheckMs_.compare_exchange_strong(due, now + 1000, std::memory_order_relaxed)) return;
  tracer_.store(probe_.load(std::memory_order_relaxed)(), std::memory_order_relaxed);
}

void DebuggerConsoleLogTarget::SetTracerProbe(TracerProbe probe) {
  probe_.store(probe != nullptr ? probe : &TracerAttached, std::memory_order_relaxed);
  nextCheckMs_.store(0, std::memory_order_relaxed);
}

void DebuggerConsoleLogTarget::WriteLine(std::string_view line) {
  if (tracer_.load(std::memory_order_relaxed)) std::fwrite(line.data(), 1, line.size(), stderr);
}

void DebuggerConsoleLogTarget::FlushLocked() {
  std::fflush(stderr);
}

// ---- Logger ----

Logger& Logger::Acquire() {
  std::lock_guard<std::mutex> lock(gInstanceMutex);
  if (gInstance == nullptr) gInstance = new Logger();
  ++gReferences;
  return *gInstance;
}

void Logger::Release() {
  std::lock_guard<std::mutex> lock(gInstanceMutex);
  if (gReferences == 0) return;
  if (--gReferences == 0) {
    delete gInstance;
    gInstance = nullptr;
  }
}

Logger::Logger() : executable_(ProcessExecutableName()) {
  MillisecondsSinceFirstStamp();
  Register(stdErr_);
  Register(debugger_);
}

Logger::~Logger() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (LogTarget* target : targets_)
    target->registered_.store(false, std::memory_order_release);
  targets_.clear();
}

bool Logger::Enabled(LogLevel level, uint64_t groups) const {
  return !Paused() && level >= Level() && (groups & Muted()) == 0;
}

bool Logger::Register(LogTarget& target) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (target.Registered()) return false;
  targets_.push_back(&target);
  target.registered_.store(true, std::memory_order_release);
  return true;
}

bool Logger::Register(LogTarget& target, LogLevel threshold, uint64_t include, uint64_t exclude,
                      std::string_view format) {
  if (target.Registered()) return false;
  target.SetThreshold(threshold);
  target.SetIncludeMask(include);
  target.SetExcludeMask(exclude);
  target.SetLineFormat(format);
  return Register(target);
}

void Logger::Detach(LogTarget& target) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = targets_.begin(); it != targets_.end(); ++it) {
    if (*it == &target) {
      targets_.erase(it);
      target.registered_.store(false, std::memory_order_release);
      return;
    }
  }
}

LogTarget* Logger::FindTarget(std::string_view name) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (LogTarget* target : targets_) {
    if (target->Name() == name) return target;
  }
  return nullptr;
}

uint64_t Logger::RegisterGroup(std::string_view code) {
  code = code.substr(0, 3);
  if (code.empty()) return 0;
  GroupTable& table = Groups();
  std::lock_guard<std::mutex> lock(table.mutex);
  for (size_t i = 0; i < table.count; ++i) {
    if (table.codes[i] == code) return uint64_t{1} << i;
  }
  if (table.count == kMaxGroups) return 0;
  table.codes[table.count] = std::string(code);
  return uint64_t{1} << table.count++;
}

std::string Logger::FormatGroups(uint64_t mask) {
  GroupTable& table = Groups();
  std::string text;
  std::lock_guard<std::mutex> lock(table.mutex);
  for (size_t i = 0; i < kMaxGroups; ++i) {
    if ((mask & (uint64_t{1} << i)) == 0) continue;
    if (!text.empty()) text += ';';
    text += i < table.count ? std::string_view(table.codes[i]) : std::string_view("???");
  }
  return text;
}

void Logger::Write(LogLevel level, uint64_t groups, std::string_view message) {
  if (!Enabled(level, groups)) return;
  Deliver(MakeLogRecord(level, groups, message), false);
}

bool Logger::WriteUnfiltered(LogLevel level, uint64_t groups, std::string_view message) {
  return Deliver(MakeLogRecord(level, groups, message), true);
}

void Logger::FlushAll() {
  if (Delivering()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  for (LogTarget* target : targets_)
    target->Flush();
}

bool Logger::Deliver(const LogRecord& record, bool flush) {
  if (Delivering()) return false;
  // Before the lock: the tracer check may read a file.
  if (debugger_.Registered() && debugger_.Accepts(record.level, record.groups)) {
    debugger_.RefreshTracer();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  gDeliveringThread.store(std::this_thread::get_id(), std::memory_order_relaxed);
  if (record.level == LogLevel::Warn) warnCount_.fetch_add(1, std::memory_order_relaxed);
  if (record.level == LogLevel::Error) errorCount_.fetch_add(1, std::memory_order_relaxed);
  for (LogTarget* target : targets_) {
    if (target->Accepts(record.level, record.groups)) target->Write(record);
  }
  if (flush) {
    for (LogTarget* target : targets_)
      target->Flush();
  }
  gDeliveringThread.store(std::thread::id(), std::memory_order_relaxed);
  return true;
}

void LogV(LogLevel level, uint64_t groups, std::string_view format,
          std::span<const FormatArg> args) {
  // A record logged from inside a target's write is dropped; returning here also keeps this
  // thread from waiting for the instance lock while it holds the logger's lock.
  if (Delivering()) return;
  ScopedLogger logger;
  if (!logger->Enabled(level, groups)) return;
  char message[kMaxLogMessage + 1];
  const size_t length = FormatTo(message, sizeof message, format, args);
  logger->Write(level, groups, {message, length});
}

}  // namespace qor
