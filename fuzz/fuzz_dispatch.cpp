// Request dispatch: a request record made from the input is delivered through the call entry
// to a small module whose endpoints take every parameter kind (bool, integers of several
// widths, float, string, blob, vector, map, struct, enum, optional, object) from every
// location (path, query, header, body, any). The response must be well formed (texts
// terminated within their lengths, known tags) and its release must free it and zero it.
//
// Input layout (sections separated by NUL bytes; the body is everything after the fourth):
//   byte 0   the function (one more value delivers a call without a context word)
//   byte 1   the method: with the high bit set the function's own, else the low bits mod 10;
//            bit 6 adds an invocation name
//   path     with an optional "?query"
//   headers  "name: value" lines
//   type     the content type (absent when the section is empty and no body follows)
//   args     typed arguments as MessagePack: a map gives named arguments, an array positional
//            ones, any other value one positional argument; bytes that do not decode give one
//            argument with an unknown tag
//   body     the body bytes, exactly as long as the rest of the input
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "api/dispatch.h"
#include "api/endpoint.h"
#include "api/host_value.h"
#include "binding/msgpack.h"
#include "binding/record.h"
#include "fuzz/detail/check.h"

namespace {

enum class Color : std::int32_t { Red = 0, Green = 1, Blue = 7 };

struct Item {
  std::string name;
  std::int32_t count = 0;
  std::optional<double> price;
  std::vector<std::string> tags;
  std::map<std::string, std::int64_t> extra;
  Color color = Color::Red;
  qor::BindingProperty any;
};

using Maybe = qor::MaybeType<qor::Failure, Item>;

class FuzzModule {
 public:
  Maybe GetThing(std::string id, std::string rest, bool flag, std::int32_t count, std::uint64_t big,
                 std::vector<std::int64_t> ids, std::optional<std::string> name,
                 std::string token) {
    Item item;
    item.name = id + "/" + rest + name.value_or("") + token;
    item.count = flag ? count : -count;
    item.extra["big"] = static_cast<std::int64_t>(big);
    item.extra["ids"] = static_cast<std::int64_t>(ids.size());
    return item;
  }
  Maybe PostThing(std::string id, Item body, std::optional<float> scale,
                  std::vector<std::string> tags, qor::BindingProperty object, std::int8_t small) {
    body.name += id;
    if (scale) body.price = *scale;
    body.tags.insert(body.tags.end(), tags.begin(), tags.end());
    body.any = std::move(object);
    body.count += small;
    return body;
  }
  qor::MaybeType<qor::Failure, std::map<std::string, Item>> PutMap(
      std::map<std::string, Item> items, Color color, std::uint16_t limit) {
    for (auto& [key, item] : items)
      item.color = color;
    if (limit != 0 && items.size() > limit) return qor::Failure::NotFound("too many items");
    return items;
  }
  qor::MaybeType<qor::Failure, Color> Fragment(std::string fragment, bool verbose) {
    if (fragment.empty()) return qor::Failure(400, "no fragment");
    return verbose ? Color::Blue : Color::Green;
  }
  qor::MaybeType<qor::Failure, qor::BindingProperty> Invoke(qor::BindingProperty arguments,
                                                            qor::Bytes blob) {
    arguments.MutableMember("blob") = blob;
    return arguments;
  }
  qor::MaybeType<qor::Failure, void> Fail(std::int32_t status, std::string message) {
    return qor::Failure(status, message);
  }
  qor::MaybeType<qor::Failure, std::vector<double>> Numbers(std::vector<double> values,
                                                            std::optional<std::int64_t> more) {
    if (more) values.push_back(static_cast<double>(*more));
    return values;
  }
};

struct Fixture {
  qor::TypeRegistry registry;
  FuzzModule module;
  qor::Dispatcher dispatcher{registry, &module};

  Fixture() {
    using qor::AnyArg, qor::BodyArg, qor::HeaderArg, qor::PathArg, qor::QueryArg;
    qor::DeclareEnum<Color>(registry, "FuzzColor")
        .Value("Red", Color::Red)
        .Value("Green", Color::Green)
        .Value("Blue", Color::Blue);
    qor::DeclareRecord<Item>(registry, "FuzzItem")
        .Field("name", &Item::name)
        .Field("count", &Item::count, qor::kRequired)
        .Field("price", &Item::price, qor::kOmitWhenEmpty)
        .Field("tags", &Item::tags)
        .Field("extra", &Item::extra)
        .Field("color", &Item::color)
        .Field("any", &Item::any);
    qor::RegisterEndpoint(dispatcher, PLUGIN_METHOD_GET, "/things/{id}/{+rest}", &module,
                          &FuzzModule::GetThing, PathArg("id"), PathArg("rest"), QueryArg("flag"),
                          QueryArg("count").Optional(), QueryArg("big").Optional(),
                          QueryArg("ids").Optional(), QueryArg("name"),
                          HeaderArg("token").Optional());
    qor::RegisterEndpoint(dispatcher, PLUGIN_METHOD_POST, "/things/{id}", &module,
                          &FuzzModule::PostThing, PathArg("id"), BodyArg("body"), AnyArg("scale"),
                          AnyArg("tags").Optional(), AnyArg("object").Optional(),
                          AnyArg("small").Optional());
    qor::RegisterEndpoint(dispatcher, PLUGIN_METHOD_PUT, "/map/", &module, &FuzzModule::PutMap,
                          BodyArg("items"), QueryArg("color"), HeaderArg("limit").Optional());
    qor::RegisterEndpoint(dispatcher, PLUGIN_METHOD_ANY, "/frag{#fragment}", &module,
                          &FuzzModule::Fragment, PathArg("fragment"), AnyArg("verbose"));
    qor::RegisterEndpoint(dispatcher, PLUGIN_METHOD_INVOKE, "/invoke", &module, &FuzzModule::Invoke,
                          AnyArg("arguments").Optional(), AnyArg("blob").Optional());
    qor::RegisterEndpoint(dispatcher, PLUGIN_METHOD_DELETE, "/fail/{status}/{message}", &module,
                          &FuzzModule::Fail, PathArg("status"), PathArg("message"));
    qor::RegisterEndpoint(dispatcher, PLUGIN_METHOD_PATCH, "/numbers", &module,
                          &FuzzModule::Numbers, BodyArg("values"), AnyArg("more"));
  }
};

// Splits off the text up to the next NUL (or the end).
std::string_view Section(std::string_view& rest, bool& more) {
  const std::size_t end = rest.find('\0');
  const std::string_view section = rest.substr(0, end);
  more = end != std::string_view::npos;
  rest = more ? rest.substr(end + 1) : std::string_view();
  return section;
}

// Reads every text of `value` within its length, as a host would.
void CheckValue(const HostValue& value, int depth) {
  QOR_FUZZ_CHECK(depth <= qor::kMaxHostValueDepth + 1, "reply nested too deeply");
  switch (value.tag) {
    case HOST_VALUE_EMPTY:
      QOR_FUZZ_CHECK(value.length == 0, "empty value with a length");
      break;
    case HOST_VALUE_BOOL:
      QOR_FUZZ_CHECK(value.data.boolean <= 1, "bool byte not 0 or 1");
      break;
    case HOST_VALUE_SIGNED:
    case HOST_VALUE_UNSIGNED:
    case HOST_VALUE_FLOAT:
      break;
    case HOST_VALUE_STRING:
    case HOST_VALUE_OWNED_STRING:
      QOR_FUZZ_CHECK(value.data.text != nullptr, "null text");
      QOR_FUZZ_CHECK(value.data.text[value.length] == '\0', "text not NUL-terminated");
      break;
    case HOST_VALUE_BLOB:
    case HOST_VALUE_OWNED_BLOB:
      if (value.length > 0) {
        volatile std::uint8_t last = value.data.bytes[value.length - 1];
        (void)last;
      }
      break;
    case HOST_VALUE_COLLECTION:
      for (std::uint32_t i = 0; i < value.length; ++i)
        CheckValue(value.data.elements[i], depth + 1);
      break;
    case HOST_VALUE_STRUCTURE:
      for (std::uint32_t i = 0; i < value.length; ++i) {
        const HostStructureEntry& entry = value.data.entries[i];
        QOR_FUZZ_CHECK(entry.key != nullptr, "null key");
        (void)std::strlen(entry.key);
        CheckValue(entry.value, depth + 1);
      }
      break;
    default:
      QOR_FUZZ_CHECK(false, "unknown tag " + std::to_string(value.tag));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Fixture* fixture = new Fixture();  // lives for the process, like a loaded plug-in
  if (size < 2) return 0;
  const auto functions = fixture->dispatcher.Functions();
  const std::size_t choice = data[0] % (functions.size() + 1);
  const qor::Function* function = choice < functions.size() ? functions[choice] : nullptr;

  std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
  bool more = false;
  const std::string path(Section(rest, more));
  const std::string_view headerText = Section(rest, more);
  const bool hasTypeSection = more;
  const std::string contentType(Section(rest, more));
  const std::string_view argumentBytes = Section(rest, more);
  const bool hasBody = more;
  // The body in a buffer of its exact length: the layer must not read past bodyLength.
  std::unique_ptr<std::uint8_t[]> body(new std::uint8_t[rest.size()]);
  if (!rest.empty()) std::memcpy(body.get(), rest.data(), rest.size());

  // Header lines.
  std::vector<std::string> headerStorage;
  std::string_view lines = headerText;
  while (!lines.empty() && headerStorage.size() < 32) {
    const std::size_t end = lines.find('\n');
    const std::string_view line = lines.substr(0, end);
    lines = end == std::string_view::npos ? std::string_view() : lines.substr(end + 1);
    const std::size_t colon = line.find(':');
    headerStorage.emplace_back(line.substr(0, colon));
    std::string_view value =
        colon == std::string_view::npos ? std::string_view() : line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ')
      value.remove_prefix(1);
    headerStorage.emplace_back(value);
  }
  std::vector<HostHeader> headers;
  for (std::size_t i = 0; i + 1 < headerStorage.size(); i += 2) {
    headers.push_back({headerStorage[i].c_str(), headerStorage[i + 1].c_str()});
  }

  // Typed arguments.
  std::vector<std::string> names;
  std::vector<HostArgument> arguments;
  if (!argumentBytes.empty()) {
    qor::MsgPackDecoded decoded = qor::DecodeMsgPack(argumentBytes.data(), argumentBytes.size());
    if (decoded.value.Failed()) {
      HostArgument unknown{};
      unknown.value.tag = 11 + static_cast<std::uint8_t>(argumentBytes[0]);
      arguments.push_back(unknown);
    } else {
      const qor::BindingProperty& tree = *decoded.value;
      auto add = [&](const char* name, const qor::BindingProperty& value) {
        HostArgument argument{};
        argument.name = name;
        if (qor::WriteHostValue(value, argument.value).Succeeded()) arguments.push_back(argument);
      };
      if (tree.Kind() == qor::BindingKind::Structure) {
        names.reserve(tree.Size());
        for (const qor::BindingMember& member : tree.Members()) {
          names.emplace_back(member.Key());
          add(names.back().c_str(), member.Value());
        }
      } else if (tree.Kind() == qor::BindingKind::Collection) {
        for (const qor::BindingProperty& element : tree.Elements())
          add(nullptr, element);
      } else {
        add(nullptr, tree);
      }
    }
  }

  PluginLocalRequest request{};
  request.method = (data[1] & 0x80) != 0 && function != nullptr ? function->method : data[1] % 10;
  request.path = path.c_str();
  request.arguments = arguments.empty() ? nullptr : arguments.data();
  request.argumentCount = static_cast<std::uint32_t>(arguments.size());
  request.context = function != nullptr ? fixture->dispatcher.ContextOf(*function) : nullptr;
  request.headers = headers.empty() ? nullptr : headers.data();
  request.headerCount = static_cast<std::uint32_t>(headers.size());
  request.contentType = hasTypeSection ? contentType.c_str() : nullptr;
  if (hasBody) {
    request.body = body.get();
    request.bodyLength = static_cast<std::uint32_t>(rest.size());
  }
  request.callerHandle = 0x1234;
  request.invocationName = (data[1] & 0x40) != 0 ? "fuzz.invoke" : "";

  PluginLocalResponse response;
  std::memset(&response, 0xA5, sizeof(response));  // the entry must not trust what it gets
  qor::Dispatcher::CallEntry(&response, &request);

  QOR_FUZZ_CHECK(response.release != nullptr, "no release function");
  if (response.errorText != nullptr) (void)std::strlen(response.errorText);
  if (response.statusText != nullptr) (void)std::strlen(response.statusText);
  for (std::uint32_t i = 0; i < response.headerCount; ++i) {
    (void)std::strlen(response.headers[i].name);
    (void)std::strlen(response.headers[i].value);
  }
  QOR_FUZZ_CHECK(response.replyFormat <= PLUGIN_REPLY_FORMAT_MSGPACK, "reply format");
  QOR_FUZZ_CHECK(response.streamRead == nullptr, "a stream nobody asked for");
  CheckValue(response.body, 0);
  if (response.errorText == nullptr) {
    // Only the handlers' own failures carry a status; success carries none.
    QOR_FUZZ_CHECK(response.status == 0, "success with status " + std::to_string(response.status));
  }

  PluginLocalResponseRelease release = response.release;
  release(&response);
  QOR_FUZZ_CHECK(response.body.tag == HOST_VALUE_EMPTY && response.errorText == nullptr &&
                     response.headers == nullptr,
                 "release left parts behind");
  release(&response);  // a second release is harmless

  for (HostArgument& argument : arguments) {
    if (argument.value.tag <= HOST_VALUE_STRUCTURE) qor::FreeHostValue(argument.value);
  }
  return 0;
}
