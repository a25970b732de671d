// The business object record: the writer's bytes, the reader, and records
// that are not what they claim to be.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "hbconnector/business_object.hpp"
#include "hbconnector/string_message.hpp"
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

const char kCustomerBars[] =
    "BusinessObject|Customer|1.0.0|false|Create|en_US|2|Smith|1|"
    "BusinessObject|Address|1.0.0|false|null|en_US|1|Paris||";
const Tokens kCustomer = {
    "BusinessObject", "Customer", "1.0.0", "false", "Create", "en_US", "2", "Smith", "1",
    "BusinessObject", "Address",  "1.0.0", "false", "null",   "en_US", "1", "Paris"};
const Tokens kOrder = {
    "BusinessObject", "Order",          "1.0.0", "false", "null",  "en_US", "2",     "O1", "2",
    "true",           "BusinessObject", "Line",  "1.0.0", "false", "null",  "en_US", "1",  "L1",
    "BusinessObject", "Line",           "1.0.0", "false", "null",  "en_US", "1",     "L2"};

std::unique_ptr<BusinessObject> read(const std::string& text, bool lengthPrefixed) {
  std::unique_ptr<StringMessage> message(lengthPrefixed ? new StringMessageI18N(text.c_str())
                                                        : new StringMessage(text.c_str()));
  return std::make_unique<BusinessObject>(*message);
}
std::unique_ptr<BusinessObject> readBars(const char* text) { return read(bars(text), false); }

std::string write(const BusinessObject& bo, bool lengthPrefixed = false) {
  std::unique_ptr<StringMessage> out(lengthPrefixed ? bo.toStringMessageI18N()
                                                    : bo.toStringMessage());
  return out->getText();
}

class BusObjRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SpecBuilder("Address").attr("City", STRING).registerSpec();
    SpecBuilder("Customer").attr("Name", STRING).attr("Address", "Address").registerSpec();
    SpecBuilder("Line").attr("LineId", STRING).registerSpec();
    SpecBuilder("Order")
        .attr("OrderId", STRING)
        .attr("Lines", "Line", CARD_MULTIPLE)
        .registerSpec();
    SpecBuilder("Node").attr("Name", STRING).attr("Next", "Node").registerSpec();
  }
  FakeAgentScope scope_;
  RegistryGuard registry_;
};

TEST_F(BusObjRecordTest, WorkedExampleByteForByteInBothEncodings) {
  BusinessObject customer("Customer");
  customer.setVerb("Create");
  customer.setAttrValue(0, txt("Smith"), STRING);
  auto* address = new BusinessObject("Address");
  address->setAttrValue(0, txt("Paris"), STRING);
  customer.setAttrValue(1, address, OBJECT);
  const std::string lengthPrefixed =
      "e#BusinessObject8#Customer5#1.0.05#false6#Create5#en_US1#25#Smith1#1"
      "e#BusinessObject7#Address5#1.0.05#false4#null5#en_US1#15#Paris";
  EXPECT_EQ(write(customer), bars(kCustomerBars));
  EXPECT_EQ(write(customer, true), lengthPrefixed);
  for (bool lp : {false, true}) {
    std::unique_ptr<BusinessObject> back = read(lp ? lengthPrefixed : bars(kCustomerBars), lp);
    ASSERT_NE(back->getSpec(), nullptr);
    EXPECT_STREQ(back->getLocale(), "en_US");
    auto* child = static_cast<BusinessObject*>(back->getAttrValue(1));
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(child->getParent(), back.get());
    EXPECT_STREQ(child->getVerb(), "null");  // the verb token is copied unchanged
    EXPECT_EQ(write(*back), bars(kCustomerBars));
    EXPECT_EQ(write(*back, true), lengthPrefixed);
  }
}

TEST_F(BusObjRecordTest, MarkersArraysAndOlderRecords) {
  // Empty text and a blank child slot are "VqBlank"; both read back blank.
  BusinessObject customer("Customer");
  customer.setAttrValue(0, txt(""), STRING);
  customer.setAttrValue(1, BusinessObject::getBlankValue(), OBJECT);
  const char blank[] = "BusinessObject|Customer|1.0.0|false|null|en_US|2|VqBlank|VqBlank|";
  EXPECT_EQ(write(customer), bars(blank));
  std::unique_ptr<BusinessObject> back = readBars(blank);
  EXPECT_TRUE(back->isBlank(0));
  EXPECT_EQ(back->getAttrValue(1), BusinessObject::getBlankValue());
  EXPECT_TRUE(readBars("BusinessObject|Customer|1.0.0|false|x|en_US|2|VqIgnore|0|")->isIgnore(0));

  // Arrays: count, delta flag, elements; holes are not written; empty is "0".
  std::unique_ptr<BusinessObject> order = read(delimited(kOrder), false);
  auto* lines = static_cast<BusObjArray*>(order->getAttrValue(1));
  ASSERT_TRUE(lines != nullptr && lines->isDelta() && lines->getObjectCount() == 2);
  EXPECT_EQ(lines->getSpec(), lines->getObject(1)->getSpec());
  lines->insertObjectAt(1, nullptr);
  EXPECT_EQ(write(*order), bars("BusinessObject|Order|1.0.0|false|null|en_US|2|O1|2|true|"
                                "BusinessObject|Line|1.0.0|false|null|en_US|1|L1||"
                                "BusinessObject|Line|1.0.0|false|null|en_US|1|L2||"));
  lines->removeAll();
  EXPECT_EQ(write(*order), bars("BusinessObject|Order|1.0.0|false|null|en_US|2|O1|0|"));
  EXPECT_TRUE(read(write(*order), false)->isIgnore(1));

  // Without the delta flag the verb follows the version, and arrays carry no flag.
  std::unique_ptr<BusinessObject> old = readBars(
      "BusinessObject|Order|1.0.0|Create|en_US|2|O1|1|BusinessObject|Line|1.0.0|null|en_US|1|L1||");
  ASSERT_NE(old->getSpec(), nullptr);
  EXPECT_STREQ(old->getVerb(), "Create");
  EXPECT_EQ(
      slotText(static_cast<BusObjArray*>(old->getAttrValue(1))->getObject(0)->getAttrValue(0)),
      "L1");
}

TEST_F(BusObjRecordTest, TokenLevelDetails) {
  // Runs of delimiters separate like one; leading ones are skipped.
  EXPECT_EQ(write(*readBars("||BusinessObject|||Customer|1.0.0||false|Create|en_US|2|Smith|1|||"
                            "BusinessObject|Address|1.0.0|false|null|en_US|1|Paris|||||")),
            bars(kCustomerBars));
  // Length-prefixed values may hold '#' and code 3.
  BusinessObject customer("Customer");
  customer.setAttrValue(0,
                        txt("a#b\x03"
                            "c"),
                        STRING);
  EXPECT_EQ(slotText(read(write(customer, true), true)->getAttrValue(0)),
            "a#b\x03"
            "c");
  // A single-child attribute reads one child whatever its count says.
  SpecBuilder("Pair").attr("Head", "Address").attr("Tail", STRING).registerSpec();
  std::unique_ptr<BusinessObject> pair = readBars(
      "BusinessObject|Pair|1.0.0|false|null|en_US|2|3|"
      "BusinessObject|Address|1.0.0|false|null|en_US|1|Paris||Last|");
  EXPECT_EQ(slotText(pair->getAttrValue(1)), "Last");
  // Counts without digits are 0: no child, and reading goes on.
  pair = readBars("BusinessObject|Pair|1.0.0|false|null|en_US|2|x1|Last|");
  EXPECT_TRUE(pair->isIgnore(0));
  EXPECT_EQ(slotText(pair->getAttrValue(1)), "Last");
}

TEST_F(BusObjRecordTest, WrongCountsAndTypesGiveInvalidObjectsWithMessage64) {
  scope_.startVeneer();
  EXPECT_EQ(readBars("BusinessObject|Customer|2.1.0|false|null|en_US|3|a|0|x|")->getSpec(),
            nullptr);
  EXPECT_EQ(readBars("BusinessObject|Customer|1.0.0|false|null|en_US|two|a|0|")->getSpec(),
            nullptr);
  EXPECT_EQ(readBars("BusinessObject|Ghost|3.0.0|false|null|en_US|0|")->getSpec(), nullptr);
  // A broken child breaks its parent.
  std::unique_ptr<BusinessObject> parent = readBars(
      "BusinessObject|Customer|1.0.0|false|null|en_US|2|S|1|BusinessObject|Ghost|1.0.0|false|null|"
      "en_US|0|");
  EXPECT_EQ(parent->getSpec(), nullptr);
  EXPECT_EQ(parent->getAttrValues(), nullptr);
  const auto reports = scope_.agent().generated(64);
  ASSERT_EQ(reports.size(), 4u);
  EXPECT_EQ(reports[0].params, "2.1.0,Customer");
  EXPECT_EQ(reports[1].params, "1.0.0,Customer");
  EXPECT_EQ(reports[2].params, "3.0.0,Ghost");
}

TEST_F(BusObjRecordTest, TruncationAtAnyTokenOrByteIsInvalid) {
  for (const Tokens* tokens : {&kCustomer, &kOrder}) {
    for (std::size_t n = 0; n < tokens->size(); ++n) {
      EXPECT_EQ(read(delimited(firstTokens(*tokens, n)), false)->getSpec(), nullptr) << n;
      EXPECT_EQ(read(prefixed(firstTokens(*tokens, n)), true)->getSpec(), nullptr) << n;
    }
  }
  const std::string full = prefixed(kCustomer);
  for (std::size_t n = 0; n < full.size(); ++n) {
    EXPECT_EQ(read(full.substr(0, n), true)->getSpec(), nullptr) << "bytes " << n;
  }
}

TEST_F(BusObjRecordTest, HugeCountsAndDeepNestingFailFast) {
  const auto start = std::chrono::steady_clock::now();
  Tokens huge = kOrder;
  huge[8] = "2000000000";
  EXPECT_EQ(read(delimited(huge), false)->getSpec(), nullptr);
  huge[8] = "99999999999999999999";
  EXPECT_EQ(read(prefixed(huge), true)->getSpec(), nullptr);

  const Tokens level = {"BusinessObject", "Node", "1.0.0", "false", "null", "en_US", "2", "n", "1"};
  std::string deepDelimited;
  std::string deepPrefixed;
  for (int i = 0; i < 100000; ++i) {
    deepDelimited += delimited(level);
    deepPrefixed += prefixed(level);
  }
  EXPECT_EQ(read(deepDelimited, false)->getSpec(), nullptr);
  EXPECT_EQ(read(deepPrefixed, true)->getSpec(), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

  // Exactly MAX_BUSOBJ_DEPTH levels still read; one more does not.
  auto chain = std::make_unique<BusinessObject>("Node");
  BusinessObject* tail = chain.get();
  for (int i = 1; i < MAX_BUSOBJ_DEPTH; ++i) {
    auto* next = new BusinessObject("Node");
    tail->setAttrValue(1, next, OBJECT);
    tail = next;
  }
  for (bool lp : {false, true}) EXPECT_NE(read(write(*chain, lp), lp)->getSpec(), nullptr);
  tail->setAttrValue(1, new BusinessObject("Node"), OBJECT);
  for (bool lp : {false, true}) EXPECT_EQ(read(write(*chain, lp), lp)->getSpec(), nullptr);
}

}  // namespace
