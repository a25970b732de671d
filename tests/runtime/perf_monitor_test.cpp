#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "hbconnector/connector.hpp"
#include "hbconnector/perf_monitor.hpp"
#include "runtime/runtime_internal.hpp"
#include "support/fake_agent.hpp"

namespace {

using hbconnector::detail::RuntimeMonitor;
using hbconnector::detail::runtimeMonitor;
using hbconnector::test::FakeAgentScope;

// How often monitor appears in the process-wide monitor list.
int listed(PerfMonitor* monitor) {
  int count = 0;
  PerfMonitor** all = PerfMonitor::getPerfMonitors(&count);
  const int found = static_cast<int>(std::count(all, all + count, monitor));
  delete[] all;
  return found;
}

std::string format(const PerfMonitor& monitor, int size = 256) {
  std::vector<char> buffer(static_cast<std::size_t>(size));
  const int written = monitor.formatPerfMonitor(buffer.data(), size);
  EXPECT_GE(written, 0);
  return std::string(buffer.data());
}

TEST(PerfMonitor, StartsEmptyWithFreshIds) {
  PerfMonitor* a = PerfMonitor::createPerfMonitor("Conn", "poll");
  PerfMonitor* b = PerfMonitor::createPerfMonitor();
  PerfMonitor* c = PerfMonitor::createPerfMonitor("Conn", "poll");
  EXPECT_EQ(a->getStart(), -1);
  EXPECT_EQ(a->getStop(), -1);
  EXPECT_EQ(a->getTotal(), 0);
  EXPECT_EQ(a->getCount(), 0);
  EXPECT_STREQ(b->getFirstName().c_str(), "");
  const std::set<int> ids = {a->getId(), b->getId(), c->getId()};
  EXPECT_EQ(ids.size(), 3u);
  const int before = b->getId();
  b->setNames("X", "Y");
  EXPECT_NE(b->getId(), before);
  EXPECT_STREQ(b->getSecondName().c_str(), "Y");
  delete a;
  delete b;
  delete c;
}

TEST(PerfMonitor, CountZeroFormatsAverageZero) {
  PerfMonitor* monitor = PerfMonitor::createPerfMonitor("Generic_Connector", "init");
  EXPECT_EQ(format(*monitor), "Generic_Connector~init~0~");
  char buffer[64];
  EXPECT_EQ(monitor->formatPerfMonitor(buffer, sizeof buffer), 25);
  delete monitor;
}

TEST(PerfMonitor, ARecordThatDoesNotFitIsCutAndReportedNegative) {
  PerfMonitor* monitor = PerfMonitor::createPerfMonitor("Conn", "doverbfor");
  char buffer[8];
  std::fill(std::begin(buffer), std::end(buffer), 'z');
  EXPECT_LT(monitor->formatPerfMonitor(buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "Conn~do");
  // Exactly fitting: 17 characters need 18 bytes.
  char exact[18];
  EXPECT_EQ(monitor->formatPerfMonitor(exact, sizeof exact), 17);
  char oneShort[17];
  EXPECT_LT(monitor->formatPerfMonitor(oneShort, sizeof oneShort), 0);
  EXPECT_LT(monitor->formatPerfMonitor(nullptr, 10), 0);
  EXPECT_LT(monitor->formatPerfMonitor(buffer, 0), 0);
  delete monitor;
}

TEST(PerfMonitor, IntervalsAverageByIntegerDivision) {
  // Recorded monitors stay in the process-wide set: never deleted.
  PerfMonitor* monitor = PerfMonitor::createPerfMonitor("Conn", "doverbfor");
  EXPECT_EQ(listed(monitor), 0);
  EXPECT_EQ(PerfMonitor::recordInterval(monitor, 10), 1);
  EXPECT_EQ(PerfMonitor::recordInterval(monitor, 20), 0);
  EXPECT_EQ(PerfMonitor::recordInterval(monitor, 31), 0);
  EXPECT_EQ(monitor->getTotal(), 61);
  EXPECT_EQ(monitor->getCount(), 3);
  EXPECT_EQ(format(*monitor), "Conn~doverbfor~20~");
  EXPECT_EQ(listed(monitor), 1);
  EXPECT_EQ(PerfMonitor::recordInterval(nullptr, 5), -1);
}

TEST(PerfMonitor, StartedButNeverStoppedIsNotRecorded) {
  PerfMonitor* monitor = PerfMonitor::createPerfMonitor("Conn", "poll");
  PerfMonitor::startTimer(monitor);
  EXPECT_GE(monitor->getStart(), 0);
  EXPECT_EQ(PerfMonitor::recordTime(monitor), -1);
  EXPECT_EQ(monitor->getCount(), 0);
  EXPECT_EQ(listed(monitor), 0);

  PerfMonitor* stoppedOnly = PerfMonitor::createPerfMonitor("Conn", "poll");
  PerfMonitor::stopTimer(stoppedOnly);
  EXPECT_EQ(PerfMonitor::recordTime(stoppedOnly), -1);
  delete stoppedOnly;

  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  PerfMonitor::stopTimer(monitor);
  EXPECT_EQ(PerfMonitor::recordTime(monitor), 1);
  EXPECT_GE(monitor->getTotal(), 4);  // at least the sleep, within a clock tick
  EXPECT_EQ(PerfMonitor::recordTime(monitor), 0);
  EXPECT_EQ(monitor->getCount(), 2);
  EXPECT_EQ(listed(monitor), 1);
}

TEST(PerfMonitor, AResetMonitorIsListedOnce) {
  PerfMonitor* monitor = PerfMonitor::createPerfMonitor("Conn", "poll");
  PerfMonitor::recordInterval(monitor, 8);
  const int oldId = monitor->getId();
  monitor->reset();
  EXPECT_NE(monitor->getId(), oldId);
  EXPECT_EQ(monitor->getCount(), 0);
  EXPECT_EQ(monitor->getStart(), -1);
  EXPECT_STREQ(monitor->getFirstName().c_str(), "");
  EXPECT_EQ(PerfMonitor::recordInterval(monitor, 4), 0);
  EXPECT_EQ(listed(monitor), 1);
  EXPECT_EQ(monitor->getCount(), 1);
  EXPECT_EQ(monitor->getTotal(), 4);
}

TEST(PerfMonitor, ConcurrentRecordingLosesNothing) {
  PerfMonitor* monitor = PerfMonitor::createPerfMonitor("Conn", "doverbfor");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([monitor] {
      for (int i = 0; i < 500; ++i) PerfMonitor::recordInterval(monitor, 2);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(monitor->getCount(), 2000);
  EXPECT_EQ(monitor->getTotal(), 4000);
  EXPECT_EQ(listed(monitor), 1);
}

TEST(VeneerMonitors, LevelZeroMeasuresNothing) {
  FakeAgentScope scope;
  scope.startConnector();
  JToCPPVeneer& veneer = scope.startVeneer();
  ASSERT_EQ(PerfMonitor::getPerfLevel(), 0);
  veneer.init(nullptr);
  veneer.pollForEvents();
  for (RuntimeMonitor which : {RuntimeMonitor::kInit, RuntimeMonitor::kPoll}) {
    PerfMonitor* monitor = runtimeMonitor(which);
    EXPECT_EQ(monitor->getCount(), 0);
    EXPECT_EQ(monitor->getStart(), -1);
    EXPECT_EQ(listed(monitor), 0);
  }
}

TEST(VeneerMonitors, PositiveLevelMeasuresInitAndPolls) {
  FakeAgentScope scope;
  scope.agent().setProperty("PerfLevel", "1");
  scope.agent().setProperty("ConnectorName", "Timed");
  auto& connector = scope.startConnector();
  connector.onPoll = [] {
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
    return 0;
  };
  JToCPPVeneer& veneer = scope.startVeneer();
  PerfMonitor* init = runtimeMonitor(RuntimeMonitor::kInit);
  PerfMonitor* poll = runtimeMonitor(RuntimeMonitor::kPoll);
  EXPECT_EQ(veneer.init(nullptr), 1);
  veneer.pollForEvents();
  veneer.pollForEvents();
  EXPECT_EQ(init->getCount(), 1);
  EXPECT_EQ(poll->getCount(), 2);
  EXPECT_GE(poll->getTotal(), 28);
  EXPECT_EQ(listed(poll), 1);
  const std::string record = format(*poll);
  EXPECT_EQ(record.rfind("Timed~poll~", 0), 0u) << record;
  EXPECT_EQ(runtimeMonitor(RuntimeMonitor::kDoVerbFor)->getCount(), 0);

  // A poll that throws records nothing.
  connector.onPoll = []() -> int { throw std::runtime_error("poll failed"); };
  EXPECT_THROW(veneer.pollForEvents(), std::runtime_error);
  EXPECT_EQ(poll->getCount(), 2);

  // Switched off between start and end of a call: nothing recorded.
  connector.onPoll = [] {
    PerfMonitor::setPerfLevel(0);
    return 0;
  };
  veneer.pollForEvents();
  EXPECT_EQ(poll->getCount(), 2);
}

TEST(VeneerMonitors, ConcurrentPollsEachRecordTheirOwnInterval) {
  FakeAgentScope scope;
  scope.agent().setProperty("PerfLevel", "1");
  auto& connector = scope.startConnector();
  connector.onPoll = [] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return 0;
  };
  JToCPPVeneer& veneer = scope.startVeneer();
  PerfMonitor* poll = runtimeMonitor(RuntimeMonitor::kPoll);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&veneer] {
      for (int i = 0; i < 3; ++i) veneer.pollForEvents();
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(poll->getCount(), 12);
  // Each interval is at least its own sleep: shared start/stop fields would
  // let overlapping calls record shorter (even negative) intervals.
  EXPECT_GE(poll->getTotal(), 12 * 9);
}

}  // namespace
