// Outside HTTP for the plug-in: its external requests performed with libcurl.
//
// Thread rule: PerformExternalRequest may run on several threads at once (one curl handle per
// call). Call InitExternalHttp once before any thread starts.
#pragma once

#include "host/core/host_core.h"

namespace qor::host {

// Largest response body accepted (the request fails beyond it).
inline constexpr size_t kMaxExternalBodyBytes = 64u << 20;

// Process-wide libcurl set-up; returns false when libcurl cannot start.
bool InitExternalHttp();

// Performs one request. The URL is sent with the characters HTTP cannot carry
// percent-encoded (EncodeUnsafeUrlCharacters); only http and https URLs are followed, and
// redirects are not. The time limit is in seconds (0: none). Answers connection code 0 with the
// status, headers and body when the server answered; otherwise connection code 2 for a time-out,
// -1 for a URL that cannot be requested, 1 for every other failure, with an error text such as
// "Couldn't connect to server: Failed to connect to 127.0.0.1 port 1 ...".
ExternalReply PerformExternalRequest(const ExternalCall& call);

}  // namespace qor::host
