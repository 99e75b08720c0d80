// A plug-in built exactly like libqor_store.so (same allocation hooks, same export list) around
// a bare AppModule, so the runtime's life cycle can be driven through a real shared object.
#include "api/host_abi.h"
#include "runtime/app_module.h"
#include "runtime/entry.h"

namespace {
class BareModule final : public qor::AppModule {};
}  // namespace

extern "C" __attribute__((visibility("default"))) void* load_qor_store(PluginLoadInfo* info) {
  return qor::LoadPlugin<BareModule>(info, "qor-store");
}
