#include "runtime/resource_events.h"

#include <array>
#include <optional>
#include <vector>

#include "api/host_value.h"
#include "binding/registry.h"

namespace qor {

namespace {

constexpr std::string_view kPlatformConfigSegment = "qor-platform-config";
constexpr std::array<std::string_view, 3> kEventTypeNames = {"Create", "Update", "Delete"};

// Enum names for published records: the event type's own names, then the registry's.
EnumNamer MakeEnumNamer(const TypeRegistry* registry) {
  return [registry](const EnumValue& value) -> std::optional<std::string_view> {
    if (value.typeId == StaticType::Id<PluginResourceEventType>() && value.value >= 0 &&
        value.value < static_cast<std::int32_t>(kEventTypeNames.size())) {
      return kEventTypeNames[static_cast<std::size_t>(value.value)];
    }
    if (registry != nullptr) return registry->EnumName(value.typeId, value.value);
    return std::nullopt;
  };
}

}  // namespace

namespace detail {

template <>
MaybeType<Failure, PluginResourceEvent> ReadSdkRecord<PluginResourceEvent>(
    const BindingProperty& value, std::string_view name) {
  if (value.Kind() != BindingKind::Structure) return NotAStructure(name, "PluginResourceEvent");
  PluginResourceEvent event;
  if (const BindingProperty* uri = value.FindMember("uri"); uri != nullptr && !uri->IsEmpty()) {
    QOR_ASSIGN_OR_RETURN(event.uri, EventsRead<std::string>(nullptr, *uri, "uri"));
  }
  if (const BindingProperty* type = value.FindMember("eventType");
      type != nullptr && !type->IsEmpty()) {
    QOR_ASSIGN_OR_RETURN(
        std::int32_t code,
        ReadEnumField(*type, "eventType", "PluginResourceEventType", kEventTypeNames));
    event.eventType = static_cast<PluginResourceEventType>(code);
  }
  event.data = value.Member("data");
  return event;
}

}  // namespace detail

std::string ResourceEvents::EventNameOfUri(std::string_view uri) {
  std::vector<std::string_view> segments;
  std::size_t at = 0;
  while (at <= uri.size()) {
    std::size_t end = uri.find('/', at);
    if (end == std::string_view::npos) end = uri.size();
    if (end > at) segments.push_back(uri.substr(at, end - at));
    at = end + 1;
  }
  // "OnJsonApiEvent" counts as the first of the kept entries.
  const std::size_t keep = !segments.empty() && segments.front() == kPlatformConfigSegment ? 6 : 4;
  std::string name(kJsonApiEvent);
  for (std::size_t i = 0; i < segments.size() && i + 1 < keep; ++i) {
    name += '_';
    name += segments[i];
  }
  return name;
}

std::string ResourceEvents::WatchNameOf(std::string_view text) {
  std::string name = EventNameOfUri(text);
  if (name.find('*') != std::string::npos) return std::string(kJsonApiEvent);
  return name;
}

bool ResourceEvents::UriMatchesPattern(std::string_view pattern, std::string_view uri) {
  std::size_t p = 0;
  std::size_t u = 0;
  while (p < pattern.size()) {
    if (pattern[p] == '*') {
      while (u < uri.size() && uri[u] != '/')
        ++u;
      ++p;
      continue;
    }
    if (u >= uri.size() || pattern[p] != uri[u]) return false;
    ++p;
    ++u;
  }
  return u == uri.size();
}

void ResourceEvents::RegisterEventHandler(const std::string& name, EventHandler handler,
                                          std::uint32_t flags) {
  auto shared = std::make_shared<const EventHandler>(std::move(handler));
  auto [it, inserted] = handlers_.try_emplace(name, shared);
  if (!inserted) {
    // Already subscribed with the host: a second subscription would deliver twice.
    it->second = std::move(shared);
    return;
  }
  module_.SubscribeEvent(name, flags);
}

bool ResourceEvents::RemoveEventHandler(const std::string& name) {
  auto it = handlers_.find(name);
  if (it == handlers_.end()) return false;
  module_.UnsubscribeEvent(name);
  // Erase after the host call: the entry may have been replaced meanwhile, but the name is
  // no longer subscribed either way.
  handlers_.erase(name);
  return true;
}

bool ResourceEvents::HasEventHandler(std::string_view name) const {
  return handlers_.find(std::string(name)) != handlers_.end();
}

bool ResourceEvents::OnHostEvent(const PluginEvent& event) {
  if (event.name == nullptr) return false;
  const std::string name(event.name);
  auto it = handlers_.find(name);
  if (it == handlers_.end()) return false;
  // Keep the handler alive even when it replaces or removes itself while running.
  std::shared_ptr<const EventHandler> handler = it->second;
  MaybeType<Failure, BindingProperty> payload = ReadHostValue(event.payload, "<result>");
  if (payload.Failed()) {
    Trace("%s: Couldn't convert payload %s for event %s: %s", module_.ShortName(),
          HostValueTagName(event.payload.tag), name, payload.ErrorMessage());
    return true;
  }
  (*handler)(*payload);
  return true;
}

void ResourceEvents::SubscribeResource(std::string_view uri) {
  std::string name = WatchNameOf(uri);
  Trace("%s: Subscribing to event: %s", module_.ShortName(), name);
  std::int32_t& count = counts_[name];
  if (++count != 1) return;
  RegisterEventHandler(
      name, [this, name](const BindingProperty& payload) { DispatchResourceEvent(name, payload); },
      PLUGIN_SUBSCRIBE_RESOURCE_EVENTS);
}

void ResourceEvents::UnsubscribeResource(std::string_view uri) {
  std::string name = WatchNameOf(uri);
  Trace("%s: Unsubscribing to event: %s", module_.ShortName(), name);
  auto it = counts_.find(name);
  // Without this guard an unmatched call would drive the count below zero, and the next
  // subscription would never reach the host.
  if (it == counts_.end() || it->second <= 0) return;
  if (--it->second != 0) return;
  counts_.erase(it);
  RemoveEventHandler(name);
}

std::int32_t ResourceEvents::SubscriptionCount(std::string_view eventName) const {
  auto it = counts_.find(std::string(eventName));
  return it == counts_.end() ? 0 : it->second;
}

void ResourceEvents::AddWatcher(std::string_view uri, ResourceHandler handler) {
  auto& table = uri.find('*') != std::string_view::npos ? patternWatchers_ : exactWatchers_;
  table[std::string(uri)] =
      Watcher{WatchNameOf(uri), std::make_shared<const ResourceHandler>(std::move(handler))};
  // Through the module's slot, so that a module that overrides it sees every watch.
  MaybeType<Failure, void> subscribed = module_.SubscribeResource(uri);
  if (subscribed.Failed()) {
    Log(LogLevel::Error, log_group::kDbg, "%s: Could not subscribe to %s: %s", module_.ShortName(),
        uri, subscribed.ErrorMessage());
  }
}

void ResourceEvents::FetchInitial(std::string_view uri,
                                  const std::function<bool(const BindingProperty&)>& deliver) {
  MaybeType<Failure, BindingProperty> current = module_.LocalCall(PLUGIN_METHOD_GET, uri, {});
  if (current.Failed()) return;
  deliver(*current);
}

void ResourceEvents::DispatchResourceEvent(const std::string& name,
                                           const BindingProperty& payload) {
  MaybeType<Failure, PluginResourceEvent> decoded =
      detail::ReadSdkRecord<PluginResourceEvent>(payload, "<result>");
  if (decoded.Failed()) {
    Trace("%s: Couldn't convert payload %s for event %s: %s", module_.ShortName(),
          detail::EventsJsonText(payload), name, decoded.ErrorMessage());
    return;
  }
  PluginResourceEvent& event = *decoded;
  if (event.uri.empty() || event.uri.front() != '/') event.uri.insert(event.uri.begin(), '/');
  Trace("%s: Handling event %s", module_.ShortName(), event.uri);

  // Collect first, call afterwards: a handler may watch or unwatch and so change the tables.
  // Only watchers listening to this name: an event also published under the generic name
  // must not reach a watcher twice.
  std::vector<std::shared_ptr<const ResourceHandler>> matched;
  if (auto exact = exactWatchers_.find(event.uri);
      exact != exactWatchers_.end() && exact->second.name == name) {
    matched.push_back(exact->second.handler);
  }
  for (const auto& [pattern, watcher] : patternWatchers_) {
    if (watcher.name == name && UriMatchesPattern(pattern, event.uri)) {
      matched.push_back(watcher.handler);
    }
  }
  for (const auto& handler : matched)
    (*handler)(event);
}

MaybeType<Failure, void> ResourceEvents::PublishResource(std::string_view uri,
                                                         PluginResourceEventType type) {
  return PublishData(uri, type, BindingProperty());
}

MaybeType<Failure, void> ResourceEvents::PublishData(std::string_view uri,
                                                     PluginResourceEventType type,
                                                     BindingProperty data) {
  BindingProperty record;
  record.SetStructure(3);
  record.MutableMember("data") = std::move(data);
  record.MutableMember("eventType") =
      EnumValue{static_cast<std::int32_t>(type), StaticType::Id<PluginResourceEventType>()};
  record.MutableMember("uri") = uri;

  HostValue payload{};
  MaybeType<Failure, void> written =
      WriteHostValue(record, payload, MakeEnumNamer(module_.Registry()));
  if (written.Failed()) return written;

  const std::string name = EventNameOfUri(uri);
  Trace("%s: Sending event: %s", module_.ShortName(), name);
  PluginEvent event{name.c_str(), payload, nullptr};
  module_.PublishEvent(event);
  if (name != kJsonApiEvent) {
    const std::string generic(kJsonApiEvent);
    event.name = generic.c_str();
    module_.PublishEvent(event);
  }
  FreeHostValue(payload);
  return {};
}

void ResourceEvents::Stop() {
  // Unsubscribe from a snapshot: the host call may re-enter the module.
  std::vector<std::string> names;
  names.reserve(handlers_.size());
  for (const auto& entry : handlers_)
    names.push_back(entry.first);
  for (const std::string& name : names)
    module_.UnsubscribeEvent(name);
  handlers_.clear();
  counts_.clear();
  exactWatchers_.clear();
  patternWatchers_.clear();
}

}  // namespace qor
