// Specifications announced by the agent and events sent to it, through a real
// virtual machine.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "hbconnector/business_object.hpp"
#include "hbconnector/connector.hpp"
#include "hbconnector/spec_registry.hpp"
#include "hbconnector/string_message.hpp"
#include "jvm_harness.hpp"
#include "test_connector.hpp"

namespace hbtest {
namespace {

std::string specText(const std::string& name, const std::string& info = "i") {
  return specRecord(name, "Name|ObjectEventId", info);
}

BusObjSpec* registered(const char* name) {
  return BusObjSpecRegistry::getInstance()->findSpec(name);
}

using SpecsAndEvents = AgentTest;

TEST_F(SpecsAndEvents, SpecsAreTracedWholeAndRegistered) {
  agent().setConfigProp("AgentTraceLevel", "5");
  ASSERT_EQ(start(), 1);
  const std::string header = "BusObjNativeInterface_n_gotBusObjSpec got BusObjSpec string:\n";
  const std::string longSpec = specText("JvmText", std::string(6000, 'L'));  // beyond 5120
  agent().gotBusObjSpec(longSpec);
  agent().gotBusObjSpecI18n(specText("JvmBytes") + std::string(1, '\0') + "5#extra");
  agent().gotBusObjSpecI18n(specText("JvmNoZero"));
  for (const char* name : {"JvmText", "JvmBytes", "JvmNoZero"}) {
    ASSERT_NE(registered(name), nullptr) << name;
    EXPECT_EQ(registered(name)->getAttributeCount(), 2) << name;  // nothing read past the text
  }
  const std::vector<Row> lines = traces("BusObjNativeInterface_n_gotBusObjSpec");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].at(3), header + longSpec + "\n");
  EXPECT_EQ(lines[1].at(3), header + specText("JvmBytes") + "\n");

  agent().gotBusObjSpec("a#BusObjSpec9#JvmBroken");
  agent().gotBusObjSpecI18n("ff#short");
  EXPECT_EQ(registered("JvmBroken"), nullptr);
  int refusals = 0;
  for (const Row& row : agent().rows("logs"))
    refusals += row.at(0).find("not registered") != std::string::npos;
  EXPECT_EQ(refusals, 2);
}

TEST_F(SpecsAndEvents, TextEventsReachTheAgentOnlyWhenSubscribed) {
  ASSERT_EQ(start(), 1);
  const std::string encoding = ConnectorBase::getEncoding();
  if (encoding != "ascii7" && encoding != "ascii8") GTEST_SKIP() << "encoding fixed earlier";
  agent().gotBusObjSpec(specText("JvmEvent"));
  std::vector<int> results;
  std::string sent;
  testconnector::behaviour().onPoll = [&] {
    BusinessObject bo("JvmEvent");
    bo.setVerb("Create");
    results.push_back(JToCPPVeneer::getVeneer()->gotApplEvent(bo));
    std::unique_ptr<StringMessage> record(bo.toStringMessage());
    sent = record->getText();
  };
  agent().poll();
  agent().subscribeTo("JvmEvent", "Create", 0);
  agent().poll();
  EXPECT_EQ(results, (std::vector<int>{-10, 0}));
  EXPECT_EQ(messages(80008).size(), 1u);
  const std::vector<Row> events = agent().rows("events");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].at(0), sent);
}

}  // namespace
}  // namespace hbtest
