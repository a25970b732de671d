// The library's calls into the agent, made by connector code while it runs,
// and specifications announced by the agent.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "hbconnector/business_object.hpp"
#include "hbconnector/connector.hpp"
#include "hbconnector/spec_registry.hpp"
#include "hbconnector/string_message.hpp"
#include "hbconnector/tracing.hpp"
#include "jvm_harness.hpp"
#include "test_connector.hpp"

namespace hbtest {
namespace {

using Upcalls = AgentTest;

TEST_F(Upcalls, ConfigurationValuesAboveUPlusFfffArriveAsFourByteUtf8) {
  agent().setConfigProp("Emoji", "A\xED\xA0\xBD\xED\xB8\x80");
  ASSERT_EQ(start(), 1);
  std::string seen;
  testconnector::behaviour().onPoll = [&seen] {
    char buffer[16];
    const int n = ConnectorBase::getConfigProp("Emoji", buffer, sizeof buffer);
    seen = std::to_string(n) + ":" + buffer;
    // The value given back as text (an upcall) is the same Java string.
    ConnectorBase::logMsg(buffer);
  };
  agent().poll();
  EXPECT_EQ(seen, "5:A\xF0\x9F\x98\x80");
  EXPECT_TRUE(logged("A\xED\xA0\xBD\xED\xB8\x80"));
}

TEST_F(Upcalls, AgentAnswersReachConnectorCode) {
  agent().setConfigProp("Long", "abcdefghijklmnopqrst");
  agent().setDeltaSupport("Customer", "true");
  agent().setDeltaSupport("Order", "TRUE");
  agent().setDeltaSupport("Item", nullptr);
  agent().setDeltaSupport("Long", "true but much longer than the answer buffer");
  ASSERT_EQ(start(), 1);
  agent().clearLog();
  std::vector<std::string> seen;
  std::vector<bool> delta;
  testconnector::behaviour().onPoll = [&] {
    // Lookups are cut to the buffer; a null name is not asked for.
    char buffer[8];
    for (const char* name : {"Long", static_cast<const char*>(nullptr), "Absent"}) {
      std::memcpy(buffer, "garbage", 8);
      const int n = ConnectorBase::getConfigProp(name, buffer, sizeof buffer);
      seen.push_back(std::to_string(n) + ":" + buffer);
    }
    // Delta support is only the exact answer "true".
    for (const char* type : {"Customer", "Order", "Item", "Long", "Unknown"}) {
      delta.push_back(ConnectorBase::isDeltaSupported(type));
    }
    seen.push_back(ConnectorBase::getEncoding());
    seen.push_back(ConnectorBase::getLocale());
    std::unique_ptr<StringMessage> names(ConnectorBase::getCollabNames());
    seen.push_back(names != nullptr ? names->getText() : "<null>");
    seen.push_back(ConnectorBase::isAgentCapableOfPolling() ? "polls" : "no");
    std::unique_ptr<char[]> text(ConnectorBase::generateMsg(5000, MSGTYPE_INFO, 0, 2, "a", "b"));
    seen.push_back(text != nullptr ? text.get() : "<null>");
    ConnectorBase::generateAndLogMsg(5001, MSGTYPE_ERROR, 1, "p");
    ConnectorBase::logMsg("caf\xE9");                 // 8-bit text
    ConnectorBase::logMsg("smile \xF0\x9F\x98\x80");  // four-byte UTF-8
  };
  agent().poll();
  EXPECT_EQ(seen, (std::vector<std::string>{"7:abcdefg", "0:", "0:", "ascii7", "en_US", "", "polls",
                                            "[5000] (type 4) a,b"}));
  EXPECT_EQ(delta, (std::vector<bool>{true, false, false, false, false}));
  EXPECT_EQ(agent().rows("lookups")[0], (Row{"getConfigProp", "Long"}));
  EXPECT_EQ(agent().rows("lookups")[1], (Row{"getConfigProp", "Absent"}));
  EXPECT_EQ(messages(5000),
            (std::vector<Row>{{"5000", "4", "<null>", "0", "2", "a,b", "[5000] (type 4) a,b"}}));
  EXPECT_TRUE(logged("[5001] (type 6) p", "6"));
  // 8-bit and supplementary text reach the agent as characters.
  EXPECT_TRUE(logged("caf\xC3\xA9"));
  EXPECT_TRUE(logged("smile \xED\xA0\xBD\xED\xB8\x80"));  // as the VM's modified UTF-8

  // A null answer (the agent threw) is no answer.
  agent().setFailing("generateMsg", true);
  bool gotNull = false;
  testconnector::behaviour().onPoll = [&gotNull] {
    char* text = ConnectorBase::generateMsg(5000, MSGTYPE_INFO, 0, 0);
    gotNull = text == nullptr;
    delete[] text;
  };
  testing::internal::CaptureStderr();
  EXPECT_EQ(agent().poll(), 0);
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(gotNull);
}

TEST_F(Upcalls, AnotherEncodingUsesTheByteArrayLookupsAndEvents) {
  agent().setting("setEncoding", "(" HB_STR ")" HB_SETTINGS, {S("UTF-8")});
  agent().setConfigProp("Name", "h\xC3\xA9llo w\xC3\xB6rld");
  ASSERT_EQ(start(), 1);
  if (std::string(ConnectorBase::getEncoding()) != "UTF-8") {
    GTEST_SKIP() << "the agent's encoding was fixed earlier in this process";
  }
  agent().gotBusObjSpec(specRecord("JvmUtf", "Key|ObjectEventId"));
  agent().clearLog();
  int stored = -2, answer = -2;
  std::string value, sent;
  testconnector::behaviour().onPoll = [&] {
    char buffer[8];
    stored = ConnectorBase::getConfigProp("Name", buffer, sizeof buffer);
    value = buffer;
    BusinessObject bo("JvmUtf");
    bo.setAttrValue(0, const_cast<char*>("\xC3\xA9t\xC3\xA9"), STRING);
    bo.setVerb("Create");
    answer = JToCPPVeneer::getVeneer()->gotApplEvent(bo);
    std::unique_ptr<StringMessageI18N> record(bo.toStringMessageI18N());
    for (int i = 0; i < record->getLength(); ++i) {
      char hex[3];
      std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(record->getText()[i]));
      sent += hex;
    }
  };
  agent().poll();
  EXPECT_EQ(stored, 7);
  EXPECT_EQ(value, "h\xC3\xA9llo ");
  EXPECT_EQ(agent().rows("lookups").at(0), (Row{"getConfigPropI18n", "Name"}));
  EXPECT_EQ(answer, 0);
  // The record's bytes and one zero byte, with the agent's encoding.
  EXPECT_EQ(agent().rows("events"), (std::vector<Row>{{"<null>", sent + "00", "UTF-8"}}));
}

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
