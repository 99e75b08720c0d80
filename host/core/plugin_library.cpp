#include "host/core/plugin_library.h"

#include <dlfcn.h>

namespace qor::host {

MaybeType<Failure, std::unique_ptr<PluginLibrary>> PluginLibrary::Open(const std::string& path,
                                                                       const std::string& symbol) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* error = dlerror();
    return Failure("Couldn't load plug-in '" + path + "': " + (error ? error : "unknown error"));
  }
  dlerror();
  void* entry = dlsym(handle, symbol.c_str());
  if (entry == nullptr) {
    return Failure("Plug-in '" + path + "' has no export '" + symbol + "'");
  }
  return std::unique_ptr<PluginLibrary>(
      new PluginLibrary(handle, reinterpret_cast<PluginLoadFunction>(entry)));
}

MaybeType<Failure, PluginLoadInfo> PluginLibrary::Load(ApiVersion version) {
  PluginLoadInfo info{};
  info.versionMajor = version.major;
  info.versionMinor = version.minor;
  info.versionPatch = version.patch;
  void* module = load_(&info);
  if (module == nullptr || info.callbacks == nullptr) {
    return Failure("The plug-in returned no module");
  }
  callbacks_ = info.callbacks;
  return info;
}

bool PluginLibrary::Initialize(void* module, const PluginHost& host) const {
  return callbacks_ != nullptr && callbacks_->Initialize != nullptr &&
         callbacks_->Initialize(module, &host) != 0;
}

void PluginLibrary::Shutdown(void* module) const {
  if (callbacks_ != nullptr && callbacks_->Shutdown != nullptr) callbacks_->Shutdown(module);
}

PluginMemoryStats PluginLibrary::MemoryStats(void* module) const {
  PluginMemoryStats stats{};
  if (callbacks_ != nullptr && callbacks_->GetMemoryStats != nullptr) {
    callbacks_->GetMemoryStats(module, &stats);
  }
  return stats;
}

}  // namespace qor::host
