#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "hbconnector/connector.hpp"
#include "hbconnector/perf_monitor.hpp"
#include "hbconnector/spec_registry.hpp"
#include "hbconnector/string_message.hpp"
#include "hbconnector/subscription.hpp"
#include "hbconnector/tracing.hpp"
#include "hbconnector/version.hpp"
#include "runtime/runtime_internal.hpp"
#include "support/fake_agent.hpp"

namespace {

using hbconnector::detail::RuntimeMonitor;
using hbconnector::detail::runtimeMonitor;
using hbconnector::test::FakeAgent;
using hbconnector::test::FakeAgentScope;
using hbconnector::test::TestConnector;

// The calls of interest for the start-up order: lookups and generated messages.
std::vector<std::string> startupCalls(const FakeAgent& agent) {
  std::vector<std::string> kept;
  for (const std::string& call : agent.calls()) {
    if (call.rfind("getConfigProp", 0) == 0 || call.rfind("generateMsg", 0) == 0) {
      kept.push_back(call);
    }
  }
  return kept;
}

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

    const std::vector<std::string> expected = {"getConfigProp ConnectorName",
                                               "getConfigProp AgentTraceLevel", "generateMsg 80404",
                                               "generateMsg 80405", "getConfigProp PerfLevel"};
    EXPECT_EQ(startupCalls(agent), expected);

    const auto announced = agent.generated(80404);
    ASSERT_EQ(announced.size(), 1u);
    EXPECT_EQ(announced[0].type, 4);
    EXPECT_EQ(announced[0].flag, 1);
    EXPECT_EQ(announced[0].count, 1);
    EXPECT_EQ(announced[0].params, "3");
    EXPECT_FALSE(announced[0].hasExtra);
    const auto set = agent.generated(80405);
    ASSERT_EQ(set.size(), 1u);
    EXPECT_EQ(set[0].type, 4);
    EXPECT_EQ(set[0].flag, 1);
    EXPECT_EQ(set[0].count, 2);
    EXPECT_EQ(set[0].params, "3,3");
    // The notices are composed, not logged.
    EXPECT_TRUE(agent.logs().empty());

    EXPECT_EQ(veneer.getTracing()->getTraceLevel(), 3);
    EXPECT_EQ(PerfMonitor::getPerfLevel(), 2);
  }
  // The destroyed veneer is no longer reachable.
  EXPECT_EQ(JToCPPVeneer::getVeneer(), nullptr);
}

TEST(VeneerConstruction, DefaultsWithoutConfiguration) {
  FakeAgentScope scope;
  PerfMonitor::setPerfLevel(7);  // a left-over level must not survive start-up
  JToCPPVeneer& veneer = scope.startVeneer();

  EXPECT_STREQ(veneer.getTracing()->getConnectorName(), "Generic_Connector");
  EXPECT_EQ(veneer.getTracing()->getTraceLevel(), 0);
  EXPECT_EQ(PerfMonitor::getPerfLevel(), 0);
  ASSERT_EQ(scope.agent().generated(80404).size(), 1u);
  EXPECT_EQ(scope.agent().generated(80404)[0].params, "0");
  EXPECT_EQ(scope.agent().generated(80405)[0].params, "0,0");

  const char* operations[] = {"init", "doverbfor", "poll"};
  const RuntimeMonitor kinds[] = {RuntimeMonitor::kInit, RuntimeMonitor::kDoVerbFor,
                                  RuntimeMonitor::kPoll};
  for (int i = 0; i < 3; ++i) {
    PerfMonitor* monitor = runtimeMonitor(kinds[i]);
    ASSERT_NE(monitor, nullptr);
    EXPECT_STREQ(monitor->getFirstName().c_str(), "Generic_Connector");
    EXPECT_STREQ(monitor->getSecondName().c_str(), operations[i]);
  }

  // Trace lines carry the default name too.
  veneer.setTraceLevel(1);
  veneer.traceWrite(1, "hello");
  const auto traces = scope.agent().traces();
  ASSERT_EQ(traces.size(), 1u);
  EXPECT_EQ(traces[0].connectorName, "Generic_Connector");
}

TEST(VeneerConstruction, ConfiguredNameIsUsedAndAnInternationalAgentGetsI18nLookups) {
  FakeAgentScope scope;
  scope.agent().setEncoding("UTF-8");
  scope.agent().setProperty("ConnectorName", "Acme");
  JToCPPVeneer& veneer = scope.startVeneer();

  EXPECT_STREQ(veneer.getTracing()->getConnectorName(), "Acme");
  EXPECT_STREQ(runtimeMonitor(RuntimeMonitor::kPoll)->getFirstName().c_str(), "Acme");
  for (const auto& lookup : scope.agent().configLookups()) {
    EXPECT_TRUE(lookup.i18n) << lookup.name;
  }
  EXPECT_EQ(scope.agent().configLookups().size(), 3u);
}

TEST(VeneerLifecycle, InitWithoutConnectorFails) {
  FakeAgentScope scope;
  JToCPPVeneer& veneer = scope.startVeneer();
  ASSERT_EQ(JToCPPVeneer::getConnector(), nullptr);
  EXPECT_EQ(veneer.init(nullptr), -1);
  EXPECT_EQ(veneer.pollForEvents(), -1);
  EXPECT_EQ(veneer.terminate(), -1);
  EXPECT_EQ(veneer.getVersion(), nullptr);
  veneer.suspend();  // nothing to call, must not crash
  veneer.resume();
}

TEST(VeneerLifecycle, TheLastConstructedConnectorReceivesTheCalls) {
  FakeAgentScope scope;
  TestConnector first;
  TestConnector second;
  second.initResult = 42;
  second.pollResult = 3;
  second.terminateResult = 9;
  second.version = "2.5.1";
  JToCPPVeneer& veneer = scope.startVeneer();
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
  EXPECT_EQ(second.initCalls, 1);
  EXPECT_EQ(second.pollCalls, 1);
  EXPECT_EQ(second.terminateCalls, 1);
  EXPECT_EQ(second.suspendCalls, 1);
  EXPECT_EQ(second.resumeCalls, 2);
}

TEST(VeneerLifecycle, InitSuppliesAMissingSubscriptionHandler) {
  FakeAgentScope scope;
  scope.startConnector();
  {
    JToCPPVeneer veneer(nullptr, nullptr);
    EXPECT_EQ(veneer.getSubscriptionHandler(), nullptr);
    EXPECT_EQ(veneer.subscribeTo("Customer", "Create", 0), -1);
    EXPECT_EQ(veneer.isSubscribed("Customer", "Create"), 0);
    EXPECT_EQ(veneer.init(nullptr), 1);
    SubscriptionHandlerCPP* handler = veneer.getSubscriptionHandler();
    ASSERT_NE(handler, nullptr);
    EXPECT_EQ(handler->getVeneer(), &veneer);
    EXPECT_EQ(veneer.subscribeTo("Customer", "Create", 0), 0);
    EXPECT_EQ(veneer.isSubscribed("Customer", "Create"), 1);
    EXPECT_EQ(veneer.cancelSub("Customer", nullptr, "Create"), 0);
    EXPECT_EQ(veneer.isSubscribed("Customer", "Create"), 0);
  }
}

TEST(VeneerLifecycle, TakesTheLibraryRegistryAndInitReplacesAMissingOne) {
  FakeAgentScope scope;
  scope.startConnector();
  JToCPPVeneer veneer(nullptr, nullptr);
  EXPECT_EQ(veneer.getSpecRegistry(), BusObjSpecRegistry::getInstance());
  veneer.setSpecRegistry(nullptr);
  EXPECT_EQ(veneer.init(nullptr), 1);
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
  // Helpers reach nothing now and must not crash.
  ConnectorBase::traceWrite(0, "after");
  ConnectorBase::logMsg("after", 6);
  EXPECT_EQ(ConnectorBase::getSubscriptionHandler(), nullptr);
  EXPECT_EQ(JToCPPVeneer::getErrorMsg(), nullptr);
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

  // Deleting the handler leaves the veneer without one (no dangling pointer).
  delete original;
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
  EXPECT_FALSE(veneer.isDeltaSupported("Upper"));
  EXPECT_FALSE(veneer.isDeltaSupported("Longer"));
  EXPECT_FALSE(veneer.isDeltaSupported("Cut"));
  EXPECT_FALSE(veneer.isDeltaSupported("Null"));
  EXPECT_FALSE(veneer.isDeltaSupported("Unconfigured"));
  EXPECT_FALSE(veneer.isDeltaSupported(nullptr));
  const std::vector<std::string> asked = {"Yes", "Yes",  "Upper",       "Longer",
                                          "Cut", "Null", "Unconfigured"};
  EXPECT_EQ(agent.deltaLookups(), asked);
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
    const bool ascii = std::strcmp(encoding, "ascii7") == 0 || std::strcmp(encoding, "ascii8") == 0;
    EXPECT_EQ(lookups[0].i18n, !ascii) << encoding;
  }
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

}  // namespace
