#include <gtest/gtest.h>

#include <string>

#include "hbconnector/bo_handler.hpp"
#include "hbconnector/connector.hpp"
#include "hbconnector/subscription.hpp"
#include "support/fake_agent.hpp"

namespace {

using hbconnector::test::FakeAgent;
using hbconnector::test::FakeAgentScope;

class PlainHandler : public BOHandlerBase {
 public:
  int doVerbFor(BusinessObject&, ReturnStatusDescriptor*) override { return 1; }
};

TEST(BOHandlerHelpers, DoNothingUntilAttached) {
  FakeAgentScope scope;
  scope.agent().setProperty("Colour", "blue");
  scope.agent().setDeltaSupport("Customer", "true");
  scope.startVeneer();
  scope.agent().clearRecords();

  PlainHandler handler;
  EXPECT_EQ(handler.getSubscriptionHandler(), nullptr);
  EXPECT_EQ(handler.getUserData(), nullptr);
  char buffer[16] = "garbage";
  EXPECT_EQ(handler.getConfigProp("Colour", buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_FALSE(handler.isDeltaSupported("Customer"));
  handler.logMsg("unattached", 6);
  handler.traceWrite(0, "unattached");
  handler.generateAndLogMsg(1, 6, 0);
  handler.generateAndTraceMsg(1, 4, 0, 0);
  EXPECT_EQ(handler.generateMsg(1, 4, 0, 0), nullptr);
  EXPECT_TRUE(scope.agent().calls().empty());
  EXPECT_EQ(JToCPPVeneer::getErrorMsg(), nullptr);

  // A subscription handler that belongs to no veneer does not help either.
  SubscriptionHandlerCPP loose;
  handler.setSubscriptionHandler(&loose);
  EXPECT_EQ(handler.getConfigProp("Colour", buffer, sizeof buffer), 0);
  EXPECT_TRUE(scope.agent().calls().empty());
}

TEST(BOHandlerHelpers, ReachTheVeneerThroughTheSubscriptionHandler) {
  FakeAgentScope scope;
  scope.agent().setProperty("Colour", "blue");
  scope.agent().setProperty("AgentTraceLevel", "3");
  scope.agent().setDeltaSupport("Customer", "true");
  JToCPPVeneer& veneer = scope.startVeneer();
  scope.agent().clearRecords();

  PlainHandler handler;
  handler.setSubscriptionHandler(veneer.getSubscriptionHandler());
  int marker = 0;
  handler.setUserData(&marker);
  EXPECT_EQ(handler.getUserData(), &marker);

  char buffer[16];
  EXPECT_EQ(handler.getConfigProp("Colour", buffer, sizeof buffer), 4);
  EXPECT_STREQ(buffer, "blue");
  EXPECT_TRUE(handler.isDeltaSupported("Customer"));
  EXPECT_FALSE(handler.isDeltaSupported("Order"));

  handler.logMsg("handler failure", 7);
  ASSERT_NE(JToCPPVeneer::getErrorMsg(), nullptr);
  EXPECT_EQ(std::string(JToCPPVeneer::getErrorMsg()).substr(24), "handler failure");

  handler.traceWrite(3, "line", "extra");
  handler.traceWrite(4, "too detailed");
  char* text = handler.generateMsg(17115, 6, 0, 1, "Customer");
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text), FakeAgent::composedText(17115, 6, "Customer"));
  delete[] text;
  handler.generateAndLogMsg(17118, 6, 1, "Customer");
  handler.generateAndTraceMsg(500, 4, 2, 2, "a", "b");

  const auto traces = scope.agent().traces();
  ASSERT_EQ(traces.size(), 2u);
  EXPECT_EQ(traces[0].text, "line");
  EXPECT_EQ(traces[0].extra, "extra");
  EXPECT_EQ(traces[1].text, FakeAgent::composedText(500, 4, "a,b"));
  const auto logs = scope.agent().logs();
  ASSERT_EQ(logs.size(), 2u);
  EXPECT_EQ(logs[1].text, FakeAgent::composedText(17118, 6, "Customer"));
  EXPECT_EQ(logs[1].type, 6);
  // The first error-class text stays pending.
  EXPECT_EQ(std::string(JToCPPVeneer::getErrorMsg()).substr(24), "handler failure");

  // After the veneer goes, the helpers fall silent again.
  handler.setSubscriptionHandler(nullptr);
  scope.stopVeneer();
  scope.agent().clearRecords();
  handler.logMsg("late", 4);
  EXPECT_TRUE(scope.agent().calls().empty());
}

}  // namespace
