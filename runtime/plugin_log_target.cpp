#include "runtime/plugin_log_target.h"

namespace qor {

PluginLogTarget::PluginLogTarget(const PluginHostApi* api)
    : LogTarget(LogLevel::Warn, 0, 0, kLineFormat), api_(api) {}

PluginLogTarget::~PluginLogTarget() {
  Detach();
}

void PluginLogTarget::WriteLocked(const LogRecord& record) {
  if (api_ == nullptr || api_->WriteLog == nullptr) return;
  api_->WriteLog(api_, static_cast<uint32_t>(record.level), record.message.c_str());
}

}  // namespace qor
