#include "host/console/console.h"

namespace qor::host {

std::optional<HttpResponse> ServeConsole(std::string_view method, std::string_view path) {
  struct File {
    std::string_view path;
    std::string_view contentType;
    const std::string_view* body;
  };
  static const File kFiles[] = {{"/", "text/html; charset=utf-8", &kConsoleHtml},
                                {"/console.css", "text/css; charset=utf-8", &kConsoleCss},
                                {"/console.js", "text/javascript; charset=utf-8", &kConsoleJs}};
  for (const File& file : kFiles) {
    if (file.path != path) continue;
    if (method != "GET" && method != "HEAD") {
      HttpResponse response = HttpResponse::Error(405, "Method not allowed; use GET");
      response.headers.emplace_back("Allow", "GET, HEAD");
      return response;
    }
    HttpResponse response;
    response.contentType = std::string(file.contentType);
    response.body = std::string(*file.body);
    // The page runs only its own script and talks only to this host; no other site may frame
    // it.
    response.headers.emplace_back("Content-Security-Policy",
                                  "default-src 'self'; img-src 'self' data:; "
                                  "frame-ancestors 'none'; base-uri 'none'; form-action 'none'");
    response.headers.emplace_back("X-Content-Type-Options", "nosniff");
    response.headers.emplace_back("Cache-Control", "no-store");
    return response;
  }
  return std::nullopt;
}

}  // namespace qor::host
