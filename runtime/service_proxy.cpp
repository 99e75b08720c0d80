#include "runtime/service_proxy.h"

#include <array>
#include <limits>
#include <utility>
#include <vector>

#include "binding/json.h"
#include "foundation/log.h"

namespace qor {

namespace detail {

template <>
MaybeType<Failure, PluginServiceProxyResponse> ReadSdkRecord<PluginServiceProxyResponse>(
    const BindingProperty& value, std::string_view name) {
  if (value.Kind() != BindingKind::Structure) {
    return NotAStructure(name, "PluginServiceProxyResponse");
  }
  PluginServiceProxyResponse response;
  const std::array<std::pair<std::string_view, std::string*>, 6> fields = {{
      {"uuid", &response.uuid},
      {"serviceName", &response.serviceName},
      {"methodName", &response.methodName},
      {"payload", &response.payload},
      {"status", &response.status},
      {"error", &response.error},
  }};
  for (const auto& [field, target] : fields) {
    const BindingProperty* member = value.FindMember(field);
    if (member == nullptr || member->IsEmpty()) continue;
    QOR_ASSIGN_OR_RETURN(*target, EventsRead<std::string>(nullptr, *member, field));
  }
  return response;
}

}  // namespace detail

namespace {

std::string KeyOf(std::string_view service, std::string_view method) {
  std::string key;
  key.reserve(service.size() + 1 + method.size());
  key.append(service).append(".").append(method);
  return key;
}

}  // namespace

void ServiceProxy::SubscribeEvents() {
  events_.RegisterRecordHandler<PluginServiceProxyResponse>(
      std::string(kUuidEvent),
      [this](const PluginServiceProxyResponse& response) { OnUuidResponse(response); },
      PLUGIN_SUBSCRIBE_SERVICE_EVENTS);
  events_.RegisterRecordHandler<PluginServiceProxyResponse>(
      std::string(kMethodEvent),
      [this](const PluginServiceProxyResponse& response) { OnMethodResponse(response); },
      PLUGIN_SUBSCRIBE_SERVICE_EVENTS);
  events_.RegisterRecordHandler<PluginServiceProxyResponse>(
      std::string(kAsyncEvent),
      [this](const PluginServiceProxyResponse& response) { OnAsyncEvent(response); },
      PLUGIN_SUBSCRIBE_SERVICE_EVENTS);
}

void ServiceProxy::Start(std::string_view service, std::string_view method, BindingProperty payload,
                         std::string_view methodForm, Completion completion,
                         BindingProperty methodFormValue) {
  const std::string name = KeyOf(service, method);
  const std::string shortName(module_.ShortName());
  Log(LogLevel::Always, log_group::kDbg, "%s: Preparing service proxy request: %s", shortName,
      name);

  std::string key;
  if (methodForm.empty()) {
    const std::array<BindingProperty, 4> params = {
        BindingProperty(service), BindingProperty(method),
        BindingProperty(static_cast<std::uint64_t>(module_.PluginHandle())), std::move(payload)};
    MaybeType<Failure, BindingProperty> reply =
        module_.LocalCall(PLUGIN_METHOD_POST, kUuidRequestPath, params);
    if (reply.Failed()) {
      completion(reply.Error());
      return;
    }
    if (reply->Kind() != BindingKind::String) {
      completion(Failure(Format("Error converting response for POST %1: %2", kUuidRequestPath,
                                Format("Couldn't assign value to '%1' because the input is not "
                                       "a string.",
                                       "<value>"))));
      return;
    }
    key = std::string(reply->GetString());
  } else {
    {
      std::lock_guard<std::recursive_mutex> lock(mutex_);
      if (inFlight_.count(name) != 0 || starting_.count(name) != 0) {
        Log(LogLevel::Error, log_group::kDbg,
            "%s: Could not invoke service proxy as request is already in flight", shortName);
        completion(Failure("Request already in flight"));
        return;
      }
      starting_.insert(name);
    }
    const std::array<BindingProperty, 6> params = {
        BindingProperty(service),
        BindingProperty(method),
        BindingProperty(methodForm),
        std::move(methodFormValue),
        BindingProperty(static_cast<std::uint64_t>(module_.PluginHandle())),
        std::move(payload)};
    MaybeType<Failure, BindingProperty> reply =
        module_.LocalCall(PLUGIN_METHOD_POST, kMethodRequestPath, params);
    if (reply.Failed()) {
      {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        starting_.erase(name);
      }
      completion(reply.Error());
      return;
    }
    key = name;
  }

  Log(LogLevel::Always, log_group::kDbg, "%s: Started service proxy request: %s (%s)", shortName,
      name, key);
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  starting_.erase(name);
  if (module_.ShuttingDown()) {
    // Stop ran while the POST was out: nothing would ever complete this request.
    completion(Failure("Finalizing"));
    return;
  }
  auto [entry, added] = inFlight_.try_emplace(key, std::move(completion));
  if (!added) {
    // The host gave a key still in flight: the new request takes its place and the earlier
    // one ends now (dropping it unanswered would leave its caller's future without a value).
    Log(LogLevel::Error, log_group::kDbg,
        "%s: Service proxy request %s replaced an earlier request with the same id", shortName,
        key);
    Completion earlier = std::exchange(entry->second, std::move(completion));
    earlier(Failure(Format("Replaced by a later service proxy request with the id %1", key)));
  }
  FulfilmentPass();
}

void ServiceProxy::SetAsyncHandler(std::string_view service, std::string_view method,
                                   AsyncHandler handler) {
  auto shared = std::make_shared<const AsyncHandler>(std::move(handler));
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  asyncHandlers_[KeyOf(service, method)] = std::move(shared);
}

void ServiceProxy::OnUuidResponse(const PluginServiceProxyResponse& response) {
  Receive(response.uuid, response);
}

void ServiceProxy::OnMethodResponse(const PluginServiceProxyResponse& response) {
  Receive(KeyOf(response.serviceName, response.methodName), response);
}

void ServiceProxy::Receive(std::string key, const PluginServiceProxyResponse& response) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  received_.insert_or_assign(std::move(key), response);
  FulfilmentPass();
}

bool ServiceProxy::FulfilmentPass() {
  for (auto answer = received_.begin(); answer != received_.end(); ++answer) {
    auto request = inFlight_.find(answer->first);
    if (request == inFlight_.end()) continue;
    Log(LogLevel::Always, log_group::kDbg, "%s: Fulfilled service proxy request: %s",
        module_.ShortName(), answer->first);
    // Out of the tables before the call: the completion may start or answer other requests.
    Completion completion = std::move(request->second);
    PluginServiceProxyResponse response = std::move(answer->second);
    inFlight_.erase(request);
    received_.erase(answer);
    completion(response);
    return true;
  }
  return false;
}

void ServiceProxy::OnAsyncEvent(const PluginServiceProxyResponse& response) {
  const std::string key = KeyOf(response.serviceName, response.methodName);
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = asyncHandlers_.find(key);
  if (it == asyncHandlers_.end()) {
    Log(LogLevel::Error, log_group::kDbg,
        "%s: Could not find registered handler for async service proxy event %s",
        module_.ShortName(), key);
    return;
  }
  // Kept alive even when the handler replaces itself.
  std::shared_ptr<const AsyncHandler> handler = it->second;
  (*handler)(response);
}

void ServiceProxy::CompleteCall(
    const std::shared_ptr<std::promise<MaybeType<Failure, BindingProperty>>>& promise,
    const Outcome& outcome) {
  if (outcome.Failed()) {
    promise->set_value(outcome.Error());
    return;
  }
  const PluginServiceProxyResponse& response = *outcome;
  if (!response.error.empty()) {
    promise->set_value(Failure(response.error));
    return;
  }
  MaybeType<Failure, BindingProperty> parsed = ParseJson(std::string_view(response.payload));
  if (parsed.Failed()) {
    promise->set_value(
        Failure::Named(0, "Failed to deserialize response payload \"{payload}\" to a {type}",
                       response.payload, StaticType::Name<BindingProperty>()));
    return;
  }
  promise->set_value(std::move(parsed));
}

MaybeType<Failure, BindingProperty> ServiceProxy::CheckStoreProxyReply(
    MaybeType<Failure, BindingProperty> reply) {
  if (reply.Failed()) return reply;
  if (std::optional<Failure> failure = StoreProxyFailure(*reply)) return *failure;
  return reply;
}

std::optional<Failure> ServiceProxy::StoreProxyFailure(const BindingProperty& reply) {
  const BindingProperty* code = reply.FindMember("errorCode");
  if (code == nullptr) return std::nullopt;
  const BindingProperty& message = reply.Member("errorMessage");
  std::string text =
      message.Kind() == BindingKind::String ? std::string(message.GetString()) : message.ToText();
  const std::int64_t number = code->ToSigned();
  if (number == 0) return Failure(0, std::move(text));
  NamedField field;
  field.name = "errorCode_int";
  field.kind = NamedField::Kind::Integer;
  field.integer = number;
  const int status = number > std::numeric_limits<int>::max()   ? std::numeric_limits<int>::max()
                     : number < std::numeric_limits<int>::min() ? std::numeric_limits<int>::min()
                                                                : static_cast<int>(number);
  return Failure(status, std::move(text), {std::move(field)});
}

void ServiceProxy::Stop() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::unordered_map<std::string, Completion> ended;
  ended.swap(inFlight_);
  received_.clear();
  asyncHandlers_.clear();
  starting_.clear();
  for (auto& [key, completion] : ended)
    completion(Failure("Finalizing"));
}

std::size_t ServiceProxy::InFlightCount() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return inFlight_.size();
}

std::size_t ServiceProxy::ReceivedCount() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return received_.size();
}

}  // namespace qor
