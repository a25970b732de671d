// The business object record: the writer's bytes, the reader, and what the
// reader does with records that are not what they claim to be.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "hbconnector/business_object.hpp"
#include "hbconnector/string_message.hpp"
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

const char kCustomerBars[] =
    "BusinessObject|Customer|1.0.0|false|Create|en_US|2|Smith|1|"
    "BusinessObject|Address|1.0.0|false|null|en_US|1|Paris||";
const char kCustomerPrefixed[] =
    "e#BusinessObject8#Customer5#1.0.05#false6#Create5#en_US1#25#Smith1#1"
    "e#BusinessObject7#Address5#1.0.05#false4#null5#en_US1#15#Paris";
const std::vector<std::string> kCustomerTokens = {
    "BusinessObject", "Customer", "1.0.0", "false", "Create", "en_US", "2", "Smith", "1",
    "BusinessObject", "Address",  "1.0.0", "false", "null",   "en_US", "1", "Paris"};

std::vector<std::string> first(const std::vector<std::string>& tokens, std::size_t n) {
  return {tokens.begin(), tokens.begin() + static_cast<long>(n)};
}

std::string delimitedText(const std::vector<std::string>& tokens) {
  return hbconnector::test::delimited(tokens);
}

std::unique_ptr<BusinessObject> readDelimited(const std::string& text) {
  StringMessage message(text.c_str());
  return std::make_unique<BusinessObject>(message);
}

std::unique_ptr<BusinessObject> readPrefixed(const std::string& text) {
  StringMessageI18N message(text.c_str());
  return std::make_unique<BusinessObject>(message);
}

std::string written(const BusinessObject& bo) {
  std::unique_ptr<StringMessage> out(bo.toStringMessage());
  return out->getText();
}

std::string writtenPrefixed(const BusinessObject& bo) {
  std::unique_ptr<StringMessageI18N> out(bo.toStringMessageI18N());
  return out->getText();
}

class BusObjRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SpecBuilder("Address").attr("City", STRING).registerSpec();
    SpecBuilder("Customer").attr("Name", STRING).attr("Address", "Address").registerSpec();
    SpecBuilder("Line").attr("LineId", STRING).key().registerSpec();
    SpecBuilder("Order")
        .attr("OrderId", STRING)
        .key()
        .attr("Lines", "Line", CARD_MULTIPLE)
        .registerSpec();
    SpecBuilder("Node").attr("Name", STRING).attr("Next", "Node").registerSpec();
  }

  // The worked example built through the API.
  std::unique_ptr<BusinessObject> makeCustomer() {
    auto customer = std::make_unique<BusinessObject>("Customer");
    customer->setVerb("Create");
    customer->setLocale("en_US");
    customer->setAttrValue(0, txt("Smith"), STRING);
    auto* address = new BusinessObject("Address");
    address->setLocale("en_US");
    address->setAttrValue(0, txt("Paris"), STRING);
    customer->setAttrValue(1, address, OBJECT);
    return customer;
  }

  // A chain of `levels` Node objects, each holding the next.
  std::unique_ptr<BusinessObject> makeChain(int levels) {
    auto root = std::make_unique<BusinessObject>("Node");
    BusinessObject* tail = root.get();
    for (int i = 1; i < levels; ++i) {
      auto* next = new BusinessObject("Node");
      tail->setAttrValue(1, next, OBJECT);
      tail = next;
    }
    return root;
  }

  static int chainLength(const BusinessObject* node) {
    int n = 0;
    for (; node != nullptr; node = static_cast<const BusinessObject*>(node->getAttrValue(1))) ++n;
    return n;
  }

  FakeAgentScope scope_;
  RegistryGuard registry_;
};

TEST_F(BusObjRecordTest, WorkedExampleIsWrittenByteForByteInBothEncodings) {
  std::unique_ptr<BusinessObject> customer = makeCustomer();
  EXPECT_EQ(written(*customer), bars(kCustomerBars));
  EXPECT_EQ(writtenPrefixed(*customer), kCustomerPrefixed);
}

TEST_F(BusObjRecordTest, WorkedExampleReadsBackInBothEncodings) {
  for (bool lengthPrefixed : {false, true}) {
    SCOPED_TRACE(lengthPrefixed ? "length-prefixed" : "delimited");
    std::unique_ptr<BusinessObject> bo =
        lengthPrefixed ? readPrefixed(kCustomerPrefixed) : readDelimited(bars(kCustomerBars));
    ASSERT_NE(bo->getSpec(), nullptr);
    EXPECT_STREQ(bo->getName(), "Customer");
    EXPECT_STREQ(bo->getVerb(), "Create");
    EXPECT_STREQ(bo->getLocale(), "en_US");
    EXPECT_FALSE(bo->isDelta());
    EXPECT_EQ(slotText(bo->getAttrValue(0)), "Smith");
    auto* address = static_cast<BusinessObject*>(bo->getAttrValue(1));
    ASSERT_NE(address, nullptr);
    EXPECT_EQ(address->getParent(), bo.get());
    EXPECT_STREQ(address->getVerb(), "null");  // copied unchanged
    EXPECT_EQ(slotText(address->getAttrValue(0)), "Paris");
    // Written again, the object gives the very same bytes.
    EXPECT_EQ(written(*bo), bars(kCustomerBars));
    EXPECT_EQ(writtenPrefixed(*bo), kCustomerPrefixed);
  }
}

TEST_F(BusObjRecordTest, MarkersAndEmptyTextsRoundTrip) {
  auto customer = std::make_unique<BusinessObject>("Customer");
  customer->setLocale("en_US");
  customer->setAttrValue(0, txt(""), STRING);  // an ordinary empty text is blank
  customer->setAttrValue(1, BusinessObject::getBlankValue(), OBJECT);
  const std::string text = written(*customer);
  EXPECT_EQ(text, bars("BusinessObject|Customer|1.0.0|false|null|en_US|2|VqBlank|VqBlank|"));
  std::unique_ptr<BusinessObject> back = readDelimited(text);
  ASSERT_NE(back->getSpec(), nullptr);
  EXPECT_TRUE(back->isBlank(0));
  // The child slot holds the blank marker itself, not an object.
  EXPECT_EQ(back->getAttrValue(1), BusinessObject::getBlankValue());
  EXPECT_EQ(written(*back), text);

  // The marker words read as markers even where a writer would not put them.
  std::unique_ptr<BusinessObject> ignored =
      readDelimited(bars("BusinessObject|Customer|1.0.0|false|null|en_US|2|VqIgnore|0|"));
  ASSERT_NE(ignored->getSpec(), nullptr);
  EXPECT_TRUE(ignored->isIgnore(0));
  EXPECT_TRUE(ignored->isIgnore(1));
  EXPECT_EQ(written(*ignored),
            bars("BusinessObject|Customer|1.0.0|false|null|en_US|2|VqIgnore|0|"));
}

TEST_F(BusObjRecordTest, ArraysCarryCountFlagAndElements) {
  BusinessObject order("Order");
  order.setLocale("en_US");
  order.setDelta(true);
  order.setAttrValue(0, txt("O1"), STRING);
  for (const char* id : {"L1", "L2"}) {
    auto* line = new BusinessObject("Line");
    line->setLocale("en_US");
    line->setAttrValue(0, txt(id), STRING);
    order.setAttrValue(1, line, OBJECT);
  }
  auto* lines = static_cast<BusObjArray*>(order.getAttrValue(1));
  lines->setDelta(true);
  lines->insertObjectAt(1, nullptr);  // a hole has no record and is not counted
  const std::string expected = bars(
      "BusinessObject|Order|1.0.0|true|null|en_US|2|O1|2|true|"
      "BusinessObject|Line|1.0.0|false|null|en_US|1|L1||"
      "BusinessObject|Line|1.0.0|false|null|en_US|1|L2||");
  EXPECT_EQ(written(order), expected);

  std::unique_ptr<BusinessObject> back = readDelimited(expected);
  ASSERT_NE(back->getSpec(), nullptr);
  EXPECT_TRUE(back->isDelta());
  auto* array = static_cast<BusObjArray*>(back->getAttrValue(1));
  ASSERT_NE(array, nullptr);
  EXPECT_TRUE(array->isDelta());
  ASSERT_EQ(array->getObjectCount(), 2);
  EXPECT_EQ(array->getSpec(), array->getObject(0)->getSpec());
  EXPECT_EQ(slotText(array->getObject(1)->getAttrValue(0)), "L2");
  EXPECT_EQ(array->getObject(1)->getParent(), back.get());

  // An empty array is written "0" and reads back as not set.
  lines->removeAll();
  const std::string empty = written(order);
  EXPECT_EQ(empty, bars("BusinessObject|Order|1.0.0|true|null|en_US|2|O1|0|"));
  EXPECT_TRUE(readDelimited(empty)->isIgnore(1));
}

TEST_F(BusObjRecordTest, OlderRecordWithoutDeltaFlagHasNoArrayFlagEither) {
  std::unique_ptr<BusinessObject> bo =
      readDelimited(bars("BusinessObject|Order|1.0.0|Create|en_US|2|O1|2|"
                         "BusinessObject|Line|1.0.0|null|en_US|1|L1||"
                         "BusinessObject|Line|1.0.0|null|en_US|1|L2||"));
  ASSERT_NE(bo->getSpec(), nullptr);
  EXPECT_STREQ(bo->getVerb(), "Create");
  EXPECT_FALSE(bo->isDelta());
  auto* array = static_cast<BusObjArray*>(bo->getAttrValue(1));
  ASSERT_NE(array, nullptr);
  ASSERT_EQ(array->getObjectCount(), 2);
  EXPECT_FALSE(array->isDelta());
  EXPECT_EQ(slotText(array->getObject(0)->getAttrValue(0)), "L1");
  EXPECT_EQ(slotText(array->getObject(1)->getAttrValue(0)), "L2");
}

TEST_F(BusObjRecordTest, DelimiterRunsSeparateLikeOneDelimiter) {
  std::unique_ptr<BusinessObject> bo =
      readDelimited(bars("||BusinessObject|||Customer|1.0.0||false|Create|en_US|2|Smith|1|||"
                         "BusinessObject|Address|1.0.0|false|null|en_US|1|Paris|||||"));
  ASSERT_NE(bo->getSpec(), nullptr);
  EXPECT_EQ(written(*bo), bars(kCustomerBars));
}

TEST_F(BusObjRecordTest, LengthPrefixedValuesKeepHashAndCode3) {
  BusinessObject customer("Customer");
  customer.setLocale("en_US");
  customer.setAttrValue(0,
                        txt("a#b\x03"
                            "c#"),
                        STRING);
  std::unique_ptr<BusinessObject> back = readPrefixed(writtenPrefixed(customer));
  ASSERT_NE(back->getSpec(), nullptr);
  EXPECT_EQ(slotText(back->getAttrValue(0)),
            "a#b\x03"
            "c#");
}

TEST_F(BusObjRecordTest, SingleChildAttributeReadsOneChildWhateverItsCount) {
  SpecBuilder("Pair").attr("Head", "Address").attr("Tail", STRING).registerSpec();
  std::unique_ptr<BusinessObject> bo =
      readDelimited(bars("BusinessObject|Pair|1.0.0|false|null|en_US|2|3|"
                         "BusinessObject|Address|1.0.0|false|null|en_US|1|Paris||Last|"));
  ASSERT_NE(bo->getSpec(), nullptr);
  auto* head = static_cast<BusinessObject*>(bo->getAttrValue(0));
  ASSERT_NE(head, nullptr);
  EXPECT_EQ(slotText(head->getAttrValue(0)), "Paris");
  EXPECT_EQ(slotText(bo->getAttrValue(1)), "Last");
}

TEST_F(BusObjRecordTest, CountsWithoutDigitsAreZero) {
  scope_.startVeneer();
  // A child count that is not a number is 0: no child, reading goes on.
  SpecBuilder("Pair").attr("Head", "Address").attr("Tail", STRING).registerSpec();
  std::unique_ptr<BusinessObject> pair =
      readDelimited(bars("BusinessObject|Pair|1.0.0|false|null|en_US|2|x1|Last|"));
  ASSERT_NE(pair->getSpec(), nullptr);
  EXPECT_TRUE(pair->isIgnore(0));
  EXPECT_EQ(slotText(pair->getAttrValue(1)), "Last");
  std::unique_ptr<BusinessObject> negative =
      readDelimited(bars("BusinessObject|Order|1.0.0|false|null|en_US|2|O1|-3|"));
  ASSERT_NE(negative->getSpec(), nullptr);
  EXPECT_TRUE(negative->isIgnore(1));

  // An attribute count that is not a number is 0, which no spec here has.
  std::unique_ptr<BusinessObject> bad =
      readDelimited(bars("BusinessObject|Customer|1.0.0|false|null|en_US|two|Smith|0|"));
  EXPECT_EQ(bad->getSpec(), nullptr);
  ASSERT_EQ(scope_.agent().generated(64).size(), 1u);
  EXPECT_EQ(scope_.agent().generated(64)[0].params, "1.0.0,Customer");
}

TEST_F(BusObjRecordTest, NullVerbAndMissingLocaleAreKeptAsWritten) {
  std::unique_ptr<BusinessObject> bo =
      readPrefixed(prefixed({"BusinessObject", "Address", "1.0.0", "false", "null", "", "1", "X"}));
  ASSERT_NE(bo->getSpec(), nullptr);
  EXPECT_STREQ(bo->getVerb(), "null");
  EXPECT_EQ(bo->getLocale(), nullptr);  // an empty locale token sets nothing
}

TEST_F(BusObjRecordTest, CountMismatchAndUnknownTypeGiveInvalidObjectsWithMessage64) {
  scope_.startVeneer();
  SpecBuilder("Triple").attr("A", STRING).attr("B", STRING).attr("C", STRING).registerSpec();
  std::unique_ptr<BusinessObject> mismatch =
      readDelimited(bars("BusinessObject|Triple|2.1.0|false|null|en_US|2|a|b|c|"));
  EXPECT_EQ(mismatch->getSpec(), nullptr);
  EXPECT_EQ(mismatch->getVerb(), nullptr);
  EXPECT_EQ(mismatch->getAttrValues(), nullptr);
  std::unique_ptr<BusinessObject> unknown =
      readDelimited(bars("BusinessObject|Nowhere|3.0.0|false|null|en_US|0|"));
  EXPECT_EQ(unknown->getSpec(), nullptr);
  const auto reports = scope_.agent().generated(64);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].type, 6);
  EXPECT_EQ(reports[0].params, "2.1.0,Triple");
  EXPECT_EQ(reports[1].params, "3.0.0,Nowhere");

  // A wrong tag is refused without a message.
  EXPECT_EQ(readDelimited(bars("BusinessObjekt|Address|1.0.0|false|null|en_US|1|X|"))->getSpec(),
            nullptr);
  EXPECT_EQ(scope_.agent().generated(64).size(), 2u);
}

TEST_F(BusObjRecordTest, ABrokenChildMakesTheWholeObjectInvalid) {
  std::unique_ptr<BusinessObject> bo =
      readDelimited(bars("BusinessObject|Customer|1.0.0|false|null|en_US|2|Smith|1|"
                         "BusinessObject|Unregistered|1.0.0|false|null|en_US|1|Paris||"));
  EXPECT_EQ(bo->getSpec(), nullptr);
  EXPECT_EQ(bo->getAttrValues(), nullptr);
}

TEST_F(BusObjRecordTest, EveryTruncationOfAValidRecordIsInvalid) {
  const std::vector<std::string> order = {
      "BusinessObject", "Order",          "1.0.0", "false", "Create", "en_US", "2",     "O1", "2",
      "true",           "BusinessObject", "Line",  "1.0.0", "false",  "null",  "en_US", "1",  "L1",
      "BusinessObject", "Line",           "1.0.0", "false", "null",   "en_US", "1",     "L2"};
  for (const auto* tokens : {&kCustomerTokens, &order}) {
    ASSERT_NE(readDelimited(delimitedText(*tokens))->getSpec(), nullptr);
    ASSERT_NE(readPrefixed(prefixed(*tokens))->getSpec(), nullptr);
    for (std::size_t n = 0; n < tokens->size(); ++n) {
      SCOPED_TRACE("tokens kept: " + std::to_string(n));
      EXPECT_EQ(readDelimited(delimitedText(first(*tokens, n)))->getSpec(), nullptr);
      EXPECT_EQ(readPrefixed(prefixed(first(*tokens, n)))->getSpec(), nullptr);
    }
  }
  // Cut anywhere, even inside a length field or a token, the length-prefixed
  // text is refused and never read past its end.
  const std::string full = kCustomerPrefixed;
  for (std::size_t n = 0; n < full.size(); ++n) {
    EXPECT_EQ(readPrefixed(full.substr(0, n))->getSpec(), nullptr) << "bytes kept: " << n;
  }
}

TEST_F(BusObjRecordTest, HugeElementCountsFailAtOnce) {
  const auto start = std::chrono::steady_clock::now();
  for (const char* count : {"2000000000", "99999999999999999999999"}) {
    SCOPED_TRACE(count);
    const std::vector<std::string> tokens = {
        "BusinessObject", "Order", "1.0.0", "false", "null", "en_US", "2", "O1", count, "false",
        "BusinessObject", "Line",  "1.0.0", "false", "null", "en_US", "1", "L1"};
    EXPECT_EQ(readDelimited(delimitedText(tokens))->getSpec(), nullptr);
    EXPECT_EQ(readPrefixed(prefixed(tokens))->getSpec(), nullptr);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_F(BusObjRecordTest, NestingIsCappedAtMaxDepth) {
  // MAX_BUSOBJ_DEPTH levels read back whole, one more is refused.
  std::unique_ptr<BusinessObject> deepest = makeChain(MAX_BUSOBJ_DEPTH);
  std::unique_ptr<BusinessObject> tooDeep = makeChain(MAX_BUSOBJ_DEPTH + 1);
  for (bool lengthPrefixed : {false, true}) {
    SCOPED_TRACE(lengthPrefixed ? "length-prefixed" : "delimited");
    auto read = [&](const BusinessObject& bo) {
      return lengthPrefixed ? readPrefixed(writtenPrefixed(bo)) : readDelimited(written(bo));
    };
    std::unique_ptr<BusinessObject> back = read(*deepest);
    ASSERT_NE(back->getSpec(), nullptr);
    EXPECT_EQ(chainLength(back.get()), MAX_BUSOBJ_DEPTH);
    EXPECT_EQ(read(*tooDeep)->getSpec(), nullptr);
  }
}

TEST_F(BusObjRecordTest, HundredThousandLevelsAreRefusedQuickly) {
  const std::vector<std::string> level = {"BusinessObject", "Node", "1.0.0", "false", "null",
                                          "en_US",          "2",    "n",     "1"};
  std::string delimited;
  std::string lengthPrefixed;
  const std::string oneDelimited = delimitedText(level);
  const std::string onePrefixed = prefixed(level);
  for (int i = 0; i < 100000; ++i) {
    delimited += oneDelimited;
    lengthPrefixed += onePrefixed;
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(readDelimited(delimited)->getSpec(), nullptr);
  EXPECT_EQ(readPrefixed(lengthPrefixed)->getSpec(), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_F(BusObjRecordTest, ReaderStopsAfterItsRecord) {
  // Two records in one message: each reader takes exactly its own tokens.
  const std::string text =
      bars(kCustomerBars) + bars("BusinessObject|Address|1.0.0|false|null|en_US|1|Lyon|");
  StringMessage message(text.c_str());
  BusinessObject one(message);
  BusinessObject two(message);
  ASSERT_NE(two.getSpec(), nullptr);
  EXPECT_EQ(slotText(two.getAttrValue(0)), "Lyon");
  EXPECT_EQ(message.nextToken(), nullptr);
}

TEST_F(BusObjRecordTest, InvalidObjectsWriteNothing) {
  BusinessObject invalid("Unregistered");
  ASSERT_EQ(invalid.getSpec(), nullptr);
  EXPECT_EQ(written(invalid), "");
  EXPECT_EQ(writtenPrefixed(invalid), "");
}

}  // namespace
