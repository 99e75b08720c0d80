// The OpenAPI 3.0 description of a plug-in's endpoints, generated from its endpoint table.
//
// Every function that can be reached over HTTP becomes one operation: its path (captures
// written as OpenAPI "{name}" parameters), its method, its function name as the operationId,
// its parameters (path, query and header, with their schemas), its request body when it takes
// one, and its responses as the developer host answers them (200 with the JSON value, 204
// without one, and the host's error object otherwise). Every registered type becomes a
// component schema: records as objects with one property per field, enums as strings limited
// to their enumerator names.
//
// With `controlApi`, the paths of qor-host's control API follow, tagged kControlTag, and the
// document lists that tag.
//
// Functions that no HTTP request can reach are left out: those called by invocation name
// only, and those whose template holds a "{#name}" capture (an HTTP path never carries "#")
// or unbalanced braces. A function registered for every method appears under each of the
// seven methods.
//
// Thread rule: stateless; the table is only read.
#pragma once

#include <string>
#include <string_view>

#include "api/host_abi.h"

namespace qor::host {

struct OpenApiInfo {
  std::string title = "API";
  std::string version = "0";
  std::string description;  // left out when empty
  std::string serverUrl;    // the one entry of "servers"; left out when empty
  bool basicAuth = false;   // every operation needs HTTP Basic authentication
  // Also describe qor-host's control API under "/dev/v1/", its operations under the tag
  // kControlTag.
  bool controlApi = false;
};

inline constexpr std::string_view kControlTag = "qor-host control";

// The document as pretty-printed JSON text. Texts of the table that are not valid UTF-8 are
// written with U+FFFD in place of each bad byte; a null text pointer reads as empty.
std::string OpenApiDocument(const PluginEndpointTable& table, const OpenApiInfo& info);

// The OpenAPI path of an endpoint template: "{name}" and "{+name}" become "{name}" (a capture
// with an empty name becomes "{captureN}", N counted from 1). Empty when the template does not
// begin with "/", holds a "{#name}" capture or has unbalanced braces.
std::string OpenApiPath(std::string_view pathTemplate);

}  // namespace qor::host
