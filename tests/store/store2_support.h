// More of the scripted platform for the tests of purchases, order and balance pushes, toasts
// and acknowledgements: the store proxy, telemetry, the player-notifications plug-in, the
// legacy service's persistence messaging and pushed legacy-service messages, and the
// plug-in's log.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/store/store_fixture.h"

namespace qor::store_test {

// One log line the plug-in wrote.
struct Line {
  uint32_t level = 0;
  std::string message;

  friend bool operator==(const Line&, const Line&) = default;
};

inline std::ostream& operator<<(std::ostream& out, const Line& line) {
  return out << line.level << " " << line.message;
}

class Store2Fixture : public StoreFixture {
 public:
  static constexpr std::string_view kProxyPath = "/qor-login/v1/service-proxy-uuid-requests";
  static constexpr std::string_view kPurchaseTelemetryPath =
      "/telemetry/v1/events/ukp-be-qor-store.purchase-skin";
  static constexpr std::string_view kNotificationsPath = "/player-notifications/v1/notifications";
  static constexpr std::string_view kInvokePath = "/qor-login/v1/session/invoke";
  static constexpr std::string_view kOrdersUri = "/vaxo-messaging-service/v1/message/cap/v1/orders";
  static constexpr std::string_view kWalletPushUri =
      "/vaxo-messaging-service/v1/message/store/v1/wallet";
  static constexpr std::string_view kConfigCompleteUri =
      "/qor-platform-config/v1/initial-configuration-complete";
  static constexpr std::string_view kGiftingUri =
      "/qor-platform-config/v1/namespaces/MBXStore/PlayerGiftingNotificationsEnabled";
  static constexpr std::string_view kSimpleMessagesUri =
      "/qor-platform-config/v1/namespaces/LoginDataPacket/simpleMessages";
  static constexpr std::string_view kBalanceClass =
      "com.vaxoworks.platform.messaging.StoreAccountBalanceNotification";
  static constexpr std::string_view kDialogClass =
      "com.vaxoworks.platform.messaging.persistence.SimpleDialogMessage";

 protected:
  // A store proxy answer: the payload's JSON text, or the answer's error text.
  struct ProxyAnswer {
    std::string payload;
    std::string error;
  };

  void SetUp() override {
    StoreFixture::SetUp();
    // The store proxy: every request gets a uuid and its answer arrives as an event during
    // the plug-in's wait.
    host_.SetLocalPeer(std::string(kProxyPath), [this](const host::LocalCall& call) {
      proxyRequests.push_back(call.arguments);
      const std::string uuid = "uuid-" + std::to_string(proxyRequests.size());
      BindingProperty response;
      response.MutableMember("uuid") = uuid;
      response.MutableMember("serviceName") = "store.zuvstoreproxy";
      response.MutableMember("methodName") = "purchaseItem";
      response.MutableMember("payload") = proxyAnswer.payload;
      response.MutableMember("status") = proxyAnswer.error.empty() ? "200" : "500";
      response.MutableMember("error") = proxyAnswer.error;
      host_.PostEvent("OnServiceProxyUuidEvent", response);
      return host::LocalReply::Value(BindingProperty(uuid));
    });
    host_.SetLocalPeer(std::string(kPurchaseTelemetryPath), [this](const host::LocalCall& call) {
      telemetry.push_back(call.arguments.empty() ? BindingProperty() : call.arguments[0]);
      return host::LocalReply::Value(BindingProperty());
    });
    host_.SetLocalPeer(std::string(kNotificationsPath), [this](const host::LocalCall& call) {
      toasts.push_back(call.arguments.empty() ? BindingProperty() : call.arguments[0]);
      if (onToast) onToast();
      if (toastsFail) return host::LocalReply::Error(503, "Notifications are down");
      return host::LocalReply::Value(BindingProperty());
    });
    host_.SetLocalPeer(std::string(kInvokePath), [this](const host::LocalCall& call) {
      invokes.push_back(call.arguments);
      if (invokeError) return host::LocalReply::Error(503, *invokeError);
      BindingProperty response;
      response.MutableMember("typeName") = "java.lang.Object";
      return host::LocalReply::Value(std::move(response));
    });
  }

  // A legacy-service message pushed by the login plug-in; the pending work runs afterwards.
  void Push(std::string_view className, std::string_view bodyJson) {
    BindingProperty event;
    event.MutableMember("body") = Json(bodyJson);
    event.MutableMember("clientId") = "client";
    event.MutableMember("subtopic") = "messages";
    event.MutableMember("typeName") = className;
    std::string name = "OnLcdsEvent_" + std::string(className);
    std::replace(name.begin(), name.end(), '.', '_');
    host_.DeliverEvent(name, event);
    host_.Drain();
  }

  // A messaging-service push with `payload` (JSON text carried as a string).
  void VmsPush(std::string_view uri, std::string_view eventType, std::string_view payload) {
    BindingProperty message;
    message.MutableMember("payload") = payload;
    message.MutableMember("resource") = uri.substr(uri.find("/message") + 8);
    message.MutableMember("service") = "vms";
    message.MutableMember("timestamp") = int64_t{1700000000};
    message.MutableMember("version") = "1";
    Deliver(uri, eventType, JsonText(message));
  }

  // The log lines written since the last ForgetLog.
  std::vector<Line> LogSince() const {
    std::vector<Line> lines;
    const std::vector<host::LogLine> all = host_.LogLines();
    for (size_t i = logSeen_; i < all.size(); ++i)
      lines.push_back({all[i].level, all[i].message});
    return lines;
  }
  // The lines whose message begins with `prefix`.
  std::vector<Line> LogLinesStarting(std::string_view prefix) const {
    std::vector<Line> lines;
    for (const Line& line : LogSince()) {
      if (line.message.starts_with(prefix)) lines.push_back(line);
    }
    return lines;
  }
  void ForgetLog() { logSeen_ = host_.LogLines().size(); }
  void ForgetPublished() { publishedSeen_ = host_.PublishedEvents().size(); }

  // Every event the plug-in published under the URI's own name since the last
  // ForgetPublished: "Type uri" (Delete) or "Type uri data" (the data as JSON), in order.
  std::vector<std::string> PublishedUnderPrefix(std::string_view prefix) const {
    std::vector<std::string> out;
    const std::vector<host::PublishedEvent> events = host_.PublishedEvents();
    for (size_t i = publishedSeen_; i < events.size(); ++i) {
      const host::PublishedEvent& event = events[i];
      if (event.name == "OnJsonApiEvent") continue;
      const BindingProperty& payload = event.payload;
      const std::string_view uri = payload.Member("uri").GetString();
      if (!uri.starts_with(prefix)) continue;
      std::string text =
          std::string(payload.Member("eventType").GetString()) + " " + std::string(uri);
      if (!payload.Member("data").IsEmpty()) text += " " + JsonText(payload.Member("data"));
      out.push_back(std::move(text));
    }
    return out;
  }

  ProxyAnswer proxyAnswer;
  std::vector<std::vector<BindingProperty>> proxyRequests;
  std::vector<BindingProperty> telemetry;
  std::vector<BindingProperty> toasts;
  bool toastsFail = false;
  std::function<void()> onToast;  // runs inside each toast post
  std::vector<std::vector<BindingProperty>> invokes;
  std::optional<std::string> invokeError;

 private:
  size_t logSeen_ = 0;
  size_t publishedSeen_ = 0;
};

}  // namespace qor::store_test
