// Tests of host/openapi/openapi.h: the document made from a small hand-made endpoint table (the
// real plug-in's is checked end to end in store_e2e_test.cpp).
#include "host/openapi/openapi.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "api/route.h"
#include "tests/e2e/json_lookup.h"

namespace qor::host {
namespace {

using testing::At;
using testing::JsonAt;
using testing::OpenApiOperations;
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

// A small endpoint table, built entry by entry (texts left out are null, which the document
// reads as empty).
class TableBuilder {
 public:
  PluginFunctionEntry& Function(uint32_t method, const char* path, const char* name,
                                std::vector<PluginParameterEntry> parameters = {},
                                uint32_t result = 0, uint32_t element = 0,
                                const char* resultTypeName = "") {
    std::vector<PluginParameterEntry>& list = parameterLists_.emplace_back(std::move(parameters));
    PluginFunctionEntry& entry = functions_.emplace_back();
    entry.method = method;
    entry.name = name;
    entry.pathTemplate = path;
    entry.resultType = result;
    entry.resultElementType = element;
    entry.resultTypeName = resultTypeName;
    entry.parameters = list.empty() ? nullptr : list.data();
    entry.parameterCount = static_cast<uint32_t>(list.size());
    return entry;
  }
  void Record(const char* name, std::vector<PluginFieldEntry> fields, const char* text = "") {
    std::vector<PluginFieldEntry>& list = fieldLists_.emplace_back(std::move(fields));
    types_.push_back(PluginTypeEntry{});
    types_.back().name = name;
    types_.back().description = text;
    types_.back().fields = list.empty() ? nullptr : list.data();
    types_.back().memberCount = static_cast<uint32_t>(list.size());
  }
  void Enum(const char* name, std::vector<PluginEnumeratorEntry> values) {
    std::vector<PluginEnumeratorEntry>& list = enumeratorLists_.emplace_back(std::move(values));
    types_.push_back(PluginTypeEntry{});
    types_.back().name = name;
    types_.back().enumerators = list.empty() ? nullptr : list.data();
    types_.back().memberCount = static_cast<uint32_t>(list.size());
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

    document_ = Parse(OpenApiDocument(builder_.Table(), {.title = "t local API",
                                                         .version = "1.2.3",
                                                         .serverUrl = "http://127.0.0.1:8470",
                                                         .basicAuth = true}));
  }

  std::string Json(std::string_view path) const { return JsonAt(document_, path); }

  TableBuilder builder_;
  rapidjson::Document document_;
};

TEST_F(HandMadeTable, DescribesTheHostAndItsAccess) {
  EXPECT_EQ(Json("info"), R"({"title":"t local API","version":"1.2.3"})");
  EXPECT_EQ(Json("servers"), R"([{"url":"http://127.0.0.1:8470"}])");
  EXPECT_EQ(Json("security"), R"([{"basicAuth":[]}])");
  EXPECT_EQ(Json("components/securitySchemes"),
            R"({"basicAuth":{"type":"http","scheme":"basic"}})");
  // An empty table, no server and no access: an empty valid document.
  rapidjson::Document empty = Parse(OpenApiDocument(PluginEndpointTable{}, OpenApiInfo{}));
  EXPECT_EQ(JsonAt(empty, "paths"), "{}");
  EXPECT_EQ(At(empty, "servers"), nullptr);
  EXPECT_EQ(At(empty, "security"), nullptr);
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
  // Texts are kept as valid UTF-8.
  EXPECT_EQ(Json("paths/~1t~1v1~1described/get/summary"), R"("Short � text")");
  EXPECT_EQ(Json("paths/~1t~1v1~1described/get/tags"), R"(["store"])");
  EXPECT_EQ(Json("paths/~1t~1v1~1described/get/responses/default/content/application~1json"),
            R"({"schema":{"$ref":"#/components/schemas/HostError"}})");
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
  EXPECT_EQ(Json("paths/~1t~1v1~1items~1{id}/post/requestBody/content/application~1x-msgpack"),
            R"({"schema":{"$ref":"#/components/schemas/TItem"}})");
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

}  // namespace
}  // namespace qor::host
