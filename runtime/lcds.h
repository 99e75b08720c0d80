// Legacy-service (LCDS) calls and pushed messages.
//
// The platform's legacy remote service is reached only through the login plug-in: a call is a
// local POST to "/qor-login/v1/session/invoke" (destination, method, parameters), and pushed
// messages arrive as host events named "OnLcdsEvent_" + the message's class name with '.'
// turned into '_'. The remote side names its data-transfer objects (DTOs) by class names; the
// module hands the client its table of DTOs (registered name, class name, native type) once,
// and the client puts the class name into every record it sends (member "__class") and checks
// it on every record it receives.
//
// The module owns one `LcdsClient` and calls Stop() during `Stop`. Calls are futures that are
// already fulfilled when Call returns (the local request is synchronous); wait with the
// runtime's Await. Pushed messages are never handled inside the host's event callback: each
// one is re-delivered through Schedule, in its own callback.
//
// Thread rule: no lock. The class table is filled during initialisation; the handler table
// is used on host threads like the other event tables.
#pragma once

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "binding/convert.h"
#include "binding/maybe.h"
#include "binding/property.h"
#include "binding/static_type.h"
#include "runtime/resource_events.h"

namespace qor {

// A pushed legacy-service message.
struct PluginLcdsEvent {
  std::string clientId;
  std::string subtopic;
  std::string typeName;  // the class name of `body`
  BindingProperty body;
};

// The answer to a legacy-service call.
struct PluginLcdsResponse {
  std::string typeName;  // the class name of `body`
  BindingProperty body;
};

namespace detail {
template <>
MaybeType<Failure, PluginLcdsEvent> ReadSdkRecord<PluginLcdsEvent>(const BindingProperty& value,
                                                                   std::string_view name);
template <>
MaybeType<Failure, PluginLcdsResponse> ReadSdkRecord<PluginLcdsResponse>(
    const BindingProperty& value, std::string_view name);
}  // namespace detail

class LcdsClient {
 public:
  using Handler = std::function<void(const PluginLcdsEvent& event)>;

  static constexpr std::string_view kInvokePath = "/qor-login/v1/session/invoke";
  static constexpr std::string_view kClassMember = "__class";

  LcdsClient(EventModulePort& module, ResourceEvents& events) : module_(module), events_(events) {}
  LcdsClient(const LcdsClient&) = delete;
  LcdsClient& operator=(const LcdsClient&) = delete;

  // Records one DTO's class name under its registered name and its native type.
  void AddClass(std::string_view registeredName, std::string_view className, TypeId typeId);
  // Records a table of DTOs: any range of entries with `registeredName`, `className` and
  // `typeId` members (such as the store's legacy-service record table).
  template <typename Range>
  void AddClasses(const Range& classes) {
    for (const auto& entry : classes)
      AddClass(entry.registeredName, entry.className, entry.typeId);
  }
  std::optional<std::string_view> ClassNameOf(TypeId typeId) const;

  // "OnLcdsEvent_" followed by the class name with every '.' replaced by '_'.
  static std::string EventNameOfClass(std::string_view className);

  // `value` as sent to the service: converted by the conversion rules, with "__class" on every
  // record (at any depth, in lists and maps too) whose type has a class name.
  template <typename T>
  MaybeType<Failure, BindingProperty> ToLcdsValue(const T& value) const;

  // Calls `method` of `destination` with the parameters. T is a registered DTO record,
  // BindingProperty (the response body as it came) or void (success only). Failures:
  //   "Couldn't convert LCDS call parameters: {error}" (nothing sent), the local call's own,
  //   "Expected '{expected}' as LCDS response for {destination}.{method}, but got '{actual}'",
  //   "Couldn't convert LCDS DTO {name} to C++ from {json}".
  // An Empty response body gives T's default value.
  template <typename T = void, typename... P>
  std::future<MaybeType<Failure, T>> Call(std::string_view destination, std::string_view method,
                                          const P&... params);

  // Adds a handler of pushed messages of `className`; the first one subscribes the class's
  // event. Handlers run in a scheduled callback, in the order added.
  void Subscribe(std::string_view className, Handler handler);
  // As above, with the message body converted into T; a body that does not convert drops the
  // message (trace only).
  template <typename T, typename F>
  void Subscribe(std::string_view className, F handler);

  // Empties the handler table (the event subscriptions end with the module's event tables).
  void Stop();

 private:
  // Sends the converted parameters and reads the response record.
  MaybeType<Failure, PluginLcdsResponse> Invoke(std::string_view destination,
                                                std::string_view method, BindingProperty params);
  // Puts "__class" members into a written value of the described type.
  void Annotate(BindingProperty& value, const TypeDescriptor& type,
                const TypeRegistry& registry) const;
  void AnnotateRecord(BindingProperty& value, const TypeRecord* record,
                      const TypeRegistry& registry) const;
  void Dispatch(const PluginLcdsEvent& event);
  void Deliver(const PluginLcdsEvent& event);
  template <typename T>
  MaybeType<Failure, T> ResponseValue(const PluginLcdsResponse& response,
                                      std::string_view destination, std::string_view method) const;

  EventModulePort& module_;
  ResourceEvents& events_;
  std::unordered_map<TypeId, std::string> classByType_;
  std::unordered_map<std::string, std::vector<std::shared_ptr<const Handler>>> handlers_;
};

// ---- Template definitions ------------------------------------------------------------------

template <typename T>
MaybeType<Failure, BindingProperty> LcdsClient::ToLcdsValue(const T& value) const {
  const TypeRegistry& registry =
      module_.Registry() != nullptr ? *module_.Registry() : detail::EmptyRegistry();
  MaybeType<Failure, BindingProperty> written = Write(value, registry);
  if (written.Failed()) return written;
  if constexpr (!detail::kIsScalar<T>) Annotate(*written, DescriptorOf<T>(&registry), registry);
  return written;
}

template <typename T>
MaybeType<Failure, T> LcdsClient::ResponseValue(const PluginLcdsResponse& response,
                                                std::string_view destination,
                                                std::string_view method) const {
  if (response.body.IsEmpty()) return T{};
  if (std::optional<std::string_view> expected = ClassNameOf(StaticType::Id<T>());
      expected && *expected != response.typeName) {
    return Failure::Named(
        0, "Expected '{expected}' as LCDS response for {destination}.{method}, but got '{actual}'",
        *expected, destination, method, response.typeName);
  }
  MaybeType<Failure, T> converted =
      detail::EventsRead<T>(module_.Registry(), response.body, "<value>");
  if (converted.Failed()) {
    return Failure::Named(0, "Couldn't convert LCDS DTO {name} to C++ from {json}",
                          StaticType::Name<T>(),
                          detail::EventsJsonText(response.body, module_.Registry()));
  }
  return converted;
}

template <typename T, typename... P>
std::future<MaybeType<Failure, T>> LcdsClient::Call(std::string_view destination,
                                                    std::string_view method, const P&... params) {
  std::promise<MaybeType<Failure, T>> promise;
  std::future<MaybeType<Failure, T>> future = promise.get_future();

  BindingProperty list;
  list.SetCollection(sizeof...(P));
  std::optional<Failure> failed;
  auto add = [&](const auto& param) {
    if (failed) return;
    MaybeType<Failure, BindingProperty> converted = ToLcdsValue(param);
    if (converted.Failed()) {
      failed = converted.Error();
      return;
    }
    list.Append() = std::move(*converted);
  };
  (add(params), ...);
  (void)add;  // unused when there are no parameters
  if (failed) {
    promise.set_value(
        Failure::Named(0, "Couldn't convert LCDS call parameters: {error}", failed->Message()));
    return future;
  }

  MaybeType<Failure, PluginLcdsResponse> response = Invoke(destination, method, std::move(list));
  if (response.Failed()) {
    promise.set_value(response.Error());
  } else if constexpr (std::is_void_v<T>) {
    promise.set_value(MaybeType<Failure, void>());
  } else if constexpr (std::is_same_v<T, BindingProperty>) {
    promise.set_value(std::move(response->body));
  } else {
    promise.set_value(ResponseValue<T>(*response, destination, method));
  }
  return future;
}

template <typename T, typename F>
void LcdsClient::Subscribe(std::string_view className, F handler) {
  const TypeRegistry* registry = module_.Registry();
  std::string shortName(module_.ShortName());
  Subscribe(className,
            [registry, shortName, handler = std::move(handler)](const PluginLcdsEvent& event) {
              MaybeType<Failure, T> body = detail::EventsRead<T>(registry, event.body, "<value>");
              if (body.Failed()) {
                Trace("%s: Couldn't convert LCDS DTO %s to C++ from %s", shortName,
                      StaticType::Name<T>(), detail::EventsJsonText(event.body, registry));
                return;
              }
              handler(*body);
            });
}

}  // namespace qor
