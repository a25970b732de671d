#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "hbconnector/connector.hpp"
#include "hbconnector/subscription.hpp"
#include "support/fake_agent.hpp"

namespace {

using hbconnector::test::FakeAgentScope;

// The stored verbs of a name with their perf values, in no particular order.
std::vector<std::pair<std::string, int>> storedVerbs(SubscriptionHandlerCPP& handler,
                                                     const char* name) {
  std::vector<std::pair<std::string, int>> verbs;
  HashedSet* set = handler.findVerbSet(name);
  if (set == nullptr) return verbs;
  set->forEach([&](HashedItem* item) {
    auto* verb = static_cast<SubscribedVerb*>(static_cast<IdentityItem*>(item)->get());
    verbs.emplace_back(verb->getVerb(), verb->getPerf());
  });
  std::sort(verbs.begin(), verbs.end());
  return verbs;
}

TEST(SubscribedVerbDeathTest, VerbMustBePresentAndNonEmpty) {
  EXPECT_DEATH(SubscribedVerb(nullptr), "Assertion failed: verb != NULL");
  EXPECT_DEATH(SubscribedVerb(""), "Assertion failed: strlen\\(verb\\) > 0");
}

TEST(SubscriptionDeathTest, NameIsRequired) {
  SubscriptionHandlerCPP handler;
  EXPECT_DEATH(handler.subscribeTo(nullptr, "Create"), "Assertion failed: BOName != NULL");
  EXPECT_DEATH(handler.subscribeTo(nullptr, "Create", 1), "Assertion failed: BOName != NULL");
  EXPECT_DEATH(handler.cancelSub(nullptr, nullptr, "Create"), "Assertion failed: BOName != NULL");
}

TEST(Subscription, RepeatedSubscriptionKeepsOneEntryAndTheFirstPerf) {
  SubscriptionHandlerCPP handler;
  EXPECT_EQ(handler.subscribeTo("Customer", "Create", 5), 0);
  EXPECT_EQ(handler.subscribeTo("Customer", "Create", 9), 0);
  EXPECT_EQ(handler.subscribeTo("Customer", "Create"), 0);
  const std::vector<std::pair<std::string, int>> expected = {{"Create", 5}};
  EXPECT_EQ(storedVerbs(handler, "Customer"), expected);
  EXPECT_EQ(handler.isSubscribed("Customer", "Create"), 1);
  EXPECT_EQ(handler.isSubscribed("Customer", "Delete"), 0);
  EXPECT_EQ(handler.isSubscribed("Order", "Create"), 0);
}

TEST(Subscription, NullVerbIsAWildcard) {
  SubscriptionHandlerCPP handler;
  handler.subscribeTo("Customer", nullptr);
  EXPECT_EQ(handler.isSubscribed("Customer", "Update"), 1);
  EXPECT_EQ(handler.isSubscribed("Customer", "AnythingAtAll"), 1);
  EXPECT_EQ(handler.isSubscribed("Customer", nullptr), 0);
  EXPECT_EQ(handler.isSubscribed(nullptr, "Update"), 0);
  handler.subscribeTo("Customer", "Update");  // covered by "*": nothing added
  const std::vector<std::pair<std::string, int>> expected = {{"*", 0}};
  EXPECT_EQ(storedVerbs(handler, "Customer"), expected);
  EXPECT_EQ(handler.cancelSub("Customer", nullptr, "Update"), -1);
  EXPECT_EQ(handler.isSubscribed("Customer", "Update"), 1);
}

TEST(Subscription, AWildcardAddedLaterSitsBesideVerbsAndGoesOnlyByItsOwnCancel) {
  SubscriptionHandlerCPP handler;
  handler.subscribeTo("Customer", "Create");
  handler.subscribeTo("Customer", "*", 3);
  const std::vector<std::pair<std::string, int>> both = {{"*", 3}, {"Create", 0}};
  EXPECT_EQ(storedVerbs(handler, "Customer"), both);
  EXPECT_EQ(handler.cancelSub("Customer", nullptr, "Create"), 0);
  EXPECT_EQ(handler.isSubscribed("Customer", "Create"), 1);  // still by "*"
  EXPECT_EQ(handler.cancelSub("Customer", nullptr, "*"), 0);
  EXPECT_EQ(handler.isSubscribed("Customer", "Create"), 0);
  EXPECT_EQ(handler.cancelSub("Customer", nullptr, "*"), -1);
}

TEST(Subscription, NamesAndVerbsAreCaseSensitive) {
  SubscriptionHandlerCPP handler;
  handler.subscribeTo("Customer", "Create");
  EXPECT_EQ(handler.isSubscribed("customer", "Create"), 0);
  EXPECT_EQ(handler.isSubscribed("Customer", "create"), 0);
  handler.subscribeTo("customer", "Create");
  EXPECT_EQ(handler.isSubscribed("customer", "Create"), 1);
  EXPECT_EQ(handler.cancelSub("CUSTOMER", nullptr, "Create"), -1);
  EXPECT_EQ(handler.cancelSub("Customer", nullptr, "CREATE"), -1);
}

TEST(Subscription, CancelWithNullVerbEmptiesTheNameButKeepsIt) {
  SubscriptionHandlerCPP handler;
  handler.subscribeTo("Customer", "Create");
  handler.subscribeTo("Customer", "Update");
  handler.subscribeTo("Customer", "Delete");
  handler.subscribeTo("Order", "Create");
  EXPECT_EQ(handler.cancelSub("Customer", "1.0", nullptr), 0);
  ASSERT_NE(handler.findVerbSet("Customer"), nullptr);
  EXPECT_EQ(handler.findVerbSet("Customer")->entries(), 0u);
  EXPECT_EQ(handler.isSubscribed("Customer", "Create"), 0);
  EXPECT_EQ(handler.cancelSub("Customer", nullptr, nullptr), 0);  // the empty set is still there
  EXPECT_EQ(handler.cancelSub("Never", nullptr, nullptr), -1);
  EXPECT_EQ(handler.cancelSub("Never", nullptr, "Create"), -1);
  EXPECT_EQ(handler.isSubscribed("Order", "Create"), 1);
  // Subscribing again after the cancel works.
  handler.subscribeTo("Customer", "Create");
  EXPECT_EQ(handler.isSubscribed("Customer", "Create"), 1);
}

TEST(Subscription, CancellingTheLastVerbLeavesAnEmptyName) {
  SubscriptionHandlerCPP handler;
  handler.subscribeTo("Customer", "Create");
  EXPECT_EQ(handler.cancelSub("Customer", nullptr, "Create"), 0);
  ASSERT_NE(handler.findVerbSet("Customer"), nullptr);
  EXPECT_EQ(handler.cancelSub("Customer", nullptr, "Create"), -1);
  EXPECT_EQ(handler.cancelSub("Customer", nullptr, nullptr), 0);
}

TEST(Subscription, TablePrimitivesDropTheNameWithItsLastVerb) {
  SubscriptionHandlerCPP handler;
  EXPECT_EQ(handler.findVerbSet("Customer"), nullptr);
  auto* create = new SubscribedVerb("Create");
  auto* update = new SubscribedVerb("Update", 2);
  handler.insertVerb("Customer", create);
  handler.insertVerb("Customer", update);
  handler.insertVerb("Customer", create);  // the same object twice is stored once
  ASSERT_NE(handler.findVerbSet("Customer"), nullptr);
  EXPECT_EQ(handler.findVerbSet("Customer")->entries(), 2u);
  EXPECT_EQ(handler.isSubscribed("Customer", "Update"), 1);

  SubscribedVerb stranger("Create");
  EXPECT_EQ(handler.removeVerb("Customer", &stranger), -1);  // identity, not text
  EXPECT_EQ(handler.removeVerb("Nobody", create), -1);
  EXPECT_EQ(handler.removeVerb("Customer", create), 0);
  EXPECT_EQ(handler.isSubscribed("Customer", "Create"), 0);
  EXPECT_EQ(handler.removeVerb("Customer", update), 0);
  EXPECT_EQ(handler.findVerbSet("Customer"), nullptr);
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
  // A verb renamed in place is what the check sees.
  char* renamed = new char[7];
  std::strcpy(renamed, "Delete");
  mine->setVerb(renamed);
  EXPECT_EQ(handler.isSubscribed("Order", "Create"), 0);
  EXPECT_EQ(handler.isSubscribed("Order", "Delete"), 1);
  // A set handed out and changed directly decides from then on.
  HashedSet* set = handler.findVerbSet("Order");
  auto* added = new SubscribedVerb("Retrieve");
  set->insert(new IdentityItem(added));
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
}

TEST(Subscription, TheOverriddenCheckDecidesWhatIsAlreadyThere) {
  EverythingSubscribed handler;
  handler.subscribeTo("Customer", "Create");
  EXPECT_EQ(handler.findVerbSet("Customer"), nullptr);
  // Destroyed through the base class: the destructor is virtual.
  SubscriptionHandlerCPP* base = new EverythingSubscribed();
  delete base;
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
  const std::vector<std::string> expected = {
      "SubscriptionHandlerCPP::subscribeTo call for Object named: Customer verb: Create",
      "SubscriptionHandlerCPP::subscribeTo call for Object named: Customer",
      "SubscriptionHandlerCPP::subscribeTo call for Object named: Order, perf=7",
      "SubscriptionHandlerCPP::subscribeTo call for Object named: Order verb: Update, perf=12",
      "SubscriptionHandlerCPP::cancelSub call for Object named: Order",
  };
  EXPECT_EQ(texts, expected);

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
  std::vector<std::thread> writers;
  for (int w = 0; w < 2; ++w) {
    writers.emplace_back([&handler, w] {
      for (int i = 0; i < 400; ++i) {
        const std::string name = "Type" + std::to_string((i + w) % 7);
        const std::string verb = "Verb" + std::to_string(i % 5);
        handler.subscribeTo(name.c_str(), verb.c_str(), i);
        if (i % 3 == 0) handler.cancelSub(name.c_str(), nullptr, verb.c_str());
        if (i % 11 == 0) handler.cancelSub(name.c_str(), nullptr, nullptr);
      }
    });
  }
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        for (int t = 0; t < 7; ++t) {
          const std::string name = "Type" + std::to_string(t);
          handler.isSubscribed(name.c_str(), "Verb1");
        }
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
    const std::string name = "Type" + std::to_string(t);
    auto verbs = storedVerbs(handler, name.c_str());
    for (std::size_t i = 1; i < verbs.size(); ++i) EXPECT_NE(verbs[i].first, verbs[i - 1].first);
  }
}

}  // namespace
