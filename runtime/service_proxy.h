// Service-proxy requests: calls of a remote service's method through the login plug-in, whose
// answers come back later as host events.
//
// A request starts with a local POST and is then "in flight" under a key: the uuid the POST
// returned (uuid form) or "service.method" (method form). It completes when the matching
// "OnServiceProxyUuidEvent" or "OnServiceProxyMethodEvent" arrives; an answer that arrives
// before its request is in the table waits in the received table until it is. Services may
// also push "OnServiceProxyAsyncEvent" messages, which go to a handler per service and method.
//
// The module owns one `ServiceProxy`, calls SubscribeEvents() during `Initialize` and Stop()
// during `Stop`.
//
// Thread rule: the three tables are guarded by one mutex, which is held while completions and
// async handlers run (on the thread that delivered the answer, or on the starting thread when
// the answer was already waiting). The mutex is recursive and every entry is taken out of its
// table before it is called, so a completion may start another request or wait.
#pragma once

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "binding/maybe.h"
#include "binding/property.h"
#include "binding/static_type.h"
#include "runtime/detail/service_proxy_await.h"
#include "runtime/resource_events.h"

namespace qor {

// An answer of the service proxy (all text; "payload" is JSON).
struct PluginServiceProxyResponse {
  std::string uuid;
  std::string serviceName;
  std::string methodName;
  std::string payload;
  std::string status;
  std::string error;
};

namespace detail {
template <>
MaybeType<Failure, PluginServiceProxyResponse> ReadSdkRecord<PluginServiceProxyResponse>(
    const BindingProperty& value, std::string_view name);
}  // namespace detail

class ServiceProxy {
 public:
  // The answer, or the text of a request that could not start.
  using Outcome = MaybeType<Failure, PluginServiceProxyResponse>;
  using Completion = std::function<void(const Outcome& outcome)>;
  using AsyncHandler = std::function<void(const PluginServiceProxyResponse& response)>;

  static constexpr std::string_view kUuidEvent = "OnServiceProxyUuidEvent";
  static constexpr std::string_view kMethodEvent = "OnServiceProxyMethodEvent";
  static constexpr std::string_view kAsyncEvent = "OnServiceProxyAsyncEvent";
  static constexpr std::string_view kUuidRequestPath = "/qor-login/v1/service-proxy-uuid-requests";
  static constexpr std::string_view kMethodRequestPath =
      "/qor-login/v1/service-proxy-method-requests";
  static constexpr std::string_view kStoreProxyService = "store.zuvstoreproxy";

  ServiceProxy(EventModulePort& module, ResourceEvents& events)
      : module_(module), events_(events) {}
  ServiceProxy(const ServiceProxy&) = delete;
  ServiceProxy& operator=(const ServiceProxy&) = delete;

  // Registers the handlers of the three answer events (flag 1).
  void SubscribeEvents();

  // Starts a request. `methodForm` empty selects the uuid form; otherwise it (and
  // `methodFormValue`) is passed on with a method-form request. `completion` is called exactly
  // once: with the answer, or with the failure of a start that did not happen ("Finalizing"
  // while shutting down, a payload that does not convert, "Request already in flight", the
  // POST's failure), that `Stop` ended ("Finalizing"), or that a later request given the same
  // id by the host replaced ("Replaced by a later service proxy request with the id {id}").
  template <typename T>
  void StartRequest(std::string_view service, std::string_view method, const T& payload,
                    std::string_view methodForm, Completion completion,
                    BindingProperty methodFormValue = {});

  // Sets the handler of async events of `service`.`method`, replacing an earlier one.
  void SetAsyncHandler(std::string_view service, std::string_view method, AsyncHandler handler);

  // A uuid-form request as a future: the answer's payload parsed as JSON, or a failure with
  // the answer's error text, the start's failure, or
  //   "Failed to deserialize response payload "{payload}" to a {type}".
  template <typename T>
  std::future<MaybeType<Failure, BindingProperty>> Call(std::string_view service,
                                                        std::string_view method, const T& payload);

  // The call for the store proxy service, waited for. A reply structure with a member
  // "errorCode" becomes a failure whose message is its "errorMessage"; a non-zero code is
  // the failure's status and its named field "errorCode_int".
  template <typename T>
  MaybeType<Failure, BindingProperty> StoreProxyCall(std::string_view method, const T& payload);

  // The store proxy rule above, applied to a call's result. (A MaybeType of a BindingProperty
  // keeps a failure's status and message only; StoreProxyFailure gives the whole Failure.)
  static MaybeType<Failure, BindingProperty> CheckStoreProxyReply(
      MaybeType<Failure, BindingProperty> reply);
  // The failure a store proxy reply stands for (with its named field "errorCode_int" when the
  // code is not 0), or nothing when the reply is not a structure with "errorCode".
  static std::optional<Failure> StoreProxyFailure(const BindingProperty& reply);

  // The answer events (also what the registered handlers call).
  void OnUuidResponse(const PluginServiceProxyResponse& response);
  void OnMethodResponse(const PluginServiceProxyResponse& response);
  void OnAsyncEvent(const PluginServiceProxyResponse& response);

  // Empties the three tables. Requests still in flight complete with "Finalizing", so that
  // nobody waits for them forever.
  void Stop();

  // Table sizes, for tests and diagnostics.
  std::size_t InFlightCount() const;
  std::size_t ReceivedCount() const;

 private:
  void Start(std::string_view service, std::string_view method, BindingProperty payload,
             std::string_view methodForm, Completion completion, BindingProperty methodFormValue);
  void Receive(std::string key, const PluginServiceProxyResponse& response);
  // REQUIRES: mutex_ held.
  bool FulfilmentPass();
  static void CompleteCall(
      const std::shared_ptr<std::promise<MaybeType<Failure, BindingProperty>>>& promise,
      const Outcome& outcome);

  EventModulePort& module_;
  ResourceEvents& events_;

  mutable std::recursive_mutex mutex_;
  std::unordered_map<std::string, Completion> inFlight_;                  // GUARDED_BY(mutex_)
  std::unordered_map<std::string, PluginServiceProxyResponse> received_;  // GUARDED_BY(mutex_)
  std::unordered_map<std::string, std::shared_ptr<const AsyncHandler>> asyncHandlers_;  // same
  // Method-form names between their in-flight check and their POST's end.
  std::unordered_set<std::string> starting_;  // GUARDED_BY(mutex_)
};

// ---- Template definitions ------------------------------------------------------------------

template <typename T>
void ServiceProxy::StartRequest(std::string_view service, std::string_view method, const T& payload,
                                std::string_view methodForm, Completion completion,
                                BindingProperty methodFormValue) {
  if (module_.ShuttingDown()) {
    completion(Failure("Finalizing"));
    return;
  }
  MaybeType<Failure, BindingProperty> converted = detail::EventsWrite(module_.Registry(), payload);
  if (converted.Failed()) {
    completion(Failure::Named(0,
                              "Failed to convert type {type} to BindingProperty for serialization",
                              StaticType::Name<T>()));
    return;
  }
  Start(service, method, std::move(*converted), methodForm, std::move(completion),
        std::move(methodFormValue));
}

template <typename T>
std::future<MaybeType<Failure, BindingProperty>> ServiceProxy::Call(std::string_view service,
                                                                    std::string_view method,
                                                                    const T& payload) {
  auto promise = std::make_shared<std::promise<MaybeType<Failure, BindingProperty>>>();
  std::future<MaybeType<Failure, BindingProperty>> future = promise->get_future();
  StartRequest(service, method, payload, {},
               [promise](const Outcome& outcome) { CompleteCall(promise, outcome); });
  return future;
}

template <typename T>
MaybeType<Failure, BindingProperty> ServiceProxy::StoreProxyCall(std::string_view method,
                                                                 const T& payload) {
  std::future<MaybeType<Failure, BindingProperty>> future =
      Call(kStoreProxyService, method, payload);
  return CheckStoreProxyReply(detail::AwaitFuture(module_, future));
}

}  // namespace qor
