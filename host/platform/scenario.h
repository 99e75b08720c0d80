// The scenario of a developer-host run: where the simulated platform starts.
//
// A scenario is one JSON object; every key is optional and no other key is accepted:
//
//   {
//     "storefrontUrl": "http://127.0.0.1:8471",
//     "resources": {                       // initial values of the watched resources
//       "/qor-login/v1/session": {"state": "SUCCEEDED", "accountId": 1, ...},
//       "/vaxoclient/region-locale": {"locale": "en_US", "region": "NA"},
//       "/qor-platform-config/v1/namespaces/LoginDataPacket/platformId": "NA1"
//     },
//     "lcdsResponses": [                   // answers of legacy-service calls
//       {"destination": "d", "method": "m", "typeName": "a.b.C", "body": {...}},
//       {"destination": "d", "method": "fails", "status": 503, "error": "Service down"}
//     ],
//     "serviceProxyResponses": [           // answers of service-proxy requests (by event)
//       {"serviceName": "s", "methodName": "m", "payload": {...}, "status": "OK", "error": ""}
//     ],
//     "localResponses": [                  // answers of any other local request
//       {"method": "GET", "path": "/x/v1/y", "body": {...}},
//       {"method": "POST", "path": "/x/v1/z", "status": 500, "error": "Broken"}
//     ],
//     "storefront": {                      // start the storefront stub inside qor-host
//       "catalog": "catalog.json",         // JSON array of catalog items (required)
//       "ip": 4800, "vp": 1600,            // the player's balances (default 0)
//       "owned": [{"inventoryType": "CHAMPION", "itemId": 1}]   // owned items
//     }
//   }
//
// Resource URIs and local paths begin with "/". An answer with "error" fails the call with
// that text and "status" (default 500); otherwise it succeeds with "body" (default null).
// The storefront stub takes the token and account id of the "/qor-login/v1/session" resource;
// its URL replaces "storefrontUrl", and the store proxy simulated on its state answers
// "store.zuvstoreproxy"."purchaseItem" (a canned answer for that method is then not used).
//
// Thread rule: plain values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/maybe.h"

namespace qor::host {

// Largest scenario file read.
inline constexpr size_t kMaxScenarioBytes = 64u << 20;

// A canned answer; JSON values are kept as compact JSON text.
struct CannedAnswer {
  std::string bodyJson = "null";
  uint32_t status = 0;
  std::string error;  // empty: success
};

struct CannedLcdsAnswer {
  std::string destination;
  std::string method;
  std::string typeName;
  CannedAnswer answer;
};

struct CannedServiceProxyAnswer {
  std::string serviceName;
  std::string methodName;
  std::string payloadJson = "null";  // sent as the response's "payload" text
  std::string status = "OK";
  std::string error;
};

struct CannedLocalAnswer {
  uint32_t method = 0;  // 0: every method
  std::string path;     // without query
  CannedAnswer answer;
};

// The storefront stub a scenario asks for.
struct ScenarioStorefront {
  std::string catalog;  // LoadScenario reads a relative path as relative to the scenario file
  int64_t ip = 0;
  int64_t vp = 0;
  std::vector<std::pair<std::string, int32_t>> owned;  // inventory type, item id
};

struct Scenario {
  std::string storefrontUrl;
  std::vector<std::pair<std::string, std::string>> resources;  // URI, compact JSON; file order
  std::vector<CannedLcdsAnswer> lcdsAnswers;
  std::vector<CannedServiceProxyAnswer> serviceProxyAnswers;
  std::vector<CannedLocalAnswer> localAnswers;
  std::optional<ScenarioStorefront> storefront;
};

// Reads a scenario. Fails (status 400) with a message naming the offending key, e.g.
// "Scenario: 'resources' must be an object" or "Scenario: unknown key 'resource'".
MaybeType<Failure, Scenario> ParseScenario(std::string_view json);

// Reads the file at `path` (at most kMaxScenarioBytes) and parses it; the message of a
// failure begins with the path.
MaybeType<Failure, Scenario> LoadScenario(const std::string& path);

// The method code of "GET", "POST", ... (upper case), or 0 for any other text.
uint32_t MethodCode(std::string_view name);

}  // namespace qor::host
