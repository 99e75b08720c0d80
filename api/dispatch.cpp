#include "api/dispatch.h"

#include <chrono>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#include "api/detail/arguments.h"
#include "api/host_value.h"
#include "binding/json.h"
#include "binding/msgpack.h"
#include "binding/yaml.h"
#include "foundation/format.h"

namespace qor {

// The context word of one function: what the host copies into each request for it.
struct Dispatcher::Context {
  const Dispatcher* dispatcher;
  const Function* function;
};

namespace {

constexpr uint32_t kInvokeMethod = PLUGIN_METHOD_INVOKE;

constexpr std::string_view kUnknownArgument = "Unknown argument '%1' for '%2'.";
constexpr std::string_view kInvalidLocation =
    "Argument '%1' for '%2' was specified in an invalid location.";
constexpr std::string_view kExpectedValue = "Expected value for argument '%1'.";
constexpr std::string_view kBadMessagePack =
    "Couldn't deserialize MessagePack value for parameter '%1' of '%2': %3";
constexpr std::string_view kBadJson =
    "Couldn't deserialize JSON value for parameter '%1' of '%2': %3";
constexpr std::string_view kBadYaml =
    "Couldn't deserialize YAML value for parameter '%1' of '%2': %3";

// The status text of replies that set none: not allocated, and not freed by ReleaseResponse.
constexpr char kNoStatusText[] = "";

std::string_view TextOrEmpty(const char* text) {
  return text ? text : std::string_view();
}

// A NUL-terminated owned copy, allocated the way ReleaseResponse frees it.
char* CopyText(std::string_view text) {
  char* copy = new char[text.size() + 1];
  if (!text.empty()) std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

// Whether the header name `header` is `name` in lower case (compared exactly otherwise).
bool IsHeaderFor(const char* header, std::string_view name) {
  for (char c : name) {
    const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (*header == '\0' || *header != lower) return false;
    ++header;
  }
  return *header == '\0';
}

// Room for the few items one call needs (argument values, captures, header arguments) on the
// stack; more than eight go to the heap. Resize is called once; the items live as long as
// the buffer.
template <typename T>
class CallBuffer {
 public:
  CallBuffer() = default;
  CallBuffer(const CallBuffer&) = delete;
  CallBuffer& operator=(const CallBuffer&) = delete;
  ~CallBuffer() { std::destroy_n(InlineData(), inlineCount_); }

  std::span<T> Resize(size_t count) {
    if (count > kInline) {
      heap_.resize(count);
      return heap_;
    }
    std::uninitialized_value_construct_n(InlineData(), count);
    inlineCount_ = count;
    return {InlineData(), count};
  }

 private:
  static constexpr size_t kInline = 8;
  T* InlineData() { return std::launder(reinterpret_cast<T*>(storage_)); }

  alignas(T) std::byte storage_[kInline * sizeof(T)];
  size_t inlineCount_ = 0;
  std::vector<T> heap_;
};

bool IsStructured(NativeType type) {
  // Maps are text-keyed structures and take the same encoded texts as records.
  return type == NativeType::Vector || type == NativeType::Struct || type == NativeType::Object ||
         type == NativeType::Map;
}

// The stream functions handed to the host; the handle is the BodyStream.
int32_t ReadStream(void* handle, void* buffer, uint32_t capacity, uint32_t* bytesRead,
                   uint8_t* more) {
  uint32_t read = 0;
  bool hasMore = false;
  bool ok =
      handle != nullptr && static_cast<BodyStream*>(handle)->Read(buffer, capacity, read, hasMore);
  if (bytesRead) *bytesRead = ok ? read : 0;
  if (more) *more = ok && hasMore ? 1 : 0;
  return ok ? 0 : 1;
}

void CloseStream(void* handle) {
  delete static_cast<BodyStream*>(handle);
}

// The per-call state of argument binding.
class Binder {
 public:
  Binder(const Function& function, CallResult& result, std::span<BindingProperty> values)
      : function_(function), result_(result), values_(values) {}

  const Parameter* Find(std::string_view name, size_t* index) const {
    const uint32_t hash = Fnv1a32(name);
    const auto& parameters = function_.parameters;
    for (size_t i = 0; i < parameters.size(); ++i) {
      if (parameters[i].hash == hash && parameters[i].name == name) {
        *index = i;
        return &parameters[i];
      }
    }
    return nullptr;
  }

  // Applies one text argument (a header, a path capture or a query argument).
  void ApplyText(std::string_view fullName, std::string_view text, ArgumentLocation source) {
    if (result_.Failed()) return;
    const size_t dot = fullName.find('.');
    const std::string_view name = fullName.substr(0, dot);
    size_t index = 0;
    const Parameter* parameter = Find(name, &index);
    if (parameter == nullptr) {
      return Fail(Format(kUnknownArgument, name, function_.name));
    }
    if (parameter->location != ArgumentLocation::kAny && parameter->location != source) {
      return Fail(Format(kInvalidLocation, name, function_.name));
    }
    BindingProperty& value = values_[index];
    if (dot != std::string_view::npos) {
      auto target = detail::WalkDottedPath(value, fullName.substr(dot + 1),
                                           parameter->type.type == NativeType::Vector);
      if (target.Failed()) return Fail(target.ErrorMessage());
      return Store(**target, *parameter, text, false);
    }
    if (text.empty()) {
      switch (parameter->type.type) {
        case NativeType::Bool:
          value = true;
          return;
        case NativeType::Object:
        case NativeType::Struct:
        case NativeType::Map:
          value.SetStructure();
          return;
        case NativeType::Vector:
          value.SetCollection();
          return;
        default:
          return Fail(Format(kExpectedValue, name));
      }
    }
    Store(value, *parameter, text, IsStructured(parameter->type.type));
  }

  // Applies one typed argument of the request's argument array.
  void ApplyTyped(const HostArgument& argument, size_t position, size_t captureCount) {
    if (result_.Failed()) return;
    size_t index = 0;
    std::string label;
    if (argument.name != nullptr) {
      if (Find(argument.name, &index) == nullptr) {
        return Fail(Format(kUnknownArgument, argument.name, function_.name));
      }
    } else {
      index = position + captureCount;
      if (index >= function_.parameters.size()) {
        return Fail(Format(kUnknownArgument, position, function_.name));
      }
    }
    auto read = ReadHostValue(argument.value, function_.parameters[index].name);
    if (read.Failed()) return Fail(read.ErrorMessage());
    values_[index] = std::move(read).Value();
  }

  void Fail(std::string_view message) { result_.value.SetFailure(message); }

 private:
  // Stores an argument text; with `structured` set, encoded texts are decoded first.
  void Store(BindingProperty& target, const Parameter& parameter, std::string_view text,
             bool structured) {
    if (!structured) {
      target = text;
      return;
    }
    MaybeType<Failure, BindingProperty> decoded;
    std::string_view failureTemplate;
    switch (detail::SniffArgumentText(text)) {
      case detail::TextEncoding::kPlain:
        target = text;
        return;
      case detail::TextEncoding::kMessagePack:
        decoded = std::move(DecodeMsgPack(text.data(), text.size()).value);
        failureTemplate = kBadMessagePack;
        break;
      case detail::TextEncoding::kJson:
        decoded = ParseJson(text);
        failureTemplate = kBadJson;
        break;
      case detail::TextEncoding::kYaml:
        decoded = ParseYaml(text);
        failureTemplate = kBadYaml;
        break;
    }
    if (decoded.Failed()) {
      return Fail(Format(failureTemplate, parameter.name, function_.name, decoded.ErrorMessage()));
    }
    target = std::move(decoded).Value();
  }

  const Function& function_;
  CallResult& result_;
  std::span<BindingProperty> values_;
};

// Reads a request body by its content type. JSON and YAML texts end at the body's length or
// at a NUL inside it, whichever comes first.
MaybeType<Failure, BindingProperty> ReadBody(const PluginLocalRequest& request) {
  const char* bytes = static_cast<const char*>(request.body);
  const size_t length = request.bodyLength;
  switch (detail::BodyEncodingOf(request.contentType)) {
    case detail::BodyEncoding::kMessagePack: {
      MsgPackDecoded decoded = DecodeMsgPack(bytes, length);
      if (decoded.value.Succeeded() && decoded.consumed < length) {
        return Failure("Extra MessgePack data found in body");
      }
      return std::move(decoded.value);
    }
    case detail::BodyEncoding::kJson:
      return ParseJson(std::string_view(bytes, strnlen(bytes, length)));
    case detail::BodyEncoding::kYaml:
      return ParseYaml(std::string_view(bytes, strnlen(bytes, length)));
    case detail::BodyEncoding::kUnsupported:
      break;
  }
  return Failure("Unsupported body content type");
}

std::map<std::string, std::string> HeaderMap(const PluginLocalRequest& request) {
  std::map<std::string, std::string> headers;
  if (request.headers == nullptr) return headers;
  for (uint32_t i = 0; i < request.headerCount; ++i) {
    const HostHeader& header = request.headers[i];
    if (header.name == nullptr) continue;
    headers[header.name] = TextOrEmpty(header.value);
  }
  return headers;
}

}  // namespace

void CallResult::Reset() {
  value = MaybeType<Failure, BindingProperty>();
  formatFlag = 0;
  replyFormat = 0;
  status = 0;
  statusText.clear();
  headers.clear();
  stream.reset();
}

Dispatcher::Dispatcher(TypeRegistry& registry, void* module)
    : registry_(registry), module_(module) {}

Dispatcher::~Dispatcher() = default;

Function& Dispatcher::Add(uint32_t method, std::string_view pathTemplate,
                          std::vector<Parameter> parameters, std::unique_ptr<Handler> handler,
                          std::string_view invocationName) {
  auto function = std::make_unique<Function>(Route(pathTemplate, method, invocationName));
  function->method = method;
  function->name = FunctionName(method, function->route.Template());
  for (Parameter& parameter : parameters) {
    parameter.hash = Fnv1a32(parameter.name);
    function->arguments.push_back(
        ArgumentRecord{parameter.name, parameter.help, parameter.type, parameter.optional});
  }
  function->parameters = std::move(parameters);
  if (handler) function->returns = handler->ResultType();
  function->handler = std::move(handler);

  Function* added = function.get();
  registry_.AddFunction(std::move(function));
  functions_.push_back(added);
  contexts_.push_back(std::make_unique<Context>(Context{this, added}));
  return *added;
}

void* Dispatcher::ContextOf(const Function& function) const {
  for (const auto& context : contexts_) {
    if (context->function == &function) return context.get();
  }
  return nullptr;
}

void Dispatcher::CallEntry(PluginLocalResponse* response, const PluginLocalRequest* request) {
  if (response == nullptr) return;
  const auto* context = request ? static_cast<const Context*>(request->context) : nullptr;
  if (context == nullptr) {
    PrepareResponse(*response);
    response->errorText = CopyText("Invalid function");
    response->errorTextOwned = 1;
    response->status = 404;
    return;
  }
  context->dispatcher->Call(*context->function, *request, *response);
}

void Dispatcher::Call(const Function& function, const PluginLocalRequest& request,
                      PluginLocalResponse& response) const {
  PrepareResponse(response);
  const std::string_view invocation =
      request.method == kInvokeMethod ? TextOrEmpty(request.invocationName) : std::string_view();
  // The query is not part of the path: it is bound as arguments.
  std::string_view path = TextOrEmpty(request.path);
  path = path.substr(0, std::min(path.find('?'), path.size()));
  const Route& route = function.route;
  detail::CaptureTexts texts;
  if (!route.Accepts(request.method, invocation) || !route.MatchTexts(path, texts)) {
    response.errorText = CopyText("Invalid function");
    response.errorTextOwned = 1;
    response.status = 404;
    return;
  }

  // Decode the captures a name keeps. A text without escapes is used where it stands in the
  // path; the others are decoded into one buffer, reserved first so that views into it stay
  // valid (decoding never lengthens a text).
  const std::vector<Capture>& captures = route.Captures();
  size_t room = 0;
  for (size_t i = 0; i < captures.size(); ++i) {
    if (captures[i].kept == i && detail::NeedsDecoding(texts[i])) room += texts[i].size();
  }
  std::string decodedTexts;
  decodedTexts.reserve(room);
  CallBuffer<std::string_view> decodedBuffer;
  std::span<std::string_view> decoded = decodedBuffer.Resize(captures.size());
  for (size_t i = 0; i < captures.size(); ++i) {
    if (captures[i].kept != i) continue;
    if (!detail::NeedsDecoding(texts[i])) {
      decoded[i] = texts[i];
      continue;
    }
    const size_t start = decodedTexts.size();
    detail::AppendDecoded(texts[i], decodedTexts);
    decoded[i] = std::string_view(decodedTexts).substr(start);
  }
  CallBuffer<PathArgument> argumentBuffer;
  std::span<PathArgument> arguments = argumentBuffer.Resize(captures.size());
  for (size_t i = 0; i < captures.size(); ++i)
    arguments[i] = {captures[i].name, decoded[captures[i].kept]};

  CallResult result;
  Run(function, arguments, request, result);
  WriteResponse(result, response);
}

void Dispatcher::Dispatch(const Function& function, const ArgumentMap& captures,
                          const PluginLocalRequest& request, CallResult& result) const {
  // Captures in template order, so the first failure is the same on every run.
  CallBuffer<PathArgument> buffer;
  std::span<PathArgument> arguments = buffer.Resize(function.route.Captures().size());
  size_t count = 0;
  for (const Capture& capture : function.route.Captures()) {
    auto found = captures.find(capture.name);
    if (found != captures.end()) arguments[count++] = {found->first, found->second};
  }
  Run(function, arguments.first(count), request, result);
}

void Dispatcher::Run(const Function& function, std::span<const PathArgument> captures,
                     const PluginLocalRequest& request, CallResult& result) const {
  result.Reset();
  CallBuffer<BindingProperty> valueBuffer;
  std::span<BindingProperty> values = valueBuffer.Resize(function.parameters.size());
  Binder binder(function, result, values);

  // Headers: a parameter that may come from a header takes the header named as the
  // parameter in lower case (header names compared exactly as the host gave them; the last
  // of a repeated name counts).
  CallBuffer<PathArgument> headerBuffer;
  std::span<PathArgument> headerArguments;
  if (request.headers != nullptr && request.headerCount != 0) {
    headerArguments = headerBuffer.Resize(function.parameters.size());
    size_t count = 0;
    for (const Parameter& parameter : function.parameters) {
      if (parameter.location != ArgumentLocation::kAny &&
          parameter.location != ArgumentLocation::kHeader) {
        continue;
      }
      const HostHeader* found = nullptr;
      for (uint32_t i = 0; i < request.headerCount; ++i) {
        const HostHeader& header = request.headers[i];
        if (header.name != nullptr && IsHeaderFor(header.name, parameter.name)) found = &header;
      }
      if (found != nullptr) headerArguments[count++] = {parameter.name, TextOrEmpty(found->value)};
    }
    headerArguments = headerArguments.first(count);
  }

  const std::string_view path = TextOrEmpty(request.path);
  const size_t question = path.find('?');
  const auto query = question == std::string_view::npos
                         ? std::vector<std::pair<std::string, std::string>>()
                         : detail::ParseQuery(path.substr(question + 1));

  // Bool parameters nobody mentions are false unless they are optional.
  for (size_t i = 0; i < values.size(); ++i) {
    const Parameter& parameter = function.parameters[i];
    if (parameter.type.type == NativeType::Bool && !parameter.optional && values[i].IsEmpty()) {
      values[i] = false;
    }
  }

  for (const PathArgument& header : headerArguments)
    binder.ApplyText(header.name, header.text, ArgumentLocation::kHeader);
  for (const PathArgument& capture : captures)
    binder.ApplyText(capture.name, capture.text, ArgumentLocation::kPath);
  for (const auto& [name, text] : query)
    binder.ApplyText(name, text, ArgumentLocation::kQuery);

  if (request.arguments != nullptr) {
    const size_t captureCount = function.route.Captures().size();
    for (uint32_t i = 0; i < request.argumentCount; ++i) {
      binder.ApplyTyped(request.arguments[i], i, captureCount);
    }
  }

  // The body step runs even after a failure; its own failure replaces the earlier one.
  if (request.body != nullptr) {
    for (size_t i = 0; i < function.parameters.size(); ++i) {
      if (function.parameters[i].location != ArgumentLocation::kBody) continue;
      auto body = ReadBody(request);
      if (body.Failed()) {
        binder.Fail(body.ErrorMessage());
      } else {
        values[i] = std::move(body).Value();
      }
      break;
    }
  }

  if (result.Failed() || !function.handler) {
    if (!function.handler && !result.Failed()) result.value.SetFailure("Invalid function");
    return;
  }
  Handler& handler = *function.handler;
  const uintptr_t token = handler.Invoke(result, values, request.callerHandle);
  if (!result.Failed()) {
    if (handler.WantsRequestContext()) {
      RequestContext context;
      context.callerHandle = request.callerHandle;
      context.timeMicroseconds = std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count();
      context.path = path;
      context.module = module_;
      context.method = request.method;
      if (request.method == kInvokeMethod)
        context.invocationName = TextOrEmpty(request.invocationName);
      context.headers = HeaderMap(request);
      handler.Finish(result, &context, token, request.callerHandle);
    } else {
      handler.Finish(result, nullptr, token, request.callerHandle);
    }
  }
  if (token != 0) handler.Release(token);
}

void Dispatcher::WriteResponse(CallResult& result, PluginLocalResponse& response) const {
  if (result.Failed()) {
    response.errorText = CopyText(result.value.ErrorMessage());
    response.errorTextOwned = 1;
  } else {
    const EnumNamer names = [this](const EnumValue& value) {
      return registry_.EnumName(value.typeId, value.value);
    };
    auto written = WriteHostValue(result.value.Property(), response.body, names);
    if (written.Failed()) {
      response.errorText = CopyText(written.ErrorMessage());
      response.errorTextOwned = 1;
    }
  }
  response.formatFlag = result.formatFlag;
  response.replyFormat = result.replyFormat >= PLUGIN_REPLY_FORMAT_JSON &&
                                 result.replyFormat <= PLUGIN_REPLY_FORMAT_MSGPACK
                             ? result.replyFormat
                             : uint32_t{PLUGIN_REPLY_FORMAT_UNSPECIFIED};
  response.status = result.status;
  response.statusText = result.statusText.empty() ? kNoStatusText : CopyText(result.statusText);
  if (!result.headers.empty()) {
    response.headers = new HostHeader[result.headers.size()];
    for (const auto& [name, value] : result.headers) {
      HostHeader& header = response.headers[response.headerCount++];
      header.name = CopyText(name);
      header.value = CopyText(value);
    }
  }
  if (result.stream) {
    response.streamLengthHint = result.stream->Size();
    response.streamRead = ReadStream;
    response.streamClose = CloseStream;
    response.streamHandle = result.stream.release();
  }
}

void PrepareResponse(PluginLocalResponse& response) {
  response = PluginLocalResponse{};
  response.release = ReleaseResponse;
}

void ReleaseResponse(PluginLocalResponse* response) {
  if (response == nullptr) return;
  FreeHostValue(response->body);
  if (response->errorTextOwned) delete[] response->errorText;
  if (response->statusText != kNoStatusText) delete[] response->statusText;
  for (uint32_t i = 0; i < response->headerCount; ++i) {
    delete[] response->headers[i].name;
    delete[] response->headers[i].value;
  }
  delete[] response->headers;
  *response = PluginLocalResponse{};
}

}  // namespace qor
