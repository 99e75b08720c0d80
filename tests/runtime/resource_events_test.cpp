#include "runtime/resource_events.h"

#include <gtest/gtest.h>

#include <string>
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

  // The flags of the one host subscription named `name`; 0 when there is not exactly one.
  uint32_t FlagsOf(const std::string& name) const {
    std::vector<uint32_t> flags;
    for (const auto& subscription : host.Subscriptions()) {
      if (subscription.name == name) flags.push_back(subscription.flags);
    }
    return flags.size() == 1 ? flags[0] : 0;
  }

  HostCore host;
  TestModule module{host};
  ResourceEvents& events = module.Events();
};

TEST(ResourceEventNames, DerivedFromUriSegments) {
  struct Case {
    std::string_view uri;
    std::string_view name;
  };
  const Case cases[] = {
      {"/qor-login/v1/session", "OnJsonApiEvent_qor-login_v1_session"},
      {"/qor-login/v1/session/invoke", "OnJsonApiEvent_qor-login_v1_session"},
      {"/qor-platform-config/a/b/c/d/e/f", "OnJsonApiEvent_qor-platform-config_a_b_c_d"},
      {"/qor-platform-configs/a/b/c", "OnJsonApiEvent_qor-platform-configs_a_b"},
      {"//a//b/", "OnJsonApiEvent_a_b"},
      {"", "OnJsonApiEvent"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.uri);
    EXPECT_EQ(ResourceEvents::EventNameOfUri(c.uri), c.name);
  }
}

TEST(ResourceEventNames, PatternsMatchOneSegmentPerStar) {
  struct Case {
    std::string_view pattern;
    std::string_view uri;
    bool matches;
  };
  const Case cases[] = {
      {"/a/b/items/*", "/a/b/items/7", true},
      {"/a/b/items/*", "/a/b/items/7/parts", false},
      {"/a/*/c", "/a/x/c", true},
      {"/a/b*", "/a/bcd", true},
      {"/a/*x", "/a/yx", false},  // the star takes the whole segment
      {"/a", "/a/", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.pattern) + " ~ " + std::string(c.uri));
    EXPECT_EQ(ResourceEvents::UriMatchesPattern(c.pattern, c.uri), c.matches);
  }
}

TEST_F(ResourceEventsTest, UrisSharingAnEventNameShareOneSubscription) {
  const host::HostCallCounts before = host.Counts();
  events.SubscribeResource("/a/b/c");
  events.SubscribeResource("/a/b/c/d");
  EXPECT_EQ(events.SubscriptionCount("OnJsonApiEvent_a_b_c"), 2);
  EXPECT_EQ(host.Counts().subscribeEvent, before.subscribeEvent + 1);
  EXPECT_EQ(FlagsOf("OnJsonApiEvent_a_b_c"), uint32_t{PLUGIN_SUBSCRIBE_RESOURCE_EVENTS});

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

TEST_F(ResourceEventsTest, EventsReachExactAndPatternWatchers) {
  std::vector<std::string> seen;
  events.WatchResource<BindingProperty>(
      "/a/b/items/*",
      [&](const ResourceEvent<BindingProperty>& e) { seen.push_back("*" + e.uri); });
  events.WatchResource<BindingProperty>(
      "/a/b/items/7",
      [&](const ResourceEvent<BindingProperty>& e) { seen.push_back("=" + e.uri); });
  seen.clear();  // drop the initial fetch's outcome (no peer: nothing was delivered)

  host.DeliverEvent("OnJsonApiEvent_a_b_items", ResourcePayload("/a/b/items/7", "Update", 1));
  host.DeliverEvent("OnJsonApiEvent_a_b_items", ResourcePayload("/a/b/items/7/parts", "Update", 2));
  // No leading slash: the uri is taken as "/a/b/items/8".
  host.DeliverEvent("OnJsonApiEvent_a_b_items", ResourcePayload("a/b/items/8", "Create", 3));
  EXPECT_EQ(seen, (std::vector<std::string>{"=/a/b/items/7", "*/a/b/items/7", "*/a/b/items/8"}));
}

TEST_F(ResourceEventsTest, WidePatternsListenToTheGenericNameAndSeeEachEventOnce) {
  // "/w/*/items": the '*' lies inside the segments that make the event name, so the derived
  // name "OnJsonApiEvent_w_*_items" would never be published; the watch listens to the
  // generic name instead.
  EXPECT_EQ(ResourceEvents::WatchNameOf("/w/*/items"), "OnJsonApiEvent");
  EXPECT_EQ(ResourceEvents::WatchNameOf("/w/v1/items/*"), "OnJsonApiEvent_w_v1_items");
  EXPECT_EQ(ResourceEvents::WatchNameOf("/w/v1/items"), "OnJsonApiEvent_w_v1_items");
  std::vector<std::string> seen;
  events.WatchResource<BindingProperty>(
      "/w/*/items", [&](const ResourceEvent<BindingProperty>& e) { seen.push_back("*" + e.uri); });
  events.WatchResource<BindingProperty>(
      "/w/v1/items", [&](const ResourceEvent<BindingProperty>& e) { seen.push_back("=" + e.uri); });
  EXPECT_TRUE(host.IsSubscribed("OnJsonApiEvent"));
  seen.clear();
  ASSERT_TRUE(
      events.PublishResource("/w/v1/items", PluginResourceEventType::Update, 1).Succeeded());
  host.Drain();
  EXPECT_EQ(seen, (std::vector<std::string>{"=/w/v1/items", "*/w/v1/items"}));
}

TEST_F(ResourceEventsTest, TypedWatcherConvertsAndDropsOnlyTheBadEvent) {
  std::vector<ResourceEvent<Sample>> seen;
  events.WatchResource<Sample>("/s/v1/sample",
                               [&](const ResourceEvent<Sample>& e) { seen.push_back(e); });
  const std::string name = "OnJsonApiEvent_s_v1_sample";
  host.DeliverEvent(name, ResourcePayload("/s/v1/sample", "Create", SampleData(1, "one")));
  BindingProperty bad;
  bad.MutableMember("count") = "many";
  host.DeliverEvent(name, ResourcePayload("/s/v1/sample", "Update", std::move(bad)));
  host.DeliverEvent(name, ResourcePayload("/s/v1/sample", 1, SampleData(2, "two")));
  // A Delete is not converted: its data may be anything and arrives as the default.
  host.DeliverEvent(name, ResourcePayload("/s/v1/sample", "Delete", "ignored"));

  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].eventType, PluginResourceEventType::Create);
  EXPECT_EQ(seen[0].data.name, "one");
  EXPECT_EQ(seen[1].eventType, PluginResourceEventType::Update);
  EXPECT_EQ(seen[1].data.count, 2);
  EXPECT_EQ(seen[2].eventType, PluginResourceEventType::Delete);
  EXPECT_EQ(seen[2].data.count, 0);
  EXPECT_EQ(seen[2].data.name, "");
  EXPECT_EQ(seen[2].uri, "/s/v1/sample");
}

TEST_F(ResourceEventsTest, FailedInitialFetchInstallsTheWatcherWithoutDelivery) {
  BindingProperty wrongShape;
  wrongShape.MutableMember("count") = "lots";
  host.SetLocalPeer("/s/v1/a", [](const LocalCall&) { return LocalReply::Error(404, "Gone"); });
  host.SetLocalPeer("/s/v1/b", [&](const LocalCall&) { return LocalReply::Value(wrongShape); });
  for (const char* uri : {"/s/v1/a", "/s/v1/b"}) {
    SCOPED_TRACE(uri);
    int calls = 0;
    events.WatchResource<Sample>(uri, [&](const auto&) { ++calls; });
    EXPECT_EQ(calls, 0);
    host.DeliverEvent("OnJsonApiEvent_s_v1_" + std::string(uri + 6),
                      ResourcePayload(uri, "Update", SampleData(1, "a")));
    EXPECT_EQ(calls, 1);
  }
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
