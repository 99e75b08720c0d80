#include "foundation/fatal.h"

#include <cstdio>
#include <cstdlib>

#include "foundation/detail/log_state.h"
#include "foundation/log.h"

namespace qor {

std::string BuildFatalReport(std::string_view expression, std::string_view description,
                             std::string_view file, int line, std::string_view function) {
  std::string report = "Assertion failed!\n\n";
  if (!file.empty()) {
    report += "File: ";
    report += file;
    report += '\n';
  }
  if (line != 0) {
    report += "Line: ";
    report += std::to_string(line);
    report += "\n\n";
  }
  if (!function.empty()) {
    report += "Function: ";
    report += function;
    report += "\n\n";
  }
  if (!expression.empty()) {
    report += "Expression: ";
    report += expression;
  }
  if (!description.empty()) {
    report += "\n\nDescription: ";
    report += description;
  }
  return report;
}

void Fatal(std::string_view expression, std::string_view description, std::string_view file,
           int line, std::string_view function) {
  const std::string report = BuildFatalReport(expression, description, file, line, function);
  const std::string message = Format("%s", report);
  if (!detail::InsideLogDelivery()) {
    ScopedLogger logger;
    if (logger->WriteUnfiltered(LogLevel::Error, log_group::kDbg, message)) return;
  }
  // Raised from inside a log target's write: the logger cannot take the report, so it goes
  // straight to standard error.
  std::fwrite(message.data(), 1, message.size(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

void FatalAbort(std::string_view expression, std::string_view description, std::string_view file,
                int line, std::string_view function) {
  Fatal(expression, description, file, line, function);
  std::abort();
}

void FatalExit(std::string_view code) {
  FatalAbort(code);
}

}  // namespace qor
