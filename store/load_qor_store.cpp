// The plug-in's one export.
#include "api/host_abi.h"
#include "runtime/entry.h"
#include "store/store_module.h"

extern "C" __attribute__((visibility("default"))) void* load_qor_store(PluginLoadInfo* info) {
  return qor::LoadPlugin<qor::StoreModule>(info, "qor-store");
}
