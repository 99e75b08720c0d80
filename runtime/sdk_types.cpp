#include "runtime/sdk_types.h"

#include <memory>

#include "binding/record.h"
#include "binding/registry.h"

namespace qor {
namespace {

constexpr std::string_view kNameSpace = "vclient";

template <typename T>
void AddEvent(TypeRegistry& registry, std::string_view name, std::string_view help) {
  auto event = std::make_unique<EventRecord>();
  event->name = name;
  event->nameSpace = kNameSpace;
  event->type = DescriptorOf<T>(&registry);
  event->description = help;
  registry.AddEvent(std::move(event));
}

}  // namespace

void RegisterSdkTypes(TypeRegistry& registry) {
  DeclareEnum<PluginManagerState>(registry, "PluginManagerState")
      .Value("NotReady", PluginManagerState::NotReady)
      .Value("PluginsInitialized", PluginManagerState::PluginsInitialized)
      .Tag(kNameSpace);
  DeclareRecord<PluginManagerResource>(registry, "PluginManagerResource")
      .Field("state", &PluginManagerResource::state)
      .Tag(kNameSpace);
  DeclareEnum<PluginResourceEventType>(registry, "PluginResourceEventType")
      .Value("Create", PluginResourceEventType::Create)
      .Value("Update", PluginResourceEventType::Update)
      .Value("Delete", PluginResourceEventType::Delete)
      .Tag(kNameSpace);
  DeclareRecord<PluginResourceEvent>(registry, "PluginResourceEvent")
      .Field("uri", &PluginResourceEvent::uri)
      .Field("eventType", &PluginResourceEvent::eventType)
      .Field("data", &PluginResourceEvent::data)
      .Tag(kNameSpace);
  DeclareRecord<PluginLcdsEvent>(registry, "PluginLcdsEvent")
      .Field("clientId", &PluginLcdsEvent::clientId)
      .Field("subtopic", &PluginLcdsEvent::subtopic)
      .Field("typeName", &PluginLcdsEvent::typeName)
      .Field("body", &PluginLcdsEvent::body)
      .Tag(kNameSpace);
  DeclareRecord<PluginLcdsResponse>(registry, "PluginLcdsResponse")
      .Field("typeName", &PluginLcdsResponse::typeName)
      .Field("body", &PluginLcdsResponse::body)
      .Tag(kNameSpace);
  DeclareRecord<PluginServiceProxyResponse>(registry, "PluginServiceProxyResponse")
      .Field("uuid", &PluginServiceProxyResponse::uuid)
      .Field("serviceName", &PluginServiceProxyResponse::serviceName)
      .Field("methodName", &PluginServiceProxyResponse::methodName)
      .Field("payload", &PluginServiceProxyResponse::payload)
      .Field("status", &PluginServiceProxyResponse::status)
      .Field("error", &PluginServiceProxyResponse::error)
      .Tag(kNameSpace);

  AddEvent<PluginResourceEvent>(registry, kOnJsonApiEvent, "Fired when a resource is changed.");
  AddEvent<PluginLcdsEvent>(registry, kOnLcdsEvent,
                            "Fired when a message is received over the LCDS connection.");
  AddEvent<PluginServiceProxyResponse>(
      registry, kOnServiceProxyUuidEvent,
      "Fired when a uuid-based service proxy message is received.");
  AddEvent<PluginServiceProxyResponse>(
      registry, kOnServiceProxyMethodEvent,
      "Fired when a method-based service proxy message is received.");
  AddEvent<PluginServiceProxyResponse>(registry, kOnServiceProxyAsyncEvent,
                                       "Fired when an async service proxy message is received.");
}

}  // namespace qor
