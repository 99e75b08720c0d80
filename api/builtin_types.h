// The binding layer's own types, registered by every plug-in: the records that describe an
// exposed API (functions, arguments, types, fields, enumerators, events), the help-format
// enum, the state enum and event records of asynchronous operations, and the callback event
// "OnCallback". All carry the tag "$builtin"; the API description types also "help", the
// asynchronous-operation types also "async".
#ifndef QOR_API_BUILTIN_TYPES_H_
#define QOR_API_BUILTIN_TYPES_H_

#include <cstdint>
#include <string>
#include <vector>

#include "binding/property.h"
#include "binding/registry.h"

namespace qor {

enum class BindingHelpFormat : int32_t { Full = 1, Epytext = 2 };

struct BindingFullTypeIdentifier {
  std::string type;
  std::string elementType;
};

struct BindingFullArgumentHelp {
  std::string name;
  std::string description;
  BindingFullTypeIdentifier type;
  bool optional = false;
};

struct BindingFullFunctionHelp {
  std::string name;
  std::string nameSpace;
  std::vector<BindingFullArgumentHelp> arguments;
  BindingFullTypeIdentifier returns;
  std::string description;
  std::string help;
  bool threadSafe = false;
  std::string async;
  std::vector<std::string> tags;
};

struct BindingFullEnumValueHelp {
  std::string name;
  std::string description;
  int32_t value = 0;
};

struct BindingFullFieldHelp {
  std::string name;
  std::string description;
  uint32_t offset = 0;
  BindingFullTypeIdentifier type;
  bool optional = false;
};

struct BindingFullTypeHelp {
  std::string name;
  std::string nameSpace;
  uint32_t size = 0;
  std::string description;
  std::vector<std::string> tags;
  std::vector<BindingFullFieldHelp> fields;
  std::vector<BindingFullEnumValueHelp> values;
};

struct BindingFullEventHelp {
  std::string name;
  std::string nameSpace;
  BindingFullTypeIdentifier type;
  std::string description;
  std::vector<std::string> tags;
};

struct BindingFullApiHelp {
  std::vector<BindingFullFunctionHelp> functions;
  std::vector<BindingFullTypeHelp> types;
  std::vector<BindingFullEventHelp> events;
};

enum class BindingAsyncState : int32_t {
  None = 0,
  Running = 1,
  Cancelling = 2,
  Cancelled = 3,
  Succeeded = 4,
  Failed = 5,
};

struct BindingGenericEvent {
  BindingProperty data;
};

struct BindingCallbackEvent {
  uint32_t id = 0;
  std::vector<BindingProperty> parameters;
};

struct BindingGenericAsyncEvent {
  uint32_t asyncToken = 0;
  BindingProperty data;
};

struct BindingAsyncFailureEvent {
  uint32_t asyncToken = 0;
  std::string error;
};

struct BindingAsyncCancelEvent {
  uint32_t asyncToken = 0;
};

// Declares the types above, in the order listed, then the event "OnCallback". A second call
// changes nothing (the first declaration of each name wins; the event is added once).
void RegisterBuiltinTypes(TypeRegistry& registry);

// The exposed API as the description records list it: every function, type and event of
// `registry`, with type names as the registry describes them.
BindingFullApiHelp DescribeApi(const TypeRegistry& registry);

}  // namespace qor

#endif  // QOR_API_BUILTIN_TYPES_H_
