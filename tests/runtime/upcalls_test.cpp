#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "collections/messages.hpp"
#include "hbconnector/business_object.hpp"
#include "hbconnector/connector.hpp"
#include "hbconnector/string_message.hpp"
#include "runtime/agent_port.hpp"
#include "runtime/records.hpp"
#include "runtime/upcalls.hpp"
#include "support/fake_agent.hpp"

namespace hbconnector::test {
namespace {

namespace upcall = hbconnector::detail::upcall;

TEST(ConfigUpcall, CutsLongAnswersAndEmptiesTheBufferOnNoAnswer) {
  FakeAgentScope scope;
  scope.agent().setProperty("Long", "abcdefghijklmnopqrst");
  scope.agent().setDeltaSupport("Customer", "truetruetrue");
  scope.agent().setDeltaSupport("Null", std::nullopt);
  char buffer[10];
  auto fill = [&] { return std::strcpy(buffer, "xxxxxxxxx"); };
  EXPECT_EQ(upcall::getConfigProp("Long", fill(), 8), 7);
  EXPECT_STREQ(buffer, "abcdefg");
  EXPECT_EQ(upcall::getConfigPropI18n("Long", fill(), 8), 7);
  EXPECT_STREQ(buffer, "abcdefg");
  EXPECT_EQ(upcall::getConfigProp("Absent", fill(), 8), 0);
  EXPECT_STREQ(buffer, "");
  upcall::getDeltaSupport("Customer", fill(), sizeof buffer);
  EXPECT_STREQ(buffer, "truetruet");
  upcall::getDeltaSupport("Null", fill(), sizeof buffer);
  EXPECT_STREQ(buffer, "");

  // Null names and degenerate buffers never reach the agent.
  scope.agent().clearRecords();
  EXPECT_EQ(upcall::getConfigProp(nullptr, fill(), 8), 0);
  EXPECT_EQ(upcall::getConfigPropI18n(nullptr, fill(), 8), 0);
  EXPECT_STREQ(buffer, "");
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
  const std::string colour = "4:blue was returned from AppEndConfig for property name:Colour";
  EXPECT_EQ(traceLines(scope.agent()),
            (Lines{colour, colour,
                   "4:true was returned from AppEndConfig for deltaSupport for object "
                   "name:Customer"}));
  JToCPPVeneer::getVeneer()->setTraceLevel(3);
  scope.agent().clearRecords();
  upcall::getConfigProp("Colour", buffer, sizeof buffer);
  EXPECT_TRUE(scope.agent().traces().empty());
}

TEST(MessageUpcalls, LogNullTextIsIgnoredReportLogsAndComposeDrops) {
  FakeAgentScope scope;
  upcall::logComposed(nullptr, 0, false);
  EXPECT_TRUE(scope.agent().calls().empty());
  upcall::logComposed("text", 0, false);
  upcall::logComposed("typed", 5, true);
  upcall::reportMessage(hbconnector::detail::kMsgAgentVersionMismatch, "");
  upcall::composeMessage(hbconnector::detail::kMsgTraceLevelSet, "1,1");
  upcall::reportMessage(hbconnector::detail::kMsgNotSubscribed, nullptr);
  EXPECT_EQ(generatedLines(scope.agent()),
            (Lines{"17017/7/1/0:", "80405/4/1/2:1,1", "80008/5/1/2:"}));
  EXPECT_EQ(logLines(scope.agent()),
            (Lines{"text", "5:typed", FakeAgent::composedText(17017, 7, ""),
                   FakeAgent::composedText(80008, 5, "")}));
}

// Whatever path composes one of the library's own messages, the agent gets
// the id with the type and parameter count of its catalogue entry.
TEST(MessageUpcalls, ComposedMessagesMatchTheCatalogue) {
  FakeAgentScope scope;
  scope.agent().setProperty("AgentTraceLevel", "2");
  JToCPPVeneer& veneer = scope.startVeneer();
  veneer.setTraceLevel(3);
  BusinessObject unknownType("NoSuchType");  // message 64 through the veneer
  upcall::reportMessage(hbconnector::detail::kMsgConversionFailed, "");
  std::set<int> seen;
  for (const FakeAgent::GenerateRecord& record : scope.agent().generated()) {
    const hbconnector::detail::Message* entry = hbconnector::detail::findMessage(record.id);
    ASSERT_NE(entry, nullptr) << record.id;
    EXPECT_EQ(record.type, entry->type) << record.id;
    EXPECT_EQ(record.count, entry->paramCount) << record.id;
    seen.insert(record.id);
  }
  EXPECT_EQ(seen, (std::set<int>{64, 80400, 80404, 80405}));
}

TEST(CachedUpcalls, EncodingAndLocaleAreFetchedOnceEvenByRacingThreads) {
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

  upcall::resetForTesting();
  scope.agent().clearRecords();
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
  ASSERT_NE(seen[0], nullptr);
  for (StringMessage* message : seen) EXPECT_EQ(message, seen[0]);
}

TEST(ObjectEventIds, NameTimeAndOneCounterForBothForms) {
  {
    FakeAgentScope scope;
    scope.agent().setProperty("ConnectorName", "N");
    scope.startVeneer();
    scope.agent().clearRecords();
    const long before = static_cast<long>(std::time(nullptr));
    // The byte-array form continues the count: an id of either form names one event.
    const std::vector<std::string> ids = {upcall::makeObjectEventId(false),
                                          upcall::makeObjectEventId(false),
                                          upcall::makeObjectEventId(true)};
    const long after = static_cast<long>(std::time(nullptr));
    for (std::size_t i = 0; i < ids.size(); ++i) {
      std::smatch match;
      ASSERT_TRUE(std::regex_match(ids[i], match, std::regex(R"(^N_(\d+)_(\d+)$)"))) << ids[i];
      EXPECT_GE(std::stol(match[1].str()), before);
      EXPECT_LE(std::stol(match[1].str()), after);
      EXPECT_EQ(match[2].str(), std::to_string(i));
    }
    // The name is read once per form, at its first id.
    EXPECT_EQ(scope.agent().callCount("getConfigProp ConnectorName"), 2);
    scope.agent().setProperty("ConnectorName", "Other");
    EXPECT_EQ(upcall::makeObjectEventId(false).rfind("N_", 0), 0u);
  }
  // Long names are cut to 127 bytes.
  FakeAgentScope longScope;
  longScope.agent().setProperty("ConnectorName", std::string(300, 'n'));
  longScope.startVeneer();
  EXPECT_EQ(upcall::makeObjectEventId(false).find('_'), 127u);
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
  upcall::reportMessage(hbconnector::detail::kMsgConversionFailed, "");

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
}  // namespace hbconnector::test
