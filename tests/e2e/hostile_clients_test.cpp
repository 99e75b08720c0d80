// qor-host against hostile and careless clients, over raw sockets: heads near and past the
// size limit, ambiguous framing, slow and unfinished heads; and the credentials file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "host/http/http_front.h"
#include "tests/e2e/test_plugin_host.h"

namespace qor::host::testing {
namespace {

using ::testing::HasSubstr;

class HostileClients : public TestPluginHost<HostileClients> {};

std::string Repeat(std::string_view text, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i)
    out += text;
  return out;
}

// Heads are measured on their bytes: every head within 32 KiB and 1000 header fields is
// served however many query arguments it carries, and every other one is answered.
TEST_F(HostileClients, AnswersEveryHeadByItsSize) {
  std::string ids;
  for (int i = 0; i < 450; ++i)
    ids += (i ? "&itemId." : "itemId.") + std::to_string(i) + "=" + std::to_string(100000 + i);
  struct Case {
    const char* name;
    std::string target;
    std::string headers;
    int status;
  };
  const Case cases[] = {
      {"450 item ids", "/test/v1/literal?" + ids, "", 200},
      {"32 KiB of one-byte arguments", "/test/v1/literal?" + Repeat("a&", 16000), "", 200},
      {"1000 header fields in 32 KiB", "/test/v1/literal",
       Repeat("a: " + std::string(27, 'x') + "\r\n", 997), 200},
      {"1001 header fields", "/test/v1/literal", Repeat("a:\r\n", 998), 431},
      {"32 KiB of empty headers", "/test/v1/literal", Repeat("a:\r\n", 7900), 431},
      {"HEAD as GET", "/test/v1/literal", "", 200},
      {"a target of 33 KiB", "/test/v1/literal?" + Repeat("a", 33 << 10), "", 414},
      {"33 KiB of small headers", "/test/v1/literal", Repeat("X-Small: v\r\n", 2900), 431},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string method = std::string(c.name) == "HEAD as GET" ? "HEAD" : "GET";
    RawConnection connection(Host());
    connection.SendHead(method, c.target, c.headers + "Connection: close\r\n");
    const std::string reply = connection.ReadUntil();
    EXPECT_THAT(Statuses(reply), ::testing::ElementsAre(c.status)) << reply.substr(0, 200);
    if (method == "HEAD") {
      EXPECT_TRUE(reply.ends_with("\r\n\r\n")) << reply;
    }
  }
}

// Framing that a proxy in front could read differently from the host is refused before the
// plug-in sees it, and the connection closed, so that nothing after it runs as a request.
TEST_F(HostileClients, RefusesAmbiguousFramingAndCloses) {
  const std::string host = "Host: " + Host().HostPort() + "\r\n" + AuthorizationLine(Host());
  const std::string smuggled = "GET /test/v1/literal HTTP/1.1\r\n" + host + "\r\n";
  struct Case {
    const char* name;
    std::string request;
    int status;
  };
  const Case cases[] = {
      {"Content-Length and Transfer-Encoding",
       "POST /test/v1/echo HTTP/1.1\r\n" + host +
           "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + smuggled,
       400},
      {"two Content-Lengths",
       "POST /test/v1/echo HTTP/1.1\r\n" + host + "Content-Length: 2\r\nContent-Length: 1\r\n\r\n" +
           "{}" + smuggled,
       400},
      {"an unknown transfer coding",
       "POST /test/v1/echo HTTP/1.1\r\n" + host + "Transfer-Encoding: gzip\r\n\r\n{}" + smuggled,
       501},
      {"two Host headers",
       "GET /test/v1/literal HTTP/1.1\r\n" + host + "Host: evil:1\r\n\r\n" + smuggled, 400},
      {"a NUL in the target",
       std::string("GET /test/v1/literal\0/x HTTP/1.1\r\n", 34) + host + "\r\n" + smuggled, 400},
      {"a NUL in a header",
       "GET /test/v1/literal HTTP/1.1\r\n" + host + std::string("X-A: a\0b\r\n\r\n", 12) + smuggled,
       400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawConnection connection(Host());
    connection.Send(c.request);
    const std::string reply = connection.ReadUntil();
    EXPECT_THAT(Statuses(reply), ::testing::ElementsAre(c.status)) << reply.substr(0, 300);
  }
  // Well framed, the same requests are served and the connection kept.
  RawConnection connection(Host());
  connection.Send("POST /test/v1/echo HTTP/1.1\r\n" + host + "Content-Length: 2\r\n\r\n{}" +
                  smuggled.substr(0, smuggled.size() - 2) + "Connection: close\r\n\r\n");
  EXPECT_THAT(Statuses(connection.ReadUntil()), ::testing::ElementsAre(200, 200));
}

// A client that sends a too-large body whole, without waiting for an interim answer, still
// reads its 413: the host takes in the body before it closes, so the close does not reset the
// connection and throw the answer away on the client's side.
TEST_F(HostileClients, AnOversizedBodySentWholeIsAnsweredAfterIt) {
  RawConnection connection(Host());
  const size_t length = (9u << 20);
  EXPECT_TRUE(connection.SendHead("POST", "/test/v1/echo",
                                  "Content-Length: " + std::to_string(length) + "\r\n"));
  EXPECT_TRUE(connection.Send(std::string(length, 'x')));
  EXPECT_THAT(Statuses(connection.ReadUntil()), ::testing::ElementsAre(413));
}

// A head must arrive within its deadline, however it is trickled in; and clients holding
// unfinished heads get a share of the connections only, so that others are still served.
// Wrong passwords are answered later and later, but only their own connection waits: one
// thread serves every connection, and a client with the password is answered meanwhile.
TEST_F(HostileClients, AWrongPasswordsDelayHoldsOnlyItsConnection) {
  const std::string unauthenticated =
      "GET /test/v1/literal HTTP/1.1\r\nHost: " + Host().HostPort() +
      "\r\nConnection: close\r\n\r\n";
  for (int i = 0; i < 5; ++i) {  // delays of 0, 25, 50, 100 and 200 ms; the next one 400 ms
    RawConnection refused(Host());
    ASSERT_TRUE(refused.Send(unauthenticated));
    ASSERT_THAT(Statuses(refused.ReadUntil()), ::testing::ElementsAre(401));
  }
  std::atomic<int> answers{0};
  int refusedAs = 0;
  RawConnection refused(Host());
  ASSERT_TRUE(refused.Send(unauthenticated));
  std::thread waiter([&] {
    EXPECT_THAT(Statuses(refused.ReadUntil()), ::testing::ElementsAre(401));
    refusedAs = ++answers;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the refusal's delay runs
  RawConnection served(Host());
  ASSERT_TRUE(served.SendHead("GET", "/test/v1/literal", "Connection: close\r\n"));
  EXPECT_THAT(Statuses(served.ReadUntil()), ::testing::ElementsAre(200));
  const int servedAs = ++answers;
  waiter.join();
  EXPECT_EQ(servedAs, 1);
  EXPECT_EQ(refusedAs, 2);
}

TEST_F(HostileClients, SlowAndUnfinishedHeadsDoNotLockOthersOut) {
  std::vector<std::unique_ptr<RawConnection>> unfinished;
  for (int i = 0; i < 120; ++i) {
    unfinished.push_back(std::make_unique<RawConnection>(Host()));
    unfinished.back()->Send("GET /test/v1/literal HTTP/1.1\r\n");
  }
  // The unfinished heads beyond the share are closed once they are half a second old.
  std::this_thread::sleep_for(std::chrono::milliseconds(kUnprovenGraceMillis + 500));
  HttpResult served = Host().Get("/test/v1/literal");
  EXPECT_EQ(served.status, 200) << served.error;
  size_t closed = 0;
  for (const auto& connection : unfinished)
    closed += connection->ClosedByHost() ? 1 : 0;
  EXPECT_GE(closed, 120u - kMaxUnprovenConnections);
  unfinished.clear();

  // One header line every 400 ms keeps the connection busy, but not past the deadline.
  RawConnection trickle(Host());
  trickle.Send("GET /test/v1/literal HTTP/1.1\r\n");
  const auto start = std::chrono::steady_clock::now();
  bool closedInTime = false;
  while (!closedInTime && std::chrono::steady_clock::now() - start <
                              std::chrono::seconds(kHeadDeadlineSeconds + 5)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    closedInTime = !trickle.Send("X-Trickle: 1\r\n") || trickle.ClosedByHost();
  }
  EXPECT_TRUE(closedInTime);
}

// ---- The credentials file and the password -------------------------------------------------

TEST(HostCredentials, ARunningHostsFileAndOtherFilesAreNotTaken) {
  std::unique_ptr<HostProcess> first =
      HostProcess::Start(QOR_HOST_BINARY, {"--plugin", QOR_TEST_PLUGIN, "--log-level", "none"});
  ASSERT_FALSE(first->Url().empty()) << first->Stderr();
  const std::string fifo = first->Directory() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    std::string path;
    const char* message;
  };
  const Case cases[] = {
      {first->CredentialsPath(), "belongs to a running qor-host"},
      {fifo, "is not a regular file"},
      {first->Directory(), "is not a regular file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::unique_ptr<HostProcess> second =
        HostProcess::Start(QOR_HOST_BINARY, {"--plugin", QOR_TEST_PLUGIN, "--credentials", c.path});
    EXPECT_TRUE(second->Url().empty());
    EXPECT_THAT(second->Stderr(), HasSubstr(c.message));
  }
  // The first host's file is still there, still its own.
  EXPECT_EQ(first->Get("/test/v1/literal").status, 200);
  EXPECT_TRUE(FileExists(first->CredentialsPath()));
  struct stat info {};
  ASSERT_EQ(lstat(fifo.c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));

  // Once it is gone, the file is removed only when it is still the one the host wrote.
  const std::string path = first->CredentialsPath();
  std::remove(path.c_str());
  WriteFile(path, "another program's file");
  EXPECT_EQ(first->SignalAndWait(SIGTERM), 0);
  EXPECT_TRUE(FileExists(path));
}

}  // namespace
}  // namespace qor::host::testing
