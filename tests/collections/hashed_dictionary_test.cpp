#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hbconnector/collections.hpp"
#include "support/allocation_count.hpp"

namespace {

// A name key that counts its destructions.
class CountedName : public NameItem {
 public:
  CountedName(const char* name, int* destroyed) : NameItem(name), destroyed_(destroyed) {}
  ~CountedName() override { ++*destroyed_; }

 private:
  int* destroyed_;
};

TEST(HashedDictionaryTest, InsertKeepsThePresentKeyAndRemoveAndClearDeleteKeysOnly) {
  int destroyed = 0;
  int first = 1, second = 2;
  {
    HashedDictionary table;
    auto* stored = new CountedName("Customer", &destroyed);
    table.insertKeyAndValue(stored, &first);
    table.insertKeyAndValue(new CountedName("Customer", &destroyed), &second);
    EXPECT_EQ(destroyed, 1);  // the offered duplicate key
    EXPECT_EQ(table.entries(), 1u);
    const HashedItem* key = nullptr;
    void* value = nullptr;
    ASSERT_TRUE(table.findKeyAndValue(NameView("Customer"), &key, &value));
    EXPECT_EQ(key, stored);
    EXPECT_EQ(value, &second);
    // Offering the stored key itself again must not free it.
    table.insertKeyAndValue(stored, &first);
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(table.findValue(NameView("Customer")), &first);
    table.insertKeyAndValue(new CountedName("customer", &destroyed), &second);
    EXPECT_EQ(table.findValue(NameView("customer")), &second);
    EXPECT_EQ(table.findValue(NameView("CUSTOMER")), nullptr);
  }
  // The dictionary deleted both remaining keys and none of the values.
  EXPECT_EQ(destroyed, 3);

  destroyed = 0;
  std::vector<int> values(50);
  HashedDictionary table;
  for (int i = 0; i < 50; ++i) {
    table.insertKeyAndValue(new CountedName(("Spec" + std::to_string(i)).c_str(), &destroyed),
                            &values[i]);
  }
  void* value = nullptr;
  EXPECT_TRUE(table.remove(NameView("Spec7"), &value));
  EXPECT_EQ(value, &values[7]);
  EXPECT_EQ(destroyed, 1);
  EXPECT_FALSE(table.remove(NameView("Spec7")));
  for (int i = 0; i < 50; ++i) {
    const std::string name = "Spec" + std::to_string(i);
    EXPECT_EQ(table.findValue(NameView(name.c_str())), i == 7 ? nullptr : &values[i]);
  }
  // first/next and forEach walk the same entries in the same order.
  std::vector<void*> walked, visited;
  const HashedItem* key = nullptr;
  for (bool more = table.first(&key, &value); more; more = table.next(&key, &value)) {
    walked.push_back(value);
  }
  table.forEach([&](const HashedItem&, void* v) { visited.push_back(v); });
  EXPECT_EQ(walked.size(), 49u);
  EXPECT_EQ(walked, visited);
  table.clear();
  EXPECT_EQ(destroyed, 50);
  EXPECT_FALSE(table.first(&key, &value));
}

TEST(HashedDictionaryTest, NameViewLookupDoesNotAllocate) {
  if (!hbconnector::test::kCountsAllocations) {
    GTEST_SKIP() << "allocations are not counted under AddressSanitizer";
  }
  HashedDictionary table;
  int value = 0;
  table.insertKeyAndValue(new NameItem("A rather long business object name"), &value);
  const long before = hbconnector::test::allocationCount();
  void* found = table.findValue(NameView("A rather long business object name"));
  const bool present = table.contains(NameView("Missing"));
  const long after = hbconnector::test::allocationCount();
  EXPECT_EQ(found, &value);
  EXPECT_FALSE(present);
  EXPECT_EQ(after, before);
}

}  // namespace
