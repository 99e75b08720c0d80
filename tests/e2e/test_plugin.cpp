// A small plug-in for the end-to-end tests of qor-host: a handful of endpoints that show what
// the host put into the request record, each kind of reply, a resource fetched and followed,
// external requests and the log. Built as its own shared object and loaded by qor-host with
// --plugin.
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "api/host_abi.h"

namespace {

const PluginHostApi* gApi = nullptr;
uintptr_t gHandle = 0;
std::string gLocale;
int gModule = 0;

// ---- Values ------------------------------------------------------------------------------

std::string_view TextOf(const HostValue& value) {
  if ((value.tag != HOST_VALUE_STRING && value.tag != HOST_VALUE_OWNED_STRING) ||
      value.data.text == nullptr) {
    return {};
  }
  return std::string_view(value.data.text, value.length);
}

const HostValue* MemberOf(const HostValue& value, std::string_view key) {
  if (value.tag != HOST_VALUE_STRUCTURE || value.data.entries == nullptr) return nullptr;
  for (uint32_t i = 0; i < value.length; ++i) {
    if (value.data.entries[i].key != nullptr && key == value.data.entries[i].key) {
      return &value.data.entries[i].value;
    }
  }
  return nullptr;
}

char* Copy(std::string_view text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

// ---- Replies -----------------------------------------------------------------------------
// Every body is a text of the plug-in's own: the host writes it as a JSON string.

void Release(PluginLocalResponse* response) {
  if (response->body.tag == HOST_VALUE_OWNED_STRING) {
    std::free(const_cast<char*>(response->body.data.text));
  }
  if (response->errorTextOwned) std::free(const_cast<char*>(response->errorText));
  std::memset(response, 0, sizeof(*response));
}

void Answer(PluginLocalResponse* response, std::optional<std::string_view> text = {}) {
  std::memset(response, 0, sizeof(*response));
  response->release = &Release;
  if (!text) return;
  response->body.tag = HOST_VALUE_OWNED_STRING;
  response->body.length = static_cast<uint32_t>(text->size());
  response->body.data.text = Copy(*text);
}

void Fail(PluginLocalResponse* response, std::string_view text, uint32_t status) {
  response->errorText = Copy(text);
  response->errorTextOwned = 1;
  response->status = status;
}

void OnLocaleEvent(const PluginEvent* event) {
  if (const HostValue* data = MemberOf(event->payload, "data")) {
    if (const HostValue* locale = MemberOf(*data, "locale")) gLocale = TextOf(*locale);
  }
}

// ---- Endpoints ---------------------------------------------------------------------------

void Literal(PluginLocalResponse* response, const PluginLocalRequest*) {
  Answer(response, "literal");
}

void Capture(PluginLocalResponse* response, const PluginLocalRequest* request) {
  Answer(response, std::string("capture:") + request->path);
}

// What the host put into the request record, one "name=value" line each.
void Echo(PluginLocalResponse* response, const PluginLocalRequest* request) {
  std::string text = "method=" + std::to_string(request->method) + "\npath=" + request->path +
                     "\ncontentType=" + (request->contentType ? request->contentType : "<none>");
  for (uint32_t i = 0; i < request->headerCount; ++i) {
    const std::string_view name = request->headers[i].name;
    if (name == "x-test" || name == "authorization") {
      text += "\n" + std::string(name) + "=" + request->headers[i].value;
    }
  }
  const char* body = static_cast<const char*>(request->body);
  if (body != nullptr) {
    text += "\nbody=" + std::string(body, request->bodyLength);
    if (body[request->bodyLength] == '\0') text += "\nthen NUL";
  }
  Answer(response, text);
}

// "/test/v1/empty" answers nothing; "/test/v1/fail" fails without a status, "teapot" with one.
void Outcome(PluginLocalResponse* response, const PluginLocalRequest* request) {
  Answer(response);
  const std::string_view path = request->path;
  if (path.ends_with("/fail")) Fail(response, "Broken on purpose", 0);
  if (path.ends_with("/teapot")) Fail(response, "I'm a teapot", 418);
}

void Locale(PluginLocalResponse* response, const PluginLocalRequest*) {
  Answer(response, gLocale);
}

struct Stream {
  int reads = 0;
};

int32_t ReadStream(void* handle, void* buffer, uint32_t capacity, uint32_t* got, uint8_t* more) {
  static constexpr std::string_view kPieces[] = {"[1,", "2,", "3]"};
  auto* stream = static_cast<Stream*>(handle);
  const std::string_view piece = kPieces[stream->reads];
  if (capacity < piece.size()) return -1;
  std::memcpy(buffer, piece.data(), piece.size());
  *got = static_cast<uint32_t>(piece.size());
  *more = ++stream->reads < 3 ? 1 : 0;
  return 0;
}

void CloseStream(void* handle) {
  delete static_cast<Stream*>(handle);
}

void Streamed(PluginLocalResponse* response, const PluginLocalRequest*) {
  Answer(response);
  response->streamRead = &ReadStream;
  response->streamClose = &CloseStream;
  response->streamHandle = new Stream;
  response->streamLengthHint = 7;
}

// Sends an external GET to the URL in the body, with the "x-forward-authorization" header of
// the call as its "Authorization", and answers what came back.
void External(PluginLocalResponse* response, const PluginLocalRequest* request) {
  const char* body = static_cast<const char*>(request->body);
  const std::string url = body != nullptr ? std::string(body, request->bodyLength) : "";
  std::vector<HostHeader> headers;
  for (uint32_t i = 0; i < request->headerCount; ++i) {
    if (std::string_view(request->headers[i].name) == "x-forward-authorization") {
      headers.push_back(HostHeader{"Authorization", request->headers[i].value});
    }
  }
  PluginExternalRequest outgoing{};
  outgoing.method = PLUGIN_METHOD_GET;
  outgoing.url = url.c_str();
  outgoing.headers = headers.data();
  outgoing.headerCount = static_cast<uint32_t>(headers.size());
  outgoing.timeLimit = 20;
  outgoing.flags = 1;
  PluginExternalResponse answer{};
  gApi->SendExternalRequest(gApi, &answer, &outgoing);
  Answer(response, "connectionCode=" + std::to_string(answer.connectionCode) +
                       " status=" + std::to_string(answer.status) + " body=" +
                       std::string(static_cast<const char*>(answer.body), answer.bodyLength));
  if (answer.release != nullptr) answer.release(&answer);
}

// ---- The table -----------------------------------------------------------------------------

struct Endpoint {
  uint32_t method;
  const char* path;
  PluginCallFunction call;
};

// The capture route comes before the literal one under the same prefix: the host's selection
// must still pick the literal route for its own path.
constexpr Endpoint kEndpoints[] = {
    {PLUGIN_METHOD_GET, "/test/v1/{name}", &Capture},
    {PLUGIN_METHOD_GET, "/test/v1/literal", &Literal},
    {PLUGIN_METHOD_POST, "/test/v1/echo", &Echo},
    {PLUGIN_METHOD_GET, "/test/v1/empty", &Outcome},
    {PLUGIN_METHOD_GET, "/test/v1/fail", &Outcome},
    {PLUGIN_METHOD_GET, "/test/v1/teapot", &Outcome},
    {PLUGIN_METHOD_GET, "/test/v1/locale", &Locale},
    {PLUGIN_METHOD_GET, "/test/v1/stream", &Streamed},
    {PLUGIN_METHOD_POST, "/test/v1/external", &External},
};
constexpr size_t kEndpointCount = sizeof(kEndpoints) / sizeof(kEndpoints[0]);

PluginFunctionEntry gFunctions[kEndpointCount];
PluginEndpointTable gTable;

uint8_t Initialize(void*, const PluginHost* host) {
  gApi = host->api;
  gHandle = host->pluginHandle;
  gApi->WriteLog(gApi, PLUGIN_LOG_ALWAYS, "test plug-in started");
  // The locale as it is at start; then followed by its resource events.
  PluginLocalRequest request{};
  request.method = PLUGIN_METHOD_GET;
  request.path = "/vaxoclient/region-locale";
  request.callerHandle = gHandle;
  PluginLocalResponse response{};
  gApi->SendLocalRequest(gApi, &response, &request);
  if (const HostValue* locale = MemberOf(response.body, "locale")) gLocale = TextOf(*locale);
  if (response.release != nullptr) response.release(&response);
  gApi->SubscribeEvent(gApi, "OnJsonApiEvent_vaxoclient_region-locale", gHandle, &OnLocaleEvent,
                       nullptr, PLUGIN_SUBSCRIBE_RESOURCE_EVENTS);
  return 1;
}

void Shutdown(void*) {
  gApi->UnsubscribeEvent(gApi, "OnJsonApiEvent_vaxoclient_region-locale", gHandle);
  gApi->WriteLog(gApi, PLUGIN_LOG_ALWAYS, "test plug-in stopped");
}

void MemoryStats(void*, PluginMemoryStats* stats) {
  std::memset(stats, 0, sizeof(*stats));
}

const PluginCallbacks kCallbacks = {&Initialize, &Shutdown, &MemoryStats};

}  // namespace

extern "C" __attribute__((visibility("default"))) void* load_qor_store(PluginLoadInfo* info) {
  for (size_t i = 0; i < kEndpointCount; ++i) {
    PluginFunctionEntry& entry = gFunctions[i];  // texts left out are null: none of them
    entry = PluginFunctionEntry{};
    entry.next = i + 1 < kEndpointCount ? &gFunctions[i + 1] : nullptr;
    entry.method = kEndpoints[i].method;
    entry.context = &gModule;
    entry.name = kEndpoints[i].path;
    entry.pathTemplate = kEndpoints[i].path;
    entry.call = kEndpoints[i].call;
  }
  gTable = PluginEndpointTable{
      gFunctions, static_cast<uint32_t>(kEndpointCount), nullptr, 0, nullptr, 0};
  info->versionMajor = 18;
  info->versionMinor = 0;
  info->versionPatch = 0;
  info->callbacks = &kCallbacks;
  info->context = &gModule;
  info->shortName = "qor-test";
  info->endpoints = &gTable;
  return &gModule;
}
