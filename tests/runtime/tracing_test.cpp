#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <string>
#include <thread>

#include "collections/messages.hpp"
#include "collections/text.hpp"
#include "hbconnector/connector.hpp"
#include "hbconnector/tracing.hpp"
#include "runtime/records.hpp"
#include "runtime/runtime_internal.hpp"
#include "runtime/upcalls.hpp"
#include "support/fake_agent.hpp"

namespace hbconnector::test {
namespace {

std::string msg(int id, int type, const std::string& params) {
  return FakeAgent::composedText(id, type, params);
}

// A veneer started with the given trace level, with the start-up records cleared.
class TracingTest : public ::testing::Test {
 protected:
  JToCPPVeneer& start(const char* level) {
    agent().setProperty("AgentTraceLevel", level);
    JToCPPVeneer& veneer = scope_.startVeneer();
    agent().clearRecords();
    return veneer;
  }
  FakeAgent& agent() { return scope_.agent(); }
  FakeAgentScope scope_;
};

TEST_F(TracingTest, WritesLevelsZeroToCurrentWithNameAndDelimiter) {
  JToCPPVeneer& veneer = start("2");
  ConnectorBase::traceWrite(3, "too detailed");
  ConnectorBase::traceWrite(2, "wanted", "more");
  EXPECT_EQ(traceLines(agent()), Lines{"2:wanted+more"});
  EXPECT_EQ(agent().traces()[0].delimiter, ",");
  EXPECT_EQ(agent().traces()[0].connectorName, "Generic_Connector");

  // Setting the level announces it twice in one composed message.
  veneer.setTraceLevel(0);
  EXPECT_EQ(veneer.getTracing()->getTraceLevel(), 0);
  EXPECT_EQ(generatedLines(agent()), Lines{"80405/4/1/2:0,0"});
  agent().clearRecords();
  for (int level : {0, -1, 1}) ConnectorBase::traceWrite(level, std::to_string(level).c_str());
  EXPECT_EQ(traceLines(agent()), Lines{"0:0"});

  // The delimiter goes with every line; a null one is ignored; the setter copies.
  veneer.setTraceLevel(5);
  agent().clearRecords();
  EXPECT_STREQ(getTraceDelimiter(), ",");
  setTraceDelimiter("|");
  ConnectorBase::traceWrite(1, "a");
  setTraceDelimiter(nullptr);
  ConnectorBase::traceWrite(1, "b");
  std::string replaced = ";";
  setTraceDelimiter(replaced.c_str());
  replaced = "X";
  ConnectorBase::traceWrite(1, "c");
  std::string delimiters;
  for (const auto& trace : agent().traces()) delimiters += trace.delimiter;
  EXPECT_EQ(delimiters, "||;");
}

TEST_F(TracingTest, NamedTracingReadsItsLevelFromTheAgent) {
  start("0");
  agent().setProperty("AgentTraceLevel", "4");
  Tracing tracing("Named");
  EXPECT_STREQ(tracing.getConnectorName(), "Named");
  EXPECT_EQ(tracing.getTraceLevel(), 4);
  Tracing unnamed;  // asks nothing
  EXPECT_EQ(unnamed.getConnectorName(), nullptr);
  EXPECT_EQ(unnamed.getTraceLevel(), 0);
  EXPECT_EQ(generatedLines(agent()), (Lines{"80404/4/1/1:4", "80405/4/1/2:4,4"}));
}

TEST_F(TracingTest, GenerateMsgJoinsParametersWithCommas) {
  start("0");
  char* none = ConnectorBase::generateMsg(100, 5, 0, 0);
  char* two = ConnectorBase::generateMsg(101, 6, 1, 2, "a", "b");
  char* withNull =
      ConnectorBase::generateMsg(102, 6, 0, 3, "a", static_cast<const char*>(nullptr), "c");
  const std::string longParam(6000, 'p');  // no fixed limit on the joined text
  char* longer = ConnectorBase::generateMsg(103, 4, 0, 2, longParam.c_str(), "end");
  EXPECT_EQ(generatedLines(agent()), (Lines{"100/5/0/0:", "101/6/1/2:a,b", "102/6/0/3:a,,c",
                                            "103/4/0/2:" + longParam + ",end"}));
  ASSERT_NE(two, nullptr);
  EXPECT_EQ(std::string(two), msg(101, 6, "a,b"));
  for (char* text : {none, two, withNull, longer}) delete[] text;
}

TEST_F(TracingTest, GenerateAndLogRemembersOnlyErrorClassMessages) {
  start("0");
  ConnectorBase::generateAndLogMsg(200, 0, 1, "x");  // type 0: untyped log
  ConnectorBase::generateAndLogMsg(201, 5, 0);
  EXPECT_EQ(pendingError(), "<none>");  // a warning is not an error
  ConnectorBase::generateAndLogMsg(202, 6, 2, "p", "q");
  EXPECT_EQ(generatedLines(agent()), (Lines{"200/0/0/1:x", "201/5/0/0:", "202/6/0/2:p,q"}));
  EXPECT_EQ(logLines(agent()),
            (Lines{msg(200, 0, "x"), "5:" + msg(201, 5, ""), "6:" + msg(202, 6, "p,q")}));
  EXPECT_EQ(pendingError(), msg(202, 6, "p,q"));
}

TEST_F(TracingTest, GenerateAndTraceComposesOnlyWhenTheLevelPasses) {
  start("2");
  ConnectorBase::generateAndTraceMsg(300, 4, 3, 1, "skipped");
  ConnectorBase::generateAndTraceMsg(301, 4, -1, 0);
  EXPECT_TRUE(agent().generated().empty());
  ConnectorBase::generateAndTraceMsg(302, 4, 2, 1, "shown");
  EXPECT_EQ(generatedLines(agent()), Lines{"302/4/0/1:shown"});
  EXPECT_EQ(traceLines(agent()), Lines{"2:" + msg(302, 4, "shown")});
}

TEST_F(TracingTest, HelpersDoNothingWithoutAVeneerOrAnAnswer) {
  auto everyHelper = [] {
    ConnectorBase::traceWrite(0, "t");
    ConnectorBase::logMsg("l");
    ConnectorBase::generateAndLogMsg(2, 6, 0);
    ConnectorBase::generateAndTraceMsg(3, 4, 0, 0);
    EXPECT_EQ(ConnectorBase::generateMsg(1, 4, 0, 0), nullptr);
  };
  everyHelper();
  ConnectorBase::logMsg("l", 6);
  char buffer[8] = "garbage";
  EXPECT_EQ(ConnectorBase::getConfigProp("x", buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_FALSE(ConnectorBase::isDeltaSupported("x"));
  EXPECT_TRUE(agent().calls().empty());
  EXPECT_EQ(pendingError(), "<none>");

  // An agent that composes nothing: nothing is logged, traced or remembered.
  start("5");
  agent().setGenerateAnswers(false);
  everyHelper();
  EXPECT_EQ(logLines(agent()), Lines{"l"});
  EXPECT_EQ(traceLines(agent()), Lines{"0:t"});
  EXPECT_EQ(pendingError(), "<none>");
  EXPECT_EQ(agent().generated().size(), 3u);
}

TEST_F(TracingTest, ErrorClassLogsAreRememberedPerThreadAndTheFirstWins) {
  start("0");
  ConnectorBase::logMsg("plain");
  ConnectorBase::logMsg("info", 4);
  EXPECT_EQ(pendingError(), "<none>");
  const std::time_t before = std::time(nullptr);
  ConnectorBase::logMsg("first failure", 6);
  ConnectorBase::logMsg("second failure", 7);
  ConnectorBase::logMsg("third failure", -1);
  const std::string text = JToCPPVeneer::getErrorMsg();
  std::smatch match;
  ASSERT_TRUE(std::regex_match(
      text, match, std::regex(R"(^(\d{4})/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.xxx:first failure$)")))
      << text;
  std::tm local{};
  localtime_r(&before, &local);
  EXPECT_EQ(std::stoi(match[1].str()), local.tm_year + 1900);
  EXPECT_EQ(logLines(agent()),
            (Lines{"plain", "4:info", "6:first failure", "7:second failure", "-1:third failure"}));

  std::string seenByWorker, workerOwn;
  std::thread worker([&] {
    seenByWorker = pendingError();
    ConnectorBase::logMsg("worker thread", 7);
    workerOwn = pendingError();
    JToCPPVeneer::clearErrorMsg();
  });
  worker.join();
  EXPECT_EQ(seenByWorker, "<none>");
  EXPECT_EQ(workerOwn, "worker thread");
  EXPECT_EQ(pendingError(), "first failure");
  JToCPPVeneer::clearErrorMsg();
  EXPECT_EQ(pendingError(), "<none>");
  ConnectorBase::logMsg("later failure", -1);
  EXPECT_EQ(pendingError(), "later failure");
}

TEST_F(TracingTest, LibraryLinesAreWrittenOnlyAboveLevelZeroAndCutToTheBufferSize) {
  EXPECT_FALSE(hbconnector::detail::libraryTraceEnabled());
  hbconnector::detail::libraryTrace(1, "%s", "no veneer");
  JToCPPVeneer& veneer = start("0");
  EXPECT_FALSE(hbconnector::detail::libraryTraceEnabled());
  hbconnector::detail::libraryTrace(0, "%s", "level zero is off for library lines");
  EXPECT_TRUE(agent().traces().empty());
  veneer.setTraceLevel(4);
  hbconnector::detail::libraryTrace(5, "%s", "too detailed");
  hbconnector::detail::libraryTrace(4, "%s", std::string(7000, 'h').c_str());
  EXPECT_EQ(traceLines(agent()),
            Lines{"4:" + std::string(hbconnector::detail::kTraceLineLimit - 1, 'h')});

  // A two-byte character that would straddle the limit is left out whole, as
  // the native methods' lines are cut.
  agent().clearRecords();
  const std::string accented = "h" + [] {
    std::string text;
    for (int i = 0; i < 3000; ++i) text += "\xC3\xA9";
    return text;
  }();
  hbconnector::detail::libraryTrace(4, "%s", accented.c_str());
  ASSERT_EQ(agent().traces().size(), 1u);
  EXPECT_EQ(traceLines(agent()), Lines{"4:" + accented.substr(0, 5119)});
  EXPECT_EQ(hbconnector::detail::formatBoundedLine("%s", accented.c_str()),
            accented.substr(0, 5119));
  EXPECT_EQ(hbconnector::detail::formatBoundedLine("%s", "short"), "short");
}

// An error-class message the library reports becomes the pending error text
// (the status of a failing verb); the agent still gets the untyped log.
TEST_F(TracingTest, ReportedErrorClassMessagesBecomeThePendingErrorText) {
  start("0");
  detail::upcall::reportMessage(hbconnector::detail::kMsgNotSubscribed, "Customer,Create");
  EXPECT_EQ(pendingError(), "<none>");
  detail::upcall::reportMessage(hbconnector::detail::kMsgConversionFailed, "");
  EXPECT_EQ(pendingError(), msg(80400, 7, ""));
  EXPECT_EQ(logLines(agent()), (Lines{msg(80008, 5, "Customer,Create"), msg(80400, 7, "")}));
  JToCPPVeneer::clearErrorMsg();
  detail::upcall::composeMessage(hbconnector::detail::kMsgUserCodeException, "init");
  EXPECT_EQ(pendingError(), "<none>");
}

}  // namespace
}  // namespace hbconnector::test
