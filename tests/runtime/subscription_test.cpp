#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "hbconnector/connector.hpp"
#include "hbconnector/subscription.hpp"
#include "support/fake_agent.hpp"

namespace hbconnector::test {
namespace {

using Verbs = std::vector<std::pair<std::string, int>>;

// The stored verbs of a name with their perf values, sorted.
Verbs storedVerbs(SubscriptionHandlerCPP& handler, const char* name) {
  Verbs verbs;
  HashedSet* set = handler.findVerbSet(name);
  if (set == nullptr) return verbs;
  set->forEach([&](HashedItem* item) {
    auto* verb = static_cast<SubscribedVerb*>(static_cast<IdentityItem*>(item)->get());
    verbs.emplace_back(verb->getVerb(), verb->getPerf());
  });
  std::sort(verbs.begin(), verbs.end());
  return verbs;
}

TEST(SubscriptionDeathTest, NameAndVerbAreRequired) {
  EXPECT_DEATH(SubscribedVerb(nullptr), "Assertion failed: verb != NULL");
  EXPECT_DEATH(SubscribedVerb(""), "Assertion failed: strlen\\(verb\\) > 0");
  SubscriptionHandlerCPP handler;
  EXPECT_DEATH(handler.subscribeTo(nullptr, "Create"), "Assertion failed: BOName != NULL");
  EXPECT_DEATH(handler.subscribeTo(nullptr, "Create", 1), "Assertion failed: BOName != NULL");
  EXPECT_DEATH(handler.cancelSub(nullptr, nullptr, "Create"), "Assertion failed: BOName != NULL");
}

TEST(Subscription, EntriesAreUniqueCaseSensitiveAndKeepTheFirstPerf) {
  SubscriptionHandlerCPP handler;
  EXPECT_EQ(handler.subscribeTo("Customer", "Create", 5), 0);
  EXPECT_EQ(handler.subscribeTo("Customer", "Create", 9), 0);
  EXPECT_EQ(handler.subscribeTo("Customer", "Create"), 0);
  EXPECT_EQ(storedVerbs(handler, "Customer"), (Verbs{{"Create", 5}}));
  EXPECT_EQ(handler.isSubscribed("Customer", "Create"), 1);
  for (auto [name, verb] : {std::pair{"Customer", "Delete"},
                            {"Order", "Create"},
                            {"customer", "Create"},
                            {"Customer", "create"}})
    EXPECT_EQ(handler.isSubscribed(name, verb), 0) << name << " " << verb;
  handler.subscribeTo("customer", "Create");
  EXPECT_EQ(handler.isSubscribed("customer", "Create"), 1);
  EXPECT_EQ(handler.cancelSub("CUSTOMER", nullptr, "Create"), -1);
  EXPECT_EQ(handler.cancelSub("Customer", nullptr, "CREATE"), -1);
}

TEST(Subscription, WildcardsCoverEveryVerbAndGoOnlyByTheirOwnCancel) {
  SubscriptionHandlerCPP handler;
  handler.subscribeTo("Customer", nullptr);  // a null verb is "*"
  EXPECT_EQ(handler.isSubscribed("Customer", "Update"), 1);
  EXPECT_EQ(handler.isSubscribed("Customer", "AnythingAtAll"), 1);
  EXPECT_EQ(handler.isSubscribed("Customer", nullptr), 0);
  EXPECT_EQ(handler.isSubscribed(nullptr, "Update"), 0);
  handler.subscribeTo("Customer", "Update");  // covered by "*": nothing added
  EXPECT_EQ(storedVerbs(handler, "Customer"), (Verbs{{"*", 0}}));
  EXPECT_EQ(handler.cancelSub("Customer", nullptr, "Update"), -1);
  EXPECT_EQ(handler.isSubscribed("Customer", "Update"), 1);

  // A wildcard added later sits beside the verbs.
  handler.subscribeTo("Order", "Create");
  handler.subscribeTo("Order", "*", 3);
  EXPECT_EQ(storedVerbs(handler, "Order"), (Verbs{{"*", 3}, {"Create", 0}}));
  EXPECT_EQ(handler.cancelSub("Order", nullptr, "Create"), 0);
  EXPECT_EQ(handler.isSubscribed("Order", "Create"), 1);  // still by "*"
  EXPECT_EQ(handler.cancelSub("Order", nullptr, "*"), 0);
  EXPECT_EQ(handler.isSubscribed("Order", "Create"), 0);
  EXPECT_EQ(handler.cancelSub("Order", nullptr, "*"), -1);
}

TEST(Subscription, CancelKeepsTheEmptiedNameButTablePrimitivesDropIt) {
  SubscriptionHandlerCPP handler;
  for (const char* verb : {"Create", "Update", "Delete"}) handler.subscribeTo("Customer", verb);
  handler.subscribeTo("Order", "Create");
  EXPECT_EQ(handler.cancelSub("Customer", "1.0", nullptr), 0);
  ASSERT_NE(handler.findVerbSet("Customer"), nullptr);
  EXPECT_EQ(handler.findVerbSet("Customer")->entries(), 0u);
  EXPECT_EQ(handler.isSubscribed("Customer", "Create"), 0);
  EXPECT_EQ(handler.cancelSub("Customer", nullptr, nullptr), 0);  // the empty set is still there
  EXPECT_EQ(handler.cancelSub("Never", nullptr, nullptr), -1);
  EXPECT_EQ(handler.cancelSub("Never", nullptr, "Create"), -1);
  EXPECT_EQ(handler.isSubscribed("Order", "Create"), 1);
  handler.subscribeTo("Customer", "Create");
  EXPECT_EQ(handler.isSubscribed("Customer", "Create"), 1);
  EXPECT_EQ(handler.cancelSub("Order", nullptr, "Create"), 0);  // the last verb
  ASSERT_NE(handler.findVerbSet("Order"), nullptr);
  EXPECT_EQ(handler.cancelSub("Order", nullptr, "Create"), -1);
  EXPECT_EQ(handler.cancelSub("Order", nullptr, nullptr), 0);

  EXPECT_EQ(handler.findVerbSet("Item"), nullptr);
  auto* create = new SubscribedVerb("Create");
  auto* update = new SubscribedVerb("Update", 2);
  handler.insertVerb("Item", create);
  handler.insertVerb("Item", update);
  handler.insertVerb("Item", create);  // the same object twice is stored once
  ASSERT_NE(handler.findVerbSet("Item"), nullptr);
  EXPECT_EQ(handler.findVerbSet("Item")->entries(), 2u);
  EXPECT_EQ(handler.isSubscribed("Item", "Update"), 1);
  SubscribedVerb stranger("Create");
  EXPECT_EQ(handler.removeVerb("Item", &stranger), -1);  // identity, not text
  EXPECT_EQ(handler.removeVerb("Nobody", create), -1);
  EXPECT_EQ(handler.removeVerb("Item", create), 0);
  EXPECT_EQ(handler.isSubscribed("Item", "Create"), 0);
  EXPECT_EQ(handler.removeVerb("Item", update), 0);
  EXPECT_EQ(handler.findVerbSet("Item"), nullptr);
}

// A handler whose own notion of "subscribed" decides what subscribeTo adds.
class EverythingSubscribed : public SubscriptionHandlerCPP {
 public:
  int isSubscribed(const char*, const char*) override { return 1; }
};

TEST(Subscription, ChecksFollowVerbsRenamedAndSetsChangedByHand) {
  SubscriptionHandlerCPP handler;
  auto* mine = new SubscribedVerb("Create");
  handler.insertVerb("Order", mine);
  handler.subscribeTo("Order", "Update");
  EXPECT_EQ(handler.isSubscribed("Order", "Create"), 1);
  char* renamed = new char[7];
  std::strcpy(renamed, "Delete");
  mine->setVerb(renamed);
  EXPECT_EQ(handler.isSubscribed("Order", "Create"), 0);
  EXPECT_EQ(handler.isSubscribed("Order", "Delete"), 1);
  // A set handed out and changed directly decides from then on.
  auto* added = new SubscribedVerb("Retrieve");
  handler.findVerbSet("Order")->insert(new IdentityItem(added));
  EXPECT_EQ(handler.isSubscribed("Order", "Retrieve"), 1);
  EXPECT_EQ(handler.removeVerb("Order", added), 0);
  EXPECT_EQ(handler.isSubscribed("Order", "Retrieve"), 0);
  EXPECT_EQ(handler.isSubscribed("Order", "Update"), 1);
  // Removing every verb forgets the name for the check as well.
  EXPECT_EQ(handler.cancelSub("Order", nullptr, "Update"), 0);
  EXPECT_EQ(handler.removeVerb("Order", mine), 0);
  EXPECT_EQ(handler.findVerbSet("Order"), nullptr);
  EXPECT_EQ(handler.isSubscribed("Order", "Delete"), 0);
  handler.subscribeTo("Order", "Delete");
  EXPECT_EQ(handler.isSubscribed("Order", "Delete"), 1);

  // The overridden check decides what is already there.
  EverythingSubscribed everything;
  everything.subscribeTo("Customer", "Create");
  EXPECT_EQ(everything.findVerbSet("Customer"), nullptr);
  SubscriptionHandlerCPP* base = new EverythingSubscribed();
  delete base;  // through the base class: the destructor is virtual
}

TEST(Subscription, TracesCallsAtLevelFive) {
  FakeAgentScope scope;
  scope.agent().setProperty("AgentTraceLevel", "5");
  JToCPPVeneer& veneer = scope.startVeneer();
  SubscriptionHandlerCPP& handler = *veneer.getSubscriptionHandler();
  scope.agent().clearRecords();
  handler.subscribeTo("Customer", "Create");
  handler.subscribeTo("Customer", nullptr);
  handler.subscribeTo("Order", nullptr, 7);
  veneer.subscribeTo("Order", "Update", 12);
  handler.cancelSub("Order", "2.0", "Update");
  std::vector<std::string> texts;
  for (const auto& trace : scope.agent().traces()) {
    EXPECT_EQ(trace.level, 5);
    texts.push_back(trace.text);
  }
  const std::string call = "SubscriptionHandlerCPP::";
  const std::string named = " call for Object named: ";
  EXPECT_EQ(texts, (std::vector<std::string>{
                       call + "subscribeTo" + named + "Customer verb: Create",
                       call + "subscribeTo" + named + "Customer",
                       call + "subscribeTo" + named + "Order, perf=7",
                       call + "subscribeTo" + named + "Order verb: Update, perf=12",
                       call + "cancelSub" + named + "Order",
                   }));
  veneer.setTraceLevel(4);
  scope.agent().clearRecords();
  handler.subscribeTo("Customer", "Delete");
  EXPECT_TRUE(scope.agent().traces().empty());
  EXPECT_EQ(handler.isSubscribed("Customer", "Delete"), 1);
}

TEST(Subscription, QueriesRunSafelyWhileOtherThreadsSubscribeAndCancel) {
  SubscriptionHandlerCPP handler;
  handler.subscribeTo("Stable", "Create");
  std::atomic<bool> stop{false};
  std::atomic<int> stableMisses{0};
  auto typeName = [](int t) { return "Type" + std::to_string(t % 7); };
  std::vector<std::thread> writers, readers;
  for (int w = 0; w < 2; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < 400; ++i) {
        const std::string name = typeName(i + w), verb = "Verb" + std::to_string(i % 5);
        handler.subscribeTo(name.c_str(), verb.c_str(), i);
        if (i % 3 == 0) handler.cancelSub(name.c_str(), nullptr, verb.c_str());
        if (i % 11 == 0) handler.cancelSub(name.c_str(), nullptr, nullptr);
      }
    });
    readers.emplace_back([&] {
      while (!stop.load()) {
        for (int t = 0; t < 7; ++t) handler.isSubscribed(typeName(t).c_str(), "Verb1");
        if (handler.isSubscribed("Stable", "Create") != 1) ++stableMisses;
      }
    });
  }
  for (auto& writer : writers) writer.join();
  stop = true;
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(stableMisses.load(), 0);
  // Each verb text occurs at most once per name, whatever the interleaving.
  for (int t = 0; t < 7; ++t) {
    const Verbs verbs = storedVerbs(handler, typeName(t).c_str());
    for (std::size_t i = 1; i < verbs.size(); ++i) EXPECT_NE(verbs[i].first, verbs[i - 1].first);
  }
}

}  // namespace
}  // namespace hbconnector::test
