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

namespace hbconnector::test {
namespace {

using hbconnector::detail::RuntimeMonitor;
using hbconnector::detail::runtimeMonitor;

// How often monitor appears in the process-wide monitor list.
int listed(PerfMonitor* monitor) {
  int count = 0;
  PerfMonitor** all = PerfMonitor::getPerfMonitors(&count);
  const int found = static_cast<int>(std::count(all, all + count, monitor));
  delete[] all;
  return found;
}

std::string format(const PerfMonitor& monitor) {
  char buffer[256];
  EXPECT_GE(monitor.formatPerfMonitor(buffer, sizeof buffer), 0);
  return buffer;
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

TEST(PerfMonitor, FreshMonitorsAndTheirBoundedRecord) {
  PerfMonitor* a = PerfMonitor::createPerfMonitor("Generic_Connector", "init");
  PerfMonitor* b = PerfMonitor::createPerfMonitor();
  PerfMonitor* c = PerfMonitor::createPerfMonitor("Conn", "doverbfor");
  EXPECT_EQ(a->getStart(), -1);
  EXPECT_EQ(a->getStop(), -1);
  EXPECT_EQ(a->getTotal(), 0);
  EXPECT_EQ(a->getCount(), 0);
  EXPECT_STREQ(b->getFirstName().c_str(), "");
  EXPECT_EQ((std::set<int>{a->getId(), b->getId(), c->getId()}).size(), 3u);
  const int before = b->getId();
  b->setNames("X", "Y");
  EXPECT_NE(b->getId(), before);

  // Count zero averages 0; a record that does not fit is cut and reported negative.
  EXPECT_EQ(format(*a), "Generic_Connector~init~0~");
  char buffer[64];
  EXPECT_EQ(a->formatPerfMonitor(buffer, sizeof buffer), 25);
  std::fill(std::begin(buffer), std::end(buffer), 'z');
  EXPECT_LT(c->formatPerfMonitor(buffer, 8), 0);
  EXPECT_STREQ(buffer, "Conn~do");
  EXPECT_EQ(c->formatPerfMonitor(buffer, 18), 17);  // 17 characters need 18 bytes
  EXPECT_LT(c->formatPerfMonitor(buffer, 17), 0);
  EXPECT_LT(c->formatPerfMonitor(nullptr, 10), 0);
  EXPECT_LT(c->formatPerfMonitor(buffer, 0), 0);
  delete a;
  delete b;
  delete c;
}

// Recorded monitors stay in the process-wide set: never deleted.
TEST(PerfMonitor, RecordingListsOnceAndAveragesByIntegerDivision) {
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

  // A reset monitor gets a new id and is still listed once.
  const int oldId = monitor->getId();
  monitor->reset();
  EXPECT_NE(monitor->getId(), oldId);
  EXPECT_EQ(monitor->getCount(), 0);
  EXPECT_EQ(monitor->getStart(), -1);
  EXPECT_STREQ(monitor->getFirstName().c_str(), "");
  EXPECT_EQ(PerfMonitor::recordInterval(monitor, 4), 0);
  EXPECT_EQ(listed(monitor), 1);
  EXPECT_EQ(monitor->getTotal(), 4);

  // Only a started and stopped timer is recorded.
  PerfMonitor* timed = PerfMonitor::createPerfMonitor("Conn", "poll");
  PerfMonitor::startTimer(timed);
  EXPECT_GE(timed->getStart(), 0);
  EXPECT_EQ(PerfMonitor::recordTime(timed), -1);
  EXPECT_EQ(listed(timed), 0);
  PerfMonitor* stoppedOnly = PerfMonitor::createPerfMonitor("Conn", "poll");
  PerfMonitor::stopTimer(stoppedOnly);
  EXPECT_EQ(PerfMonitor::recordTime(stoppedOnly), -1);
  delete stoppedOnly;
  sleepMs(5);
  PerfMonitor::stopTimer(timed);
  EXPECT_EQ(PerfMonitor::recordTime(timed), 1);
  EXPECT_GE(timed->getTotal(), 4);  // at least the sleep, within a clock tick
  EXPECT_EQ(PerfMonitor::recordTime(timed), 0);
  EXPECT_EQ(timed->getCount(), 2);
  EXPECT_EQ(listed(timed), 1);

  // Concurrent recording loses nothing.
  PerfMonitor* shared = PerfMonitor::createPerfMonitor("Conn", "doverbfor");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([shared] {
      for (int i = 0; i < 500; ++i) PerfMonitor::recordInterval(shared, 2);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(shared->getCount(), 2000);
  EXPECT_EQ(shared->getTotal(), 4000);
  EXPECT_EQ(listed(shared), 1);
}

TEST(VeneerMonitors, PositiveLevelMeasuresInitAndPolls) {
  FakeAgentScope scope;
  scope.agent().setProperty("ConnectorName", "Timed");
  auto& connector = scope.startConnector();
  JToCPPVeneer& veneer = scope.startVeneer();
  PerfMonitor* init = runtimeMonitor(RuntimeMonitor::kInit);
  PerfMonitor* poll = runtimeMonitor(RuntimeMonitor::kPoll);
  ASSERT_EQ(PerfMonitor::getPerfLevel(), 0);  // level zero measures nothing
  veneer.init(nullptr);
  veneer.pollForEvents();
  for (PerfMonitor* monitor : {init, poll}) {
    EXPECT_EQ(monitor->getCount(), 0);
    EXPECT_EQ(monitor->getStart(), -1);
    EXPECT_EQ(listed(monitor), 0);
  }
  PerfMonitor::setPerfLevel(1);
  connector.onPoll = [] {
    sleepMs(15);
    return 0;
  };
  EXPECT_EQ(veneer.init(nullptr), 1);
  veneer.pollForEvents();
  veneer.pollForEvents();
  EXPECT_EQ(init->getCount(), 1);
  EXPECT_EQ(poll->getCount(), 2);
  EXPECT_GE(poll->getTotal(), 28);
  EXPECT_EQ(listed(poll), 1);
  EXPECT_EQ(format(*poll).rfind("Timed~poll~", 0), 0u) << format(*poll);
  EXPECT_EQ(runtimeMonitor(RuntimeMonitor::kDoVerbFor)->getCount(), 0);

  // A poll that throws records nothing, nor one switched off during the call.
  connector.onPoll = []() -> int { throw std::runtime_error("poll failed"); };
  EXPECT_THROW(veneer.pollForEvents(), std::runtime_error);
  connector.onPoll = [] {
    PerfMonitor::setPerfLevel(0);
    return 0;
  };
  veneer.pollForEvents();
  EXPECT_EQ(poll->getCount(), 2);
}

TEST(VeneerMonitors, RestartsReuseTheThreeMonitorsAndDropTheOldRecords) {
  FakeAgentScope scope;
  scope.agent().setProperty("PerfLevel", "1");
  scope.agent().setProperty("ConnectorName", "First");
  scope.startConnector();
  JToCPPVeneer& first = scope.startVeneer();
  first.init(nullptr);
  first.pollForEvents();
  const std::set<PerfMonitor*> firstMonitors = {runtimeMonitor(RuntimeMonitor::kInit),
                                                runtimeMonitor(RuntimeMonitor::kDoVerbFor),
                                                runtimeMonitor(RuntimeMonitor::kPoll)};
  ASSERT_EQ(firstMonitors.size(), 3u);
  PerfMonitor* poll = runtimeMonitor(RuntimeMonitor::kPoll);
  ASSERT_EQ(listed(poll), 1);
  scope.stopVeneer();
  // Gone with its veneer: neither current nor listed.
  EXPECT_EQ(runtimeMonitor(RuntimeMonitor::kPoll), nullptr);
  EXPECT_EQ(listed(poll), 0);

  // Many start-ups later the runtime still uses the same three objects,
  // renamed and reset for each.
  scope.agent().setProperty("ConnectorName", "Later");
  for (int cycle = 0; cycle < 50; ++cycle) {
    JToCPPVeneer& veneer = scope.startVeneer();
    std::set<PerfMonitor*> current;
    for (RuntimeMonitor which :
         {RuntimeMonitor::kInit, RuntimeMonitor::kDoVerbFor, RuntimeMonitor::kPoll}) {
      current.insert(runtimeMonitor(which));
    }
    ASSERT_EQ(current, firstMonitors) << "cycle " << cycle;
    PerfMonitor* now = runtimeMonitor(RuntimeMonitor::kPoll);
    EXPECT_EQ(now->getCount(), 0);
    EXPECT_EQ(now->getStart(), -1);
    EXPECT_EQ(format(*now), "Later~poll~0~");
    veneer.pollForEvents();
    EXPECT_EQ(now->getCount(), 1);
    EXPECT_EQ(listed(now), 1);
    scope.stopVeneer();
  }

  // Two veneers alive at once (a start-up that failed and was never
  // terminated): destroying the older leaves the newer's monitors current.
  JToCPPVeneer& older = scope.startVeneer();
  (void)older;
  auto* newer = new JToCPPVeneer(nullptr, nullptr);
  PerfMonitor* newerPoll = runtimeMonitor(RuntimeMonitor::kPoll);
  scope.stopVeneer();
  EXPECT_EQ(runtimeMonitor(RuntimeMonitor::kPoll), newerPoll);
  delete newer;
  EXPECT_EQ(runtimeMonitor(RuntimeMonitor::kPoll), nullptr);
}

TEST(VeneerMonitors, ConcurrentPollsEachRecordTheirOwnInterval) {
  FakeAgentScope scope;
  scope.agent().setProperty("PerfLevel", "1");
  scope.startConnector().onPoll = [] {
    sleepMs(10);
    return 0;
  };
  JToCPPVeneer& veneer = scope.startVeneer();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&veneer] {
      for (int i = 0; i < 3; ++i) veneer.pollForEvents();
    });
  }
  for (auto& thread : threads) thread.join();
  PerfMonitor* poll = runtimeMonitor(RuntimeMonitor::kPoll);
  EXPECT_EQ(poll->getCount(), 12);
  // Each interval is at least its own sleep: shared start/stop fields would
  // let overlapping calls record shorter (even negative) intervals.
  EXPECT_GE(poll->getTotal(), 12 * 9);
}

}  // namespace
}  // namespace hbconnector::test
