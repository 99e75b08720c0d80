// Session, region-locale, platform id and the two messaging switches.
//
// The store never asks for these: it watches the resources other plug-ins publish and keeps
// what it needs. None of these handlers sends a request or publishes anything except the
// session handler, whose reaction to a usable session lives with the store URL.
#include "store/store_module.h"

namespace qor {

namespace {

bool IsCreateOrUpdate(PluginResourceEventType type) {
  return type == PluginResourceEventType::Create || type == PluginResourceEventType::Update;
}

}  // namespace

void StoreModule::OnRegionLocale(const ResourceEvent<BindingProperty>& event) {
  if (IsCreateOrUpdate(event.eventType)) {
    std::string newLocale = event.data.Member("locale").ToText();
    std::string newRegion = event.data.Member("region").ToText();
    if (newLocale != locale) locale = std::move(newLocale);
    if (newRegion != region) region = std::move(newRegion);
  } else if (event.eventType == PluginResourceEventType::Delete) {
    locale.clear();
    region.clear();
    storeUrl.clear();
  }
}

void StoreModule::OnPlatformId(const ResourceEvent<BindingProperty>& event) {
  if (IsCreateOrUpdate(event.eventType)) {
    platformId = event.data.ToText();
  } else if (event.eventType == PluginResourceEventType::Delete) {
    platformId.clear();
  }
}

void StoreModule::OnUseVms(const ResourceEvent<BindingProperty>& event) {
  if (IsCreateOrUpdate(event.eventType)) {
    useVms = event.data.ToBool();
  } else if (event.eventType == PluginResourceEventType::Delete) {
    useVms = false;
  }
}

void StoreModule::OnDisableCapVms(const ResourceEvent<BindingProperty>& event) {
  if (IsCreateOrUpdate(event.eventType)) {
    disableCapVms = event.data.ToBool();
  } else if (event.eventType == PluginResourceEventType::Delete) {
    disableCapVms = false;
  }
}

}  // namespace qor
