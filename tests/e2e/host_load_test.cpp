// qor-host under concurrent load: many HTTP threads handing calls to the one work thread at
// once, and one local client holding many connections.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/http/access.h"
#include "host/http/http_front.h"
#include "tests/e2e/host_process.h"
#include "tests/e2e/test_plugin_host.h"

namespace qor::host::testing {
namespace {

class HostUnderLoad : public TestPluginHost<HostUnderLoad> {};

// A kept-alive connection that has been answered once: the server holds it open.
class HeldConnection {
 public:
  explicit HeldConnection(const HostProcess& host) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    timeval timeout{10, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    const std::string hostPort = host.HostPort();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::stoi(hostPort.substr(10))));
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) return;
    const std::string request = "GET /test/v1/literal HTTP/1.1\r\nHost: " + hostPort +
                                "\r\nAuthorization: Basic " +
                                EncodeBase64("qor:" + host.Password()) + "\r\n\r\n";
    if (send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
      return;
    }
    std::string reply;
    char buffer[512];
    while (reply.find("\"literal\"") == std::string::npos) {
      const ssize_t got = recv(fd_, buffer, sizeof(buffer), 0);
      if (got <= 0) return;  // closed or timed out
      reply.append(buffer, static_cast<size_t>(got));
    }
    answered_ = reply.starts_with("HTTP/1.1 200");
  }
  ~HeldConnection() {
    if (fd_ >= 0) close(fd_);
  }
  HeldConnection(const HeldConnection&) = delete;
  HeldConnection& operator=(const HeldConnection&) = delete;

  bool Answered() const { return answered_; }

 private:
  int fd_ = -1;
  bool answered_ = false;
};

TEST_F(HostUnderLoad, ConcurrentCallsEachGetTheirOwnAnswer) {
  constexpr int kThreads = 8;
  constexpr int kCalls = 40;
  ASSERT_EQ(Host().Get("/test/v1/literal").status, 200);
  std::vector<std::string> firstWrong(kThreads);  // per client: its first wrong answer
  std::vector<std::thread> clients;
  for (int t = 0; t < kThreads; ++t) {
    clients.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        const std::string target = "/test/v1/c" + std::to_string(t) + "-" + std::to_string(i);
        HttpResult result = Host().Get(target);
        const bool right = result.status == 200 && result.body == "\"capture:" + target + "\"";
        if (!right && firstWrong[t].empty()) {
          firstWrong[t] =
              target + " -> " + std::to_string(result.status) + " " + result.body + result.error;
        }
      }
    });
  }
  for (std::thread& client : clients)
    client.join();
  for (const std::string& text : firstWrong)
    EXPECT_EQ(text, "");
}

// Every local client comes from 127.0.0.1: a load generator holding its connections must not
// shut the next client out.
TEST_F(HostUnderLoad, OneClientHoldingManyConnectionsLeavesRoomForMore) {
  constexpr unsigned kHeld = 40;  // more than a load generator such as the soak's 32
  static_assert(kHeld + 8 <= kMaxConnectionsPerAddress);
  std::vector<std::unique_ptr<HeldConnection>> held;
  for (unsigned i = 0; i < kHeld; ++i) {
    held.push_back(std::make_unique<HeldConnection>(Host()));
    ASSERT_TRUE(held.back()->Answered()) << "connection " << i;
  }
  HttpResult next = Host().Get("/test/v1/literal");
  EXPECT_EQ(next.status, 200) << next.error;
  EXPECT_EQ(next.body, "\"literal\"");
}

}  // namespace
}  // namespace qor::host::testing
