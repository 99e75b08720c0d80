// The store console: a page for a browser at "/" of qor-host, with its style sheet and script
// ("/console.css", "/console.js"). Plain HTML, CSS and JavaScript from host/console, built
// into qor-host (embed.cmake), so the page works without any file beside the binary and
// fetches nothing from outside. The page calls only the store's endpoints and the control API,
// with the browser's Basic authentication.
//
// Thread rule: stateless.
#pragma once

#include <optional>
#include <string_view>

#include "host/http/http_front.h"

namespace qor::host {

extern const std::string_view kConsoleHtml;
extern const std::string_view kConsoleCss;
extern const std::string_view kConsoleJs;

// The console's answer to a request for `path` with `method`; nothing when the path is none of
// the console's. GET and HEAD only (405 otherwise).
std::optional<HttpResponse> ServeConsole(std::string_view method, std::string_view path);

}  // namespace qor::host
