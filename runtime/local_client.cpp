#include "runtime/local_client.h"

#include <algorithm>
#include <cstring>

#include "api/host_value.h"

namespace qor {

std::string_view RequestMethodText(uint32_t method) {
  static constexpr std::string_view kNames[] = {"",        "DELETE", "GET",  "HEAD",
                                                "OPTIONS", "PATCH",  "POST", "PUT"};
  return method < std::size(kNames) ? kNames[method] : std::string_view();
}

uint32_t WireMethodCode(uint32_t method) {
  return method >= PLUGIN_METHOD_DELETE && method <= PLUGIN_METHOD_INVOKE ? method : 0;
}

namespace detail {
namespace {

// Frees the argument values this module wrote.
struct ArgumentList {
  std::vector<HostArgument> arguments;
  ~ArgumentList() {
    for (HostArgument& argument : arguments)
      FreeHostValue(argument.value);
  }
};

// Calls the response's release function when the scope ends.
struct ResponseGuard {
  PluginLocalResponse& response;
  ~ResponseGuard() {
    if (response.release != nullptr) response.release(&response);
  }
};

Failure NamedFailure(int status, std::string_view tmpl, uint32_t method, std::string_view path,
                     std::string_view error) {
  return Failure::Named(status, tmpl, RequestMethodText(method), path, error);
}

// Reads a streamed body to its end. The close function is called by the caller.
MaybeType<Failure, std::string> ReadStream(AppModule& module, const PluginLocalResponse& response) {
  std::string text;
  text.reserve(std::min<size_t>(response.streamLengthHint, kMaxStreamedBody));
  std::vector<char> buffer(kStreamReadBuffer);
  for (;;) {
    uint32_t bytesRead = 0;
    uint8_t more = 0;
    const int32_t result = response.streamRead(response.streamHandle, buffer.data(),
                                               kStreamReadBuffer, &bytesRead, &more);
    // A reader claiming more bytes than the buffer holds is as broken as one that fails.
    if (result != 0 || bytesRead > kStreamReadBuffer) return Failure("Stream read error");
    if (text.size() + bytesRead > kMaxStreamedBody) return Failure("Stream read error");
    text.append(buffer.data(), bytesRead);
    if (more == 0) break;
    if (bytesRead < kStreamReadBuffer) module.Yield();
  }
  return text;
}

}  // namespace

Failure ParameterFailure(uint32_t method, std::string_view path, std::string_view error) {
  return NamedFailure(400,
                      "Request not sent: Error converting parameters for {method} {url}: {error}",
                      method, path, error);
}

Failure ResponseConversionFailure(uint32_t method, std::string_view path, std::string_view error) {
  return NamedFailure(0, "Error converting response for {method} {url}: {error}", method, path,
                      error);
}

MaybeType<Failure, void> SendLocalCall(AppModule& module, uint32_t method, std::string_view path,
                                       std::span<const BindingProperty> parameters,
                                       BindingProperty* result) {
  ArgumentList list;
  list.arguments.reserve(parameters.size());
  for (const BindingProperty& parameter : parameters) {
    HostArgument argument{};
    auto written = WriteHostValue(parameter, argument.value);
    if (written.Failed()) return ParameterFailure(method, path, written.ErrorMessage());
    list.arguments.push_back(argument);
  }

  const std::string pathText(path);
  PluginLocalRequest request{};
  request.method = WireMethodCode(method);
  request.path = pathText.c_str();
  request.arguments = list.arguments.empty() ? nullptr : list.arguments.data();
  request.argumentCount = static_cast<uint32_t>(list.arguments.size());
  request.callerHandle = module.PluginHandle();

  PluginLocalResponse response{};
  module.SendLocalRequest(response, request);
  ResponseGuard guard{response};

  if (response.errorText != nullptr) {
    return NamedFailure(static_cast<int>(response.status),
                        "Error response for {method} {url}: {error}", method, path,
                        response.errorText);
  }
  if (result == nullptr) {
    // Nothing is read; a stream the caller will not read is still ended.
    if (response.streamRead != nullptr && response.streamClose != nullptr) {
      response.streamClose(response.streamHandle);
    }
    return {};
  }

  if (response.streamRead != nullptr) {
    auto text = ReadStream(module, response);
    MaybeType<Failure, BindingProperty> parsed =
        text.Succeeded() ? ParseJson(std::string_view(*text))
                         : MaybeType<Failure, BindingProperty>(text.Error());
    if (response.streamClose != nullptr) response.streamClose(response.streamHandle);
    if (parsed.Failed()) {
      return NamedFailure(0, "Error reading streamed response for {method} {url}: {error}", method,
                          path, parsed.ErrorMessage());
    }
    *result = std::move(parsed).Value();
    return {};
  }

  auto body = ReadHostValue(response.body, "<result>");
  if (body.Failed()) return ResponseConversionFailure(method, path, body.ErrorMessage());
  *result = std::move(body).Value();
  return {};
}

// ---- External GET -------------------------------------------------------------------------

int32_t MapConnectionCode(int32_t code) {
  return code == -1 || code == 0 || code == 2 ? code : 1;
}

namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
           return lower(x) == lower(y);
         });
}

}  // namespace

RawExternalResponse SendExternalGet(AppModule& module, std::string_view url, uint32_t timeLimit,
                                    const std::map<std::string, std::string>& headers) {
  const bool callerAgent = std::any_of(headers.begin(), headers.end(), [](const auto& header) {
    return EqualsIgnoringCase(header.first, "user-agent");
  });
  std::vector<HostHeader> pairs;
  pairs.reserve(headers.size() + 1);
  if (!callerAgent) pairs.push_back(HostHeader{"user-agent", module.UserAgent().c_str()});
  for (const auto& [name, value] : headers)
    pairs.push_back(HostHeader{name.c_str(), value.c_str()});

  const std::string urlText(url);
  PluginExternalRequest request{};
  request.method = PLUGIN_METHOD_GET;
  request.url = urlText.c_str();
  request.headers = pairs.data();
  request.headerCount = static_cast<uint32_t>(pairs.size());
  request.timeLimit = timeLimit;
  request.flags = 1;

  PluginExternalResponse response{};
  module.SendExternalRequest(response, request);

  RawExternalResponse raw;
  raw.label = Format("%1 %2", RequestMethodText(PLUGIN_METHOD_GET), urlText);
  raw.connectionCode = MapConnectionCode(response.connectionCode);
  raw.status = response.status;
  const bool hasBytes = response.body != nullptr && response.bodyLength > 0;
  if (raw.connectionCode != 0) {
    if (hasBytes) raw.error.assign(static_cast<const char*>(response.body), response.bodyLength);
  } else if (response.headerCount != 0 && response.headers == nullptr) {
    raw.error = Format("Error converting response for %1: headers was null", raw.label);
  } else {
    for (uint32_t i = 0; i < response.headerCount; ++i) {
      const HostHeader& header = response.headers[i];
      if (header.name == nullptr) continue;
      raw.headers[header.name] = header.value != nullptr ? header.value : "";
    }
    raw.bodyNull = response.body == nullptr && response.bodyLength > 0;
    if (hasBytes) raw.body.assign(static_cast<const char*>(response.body), response.bodyLength);
  }
  if (response.release != nullptr) response.release(&response);
  return raw;
}

}  // namespace detail
}  // namespace qor
