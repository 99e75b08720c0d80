// A small plug-in for the end-to-end tests of qor-host: a handful of endpoints that show what
// the host put into the request record, each kind of reply, a resource fetched and followed, a
// published resource, external requests and the log. Built as its own shared
// object and loaded by qor-host with --plugin.
#include <cstdlib>
#include <cstring>
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

HostValue OwnedText(std::string_view text) {
  HostValue value{};
  value.tag = HOST_VALUE_OWNED_STRING;
  value.length = static_cast<uint32_t>(text.size());
  value.data.text = Copy(text);
  return value;
}

HostValue Bool(bool flag) {
  HostValue value{};
  value.tag = HOST_VALUE_BOOL;
  value.data.boolean = flag ? 1 : 0;
  return value;
}

HostValue Structure(std::vector<std::pair<std::string_view, HostValue>> members) {
  HostValue value{};
  value.tag = HOST_VALUE_STRUCTURE;
  value.length = static_cast<uint32_t>(members.size());
  auto* entries =
      static_cast<HostStructureEntry*>(std::calloc(members.size() + 1, sizeof(HostStructureEntry)));
  for (size_t i = 0; i < members.size(); ++i) {
    entries[i].key = Copy(members[i].first);
    entries[i].ownedKey = 1;
    entries[i].value = members[i].second;
  }
  value.data.entries = entries;
  return value;
}

void Free(HostValue& value) {
  switch (value.tag) {
    case HOST_VALUE_OWNED_STRING:
      std::free(const_cast<char*>(value.data.text));
      break;
    case HOST_VALUE_STRUCTURE:
      for (uint32_t i = 0; i < value.length; ++i) {
        if (value.data.entries[i].ownedKey) std::free(const_cast<char*>(value.data.entries[i].key));
        Free(value.data.entries[i].value);
      }
      std::free(value.data.entries);
      break;
    default:
      break;
  }
  value = HostValue{};
}

// ---- Replies -----------------------------------------------------------------------------

void Release(PluginLocalResponse* response) {
  Free(response->body);
  if (response->errorTextOwned) std::free(const_cast<char*>(response->errorText));
  std::memset(response, 0, sizeof(*response));
}

void Prepare(PluginLocalResponse* response) {
  std::memset(response, 0, sizeof(*response));
  response->release = &Release;
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
  Prepare(response);
  response->body = OwnedText("literal");
}

void Capture(PluginLocalResponse* response, const PluginLocalRequest* request) {
  Prepare(response);
  response->body = OwnedText(std::string("capture:") + request->path);
}

void Echo(PluginLocalResponse* response, const PluginLocalRequest* request) {
  Prepare(response);
  std::string test;
  bool authorization = false;
  for (uint32_t i = 0; i < request->headerCount; ++i) {
    const std::string_view name = request->headers[i].name;
    if (name == "x-test") test = request->headers[i].value;
    if (name == "authorization") authorization = true;
  }
  const char* body = static_cast<const char*>(request->body);
  response->body = Structure({
      {"method", OwnedText(std::to_string(request->method))},
      {"path", OwnedText(request->path)},
      {"contentType", OwnedText(request->contentType != nullptr ? request->contentType : "<none>")},
      {"body", OwnedText(body != nullptr ? std::string_view(body, request->bodyLength) : "")},
      {"bodyEndsWithNul", Bool(body != nullptr && body[request->bodyLength] == '\0')},
      {"xTest", OwnedText(test)},
      {"sawAuthorization", Bool(authorization)},
  });
}

// "/test/v1/empty" answers nothing; "/test/v1/fail" fails without a status, "teapot" with one.
void Outcome(PluginLocalResponse* response, const PluginLocalRequest* request) {
  Prepare(response);
  const std::string_view path = request->path;
  if (path.ends_with("/fail")) Fail(response, "Broken on purpose", 0);
  if (path.ends_with("/teapot")) Fail(response, "I'm a teapot", 418);
}

void Locale(PluginLocalResponse* response, const PluginLocalRequest*) {
  Prepare(response);
  response->body = OwnedText(gLocale);
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
  Prepare(response);
  response->streamRead = &ReadStream;
  response->streamClose = &CloseStream;
  response->streamHandle = new Stream;
  response->streamLengthHint = 7;
}

// Sends an external GET to the URL in the body, with the "x-forward-authorization" header of
// the call as its "Authorization", and answers what came back.
void External(PluginLocalResponse* response, const PluginLocalRequest* request) {
  Prepare(response);
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
  const std::string text(static_cast<const char*>(answer.body), answer.bodyLength);
  HostValue code{};
  code.tag = HOST_VALUE_SIGNED;
  code.data.signedValue = answer.connectionCode;
  HostValue status{};
  status.tag = HOST_VALUE_UNSIGNED;
  status.data.unsignedValue = answer.status;
  response->body =
      Structure({{"connectionCode", code}, {"status", status}, {"body", OwnedText(text)}});
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

void PublishState() {
  HostValue payload = Structure({{"uri", OwnedText("/test-plugin/v1/state")},
                                 {"eventType", OwnedText("Update")},
                                 {"data", Structure({{"started", Bool(true)}})}});
  PluginEvent event{"OnJsonApiEvent", payload, nullptr};
  gApi->PublishEvent(gApi, &event);
  Free(payload);
}

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
  PublishState();
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
const char* const kNoTags[] = {nullptr};

}  // namespace

extern "C" __attribute__((visibility("default"))) void* load_qor_store(PluginLoadInfo* info) {
  for (size_t i = 0; i < kEndpointCount; ++i) {
    PluginFunctionEntry& entry = gFunctions[i];
    entry = PluginFunctionEntry{};
    entry.next = i + 1 < kEndpointCount ? &gFunctions[i + 1] : nullptr;
    entry.method = kEndpoints[i].method;
    entry.context = &gModule;
    entry.name = kEndpoints[i].path;
    entry.nameSpace = "test";
    entry.pathTemplate = kEndpoints[i].path;
    entry.invocationName = "";
    entry.description = "";
    entry.help = "";
    entry.resultTypeName = "";
    entry.asyncEventName = "";
    entry.tags = kNoTags;
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
