#include "host/openapi/openapi.h"

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include <map>
#include <optional>
#include <set>
#include <span>
#include <vector>

#include "api/route.h"
#include "host/json_value.h"

namespace qor::host {
namespace {

// Native type codes of the endpoint table.
enum : uint32_t {
  kBool = 1,
  kInt8 = 2,
  kUInt8 = 3,
  kInt16 = 4,
  kUInt16 = 5,
  kInt32 = 6,
  kUInt32 = 7,
  kInt64 = 8,
  kUInt64 = 9,
  kFloat = 10,
  kDouble = 11,
  kString = 12,
  kObject = 13,
  kBlob = 14,
  kVector = 15,
  kEnum = 16,
  kStruct = 17,
  kCallback = 18,
  kMap = 19,
};

constexpr std::string_view kErrorSchema = "HostError";
constexpr std::string_view kSchemaPrefix = "#/components/schemas/";
// The body content types the plug-in reads.
constexpr std::string_view kBodyTypes[] = {"application/json", "application/vnd.api+json",
                                           "application/x-yaml", "application/x-msgpack"};

std::string_view TextOf(const char* text) {
  return text != nullptr ? std::string_view(text) : std::string_view();
}

// An array of the table, empty when its pointer is null.
template <typename Entry>
std::span<const Entry> Entries(const Entry* entries, uint32_t count) {
  return entries != nullptr ? std::span<const Entry>(entries, count) : std::span<const Entry>();
}

// JSON output; every text goes through JsonQuote, so invalid UTF-8 never reaches the document.
class Out {
 public:
  Out() : writer_(buffer_) { writer_.SetIndent(' ', 2); }

  void Key(std::string_view key) { Text(key); }
  void Text(std::string_view text) {
    const std::string quoted = JsonQuote(text);
    writer_.RawValue(quoted.data(), quoted.size(), rapidjson::kStringType);
  }
  void Member(std::string_view key, std::string_view text) {
    Key(key);
    Text(text);
  }
  void Flag(std::string_view key, bool value) {
    Key(key);
    writer_.Bool(value);
  }
  void Number(std::string_view key, int64_t value) {
    Key(key);
    writer_.Int64(value);
  }
  void BeginObject() { writer_.StartObject(); }
  void EndObject() { writer_.EndObject(); }
  void BeginArray() { writer_.StartArray(); }
  void EndArray() { writer_.EndArray(); }

  std::string Take() { return std::string(buffer_.GetString(), buffer_.GetSize()); }

 private:
  rapidjson::StringBuffer buffer_;
  rapidjson::PrettyWriter<rapidjson::StringBuffer> writer_;
};

// ---- Paths -------------------------------------------------------------------------------

struct PathCapture {
  std::string name;  // as declared (the dispatch layer's argument name)
  std::string key;   // as written in the OpenAPI path: unique and not empty
  bool rest = false;
};

struct ParsedPath {
  std::string path;
  std::vector<PathCapture> captures;
};

std::optional<ParsedPath> ParsePath(std::string_view pathTemplate) {
  if (!pathTemplate.starts_with('/')) return std::nullopt;
  ParsedPath parsed;
  std::set<std::string> keys;
  bool inCapture = false;
  PathCapture capture;
  for (char c : pathTemplate) {
    if (!inCapture) {
      if (c == '}') return std::nullopt;
      if (c == '{') {
        inCapture = true;
        capture = {};
      } else {
        parsed.path += c;
      }
      continue;
    }
    if (c == '{') return std::nullopt;
    if (c == '}') {
      inCapture = false;
      std::string key = capture.name.empty()
                            ? "capture" + std::to_string(parsed.captures.size() + 1)
                            : capture.name;
      for (int n = 2; keys.contains(key); ++n)
        key = (capture.name.empty() ? "capture" : capture.name) + "_" + std::to_string(n);
      keys.insert(key);
      capture.key = key;
      parsed.path += "{" + key + "}";
      parsed.captures.push_back(std::move(capture));
    } else if (capture.name.empty() && !capture.rest && c == '+') {
      capture.rest = true;
    } else if (capture.name.empty() && !capture.rest && c == '#') {
      return std::nullopt;  // "#..." never reaches a host in an HTTP path
    } else {
      capture.name += c;
    }
  }
  if (inCapture) return std::nullopt;
  return parsed;
}

// The path with every capture written as "{}": OpenAPI takes two paths that differ only in
// their capture names for the same path.
std::string PathShape(const ParsedPath& parsed) {
  std::string shape;
  bool inCapture = false;
  for (char c : parsed.path) {
    if (c == '{') {
      inCapture = true;
      shape += "{}";
    } else if (c == '}') {
      inCapture = false;
    } else if (!inCapture) {
      shape += c;
    }
  }
  return shape;
}

// ---- Types ---------------------------------------------------------------------------------

struct TypeInfo {
  const PluginTypeEntry* entry = nullptr;
  std::string key;  // the component name
  bool isEnum = false;
};

// The registered types by name, with their component names.
class TypeIndex {
 public:
  TypeIndex(const PluginEndpointTable& table, std::set<std::string>& usedKeys) {
    // A type with neither fields nor enumerators is an enum when something refers to it as
    // one.
    std::set<std::string, std::less<>> usedAsEnum;
    auto note = [&](uint32_t type, uint32_t element, const char* typeName) {
      if (type == kEnum || element == kEnum) usedAsEnum.emplace(TextOf(typeName));
    };
    for (const PluginFunctionEntry& function : Entries(table.functions, table.functionCount)) {
      note(function.resultType, function.resultElementType, function.resultTypeName);
      for (const PluginParameterEntry& parameter :
           Entries(function.parameters, function.parameterCount)) {
        note(parameter.nativeType, parameter.elementType, parameter.typeName);
      }
    }
    for (const PluginTypeEntry& type : Entries(table.types, table.typeCount)) {
      if (type.fields == nullptr) continue;
      for (const PluginFieldEntry& field : Entries(type.fields, type.memberCount))
        note(field.nativeType, field.elementType, field.typeName);
    }

    for (const PluginTypeEntry& type : Entries(table.types, table.typeCount)) {
      const std::string name(TextOf(type.name));
      if (name.empty() || byName_.contains(name)) continue;
      TypeInfo info;
      info.entry = &type;
      info.isEnum = type.enumerators != nullptr ||
                    (type.fields == nullptr && usedAsEnum.contains(std::string_view(name)));
      info.key = UniqueKey(name, usedKeys);
      byName_.emplace(name, std::move(info));
    }
  }

  const TypeInfo* Find(std::string_view name) const {
    auto found = byName_.find(name);
    return found != byName_.end() ? &found->second : nullptr;
  }
  const std::map<std::string, TypeInfo, std::less<>>& All() const { return byName_; }

  // `name` with every character outside [A-Za-z0-9._-] replaced by "_", made unique.
  static std::string UniqueKey(std::string_view name, std::set<std::string>& usedKeys) {
    std::string key;
    for (char c : name) {
      const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
      key += allowed ? c : '_';
    }
    if (key.empty()) key = "Type";
    std::string unique = key;
    for (int n = 2; usedKeys.contains(unique); ++n)
      unique = key + "_" + std::to_string(n);
    usedKeys.insert(unique);
    return unique;
  }

 private:
  std::map<std::string, TypeInfo, std::less<>> byName_;
};

struct TypeRef {
  uint32_t type = 0;
  uint32_t element = 0;
  std::string_view typeName;
};

// Vectors, records, objects and maps: their text arguments are JSON.
bool IsStructured(uint32_t type) {
  return type == kVector || type == kStruct || type == kObject || type == kMap;
}

struct Extras {
  bool nullable = false;
  std::string_view description;
};

void WriteSchema(Out& out, const TypeIndex& types, TypeRef type, Extras extras = {});

// The members of the schema of a type that is not a reference.
void WriteInlineSchema(Out& out, const TypeIndex& types, TypeRef type) {
  auto integer = [&](std::string_view format, std::optional<int64_t> minimum,
                     std::optional<int64_t> maximum) {
    out.Member("type", "integer");
    if (!format.empty()) out.Member("format", format);
    if (minimum) out.Number("minimum", *minimum);
    if (maximum) out.Number("maximum", *maximum);
  };
  switch (type.type) {
    case kBool:
      out.Member("type", "boolean");
      break;
    case kInt8:
      integer("int32", -128, 127);
      break;
    case kUInt8:
      integer("int32", 0, 255);
      break;
    case kInt16:
      integer("int32", -32768, 32767);
      break;
    case kUInt16:
      integer("int32", 0, 65535);
      break;
    case kInt32:
      integer("int32", std::nullopt, std::nullopt);
      break;
    case kUInt32:
      integer("int64", 0, 4294967295);
      break;
    case kInt64:
      integer("int64", std::nullopt, std::nullopt);
      break;
    case kUInt64:
      integer("uint64", 0, std::nullopt);
      break;
    case kCallback:
      integer("int64", 0, std::nullopt);  // a callback handle
      break;
    case kFloat:
      out.Member("type", "number");
      out.Member("format", "float");
      break;
    case kDouble:
      out.Member("type", "number");
      out.Member("format", "double");
      break;
    case kString:
      out.Member("type", "string");
      break;
    case kBlob:
      out.Member("type", "string");
      out.Member("format", "byte");
      break;
    case kVector:
      out.Member("type", "array");
      out.Key("items");
      WriteSchema(out, types, TypeRef{type.element, 0, type.typeName});
      break;
    case kMap:
      out.Member("type", "object");
      out.Key("additionalProperties");
      WriteSchema(out, types, TypeRef{type.element, 0, type.typeName});
      break;
    case kStruct:
      out.Member("type", "object");
      break;
    case kEnum:
      out.Member("type", "string");
      break;
    default:  // "object" and unknown codes: any JSON value
      break;
  }
}

void WriteSchema(Out& out, const TypeIndex& types, TypeRef type, Extras extras) {
  const TypeInfo* referenced =
      type.type == kEnum || type.type == kStruct ? types.Find(type.typeName) : nullptr;
  out.BeginObject();
  if (referenced != nullptr) {
    const std::string ref = std::string(kSchemaPrefix) + referenced->key;
    if (!extras.nullable && extras.description.empty()) {
      out.Member("$ref", ref);
    } else {  // siblings of "$ref" are ignored, so the reference goes one level down
      out.Key("allOf");
      out.BeginArray();
      out.BeginObject();
      out.Member("$ref", ref);
      out.EndObject();
      out.EndArray();
    }
  } else {
    WriteInlineSchema(out, types, type);
  }
  if (extras.nullable) out.Flag("nullable", true);
  if (!extras.description.empty()) out.Member("description", extras.description);
  out.EndObject();
}

void WriteTypeComponent(Out& out, const TypeIndex& types, const TypeInfo& info) {
  const PluginTypeEntry& type = *info.entry;
  out.Key(info.key);
  out.BeginObject();
  if (info.isEnum) {
    out.Member("type", "string");
    const auto values = Entries(type.enumerators, type.memberCount);
    if (!values.empty()) {
      out.Key("enum");
      out.BeginArray();
      for (const PluginEnumeratorEntry& value : values)
        out.Text(TextOf(value.name));
      out.EndArray();
      // The numbers behind the names (accepted as input too).
      out.Key("x-enum-values");
      out.BeginObject();
      for (const PluginEnumeratorEntry& value : values)
        out.Number(TextOf(value.name), value.value);
      out.EndObject();
    }
  } else {
    out.Member("type", "object");
    out.Key("properties");
    out.BeginObject();
    std::set<std::string_view> written;
    for (const PluginFieldEntry& field : Entries(type.fields, type.memberCount)) {
      const std::string_view name = TextOf(field.name);
      if (!written.insert(name).second) continue;
      out.Key(name);
      WriteSchema(out, types, TypeRef{field.nativeType, field.elementType, TextOf(field.typeName)},
                  Extras{field.optional != 0, TextOf(field.description)});
    }
    out.EndObject();
  }
  if (!TextOf(type.description).empty()) out.Member("description", TextOf(type.description));
  out.EndObject();
}

void WriteErrorComponent(Out& out) {
  out.Key(kErrorSchema);
  out.BeginObject();
  out.Member("type", "object");
  out.Key("required");
  out.BeginArray();
  out.Text("httpStatus");
  out.Text("message");
  out.EndArray();
  out.Key("properties");
  out.BeginObject();
  out.Key("httpStatus");
  out.BeginObject();
  out.Member("type", "integer");
  out.EndObject();
  out.Key("message");
  out.BeginObject();
  out.Member("type", "string");
  out.EndObject();
  out.EndObject();
  out.Member("description", "A failure: its HTTP status and its message.");
  out.EndObject();
}

// ---- Operations ----------------------------------------------------------------------------

struct OperationParameter {
  std::string name;
  std::string_view in;  // "path", "query" or "header"
  bool required = false;
  std::string_view description;
  TypeRef type;
};

struct Operation {
  const PluginFunctionEntry* function = nullptr;
  std::string method;  // lower case
  std::string operationId;
  std::vector<OperationParameter> parameters;
  const PluginParameterEntry* body = nullptr;
};

// The parameters of one function as an HTTP client gives them.
void CollectParameters(const PluginFunctionEntry& function, const ParsedPath& path,
                       Operation& operation) {
  const auto declared = Entries(function.parameters, function.parameterCount);
  auto isCapture = [&](std::string_view name) {
    for (const PathCapture& capture : path.captures) {
      if (capture.name == name) return true;
    }
    return false;
  };
  for (const PathCapture& capture : path.captures) {
    OperationParameter parameter{capture.key, "path", true, {}, TypeRef{kString, 0, {}}};
    for (const PluginParameterEntry& entry : declared) {
      if (TextOf(entry.name) == capture.name &&
          (entry.location == PLUGIN_PARAMETER_PATH || entry.location == PLUGIN_PARAMETER_ANY)) {
        parameter.description = TextOf(entry.help);
        parameter.type = TypeRef{entry.nativeType, entry.elementType, TextOf(entry.typeName)};
        break;
      }
    }
    if (capture.rest && parameter.description.empty()) {
      parameter.description = "The rest of the path; may hold \"/\".";
    }
    operation.parameters.push_back(std::move(parameter));
  }
  std::set<std::pair<std::string_view, std::string>> seen;
  for (const PluginParameterEntry& entry : declared) {
    const std::string_view name = TextOf(entry.name);
    // A name with "." addresses a member of another argument, so it names no argument itself.
    if (name.empty() || name.find('.') != std::string_view::npos) continue;
    std::string_view in;
    switch (entry.location) {
      case PLUGIN_PARAMETER_ANY:
        if (!isCapture(name)) in = "query";
        break;
      case PLUGIN_PARAMETER_QUERY:
        in = "query";
        break;
      case PLUGIN_PARAMETER_HEADER:
        in = "header";
        break;
      case PLUGIN_PARAMETER_BODY:
        if (operation.body == nullptr) operation.body = &entry;
        break;
      default:  // path parameters are the captures above
        break;
    }
    if (in.empty() || !seen.emplace(in, std::string(name)).second) continue;
    // A bool that no source mentions is false, so it is never missing.
    const bool required = entry.optional == 0 && entry.nativeType != kBool;
    operation.parameters.push_back(
        OperationParameter{std::string(name), in, required, TextOf(entry.help),
                           TypeRef{entry.nativeType, entry.elementType, TextOf(entry.typeName)}});
  }
}

// "content": {contentType: {"schema": ...}}, the schema written by `schema`.
template <typename Schema>
void WriteContent(Out& out, std::string_view contentType, Schema&& schema) {
  out.Key("content");
  out.BeginObject();
  out.Key(contentType);
  out.BeginObject();
  out.Key("schema");
  schema();
  out.EndObject();
  out.EndObject();
}

void WriteJsonContent(Out& out, const TypeIndex& types, TypeRef type) {
  WriteContent(out, "application/json", [&] { WriteSchema(out, types, type); });
}

// The "default" response: a failure, answered as the error document.
void WriteFailureResponse(Out& out, std::string_view description) {
  out.Key("default");
  out.BeginObject();
  out.Member("description", description);
  WriteContent(out, "application/json", [&] {
    out.BeginObject();
    out.Member("$ref", std::string(kSchemaPrefix) + std::string(kErrorSchema));
    out.EndObject();
  });
  out.EndObject();
}

void WriteParameter(Out& out, const TypeIndex& types, const OperationParameter& parameter) {
  out.BeginObject();
  out.Member("name", parameter.name);
  out.Member("in", parameter.in);
  out.Flag("required", parameter.required);
  if (!parameter.description.empty()) out.Member("description", parameter.description);
  if (IsStructured(parameter.type.type)) {
    WriteJsonContent(out, types, parameter.type);  // given as JSON text, e.g. ?itemId=[1,2]
  } else {
    out.Key("schema");
    WriteSchema(out, types, parameter.type);
  }
  out.EndObject();
}

void WriteResponses(Out& out, const TypeIndex& types, const PluginFunctionEntry& function) {
  const TypeRef result{function.resultType, function.resultElementType,
                       TextOf(function.resultTypeName)};
  out.Key("responses");
  out.BeginObject();
  if (result.type != 0) {
    out.Key("200");
    out.BeginObject();
    out.Member("description", "The result.");
    WriteJsonContent(out, types, result);
    out.EndObject();
  }
  // The host answers 204 when there is no value: always without a result type, and when an
  // "object" result is empty.
  if (result.type == 0 || result.type == kObject) {
    out.Key("204");
    out.BeginObject();
    out.Member("description", "Done; no value.");
    out.EndObject();
  }
  WriteFailureResponse(out,
                       "The failure: \"Invalid function\" (404), an argument or body that does "
                       "not convert, or the handler's own failure.");
  out.EndObject();
}

void WriteOperation(Out& out, const TypeIndex& types, const Operation& operation) {
  const PluginFunctionEntry& function = *operation.function;
  out.Key(operation.method);
  out.BeginObject();
  out.Member("operationId", operation.operationId);
  if (!TextOf(function.description).empty()) out.Member("summary", TextOf(function.description));
  if (!TextOf(function.help).empty()) out.Member("description", TextOf(function.help));
  const auto tags = Entries(function.tags, function.tagCount);
  if (!tags.empty()) {
    out.Key("tags");
    out.BeginArray();
    for (const char* tag : tags)
      out.Text(TextOf(tag));
    out.EndArray();
  }
  if (!operation.parameters.empty()) {
    out.Key("parameters");
    out.BeginArray();
    for (const OperationParameter& parameter : operation.parameters)
      WriteParameter(out, types, parameter);
    out.EndArray();
  }
  if (const PluginParameterEntry* body = operation.body) {
    const TypeRef type{body->nativeType, body->elementType, TextOf(body->typeName)};
    out.Key("requestBody");
    out.BeginObject();
    out.Flag("required", body->optional == 0);
    if (!TextOf(body->help).empty()) out.Member("description", TextOf(body->help));
    out.Key("content");
    out.BeginObject();
    for (std::string_view contentType : kBodyTypes) {
      out.Key(contentType);
      out.BeginObject();
      out.Key("schema");
      WriteSchema(out, types, type);
      out.EndObject();
    }
    out.EndObject();
    out.EndObject();
  }
  WriteResponses(out, types, function);
  if (!TextOf(function.asyncEventName).empty()) {
    out.Member("x-async-event", TextOf(function.asyncEventName));
  }
  out.EndObject();
}

// ---- Control API -------------------------------------------------------------------------

constexpr int kUriRequired = 1;
constexpr int kUriOptional = 2;

struct ControlOperation {
  std::string_view path;
  std::string_view method;
  std::string_view operationId;
  std::string_view summary;
  int uri = 0;                   // takes the query parameter "uri": kUriRequired, kUriOptional
  std::string_view body;         // describes the JSON body; empty: none
  std::string_view answer;       // describes the success answer
  std::string_view contentType;  // of the success answer; empty: 204 without a body
};

constexpr ControlOperation kControlOperations[] = {
    {"/dev/v1/resources", "get", "devGetResource",
     "The current value of a resource, the plug-in's own published ones included (404 when "
     "there is none); without uri, every resource's value as {URI: value}",
     kUriOptional, "", "The value", "application/json"},
    {"/dev/v1/resources", "put", "devPutResource",
     "Set a simulated resource and publish it to the plug-in as Create or Update", kUriRequired,
     "The new value", "Set and delivered to the plug-in", ""},
    {"/dev/v1/resources", "delete", "devDeleteResource", "Publish a Delete of the resource",
     kUriRequired, "", "Delivered to the plug-in", ""},
    {"/dev/v1/lcds-events", "post", "devPushLcdsEvent", "Push a legacy-service message", 0,
     "{\"typeName\": \"a.b.C\", \"body\": {...}}", "Delivered to the plug-in", ""},
    {"/dev/v1/notifications", "get", "devNotifications",
     "The player notifications the plug-in posted, oldest first (the latest 1000)", 0, "",
     "The records", "application/json"},
    {"/dev/v1/telemetry", "get", "devTelemetry", "Its telemetry events: [{name, payload}]", 0, "",
     "The events", "application/json"},
    {"/dev/v1/lcds-calls", "get", "devLcdsCalls",
     "Its legacy-service calls: [{destination, method, args}]", 0, "", "The calls",
     "application/json"},
    {"/dev/v1/log", "get", "devLog", "Its log records: [{level, message}]", 0, "", "The records",
     "application/json"},
    {"/dev/v1/events", "get", "devEvents",
     "Every event the plug-in publishes, as Server-Sent Events (id: N, data: {name, payload}); "
     "the header Last-Event-ID: N replays the held events after N",
     0, "", "The stream, open until the client or the host goes", "text/event-stream"},
    {"/dev/v1/openapi.json", "get", "devOpenApi", "This document", 0, "", "The OpenAPI document",
     "application/json"},
};

void WriteControlOperation(Out& out, const TypeIndex& types, const ControlOperation& operation) {
  out.Key(operation.method);
  out.BeginObject();
  out.Member("operationId", operation.operationId);
  out.Member("summary", operation.summary);
  out.Key("tags");
  out.BeginArray();
  out.Text(kControlTag);
  out.EndArray();
  if (operation.uri) {
    out.Key("parameters");
    out.BeginArray();
    WriteParameter(out, types,
                   {"uri", "query", operation.uri == kUriRequired,
                    "The resource's URI, e.g. /qor-login/v1/session", TypeRef{kString, 0, {}}});
    out.EndArray();
  }
  if (!operation.body.empty()) {
    out.Key("requestBody");
    out.BeginObject();
    out.Flag("required", true);
    out.Member("description", operation.body);
    WriteContent(out, "application/json", [&] {
      out.BeginObject();
      out.EndObject();
    });
    out.EndObject();
  }
  out.Key("responses");
  out.BeginObject();
  out.Key(operation.contentType.empty() ? "204" : "200");
  out.BeginObject();
  out.Member("description", operation.answer);
  if (!operation.contentType.empty()) {
    WriteContent(out, operation.contentType, [&] {
      out.BeginObject();
      if (operation.contentType != "application/json") out.Member("type", "string");
      out.EndObject();
    });
  }
  out.EndObject();
  WriteFailureResponse(out, "The failure");
  out.EndObject();
  out.EndObject();
}

std::string LowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

}  // namespace

std::string OpenApiPath(std::string_view pathTemplate) {
  std::optional<ParsedPath> parsed = ParsePath(pathTemplate);
  return parsed ? parsed->path : std::string();
}

std::string OpenApiDocument(const PluginEndpointTable& table, const OpenApiInfo& info) {
  std::set<std::string> usedKeys{std::string(kErrorSchema)};
  const TypeIndex types(table, usedKeys);

  // Operations grouped by path, in the order the table lists the functions. A function whose
  // path and method an earlier one already takes is left out: the host never reaches it.
  std::vector<std::string> pathOrder;
  std::map<std::string, std::vector<Operation>> byPath;
  std::map<std::string, std::string> pathOfShape;
  std::set<std::string> operationIds;
  for (const PluginFunctionEntry& function : Entries(table.functions, table.functionCount)) {
    if (function.method >= PLUGIN_METHOD_INVOKE) continue;
    std::optional<ParsedPath> path = ParsePath(TextOf(function.pathTemplate));
    if (!path) continue;
    // Two templates alike but for their capture names are one OpenAPI path: the first keeps it.
    const auto [shape, fresh] = pathOfShape.emplace(PathShape(*path), path->path);
    if (!fresh && shape->second != path->path) continue;

    std::vector<uint32_t> methods;
    if (function.method == PLUGIN_METHOD_ANY) {
      for (uint32_t method = PLUGIN_METHOD_DELETE; method <= PLUGIN_METHOD_PUT; ++method)
        methods.push_back(method);
    } else {
      methods.push_back(function.method);
    }
    std::vector<Operation>& operations = byPath[path->path];
    if (fresh) pathOrder.push_back(path->path);
    for (uint32_t method : methods) {
      Operation operation;
      operation.function = &function;
      operation.method = LowerAscii(MethodName(method));
      bool taken = false;
      for (const Operation& other : operations)
        taken = taken || other.method == operation.method;
      if (taken) continue;
      std::string id(TextOf(function.name));
      if (id.empty()) id = FunctionName(function.method, TextOf(function.pathTemplate));
      if (function.method == PLUGIN_METHOD_ANY) {
        const std::string_view name = MethodName(method);
        id = std::string(1, name.front()) + LowerAscii(name.substr(1)) + id;
      }
      std::string unique = id;
      for (int n = 2; operationIds.contains(unique); ++n)
        unique = id + "_" + std::to_string(n);
      operationIds.insert(unique);
      operation.operationId = std::move(unique);
      CollectParameters(function, *path, operation);
      operations.push_back(std::move(operation));
    }
  }

  Out out;
  out.BeginObject();
  out.Member("openapi", "3.0.3");
  out.Key("info");
  out.BeginObject();
  out.Member("title", info.title);
  out.Member("version", info.version);
  if (!info.description.empty()) out.Member("description", info.description);
  out.EndObject();
  if (!info.serverUrl.empty()) {
    out.Key("servers");
    out.BeginArray();
    out.BeginObject();
    out.Member("url", info.serverUrl);
    out.EndObject();
    out.EndArray();
  }
  if (info.basicAuth) {
    out.Key("security");
    out.BeginArray();
    out.BeginObject();
    out.Key("basicAuth");
    out.BeginArray();
    out.EndArray();
    out.EndObject();
    out.EndArray();
  }

  out.Key("paths");
  out.BeginObject();
  for (const std::string& path : pathOrder) {
    out.Key(path);
    out.BeginObject();
    for (const Operation& operation : byPath[path])
      WriteOperation(out, types, operation);
    out.EndObject();
  }
  if (info.controlApi) {
    // Operations of one path stand together in the table; a path the plug-in has too stays
    // the plug-in's (the host routes "/dev/v1/" to itself, so the table cannot have one).
    for (size_t i = 0; i < std::size(kControlOperations);) {
      const std::string_view path = kControlOperations[i].path;
      const bool taken = byPath.contains(std::string(path));
      if (!taken) {
        out.Key(path);
        out.BeginObject();
      }
      for (; i < std::size(kControlOperations) && kControlOperations[i].path == path; ++i) {
        if (!taken) WriteControlOperation(out, types, kControlOperations[i]);
      }
      if (!taken) out.EndObject();
    }
  }
  out.EndObject();
  if (info.controlApi) {
    out.Key("tags");
    out.BeginArray();
    out.BeginObject();
    out.Member("name", kControlTag);
    out.Member("description",
               "qor-host's control API: the simulated platform's resources and pushes, what the "
               "plug-in posted, logged and published");
    out.EndObject();
    out.EndArray();
  }

  out.Key("components");
  out.BeginObject();
  out.Key("schemas");
  out.BeginObject();
  WriteErrorComponent(out);
  for (const auto& [name, type] : types.All())
    WriteTypeComponent(out, types, type);
  out.EndObject();
  if (info.basicAuth) {
    out.Key("securitySchemes");
    out.BeginObject();
    out.Key("basicAuth");
    out.BeginObject();
    out.Member("type", "http");
    out.Member("scheme", "basic");
    out.EndObject();
    out.EndObject();
  }
  out.EndObject();
  out.EndObject();
  return out.Take();
}

}  // namespace qor::host
