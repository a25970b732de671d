// Transaction business objects: both records, the prior image, the comparison.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "hbconnector/business_object.hpp"
#include "hbconnector/string_message.hpp"
#include "hbconnector/transaction_busobj.hpp"
#include "support/fake_agent.hpp"
#include "support/record_text.hpp"
#include "support/spec_builder.hpp"

namespace {

using hbconnector::test::bars;
using hbconnector::test::delimited;
using hbconnector::test::FakeAgentScope;
using hbconnector::test::firstTokens;
using hbconnector::test::prefixed;
using hbconnector::test::RegistryGuard;
using hbconnector::test::slotText;
using hbconnector::test::SpecBuilder;
using hbconnector::test::Tokens;
using hbconnector::test::txt;

const char kBars[] =
    "BusinessObject|Acct|1.0.0|false|Update|en_US|4|A1|100|1|false|"
    "BusinessObject|Note|1.0.0|false|null|en_US|1|hi||open|"
    "TransactionBusinessObject|Acct|1.0.0|Update|4|A1|90|1|"
    "BusinessObject|Note|1.0.0|false|null|en_US|1|hi||closed|";
const Tokens kNote = {"BusinessObject", "Note", "1.0.0", "false", "null", "en_US", "1", "hi"};
const std::size_t kFirstRecord = 11 + kNote.size() + 1;
Tokens allTokens() {
  Tokens t = {"BusinessObject", "Acct", "1.0.0", "false", "Update", "en_US", "4", "A1", "100", "1",
              "false"};
  t.insert(t.end(), kNote.begin(), kNote.end());
  t.insert(t.end(),
           {"open", "TransactionBusinessObject", "Acct", "1.0.0", "Update", "4", "A1", "90", "1"});
  t.insert(t.end(), kNote.begin(), kNote.end());
  t.push_back("closed");
  return t;
}

std::unique_ptr<TransactionBusinessObject> read(const std::string& text, bool lengthPrefixed) {
  std::unique_ptr<StringMessage> m(lengthPrefixed ? new StringMessageI18N(text.c_str())
                                                  : new StringMessage(text.c_str()));
  return std::make_unique<TransactionBusinessObject>(*m);
}

class TransactionRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SpecBuilder("Note").attr("Text", STRING).registerSpec();
    SpecBuilder("Acct")
        .attr("Id", STRING)
        .key()
        .attr("Balance", STRING)
        .attr("Notes", "Note", CARD_MULTIPLE)
        .attr("Status", STRING)
        .registerSpec();
    scope_.startVeneer();
  }
  FakeAgentScope scope_;
  RegistryGuard registry_;
};

TEST_F(TransactionRecordTest, BothRecordsReadAndWriteBackUnchanged) {
  for (bool lp : {false, true}) {
    const std::string text = lp ? prefixed(allTokens()) : bars(kBars);
    std::unique_ptr<TransactionBusinessObject> tbo = read(text, lp);
    ASSERT_TRUE(tbo->getSpec() != nullptr && tbo->hasPriorImage());
    EXPECT_EQ(slotText(tbo->getAttrValue(1)), "100");
    EXPECT_EQ(slotText(tbo->getOldAttrValue("Balance")), "90");
    EXPECT_EQ(static_cast<BusObjArray*>(tbo->getOldAttrValue(2))->getObject(0)->getParent(),
              tbo.get());
    std::unique_ptr<StringMessage> out(lp ? tbo->toStringMessageI18N() : tbo->toStringMessage());
    EXPECT_EQ(out->getText(), text);
  }
  const std::string text = bars(kBars);
  std::unique_ptr<StringMessage> first(read(text, false)->toBusObjStringMessage());
  EXPECT_EQ(first->getText(), text.substr(0, text.find("TransactionBusinessObject")));
}

TEST_F(TransactionRecordTest, TruncationAndBadTransactionRecords) {
  const Tokens all = allTokens();
  for (std::size_t n = 0; n < all.size(); ++n) {
    std::unique_ptr<TransactionBusinessObject> tbo = read(prefixed(firstTokens(all, n)), true);
    // Only a complete first record without any transaction record is valid.
    EXPECT_EQ(tbo->getSpec() != nullptr, n == kFirstRecord) << n;
    EXPECT_FALSE(tbo->hasPriorImage()) << n;
  }
  Tokens wrong = all;
  wrong[kFirstRecord + 4] = "3";  // count: the prior image stays unset
  std::unique_ptr<TransactionBusinessObject> counted = read(prefixed(wrong), true);
  ASSERT_TRUE(counted->getSpec() != nullptr && counted->hasPriorImage());
  EXPECT_EQ(counted->getOldAttrValue(1), nullptr);
  EXPECT_EQ(scope_.agent().generated(64).back().params, "1.0.0,Acct");
  wrong = all;
  wrong[kFirstRecord + 1] = "Note";  // another layout cannot take the values over
  EXPECT_EQ(read(prefixed(wrong), true)->getSpec(), nullptr);
}

TEST_F(TransactionRecordTest, PriorImageSettersGettersAndCompare) {
  std::unique_ptr<TransactionBusinessObject> tbo = read(bars(kBars), false);
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
  EXPECT_EQ(scope_.agent().generated(72)[0].params, "Missing,5");

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

  // Deleting through the base releases the prior image (the leak checker sees it).
  BusinessObject* base = tbo.release();
  delete base;
}

}  // namespace
