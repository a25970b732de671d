// Upcalls from threads the VM has never seen, many upcalls in one native
// frame, and Java exceptions raised by the agent.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "hbconnector/connector.hpp"
#include "hbconnector/tracing.hpp"
#include "jvm_harness.hpp"
#include "test_connector.hpp"

namespace hbtest {
namespace {

using Threads = AgentTest;

TEST_F(Threads, NativeThreadsReachTheAgentAndAreDetachedWhenTheyEnd) {
  agent().setConfigProp("AgentTraceLevel", "2");
  agent().setConfigProp("ConnectorName", "Conn");
  ASSERT_EQ(start(), 1);
  const int baseline = agent().threadCount();
  testconnector::behaviour().onPoll = [] {
    std::thread worker([] {
      ConnectorBase::logMsg("from a connector thread", MSGTYPE_INFO);
      ConnectorBase::traceWrite(TRACE_LEVEL2, "thread trace", "extra");
      ConnectorBase::traceWrite(TRACE_LEVEL3, "too detailed");
    });
    worker.join();
  };
  EXPECT_EQ(agent().poll(), 0);
  EXPECT_TRUE(logged("from a connector thread", "4"));
  EXPECT_EQ(traces("thread trace"),
            (std::vector<Row>{{"Conn", "2", ",", "thread trace", "extra"}}));
  EXPECT_TRUE(traces("too detailed").empty());

  // Threads that run while no native method is active, 50 at a time.
  constexpr int kThreads = 1000;
  for (int done = 0; done < kThreads; done += 50) {
    std::vector<std::thread> batch;
    for (int i = 0; i < 50; ++i) batch.emplace_back([] { ConnectorBase::logMsg("t"); });
    for (std::thread& t : batch) t.join();
  }
  int logs = 0;
  for (const Row& row : agent().rows("logs")) logs += row.at(0) == "t" ? 1 : 0;
  EXPECT_EQ(logs, kThreads);
  EXPECT_LE(agent().threadCount(), baseline + 2);
}

TEST_F(Threads, AMillionUpcallsInOneNativeFrame) {
  ASSERT_EQ(start(), 1);
  agent().setRecording(false);
  agent().clearLog();
  testconnector::behaviour().onPoll = [] {
    for (int i = 0; i < 1000000; ++i) ConnectorBase::logMsg("x");
  };
  EXPECT_EQ(agent().poll(), 0);
  EXPECT_EQ(agent().upcallCount(), 1000000);
}

TEST_F(Threads, AJavaExceptionIsReportedAtTheEndOfTheNativeMethodOrOnTheAttachedThread) {
  agent().setConfigProp("AgentTraceLevel", "1");
  ASSERT_EQ(start(), 1);
  agent().setFailing("logMsg", true);
  testconnector::behaviour().pollResult = 3;
  testconnector::behaviour().onPoll = [] {
    ConnectorBase::logMsg("first");
    // Skipped: no JNI call may be made while the exception is pending.
    ConnectorBase::traceWrite(TRACE_LEVEL1, "while pending");
  };
  testing::internal::CaptureStderr();
  EXPECT_EQ(agent().poll(), 3);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Error: Java Exception occurred while in native method."), std::string::npos);
  EXPECT_NE(err.find("agent method logMsg failed on request"), std::string::npos);
  EXPECT_FALSE(agent().takeException());
  EXPECT_TRUE(logged("first"));
  EXPECT_TRUE(traces("while pending").empty());
  // The next native call starts clean.
  testconnector::behaviour().onPoll = [] { ConnectorBase::traceWrite(TRACE_LEVEL1, "next poll"); };
  EXPECT_EQ(agent().poll(), 3);
  EXPECT_EQ(traces("next poll").size(), 1u);

  // On a thread the library attached, the failure is reported there and the
  // thread's next upcall works.
  agent().clearLog();
  testing::internal::CaptureStderr();
  std::thread worker([] {
    ConnectorBase::logMsg("second");
    ConnectorBase::traceWrite(TRACE_LEVEL1, "after the failure");
  });
  worker.join();
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("agent method logMsg failed on request"), std::string::npos);
  EXPECT_TRUE(logged("second"));
  EXPECT_EQ(traces("after the failure").size(), 1u);
}

}  // namespace
}  // namespace hbtest
