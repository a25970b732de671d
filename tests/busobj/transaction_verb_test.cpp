// The transaction procedure: retrieve, compare with the prior image, perform.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hbconnector/bo_handler.hpp"
#include "hbconnector/business_object.hpp"
#include "hbconnector/return_status.hpp"
#include "hbconnector/string_message.hpp"
#include "hbconnector/subscription.hpp"
#include "hbconnector/transaction_busobj.hpp"
#include "support/fake_agent.hpp"
#include "support/record_text.hpp"
#include "support/spec_builder.hpp"

namespace {

using hbconnector::test::bars;
using hbconnector::test::FakeAgent;
using hbconnector::test::FakeAgentScope;
using hbconnector::test::RegistryGuard;
using hbconnector::test::slotText;
using hbconnector::test::SpecBuilder;
using hbconnector::test::txt;

// A handler that records the verbs it sees and answers by script.
class ScriptedHandler : public BOHandlerBase {
 public:
  std::vector<std::string> verbs;
  std::function<int(BusinessObject&)> onRetrieve = [](BusinessObject&) { return 1; };
  std::function<int(BusinessObject&)> onOther = [](BusinessObject&) { return 1; };

  int doVerbFor(BusinessObject& bo, ReturnStatusDescriptor*) override {
    const std::string verb = bo.getVerb() != nullptr ? bo.getVerb() : "<none>";
    verbs.push_back(verb);
    return verb == "Retrieve" ? onRetrieve(bo) : onOther(bo);
  }
};

// Current Balance 100 and Status "open"; prior image Balance 90, Status "closed".
const char kTransaction[] =
    "BusinessObject|Acct|1.0.0|false|Update|en_US|3|A1|100|open|"
    "TransactionBusinessObject|Acct|1.0.0|Update|3|A1|90|closed|";

class TransactionVerbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // "Retrieve" is deliberately not a verb of the type: the procedure must
    // retrieve all the same.
    SpecBuilder("Acct")
        .attr("Id", STRING)
        .key()
        .attr("Balance", STRING)
        .attr("Status", STRING)
        .verbs({"Update"})
        .handler(&handler_)
        .registerSpec();
    scope_.agent().setProperty("ConnectorName", "Bank");
    scope_.startConnector();
    handler_.setSubscriptionHandler(scope_.startVeneer().getSubscriptionHandler());
    StringMessage message(bars(kTransaction).c_str());
    tbo_ = std::make_unique<TransactionBusinessObject>(message);
    ASSERT_NE(tbo_->getSpec(), nullptr);
  }

  // The retrieve answers with the prior image's values.
  static int retrieveMatching(BusinessObject& bo) {
    bo.setAttrValue(1, txt("90"), STRING);
    bo.setAttrValue(2, txt("closed"), STRING);
    return 1;
  }

  FakeAgent& agent() { return scope_.agent(); }

  FakeAgentScope scope_;
  RegistryGuard registry_;
  ScriptedHandler handler_;
  std::unique_ptr<TransactionBusinessObject> tbo_;
  ReturnStatusDescriptor status_;
};

TEST_F(TransactionVerbTest, MatchingPriorImagePerformsTheVerbAndCopiesValuesBack) {
  handler_.onRetrieve = retrieveMatching;
  handler_.onOther = [](BusinessObject& bo) {
    EXPECT_EQ(slotText(bo.getAttrValue(1)), "100");  // the current values are performed
    bo.setAttrValue(1, txt("80"), STRING);
    return 1;
  };
  EXPECT_EQ(tbo_->doVerbFor(&status_), 1);
  EXPECT_EQ(handler_.verbs, (std::vector<std::string>{"Retrieve", "Update"}));
  EXPECT_EQ(slotText(tbo_->getAttrValue(1)), "80");
  EXPECT_EQ(slotText(tbo_->getOldAttrValue(1)), "90");  // the prior image stays
  EXPECT_EQ(status_.getErrorString(), nullptr);
}

TEST_F(TransactionVerbTest, ResultOtherThanOneOrMinusFiveCopiesNothingBack) {
  handler_.onRetrieve = retrieveMatching;
  handler_.onOther = [](BusinessObject& bo) {
    bo.setAttrValue(1, txt("80"), STRING);
    return 3;
  };
  EXPECT_EQ(tbo_->doVerbFor(&status_), 3);
  EXPECT_EQ(slotText(tbo_->getAttrValue(1)), "100");
}

TEST_F(TransactionVerbTest, DifferenceStopsBeforeTheVerb) {
  handler_.onRetrieve = [](BusinessObject& bo) {
    bo.setAttrValue(1, txt("90"), STRING);
    bo.setAttrValue(2, txt("frozen"), STRING);  // the last attribute differs
    return 1;
  };
  EXPECT_EQ(tbo_->doVerbFor(&status_), -1);
  EXPECT_EQ(handler_.verbs, (std::vector<std::string>{"Retrieve"}));
  ASSERT_EQ(agent().generated(17116).size(), 1u);
  EXPECT_EQ(agent().generated(17116)[0].params, "Acct");
  ASSERT_EQ(agent().generated(17117).size(), 1u);
  EXPECT_EQ(agent().generated(17117)[0].params, "Bank,Acct");
  ASSERT_NE(status_.getErrorString(), nullptr);
  EXPECT_EQ(std::string(status_.getErrorString()), FakeAgent::composedText(17117, 6, "Bank,Acct"));
  bool logged = false;
  for (const auto& log : agent().logs()) {
    if (log.text == FakeAgent::composedText(17116, 6, "Acct")) logged = log.typed && log.type == 0;
  }
  EXPECT_TRUE(logged);
}

TEST_F(TransactionVerbTest, FailedRetrieveReturnsItsResult) {
  handler_.onRetrieve = [](BusinessObject&) { return -2; };
  EXPECT_EQ(tbo_->doVerbFor(&status_), -2);
  EXPECT_EQ(handler_.verbs.size(), 1u);
  EXPECT_EQ(agent().generated(17118).size(), 1u);
  ASSERT_EQ(agent().generated(17119).size(), 1u);
  EXPECT_EQ(std::string(status_.getErrorString()), FakeAgent::composedText(17119, 6, "Bank,Acct"));
  EXPECT_TRUE(agent().generated(17116).empty());
}

TEST_F(TransactionVerbTest, RetrieveWarningIsLoggedAndTheProcedureGoesOn) {
  handler_.onRetrieve = [](BusinessObject& bo) {
    retrieveMatching(bo);
    return -5;
  };
  EXPECT_EQ(tbo_->doVerbFor(&status_), 1);
  ASSERT_EQ(agent().generated(17057).size(), 1u);
  EXPECT_EQ(agent().generated(17057)[0].type, 5);
  EXPECT_EQ(agent().generated(17057)[0].count, 0);
  EXPECT_EQ(handler_.verbs, (std::vector<std::string>{"Retrieve", "Update"}));
  EXPECT_TRUE(agent().generated(17118).empty());
}

TEST_F(TransactionVerbTest, ConnectorNameIsCutToTwentyFourCharacters) {
  agent().setProperty("ConnectorName", "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123");
  handler_.onRetrieve = [](BusinessObject&) { return -3; };
  tbo_->doVerbFor(&status_);
  ASSERT_EQ(agent().generated(17119).size(), 1u);
  EXPECT_EQ(agent().generated(17119)[0].params, "ABCDEFGHIJKLMNOPQRSTUVWX,Acct");
}

TEST_F(TransactionVerbTest, WithoutHandlerTheVerbFails) {
  tbo_->getSpec()->setBOHandler(nullptr);
  EXPECT_EQ(tbo_->doVerbFor(&status_), -1);
  EXPECT_TRUE(handler_.verbs.empty());
}

}  // namespace
