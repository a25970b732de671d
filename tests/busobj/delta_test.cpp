#include <memory>
#include <string>

#include "busobj/model_fixture.hpp"

namespace hbconnector::test {
namespace {

class DeltaTest : public ModelTest {
 protected:
  // An order O1 whose Lines hold items with the given keys (space separated).
  static std::unique_ptr<BusinessObject> order(const std::string& lineKeys,
                                               const char* key = "O1") {
    std::unique_ptr<BusinessObject> bo(make("Order", key));
    std::size_t start = 0;
    while (start < lineKeys.size()) {
      std::size_t end = lineKeys.find(' ', start);
      if (end == std::string::npos) end = lineKeys.size();
      bo->setAttrValue("Lines", make("Item", lineKeys.substr(start, end - start).c_str()), OBJECT);
      start = end + 1;
    }
    return bo;
  }
  // The verbs of an array's elements, in order.
  static std::string verbs(const BusObjArray* array) {
    std::string out;
    for (int i = 0; array != nullptr && i < array->getObjectCount(); ++i) {
      out += verbOf(array->getObject(i)) + " ";
    }
    return out;
  }
};

TEST_F(DeltaTest, MarkVerbSetsTheWholeTree) {
  auto bo = order("L1 L2");
  bo->setAttrValue("Customer", make("Customer", "C"), OBJECT);
  bo->markVerb("Delete");
  EXPECT_EQ(verbOf(bo.get()), "Delete");
  EXPECT_EQ(verbOf(customer(*bo)), "Delete");
  EXPECT_EQ(verbs(lines(*bo)), "Delete Delete ");
}

TEST_F(DeltaTest, MarkVerbsAgainstLabelsChildrenByKeys) {
  auto newer = order("A B");
  auto older = order("B C");
  lines(*older)->getObject(0)->setAttrValue("Qty", const_cast<char*>("1"), INTEGER);
  ASSERT_TRUE(newer->markVerbsAgainst(older.get()));
  EXPECT_EQ(keys(lines(*newer)), "A B C ");
  EXPECT_EQ(verbs(lines(*newer)), "Create Update Delete ");
  EXPECT_EQ(lines(*newer)->getObject(2)->getParent(), newer.get());
  // The old image is only read.
  EXPECT_EQ(keys(lines(*older)), "B C ");
  EXPECT_EQ(verbs(lines(*older)), "<null> <null> ");

  // A "Delete" already on a matched element stays.
  auto again = order("B");
  lines(*again)->getObject(0)->setVerb("Delete");
  ASSERT_TRUE(again->markVerbsAgainst(*older));
  EXPECT_EQ(verbs(lines(*again)), "Delete Delete ");

  // Different keys: nothing changes.
  auto stranger = order("A", "O2");
  EXPECT_FALSE(stranger->markVerbsAgainst(older.get()));
  EXPECT_EQ(verbs(lines(*stranger)), "<null> ");
  EXPECT_FALSE(stranger->markVerbsAgainst(nullptr));
}

TEST_F(DeltaTest, MarkVerbsAgainstInReverseExchangesCreateAndDelete) {
  auto newer = order("A B");
  auto older = order("B C");
  lines(*older)->getObject(0)->setVerb("Retrieve");
  BusObjArray* mine = lines(*newer);
  BusinessObject* originalB = mine->getObject(1);
  mine->markVerbsAgainst(lines(*older), newer.get(), true);
  EXPECT_EQ(keys(mine), "A B C ");
  EXPECT_EQ(verbs(mine), "Delete Retrieve Create ");
  EXPECT_NE(mine->getObject(1), originalB);  // replaced by a copy of the old element
  EXPECT_EQ(mine->getObject(1)->getParent(), newer.get());
  EXPECT_EQ(mine->getObject(2)->getParent(), newer.get());
}

TEST_F(DeltaTest, MarkVerbsAgainstHandlesSingleChildrenOnEitherSide) {
  auto newer = order("");
  auto older = order("L1 L2");
  older->setAttrValue("Customer", make("Customer", "C"), OBJECT);
  ASSERT_TRUE(newer->markVerbsAgainst(older.get()));
  ASSERT_NE(customer(*newer), nullptr);
  EXPECT_NE(customer(*newer), customer(*older));
  EXPECT_EQ(verbOf(customer(*newer)), "Delete");
  EXPECT_EQ(customer(*newer)->getParent(), newer.get());
  EXPECT_EQ(verbs(lines(*newer)), "Delete Delete ");
  EXPECT_EQ(verbOf(customer(*older)), "<null>");

  auto fresh = order("L9");
  fresh->setAttrValue("Customer", make("Customer", "C"), OBJECT);
  auto empty = order("");
  ASSERT_TRUE(fresh->markVerbsAgainst(empty.get()));
  EXPECT_EQ(verbOf(customer(*fresh)), "Create");
  EXPECT_EQ(verbs(lines(*fresh)), "Create ");
}

TEST_F(DeltaTest, MergeDeltaWithOtherKeysChangesNothing) {
  auto after = order("L1");
  after->setVerb("Create");
  set(*after, "Status", "open");
  auto delta = order("L2", "O2");
  set(*delta, "Status", "closed");
  EXPECT_EQ(after->mergeDelta(delta.get()), -1);
  EXPECT_EQ(after->mergeDelta(nullptr), -1);
  EXPECT_EQ(verbOf(after.get()), "Create");
  EXPECT_EQ(text(*after, "Status"), "open");
  EXPECT_EQ(keys(lines(*after)), "L1 ");
}

TEST_F(DeltaTest, MergeDeltaFoldsValuesAndChildren) {
  auto after = order("L1 L2");
  set(*after, "Status", "open");
  set(*after, "ObjectEventId", "e1");
  set(*lines(*after)->getObject(0), "Qty", "1");
  after->setAttrValue("Customer", make("Customer", "C1"), OBJECT);

  auto delta = order("");
  delta->setAttrValue("ObjectEventId", BLANK_VALUE, STRING);
  BusinessObject* l1 = make("Item", "L1");
  set(*l1, "Qty", "5");
  l1->setDelta(true);
  delta->setAttrValue("Lines", l1, OBJECT);
  delta->setAttrValue("Lines", make("Item", "L3"), OBJECT);
  delta->setAttrValue("Lines", make("Item", "L2", "Delete"), OBJECT);
  lines(*delta)->setDelta(true);
  // A customer with other keys replaces the old one (which is released).
  delta->setAttrValue("Customer", make("Customer", "C2"), OBJECT);

  ASSERT_EQ(after->mergeDelta(delta.get()), 0);
  EXPECT_EQ(verbOf(after.get()), "Update");
  EXPECT_EQ(text(*after, "Status"), "open");  // unset in the delta: left alone
  EXPECT_TRUE(after->isBlank("ObjectEventId"));
  EXPECT_EQ(keys(lines(*after)), "L1 L2 L3 ");
  EXPECT_EQ(verbs(lines(*after)), "Update Delete Create ");
  EXPECT_EQ(text(*lines(*after)->getObject(0), "Qty"), "5");
  EXPECT_EQ(lines(*after)->getObject(2)->getParent(), after.get());
  EXPECT_EQ(verbOf(lines(*delta)->getObject(1)), "Create");  // the delta's element is marked
  EXPECT_EQ(text(*customer(*after), "CustId"), "C2");
  EXPECT_NE(customer(*after), customer(*delta));

  // A later full image of the same customer is marked against the old one.
  auto image = order("");
  image->setAttrValue("Customer", make("Customer", "C2"), OBJECT);
  set(*customer(*image), "Name", "Ann");
  ASSERT_EQ(after->mergeDelta(image.get()), 0);
  EXPECT_EQ(text(*customer(*after), "Name"), "Ann");
}

TEST_F(DeltaTest, MergeDeltaOfAFullArrayMarksAgainstItInReverse) {
  auto after = order("A B");
  auto image = order("B C");
  ASSERT_EQ(after->mergeDelta(image.get()), 0);
  EXPECT_EQ(keys(lines(*after)), "A B C ");
  // The matched element is the image's copy, with the image's (absent) verb.
  EXPECT_EQ(verbs(lines(*after)), "Delete <null> Create ");
}

TEST_F(DeltaTest, ArrayApplyDeltaRemovesReplacesAndAppends) {
  auto retrieved = order("L1 L2 L3");
  auto delta = order("");
  delta->setAttrValue("Lines", make("Item", "L2", "Delete"), OBJECT);
  delta->setAttrValue("Lines", make("Item", "L4"), OBJECT);
  BusinessObject* l1 = make("Item", "L1");
  set(*l1, "Qty", "9");
  l1->setDelta(true);
  delta->setAttrValue("Lines", l1, OBJECT);
  BusinessObject* l3 = make("Item", "L3");
  set(*l3, "Note", "x");
  delta->setAttrValue("Lines", l3, OBJECT);
  lines(*delta)->setDelta(true);

  ASSERT_EQ(retrieved->applyDelta(delta.get()), 0);
  EXPECT_EQ(verbOf(retrieved.get()), "Update");
  EXPECT_EQ(keys(lines(*retrieved)), "L1 L3 L4 ");
  EXPECT_EQ(verbs(lines(*retrieved)), "Update <null> Create ");
  EXPECT_EQ(text(*lines(*retrieved)->getObject(0), "Qty"), "9");
  EXPECT_EQ(text(*lines(*retrieved)->getObject(1), "Note"), "x");
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(lines(*retrieved)->getObject(i)->getParent(), retrieved.get());

  // A full child image replaces every retrieved child.
  auto full = order("L7");
  ASSERT_EQ(retrieved->applyDelta(full.get()), 0);
  EXPECT_EQ(keys(lines(*retrieved)), "L7 ");
}

TEST_F(DeltaTest, ObjectApplyDeltaStoresCopiesOfSingleChildren) {
  auto retrieved = order("");
  retrieved->setAttrValue("Customer", make("Customer", "C1"), OBJECT);
  set(*customer(*retrieved), "Name", "old");

  auto deleting = order("");
  deleting->setAttrValue("Customer", make("Customer", "C1", "Delete"), OBJECT);
  ASSERT_EQ(retrieved->applyDelta(deleting.get()), 0);
  EXPECT_EQ(verbOf(customer(*retrieved)), "Delete");
  EXPECT_NE(customer(*retrieved), customer(*deleting));
  EXPECT_EQ(text(*customer(*retrieved), "Name"), "<ignore>");

  // A delta child with matching keys is applied in place.
  set(*customer(*retrieved), "Name", "kept");
  BusinessObject* inPlace = customer(*retrieved);
  auto changing = order("");
  changing->setAttrValue("Customer", make("Customer", "C1"), OBJECT);
  customer(*changing)->setDelta(true);
  set(*customer(*changing), "CustId", "C1");
  customer(*changing)->setAttrValue("ObjectEventId", const_cast<char*>("e"), STRING);
  ASSERT_EQ(retrieved->applyDelta(changing.get()), 0);
  EXPECT_EQ(customer(*retrieved), inPlace);
  EXPECT_EQ(text(*inPlace, "Name"), "kept");
  EXPECT_EQ(text(*inPlace, "ObjectEventId"), "e");

  // A retrieved object without the child gets a copy.
  auto bare = order("");
  ASSERT_EQ(bare->applyDelta(changing.get()), 0);
  ASSERT_NE(customer(*bare), nullptr);
  EXPECT_EQ(customer(*bare)->getParent(), bare.get());
  EXPECT_EQ(bare->applyDelta(nullptr), -1);
}

}  // namespace
}  // namespace hbconnector::test
