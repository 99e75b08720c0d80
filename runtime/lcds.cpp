#include "runtime/lcds.h"

#include <array>

#include "binding/registry.h"
#include "foundation/format.h"

namespace qor {

namespace detail {

template <>
MaybeType<Failure, PluginLcdsEvent> ReadSdkRecord<PluginLcdsEvent>(const BindingProperty& value,
                                                                   std::string_view name) {
  if (value.Kind() != BindingKind::Structure) return NotAStructure(name, "PluginLcdsEvent");
  PluginLcdsEvent event;
  const std::array<std::pair<std::string_view, std::string*>, 3> texts = {{
      {"clientId", &event.clientId},
      {"subtopic", &event.subtopic},
      {"typeName", &event.typeName},
  }};
  for (const auto& [field, target] : texts) {
    const BindingProperty* member = value.FindMember(field);
    if (member == nullptr || member->IsEmpty()) continue;
    QOR_ASSIGN_OR_RETURN(*target, EventsRead<std::string>(nullptr, *member, field));
  }
  event.body = value.Member("body");
  return event;
}

template <>
MaybeType<Failure, PluginLcdsResponse> ReadSdkRecord<PluginLcdsResponse>(
    const BindingProperty& value, std::string_view name) {
  if (value.Kind() != BindingKind::Structure) return NotAStructure(name, "PluginLcdsResponse");
  PluginLcdsResponse response;
  if (const BindingProperty* type = value.FindMember("typeName");
      type != nullptr && !type->IsEmpty()) {
    QOR_ASSIGN_OR_RETURN(response.typeName, EventsRead<std::string>(nullptr, *type, "typeName"));
  }
  response.body = value.Member("body");
  return response;
}

}  // namespace detail

void LcdsClient::AddClass(std::string_view registeredName, std::string_view className,
                          TypeId typeId) {
  (void)registeredName;  // records are found by type, and pushes name their class
  if (typeId != kReservedTypeId) classByType_.insert_or_assign(typeId, std::string(className));
}

std::optional<std::string_view> LcdsClient::ClassNameOf(TypeId typeId) const {
  auto it = classByType_.find(typeId);
  if (it == classByType_.end()) return std::nullopt;
  return it->second;
}

std::string LcdsClient::EventNameOfClass(std::string_view className) {
  std::string name = "OnLcdsEvent_";
  name.reserve(name.size() + className.size());
  for (char c : className)
    name += c == '.' ? '_' : c;
  return name;
}

void LcdsClient::Annotate(BindingProperty& value, const TypeDescriptor& type,
                          const TypeRegistry& registry) const {
  switch (type.type) {
    case NativeType::Struct:
      AnnotateRecord(value, registry.Resolve(type), registry);
      return;
    case NativeType::Vector:
      if (type.element != NativeType::Struct) return;
      for (BindingProperty& element : value.MutableElements())
        AnnotateRecord(element, registry.Resolve(type), registry);
      return;
    case NativeType::Map:
      if (type.element != NativeType::Struct) return;
      for (BindingMember& member : value.MutableMembers())
        AnnotateRecord(member.Value(), registry.Resolve(type), registry);
      return;
    default:
      return;
  }
}

void LcdsClient::AnnotateRecord(BindingProperty& value, const TypeRecord* record,
                                const TypeRegistry& registry) const {
  if (record == nullptr || value.Kind() != BindingKind::Structure) return;
  if (std::optional<std::string_view> className = ClassNameOf(record->Id())) {
    value.MutableMember(kClassMember) = *className;
  }
  for (const auto& field : record->Fields()) {
    BindingProperty* member = value.FindMutableMember(field->name);
    if (member == nullptr || member->IsEmpty()) continue;
    Annotate(*member, field->type, registry);
  }
}

MaybeType<Failure, PluginLcdsResponse> LcdsClient::Invoke(std::string_view destination,
                                                          std::string_view method,
                                                          BindingProperty params) {
  const std::array<BindingProperty, 3> arguments = {BindingProperty(destination),
                                                    BindingProperty(method), std::move(params)};
  MaybeType<Failure, BindingProperty> reply =
      module_.LocalCall(PLUGIN_METHOD_POST, kInvokePath, arguments);
  if (reply.Failed()) return reply.Error();
  MaybeType<Failure, PluginLcdsResponse> response =
      detail::ReadSdkRecord<PluginLcdsResponse>(*reply, "<value>");
  if (response.Failed()) {
    return Failure(
        Format("Error converting response for POST %1: %2", kInvokePath, response.ErrorMessage()));
  }
  return response;
}

void LcdsClient::Subscribe(std::string_view className, Handler handler) {
  handlers_[std::string(className)].push_back(std::make_shared<const Handler>(std::move(handler)));
  const std::string eventName = EventNameOfClass(className);
  Trace("%s: Subscribing to LCDS event: %s", module_.ShortName(), eventName);
  // One host subscription per class: the dispatcher serves every handler of it.
  if (events_.HasEventHandler(eventName)) return;
  events_.RegisterRecordHandler<PluginLcdsEvent>(
      eventName, [this](const PluginLcdsEvent& event) { Dispatch(event); },
      PLUGIN_SUBSCRIBE_SERVICE_EVENTS);
}

void LcdsClient::Dispatch(const PluginLcdsEvent& event) {
  auto it = handlers_.find(event.typeName);
  if (it == handlers_.end() || it->second.empty()) return;
  module_.Schedule(Format("Event: OnLcdsEvent (%1)", event.typeName),
                   [this, copy = event] { Deliver(copy); });
}

void LcdsClient::Deliver(const PluginLcdsEvent& event) {
  auto it = handlers_.find(event.typeName);
  if (it == handlers_.end()) return;
  // A copy: a handler may subscribe further handlers while it runs.
  const std::vector<std::shared_ptr<const Handler>> handlers = it->second;
  for (const auto& handler : handlers)
    (*handler)(event);
}

void LcdsClient::Stop() {
  handlers_.clear();
}

}  // namespace qor
