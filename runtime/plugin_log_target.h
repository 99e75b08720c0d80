// PluginLogTarget: the log target through which the module's log records reach the host.
//
// Each record goes to the host's WriteLog with its level number (0 to 3) and its message as
// it is: the line format is not applied, the host formats. Installed at Initialize when the
// logger has no target of this name yet.
//
// Thread rule: called under the logger's lock from any thread that logs; WriteLog must be
// safe to call from any thread.
#pragma once

#include <string_view>

#include "api/host_abi.h"
#include "foundation/log.h"

namespace qor {

class PluginLogTarget final : public LogTarget {
 public:
  static constexpr std::string_view kName = "PluginLogTarget";
  static constexpr std::string_view kLineFormat = "#D| #L| #G| #M";

  explicit PluginLogTarget(const PluginHostApi* api);
  ~PluginLogTarget() override;

  std::string_view Name() const override { return kName; }

 protected:
  void WriteLocked(const LogRecord& record) override;

 private:
  const PluginHostApi* api_;
};

}  // namespace qor
