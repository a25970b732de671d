#include <memory>
#include <string>

#include "busobj/model_fixture.hpp"

namespace hbconnector::test {
namespace {

using BusObjArrayTest = ModelTest;

TEST_F(BusObjArrayTest, GrowsInStepsOf25AndKeepsOrder) {
  BusObjArray array(nullptr);
  EXPECT_EQ(array.getCapacity(), 25);
  std::string expected;
  for (int i = 0; i < 26; ++i) {
    const std::string key = "K" + std::to_string(i);
    array.addObject(make("Item", key.c_str()));
    expected += key + " ";
  }
  array.addObject(nullptr);
  EXPECT_EQ(array.getObjectCount(), 26);
  EXPECT_EQ(array.getCapacity(), 50);
  EXPECT_EQ(keys(&array), expected);

  array.removeAll();
  EXPECT_EQ(array.getObjectCount(), 0);
  EXPECT_EQ(array.getCapacity(), 25);
}

TEST_F(BusObjArrayTest, InsertRemoveAndGetBounds) {
  BusObjArray array(nullptr);
  EXPECT_EQ(array.insertObjectAt(0, make("Item", "B")), 0);
  EXPECT_EQ(array.insertObjectAt(1, make("Item", "C")), 0);  // at count: appends
  EXPECT_EQ(array.insertObjectAt(0, make("Item", "A")), 0);
  EXPECT_EQ(array.insertObjectAt(1, nullptr), 0);
  EXPECT_EQ(keys(&array), "A - B C ");

  BusinessObject* stray = make("Item", "X");
  EXPECT_EQ(array.insertObjectAt(5, stray), -1);
  EXPECT_EQ(array.insertObjectAt(-1, stray), -1);
  delete stray;
  EXPECT_EQ(array.getObjectCount(), 4);
  EXPECT_EQ(array.getObject(4), nullptr);
  EXPECT_EQ(array.getObject(-1), nullptr);

  EXPECT_EQ(array.removeObjectAt(1), 0);
  EXPECT_EQ(array.removeObjectAt(3), -1);
  EXPECT_EQ(array.removeObjectAt(-1), -1);
  EXPECT_EQ(keys(&array), "A B C ");

  BusObjArray single(nullptr);
  single.addObject(make("Item", "only"));
  EXPECT_EQ(single.removeObjectAt(0), 0);
  EXPECT_EQ(single.getObjectCount(), 0);
  EXPECT_EQ(single.getObject(0), nullptr);
}

TEST_F(BusObjArrayTest, SetObjectAtGrowsReplacesAndRefusesNegativeIndexes) {
  BusObjArray array(nullptr);
  array.addObject(make("Item", "A"));
  BusinessObject* far = make("Item", "F");
  EXPECT_EQ(array.setObjectAt(4, far), far);
  EXPECT_EQ(array.getObjectCount(), 5);
  EXPECT_EQ(keys(&array), "A - - - F ");

  BusinessObject* beyond = make("Item", "Z");
  EXPECT_EQ(array.setObjectAt(60, beyond), beyond);
  EXPECT_EQ(array.getObjectCount(), 61);
  EXPECT_EQ(array.getCapacity(), 75);

  // Replacing destroys the old element; storing the same one again does not.
  EXPECT_NE(array.setObjectAt(0, make("Item", "B")), nullptr);
  EXPECT_EQ(array.setObjectAt(4, far), far);
  EXPECT_EQ(keys(&array).substr(0, 10), "B - - - F ");

  BusinessObject* negative = make("Item", "N");
  EXPECT_EQ(array.setObjectAt(-1, negative), nullptr);
  EXPECT_EQ(array.getObjectCount(), 61);
  delete negative;
}

TEST_F(BusObjArrayTest, FindByKeysAndPositionalCompare) {
  BusObjArray ab(nullptr);
  BusObjArray ba(nullptr);
  ab.addObject(make("Item", "A"));
  ab.addObject(make("Item", "B"));
  ba.addObject(make("Item", "B"));
  ba.addObject(make("Item", "A"));
  std::unique_ptr<BusinessObject> probe(make("Item", "B"));
  EXPECT_EQ(ab.findByKeys(probe.get()), 1);
  EXPECT_EQ(ab.findByKeys(nullptr), -1);
  ab.addObject(make("Item", "B"));
  EXPECT_EQ(ab.findByKeys(probe.get()), 1);  // the first match
  EXPECT_EQ(ab.removeObjectAt(2), 0);

  EXPECT_EQ(ab.compare(&ba), -1);
  EXPECT_EQ(ab.compare(nullptr), -1);
  BusObjArray ab2(nullptr);
  ab2.addObject(make("Item", "A"));
  ab2.addObject(make("Item", "B"));
  EXPECT_EQ(ab.compare(&ab2), 0);
  ab2.addObject(make("Item", "C"));
  EXPECT_EQ(ab.compare(&ab2), -1);

  // A null position matches only a null position.
  BusObjArray withHole(nullptr);
  withHole.setObjectAt(1, make("Item", "B"));
  BusObjArray other(nullptr);
  other.addObject(make("Item", "A"));
  other.addObject(make("Item", "B"));
  EXPECT_EQ(withHole.compare(&other), -1);
  EXPECT_EQ(other.compare(&withHole), -1);
  BusObjArray hole2(nullptr);
  hole2.setObjectAt(1, make("Item", "B"));
  EXPECT_EQ(withHole.compare(&hole2), 0);
}

}  // namespace
}  // namespace hbconnector::test
