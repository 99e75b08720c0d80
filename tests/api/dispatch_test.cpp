// Request dispatch through the call entry: argument sources, locations, defaults, dotted
// names, typed arguments, bodies, handler results and the reply record.
#include "api/dispatch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "binding/json.h"
#include "binding/record.h"

namespace qor {
namespace {

// Parameters from a compact text: "name[@place][:type][?]" separated by spaces, where the
// place is p(ath), q(uery), h(eader) or b(ody) (none: any), the type b(ool), i(nt32),
// o(bject), r(ecord), v(ector) (none: string), and "?" marks the parameter optional.
std::vector<Parameter> Params(std::string_view spec) {
  static const std::map<char, NativeType> kTypes = {{'b', NativeType::Bool},
                                                    {'i', NativeType::Int32},
                                                    {'o', NativeType::Object},
                                                    {'r', NativeType::Struct},
                                                    {'v', NativeType::Vector}};
  static const std::map<char, ArgumentLocation> kPlaces = {{'p', ArgumentLocation::kPath},
                                                           {'q', ArgumentLocation::kQuery},
                                                           {'h', ArgumentLocation::kHeader},
                                                           {'b', ArgumentLocation::kBody}};
  std::vector<Parameter> parameters;
  std::istringstream words{std::string(spec)};
  for (std::string word; words >> word;) {
    Parameter parameter;
    if (word.back() == '?') {
      parameter.optional = true;
      word.pop_back();
    }
    parameter.type.type = NativeType::String;
    if (const size_t colon = word.find(':'); colon != std::string::npos) {
      parameter.type.type = kTypes.at(word[colon + 1]);
      word.resize(colon);
    }
    if (const size_t at = word.find('@'); at != std::string::npos) {
      parameter.location = kPlaces.at(word[at + 1]);
      word.resize(at);
    }
    parameter.name = word;
    parameters.push_back(std::move(parameter));
  }
  return parameters;
}

// Keeps the arguments it was called with and answers with a preset result.
class RecordingHandler : public Handler {
 public:
  struct Log {
    int calls = 0;
    std::vector<BindingProperty> arguments;
  };
  RecordingHandler(Log& log, std::function<void(CallResult&)> answer = {})
      : log_(log), answer_(std::move(answer)) {}

  uintptr_t Invoke(CallResult& result, std::span<BindingProperty> arguments, uintptr_t) override {
    ++log_.calls;
    log_.arguments.assign(arguments.begin(), arguments.end());
    if (answer_) answer_(result);
    return 0;
  }
  TypeDescriptor ResultType() const override { return {}; }

 private:
  Log& log_;
  std::function<void(CallResult&)> answer_;
};

using Headers = std::vector<std::pair<std::string, std::string>>;

// One call's request with the storage its pointers refer to.
struct Request {
  uint32_t method = PLUGIN_METHOD_GET;
  std::string path;
  Headers headers;
  std::optional<std::string> contentType;
  std::optional<std::string> body;
  std::vector<HostArgument> arguments;
};

class DispatchTest : public ::testing::Test {
 protected:
  Function& Add(uint32_t method, const char* templ, std::vector<Parameter> parameters,
                std::function<void(CallResult&)> answer = {}) {
    return dispatcher_.Add(method, templ, std::move(parameters),
                           std::make_unique<RecordingHandler>(log_, std::move(answer)));
  }

  // Calls `function` through the call entry, as the host does; returns the response (the
  // test releases it).
  PluginLocalResponse Call(const Function& function, const Request& request) {
    std::vector<HostHeader> headers;
    for (const auto& [name, value] : request.headers)
      headers.push_back({name.c_str(), value.c_str()});
    PluginLocalRequest record{};
    record.method = request.method;
    record.path = request.path.c_str();
    record.arguments = request.arguments.empty() ? nullptr : request.arguments.data();
    record.argumentCount = static_cast<uint32_t>(request.arguments.size());
    record.context = dispatcher_.ContextOf(function);
    record.headers = headers.empty() ? nullptr : headers.data();
    record.headerCount = static_cast<uint32_t>(headers.size());
    record.contentType = request.contentType ? request.contentType->c_str() : nullptr;
    // The body's bytes alone, with no NUL after them: ASan sees a read past the length.
    std::vector<char> body;
    if (request.body) {
      body.assign(request.body->begin(), request.body->end());
      record.body = body.empty() ? "" : body.data();
      record.bodyLength = static_cast<uint32_t>(body.size());
    }
    PluginLocalResponse response;
    std::memset(&response, 0xAB, sizeof(response));  // the entry must not trust what it gets
    Dispatcher::CallEntry(&response, &record);
    return response;
  }

  // The error text of a call, or "" when it succeeded; releases the response.
  std::string ErrorOf(const Function& function, const Request& request) {
    log_.calls = 0;
    PluginLocalResponse response = Call(function, request);
    std::string error = response.errorText ? response.errorText : "";
    response.release(&response);
    EXPECT_EQ(log_.calls, error.empty() ? 1 : 0);  // no handler call after a failure
    return error;
  }

  // The error text of a call, or the arguments the handler got as a JSON array.
  std::string Outcome(const Function& function, const Request& request) {
    const std::string error = ErrorOf(function, request);
    if (!error.empty()) return error;
    BindingProperty list;
    list.SetCollection();
    for (const BindingProperty& argument : log_.arguments)
      list.Append() = argument;
    return WriteJson(list);
  }

  TypeRegistry registry_;
  Dispatcher dispatcher_{registry_};
  RecordingHandler::Log log_;
};

// Text arguments from headers, path captures and the query, in that order: a later source
// replaces what an earlier one gave a parameter. Structured parameters decode JSON, YAML and
// MessagePack texts; dotted names reach into them.
TEST_F(DispatchTest, BindsTextArguments) {
  struct Row {
    const char* path;
    Headers headers;
    std::string expected;  // the arguments as JSON, or the error text
  };
  struct Group {
    const char* templ;
    const char* params;
    std::vector<Row> rows;
  };
  const Group groups[] = {
      {"/s/{id}",
       "id@p filter@q userAgent@h count:i",
       {{"/s/a%20b?filter=x%2By&count=1&count=2",
         {{"useragent", "client/1"}, {"UserAgent", "ignored"}},
         R"(["a b","x+y","client/1","2"])"}}},
      {"/p/{id}",
       "id@p q@q name h@h",
       {{"/p/1?q=a", {}, R"(["1","a",null,null])"},
        {"/p/1?id=2", {}, "Argument 'id' for 'GetPById' was specified in an invalid location."},
        {"/p/1?zz.a=1", {}, "Unknown argument 'zz' for 'GetPById'."},
        {"/p/1?name=", {}, "Expected value for argument 'name'."},
        // The first failure stays: the unknown name comes before the bad location.
        {"/p/1?zz=1&id=3", {}, "Unknown argument 'zz' for 'GetPById'."},
        // A header is looked up for header and any-place parameters only.
        {"/p/1", {{"q", "x"}, {"name", "n"}, {"h", "v"}}, R"(["1",null,"n","v"])"},
        {"/p/1?name=q", {{"name", "h"}}, R"(["1",null,"q",null])"}}},
      // Header, then path, then query: the last source that names a parameter gives its value.
      {"/o/{x}", "x", {{"/o/p", {{"x", "h"}}, R"(["p"])"}, {"/o/p?x=q", {{"x", "h"}}, R"(["q"])"}}},
      // Captures beyond the call's inline room; the last of a repeated header counts.
      {"/m/{a}/{b}/{c}/{d}/{e}/{f}/{g}/{h}/{i}/{j}",
       "a@p b@p c@p d@p e@p f@p g@p h@p i@p j@p t@h",
       {{"/m/1/%41/x+y/4/5/6/7/8/9/%2F%zz",
         {{"t", "first"}, {"T", "other"}, {"t", "last"}},
         R"(["1","A","x y","4","5","6","7","8","9","/%zz","last"])"}}},
      {"/r/{x}/{x}", "x@p", {{"/r/a%20/b%21", {}, R"(["b!"])"}}},  // the last capture of a name
      {"/w/{x}/{y}",
       "x@q",
       {{"/w/1/2", {}, "Argument 'x' for 'GetWByXByY' was specified in an invalid location."},
        {"/w/1", {}, "Invalid function"}}},
      // Nobody mentions "flag": false; "maybe" is optional: Empty; a bare name sets a bool.
      {"/d",
       "flag:b maybe:b? set:b object:o record:r list:v",
       {{"/d?set&object=&record&list=", {}, "[false,null,true,{},{},[]]"}}},
      {"/x",
       "items:v cost:r",
       {{"/x?items.2=c&cost.amount=5&cost.parts.1.name=n",
         {},
         R"([[null,null,"c"],{"amount":"5","parts":[null,{"name":"n"}]}])"},
        {"/x?items.x2=c", {}, "Index x2 is in an incorrect format"},
        {"/x?items.08=c", {}, "Index 08 is in an incorrect format"},
        {"/x?items.65536=c", {}, "Index 65536 is out of range"}}},
      {"/t/{+rest}",
       "rest:o obj:o text",
       {{"/t/x?obj=%7B%22a%22%3A1%7D", {}, R"(["x",{"a":1},null])"},
        {"/t/x?obj=%20%5B1%2C2%5D", {}, R"(["x",[1,2],null])"},  // JSON after spaces
        {"/t/x?obj=---%0Aa%3A%201", {}, R"(["x",{"a":1},null])"},
        // A string parameter keeps an encoded text as it is.
        {"/t/x?obj=%81%A1a%01&text=%7Bnot", {}, R"(["x",{"a":1},"{not"])"},
        {"/t/x?obj=---%0Aa%3A%20%5B1",
         {},
         "Couldn't deserialize YAML value for parameter 'obj' of 'GetTByRest': YAML parser "
         "error: did not find expected ',' or ']'. At line: 2 col: 0"},
        {"/t/x?obj=%81%01%02",
         {},
         "Couldn't deserialize MessagePack value for parameter 'obj' of 'GetTByRest': Invalid "
         "MessagePack data at position 1. Map keys must be strings."},
        {"/t/%5Bno",
         {},
         "Couldn't deserialize JSON value for parameter 'rest' of 'GetTByRest': Error: Invalid "
         "value. at offset 2."}}},
  };
  for (const Group& group : groups) {
    Function& function = Add(PLUGIN_METHOD_GET, group.templ, Params(group.params));
    for (const Row& row : group.rows) {
      SCOPED_TRACE(row.path);
      Request request;
      request.path = row.path;
      request.headers = row.headers;
      EXPECT_EQ(Outcome(function, request), row.expected);
    }
  }
}

TEST_F(DispatchTest, TypedArgumentsByNameAndPosition) {
  Function& function = Add(PLUGIN_METHOD_GET, "/a/{first}", Params("first second:i third:o"));
  HostValue number{};
  number.tag = HOST_VALUE_SIGNED;
  number.data.signedValue = 42;
  HostValue text{};
  text.tag = HOST_VALUE_STRING;
  text.length = 2;
  text.data.text = "hi!";  // read bounded by the length: "hi"
  HostValue bad{};
  bad.tag = 12;

  Request request;
  request.path = "/a/p";
  // Position 0 skips the one path capture: it is "second".
  request.arguments = {{nullptr, number}, {"third", text}};
  EXPECT_EQ(Outcome(function, request), R"(["p",42,"hi"])");
  request.arguments = {{nullptr, number}, {nullptr, number}, {nullptr, number}};
  EXPECT_EQ(ErrorOf(function, request), "Unknown argument '2' for 'GetAByFirst'.");
  request.arguments = {{"fourth", number}};
  EXPECT_EQ(ErrorOf(function, request), "Unknown argument 'fourth' for 'GetAByFirst'.");
  request.arguments = {{"third", bad}};
  EXPECT_EQ(ErrorOf(function, request),
            "Couldn't assign value to 'third' of type object because the input is of an "
            "incompatible type ''.");
}

TEST_F(DispatchTest, BodyContentTypes) {
  Function& function = Add(PLUGIN_METHOD_POST, "/b", Params("body@b:o"));
  const std::string msgpack = "\x81\xA1k\x07";
  struct Case {
    const char* name;
    std::optional<std::string> contentType;
    std::string body;
    const char* error;
  };
  const Case cases[] = {
      {"json with charset", "application/json; charset=utf-8", R"({"k":7})", ""},
      {"capitals", "APPLICATION/JSON", R"({"k":7})", ""},
      {"api json", "application/vnd.api+json", R"({"k":7})", ""},
      {"yaml", "application/x-yaml", "k: 7", ""},
      {"text yaml", "text/x-yaml", "k: 7", "Unsupported body content type"},
      {"no content type", std::nullopt, R"({"k":7})", "Unsupported body content type"},
      {"msgpack", "application/x-msgpack", msgpack, ""},
      {"msgpack ext", "application/x-msgpack-ext", msgpack, ""},
      {"msgpack extra byte", "application/x-msgpack", msgpack + "\x01",
       "Extra MessgePack data found in body"},
      {"json NUL inside", "application/json", std::string(R"({"k":7})") + '\0' + "junk", ""},
      {"bad json", "application/json", "{",
       "Error: Missing a name for object member. at offset 1."},
      {"empty json", "application/json", "", ""},  // the body parameter is Empty
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Request request;
    request.method = PLUGIN_METHOD_POST;
    request.path = "/b";
    request.contentType = c.contentType;
    request.body = c.body;
    EXPECT_EQ(ErrorOf(function, request), c.error);
    if (*c.error == '\0') {
      EXPECT_EQ(WriteJson(log_.arguments[0]), c.body.empty() ? "" : R"({"k":7})");
    }
  }
  // A body without a body parameter is ignored.
  Function& without = Add(PLUGIN_METHOD_POST, "/n", {});
  Request request;
  request.method = PLUGIN_METHOD_POST;
  request.path = "/n";
  request.contentType = "text/plain";
  request.body = "x";
  EXPECT_EQ(ErrorOf(without, request), "");
}

// A call of another method, or one without the context word, reaches no function.
TEST_F(DispatchTest, InvalidFunction) {
  Function& function = Add(PLUGIN_METHOD_PUT, "/v/{id}", Params("id"));
  Request request;
  request.path = "/v/1";  // a GET
  PluginLocalResponse response = Call(function, request);
  EXPECT_EQ(response.status, 404u);
  response.release(&response);
  PluginLocalRequest record{};
  Dispatcher::CallEntry(&response, &record);
  EXPECT_STREQ(response.errorText, "Invalid function");
  response.release(&response);
}

enum class Colour : int32_t { Red = 1, Blue = 2 };

// Enum values go out by name (a value without one as its number); releasing the record frees
// every owned part (ASan reports leaks otherwise) and may be repeated.
TEST_F(DispatchTest, WritesTheReplyRecord) {
  DeclareEnum<Colour>(registry_, "Colour").Value("Red", Colour::Red).Value("Blue", Colour::Blue);
  Function& function = Add(PLUGIN_METHOD_GET, "/r", {}, [](CallResult& result) {
    BindingProperty value;
    value.MutableMember("colour") = EnumValue{2, StaticType::Id<Colour>()};
    value.MutableMember("unnamed") = EnumValue{9, StaticType::Id<Colour>()};
    result.value = std::move(value);
    result.status = 201;
    result.statusText = "Created";
    result.headers["X-One"] = "1";
    result.formatFlag = 1;
  });
  Request request;
  request.path = "/r";
  PluginLocalResponse response = Call(function, request);
  EXPECT_EQ(response.errorText, nullptr);
  EXPECT_EQ(response.status, 201u);
  EXPECT_STREQ(response.statusText, "Created");
  EXPECT_EQ(response.formatFlag, 1);
  ASSERT_EQ(response.headerCount, 1u);
  EXPECT_STREQ(response.headers[0].value, "1");
  ASSERT_EQ(response.body.length, 2u);
  EXPECT_STREQ(response.body.data.entries[0].value.data.text, "Blue");
  EXPECT_EQ(response.body.data.entries[1].value.data.signedValue, 9);
  response.release(&response);
  EXPECT_EQ(response.release, nullptr);
  response.release = ReleaseResponse;
  response.release(&response);
}

// JSON, YAML and MessagePack reply formats reach the host as the handler chose them; any other
// code reaches it as 0.
TEST_F(DispatchTest, ReplyFormatsPassThrough) {
  const uint32_t formats[] = {PLUGIN_REPLY_FORMAT_JSON, PLUGIN_REPLY_FORMAT_YAML,
                              PLUGIN_REPLY_FORMAT_MSGPACK, 7};
  for (uint32_t format : formats) {
    Function& function = Add(PLUGIN_METHOD_GET, "/f", {},
                             [format](CallResult& result) { result.replyFormat = format; });
    Request request;
    request.path = "/f";
    PluginLocalResponse response = Call(function, request);
    EXPECT_EQ(response.replyFormat, format == 7 ? 0u : format);
    response.release(&response);
  }
}

class CountingStream : public BodyStream {
 public:
  explicit CountingStream(int& destroyed) : destroyed_(destroyed) {}
  ~CountingStream() override { ++destroyed_; }
  bool Read(void* buffer, uint32_t capacity, uint32_t& bytesRead, bool& more) override {
    bytesRead = capacity < 3 ? capacity : 3;
    std::memcpy(buffer, "abc", bytesRead);
    more = false;
    return true;
  }
  uint32_t Size() const override { return 3; }

 private:
  int& destroyed_;
};

TEST_F(DispatchTest, HandsStreamsToTheHost) {
  int destroyed = 0;
  Function& function = Add(PLUGIN_METHOD_GET, "/s", {}, [&destroyed](CallResult& result) {
    result.stream = std::make_unique<CountingStream>(destroyed);
  });
  Request request;
  request.path = "/s";
  PluginLocalResponse response = Call(function, request);
  ASSERT_NE(response.streamRead, nullptr);
  EXPECT_EQ(response.streamLengthHint, 3u);
  char buffer[8] = {};
  uint32_t read = 0;
  uint8_t more = 1;
  EXPECT_EQ(response.streamRead(response.streamHandle, buffer, sizeof(buffer), &read, &more), 0);
  EXPECT_EQ(std::string(buffer, read), "abc");
  EXPECT_EQ(more, 0);
  response.streamClose(response.streamHandle);
  EXPECT_EQ(destroyed, 1);
  response.release(&response);
}

// Asks for the request context and keeps what it saw.
class ContextHandler : public Handler {
 public:
  uintptr_t Invoke(CallResult&, std::span<BindingProperty>, uintptr_t) override { return 7; }
  void Finish(CallResult& result, const RequestContext* context, uintptr_t token,
              uintptr_t callerHandle) override {
    ASSERT_NE(context, nullptr);
    seen = *context;
    finishedWith = token;
    caller = callerHandle;
    result.value = BindingProperty("done");
  }
  void Release(uintptr_t token) override { released = token; }
  TypeDescriptor ResultType() const override { return {}; }
  bool WantsRequestContext() const override { return true; }

  RequestContext seen;
  uintptr_t finishedWith = 0, caller = 0, released = 0;
};

TEST_F(DispatchTest, InvokedFunctionsGetTheirRequestContext) {
  auto owned = std::make_unique<ContextHandler>();
  ContextHandler& handler = *owned;
  int module = 0;
  Dispatcher dispatcher(registry_, &module);
  Function& function = dispatcher.Add(PLUGIN_METHOD_INVOKE, "/i", {}, std::move(owned), "Run");
  EXPECT_EQ(function.name, "I");
  HostHeader header{"X-Trace", "t1"};
  PluginLocalRequest record{};
  record.method = PLUGIN_METHOD_INVOKE;
  record.invocationName = "Run";
  record.path = "/i";
  record.context = dispatcher.ContextOf(function);
  record.headers = &header;
  record.headerCount = 1;
  record.callerHandle = 99;
  PluginLocalResponse response{};
  Dispatcher::CallEntry(&response, &record);
  EXPECT_EQ(response.errorText, nullptr);
  EXPECT_STREQ(response.body.data.text, "done");
  response.release(&response);
  EXPECT_EQ(handler.finishedWith, 7u);
  EXPECT_EQ(handler.released, 7u);
  EXPECT_EQ(handler.caller, 99u);
  EXPECT_EQ(handler.seen.module, &module);
  EXPECT_EQ(handler.seen.invocationName, "Run");
  EXPECT_EQ(handler.seen.path, "/i");
  EXPECT_EQ(handler.seen.headers.at("X-Trace"), "t1");
}

TEST_F(DispatchTest, HugeRequestsFailCleanly) {
  Function& function = Add(PLUGIN_METHOD_GET, "/h/{+rest}", Params("rest"));
  Request request;
  request.path = "/h/x?";
  for (int i = 0; i < 100000; ++i)
    request.path += i == 0 ? "rest.a=1" : "&rest.a=1";
  EXPECT_EQ(ErrorOf(function, request), "");  // the repeats collapse to one argument
  request.path = "/h/x?rest.";
  request.path += std::string(1 << 20, '9');
  EXPECT_EQ(ErrorOf(function, request).substr(0, 12), "Index 999999");
}

}  // namespace
}  // namespace qor
