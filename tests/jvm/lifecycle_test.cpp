// The running connector: poll, version texts, suspend and resume, trace
// level, performance monitors, and the natives without a running connector.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "jvm_harness.hpp"
#include "test_connector.hpp"

namespace hbtest {
namespace {

using Lifecycle = AgentTest;

TEST_F(Lifecycle, VersionTextsNeedNoRunningConnector) {
  EXPECT_EQ(agent().cjniVersion(), "4.1.1.0");
  EXPECT_EQ(agent().cdkVersion(), "4.1.0");
  ASSERT_EQ(start(), 1);
  EXPECT_EQ(agent().cjniVersion(), "4.1.1.0");
  EXPECT_EQ(agent().cdkVersion(), "4.1.0");
  agent().terminate();
  EXPECT_EQ(agent().cdkVersion(), "4.1.0");
}

TEST_F(Lifecycle, ResultsPassThroughAndThrowsBecomeFailures) {
  ASSERT_EQ(start(), 1);
  testconnector::behaviour().pollResult = 5;
  EXPECT_EQ(agent().poll(), 5);
  testconnector::behaviour().throwOnPoll = true;
  EXPECT_EQ(agent().poll(), -1);
  ASSERT_EQ(messages(80401).size(), 1u);
  EXPECT_EQ(messages(80401)[0].at(5), "poll");

  EXPECT_EQ(agent().getVersion(), "TestConnector 1.0");
  testconnector::behaviour().version = nullptr;
  EXPECT_EQ(agent().getVersion(), "");
  testconnector::behaviour().throwOnGetVersion = true;
  EXPECT_EQ(agent().getVersion(), "");
  EXPECT_EQ(messages(80401).back().at(5), "getVersion");

  testconnector::behaviour().throwOnTerminate = true;
  EXPECT_EQ(agent().terminate(), -1);
  EXPECT_EQ(messages(80401).back().at(5), "terminate");
  // The runtime is gone even though the connector threw.
  EXPECT_EQ(agent().poll(), -1);
  EXPECT_EQ(testconnector::calls().poll, 2);
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
    EXPECT_EQ(agent().poll(), -1);
    EXPECT_EQ(agent().getVersion(), "");
    EXPECT_EQ(agent().terminate(), -1);
    EXPECT_EQ(agent().subscribeTo("Customer", "Create", 0), -1);
    EXPECT_EQ(agent().updateSubscription("Customer", "Create", 0), -1);
    EXPECT_EQ(agent().cancelSub("Customer", "1.0", "Create"), -1);
    EXPECT_FALSE(agent().isSubscribed("Customer", "Create"));
    std::string status;
    EXPECT_EQ(agent().doVerbFor("text", false, &status), -1);
    agent().suspend();
    agent().resume();
    agent().setTraceLevel(5);
    agent().gotBusObjSpec("spec");
    const std::optional<std::string> monitors = agent().perfMonitors();
    ASSERT_TRUE(monitors.has_value());
    EXPECT_EQ(monitors->substr(0, 2), "#~");
    EXPECT_EQ(testconnector::calls().poll, 0);
    EXPECT_EQ(testconnector::calls().suspend, 0);
    EXPECT_EQ(testconnector::calls().terminate, round);
    // Second round: after a start-up and terminate.
    ASSERT_EQ(start(), 1);
    ASSERT_EQ(agent().terminate(), 0);
  }
}

TEST_F(Lifecycle, SetTraceLevelChangesWhatIsTraced) {
  ASSERT_EQ(start(), 1);
  agent().clearLog();
  agent().setTraceLevel(3);
  ASSERT_EQ(messages(80405).size(), 1u);
  EXPECT_EQ(messages(80405)[0].at(5), "3,3");
  EXPECT_EQ(messages(80405)[0].at(1), "4");
  agent().subscribeTo("Customer", nullptr, 0);
  EXPECT_TRUE(traces("BusObjNativeInterface_").empty());
  agent().setTraceLevel(5);
  agent().subscribeTo("Customer", nullptr, 0);
  EXPECT_EQ(traces("BusObjNativeInterface_n_SubscribeTo").size(), 1u);
}

TEST_F(Lifecycle, NothingIsTracedAtLevelZero) {
  agent().setConfigProp("ConnectorName", "Conn");
  ASSERT_EQ(start(), 1);
  agent().poll();
  agent().subscribeTo("Customer", nullptr, 0);
  agent().isSubscribed("Customer", "Create");
  agent().cancelSub("Customer", "1.0", "*");
  agent().suspend();
  agent().resume();
  agent().terminate();
  EXPECT_TRUE(agent().rows("traces").empty());
}

TEST_F(Lifecycle, PerfMonitorListWithoutMonitoringIsNumberSignTilde) {
  const std::optional<std::string> before = agent().perfMonitors();
  ASSERT_TRUE(before.has_value());
  if (*before != "#~") GTEST_SKIP() << "monitors were recorded earlier in this process";
  ASSERT_EQ(start(), 1);
  agent().poll();
  EXPECT_EQ(agent().perfMonitors(), "#~");
}

TEST_F(Lifecycle, PerfMonitorListJoinsTheRecordedMonitors) {
  agent().setConfigProp("PerfLevel", "1");
  agent().setConfigProp("ConnectorName", "Conn");
  ASSERT_EQ(start(), 1);
  agent().poll();
  agent().poll();
  const std::string list = agent().perfMonitors().value_or("");
  ASSERT_TRUE(std::regex_match(list, std::regex("#~([^#~]*~[^#~]*~[0-9]+~#)+"))) << list;
  std::vector<std::string> records;
  for (std::size_t at = 2; at < list.size();) {
    const std::size_t end = list.find('#', at);
    records.push_back(list.substr(at, end - at));
    at = end + 1;
  }
  auto has = [&](const std::string& prefix) {
    return std::any_of(records.begin(), records.end(),
                       [&](const std::string& r) { return r.rfind(prefix, 0) == 0; });
  };
  EXPECT_TRUE(has("Conn~init~")) << list;
  EXPECT_TRUE(has("Conn~poll~")) << list;
  EXPECT_FALSE(has("Conn~doverbfor~")) << list;
}

TEST_F(Lifecycle, VerbRequestsWithoutARecordAreRefused) {
  ASSERT_EQ(start(), 1);
  std::string status;
  EXPECT_EQ(agent().doVerbFor("Customer", false, &status), -1);
  EXPECT_EQ(status, "<null>");
  EXPECT_EQ(agent().doVerbFor("Customer", true, &status), -1);
}

}  // namespace
}  // namespace hbtest
