// Request dispatch through the call entry: argument sources, locations, defaults, dotted
// names, typed arguments, bodies, handler results and the reply record.
#include "api/dispatch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "binding/record.h"

namespace qor {
namespace {

TypeDescriptor Type(NativeType type, NativeType element = NativeType::None) {
  TypeDescriptor descriptor;
  descriptor.type = type;
  descriptor.element = element;
  return descriptor;
}

Parameter Param(std::string name, NativeType type,
                ArgumentLocation location = ArgumentLocation::kAny, bool optional = false) {
  Parameter parameter;
  parameter.name = std::move(name);
  parameter.type = Type(type);
  parameter.location = location;
  parameter.optional = optional;
  return parameter;
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

// One call's request with the storage its pointers refer to.
struct Request {
  uint32_t method = PLUGIN_METHOD_GET;
  std::string path;
  std::vector<std::pair<std::string, std::string>> headers;
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
    if (request.body) {
      record.body = request.body->data();
      record.bodyLength = static_cast<uint32_t>(request.body->size());
    }
    PluginLocalResponse response;
    std::memset(&response, 0xAB, sizeof(response));  // the entry must not trust what it gets
    Dispatcher::CallEntry(&response, &record);
    return response;
  }

  // The error text of a call, or "" when it succeeded; releases the response.
  std::string ErrorOf(const Function& function, const Request& request) {
    PluginLocalResponse response = Call(function, request);
    std::string error = response.errorText ? response.errorText : "";
    response.release(&response);
    return error;
  }

  TypeRegistry registry_;
  Dispatcher dispatcher_{registry_};
  RecordingHandler::Log log_;
};

TEST_F(DispatchTest, BindsEverySource) {
  Function& function = Add(PLUGIN_METHOD_POST, "/s/{id}",
                           {Param("id", NativeType::String, ArgumentLocation::kPath),
                            Param("filter", NativeType::String, ArgumentLocation::kQuery),
                            Param("userAgent", NativeType::String, ArgumentLocation::kHeader),
                            Param("count", NativeType::Int32),
                            Param("body", NativeType::Object, ArgumentLocation::kBody)});
  Request request;
  request.method = PLUGIN_METHOD_POST;
  request.path = "/s/a%20b?filter=x%2By&count=1&count=2";
  request.headers = {{"useragent", "client/1"}, {"UserAgent", "ignored"}};
  request.contentType = "application/json";
  request.body = R"({"k":[1]})";
  EXPECT_EQ(ErrorOf(function, request), "");
  ASSERT_EQ(log_.calls, 1);
  EXPECT_EQ(log_.arguments[0].GetString(), "a b");
  EXPECT_EQ(log_.arguments[1].GetString(), "x+y");
  EXPECT_EQ(log_.arguments[2].GetString(), "client/1");
  EXPECT_EQ(log_.arguments[3].GetString(), "2");  // a repeated name keeps the last value
  EXPECT_EQ(log_.arguments[4].Member("k").Element(0).GetUnsigned(), 1u);
}

TEST_F(DispatchTest, ChecksNamesAndLocations) {
  Function& function = Add(
      PLUGIN_METHOD_GET, "/p/{id}",
      {Param("id", NativeType::String, ArgumentLocation::kPath),
       Param("q", NativeType::String, ArgumentLocation::kQuery), Param("name", NativeType::String),
       Param("h", NativeType::String, ArgumentLocation::kHeader)});
  struct Case {
    const char* path;
    std::vector<std::pair<std::string, std::string>> headers;
    const char* error;
  };
  const Case cases[] = {
      {"/p/1?q=a", {}, ""},
      {"/p/1?id=2", {}, "Argument 'id' for 'GetPById' was specified in an invalid location."},
      {"/p/1?h=2", {}, "Argument 'h' for 'GetPById' was specified in an invalid location."},
      {"/p/1?zz=1", {}, "Unknown argument 'zz' for 'GetPById'."},
      {"/p/1?zz.a=1", {}, "Unknown argument 'zz' for 'GetPById'."},
      {"/p/1?name=", {}, "Expected value for argument 'name'."},
      {"/p/1", {{"q", "header for a query parameter is not looked up"}}, ""},
      // The first failure stays: the unknown name comes before the bad location.
      {"/p/1?zz=1&id=3", {}, "Unknown argument 'zz' for 'GetPById'."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    log_.calls = 0;
    Request request;
    request.path = c.path;
    request.headers = c.headers;
    const std::string expected = c.error;
    EXPECT_EQ(ErrorOf(function, request), expected);
    EXPECT_EQ(log_.calls, expected.empty() ? 1 : 0);  // no handler call after a failure
  }
}

// Captures and headers are bound without building maps: the decoded texts, a name repeated in
// the template, more captures and parameters than fit the call's inline room, repeated headers.
TEST_F(DispatchTest, BindsCapturesAndHeadersInOrder) {
  std::vector<Parameter> parameters;
  std::string templ = "/m";
  for (char name = 'a'; name <= 'j'; ++name) {
    parameters.push_back(Param(std::string(1, name), NativeType::String, ArgumentLocation::kPath));
    templ += "/{" + std::string(1, name) + "}";
  }
  parameters.push_back(Param("token", NativeType::String, ArgumentLocation::kHeader));
  Function& many = Add(PLUGIN_METHOD_GET, templ.c_str(), std::move(parameters));
  Request request;
  request.path = "/m/1/%41/x+y/4/5/6/7/8/9/%2F%zz?";
  request.headers = {{"token", "first"}, {"Token", "other"}, {"token", "last"}};
  ASSERT_EQ(ErrorOf(many, request), "");
  ASSERT_EQ(log_.arguments.size(), 11u);
  const char* expected[] = {"1", "A", "x y", "4", "5", "6", "7", "8", "9", "/%zz", "last"};
  for (size_t i = 0; i < std::size(expected); ++i)
    EXPECT_EQ(log_.arguments[i].GetString(), expected[i]) << i;

  Function& twice = Add(PLUGIN_METHOD_GET, "/r/{x}/{x}",
                        {Param("x", NativeType::String, ArgumentLocation::kPath)});
  request = Request();
  request.path = "/r/a%20/b%21";
  ASSERT_EQ(ErrorOf(twice, request), "");
  EXPECT_EQ(log_.arguments[0].GetString(), "b!");  // the last capture of a name counts

  Function& wrong = Add(PLUGIN_METHOD_GET, "/w/{x}/{y}",
                        {Param("x", NativeType::String, ArgumentLocation::kQuery)});
  request.path = "/w/1/2";
  EXPECT_EQ(ErrorOf(wrong, request),
            "Argument 'x' for 'GetWByXByY' was specified in an invalid location.");
  request.path = "/w/1";
  EXPECT_EQ(ErrorOf(wrong, request), "Invalid function");
}

TEST_F(DispatchTest, DefaultsAndEmptyTexts) {
  Function& function =
      Add(PLUGIN_METHOD_GET, "/d",
          {Param("flag", NativeType::Bool),
           Param("maybe", NativeType::Bool, ArgumentLocation::kAny, true),
           Param("set", NativeType::Bool), Param("object", NativeType::Object),
           Param("record", NativeType::Struct), Param("list", NativeType::Vector)});
  Request request;
  request.path = "/d?set&object=&record&list=";
  EXPECT_EQ(ErrorOf(function, request), "");
  ASSERT_EQ(log_.arguments.size(), 6u);
  EXPECT_EQ(log_.arguments[0].Kind(), BindingKind::Bool);  // nobody mentions it: false
  EXPECT_FALSE(log_.arguments[0].GetBool(true));
  EXPECT_TRUE(log_.arguments[1].IsEmpty());  // optional: left Empty
  EXPECT_TRUE(log_.arguments[2].GetBool());  // a name without "=" sets a bool
  EXPECT_EQ(log_.arguments[3].Kind(), BindingKind::Structure);
  EXPECT_EQ(log_.arguments[4].Kind(), BindingKind::Structure);
  EXPECT_EQ(log_.arguments[5].Kind(), BindingKind::Collection);
  EXPECT_EQ(log_.arguments[5].Size(), 0u);
}

TEST_F(DispatchTest, DottedNames) {
  Function& function = Add(PLUGIN_METHOD_GET, "/x",
                           {Param("items", NativeType::Vector), Param("cost", NativeType::Struct)});
  struct Case {
    const char* query;
    const char* error;
  };
  const Case cases[] = {
      {"items.2=c&cost.amount=5", ""},
      {"items.x2=c", "Index x2 is in an incorrect format"},
      {"items.1a=c", "Index 1a is in an incorrect format"},
      {"items.08=c", "Index 08 is in an incorrect format"},
      {"items.99999999999=c", "Index 99999999999 is out of range"},
      {"items.2000000000=c", "Index 2000000000 is out of range"},
      {"items.65536=c", "Index 65536 is out of range"},
      {"items.0x10=c", ""},
      {"cost.parts.1.name=n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    Request request;
    request.path = std::string("/x?") + c.query;
    EXPECT_EQ(ErrorOf(function, request), c.error);
  }
  Request request;
  request.path = "/x?items.2=c&cost.amount=5&cost.parts.1.name=n";
  ASSERT_EQ(ErrorOf(function, request), "");
  const BindingProperty& items = log_.arguments[0];
  ASSERT_EQ(items.Kind(), BindingKind::Collection);
  ASSERT_EQ(items.Size(), 3u);
  EXPECT_TRUE(items.Element(0).IsEmpty());
  EXPECT_EQ(items.Element(2).GetString(), "c");
  const BindingProperty& cost = log_.arguments[1];
  EXPECT_EQ(cost.Member("amount").GetString(), "5");  // stored as text, never decoded
  EXPECT_EQ(cost.Member("parts").Element(1).Member("name").GetString(), "n");
}

TEST_F(DispatchTest, DecodesStructuredTexts) {
  Function& function = Add(PLUGIN_METHOD_GET, "/t/{+rest}",
                           {Param("rest", NativeType::Object), Param("obj", NativeType::Object),
                            Param("text", NativeType::String)});
  struct Case {
    const char* path;
    const char* error;
  };
  const Case cases[] = {
      {"/t/x?obj=%7B%22a%22%3A1%7D", ""},
      {"/t/x?obj=%20%5B1%2C2%5D", ""},
      {"/t/x?obj=---%0Aa%3A%201", ""},
      {"/t/x?obj=%81%A1a%01", ""},
      {"/t/x?obj=%7Bbad",
       "Couldn't deserialize JSON value for parameter 'obj' of 'GetTByRest': Error: Missing a "
       "name for object member. at offset 1."},
      {"/t/x?obj=%81%01%02",
       "Couldn't deserialize MessagePack value for parameter 'obj' of 'GetTByRest': Invalid "
       "MessagePack data at position 1. Map keys must be strings."},
      {"/t/%5Bno",
       "Couldn't deserialize JSON value for parameter 'rest' of 'GetTByRest': Error: "
       "Invalid value. at offset 2."},
      {"/t/x?text=%7Bnot%20json", ""},  // a string parameter keeps the text as it is
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    Request request;
    request.path = c.path;
    EXPECT_EQ(ErrorOf(function, request), c.error);
  }
  Request request;
  request.path = "/t/x?obj=%81%A1a%01&text=%7Bnot";
  ASSERT_EQ(ErrorOf(function, request), "");
  EXPECT_EQ(log_.arguments[1].Member("a").GetSigned(), 1);
  EXPECT_EQ(log_.arguments[2].GetString(), "{not");
  request.path = "/t/x?obj=---%0Aa%3A%201";
  ASSERT_EQ(ErrorOf(function, request), "");
  EXPECT_EQ(log_.arguments[1].Member("a").GetUnsigned(), 1u);
}

TEST_F(DispatchTest, TypedArgumentsByNameAndPosition) {
  Function& function = Add(PLUGIN_METHOD_GET, "/a/{first}",
                           {Param("first", NativeType::String), Param("second", NativeType::Int32),
                            Param("third", NativeType::Object)});
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
  EXPECT_EQ(ErrorOf(function, request), "");
  EXPECT_EQ(log_.arguments[0].GetString(), "p");
  EXPECT_EQ(log_.arguments[1].GetSigned(), 42);
  EXPECT_EQ(log_.arguments[2].GetString(), "hi");

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
  Function& function =
      Add(PLUGIN_METHOD_POST, "/b", {Param("body", NativeType::Object, ArgumentLocation::kBody)});
  const std::string msgpack = "\x81\xA1k\x07";
  struct Case {
    const char* name;
    std::optional<std::string> contentType;
    std::string body;
    const char* error;
  };
  const Case cases[] = {
      {"json", "application/json", R"({"k":7})", ""},
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
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log_ = {};
    Request request;
    request.method = PLUGIN_METHOD_POST;
    request.path = "/b";
    request.contentType = c.contentType;
    request.body = c.body;
    EXPECT_EQ(ErrorOf(function, request), c.error);
    if (*c.error == '\0') {
      ASSERT_EQ(log_.calls, 1);
      EXPECT_EQ(log_.arguments[0].Member("k").ToSigned(), 7);
    }
  }
}

TEST_F(DispatchTest, BodiesAreReadWithinTheirLength) {
  Function& function =
      Add(PLUGIN_METHOD_POST, "/b", {Param("body", NativeType::Object, ArgumentLocation::kBody)});
  // The body is the first seven bytes of a longer buffer with no NUL after them.
  const std::string buffer = R"({"k":7}{"k":8})";
  std::vector<char> heap(buffer.begin(), buffer.begin() + 7);  // ASan sees any overrun
  PluginLocalRequest record{};
  record.method = PLUGIN_METHOD_POST;
  record.path = "/b";
  record.context = dispatcher_.ContextOf(function);
  record.contentType = "application/x-yaml";
  record.body = heap.data();
  record.bodyLength = 7;
  PluginLocalResponse response{};
  Dispatcher::CallEntry(&response, &record);
  EXPECT_EQ(response.errorText, nullptr);
  response.release(&response);
  EXPECT_EQ(log_.arguments[0].Member("k").ToSigned(), 7);

  // An empty JSON body gives the body parameter an Empty value.
  record.contentType = "application/json";
  record.bodyLength = 0;
  Dispatcher::CallEntry(&response, &record);
  EXPECT_EQ(response.errorText, nullptr);
  response.release(&response);
  EXPECT_TRUE(log_.arguments[0].IsEmpty());
}

TEST_F(DispatchTest, BodyFailureReplacesEarlierFailureAndBodiesWithoutParameterAreIgnored) {
  Function& withBody =
      Add(PLUGIN_METHOD_POST, "/b", {Param("body", NativeType::Object, ArgumentLocation::kBody)});
  Function& without = Add(PLUGIN_METHOD_POST, "/n", {});
  Request request;
  request.method = PLUGIN_METHOD_POST;
  request.path = "/b?unknown=1";
  request.contentType = "text/plain";
  request.body = "x";
  EXPECT_EQ(ErrorOf(withBody, request), "Unsupported body content type");
  request.path = "/n";
  EXPECT_EQ(ErrorOf(without, request), "");
}

TEST_F(DispatchTest, InvalidFunction) {
  Function& function = Add(PLUGIN_METHOD_PUT, "/v/{id}", {Param("id", NativeType::String)});
  const std::pair<uint32_t, const char*> cases[] = {
      {PLUGIN_METHOD_GET, "/v/1"}, {PLUGIN_METHOD_PUT, "/v/1/2"}, {PLUGIN_METHOD_PUT, "/w/1"}};
  for (const auto& [method, path] : cases) {
    SCOPED_TRACE(path);
    Request request;
    request.method = method;
    request.path = path;
    PluginLocalResponse response = Call(function, request);
    EXPECT_STREQ(response.errorText, "Invalid function");
    EXPECT_EQ(response.status, 404u);
    response.release(&response);
  }
  PluginLocalRequest record{};
  PluginLocalResponse response{};
  Dispatcher::CallEntry(&response, &record);  // no context word
  EXPECT_STREQ(response.errorText, "Invalid function");
  EXPECT_EQ(response.status, 404u);
  response.release(&response);
  EXPECT_EQ(log_.calls, 0);
}

enum class Colour : int32_t { Red = 1, Blue = 2 };

TEST_F(DispatchTest, WritesTheReplyRecord) {
  DeclareEnum<Colour>(registry_, "Colour").Value("Red", Colour::Red).Value("Blue", Colour::Blue);
  Function& function = Add(PLUGIN_METHOD_GET, "/r", {}, [](CallResult& result) {
    BindingProperty value;
    value.MutableMember("colour") = EnumValue{2, StaticType::Id<Colour>()};
    value.MutableMember("unnamed") = EnumValue{9, StaticType::Id<Colour>()};
    value.MutableMember("list").Append() = "x";
    result.value = std::move(value);
    result.status = 201;
    result.statusText = "Created";
    result.headers["X-One"] = "1";
    result.replyFormat = 7;  // not a reply format: reaches the host as 0
    result.formatFlag = 1;
  });
  Request request;
  request.path = "/r";
  PluginLocalResponse response = Call(function, request);
  EXPECT_EQ(response.errorText, nullptr);
  EXPECT_EQ(response.status, 201u);
  EXPECT_STREQ(response.statusText, "Created");
  EXPECT_EQ(response.replyFormat, 0u);
  EXPECT_EQ(response.formatFlag, 1);
  ASSERT_EQ(response.headerCount, 1u);
  EXPECT_STREQ(response.headers[0].name, "X-One");
  EXPECT_STREQ(response.headers[0].value, "1");
  ASSERT_EQ(response.body.tag, uint32_t{HOST_VALUE_STRUCTURE});
  ASSERT_EQ(response.body.length, 3u);
  const HostValue& colour = response.body.data.entries[0].value;
  EXPECT_EQ(colour.tag, uint32_t{HOST_VALUE_OWNED_STRING});
  EXPECT_STREQ(colour.data.text, "Blue");
  const HostValue& unnamed = response.body.data.entries[2].value;
  EXPECT_EQ(unnamed.tag, uint32_t{HOST_VALUE_SIGNED});
  EXPECT_EQ(unnamed.data.signedValue, 9);
  ASSERT_NE(response.release, nullptr);
  response.release(&response);  // every owned part freed: ASan reports leaks otherwise
  EXPECT_EQ(response.body.tag, 0u);
  EXPECT_EQ(response.statusText, nullptr);
  EXPECT_EQ(response.release, nullptr);
  response.release = ReleaseResponse;
  response.release(&response);  // releasing a released record is harmless
}

TEST_F(DispatchTest, HandlerFailuresCarryTheirStatus) {
  Function& failing = Add(PLUGIN_METHOD_GET, "/f", {}, [](CallResult& result) {
    result.status = 503;
    result.Fail(Failure("Service down"));
  });
  Request request;
  request.path = "/f";
  PluginLocalResponse response = Call(failing, request);
  EXPECT_STREQ(response.errorText, "Service down");
  EXPECT_EQ(response.errorTextOwned, 1);
  EXPECT_EQ(response.status, 503u);
  EXPECT_STREQ(response.statusText, "");  // none set: the empty text
  EXPECT_EQ(response.body.tag, 0u);
  response.release(&response);

  // An argument failure sets no status.
  Function& strict = Add(PLUGIN_METHOD_GET, "/g", {});
  request.path = "/g?x=1";
  response = Call(strict, request);
  EXPECT_STREQ(response.errorText, "Unknown argument 'x' for 'GetG'.");
  EXPECT_EQ(response.status, 0u);
  response.release(&response);
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

  record.invocationName = "Walk";  // another invocation name: not this function
  Dispatcher::CallEntry(&response, &record);
  EXPECT_STREQ(response.errorText, "Invalid function");
  response.release(&response);
}

TEST_F(DispatchTest, HugeRequestsFailCleanly) {
  Function& function = Add(PLUGIN_METHOD_GET, "/h/{+rest}", {Param("rest", NativeType::String)});
  Request request;
  request.path = "/h/" + std::string(1 << 20, 'r');
  EXPECT_EQ(ErrorOf(function, request), "");
  EXPECT_EQ(log_.arguments[0].Size(), size_t{1} << 20);
  request.path = "/h/x?";
  for (int i = 0; i < 100000; ++i)
    request.path += "rest.a=1&";
  request.path += "rest.a=1";
  EXPECT_EQ(ErrorOf(function, request), "");  // the repeats collapse to one argument
  request.path = "/h/x?rest.";
  request.path += std::string(1 << 20, '9');
  EXPECT_EQ(ErrorOf(function, request).substr(0, 12), "Index 999999");
}

}  // namespace
}  // namespace qor
