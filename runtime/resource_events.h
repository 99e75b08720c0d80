// Host events and resource events of a plug-in module.
//
// Plug-ins tell each other about changed resources through host events: a resource is named
// by its URI ("/qor-login/v1/session"), and its changes travel as `PluginResourceEvent`
// payloads under an event name derived from the URI ("OnJsonApiEvent_qor-login_v1_session").
// `ResourceEvents` keeps the module's event tables:
//   - event handlers by host event name (resource events, legacy-service and service-proxy
//     events all come through here), each subscribed with the host once;
//   - subscription counts by event name, shared by every URI that maps to the name;
//   - resource watchers by exact URI and by URI pattern ('*' stands for one path segment).
//
// The module owns one `ResourceEvents` and routes to it:
//   - its event callback (host operation 3's callback) -> OnHostEvent;
//   - its virtual SubscribeResource / UnsubscribeResource -> the methods of the same name;
//   - Stop -> Stop (unsubscribes every handled name and empties the tables).
//
// Thread rule: the tables take no lock. They are used on host threads, from the module's
// start-up and from its handlers, in the nesting that waits allow; a handler may watch,
// unwatch or register handlers while it runs (the callers below never iterate a table while
// calling out of it).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "api/host_abi.h"
#include "binding/maybe.h"
#include "binding/property.h"
#include "foundation/log.h"
#include "runtime/detail/resource_events_convert.h"

namespace qor {

class TypeRegistry;

// ---- SDK records of resource events ------------------------------------------------------

enum class PluginResourceEventType : std::int32_t { Create = 0, Update = 1, Delete = 2 };

// The record of every resource event ("uri", "eventType", "data").
struct PluginResourceEvent {
  std::string uri;
  PluginResourceEventType eventType = PluginResourceEventType::Create;
  BindingProperty data;
};

// What a typed resource watcher receives: `data` is default-constructed for a Delete.
template <typename T>
struct ResourceEvent {
  std::string uri;
  PluginResourceEventType eventType = PluginResourceEventType::Create;
  T data{};
};

// ---- What the event components need from their module ------------------------------------

// The module's side of the event components. `AppModule` implements it by forwarding to its
// own slots; tests implement it over a test host. Every operation runs on the calling thread.
class EventModulePort {
 public:
  virtual ~EventModulePort() = default;

  // The short name used in log lines ("qor-store").
  virtual std::string_view ShortName() const = 0;
  // The host's `pluginHandle`, passed with requests that name the caller.
  virtual std::uintptr_t PluginHandle() const = 0;
  // True once `Shutdown` has begun.
  virtual bool ShuttingDown() const = 0;
  // The module's type registry (for enum names and record conversions); may be null.
  virtual const TypeRegistry* Registry() const = 0;

  // The module's resource subscription (its slot 0, which a module may override). Watches
  // subscribe through it; the default counts the subscription with SubscribeResource below.
  virtual MaybeType<Failure, void> SubscribeResource(std::string_view uri) = 0;

  // Host operation 3 with the module's event callback and the module as context.
  virtual void SubscribeEvent(const std::string& name, std::uint32_t flags) = 0;
  // Host operation 4 with `pluginHandle`.
  virtual void UnsubscribeEvent(const std::string& name) = 0;
  // Host operation 2.
  virtual void PublishEvent(const PluginEvent& event) = 0;

  // The local call with a result (method code, path, positional parameters): the reply body
  // as a value, or the local call's failure.
  virtual MaybeType<Failure, BindingProperty> LocalCall(
      std::uint32_t method, std::string_view path, std::span<const BindingProperty> params) = 0;

  // Runs `callable` once, later, on a host thread (Schedule with the deadline "now").
  virtual void Schedule(std::string label, std::function<void()> callable) = 0;

  // Host operations 7, 6 and 8: the parts of a wait.
  virtual void BeginWait(std::string_view label) = 0;
  virtual void RunPendingWork() = 0;
  virtual void EndWait() = 0;
};

// ---- Resource events -----------------------------------------------------------------------

class ResourceEvents {
 public:
  // Receives the decoded payload of a host event.
  using EventHandler = std::function<void(const BindingProperty& payload)>;
  // Receives a resource event whose data is still untyped.
  using ResourceHandler = std::function<void(const PluginResourceEvent& event)>;

  // The generic resource event name, also the name every resource is published under again.
  static constexpr std::string_view kJsonApiEvent = "OnJsonApiEvent";

  explicit ResourceEvents(EventModulePort& module) : module_(module) {}
  ResourceEvents(const ResourceEvents&) = delete;
  ResourceEvents& operator=(const ResourceEvents&) = delete;

  // The host event name of a URI: "OnJsonApiEvent" and the URI's non-empty segments joined by
  // "_", keeping 6 entries when the first segment is "qor-platform-config" and 4 otherwise.
  static std::string EventNameOfUri(std::string_view uri);

  // The name a watch of `text` listens to: EventNameOfUri(text), except for a pattern whose
  // '*' falls inside the kept segments (its derived name would hold the '*' and match no
  // event), which listens to "OnJsonApiEvent", where every resource is published too.
  static std::string WatchNameOf(std::string_view text);

  // Whether `pattern` (where '*' matches the characters of one segment) matches `uri`.
  static bool UriMatchesPattern(std::string_view pattern, std::string_view uri);

  // Stores `handler` under `name` (replacing an earlier one) and, when the name had none,
  // subscribes it with the host with `flags` (PLUGIN_SUBSCRIBE_*).
  void RegisterEventHandler(const std::string& name, EventHandler handler, std::uint32_t flags);
  // As above, for a handler of one of the SDK records (PluginResourceEvent, PluginLcdsEvent,
  // PluginServiceProxyResponse): a payload that does not convert is dropped with a trace.
  template <typename Payload, typename F>
  void RegisterRecordHandler(const std::string& name, F handler, std::uint32_t flags);
  // Removes the handler of `name` and unsubscribes it with the host; false when it had none.
  bool RemoveEventHandler(const std::string& name);
  bool HasEventHandler(std::string_view name) const;

  // The module's event callback: decodes the payload and calls the handler of the event's
  // name. Returns false when the name has no handler (the event is ignored).
  bool OnHostEvent(const PluginEvent& event);

  // Counts a subscription of the URI's event name (WatchNameOf); the first one registers the
  // resource dispatcher for it (flag 0).
  void SubscribeResource(std::string_view uri);
  // Drops one subscription; the last one unsubscribes the name with the host. A URI that was
  // never subscribed changes nothing.
  void UnsubscribeResource(std::string_view uri);
  // The subscription count of an event name (0 when unknown).
  std::int32_t SubscriptionCount(std::string_view eventName) const;

  // Watches a URI (exact) or a URI pattern (contains '*'): the handler receives every
  // Create, Update and Delete of the matching resources with the data converted into T (a
  // registered type, a list of one, BindingProperty or bool). An event whose data does not
  // convert is dropped. A new watcher replaces an earlier one of the same text. For an exact
  // URI the current value is fetched at once with a local GET and, when that succeeds,
  // handed to the handler as a Create.
  template <typename T, typename F>
  void WatchResource(std::string_view uri, F handler);

  // Publishes a change of one of the module's own resources under the URI's event name and
  // again under "OnJsonApiEvent". A Delete carries no data. Fails, publishing nothing, when
  // the value or the event record cannot be converted.
  template <typename T>
  MaybeType<Failure, void> PublishResource(std::string_view uri, PluginResourceEventType type,
                                           const T& value);
  MaybeType<Failure, void> PublishResource(std::string_view uri, PluginResourceEventType type);

  // Unsubscribes every event name that has a handler and empties every table.
  void Stop();

 private:
  void AddWatcher(std::string_view uri, ResourceHandler handler);
  void FetchInitial(std::string_view uri,
                    const std::function<bool(const BindingProperty&)>& deliver);
  // Calls the watchers that listen to `name` and match the event's uri.
  void DispatchResourceEvent(const std::string& name, const BindingProperty& payload);
  MaybeType<Failure, void> PublishData(std::string_view uri, PluginResourceEventType type,
                                       BindingProperty data);

  EventModulePort& module_;
  // Handlers are shared so that one can be replaced or removed while it runs.
  std::unordered_map<std::string, std::shared_ptr<const EventHandler>> handlers_;
  std::unordered_map<std::string, std::int32_t> counts_;
  struct Watcher {
    std::string name;  // the event name it listens to
    std::shared_ptr<const ResourceHandler> handler;
  };
  std::unordered_map<std::string, Watcher> exactWatchers_;
  std::unordered_map<std::string, Watcher> patternWatchers_;
};

// ---- Template definitions ------------------------------------------------------------------

template <typename Payload, typename F>
void ResourceEvents::RegisterRecordHandler(const std::string& name, F handler,
                                           std::uint32_t flags) {
  std::string shortName(module_.ShortName());
  RegisterEventHandler(
      name,
      [shortName, name, handler = std::move(handler)](const BindingProperty& payload) {
        MaybeType<Failure, Payload> record = detail::ReadSdkRecord<Payload>(payload, "<result>");
        if (record.Failed()) {
          Trace("%s: Couldn't convert payload %s for event %s: %s", shortName,
                detail::EventsJsonText(payload), name, record.ErrorMessage());
          return;
        }
        Trace("%s: Handling event %s", shortName, name);
        handler(*record);
      },
      flags);
}

template <typename T, typename F>
void ResourceEvents::WatchResource(std::string_view uri, F handler) {
  auto typed = std::make_shared<F>(std::move(handler));
  const TypeRegistry* registry = module_.Registry();
  AddWatcher(uri, [typed, registry](const PluginResourceEvent& event) {
    ResourceEvent<T> delivered;
    delivered.uri = event.uri;
    delivered.eventType = event.eventType;
    if (event.eventType != PluginResourceEventType::Delete) {
      MaybeType<Failure, T> data = detail::EventsRead<T>(registry, event.data, "<value>");
      if (data.Failed()) {
        Trace("Couldn't convert resource %s to C++ while handling update for URL: %s",
              detail::EventsJsonText(event.data), event.uri);
        return;
      }
      delivered.data = std::move(*data);
    }
    (*typed)(delivered);
  });
  if (uri.find('*') != std::string_view::npos) return;
  std::string text(uri);
  FetchInitial(uri, [typed, registry, text](const BindingProperty& current) {
    MaybeType<Failure, T> data = detail::EventsRead<T>(registry, current, "<value>");
    if (data.Failed()) return false;
    ResourceEvent<T> delivered;
    delivered.uri = text;
    delivered.eventType = PluginResourceEventType::Create;
    delivered.data = std::move(*data);
    (*typed)(delivered);
    return true;
  });
}

template <typename T>
MaybeType<Failure, void> ResourceEvents::PublishResource(std::string_view uri,
                                                         PluginResourceEventType type,
                                                         const T& value) {
  if (type == PluginResourceEventType::Delete) return PublishData(uri, type, BindingProperty());
  MaybeType<Failure, BindingProperty> data = detail::EventsWrite(module_.Registry(), value);
  if (data.Failed()) {
    Trace("%s: Couldn't convert resource %s for event uri \"%s\"", module_.ShortName(),
          StaticType::Name<T>(), uri);
    return data.Error();
  }
  return PublishData(uri, type, std::move(*data));
}

}  // namespace qor
