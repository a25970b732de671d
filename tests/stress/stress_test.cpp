// Eight threads drive the C++ API at once over the fake agent (no JVM, so
// ThreadSanitizer sees every access); a ninth announces specs throughout.
// Afterwards every counter must sum exactly and every event id be unique.
// HB_STRESS_ITERATIONS sets the iterations per thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "hbconnector/bo_handler.hpp"
#include "hbconnector/business_object.hpp"
#include "hbconnector/connector.hpp"
#include "hbconnector/perf_monitor.hpp"
#include "hbconnector/return_status.hpp"
#include "hbconnector/serializer.hpp"
#include "hbconnector/spec_registry.hpp"
#include "hbconnector/string_message.hpp"
#include "hbconnector/subscription.hpp"
#include "hbconnector/tracing.hpp"
#include "hbconnector/version.hpp"
#include "runtime/upcalls.hpp"
#include "support/fake_agent.hpp"
#include "support/record_text.hpp"
#include "support/spec_builder.hpp"

namespace hbconnector::test {
namespace {

constexpr int kThreads = 8;

int iterations() {
  const char* text = std::getenv("HB_STRESS_ITERATIONS");
  const int n = text != nullptr ? std::atoi(text) : 0;
  return n > 0 ? n : 2000;
}

// Counts its verbs. "Delete" logs an error and leaves the status empty: the
// dispatch must hand the calling thread's own pending text to the status.
class CountingHandler : public BOHandlerBase {
 public:
  int doVerbFor(BusinessObject& bo, ReturnStatusDescriptor* status) override {
    const char* verb = bo.getVerb();
    const std::string key = static_cast<const char*>(bo.getAttrValue(0));
    if (std::strcmp(verb, "Delete") == 0) {
      deletes.fetch_add(1, std::memory_order_relaxed);
      ConnectorBase::logMsg(("cannot delete " + key).c_str(), MSGTYPE_ERROR);
      return -3;
    }
    if (std::strcmp(verb, "Create") == 0) creates.fetch_add(1, std::memory_order_relaxed);
    if (std::strcmp(verb, "Retrieve") == 0) retrieves.fetch_add(1, std::memory_order_relaxed);
    bo.setAttrValue(1, const_cast<char*>("done"), STRING);
    status->setErrorString(("ran " + key).c_str());
    return 1;
  }

  std::atomic<long> creates{0}, retrieves{0}, deletes{0};
};

// A length-prefixed spec record of a type with a key and an event id.
std::string announcedSpec(const std::string& name) {
  const std::string attr = "|String|false|false|false|\x05|0|\x05|1.0.0|1|Containment|false";
  return prefixed(split("BusObjSpec|" + name + "|1.0.0|\x05|2|1|Key" + attr + "|ObjectEventId" +
                        attr + "|Create|\x05"));
}

struct ThreadTally {
  long monitorMs = 0;
  std::vector<std::string> eventIds;
  std::vector<std::string> failures;
};

class StressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scope_.agent().setProperty("ConnectorName", "Stress");
    scope_.agent().setProperty("AgentTraceLevel", "1");
    scope_.agent().setProperty("PerfLevel", "1");
    scope_.startConnector();
    scope_.startVeneer();
    SpecBuilder("Part")
        .attr("PartId", STRING)
        .key()
        .attr("Label", STRING)
        .attr("ObjectEventId", STRING)
        .handler(&handler_)
        .registerSpec();
    SpecBuilder("Unit")
        .attr("UnitId", STRING)
        .key()
        .attr("State", STRING)
        .attr("Parts", "Part", CARD_MULTIPLE)
        .attr("Main", "Part")
        .attr("ObjectEventId", STRING)
        .handler(&handler_)
        .registerSpec();
  }

  void runThread(int t, int rounds, ThreadTally& tally);

  RegistryGuard registry_;
  FakeAgentScope scope_;
  CountingHandler handler_;
  PerfMonitor* shared_ = PerfMonitor::createPerfMonitor("Stress", "shared");
};

void StressTest::runThread(int t, int rounds, ThreadTally& tally) {
  auto fail = [&tally](const std::string& what) {
    if (tally.failures.size() < 20) tally.failures.push_back(what);
  };
  JToCPPVeneer* veneer = JToCPPVeneer::getVeneer();
  SubscriptionHandlerCPP* subscriptions = ConnectorBase::getSubscriptionHandler();
  const std::string own = "Own" + std::to_string(t);
  for (int i = 0; i < rounds; ++i) {
    const std::string key = "K" + std::to_string(t) + "-" + std::to_string(i);

    // Records in both encodings: read, check, write back.
    const std::string part =
        "|BusinessObject|Part|1.0.0|false|Create|en_US|3|" + key + "|VqBlank|VqIgnore";
    const Tokens unitText = split("BusinessObject|Unit|1.0.0|true|Retrieve|en_US|5|" + key +
                                  "|x|1|false" + part + "|1" + part + "|VqIgnore");
    for (bool prefixedForm : {false, true}) {
      std::unique_ptr<StringMessage> in(prefixedForm
                                            ? new StringMessageI18N(prefixed(unitText).c_str())
                                            : new StringMessage(delimited(unitText).c_str()));
      BusinessObject bo(*in);
      const auto* parts = static_cast<const BusObjArray*>(bo.getAttrValue("Parts"));
      if (bo.getSpec() == nullptr || parts == nullptr || parts->getObjectCount() != 1 ||
          bo.getAttrValue("Main") == nullptr) {
        fail("record did not read: " + key);
        continue;
      }
      std::unique_ptr<StringMessage> out(prefixedForm ? bo.toStringMessageI18N()
                                                      : bo.toStringMessage());
      StringMessage again(out->getText());
      if (!prefixedForm && BusinessObject(again).compare(&bo) != 0) fail("round trip " + key);
    }

    // Verbs through the object's own dispatch and one through the veneer's.
    for (const char* verb : {"Create", "Retrieve", "Delete"}) {
      BusinessObject bo("Part");
      bo.setAttrValue(0, const_cast<char*>(key.c_str()), STRING);
      bo.setVerb(verb);
      ReturnStatusDescriptor status;
      const bool timed = std::strcmp(verb, "Retrieve") == 0;
      const int result = timed ? veneer->doVerbFor(bo, &status) : bo.doVerbFor(&status);
      const char* message = status.getErrorString();
      const bool isDelete = std::strcmp(verb, "Delete") == 0;
      const std::string expected = (isDelete ? "cannot delete " : "ran ") + key;
      if (result != (isDelete ? -3 : 1) || message == nullptr ||
          std::string(message).find(expected) == std::string::npos) {
        fail(std::string("verb ") + verb + " " + key + ": " + (message ? message : "<none>"));
      }
    }
    if (JToCPPVeneer::getErrorMsg() != nullptr) fail("error text left pending " + key);

    // Subscriptions: one name per thread, and one shared by all.
    subscriptions->subscribeTo(own.c_str(), "Create");
    if (subscriptions->isSubscribed(own.c_str(), "Create") != 1) fail("own subscription lost");
    subscriptions->subscribeTo("Part", i % 2 == 0 ? "Create" : "*", t);
    subscriptions->isSubscribed("Unit", "Update");
    if (subscriptions->cancelSub(own.c_str(), nullptr, "Create") != 0) fail("cancel own");
    if (subscriptions->isSubscribed(own.c_str(), "Create") != 0) fail("own subscription kept");
    if (i % 5 == 4) subscriptions->cancelSub("Part", nullptr, nullptr);

    // Events: the library gives the tree its ids; every id is kept.
    BusinessObject event("Unit");
    event.setAttrValue(0, const_cast<char*>(key.c_str()), STRING);
    event.setVerb("Create");
    for (int k = 0; k < 2; ++k) {
      auto* element = new BusinessObject("Part");
      element->setAttrValue(0, const_cast<char*>(key.c_str()), STRING);
      event.setAttrValue("Parts", element, OBJECT);
    }
    subscriptions->subscribeTo("Unit", "Create");
    if (const int answer = subscriptions->gotApplEvent(event); answer != 0) {
      fail("event answered " + std::to_string(answer));
    }
    tally.eventIds.emplace_back(static_cast<const char*>(event.getAttrValue("ObjectEventId")));
    const auto* parts = static_cast<const BusObjArray*>(event.getAttrValue("Parts"));
    for (int k = 0; k < parts->getObjectCount(); ++k) {
      tally.eventIds.emplace_back(
          static_cast<const char*>(parts->getObject(k)->getAttrValue("ObjectEventId")));
    }

    // All threads read the same new type in the same round.
    if (i % 10 == 0) {
      const std::string type = "Fresh" + std::to_string(i);
      const std::string message =
          std::string("BusObjAndSpec\x04") +
          bars("BusinessObject|" + type + "|1.0.0|false|null|en_US|1|v|") + "\x04" +
          bars("BusObjSpec|" + type + "|1.0.0|x|1|0|V|String|false|false|false|x|0|x|" +
               "1.0.0|1|Containment|false|") +
          "\x04";
      std::unique_ptr<BusinessObject> bo(
          BusObjAndSpecSerializer::deserializeWithAllSpecs(message.c_str()));
      if (bo == nullptr || bo->getSpec() == nullptr ||
          bo->getSpec() != BusObjSpecRegistry::getInstance()->findSpec(type.c_str())) {
        fail("combined message of " + type);
      }
    }

    // One monitor shared by every thread; versions format per thread.
    const int ms = 1 + (i + t) % 3;
    PerfMonitor::recordInterval(shared_, ms);
    tally.monitorMs += ms;
    const std::string version = std::to_string(t) + "." + std::to_string(i) + ".7";
    if (version != Version(t, i, 7).toString()) fail("version text " + version);

    // The event upcall's own ids, both forms drawing from one counter.
    tally.eventIds.push_back(hbconnector::detail::upcall::makeObjectEventId(i % 2 == 1));

    // Encoding, locale and tracing from every thread.
    if (ConnectorBase::getEncoding() == nullptr) fail("no encoding");
    if (ConnectorBase::getLocale() == nullptr) fail("no locale");
    ConnectorBase::traceWrite(TRACE_LEVEL1, "stress", key.c_str());
  }
}

TEST_F(StressTest, EightThreadsOfMixedRequests) {
  const int rounds = iterations();
  std::vector<ThreadTally> tallies(kThreads);
  std::atomic<bool> running{true};
  std::atomic<int> announced{0};
  // Announces new types for as long as the workers run.
  std::thread announcer([&] {
    JToCPPVeneer* veneer = JToCPPVeneer::getVeneer();
    while (running.load(std::memory_order_acquire)) {
      const std::string text = announcedSpec("Announced" + std::to_string(announced.load()));
      veneer->gotBusObjSpec(text.c_str());
      announced.fetch_add(1);
    }
  });
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] { runThread(t, rounds, tallies[t]); });
  }
  for (std::thread& worker : workers) worker.join();
  running.store(false, std::memory_order_release);
  announcer.join();

  long monitorMs = 0;
  std::set<std::string> ids;
  std::size_t idCount = 0;
  for (const ThreadTally& tally : tallies) {
    for (const std::string& failure : tally.failures) ADD_FAILURE() << failure;
    monitorMs += tally.monitorMs;
    idCount += tally.eventIds.size();
    ids.insert(tally.eventIds.begin(), tally.eventIds.end());
  }
  const long expected = static_cast<long>(kThreads) * rounds;
  EXPECT_EQ(handler_.creates.load(), expected);
  EXPECT_EQ(handler_.retrieves.load(), expected);
  EXPECT_EQ(handler_.deletes.load(), expected);
  EXPECT_EQ(shared_->getCount(), expected);
  EXPECT_EQ(shared_->getTotal(), monitorMs);
  EXPECT_EQ(idCount, static_cast<std::size_t>(4 * expected));
  EXPECT_EQ(ids.size(), idCount) << "event ids repeat";
  EXPECT_EQ(static_cast<long>(scope_.agent().events().size()), expected);
  for (int n = 0; n < announced.load(); ++n) {
    const std::string name = "Announced" + std::to_string(n);
    ASSERT_NE(BusObjSpecRegistry::getInstance()->findSpec(name.c_str()), nullptr) << name;
  }
  std::printf(
      "stress: %d threads x %d rounds, %zu unique event ids, %d specs announced meanwhile\n",
      kThreads, rounds, ids.size(), announced.load());
}

}  // namespace
}  // namespace hbconnector::test
