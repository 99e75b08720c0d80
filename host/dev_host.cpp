#include "host/dev_host.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>

#include "api/host_value.h"
#include "host/console/console.h"
#include "host/json_value.h"
#include "host/openapi/openapi.h"
#include "host/platform/external_http.h"
#include "host/platform/scenario.h"
#include "host/storefront/demo.h"

namespace qor::host {
namespace {

constexpr uintptr_t kPluginHandle = 1;
constexpr size_t kMaxStreamedReplyBytes = 64u << 20;
constexpr std::string_view kControlPrefix = "/dev/v1/";

// The reply's status when the plug-in answered a failure: an HTTP error status, otherwise 500
// (0 means none was set; other values cannot stand in a status line as an error).
unsigned FailureStatus(uint32_t status) {
  return status >= 400 && status <= 599 ? status : 500;
}

bool IsHopOrBodyHeader(std::string_view name) {
  std::string lower(name);
  for (char& c : lower)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower == "content-length" || lower == "content-type" || lower == "transfer-encoding" ||
         lower == "connection" || lower.empty();
}

// Reads what the plug-in filled in; runs on the work thread (streams call into the plug-in).
HttpResponse ReadReply(PluginLocalResponse& response) {
  if (response.errorText != nullptr) {
    return HttpResponse::Error(FailureStatus(response.status), response.errorText);
  }
  HttpResponse answer;
  for (uint32_t i = 0; response.headers != nullptr && i < response.headerCount; ++i) {
    const HostHeader& header = response.headers[i];
    if (header.name == nullptr || header.value == nullptr || IsHopOrBodyHeader(header.name)) {
      continue;
    }
    answer.headers.emplace_back(header.name, header.value);
  }
  const unsigned successStatus =
      response.status >= 200 && response.status <= 299 && response.status != 204 ? response.status
                                                                                 : 200;
  if (response.streamRead != nullptr) {
    std::string body;
    std::vector<char> buffer(64 * 1024);
    int emptyReads = 0;
    bool failed = false;
    for (;;) {
      uint32_t got = 0;
      uint8_t more = 0;
      if (response.streamRead(response.streamHandle, buffer.data(),
                              static_cast<uint32_t>(buffer.size()), &got, &more) != 0 ||
          got > buffer.size()) {
        failed = true;
        break;
      }
      body.append(buffer.data(), got);
      if (body.size() > kMaxStreamedReplyBytes) {
        if (response.streamClose != nullptr) response.streamClose(response.streamHandle);
        return HttpResponse::Error(500, "The plug-in's streamed reply is larger than 64 MiB");
      }
      if (more == 0) break;
      // A stream that keeps promising more without giving any is broken.
      emptyReads = got == 0 ? emptyReads + 1 : 0;
      if (emptyReads > 10000) {
        failed = true;
        break;
      }
    }
    if (response.streamClose != nullptr) response.streamClose(response.streamHandle);
    if (failed) return HttpResponse::Error(500, "Stream read error");
    HttpResponse streamed = HttpResponse::Json(successStatus, std::move(body));
    streamed.headers = std::move(answer.headers);
    return streamed;
  }
  if (response.body.tag == HOST_VALUE_EMPTY) {
    HttpResponse empty = HttpResponse::NoContent();
    empty.headers = std::move(answer.headers);
    return empty;
  }
  MaybeType<Failure, std::string> json = HostValueToJson(response.body);
  if (!json) return HttpResponse::Error(500, json.ErrorMessage());
  answer.status = successStatus;
  answer.body = std::move(*json);
  return answer;
}

// The decoded value of query parameter `name` (the last one when repeated).
std::optional<std::string> QueryValue(std::string_view query, std::string_view name) {
  std::optional<std::string> found;
  while (!query.empty()) {
    const size_t amp = query.find('&');
    std::string_view piece = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    const size_t equals = piece.find('=');
    if (PercentDecode(piece.substr(0, equals)) == name) {
      found = equals == std::string_view::npos ? std::string()
                                               : PercentDecode(piece.substr(equals + 1));
    }
  }
  return found;
}

HttpResponse MethodNotAllowed(std::string_view allowed) {
  HttpResponse response =
      HttpResponse::Error(405, "Method not allowed; use " + std::string(allowed));
  response.headers.emplace_back("Allow", std::string(allowed));
  return response;
}

std::string NowText() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char text[32];
  std::snprintf(text, sizeof(text), "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min,
                local.tm_sec, now.tv_nsec / 1000000);
  return text;
}

}  // namespace

std::string DefaultPluginPath() {
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (length <= 0) return "libqor_store.so";
  std::string exe(buffer, static_cast<size_t>(length));
  std::string dir = exe.substr(0, exe.rfind('/'));  // .../host
  std::string build = dir.substr(0, dir.rfind('/'));
  return build + "/store/libqor_store.so";
}

DevHost::DevHost(const HostOptions& options) : options_(options) {}

DevHost::~DevHost() {
  Stop();
}

DevHost& DevHost::From(const PluginHostApi* api) {
  return *reinterpret_cast<const Table*>(api)->owner;
}

MaybeType<Failure, std::unique_ptr<DevHost>> DevHost::Start(const HostOptions& options) {
  std::unique_ptr<DevHost> host(new DevHost(options));
  DevHost& self = *host;

  std::string scenarioPath = options.scenario;
  if (options.demo) {
    MaybeType<Failure, std::string> demo = FindDemoFile("scenario.json");
    if (!demo) return Failure(demo.Status(), "--demo: " + demo.ErrorMessage());
    scenarioPath = std::move(*demo);
  }
  Scenario scenario;
  if (!scenarioPath.empty()) {
    MaybeType<Failure, Scenario> loaded = LoadScenario(scenarioPath);
    if (!loaded) return loaded.Error();
    scenario = std::move(*loaded);
  }
  if (scenario.storefront) {
    MaybeType<Failure, std::unique_ptr<StorefrontStub>> stub = StartScenarioStorefront(scenario);
    if (!stub) return stub.Error();
    self.storefront_ = std::move(*stub);
    scenario.storefrontUrl = self.storefront_->Url();
  }
  if (options.storefront) scenario.storefrontUrl = *options.storefront;
  MaybeType<Failure, std::string> password = ResolvePassword(options);
  if (!password) return password.Error();
  self.password_ = std::move(*password);
  self.credentialsPath_ =
      options.credentials.empty() ? DefaultCredentialsPath() : options.credentials;
  MaybeType<Failure, void> claimed = self.ClaimCredentialsPath();
  if (!claimed) return claimed.Error();

  if (!InitExternalHttp()) return Failure(500, "libcurl could not be initialised");
  self.peers_ = std::make_unique<SimulatedPeers>(
      scenario, [&self](std::string name, BindingProperty payload) {
        self.core_.PostEvent(std::move(name), std::move(payload));
        self.work_.Wake();
      });
  if (self.storefront_) {
    InstallStoreProxy(*self.peers_, self.storefront_->State(),
                      [&self](std::function<void()> work) { self.Post(std::move(work)); });
  }
  // A long-running host keeps no copy of every call and event: the peers and the log keep
  // what the control API shows, within their limits.
  self.core_.SetRecordLimit(0);
  self.core_.SetFallbackPeer([&self](const LocalCall& call) { return self.peers_->Answer(call); });
  self.core_.SetExternalResponder(&PerformExternalRequest);
  self.core_.SetLogSink(
      [&self](uint32_t level, std::string_view message) { self.Log(level, message); });

  // The plug-in's table: the core's operations (called with the core's own table, which leads
  // back to the core), with publishing and RunPendingWork extended.
  self.table_.owner = &self;
  self.table_.api = PluginHostApi{
      [](const PluginHostApi* api, PluginLocalResponse* response,
         const PluginLocalRequest* request) {
        const PluginHostApi* core = From(api).core_.Api();
        core->SendLocalRequest(core, response, request);
      },
      [](const PluginHostApi* api, PluginExternalResponse* response,
         const PluginExternalRequest* request) {
        const PluginHostApi* core = From(api).core_.Api();
        core->SendExternalRequest(core, response, request);
      },
      &OnPublishEvent,
      [](const PluginHostApi* api, const char* name, uintptr_t pluginHandle,
         PluginEventCallback callback, void* context, uint32_t flags) {
        const PluginHostApi* core = From(api).core_.Api();
        core->SubscribeEvent(core, name, pluginHandle, callback, context, flags);
      },
      [](const PluginHostApi* api, const char* name, uintptr_t pluginHandle) {
        const PluginHostApi* core = From(api).core_.Api();
        core->UnsubscribeEvent(core, name, pluginHandle);
      },
      [](const PluginHostApi* api, const char* label, PluginScheduledCallback callback,
         void* context, double delaySeconds, uint32_t reserved) {
        const PluginHostApi* core = From(api).core_.Api();
        core->ScheduleCallback(core, label, callback, context, delaySeconds, reserved);
      },
      &OnRunPendingWork,
      [](const PluginHostApi* api, const char* label, uint32_t reserved) {
        const PluginHostApi* core = From(api).core_.Api();
        core->BeginWait(core, label, reserved);
      },
      [](const PluginHostApi* api) {
        const PluginHostApi* core = From(api).core_.Api();
        core->EndWait(core);
      },
      [](const PluginHostApi* api, uint32_t level, const char* message) {
        const PluginHostApi* core = From(api).core_.Api();
        core->WriteLog(core, level, message);
      },
  };
  self.work_.Start();

  const std::string pluginPath = options.plugin.empty() ? DefaultPluginPath() : options.plugin;
  MaybeType<Failure, std::unique_ptr<PluginLibrary>> library = PluginLibrary::Open(pluginPath);
  if (!library) {
    return Failure(500, "Cannot load the plug-in " + pluginPath + ": " + library.ErrorMessage());
  }
  self.library_ = std::move(*library);
  std::optional<Failure> failure;
  self.RunOnWorkThread([&] {
    MaybeType<Failure, PluginLoadInfo> info = self.library_->Load(ApiVersion{18, 0, 0});
    if (!info) {
      failure = info.Error();
      return;
    }
    self.loadInfo_ = *info;
    self.module_ = info->context;
    const PluginHost hostObject{&self.table_.api, kPluginHandle};
    if (!self.library_->Initialize(self.module_, hostObject)) {
      failure = Failure(500, "The plug-in did not start (Initialize answered 0)");
    }
  });
  if (failure) {
    return Failure(failure->Status(),
                   "Cannot start the plug-in " + pluginPath + ": " + failure->Message());
  }

  if (const PluginEndpointTable* table = self.loadInfo_.endpoints;
      table != nullptr && table->functions != nullptr) {
    for (uint32_t i = 0; i < table->functionCount; ++i) {
      const PluginFunctionEntry& entry = table->functions[i];
      if (entry.pathTemplate == nullptr || entry.call == nullptr) continue;
      self.routes_.emplace_back(entry.pathTemplate, entry.method,
                                entry.invocationName != nullptr ? entry.invocationName : "");
      self.functions_.push_back(&entry);
    }
  }

  self.AddEventObserver([&self](const std::string& name, const BindingProperty& payload) {
    self.events_.Publish(name, payload);
  });

  MaybeType<Failure, std::unique_ptr<HttpFront>> front = HttpFront::Start(
      options.listenHost, options.listenPort,
      [&self](const HttpRequest& request) { return self.Gate(request); },
      [&self](const HttpRequest& request) { return self.Handle(request); },
      HttpThreading::kCallerLoop);
  if (!front) return front.Error();
  self.front_ = std::move(*front);
  // Requests are served on the work thread itself: the plug-in's calls need no hand-over.
  self.RunOnWorkThread([&self] { self.work_.Serve(self.front_.get()); });
  self.policy_ = std::make_unique<AccessPolicy>(options.listenHost, self.front_->Port());
  const bool wildcard = options.listenHost == "0.0.0.0" || options.listenHost == "[::]";
  self.url_ = "http://" + (wildcard ? std::string("127.0.0.1") : options.listenHost) + ":" +
              std::to_string(self.front_->Port());
  if (self.loadInfo_.endpoints != nullptr) {
    OpenApiInfo info;
    const std::string name = self.loadInfo_.shortName != nullptr ? self.loadInfo_.shortName : "";
    info.title = name + " local API";
    info.version = std::to_string(self.loadInfo_.versionMajor) + "." +
                   std::to_string(self.loadInfo_.versionMinor) + "." +
                   std::to_string(self.loadInfo_.versionPatch);
    info.description = "The endpoints of the plug-in " + name + ", served by qor-host.";
    info.serverUrl = self.url_;
    info.basicAuth = true;
    info.controlApi = true;
    self.openApi_ = OpenApiDocument(*self.loadInfo_.endpoints, info);
  }
  self.policyReady_.store(true, std::memory_order_release);

  MaybeType<Failure, void> written = self.WriteCredentials();
  if (!written) return written.Error();
  return host;
}

void DevHost::Stop() {
  if (stopped_) return;
  stopped_ = true;
  events_.Stop();  // open streams end before the front closes their connections
  if (front_) {
    // The front is served by the work thread, so it stops there, between two requests.
    RunOnWorkThread([this] {
      work_.Serve(nullptr);
      front_->Stop();
    });
  }
  if (module_ != nullptr && library_) {
    // The module's timers not yet run point into it: they go with it, in the same hand-over,
    // so no later pass of the work thread calls into the destroyed module.
    RunOnWorkThread([this] {
      library_->Shutdown(module_);
      core_.DropScheduled();
    });
    module_ = nullptr;
  }
  work_.Stop();
  if (storefront_) storefront_->Stop();
  RemoveCredentials();
}

// ---- Work --------------------------------------------------------------------------------

void DevHost::Post(std::function<void()> work) {
  work_.Post(std::move(work));
}

void DevHost::RunOnWorkThread(const std::function<void()>& work) {
  work_.Call(work);
}

void DevHost::OnRunPendingWork(const PluginHostApi* api) {
  From(api).work_.RunPendingOrWait();
}

void DevHost::OnPublishEvent(const PluginHostApi* api, const PluginEvent* event) {
  DevHost& self = From(api);
  if (event != nullptr && event->name != nullptr) {
    MaybeType<Failure, BindingProperty> payload = ReadHostValue(event->payload, "<payload>");
    if (payload) {
      const std::string name(event->name);
      self.peers_->ObservePublished(name, *payload);
      std::vector<std::function<void(const std::string&, const BindingProperty&)>> observers;
      {
        std::lock_guard lock(self.observersMutex_);
        observers = self.observers_;
      }
      for (const auto& observer : observers)
        observer(name, *payload);
    }
  }
  const PluginHostApi* core = self.core_.Api();
  core->PublishEvent(core, event);
}

void DevHost::AddEventObserver(
    std::function<void(const std::string&, const BindingProperty&)> observer) {
  std::lock_guard lock(observersMutex_);
  observers_.push_back(std::move(observer));
}

// ---- Log -----------------------------------------------------------------------------------

void DevHost::Log(uint32_t level, std::string_view message) {
  log_.Append("{\"level\":" + std::to_string(level) + ",\"message\":" + JsonQuote(message) + "}");
  if (options_.logLevel > 3 || level < options_.logLevel) return;
  static constexpr const char* kTags[] = {"  OKAY", "  WARN", " ERROR", "ALWAYS"};
  const char* tag = level < 4 ? kTags[level] : "     ?";
  std::fprintf(stderr, "%s qor-store %s| %.*s\n", NowText().c_str(), tag,
               static_cast<int>(message.size()), message.data());
}

// ---- HTTP ----------------------------------------------------------------------------------

std::optional<HttpResponse> DevHost::Gate(const HttpRequest& request) const {
  if (!policyReady_.load(std::memory_order_acquire)) {
    return HttpResponse::Error(503, "The host is starting");
  }
  const std::optional<std::string_view> host = request.Header("host");
  const std::optional<std::string_view> origin = request.Header("origin");
  const std::optional<std::string_view> authorization = request.Header("authorization");
  // A client sends the same credentials with every request: the last value that passed is
  // compared whole, in constant time, instead of being decoded and checked again.
  const bool known = authorization && !acceptedAuthorization_.empty() &&
                     ConstantTimeEquals(*authorization, acceptedAuthorization_);
  const AccessDecision decision =
      !known ? CheckAccess(*policy_, host, origin, authorization, password_)
      : policy_->Allows(host, origin) ? AccessDecision::kAllowed
                                      : AccessDecision::kForbidden;
  if (decision == AccessDecision::kAllowed && !known) acceptedAuthorization_ = *authorization;
  switch (decision) {
    case AccessDecision::kAllowed:
      failedAuthentications_.Succeeded(request.peer);
      return std::nullopt;
    case AccessDecision::kForbidden:
      return HttpResponse::Error(
          403, "Forbidden: the Host and Origin headers must name " + url_.substr(7));
    case AccessDecision::kUnauthorized: {
      // Guessing the password gets slower with every failure (only this connection waits).
      HttpResponse response = HttpResponse::Error(
          401, "Authentication required: user \"qor\" with the password in " + credentialsPath_);
      response.headers.emplace_back("WWW-Authenticate", "Basic realm=\"qor-host\"");
      response.delay = failedAuthentications_.Failed(request.peer);
      return response;
    }
  }
  return HttpResponse::Error(500, "Internal server error");
}

HttpResponse DevHost::Handle(const HttpRequest& request) {
  if (std::optional<HttpResponse> console = ServeConsole(request.method, request.Path())) {
    return std::move(*console);
  }
  if (request.Path().starts_with(kControlPrefix)) return HandleControl(request);
  return CallPlugin(request);
}

HttpResponse DevHost::CallPlugin(const HttpRequest& request) {
  const uint32_t method = MethodCode(request.method);
  std::optional<RouteSelection> selection;
  if (method != 0) selection = SelectRoute(method, "", request.target, routes_);
  if (!selection) return HttpResponse::Error(404, "Invalid function");
  const PluginFunctionEntry* entry = functions_[selection->index];

  // The credentials stay with the host: the plug-in has no use for them.
  std::vector<HostHeader> headers;
  headers.reserve(request.headers.size());
  for (const auto& [name, value] : request.headers) {
    if (name != "authorization") headers.push_back(HostHeader{name.c_str(), value.c_str()});
  }
  std::optional<std::string_view> contentType = request.Header("content-type");
  const std::string contentTypeText(contentType.value_or(""));
  if (request.body.size() > UINT32_MAX) return HttpResponse::Error(413, "Body too large");

  PluginLocalRequest record{};
  record.method = method;
  record.path = request.target.c_str();
  record.context = entry->context;
  record.headers = headers.data();
  record.headerCount = static_cast<uint32_t>(headers.size());
  record.contentType = contentType ? contentTypeText.c_str() : nullptr;
  // Text bodies end with a NUL: std::string keeps one after its bytes.
  record.body = request.body.empty() ? nullptr : request.body.c_str();
  record.bodyLength = static_cast<uint32_t>(request.body.size());
  record.invocationName = "";

  HttpResponse answer;
  work_.Call([&] {
    PluginLocalResponse response{};
    entry->call(&response, &record);
    answer = ReadReply(response);
    if (response.release != nullptr) response.release(&response);
  });
  return answer;
}

HttpResponse DevHost::HandleControl(const HttpRequest& request) {
  const std::string_view path = request.Path();
  const std::string_view method = request.method;
  auto list = [&](const RecordList& records) {
    if (method != "GET" && method != "HEAD") return MethodNotAllowed("GET");
    return HttpResponse::Json(200, records.ToJsonArray());
  };
  // Waits until the events queued so far have reached the plug-in.
  auto delivered = [&] { work_.Flush(); };

  if (path == "/dev/v1/resources") {
    std::optional<std::string> uri = QueryValue(request.Query(), "uri");
    if (!uri && (method == "GET" || method == "HEAD")) {
      return HttpResponse::Json(200, peers_->AllResourcesJson());
    }
    if (!uri || uri->empty()) {
      return HttpResponse::Error(400, "The query must name the resource: ?uri=/a/b");
    }
    if (method == "GET" || method == "HEAD") {
      std::optional<std::string> json = peers_->ResourceJson(*uri);
      if (!json) return HttpResponse::Error(404, "No value for resource '" + *uri + "'");
      return HttpResponse::Json(200, std::move(*json));
    }
    if (method == "PUT") {
      if (request.body.empty()) return HttpResponse::Error(400, "The body must be a JSON value");
      MaybeType<Failure, void> put = peers_->PutResource(*uri, request.body);
      if (!put) return HttpResponse::Error(put.Status(), put.ErrorMessage());
      delivered();
      return HttpResponse::NoContent();
    }
    if (method == "DELETE") {
      MaybeType<Failure, void> removed = peers_->DeleteResource(*uri);
      if (!removed) return HttpResponse::Error(removed.Status(), removed.ErrorMessage());
      delivered();
      return HttpResponse::NoContent();
    }
    return MethodNotAllowed("GET, PUT, DELETE");
  }
  if (path == "/dev/v1/lcds-events") {
    if (method != "POST") return MethodNotAllowed("POST");
    MaybeType<Failure, void> pushed = peers_->PushLcdsMessage(request.body);
    if (!pushed) return HttpResponse::Error(pushed.Status(), pushed.ErrorMessage());
    delivered();
    return HttpResponse::NoContent();
  }
  if (path == "/dev/v1/notifications") return list(peers_->Notifications());
  if (path == "/dev/v1/telemetry") return list(peers_->Telemetry());
  if (path == "/dev/v1/lcds-calls") return list(peers_->LcdsCalls());
  if (path == "/dev/v1/log") return list(log_);
  if (path == "/dev/v1/events") {
    if (method != "GET") return MethodNotAllowed("GET");
    return events_.Open(request.Header("last-event-id"));
  }
  if (path == "/dev/v1/openapi.json") {
    if (method != "GET" && method != "HEAD") return MethodNotAllowed("GET");
    if (openApi_.empty()) return HttpResponse::Error(404, "The plug-in has no endpoint table");
    return HttpResponse::Json(200, openApi_);
  }
  return HttpResponse::Error(404, "No control function at " + std::string(path));
}

// ---- Credentials file ----------------------------------------------------------------------

namespace {

// The first `limit` bytes of the regular file at `path` (all of it when shorter).
std::string ReadStart(const std::string& path, size_t limit) {
  std::ifstream in(path, std::ios::binary);
  std::string text(limit, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  return text;
}

// The pid a credentials file names, or 0.
pid_t CredentialsPid(const std::string& path) {
  const std::string text = ReadStart(path, 4096);
  const size_t key = text.find("\"pid\":");
  if (key == std::string::npos) return 0;
  return static_cast<pid_t>(std::strtol(text.c_str() + key + 6, nullptr, 10));
}

}  // namespace

// Refuses a path that holds something other than a regular file, or the credentials of a host
// that still runs: writing there would replace them, and its exit would remove this host's.
MaybeType<Failure, void> DevHost::ClaimCredentialsPath() const {
  struct stat info {};
  if (lstat(credentialsPath_.c_str(), &info) != 0) return {};
  if (!S_ISREG(info.st_mode)) {
    return Failure(409, "The credentials path " + credentialsPath_ +
                            " is not a regular file; remove it or choose another with "
                            "--credentials");
  }
  const pid_t pid = CredentialsPid(credentialsPath_);
  if (pid > 0 && pid != getpid() && (kill(pid, 0) == 0 || errno == EPERM)) {
    return Failure(409, "The credentials file " + credentialsPath_ +
                            " belongs to a running qor-host (pid " + std::to_string(pid) +
                            "); stop it or choose another path with --credentials");
  }
  return {};
}

void DevHost::RemoveCredentials() {
  if (!credentialsWritten_) return;
  credentialsWritten_ = false;
  struct stat info {};
  if (lstat(credentialsPath_.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
      info.st_dev == credentialsDevice_ && info.st_ino == credentialsInode_ &&
      ReadStart(credentialsPath_, credentialsText_.size() + 1) == credentialsText_) {
    unlink(credentialsPath_.c_str());
  }
}

MaybeType<Failure, void> DevHost::WriteCredentials() {
  const std::string json = "{\"url\":" + JsonQuote(url_) + ",\"user\":" + JsonQuote(kHostUser) +
                           ",\"password\":" + JsonQuote(password_) +
                           ",\"pid\":" + std::to_string(getpid()) + "}\n";
  // A new file of a name nobody else uses (mkostemp opens with O_EXCL, mode 0600), then
  // renamed over the path: readers see no half-written file, and no link is followed.
  std::string temporary = credentialsPath_ + ".XXXXXX";
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return Failure(500, "Cannot write the credentials file " + credentialsPath_);
  struct stat info {};
  bool ok = fchmod(fd, 0600) == 0 && fstat(fd, &info) == 0;
  size_t written = 0;
  while (ok && written < json.size()) {
    const ssize_t n = write(fd, json.data() + written, json.size() - written);
    if (n <= 0) {
      ok = false;
      break;
    }
    written += static_cast<size_t>(n);
  }
  ok = close(fd) == 0 && ok;
  if (!ok || std::rename(temporary.c_str(), credentialsPath_.c_str()) != 0) {
    std::remove(temporary.c_str());
    return Failure(500, "Cannot write the credentials file " + credentialsPath_);
  }
  credentialsWritten_ = true;
  credentialsDevice_ = info.st_dev;
  credentialsInode_ = info.st_ino;
  credentialsText_ = json;
  return {};
}

}  // namespace qor::host
