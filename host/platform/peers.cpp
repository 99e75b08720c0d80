#include "host/platform/peers.h"

#include <cstdio>

#include "host/json_value.h"

namespace qor::host {
namespace {

constexpr std::string_view kInvokePath = "/qor-login/v1/session/invoke";
constexpr std::string_view kUuidRequestPath = "/qor-login/v1/service-proxy-uuid-requests";
constexpr std::string_view kMethodRequestPath = "/qor-login/v1/service-proxy-method-requests";
constexpr std::string_view kNotificationsPath = "/player-notifications/v1/notifications";
constexpr std::string_view kTelemetryPrefix = "/telemetry/v1/events/";

std::string_view MethodText(uint32_t method) {
  static constexpr std::string_view kNames[] = {"",        "DELETE", "GET",  "HEAD",
                                                "OPTIONS", "PATCH",  "POST", "PUT"};
  return method < std::size(kNames) ? kNames[method] : std::string_view();
}

// JSON of a value for the records; a value that cannot be written shows as null.
std::string JsonOf(const BindingProperty& value) {
  MaybeType<Failure, std::string> json = PropertyToJson(value);
  return json ? std::move(*json) : std::string("null");
}

const BindingProperty& Argument(const LocalCall& call, size_t index) {
  return index < call.arguments.size() ? call.arguments[index] : BindingProperty::EmptyValue();
}

// The one value a POST carries: its first argument, or its JSON body.
BindingProperty PostedValue(const LocalCall& call) {
  if (!call.arguments.empty()) return call.arguments.front();
  if (!call.body.empty()) {
    MaybeType<Failure, BindingProperty> body = JsonToProperty(call.body);
    if (body) return std::move(*body);
    return BindingProperty(std::string_view(call.body));
  }
  return BindingProperty();
}

LocalReply FromCanned(const CannedAnswer& answer) {
  if (!answer.error.empty()) return LocalReply::Error(answer.status, answer.error);
  MaybeType<Failure, BindingProperty> body = JsonToProperty(answer.bodyJson);
  LocalReply reply = LocalReply::Value(body ? std::move(*body) : BindingProperty());
  reply.status = answer.status;
  return reply;
}

LocalReply LcdsResponse(std::string_view typeName, BindingProperty body) {
  BindingProperty response;
  response.SetStructure(2);
  response.MutableMember("typeName") = typeName;
  response.MutableMember("body") = std::move(body);
  return LocalReply::Value(std::move(response));
}

BindingProperty ServiceProxyEvent(std::string_view uuid, std::string_view service,
                                  std::string_view method, const ServiceProxyAnswer& answer) {
  BindingProperty event;
  event.SetStructure(6);
  event.MutableMember("uuid") = uuid;
  event.MutableMember("serviceName") = service;
  event.MutableMember("methodName") = method;
  event.MutableMember("payload") = std::string_view(answer.payloadJson);
  event.MutableMember("status") = std::string_view(answer.status);
  event.MutableMember("error") = std::string_view(answer.error);
  return event;
}

}  // namespace

std::string ResourceEventName(std::string_view uri) {
  std::vector<std::string_view> segments;
  size_t start = 0;
  while (start <= uri.size()) {
    size_t slash = uri.find('/', start);
    if (slash == std::string_view::npos) slash = uri.size();
    if (slash > start) segments.push_back(uri.substr(start, slash - start));
    start = slash + 1;
  }
  const size_t keep = !segments.empty() && segments.front() == "qor-platform-config" ? 5 : 3;
  std::string name = "OnJsonApiEvent";
  for (size_t i = 0; i < segments.size() && i < keep; ++i) {
    name += '_';
    name += segments[i];
  }
  return name;
}

std::string LcdsEventName(std::string_view typeName) {
  std::string name = "OnLcdsEvent_";
  for (char c : typeName)
    name.push_back(c == '.' ? '_' : c);
  return name;
}

// ---- RecordList ----------------------------------------------------------------------------

void RecordList::Append(std::string json) {
  if (json.size() > kMaxBytes) {
    // Alone beyond the list's bytes: the entry's start stands for it (cut where no UTF-8
    // sequence is split).
    size_t cut = kTruncatedStartBytes;
    while (cut > 0 && (static_cast<unsigned char>(json[cut]) & 0xC0) == 0x80)
      --cut;
    json = "{\"truncatedBytes\":" + std::to_string(json.size()) +
           ",\"start\":" + JsonQuote(std::string_view(json).substr(0, cut)) + "}";
  }
  std::lock_guard lock(mutex_);
  bytes_ += json.size();
  entries_.push_back(std::move(json));
  while (!entries_.empty() && (entries_.size() > kMaxEntries || bytes_ > kMaxBytes)) {
    bytes_ -= entries_.front().size();
    entries_.pop_front();
  }
}

std::string RecordList::ToJsonArray() const {
  std::lock_guard lock(mutex_);
  std::string out;
  out.reserve(bytes_ + entries_.size() + 2);
  out += '[';
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (i > 0) out += ',';
    out += entries_[i];
  }
  out += ']';
  return out;
}

size_t RecordList::Size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

size_t RecordList::Bytes() const {
  std::lock_guard lock(mutex_);
  return bytes_;
}

// ---- SimulatedPeers ------------------------------------------------------------------------

SimulatedPeers::SimulatedPeers(const Scenario& scenario, Publisher publish)
    : publish_(std::move(publish)),
      storefrontUrl_(scenario.storefrontUrl),
      localAnswers_(scenario.localAnswers) {
  for (const auto& [uri, json] : scenario.resources)
    resources_[uri] = json;

  lcdsHandlers_["loginService.getStoreUrl"] = [this](const BindingProperty&) {
    return LcdsResponse("java.lang.String", BindingProperty(StorefrontUrl()));
  };
  lcdsHandlers_["clientFacadeService.callPersistenceMessaging"] = [](const BindingProperty&) {
    return LcdsResponse("", BindingProperty());
  };
  for (const CannedLcdsAnswer& canned : scenario.lcdsAnswers) {
    lcdsHandlers_[canned.destination + "." + canned.method] =
        [typeName = canned.typeName, answer = canned.answer](const BindingProperty&) {
          LocalReply reply = FromCanned(answer);
          if (reply.error) return reply;
          return LcdsResponse(typeName, std::move(reply.body));
        };
  }
  for (const CannedServiceProxyAnswer& canned : scenario.serviceProxyAnswers) {
    ServiceProxyAnswer answer{canned.payloadJson, canned.status, canned.error};
    serviceProxyHandlers_[canned.serviceName + "." + canned.methodName] =
        [answer](const BindingProperty&) { return answer; };
  }
}

LocalReply SimulatedPeers::Answer(const LocalCall& call) {
  {
    std::lock_guard lock(mutex_);
    for (const CannedLocalAnswer& canned : localAnswers_) {
      if ((canned.method == 0 || canned.method == call.method) && canned.path == call.route) {
        return FromCanned(canned.answer);
      }
    }
  }
  const bool post = call.method == PLUGIN_METHOD_POST;
  if (post && call.route == kInvokePath) return AnswerLcdsCall(call);
  if (post && call.route == kUuidRequestPath) return AnswerServiceProxy(call, false);
  if (post && call.route == kMethodRequestPath) return AnswerServiceProxy(call, true);
  if (post && call.route == kNotificationsPath) {
    notifications_.Append(JsonOf(PostedValue(call)));
    return LocalReply::Value(BindingProperty());
  }
  if (post && call.route.starts_with(kTelemetryPrefix) &&
      call.route.size() > kTelemetryPrefix.size()) {
    telemetry_.Append("{\"name\":" + JsonQuote(call.route.substr(kTelemetryPrefix.size())) +
                      ",\"payload\":" + JsonOf(PostedValue(call)) + "}");
    return LocalReply::Value(BindingProperty());
  }
  if (call.method == PLUGIN_METHOD_GET) return AnswerResource(call);
  return LocalReply::Error(
      404, "No simulated peer serves " + std::string(MethodText(call.method)) + " " + call.route);
}

LocalReply SimulatedPeers::AnswerResource(const LocalCall& call) {
  std::optional<std::string> json = ResourceJson(call.route);
  if (!json) return LocalReply::Error(404, "No value for resource '" + call.route + "'");
  MaybeType<Failure, BindingProperty> value = JsonToProperty(*json);
  if (!value) return LocalReply::Error(500, value.Error().Message());
  return LocalReply::Value(std::move(*value));
}

LocalReply SimulatedPeers::AnswerLcdsCall(const LocalCall& call) {
  const BindingProperty& destination = Argument(call, 0);
  const BindingProperty& method = Argument(call, 1);
  const BindingProperty& parameters = Argument(call, 2);
  if (destination.Kind() != BindingKind::String || method.Kind() != BindingKind::String) {
    return LocalReply::Error(400,
                             "A legacy-service call needs the destination and the method name "
                             "as its first two arguments");
  }
  const std::string key =
      std::string(destination.GetString()) + "." + std::string(method.GetString());
  lcdsCalls_.Append("{\"destination\":" + JsonQuote(destination.GetString()) + ",\"method\":" +
                    JsonQuote(method.GetString()) + ",\"args\":" + JsonOf(parameters) + "}");
  LcdsHandler handler;
  {
    std::lock_guard lock(mutex_);
    auto it = lcdsHandlers_.find(key);
    if (it != lcdsHandlers_.end()) handler = it->second;
  }
  if (!handler) {
    return LocalReply::Error(404, "The simulated legacy service has no method '" + key + "'");
  }
  return handler(parameters);
}

LocalReply SimulatedPeers::AnswerServiceProxy(const LocalCall& call, bool methodForm) {
  const BindingProperty& service = Argument(call, 0);
  const BindingProperty& method = Argument(call, 1);
  const BindingProperty& payload = Argument(call, methodForm ? 5 : 3);
  if (service.Kind() != BindingKind::String || method.Kind() != BindingKind::String) {
    return LocalReply::Error(400,
                             "A service-proxy request needs the service and the method name "
                             "as its first two arguments");
  }
  const std::string serviceName(service.GetString());
  const std::string methodName(method.GetString());
  const std::string key = serviceName + "." + methodName;
  ServiceProxyHandler handler;
  std::string uuid;
  {
    std::lock_guard lock(mutex_);
    auto it = serviceProxyHandlers_.find(key);
    if (it != serviceProxyHandlers_.end()) handler = it->second;
    char text[40];
    std::snprintf(text, sizeof(text), "00000000-0000-4000-8000-%012llx",
                  static_cast<unsigned long long>(nextUuid_++));
    uuid = text;
  }
  if (!handler) {
    return LocalReply::Error(404, "The simulated service proxy has no method '" + key + "'");
  }
  // The answer comes later, as the platform's would: the publisher queues the event, so it is
  // delivered after this request has returned.
  ServiceProxyAnswer answer = handler(payload);
  if (methodForm) {
    publish_("OnServiceProxyMethodEvent", ServiceProxyEvent("", serviceName, methodName, answer));
    return LocalReply::Value(BindingProperty());
  }
  publish_("OnServiceProxyUuidEvent", ServiceProxyEvent(uuid, serviceName, methodName, answer));
  return LocalReply::Value(BindingProperty(std::string_view(uuid)));
}

void SimulatedPeers::PublishResourceEvent(const std::string& uri, const char* type,
                                          const BindingProperty* data) {
  BindingProperty event;
  event.SetStructure(3);
  event.MutableMember("uri") = std::string_view(uri);
  event.MutableMember("eventType") = type;
  if (data != nullptr) event.MutableMember("data") = *data;
  const std::string name = ResourceEventName(uri);
  if (name != "OnJsonApiEvent") publish_(name, event);
  publish_("OnJsonApiEvent", std::move(event));
}

MaybeType<Failure, void> SimulatedPeers::PutResource(const std::string& uri,
                                                     std::string_view json) {
  if (uri.empty() || uri.front() != '/') {
    return Failure(400, "The resource URI must begin with '/'");
  }
  MaybeType<Failure, BindingProperty> value = JsonToProperty(json);
  if (!value) return value.Error();
  MaybeType<Failure, std::string> compact = PropertyToJson(*value);
  if (!compact) return compact.Error();
  bool existed = false;
  {
    std::lock_guard lock(mutex_);
    auto [it, inserted] = resources_.insert_or_assign(uri, std::move(*compact));
    existed = !inserted;
  }
  PublishResourceEvent(uri, existed ? "Update" : "Create", &*value);
  return {};
}

MaybeType<Failure, void> SimulatedPeers::DeleteResource(const std::string& uri) {
  if (uri.empty() || uri.front() != '/') {
    return Failure(400, "The resource URI must begin with '/'");
  }
  {
    std::lock_guard lock(mutex_);
    resources_.erase(uri);
  }
  PublishResourceEvent(uri, "Delete", nullptr);
  return {};
}

std::optional<std::string> SimulatedPeers::ResourceJson(const std::string& uri) const {
  std::lock_guard lock(mutex_);
  auto it = resources_.find(uri);
  if (it == resources_.end()) return std::nullopt;
  return it->second;
}

std::string SimulatedPeers::AllResourcesJson() const {
  std::lock_guard lock(mutex_);
  std::string json = "{";
  for (const auto& [uri, value] : resources_) {
    if (json.size() > 1) json += ',';
    json += JsonQuote(uri) + ":" + value;
  }
  return json + "}";
}

void SimulatedPeers::ObservePublished(const std::string& name, const BindingProperty& payload) {
  if (name != "OnJsonApiEvent" || payload.Kind() != BindingKind::Structure) return;
  std::string uri(payload.Member("uri").GetString());
  if (uri.empty()) return;
  if (uri.front() != '/') uri.insert(uri.begin(), '/');
  const BindingProperty& type = payload.Member("eventType");
  const bool isDelete =
      type.Kind() == BindingKind::String ? type.GetString() == "Delete" : type.ToSigned(-1) == 2;
  if (isDelete) {
    std::lock_guard lock(mutex_);
    resources_.erase(uri);
    return;
  }
  MaybeType<Failure, std::string> json = PropertyToJson(payload.Member("data"));
  if (!json) return;
  std::lock_guard lock(mutex_);
  resources_[uri] = std::move(*json);
}

MaybeType<Failure, void> SimulatedPeers::PushLcdsMessage(std::string_view json) {
  MaybeType<Failure, BindingProperty> message = JsonToProperty(json);
  if (!message) return message.Error();
  const BindingProperty* typeName =
      message->Kind() == BindingKind::Structure ? message->FindMember("typeName") : nullptr;
  if (typeName == nullptr || typeName->Kind() != BindingKind::String ||
      typeName->GetString().empty()) {
    return Failure(400, "A legacy-service message needs a non-empty string 'typeName'");
  }
  const std::string name = LcdsEventName(typeName->GetString());
  BindingProperty event;
  event.SetStructure(4);
  event.MutableMember("clientId") = "qor-host";
  event.MutableMember("subtopic") = "";
  event.MutableMember("typeName") = *typeName;
  event.MutableMember("body") = message->Member("body");
  publish_(name, std::move(event));
  return {};
}

void SimulatedPeers::SetLcdsHandler(const std::string& destination, const std::string& method,
                                    LcdsHandler handler) {
  std::lock_guard lock(mutex_);
  lcdsHandlers_[destination + "." + method] = std::move(handler);
}

void SimulatedPeers::SetServiceProxyHandler(const std::string& serviceName,
                                            const std::string& methodName,
                                            ServiceProxyHandler handler) {
  std::lock_guard lock(mutex_);
  serviceProxyHandlers_[serviceName + "." + methodName] = std::move(handler);
}

void SimulatedPeers::SetStorefrontUrl(std::string url) {
  std::lock_guard lock(mutex_);
  storefrontUrl_ = std::move(url);
}

std::string SimulatedPeers::StorefrontUrl() const {
  std::lock_guard lock(mutex_);
  return storefrontUrl_;
}

}  // namespace qor::host
