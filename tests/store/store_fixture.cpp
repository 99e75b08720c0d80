#include "tests/store/store_fixture.h"

#include <utility>

#include "api/host_value.h"
#include "binding/json.h"
#include "runtime/lcds.h"
#include "runtime/resource_events.h"

namespace qor::store_test {

BindingProperty Json(std::string_view text) {
  MaybeType<Failure, BindingProperty> parsed = ParseJson(text);
  EXPECT_TRUE(parsed.Succeeded()) << "invalid JSON in a test: " << text;
  return parsed.Succeeded() ? std::move(parsed).Value() : BindingProperty();
}

std::string JsonText(const BindingProperty& value) {
  return WriteJson(value);
}

std::string JsonText(const Arguments& arguments) {
  std::string text;
  for (const BindingProperty& argument : arguments)
    text += (text.empty() ? "" : " ") + WriteJson(argument);
  return text;
}

std::string SessionJson(std::string_view state, uint64_t summonerId, uint64_t accountId,
                        std::string_view idToken) {
  return "{\"state\":\"" + std::string(state) + "\",\"summonerId\":" + std::to_string(summonerId) +
         ",\"accountId\":" + std::to_string(accountId) + ",\"idToken\":\"" + std::string(idToken) +
         "\",\"gasToken\":null}";
}

void StoreFixture::SetUp() {
  auto library = host::PluginLibrary::Open(QOR_STORE_PLUGIN_PATH);
  ASSERT_TRUE(library.Succeeded()) << library.ErrorMessage();
  library_ = std::move(library).Value();

  host_.SetLocalPeer(std::string(kLcdsRoute), [this](const host::LocalCall& call) {
    BindingProperty response;
    if (call.arguments.size() == 3 && call.arguments[1].GetString() == "getStoreUrl") {
      if (!storeUrlReply) return host::LocalReply::Error(500, "The legacy service is unavailable");
      response.MutableMember("body") = *storeUrlReply;
      response.MutableMember("typeName") = "java.lang.String";
      return host::LocalReply::Value(std::move(response));
    }
    if (invokeError) return host::LocalReply::Error(503, *invokeError);
    response.MutableMember("typeName") = "java.lang.Object";
    return host::LocalReply::Value(std::move(response));
  });
  host_.SetLocalPeer("/qor-login/v1/service-proxy-uuid-requests", [this](const host::LocalCall&) {
    BindingProperty response;
    response.MutableMember("uuid") = "uuid";
    response.MutableMember("payload") = proxyPayload;
    response.MutableMember("status") = proxyError.empty() ? "200" : "500";
    response.MutableMember("error") = proxyError;
    host_.PostEvent("OnServiceProxyUuidEvent", response);
    return host::LocalReply::Value(BindingProperty("uuid"));
  });
  for (const char* route : {"/telemetry/v1/events/ukp-be-qor-store.purchase-skin",
                            "/player-notifications/v1/notifications"}) {
    host_.SetLocalPeer(route, [this](const host::LocalCall&) {
      return postsFail ? host::LocalReply::Error(503, "Unavailable") : host::LocalReply::Value({});
    });
  }
  host_.SetFallbackPeer([this](const host::LocalCall& call) {
    auto found = resources_.find(call.route);
    if (call.method == PLUGIN_METHOD_GET && found != resources_.end()) {
      return host::LocalReply::Value(Json(found->second));
    }
    return host::LocalReply::Error(404, "No value for " + call.route);
  });
  storefront = [this](const host::ExternalCall& call) {
    auto found = pages_.find(call.url);
    return found != pages_.end() ? found->second : Unreachable();
  };
  host_.SetExternalResponder([this](const host::ExternalCall& call) { return storefront(call); });
}

void StoreFixture::StartStore() {
  MaybeType<Failure, PluginLoadInfo> info = library_->Load();
  ASSERT_TRUE(info.Succeeded()) << info.ErrorMessage();
  info_ = *info;
  routes_.clear();
  for (uint32_t i = 0; i < info_->endpoints->functionCount; ++i) {
    const PluginFunctionEntry& entry = info_->endpoints->functions[i];
    routes_.emplace_back(entry.pathTemplate, entry.method);
  }
  ASSERT_TRUE(library_->Initialize(info_->context, host_.HostObject(9)));
  host_.Drain();
}

void StoreFixture::StopStore() {
  if (!info_) return;
  library_->Shutdown(info_->context);
  info_.reset();
}

void StoreFixture::Deliver(std::string_view uri, std::string_view eventType,
                           std::optional<std::string_view> json) {
  BindingProperty event;
  if (json) event.MutableMember("data") = Json(*json);
  event.MutableMember("eventType") = eventType;
  event.MutableMember("uri") = uri;
  host_.DeliverEvent(ResourceEvents::EventNameOfUri(uri), event);
  host_.Drain();
}

void StoreFixture::Push(std::string_view className, std::string_view bodyJson) {
  BindingProperty event;
  event.MutableMember("body") = Json(bodyJson);
  event.MutableMember("typeName") = className;
  host_.DeliverEvent(LcdsClient::EventNameOfClass(className), event);
  host_.Drain();
}

void StoreFixture::VmsPush(std::string_view uri, std::string_view eventType,
                           std::string_view payload) {
  BindingProperty message;
  message.MutableMember("payload") = payload;
  message.MutableMember("resource") = uri.substr(uri.find("/message") + 8);
  Deliver(uri, eventType, JsonText(message));
}

Reply StoreFixture::Call(uint32_t method, std::string_view path, std::string_view body) {
  std::optional<RouteSelection> selection = SelectRoute(method, "", path, routes_);
  if (!selection) return {404, "Invalid function", {}};
  const PluginFunctionEntry& entry = info_->endpoints->functions[selection->index];
  const std::string pathText(path);
  const std::string bodyText(body);
  PluginLocalRequest request{};
  request.method = method;
  request.path = pathText.c_str();
  request.context = entry.context;
  request.contentType = "application/json";
  request.body = bodyText.empty() ? nullptr : bodyText.c_str();
  request.bodyLength = static_cast<uint32_t>(bodyText.size());
  request.callerHandle = 1;
  request.invocationName = "";

  PluginLocalResponse response{};
  entry.call(&response, &request);
  Reply reply;
  reply.status = response.status;
  if (response.errorText != nullptr) reply.error = response.errorText;
  MaybeType<Failure, BindingProperty> value = ReadHostValue(response.body, "<body>");
  EXPECT_TRUE(value.Succeeded()) << value.ErrorMessage();
  if (value.Succeeded()) reply.body = std::move(value).Value();
  if (response.release != nullptr) response.release(&response);
  host_.Drain();
  return reply;
}

Texts StoreFixture::ExternalUrls() const {
  Texts urls;
  const std::vector<host::ExternalCall> calls = host_.ExternalCalls();
  for (size_t i = externalSeen_; i < calls.size(); ++i)
    urls.push_back(calls[i].url);
  return urls;
}

std::vector<Arguments> StoreFixture::Sent(std::string_view route) const {
  std::vector<Arguments> sent;
  const std::vector<host::LocalCall> calls = host_.LocalCalls();
  for (size_t i = localSeen_; i < calls.size(); ++i) {
    if (calls[i].route == route) sent.push_back(calls[i].arguments);
  }
  return sent;
}

Texts StoreFixture::Published(std::string_view prefix) const {
  Texts out;
  const std::vector<host::PublishedEvent> events = host_.PublishedEvents();
  for (size_t i = publishedSeen_; i < events.size(); ++i) {
    const BindingProperty& payload = events[i].payload;
    const std::string_view uri = payload.Member("uri").GetString();
    if (!uri.starts_with(prefix) || events[i].name != ResourceEvents::EventNameOfUri(uri)) continue;
    std::string text =
        std::string(payload.Member("eventType").GetString()) + " " + std::string(uri);
    if (!payload.Member("data").IsEmpty()) text += " " + JsonText(payload.Member("data"));
    out.push_back(std::move(text));
  }
  return out;
}

Texts StoreFixture::Log() const {
  Texts lines;
  const std::vector<host::LogLine> all = host_.LogLines();
  for (size_t i = logSeen_; i < all.size(); ++i)
    lines.push_back(std::to_string(all[i].level) + " " + all[i].message);
  return lines;
}

void StoreFixture::ForgetActivity() {
  localSeen_ = host_.LocalCalls().size();
  externalSeen_ = host_.ExternalCalls().size();
  publishedSeen_ = host_.PublishedEvents().size();
  logSeen_ = host_.LogLines().size();
}

}  // namespace qor::store_test
