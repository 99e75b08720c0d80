// Test support: the rules of OpenAPI 3.0 that a generated document can break, checked on its
// parsed JSON, and small lookups into such a document.
#pragma once

#include <rapidjson/document.h>

#include <string>
#include <string_view>
#include <vector>

namespace qor::host::testing {

// What is wrong with `document` as an OpenAPI 3.0 document; empty when nothing is found.
// Checked: the version and info; path keys; one object per operation with a unique
// operationId, parameters (name, location, path parameters required and matching the path's
// template variables one to one, unique by name and location, exactly one of schema and
// content) and responses (non-empty, status codes or "default", each with a description);
// component names; schema types (arrays with items); and that every "$ref" resolves.
std::vector<std::string> OpenApiProblems(const rapidjson::Value& document);

// Every (method, path) operation of the document, e.g. {"get", "/a/{x}"}.
std::vector<std::pair<std::string, std::string>> OpenApiOperations(
    const rapidjson::Value& document);

// The member at `path` ("a/b/0/c": names of members, indexes of array elements; "~1" stands
// for "/" inside a name, as in JSON pointers), or null when there is none.
const rapidjson::Value* At(const rapidjson::Value& value, std::string_view path);

// The value as compact JSON.
std::string Compact(const rapidjson::Value& value);

}  // namespace qor::host::testing
