// The host core as a plug-in sees it: every case calls the PluginHostApi table the way a
// plug-in does and checks what comes back and what the host recorded.
#include "host/core/host_core.h"

#include <gtest/gtest.h>

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

// One text field of every entry of a host record.
template <typename Entry>
std::vector<std::string> Each(const std::vector<Entry>& entries, std::string Entry::*field) {
  std::vector<std::string> out;
  for (const Entry& entry : entries)
    out.push_back(entry.*field);
  return out;
}

// A String value as the plug-in passes it.
HostValue Text(const char* text) {
  HostValue value{};
  value.tag = HOST_VALUE_STRING;
  value.length = static_cast<uint32_t>(std::string_view(text).size());
  value.data.text = text;
  return value;
}

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
  PluginLocalResponse response =
      SendLocal(host, PLUGIN_METHOD_GET, "/a/b?x=1", {HostArgument{nullptr, Text("arg")}});
  EXPECT_EQ(response.errorText, nullptr);
  EXPECT_EQ(ReadHostValue(response.body, "body")->GetString(), "answer");
  response.release(&response);

  // Unknown paths fail unless a fallback answers.
  auto failure = [&](uint32_t method) {
    PluginLocalResponse failed = SendLocal(host, method, "/nobody/home");
    const std::string shown = std::to_string(failed.status) + " " + failed.errorText;
    failed.release(&failed);
    return shown;
  };
  EXPECT_EQ(failure(PLUGIN_METHOD_POST), "404 No endpoint for POST /nobody/home");
  host.SetFallbackPeer([](const LocalCall&) { return LocalReply::Error(418, "teapot"); });
  EXPECT_EQ(failure(PLUGIN_METHOD_GET), "418 teapot");
}

// Reads the stream of the reply to GET /s through a 4-byte buffer: the length hint, then
// each read's bytes followed by "+" while more is to come, or "failed".
std::string ReadStream(const HostCore& host) {
  PluginLocalResponse response = SendLocal(host, PLUGIN_METHOD_GET, "/s");
  std::string seen = std::to_string(response.streamLengthHint) + ":";
  for (int i = 0; i < 4 && !seen.ends_with("failed"); ++i) {
    char buffer[4];
    uint32_t count = 0;
    uint8_t more = 0;
    const int code =
        response.streamRead(response.streamHandle, buffer, sizeof buffer, &count, &more);
    seen += code != 0 ? " failed" : " " + std::string(buffer, count) + (more ? "+" : "");
  }
  response.streamClose(response.streamHandle);
  response.release(&response);
  return seen;
}

TEST(HostCoreLocal, StreamedBodiesAreHandedOverPieceByPiece) {
  HostCore host;
  std::vector<StreamPiece> pieces{{"abcdef", true, false}, {"gh", false, false}};
  host.SetLocalPeer("/s", [&](const LocalCall&) {
    LocalReply reply;
    reply.stream = pieces;
    reply.streamLengthHint = 8;
    return reply;
  });
  // The buffer splits the first piece; "more" stays set until the last piece.
  EXPECT_EQ(ReadStream(host), "8: abcd+ ef+ gh ");
  pieces = {{"", true, true}};  // a failing piece fails the read
  EXPECT_EQ(ReadStream(host), "8: failed");
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

  // The connection code, status, body and header names of the response.
  auto send = [&] {
    PluginExternalResponse response{};
    host.Api()->SendExternalRequest(host.Api(), &response, &request);
    std::string shown = Format("%1 %2 ", response.connectionCode, response.status) +
                        std::string(static_cast<const char*>(response.body), response.bodyLength);
    for (uint32_t i = 0; i < response.headerCount; ++i)
      shown += std::string(" ") + response.headers[i].name;
    response.release(&response);
    EXPECT_EQ(response.body, nullptr);  // released records are zeroed
    return shown;
  };
  EXPECT_EQ(send(), "1 0 No external responder");
  host.SetExternalResponder([](const ExternalCall& call) {
    ExternalReply reply;
    reply.status = 201;
    reply.headers = {{"content-type", "application/json"}};
    reply.body = call.url + "|" + call.headers[1].first;
    return reply;
  });
  EXPECT_EQ(send(), "0 201 https://example.invalid/x|X-A content-type");
  const ExternalCall call = host.ExternalCalls().at(1);
  EXPECT_EQ(call.timeLimit, 20u);
  EXPECT_EQ(call.flags, 1u);
  EXPECT_EQ(call.headers, (HeaderList{{"user-agent", "ua"}, {"X-A", "1"}}));
}

// Keeps "name=payload" of each event delivered.
void RecordEvent(const PluginEvent* event) {
  auto payload = ReadHostValue(event->payload, "payload");
  static_cast<std::vector<std::string>*>(event->context)
      ->push_back(std::string(event->name) + "=" +
                  (payload.Succeeded() ? std::string(payload->GetString()) : "?"));
}

TEST(HostCoreEvents, PublishedEventsReachSubscribersOnTheNextPass) {
  HostCore host;
  std::vector<std::string> received;
  const PluginHostApi* api = host.Api();
  api->SubscribeEvent(api, "OnThing", 1, &RecordEvent, &received, 0);
  EXPECT_TRUE(host.IsSubscribed("OnThing"));
  PluginEvent event{"OnThing", Text("hello"), nullptr};
  api->PublishEvent(api, &event);
  EXPECT_TRUE(received.empty());  // queued, not delivered inside PublishEvent
  EXPECT_EQ(host.RunPendingWork(), 1u);
  EXPECT_EQ(received, std::vector<std::string>{"OnThing=hello"});

  // Other names are not delivered; after unsubscribing nothing is.
  EXPECT_EQ(host.DeliverEvent("OnOther", BindingProperty("x")), 0u);
  api->UnsubscribeEvent(api, "OnThing", 1);
  EXPECT_EQ(host.DeliverEvent("OnThing", BindingProperty("x")), 0u);
  EXPECT_EQ(received.size(), 1u);
  EXPECT_EQ(host.Counts().subscribeEvent, 1u);
  EXPECT_EQ(host.Counts().unsubscribeEvent, 1u);
}

std::vector<std::string>* ran = nullptr;

void Record(void* context) {
  ran->emplace_back(static_cast<const char*>(context));
}

// A pass runs the queued work, then the due callbacks in due order; what is posted or falls
// due meanwhile waits for the next pass. The plug-in's own call runs the hook first.
TEST(HostCoreWork, QueuedWorkThenDueCallbacksInDueOrder) {
  ManualClock clock;
  HostCore host(clock.AsClock());
  std::vector<std::string> seen;
  ran = &seen;
  const PluginHostApi* api = host.Api();
  api->ScheduleCallback(api, "late", &Record, const_cast<char*>("late"), 2.0, 0);
  api->ScheduleCallback(api, "soon", &Record, const_cast<char*>("soon"), 0.0, 0);
  api->ScheduleCallback(api, "past", &Record, const_cast<char*>("past"), -5.0, 0);
  host.Post([&] {
    seen.emplace_back("work");
    host.Post([&] { seen.emplace_back("posted"); });
  });
  EXPECT_EQ(host.RunPendingWork(), 3u);
  EXPECT_EQ(seen, (std::vector<std::string>{"work", "soon", "past"}));
  clock.now += 1.0;
  EXPECT_EQ(host.RunPendingWork(), 1u);
  clock.now += 1.0;
  host.SetPendingWorkHook([&] { seen.emplace_back("hook"); });
  api->RunPendingWork(api);
  EXPECT_EQ(seen, (std::vector<std::string>{"work", "soon", "past", "posted", "hook", "late"}));
  EXPECT_EQ(host.Counts().runPendingWork, 1u);
  const auto requests = host.ScheduledRequests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].label, "late");
  EXPECT_EQ(requests[0].delaySeconds, 2.0);
  ran = nullptr;
}

// A plug-in's timers end with the plug-in: DropScheduled leaves nothing for later passes.
TEST(HostCoreWork, DroppedTimersNeverRunNotEvenThoseTakenByThePassInProgress) {
  ManualClock clock;
  HostCore host(clock.AsClock());
  std::vector<std::string> seen;
  ran = &seen;
  const PluginHostApi* api = host.Api();
  api->ScheduleCallback(api, "due", &Record, const_cast<char*>("due"), 0.0, 0);
  api->ScheduleCallback(api, "later", &Record, const_cast<char*>("later"), 5.0, 0);
  // The shutdown runs as work of the same pass that has taken "due" already.
  host.Post([&] { EXPECT_EQ(host.DropScheduled(), 1u); });
  EXPECT_EQ(host.RunPendingWork(), 1u);
  clock.now += 10;
  EXPECT_EQ(host.Drain(), 0u);
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(host.PendingScheduled(), 0u);

  // Timers scheduled afterwards (by the next plug-in) run as usual.
  api->ScheduleCallback(api, "next", &Record, const_cast<char*>("next"), 0.0, 0);
  EXPECT_EQ(host.RunPendingWork(), 1u);
  EXPECT_EQ(seen, std::vector<std::string>{"next"});
  ran = nullptr;
}

// A long-running host keeps only the latest records, or none; the counts go on regardless.
TEST(HostCoreRecords, KeepTheLatestEntriesWithinTheLimit) {
  HostCore host;
  const PluginHostApi* api = host.Api();
  host.SetFallbackPeer([](const LocalCall&) { return LocalReply::Value(BindingProperty()); });
  std::vector<std::string> sunk;  // every line reaches the sink, kept or not
  host.SetLogSink([&](uint32_t level, std::string_view message) {
    sunk.push_back(Format("%1:%2", level, message));
  });
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
      api->EndWait(api);  // an unmatched end does not go below zero
      api->WriteLog(api, PLUGIN_LOG_ERROR, path.c_str());
    }
    host.Drain();
  };

  host.SetRecordLimit(3);
  activity(0, 5);
  const std::vector<std::string> latest{"/p2", "/p3", "/p4"};
  EXPECT_EQ(Each(host.LocalCalls(), &LocalCall::path), latest);
  EXPECT_EQ(Each(host.PublishedEvents(), &PublishedEvent::name), latest);
  EXPECT_EQ(Each(host.ScheduledRequests(), &ScheduledRequest::label), latest);
  EXPECT_EQ(Each(host.LogLines(), &LogLine::message), latest);
  EXPECT_EQ(Each(host.WaitMarks(), &WaitMark::label), (std::vector<std::string>{"/p4", "", ""}));

  host.SetRecordLimit(0);  // drops what was kept, and keeps nothing from now on
  activity(5, 8);
  EXPECT_EQ(host.LocalCalls().size() + host.PublishedEvents().size() +
                host.ScheduledRequests().size() + host.WaitMarks().size() + host.LogLines().size(),
            0u);
  EXPECT_EQ(host.Counts().sendLocalRequest, 8u);
  EXPECT_EQ(host.Counts().writeLog, 8u);
  EXPECT_EQ(sunk.size(), 8u);
  EXPECT_EQ(sunk.back(), "2:/p7");
  EXPECT_EQ(host.WaitDepth(), 0);
  api->BeginWait(api, "open", 0);
  EXPECT_EQ(host.WaitDepth(), 1);
}

}  // namespace
}  // namespace qor::host
