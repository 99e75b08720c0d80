// The runtime's own records and events, registered by every plug-in at load.
//
// The records of resource events, legacy-service messages and service-proxy answers are
// defined beside the components that use them; this header gathers them.
#pragma once

#include <cstdint>
#include <string>

#include "binding/property.h"
#include "runtime/lcds.h"
#include "runtime/resource_events.h"
#include "runtime/service_proxy.h"

namespace qor {

class TypeRegistry;

enum class PluginManagerState : int32_t { NotReady = 0, PluginsInitialized = 1 };

struct PluginManagerResource {
  PluginManagerState state = PluginManagerState::NotReady;
};

// The event names of the runtime.
inline constexpr const char* kOnJsonApiEvent = "OnJsonApiEvent";
inline constexpr const char* kOnLcdsEvent = "OnLcdsEvent";
inline constexpr const char* kOnServiceProxyUuidEvent = "OnServiceProxyUuidEvent";
inline constexpr const char* kOnServiceProxyMethodEvent = "OnServiceProxyMethodEvent";
inline constexpr const char* kOnServiceProxyAsyncEvent = "OnServiceProxyAsyncEvent";

// Declares the records and enums above and the five events (with their payload types and
// help texts) to `registry`, under the name space "vclient".
void RegisterSdkTypes(TypeRegistry& registry);

}  // namespace qor
