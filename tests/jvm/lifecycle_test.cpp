// The running connector: poll, version texts, suspend and resume, trace
// level, performance monitors, subscriptions, and the natives without a
// running connector.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "jvm_harness.hpp"
#include "test_connector.hpp"

namespace hbtest {
namespace {

using Lifecycle = AgentTest;

TEST_F(Lifecycle, ResultsPassThroughAndThrowsBecomeFailures) {
  EXPECT_EQ(agent().text("n_CJNIVersion"), "4.1.1.0");  // no connector needed
  EXPECT_EQ(agent().text("n_CDKVersion"), "4.1.0");
  ASSERT_EQ(start(), 1);
  EXPECT_EQ(agent().text("n_CJNIVersion"), "4.1.1.0");
  EXPECT_EQ(agent().text("n_CDKVersion"), "4.1.0");
  testconnector::behaviour().pollResult = 5;
  EXPECT_EQ(agent().poll(), 5);
  testconnector::behaviour().throwOnPoll = true;
  EXPECT_EQ(agent().poll(), -1);
  ASSERT_EQ(messages(80401).size(), 1u);
  EXPECT_EQ(messages(80401)[0].at(5), "poll");
  // Beside each 80401, the exception's text (a fixed one for a thrown int).
  EXPECT_TRUE(logged(
      "Exception in connector code (poll): an exception that is neither a std::exception nor a "
      "text",
      "6"));

  EXPECT_EQ(agent().text("n_getVersion"), "TestConnector 1.0");
  testconnector::behaviour().version = nullptr;
  EXPECT_EQ(agent().text("n_getVersion"), "");
  testconnector::behaviour().throwOnGetVersion = true;
  EXPECT_EQ(agent().text("n_getVersion"), "");
  EXPECT_EQ(messages(80401).back().at(5), "getVersion");
  EXPECT_TRUE(logged("Exception in connector code (getVersion): no version", "6"));

  testconnector::behaviour().throwOnTerminate = true;
  EXPECT_EQ(agent().terminate(), -1);
  EXPECT_EQ(messages(80401).back().at(5), "terminate");
  EXPECT_TRUE(logged("Exception in connector code (terminate): terminate failed", "6"));
  // The runtime is gone even though the connector threw.
  EXPECT_EQ(agent().poll(), -1);
  EXPECT_EQ(testconnector::calls().poll, 2);
  EXPECT_EQ(agent().text("n_CDKVersion"), "4.1.0");
}

TEST_F(Lifecycle, SuspendAndResumeReachTheConnectorAndSurviveThrows) {
  agent().setConfigProp("AgentTraceLevel", "5");
  ASSERT_EQ(start(), 1);
  agent().suspend();
  agent().resume();
  EXPECT_EQ(testconnector::calls().suspend, 1);
  EXPECT_EQ(testconnector::calls().resume, 1);
  EXPECT_EQ(traces("Java_AppSide_1Connector_BusObjNativeInterface_n_1suspend called.").size(), 1u);
  EXPECT_EQ(traces("Java_AppSide_1Connector_BusObjNativeInterface_n_1resume called.").size(), 1u);

  testconnector::behaviour().throwOnSuspend = true;
  testconnector::behaviour().throwOnResume = true;
  testing::internal::CaptureStdout();
  agent().suspend();
  agent().resume();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "User code exception encountered in method suspend\n"
            "User code exception encountered in method resume\n");
  EXPECT_EQ(testconnector::calls().suspend, 2);
}

TEST_F(Lifecycle, WithoutARunningConnectorTheNativesAnswerNothing) {
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);  // the second round after a start-up and terminate
    EXPECT_EQ(agent().poll(), -1);
    EXPECT_EQ(agent().text("n_getVersion"), "");
    EXPECT_EQ(agent().terminate(), -1);
    EXPECT_EQ(agent().subscribeTo("Customer", "Create", 0), -1);
    EXPECT_EQ(agent().updateSubscription("Customer", "Create", 0), -1);
    EXPECT_EQ(agent().cancelSub("Customer", "1.0", "Create"), -1);
    EXPECT_FALSE(agent().isSubscribed("Customer", "Create"));
    EXPECT_EQ(agent().textVerb("text").status, -1);
    agent().suspend();
    agent().resume();
    agent().setTraceLevel(5);
    agent().gotBusObjSpec("spec");
    EXPECT_EQ(agent().text("n_getPerfMonitors").value_or("").substr(0, 2), "#~");
    EXPECT_EQ(testconnector::calls().poll, 0);
    EXPECT_EQ(testconnector::calls().suspend, 0);
    EXPECT_EQ(testconnector::calls().terminate, round);
    ASSERT_EQ(start(), 1);
    ASSERT_EQ(agent().terminate(), 0);
  }
  // A running connector refuses verb requests without a record.
  ASSERT_EQ(start(), 1);
  for (bool transactional : {false, true}) {
    const Outcome outcome = agent().textVerb("Customer", transactional);
    EXPECT_EQ(outcome.status, -1);
    if (!transactional) {
      EXPECT_EQ(outcome.message, std::nullopt);
    }
  }
}

TEST_F(Lifecycle, TraceLevelDecidesWhatIsTraced) {
  ASSERT_EQ(start(), 1);
  agent().poll();
  agent().subscribeTo("Customer", nullptr, 0);
  agent().isSubscribed("Customer", "Create");
  agent().cancelSub("Customer", "1.0", "*");
  agent().suspend();
  agent().resume();
  EXPECT_TRUE(agent().rows("traces").empty());  // nothing at level 0
  agent().clearLog();
  agent().setTraceLevel(3);
  ASSERT_EQ(messages(80405).size(), 1u);
  EXPECT_EQ(messages(80405)[0].at(1), "4");
  EXPECT_EQ(messages(80405)[0].at(5), "3,3");
  agent().subscribeTo("Customer", nullptr, 0);
  EXPECT_TRUE(traces("BusObjNativeInterface_").empty());
  agent().setTraceLevel(5);
  agent().subscribeTo("Customer", nullptr, 0);
  EXPECT_EQ(traces("BusObjNativeInterface_n_SubscribeTo").size(), 1u);
}

TEST_F(Lifecycle, PerfMonitorListJoinsTheRecordedMonitors) {
  // Without monitoring the list is "#~" (unless monitors were recorded
  // earlier in this process).
  if (agent().text("n_getPerfMonitors") == "#~") {
    ASSERT_EQ(start(), 1);
    agent().poll();
    EXPECT_EQ(agent().text("n_getPerfMonitors"), "#~");
    ASSERT_EQ(agent().terminate(), 0);
  }

  agent().setConfigProp("PerfLevel", "1");
  agent().setConfigProp("ConnectorName", "Conn");
  ASSERT_EQ(start(), 1);
  agent().poll();
  agent().poll();
  const std::string list = agent().text("n_getPerfMonitors").value_or("");
  ASSERT_TRUE(std::regex_match(list, std::regex("#~([^#~]*~[^#~]*~[0-9]+~#)+"))) << list;
  const std::string records = "#" + list.substr(2);  // each record after a '#'
  EXPECT_NE(records.find("#Conn~init~"), std::string::npos) << list;
  EXPECT_NE(records.find("#Conn~poll~"), std::string::npos) << list;
  EXPECT_EQ(records.find("#Conn~doverbfor~"), std::string::npos) << list;
}

using Subscriptions = AgentTest;

// The table's own rules are tested natively; here each native passes its
// arguments through in order and refuses missing ones without a change.
TEST_F(Subscriptions, TheNativesPassTheirArgumentsThroughAndRefuseMissingOnes) {
  ASSERT_EQ(start(), 1);
  EXPECT_EQ(agent().subscribeTo("Customer", nullptr, 0), 0);  // a null verb is every verb
  EXPECT_TRUE(agent().isSubscribed("Customer", "AnyVerb"));
  EXPECT_FALSE(agent().isSubscribed("Customer", nullptr));
  EXPECT_FALSE(agent().isSubscribed("customer", "Update"));
  EXPECT_EQ(agent().updateSubscription("Order", "Delete", 1), 0);
  EXPECT_TRUE(agent().isSubscribed("Order", "Delete"));
  EXPECT_FALSE(agent().isSubscribed("Order", "Create"));
  EXPECT_EQ(agent().cancelSub("Order", "1.0", "Delete"), 0);
  EXPECT_EQ(agent().cancelSub("Order", "1.0", "Delete"), -1);
  EXPECT_EQ(agent().cancelSub("Customer", "1.0", "*"), 0);
  EXPECT_FALSE(agent().isSubscribed("Customer", "Update"));

  EXPECT_EQ(agent().subscribeTo(nullptr, "Create", 0), -1);
  EXPECT_EQ(agent().updateSubscription("Customer", nullptr, 0), -1);
  EXPECT_EQ(agent().subscribeTo("Customer", "Create", 0), 0);
  EXPECT_EQ(agent().cancelSub("Customer", nullptr, "Create"), -1);
  EXPECT_EQ(agent().cancelSub("Customer", "1.0", nullptr), -1);
  EXPECT_FALSE(agent().isSubscribed(nullptr, "Create"));
  EXPECT_TRUE(agent().isSubscribed("Customer", "Create"));
}

TEST_F(Subscriptions, TraceLinesNameTheObjectAndVerb) {
  agent().setConfigProp("AgentTraceLevel", "5");
  ASSERT_EQ(start(), 1);
  agent().clearLog();
  agent().subscribeTo("Customer", nullptr, 0);
  agent().subscribeTo("Customer", "Create", 0);
  agent().updateSubscription("Customer", "Delete", 0);
  agent().isSubscribed("Customer", "Create");
  agent().isSubscribed("Customer", nullptr);
  agent().cancelSub("Customer", "1.0", "Create");
  std::vector<std::string> lines;
  for (const Row& row : traces("BusObjNativeInterface_")) {
    EXPECT_EQ(row.at(1), "5");
    lines.push_back(row.at(3));
  }
  const std::string subscribe =
      "BusObjNativeInterface_n_SubscribeTo got Subscription for BusObjSpec named: Customer.";
  const std::string query = "BusObjNativeInterface_n_isSubscribed for BusObjSpec named: Customer.";
  EXPECT_EQ(lines, (std::vector<std::string>{
                       subscribe + "\nVerb is: null.",
                       subscribe + "\nVerb is: Create.",
                       query + "\nVerb is: Create.",
                       query + "\nVerb is: null.",
                       "BusObjNativeInterface_n_CancelSub got CancelSubscription for BusObjSpec "
                       "named: Customer, verb: Create.",
                   }));
}

TEST_F(Subscriptions, LongTraceLinesAreCutBeforeASplitCharacter) {
  agent().setConfigProp("AgentTraceLevel", "5");
  ASSERT_EQ(start(), 1);
  const std::string header =
      "BusObjNativeInterface_n_SubscribeTo got Subscription for BusObjSpec named: ";
  // Two names whose cut falls on each byte of a two-byte character.
  for (const std::string& lead : {std::string(), std::string("a")}) {
    std::string name = lead;
    for (int i = 0; i < 3000; ++i) name += "\xC3\xA9";
    agent().clearLog();
    EXPECT_EQ(agent().subscribeTo(name.c_str(), "Create", 0), 0);
    EXPECT_TRUE(agent().isSubscribed(name.c_str(), "Create"));
    const std::vector<Row> lines = traces(header);
    ASSERT_EQ(lines.size(), 1u);
    const std::string& line = lines[0].at(3);
    EXPECT_LE(line.size(), 5119u);
    EXPECT_GE(line.size(), 5118u);
    EXPECT_EQ(line, (header + name).substr(0, line.size()));
    EXPECT_EQ(line.substr(line.size() - 2), "\xC3\xA9");
  }
}

}  // namespace
}  // namespace hbtest
