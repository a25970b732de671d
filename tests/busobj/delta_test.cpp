#include <memory>
#include <string>

#include "busobj/model_fixture.hpp"

namespace hbconnector::test {
namespace {

using DeltaTest = ModelTest;

TEST_F(DeltaTest, MarkVerbAndMarkVerbsAgainstLabelChildrenByKeys) {
  auto bo = order("L1 L2");
  bo->setAttrValue("Customer", make("Customer", "C"), OBJECT);
  bo->markVerb("Delete");
  EXPECT_EQ(verbOf(bo.get()), "Delete");
  EXPECT_EQ(verbOf(customer(*bo)), "Delete");
  EXPECT_EQ(verbs(lines(*bo)), "Delete Delete ");

  auto newer = order("A B"), older = order("B C");
  set(*lines(*older)->getObject(0), "Qty", "1");
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

  // In reverse, Create and Delete change places and matched elements are
  // replaced by copies of the old ones.
  lines(*older)->getObject(0)->setVerb("Retrieve");
  auto reverse = order("A B");
  BusObjArray* mine = lines(*reverse);
  BusinessObject* originalB = mine->getObject(1);
  mine->markVerbsAgainst(lines(*older), reverse.get(), true);
  EXPECT_EQ(keys(mine), "A B C ");
  EXPECT_EQ(verbs(mine), "Delete Retrieve Create ");
  EXPECT_NE(mine->getObject(1), originalB);
  EXPECT_EQ(mine->getObject(1)->getParent(), reverse.get());
  EXPECT_EQ(mine->getObject(2)->getParent(), reverse.get());
}

TEST_F(DeltaTest, MarkVerbsAgainstHandlesSingleChildrenOnEitherSide) {
  auto newer = order(""), older = order("L1 L2");
  older->setAttrValue("Customer", make("Customer", "C"), OBJECT);
  ASSERT_TRUE(newer->markVerbsAgainst(older.get()));
  ASSERT_NE(customer(*newer), nullptr);
  EXPECT_NE(customer(*newer), customer(*older));
  EXPECT_EQ(verbOf(customer(*newer)), "Delete");
  EXPECT_EQ(customer(*newer)->getParent(), newer.get());
  EXPECT_EQ(verbs(lines(*newer)), "Delete Delete ");
  EXPECT_EQ(verbOf(customer(*older)), "<null>");

  auto fresh = order("L9"), empty = order("");
  fresh->setAttrValue("Customer", make("Customer", "C"), OBJECT);
  ASSERT_TRUE(fresh->markVerbsAgainst(empty.get()));
  EXPECT_EQ(verbOf(customer(*fresh)), "Create");
  EXPECT_EQ(verbs(lines(*fresh)), "Create ");
}

TEST_F(DeltaTest, MergeDeltaFoldsValuesAndChildren) {
  auto after = order("L1 L2");
  set(*after, "Status", "open");
  set(*after, "ObjectEventId", "e1");
  set(*lines(*after)->getObject(0), "Qty", "1");
  after->setAttrValue("Customer", make("Customer", "C1"), OBJECT);

  // Other keys: nothing changes.
  auto other = order("L2", "O2");
  set(*other, "Status", "closed");
  EXPECT_EQ(after->mergeDelta(other.get()), -1);
  EXPECT_EQ(after->mergeDelta(nullptr), -1);
  EXPECT_EQ(verbOf(after.get()), "<null>");
  EXPECT_EQ(text(*after, "Status"), "open");
  EXPECT_EQ(keys(lines(*after)), "L1 L2 ");

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

  // A full array is marked against in reverse: the matched element is the
  // image's copy, with the image's (absent) verb.
  auto ab = order("A B"), bc = order("B C");
  ASSERT_EQ(ab->mergeDelta(bc.get()), 0);
  EXPECT_EQ(keys(lines(*ab)), "A B C ");
  EXPECT_EQ(verbs(lines(*ab)), "Delete <null> Create ");
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
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(lines(*retrieved)->getObject(i)->getParent(), retrieved.get());
  }
  // A full child image replaces every retrieved child.
  ASSERT_EQ(retrieved->applyDelta(order("L7").get()), 0);
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
  set(*customer(*changing), "ObjectEventId", "e");
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
