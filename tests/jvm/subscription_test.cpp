// Subscriptions from the agent through the four subscription natives.
#include <gtest/gtest.h>

#include <string>

#include "jvm_harness.hpp"

namespace hbtest {
namespace {

using Subscriptions = AgentTest;

// The table's own rules are tested natively; here each native passes its
// arguments through in order and refuses missing ones without a change.
TEST_F(Subscriptions, TheNativesPassTheirArgumentsThroughAndRefuseMissingOnes) {
  ASSERT_EQ(start(), 1);
  EXPECT_EQ(agent().subscribeTo("Customer", nullptr, 0), 0);  // a null verb is every verb
  EXPECT_TRUE(agent().isSubscribed("Customer", "AnyVerb"));
  EXPECT_FALSE(agent().isSubscribed("Customer", nullptr));
  EXPECT_FALSE(agent().isSubscribed("customer", "Update"));
  EXPECT_EQ(agent().updateSubscription("Order", "Delete", 1), 0);
  EXPECT_TRUE(agent().isSubscribed("Order", "Delete"));
  EXPECT_FALSE(agent().isSubscribed("Order", "Create"));
  EXPECT_EQ(agent().cancelSub("Order", "1.0", "Delete"), 0);
  EXPECT_EQ(agent().cancelSub("Order", "1.0", "Delete"), -1);
  EXPECT_EQ(agent().cancelSub("Customer", "1.0", "*"), 0);
  EXPECT_FALSE(agent().isSubscribed("Customer", "Update"));

  EXPECT_EQ(agent().subscribeTo(nullptr, "Create", 0), -1);
  EXPECT_EQ(agent().updateSubscription("Customer", nullptr, 0), -1);
  EXPECT_EQ(agent().subscribeTo("Customer", "Create", 0), 0);
  EXPECT_EQ(agent().cancelSub("Customer", nullptr, "Create"), -1);
  EXPECT_EQ(agent().cancelSub("Customer", "1.0", nullptr), -1);
  EXPECT_FALSE(agent().isSubscribed(nullptr, "Create"));
  EXPECT_TRUE(agent().isSubscribed("Customer", "Create"));
}

TEST_F(Subscriptions, TraceLinesNameTheObjectAndVerb) {
  agent().setConfigProp("AgentTraceLevel", "5");
  ASSERT_EQ(start(), 1);
  agent().clearLog();
  agent().subscribeTo("Customer", nullptr, 0);
  agent().subscribeTo("Customer", "Create", 0);
  agent().updateSubscription("Customer", "Delete", 0);
  agent().isSubscribed("Customer", "Create");
  agent().isSubscribed("Customer", nullptr);
  agent().cancelSub("Customer", "1.0", "Create");
  std::vector<std::string> lines;
  for (const Row& row : traces("BusObjNativeInterface_")) {
    EXPECT_EQ(row.at(1), "5");
    lines.push_back(row.at(3));
  }
  const std::string subscribe =
      "BusObjNativeInterface_n_SubscribeTo got Subscription for BusObjSpec named: Customer.";
  const std::string query = "BusObjNativeInterface_n_isSubscribed for BusObjSpec named: Customer.";
  EXPECT_EQ(lines, (std::vector<std::string>{
                       subscribe + "\nVerb is: null.",
                       subscribe + "\nVerb is: Create.",
                       query + "\nVerb is: Create.",
                       query + "\nVerb is: null.",
                       "BusObjNativeInterface_n_CancelSub got CancelSubscription for BusObjSpec "
                       "named: Customer, verb: Create.",
                   }));
}

TEST_F(Subscriptions, LongTraceLinesAreCutBeforeASplitCharacter) {
  agent().setConfigProp("AgentTraceLevel", "5");
  ASSERT_EQ(start(), 1);
  const std::string header =
      "BusObjNativeInterface_n_SubscribeTo got Subscription for BusObjSpec named: ";
  // Two names whose cut falls on each byte of a two-byte character.
  for (const std::string& lead : {std::string(), std::string("a")}) {
    std::string name = lead;
    for (int i = 0; i < 3000; ++i) name += "\xC3\xA9";
    agent().clearLog();
    EXPECT_EQ(agent().subscribeTo(name.c_str(), "Create", 0), 0);
    EXPECT_TRUE(agent().isSubscribed(name.c_str(), "Create"));
    const std::vector<Row> lines = traces(header);
    ASSERT_EQ(lines.size(), 1u);
    const std::string& line = lines[0].at(3);
    EXPECT_LE(line.size(), 5119u);
    EXPECT_GE(line.size(), 5118u);
    EXPECT_EQ(line, (header + name).substr(0, line.size()));
    EXPECT_EQ(line.substr(line.size() - 2), "\xC3\xA9");
  }
}

}  // namespace
}  // namespace hbtest
