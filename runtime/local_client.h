// Outgoing requests: local calls of other plug-ins' endpoints and outside HTTP GETs.
//
// Both are synchronous host calls made on the calling thread; a streamed local response is
// read piece by piece and yields to the host between short reads, so callbacks into the
// module may run inside a read. Every failure is returned, never thrown:
//
//   auto session = CallLocalFor<Session>(module, PLUGIN_METHOD_GET, "/qor-login/v1/session");
//   auto done = CallLocal(module, PLUGIN_METHOD_POST, "/telemetry/v1/events/app-start", payload);
//   ExternalResponse<Wallet> wallet = ExternalGet<Wallet>(module, url, 20, headers);
//
// Local call failures (named templates; {method} the method's name, {url} the path):
//   status 400  "Request not sent: Error converting parameters for {method} {url}: {error}"
//   the reply's "Error response for {method} {url}: {error}"
//   no status   "Error reading streamed response for {method} {url}: {error}"
//   no status   "Error converting response for {method} {url}: {error}"
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "binding/json.h"
#include "binding/maybe.h"
#include "binding/property.h"
#include "binding/record.h"
#include "binding/registry.h"
#include "runtime/app_module.h"

namespace qor {

// The method's name for messages: codes 1 to 7 by name, every other code the empty text.
std::string_view RequestMethodText(uint32_t method);
// The code sent to the host: 1 to 8 unchanged, any other code 0.
uint32_t WireMethodCode(uint32_t method);

// The largest streamed response body read; a longer one fails as a read error.
inline constexpr size_t kMaxStreamedBody = 64u << 20;
// The read buffer of streamed responses.
inline constexpr uint32_t kStreamReadBuffer = 4096;

namespace detail {

// Sends `parameters` (already converted) and, when `result` is given, reads the response
// body into it.
MaybeType<Failure, void> SendLocalCall(AppModule& module, uint32_t method, std::string_view path,
                                       std::span<const BindingProperty> parameters,
                                       BindingProperty* result);

Failure ParameterFailure(uint32_t method, std::string_view path, std::string_view error);
Failure ResponseConversionFailure(uint32_t method, std::string_view path, std::string_view error);

template <typename... P>
MaybeType<Failure, std::vector<BindingProperty>> ConvertParameters(const TypeRegistry& registry,
                                                                   const P&... parameters) {
  std::vector<BindingProperty> converted;
  converted.reserve(sizeof...(P));
  std::string error;
  [[maybe_unused]] auto convertOne = [&](const auto& parameter) {
    if (!error.empty()) return;
    using Parameter = std::remove_cvref_t<decltype(parameter)>;
    if constexpr (std::is_same_v<Parameter, BindingProperty>) {
      converted.push_back(parameter);
    } else {
      auto value = ToBinding(parameter, registry);
      if (value.Failed()) {
        error = std::string(value.ErrorMessage());
        if (error.empty()) error = "conversion failed";
        return;
      }
      converted.push_back(std::move(value).Value());
    }
  };
  (convertOne(parameters), ...);
  if (!error.empty()) return Failure(error);
  return converted;
}

}  // namespace detail

// A local call without a result.
template <typename... P>
MaybeType<Failure, void> CallLocal(AppModule& module, uint32_t method, std::string_view path,
                                   const P&... parameters) {
  auto converted = detail::ConvertParameters(module.Types(), parameters...);
  if (converted.Failed()) {
    return detail::ParameterFailure(method, path, converted.ErrorMessage());
  }
  return detail::SendLocalCall(module, method, path, *converted, nullptr);
}

// A local call whose response body is converted into T (a registered type, a list of one,
// text, a number or BindingProperty).
template <typename T, typename... P>
MaybeType<Failure, T> CallLocalFor(AppModule& module, uint32_t method, std::string_view path,
                                   const P&... parameters) {
  auto converted = detail::ConvertParameters(module.Types(), parameters...);
  if (converted.Failed()) {
    return detail::ParameterFailure(method, path, converted.ErrorMessage());
  }
  BindingProperty body;
  QOR_TRY(detail::SendLocalCall(module, method, path, *converted, &body));
  if constexpr (std::is_same_v<T, BindingProperty>) {
    return body;
  } else {
    auto value = FromBinding<T>(body, module.Types(), "<result>");
    if (value.Failed()) {
      return detail::ResponseConversionFailure(method, path, value.ErrorMessage());
    }
    return std::move(value).Value();
  }
}

// ---- External GET -------------------------------------------------------------------------

// The outcome of an external request. `connectionCode` is the host's, mapped: -1, 0
// (connected) and 2 pass unchanged, every other value becomes 1. `error` is empty on success.
template <typename T>
struct ExternalResponse {
  int32_t connectionCode = 0;
  uint32_t status = 0;
  bool parseFailed = false;
  bool conversionFailed = false;
  std::string error;
  std::map<std::string, std::string> headers;
  T value{};

  bool Succeeded() const { return connectionCode == 0 && error.empty(); }
};

namespace detail {

// What the host answered, copied out of its record (which is released before returning).
struct RawExternalResponse {
  int32_t connectionCode = 0;
  uint32_t status = 0;
  std::string label;  // "GET <url>"
  std::string error;  // connection error text or the "headers was null" message
  std::map<std::string, std::string> headers;
  bool bodyNull = false;  // a non-zero length came without bytes
  std::string body;
};

int32_t MapConnectionCode(int32_t code);

// Sends a GET of `url` with the user-agent rule applied to `headers`.
RawExternalResponse SendExternalGet(AppModule& module, std::string_view url, uint32_t timeLimit,
                                    const std::map<std::string, std::string>& headers);

}  // namespace detail

// GETs `url` and converts the body into T: text as it is, or JSON converted into a
// registered record or a list of them. Caller headers come after the module's "user-agent",
// which is left out when the caller gives a header of that name in any letter case.
template <typename T>
ExternalResponse<T> ExternalGet(AppModule& module, std::string_view url, uint32_t timeLimit,
                                const std::map<std::string, std::string>& headers) {
  detail::RawExternalResponse raw = detail::SendExternalGet(module, url, timeLimit, headers);
  ExternalResponse<T> response;
  response.connectionCode = raw.connectionCode;
  response.status = raw.status;
  response.headers = std::move(raw.headers);
  response.error = std::move(raw.error);
  if (response.connectionCode != 0 || !response.error.empty()) return response;

  if constexpr (std::is_same_v<T, std::string>) {
    if (raw.bodyNull) {
      response.error = Format("Error converting response for %1: body was null", raw.label);
    } else {
      response.value = std::move(raw.body);
    }
  } else {
    if (raw.bodyNull || raw.body.empty()) {
      response.error = Format("Error converting response for %1: body was empty", raw.label);
      return response;
    }
    auto parsed = ParseJson(std::string_view(raw.body));
    if (parsed.Failed()) {
      response.parseFailed = true;
      response.error = Format("Error deserializing json response for %1: %2 given body %3",
                              raw.label, parsed.ErrorMessage(), raw.body);
      return response;
    }
    auto value = FromBinding<T>(*parsed, module.Types(), "<value>");
    if (value.Failed()) {
      response.conversionFailed = true;
      response.error =
          Format("Error converting response for %1 to %2: %3", raw.label,
                 module.Types().Describe(DescriptorOf<T>(&module.Types())), value.ErrorMessage());
      return response;
    }
    response.value = std::move(value).Value();
  }
  return response;
}

}  // namespace qor
