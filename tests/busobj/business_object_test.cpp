#include <cstring>
#include <memory>
#include <string>

#include "busobj/model_fixture.hpp"
#include "hbconnector/return_status.hpp"
#include "hbconnector/string_message.hpp"
#include "hbconnector/version.hpp"
#include "runtime/upcalls.hpp"

namespace hbconnector::test {
namespace {

using BusinessObjectTest = ModelTest;
char* txt(const char* text) { return const_cast<char*>(text); }
std::string record(const BusinessObject& bo) {
  return std::unique_ptr<StringMessage>(bo.toStringMessage())->getText();
}

TEST_F(BusinessObjectTest, UnknownTypeReportsMessage64AndFailsGracefully) {
  BusinessObject plain("Nope");
  BusinessObject versioned("Nope", Version(3, 2, 1));
  EXPECT_EQ(params(64), (Strings{"0.0.0,Nope", "3.2.1,Nope"}));
  EXPECT_EQ(typeOf(64), 6);
  EXPECT_EQ(plain.getSpec(), nullptr);
  EXPECT_EQ(plain.getLocale(), nullptr);

  // Nothing an invalid object offers may crash.
  EXPECT_EQ(plain.getAttrCount(), 0);
  EXPECT_EQ(plain.getAttrValue(0), nullptr);
  EXPECT_FALSE(plain.setAttrValue(0, txt("x"), STRING));
  EXPECT_FALSE(plain.setAttrValue("ItemId", txt("x"), STRING));
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

  agent().setLocale(std::nullopt);
  hbconnector::detail::upcall::resetForTesting();
  BusinessObject bo("Item");
  EXPECT_STREQ(bo.getLocale(), "en_US");
  EXPECT_EQ(bo.setLocale(""), nullptr);
  EXPECT_EQ(bo.setLocale(nullptr), nullptr);
  EXPECT_STREQ(bo.getLocale(), "en_US");
  EXPECT_STREQ(bo.setLocale("it_IT"), "it_IT");
  EXPECT_STREQ(bo.getLocale(), "it_IT");
}

TEST_F(BusinessObjectTest, SettersStoreCopiesAndMarkersAndRefuseMismatches) {
  BusinessObject bo("Item");
  char key[] = "A-1";
  ASSERT_TRUE(bo.setAttrValue(0, key, STRING));
  key[0] = 'Z';
  EXPECT_EQ(text(bo, "ItemId"), "A-1");
  // Storing a slot's own text again must copy before it releases.
  EXPECT_TRUE(bo.setAttrValue(0, bo.getAttrValue(0), STRING));
  EXPECT_EQ(text(bo, "ItemId"), "A-1");

  // Markers are accepted whatever the code says.
  EXPECT_TRUE(bo.setAttrValue(1, BusinessObject::getBlankValue(), STRING));
  EXPECT_EQ(bo.getAttrValue(1), BusinessObject::getBlankValue());
  EXPECT_TRUE(bo.isBlank(1));
  EXPECT_TRUE(bo.setAttrValue(1, BusinessObject::getIgnoreValue(), OBJECT));
  EXPECT_TRUE(bo.isIgnore(1));

  // A String value on the Integer attribute "Qty" (index 1) or a bad index:
  // refused with message 73 (index, code), the slot unchanged.
  ASSERT_TRUE(bo.setAttrValue(1, txt("7"), INTEGER));
  agent().clearRecords();
  EXPECT_FALSE(bo.setAttrValue(1, txt("8"), STRING));
  EXPECT_FALSE(bo.setAttrValue(4, txt("8"), STRING));
  EXPECT_FALSE(bo.setAttrValue(-1, txt("8"), STRING));
  EXPECT_EQ(params(73), (Strings{"1,5", "4,5", "-1,5"}));
  EXPECT_EQ(typeOf(73), 7);
  // By name: message 72 (name, code); names are case sensitive.
  EXPECT_FALSE(bo.setAttrValue("Nope", txt("8"), STRING));
  EXPECT_FALSE(bo.setAttrValue("Qty", txt("8"), STRING));
  EXPECT_FALSE(bo.setAttrValue("qty", txt("8"), INTEGER));
  EXPECT_EQ(params(72), (Strings{"Nope,5", "Qty,5", "qty,2"}));
  EXPECT_EQ(typeOf(72), 7);
  EXPECT_EQ(text(bo, "Qty"), "7");
  EXPECT_TRUE(bo.setAttrValue("Qty", txt("9"), INTEGER));
  EXPECT_EQ(text(bo, "Qty"), "9");

  // Bad reads report message 73 with "Unknown".
  agent().clearRecords();
  EXPECT_EQ(bo.getAttrValue(-1), nullptr);
  EXPECT_EQ(bo.getAttrValue(bo.getAttrCount()), nullptr);
  EXPECT_EQ(bo.getAttrValue("Missing"), nullptr);
  EXPECT_EQ(params(73), (Strings{"-1,Unknown", "4,Unknown", "-1,Unknown"}));
  EXPECT_EQ(bo.getAttrName(4), nullptr);
  EXPECT_EQ(bo.getAttrType(4), -1);
  EXPECT_EQ(bo.getAttrType("Missing"), -1);
  EXPECT_EQ(bo.getAttrType("Qty"), INTEGER);

  // Blank by content (an owned empty copy) or by the marker's identity.
  char empty[] = "";
  ASSERT_TRUE(bo.setAttrValue(2, empty, STRING));
  EXPECT_TRUE(bo.isBlank("Note"));
  EXPECT_NE(bo.getAttrValue(2), BusinessObject::getBlankValue());
  EXPECT_TRUE(BusinessObject::isBlankValue(empty));
  EXPECT_TRUE(BusinessObject::isBlankValue(BLANK_VALUE));
  EXPECT_FALSE(BusinessObject::isBlankValue(IGNORE_VALUE));
  EXPECT_FALSE(BusinessObject::isBlankValue("x"));
  EXPECT_TRUE(BusinessObject::isIgnoreValue(IGNORE_VALUE));
  // Replacing the blank marker must not free or change the shared text.
  ASSERT_TRUE(bo.setAttrValue(2, BLANK_VALUE, STRING));
  ASSERT_TRUE(bo.setAttrValue(2, txt("n"), STRING));
  EXPECT_STREQ(BLANK_VALUE, "");
}

TEST_F(BusinessObjectTest, ChildrenAppendInOrderAndDisplacedSingleChildStaysTheCallers) {
  BusinessObject order("Order");
  BusinessObject* first = make("Item", "L1");
  BusinessObject* second = make("Item", "L2");
  ASSERT_TRUE(order.setAttrValue("Lines", first, OBJECT));
  ASSERT_TRUE(order.setAttrValue("Lines", second, OBJECT));
  ASSERT_TRUE(order.setAttrValue("Lines", second, OBJECT));  // the same child is held once
  EXPECT_EQ(keys(lines(order)), "L1 L2 ");
  EXPECT_EQ(lines(order)->getSpec(), first->getSpec());
  EXPECT_EQ(first->getParent(), &order);
  EXPECT_EQ(second->getParent(), &order);
  EXPECT_FALSE(order.isBlank("Lines"));

  // A child of the wrong type code is refused.
  std::unique_ptr<BusinessObject> stray(make("Customer", "C0"));
  EXPECT_FALSE(order.setAttrValue("Customer", stray.get(), STRING));

  // The displaced customer is not released: it stays readable and the caller
  // deletes it (a double free under the sanitizer if the library had
  // released it). The same one stored again stays.
  BusinessObject* c1 = make("Customer", "C1");
  ASSERT_TRUE(order.setAttrValue("Customer", c1, OBJECT));
  BusinessObject* c2 = make("Customer", "C2");
  ASSERT_TRUE(order.setAttrValue("Customer", c2, OBJECT));
  ASSERT_TRUE(order.setAttrValue("Customer", c2, OBJECT));
  EXPECT_EQ(text(*customer(order), "CustId"), "C2");
  EXPECT_EQ(text(*c1, "CustId"), "C1");
  delete c1;
  // A marker does release the child the slot holds.
  BusinessObject* c3 = make("Customer", "C3");
  ASSERT_TRUE(order.setAttrValue("Customer", c3, OBJECT));
  EXPECT_EQ(text(*c2, "CustId"), "C2");
  delete c2;
  ASSERT_TRUE(order.setAttrValue("Customer", IGNORE_VALUE, OBJECT));  // c3 goes with the slot
  EXPECT_EQ(customer(order), nullptr);
  EXPECT_FALSE(order.setAttrValue("Customer", &order, OBJECT));  // would own itself

  // The blank marker in child slots counts as absent everywhere.
  BusinessObject blank("Order");
  set(blank, "OrderId", "O1");
  ASSERT_TRUE(blank.setAttrValue("Customer", BLANK_VALUE, OBJECT));
  ASSERT_TRUE(blank.setAttrValue("Lines", BLANK_VALUE, OBJECT));
  EXPECT_TRUE(blank.isBlank("Customer"));
  EXPECT_EQ(std::unique_ptr<BusinessObject>(blank.duplicate())->compare(&blank), 0);
  char buffer[512];
  EXPECT_GT(blank.dump(buffer, sizeof buffer), 0);
  blank.markVerb("Create");
  ASSERT_TRUE(blank.setAttrValue("Lines", make("Item", "L1"), OBJECT));
  EXPECT_EQ(keys(lines(blank)), "L1 ");
  // A real child never reads as blank, whatever its memory holds.
  blank.setAttrValue("Customer", make("Customer", "C"), OBJECT);
  EXPECT_FALSE(blank.isBlank("Customer"));
}

TEST_F(BusinessObjectTest, SetVerbChecksTheSpec) {
  SpecBuilder("Thing").verbs({"Retrieve"}).attr("Id", STRING).registerSpec();
  BusinessObject bo("Thing");
  bo.setVerb("Retrieve");
  bo.setVerb("Create");
  bo.setVerb("retrieve");
  EXPECT_EQ(params(62), (Strings{"Create,Thing", "retrieve,Thing"}));
  EXPECT_EQ(typeOf(62), 6);
  EXPECT_STREQ(bo.getVerb(), "Retrieve");
  bo.setVerb(nullptr);
  EXPECT_EQ(bo.getVerb(), nullptr);
}

TEST_F(BusinessObjectTest, CompareSkipsLastAttributeAndUnsetValuesKeysEqualNeedsAllKeys) {
  std::unique_ptr<BusinessObject> a(make("Item", "A")), b(make("Item", "A"));
  set(*a, "ObjectEventId", "e1");
  set(*b, "ObjectEventId", "e2");
  set(*a, "Note", "only here");
  EXPECT_EQ(a->compare(b.get()), 0);
  EXPECT_TRUE(a->keysEqual(b.get()));
  set(*b, "Qty", "1");
  EXPECT_EQ(a->compare(b.get()), 0);
  set(*a, "Qty", "2");
  EXPECT_EQ(a->compare(b.get()), -1);
  EXPECT_EQ(a->compare(nullptr), -1);

  // Children: a difference inside the single child or the array counts.
  auto x = order("L1"), y = order("L1");
  x->setAttrValue("Customer", make("Customer", "C"), OBJECT);
  y->setAttrValue("Customer", make("Customer", "C"), OBJECT);
  EXPECT_EQ(x->compare(y.get()), 0);
  set(*customer(*y), "Name", "Bob");
  set(*customer(*x), "Name", "Ann");
  EXPECT_EQ(x->compare(y.get()), -1);
  set(*customer(*y), "Name", "Ann");
  set(*lines(*x)->getObject(0), "Qty", "3");
  set(*lines(*y)->getObject(0), "Qty", "4");
  EXPECT_EQ(x->compare(y.get()), -1);

  // Keys: an unset key never matches, case counts, another layout differs;
  // a type without keys matches any object of its type.
  std::unique_ptr<BusinessObject> unset(make("Item", nullptr));
  EXPECT_FALSE(a->keysEqual(unset.get()));
  EXPECT_FALSE(unset->keysEqual(unset.get()));
  EXPECT_FALSE(a->keysEqual(nullptr));
  set(*b, "ItemId", "a");
  EXPECT_FALSE(a->keysEqual(b.get()));
  SpecBuilder("Keyless").attr("A", STRING).attr("B", STRING).registerSpec();
  BusinessObject k1("Keyless"), k2("Keyless");
  set(k1, "A", "x");
  EXPECT_TRUE(k1.keysEqual(&k2));
  EXPECT_FALSE(a->keysEqual(&k1));
}

TEST_F(BusinessObjectTest, DuplicateIsDeepAndIndependent) {
  agent().setLocale(std::string("fr_FR"));
  BusinessObject order("Order", "de_DE");
  set(order, "OrderId", "O1");
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
  // The same record (values, verbs, delta flags, children) but the default
  // locale; no application data.
  std::string expected = record(order);
  expected.replace(expected.find("de_DE"), 5, "fr_FR");
  EXPECT_EQ(record(*copy), expected);
  EXPECT_EQ(copy->compare(&order), 0);
  EXPECT_EQ(copy->getAppSpecificInfo(), nullptr);
  EXPECT_EQ(copy->getClientData(), nullptr);
  EXPECT_EQ(copy->getAttrValue("Status"), BLANK_VALUE);
  EXPECT_TRUE(lines(*copy)->isDelta());
  EXPECT_EQ(customer(*copy)->getParent(), copy.get());
  EXPECT_EQ(lines(*copy)->getObject(0)->getParent(), copy.get());
  EXPECT_NE(customer(*copy), customer(order));
  EXPECT_NE(copy->getAttrValue(0), order.getAttrValue(0));
  set(*lines(*copy)->getObject(0), "Qty", "5");
  EXPECT_EQ(text(*lines(order)->getObject(0), "Qty"), "<ignore>");

  // The verb text "null" does not survive a copy.
  SpecBuilder("Verbal").verbs({"null"}).attr("Id", STRING).registerSpec();
  BusinessObject verbal("Verbal");
  verbal.setVerb("null");
  ASSERT_STREQ(verbal.getVerb(), "null");
  EXPECT_EQ(std::unique_ptr<BusinessObject>(verbal.duplicate())->getVerb(), nullptr);
}

TEST_F(BusinessObjectTest, SetAttrValuesAndCopyFromLeaveDisplacedChildrenToTheCaller) {
  auto source = order("N1");
  source->setAttrValue("Customer", make("Customer", "C9"), OBJECT);
  source->setDelta(true);
  auto target = order("OLD1 OLD2", "T");
  set(*target, "Status", "old");
  target->setAttrValue("Customer", make("Customer", "C0"), OBJECT);
  // The caller keeps what the copy displaces: still intact after it, and
  // deleted here exactly once.
  std::unique_ptr<BusObjArray> oldLines(lines(*target));
  std::unique_ptr<BusinessObject> oldCustomer(customer(*target));
  ASSERT_TRUE(target->copyFrom(*source));
  EXPECT_NE(lines(*target), oldLines.get());
  EXPECT_EQ(keys(oldLines.get()), "OLD1 OLD2 ");
  EXPECT_EQ(text(*oldCustomer, "CustId"), "C0");
  EXPECT_TRUE(target->isDelta());
  EXPECT_EQ(keys(lines(*target)), "N1 ");
  EXPECT_EQ(lines(*target)->getObject(0)->getParent(), target.get());
  EXPECT_EQ(text(*customer(*target), "CustId"), "C9");
  EXPECT_EQ(text(*target, "Status"), "<ignore>");  // simple slots follow the source

  // Copying an object into itself keeps everything intact; setAttrValues of
  // its own slots displaces the originals, which the caller then holds.
  ASSERT_TRUE(target->copyFrom(*target));
  std::unique_ptr<BusObjArray> ownLines(lines(*target));
  std::unique_ptr<BusinessObject> ownCustomer(customer(*target));
  target->setAttrValues(target->getAttrValues());
  EXPECT_NE(lines(*target), ownLines.get());
  EXPECT_EQ(keys(ownLines.get()), "N1 ");
  EXPECT_EQ(keys(lines(*target)), "N1 ");
  EXPECT_EQ(text(*customer(*target), "CustId"), "C9");
  EXPECT_FALSE(target->copyFrom(BusinessObject("Customer")));
}

TEST_F(BusinessObjectTest, DumpWritesExactTextAndRefusesShortBuffers) {
  BusinessObject order("Order");
  set(order, "OrderId", "O1");
  order.setAttrValue("Status", BLANK_VALUE, STRING);
  order.setVerb("Create");
  BusinessObject* item = make("Item", "L1");
  item->setDelta(true);
  order.setAttrValue("Lines", item, OBJECT);
  const std::string expected =
      "\nBusiness Object Dump\nName: Order\nVerb: Create \n Type: AfterImage\n"
      "\nAttr 0: OrderId = O1\nAttr 1: Status = -- Blank --"
      "\nBusiness Object Dump\nName: Item\nVerb: NULL \n Type: Delta\n"
      "\nAttr 0: ItemId = L1\nAttr 1: Qty = -- VqIgnore --\nAttr 2: Note = -- VqIgnore --"
      "\nAttr 3: ObjectEventId = -- VqIgnore --\nAttr 4: ObjectEventId = -- VqIgnore --";
  std::vector<char> buffer(expected.size() + 1);
  EXPECT_EQ(order.dump(buffer.data(), static_cast<int>(buffer.size())),
            static_cast<int>(expected.size()));
  EXPECT_EQ(std::string(buffer.data()), expected);

  // One byte short: what fitted is kept and terminated, nothing is written
  // past the size.
  const int oneShort = static_cast<int>(expected.size());
  std::vector<char> small(expected.size() + 8, '#');
  EXPECT_EQ(order.dump(small.data(), oneShort), -1);
  EXPECT_LT(std::strlen(small.data()), expected.size());
  EXPECT_EQ(expected.compare(0, std::strlen(small.data()), small.data()), 0);
  EXPECT_EQ(small[static_cast<std::size_t>(oneShort)], '#');
  EXPECT_EQ(order.dump(nullptr, 100), 0);
  EXPECT_EQ(order.dump(small.data(), 10), -1);
  EXPECT_EQ(order.dump(small.data(), 0), -1);
}

TEST_F(BusinessObjectTest, NewAttrValueAndDefaults) {
  SpecBuilder spec("Defaults");
  spec.attr("Plain", STRING).maxLength(10).defaultValue("dflt");
  spec.attr("Blank", STRING).defaultValue(BLANK_VALUE);
  spec.attr("Child", "Customer", CARD_SINGLE, "2.0.0").registerSpec();
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

}  // namespace
}  // namespace hbconnector::test
