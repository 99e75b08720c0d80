/* Compiled as C (C11, pedantic): proves the host ABI header is plain C and reports the layout
 * the C compiler sees, which abi_test.cpp compares with the C++ view. */
#include "api/host_abi.h"

#include "tests/api/abi_c_layout.h"

static void NoOpCall(PluginLocalResponse* response, const PluginLocalRequest* request) {
  (void)request;
  response->status = 204;
}

size_t QorAbiCLayout(size_t* out, size_t capacity) {
  const size_t values[] = {
      sizeof(HostValue),
      sizeof(HostStructureEntry),
      offsetof(HostStructureEntry, ownedKey),
      sizeof(HostArgument),
      sizeof(PluginLocalRequest),
      offsetof(PluginLocalRequest, invocationName),
      sizeof(PluginLocalResponse),
      offsetof(PluginLocalResponse, release),
      sizeof(PluginExternalRequest),
      sizeof(PluginExternalResponse),
      sizeof(PluginEvent),
      sizeof(PluginHostApi),
      sizeof(PluginHost),
      sizeof(PluginFunctionEntry),
      offsetof(PluginFunctionEntry, call),
      sizeof(PluginParameterEntry),
      sizeof(PluginTypeEntry),
      sizeof(PluginFieldEntry),
      sizeof(PluginEnumeratorEntry),
      sizeof(PluginEventEntry),
      sizeof(PluginEndpointTable),
      sizeof(PluginLoadInfo),
      sizeof(PluginMemoryStats),
  };
  size_t count = sizeof(values) / sizeof(values[0]);
  size_t i;
  for (i = 0; i < count && i < capacity; ++i)
    out[i] = values[i];
  return count;
}

int QorAbiCCallThroughEntry(void) {
  PluginFunctionEntry entry = {0};
  PluginLocalRequest request = {0};
  PluginLocalResponse response = {0};
  HostValue value = {0};
  entry.call = NoOpCall;
  value.tag = HOST_VALUE_STRING;
  value.length = 2;
  value.data.text = "ok";
  request.method = PLUGIN_METHOD_GET;
  request.path = "/x";
  entry.call(&response, &request);
  return (int)response.status + (int)value.length;
}
