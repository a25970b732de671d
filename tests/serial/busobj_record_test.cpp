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

namespace hbconnector::test {
namespace {

const char kCustomer[] =
    "BusinessObject|Customer|1.0.0|false|Create|en_US|2|Smith|1|"
    "BusinessObject|Address|1.0.0|false|null|en_US|1|Paris|";
const std::string kOrderHead = "BusinessObject|Order|1.0.0|false|null|en_US|2|O1|2|true|";
const std::string kLine1 = "BusinessObject|Line|1.0.0|false|null|en_US|1|L1|";
const std::string kLine2 = "BusinessObject|Line|1.0.0|false|null|en_US|1|L2|";
const std::string kOrder = kOrderHead + kLine1 + kLine2;

std::unique_ptr<BusinessObject> read(const std::string& text, bool lengthPrefixed = false) {
  std::unique_ptr<StringMessage> m(lengthPrefixed ? new StringMessageI18N(text.c_str())
                                                  : new StringMessage(text.c_str()));
  return std::make_unique<BusinessObject>(*m);
}

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
    SpecBuilder("Order").attr("Id", STRING).attr("Lines", "Line", CARD_MULTIPLE).registerSpec();
    SpecBuilder("Node").attr("Name", STRING).attr("Next", "Node").registerSpec();
    scope_.startVeneer();
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
  const std::string delimitedText = bars(kCustomer) + "\x03";  // the child's own delimiter
  const std::string prefixedText =
      "e#BusinessObject8#Customer5#1.0.05#false6#Create5#en_US1#25#Smith1#1"
      "e#BusinessObject7#Address5#1.0.05#false4#null5#en_US1#15#Paris";
  EXPECT_EQ(write(customer), delimitedText);
  EXPECT_EQ(write(customer, true), prefixedText);
  for (bool lp : {false, true}) {
    std::unique_ptr<BusinessObject> back = read(lp ? prefixedText : delimitedText, lp);
    auto* child = static_cast<BusinessObject*>(back->getAttrValue(1));
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(child->getParent(), back.get());
    EXPECT_STREQ(child->getVerb(), "null");  // the verb token is kept as it is
    EXPECT_EQ(write(*back), delimitedText);
    EXPECT_EQ(write(*back, true), prefixedText);
  }
}

TEST_F(BusObjRecordTest, ValuesArraysAndTokenDetails) {
  BusinessObject customer("Customer");
  customer.setAttrValue(0, txt(""), STRING);  // an empty text is blank
  customer.setAttrValue(1, BusinessObject::getBlankValue(), OBJECT);
  const char blank[] = "BusinessObject|Customer|1.0.0|false|null|en_US|2|VqBlank|VqBlank|";
  EXPECT_EQ(write(customer), bars(blank));
  std::unique_ptr<BusinessObject> back = read(bars(blank));
  EXPECT_TRUE(back->isBlank(0));
  EXPECT_EQ(back->getAttrValue(1), BusinessObject::getBlankValue());  // kept for child slots too
  EXPECT_TRUE(read(bars("BusinessObject|Customer|1.0.0|false|x|en_US|2|VqIgnore|0|"))->isIgnore(0));

  std::unique_ptr<BusinessObject> order = read(bars(kOrder));
  auto* lines = static_cast<BusObjArray*>(order->getAttrValue(1));
  ASSERT_TRUE(lines != nullptr && lines->isDelta() && lines->getObjectCount() == 2);
  EXPECT_EQ(lines->getSpec(), lines->getObject(0)->getSpec());
  lines->insertObjectAt(1, nullptr);  // a hole has no record
  EXPECT_EQ(write(*order), bars(kOrderHead + kLine1 + "|" + kLine2 + "|"));
  lines->removeAll();
  EXPECT_EQ(write(*order), bars("BusinessObject|Order|1.0.0|false|null|en_US|2|O1|0|"));
  EXPECT_TRUE(read(write(*order))->isIgnore(1));

  // Older records: no delta flag, so the verb follows the version and arrays have no flag.
  order =
      read(bars("BusinessObject|Order|1.0.0|Create|en_US|2|O1|1|"
                "BusinessObject|Line|1.0.0|null|en_US|1|L1|"));
  EXPECT_STREQ(order->getVerb(), "Create");
  EXPECT_EQ(static_cast<BusObjArray*>(order->getAttrValue(1))->getObjectCount(), 1);
  // Delimiter runs separate like one; length-prefixed values keep '#' and code 3.
  EXPECT_EQ(write(*read(bars("||BusinessObject|||Customer|1.0.0||false|Create|en_US|2|Smith|1|||"
                             "BusinessObject|Address|1.0.0|false|null|en_US|1|Paris|||||"))),
            bars(kCustomer) + "\x03");
  customer.setAttrValue(0,
                        txt("a#b\x03"
                            "c"),
                        STRING);
  EXPECT_EQ(slotText(read(write(customer, true), true)->getAttrValue(0)),
            "a#b\x03"
            "c");
  // A single child is one record whatever its count; a count without digits is 0.
  SpecBuilder("Pair").attr("Head", "Address").attr("Tail", STRING).registerSpec();
  EXPECT_EQ(slotText(read(bars("BusinessObject|Pair|1.0.0|false|null|en_US|2|3|BusinessObject|"
                               "Address|1.0.0|false|null|en_US|1|Paris|Last|"))
                         ->getAttrValue(1)),
            "Last");
  back = read(bars("BusinessObject|Pair|1.0.0|false|null|en_US|2|x1|Last|"));
  EXPECT_TRUE(back->isIgnore(0));
  EXPECT_EQ(slotText(back->getAttrValue(1)), "Last");
}

TEST_F(BusObjRecordTest, BadRecordsGiveInvalidObjects) {
  for (const char* text : {"BusinessObject|Customer|2.1.0|false|null|en_US|3|a|0|x|",
                           "BusinessObject|Customer|1.0.0|false|null|en_US|two|a|0|",
                           "BusinessObject|Customer|1.0.0|false|null|en_US|2|S|1|"
                           "BusinessObject|Ghost|1.0.0|false|null|en_US|0|"}) {
    std::unique_ptr<BusinessObject> bo = read(bars(text));
    EXPECT_TRUE(bo->getSpec() == nullptr && bo->getAttrValues() == nullptr) << text;
  }
  const auto reports = scope_.agent().generated(64);
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0].params, "2.1.0,Customer");
  EXPECT_EQ(reports[2].params, "1.0.0,Ghost");

  for (const std::string& record : {std::string(kCustomer), kOrder}) {
    const auto tokens = split(record);
    for (std::size_t n = 0; n < tokens.size(); ++n) {
      EXPECT_EQ(read(delimited(firstTokens(tokens, n)))->getSpec(), nullptr) << n;
      EXPECT_EQ(read(prefixed(firstTokens(tokens, n)), true)->getSpec(), nullptr) << n;
    }
  }
  const std::string full = prefixed(split(kCustomer));
  for (std::size_t n = 0; n < full.size(); ++n) {
    EXPECT_EQ(read(full.substr(0, n), true)->getSpec(), nullptr) << "bytes " << n;
  }
}

TEST_F(BusObjRecordTest, HugeCountsAndDeepNestingFailFast) {
  auto huge = split(kOrder);
  huge[8] = "2000000000";
  const std::string hugeDelimited = delimited(huge);
  huge[8] = "99999999999999999999";
  const std::string hugePrefixed = prefixed(huge);
  const auto level = split("BusinessObject|Node|1.0.0|false|null|en_US|2|n|1");
  const std::string oneDelimited = delimited(level);
  const std::string onePrefixed = prefixed(level);
  std::string deepDelimited;
  std::string deepPrefixed;
  for (int i = 0; i < 100000; ++i) {
    deepDelimited += oneDelimited;
    deepPrefixed += onePrefixed;
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(read(hugeDelimited)->getSpec(), nullptr);
  EXPECT_EQ(read(hugePrefixed, true)->getSpec(), nullptr);
  EXPECT_EQ(read(deepDelimited)->getSpec(), nullptr);
  EXPECT_EQ(read(deepPrefixed, true)->getSpec(), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
}  // namespace hbconnector::test
