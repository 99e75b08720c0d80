#include "host/platform/external_http.h"

#include <curl/curl.h>

#include <memory>

#include "host/platform/url_text.h"

namespace qor::host {
namespace {

constexpr size_t kMaxHeaders = 1000;

struct Transfer {
  ExternalReply reply;
  bool tooLarge = false;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  if (transfer->reply.body.size() + bytes > kMaxExternalBodyBytes) {
    transfer->tooLarge = true;
    return 0;  // ends the transfer with CURLE_WRITE_ERROR
  }
  transfer->reply.body.append(data, bytes);
  return bytes;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  std::string_view line(data, bytes);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
    line.remove_suffix(1);
  if (line.starts_with("HTTP/")) {
    transfer->reply.headers.clear();  // a new response (after 100 Continue): its own headers
    return bytes;
  }
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos || transfer->reply.headers.size() >= kMaxHeaders) {
    return bytes;
  }
  std::string_view value = line.substr(colon + 1);
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
    value.remove_prefix(1);
  transfer->reply.headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
  return bytes;
}

const char* MethodText(uint32_t method) {
  switch (method) {
    case PLUGIN_METHOD_DELETE:
      return "DELETE";
    case PLUGIN_METHOD_HEAD:
      return "HEAD";
    case PLUGIN_METHOD_OPTIONS:
      return "OPTIONS";
    case PLUGIN_METHOD_PATCH:
      return "PATCH";
    case PLUGIN_METHOD_POST:
      return "POST";
    case PLUGIN_METHOD_PUT:
      return "PUT";
    default:
      return "GET";
  }
}

ExternalReply Failed(int32_t code, std::string text) {
  ExternalReply reply;
  reply.connectionCode = code;
  reply.status = 0;
  reply.body = std::move(text);
  return reply;
}

}  // namespace

bool InitExternalHttp() {
  return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
}

ExternalReply PerformExternalRequest(const ExternalCall& call) {
  std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), &curl_easy_cleanup);
  if (!curl) return Failed(1, "Couldn't start an HTTP request");
  const std::string url = EncodeUnsafeUrlCharacters(call.url);
  Transfer transfer;
  char errorText[CURL_ERROR_SIZE] = {};

  struct curl_slist* headers = nullptr;
  for (const auto& [name, value] : call.headers) {
    // A header line cannot hold a line break: such a header is left out.
    if (name.find_first_of("\r\n:") != std::string::npos ||
        value.find_first_of("\r\n") != std::string::npos) {
      continue;
    }
    const std::string line = value.empty() ? name + ";" : name + ": " + value;
    headers = curl_slist_append(headers, line.c_str());
  }
  std::unique_ptr<curl_slist, void (*)(curl_slist*)> headerList(headers, &curl_slist_free_all);

  CURL* handle = curl.get();
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT, static_cast<long>(call.timeLimit));
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headerList.get());
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &OnBody);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &OnHeader);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, &transfer);
  if (call.method == PLUGIN_METHOD_HEAD) {
    curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
  } else {
    curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, MethodText(call.method));
  }
  if (!call.body.empty() || call.method == PLUGIN_METHOD_POST || call.method == PLUGIN_METHOD_PUT ||
      call.method == PLUGIN_METHOD_PATCH) {
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, call.body.data());
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(call.body.size()));
  }

  const CURLcode result = curl_easy_perform(handle);
  if (result != CURLE_OK) {
    if (transfer.tooLarge) return Failed(1, "The response body is larger than 64 MiB");
    std::string text = curl_easy_strerror(result);
    if (errorText[0] != '\0') text += std::string(": ") + errorText;
    switch (result) {
      case CURLE_OPERATION_TIMEDOUT:
        return Failed(2, std::move(text));
      case CURLE_URL_MALFORMAT:
      case CURLE_UNSUPPORTED_PROTOCOL:
        return Failed(-1, std::move(text));
      default:
        return Failed(1, std::move(text));
    }
  }
  long status = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  transfer.reply.connectionCode = 0;
  transfer.reply.status = static_cast<uint32_t>(status);
  return std::move(transfer.reply);
}

}  // namespace qor::host
