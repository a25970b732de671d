#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <regex>
#include <string>
#include <thread>

#include "hbconnector/connector.hpp"
#include "hbconnector/tracing.hpp"
#include "runtime/runtime_internal.hpp"
#include "support/fake_agent.hpp"

namespace {

using hbconnector::test::FakeAgent;
using hbconnector::test::FakeAgentScope;

// A veneer started with the given trace level, with the start-up records cleared.
JToCPPVeneer& startWithTraceLevel(FakeAgentScope& scope, const char* level) {
  scope.agent().setProperty("AgentTraceLevel", level);
  JToCPPVeneer& veneer = scope.startVeneer();
  scope.agent().clearRecords();
  return veneer;
}

TEST(Tracing, WritesOnlyLevelsFromZeroUpToTheCurrentLevel) {
  FakeAgentScope scope;
  JToCPPVeneer& veneer = startWithTraceLevel(scope, "2");
  ConnectorBase::traceWrite(3, "too detailed");
  ConnectorBase::traceWrite(2, "wanted", "more");
  auto traces = scope.agent().traces();
  ASSERT_EQ(traces.size(), 1u);
  EXPECT_EQ(traces[0].level, 2);
  EXPECT_EQ(traces[0].text, "wanted");
  EXPECT_EQ(traces[0].extra, "more");
  EXPECT_EQ(traces[0].delimiter, ",");
  EXPECT_EQ(traces[0].connectorName, "Generic_Connector");

  veneer.setTraceLevel(0);
  scope.agent().clearRecords();
  ConnectorBase::traceWrite(0, "level zero");
  ConnectorBase::traceWrite(-1, "below zero");
  ConnectorBase::traceWrite(1, "above");
  traces = scope.agent().traces();
  ASSERT_EQ(traces.size(), 1u);
  EXPECT_EQ(traces[0].text, "level zero");
  EXPECT_FALSE(traces[0].hasExtra);
}

TEST(Tracing, SetTraceLevelAnnouncesTheNewLevelTwice) {
  FakeAgentScope scope;
  JToCPPVeneer& veneer = startWithTraceLevel(scope, "1");
  veneer.setTraceLevel(3);
  EXPECT_EQ(veneer.getTracing()->getTraceLevel(), 3);
  const auto notices = scope.agent().generated(80405);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].params, "3,3");
  EXPECT_EQ(notices[0].count, 2);
  EXPECT_EQ(notices[0].flag, 1);
}

TEST(Tracing, NamedTracingReadsItsLevelFromTheAgent) {
  FakeAgentScope scope;
  scope.startVeneer();
  scope.agent().setProperty("AgentTraceLevel", "4");
  scope.agent().clearRecords();
  Tracing tracing("Named");
  EXPECT_STREQ(tracing.getConnectorName(), "Named");
  EXPECT_EQ(tracing.getTraceLevel(), 4);
  ASSERT_EQ(scope.agent().generated(80404).size(), 1u);
  EXPECT_EQ(scope.agent().generated(80404)[0].params, "4");
  EXPECT_EQ(scope.agent().generated(80405)[0].params, "4,4");

  Tracing unnamed;
  EXPECT_EQ(unnamed.getConnectorName(), nullptr);
  EXPECT_EQ(unnamed.getTraceLevel(), 0);
  EXPECT_EQ(scope.agent().generated().size(), 2u);  // the unnamed one asked nothing
}

TEST(Tracing, DelimiterIsPassedWithEveryLine) {
  FakeAgentScope scope;
  startWithTraceLevel(scope, "5");
  EXPECT_STREQ(getTraceDelimiter(), ",");
  setTraceDelimiter("|");
  ConnectorBase::traceWrite(1, "a");
  setTraceDelimiter(nullptr);  // ignored
  ConnectorBase::traceWrite(1, "b");
  std::string replaced = ";";
  setTraceDelimiter(replaced.c_str());
  replaced = "X";  // the setter copied the text
  ConnectorBase::traceWrite(1, "c");
  const auto traces = scope.agent().traces();
  ASSERT_EQ(traces.size(), 3u);
  EXPECT_EQ(traces[0].delimiter, "|");
  EXPECT_EQ(traces[1].delimiter, "|");
  EXPECT_EQ(traces[2].delimiter, ";");
}

TEST(MessageGeneration, JoinsParametersWithCommas) {
  FakeAgentScope scope;
  startWithTraceLevel(scope, "0");

  char* none = ConnectorBase::generateMsg(100, 5, 0, 0);
  char* two = ConnectorBase::generateMsg(101, 6, 1, 2, "a", "b");
  char* withNull =
      ConnectorBase::generateMsg(102, 6, 0, 3, "a", static_cast<const char*>(nullptr), "c");
  const std::string longParam(6000, 'p');
  char* longer = ConnectorBase::generateMsg(103, 4, 0, 2, longParam.c_str(), "end");

  const auto calls = scope.agent().generated();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].params, "");
  EXPECT_EQ(calls[0].count, 0);
  EXPECT_EQ(calls[1].params, "a,b");
  EXPECT_EQ(calls[1].count, 2);
  EXPECT_EQ(calls[1].flag, 1);
  EXPECT_EQ(calls[1].type, 6);
  EXPECT_FALSE(calls[1].hasExtra);
  EXPECT_EQ(calls[2].params, "a,,c");
  EXPECT_EQ(calls[3].params, longParam + ",end");  // no fixed limit on the joined text

  ASSERT_NE(two, nullptr);
  EXPECT_EQ(std::string(two), FakeAgent::composedText(101, 6, "a,b"));
  delete[] none;
  delete[] two;
  delete[] withNull;
  delete[] longer;
}

TEST(MessageGeneration, GenerateAndLogTypeZeroIsUntypedAndRemembersNothing) {
  FakeAgentScope scope;
  startWithTraceLevel(scope, "0");
  ConnectorBase::generateAndLogMsg(200, 0, 1, "x");
  auto logs = scope.agent().logs();
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_FALSE(logs[0].typed);
  EXPECT_EQ(logs[0].text, FakeAgent::composedText(200, 0, "x"));
  EXPECT_EQ(scope.agent().generated(200)[0].flag, 0);
  EXPECT_EQ(JToCPPVeneer::getErrorMsg(), nullptr);

  ConnectorBase::generateAndLogMsg(201, 5, 0);
  EXPECT_EQ(JToCPPVeneer::getErrorMsg(), nullptr);  // a warning is not an error
  ConnectorBase::generateAndLogMsg(202, 6, 2, "p", "q");
  logs = scope.agent().logs();
  ASSERT_EQ(logs.size(), 3u);
  EXPECT_TRUE(logs[1].typed);
  EXPECT_EQ(logs[1].type, 5);
  EXPECT_TRUE(logs[2].typed);
  EXPECT_EQ(logs[2].type, 6);
  ASSERT_NE(JToCPPVeneer::getErrorMsg(), nullptr);
  const std::string pending = JToCPPVeneer::getErrorMsg();
  EXPECT_EQ(pending.substr(24), FakeAgent::composedText(202, 6, "p,q"));
}

TEST(MessageGeneration, GenerateAndTraceComposesOnlyWhenTheLevelPasses) {
  FakeAgentScope scope;
  startWithTraceLevel(scope, "2");
  ConnectorBase::generateAndTraceMsg(300, 4, 3, 1, "skipped");
  ConnectorBase::generateAndTraceMsg(301, 4, -1, 0);
  EXPECT_TRUE(scope.agent().generated().empty());
  EXPECT_TRUE(scope.agent().traces().empty());

  ConnectorBase::generateAndTraceMsg(302, 4, 2, 1, "shown");
  const auto generated = scope.agent().generated();
  ASSERT_EQ(generated.size(), 1u);
  EXPECT_EQ(generated[0].flag, 0);
  const auto traces = scope.agent().traces();
  ASSERT_EQ(traces.size(), 1u);
  EXPECT_EQ(traces[0].level, 2);
  EXPECT_EQ(traces[0].text, FakeAgent::composedText(302, 4, "shown"));
}

TEST(MessageGeneration, HelpersDoNothingWithoutAVeneer) {
  FakeAgentScope scope;
  ConnectorBase::traceWrite(0, "t");
  ConnectorBase::logMsg("l");
  ConnectorBase::logMsg("l", 6);
  ConnectorBase::generateAndLogMsg(1, 6, 0);
  ConnectorBase::generateAndTraceMsg(1, 4, 0, 0);
  EXPECT_EQ(ConnectorBase::generateMsg(1, 4, 0, 0), nullptr);
  char buffer[8] = "garbage";
  EXPECT_EQ(ConnectorBase::getConfigProp("x", buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_FALSE(ConnectorBase::isDeltaSupported("x"));
  EXPECT_TRUE(scope.agent().calls().empty());
  EXPECT_EQ(JToCPPVeneer::getErrorMsg(), nullptr);
}

TEST(MessageGeneration, AnAgentWithoutAnswerLogsNothing) {
  FakeAgentScope scope;
  startWithTraceLevel(scope, "5");
  scope.agent().setGenerateAnswers(false);
  EXPECT_EQ(ConnectorBase::generateMsg(1, 4, 0, 0), nullptr);
  ConnectorBase::generateAndLogMsg(2, 6, 0);
  ConnectorBase::generateAndTraceMsg(3, 4, 1, 0);
  EXPECT_TRUE(scope.agent().logs().empty());
  EXPECT_TRUE(scope.agent().traces().empty());
  EXPECT_EQ(JToCPPVeneer::getErrorMsg(), nullptr);
  EXPECT_EQ(scope.agent().generated().size(), 3u);
}

TEST(PendingError, ErrorClassLogsAreRememberedAndTheFirstWins) {
  FakeAgentScope scope;
  startWithTraceLevel(scope, "0");
  ConnectorBase::logMsg("plain");
  ConnectorBase::logMsg("info", 4);
  EXPECT_EQ(JToCPPVeneer::getErrorMsg(), nullptr);

  const std::time_t before = std::time(nullptr);
  ConnectorBase::logMsg("first failure", 6);
  ConnectorBase::logMsg("second failure", 7);
  ConnectorBase::logMsg("third failure", -1);
  const char* pending = JToCPPVeneer::getErrorMsg();
  ASSERT_NE(pending, nullptr);
  const std::string text = pending;
  static const std::regex stamp(R"(^(\d{4})/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.xxx:first failure$)");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(text, match, stamp)) << text;
  EXPECT_EQ(text.size(), 24u + std::strlen("first failure"));
  std::tm local{};
  localtime_r(&before, &local);
  EXPECT_EQ(std::stoi(match[1].str()), local.tm_year + 1900);

  // Every log still reaches the agent, typed.
  const auto logs = scope.agent().logs();
  ASSERT_EQ(logs.size(), 5u);
  EXPECT_EQ(logs[3].type, 7);
  EXPECT_EQ(logs[4].type, -1);

  JToCPPVeneer::clearErrorMsg();
  EXPECT_EQ(JToCPPVeneer::getErrorMsg(), nullptr);
  ConnectorBase::logMsg("later failure", -1);
  ASSERT_NE(JToCPPVeneer::getErrorMsg(), nullptr);
  EXPECT_EQ(std::string(JToCPPVeneer::getErrorMsg()).substr(24), "later failure");
}

TEST(PendingError, EachThreadHasItsOwn) {
  FakeAgentScope scope;
  startWithTraceLevel(scope, "0");
  ConnectorBase::logMsg("main thread", 6);
  std::string seenByWorker = "unset";
  std::string workerOwn;
  std::thread worker([&] {
    const char* before = JToCPPVeneer::getErrorMsg();
    seenByWorker = before != nullptr ? before : "none";
    ConnectorBase::logMsg("worker thread", 7);
    workerOwn = std::string(JToCPPVeneer::getErrorMsg()).substr(24);
    JToCPPVeneer::clearErrorMsg();
  });
  worker.join();
  EXPECT_EQ(seenByWorker, "none");
  EXPECT_EQ(workerOwn, "worker thread");
  ASSERT_NE(JToCPPVeneer::getErrorMsg(), nullptr);
  EXPECT_EQ(std::string(JToCPPVeneer::getErrorMsg()).substr(24), "main thread");
}

TEST(LibraryTrace, LinesAreWrittenOnlyAboveLevelZeroAndCutToTheBufferSize) {
  FakeAgentScope scope;
  EXPECT_FALSE(hbconnector::detail::libraryTraceEnabled());
  hbconnector::detail::libraryTrace(1, "%s", "no veneer");
  JToCPPVeneer& veneer = startWithTraceLevel(scope, "0");
  EXPECT_FALSE(hbconnector::detail::libraryTraceEnabled());
  hbconnector::detail::libraryTrace(0, "%s", "level zero is off for library lines");
  EXPECT_TRUE(scope.agent().traces().empty());

  veneer.setTraceLevel(4);
  const std::string huge(7000, 'h');
  hbconnector::detail::libraryTrace(5, "%s", "too detailed");
  hbconnector::detail::libraryTrace(4, "%s", huge.c_str());
  const auto traces = scope.agent().traces();
  ASSERT_EQ(traces.size(), 1u);
  EXPECT_EQ(traces[0].text.size(), hbconnector::detail::kMsgBufSize - 1);
  EXPECT_FALSE(traces[0].hasExtra);
}

}  // namespace
