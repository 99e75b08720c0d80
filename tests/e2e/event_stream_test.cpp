// Tests of host/http/event_stream.h: what a client's stream carries, its bounds, and stopping.
#include "host/http/event_stream.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/json_value.h"

namespace qor::host {
namespace {

using ::testing::HasSubstr;

BindingProperty Json(std::string_view json) {
  MaybeType<Failure, BindingProperty> value = JsonToProperty(json);
  EXPECT_TRUE(value.Succeeded()) << value.ErrorMessage();
  return value ? std::move(*value) : BindingProperty();
}

// One Read: with a large buffer it returns the rest of the frame being written. Only called
// when a frame is known to be ready (or the stream has stopped), so it never waits.
std::optional<std::string> ReadFrame(HttpBodySource& source, size_t capacity = 1 << 16) {
  std::string buffer(capacity, '\0');
  std::optional<size_t> read = source.Read(buffer.data(), buffer.size(), true);
  if (!read) return std::nullopt;
  buffer.resize(*read);
  return buffer;
}

EventStreamLimits LongKeepAlive() {
  EventStreamLimits limits;
  limits.keepAlive = std::chrono::hours(1);
  return limits;
}

// A slow client loses its oldest events, and an event larger than the whole queue is dropped;
// either way the client is told.
TEST(EventStreamTest, SlowClientLosesItsOldestEventsAndIsTold) {
  EventStreamLimits limits = LongKeepAlive();
  const std::string frame = "id: 10\ndata: {\"name\":\"OnE\",\"payload\":0}\n\n";
  limits.maxQueuedBytes = 3 * frame.size();  // the last three frames fit, not four
  EventStream stream(limits);
  HttpResponse response = stream.Open();
  for (int i = 0; i < 10; ++i)
    stream.Publish("OnE", Json(std::to_string(i)));
  stream.Publish("OnBig", Json("\"" + std::string(3 * frame.size(), 'x') + "\""));
  stream.Publish("OnE", Json("10"));

  EXPECT_EQ(ReadFrame(*response.source), ": connected\n\n");
  // 1 to 7 made room for 8 to 10, the big one fits nowhere, 8 made room for the last one.
  EXPECT_EQ(ReadFrame(*response.source), ": 9 events dropped\n\n");
  for (int i : {8, 9, 10}) {
    const int id = i == 10 ? 12 : i + 1;
    EXPECT_EQ(ReadFrame(*response.source),
              "id: " + std::to_string(id) +
                  "\ndata: {\"name\":\"OnE\",\"payload\":" + std::to_string(i) + "}\n\n");
  }
}

TEST(EventStreamTest, RefusesClientsOverTheCapUntilOneLeaves) {
  EventStreamLimits limits = LongKeepAlive();
  limits.maxClients = 2;
  EventStream stream(limits);
  HttpResponse first = stream.Open();
  HttpResponse second = stream.Open();
  HttpResponse third = stream.Open();
  EXPECT_EQ(third.source, nullptr);
  EXPECT_THAT(third.body, HasSubstr("Too many event streams are open (at most 2)"));
  first.source.reset();  // the front releases the body when the client goes (at once when it
                         // hangs up: see the end-to-end event-stream tests)
  EXPECT_EQ(stream.ClientCount(), 1u);
  EXPECT_EQ(stream.Open().status, 200u);
}

TEST(EventStreamTest, KeepAliveGoesOutWhenNothingElseDoes) {
  EventStreamLimits limits;
  limits.keepAlive = std::chrono::milliseconds(1);
  EventStream stream(limits);
  HttpResponse response = stream.Open();
  EXPECT_EQ(ReadFrame(*response.source), ": connected\n\n");
  EXPECT_EQ(ReadFrame(*response.source), ": keep-alive\n\n");
}

// Clients waiting for an event when the host stops are shown end to end (store_e2e_test.cpp).
TEST(EventStreamTest, StopEndsLaterReadsAndRefusesNewClients) {
  EventStream stream(LongKeepAlive());
  HttpResponse queued = stream.Open();
  stream.Publish("OnE", Json("1"));
  stream.Stop();
  EXPECT_EQ(ReadFrame(*queued.source), std::nullopt);  // what it held is not sent

  HttpResponse late = stream.Open();
  EXPECT_EQ(late.status, 503u);
  EXPECT_THAT(late.body, HasSubstr("The host is stopping"));

  HttpResponse outliving;  // a client may outlive its stream
  {
    EventStream gone(LongKeepAlive());
    outliving = gone.Open();
  }
  EXPECT_EQ(ReadFrame(*outliving.source), std::nullopt);
}

TEST(EventStreamTest, ReconnectingClientGetsTheHeldEventsAfterItsLastId) {
  auto frame = [](int id) {
    return "id: " + std::to_string(id) +
           "\ndata: {\"name\":\"OnE\",\"payload\":" + std::to_string(id) + "}\n\n";
  };
  const struct {
    std::optional<std::string_view> lastEventId;
    std::vector<std::string> replayed;
  } cases[] = {
      {"4", {frame(5)}},
      {"1", {": 1 events dropped\n\n", frame(3), frame(4), frame(5)}},
      {"0", {": 2 events dropped\n\n", frame(3), frame(4), frame(5)}},
      {"5", {}},
      {std::nullopt, {}},
      {"6", {}},  // an id this stream never gave (a host started again): nothing to replay
      {"x", {}},
      {"99999999999999999999999", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.lastEventId.value_or("(none)")));
    EventStreamLimits limits = LongKeepAlive();
    limits.heldEvents = 3;
    EventStream stream(limits);
    for (int id = 1; id <= 5; ++id)  // 3, 4 and 5 are held
      stream.Publish("OnE", Json(std::to_string(id)));
    HttpResponse response = stream.Open(c.lastEventId);
    stream.Publish("OnE", Json("6"));  // after the replay, the stream goes on live
    EXPECT_EQ(ReadFrame(*response.source), ": connected\n\n");
    for (const std::string& expected : c.replayed)
      EXPECT_EQ(ReadFrame(*response.source), expected);
    EXPECT_EQ(ReadFrame(*response.source), frame(6));
  }
}

}  // namespace
}  // namespace qor::host
