#include "store/lcds_records.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "binding/registry.h"
#include "store/records.h"

namespace Vaxo::Client::Store::Api {
namespace {

// The class name of every DTO, by registered name, by type identity and through the table.
TEST(LcdsClasses, ClassNamesByRegisteredNameAndByTypeIdentity) {
  struct Case {
    std::string_view registeredName;
    qor::TypeId typeId;
    std::string_view className;
  } cases[] = {
      {"StoreLcdsStoreFulfillmentNotification",
       qor::StaticType::Id<StoreLcdsStoreFulfillmentNotification>(),
       "com.vaxoworks.platform.messaging.StoreFulfillmentNotification"},
      {"StoreLcdsStoreAccountBalanceNotification",
       qor::StaticType::Id<StoreLcdsStoreAccountBalanceNotification>(),
       "com.vaxoworks.platform.messaging.StoreAccountBalanceNotification"},
      {"StoreLcdsSimpleDialogMessage", qor::StaticType::Id<StoreLcdsSimpleDialogMessage>(),
       "com.vaxoworks.platform.messaging.persistence.SimpleDialogMessage"},
      {"StoreLcdsSimpleDialogMessageResponse",
       qor::StaticType::Id<StoreLcdsSimpleDialogMessageResponse>(),
       "com.vaxoworks.platform.messaging.persistence.SimpleDialogMessageResponse"},
      {"StoreLcdsChampionSkinDTO", qor::StaticType::Id<StoreLcdsChampionSkinDTO>(),
       "com.vaxoworks.platform.catalog.champion.ChampionSkinDTO"},
      {"StoreLcdsChampionDTO", qor::StaticType::Id<StoreLcdsChampionDTO>(),
       "com.vaxoworks.platform.catalog.champion.ChampionDTO"},
  };
  auto table = LcdsClasses();
  ASSERT_EQ(table.size(), std::size(cases));
  for (std::size_t i = 0; i < table.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(std::string(c.registeredName));
    EXPECT_EQ(table[i].registeredName, c.registeredName);
    EXPECT_EQ(table[i].className, c.className);
    EXPECT_EQ(table[i].typeId, c.typeId);
    EXPECT_EQ(LcdsClassName(c.registeredName), c.className);
    EXPECT_EQ(LcdsClassName(c.typeId), c.className);
  }
  EXPECT_EQ(LcdsClassNameOf<StoreLcdsSimpleDialogMessageResponse>(),
            "com.vaxoworks.platform.messaging.persistence.SimpleDialogMessageResponse");
}

TEST(LcdsClasses, OtherTypesHaveNoClassName) {
  EXPECT_EQ(LcdsClassName("SimpleDialogMessage"), std::nullopt);
  EXPECT_EQ(LcdsClassName("QorStoreSimpleDialogMessage"), std::nullopt);
  EXPECT_EQ(LcdsClassName("storelcdssimpledialogmessage"), std::nullopt);
  EXPECT_EQ(LcdsClassName(""), std::nullopt);
  // The store's own dialog message has the same fields but is no DTO.
  EXPECT_EQ(LcdsClassNameOf<SimpleDialogMessage>(), std::nullopt);
  EXPECT_EQ(LcdsClassName(qor::kReservedTypeId), std::nullopt);
}

// The table and the registry agree: same order, and each entry's identity finds the record
// registered under the entry's name, without prefix.
TEST(LcdsClasses, TableMatchesTheRegistration) {
  qor::TypeRegistry registry;
  RegisterLcdsRecords(registry);
  std::vector<const qor::TypeRecord*> types = registry.Types();
  auto table = LcdsClasses();
  ASSERT_EQ(types.size(), table.size());
  for (std::size_t i = 0; i < table.size(); ++i) {
    SCOPED_TRACE(std::string(table[i].registeredName));
    EXPECT_EQ(types[i]->Name(), table[i].registeredName);
    EXPECT_EQ(registry.FindType(table[i].typeId), types[i]);
    EXPECT_TRUE(table[i].className.starts_with("com.vaxoworks.platform."));
  }
}

}  // namespace
}  // namespace Vaxo::Client::Store::Api
