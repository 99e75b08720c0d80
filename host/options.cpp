#include "host/options.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string_view>

#include "host/http/access.h"

namespace qor::host {
namespace {

Failure Invalid(std::string message) {
  return Failure(400, std::move(message));
}

std::optional<uint32_t> ParseLevel(std::string_view text) {
  static constexpr std::string_view kNames[] = {"okay", "warn", "error", "always", "none"};
  for (uint32_t level = 0; level < std::size(kNames); ++level) {
    if (text == kNames[level] || (text.size() == 1 && text[0] == static_cast<char>('0' + level))) {
      return level;
    }
  }
  return std::nullopt;
}

// "HOST:PORT", "[V6]:PORT" or ":PORT" (loopback).
MaybeType<Failure, void> ParseListen(std::string_view text, HostOptions& options) {
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return Invalid("--listen: expected HOST:PORT");
  std::string_view host = text.substr(0, colon);
  std::string_view port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5) return Invalid("--listen: expected HOST:PORT");
  uint32_t number = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return Invalid("--listen: the port must be a number");
    number = number * 10 + static_cast<uint32_t>(c - '0');
  }
  if (number > 65535) return Invalid("--listen: the port must be at most 65535");
  if (host.find(':') != std::string_view::npos &&
      (host.size() < 2 || host.front() != '[' || host.back() != ']')) {
    return Invalid("--listen: write an IPv6 address in brackets, e.g. [::1]:8470");
  }
  options.listenHost = host.empty() ? "127.0.0.1" : std::string(host);
  options.listenPort = static_cast<uint16_t>(number);
  return {};
}

}  // namespace

MaybeType<Failure, HostOptions> ParseHostOptions(const std::vector<std::string>& arguments) {
  HostOptions options;
  for (size_t i = 0; i < arguments.size(); ++i) {
    std::string_view argument = arguments[i];
    if (argument == "--help" || argument == "-h") {
      options.help = true;
      continue;
    }
    if (argument == "--demo") {
      options.demo = true;
      continue;
    }
    std::string_view name = argument;
    std::optional<std::string> value;
    if (const size_t equals = argument.find('=');
        argument.starts_with("--") && equals != std::string_view::npos) {
      name = argument.substr(0, equals);
      value = std::string(argument.substr(equals + 1));
    }
    static constexpr std::string_view kWithValue[] = {
        "--plugin",   "--listen",     "--password",  "--password-file",
        "--scenario", "--storefront", "--log-level", "--credentials"};
    bool known = false;
    for (std::string_view option : kWithValue)
      known = known || option == name;
    if (!known) return Invalid("Unknown option '" + std::string(name) + "' (see --help)");
    if (!value) {
      if (i + 1 >= arguments.size()) return Invalid(std::string(name) + ": a value is missing");
      value = arguments[++i];
    }
    if (name == "--plugin") {
      options.plugin = *value;
    } else if (name == "--listen") {
      MaybeType<Failure, void> listen = ParseListen(*value, options);
      if (!listen) return listen.Error();
    } else if (name == "--password") {
      if (value->empty()) return Invalid("--password: the password must not be empty");
      options.password = *value;
    } else if (name == "--password-file") {
      if (value->empty()) return Invalid("--password-file: a path is missing");
      options.passwordFile = *value;
    } else if (name == "--credentials") {
      options.credentials = *value;
    } else if (name == "--scenario") {
      options.scenario = *value;
    } else if (name == "--storefront") {
      options.storefront = *value;
    } else {
      std::optional<uint32_t> level = ParseLevel(*value);
      if (!level) return Invalid("--log-level: expected okay, warn, error, always or none");
      options.logLevel = *level;
    }
  }
  if (!options.password.empty() && !options.passwordFile.empty()) {
    return Invalid("Give the password once: --password or --password-file");
  }
  if (options.demo && !options.scenario.empty()) {
    return Invalid("--demo runs the demo's own scenario: leave out --scenario");
  }
  return options;
}

MaybeType<Failure, std::string> ResolvePassword(const HostOptions& options) {
  if (!options.password.empty()) return options.password;
  if (!options.passwordFile.empty()) {
    constexpr size_t kMaxPasswordBytes = 4096;
    std::ifstream in(options.passwordFile, std::ios::binary);
    std::string line;
    if (!in || !std::getline(in, line) || line.size() > kMaxPasswordBytes) {
      return Invalid("--password-file: cannot read a password from " + options.passwordFile);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) {
      return Invalid("--password-file: the first line of " + options.passwordFile +
                     " is empty; write the password there");
    }
    return line;
  }
  if (const char* text = std::getenv("QOR_HOST_PASSWORD"); text != nullptr && *text != '\0') {
    return std::string(text);
  }
  return MakeRandomPassword();
}

std::string DefaultCredentialsPath() {
  constexpr const char* kName = "qor-host.credentials.json";
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime) {
    struct stat info {};
    if (stat(runtime, &info) == 0 && S_ISDIR(info.st_mode)) {
      return std::string(runtime) + "/" + kName;
    }
  }
  return kName;
}

std::string HelpText() {
  return R"(Usage: qor-host [OPTION]...
Loads the qor-store plug-in and serves its endpoints over HTTP, with the platform around it
simulated, so that the store can be called with curl, a browser or a test.

Options:
  --plugin PATH        the plug-in to load (default: libqor_store.so built beside qor-host,
                       ../store/libqor_store.so from the executable's directory)
  --listen HOST:PORT   where to listen (default 127.0.0.1:8470; port 0 picks a free port;
                       IPv6 in brackets, e.g. [::1]:8470). Listen on loopback only unless
                       you mean to serve other machines.
  --password TEXT      the password of the user "qor" (shows in the process list: prefer
                       --password-file or QOR_HOST_PASSWORD)
  --password-file PATH read the password from the first line of PATH
                       (default: $QOR_HOST_PASSWORD, else a random one per start)
  --credentials PATH   where to write the credentials file (default:
                       $XDG_RUNTIME_DIR/qor-host.credentials.json, or the working directory).
                       A host refuses to start when the file names a running process or
                       the path is not a regular file
  --scenario FILE      a JSON scenario: initial resource values, the storefront URL and
                       canned answers of the simulated peers (keys "storefrontUrl",
                       "resources", "lcdsResponses", "serviceProxyResponses",
                       "localResponses", "storefront"; see host/scenarios/example.json
                       and examples/demo/scenario.json)
  --demo               run the demo: the scenario examples/demo/scenario.json (a logged-in
                       player, a pending gift) with the storefront stub inside, serving
                       examples/demo/catalog.json on a free loopback port, and the store
                       proxy simulated on the same balances, so that skins can be bought.
                       examples/demo is looked for above the executable, then in the
                       source tree it was built from
  --storefront URL     the storefront URL that "loginService"."getStoreUrl" answers
                       (overrides the scenario's "storefrontUrl", and the stub's URL
                       when the scenario's "storefront" starts one)
  --log-level LEVEL    lowest level of the plug-in's log written to standard error:
                       okay, warn, error, always or none (default okay)
  -h, --help           print this text and exit

Every request needs HTTP Basic authentication: user "qor" and the password printed at start
and written, with the URL, to the credentials file {"url", "user", "password", "pid"}
(mode 0600, removed on exit when it is still the file this host wrote). A request whose Host
header does not name the address served, or whose Origin header is present and is not that
origin, is refused with 403. After failed authentications from an address, its next 401
answers come later, by up to 400 ms.

Store console: GET / in a browser shows the wallet, the catalog (buy skins there), the order
and player notifications, the live events and the platform switches.

Plug-in endpoints: any other path is routed to the plug-in's endpoint table. Replies are 200
with JSON, 204 without a value, or the failure's status with
{"httpStatus": S, "message": "..."}; 404 "Invalid function" when nothing matches. HEAD is
answered as GET without the body.

Limits: request bodies 8 MiB (413); the request line and headers 32 KiB together, and at
most 1000 header fields (431; 414 for a target longer than 32 KiB); the request line and
headers must arrive within 5 s (408). Connections that have not yet passed authentication
hold at most 32 of the 128 connection slots (503 to the oldest one still sending its head
beyond that). Requests with both Content-Length and Transfer-Encoding, several Content-Length
or Host headers, or a NUL byte in the target or a header are refused with 400, a transfer
coding other than chunked with 501; the connection is then closed.

Control API:
  PUT    /dev/v1/resources?uri=URI   set a simulated resource (JSON body) and publish it to
                                     the plug-in as Create (first value) or Update
  DELETE /dev/v1/resources?uri=URI   publish a Delete of the resource
  GET    /dev/v1/resources?uri=URI   the current value of any resource, the plug-in's own
                                     published ones included (404 when it has none)
  GET    /dev/v1/resources           every resource's value: {URI: value, ...}
  POST   /dev/v1/lcds-events         push a legacy-service message:
                                     {"typeName": "a.b.C", "body": {...}}
  GET    /dev/v1/notifications       the notifications the plug-in posted, oldest first
  GET    /dev/v1/telemetry           its telemetry events: [{"name", "payload"}]
  GET    /dev/v1/lcds-calls          its legacy-service calls: [{"destination", "method", "args"}]
  GET    /dev/v1/log                 its log records: [{"level", "message"}]
The four lists keep their latest 1000 entries, at most 256 KiB of JSON each; an entry larger
than that alone is kept as {"truncatedBytes": N, "start": "its first KiB as a string"}.
  GET    /dev/v1/events              every event the plug-in publishes from now on, as
                                     Server-Sent Events (text/event-stream): the lines
                                     id: N and data: {"name", "payload"} and a blank line
                                     per event, ": keep-alive" every 15 s; at most 8 streams
                                     at once. With Last-Event-ID: N, the latest 256 events
                                     after N come first
  GET    /dev/v1/openapi.json        an OpenAPI 3.0 description of the plug-in's endpoints
                                     and records, made from its endpoint table

SIGINT or SIGTERM shuts the plug-in down and exits with status 0.
)";
}

}  // namespace qor::host
