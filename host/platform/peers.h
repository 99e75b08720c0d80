// The simulated platform around the plug-in: the peers that answer its local requests and the
// events they publish to it.
//
// - Resources: a table of URI -> JSON value. A local GET of a URI answers its value (404 when
//   it has none). Setting or deleting a value publishes the resource event the plug-in watches
//   (under the URI's derived event name and under "OnJsonApiEvent"); the plug-in's own
//   published resource events update the same table, so it holds every resource.
// - Login peer: "/qor-login/v1/session/invoke" answers legacy-service calls ("loginService"
//   "getStoreUrl" with the storefront URL, "clientFacadeService" "callPersistenceMessaging"
//   with an empty body, the scenario's canned answers, handlers set by SetLcdsHandler); the
//   two service-proxy request endpoints answer at once and then later, by event
//   ("OnServiceProxyUuidEvent" / "OnServiceProxyMethodEvent"), from the scenario or a handler.
// - Player notifications: POST "/player-notifications/v1/notifications" records the posted
//   record. Telemetry: POST "/telemetry/v1/events/NAME" records {"name", "payload"}.
// - The scenario's canned local answers, checked before everything above.
// Anything else fails with 404 "No simulated peer serves <METHOD> <path>"; a legacy-service
// or service-proxy method without an answer fails with 404 and a message naming it.
//
// Thread rule: every operation is thread-safe (one internal lock, never held while publishing
// or while a handler runs). Events are published through the Publisher, which queues them:
// they reach the plug-in on the host's work thread after the current call returns.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding/maybe.h"
#include "binding/property.h"
#include "host/core/host_core.h"
#include "host/platform/scenario.h"

namespace qor::host {

// The host event name of a resource URI: "OnJsonApiEvent" and the URI's first three non-empty
// segments (five when the first is "qor-platform-config"), joined with "_".
std::string ResourceEventName(std::string_view uri);

// "OnLcdsEvent_" and the class name with every "." replaced by "_".
std::string LcdsEventName(std::string_view typeName);

// The latest entries of one kind, each a JSON text; oldest first. At most kMaxEntries entries
// and kMaxBytes of text are kept: the oldest go first (the newest entry is always kept).
class RecordList {
 public:
  static constexpr size_t kMaxEntries = 1000;
  static constexpr size_t kMaxBytes = 256u << 10;
  // An entry larger than kMaxBytes is kept as {"truncatedBytes": N, "start": "..."}, the
  // start being its first kTruncatedStartBytes (at most) as a JSON string.
  static constexpr size_t kTruncatedStartBytes = 1024;

  void Append(std::string json);
  // A JSON array of the entries.
  std::string ToJsonArray() const;
  size_t Size() const;
  // The bytes of text kept.
  size_t Bytes() const;

 private:
  mutable std::mutex mutex_;
  std::deque<std::string> entries_;  // guarded by mutex_
  size_t bytes_ = 0;                 // guarded by mutex_
};

// What a service-proxy method answers, delivered later in the response event.
struct ServiceProxyAnswer {
  std::string payloadJson = "null";
  std::string status = "OK";
  std::string error;
};

class SimulatedPeers {
 public:
  using Publisher = std::function<void(std::string name, BindingProperty payload)>;
  // Answers one legacy-service call: the parameters list as sent; the reply's body is the
  // `PluginLcdsResponse` ({"typeName", "body"}) or the reply is an error.
  using LcdsHandler = std::function<LocalReply(const BindingProperty& parameters)>;
  using ServiceProxyHandler = std::function<ServiceProxyAnswer(const BindingProperty& payload)>;

  // The scenario's resources become the table's first values (nothing is published for them:
  // the plug-in fetches them when it starts watching).
  SimulatedPeers(const Scenario& scenario, Publisher publish);

  // The answer to one local request of the plug-in.
  LocalReply Answer(const LocalCall& call);

  // ---- Resources ----
  // Stores `json` as the value of `uri` and publishes Create (no value before) or Update.
  // Fails (400) on invalid JSON or a URI that does not begin with "/".
  MaybeType<Failure, void> PutResource(const std::string& uri, std::string_view json);
  // Forgets the value and publishes Delete (whether or not it had one).
  MaybeType<Failure, void> DeleteResource(const std::string& uri);
  // The value as compact JSON, or nothing.
  std::optional<std::string> ResourceJson(const std::string& uri) const;
  // Every value: a JSON object {URI: value}.
  std::string AllResourcesJson() const;
  // Follows an event the plug-in published: a resource event ("OnJsonApiEvent") sets or
  // forgets the value of its URI. Other events are ignored.
  void ObservePublished(const std::string& name, const BindingProperty& payload);

  // ---- Legacy service ----
  // Publishes a pushed message {"typeName": "a.b.C", "body": ...} as "OnLcdsEvent_a_b_C".
  // Fails (400) without a non-empty string "typeName".
  MaybeType<Failure, void> PushLcdsMessage(std::string_view json);
  void SetLcdsHandler(const std::string& destination, const std::string& method,
                      LcdsHandler handler);
  void SetServiceProxyHandler(const std::string& serviceName, const std::string& methodName,
                              ServiceProxyHandler handler);
  void SetStorefrontUrl(std::string url);
  std::string StorefrontUrl() const;

  // ---- What the plug-in sent ----
  const RecordList& Notifications() const { return notifications_; }
  const RecordList& Telemetry() const { return telemetry_; }
  const RecordList& LcdsCalls() const { return lcdsCalls_; }

 private:
  LocalReply AnswerLcdsCall(const LocalCall& call);
  LocalReply AnswerServiceProxy(const LocalCall& call, bool methodForm);
  LocalReply AnswerResource(const LocalCall& call);
  void PublishResourceEvent(const std::string& uri, const char* type, const BindingProperty* data);

  Publisher publish_;
  RecordList notifications_;
  RecordList telemetry_;
  RecordList lcdsCalls_;

  mutable std::mutex mutex_;
  // Guarded by mutex_.
  std::string storefrontUrl_;
  std::map<std::string, std::string> resources_;
  std::map<std::string, LcdsHandler> lcdsHandlers_;                  // "destination.method"
  std::map<std::string, ServiceProxyHandler> serviceProxyHandlers_;  // "service.method"
  std::vector<CannedLocalAnswer> localAnswers_;
  uint64_t nextUuid_ = 1;
};

}  // namespace qor::host
