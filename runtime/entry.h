// The plug-in's export side: creating a module and attaching it to the host's load block.
//
//   extern "C" __attribute__((visibility("default"))) void* load_qor_store(PluginLoadInfo* info) {
//     return qor::LoadPlugin<StoreModule>(info, "qor-store");
//   }
#pragma once

#include <string_view>

#include "api/host_abi.h"
#include "runtime/app_module.h"

namespace qor {

// Creates an M and runs Attach with `info` and `shortName`; returns the module (also left in
// info->context), or null when `info` is null. An incompatible host version ends the process.
template <typename M>
void* LoadPlugin(PluginLoadInfo* info, std::string_view shortName) {
  if (info == nullptr) return nullptr;
  auto* module = new M();
  module->Attach(*info, shortName);
  return static_cast<AppModule*>(module);
}

}  // namespace qor
