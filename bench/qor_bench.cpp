// qor-bench: the binding layer, routing and dispatch against peer libraries, on the same
// bytes or the same tree in one run. The benchmark names are read by bench/compare.py.
//
// Every "read" benchmark builds its library's tree from the input and destroys it inside the
// timed loop; every "write" benchmark writes a tree built beforehand from the same input.
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <yaml-cpp/yaml.h>
#include <yaml.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <msgpack.hpp>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "api/dispatch.h"
#include "api/route.h"
#include "bench/catalog.h"
#include "binding/convert.h"
#include "binding/json.h"
#include "binding/msgpack.h"
#include "binding/record.h"
#include "binding/registry.h"
#include "binding/static_type.h"
#include "binding/yaml.h"
#include "store/records.h"

using Json = nlohmann::json;

// nlohmann's own mapping of the catalog's fields, read the way the store's conversion reads
// them: an absent or null key leaves the field's default.
namespace Vaxo::Client::Store::Api {
namespace {

template <typename T>
void Field(const Json& object, const char* key, T& target) {
  auto found = object.find(key);
  if (found != object.end() && !found->is_null()) found->get_to(target);
}

template <typename T>
void Field(const Json& object, const char* key, std::optional<T>& target) {
  auto found = object.find(key);
  if (found != object.end() && !found->is_null()) target = found->get<T>();
}

}  // namespace

void from_json(const Json& j, ItemCost& v) {
  Field(j, "currency", v.currency);
  Field(j, "cost", v.cost);
  Field(j, "discount", v.discount);
}
void from_json(const Json& j, BundledItemCost& v) {
  Field(j, "currency", v.currency);
  Field(j, "cost", v.cost);
  Field(j, "discount", v.discount);
  Field(j, "costType", v.costType);
}
void from_json(const Json& j, ItemKey& v) {
  Field(j, "inventoryType", v.inventoryType);
  Field(j, "itemId", v.itemId);
}
void from_json(const Json& j, BundledItem& v) {
  Field(j, "inventoryType", v.inventoryType);
  Field(j, "itemId", v.itemId);
  Field(j, "quantity", v.quantity);
  Field(j, "discountPrices", v.discountPrices);
}
void from_json(const Json& j, Sale& v) {
  Field(j, "startDate", v.startDate);
  Field(j, "endDate", v.endDate);
  Field(j, "prices", v.prices);
}
void from_json(const Json& j, ItemLocalization& v) {
  Field(j, "language", v.language);
  Field(j, "name", v.name);
  Field(j, "description", v.description);
}
void from_json(const Json& j, Bundled& v) {
  Field(j, "flexible", v.flexible);
  Field(j, "items", v.items);
  Field(j, "minimumPrices", v.minimumPrices);
}
void from_json(const Json& j, CatalogItem& v) {
  Field(j, "itemId", v.itemId);
  Field(j, "inventoryType", v.inventoryType);
  Field(j, "iconUrl", v.iconUrl);
  Field(j, "localizations", v.localizations);
  Field(j, "active", v.active);
  Field(j, "bundled", v.bundled);
  Field(j, "inactiveDate", v.inactiveDate);
  Field(j, "maxQuantity", v.maxQuantity);
  Field(j, "prices", v.prices);
  Field(j, "releaseDate", v.releaseDate);
  Field(j, "sale", v.sale);
  Field(j, "subInventoryType", v.subInventoryType);
  Field(j, "tags", v.tags);
  Field(j, "itemRequirements", v.itemRequirements);
  Field(j, "itemInstanceId", v.itemInstanceId);
}

}  // namespace Vaxo::Client::Store::Api

namespace {

using qor::BindingProperty;
using qor::bench::BenchInputs;
using Vaxo::Client::Store::Api::CatalogItem;
using Vaxo::Client::Store::Api::OrderNotificationResource;

[[noreturn]] void Fatal(const std::string& message) {
  std::fprintf(stderr, "qor-bench: %s\n", message.c_str());
  std::exit(1);
}

const qor::TypeRegistry& StoreRegistry() {
  static const qor::TypeRegistry* registry = [] {
    auto* made = new qor::TypeRegistry();
    Vaxo::Client::Store::Api::RegisterStoreRecords(*made, "QorStore");
    return made;
  }();
  return *registry;
}

BindingProperty QorCatalogTree() {
  auto parsed = qor::ParseJson(BenchInputs().catalogJson);
  if (parsed.Failed())
    Fatal("the catalog JSON does not parse: " + std::string(parsed.ErrorMessage()));
  return std::move(parsed.MutableProperty());
}

void Bytes(benchmark::State& state, std::size_t size) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(size));
}

// JSON text to a tree.

void JsonParseQor(benchmark::State& state, const std::string* text) {
  for (auto _ : state) {
    auto parsed = qor::ParseJson(*text);
    if (parsed.Failed()) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(parsed);
  }
  Bytes(state, text->size());
}

void JsonParseRapidJson(benchmark::State& state, const std::string* text) {
  for (auto _ : state) {
    rapidjson::Document document;
    document.Parse(text->data(), text->size());
    if (document.HasParseError()) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(document);
  }
  Bytes(state, text->size());
}

void JsonParseNlohmann(benchmark::State& state, const std::string* text) {
  for (auto _ : state) {
    Json document = Json::parse(*text);
    benchmark::DoNotOptimize(document);
  }
  Bytes(state, text->size());
}

// The floor the design allows for a JSON parse: RapidJSON's tokeniser, and every string and key
// copied once with its 32-bit FNV-1a computed (what interning a text needs at least), no tree.
class InterningFloorHandler
    : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, InterningFloorHandler> {
 public:
  explicit InterningFloorHandler(std::vector<char>& buffer) : buffer_(buffer) {}
  bool String(const char* text, rapidjson::SizeType length, bool /*copy*/) {
    std::memcpy(buffer_.data() + used_, text, length);
    used_ += length;
    hashes_ ^= qor::Fnv1a32(std::string_view(text, length));
    return true;
  }
  bool Key(const char* text, rapidjson::SizeType length, bool copy) {
    return String(text, length, copy);
  }
  bool Default() { return true; }
  std::uint32_t Hashes() const { return hashes_; }

 private:
  std::vector<char>& buffer_;
  std::size_t used_ = 0;
  std::uint32_t hashes_ = 0;
};

void JsonParseInterningFloor(benchmark::State& state, const std::string* text) {
  std::vector<char> buffer(text->size());  // strings are never longer than the text
  for (auto _ : state) {
    InterningFloorHandler handler(buffer);
    rapidjson::Reader reader;
    rapidjson::StringStream stream(text->c_str());
    if (reader.Parse(stream, handler).IsError()) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(handler.Hashes());
  }
  Bytes(state, text->size());
}

// A tree to compact JSON text.

void JsonWriteQor(benchmark::State& state, const std::string* text) {
  auto parsed = qor::ParseJson(*text);
  const BindingProperty& tree = parsed.Property();
  std::size_t size = 0;
  for (auto _ : state) {
    std::string written = qor::WriteJson(tree);
    size = written.size();
    benchmark::DoNotOptimize(written);
  }
  Bytes(state, size);
}

void JsonWriteRapidJson(benchmark::State& state, const std::string* text) {
  rapidjson::Document document;
  document.Parse(text->data(), text->size());
  std::size_t size = 0;
  for (auto _ : state) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    document.Accept(writer);
    size = buffer.GetSize();
    benchmark::DoNotOptimize(buffer.GetString());
  }
  Bytes(state, size);
}

void JsonWriteNlohmann(benchmark::State& state, const std::string* text) {
  const Json document = Json::parse(*text);
  std::size_t size = 0;
  for (auto _ : state) {
    std::string written = document.dump();
    size = written.size();
    benchmark::DoNotOptimize(written);
  }
  Bytes(state, size);
}

// MessagePack bytes to a tree.

void MsgPackDecodeQor(benchmark::State& state) {
  const std::vector<std::uint8_t>& bytes = BenchInputs().catalogMsgPack;
  for (auto _ : state) {
    auto decoded = qor::DecodeMsgPack(bytes);
    if (decoded.value.Failed()) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(decoded);
  }
  Bytes(state, bytes.size());
}

void MsgPackDecodeMsgPackCxx(benchmark::State& state) {
  const std::vector<std::uint8_t>& bytes = BenchInputs().catalogMsgPack;
  for (auto _ : state) {
    msgpack::object_handle handle =
        msgpack::unpack(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    benchmark::DoNotOptimize(handle.get());
  }
  Bytes(state, bytes.size());
}

// The floor for a MessagePack decode: msgpack-cxx's unpack, then every string (and map key)
// copied once with its 32-bit FNV-1a computed.
void CopyAndHashStrings(const msgpack::object& object, char*& out, std::uint32_t& hashes) {
  switch (object.type) {
    case msgpack::type::STR:
      std::memcpy(out, object.via.str.ptr, object.via.str.size);
      out += object.via.str.size;
      hashes ^= qor::Fnv1a32(std::string_view(object.via.str.ptr, object.via.str.size));
      break;
    case msgpack::type::ARRAY:
      for (std::uint32_t i = 0; i < object.via.array.size; ++i)
        CopyAndHashStrings(object.via.array.ptr[i], out, hashes);
      break;
    case msgpack::type::MAP:
      for (std::uint32_t i = 0; i < object.via.map.size; ++i) {
        CopyAndHashStrings(object.via.map.ptr[i].key, out, hashes);
        CopyAndHashStrings(object.via.map.ptr[i].val, out, hashes);
      }
      break;
    default:
      break;
  }
}

void MsgPackDecodeInterningFloor(benchmark::State& state) {
  const std::vector<std::uint8_t>& bytes = BenchInputs().catalogMsgPack;
  std::vector<char> buffer(bytes.size());
  for (auto _ : state) {
    msgpack::object_handle handle =
        msgpack::unpack(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    char* out = buffer.data();
    std::uint32_t hashes = 0;
    CopyAndHashStrings(handle.get(), out, hashes);
    benchmark::DoNotOptimize(hashes);
  }
  Bytes(state, bytes.size());
}

void MsgPackDecodeNlohmann(benchmark::State& state) {
  const std::vector<std::uint8_t>& bytes = BenchInputs().catalogMsgPack;
  for (auto _ : state) {
    Json document = Json::from_msgpack(bytes);
    benchmark::DoNotOptimize(document);
  }
  Bytes(state, bytes.size());
}

// YAML text to a tree.

void YamlReadQor(benchmark::State& state) {
  const std::string& text = BenchInputs().catalogYaml;
  for (auto _ : state) {
    auto parsed = qor::ParseYaml(text);
    if (parsed.Failed()) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(parsed);
  }
  Bytes(state, text.size());
}

// Pulls and frees libyaml's events and nothing else: the floor of any libyaml-based reader.
void YamlReadLibYamlEvents(benchmark::State& state) {
  const std::string& text = BenchInputs().catalogYaml;
  for (auto _ : state) {
    yaml_parser_t parser;
    yaml_parser_initialize(&parser);
    yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text.data()),
                                 text.size());
    std::size_t events = 0;
    for (;;) {
      yaml_event_t event;
      if (!yaml_parser_parse(&parser, &event)) {
        state.SkipWithError("libyaml failed");
        break;
      }
      const bool end = event.type == YAML_STREAM_END_EVENT;
      yaml_event_delete(&event);
      ++events;
      if (end) break;
    }
    yaml_parser_delete(&parser);
    benchmark::DoNotOptimize(events);
  }
  Bytes(state, text.size());
}

void YamlReadYamlCpp(benchmark::State& state) {
  const std::string& text = BenchInputs().catalogYaml;
  for (auto _ : state) {
    YAML::Node document = YAML::Load(text);
    benchmark::DoNotOptimize(document);
  }
  Bytes(state, text.size());
}

// The parsed tree to std::vector<CatalogItem>.

void RecordsFromTreeQor(benchmark::State& state) {
  const BindingProperty tree = QorCatalogTree();
  const qor::TypeRegistry& registry = StoreRegistry();
  for (auto _ : state) {
    std::vector<CatalogItem> items;
    auto read = qor::FromBinding(tree, items, registry, "catalog");
    if (read.Failed()) state.SkipWithError("conversion failed");
    benchmark::DoNotOptimize(items);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                          qor::bench::kCatalogItems);
}

void RecordsFromTreeNlohmann(benchmark::State& state) {
  const Json tree = Json::parse(BenchInputs().catalogJson);
  for (auto _ : state) {
    std::vector<CatalogItem> items = tree.get<std::vector<CatalogItem>>();
    benchmark::DoNotOptimize(items);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                          qor::bench::kCatalogItems);
}

// Routing: the store's 14 endpoint templates and the paths a client sends them.

struct Template {
  std::uint32_t method;
  const char* path;
};

const Template kStoreTemplates[] = {
    {PLUGIN_METHOD_GET, "/qor-store/v1/getStoreUrl"},
    {PLUGIN_METHOD_GET, "/qor-store/v1/lastPage"},
    {PLUGIN_METHOD_POST, "/qor-store/v1/lastPage"},
    {PLUGIN_METHOD_GET, "/qor-store/v1/login"},
    {PLUGIN_METHOD_GET, "/qor-store/v1/skins/{skinId}"},
    {PLUGIN_METHOD_POST, "/qor-store/v1/skins/{skinId}/purchase"},
    {PLUGIN_METHOD_GET, "/qor-store/v1/{pageType}"},
    {PLUGIN_METHOD_GET, "/qor-store/v1/paymentDetails"},
    {PLUGIN_METHOD_GET, "/qor-store/v1/wallet"},
    {PLUGIN_METHOD_GET, "/qor-store/v1/order-notifications"},
    {PLUGIN_METHOD_GET, "/qor-store/v1/order-notifications/{id}"},
    {PLUGIN_METHOD_DELETE, "/qor-store/v1/order-notifications/{id}"},
    {PLUGIN_METHOD_POST, "/qor-store/v1/notifications/acknowledge"},
    {PLUGIN_METHOD_GET, "/qor-store/v1/catalog"},
};

const Template kStorePaths[] = {
    {PLUGIN_METHOD_GET, "/qor-store/v1/lastPage"},
    {PLUGIN_METHOD_POST, "/qor-store/v1/lastPage"},
    {PLUGIN_METHOD_GET, "/qor-store/v1/wallet"},
    {PLUGIN_METHOD_GET, "/qor-store/v1/catalog"},
    {PLUGIN_METHOD_GET, "/qor-store/v1/skins/51002"},
    {PLUGIN_METHOD_POST, "/qor-store/v1/skins/51002/purchase"},
    {PLUGIN_METHOD_GET, "/qor-store/v1/champions"},
    {PLUGIN_METHOD_GET, "/qor-store/v1/order-notifications"},
    {PLUGIN_METHOD_GET, "/qor-store/v1/order-notifications/8123456"},
    {PLUGIN_METHOD_DELETE, "/qor-store/v1/order-notifications/8123456"},
    {PLUGIN_METHOD_POST, "/qor-store/v1/notifications/acknowledge"},
    {PLUGIN_METHOD_GET, "/qor-store/v1/getStoreUrl"},
    {PLUGIN_METHOD_GET, "/qor-store/v1/paymentDetails"},
    {PLUGIN_METHOD_GET, "/qor-store/v2/wallet"},  // matches nothing
};

std::vector<qor::Route> StoreRoutes() {
  std::vector<qor::Route> routes;
  for (const Template& entry : kStoreTemplates)
    routes.emplace_back(entry.path, entry.method);
  return routes;
}

void RouteMatchQor(benchmark::State& state) {
  const std::vector<qor::Route> routes = StoreRoutes();
  std::size_t matched = 0;
  for (auto _ : state) {
    for (const Template& request : kStorePaths) {
      auto selection = qor::SelectRoute(request.method, {}, request.path, routes);
      if (selection) matched += selection->index + selection->arguments.size();
    }
  }
  benchmark::DoNotOptimize(matched);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(std::size(kStorePaths)));
}

// The same selection (first match, displaced only by a later route capturing strictly fewer
// characters; a route without captures is never displaced) over std::regex compiled once.
struct RegexRoute {
  std::uint32_t method;
  std::regex pattern;
  std::vector<std::string> names;
};

std::optional<std::pair<std::size_t, qor::ArgumentMap>> SelectByRegex(
    const std::vector<RegexRoute>& routes, std::uint32_t method, const std::string& path) {
  std::optional<std::pair<std::size_t, qor::ArgumentMap>> best;
  std::size_t bestLength = 0;
  for (std::size_t index = 0; index < routes.size(); ++index) {
    const RegexRoute& route = routes[index];
    if (route.method != 0 && route.method != method) continue;
    std::smatch match;
    if (!std::regex_match(path, match, route.pattern)) continue;
    std::size_t length = 0;
    for (std::size_t group = 1; group < match.size(); ++group)
      length += static_cast<std::size_t>(match.length(static_cast<int>(group)));
    if (best && (best->second.empty() || length >= bestLength)) continue;
    qor::ArgumentMap arguments;
    for (std::size_t group = 1; group < match.size() && group <= route.names.size(); ++group)
      arguments[route.names[group - 1]] = match.str(static_cast<int>(group));
    best.emplace(index, std::move(arguments));
    bestLength = length;
  }
  return best;
}

RegexRoute CompileRegex(const qor::Route& route) {
  RegexRoute compiled{route.Method(), std::regex(route.Pattern()), {}};
  for (const qor::Capture& capture : route.Captures())
    compiled.names.push_back(capture.name);
  return compiled;
}

void RouteMatchStdRegex(benchmark::State& state) {
  std::vector<RegexRoute> routes;
  for (const qor::Route& route : StoreRoutes())
    routes.push_back(CompileRegex(route));
  std::vector<std::string> paths;
  for (const Template& request : kStorePaths)
    paths.emplace_back(request.path);
  std::size_t matched = 0;
  for (auto _ : state) {
    for (std::size_t i = 0; i < paths.size(); ++i) {
      auto selection = SelectByRegex(routes, kStorePaths[i].method, paths[i]);
      if (selection) matched += selection->first + selection->second.size();
    }
  }
  benchmark::DoNotOptimize(matched);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(std::size(kStorePaths)));
}

// Dispatch: GET "/qor-store/v1/order-notifications/{id}" answering a small record.

class OrderNotificationHandler : public qor::Handler {
 public:
  explicit OrderNotificationHandler(const qor::TypeRegistry& registry) : registry_(registry) {}
  uintptr_t Invoke(qor::CallResult& result, std::span<BindingProperty> arguments,
                   uintptr_t) override {
    OrderNotificationResource notification;
    notification.id = arguments.empty() ? 0 : arguments[0].GetUnsigned();
    notification.eventTypeId = "PURCHASE_COMPLETE";
    notification.eventType = "purchase";
    notification.status = "COMPLETED";
    result.value = qor::Write(notification, registry_);
    return 0;
  }
  qor::TypeDescriptor ResultType() const override { return {}; }

 private:
  const qor::TypeRegistry& registry_;
};

struct DispatchSetup {
  qor::TypeRegistry registry;
  qor::Dispatcher dispatcher{registry};
  qor::Function* function = nullptr;
  std::string path = "/qor-store/v1/order-notifications/8123456";

  DispatchSetup() {
    Vaxo::Client::Store::Api::RegisterStoreRecords(registry, "QorStore");
    qor::Parameter id;
    id.name = "id";
    id.type.type = qor::NativeType::UInt64;
    id.location = qor::ArgumentLocation::kPath;
    std::vector<qor::Parameter> parameters;
    parameters.push_back(std::move(id));
    function = &dispatcher.Add(PLUGIN_METHOD_GET, "/qor-store/v1/order-notifications/{id}",
                               std::move(parameters),
                               std::make_unique<OrderNotificationHandler>(registry));
  }

  PluginLocalRequest Request() const {
    PluginLocalRequest request{};
    request.method = PLUGIN_METHOD_GET;
    request.path = path.c_str();
    request.context = dispatcher.ContextOf(*function);
    return request;
  }
};

void CheckResponse(benchmark::State& state, const PluginLocalResponse& response) {
  if (response.errorText != nullptr) state.SkipWithError(response.errorText);
}

void DispatchQor(benchmark::State& state) {
  DispatchSetup setup;
  const PluginLocalRequest request = setup.Request();
  for (auto _ : state) {
    PluginLocalResponse response;
    qor::Dispatcher::CallEntry(&response, &request);
    CheckResponse(state, response);
    benchmark::DoNotOptimize(response);
    response.release(&response);
  }
}

// The same call with the route compiled into a std::regex for each call.
void DispatchStdRegexPerCall(benchmark::State& state) {
  DispatchSetup setup;
  const PluginLocalRequest request = setup.Request();
  const qor::Route& route = setup.function->route;
  for (auto _ : state) {
    PluginLocalResponse response;
    qor::PrepareResponse(response);
    RegexRoute compiled = CompileRegex(route);
    std::smatch match;
    const std::string path(request.path);
    if (!std::regex_match(path, match, compiled.pattern)) state.SkipWithError("no match");
    qor::ArgumentMap captures;
    for (std::size_t group = 1; group < match.size() && group <= compiled.names.size(); ++group)
      captures[compiled.names[group - 1]] = qor::PercentDecode(match.str(static_cast<int>(group)));
    qor::CallResult result;
    setup.dispatcher.Dispatch(*setup.function, captures, request, result);
    setup.dispatcher.WriteResponse(result, response);
    CheckResponse(state, response);
    benchmark::DoNotOptimize(response);
    response.release(&response);
  }
}

// Every reader must accept its input and the writers must agree, or the figures mean nothing.
void CheckInputs() {
  const auto& inputs = BenchInputs();
  BindingProperty json = QorCatalogTree();
  if (json.Size() != static_cast<std::size_t>(qor::bench::kCatalogItems))
    Fatal("the catalog JSON has the wrong item count");
  auto msgpack = qor::DecodeMsgPack(inputs.catalogMsgPack);
  if (msgpack.value.Failed()) Fatal("MessagePack: " + std::string(msgpack.value.ErrorMessage()));
  auto yaml = qor::ParseYaml(inputs.catalogYaml);
  if (yaml.Failed()) Fatal("YAML: " + std::string(yaml.ErrorMessage()));
  if (qor::WriteJson(yaml.Property()) != inputs.catalogJson)
    Fatal("the YAML catalog does not read back as the JSON catalog");
  if (qor::WriteJson(json) != inputs.catalogJson)
    Fatal("writing the parsed catalog does not give its text back");
  std::vector<CatalogItem> fromQor;
  auto read = qor::FromBinding(json, fromQor, StoreRegistry(), "catalog");
  if (read.Failed()) Fatal("records: " + std::string(read.ErrorMessage()));
  if (fromQor != Json::parse(inputs.catalogJson).get<std::vector<CatalogItem>>())
    Fatal("the two record mappings disagree");
  rapidjson::Document document;
  document.Parse(inputs.catalogJson.data(), inputs.catalogJson.size());
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  document.Accept(writer);
  if (inputs.catalogJson != buffer.GetString()) Fatal("RapidJSON writes different text");
}

void Register() {
  const auto& inputs = BenchInputs();
  struct Text {
    const char* name;
    const std::string* text;
    benchmark::TimeUnit unit;
  };
  const Text texts[] = {{"catalog", &inputs.catalogJson, benchmark::kMillisecond},
                        {"wallet", &inputs.walletJson, benchmark::kNanosecond},
                        {"login_session", &inputs.loginSessionJson, benchmark::kNanosecond}};
  for (const Text& text : texts) {
    const std::string suffix = std::string("/") + text.name;
    benchmark::RegisterBenchmark(("json_parse/qor" + suffix).c_str(), JsonParseQor, text.text)
        ->Unit(text.unit);
    benchmark::RegisterBenchmark(("json_parse/rapidjson_document" + suffix).c_str(),
                                 JsonParseRapidJson, text.text)
        ->Unit(text.unit);
    benchmark::RegisterBenchmark(("json_parse/nlohmann" + suffix).c_str(), JsonParseNlohmann,
                                 text.text)
        ->Unit(text.unit);
    benchmark::RegisterBenchmark(("json_parse/interning_floor" + suffix).c_str(),
                                 JsonParseInterningFloor, text.text)
        ->Unit(text.unit);
  }
  for (const Text& text : texts) {
    const std::string suffix = std::string("/") + text.name;
    benchmark::RegisterBenchmark(("json_write/qor" + suffix).c_str(), JsonWriteQor, text.text)
        ->Unit(text.unit);
    benchmark::RegisterBenchmark(("json_write/rapidjson_writer" + suffix).c_str(),
                                 JsonWriteRapidJson, text.text)
        ->Unit(text.unit);
    benchmark::RegisterBenchmark(("json_write/nlohmann" + suffix).c_str(), JsonWriteNlohmann,
                                 text.text)
        ->Unit(text.unit);
  }
  const auto ms = benchmark::kMillisecond;
  benchmark::RegisterBenchmark("msgpack_decode/qor/catalog", MsgPackDecodeQor)->Unit(ms);
  benchmark::RegisterBenchmark("msgpack_decode/msgpack_cxx/catalog", MsgPackDecodeMsgPackCxx)
      ->Unit(ms);
  benchmark::RegisterBenchmark("msgpack_decode/nlohmann/catalog", MsgPackDecodeNlohmann)->Unit(ms);
  benchmark::RegisterBenchmark("msgpack_decode/interning_floor/catalog",
                               MsgPackDecodeInterningFloor)
      ->Unit(ms);
  benchmark::RegisterBenchmark("yaml_read/qor/catalog", YamlReadQor)->Unit(ms);
  benchmark::RegisterBenchmark("yaml_read/libyaml_events/catalog", YamlReadLibYamlEvents)->Unit(ms);
  benchmark::RegisterBenchmark("yaml_read/yaml_cpp/catalog", YamlReadYamlCpp)->Unit(ms);
  benchmark::RegisterBenchmark("records_from_tree/qor/catalog", RecordsFromTreeQor)->Unit(ms);
  benchmark::RegisterBenchmark("records_from_tree/nlohmann/catalog", RecordsFromTreeNlohmann)
      ->Unit(ms);
  benchmark::RegisterBenchmark("route_match/qor/store_paths", RouteMatchQor)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("route_match/std_regex/store_paths", RouteMatchStdRegex)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("dispatch/qor/order_notification", DispatchQor)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("dispatch/std_regex_per_call/order_notification",
                               DispatchStdRegexPerCall)
      ->Unit(benchmark::kMicrosecond);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  CheckInputs();
  Register();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
