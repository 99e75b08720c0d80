#include "tests/e2e/openapi_checks.h"

#include <rapidjson/pointer.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cctype>
#include <set>

namespace qor::host::testing {
namespace {

constexpr std::string_view kMethods[] = {"get",     "put",  "post",  "delete",
                                         "options", "head", "patch", "trace"};

std::string Text(const rapidjson::Value& value) {
  return std::string(value.GetString(), value.GetStringLength());
}

bool IsMethod(std::string_view key) {
  for (std::string_view method : kMethods) {
    if (method == key) return true;
  }
  return false;
}

// The names between braces in a path.
std::set<std::string> TemplateVariables(std::string_view path) {
  std::set<std::string> names;
  size_t open = 0;
  while ((open = path.find('{', open)) != std::string_view::npos) {
    const size_t close = path.find('}', open);
    if (close == std::string_view::npos) break;
    names.emplace(path.substr(open + 1, close - open - 1));
    open = close;
  }
  return names;
}

class Checker {
 public:
  explicit Checker(const rapidjson::Value& document) : document_(document) {}

  std::vector<std::string> Run() {
    if (!document_.IsObject()) return {"the document is not an object"};
    const rapidjson::Value* version = At(document_, "openapi");
    if (version == nullptr || !version->IsString() || !Text(*version).starts_with("3.0.")) {
      Problem("\"openapi\" is not a 3.0.x version");
    }
    for (const char* key : {"info/title", "info/version"}) {
      const rapidjson::Value* value = At(document_, key);
      if (value == nullptr || !value->IsString()) Problem(std::string(key) + " is not a string");
    }
    if (const rapidjson::Value* schemas = At(document_, "components/schemas")) {
      for (const auto& member : schemas->GetObject()) {
        const std::string name = Text(member.name);
        for (char c : name) {
          if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_') {
            Problem("component name '" + name + "' has a character outside [A-Za-z0-9._-]");
            break;
          }
        }
        Schema(member.value, "components/schemas/" + name);
      }
    }
    const rapidjson::Value* paths = At(document_, "paths");
    if (paths == nullptr || !paths->IsObject()) {
      Problem("\"paths\" is not an object");
    } else {
      for (const auto& path : paths->GetObject())
        PathItem(Text(path.name), path.value);
    }
    Refs(document_, "");
    return problems_;
  }

 private:
  void Problem(std::string text) { problems_.push_back(std::move(text)); }

  void PathItem(const std::string& path, const rapidjson::Value& item) {
    if (!path.starts_with("/")) Problem("path '" + path + "' does not begin with /");
    if (!item.IsObject()) {
      Problem("path '" + path + "' is not an object");
      return;
    }
    for (const auto& member : item.GetObject()) {
      const std::string key = Text(member.name);
      if (IsMethod(key)) {
        Operation(path, key, member.value);
      } else if (key != "summary" && key != "description" && key != "parameters" &&
                 key != "servers" && !key.starts_with("x-")) {
        Problem("path '" + path + "' has the unknown member '" + key + "'");
      }
    }
  }

  void Operation(const std::string& path, const std::string& method,
                 const rapidjson::Value& operation) {
    const std::string where = method + " " + path;
    const rapidjson::Value* id = At(operation, "operationId");
    if (id == nullptr || !id->IsString()) {
      Problem(where + ": no operationId");
    } else if (!operationIds_.insert(Text(*id)).second) {
      Problem(where + ": operationId '" + Text(*id) + "' is used twice");
    }
    std::set<std::string> pathParameters;
    std::set<std::pair<std::string, std::string>> seen;
    if (const rapidjson::Value* parameters = At(operation, "parameters")) {
      for (const rapidjson::Value& parameter : parameters->GetArray()) {
        const rapidjson::Value* name = At(parameter, "name");
        const rapidjson::Value* in = At(parameter, "in");
        if (name == nullptr || !name->IsString() || in == nullptr || !in->IsString()) {
          Problem(where + ": a parameter without name or in");
          continue;
        }
        const std::string location = Text(*in);
        if (location != "path" && location != "query" && location != "header" &&
            location != "cookie") {
          Problem(where + ": parameter location '" + location + "'");
        }
        if (!seen.emplace(Text(*name), location).second) {
          Problem(where + ": parameter '" + Text(*name) + "' twice in " + location);
        }
        if (location == "path") {
          pathParameters.insert(Text(*name));
          const rapidjson::Value* required = At(parameter, "required");
          if (required == nullptr || !required->IsTrue()) {
            Problem(where + ": path parameter '" + Text(*name) + "' is not required");
          }
        }
        const bool hasSchema = At(parameter, "schema") != nullptr;
        const rapidjson::Value* content = At(parameter, "content");
        if (hasSchema == (content != nullptr)) {
          Problem(where + ": parameter '" + Text(*name) + "' needs schema or content, not both");
        }
        if (content != nullptr && (!content->IsObject() || content->MemberCount() != 1)) {
          Problem(where + ": parameter '" + Text(*name) + "' content has not one entry");
        }
      }
    }
    if (pathParameters != TemplateVariables(path)) {
      Problem(where + ": the path parameters do not match the template variables");
    }
    const rapidjson::Value* responses = At(operation, "responses");
    if (responses == nullptr || !responses->IsObject() || responses->MemberCount() == 0) {
      Problem(where + ": no responses");
      return;
    }
    for (const auto& response : responses->GetObject()) {
      const std::string code = Text(response.name);
      const bool status = code.size() == 3 && code[0] >= '1' && code[0] <= '5' &&
                          std::isdigit(static_cast<unsigned char>(code[1])) &&
                          std::isdigit(static_cast<unsigned char>(code[2]));
      if (!status && code != "default") Problem(where + ": response key '" + code + "'");
      const rapidjson::Value* description = At(response.value, "description");
      if (description == nullptr || !description->IsString()) {
        Problem(where + ": response " + code + " has no description");
      }
    }
  }

  // Types are known names, and arrays have items; nested schemas are checked as well.
  void Schema(const rapidjson::Value& schema, const std::string& where) {
    if (!schema.IsObject()) {
      Problem(where + " is not a schema object");
      return;
    }
    if (const rapidjson::Value* type = At(schema, "type")) {
      static const std::set<std::string> kTypes = {"boolean", "integer", "number",
                                                   "string",  "array",   "object"};
      if (!type->IsString() || !kTypes.contains(Text(*type))) {
        Problem(where + ": type is not one of OpenAPI's");
      } else if (Text(*type) == "array" && At(schema, "items") == nullptr) {
        Problem(where + ": an array without items");
      }
    }
    if (const rapidjson::Value* items = At(schema, "items")) Schema(*items, where + "/items");
    if (const rapidjson::Value* properties = At(schema, "properties")) {
      for (const auto& property : properties->GetObject())
        Schema(property.value, where + "/properties/" + Text(property.name));
    }
    if (const rapidjson::Value* extra = At(schema, "additionalProperties");
        extra && extra->IsObject())
      Schema(*extra, where + "/additionalProperties");
    if (const rapidjson::Value* all = At(schema, "allOf")) {
      for (const rapidjson::Value& part : all->GetArray())
        Schema(part, where + "/allOf");
    }
    if (const rapidjson::Value* values = At(schema, "enum");
        values != nullptr && (!values->IsArray() || values->Empty())) {
      Problem(where + ": enum is not a non-empty array");
    }
  }

  void Refs(const rapidjson::Value& value, const std::string& where) {
    if (value.IsArray()) {
      for (const rapidjson::Value& element : value.GetArray())
        Refs(element, where);
    } else if (value.IsObject()) {
      for (const auto& member : value.GetObject()) {
        const std::string key = Text(member.name);
        if (key == "$ref") {
          const std::string ref = member.value.IsString() ? Text(member.value) : "";
          if (!ref.starts_with("#/") ||
              rapidjson::Pointer(ref.substr(1).c_str()).Get(document_) == nullptr) {
            Problem(where + ": $ref '" + ref + "' does not resolve");
          }
        } else {
          Refs(member.value, where + "/" + key);
        }
      }
    }
  }

  const rapidjson::Value& document_;
  std::vector<std::string> problems_;
  std::set<std::string> operationIds_;
};

}  // namespace

std::vector<std::string> OpenApiProblems(const rapidjson::Value& document) {
  return Checker(document).Run();
}

std::vector<std::pair<std::string, std::string>> OpenApiOperations(
    const rapidjson::Value& document) {
  std::vector<std::pair<std::string, std::string>> operations;
  const rapidjson::Value* paths = At(document, "paths");
  if (paths == nullptr || !paths->IsObject()) return operations;
  for (const auto& path : paths->GetObject()) {
    for (const auto& member : path.value.GetObject()) {
      if (IsMethod(Text(member.name))) operations.emplace_back(Text(member.name), Text(path.name));
    }
  }
  return operations;
}

const rapidjson::Value* At(const rapidjson::Value& value, std::string_view path) {
  const rapidjson::Value* current = &value;
  while (!path.empty()) {
    const size_t slash = path.find('/');
    std::string name(path.substr(0, slash));
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    for (size_t at = 0; (at = name.find("~1", at)) != std::string::npos;)
      name.replace(at, 2, "/");
    if (current->IsArray()) {
      size_t index = 0;
      for (char c : name) {
        if (c < '0' || c > '9') return nullptr;
        index = index * 10 + static_cast<size_t>(c - '0');
      }
      if (name.empty() || index >= current->Size()) return nullptr;
      current = &(*current)[static_cast<rapidjson::SizeType>(index)];
      continue;
    }
    if (!current->IsObject()) return nullptr;
    auto member = current->FindMember(name.c_str());
    if (member == current->MemberEnd()) return nullptr;
    current = &member->value;
  }
  return current;
}

std::string Compact(const rapidjson::Value& value) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  value.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace qor::host::testing
