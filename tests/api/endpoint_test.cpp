// Endpoints registered from member operations, the endpoint table and the builtin types.
#include "api/endpoint.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "api/builtin_types.h"
#include "api/endpoint_table.h"
#include "binding/record.h"

namespace qor {
namespace {

enum class Tier : int32_t { Basic = 1, Epic = 3 };

struct Price {
  int64_t amount = 0;
  Tier tier = Tier::Basic;
};

// A small plug-in object with store-like endpoints.
class Shop {
 public:
  MaybeType<Failure, Price> GetPrice(std::string id, std::optional<int32_t> discount) {
    if (id == "missing") return Failure::NotFound("No item '" + id + "'");
    lastId = id;
    return Price{100 - discount.value_or(0), Tier::Epic};
  }
  MaybeType<Failure, void> Buy(std::string id, Price price, bool gift) {
    bought.push_back(id + ":" + std::to_string(price.amount) + (gift ? ":gift" : ""));
    return {};
  }
  MaybeType<Failure, std::vector<std::string>> List(const std::string& filter) const {
    return std::vector<std::string>{"a" + filter, "b" + filter};
  }

  std::string lastId;
  std::vector<std::string> bought;
};

class EndpointTest : public ::testing::Test {
 protected:
  EndpointTest() {
    DeclareEnum<Tier>(registry_, "ShopTier").Value("Basic", Tier::Basic).Value("Epic", Tier::Epic);
    DeclareRecord<Price>(registry_, "ShopPrice", "A price.")
        .Field("amount", &Price::amount, kRequired)
        .Field("tier", &Price::tier);
    get_ = &RegisterEndpoint(dispatcher_, PLUGIN_METHOD_GET, "/shop/v1/items/{id}/price", &shop_,
                             &Shop::GetPrice, PathArg("id"), QueryArg("discount"));
    buy_ = &RegisterEndpoint(dispatcher_, PLUGIN_METHOD_POST, "/shop/v1/items/{id}/buy", &shop_,
                             &Shop::Buy, PathArg("id").Help("Item id"), BodyArg("price"),
                             QueryArg("gift"));
    list_ = &RegisterEndpoint(dispatcher_, PLUGIN_METHOD_GET, "/shop/v1/items",
                              static_cast<const Shop*>(&shop_), &Shop::List,
                              AnyArg("filter").Optional());
  }

  // Calls through the call entry; returns the response, which the caller releases.
  PluginLocalResponse Call(const Function& function, uint32_t method, const char* path) {
    PluginLocalRequest request{};
    request.method = method;
    request.path = path;
    request.context = dispatcher_.ContextOf(function);
    PluginLocalResponse response{};
    Dispatcher::CallEntry(&response, &request);
    return response;
  }

  TypeRegistry registry_;
  Dispatcher dispatcher_{registry_};
  Shop shop_;
  Function* get_ = nullptr;
  Function* buy_ = nullptr;
  Function* list_ = nullptr;
};

const HostValue* MemberOf(const HostValue& value, const char* key) {
  for (uint32_t i = 0; i < value.length; ++i) {
    if (std::strcmp(value.data.entries[i].key, key) == 0) return &value.data.entries[i].value;
  }
  return nullptr;
}

TEST_F(EndpointTest, ReadsArgumentsAndWritesResults) {
  PluginLocalResponse response =
      Call(*get_, PLUGIN_METHOD_GET, "/shop/v1/items/sk%201/price?discount=0x10");
  ASSERT_EQ(response.errorText, nullptr);
  EXPECT_EQ(shop_.lastId, "sk 1");
  EXPECT_EQ(response.status, 0u);  // success sets no status
  ASSERT_EQ(response.body.tag, uint32_t{HOST_VALUE_STRUCTURE});
  EXPECT_EQ(MemberOf(response.body, "amount")->data.signedValue, 84);
  EXPECT_STREQ(MemberOf(response.body, "tier")->data.text, "Epic");  // enum reply by name
  response.release(&response);

  response = Call(*list_, PLUGIN_METHOD_GET, "/shop/v1/items");
  ASSERT_EQ(response.errorText, nullptr);
  ASSERT_EQ(response.body.tag, uint32_t{HOST_VALUE_COLLECTION});
  EXPECT_STREQ(response.body.data.elements[1].data.text, "b");  // optional: default value
  response.release(&response);
}

// An operation's failure keeps its status; a required body member missing stops the call.
TEST_F(EndpointTest, ReportsFailures) {
  PluginLocalResponse response = Call(*get_, PLUGIN_METHOD_GET, "/shop/v1/items/missing/price");
  EXPECT_STREQ(response.errorText, "No item 'missing'");
  EXPECT_EQ(response.status, 404u);
  response.release(&response);
  response = Call(*buy_, PLUGIN_METHOD_POST, "/shop/v1/items/a/buy");
  EXPECT_STREQ(response.errorText, "A value for 'price' is required.");
  response.release(&response);
  EXPECT_TRUE(shop_.bought.empty());
}

TEST_F(EndpointTest, TableCoversEveryFunctionTypeAndEvent) {
  RegisterBuiltinTypes(registry_);
  EndpointTable table(dispatcher_);
  const PluginEndpointTable& descriptor = table.Descriptor();

  ASSERT_EQ(descriptor.functionCount, 3u);
  const PluginFunctionEntry& buy = descriptor.functions[1];
  EXPECT_STREQ(buy.name, "PostShopV1ItemsByIdBuy");
  ASSERT_EQ(buy.parameterCount, 3u);
  EXPECT_STREQ(buy.parameters[1].name, "price");
  EXPECT_EQ(buy.parameters[1].nativeType, uint32_t{17});
  EXPECT_STREQ(buy.parameters[1].typeName, "ShopPrice");
  EXPECT_STREQ(descriptor.functions[0].resultTypeName, "ShopPrice");

  // Every registered type is listed, in registration order, with its members.
  EXPECT_EQ(descriptor.typeCount, registry_.Types().size());
  ASSERT_GE(descriptor.typeCount, 2u);
  EXPECT_EQ(descriptor.types[0].enumerators[1].value, 3);
  const PluginTypeEntry& price = descriptor.types[1];
  ASSERT_EQ(price.memberCount, 2u);
  EXPECT_STREQ(price.fields[1].name, "tier");
  EXPECT_EQ(price.fields[1].offset, offsetof(Price, tier));
  EXPECT_STREQ(price.fields[1].typeName, "ShopTier");

  ASSERT_EQ(descriptor.eventCount, 1u);
  EXPECT_STREQ(descriptor.events[0].payloadTypeName, "BindingCallbackEvent");

  // The host calls through the table alone; an operation without a value replies Empty.
  PluginLocalRequest request{};
  request.method = buy.method;
  request.path = "/shop/v1/items/t/buy?gift";
  request.context = buy.context;
  request.contentType = "application/x-yaml";
  request.body = "amount: 9";
  request.bodyLength = 9;
  PluginLocalResponse response{};
  buy.call(&response, &request);
  EXPECT_EQ(response.errorText, nullptr);
  EXPECT_EQ(response.body.tag, uint32_t{HOST_VALUE_EMPTY});
  response.release(&response);
  EXPECT_EQ(shop_.bought, std::vector<std::string>{"t:9:gift"});
}

TEST_F(EndpointTest, DescribesTheApi) {
  RegisterBuiltinTypes(registry_);
  RegisterBuiltinTypes(registry_);  // a second registration changes nothing
  BindingFullApiHelp api = DescribeApi(registry_);
  ASSERT_EQ(api.functions.size(), 3u);
  EXPECT_EQ(api.functions[2].name, "GetShopV1Items");
  EXPECT_EQ(api.functions[2].returns.type, "vector");
  EXPECT_EQ(api.functions[2].returns.elementType, "string");
  EXPECT_EQ(api.functions[1].arguments[1].type.type, "ShopPrice");
  ASSERT_EQ(api.events.size(), 1u);
  EXPECT_EQ(api.events[0].type.type, "BindingCallbackEvent");
  // The description is itself a registered record and converts like any other.
  auto tree = ToBinding(api, registry_);
  ASSERT_TRUE(tree.Succeeded()) << tree.ErrorMessage();
  EXPECT_EQ(tree->Member("functions").Element(0).Member("name").GetString(),
            "GetShopV1ItemsByIdPrice");
}

}  // namespace
}  // namespace qor
