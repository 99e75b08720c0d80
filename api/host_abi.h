/*
 * The binary contract between a plug-in host and the qor-store plug-in.
 *
 * Plain C: this header is included by hosts written in C or C++ and by the plug-in itself.
 * Records use natural alignment on x86-64 (8-byte pointers, no packing); the static
 * assertions at the end pin every size and offset, so a host built against this header
 * always agrees with the plug-in.
 *
 * Texts are UTF-8. A text that comes with a length word is read bounded by that length and
 * never past it, even when a NUL terminator is also present; a text without a length word is
 * NUL-terminated.
 *
 * Ownership in one sentence: whoever fills a record owns what it points to, and the record
 * carries the release function that the other side calls once it is done with it.
 */
#ifndef QOR_API_HOST_ABI_H_
#define QOR_API_HOST_ABI_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Codes shared by host and plug-in ------------------------------------------------- */

/* Method codes of local and external requests. A function registered with
 * PLUGIN_METHOD_ANY accepts every method. PLUGIN_METHOD_INVOKE carries an invocation name
 * instead of a method; codes outside 1..7 have no method name. */
enum {
  PLUGIN_METHOD_ANY = 0,
  PLUGIN_METHOD_DELETE = 1,
  PLUGIN_METHOD_GET = 2,
  PLUGIN_METHOD_HEAD = 3,
  PLUGIN_METHOD_OPTIONS = 4,
  PLUGIN_METHOD_PATCH = 5,
  PLUGIN_METHOD_POST = 6,
  PLUGIN_METHOD_PUT = 7,
  PLUGIN_METHOD_INVOKE = 8
};

/* Tags of HostValue. */
enum {
  HOST_VALUE_EMPTY = 0,
  HOST_VALUE_BOOL = 1,
  HOST_VALUE_SIGNED = 2,
  HOST_VALUE_UNSIGNED = 3,
  HOST_VALUE_FLOAT = 4,
  HOST_VALUE_STRING = 5,       /* text not owned by the record */
  HOST_VALUE_OWNED_STRING = 6, /* text owned by the record */
  HOST_VALUE_BLOB = 7,         /* bytes not owned by the record */
  HOST_VALUE_OWNED_BLOB = 8,   /* bytes owned by the record */
  HOST_VALUE_COLLECTION = 9,   /* owned array of HostValue */
  HOST_VALUE_STRUCTURE = 10    /* owned array of HostStructureEntry */
};

/* Reply formats a handler may ask for (PluginLocalResponse.replyFormat). */
enum {
  PLUGIN_REPLY_FORMAT_UNSPECIFIED = 0,
  PLUGIN_REPLY_FORMAT_JSON = 1,
  PLUGIN_REPLY_FORMAT_YAML = 2,
  PLUGIN_REPLY_FORMAT_MSGPACK = 3
};

/* Flags of PluginHostApi.SubscribeEvent. */
enum {
  PLUGIN_SUBSCRIBE_RESOURCE_EVENTS = 0, /* "OnJsonApiEvent..." names */
  PLUGIN_SUBSCRIBE_SERVICE_EVENTS = 1   /* legacy-service and service-proxy events */
};

/* Levels of PluginHostApi.WriteLog. */
enum { PLUGIN_LOG_OKAY = 0, PLUGIN_LOG_WARN = 1, PLUGIN_LOG_ERROR = 2, PLUGIN_LOG_ALWAYS = 3 };

/* Location codes of a function parameter: where its argument may come from. */
enum {
  PLUGIN_PARAMETER_ANY = 0,
  PLUGIN_PARAMETER_QUERY = 1,
  PLUGIN_PARAMETER_PATH = 2,
  PLUGIN_PARAMETER_HEADER = 4,
  PLUGIN_PARAMETER_BODY = 5
};

/* ---- Values --------------------------------------------------------------------------- */

struct HostValue;
struct HostStructureEntry;

/* The tagged value carried by arguments, reply bodies and event payloads (16 bytes).
 *
 * `length` is the byte length of a text (without its NUL) or blob, or the element or entry
 * count of a collection or structure; it is 0 for the other tags. Texts handed over are
 * NUL-terminated as well, but are read bounded by `length`.
 *
 * Freeing a value (done only by the release function of the record that holds it) frees
 * owned texts and bytes (tags 6 and 8), the arrays of tags 9 and 10, owned keys and all
 * nested values, then zeroes the value. Tags 5 and 7 point at memory the value does not
 * own. */
typedef struct HostValue {
  uint32_t tag;
  uint32_t length;
  union {
    uint8_t boolean;                    /* tag 1: 0 or 1 */
    int64_t signedValue;                /* tag 2 */
    uint64_t unsignedValue;             /* tag 3 */
    double floatValue;                  /* tag 4 */
    const char* text;                   /* tags 5 and 6 */
    const uint8_t* bytes;               /* tags 7 and 8 */
    struct HostValue* elements;         /* tag 9 */
    struct HostStructureEntry* entries; /* tag 10 */
  } data;
} HostValue;

/* One member of a structure value: a NUL-terminated key, its value, and 1 in `ownedKey`
 * when the key is freed with the value. Keys are unique within one structure; a reader that
 * meets a repeated key keeps the last one. */
typedef struct HostStructureEntry {
  const char* key;
  HostValue value;
  uint8_t ownedKey;
} HostStructureEntry;

/* A name/value pair of request or response headers, both NUL-terminated. */
typedef struct HostHeader {
  const char* name;
  const char* value;
} HostHeader;

/* One typed argument of a local request: `name` is NULL for a positional argument. */
typedef struct HostArgument {
  const char* name;
  HostValue value;
} HostArgument;

/* ---- Local requests (endpoint calls between plug-ins) --------------------------------- */

struct PluginLocalResponse;

/* Reads the next piece of a streamed response body into `buffer` (at most `capacity`
 * bytes), stores the number of bytes read in `*bytesRead` and sets `*more` to 1 while more
 * bytes may follow. Returns 0 on success and any other value when reading failed. */
typedef int32_t (*PluginStreamReadFunction)(void* handle, void* buffer, uint32_t capacity,
                                            uint32_t* bytesRead, uint8_t* more);
/* Ends a streamed body and frees its handle. */
typedef void (*PluginStreamCloseFunction)(void* handle);
/* Frees every owned part of a response and zeroes the record. */
typedef void (*PluginLocalResponseRelease)(struct PluginLocalResponse* response);

/* A call of an endpoint. Filled and owned by the caller (the host for calls it delivers to
 * the plug-in, the plug-in for requests it sends); the callee only reads it and keeps no
 * pointer into it after returning.
 *
 * `path` may carry a query after "?". `context` is the function entry's context word, which
 * the host copies into every call of that function. `callerHandle` is the caller's
 * `pluginHandle`, passed through to the handler. `body` holds `bodyLength` bytes and is not
 * necessarily NUL-terminated. `invocationName` is read only with PLUGIN_METHOD_INVOKE. */
typedef struct PluginLocalRequest {
  uint32_t method;
  const char* path;
  const HostArgument* arguments;
  uint32_t argumentCount;
  void* context;
  const HostHeader* headers;
  uint32_t headerCount;
  const char* contentType;
  const void* body;
  uint32_t bodyLength;
  uintptr_t callerHandle;
  const char* invocationName;
} PluginLocalRequest;

/* The answer to a local request, filled by the callee into a record the caller provides.
 *
 * The callee zeroes the record and sets `release` before writing anything else, and owns
 * every part it fills; the caller calls `release` (when set) once it is done with the
 * record. `errorText` is NULL on success; `errorTextOwned` is 1 when `release` frees it.
 * `status` is an HTTP status, 0 when none was set. `statusText` and the header names and
 * values are owned copies. When `streamRead` is set the body comes as a stream: the caller
 * reads it through `streamRead(streamHandle, ...)` (length hint in `streamLengthHint`) and
 * ends it with `streamClose(streamHandle)` before calling `release`. */
typedef struct PluginLocalResponse {
  HostValue body;
  const char* errorText;
  uint8_t errorTextOwned;
  uint8_t formatFlag;
  uint32_t replyFormat;
  uint32_t status;
  const char* statusText;
  HostHeader* headers;
  uint32_t headerCount;
  PluginStreamReadFunction streamRead;
  PluginStreamCloseFunction streamClose;
  uint32_t streamLengthHint;
  uint32_t reserved; /* always 0 */
  void* streamHandle;
  PluginLocalResponseRelease release;
} PluginLocalResponse;

/* The entry through which the host delivers a call to one of the plug-in's functions. The
 * plug-in fills `response` (see PluginLocalResponse) and returns. */
typedef void (*PluginCallFunction)(PluginLocalResponse* response,
                                   const PluginLocalRequest* request);

/* ---- External requests (outside HTTP) ------------------------------------------------- */

struct PluginExternalResponse;

typedef void (*PluginExternalResponseRelease)(struct PluginExternalResponse* response);

/* An outside HTTP request, filled and owned by the plug-in. `body` holds `bodyLength`
 * bytes. `timeLimit` is in seconds; the plug-in passes 20 and `flags` 1. */
typedef struct PluginExternalRequest {
  uint32_t method;
  const char* url;
  const HostHeader* headers;
  uint32_t headerCount;
  const void* body;
  uint32_t bodyLength;
  uint32_t timeLimit;
  uint32_t flags;
} PluginExternalRequest;

/* The answer to an external request. The plug-in zeroes it; the host fills it and owns
 * what it points to; the plug-in calls `release` (when set) once it is done.
 * `connectionCode` is 0 when connected; otherwise `body` holds the host's error text. */
typedef struct PluginExternalResponse {
  int32_t connectionCode;
  uint32_t status;
  const HostHeader* headers;
  uint32_t headerCount;
  const void* body;
  uint32_t bodyLength;
  PluginExternalResponseRelease release;
} PluginExternalResponse;

/* ---- Events --------------------------------------------------------------------------- */

/* An event: published by a plug-in (context 0), delivered by the host to a subscriber with
 * the context given at subscription. The publisher owns the record and its payload; the
 * subscriber reads it only during the callback. */
typedef struct PluginEvent {
  const char* name;
  HostValue payload;
  void* context;
} PluginEvent;

typedef void (*PluginEventCallback)(const PluginEvent* event);
typedef void (*PluginScheduledCallback)(void* context);

/* ---- The host --------------------------------------------------------------------------- */

struct PluginHostApi;

/* The host's function table, handed to the plug-in with `Initialize`. Every operation takes
 * the table first. All of them are synchronous: records passed in are read before the call
 * returns, and responses are filled on return. */
typedef struct PluginHostApi {
  /* 0: call another plug-in's endpoint. */
  void (*SendLocalRequest)(const struct PluginHostApi* api, PluginLocalResponse* response,
                           const PluginLocalRequest* request);
  /* 1: perform an outside HTTP request. */
  void (*SendExternalRequest)(const struct PluginHostApi* api, PluginExternalResponse* response,
                              const PluginExternalRequest* request);
  /* 2: deliver an event to the subscribers of its name. */
  void (*PublishEvent)(const struct PluginHostApi* api, const PluginEvent* event);
  /* 3: call `callback` for every event of `name` until unsubscribed; the delivered record's
   * context is `context`. `flags` is one of PLUGIN_SUBSCRIBE_*. */
  void (*SubscribeEvent)(const struct PluginHostApi* api, const char* name, uintptr_t pluginHandle,
                         PluginEventCallback callback, void* context, uint32_t flags);
  /* 4: stop the callbacks of `name` for this plug-in. */
  void (*UnsubscribeEvent)(const struct PluginHostApi* api, const char* name,
                           uintptr_t pluginHandle);
  /* 5: call `callback(context)` once after `delaySeconds`; `reserved` is 0. */
  void (*ScheduleCallback)(const struct PluginHostApi* api, const char* label,
                           PluginScheduledCallback callback, void* context, double delaySeconds,
                           uint32_t reserved);
  /* 6: run pending host work once on the calling thread (callbacks into plug-ins included). */
  void (*RunPendingWork)(const struct PluginHostApi* api);
  /* 7: a blocking wait named `label` begins; `reserved` is 0. */
  void (*BeginWait)(const struct PluginHostApi* api, const char* label, uint32_t reserved);
  /* 8: the wait begun last ends. */
  void (*EndWait)(const struct PluginHostApi* api);
  /* 9: record a log line; `level` is one of PLUGIN_LOG_*. */
  void (*WriteLog)(const struct PluginHostApi* api, uint32_t level, const char* message);
} PluginHostApi;

/* The host object handed to `Initialize`; the plug-in passes `pluginHandle` with every
 * request and (un)subscription. Owned by the host and valid until `Shutdown` returns. */
typedef struct PluginHost {
  const PluginHostApi* api;
  uintptr_t pluginHandle;
} PluginHost;

/* ---- The endpoint table ----------------------------------------------------------------- */

/* All entries below are built by the plug-in at load and stay valid, unchanged, until
 * `Shutdown`. Entries of one list sit in one array; `next` also links each entry to the
 * following one (NULL in the last). Texts are NUL-terminated and never NULL (the empty text
 * stands for none). Type codes are the binding layer's native type codes; `typeName` is a
 * registered type name, or empty. */

typedef struct PluginParameterEntry {
  const struct PluginParameterEntry* next;
  const char* name;
  const char* help;
  uint32_t nativeType;
  uint32_t elementType;
  const char* typeName;
  uint8_t optional;
  uint8_t location; /* PLUGIN_PARAMETER_* */
} PluginParameterEntry;

typedef struct PluginFunctionEntry {
  const struct PluginFunctionEntry* next;
  uint32_t method; /* PLUGIN_METHOD_* */
  void* context;   /* copied by the host into every request for this function */
  const char* name;
  const char* nameSpace;
  const char* pathTemplate;
  const char* invocationName; /* used with PLUGIN_METHOD_INVOKE only */
  const char* description;
  const char* help;
  uint32_t resultType;
  uint32_t resultElementType;
  const char* resultTypeName;
  uint8_t threadSafe;
  const char* asyncEventName;
  const char* const* tags;
  uint32_t tagCount;
  const PluginParameterEntry* parameters;
  uint32_t parameterCount;
  PluginCallFunction call;
} PluginFunctionEntry;

typedef struct PluginFieldEntry {
  const struct PluginFieldEntry* next;
  const char* name;
  const char* description;
  uint32_t offset;
  uint32_t nativeType;
  uint32_t elementType;
  const char* typeName;
  uint8_t optional;
} PluginFieldEntry;

typedef struct PluginEnumeratorEntry {
  const struct PluginEnumeratorEntry* next;
  const char* name;
  const char* description;
  int32_t value;
} PluginEnumeratorEntry;

/* A registered record (fields set, enumerators NULL) or enum (the other way round);
 * `memberCount` counts whichever list is set. */
typedef struct PluginTypeEntry {
  const struct PluginTypeEntry* next;
  const char* name;
  const char* nameSpace;
  uint32_t size;
  const char* description;
  const char* const* tags;
  uint32_t tagCount;
  const PluginFieldEntry* fields;
  const PluginEnumeratorEntry* enumerators;
  uint32_t memberCount;
} PluginTypeEntry;

typedef struct PluginEventEntry {
  const struct PluginEventEntry* next;
  const char* name;
  const char* nameSpace;
  const char* payloadTypeName;
  const char* help;
  const char* const* tags;
  uint32_t tagCount;
} PluginEventEntry;

/* Every function, type and event the plug-in registered. */
typedef struct PluginEndpointTable {
  const PluginFunctionEntry* functions;
  uint32_t functionCount;
  const PluginTypeEntry* types;
  uint32_t typeCount;
  const PluginEventEntry* events;
  uint32_t eventCount;
} PluginEndpointTable;

/* ---- Loading ---------------------------------------------------------------------------- */

/* The six allocation counters of the plug-in, then a reserved pair of zero words. */
typedef struct PluginMemoryStats {
  uint64_t peakBytesInUse;
  uint64_t blocksInUseAtPeak;
  uint64_t bytesAllocated;
  uint64_t allocations;
  uint64_t bytesFreed;
  uint64_t frees;
  uint32_t reserved[2];
} PluginMemoryStats;

/* The plug-in's callbacks; `module` is PluginLoadInfo.context. `Initialize` returns 1 when
 * the plug-in started and 0 otherwise. `Shutdown` ends every subscription and destroys the
 * module. `GetMemoryStats` fills `stats`. */
typedef struct PluginCallbacks {
  uint8_t (*Initialize)(void* module, const PluginHost* host);
  void (*Shutdown)(void* module);
  void (*GetMemoryStats)(void* module, PluginMemoryStats* stats);
} PluginCallbacks;

/* The load block, owned by the host. On entry `versionMajor/Minor/Patch` hold the host's
 * plug-in API version; on return they hold the plug-in's, and the other fields are set. The
 * pointed-to callbacks, name and table belong to the plug-in and live until `Shutdown`. */
typedef struct PluginLoadInfo {
  uint32_t versionMajor;
  uint32_t versionMinor;
  uint32_t versionPatch;
  const PluginCallbacks* callbacks;
  void* context;
  const char* shortName;
  const PluginEndpointTable* endpoints;
} PluginLoadInfo;

/* The plug-in's one export; returns the module object (also stored in `info->context`). */
typedef void* (*PluginLoadFunction)(PluginLoadInfo* info);
#define QOR_STORE_LOAD_SYMBOL "load_qor_store"

/* ---- Layout (x86-64) -------------------------------------------------------------------- */

#ifdef __cplusplus
#define QOR_ABI_ASSERT(condition, text) static_assert(condition, text)
#else
#define QOR_ABI_ASSERT(condition, text) _Static_assert(condition, text)
#endif

QOR_ABI_ASSERT(sizeof(void*) == 8, "the host ABI is laid out for 64-bit pointers");

QOR_ABI_ASSERT(sizeof(HostValue) == 16, "HostValue layout");
QOR_ABI_ASSERT(offsetof(HostValue, length) == 4, "HostValue layout");
QOR_ABI_ASSERT(offsetof(HostValue, data) == 8, "HostValue layout");
QOR_ABI_ASSERT(sizeof(HostStructureEntry) == 32, "HostStructureEntry layout");
QOR_ABI_ASSERT(offsetof(HostStructureEntry, value) == 8, "HostStructureEntry layout");
QOR_ABI_ASSERT(offsetof(HostStructureEntry, ownedKey) == 24, "HostStructureEntry layout");
QOR_ABI_ASSERT(sizeof(HostHeader) == 16, "HostHeader layout");
QOR_ABI_ASSERT(sizeof(HostArgument) == 24, "HostArgument layout");
QOR_ABI_ASSERT(offsetof(HostArgument, value) == 8, "HostArgument layout");

QOR_ABI_ASSERT(sizeof(PluginLocalRequest) == 96, "PluginLocalRequest layout");
QOR_ABI_ASSERT(offsetof(PluginLocalRequest, path) == 8, "PluginLocalRequest layout");
QOR_ABI_ASSERT(offsetof(PluginLocalRequest, arguments) == 16, "PluginLocalRequest layout");
QOR_ABI_ASSERT(offsetof(PluginLocalRequest, argumentCount) == 24, "PluginLocalRequest layout");
QOR_ABI_ASSERT(offsetof(PluginLocalRequest, context) == 32, "PluginLocalRequest layout");
QOR_ABI_ASSERT(offsetof(PluginLocalRequest, headers) == 40, "PluginLocalRequest layout");
QOR_ABI_ASSERT(offsetof(PluginLocalRequest, headerCount) == 48, "PluginLocalRequest layout");
QOR_ABI_ASSERT(offsetof(PluginLocalRequest, contentType) == 56, "PluginLocalRequest layout");
QOR_ABI_ASSERT(offsetof(PluginLocalRequest, body) == 64, "PluginLocalRequest layout");
QOR_ABI_ASSERT(offsetof(PluginLocalRequest, bodyLength) == 72, "PluginLocalRequest layout");
QOR_ABI_ASSERT(offsetof(PluginLocalRequest, callerHandle) == 80, "PluginLocalRequest layout");
QOR_ABI_ASSERT(offsetof(PluginLocalRequest, invocationName) == 88, "PluginLocalRequest layout");

QOR_ABI_ASSERT(sizeof(PluginLocalResponse) == 104, "PluginLocalResponse layout");
QOR_ABI_ASSERT(offsetof(PluginLocalResponse, errorText) == 16, "PluginLocalResponse layout");
QOR_ABI_ASSERT(offsetof(PluginLocalResponse, errorTextOwned) == 24, "PluginLocalResponse layout");
QOR_ABI_ASSERT(offsetof(PluginLocalResponse, formatFlag) == 25, "PluginLocalResponse layout");
QOR_ABI_ASSERT(offsetof(PluginLocalResponse, replyFormat) == 28, "PluginLocalResponse layout");
QOR_ABI_ASSERT(offsetof(PluginLocalResponse, status) == 32, "PluginLocalResponse layout");
QOR_ABI_ASSERT(offsetof(PluginLocalResponse, statusText) == 40, "PluginLocalResponse layout");
QOR_ABI_ASSERT(offsetof(PluginLocalResponse, headers) == 48, "PluginLocalResponse layout");
QOR_ABI_ASSERT(offsetof(PluginLocalResponse, headerCount) == 56, "PluginLocalResponse layout");
QOR_ABI_ASSERT(offsetof(PluginLocalResponse, streamRead) == 64, "PluginLocalResponse layout");
QOR_ABI_ASSERT(offsetof(PluginLocalResponse, streamClose) == 72, "PluginLocalResponse layout");
QOR_ABI_ASSERT(offsetof(PluginLocalResponse, streamLengthHint) == 80, "PluginLocalResponse layout");
QOR_ABI_ASSERT(offsetof(PluginLocalResponse, reserved) == 84, "PluginLocalResponse layout");
QOR_ABI_ASSERT(offsetof(PluginLocalResponse, streamHandle) == 88, "PluginLocalResponse layout");
QOR_ABI_ASSERT(offsetof(PluginLocalResponse, release) == 96, "PluginLocalResponse layout");

QOR_ABI_ASSERT(sizeof(PluginExternalRequest) == 56, "PluginExternalRequest layout");
QOR_ABI_ASSERT(offsetof(PluginExternalRequest, url) == 8, "PluginExternalRequest layout");
QOR_ABI_ASSERT(offsetof(PluginExternalRequest, headers) == 16, "PluginExternalRequest layout");
QOR_ABI_ASSERT(offsetof(PluginExternalRequest, headerCount) == 24, "PluginExternalRequest layout");
QOR_ABI_ASSERT(offsetof(PluginExternalRequest, body) == 32, "PluginExternalRequest layout");
QOR_ABI_ASSERT(offsetof(PluginExternalRequest, bodyLength) == 40, "PluginExternalRequest layout");
QOR_ABI_ASSERT(offsetof(PluginExternalRequest, timeLimit) == 44, "PluginExternalRequest layout");

QOR_ABI_ASSERT(sizeof(PluginExternalResponse) == 48, "PluginExternalResponse layout");
QOR_ABI_ASSERT(offsetof(PluginExternalResponse, status) == 4, "PluginExternalResponse layout");
QOR_ABI_ASSERT(offsetof(PluginExternalResponse, headers) == 8, "PluginExternalResponse layout");
QOR_ABI_ASSERT(offsetof(PluginExternalResponse, headerCount) == 16,
               "PluginExternalResponse layout");
QOR_ABI_ASSERT(offsetof(PluginExternalResponse, body) == 24, "PluginExternalResponse layout");
QOR_ABI_ASSERT(offsetof(PluginExternalResponse, bodyLength) == 32, "PluginExternalResponse layout");
QOR_ABI_ASSERT(offsetof(PluginExternalResponse, release) == 40, "PluginExternalResponse layout");

QOR_ABI_ASSERT(sizeof(PluginEvent) == 32, "PluginEvent layout");
QOR_ABI_ASSERT(offsetof(PluginEvent, payload) == 8, "PluginEvent layout");
QOR_ABI_ASSERT(offsetof(PluginEvent, context) == 24, "PluginEvent layout");

QOR_ABI_ASSERT(sizeof(PluginHostApi) == 80, "PluginHostApi layout");
QOR_ABI_ASSERT(offsetof(PluginHostApi, SendExternalRequest) == 8, "PluginHostApi layout");
QOR_ABI_ASSERT(offsetof(PluginHostApi, PublishEvent) == 16, "PluginHostApi layout");
QOR_ABI_ASSERT(offsetof(PluginHostApi, SubscribeEvent) == 24, "PluginHostApi layout");
QOR_ABI_ASSERT(offsetof(PluginHostApi, UnsubscribeEvent) == 32, "PluginHostApi layout");
QOR_ABI_ASSERT(offsetof(PluginHostApi, ScheduleCallback) == 40, "PluginHostApi layout");
QOR_ABI_ASSERT(offsetof(PluginHostApi, RunPendingWork) == 48, "PluginHostApi layout");
QOR_ABI_ASSERT(offsetof(PluginHostApi, BeginWait) == 56, "PluginHostApi layout");
QOR_ABI_ASSERT(offsetof(PluginHostApi, EndWait) == 64, "PluginHostApi layout");
QOR_ABI_ASSERT(offsetof(PluginHostApi, WriteLog) == 72, "PluginHostApi layout");
QOR_ABI_ASSERT(sizeof(PluginHost) == 16, "PluginHost layout");
QOR_ABI_ASSERT(offsetof(PluginHost, pluginHandle) == 8, "PluginHost layout");

QOR_ABI_ASSERT(sizeof(PluginParameterEntry) == 48, "PluginParameterEntry layout");
QOR_ABI_ASSERT(offsetof(PluginParameterEntry, nativeType) == 24, "PluginParameterEntry layout");
QOR_ABI_ASSERT(offsetof(PluginParameterEntry, typeName) == 32, "PluginParameterEntry layout");
QOR_ABI_ASSERT(offsetof(PluginParameterEntry, optional) == 40, "PluginParameterEntry layout");
QOR_ABI_ASSERT(offsetof(PluginParameterEntry, location) == 41, "PluginParameterEntry layout");

QOR_ABI_ASSERT(sizeof(PluginFunctionEntry) == 144, "PluginFunctionEntry layout");
QOR_ABI_ASSERT(offsetof(PluginFunctionEntry, method) == 8, "PluginFunctionEntry layout");
QOR_ABI_ASSERT(offsetof(PluginFunctionEntry, context) == 16, "PluginFunctionEntry layout");
QOR_ABI_ASSERT(offsetof(PluginFunctionEntry, name) == 24, "PluginFunctionEntry layout");
QOR_ABI_ASSERT(offsetof(PluginFunctionEntry, pathTemplate) == 40, "PluginFunctionEntry layout");
QOR_ABI_ASSERT(offsetof(PluginFunctionEntry, resultType) == 72, "PluginFunctionEntry layout");
QOR_ABI_ASSERT(offsetof(PluginFunctionEntry, resultTypeName) == 80, "PluginFunctionEntry layout");
QOR_ABI_ASSERT(offsetof(PluginFunctionEntry, threadSafe) == 88, "PluginFunctionEntry layout");
QOR_ABI_ASSERT(offsetof(PluginFunctionEntry, tags) == 104, "PluginFunctionEntry layout");
QOR_ABI_ASSERT(offsetof(PluginFunctionEntry, parameters) == 120, "PluginFunctionEntry layout");
QOR_ABI_ASSERT(offsetof(PluginFunctionEntry, call) == 136, "PluginFunctionEntry layout");

QOR_ABI_ASSERT(sizeof(PluginFieldEntry) == 56, "PluginFieldEntry layout");
QOR_ABI_ASSERT(offsetof(PluginFieldEntry, offset) == 24, "PluginFieldEntry layout");
QOR_ABI_ASSERT(offsetof(PluginFieldEntry, typeName) == 40, "PluginFieldEntry layout");
QOR_ABI_ASSERT(offsetof(PluginFieldEntry, optional) == 48, "PluginFieldEntry layout");
QOR_ABI_ASSERT(sizeof(PluginEnumeratorEntry) == 32, "PluginEnumeratorEntry layout");
QOR_ABI_ASSERT(offsetof(PluginEnumeratorEntry, value) == 24, "PluginEnumeratorEntry layout");
QOR_ABI_ASSERT(sizeof(PluginTypeEntry) == 80, "PluginTypeEntry layout");
QOR_ABI_ASSERT(offsetof(PluginTypeEntry, size) == 24, "PluginTypeEntry layout");
QOR_ABI_ASSERT(offsetof(PluginTypeEntry, tagCount) == 48, "PluginTypeEntry layout");
QOR_ABI_ASSERT(offsetof(PluginTypeEntry, fields) == 56, "PluginTypeEntry layout");
QOR_ABI_ASSERT(offsetof(PluginTypeEntry, memberCount) == 72, "PluginTypeEntry layout");
QOR_ABI_ASSERT(sizeof(PluginEventEntry) == 56, "PluginEventEntry layout");
QOR_ABI_ASSERT(offsetof(PluginEventEntry, tagCount) == 48, "PluginEventEntry layout");
QOR_ABI_ASSERT(sizeof(PluginEndpointTable) == 48, "PluginEndpointTable layout");
QOR_ABI_ASSERT(offsetof(PluginEndpointTable, types) == 16, "PluginEndpointTable layout");
QOR_ABI_ASSERT(offsetof(PluginEndpointTable, events) == 32, "PluginEndpointTable layout");

QOR_ABI_ASSERT(sizeof(PluginMemoryStats) == 56, "PluginMemoryStats layout");
QOR_ABI_ASSERT(sizeof(PluginCallbacks) == 24, "PluginCallbacks layout");
QOR_ABI_ASSERT(sizeof(PluginLoadInfo) == 48, "PluginLoadInfo layout");
QOR_ABI_ASSERT(offsetof(PluginLoadInfo, callbacks) == 16, "PluginLoadInfo layout");
QOR_ABI_ASSERT(offsetof(PluginLoadInfo, context) == 24, "PluginLoadInfo layout");
QOR_ABI_ASSERT(offsetof(PluginLoadInfo, shortName) == 32, "PluginLoadInfo layout");
QOR_ABI_ASSERT(offsetof(PluginLoadInfo, endpoints) == 40, "PluginLoadInfo layout");

#undef QOR_ABI_ASSERT

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QOR_API_HOST_ABI_H_ */
