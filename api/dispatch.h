// Request dispatch: from the host's request record to a handler's arguments, and from the
// handler's CallResult to the host's response record.
//
// A Dispatcher holds the plug-in's functions: each one a compiled Route, its parameters and
// its Handler. The host calls a function through the call entry of its endpoint table entry;
// the entry's context word leads back to the Dispatcher and the function, so no lookup by
// path is needed (the path is re-matched only to recover its captures).
//
// Arguments come from request headers, the query string, path captures, the typed argument
// array and the body, in that order, and are checked against each parameter's location.
// The first failure stops the argument steps; the body step still runs and its failure
// replaces an earlier one; the handler runs only when nothing failed.
//
// Thread rule: functions are registered during initialisation; afterwards the Dispatcher is
// read-only and calls may arrive on any host thread at once. Everything built for one call
// lives on that call's stack until the response is written.
#ifndef QOR_API_DISPATCH_H_
#define QOR_API_DISPATCH_H_

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "api/host_abi.h"
#include "api/route.h"
#include "binding/maybe.h"
#include "binding/property.h"
#include "binding/registry.h"

namespace qor {

// Where an argument may come from.
enum class ArgumentLocation : uint8_t {
  kAny = PLUGIN_PARAMETER_ANY,
  kQuery = PLUGIN_PARAMETER_QUERY,
  kPath = PLUGIN_PARAMETER_PATH,
  kHeader = PLUGIN_PARAMETER_HEADER,
  kBody = PLUGIN_PARAMETER_BODY,
};

// One declared argument of a function.
struct Parameter {
  std::string name;
  uint32_t hash = 0;  // FNV-1a of name; lookups compare it before the bytes
  std::string help;
  bool optional = false;
  TypeDescriptor type;
  ArgumentLocation location = ArgumentLocation::kAny;
};

// A reply body produced piece by piece. The host pulls it through the response's stream
// functions and ends it with the close function, which destroys this object.
class BodyStream {
 public:
  virtual ~BodyStream() = default;
  // Fills at most `capacity` bytes of `buffer`; sets `bytesRead` and `more`. Returns false
  // when reading failed.
  virtual bool Read(void* buffer, uint32_t capacity, uint32_t& bytesRead, bool& more) = 0;
  // The expected total length (a hint; 0 when unknown).
  virtual uint32_t Size() const = 0;
};

// What a handler fills. Reset before every call.
struct CallResult {
  MaybeType<Failure, BindingProperty> value;
  uint8_t formatFlag = 0;
  uint32_t replyFormat = 0;  // PLUGIN_REPLY_FORMAT_*; other values reach the host as 0
  uint32_t status = 0;       // HTTP status; 0 when none set
  std::string statusText;
  std::map<std::string, std::string> headers;
  std::unique_ptr<BodyStream> stream;

  void Reset();
  // Records `failure` as the result. A failure with a status sets the reply's status; one
  // without keeps the status set so far.
  void Fail(const Failure& failure) {
    if (failure.Status() != 0) status = static_cast<uint32_t>(failure.Status());
    value.SetFailure(failure.Message(), failure.Status());
  }
  bool Failed() const { return value.Failed(); }
};

// What a handler that asks for it receives besides its arguments.
struct RequestContext {
  uintptr_t callerHandle = 0;
  int64_t timeMicroseconds = 0;  // system clock at the start of the call
  std::string path;
  void* module = nullptr;
  uint32_t method = 0;
  std::string invocationName;  // method code 8 only
  std::map<std::string, std::string> headers;
};

// The object behind one function. The dispatcher calls Invoke, then Finish unless a failure
// was recorded, then Release when Invoke returned a token other than 0.
class Handler {
 public:
  virtual ~Handler() = default;
  virtual uintptr_t Invoke(CallResult& result, std::span<BindingProperty> arguments,
                           uintptr_t callerHandle) = 0;
  virtual void Finish(CallResult& /*result*/, const RequestContext* /*context*/,
                      uintptr_t /*token*/, uintptr_t /*callerHandle*/) {}
  virtual void Release(uintptr_t /*token*/) {}
  // The declared result type, for the endpoint table.
  virtual TypeDescriptor ResultType() const = 0;
  // True when Finish wants the RequestContext (it is built only then).
  virtual bool WantsRequestContext() const { return false; }
};

// One registered function. Its FunctionRecord part (name, name space, arguments, result type,
// description, help, thread-safe flag, asynchronous event, tags) is what the API description
// and the endpoint table list; the rest is what dispatch needs. Owned by the TypeRegistry's
// function list, so that the API description sees every function.
struct Function : FunctionRecord {
  Route route;
  std::vector<Parameter> parameters;
  std::unique_ptr<Handler> handler;
  uint32_t method = 0;

  Function(Route compiled) : route(std::move(compiled)) {}
};

class Dispatcher {
 public:
  // `registry` serves enum names in replies and the type list of the endpoint table;
  // `module` is handed to handlers in their RequestContext. Both must outlive the Dispatcher.
  explicit Dispatcher(TypeRegistry& registry, void* module = nullptr);
  ~Dispatcher();
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;

  // Registers a function under FunctionName(method, template). The template is compiled here,
  // once; parameter hashes and the FunctionRecord's arguments and result type are filled in.
  // Returns the function so that its description, help and tags can be completed.
  Function& Add(uint32_t method, std::string_view pathTemplate, std::vector<Parameter> parameters,
                std::unique_ptr<Handler> handler, std::string_view invocationName = {});

  // Every function, in registration order.
  std::span<Function* const> Functions() const { return functions_; }
  TypeRegistry& Registry() const { return registry_; }
  void* Module() const { return module_; }

  // Handles one call of `function` (one of this Dispatcher's): re-matches the path, binds the
  // arguments, runs the handler and fills `response` (zeroed first, its release function set;
  // the host calls it when done).
  void Call(const Function& function, const PluginLocalRequest& request,
            PluginLocalResponse& response) const;

  // The call entry written into every function entry of the endpoint table: finds the
  // Dispatcher and function through the request's context word and calls Call. A request
  // without a context word is answered "Invalid function" with status 404.
  static void CallEntry(PluginLocalResponse* response, const PluginLocalRequest* request);

  // The context word of a function (what the host copies into its requests).
  void* ContextOf(const Function& function) const;

  // Binds the arguments and runs the handler for an already selected function (steps after
  // route selection); exposed for the endpoint table's users and tests.
  void Dispatch(const Function& function, const ArgumentMap& captures,
                const PluginLocalRequest& request, CallResult& result) const;

  // Writes `result` into `response`, which must be prepared (see PrepareResponse).
  void WriteResponse(CallResult& result, PluginLocalResponse& response) const;

 private:
  struct Context;
  // One path capture to bind: the capture's name and its decoded text.
  struct PathArgument {
    std::string_view name;
    std::string_view text;
  };

  // Dispatch with the captures already decoded, in template order.
  void Run(const Function& function, std::span<const PathArgument> captures,
           const PluginLocalRequest& request, CallResult& result) const;

  TypeRegistry& registry_;
  void* module_;
  std::vector<Function*> functions_;  // owned by registry_
  std::vector<std::unique_ptr<Context>> contexts_;
};

// Zeroes `response` and sets its release function.
void PrepareResponse(PluginLocalResponse& response);
// The release function of responses this layer fills: frees every owned part, zeroes the
// record. Safe on a zeroed record and when called twice.
void ReleaseResponse(PluginLocalResponse* response);

}  // namespace qor

#endif  // QOR_API_DISPATCH_H_
