// Start-up through n_init: the agent's version, the connector library's build
// stamp, and what the agent is told when either does not fit.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <utility>

#include "hbconnector/connector.hpp"
#include "jvm_harness.hpp"
#include "test_connector.hpp"

namespace hbtest {
namespace {

using Startup = AgentTest;

TEST_F(Startup, CompatibleLibraryRunsTheConnectorAndReturnsItsInitResult) {
  testconnector::behaviour().initResult = 7;
  EXPECT_EQ(start(), 7);
  EXPECT_EQ(testconnector::calls().init, 1);
  EXPECT_EQ(testconnector::calls().initVersion, "4.1.0");
  for (int id : {17017, 17203, 17204}) EXPECT_TRUE(messages(id).empty()) << id;
  std::string asked;
  for (const Row& row : agent().rows("lookups")) asked += row.at(1) + ",";
  for (const char* name : {"ConnectorName,", "AgentTraceLevel,", "PerfLevel,"}) {
    EXPECT_NE(asked.find(name), std::string::npos) << name;
  }
  testconnector::behaviour().terminateResult = 3;
  EXPECT_EQ(agent().terminate(), 3);
  EXPECT_EQ(testconnector::calls().terminate, 1);
  // A second start-up after terminate; "4.1" fills the point with 0.
  EXPECT_EQ(start("4.1"), 7);
  EXPECT_EQ(testconnector::calls().init, 2);
}

TEST_F(Startup, OtherAgentVersionsReport17017AndLeaveTheRuntimeInPlace) {
  for (const char* version : {"4.2.0", "4.1.1", "garbage"}) {
    agent().clearLog();
    EXPECT_EQ(start(version), -1) << version;
    EXPECT_EQ(messages(17017),
              (std::vector<Row>{{"17017", "7", "<null>", "1", "0", "", "[17017] (type 7)"}}));
    EXPECT_TRUE(logged("[17017] (type 7)"));
    // The runtime exists although the connector was not initialised.
    EXPECT_EQ(agent().subscribeTo("Customer", "Create", 0), 0);
    EXPECT_TRUE(agent().isSubscribed("Customer", "Create"));
    EXPECT_EQ(agent().terminate(), 0);
  }
  EXPECT_EQ(testconnector::calls().init, 0);
}

TEST_F(Startup, UnstampedOrIncompatibleLibrariesAreRefusedWithTheirFileName) {
  // No stamp (or no file) reports 17203 with the file name; a stamp below
  // 4.0 reports 17204 with the file, its stamp and the library's version.
  const std::pair<std::string, std::string> cases[] = {{HB_TEST_UNSTAMPED_LIBRARY, ""},
                                                       {"/nonexistent/dir/libconnector.so", ""},
                                                       {HB_TEST_STAMP_299_LIBRARY, "2.9.9"},
                                                       {HB_TEST_STAMP_300_LIBRARY, "3.0.0"}};
  for (const auto& [file, stamp] : cases) {
    SCOPED_TRACE(file);
    agent().clearLog();
    EXPECT_EQ(agent().init("4.1.0", file.c_str()), -1);
    const int id = stamp.empty() ? 17203 : 17204;
    const std::vector<Row> reported = messages(id);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0].at(1), "7");
    EXPECT_EQ(reported[0].at(3), "1");
    EXPECT_EQ(reported[0].at(4), stamp.empty() ? "0" : "5");
    EXPECT_EQ(reported[0].at(5), stamp.empty() ? file : file + "," + stamp + ",4.1.0");
    if (stamp.empty()) {
      EXPECT_TRUE(logged("[17203] (type 7) " + file));
    }
    EXPECT_TRUE(messages(stamp.empty() ? 17204 : 17203).empty());
    agent().terminate();
  }
  EXPECT_EQ(testconnector::calls().init, 0);
}

TEST_F(Startup, BareFileNameIsFoundAmongTheLoadedLibrariesAndMissingArgumentsAreRefused) {
  const std::string path = HB_TEST_CONNECTOR_LIBRARY;
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir("/"), 0);  // so the bare name cannot be opened as given
  const int result = agent().init("4.1.0", path.substr(path.rfind('/') + 1).c_str());
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(result, 1);
  EXPECT_TRUE(messages(17203).empty());
  ASSERT_EQ(agent().terminate(), 0);

  EXPECT_EQ(agent().init(nullptr, HB_TEST_CONNECTOR_LIBRARY), -1);
  EXPECT_EQ(agent().init("4.1.0", nullptr), -1);
  EXPECT_EQ(testconnector::calls().init, 1);
  EXPECT_EQ(agent().poll(), -1);
  EXPECT_EQ(testconnector::calls().poll, 0);
}

TEST_F(Startup, ThrowingInitComposes80401WithoutLoggingIt) {
  testconnector::behaviour().throwOnInit = true;
  EXPECT_EQ(start(), -1);
  EXPECT_EQ(
      messages(80401),
      (std::vector<Row>{{"80401", "6", "<null>", "1", "1", "init", "[80401] (type 6) init"}}));
  EXPECT_FALSE(logged("[80401] (type 6) init"));
  // The exception's own text is logged as a line of its own.
  EXPECT_TRUE(logged("Exception in connector code (init): init failed", "6"));
}

TEST_F(Startup, ALibraryWithoutAConnectorObjectIsNamedInPlainWords) {
  ConnectorBase* previous = JToCPPVeneer::getConnector();
  JToCPPVeneer::setConnector(nullptr);
  const int result = start();
  JToCPPVeneer::setConnector(previous);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(testconnector::calls().init, 0);
  EXPECT_TRUE(logged(std::string("The connector library ") + HB_TEST_CONNECTOR_LIBRARY +
                         " created no connector object: it must define one object of a class "
                         "derived from ConnectorBase (for example 'static MyConnector "
                         "theConnector;' at namespace scope), which the library starts",
                     "7"));
}

TEST_F(Startup, StartUpTraceLinesCarryTheConnectorName) {
  agent().setConfigProp("AgentTraceLevel", "5");
  agent().setConfigProp("ConnectorName", "Conn");
  ASSERT_EQ(start(), 1);
  const std::string lib = HB_TEST_CONNECTOR_LIBRARY;
  EXPECT_EQ(traces("Connector dll name is"),
            (std::vector<Row>{{"Conn", "1", ",", "Connector dll name is " + lib, "<null>"}}));
  EXPECT_EQ(traces("Present CDK"),
            (std::vector<Row>{{"Conn", "1", ",",
                               "Present CDK version 4.1.0 and the version of the CDK with which "
                               "the connector was build 4.1.0 are compatible",
                               "<null>"}}));
  EXPECT_EQ(
      traces("BusObjNativeInterface_n_init"),
      (std::vector<Row>{{"Conn", "5", ",", "BusObjNativeInterface_n_init called.", "<null>"}}));
  agent().clearLog();
  agent().terminate();
  EXPECT_EQ(traces("BusObjNativeInterface_n_terminate").size(), 1u);
}

TEST_F(Startup, WithoutAConfiguredNameTracesCarryTheDefaultName) {
  agent().setConfigProp("AgentTraceLevel", "3");
  ASSERT_EQ(start(), 1);
  const std::vector<Row> lines = traces("Connector dll name is");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].at(0), "Generic_Connector");
  ASSERT_FALSE(messages(80404).empty());
  EXPECT_EQ(messages(80404)[0].at(5), "3");
  // Level 5 lines stay out at trace level 3.
  EXPECT_TRUE(traces("BusObjNativeInterface_n_init").empty());
}

TEST_F(Startup, AFailingAgentMethodNeverBreaksStartUp) {
  // generateMsg throws in Java: the report of 17017 finds no text, the
  // exception is described at the end of n_init, and nothing reaches Java.
  agent().setFailing("generateMsg", true);
  testing::internal::CaptureStderr();
  EXPECT_EQ(start("4.2.0"), -1);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Error: Java Exception occurred while in native method."), std::string::npos);
  EXPECT_NE(err.find("agent method generateMsg failed on request"), std::string::npos);
  EXPECT_FALSE(agent().takeException());
  EXPECT_FALSE(logged("[17017] (type 7)"));
}

}  // namespace
}  // namespace hbtest
