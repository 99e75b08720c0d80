// The fatal path: conditions under which the module cannot go on build a report, write it to
// the log, and end the process at once with an abnormal-termination status.
#pragma once

#include <string>
#include <string_view>

namespace qor {

// The report text. Empty texts and line 0 mean "absent" and leave their part out.
std::string BuildFatalReport(std::string_view expression, std::string_view description,
                             std::string_view file, int line, std::string_view function);

// Builds the report and writes it to the log (level Error, group "DBG"). The report is never
// dropped by the logger's pause, level or muting, and every target is flushed afterwards.
// The caller then ends the process.
void Fatal(std::string_view expression, std::string_view description, std::string_view file,
           int line, std::string_view function);

// Fatal(...) and then std::abort(): nothing after the call runs, no clean-up takes place.
[[noreturn]] void FatalAbort(std::string_view expression, std::string_view description = {},
                             std::string_view file = {}, int line = 0,
                             std::string_view function = {});

// The fatal exit of a site known by its code ("ALE-" and eight hexadecimal digits).
[[noreturn]] void FatalExit(std::string_view code);

}  // namespace qor
