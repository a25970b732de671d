#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "bridge/agent_port.hpp"
#include "bridge/upcalls.hpp"
#include "hbconnector/connector.hpp"
#include "hbconnector/string_message.hpp"
#include "support/fake_agent.hpp"

namespace {

namespace upcall = hbconnector::detail::upcall;
using hbconnector::test::FakeAgent;
using hbconnector::test::FakeAgentScope;

TEST(ConfigUpcall, CutsLongAnswersAndEmptiesTheBufferOnNoAnswer) {
  FakeAgentScope scope;
  scope.agent().setProperty("Long", "abcdefghijklmnopqrst");
  char buffer[8] = "xxxxxxx";
  EXPECT_EQ(upcall::getConfigProp("Long", buffer, sizeof buffer), 7);
  EXPECT_STREQ(buffer, "abcdefg");
  std::strcpy(buffer, "xxxxxxx");
  EXPECT_EQ(upcall::getConfigPropI18n("Long", buffer, sizeof buffer), 7);
  EXPECT_STREQ(buffer, "abcdefg");

  std::strcpy(buffer, "xxxxxxx");
  EXPECT_EQ(upcall::getConfigProp("Absent", buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "");

  std::strcpy(buffer, "xxxxxxx");
  scope.agent().clearRecords();
  EXPECT_EQ(upcall::getConfigProp(nullptr, buffer, sizeof buffer), 0);
  EXPECT_EQ(upcall::getConfigPropI18n(nullptr, buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_TRUE(scope.agent().calls().empty());

  // Degenerate buffers are never written and never reach the agent.
  EXPECT_EQ(upcall::getConfigProp("Long", nullptr, 8), 0);
  EXPECT_EQ(upcall::getConfigProp("Long", buffer, 0), 0);
  EXPECT_TRUE(scope.agent().calls().empty());
  char one[1] = {'x'};
  EXPECT_EQ(upcall::getConfigProp("Long", one, 1), 0);
  EXPECT_EQ(one[0], '\0');
}

TEST(ConfigUpcall, TracesEachAnswerAtLevelFour) {
  FakeAgentScope scope;
  scope.agent().setProperty("AgentTraceLevel", "4");
  scope.agent().setProperty("Colour", "blue");
  scope.agent().setDeltaSupport("Customer", "true");
  scope.startVeneer();
  scope.agent().clearRecords();
  char buffer[32];
  upcall::getConfigProp("Colour", buffer, sizeof buffer);
  upcall::getConfigPropI18n("Colour", buffer, sizeof buffer);
  upcall::getConfigProp("Absent", buffer, sizeof buffer);
  upcall::getDeltaSupport("Customer", buffer, 10);
  const auto traces = scope.agent().traces();
  ASSERT_EQ(traces.size(), 3u);
  EXPECT_EQ(traces[0].text, "blue was returned from AppEndConfig for property name:Colour");
  EXPECT_EQ(traces[0].level, 4);
  EXPECT_EQ(traces[1].text, traces[0].text);
  EXPECT_EQ(traces[2].text,
            "true was returned from AppEndConfig for deltaSupport for object name:Customer");

  JToCPPVeneer::getVeneer()->setTraceLevel(3);
  scope.agent().clearRecords();
  upcall::getConfigProp("Colour", buffer, sizeof buffer);
  EXPECT_TRUE(scope.agent().traces().empty());
}

TEST(DeltaUpcall, AnswerIsCutToTheCallersBuffer) {
  FakeAgentScope scope;
  scope.agent().setDeltaSupport("Customer", "truetruetrue");
  scope.agent().setDeltaSupport("Null", std::nullopt);
  char buffer[10] = "xxxxxxxxx";
  upcall::getDeltaSupport("Customer", buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "truetruet");
  std::strcpy(buffer, "xxxxxxxxx");
  upcall::getDeltaSupport("Null", buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "");
}

TEST(LogUpcall, NullTextDoesNothing) {
  FakeAgentScope scope;
  upcall::logMsg(nullptr);
  EXPECT_TRUE(scope.agent().calls().empty());
  upcall::logMsg("text");
  upcall::logMsg("typed", 5);
  const auto logs = scope.agent().logs();
  ASSERT_EQ(logs.size(), 2u);
  EXPECT_FALSE(logs[0].typed);
  EXPECT_EQ(logs[1].type, 5);
}

TEST(MessageUpcalls, ReportLogsTheComposedTextAndComposeDropsIt) {
  FakeAgentScope scope;
  upcall::reportMessage(17017, 7, 1, 0, "");
  upcall::composeMessage(80405, 4, 1, 2, "1,1");
  upcall::reportMessage(80008, 5, 1, 2, nullptr);
  const auto generated = scope.agent().generated();
  ASSERT_EQ(generated.size(), 3u);
  EXPECT_EQ(generated[0].id, 17017);
  EXPECT_EQ(generated[0].flag, 1);
  EXPECT_FALSE(generated[0].hasExtra);
  EXPECT_EQ(generated[2].params, "");
  const auto logs = scope.agent().logs();
  ASSERT_EQ(logs.size(), 2u);
  EXPECT_FALSE(logs[0].typed);
  EXPECT_EQ(logs[0].text, FakeAgent::composedText(17017, 7, ""));
  EXPECT_EQ(logs[1].text, FakeAgent::composedText(80008, 5, ""));
}

TEST(CachedUpcalls, EncodingAndLocaleAreFetchedOnce) {
  FakeAgentScope scope;
  scope.agent().setEncoding(std::nullopt);
  EXPECT_EQ(upcall::getEncoding(), nullptr);  // no answer is not kept
  scope.agent().setEncoding("UTF-8");
  StringMessage* encoding = upcall::getEncoding();
  ASSERT_NE(encoding, nullptr);
  EXPECT_STREQ(encoding->getText(), "UTF-8");
  scope.agent().setEncoding("ascii7");
  EXPECT_EQ(upcall::getEncoding(), encoding);
  EXPECT_STREQ(ConnectorBase::getEncoding(), "UTF-8");
  EXPECT_EQ(scope.agent().callCount("getEncoding"), 2);

  EXPECT_STREQ(ConnectorBase::getLocale(), "en_US");
  scope.agent().setLocale("fr_FR");
  EXPECT_STREQ(ConnectorBase::getLocale(), "en_US");
  EXPECT_EQ(scope.agent().callCount("getLocale"), 1);

  upcall::resetForTesting();
  EXPECT_STREQ(ConnectorBase::getEncoding(), "ascii7");
  EXPECT_STREQ(ConnectorBase::getLocale(), "fr_FR");
}

TEST(CachedUpcalls, ConcurrentFirstCallsAskTheAgentOnce) {
  FakeAgentScope scope;
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  std::vector<StringMessage*> seen(8, nullptr);
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      while (!go.load()) std::this_thread::yield();
      seen[i] = upcall::getEncoding();
    });
  }
  go = true;
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(scope.agent().callCount("getEncoding"), 1);
  for (StringMessage* message : seen) EXPECT_EQ(message, seen[0]);
  ASSERT_NE(seen[0], nullptr);
}

TEST(ObjectEventIds, NameTimeAndOneCounterForBothForms) {
  FakeAgentScope scope;
  scope.agent().setProperty("ConnectorName", "N");
  scope.startVeneer();
  scope.agent().clearRecords();

  const long before = static_cast<long>(std::time(nullptr));
  const std::string first = upcall::makeObjectEventId(false);
  const std::string second = upcall::makeObjectEventId(false);
  const std::string byteFirst = upcall::makeObjectEventId(true);
  const long after = static_cast<long>(std::time(nullptr));

  static const std::regex shape(R"(^N_(\d+)_(\d+)$)");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(first, match, shape)) << first;
  EXPECT_GE(std::stol(match[1].str()), before);
  EXPECT_LE(std::stol(match[1].str()), after);
  EXPECT_EQ(match[2].str(), "0");
  ASSERT_TRUE(std::regex_match(second, match, shape)) << second;
  EXPECT_EQ(match[2].str(), "1");
  // The byte-array form continues the count: an id of either form names
  // one event.
  ASSERT_TRUE(std::regex_match(byteFirst, match, shape)) << byteFirst;
  EXPECT_EQ(match[2].str(), "2");

  // The name is read once per form, at its first id.
  EXPECT_EQ(scope.agent().callCount("getConfigProp ConnectorName"), 2);
  scope.agent().setProperty("ConnectorName", "Other");
  EXPECT_EQ(upcall::makeObjectEventId(false).rfind("N_", 0), 0u);
}

TEST(ObjectEventIds, LongNamesAreCutTo127Bytes) {
  FakeAgentScope scope;
  scope.agent().setProperty("ConnectorName", std::string(300, 'n'));
  scope.startVeneer();
  const std::string id = upcall::makeObjectEventId(false);
  EXPECT_EQ(id.find('_'), 127u);
}

TEST(AgentPort, WithoutAnAgentEveryCallIsANoOp) {
  // No fake installed and no default registered: the no-agent port answers.
  hbconnector::detail::setAgentPort(nullptr);
  upcall::resetForTesting();
  hbconnector::detail::AgentPort& port = hbconnector::detail::agentPort();
  EXPECT_FALSE(port.available());
  char buffer[8] = "xxxxxxx";
  EXPECT_EQ(port.getConfigProp("a", buffer, sizeof buffer), -1);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(upcall::getConfigProp("a", buffer, sizeof buffer), 0);
  EXPECT_EQ(port.generateMsg(1, 2, nullptr, 0, 0, ""), nullptr);
  std::string text;
  EXPECT_FALSE(port.getEncoding(&text));
  EXPECT_FALSE(port.consumeSync("c", &text, &text));
  EXPECT_EQ(upcall::getEncoding(), nullptr);
  EXPECT_EQ(upcall::getCollabNames(), nullptr);
  EXPECT_FALSE(upcall::isAgentCapableOfPolling());
  upcall::reportMessage(1, 7, 1, 0, "");

  // A registered default is used until a test overrides it.
  FakeAgent fallback;
  hbconnector::detail::setDefaultAgentPort(&fallback);
  EXPECT_EQ(&hbconnector::detail::agentPort(), &fallback);
  {
    FakeAgentScope scope;
    EXPECT_EQ(&hbconnector::detail::agentPort(), &scope.agent());
  }
  EXPECT_EQ(&hbconnector::detail::agentPort(), &fallback);
  hbconnector::detail::setDefaultAgentPort(nullptr);
  EXPECT_FALSE(hbconnector::detail::agentPort().available());
}

}  // namespace
