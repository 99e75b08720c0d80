// The host core as a plug-in sees it: every case calls the PluginHostApi table the way a
// plug-in does and checks what comes back and what the host recorded.
#include "host/core/host_core.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "api/host_value.h"

namespace qor::host {
namespace {

// A clock the test moves by hand.
struct ManualClock {
  double now = 100.0;
  Clock AsClock() {
    return [this] { return now; };
  }
};

// Sends a local request through the table and returns the response record; the caller
// releases it.
PluginLocalResponse SendLocal(const HostCore& host, uint32_t method, const char* path,
                              std::vector<HostArgument> arguments = {}) {
  PluginLocalRequest request{};
  request.method = method;
  request.path = path;
  request.arguments = arguments.empty() ? nullptr : arguments.data();
  request.argumentCount = static_cast<uint32_t>(arguments.size());
  request.callerHandle = 7;
  PluginLocalResponse response{};
  host.Api()->SendLocalRequest(host.Api(), &response, &request);
  return response;
}

TEST(HostCoreLocal, PeersAreChosenByPathWithoutQueryOrByTheFallback) {
  HostCore host;
  host.SetLocalPeer("/a/b", [](const LocalCall& call) {
    EXPECT_EQ(call.path, "/a/b?x=1");
    EXPECT_EQ(call.route, "/a/b");
    EXPECT_EQ(call.callerHandle, 7u);
    EXPECT_EQ(call.arguments.size(), 1u);
    EXPECT_EQ(call.arguments[0].GetString(), "arg");
    return LocalReply::Value(BindingProperty("answer"));
  });
  HostValue argument{};
  argument.tag = HOST_VALUE_STRING;
  argument.length = 3;
  argument.data.text = "arg";
  PluginLocalResponse response =
      SendLocal(host, PLUGIN_METHOD_GET, "/a/b?x=1", {HostArgument{nullptr, argument}});
  ASSERT_NE(response.release, nullptr);
  EXPECT_EQ(response.errorText, nullptr);
  auto body = ReadHostValue(response.body, "body");
  ASSERT_TRUE(body.Succeeded());
  EXPECT_EQ(body->GetString(), "answer");
  response.release(&response);
  EXPECT_EQ(response.release, nullptr);  // released records are zeroed
  EXPECT_EQ(host.LocalCalls().size(), 1u);

  // Unknown paths fail unless a fallback answers.
  PluginLocalResponse missing = SendLocal(host, PLUGIN_METHOD_POST, "/nobody/home");
  ASSERT_NE(missing.errorText, nullptr);
  EXPECT_STREQ(missing.errorText, "No endpoint for POST /nobody/home");
  EXPECT_EQ(missing.status, 404u);
  missing.release(&missing);

  host.SetFallbackPeer([](const LocalCall&) { return LocalReply::Error(418, "teapot"); });
  PluginLocalResponse fallback = SendLocal(host, PLUGIN_METHOD_GET, "/nobody/home");
  EXPECT_STREQ(fallback.errorText, "teapot");
  EXPECT_EQ(fallback.status, 418u);
  fallback.release(&fallback);
}

TEST(HostCoreLocal, StreamedBodiesAreHandedOverPieceByPiece) {
  HostCore host;
  host.SetLocalPeer("/s", [](const LocalCall&) {
    LocalReply reply;
    reply.stream = std::vector<StreamPiece>{{"abcdef", true, false}, {"gh", false, false}};
    reply.streamLengthHint = 8;
    return reply;
  });
  PluginLocalResponse response = SendLocal(host, PLUGIN_METHOD_GET, "/s");
  ASSERT_NE(response.streamRead, nullptr);
  EXPECT_EQ(response.streamLengthHint, 8u);
  struct Expected {
    std::string bytes;
    uint8_t more;
  };
  // A 4-byte buffer splits the first piece; "more" stays set until the last piece.
  const Expected reads[] = {{"abcd", 1}, {"ef", 1}, {"gh", 0}, {"", 0}};
  for (const Expected& expected : reads) {
    char buffer[4];
    uint32_t count = 99;
    uint8_t more = 99;
    ASSERT_EQ(response.streamRead(response.streamHandle, buffer, sizeof buffer, &count, &more), 0);
    EXPECT_EQ(std::string(buffer, count), expected.bytes);
    EXPECT_EQ(more, expected.more);
  }
  response.streamClose(response.streamHandle);
  response.release(&response);

  // A failing piece fails the read.
  host.SetLocalPeer("/s", [](const LocalCall&) {
    LocalReply reply;
    reply.stream = std::vector<StreamPiece>{{"", true, true}};
    return reply;
  });
  PluginLocalResponse failing = SendLocal(host, PLUGIN_METHOD_GET, "/s");
  char buffer[16];
  uint32_t count = 0;
  uint8_t more = 0;
  EXPECT_NE(failing.streamRead(failing.streamHandle, buffer, sizeof buffer, &count, &more), 0);
  failing.streamClose(failing.streamHandle);
  failing.release(&failing);
}

TEST(HostCoreExternal, TheResponderSeesTheRequestAndFillsTheResponse) {
  HostCore host;
  PluginExternalRequest request{};
  HostHeader headers[] = {{"user-agent", "ua"}, {"X-A", "1"}};
  request.method = PLUGIN_METHOD_GET;
  request.url = "https://example.invalid/x";
  request.headers = headers;
  request.headerCount = 2;
  request.timeLimit = 20;
  request.flags = 1;

  PluginExternalResponse unanswered{};
  host.Api()->SendExternalRequest(host.Api(), &unanswered, &request);
  EXPECT_EQ(unanswered.connectionCode, 1);
  EXPECT_EQ(std::string(static_cast<const char*>(unanswered.body), unanswered.bodyLength),
            "No external responder");
  unanswered.release(&unanswered);

  host.SetExternalResponder([](const ExternalCall& call) {
    ExternalReply reply;
    reply.status = 201;
    reply.headers = {{"content-type", "application/json"}};
    reply.body = call.url + "|" + call.headers[1].first;
    return reply;
  });
  PluginExternalResponse response{};
  host.Api()->SendExternalRequest(host.Api(), &response, &request);
  EXPECT_EQ(response.connectionCode, 0);
  EXPECT_EQ(response.status, 201u);
  ASSERT_EQ(response.headerCount, 1u);
  EXPECT_STREQ(response.headers[0].name, "content-type");
  EXPECT_EQ(std::string(static_cast<const char*>(response.body), response.bodyLength),
            "https://example.invalid/x|X-A");
  response.release(&response);
  EXPECT_EQ(response.body, nullptr);

  const auto calls = host.ExternalCalls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].timeLimit, 20u);
  EXPECT_EQ(calls[1].flags, 1u);
  EXPECT_EQ(calls[1].headers, (HeaderList{{"user-agent", "ua"}, {"X-A", "1"}}));
}

struct Received {
  std::vector<std::string> names;
  std::vector<std::string> payloads;
};

void RecordEvent(const PluginEvent* event) {
  auto* received = static_cast<Received*>(event->context);
  received->names.emplace_back(event->name);
  auto payload = ReadHostValue(event->payload, "payload");
  received->payloads.emplace_back(payload.Succeeded() ? payload->GetString() : "?");
}

TEST(HostCoreEvents, PublishedEventsReachSubscribersOnTheNextPass) {
  HostCore host;
  Received received;
  const PluginHostApi* api = host.Api();
  api->SubscribeEvent(api, "OnThing", 1, &RecordEvent, &received, 0);
  EXPECT_TRUE(host.IsSubscribed("OnThing"));

  HostValue payload{};
  payload.tag = HOST_VALUE_STRING;
  payload.length = 5;
  payload.data.text = "hello";
  PluginEvent event{"OnThing", payload, nullptr};
  api->PublishEvent(api, &event);
  EXPECT_TRUE(received.names.empty());  // queued, not delivered inside PublishEvent
  EXPECT_EQ(host.RunPendingWork(), 1u);
  EXPECT_EQ(received.names, std::vector<std::string>{"OnThing"});
  EXPECT_EQ(received.payloads, std::vector<std::string>{"hello"});
  ASSERT_EQ(host.PublishedEvents().size(), 1u);

  // Other names are not delivered; after unsubscribing nothing is.
  EXPECT_EQ(host.DeliverEvent("OnOther", BindingProperty("x")), 0u);
  api->UnsubscribeEvent(api, "OnThing", 1);
  EXPECT_EQ(host.DeliverEvent("OnThing", BindingProperty("x")), 0u);
  EXPECT_EQ(received.names.size(), 1u);
  EXPECT_EQ(host.Counts().subscribeEvent, 1u);
  EXPECT_EQ(host.Counts().unsubscribeEvent, 1u);
}

struct Order {
  std::vector<std::string> ran;
};

TEST(HostCoreWork, QueuedWorkThenDueCallbacksInDueOrder) {
  ManualClock clock;
  HostCore host(clock.AsClock());
  Order order;
  static Order* current;
  current = &order;
  const PluginHostApi* api = host.Api();
  auto callback = [](void* context) {
    current->ran.emplace_back(static_cast<const char*>(context));
  };
  api->ScheduleCallback(api, "late", callback, const_cast<char*>("late"), 2.0, 0);
  api->ScheduleCallback(api, "soon", callback, const_cast<char*>("soon"), 0.0, 0);
  api->ScheduleCallback(api, "past", callback, const_cast<char*>("past"), -5.0, 0);
  host.Post([&] { order.ran.emplace_back("work"); });

  EXPECT_EQ(host.RunPendingWork(), 3u);
  EXPECT_EQ(order.ran, (std::vector<std::string>{"work", "soon", "past"}));
  EXPECT_EQ(host.PendingScheduled(), 1u);
  clock.now += 1.0;
  EXPECT_EQ(host.RunPendingWork(), 0u);
  clock.now += 1.0;
  EXPECT_EQ(host.RunPendingWork(), 1u);
  EXPECT_EQ(order.ran.back(), "late");
  const auto requests = host.ScheduledRequests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].label, "late");
  EXPECT_EQ(requests[0].delaySeconds, 2.0);
}

TEST(HostCoreWork, WorkPostedWhileRunningWaitsForTheNextPass) {
  HostCore host;
  int runs = 0;
  host.Post([&] {
    ++runs;
    host.Post([&] { ++runs; });
  });
  EXPECT_EQ(host.RunPendingWork(), 1u);
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(host.Drain(), 1u);
  EXPECT_EQ(runs, 2);
}

TEST(HostCoreWork, ThePluginsRunPendingWorkCallsTheHookThenRunsTheQueue) {
  HostCore host;
  std::vector<std::string> seen;
  host.SetPendingWorkHook([&] { seen.push_back("hook"); });
  host.Post([&] { seen.push_back("work"); });
  host.Api()->RunPendingWork(host.Api());
  EXPECT_EQ(seen, (std::vector<std::string>{"hook", "work"}));
  EXPECT_EQ(host.Counts().runPendingWork, 1u);
}

TEST(HostCoreWaitsAndLog, MarksAndLinesAreRecorded) {
  HostCore host;
  std::vector<std::string> sunk;
  host.SetLogSink([&](uint32_t level, std::string_view message) {
    sunk.push_back(std::to_string(level) + ":" + std::string(message));
  });
  const PluginHostApi* api = host.Api();
  api->BeginWait(api, "Wait: outer", 0);
  api->BeginWait(api, "Wait: inner", 0);
  EXPECT_EQ(host.WaitDepth(), 2);
  api->EndWait(api);
  api->EndWait(api);
  api->EndWait(api);  // an unmatched end does not go below zero
  EXPECT_EQ(host.WaitDepth(), 0);
  const auto marks = host.WaitMarks();
  ASSERT_EQ(marks.size(), 5u);
  EXPECT_TRUE(marks[0].begin);
  EXPECT_EQ(marks[1].label, "Wait: inner");
  EXPECT_FALSE(marks[2].begin);

  api->WriteLog(api, PLUGIN_LOG_ERROR, "broken %s");
  EXPECT_EQ(sunk, std::vector<std::string>{"2:broken %s"});
  ASSERT_EQ(host.LogLines().size(), 1u);
  EXPECT_EQ(host.LogLines()[0].message, "broken %s");
}

// A long-running host keeps only the latest records, or none; the counts go on regardless.
TEST(HostCoreRecords, KeepTheLatestEntriesWithinTheLimit) {
  HostCore host;
  const PluginHostApi* api = host.Api();
  host.SetFallbackPeer([](const LocalCall&) { return LocalReply::Value(BindingProperty()); });
  auto activity = [&](int from, int to) {
    for (int i = from; i < to; ++i) {
      const std::string path = "/p" + std::to_string(i);
      PluginLocalResponse response = SendLocal(host, PLUGIN_METHOD_GET, path.c_str());
      response.release(&response);
      PluginEvent event{};
      event.name = path.c_str();
      api->PublishEvent(api, &event);
      api->ScheduleCallback(api, path.c_str(), nullptr, nullptr, 0, 0);
      api->BeginWait(api, path.c_str(), 0);
      api->EndWait(api);
      api->WriteLog(api, PLUGIN_LOG_OKAY, path.c_str());
    }
    host.Drain();
  };

  host.SetRecordLimit(3);
  activity(0, 5);
  std::vector<std::string> calls, events, scheduled, lines;
  for (const LocalCall& call : host.LocalCalls())
    calls.push_back(call.path);
  for (const PublishedEvent& event : host.PublishedEvents())
    events.push_back(event.name);
  for (const ScheduledRequest& request : host.ScheduledRequests())
    scheduled.push_back(request.label);
  for (const LogLine& line : host.LogLines())
    lines.push_back(line.message);
  const std::vector<std::string> latest{"/p2", "/p3", "/p4"};
  EXPECT_EQ(calls, latest);
  EXPECT_EQ(events, latest);
  EXPECT_EQ(scheduled, latest);
  EXPECT_EQ(lines, latest);
  ASSERT_EQ(host.WaitMarks().size(), 3u);
  EXPECT_FALSE(host.WaitMarks()[0].begin);  // the end of /p3, then /p4 begun and ended

  host.SetRecordLimit(0);  // drops what was kept, and keeps nothing from now on
  activity(5, 8);
  EXPECT_TRUE(host.LocalCalls().empty());
  EXPECT_TRUE(host.PublishedEvents().empty());
  EXPECT_TRUE(host.ScheduledRequests().empty());
  EXPECT_TRUE(host.WaitMarks().empty());
  EXPECT_TRUE(host.LogLines().empty());
  const HostCallCounts counts = host.Counts();
  EXPECT_EQ(counts.sendLocalRequest, 8u);
  EXPECT_EQ(counts.publishEvent, 8u);
  EXPECT_EQ(counts.writeLog, 8u);
}

}  // namespace
}  // namespace qor::host
