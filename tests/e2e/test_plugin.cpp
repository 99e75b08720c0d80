// A small plug-in for the end-to-end tests of qor-host: a handful of endpoints that show what
// the host put into the request record, each kind of reply, external requests and the log.
// Built as its own shared object and loaded by qor-host with --plugin.
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "api/host_abi.h"

namespace {

const PluginHostApi* gApi = nullptr;
int gModule = 0;

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

// Sends an external GET to the URL in the body, and answers what came back.
void External(PluginLocalResponse* response, const PluginLocalRequest* request) {
  const char* body = static_cast<const char*>(request->body);
  const std::string url = body != nullptr ? std::string(body, request->bodyLength) : "";
  PluginExternalRequest outgoing{};
  outgoing.method = PLUGIN_METHOD_GET;
  outgoing.url = url.c_str();
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
    {PLUGIN_METHOD_GET, "/test/v1/stream", &Streamed},
    {PLUGIN_METHOD_POST, "/test/v1/external", &External},
};
constexpr size_t kEndpointCount = sizeof(kEndpoints) / sizeof(kEndpoints[0]);

PluginFunctionEntry gFunctions[kEndpointCount];
PluginEndpointTable gTable;

uint8_t Initialize(void*, const PluginHost* host) {
  gApi = host->api;
  gApi->WriteLog(gApi, PLUGIN_LOG_ALWAYS, "test plug-in started");
  return 1;
}

void Shutdown(void*) {
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
