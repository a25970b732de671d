// The reader's fast road (the library's own messages) and slow road (any
// other message, through nextToken) must agree and keep the ownership rules;
// the writer must match child records written one by one, capacity included.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "busobj/record_codec.hpp"
#include "hbconnector/business_object.hpp"
#include "hbconnector/string_message.hpp"
#include "hbconnector/transaction_busobj.hpp"
#include "support/fake_agent.hpp"
#include "support/record_text.hpp"
#include "support/spec_builder.hpp"

namespace hbconnector::test {
namespace {

// The tokens of a bar-separated text as reading sees them: runs of
// delimiters count as one, so no token is empty.
Tokens tokensOf(const std::string& text) {
  Tokens tokens;
  for (const std::string& token : split(text)) {
    if (!token.empty()) tokens.push_back(token);
  }
  return tokens;
}

// Messages of other classes: the reader must use their nextToken.
template <typename Base>
class Counting : public Base {
 public:
  using Base::Base;
  char* nextToken() override {
    ++reads;
    return Base::nextToken();
  }
  int reads = 0;
};
using CountingMessage = Counting<StringMessage>;
using CountingMessageI18N = Counting<StringMessageI18N>;

std::string write(const BusinessObject& bo, bool lengthPrefixed) {
  std::unique_ptr<StringMessage> out(lengthPrefixed ? bo.toStringMessageI18N()
                                                    : bo.toStringMessage());
  return out->getText();
}

// The record written the long way, each child in a message of its own.
std::unique_ptr<StringMessage> writeNested(const BusinessObject& bo, bool lengthPrefixed) {
  std::unique_ptr<StringMessage> out(lengthPrefixed ? new StringMessageI18N()
                                                    : new StringMessage());
  const BusObjSpec* spec = bo.getSpec();
  const std::string count = std::to_string(spec->getAttributeCount());
  for (const char* t : {"BusinessObject", spec->getName(), spec->getVersion()->toString()})
    out->append(t);
  out->append(bo.isDelta() ? 1 : 0);
  for (const char* t :
       {bo.getVerb() != nullptr ? bo.getVerb() : "null", bo.getLocale(), count.c_str()})
    out->append(t);
  auto appendChild = [&](const BusinessObject& child) {
    std::unique_ptr<StringMessage> text = writeNested(child, lengthPrefixed);
    if (lengthPrefixed) {
      static_cast<StringMessageI18N&>(*out).appendRaw(text->getText());
    } else {
      out->append(text->getText());
    }
  };
  for (int i = 0; i < spec->getAttributeCount(); ++i) {
    const void* value = bo.getAttrValues()[i];
    const auto* array = static_cast<const BusObjArray*>(value);
    if (bo.getAttrType(i) != OBJECT) {
      const char* text = static_cast<const char*>(value);
      out->append(text == nullptr ? "VqIgnore" : text[0] == '\0' ? "VqBlank" : text);
    } else if (!spec->getAttribute(i)->isMultipleCard()) {
      out->append(value == nullptr ? "0" : "1");
      if (value != nullptr) appendChild(*static_cast<const BusinessObject*>(value));
    } else {
      out->append(std::to_string(array != nullptr ? array->getObjectCount() : 0).c_str());
      if (array == nullptr) continue;
      out->append(array->isDelta() ? 1 : 0);
      for (int k = 0; k < array->getObjectCount(); ++k) appendChild(*array->getObject(k));
    }
  }
  return out;
}

class RecordPathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SpecBuilder("Address").attr("City", STRING).attr("Zip", STRING).registerSpec();
    SpecBuilder("Line").attr("LineId", STRING).key().attr("Qty", STRING).registerSpec();
    SpecBuilder("Order")
        .attr("Id", STRING)
        .key()
        .attr("Ship", "Address")
        .attr("Lines", "Line", CARD_MULTIPLE)
        .attr("Note", STRING)
        .registerSpec();
    scope_.startVeneer();
  }

  // An order with a shipping address and n lines, as delimited tokens.
  static std::string orderTokens(int n) {
    std::string text =
        "BusinessObject|Order|1.0.0|false|Create|en_US|4|O-1|1|"
        "BusinessObject|Address|1.0.0|false|null|en_US|2|Paris|VqBlank||" +
        std::to_string(n) + (n > 0 ? "|true|" : "|");
    for (int k = 0; k < n; ++k) {
      text += "BusinessObject|Line|1.0.0|true|null|de_DE|2|L" + std::to_string(k) + "|" +
              std::to_string(k * 3) + "||";
    }
    return text + "a note|";
  }

  RegistryGuard registry_;
  FakeAgentScope scope_;
};

TEST_F(RecordPathsTest, BothRoadsBuildTheSameTreeAndStopAfterTheRecord) {
  for (int n : {0, 1, 7, 40}) {
    const std::string tokens = orderTokens(n) + "after|";
    // Delimited, with a leading run of delimiters.
    StringMessage fast(bars("||" + tokens).c_str());
    CountingMessage slow(bars("||" + tokens).c_str());
    BusinessObject a(fast), b(slow);
    ASSERT_NE(a.getSpec(), nullptr) << n;
    EXPECT_GT(slow.reads, 0);
    EXPECT_EQ(write(a, false), write(b, false));
    EXPECT_EQ(write(a, false), bars(orderTokens(n)));
    EXPECT_STREQ(fast.nextToken(), "after");
    EXPECT_EQ(fast.nextToken(), nullptr);
    EXPECT_FALSE(fast.hasMoreTokens());

    const std::string encoded = prefixed(tokensOf(tokens));
    StringMessageI18N fastI18N(encoded.c_str());
    CountingMessageI18N slowI18N(encoded.c_str());
    BusinessObject c(fastI18N), d(slowI18N);
    ASSERT_NE(c.getSpec(), nullptr) << n;
    EXPECT_EQ(write(c, true), write(d, true));
    EXPECT_EQ(write(c, false), write(a, false));
    EXPECT_TRUE(fastI18N.hasMoreTokens());
    EXPECT_STREQ(fastI18N.nextToken(), "after");
    EXPECT_EQ(fastI18N.nextToken(), nullptr);
  }
}

TEST_F(RecordPathsTest, ReadingStartsWhereTheMessageStandsAndRestartsAfterReset) {
  const std::string two = "skip|" + orderTokens(2) + orderTokens(3);
  StringMessage m(bars(two).c_str());
  EXPECT_STREQ(m.nextToken(), "skip");
  BusinessObject first(m);
  BusinessObject second(m);
  ASSERT_NE(first.getSpec(), nullptr);
  ASSERT_NE(second.getSpec(), nullptr);
  EXPECT_EQ(static_cast<BusObjArray*>(first.getAttrValue("Lines"))->getObjectCount(), 2);
  EXPECT_EQ(static_cast<BusObjArray*>(second.getAttrValue("Lines"))->getObjectCount(), 3);
  m.resetTokenizer();
  EXPECT_STREQ(m.nextToken(), "skip");

  const std::string encoded = prefixed(tokensOf(two));
  StringMessageI18N p(encoded.c_str());
  EXPECT_STREQ(p.nextToken(), "skip");
  BusinessObject third(p);
  EXPECT_EQ(write(third, false), write(first, false));
  // A record that cannot be read leaves the rest unread, as before.
  StringMessage bad(bars("BusinessObject|Nope|1.0.0|false|x|en_US|0|next|").c_str());
  BusinessObject invalid(bad);
  EXPECT_EQ(invalid.getSpec(), nullptr);
  EXPECT_STREQ(bad.nextToken(), "0");
}

TEST_F(RecordPathsTest, LengthFieldsTheQuickPathLeavesToTheMessage) {
  // Upper-case digits, leading zeros and long fields read like any other.
  const std::string record =
      "E#BusinessObject4#Line5#1.0.05#false4#null5#en_US1#200000000002#L74#99#x";
  StringMessageI18N m(record.c_str());
  BusinessObject line(m);
  ASSERT_NE(line.getSpec(), nullptr);
  EXPECT_STREQ(static_cast<const char*>(line.getAttrValue(0)), "L7");
  EXPECT_STREQ(static_cast<const char*>(line.getAttrValue(1)), "99#x");
  // A field that runs past the text, or is not hexadecimal, ends the message.
  for (const char* broken : {"e#BusinessObject4#Line5#1.0.05#false4#null5#en_US1#22#L2f#ab",
                             "e#BusinessObject4#Line5#1.0.05#false4#null5#en_US1#2z#L7",
                             "e#BusinessObject4#Line5#1.0.05#false4#null5#en_US1#2#L72"}) {
    StringMessageI18N b(broken);
    BusinessObject invalid(b);
    EXPECT_EQ(invalid.getSpec(), nullptr) << broken;
    EXPECT_EQ(b.nextToken(), nullptr) << broken;
  }
}

TEST_F(RecordPathsTest, WriterMatchesChildRecordsWrittenOneByOne) {
  StringMessage in(bars(orderTokens(60)).c_str());
  BusinessObject order(in);
  ASSERT_NE(order.getSpec(), nullptr);
  // Values of lines around the one-, two- and three-digit length prefixes,
  // and large enough to make the buffer grow in the middle of a line.
  auto* lines = static_cast<BusObjArray*>(order.getAttrValues()[2]);
  const std::size_t sizes[] = {1, 15, 16, 17, 255, 256, 257, 1000, 5000};
  for (std::size_t k = 0; k < std::size(sizes); ++k) {
    const std::string value(sizes[k], static_cast<char>('a' + k));
    ASSERT_TRUE(lines->getObject(static_cast<int>(k))->setAttrValue(1, txt(value.c_str()), STRING));
  }
  for (bool lengthPrefixed : {false, true}) {
    std::unique_ptr<StringMessage> reference = writeNested(order, lengthPrefixed);
    std::unique_ptr<StringMessage> written(lengthPrefixed ? order.toStringMessageI18N()
                                                          : order.toStringMessage());
    EXPECT_STREQ(written->getText(), reference->getText());
    EXPECT_EQ(written->getLength(), reference->getLength());
    EXPECT_EQ(written->StringMessage::getSize(), reference->StringMessage::getSize());
  }
}

TEST_F(RecordPathsTest, ChildrenOfAReadTreeFollowTheOwnershipRules) {
  StringMessage in(bars(orderTokens(30)).c_str());
  auto order = std::make_unique<BusinessObject>(in);
  ASSERT_NE(order->getSpec(), nullptr);
  auto* lines = static_cast<BusObjArray*>(order->getAttrValue("Lines"));
  BusinessObject* line = lines->getObject(3);
  // Values and verbs replaced through the API, before and after reading them.
  EXPECT_STREQ(static_cast<const char*>(line->getAttrValue(0)), "L3");
  EXPECT_TRUE(line->setAttrValue(1, const_cast<char*>("1000"), STRING));
  EXPECT_TRUE(line->setAttrValue(1, BusinessObject::getBlankValue(), STRING));
  line->setVerb("Update");
  line->setAppSpecificInfo("info");
  EXPECT_STREQ(line->getVerb(), "Update");
  // A slot array of the connector's own replaces the one read.
  void** mine = new void*[2]();
  mine[0] = new char[3]{'M', '1', '\0'};
  void** readSlots = line->getAttrValues();
  EXPECT_STREQ(static_cast<const char*>(readSlots[0]), "L3");
  line->setValues(mine);
  EXPECT_STREQ(static_cast<const char*>(line->getAttrValue(0)), "M1");
  // Children removed, replaced and added one by one.
  EXPECT_EQ(lines->removeObjectAt(0), 0);
  lines->setObjectAt(1, new BusinessObject("Line"));
  lines->addObject(lines->getObject(5)->duplicate());
  EXPECT_STREQ(static_cast<const char*>(lines->getObject(29)->getAttrValue(0)), "L6");
  // A child taken out of its slot outlives the tree it was read with.
  void** slots = order->getAttrValues();
  auto* ship = static_cast<BusinessObject*>(slots[1]);
  slots[1] = nullptr;
  order.reset();
  EXPECT_STREQ(static_cast<const char*>(ship->getAttrValue(0)), "Paris");
  EXPECT_TRUE(BusinessObject::isBlankValue(ship->getAttrValue(1)));
  delete ship;
}

TEST_F(RecordPathsTest, TheRootOfAReadFollowsTheOwnershipRules) {
  // The root keeps the texts it read with its slot array; a value longer
  // than that block holds, and values set later, are copies of their own.
  const std::string longNote(5000, 'n');
  const std::string text =
      "BusinessObject|Order|1.0.0|false|Create|fr_FR|4|O-1|0|0|" + longNote + "|";
  for (bool lengthPrefixed : {false, true}) {
    std::unique_ptr<StringMessage> in;
    if (lengthPrefixed) {
      in = std::make_unique<StringMessage>(bars(text).c_str());
      std::unique_ptr<BusinessObject> delimited = std::make_unique<BusinessObject>(*in);
      in.reset(delimited->toStringMessageI18N());
    } else {
      in = std::make_unique<StringMessage>(bars(text).c_str());
    }
    auto order = std::make_unique<BusinessObject>(*in);
    ASSERT_NE(order->getSpec(), nullptr);
    EXPECT_EQ(write(*order, false), bars(text));
    EXPECT_STREQ(order->getVerb(), "Create");
    EXPECT_STREQ(order->getLocale(), "fr_FR");
    EXPECT_EQ(std::string(static_cast<const char*>(order->getAttrValue(3))), longNote);
    // Replaced through the API, some twice.
    EXPECT_TRUE(order->setAttrValue(0, const_cast<char*>("O-2"), STRING));
    EXPECT_TRUE(order->setAttrValue(0, BusinessObject::getBlankValue(), STRING));
    EXPECT_TRUE(order->setAttrValue(3, const_cast<char*>("short"), STRING));
    order->setVerb(nullptr);
    order->setVerb("Update");
    EXPECT_STREQ(order->setLocale("de_DE"), "de_DE");
    EXPECT_EQ(write(*order, false),
              bars("BusinessObject|Order|1.0.0|false|Update|de_DE|4|VqBlank|0|0|short|"));
  }
  // A slot array of the connector's own replaces the one read, which is then
  // the caller's to release; verb and locale stay the object's.
  StringMessage in(bars(text).c_str());
  {
    BusinessObject order(in);
    void** read = order.getAttrValues();
    void** mine = new void*[4]();
    mine[0] = new char[3]{'M', '1', '\0'};
    order.setValues(mine);
    EXPECT_STREQ(static_cast<const char*>(read[0]), "O-1");
    EXPECT_STREQ(order.getVerb(), "Create");
    EXPECT_STREQ(order.getLocale(), "fr_FR");
    EXPECT_TRUE(order.setAttrValue(3, const_cast<char*>("after"), STRING));
    EXPECT_EQ(write(order, false),
              bars("BusinessObject|Order|1.0.0|false|Create|fr_FR|4|M1|0|0|after|"));
    delete[] static_cast<char*>(read[0]);
    delete[] static_cast<char*>(read[3]);
    delete[] read;
  }
  // Two objects read from records swap their slot arrays, each taking the
  // other's values with it.
  {
    StringMessage first(bars(text).c_str());
    StringMessage second(bars("BusinessObject|Order|1.0.0|false|null|en_US|4|O-9|0|0|x|").c_str());
    BusinessObject a(first), b(second);
    void** fromA = a.getAttrValues();
    a.setValues(b.getAttrValues());
    b.setValues(fromA);
    EXPECT_EQ(write(a, false), bars("BusinessObject|Order|1.0.0|false|Create|fr_FR|4|O-9|0|0|x|"));
    EXPECT_EQ(write(b, false),
              bars("BusinessObject|Order|1.0.0|false|null|en_US|4|O-1|0|0|" + longNote + "|"));
  }
  // A record that breaks after the root's texts were taken leaves nothing.
  StringMessage broken(bars("BusinessObject|Order|1.0.0|false|Create|fr_FR|4|O-1|1|").c_str());
  BusinessObject bad(broken);
  EXPECT_EQ(bad.getSpec(), nullptr);
  EXPECT_EQ(bad.getVerb(), nullptr);
  EXPECT_EQ(bad.getLocale(), nullptr);
}

TEST_F(RecordPathsTest, TreesReadAndReleasedOnOtherThreadsKeepTheirValues) {
  // Trees of growing and shrinking sizes reuse the memory of the trees before
  // them; trees read on a thread that has ended live on elsewhere.
  std::vector<std::unique_ptr<BusinessObject>> kept;
  std::thread reader([&] {
    for (int n : {50, 3, 400, 0, 120, 7}) {
      StringMessage in(bars(orderTokens(n)).c_str());
      auto order = std::make_unique<BusinessObject>(in);
      ASSERT_NE(order->getSpec(), nullptr);
      if (n % 2 == 0) kept.push_back(std::move(order));
    }
  });
  reader.join();
  ASSERT_EQ(kept.size(), 4u);
  for (int round = 0; round < 3; ++round) {
    for (int n : {400, 10, 120}) {
      StringMessage in(bars(orderTokens(n)).c_str());
      BusinessObject order(in);
      EXPECT_EQ(write(order, false), bars(orderTokens(n)));
    }
  }
  const int sizes[] = {50, 400, 0, 120};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(write(*kept[i], false), bars(orderTokens(sizes[i])));
}

TEST_F(RecordPathsTest, TransactionRecordsReadTheirPriorImageOnBothRoads) {
  const std::string text = orderTokens(4) +
                           "TransactionBusinessObject|Order|1.0.0|Create|4|O-1|0|2|"
                           "BusinessObject|Line|1.0.0|false|null|en_US|2|L0|5||"
                           "BusinessObject|Line|1.0.0|false|null|en_US|2|L9|6||old|";
  StringMessage fast(bars(text).c_str());
  CountingMessage slow(bars(text).c_str());
  TransactionBusinessObject a(fast), b(slow);
  ASSERT_NE(a.getSpec(), nullptr);
  ASSERT_NE(a.getOldAttrValue(2), nullptr);
  // Both encodings of the record round trip in the transaction tests; here
  // the two roads must agree.
  for (const TransactionBusinessObject* bo : {&a, &b})
    EXPECT_EQ(std::unique_ptr<StringMessage>(bo->toStringMessage())->getText(), bars(text));
}

}  // namespace
}  // namespace hbconnector::test
