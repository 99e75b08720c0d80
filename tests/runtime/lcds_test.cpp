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

// Declared without a class name: gets no "__class" of its own.
struct Note {
  std::string text;
  Skin skin;
};

constexpr std::string_view kSkinClass = "com.vaxo.platform.catalog.dto.SkinDTO";
constexpr std::string_view kChampionClass = "com.vaxo.platform.catalog.dto.ChampionDTO";

struct ClassEntry {
  std::string_view registeredName;
  std::string_view className;
  TypeId typeId;
};

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
  event.MutableMember("clientId") = "client";
  event.MutableMember("subtopic") = "sub";
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
    DeclareRecord<Note>(module.Types(), "StoreLcdsNote")
        .Field("text", &Note::text)
        .Field("skin", &Note::skin);
    const ClassEntry classes[] = {
        {"StoreLcdsSkin", kSkinClass, StaticType::Id<Skin>()},
        {"StoreLcdsChampion", kChampionClass, StaticType::Id<Champion>()},
    };
    lcds.AddClasses(classes);
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

TEST_F(LcdsTest, CallSendsDestinationMethodAndAnnotatedParameters) {
  Champion champion;
  champion.championId = 9;
  champion.favourite.skinId = 1;
  champion.skins = {Skin{2, true}, Skin{3, false}};
  champion.byName["classic"] = Skin{4, true};
  champion.extra = Json(R"({"skinId":5})");  // an object field is sent as it is
  Note note{"hi", Skin{6, false}};

  MaybeType<Failure, void> result =
      Take(lcds.Call("catalogService", "save", champion, std::vector<Skin>{Skin{7, true}}, note,
                     std::string("plain"), 12));
  ASSERT_TRUE(result.Succeeded()) << result.ErrorMessage();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].method, uint32_t{PLUGIN_METHOD_POST});
  EXPECT_EQ(calls[0].path, LcdsClient::kInvokePath);
  ASSERT_EQ(calls[0].arguments.size(), 3u);
  EXPECT_EQ(calls[0].arguments[0], BindingProperty("catalogService"));
  EXPECT_EQ(calls[0].arguments[1], BindingProperty("save"));
  const std::string skin = R"("__class":"com.vaxo.platform.catalog.dto.SkinDTO")";
  EXPECT_EQ(
      WriteJson(calls[0].arguments[2]),
      "[{\"__class\":\"com.vaxo.platform.catalog.dto.ChampionDTO\",\"byName\":{\"classic\":{" +
          skin + ",\"owned\":true,\"skinId\":4}},\"championId\":9,\"extra\":{\"skinId\":5}," +
          "\"favourite\":{" + skin + ",\"owned\":false,\"skinId\":1},\"skins\":[{" + skin +
          ",\"owned\":true,\"skinId\":2},{" + skin +
          ",\"owned\":false,\"skinId\":3}],\"spare\":null}," + "[{" + skin +
          ",\"owned\":true,\"skinId\":7}]," + "{\"skin\":{" + skin +
          ",\"owned\":false,\"skinId\":6},\"text\":\"hi\"}," + "\"plain\",12]");
}

TEST_F(LcdsTest, DtoResults) {
  struct Case {
    std::string_view label;
    LocalReply reply;
    std::string message;  // empty: success
    std::int32_t skinId = 0;
  };
  const std::string skinName(StaticType::Name<Skin>());
  const Case cases[] = {
      {"matching class", LocalReply::Value(LcdsResponse(kSkinClass, Json(R"({"skinId":11})"))), "",
       11},
      {"class mismatch even though the body converts",
       LocalReply::Value(LcdsResponse("com.other.Skin", Json(R"({"skinId":11})"))),
       "Expected 'com.vaxo.platform.catalog.dto.SkinDTO' as LCDS response for "
       "catalogService.getSkin, but got 'com.other.Skin'"},
      {"empty body gives the default",
       LocalReply::Value(LcdsResponse("anything", BindingProperty())), "", 0},
      {"body that does not convert",
       LocalReply::Value(LcdsResponse(kSkinClass, Json(R"({"skinId":"eleven"})"))),
       "Couldn't convert LCDS DTO " + skinName + " to C++ from {\"skinId\":\"eleven\"}"},
      {"failed request", LocalReply::Error(500, "session gone"),
       "Error response for POST /qor-login/v1/session/invoke: session gone"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    reply = c.reply;
    MaybeType<Failure, Skin> result = Take(lcds.Call<Skin>("catalogService", "getSkin", 11));
    if (c.message.empty()) {
      ASSERT_TRUE(result.Succeeded()) << result.ErrorMessage();
      EXPECT_EQ(result->skinId, c.skinId);
    } else {
      ASSERT_TRUE(result.Failed());
      EXPECT_EQ(result.ErrorMessage(), c.message);
    }
  }
  reply = LocalReply::Error(503, "busy");
  EXPECT_EQ(Take(lcds.Call<Skin>("d", "m")).Status(), 503);
}

TEST_F(LcdsTest, PushesAreDeliveredLaterInTheirOwnCallbacksOrDropped) {
  std::vector<std::int32_t> seen;
  lcds.Subscribe<Skin>(kSkinClass, [&](const Skin& skin) { seen.push_back(skin.skinId); });
  const std::string eventName = LcdsClient::EventNameOfClass(kSkinClass);
  ASSERT_TRUE(host.IsSubscribed(eventName));
  for (const auto& subscription : host.Subscriptions()) {
    if (subscription.name == eventName) {
      EXPECT_EQ(subscription.flags, uint32_t{PLUGIN_SUBSCRIBE_SERVICE_EVENTS});
    }
  }

  // Two pushes in one burst: nothing runs inside the host's callbacks.
  host.DeliverEvent(eventName, LcdsPush(kSkinClass, Json(R"({"skinId":1})")));
  host.DeliverEvent(eventName, LcdsPush(kSkinClass, Json(R"({"skinId":2})")));
  EXPECT_TRUE(seen.empty());
  const auto scheduled = host.ScheduledRequests();
  ASSERT_EQ(scheduled.size(), 2u);
  for (const auto& request : scheduled) {
    EXPECT_EQ(request.label, "Event: OnLcdsEvent (com.vaxo.platform.catalog.dto.SkinDTO)");
    EXPECT_EQ(request.delaySeconds, 0.0);
  }
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
