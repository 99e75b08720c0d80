/* The host ABI test's layout list, expanded by C and by C++, and the function of abi_c_test.c,
 * its C translation unit. */
#ifndef QOR_TESTS_API_ABI_C_LAYOUT_H_
#define QOR_TESTS_API_ABI_C_LAYOUT_H_

#include <stddef.h>

#include "api/host_abi.h"

/* The sizes and offsets compared, as the compiler of the including file lays them out. */
#define QOR_ABI_LAYOUT                                                                      \
  sizeof(HostValue), sizeof(HostStructureEntry), offsetof(HostStructureEntry, ownedKey),    \
      sizeof(HostArgument), sizeof(PluginLocalRequest),                                     \
      offsetof(PluginLocalRequest, invocationName), sizeof(PluginLocalResponse),            \
      offsetof(PluginLocalResponse, release), sizeof(PluginExternalRequest),                \
      sizeof(PluginExternalResponse), sizeof(PluginEvent), sizeof(PluginHostApi),           \
      sizeof(PluginHost), sizeof(PluginFunctionEntry), offsetof(PluginFunctionEntry, call), \
      sizeof(PluginParameterEntry), sizeof(PluginTypeEntry), sizeof(PluginFieldEntry),      \
      sizeof(PluginEnumeratorEntry), sizeof(PluginEventEntry), sizeof(PluginEndpointTable), \
      sizeof(PluginLoadInfo), sizeof(PluginMemoryStats)

#ifdef __cplusplus
extern "C" {
#endif

/* Writes up to `capacity` sizes and offsets as the C compiler lays the records out; returns
 * how many there are. */
size_t QorAbiCLayout(size_t* out, size_t capacity);

#ifdef __cplusplus
}
#endif

#endif /* QOR_TESTS_API_ABI_C_LAYOUT_H_ */
