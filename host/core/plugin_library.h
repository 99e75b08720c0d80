// PluginLibrary: a plug-in shared object opened with dlopen, and the calls a host makes on it.
//
// Open finds the export; Load calls it with the host's API version and keeps the load block
// the plug-in hands back; Initialize, Shutdown and MemoryStats go through the callbacks of
// that block. The library is never closed: a plug-in may leave threads' or the logger's
// state behind that must outlive its module, and the process ends soon after anyway.
//
// Thread rule: one thread at a time.
#pragma once

#include <memory>
#include <string>

#include "api/host_abi.h"
#include "binding/maybe.h"

namespace qor::host {

struct ApiVersion {
  uint32_t major = 18;
  uint32_t minor = 0;
  uint32_t patch = 0;
};

class PluginLibrary {
 public:
  // Opens the shared object and finds `symbol`. Fails with the loader's message.
  static MaybeType<Failure, std::unique_ptr<PluginLibrary>> Open(
      const std::string& path, const std::string& symbol = QOR_STORE_LOAD_SYMBOL);

  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;

  // Calls the export with `version`; returns the load block as the plug-in filled it (the
  // module object in `context`). A plug-in that refuses the version ends the process.
  // Fails when the plug-in returned no module or no callbacks.
  MaybeType<Failure, PluginLoadInfo> Load(ApiVersion version = {});

  // The callbacks of the last load. REQUIRES: a successful Load.
  bool Initialize(void* module, const PluginHost& host) const;
  void Shutdown(void* module) const;
  PluginMemoryStats MemoryStats(void* module) const;

 private:
  PluginLibrary(void* handle, PluginLoadFunction load) : handle_(handle), load_(load) {}

  void* handle_;
  PluginLoadFunction load_;
  const PluginCallbacks* callbacks_ = nullptr;
};

}  // namespace qor::host
