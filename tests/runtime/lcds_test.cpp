#include "runtime/lcds.h"

#include <gtest/gtest.h>

#include <future>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "binding/json.h"
#include "binding/record.h"
#include "host/core/host_core.h"
#include "tests/runtime/runtime_fixture.h"

namespace qor {
namespace {

using host::HostCore;
using host::LocalCall;
using host::LocalReply;
using runtime_test::TestModule;

struct Skin {
  std::int32_t skinId = 0;
  bool owned = false;
};

struct Champion {
  std::int32_t championId = 0;
  Skin favourite;
  std::optional<Skin> spare;
  std::vector<Skin> skins;
  std::map<std::string, Skin> byName;
  BindingProperty extra;
};

constexpr std::string_view kSkinClass = "com.vaxo.platform.catalog.dto.SkinDTO";
constexpr std::string_view kChampionClass = "com.vaxo.platform.catalog.dto.ChampionDTO";

template <typename T>
MaybeType<Failure, T> Take(std::future<MaybeType<Failure, T>> future) {
  EXPECT_EQ(future.wait_for(std::chrono::seconds(0)), std::future_status::ready)
      << "an LCDS call is complete when it returns";
  return future.get();
}

BindingProperty Json(std::string_view text) {
  MaybeType<Failure, BindingProperty> parsed = ParseJson(text);
  EXPECT_TRUE(parsed.Succeeded()) << text;
  return parsed.Property();
}

BindingProperty LcdsResponse(std::string_view typeName, BindingProperty body) {
  BindingProperty response;
  response.MutableMember("body") = std::move(body);
  response.MutableMember("typeName") = typeName;
  return response;
}

BindingProperty LcdsPush(std::string_view typeName, BindingProperty body) {
  BindingProperty event;
  event.MutableMember("body") = std::move(body);
  event.MutableMember("typeName") = typeName;
  return event;
}

class LcdsTest : public ::testing::Test {
 protected:
  LcdsTest() {
    DeclareRecord<Skin>(module.Types(), "StoreLcdsSkin")
        .Field("skinId", &Skin::skinId)
        .Field("owned", &Skin::owned);
    DeclareRecord<Champion>(module.Types(), "StoreLcdsChampion")
        .Field("championId", &Champion::championId)
        .Field("favourite", &Champion::favourite)
        .Field("spare", &Champion::spare)
        .Field("skins", &Champion::skins)
        .Field("byName", &Champion::byName)
        .Field("extra", &Champion::extra);
    lcds.AddClass("StoreLcdsSkin", kSkinClass, StaticType::Id<Skin>());
    lcds.AddClass("StoreLcdsChampion", kChampionClass, StaticType::Id<Champion>());
    host.SetLocalPeer(std::string(LcdsClient::kInvokePath), [this](const LocalCall& call) {
      calls.push_back(call);
      return reply;
    });
  }

  HostCore host;
  TestModule module{host};
  LcdsClient& lcds = module.lcds;
  std::vector<LocalCall> calls;
  LocalReply reply = LocalReply::Value(LcdsResponse("", BindingProperty()));
};

// Every record with a class name, at any depth, carries it as "__class"; an object field is
// sent as it is.
TEST_F(LcdsTest, CallSendsDestinationMethodAndAnnotatedParameters) {
  Champion champion;
  champion.championId = 9;
  champion.favourite.skinId = 1;
  champion.skins = {Skin{2, true}};
  champion.byName["classic"] = Skin{4, true};
  champion.extra = Json(R"({"skinId":5})");
  MaybeType<Failure, void> result =
      Take(lcds.Call("catalogService", "save", champion, std::string("plain"), 12));
  ASSERT_TRUE(result.Succeeded()) << result.ErrorMessage();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].method, uint32_t{PLUGIN_METHOD_POST});
  EXPECT_EQ(calls[0].path, LcdsClient::kInvokePath);
  ASSERT_EQ(calls[0].arguments.size(), 3u);
  EXPECT_EQ(WriteJson(calls[0].arguments[1]), R"("save")");
  const std::string skin = R"({"__class":"com.vaxo.platform.catalog.dto.SkinDTO","owned":)";
  EXPECT_EQ(WriteJson(calls[0].arguments[2]),
            R"([{"__class":"com.vaxo.platform.catalog.dto.ChampionDTO","byName":{"classic":)" +
                skin + R"(true,"skinId":4}},"championId":9,"extra":{"skinId":5},"favourite":)" +
                skin + R"(false,"skinId":1},"skins":[)" + skin +
                R"(true,"skinId":2}],"spare":null},"plain",12])");
}

TEST_F(LcdsTest, DtoResults) {
  const std::string skinName(StaticType::Name<Skin>());
  // Each reply and the outcome: the skin id, or the failure's message.
  const std::pair<LocalReply, std::string> cases[] = {
      {LocalReply::Value(LcdsResponse(kSkinClass, Json(R"({"skinId":11})"))), "11"},
      // The class must match even when the body converts.
      {LocalReply::Value(LcdsResponse("com.other.Skin", Json(R"({"skinId":11})"))),
       "Expected 'com.vaxo.platform.catalog.dto.SkinDTO' as LCDS response for "
       "catalogService.getSkin, but got 'com.other.Skin'"},
      {LocalReply::Value(LcdsResponse("anything", BindingProperty())), "0"},  // the default
      {LocalReply::Value(LcdsResponse(kSkinClass, Json(R"({"skinId":"eleven"})"))),
       "Couldn't convert LCDS DTO " + skinName + " to C++ from {\"skinId\":\"eleven\"}"},
      {LocalReply::Error(500, "session gone"),
       "Error response for POST /qor-login/v1/session/invoke: session gone"},
  };
  for (const auto& [answer, outcome] : cases) {
    reply = answer;
    MaybeType<Failure, Skin> result = Take(lcds.Call<Skin>("catalogService", "getSkin", 11));
    EXPECT_EQ(result.Succeeded() ? std::to_string(result->skinId) : result.ErrorMessage(), outcome);
  }
}

TEST_F(LcdsTest, PushesAreDeliveredLaterInTheirOwnCallbacksOrDropped) {
  std::vector<std::int32_t> seen;
  lcds.Subscribe<Skin>(kSkinClass, [&](const Skin& skin) { seen.push_back(skin.skinId); });
  const std::string eventName = LcdsClient::EventNameOfClass(kSkinClass);
  ASSERT_EQ(host.Subscriptions().back().name, eventName);
  EXPECT_EQ(host.Subscriptions().back().flags, uint32_t{PLUGIN_SUBSCRIBE_SERVICE_EVENTS});

  // Two pushes in one burst: nothing runs inside the host's callbacks.
  host.DeliverEvent(eventName, LcdsPush(kSkinClass, Json(R"({"skinId":1})")));
  host.DeliverEvent(eventName, LcdsPush(kSkinClass, Json(R"({"skinId":2})")));
  EXPECT_TRUE(seen.empty());
  ASSERT_EQ(host.ScheduledRequests().size(), 2u);
  EXPECT_EQ(host.ScheduledRequests()[1].label,
            "Event: OnLcdsEvent (com.vaxo.platform.catalog.dto.SkinDTO)");
  host.Drain();
  EXPECT_EQ(seen, (std::vector<std::int32_t>{1, 2}));
  EXPECT_EQ(module.PendingScheduledCallbacks(), 0u);

  // A class with no handlers is not scheduled, nor a payload that is no LCDS event; a body
  // that does not convert reaches no handler, and the next push still does.
  host.DeliverEvent(eventName, LcdsPush("com.other.Thing", Json(R"({"skinId":1})")));
  host.DeliverEvent(eventName, BindingProperty(5));
  EXPECT_EQ(host.ScheduledRequests().size(), 2u);
  host.DeliverEvent(eventName, LcdsPush(kSkinClass, Json(R"({"skinId":"x"})")));
  host.DeliverEvent(eventName, LcdsPush(kSkinClass, Json(R"({"skinId":3})")));
  host.Drain();
  EXPECT_EQ(seen, (std::vector<std::int32_t>{1, 2, 3}));
}

TEST_F(LcdsTest, HandlersRemovedBeforeTheCallbackRunsAreNotCalled) {
  int calls = 0;
  lcds.Subscribe("a.b.C", [&](const PluginLcdsEvent&) { ++calls; });
  host.DeliverEvent("OnLcdsEvent_a_b_C", LcdsPush("a.b.C", BindingProperty()));
  lcds.Stop();
  host.Drain();
  EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace qor
