// Tests of host/openapi/openapi.h: the document made from a small hand-made endpoint table, and
// from the real plug-in's table.
#include "host/openapi/openapi.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cctype>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "api/route.h"
#include "host/core/plugin_library.h"
#include "tests/e2e/openapi_checks.h"

namespace qor::host {
namespace {

using testing::At;
using testing::Compact;
using ::testing::Contains;
using ::testing::IsEmpty;
using testing::OpenApiOperations;
using testing::OpenApiProblems;
using ::testing::Pair;
using ::testing::UnorderedElementsAre;

// Native type codes of the table.
enum : uint32_t {
  kBool = 1,
  kInt32 = 6,
  kUInt64 = 9,
  kFloat = 10,
  kString = 12,
  kObject = 13,
  kBlob = 14,
  kVector = 15,
  kEnum = 16,
  kStruct = 17,
  kMap = 19,
};

// A small endpoint table, built entry by entry (the lists are linked by index, as the host
// reads them).
class TableBuilder {
 public:
  PluginFunctionEntry& Function(uint32_t method, const char* path, const char* name,
                                std::vector<PluginParameterEntry> parameters = {},
                                uint32_t result = 0, uint32_t element = 0,
                                const char* resultTypeName = "") {
    std::vector<PluginParameterEntry>& list = parameterLists_.emplace_back(std::move(parameters));
    PluginFunctionEntry entry{};
    entry.method = method;
    entry.name = name;
    entry.nameSpace = "";
    entry.pathTemplate = path;
    entry.invocationName = "";
    entry.description = "";
    entry.help = "";
    entry.resultType = result;
    entry.resultElementType = element;
    entry.resultTypeName = resultTypeName;
    entry.asyncEventName = "";
    entry.parameters = list.empty() ? nullptr : list.data();
    entry.parameterCount = static_cast<uint32_t>(list.size());
    return functions_.emplace_back(entry);
  }
  void Record(const char* name, std::vector<PluginFieldEntry> fields,
              const char* description = "") {
    std::vector<PluginFieldEntry>& list = fieldLists_.emplace_back(std::move(fields));
    PluginTypeEntry entry{};
    entry.name = name;
    entry.nameSpace = "";
    entry.description = description;
    entry.fields = list.empty() ? nullptr : list.data();
    entry.memberCount = static_cast<uint32_t>(list.size());
    types_.push_back(entry);
  }
  void Enum(const char* name, std::vector<PluginEnumeratorEntry> values) {
    std::vector<PluginEnumeratorEntry>& list = enumeratorLists_.emplace_back(std::move(values));
    PluginTypeEntry entry{};
    entry.name = name;
    entry.nameSpace = "";
    entry.description = "";
    entry.enumerators = list.empty() ? nullptr : list.data();
    entry.memberCount = static_cast<uint32_t>(list.size());
    types_.push_back(entry);
  }
  PluginEndpointTable Table() {
    return PluginEndpointTable{functions_.data(), static_cast<uint32_t>(functions_.size()),
                               types_.data(),     static_cast<uint32_t>(types_.size()),
                               nullptr,           0};
  }

 private:
  std::deque<std::vector<PluginParameterEntry>> parameterLists_;
  std::deque<std::vector<PluginFieldEntry>> fieldLists_;
  std::deque<std::vector<PluginEnumeratorEntry>> enumeratorLists_;
  std::vector<PluginFunctionEntry> functions_;
  std::vector<PluginTypeEntry> types_;
};

PluginParameterEntry Param(const char* name, uint32_t type, uint8_t location, bool optional = false,
                           uint32_t element = 0, const char* typeName = "") {
  return PluginParameterEntry{nullptr, name, "", type, element, typeName, optional, location};
}

PluginFieldEntry Field(const char* name, uint32_t type, uint32_t element = 0,
                       const char* typeName = "", bool optional = false) {
  return PluginFieldEntry{nullptr, name, "", 0, type, element, typeName, optional};
}

rapidjson::Document Parse(const std::string& json) {
  rapidjson::Document document;
  document.Parse(json.c_str(), json.size());
  EXPECT_FALSE(document.HasParseError()) << json;
  return document;
}

std::string JsonAt(const rapidjson::Value& document, std::string_view path) {
  const rapidjson::Value* value = At(document, path);
  return value != nullptr ? Compact(*value) : "(none: " + std::string(path) + ")";
}

class HandMadeTable : public ::testing::Test {
 protected:
  void SetUp() override {
    builder_.Enum("TKind", {{nullptr, "Alpha", "", 1}, {nullptr, "Beta", "", 2}});
    builder_.Enum("TEmpty", {});  // no enumerators: known as an enum by its use below
    builder_.Record(
        "TItem",
        {Field("id", kUInt64), Field("tags", kVector, kString), Field("kind", kEnum, 0, "TKind"),
         Field("price", kFloat, 0, "", true), Field("extra", kMap, kInt32),
         Field("children", kVector, kStruct, "TItem"), Field("data", kBlob),
         Field("empty", kEnum, 0, "TEmpty", true), Field("any", kObject)},
        "An item.");
    builder_.Record("Bad Name!", {});
    builder_.Record("HostError", {Field("mine", kString)});  // takes the error schema's name

    builder_.Function(PLUGIN_METHOD_GET, "/t/v1/items/{id}", "GetTV1ItemsById",
                      {Param("id", kUInt64, PLUGIN_PARAMETER_PATH),
                       Param("verbose", kBool, PLUGIN_PARAMETER_QUERY),
                       Param("filter", kVector, PLUGIN_PARAMETER_QUERY, true, kString),
                       Param("token", kString, PLUGIN_PARAMETER_HEADER, true),
                       Param("kind", kEnum, PLUGIN_PARAMETER_ANY, false, 0, "TKind"),
                       Param("stray", kString, PLUGIN_PARAMETER_PATH)},
                      kStruct, 0, "TItem");
    builder_.Function(PLUGIN_METHOD_POST, "/t/v1/items/{id}", "PostTV1ItemsById",
                      {Param("id", kUInt64, PLUGIN_PARAMETER_ANY),
                       Param("item", kStruct, PLUGIN_PARAMETER_BODY, false, 0, "TItem"),
                       Param("second", kString, PLUGIN_PARAMETER_BODY)});
    builder_.Function(PLUGIN_METHOD_GET, "/t/v1/items/{other}", "GetTV1ItemsByOther");
    builder_.Function(PLUGIN_METHOD_GET, "/t/v1/items", "GetTV1Items", {}, kVector, kStruct,
                      "TItem");
    builder_.Function(PLUGIN_METHOD_ANY, "/t/v1/any", "TV1Any", {}, kObject);
    builder_.Function(PLUGIN_METHOD_DELETE, "/t/v1/files/{+path}", "DeleteTV1FilesByPath");
    builder_.Function(PLUGIN_METHOD_GET, "/t/v1/pair/{}/{}", "GetTV1PairByBy", {}, kString);
    builder_.Function(PLUGIN_METHOD_INVOKE, "/t/v1/invoked", "TV1Invoked");
    builder_.Function(PLUGIN_METHOD_GET, "/t/v1/frag{#rest}", "GetTV1FragByRest");
    builder_.Function(PLUGIN_METHOD_GET, "/t/v1/open/{x", "GetTV1OpenByX");
    builder_.Function(PLUGIN_METHOD_GET, "relative", "GetRelative");
    PluginFunctionEntry& described =
        builder_.Function(PLUGIN_METHOD_GET, "/t/v1/described", "GetTV1Described");
    described.description = "Short \xff text";
    described.help = "Longer text.";
    static const char* const kTags[] = {"store"};
    described.tags = kTags;
    described.tagCount = 1;

    OpenApiInfo info;
    info.title = "t local API";
    info.version = "1.2.3";
    info.serverUrl = "http://127.0.0.1:8470";
    info.basicAuth = true;
    text_ = OpenApiDocument(builder_.Table(), info);
    document_ = Parse(text_);
  }

  std::string Json(std::string_view path) const { return JsonAt(document_, path); }

  TableBuilder builder_;
  std::string text_;
  rapidjson::Document document_;
};

TEST_F(HandMadeTable, IsValidOpenApi) {
  EXPECT_THAT(OpenApiProblems(document_), IsEmpty()) << text_;
  EXPECT_EQ(Json("openapi"), "\"3.0.3\"");
  EXPECT_EQ(Json("info"), R"({"title":"t local API","version":"1.2.3"})");
  EXPECT_EQ(Json("servers"), R"([{"url":"http://127.0.0.1:8470"}])");
  EXPECT_EQ(Json("security"), R"([{"basicAuth":[]}])");
  EXPECT_EQ(Json("components/securitySchemes"),
            R"({"basicAuth":{"type":"http","scheme":"basic"}})");
}

TEST_F(HandMadeTable, ListsTheOperationsThatHttpCanReach) {
  EXPECT_THAT(
      OpenApiOperations(document_),
      UnorderedElementsAre(
          Pair("get", "/t/v1/items/{id}"), Pair("post", "/t/v1/items/{id}"),
          Pair("get", "/t/v1/items"), Pair("delete", "/t/v1/any"), Pair("get", "/t/v1/any"),
          Pair("head", "/t/v1/any"), Pair("options", "/t/v1/any"), Pair("patch", "/t/v1/any"),
          Pair("post", "/t/v1/any"), Pair("put", "/t/v1/any"), Pair("delete", "/t/v1/files/{path}"),
          Pair("get", "/t/v1/pair/{capture1}/{capture2}"), Pair("get", "/t/v1/described")));
  // A function registered for every method gets the method in front of its name.
  EXPECT_EQ(Json("paths/~1t~1v1~1any/put/operationId"), "\"PutTV1Any\"");
  EXPECT_EQ(Json("paths/~1t~1v1~1items~1{id}/get/operationId"), "\"GetTV1ItemsById\"");
  EXPECT_EQ(Json("paths/~1t~1v1~1described"),
            R"({"get":{"operationId":"GetTV1Described","summary":"Short � text",)"
            R"("description":"Longer text.","tags":["store"],"responses":{"204":{"description":)"
            R"("Done; no value."},"default":{"description":"The failure: \"Invalid function\" )"
            R"((404), an argument or body that does not convert, or the handler's own )"
            R"(failure.","content":{"application/json":{"schema":{"$ref":)"
            R"("#/components/schemas/HostError"}}}}}}})");
}

TEST_F(HandMadeTable, ParametersComeFromTheirLocations) {
  EXPECT_EQ(Json("paths/~1t~1v1~1items~1{id}/get/parameters"),
            R"([{"name":"id","in":"path","required":true,"schema":{"type":"integer",)"
            R"("format":"uint64","minimum":0}},)"
            // A bool is false when no source names it, so it is never required.
            R"({"name":"verbose","in":"query","required":false,"schema":{"type":"boolean"}},)"
            // Structured arguments are JSON text.
            R"({"name":"filter","in":"query","required":false,"content":{"application/json":)"
            R"({"schema":{"type":"array","items":{"type":"string"}}}}},)"
            R"({"name":"token","in":"header","required":false,"schema":{"type":"string"}},)"
            // An argument from any source that is not a capture goes in the query.
            R"({"name":"kind","in":"query","required":true,"schema":)"
            R"({"$ref":"#/components/schemas/TKind"}}])");
  // The body goes to the first body parameter; a path capture may be declared for any source.
  EXPECT_EQ(Json("paths/~1t~1v1~1items~1{id}/post/parameters/0/name"), "\"id\"");
  EXPECT_EQ(Json("paths/~1t~1v1~1items~1{id}/post/requestBody/required"), "true");
  for (const char* type : {"application~1json", "application~1vnd.api+json", "application~1x-yaml",
                           "application~1x-msgpack"}) {
    EXPECT_EQ(Json(std::string("paths/~1t~1v1~1items~1{id}/post/requestBody/content/") + type),
              R"({"schema":{"$ref":"#/components/schemas/TItem"}})");
  }
  EXPECT_EQ(Json("paths/~1t~1v1~1files~1{path}/delete/parameters/0/description"),
            R"("The rest of the path; may hold \"/\".")");
}

TEST_F(HandMadeTable, ResponsesFollowTheResultType) {
  EXPECT_EQ(Json("paths/~1t~1v1~1items/get/responses/200/content/application~1json/schema"),
            R"({"type":"array","items":{"$ref":"#/components/schemas/TItem"}})");
  // "object" results may be empty, and the host answers those with 204.
  const rapidjson::Value* any = At(document_, "paths/~1t~1v1~1any/get/responses");
  ASSERT_NE(any, nullptr);
  EXPECT_EQ(JsonAt(*any, "200/content/application~1json/schema"), "{}");
  EXPECT_NE(At(*any, "204"), nullptr);
  EXPECT_EQ(At(document_, "paths/~1t~1v1~1items~1{id}/post/responses/200"), nullptr);
}

TEST_F(HandMadeTable, RecordsAndEnumsBecomeComponents) {
  EXPECT_EQ(
      Json("components/schemas/TItem"),
      R"({"type":"object","properties":{)"
      R"("id":{"type":"integer","format":"uint64","minimum":0},)"
      R"("tags":{"type":"array","items":{"type":"string"}},)"
      R"("kind":{"$ref":"#/components/schemas/TKind"},)"
      R"("price":{"type":"number","format":"float","nullable":true},)"
      R"("extra":{"type":"object","additionalProperties":{"type":"integer","format":"int32"}},)"
      R"("children":{"type":"array","items":{"$ref":"#/components/schemas/TItem"}},)"
      R"("data":{"type":"string","format":"byte"},)"
      R"("empty":{"allOf":[{"$ref":"#/components/schemas/TEmpty"}],"nullable":true},)"
      R"("any":{}},"description":"An item."})");
  EXPECT_EQ(Json("components/schemas/TKind"),
            R"({"type":"string","enum":["Alpha","Beta"],"x-enum-values":{"Alpha":1,"Beta":2}})");
  EXPECT_EQ(Json("components/schemas/TEmpty"), R"({"type":"string"})");
  // Names outside OpenAPI's alphabet are replaced; a clash with the error schema is resolved.
  EXPECT_EQ(Json("components/schemas/Bad_Name_"), R"({"type":"object","properties":{}})");
  EXPECT_EQ(Json("components/schemas/HostError_2/properties"), R"({"mine":{"type":"string"}})");
  EXPECT_EQ(Json("components/schemas/HostError/required"), R"(["httpStatus","message"])");
}

TEST(OpenApiPathTest, ConvertsTemplates) {
  struct Case {
    const char* pathTemplate;
    const char* path;
  };
  const Case cases[] = {
      {"/qor-store/v1/wallet", "/qor-store/v1/wallet"},
      {"/qor-store/v1/skins/{skinId}/purchase", "/qor-store/v1/skins/{skinId}/purchase"},
      {"/files/{+rest}", "/files/{rest}"},
      {"/a/{x}/{x}", "/a/{x}/{x_2}"},
      {"/a/{}", "/a/{capture1}"},
      {"/a/{#frag}", ""},
      {"/a/{x", ""},
      {"/a/x}", ""},
      {"/a/{{x}}", ""},
      {"a/b", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pathTemplate);
    EXPECT_EQ(OpenApiPath(c.pathTemplate), c.path);
  }
}

TEST(OpenApiDocumentTest, EmptyTableGivesAnEmptyValidDocument) {
  const std::string text = OpenApiDocument(PluginEndpointTable{}, OpenApiInfo{});
  rapidjson::Document document = Parse(text);
  EXPECT_THAT(OpenApiProblems(document), IsEmpty());
  EXPECT_EQ(JsonAt(document, "paths"), "{}");
  EXPECT_EQ(At(document, "servers"), nullptr);
  EXPECT_EQ(At(document, "security"), nullptr);
}

#ifdef QOR_STORE_PLUGIN

// The real plug-in's table, from libqor_store.so loaded without starting it.
class StoreTable : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    MaybeType<Failure, std::unique_ptr<PluginLibrary>> library =
        PluginLibrary::Open(QOR_STORE_PLUGIN);
    ASSERT_TRUE(library.Succeeded()) << library.ErrorMessage();
    library_ = library->release();
    MaybeType<Failure, PluginLoadInfo> info = library_->Load();
    ASSERT_TRUE(info.Succeeded()) << info.ErrorMessage();
    info_ = *info;
    ASSERT_NE(info_.endpoints, nullptr);
    text_ = new std::string(OpenApiDocument(*info_.endpoints, OpenApiInfo{}));
  }
  static void TearDownTestSuite() {
    if (library_ != nullptr && info_.context != nullptr) library_->Shutdown(info_.context);
    delete text_;
    text_ = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(text_, nullptr);
    document_ = Parse(*text_);
  }
  std::string Json(std::string_view path) const { return JsonAt(document_, path); }

  static PluginLibrary* library_;  // never closed, as the host does
  static PluginLoadInfo info_;
  static std::string* text_;
  rapidjson::Document document_;
};
PluginLibrary* StoreTable::library_ = nullptr;
PluginLoadInfo StoreTable::info_{};
std::string* StoreTable::text_ = nullptr;

TEST_F(StoreTable, IsValidOpenApiWithOneOperationPerFunction) {
  EXPECT_THAT(OpenApiProblems(document_), IsEmpty());
  const PluginEndpointTable& table = *info_.endpoints;
  ASSERT_EQ(table.functionCount, 14u);
  EXPECT_EQ(OpenApiOperations(document_).size(), 14u);
  for (uint32_t i = 0; i < table.functionCount; ++i) {
    const PluginFunctionEntry& function = table.functions[i];
    std::string method(MethodName(function.method));
    for (char& c : method)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    SCOPED_TRACE(method + " " + function.pathTemplate);
    EXPECT_THAT(OpenApiOperations(document_),
                Contains(Pair(method, OpenApiPath(function.pathTemplate))));
    std::string path = OpenApiPath(function.pathTemplate);
    for (size_t at = 0; (at = path.find('/', at)) != std::string::npos;)
      path.replace(at, 1, "~1");
    EXPECT_EQ(Json("paths/" + path + "/" + method + "/operationId"),
              "\"" + std::string(function.name) + "\"");
  }
}

TEST_F(StoreTable, DescribesTheStoresArgumentsAndResults) {
  EXPECT_EQ(Json("paths/~1qor-store~1v1~1catalog/get/parameters"),
            R"([{"name":"inventoryType","in":"query","required":false,"content":)"
            R"({"application/json":{"schema":{"type":"array","items":{"type":"string"}}}}},)"
            R"({"name":"itemId","in":"query","required":false,"content":{"application/json":)"
            R"({"schema":{"type":"array","items":{"type":"integer","format":"int32"}}}}}])");
  EXPECT_EQ(Json("paths/~1qor-store~1v1~1catalog/get/responses/200/content/application~1json/"
                 "schema"),
            R"({"type":"array","items":{"$ref":"#/components/schemas/QorStoreCatalogItem"}})");
  EXPECT_EQ(Json("paths/~1qor-store~1v1~1paymentDetails/get/parameters"),
            R"([{"name":"action","in":"query","required":true,"schema":{"type":"string"}},)"
            R"({"name":"giftRecipientAccountId","in":"query","required":false,"schema":)"
            R"({"type":"integer","format":"uint64","minimum":0}},)"
            R"({"name":"giftMessage","in":"query","required":false,"schema":{"type":"string"}}])");
  const std::string purchase = "paths/~1qor-store~1v1~1skins~1{skinId}~1purchase/post/";
  EXPECT_EQ(Json(purchase + "parameters"),
            R"([{"name":"skinId","in":"path","required":true,"schema":)"
            R"({"type":"integer","format":"int32"}}])");
  EXPECT_EQ(Json(purchase + "requestBody/content/application~1json/schema"),
            R"({"$ref":"#/components/schemas/QorStoreItemCost"})");
  EXPECT_EQ(Json("paths/~1qor-store~1v1~1lastPage/post/requestBody/content/application~1json"),
            R"({"schema":{"type":"string"}})");
  EXPECT_EQ(Json("paths/~1qor-store~1v1~1lastPage/post/responses/204"),
            R"({"description":"Done; no value."})");
  EXPECT_EQ(Json("paths/~1qor-store~1v1~1wallet/get/responses/200/content/application~1json"),
            R"({"schema":{"$ref":"#/components/schemas/QorStoreWallet"}})");
}

TEST_F(StoreTable, DescribesTheRecords) {
  EXPECT_EQ(Json("components/schemas/QorStoreWallet"),
            R"({"type":"object","properties":{"ip":{"type":"integer","format":"int64"},)"
            R"("vp":{"type":"integer","format":"int64"}}})");
  EXPECT_EQ(Json("components/schemas/QorStoreItemCost/properties/discount"),
            R"({"type":"number","format":"float","nullable":true})");
  EXPECT_EQ(Json("components/schemas/QorStoreServiceWallet/properties/balances"),
            R"({"type":"array","items":{"$ref":"#/components/schemas/QorStoreServiceBalance"}})");
  EXPECT_EQ(Json("components/schemas/QorStoreLoginSessionStates/x-enum-values"),
            R"({"ERROR":3,"IN_PROGRESS":0,"LOGGING_OUT":2,"SUCCEEDED":1})");
  EXPECT_EQ(Json("components/schemas/BindingAsyncState/enum"),
            R"(["Cancelled","Cancelling","Failed","None","Running","Succeeded"])");
}

#endif  // QOR_STORE_PLUGIN

}  // namespace
}  // namespace qor::host
