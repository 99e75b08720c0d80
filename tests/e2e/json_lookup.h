// Test support: small lookups into a parsed JSON document (an OpenAPI description, an event).
#pragma once

#include <rapidjson/document.h>
#include <rapidjson/pointer.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qor::host::testing {

// The member at `path` ("a/b/0/c": names of members, indexes of array elements; "~1" stands
// for "/" inside a name, as in JSON pointers), or null when there is none.
inline const rapidjson::Value* At(const rapidjson::Value& value, std::string_view path) {
  const rapidjson::Pointer pointer(("/" + std::string(path)).c_str());
  return pointer.IsValid() ? pointer.Get(value) : nullptr;
}

// The value as compact JSON.
inline std::string Compact(const rapidjson::Value& value) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  value.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

// The JSON at `path`, or a note that there is none.
inline std::string JsonAt(const rapidjson::Value& value, std::string_view path) {
  const rapidjson::Value* found = At(value, path);
  return found != nullptr ? Compact(*found) : "(none: " + std::string(path) + ")";
}

// Every (method, path) operation of an OpenAPI document, e.g. {"get", "/a/{x}"}.
inline std::vector<std::pair<std::string, std::string>> OpenApiOperations(
    const rapidjson::Value& document) {
  std::vector<std::pair<std::string, std::string>> operations;
  const rapidjson::Value* paths = At(document, "paths");
  if (paths == nullptr || !paths->IsObject()) return operations;
  for (const auto& path : paths->GetObject()) {
    for (const auto& member : path.value.GetObject())
      operations.emplace_back(member.name.GetString(), path.name.GetString());
  }
  return operations;
}

}  // namespace qor::host::testing
