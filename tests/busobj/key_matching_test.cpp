// The key index must give exactly what the plain walk (findByKeys) gives.
#include <memory>
#include <random>
#include <string>

#include "busobj/model_fixture.hpp"
#include "hbconnector/string_message.hpp"

namespace hbconnector::test {
namespace {

bool hasVerb(const BusinessObject& bo, const char* verb) {
  return bo.getVerb() != nullptr && std::string(bo.getVerb()) == verb;
}

BusinessObject* copyWithParent(const BusinessObject& source, BusinessObject* parent) {
  BusinessObject* copy = source.duplicate();
  if (copy != nullptr) copy->setParent(parent);
  return copy;
}

// The plain algorithms, written from their description with findByKeys.
void plainMarkVerbsAgainst(BusObjArray& mine, const BusObjArray& old, BusinessObject* parent,
                           bool reverse) {
  const int newCount = mine.getObjectCount();
  const int oldCount = old.getObjectCount();
  std::vector<int> newMatch(newCount, -1), oldMatch(oldCount, -1);
  for (int k = 0; k < newCount; ++k) {
    BusinessObject* e = mine.getObject(k);
    if (e == nullptr) continue;
    const int j = old.findByKeys(e);
    if (j < 0) {
      e->setVerb(reverse ? "Delete" : "Create");
      continue;
    }
    newMatch[k] = j;
    oldMatch[j] = k;
    if (!hasVerb(*e, "Delete")) e->setVerb("Update");
    if (reverse) mine.setObjectAt(k, copyWithParent(*old.getObject(j), parent));
  }
  for (int j = 0; j < oldCount; ++j) {
    if (oldMatch[j] >= 0 || old.getObject(j) == nullptr) continue;
    BusinessObject* copy = copyWithParent(*old.getObject(j), parent);
    copy->setVerb(reverse ? "Create" : "Delete");
    mine.addObject(copy);
  }
  for (int k = 0; k < newCount; ++k) {
    if (newMatch[k] >= 0) mine.getObject(k)->markVerbsAgainst(old.getObject(newMatch[k]));
  }
}

// The delta algorithms differ only in what a matched element becomes.
void plainDelta(BusObjArray& mine, const BusObjArray& delta, BusinessObject* parent, bool apply) {
  for (int i = 0; i < delta.getObjectCount(); ++i) {
    BusinessObject* t = delta.getObject(i);
    if (t == nullptr) continue;
    const int j = mine.findByKeys(t);
    if (j < 0) {
      if (!hasVerb(*t, "Create")) t->setVerb("Create");
      mine.addObject(copyWithParent(*t, parent));
    } else if (hasVerb(*t, "Delete")) {
      if (apply) {
        mine.removeObjectAt(j);
      } else {
        mine.setObjectAt(j, copyWithParent(*t, parent));
      }
    } else if (t->isDelta() && apply) {
      mine.getObject(j)->applyDelta(t);
      mine.setObjectAt(j, copyWithParent(*mine.getObject(j), parent));
    } else if (t->isDelta()) {
      mine.getObject(j)->mergeDelta(t);
    } else if (apply) {
      mine.setObjectAt(j, copyWithParent(*t, parent));
    } else {
      BusinessObject* copy = t->duplicate();
      copy->markVerbsAgainst(mine.getObject(j));
      mine.setObjectAt(j, copy);
      copy->setParent(parent);
    }
  }
}

class KeyMatchingTest : public ModelTest {
 protected:
  void SetUp() override {
    ModelTest::SetUp();
    // The same layout as Item with other key flags: arrays that mix the two
    // cannot be indexed and must still match like findByKeys.
    SpecBuilder item("ItemNoKey");
    item.attr("ItemId", STRING).attr("Qty", INTEGER).attr("Note", STRING);
    item.attr("ObjectEventId", STRING).registerSpec();
  }

  // Up to 40 items with repeating keys; some keyless, null, deltas or Deletes.
  BusObjArray* randomArray(std::mt19937& random, bool mixSpecs) {
    auto* array = new BusObjArray(nullptr);
    const int n = static_cast<int>(random() % 40);
    for (int k = 0; k < n; ++k) {
      if (random() % 12 == 0) {
        array->setObjectAt(array->getObjectCount(), nullptr);
        continue;
      }
      const bool other = mixSpecs && random() % 8 == 0;
      auto* item = new BusinessObject(other ? "ItemNoKey" : "Item");
      if (random() % 10 != 0) {
        const std::string key = "K" + std::to_string(random() % 25);
        item->setAttrValue(0, const_cast<char*>(key.c_str()), STRING);
      }
      const std::string qty = std::to_string(random() % 1000);
      item->setAttrValue(1, const_cast<char*>(qty.c_str()), INTEGER);
      if (random() % 3 == 0) {
        const std::string note = "n" + std::to_string(random() % 100);
        item->setAttrValue(2, const_cast<char*>(note.c_str()), STRING);
      }
      if (random() % 4 == 0) item->setVerb("Delete");
      if (random() % 5 == 0) item->setVerb("Create");
      item->setDelta(random() % 2 == 0);
      array->addObject(item);
    }
    return array;
  }

  static BusObjArray* copyOf(const BusObjArray& array) {
    auto* copy = new BusObjArray(array.getSpec());
    for (int k = 0; k < array.getObjectCount(); ++k) {
      const BusinessObject* element = array.getObject(k);
      copy->setObjectAt(k, element != nullptr ? element->duplicate() : nullptr);
    }
    copy->setDelta(array.isDelta());
    return copy;
  }

  // Everything the operations can change in an array, as text.
  static std::string describe(const BusObjArray& array, const BusinessObject* parent) {
    std::string out = "count " + std::to_string(array.getObjectCount()) + " capacity " +
                      std::to_string(array.getCapacity()) + "\n";
    for (int k = 0; k < array.getObjectCount(); ++k) {
      const BusinessObject* element = array.getObject(k);
      if (element == nullptr) {
        out += "null\n";
        continue;
      }
      std::unique_ptr<StringMessage> record(element->toStringMessage());
      out += std::string(element->getName()) + " " + record->getText() +
             (element->getParent() == parent ? " own parent\n" : " other parent\n");
    }
    return out;
  }
};

TEST_F(KeyMatchingTest, RandomArraysEndAsWithThePlainSearch) {
  std::mt19937 random(20240611);
  for (int round = 0; round < 400; ++round) {
    const bool mixSpecs = round % 3 == 0;
    std::unique_ptr<BusObjArray> mine(randomArray(random, mixSpecs));
    std::unique_ptr<BusObjArray> other(randomArray(random, mixSpecs));
    std::unique_ptr<BusObjArray> plainMine(copyOf(*mine));
    std::unique_ptr<BusObjArray> plainOther(copyOf(*other));
    std::unique_ptr<BusinessObject> parent(make("Order", "O1"));
    const int op = round % 4;
    SCOPED_TRACE("round " + std::to_string(round) + " operation " + std::to_string(op));
    switch (op) {
      case 0:
      case 1:
        mine->markVerbsAgainst(other.get(), parent.get(), op == 1);
        plainMarkVerbsAgainst(*plainMine, *plainOther, parent.get(), op == 1);
        break;
      case 2:
        mine->mergeDelta(other.get(), parent.get());
        plainDelta(*plainMine, *plainOther, parent.get(), false);
        break;
      case 3:
        mine->applyDelta(other.get(), parent.get());
        plainDelta(*plainMine, *plainOther, parent.get(), true);
        break;
    }
    ASSERT_EQ(describe(*mine, parent.get()), describe(*plainMine, parent.get()));
    // The delta side may have had verbs set; it must match as well.
    ASSERT_EQ(describe(*other, nullptr), describe(*plainOther, nullptr));
  }
}

TEST_F(KeyMatchingTest, FirstOfRepeatedKeysIsMatchedAndRemovalsKeepTheCapacity) {
  // Retrieved: K1 K2 K1 K3 ... 30 elements. The delta removes K1 twice: the
  // first removal takes position 0, the second the other K1, as one by one.
  std::unique_ptr<BusinessObject> retrieved(make("Order", "O1"));
  for (int k = 0; k < 30; ++k) {
    const std::string key = k == 2 ? "K1" : "K" + std::to_string(k + 1);
    retrieved->setAttrValue("Lines", make("Item", key.c_str()), OBJECT);
  }
  std::unique_ptr<BusinessObject> delta(make("Order", "O1"));
  delta->setAttrValue("Lines", make("Item", "K1", "Delete"), OBJECT);
  delta->setAttrValue("Lines", make("Item", "K1", "Delete"), OBJECT);
  for (int k = 0; k < 21; ++k) {
    const std::string key = "N" + std::to_string(k);
    delta->setAttrValue("Lines", make("Item", key.c_str(), "Create"), OBJECT);
  }
  lines(*delta)->setDelta(true);
  ASSERT_EQ(lines(*retrieved)->getCapacity(), 50);
  retrieved->applyDelta(delta.get());
  const BusObjArray* result = lines(*retrieved);
  ASSERT_EQ(result->getObjectCount(), 30 - 2 + 21);
  EXPECT_EQ(text(*result->getObject(0), "ItemId"), "K2");
  EXPECT_EQ(text(*result->getObject(1), "ItemId"), "K4");
  EXPECT_EQ(text(*result->getObject(28), "ItemId"), "N0");
  // Removed first, 49 elements at most at once: the capacity stays 50, as
  // one by one, though 51 slots were in use before the removals closed up.
  EXPECT_EQ(result->getCapacity(), 50);
}

}  // namespace
}  // namespace hbconnector::test
