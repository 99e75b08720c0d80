#include "runtime/resource_events.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "binding/record.h"
#include "host/core/host_core.h"
#include "tests/runtime/runtime_fixture.h"

namespace qor {
namespace {

using host::HostCore;
using host::LocalCall;
using host::LocalReply;
using runtime_test::TestModule;

struct Sample {
  std::int32_t count = 0;
  std::string name;
};

BindingProperty ResourcePayload(std::string_view uri, BindingProperty type, BindingProperty data) {
  BindingProperty payload;
  payload.MutableMember("data") = std::move(data);
  payload.MutableMember("eventType") = std::move(type);
  payload.MutableMember("uri") = uri;
  return payload;
}

BindingProperty SampleData(std::int32_t count, std::string_view name) {
  BindingProperty data;
  data.MutableMember("count") = count;
  data.MutableMember("name") = name;
  return data;
}

class ResourceEventsTest : public ::testing::Test {
 protected:
  ResourceEventsTest() {
    DeclareRecord<Sample>(module.Types(), "Sample")
        .Field("count", &Sample::count)
        .Field("name", &Sample::name);
  }

  HostCore host;
  TestModule module{host};
  ResourceEvents& events = module.Events();
};

TEST(ResourceEventNames, DerivedFromUriSegments) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"/qor-login/v1/session", "OnJsonApiEvent_qor-login_v1_session"},
      {"/qor-login/v1/session/invoke", "OnJsonApiEvent_qor-login_v1_session"},
      {"/qor-platform-config/a/b/c/d/e/f", "OnJsonApiEvent_qor-platform-config_a_b_c_d"},
      {"/qor-platform-configs/a/b/c", "OnJsonApiEvent_qor-platform-configs_a_b"},
      {"//a//b/", "OnJsonApiEvent_a_b"},
      {"", "OnJsonApiEvent"},
  };
  for (const auto& [uri, name] : cases)
    EXPECT_EQ(ResourceEvents::EventNameOfUri(uri), name) << uri;
}

TEST(ResourceEventNames, PatternsMatchOneSegmentPerStar) {
  const std::tuple<std::string_view, std::string_view, bool> cases[] = {
      {"/a/*/c", "/a/x/c", true},
      {"/a/b*", "/a/bcd", true},
      {"/a/*x", "/a/yx", false},  // the star takes the whole segment
      {"/a", "/a/", false},
  };
  for (const auto& [pattern, uri, matches] : cases)
    EXPECT_EQ(ResourceEvents::UriMatchesPattern(pattern, uri), matches) << pattern << " " << uri;
}

TEST_F(ResourceEventsTest, UrisSharingAnEventNameShareOneSubscription) {
  const host::HostCallCounts before = host.Counts();
  events.SubscribeResource("/a/b/c");
  events.SubscribeResource("/a/b/c/d");
  EXPECT_EQ(events.SubscriptionCount("OnJsonApiEvent_a_b_c"), 2);
  ASSERT_EQ(host.Counts().subscribeEvent, before.subscribeEvent + 1);
  EXPECT_EQ(host.Subscriptions().back().flags, uint32_t{PLUGIN_SUBSCRIBE_RESOURCE_EVENTS});

  events.UnsubscribeResource("/a/b/c/d");
  EXPECT_TRUE(host.IsSubscribed("OnJsonApiEvent_a_b_c"));
  events.UnsubscribeResource("/a/b/c");
  EXPECT_FALSE(host.IsSubscribed("OnJsonApiEvent_a_b_c"));
  EXPECT_FALSE(events.HasEventHandler("OnJsonApiEvent_a_b_c"));

  // An unmatched unsubscription must not leave a negative count behind that would swallow
  // the next subscription.
  events.UnsubscribeResource("/a/b/c");
  EXPECT_EQ(host.Counts().unsubscribeEvent, before.unsubscribeEvent + 1);
  events.SubscribeResource("/a/b/c");
  EXPECT_TRUE(host.IsSubscribed("OnJsonApiEvent_a_b_c"));
}

// A pattern whose '*' lies inside the segments that make the event name would derive a name
// that is never published ("OnJsonApiEvent_w_*_items"): it listens to the generic name.
TEST_F(ResourceEventsTest, EventsReachExactAndPatternWatchersOnce) {
  EXPECT_EQ(ResourceEvents::WatchNameOf("/w/*/items"), "OnJsonApiEvent");
  EXPECT_EQ(ResourceEvents::WatchNameOf("/w/v1/items/*"), "OnJsonApiEvent_w_v1_items");
  std::vector<std::string> seen;
  for (const char* watched : {"/a/b/items/*", "/a/b/items/7", "/w/*/items", "/w/v1/items"}) {
    events.WatchResource<BindingProperty>(watched, [&seen, watched](const auto& e) {
      seen.push_back(std::string(watched) + " " + e.uri);
    });
  }
  EXPECT_TRUE(host.IsSubscribed("OnJsonApiEvent"));
  seen.clear();  // drop the initial fetches' outcome (no peer: nothing was delivered)

  host.DeliverEvent("OnJsonApiEvent_a_b_items", ResourcePayload("/a/b/items/7", "Update", 1));
  host.DeliverEvent("OnJsonApiEvent_a_b_items", ResourcePayload("/a/b/items/7/parts", "Update", 2));
  // No leading slash: the uri is taken as "/a/b/items/8".
  host.DeliverEvent("OnJsonApiEvent_a_b_items", ResourcePayload("a/b/items/8", "Create", 3));
  ASSERT_TRUE(
      events.PublishResource("/w/v1/items", PluginResourceEventType::Update, 1).Succeeded());
  host.Drain();
  EXPECT_EQ(seen,
            (std::vector<std::string>{"/a/b/items/7 /a/b/items/7", "/a/b/items/* /a/b/items/7",
                                      "/a/b/items/* /a/b/items/8", "/w/v1/items /w/v1/items",
                                      "/w/*/items /w/v1/items"}));
}

// An initial fetch that fails (no peer answers here) or does not convert still installs the
// watcher, without a delivery.
TEST_F(ResourceEventsTest, TypedWatcherConvertsAndDropsOnlyTheBadEvent) {
  BindingProperty wrongShape;
  wrongShape.MutableMember("count") = "lots";
  host.SetLocalPeer("/s/v1/sample",
                    [&](const LocalCall&) { return LocalReply::Value(wrongShape); });
  std::vector<ResourceEvent<Sample>> seen;
  events.WatchResource<Sample>("/s/v1/sample",
                               [&](const ResourceEvent<Sample>& e) { seen.push_back(e); });
  EXPECT_TRUE(seen.empty());
  const std::string name = "OnJsonApiEvent_s_v1_sample";
  host.DeliverEvent(name, ResourcePayload("/s/v1/sample", "Create", SampleData(1, "one")));
  host.DeliverEvent(name, ResourcePayload("/s/v1/sample", "Update", wrongShape));
  host.DeliverEvent(name, ResourcePayload("/s/v1/sample", 1, SampleData(2, "two")));
  // A Delete is not converted: its data may be anything and arrives as the default.
  host.DeliverEvent(name, ResourcePayload("/s/v1/sample", "Delete", "ignored"));

  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].eventType, PluginResourceEventType::Create);
  EXPECT_EQ(seen[0].data.name, "one");
  EXPECT_EQ(seen[1].eventType, PluginResourceEventType::Update);
  EXPECT_EQ(seen[1].data.count, 2);
  EXPECT_EQ(seen[2].eventType, PluginResourceEventType::Delete);
  EXPECT_EQ(seen[2].data.name, "");
  EXPECT_EQ(seen[2].uri, "/s/v1/sample");
}

TEST_F(ResourceEventsTest, HandlersMayChangeTheTablesWhileTheyRun) {
  int outer = 0;
  int inner = 0;
  events.WatchResource<BindingProperty>("/c/v1/x/*", [&](const auto&) {
    ++outer;
    // Replaces this very watcher and adds more while the dispatcher is running.
    events.WatchResource<BindingProperty>("/c/v1/x/*", [&](const auto&) { ++inner; });
    for (int i = 0; i < 50; ++i)
      events.WatchResource<BindingProperty>("/c/v1/x/*/" + std::to_string(i), [](const auto&) {});
  });
  host.DeliverEvent("OnJsonApiEvent_c_v1_x", ResourcePayload("/c/v1/x/1", "Update", 0));
  host.DeliverEvent("OnJsonApiEvent_c_v1_x", ResourcePayload("/c/v1/x/1", "Update", 0));
  EXPECT_EQ(outer, 1);
  EXPECT_EQ(inner, 1);

  // An event handler that removes itself while running.
  int removed = 0;
  events.RegisterEventHandler(
      "Custom",
      [&](const BindingProperty&) {
        ++removed;
        events.RemoveEventHandler("Custom");
      },
      PLUGIN_SUBSCRIBE_SERVICE_EVENTS);
  host.DeliverEvent("Custom", BindingProperty(1));
  host.DeliverEvent("Custom", BindingProperty(1));
  EXPECT_EQ(removed, 1);
}

}  // namespace
}  // namespace qor
