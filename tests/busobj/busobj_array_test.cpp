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

TEST_F(BusObjArrayTest, InsertRemoveSetAndGetBounds) {
  BusObjArray array(nullptr);
  EXPECT_EQ(array.insertObjectAt(0, make("Item", "B")), 0);
  EXPECT_EQ(array.insertObjectAt(1, make("Item", "C")), 0);  // at count: appends
  EXPECT_EQ(array.insertObjectAt(0, make("Item", "A")), 0);
  EXPECT_EQ(array.insertObjectAt(1, nullptr), 0);
  EXPECT_EQ(keys(&array), "A - B C ");
  std::unique_ptr<BusinessObject> stray(make("Item", "X"));
  EXPECT_EQ(array.insertObjectAt(5, stray.get()), -1);
  EXPECT_EQ(array.insertObjectAt(-1, stray.get()), -1);
  EXPECT_EQ(array.setObjectAt(-1, stray.get()), nullptr);
  EXPECT_EQ(array.getObjectCount(), 4);
  EXPECT_EQ(array.getObject(4), nullptr);
  EXPECT_EQ(array.getObject(-1), nullptr);
  EXPECT_EQ(array.removeObjectAt(1), 0);
  EXPECT_EQ(array.removeObjectAt(3), -1);
  EXPECT_EQ(array.removeObjectAt(-1), -1);
  EXPECT_EQ(keys(&array), "A B C ");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(array.removeObjectAt(0), 0);
  EXPECT_EQ(array.getObjectCount(), 0);
  EXPECT_EQ(array.getObject(0), nullptr);

  // setObjectAt past the end grows with null slots.
  array.addObject(make("Item", "A"));
  BusinessObject* far = make("Item", "F");
  EXPECT_EQ(array.setObjectAt(4, far), far);
  EXPECT_EQ(keys(&array), "A - - - F ");
  BusinessObject* beyond = make("Item", "Z");
  EXPECT_EQ(array.setObjectAt(60, beyond), beyond);
  EXPECT_EQ(array.getObjectCount(), 61);
  EXPECT_EQ(array.getCapacity(), 75);
  // Replacing destroys the old element; storing the same one again does not.
  EXPECT_NE(array.setObjectAt(0, make("Item", "B")), nullptr);
  EXPECT_EQ(array.setObjectAt(4, far), far);
  EXPECT_EQ(keys(&array).substr(0, 10), "B - - - F ");
}

TEST_F(BusObjArrayTest, FindByKeysAndPositionalCompare) {
  auto array = [](std::initializer_list<const char*> keys) {
    auto result = std::make_unique<BusObjArray>(nullptr);
    int k = 0;
    for (const char* key : keys) result->setObjectAt(k++, key ? make("Item", key) : nullptr);
    return result;
  };
  auto ab = array({"A", "B", "B"}), ba = array({"B", "A"});
  std::unique_ptr<BusinessObject> probe(make("Item", "B"));
  EXPECT_EQ(ab->findByKeys(probe.get()), 1);  // the first match
  EXPECT_EQ(ab->findByKeys(nullptr), -1);
  EXPECT_EQ(ab->removeObjectAt(2), 0);
  EXPECT_EQ(ab->compare(ba.get()), -1);
  EXPECT_EQ(ab->compare(nullptr), -1);
  EXPECT_EQ(ab->compare(array({"A", "B"}).get()), 0);
  EXPECT_EQ(ab->compare(array({"A", "B", "C"}).get()), -1);
  // A null position matches only a null position.
  auto withHole = array({nullptr, "B"});
  EXPECT_EQ(withHole->compare(array({"A", "B"}).get()), -1);
  EXPECT_EQ(array({"A", "B"})->compare(withHole.get()), -1);
  EXPECT_EQ(withHole->compare(array({nullptr, "B"}).get()), 0);
}

}  // namespace
}  // namespace hbconnector::test
