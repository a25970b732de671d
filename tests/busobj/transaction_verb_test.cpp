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

class ScriptedHandler : public BOHandlerBase {
 public:
  std::vector<std::string> verbs;
  // The retrieve's answer; by default the prior image's values.
  std::function<int(BusinessObject&)> onRetrieve = [](BusinessObject& bo) {
    bo.setAttrValue(1, txt("90"), STRING);
    bo.setAttrValue(2, txt("closed"), STRING);
    return 1;
  };
  int result = 1;
  int doVerbFor(BusinessObject& bo, ReturnStatusDescriptor*) override {
    verbs.push_back(bo.getVerb() != nullptr ? bo.getVerb() : "<none>");
    if (verbs.back() == "Retrieve") return onRetrieve(bo);
    bo.setAttrValue(1, txt("80"), STRING);
    return result;
  }
};

class TransactionVerbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The type does not list "Retrieve": the procedure must retrieve all the same.
    SpecBuilder("Acct")
        .attr("Id", STRING)
        .key()
        .attr("Balance", STRING)
        .attr("Status", STRING)
        .verbs({"Update"})
        .handler(&handler_)
        .registerSpec();
    agent().setProperty("ConnectorName", "Bank");
    scope_.startConnector();
    handler_.setSubscriptionHandler(scope_.startVeneer().getSubscriptionHandler());
    StringMessage m(bars("BusinessObject|Acct|1.0.0|false|Update|en_US|3|A1|100|open|"
                         "TransactionBusinessObject|Acct|1.0.0|Update|3|A1|90|closed|")
                        .c_str());
    tbo_ = std::make_unique<TransactionBusinessObject>(m);
  }
  FakeAgent& agent() { return scope_.agent(); }
  std::string params(int id) {
    const auto records = agent().generated(id);
    return records.size() == 1 ? records[0].params : "<" + std::to_string(records.size()) + ">";
  }

  FakeAgentScope scope_;
  RegistryGuard registry_;
  ScriptedHandler handler_;
  std::unique_ptr<TransactionBusinessObject> tbo_;
  ReturnStatusDescriptor status_;
};

TEST_F(TransactionVerbTest, MatchingPriorImagePerformsTheVerbAndCopiesBack) {
  EXPECT_EQ(tbo_->doVerbFor(&status_), 1);
  EXPECT_EQ(handler_.verbs, (std::vector<std::string>{"Retrieve", "Update"}));
  EXPECT_EQ(slotText(tbo_->getAttrValue(1)), "80");
  EXPECT_EQ(slotText(tbo_->getOldAttrValue(1)), "90");
  handler_.result = 3;  // other results copy nothing back
  tbo_->setAttrValue(1, txt("100"), STRING);
  EXPECT_EQ(tbo_->doVerbFor(&status_), 3);
  EXPECT_EQ(slotText(tbo_->getAttrValue(1)), "100");
}

TEST_F(TransactionVerbTest, DifferenceInTheLastAttributeStopsBeforeTheVerb) {
  handler_.onRetrieve = [](BusinessObject& bo) {
    bo.setAttrValue(1, txt("90"), STRING);
    bo.setAttrValue(2, txt("frozen"), STRING);
    return 1;
  };
  EXPECT_EQ(tbo_->doVerbFor(&status_), -1);
  EXPECT_EQ(handler_.verbs.size(), 1u);
  EXPECT_EQ(params(17116), "Acct");
  EXPECT_EQ(params(17117), "Bank,Acct");
  EXPECT_STREQ(status_.getErrorString(), FakeAgent::composedText(17117, 6, "Bank,Acct").c_str());
  bool logged = false;
  for (const auto& log : agent().logs()) {
    logged |= log.text == FakeAgent::composedText(17116, 6, "Acct") && log.typed && log.type == 0;
  }
  EXPECT_TRUE(logged);
}

TEST_F(TransactionVerbTest, RetrieveFailureStopsAndWarningGoesOn) {
  agent().setProperty("ConnectorName", "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123");
  const auto matching = handler_.onRetrieve;
  handler_.onRetrieve = [](BusinessObject&) { return -2; };
  EXPECT_EQ(tbo_->doVerbFor(&status_), -2);
  EXPECT_EQ(params(17118), "Acct");
  EXPECT_EQ(params(17119), "ABCDEFGHIJKLMNOPQRSTUVWX,Acct");  // 24 characters of the name
  EXPECT_EQ(handler_.verbs.size(), 1u);

  handler_.onRetrieve = [matching](BusinessObject& bo) {
    matching(bo);
    return -5;
  };
  EXPECT_EQ(tbo_->doVerbFor(&status_), 1);
  EXPECT_EQ(params(17057), "");
  EXPECT_EQ(agent().generated(17057)[0].type, 5);
  EXPECT_EQ(handler_.verbs.back(), "Update");
  tbo_->getSpec()->setBOHandler(nullptr);
  EXPECT_EQ(tbo_->doVerbFor(&status_), -1);
}

}  // namespace
