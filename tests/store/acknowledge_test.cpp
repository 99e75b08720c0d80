// Acknowledgement of dialog messages through the legacy service.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/store/store2_support.h"

namespace qor::store_test {
namespace {

class AcknowledgeTest : public Store2Fixture {
 protected:
  void SetUp() override {
    Store2Fixture::SetUp();
    StartStore();
    ForgetLog();
    invokes.clear();
  }

  Reply Acknowledge(std::string_view body) {
    return Call(PLUGIN_METHOD_POST, "/qor-store/v1/notifications/acknowledge", body);
  }
};

TEST_F(AcknowledgeTest, LoggedOutSendsAccountZeroAndAck) {
  Reply reply = Acknowledge(R"("abc")");
  EXPECT_EQ(reply.function, "PostQorStoreV1NotificationsAcknowledge");
  ASSERT_TRUE(reply.Succeeded()) << *reply.error;
  EXPECT_TRUE(reply.body.IsEmpty());
  ASSERT_EQ(invokes.size(), 1u);
  ASSERT_EQ(invokes[0].size(), 3u);
  EXPECT_EQ(invokes[0][0].GetString(), "clientFacadeService");
  EXPECT_EQ(invokes[0][1].GetString(), "callPersistenceMessaging");
  EXPECT_EQ(JsonText(invokes[0][2]),
            R"([{"__class":"com.vaxoworks.platform.messaging.persistence.)"
            R"(SimpleDialogMessageResponse","accountId":0,"command":"ack","msgId":"abc"}])");
  EXPECT_EQ(LogSince(),
            (std::vector<Line>{{3, "Acknowledged qor-store notification with id:abc"}}));
}

TEST_F(AcknowledgeTest, EachCallIsPassedOnWithTheIdUnchanged) {
  for (const char* body : {R"("  spaced id ")", R"("  spaced id ")"}) {
    ASSERT_TRUE(Acknowledge(body).Succeeded());
  }
  ASSERT_EQ(invokes.size(), 2u);
  EXPECT_EQ(invokes[1][2].Element(0).Member("msgId").GetString(), "  spaced id ");
}

TEST_F(AcknowledgeTest, LoggedInSendsTheAccount) {
  StopStore();
  SetResource(kSessionUri, SessionJson("SUCCEEDED", 5, 77, "token"));
  StartStore();
  invokes.clear();
  ASSERT_TRUE(Acknowledge(R"("m-1")").Succeeded());
  ASSERT_EQ(invokes.size(), 1u);
  EXPECT_EQ(invokes[0][2].Element(0).Member("accountId").GetUnsigned(), 77u);
}

TEST_F(AcknowledgeTest, AFailedCallAnswers500AndLogs) {
  invokeError = "The legacy service is down";
  Reply reply = Acknowledge(R"("abc")");
  EXPECT_EQ(reply.status, 500u);
  ASSERT_TRUE(reply.error.has_value());
  EXPECT_NE(reply.error->find("The legacy service is down"), std::string::npos) << *reply.error;
  EXPECT_EQ(LogSince(),
            (std::vector<Line>{{2, "Failed to acknowledge qor-store notification with id:abc"}}));
  // Not retried.
  EXPECT_EQ(invokes.size(), 1u);
}

}  // namespace
}  // namespace qor::store_test
