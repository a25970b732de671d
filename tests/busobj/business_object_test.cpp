#include <cstring>
#include <memory>
#include <string>

#include "busobj/model_fixture.hpp"
#include "hbconnector/bo_handler.hpp"
#include "hbconnector/return_status.hpp"
#include "hbconnector/subscription.hpp"
#include "hbconnector/tracing.hpp"
#include "hbconnector/version.hpp"

namespace hbconnector::test {
namespace {

using BusinessObjectTest = ModelTest;

TEST_F(BusinessObjectTest, UnknownTypeReportsMessage64AndFailsGracefully) {
  BusinessObject plain("Nope");
  BusinessObject versioned("Nope", Version(3, 2, 1));
  EXPECT_EQ(params(64), (std::vector<std::string>{"0.0.0,Nope", "3.2.1,Nope"}));
  EXPECT_EQ(typeOf(64), 6);
  EXPECT_EQ(plain.getSpec(), nullptr);
  EXPECT_EQ(plain.getLocale(), nullptr);

  // Nothing an invalid object offers may crash.
  EXPECT_EQ(plain.getAttrCount(), 0);
  EXPECT_EQ(plain.getAttrValue(0), nullptr);
  EXPECT_FALSE(plain.setAttrValue(0, const_cast<char*>("x"), STRING));
  EXPECT_FALSE(plain.setAttrValue("ItemId", const_cast<char*>("x"), STRING));
  EXPECT_EQ(plain.duplicate(), nullptr);
  EXPECT_FALSE(plain.keysEqual(&versioned));
  EXPECT_EQ(plain.compare(&versioned), -1);
  char buffer[64];
  EXPECT_EQ(plain.dump(buffer, sizeof buffer), -1);
  ReturnStatusDescriptor status;
  EXPECT_EQ(plain.doVerbFor(&status), -1);
  plain.setVerb("Create");
  plain.markVerb("Create");
  EXPECT_EQ(plain.getVerb(), nullptr);
  EXPECT_EQ(plain.mergeDelta(&versioned), -1);
  EXPECT_EQ(plain.applyDelta(&versioned), -1);
  EXPECT_FALSE(plain.copyFrom(versioned));
}

TEST_F(BusinessObjectTest, LocaleIsGivenOneElseAgentsElseEnUs) {
  agent().setLocale(std::string("fr_FR"));
  EXPECT_STREQ(BusinessObject("Item", "de_DE").getLocale(), "de_DE");
  EXPECT_STREQ(BusinessObject("Item", "").getLocale(), "fr_FR");
  EXPECT_STREQ(BusinessObject("Item").getLocale(), "fr_FR");
}

TEST_F(BusinessObjectTest, LocaleFallsBackWithoutAgentAnswer) {
  agent().setLocale(std::nullopt);
  BusinessObject bo("Item");
  EXPECT_STREQ(bo.getLocale(), "en_US");
  EXPECT_EQ(bo.setLocale(""), nullptr);
  EXPECT_EQ(bo.setLocale(nullptr), nullptr);
  EXPECT_STREQ(bo.getLocale(), "en_US");
  EXPECT_STREQ(bo.setLocale("it_IT"), "it_IT");
  EXPECT_STREQ(bo.getLocale(), "it_IT");
}

TEST_F(BusinessObjectTest, TypedSetterStoresCopiesAndMarkersAndRefusesMismatches) {
  BusinessObject bo("Item");
  char text[] = "A-1";
  ASSERT_TRUE(bo.setAttrValue(0, text, STRING));
  text[0] = 'Z';
  EXPECT_EQ(textAt(bo, 0), "A-1");

  // Markers are accepted whatever the code says.
  EXPECT_TRUE(bo.setAttrValue(1, BusinessObject::getBlankValue(), STRING));
  EXPECT_EQ(bo.getAttrValue(1), BusinessObject::getBlankValue());
  EXPECT_TRUE(bo.isBlank(1));
  EXPECT_TRUE(bo.setAttrValue(1, BusinessObject::getIgnoreValue(), OBJECT));
  EXPECT_TRUE(bo.isIgnore(1));

  // A String value on the Integer attribute "Qty" (index 1): refused, slot unchanged.
  ASSERT_TRUE(bo.setAttrValue(1, const_cast<char*>("7"), INTEGER));
  agent().clearRecords();
  EXPECT_FALSE(bo.setAttrValue(1, const_cast<char*>("8"), STRING));
  EXPECT_FALSE(bo.setAttrValue(4, const_cast<char*>("8"), STRING));
  EXPECT_FALSE(bo.setAttrValue(-1, const_cast<char*>("8"), STRING));
  EXPECT_EQ(params(73), (std::vector<std::string>{"1,5", "4,5", "-1,5"}));
  EXPECT_EQ(typeOf(73), 7);
  EXPECT_EQ(textAt(bo, 1), "7");

  EXPECT_FALSE(bo.setAttrValue("Nope", const_cast<char*>("8"), STRING));
  EXPECT_FALSE(bo.setAttrValue("Qty", const_cast<char*>("8"), STRING));
  EXPECT_FALSE(bo.setAttrValue("qty", const_cast<char*>("8"), INTEGER));
  EXPECT_EQ(params(72), (std::vector<std::string>{"Nope,5", "Qty,5", "qty,2"}));
  EXPECT_EQ(typeOf(72), 7);
  EXPECT_EQ(textAt(bo, 1), "7");
  EXPECT_TRUE(bo.setAttrValue("Qty", const_cast<char*>("9"), INTEGER));
  EXPECT_EQ(textAt(bo, 1), "9");

  // Storing a slot's own text again must copy before it releases.
  EXPECT_TRUE(bo.setAttrValue(0, bo.getAttrValue(0), STRING));
  EXPECT_EQ(textAt(bo, 0), "A-1");
}

TEST_F(BusinessObjectTest, BadIndexOrNameReadsReportUnknown) {
  BusinessObject bo("Item");
  EXPECT_EQ(bo.getAttrValue(-1), nullptr);
  EXPECT_EQ(bo.getAttrValue(bo.getAttrCount()), nullptr);
  EXPECT_EQ(bo.getAttrValue("Missing"), nullptr);
  EXPECT_EQ(params(73), (std::vector<std::string>{"-1,Unknown", "4,Unknown", "-1,Unknown"}));
  EXPECT_EQ(bo.getAttrName(4), nullptr);
  EXPECT_EQ(bo.getAttrType(4), -1);
  EXPECT_EQ(bo.getAttrType("Missing"), -1);
  EXPECT_EQ(bo.getAttrType("Qty"), INTEGER);
}

TEST_F(BusinessObjectTest, BlankIsRecognisedByContentAndMarkerByIdentity) {
  BusinessObject bo("Item");
  char empty[] = "";
  ASSERT_TRUE(bo.setAttrValue(2, empty, STRING));
  EXPECT_TRUE(bo.isBlank(2));
  EXPECT_TRUE(bo.isBlank("Note"));
  EXPECT_NE(bo.getAttrValue(2), BusinessObject::getBlankValue());  // an owned copy
  EXPECT_TRUE(BusinessObject::isBlankValue(empty));
  EXPECT_TRUE(BusinessObject::isBlankValue(BLANK_VALUE));
  EXPECT_FALSE(BusinessObject::isBlankValue(IGNORE_VALUE));
  EXPECT_FALSE(BusinessObject::isBlankValue("x"));
  EXPECT_TRUE(BusinessObject::isIgnoreValue(IGNORE_VALUE));
  // Replacing the blank marker must not free the shared text.
  ASSERT_TRUE(bo.setAttrValue(2, BLANK_VALUE, STRING));
  ASSERT_TRUE(bo.setAttrValue(2, const_cast<char*>("n"), STRING));
  EXPECT_STREQ(BLANK_VALUE, "");
  EXPECT_EQ(bo.getAttrValue(2) == BLANK_VALUE, false);
}

TEST_F(BusinessObjectTest, ChildrenAppendInOrderAndSingleChildReplacementReleasesOld) {
  BusinessObject order("Order");
  BusinessObject* first = make("Item", "L1");
  BusinessObject* second = make("Item", "L2");
  ASSERT_TRUE(order.setAttrValue("Lines", first, OBJECT));
  ASSERT_TRUE(order.setAttrValue("Lines", second, OBJECT));
  ASSERT_TRUE(order.setAttrValue("Lines", second, OBJECT));  // the same child is held once
  ASSERT_NE(lines(order), nullptr);
  EXPECT_EQ(keys(lines(order)), "L1 L2 ");
  EXPECT_EQ(lines(order)->getSpec(), first->getSpec());
  EXPECT_EQ(first->getParent(), &order);
  EXPECT_EQ(second->getParent(), &order);
  EXPECT_FALSE(order.isBlank("Lines"));

  // A child of the wrong type code is refused.
  BusinessObject* stray = make("Customer", "C0");
  EXPECT_FALSE(order.setAttrValue("Customer", stray, STRING));
  delete stray;

  // The replaced customer is released (a leak otherwise); the same one again stays.
  BusinessObject* c1 = make("Customer", "C1");
  BusinessObject* c2 = make("Customer", "C2");
  ASSERT_TRUE(order.setAttrValue("Customer", c1, OBJECT));
  ASSERT_TRUE(order.setAttrValue("Customer", c2, OBJECT));
  ASSERT_TRUE(order.setAttrValue("Customer", c2, OBJECT));
  EXPECT_EQ(text(*customer(order), "CustId"), "C2");
  EXPECT_FALSE(order.setAttrValue("Customer", &order, OBJECT));  // would own itself
}

TEST_F(BusinessObjectTest, SetVerbChecksTheSpec) {
  SpecBuilder("Thing").verbs({"Retrieve"}).attr("Id", STRING).registerSpec();
  BusinessObject bo("Thing");
  bo.setVerb("Retrieve");
  bo.setVerb("Create");
  bo.setVerb("retrieve");
  EXPECT_EQ(params(62), (std::vector<std::string>{"Create,Thing", "retrieve,Thing"}));
  EXPECT_EQ(typeOf(62), 6);
  EXPECT_STREQ(bo.getVerb(), "Retrieve");
  bo.setVerb(nullptr);
  EXPECT_EQ(bo.getVerb(), nullptr);
}

TEST_F(BusinessObjectTest, CompareSkipsLastAttributeAndUnsetValues) {
  std::unique_ptr<BusinessObject> a(make("Item", "A"));
  std::unique_ptr<BusinessObject> b(make("Item", "A"));
  set(*a, "ObjectEventId", "e1");
  set(*b, "ObjectEventId", "e2");
  set(*a, "Note", "only here");
  EXPECT_EQ(a->compare(b.get()), 0);
  set(*b, "Qty", "1");
  EXPECT_EQ(a->compare(b.get()), 0);
  set(*a, "Qty", "2");
  EXPECT_EQ(a->compare(b.get()), -1);
  EXPECT_EQ(a->compare(nullptr), -1);

  // Children: a difference inside the single child or the array counts.
  BusinessObject x("Order");
  BusinessObject y("Order");
  x.setAttrValue("Customer", make("Customer", "C", nullptr), OBJECT);
  y.setAttrValue("Customer", make("Customer", "C", nullptr), OBJECT);
  x.setAttrValue("Lines", make("Item", "L1"), OBJECT);
  y.setAttrValue("Lines", make("Item", "L1"), OBJECT);
  EXPECT_EQ(x.compare(&y), 0);
  set(*customer(y), "Name", "Bob");
  set(*customer(x), "Name", "Ann");
  EXPECT_EQ(x.compare(&y), -1);
  set(*customer(y), "Name", "Ann");
  set(*lines(x)->getObject(0), "Qty", "3");
  set(*lines(y)->getObject(0), "Qty", "4");
  EXPECT_EQ(x.compare(&y), -1);
}

TEST_F(BusinessObjectTest, KeysEqual) {
  SpecBuilder("Keyless").attr("A", STRING).attr("B", STRING).registerSpec();
  BusinessObject k1("Keyless");
  BusinessObject k2("Keyless");
  set(k1, "A", "x");
  EXPECT_TRUE(k1.keysEqual(&k2));
  EXPECT_FALSE(k1.keysEqual(nullptr));

  std::unique_ptr<BusinessObject> a(make("Item", "K"));
  std::unique_ptr<BusinessObject> b(make("Item", "K"));
  std::unique_ptr<BusinessObject> unset(make("Item", nullptr));
  set(*a, "Note", "differs");
  EXPECT_TRUE(a->keysEqual(b.get()));
  EXPECT_FALSE(a->keysEqual(unset.get()));
  EXPECT_FALSE(unset->keysEqual(unset.get()));
  set(*b, "ItemId", "k");
  EXPECT_FALSE(a->keysEqual(b.get()));
  EXPECT_FALSE(a->keysEqual(&k1));  // another layout
}

TEST_F(BusinessObjectTest, DuplicateIsDeepAndIndependent) {
  agent().setLocale(std::string("fr_FR"));
  BusinessObject order("Order", "de_DE");
  set(order, "OrderId", "O1");
  set(order, "Status", "");
  order.setAttrValue("Status", BLANK_VALUE, STRING);
  order.setVerb("Update");
  order.setDelta(true);
  order.setAppSpecificInfo("info");
  order.setClientData(&order);
  order.setAttrValue("Customer", make("Customer", "C1", "Create"), OBJECT);
  order.setAttrValue("Lines", make("Item", "L1"), OBJECT);
  order.setAttrValue("Lines", make("Item", "L2", "Delete"), OBJECT);
  lines(order)->setDelta(true);
  lines(order)->getObject(1)->setDelta(true);

  std::unique_ptr<BusinessObject> copy(order.duplicate());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->compare(&order), 0);
  EXPECT_STREQ(copy->getVerb(), "Update");
  EXPECT_TRUE(copy->isDelta());
  EXPECT_STREQ(copy->getLocale(), "fr_FR");
  EXPECT_EQ(copy->getAppSpecificInfo(), nullptr);
  EXPECT_EQ(copy->getClientData(), nullptr);
  EXPECT_EQ(copy->getAttrValue("Status"), BLANK_VALUE);
  EXPECT_EQ(keys(lines(*copy)), "L1 L2 ");
  EXPECT_TRUE(lines(*copy)->isDelta());
  EXPECT_TRUE(lines(*copy)->getObject(1)->isDelta());
  EXPECT_EQ(verbOf(lines(*copy)->getObject(1)), "Delete");
  EXPECT_EQ(verbOf(customer(*copy)), "Create");
  EXPECT_EQ(customer(*copy)->getParent(), copy.get());
  EXPECT_EQ(lines(*copy)->getObject(0)->getParent(), copy.get());
  EXPECT_NE(customer(*copy), customer(order));
  EXPECT_NE(copy->getAttrValue(0), order.getAttrValue(0));

  set(*lines(*copy)->getObject(0), "Qty", "5");
  EXPECT_EQ(text(*lines(order)->getObject(0), "Qty"), "<ignore>");
}

TEST_F(BusinessObjectTest, DuplicateOfVerbTextNullHasNoVerb) {
  SpecBuilder("Verbal").verbs({"null"}).attr("Id", STRING).registerSpec();
  BusinessObject verbal("Verbal");
  verbal.setVerb("null");
  ASSERT_STREQ(verbal.getVerb(), "null");
  std::unique_ptr<BusinessObject> copy(verbal.duplicate());
  EXPECT_EQ(copy->getVerb(), nullptr);
}

TEST_F(BusinessObjectTest, SetAttrValuesAndCopyFromReplaceWithoutLeaks) {
  BusinessObject source("Order");
  set(source, "OrderId", "O1");
  source.setAttrValue("Lines", make("Item", "N1"), OBJECT);
  source.setAttrValue("Customer", make("Customer", "C9"), OBJECT);
  source.setDelta(true);

  BusinessObject target("Order");
  set(target, "Status", "old");
  target.setAttrValue("Lines", make("Item", "OLD1"), OBJECT);
  target.setAttrValue("Lines", make("Item", "OLD2"), OBJECT);
  target.setAttrValue("Customer", make("Customer", "C0"), OBJECT);
  ASSERT_TRUE(target.copyFrom(source));
  EXPECT_TRUE(target.isDelta());
  EXPECT_EQ(keys(lines(target)), "N1 ");
  EXPECT_EQ(lines(target)->getObject(0)->getParent(), &target);
  EXPECT_EQ(text(*customer(target), "CustId"), "C9");
  EXPECT_EQ(text(target, "Status"), "<ignore>");  // simple slots follow the source

  // Copying an object into itself keeps everything intact.
  ASSERT_TRUE(target.copyFrom(target));
  target.setAttrValues(target.getAttrValues());
  EXPECT_EQ(keys(lines(target)), "N1 ");
  EXPECT_EQ(text(*customer(target), "CustId"), "C9");

  BusinessObject other("Customer");
  EXPECT_FALSE(target.copyFrom(other));
}

TEST_F(BusinessObjectTest, BlankMarkerInChildSlotsCountsAsAbsent) {
  BusinessObject order("Order");
  set(order, "OrderId", "O1");
  ASSERT_TRUE(order.setAttrValue("Customer", BLANK_VALUE, OBJECT));
  ASSERT_TRUE(order.setAttrValue("Lines", BLANK_VALUE, OBJECT));
  EXPECT_TRUE(order.isBlank("Customer"));
  std::unique_ptr<BusinessObject> copy(order.duplicate());
  EXPECT_EQ(copy->compare(&order), 0);
  char buffer[512];
  EXPECT_GT(order.dump(buffer, sizeof buffer), 0);
  order.markVerb("Create");
  ASSERT_TRUE(order.setAttrValue("Lines", make("Item", "L1"), OBJECT));
  EXPECT_EQ(keys(lines(order)), "L1 ");
  // A real child never reads as blank, whatever its memory holds.
  order.setAttrValue("Customer", make("Customer", "C"), OBJECT);
  EXPECT_FALSE(order.isBlank("Customer"));
}

TEST_F(BusinessObjectTest, DumpWritesExactTextAndRefusesShortBuffers) {
  BusinessObject order("Order");
  set(order, "OrderId", "O1");
  order.setAttrValue("Status", BLANK_VALUE, STRING);
  order.setVerb("Create");
  BusinessObject* item = make("Item", "L1");
  item->setDelta(true);
  order.setAttrValue("Lines", item, OBJECT);
  const std::string itemDump =
      "\nBusiness Object Dump\nName: Item\nVerb: NULL \n Type: Delta\n"
      "\nAttr 0: ItemId = L1\nAttr 1: Qty = -- VqIgnore --\nAttr 2: Note = -- VqIgnore --"
      "\nAttr 3: ObjectEventId = -- VqIgnore --";
  const std::string expected =
      "\nBusiness Object Dump\nName: Order\nVerb: Create \n Type: AfterImage\n"
      "\nAttr 0: OrderId = O1\nAttr 1: Status = -- Blank --" +
      itemDump + "\nAttr 4: ObjectEventId = -- VqIgnore --";

  std::vector<char> buffer(expected.size() + 1);
  EXPECT_EQ(order.dump(buffer.data(), static_cast<int>(buffer.size())),
            static_cast<int>(expected.size()));
  EXPECT_EQ(std::string(buffer.data()), expected);

  const int oneShort = static_cast<int>(expected.size());
  std::vector<char> small(expected.size() + 8, '#');
  EXPECT_EQ(order.dump(small.data(), oneShort), -1);
  // What fitted is kept, terminated, and nothing is written past the size.
  EXPECT_LT(std::strlen(small.data()), expected.size());
  EXPECT_EQ(expected.compare(0, std::strlen(small.data()), small.data()), 0);
  EXPECT_EQ(small[static_cast<std::size_t>(oneShort)], '#');

  EXPECT_EQ(order.dump(nullptr, 100), 0);
  EXPECT_EQ(order.dump(small.data(), 10), -1);
  EXPECT_EQ(order.dump(small.data(), 0), -1);
}

TEST_F(BusinessObjectTest, NewAttrValueAndDefaults) {
  SpecBuilder("Defaults")
      .attr("Plain", STRING)
      .maxLength(10)
      .defaultValue("dflt")
      .attr("Blank", STRING)
      .defaultValue(BLANK_VALUE)
      .attr("Child", "Customer", CARD_SINGLE, "2.0.0")
      .registerSpec();
  BusinessObject bo("Defaults");
  std::unique_ptr<char[]> buffer(static_cast<char*>(bo.newAttrValue("Plain")));
  ASSERT_NE(buffer, nullptr);
  std::memset(buffer.get(), 'x', 11);  // maxLength + 1 bytes are ours
  std::unique_ptr<BusinessObject> child(static_cast<BusinessObject*>(bo.newAttrValue(2)));
  ASSERT_NE(child, nullptr);
  EXPECT_STREQ(child->getName(), "Customer");
  EXPECT_EQ(bo.newAttrValue(7), nullptr);
  EXPECT_EQ(bo.newAttrValue("Missing"), nullptr);

  EXPECT_STREQ(bo.getDefaultValue("Plain"), "dflt");
  EXPECT_EQ(bo.getDefaultValue(1), BLANK_VALUE);
  EXPECT_EQ(bo.getDefaultValue(2), nullptr);
  EXPECT_EQ(bo.getDefaultValue(9), IGNORE_VALUE);
  EXPECT_EQ(bo.getDefaultValue("Missing"), IGNORE_VALUE);
}

// A handler that records what it was asked and answers from a script.
class RecordingHandler : public BOHandlerBase {
 public:
  int doVerbFor(BusinessObject& bo, ReturnStatusDescriptor* status) override {
    seen += verbOf(&bo) + (bo.isDelta() ? "(delta) " : " ");
    if (failWith != 0) {
      if (setOwnMessage) status->setErrorString("handler's own");
      logMsg("handler failure", MSGTYPE_ERROR);
      return failWith;
    }
    return 1;
  }
  static std::string verbOf(const BusinessObject* bo) { return ModelTest::verbOf(bo); }
  std::string seen;
  int failWith = 0;
  bool setOwnMessage = false;
};

TEST_F(BusinessObjectTest, DoVerbForRoutesDeltaUpdatesAndCopiesThePendingError) {
  RecordingHandler handler;
  handler.setSubscriptionHandler(veneer().getSubscriptionHandler());
  SpecBuilder("Acct").attr("Id", STRING).key().attr("Bal", STRING).handler(&handler).registerSpec();

  BusinessObject bo("Acct");
  set(bo, "Id", "1");
  bo.setVerb("Update");
  bo.setDelta(true);
  ReturnStatusDescriptor status;
  agent().setDeltaSupport("Acct", std::string("true"));
  EXPECT_EQ(bo.doVerbFor(&status), 1);
  EXPECT_EQ(handler.seen, "Update(delta) ");

  handler.seen.clear();
  agent().setDeltaSupport("Acct", std::string("TRUE"));
  EXPECT_EQ(bo.doVerbFor(&status), 1);
  EXPECT_EQ(handler.seen, "Retrieve Update ");
  EXPECT_FALSE(bo.isDelta());

  handler.seen.clear();
  bo.setVerb("Create");
  handler.failWith = -3;
  EXPECT_EQ(bo.doVerbFor(&status), -3);
  EXPECT_EQ(handler.seen, "Create ");
  ASSERT_NE(status.getErrorString(), nullptr);
  EXPECT_NE(std::string(status.getErrorString()).find("handler failure"), std::string::npos);
  EXPECT_EQ(JToCPPVeneer::getErrorMsg(), nullptr);

  ReturnStatusDescriptor own;
  handler.setOwnMessage = true;
  EXPECT_EQ(bo.doVerbFor(&own), -3);
  EXPECT_STREQ(own.getErrorString(), "handler's own");

  BusinessObject noHandler("Item");
  EXPECT_EQ(noHandler.doVerbFor(&status), -1);
}

}  // namespace
}  // namespace hbconnector::test
