#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hbconnector/bo_handler.hpp"
#include "hbconnector/connector.hpp"
#include "hbconnector/perf_monitor.hpp"
#include "hbconnector/spec_registry.hpp"
#include "hbconnector/string_message.hpp"
#include "hbconnector/subscription.hpp"
#include "hbconnector/tracing.hpp"
#include "hbconnector/version.hpp"
#include "runtime/records.hpp"
#include "runtime/runtime_internal.hpp"
#include "support/fake_agent.hpp"

namespace hbconnector::test {
namespace {

using hbconnector::detail::RuntimeMonitor;
using hbconnector::detail::runtimeMonitor;

TEST(VeneerConstruction, RunsTheStartUpStepsInOrder) {
  FakeAgentScope scope;
  FakeAgent& agent = scope.agent();
  agent.setProperty("AgentTraceLevel", "3");
  agent.setProperty("PerfLevel", "2");
  auto* handler = new SubscriptionHandlerCPP();
  // At the first lookup the veneer must already be current and linked with
  // its handler, with a Tracing object that has no name yet.
  JToCPPVeneer* currentAtLookup = nullptr;
  JToCPPVeneer* backPointerAtLookup = nullptr;
  bool tracingUnnamedAtLookup = false;
  agent.setCallHook([&](const std::string& call) {
    if (call != "getConfigProp ConnectorName") return;
    currentAtLookup = JToCPPVeneer::getVeneer();
    backPointerAtLookup = handler->getVeneer();
    tracingUnnamedAtLookup = currentAtLookup != nullptr &&
                             currentAtLookup->getTracing() != nullptr &&
                             currentAtLookup->getTracing()->getConnectorName() == nullptr;
  });
  int agentToken = 0;
  {
    JToCPPVeneer veneer(handler, &agentToken);
    agent.setCallHook(nullptr);
    EXPECT_EQ(currentAtLookup, &veneer);
    EXPECT_EQ(backPointerAtLookup, &veneer);
    EXPECT_TRUE(tracingUnnamedAtLookup);
    EXPECT_EQ(veneer.getSubscriptionHandler(), handler);
    EXPECT_EQ(veneer.getAgentInterface(), &agentToken);
    EXPECT_NE(veneer.getMsgGenerator(), nullptr);
    EXPECT_EQ(veneer.getSpecRegistry(), BusObjSpecRegistry::getInstance());
    Lines startup;
    for (const std::string& call : agent.calls())
      if (call.rfind("getConfigProp", 0) == 0 || call.rfind("generateMsg", 0) == 0)
        startup.push_back(call);
    EXPECT_EQ(startup,
              (Lines{"getConfigProp ConnectorName", "getConfigProp AgentTraceLevel",
                     "generateMsg 80404", "generateMsg 80405", "getConfigProp PerfLevel"}));
    EXPECT_EQ(generatedLines(agent), (Lines{"80404/4/1/1:3", "80405/4/1/2:3,3"}));
    EXPECT_TRUE(agent.logs().empty());  // the notices are composed, not logged
    EXPECT_EQ(veneer.getTracing()->getTraceLevel(), 3);
    EXPECT_EQ(PerfMonitor::getPerfLevel(), 2);
  }
  EXPECT_EQ(JToCPPVeneer::getVeneer(), nullptr);  // the destroyed veneer is unreachable
}

TEST(VeneerConstruction, DefaultsAndAConfiguredNameWithI18nLookups) {
  {
    FakeAgentScope scope;
    PerfMonitor::setPerfLevel(7);  // a left-over level must not survive start-up
    JToCPPVeneer& veneer = scope.startVeneer();
    EXPECT_STREQ(veneer.getTracing()->getConnectorName(), "Generic_Connector");
    EXPECT_EQ(veneer.getTracing()->getTraceLevel(), 0);
    EXPECT_EQ(PerfMonitor::getPerfLevel(), 0);
    EXPECT_EQ(generatedLines(scope.agent()), (Lines{"80404/4/1/1:0", "80405/4/1/2:0,0"}));
    const char* operations[] = {"init", "doverbfor", "poll"};
    const RuntimeMonitor kinds[] = {RuntimeMonitor::kInit, RuntimeMonitor::kDoVerbFor,
                                    RuntimeMonitor::kPoll};
    for (int i = 0; i < 3; ++i) {
      PerfMonitor* monitor = runtimeMonitor(kinds[i]);
      ASSERT_NE(monitor, nullptr);
      EXPECT_EQ(
          std::string(monitor->getFirstName().c_str()) + "~" + monitor->getSecondName().c_str(),
          std::string("Generic_Connector~") + operations[i]);
    }
    veneer.setTraceLevel(1);
    veneer.traceWrite(1, "hello");
    ASSERT_EQ(scope.agent().traces().size(), 1u);
    EXPECT_EQ(scope.agent().traces()[0].connectorName, "Generic_Connector");
  }
  FakeAgentScope scope;
  scope.agent().setEncoding("UTF-8");
  scope.agent().setProperty("ConnectorName", "Acme");
  JToCPPVeneer& veneer = scope.startVeneer();
  EXPECT_STREQ(veneer.getTracing()->getConnectorName(), "Acme");
  EXPECT_STREQ(runtimeMonitor(RuntimeMonitor::kPoll)->getFirstName().c_str(), "Acme");
  EXPECT_EQ(scope.agent().configLookups().size(), 3u);
  for (const auto& lookup : scope.agent().configLookups()) EXPECT_TRUE(lookup.i18n) << lookup.name;
}

TEST(VeneerLifecycle, CallsGoToTheLastConstructedConnectorOrFail) {
  FakeAgentScope scope;
  JToCPPVeneer& veneer = scope.startVeneer();
  ASSERT_EQ(JToCPPVeneer::getConnector(), nullptr);
  EXPECT_EQ(veneer.init(nullptr), -1);
  EXPECT_EQ(veneer.pollForEvents(), -1);
  EXPECT_EQ(veneer.terminate(), -1);
  EXPECT_EQ(veneer.getVersion(), nullptr);
  veneer.suspend();  // nothing to call, must not crash
  veneer.resume();

  TestConnector first;
  TestConnector second;
  second.initResult = 42;
  second.pollResult = 3;
  second.terminateResult = 9;
  second.version = "2.5.1";
  EXPECT_EQ(JToCPPVeneer::getConnector(), &second);
  Version version(4, 1, 0);
  EXPECT_EQ(veneer.init(&version), 42);
  EXPECT_EQ(second.lastInitVersion.load(), &version);
  EXPECT_EQ(veneer.pollForEvents(), 3);
  EXPECT_EQ(veneer.terminate(), 9);
  EXPECT_STREQ(veneer.getVersion(), "2.5.1");
  veneer.suspend();
  veneer.resume();
  veneer.resume();
  EXPECT_EQ(first.initCalls + first.pollCalls + first.terminateCalls + first.suspendCalls +
                first.resumeCalls,
            0);
  EXPECT_EQ(std::vector<int>({second.initCalls, second.pollCalls, second.terminateCalls,
                              second.suspendCalls, second.resumeCalls}),
            std::vector<int>({1, 1, 1, 1, 2}));
}

TEST(VeneerLifecycle, InitSuppliesAMissingHandlerAndRegistry) {
  FakeAgentScope scope;
  scope.startConnector();
  JToCPPVeneer veneer(nullptr, nullptr);
  EXPECT_EQ(veneer.getSubscriptionHandler(), nullptr);
  EXPECT_EQ(veneer.subscribeTo("Customer", "Create", 0), -1);
  EXPECT_EQ(veneer.isSubscribed("Customer", "Create"), 0);
  EXPECT_EQ(veneer.getSpecRegistry(), BusObjSpecRegistry::getInstance());
  veneer.setSpecRegistry(nullptr);
  EXPECT_EQ(veneer.init(nullptr), 1);
  SubscriptionHandlerCPP* handler = veneer.getSubscriptionHandler();
  ASSERT_NE(handler, nullptr);
  EXPECT_EQ(handler->getVeneer(), &veneer);
  EXPECT_EQ(veneer.subscribeTo("Customer", "Create", 0), 0);
  EXPECT_EQ(veneer.isSubscribed("Customer", "Create"), 1);
  EXPECT_EQ(veneer.cancelSub("Customer", nullptr, "Create"), 0);
  EXPECT_EQ(veneer.isSubscribed("Customer", "Create"), 0);
  BusObjSpecRegistry* fresh = veneer.getSpecRegistry();
  ASSERT_NE(fresh, nullptr);
  EXPECT_NE(fresh, BusObjSpecRegistry::getInstance());
  EXPECT_EQ(fresh->entries(), 0);
  delete fresh;
}

TEST(VeneerLifecycle, DestroyingAnotherVeneerLeavesTheCurrentOne) {
  FakeAgentScope scope;
  auto* older = new JToCPPVeneer(nullptr, nullptr);
  JToCPPVeneer& current = scope.startVeneer();
  ASSERT_EQ(JToCPPVeneer::getVeneer(), &current);
  delete older;
  EXPECT_EQ(JToCPPVeneer::getVeneer(), &current);
  scope.stopVeneer();
  EXPECT_EQ(JToCPPVeneer::getVeneer(), nullptr);
  EXPECT_EQ(ConnectorBase::getSubscriptionHandler(), nullptr);
}

TEST(VeneerHandlers, ReplacingTheHandlerKeepsBackPointersRight) {
  FakeAgentScope scope;
  JToCPPVeneer& veneer = scope.startVeneer();
  SubscriptionHandlerCPP* original = veneer.getSubscriptionHandler();
  ASSERT_EQ(original->getVeneer(), &veneer);
  auto* replacement = new SubscriptionHandlerCPP();
  veneer.setSubscriptionHandler(replacement);
  EXPECT_EQ(veneer.getSubscriptionHandler(), replacement);
  EXPECT_EQ(replacement->getVeneer(), &veneer);
  EXPECT_EQ(original->getVeneer(), nullptr);
  // Attaching from the handler's side displaces the veneer's handler.
  original->setVeneer(&veneer);
  EXPECT_EQ(veneer.getSubscriptionHandler(), original);
  EXPECT_EQ(replacement->getVeneer(), nullptr);
  delete replacement;
  EXPECT_EQ(veneer.getSubscriptionHandler(), original);
  original->detachVeneer();
  EXPECT_EQ(veneer.getSubscriptionHandler(), nullptr);
  EXPECT_EQ(original->getVeneer(), nullptr);
  veneer.setSubscriptionHandler(original);
  EXPECT_EQ(original->getVeneer(), &veneer);
  delete original;  // leaves the veneer without one, not with a dangling pointer
  EXPECT_EQ(veneer.getSubscriptionHandler(), nullptr);
}

TEST(VeneerServices, DeltaSupportMeansExactlyTrue) {
  FakeAgentScope scope;
  FakeAgent& agent = scope.agent();
  JToCPPVeneer& veneer = scope.startVeneer();
  agent.setDeltaSupport("Yes", "true");
  agent.setDeltaSupport("Upper", "TRUE");
  agent.setDeltaSupport("Longer", "trueish");
  agent.setDeltaSupport("Cut", "true plus a long tail");
  agent.setDeltaSupport("Null", std::nullopt);
  EXPECT_TRUE(veneer.isDeltaSupported("Yes"));
  EXPECT_TRUE(ConnectorBase::isDeltaSupported("Yes"));
  for (const char* type : {"Upper", "Longer", "Cut", "Null", "Unconfigured"})
    EXPECT_FALSE(veneer.isDeltaSupported(type)) << type;
  EXPECT_FALSE(veneer.isDeltaSupported(nullptr));
  EXPECT_EQ(agent.deltaLookups(),
            (Lines{"Yes", "Yes", "Upper", "Longer", "Cut", "Null", "Unconfigured"}));
}

TEST(VeneerServices, ConfigLookupFollowsTheAgentEncoding) {
  for (const char* encoding : {"ascii7", "ascii8", "UTF-8", "Ascii7"}) {
    FakeAgentScope scope;
    scope.agent().setEncoding(encoding);
    scope.agent().setProperty("Colour", "blue");
    scope.startVeneer();
    scope.agent().clearRecords();
    char buffer[16];
    EXPECT_EQ(ConnectorBase::getConfigProp("Colour", buffer, sizeof buffer), 4);
    EXPECT_STREQ(buffer, "blue");
    const auto lookups = scope.agent().configLookups();
    ASSERT_EQ(lookups.size(), 1u);
    EXPECT_EQ(lookups[0].i18n, std::string(encoding).rfind("ascii", 0) != 0) << encoding;
  }
}

TEST(VeneerServices, ConfigPropGivesWholeValuesAndNulloptForNone) {
  FakeAgentScope scope;
  scope.agent().setProperty("Colour", "blue");
  EXPECT_EQ(ConnectorBase::configProp("Colour"), std::nullopt);  // no runtime yet
  scope.startVeneer();
  scope.agent().clearRecords();
  // The name need not be zero-terminated.
  const std::string_view name = std::string_view("ColourX").substr(0, 6);
  EXPECT_EQ(ConnectorBase::configProp(name), "blue");
  EXPECT_EQ(ConnectorBase::configProp("Absent"), std::nullopt);
  scope.agent().setProperty("Empty", "");
  EXPECT_EQ(ConnectorBase::configProp("Empty"), std::nullopt);
  EXPECT_EQ(scope.agent().configLookups().size(), 3u);  // one question each

  // Values of any length up to the cap come whole: below 4095 bytes in one
  // question, longer ones asked again with eight times the room.
  const std::pair<std::size_t, std::size_t> lengthsAndQuestions[] = {
      {4094, 1}, {4095, 2}, {32766, 2}, {70000, 3}};
  for (const auto& [length, questions] : lengthsAndQuestions) {
    std::string value(length, 'v');
    value.back() = 'z';
    scope.agent().setProperty("Long", value);
    scope.agent().clearRecords();
    EXPECT_EQ(ConnectorBase::configProp("Long"), value) << length;
    EXPECT_EQ(scope.agent().configLookups().size(), questions) << length;
  }
  // Past the cap the value is cut there.
  scope.agent().setProperty("Huge", std::string(ConnectorBase::kMaxConfigPropBytes + 10, 'h'));
  const std::optional<std::string> huge = ConnectorBase::configProp("Huge");
  ASSERT_TRUE(huge.has_value());
  EXPECT_EQ(huge->size(), ConnectorBase::kMaxConfigPropBytes - 1);
}

TEST(VeneerServices, ForwardsCollaborationNamesPollingAndEncoding) {
  FakeAgentScope scope;
  scope.agent().setCollabNames(
      "CollabA\x03"
      "CollabB\x03");
  scope.agent().setCapableOfPolling(true);
  scope.agent().setLocale("de_DE");
  EXPECT_EQ(ConnectorBase::getCollabNames(), nullptr);  // no veneer yet
  EXPECT_FALSE(ConnectorBase::isAgentCapableOfPolling());
  scope.startVeneer();
  StringMessage* names = ConnectorBase::getCollabNames();
  ASSERT_NE(names, nullptr);
  EXPECT_STREQ(names->nextToken(), "CollabA");
  EXPECT_STREQ(names->nextToken(), "CollabB");
  delete names;
  EXPECT_TRUE(ConnectorBase::isAgentCapableOfPolling());
  EXPECT_STREQ(ConnectorBase::getEncoding(), "ascii7");
  EXPECT_STREQ(ConnectorBase::getLocale(), "de_DE");
  scope.agent().setCollabNames(std::nullopt);
  EXPECT_EQ(ConnectorBase::getCollabNames(), nullptr);
}

class PlainHandler : public BOHandlerBase {
 public:
  int doVerbFor(BusinessObject&, ReturnStatusDescriptor*) override { return 1; }
};

TEST(BOHandlerHelpers, ReachTheVeneerOnlyThroughAnAttachedSubscriptionHandler) {
  FakeAgentScope scope;
  scope.agent().setProperty("Colour", "blue");
  scope.agent().setProperty("AgentTraceLevel", "3");
  scope.agent().setDeltaSupport("Customer", "true");
  JToCPPVeneer& veneer = scope.startVeneer();
  scope.agent().clearRecords();
  PlainHandler handler;
  char buffer[16] = "garbage";
  auto silent = [&] {
    EXPECT_EQ(handler.getConfigProp("Colour", buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "");
    EXPECT_FALSE(handler.isDeltaSupported("Customer"));
    handler.logMsg("unattached", 6);
    handler.traceWrite(0, "unattached");
    handler.generateAndLogMsg(1, 6, 0);
    handler.generateAndTraceMsg(1, 4, 0, 0);
    EXPECT_EQ(handler.generateMsg(1, 4, 0, 0), nullptr);
    EXPECT_TRUE(scope.agent().calls().empty());
    EXPECT_EQ(pendingError(), "<none>");
  };
  EXPECT_EQ(handler.getSubscriptionHandler(), nullptr);
  EXPECT_EQ(handler.getUserData(), nullptr);
  silent();
  SubscriptionHandlerCPP loose;  // belongs to no veneer: no help either
  handler.setSubscriptionHandler(&loose);
  silent();

  handler.setSubscriptionHandler(veneer.getSubscriptionHandler());
  EXPECT_EQ(handler.getConfigProp("Colour", buffer, sizeof buffer), 4);
  EXPECT_STREQ(buffer, "blue");
  EXPECT_TRUE(handler.isDeltaSupported("Customer"));
  EXPECT_FALSE(handler.isDeltaSupported("Order"));
  handler.logMsg("handler failure", 7);
  handler.traceWrite(3, "line", "extra");
  handler.traceWrite(4, "too detailed");
  char* text = handler.generateMsg(17115, 6, 0, 1, "Customer");
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text), FakeAgent::composedText(17115, 6, "Customer"));
  delete[] text;
  handler.generateAndLogMsg(17118, 6, 1, "Customer");
  handler.generateAndTraceMsg(500, 4, 2, 2, "a", "b");
  EXPECT_EQ(traceLines(scope.agent()),
            (Lines{"3:line+extra", "2:" + FakeAgent::composedText(500, 4, "a,b")}));
  EXPECT_EQ(logLines(scope.agent()),
            (Lines{"7:handler failure", "6:" + FakeAgent::composedText(17118, 6, "Customer")}));
  EXPECT_EQ(pendingError(), "handler failure");  // the first error-class text stays

  // After the veneer goes, the helpers fall silent again.
  handler.setSubscriptionHandler(nullptr);
  scope.stopVeneer();
  scope.agent().clearRecords();
  handler.logMsg("late", 4);
  EXPECT_TRUE(scope.agent().calls().empty());
}

}  // namespace
}  // namespace hbconnector::test
