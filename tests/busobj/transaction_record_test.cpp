// Transaction business objects: reading and writing both records, the prior
// image's setters and getters, and the comparison with a retrieved object.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "hbconnector/business_object.hpp"
#include "hbconnector/string_message.hpp"
#include "hbconnector/transaction_busobj.hpp"
#include "support/fake_agent.hpp"
#include "support/record_text.hpp"
#include "support/spec_builder.hpp"

namespace {

using hbconnector::test::bars;
using hbconnector::test::FakeAgentScope;
using hbconnector::test::prefixed;
using hbconnector::test::RegistryGuard;
using hbconnector::test::slotText;
using hbconnector::test::SpecBuilder;
using hbconnector::test::txt;
using Tokens = std::vector<std::string>;

const Tokens kNote = {"BusinessObject", "Note", "1.0.0", "false", "null", "en_US", "1", "hello"};
const Tokens kCurrentHead = {
    "BusinessObject", "Acct", "1.0.0", "false", "Update", "en_US", "4", "A1", "100", "1", "false"};
const Tokens kPriorHead = {
    "TransactionBusinessObject", "Acct", "1.0.0", "Update", "4", "A1", "90", "1"};

Tokens join(std::initializer_list<Tokens> parts) {
  Tokens all;
  for (const Tokens& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

const Tokens kBusObjTokens = join({kCurrentHead, kNote, {"open"}});
const Tokens kAllTokens = join({kBusObjTokens, kPriorHead, kNote, {"closed"}});

// The delimited text as the writer makes it: child records nested as one token.
const char kAllBars[] =
    "BusinessObject|Acct|1.0.0|false|Update|en_US|4|A1|100|1|false|"
    "BusinessObject|Note|1.0.0|false|null|en_US|1|hello||open|"
    "TransactionBusinessObject|Acct|1.0.0|Update|4|A1|90|1|"
    "BusinessObject|Note|1.0.0|false|null|en_US|1|hello||closed|";

std::unique_ptr<TransactionBusinessObject> readDelimited(const std::string& text) {
  StringMessage message(text.c_str());
  return std::make_unique<TransactionBusinessObject>(message);
}

std::unique_ptr<TransactionBusinessObject> readPrefixed(const std::string& text) {
  StringMessageI18N message(text.c_str());
  return std::make_unique<TransactionBusinessObject>(message);
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
  }

  FakeAgentScope scope_;
  RegistryGuard registry_;
};

TEST_F(TransactionRecordTest, BothRecordsAreReadAndWrittenBackUnchanged) {
  std::unique_ptr<TransactionBusinessObject> delimitedTbo = readDelimited(bars(kAllBars));
  std::unique_ptr<TransactionBusinessObject> prefixedTbo = readPrefixed(prefixed(kAllTokens));
  for (TransactionBusinessObject* tbo : {delimitedTbo.get(), prefixedTbo.get()}) {
    ASSERT_NE(tbo->getSpec(), nullptr);
    ASSERT_TRUE(tbo->hasPriorImage());
    EXPECT_EQ(slotText(tbo->getAttrValue("Balance")), "100");
    EXPECT_EQ(slotText(tbo->getOldAttrValue("Balance")), "90");
    EXPECT_EQ(slotText(tbo->getOldAttrValue(3)), "closed");
    auto* notes = static_cast<BusObjArray*>(tbo->getOldAttrValue("Notes"));
    ASSERT_NE(notes, nullptr);
    ASSERT_EQ(notes->getObjectCount(), 1);
    EXPECT_EQ(notes->getObject(0)->getParent(), tbo);
  }
  std::unique_ptr<StringMessage> again(delimitedTbo->toStringMessage());
  EXPECT_EQ(std::string(again->getText()), bars(kAllBars));
  std::unique_ptr<StringMessageI18N> againPrefixed(prefixedTbo->toStringMessageI18N());
  EXPECT_EQ(std::string(againPrefixed->getText()), prefixed(kAllTokens));
  // The business object record alone.
  std::unique_ptr<StringMessage> busObjOnly(delimitedTbo->toBusObjStringMessage());
  EXPECT_EQ(std::string(busObjOnly->getText()),
            bars("BusinessObject|Acct|1.0.0|false|Update|en_US|4|A1|100|1|false|"
                 "BusinessObject|Note|1.0.0|false|null|en_US|1|hello||open|"));
}

TEST_F(TransactionRecordTest, TransactionVerbReplacesTheFirstOne) {
  Tokens tokens = kAllTokens;
  tokens[kBusObjTokens.size() + 3] = "Delete";
  std::unique_ptr<TransactionBusinessObject> tbo = readPrefixed(prefixed(tokens));
  ASSERT_NE(tbo->getSpec(), nullptr);
  EXPECT_STREQ(tbo->getVerb(), "Delete");
}

TEST_F(TransactionRecordTest, TruncationAnywhereButAtTheRecordBoundaryIsInvalid) {
  for (std::size_t n = 0; n <= kAllTokens.size(); ++n) {
    SCOPED_TRACE("tokens kept: " + std::to_string(n));
    const Tokens cut(kAllTokens.begin(), kAllTokens.begin() + static_cast<long>(n));
    for (bool lengthPrefixed : {false, true}) {
      std::unique_ptr<TransactionBusinessObject> tbo =
          lengthPrefixed ? readPrefixed(prefixed(cut))
                         : readDelimited(hbconnector::test::delimited(cut));
      if (n == kBusObjTokens.size()) {
        // A complete business object record without a transaction record.
        ASSERT_NE(tbo->getSpec(), nullptr);
        EXPECT_FALSE(tbo->hasPriorImage());
      } else if (n == kAllTokens.size()) {
        ASSERT_NE(tbo->getSpec(), nullptr);
        EXPECT_TRUE(tbo->hasPriorImage());
      } else {
        EXPECT_EQ(tbo->getSpec(), nullptr);
        EXPECT_FALSE(tbo->hasPriorImage());
        EXPECT_EQ(tbo->getAttrValues(), nullptr);
      }
    }
  }
}

TEST_F(TransactionRecordTest, TransactionRecordProblems) {
  scope_.startVeneer();
  // Wrong count: the prior image stays unset, the object stays valid.
  Tokens wrongCount = kAllTokens;
  wrongCount[kBusObjTokens.size() + 4] = "3";
  std::unique_ptr<TransactionBusinessObject> counted = readPrefixed(prefixed(wrongCount));
  ASSERT_NE(counted->getSpec(), nullptr);
  ASSERT_TRUE(counted->hasPriorImage());
  for (int i = 0; i < 4; ++i) EXPECT_EQ(counted->getOldAttrValue(i), nullptr) << i;
  ASSERT_EQ(scope_.agent().generated(64).size(), 1u);
  EXPECT_EQ(scope_.agent().generated(64)[0].params, "1.0.0,Acct");

  // Unknown type in the transaction record: the object becomes invalid.
  Tokens unknown = kAllTokens;
  unknown[kBusObjTokens.size() + 1] = "Ghost";
  EXPECT_EQ(readPrefixed(prefixed(unknown))->getSpec(), nullptr);
  EXPECT_EQ(scope_.agent().generated(64).size(), 2u);

  // A registered type with another layout cannot take over the values.
  Tokens other = kAllTokens;
  other[kBusObjTokens.size() + 1] = "Note";
  std::unique_ptr<TransactionBusinessObject> mixed = readPrefixed(prefixed(other));
  EXPECT_EQ(mixed->getSpec(), nullptr);
}

TEST_F(TransactionRecordTest, PriorImageSettersAndGetters) {
  scope_.startVeneer();
  std::unique_ptr<TransactionBusinessObject> tbo = readDelimited(bars(kAllBars));
  ASSERT_NE(tbo->getSpec(), nullptr);
  EXPECT_TRUE(tbo->setOldAttrValue(1, BusinessObject::getBlankValue(), STRING));
  EXPECT_EQ(tbo->getOldAttrValue(1), BusinessObject::getBlankValue());
  EXPECT_TRUE(tbo->setOldAttrValue(1, txt("75"), STRING));
  EXPECT_EQ(slotText(tbo->getOldAttrValue(1)), "75");
  // Setting a slot to its own text keeps the text.
  EXPECT_TRUE(tbo->setOldAttrValue("Balance", tbo->getOldAttrValue(1), STRING));
  EXPECT_EQ(slotText(tbo->getOldAttrValue(1)), "75");
  // The current values are untouched.
  EXPECT_EQ(slotText(tbo->getAttrValue(1)), "100");

  auto* note = new BusinessObject("Note");
  EXPECT_TRUE(tbo->setOldAttrValue(2, note, OBJECT));
  EXPECT_EQ(static_cast<BusObjArray*>(tbo->getOldAttrValue(2))->getObjectCount(), 2);
  EXPECT_EQ(note->getParent(), tbo.get());

  EXPECT_EQ(tbo->getOldAttrValue("Missing"), nullptr);
  EXPECT_EQ(tbo->getOldAttrValue(4), nullptr);
  EXPECT_FALSE(tbo->setOldAttrValue(1, txt("x"), INTEGER));
  EXPECT_FALSE(tbo->setOldAttrValue("Missing", txt("x"), STRING));
  const auto reports73 = scope_.agent().generated(73);
  ASSERT_EQ(reports73.size(), 3u);
  EXPECT_EQ(reports73[0].params, "-1,Unknown");
  EXPECT_EQ(reports73[1].params, "4,Unknown");
  EXPECT_EQ(reports73[2].params, "1,2");
  ASSERT_EQ(scope_.agent().generated(72).size(), 1u);
  EXPECT_EQ(scope_.agent().generated(72)[0].params, "Missing,5");
}

TEST_F(TransactionRecordTest, SetterCreatesAPriorImageWhenThereWasNone) {
  std::unique_ptr<TransactionBusinessObject> tbo = readPrefixed(prefixed(kBusObjTokens));
  ASSERT_FALSE(tbo->hasPriorImage());
  EXPECT_EQ(tbo->getOldAttrValue(0), nullptr);
  EXPECT_TRUE(tbo->setOldAttrValue(3, txt("closed"), STRING));
  ASSERT_TRUE(tbo->hasPriorImage());
  std::unique_ptr<StringMessage> text(tbo->toStringMessage());
  EXPECT_NE(
      std::string(text->getText())
          .find(bars("TransactionBusinessObject|Acct|1.0.0|Update|4|VqIgnore|VqIgnore|0|closed|")),
      std::string::npos);
}

TEST_F(TransactionRecordTest, CompareCoversEveryAttributeTheLastIncluded) {
  std::unique_ptr<TransactionBusinessObject> tbo = readDelimited(bars(kAllBars));
  ASSERT_NE(tbo->getSpec(), nullptr);
  BusinessObject retrieved("Acct");
  retrieved.setAttrValue(0, txt("A1"), STRING);
  retrieved.setAttrValue(1, txt("90"), STRING);
  retrieved.setAttrValue(3, txt("closed"), STRING);
  EXPECT_EQ(tbo->compare(&retrieved), 0);
  retrieved.setAttrValue(3, txt("open"), STRING);  // the last attribute
  EXPECT_EQ(tbo->compare(&retrieved), -1);
  // Values missing on either side are no difference.
  retrieved.setAttrValue(3, BusinessObject::getIgnoreValue(), STRING);
  EXPECT_EQ(tbo->compare(&retrieved), 0);
  // Child arrays are compared with the array comparison.
  retrieved.setAttrValue(2, new BusinessObject("Note"), OBJECT);
  EXPECT_EQ(tbo->compare(&retrieved), 0);
  retrieved.setAttrValue(2, new BusinessObject("Note"), OBJECT);
  EXPECT_EQ(tbo->compare(&retrieved), -1);
  EXPECT_EQ(tbo->compare(nullptr), -1);
  BusinessObject other("Note");
  EXPECT_EQ(tbo->compare(&other), -1);
}

TEST_F(TransactionRecordTest, DeletingThroughTheBaseReleasesThePriorImage) {
  // Under the leak checker this fails if the prior image leaks.
  StringMessage message(bars(kAllBars).c_str());
  BusinessObject* bo = new TransactionBusinessObject(message);
  ASSERT_TRUE(static_cast<TransactionBusinessObject*>(bo)->hasPriorImage());
  delete bo;
}

}  // namespace
