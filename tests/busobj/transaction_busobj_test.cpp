// Transaction business objects: both records, the prior image, the comparison,
// and the transaction procedure of the handler base class.
#include <gtest/gtest.h>

#include <algorithm>
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
using hbconnector::test::firstTokens;
using hbconnector::test::prefixed;
using hbconnector::test::slotText;
using hbconnector::test::SpecBuilder;
using hbconnector::test::split;
using hbconnector::test::txt;
using Verbs = std::vector<std::string>;

const std::string kNote = "BusinessObject|Note|1.0.0|false|null|en_US|1|hi|";
const std::string kFirstHead = "BusinessObject|Acct|1.0.0|false|Update|en_US|4|A1|100|1|false|";
const std::string kSecondHead = "TransactionBusinessObject|Acct|1.0.0|Update|4|A1|90|1|";
const std::string kFirst = kFirstHead + kNote + "open|";
const std::string kSecond = kSecondHead + kNote + "closed|";

std::unique_ptr<TransactionBusinessObject> read(const std::string& text, bool lengthPrefixed) {
  std::unique_ptr<StringMessage> m(lengthPrefixed ? new StringMessageI18N(text.c_str())
                                                  : new StringMessage(text.c_str()));
  return std::make_unique<TransactionBusinessObject>(*m);
}

class TransactionRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SpecBuilder("Note").attr("Text", STRING).registerSpec();
    SpecBuilder acct("Acct");
    acct.attr("Id", STRING).key().attr("Balance", STRING).attr("Notes", "Note", CARD_MULTIPLE);
    acct.attr("Status", STRING).registerSpec();
    scope_.startVeneer();
  }
  hbconnector::test::FakeAgentScope scope_;
  hbconnector::test::RegistryGuard registry_;
};

TEST_F(TransactionRecordTest, BothRecordsReadAndWriteBackUnchanged) {
  // As the writer nests them, each child record ends with a doubled delimiter.
  const std::string first = bars(kFirstHead + kNote + "|open|");
  const std::string second = bars(kSecondHead + kNote + "|closed|");
  for (bool lp : {false, true}) {
    const std::string text = lp ? prefixed(split(kFirst + kSecond)) : first + second;
    std::unique_ptr<TransactionBusinessObject> tbo = read(text, lp);
    ASSERT_TRUE(tbo->getSpec() != nullptr && tbo->hasPriorImage());
    EXPECT_EQ(slotText(tbo->getAttrValue(1)), "100");
    EXPECT_EQ(slotText(tbo->getOldAttrValue("Balance")), "90");
    EXPECT_EQ(static_cast<BusObjArray*>(tbo->getOldAttrValue(2))->getObject(0)->getParent(),
              tbo.get());
    std::unique_ptr<StringMessage> out(lp ? tbo->toStringMessageI18N() : tbo->toStringMessage());
    EXPECT_EQ(out->getText(), text);
    std::unique_ptr<StringMessage> firstOnly(tbo->toBusObjStringMessage());
    EXPECT_EQ(firstOnly->getText(), first);
  }
}

TEST_F(TransactionRecordTest, TruncationAndBadTransactionRecords) {
  const auto all = split(kFirst + kSecond);
  const std::size_t firstSize = split(kFirst).size();
  for (std::size_t n = 0; n < all.size(); ++n) {
    std::unique_ptr<TransactionBusinessObject> tbo = read(prefixed(firstTokens(all, n)), true);
    // Only a complete first record without any transaction record is valid.
    EXPECT_EQ(tbo->getSpec() != nullptr, n == firstSize) << n;
    EXPECT_FALSE(tbo->hasPriorImage()) << n;
  }
  auto wrong = all;
  wrong[firstSize + 4] = "3";  // a wrong count leaves the prior image unset
  std::unique_ptr<TransactionBusinessObject> counted = read(prefixed(wrong), true);
  ASSERT_TRUE(counted->getSpec() != nullptr && counted->hasPriorImage());
  EXPECT_EQ(counted->getOldAttrValue(1), nullptr);
  EXPECT_EQ(scope_.agent().generated(64).back().params, "1.0.0,Acct");
  wrong = all;
  wrong[firstSize + 1] = "Note";  // a type of another layout cannot take over the values
  EXPECT_EQ(read(prefixed(wrong), true)->getSpec(), nullptr);
}

TEST_F(TransactionRecordTest, PriorImageSettersGettersAndCompare) {
  std::unique_ptr<TransactionBusinessObject> tbo = read(bars(kFirst + kSecond), false);
  EXPECT_TRUE(tbo->setOldAttrValue(1, BusinessObject::getBlankValue(), STRING));
  EXPECT_TRUE(tbo->setOldAttrValue("Balance", txt("90"), STRING));
  EXPECT_TRUE(tbo->setOldAttrValue(1, tbo->getOldAttrValue(1), STRING));  // its own text
  EXPECT_EQ(slotText(tbo->getOldAttrValue(1)), "90");
  EXPECT_EQ(tbo->getOldAttrValue("Missing"), nullptr);
  EXPECT_FALSE(tbo->setOldAttrValue(1, txt("x"), INTEGER));
  EXPECT_FALSE(tbo->setOldAttrValue("Missing", txt("x"), STRING));
  ASSERT_EQ(scope_.agent().generated(73).size(), 2u);
  EXPECT_EQ(scope_.agent().generated(73)[0].params, "-1,Unknown");
  EXPECT_EQ(scope_.agent().generated(73)[1].params, "1,2");
  EXPECT_EQ(scope_.agent().generated(72).at(0).params, "Missing,5");

  BusinessObject retrieved("Acct");
  retrieved.setAttrValue(1, txt("90"), STRING);
  retrieved.setAttrValue(3, txt("closed"), STRING);
  EXPECT_EQ(tbo->compare(&retrieved), 0);
  retrieved.setAttrValue(3, txt("open"), STRING);  // the last attribute counts
  EXPECT_EQ(tbo->compare(&retrieved), -1);
  retrieved.setAttrValue(3, nullptr, STRING);
  retrieved.setAttrValue(2, new BusinessObject("Note"), OBJECT);
  retrieved.setAttrValue(2, new BusinessObject("Note"), OBJECT);  // two notes against one
  EXPECT_EQ(tbo->compare(&retrieved), -1);
  BusinessObject* base = tbo.release();
  delete base;  // through the base: the leak checker would see a lost prior image
}

TEST_F(TransactionRecordTest, PriorImageChildDisplacedBySetOldAttrValueStaysTheCallers) {
  SpecBuilder holder("Holder");
  holder.attr("Id", STRING).key().attr("Note", "Note").registerSpec();
  std::unique_ptr<TransactionBusinessObject> tbo =
      read(bars("BusinessObject|Holder|1.0.0|false|null|en_US|2|H1|VqIgnore|"
                "TransactionBusinessObject|Holder|1.0.0|null|2|H1|VqIgnore|"),
           false);
  ASSERT_TRUE(tbo->getSpec() != nullptr && tbo->hasPriorImage());
  auto* first = new BusinessObject("Note");
  first->setAttrValue(0, txt("first"), STRING);
  auto* second = new BusinessObject("Note");
  ASSERT_TRUE(tbo->setOldAttrValue("Note", first, OBJECT));
  ASSERT_TRUE(tbo->setOldAttrValue("Note", second, OBJECT));
  EXPECT_EQ(tbo->getOldAttrValue("Note"), second);
  EXPECT_EQ(second->getParent(), tbo.get());
  // The displaced child was not released: readable, and deleted here once.
  EXPECT_EQ(slotText(first->getAttrValue(0)), "first");
  delete first;
  ASSERT_TRUE(tbo->setOldAttrValue("Note", second, OBJECT));  // the same child again
  EXPECT_EQ(tbo->getOldAttrValue("Note"), second);
  // second goes with the prior image.
}

// Records the verbs; a retrieve answers retrieveResult with the given values.
class ScriptedHandler : public BOHandlerBase {
 public:
  Verbs verbs;
  int retrieveResult = 1;
  const char* retrievedBalance = "90";  // the prior image holds 90 and "closed"
  const char* retrievedStatus = "closed";
  int result = 1;
  int doVerbFor(BusinessObject& bo, ReturnStatusDescriptor*) override {
    verbs.push_back(bo.getVerb());
    const bool retrieve = verbs.back() == "Retrieve";
    bo.setAttrValue(1, txt(retrieve ? retrievedBalance : "80"), STRING);
    if (retrieve) bo.setAttrValue(2, txt(retrievedStatus), STRING);
    return retrieve ? retrieveResult : result;
  }
};

class TransactionVerbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The type does not list "Retrieve": the procedure must retrieve all the same.
    SpecBuilder acct("Acct");
    acct.attr("Id", STRING).attr("Balance", STRING).attr("Status", STRING).verbs({"Update"});
    acct.handler(&handler_).registerSpec();
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

  hbconnector::test::FakeAgentScope scope_;
  hbconnector::test::RegistryGuard registry_;
  ScriptedHandler handler_;
  std::unique_ptr<TransactionBusinessObject> tbo_;
  ReturnStatusDescriptor status_;
};

TEST_F(TransactionVerbTest, MatchingPriorImagePerformsTheVerbAndCopiesBack) {
  EXPECT_EQ(tbo_->doVerbFor(&status_), 1);
  EXPECT_EQ(handler_.verbs, (Verbs{"Retrieve", "Update"}));
  EXPECT_EQ(slotText(tbo_->getAttrValue(1)), "80");
  EXPECT_EQ(slotText(tbo_->getOldAttrValue(1)), "90");
  handler_.result = 3;  // other results copy nothing back
  tbo_->setAttrValue(1, txt("100"), STRING);
  EXPECT_EQ(tbo_->doVerbFor(&status_), 3);
  EXPECT_EQ(slotText(tbo_->getAttrValue(1)), "100");
  tbo_->getSpec()->setBOHandler(nullptr);
  EXPECT_EQ(tbo_->doVerbFor(&status_), -1);
}

TEST_F(TransactionVerbTest, DifferenceInTheLastAttributeStopsBeforeTheVerb) {
  handler_.retrievedStatus = "frozen";
  EXPECT_EQ(tbo_->doVerbFor(&status_), -1);
  EXPECT_EQ(handler_.verbs, (Verbs{"Retrieve"}));
  EXPECT_EQ(params(17116), "Acct");
  EXPECT_EQ(params(17117), "Bank,Acct");
  EXPECT_STREQ(status_.getErrorString(), FakeAgent::composedText(17117, 6, "Bank,Acct").c_str());
  const auto logs = agent().logs();
  EXPECT_TRUE(std::any_of(logs.begin(), logs.end(), [](const FakeAgent::LogRecord& log) {
    return log.text == FakeAgent::composedText(17116, 6, "Acct") && log.typed && log.type == 0;
  }));
}

TEST_F(TransactionVerbTest, RetrieveFailureStopsAndWarningGoesOn) {
  agent().setProperty("ConnectorName", "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123");
  handler_.retrieveResult = -2;
  EXPECT_EQ(tbo_->doVerbFor(&status_), -2);
  EXPECT_EQ(params(17118), "Acct");
  EXPECT_EQ(params(17119), "ABCDEFGHIJKLMNOPQRSTUVWX,Acct");  // 24 characters of the name
  EXPECT_EQ(handler_.verbs, (Verbs{"Retrieve"}));
  handler_.retrieveResult = -5;
  EXPECT_EQ(tbo_->doVerbFor(&status_), 1);
  EXPECT_EQ(params(17057), "");
  EXPECT_EQ(agent().generated(17057)[0].type, 5);
  EXPECT_EQ(handler_.verbs, (Verbs{"Retrieve", "Retrieve", "Update"}));
}

}  // namespace
