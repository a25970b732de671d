#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "hbconnector/collections.hpp"

namespace {

// An item equal by id, with whatever hash the test chooses.
struct TestItem : HashedItem {
  TestItem(int id, std::uint32_t hash, int* destroyed = nullptr)
      : id(id), hashValue(hash), destroyed(destroyed) {}
  ~TestItem() override {
    if (destroyed != nullptr) ++*destroyed;
  }
  std::uint32_t hash() const override { return hashValue; }
  bool isEqual(const HashedItem& other) const override {
    const auto* item = dynamic_cast<const TestItem*>(&other);
    return item != nullptr && item->id == id;
  }
  int id;
  std::uint32_t hashValue;
  int* destroyed;
};

// A hash whose home in a table of 2^bits slots is `slot`: multiplying by the
// inverse of 0x9E3779B9 (found by Newton's iteration) undoes the Fibonacci step.
std::uint32_t hashForSlot(std::uint32_t slot, unsigned bits) {
  std::uint32_t inverse = 0x9E3779B9u;
  for (int i = 0; i < 5; ++i) inverse *= 2u - 0x9E3779B9u * inverse;
  return (slot << (32 - bits)) * inverse;
}

std::vector<int> iterationOrder(const HashedSet& set) {
  std::vector<int> ids;
  for (HashedItem* item = set.first(); item != nullptr; item = set.next()) {
    ids.push_back(static_cast<TestItem*>(item)->id);
  }
  return ids;
}

TEST(HashedSetTest, TableSizeAndGrowth) {
  EXPECT_EQ(HashedSet().slotCount(), 128u);
  for (auto [asked, slots] : {std::pair{65u, 256u}, {5u, 16u}, {8u, 16u}, {3u, 8u}, {0u, 2u}}) {
    EXPECT_EQ(HashedSet(asked).slotCount(), slots) << asked;
  }

  std::deque<TestItem> items;
  HashedSet set(64);
  for (int i = 0; i < 64; ++i) set.insert(&items.emplace_back(i, static_cast<std::uint32_t>(i)));
  EXPECT_EQ(set.slotCount(), 128u);
  set.insert(&items.emplace_back(64, 64u));
  EXPECT_EQ(set.slotCount(), 256u);
  EXPECT_EQ(set.entries(), 65u);
  for (const TestItem& item : items) EXPECT_EQ(set.find(item), &item);
}

TEST(HashedSetTest, FibonacciHomeSlotsAndDownwardProbing) {
  // Hash 1 has its home at the top 7 bits of 0x9E3779B9: slot 79 of 128.
  HashedSet big;
  TestItem below(1, hashForSlot(78, 7)), one(2, 1), above(3, hashForSlot(80, 7));
  for (TestItem* item : {&above, &one, &below}) big.insert(item);
  EXPECT_EQ(iterationOrder(big), (std::vector<int>{1, 2, 3}));

  // 16 slots; a collision goes to the next lower slot, and slot 0 wraps to 15.
  HashedSet set(8);
  TestItem a(1, hashForSlot(5, 4)), b(2, hashForSlot(5, 4)), c(3, hashForSlot(4, 4));
  TestItem d(4, hashForSlot(0, 4)), e(5, hashForSlot(0, 4));
  for (TestItem* item : {&a, &b, &c, &d, &e}) set.insert(item);
  EXPECT_EQ(iterationOrder(set), (std::vector<int>{4, 3, 2, 1, 5}));  // 0, 3, 4, 5, 15
}

TEST(HashedSetTest, NamesAreCaseSensitiveAndInsertNeverReplaces) {
  HashedSet set;
  NameItem first("Customer"), second("Customer"), other("customer");
  EXPECT_EQ(set.insert(&first), &first);
  EXPECT_EQ(set.insert(&second), &first);
  EXPECT_EQ(set.insert(&other), &other);
  EXPECT_EQ(set.entries(), 2u);
  EXPECT_EQ(set.find(NameView("Customer")), &first);
  EXPECT_EQ(set.find(NameView("CUSTOMER")), nullptr);

  // Identity hash, and a pointer whose hash equals a name's is still not that name.
  int target = 0;
  EXPECT_EQ(IdentityItem(&target).hash(),
            static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&target) >> 2));
  IdentityItem lookalike(reinterpret_cast<void*>(std::uintptr_t{first.hash()} << 2));
  ASSERT_EQ(lookalike.hash(), first.hash());
  EXPECT_EQ(set.insert(&lookalike), &lookalike);
  EXPECT_EQ(set.find(IdentityItem(lookalike.get())), &lookalike);
}

TEST(HashedSetTest, RemovalInsideAClusterKeepsEveryItemFindable) {
  // p home 5 at 5, q home 5 at 4, r home 3 at 3, s home 5 at 2. Removing q must
  // leave r (its path never reaches slot 4) yet still move s up past it.
  HashedSet set(8);
  TestItem p(1, hashForSlot(5, 4)), q(2, hashForSlot(5, 4)), r(3, hashForSlot(3, 4)),
      s(4, hashForSlot(5, 4));
  for (TestItem* item : {&p, &q, &r, &s}) set.insert(item);
  EXPECT_EQ(set.remove(TestItem(2, q.hash())), &q);
  EXPECT_EQ(set.remove(q), nullptr);
  EXPECT_EQ(set.entries(), 3u);
  for (TestItem* item : {&p, &r, &s}) EXPECT_EQ(set.find(*item), item);

  // A run across the wrap: d home 0 at 0, e home 0 at 15, f home 15 at 14,
  // g home 0 at 13. Removing d pulls each of the others up one slot.
  HashedSet wrap(8);
  TestItem d(1, hashForSlot(0, 4)), e(2, hashForSlot(0, 4)), f(3, hashForSlot(15, 4)),
      g(4, hashForSlot(0, 4));
  for (TestItem* item : {&d, &e, &f, &g}) wrap.insert(item);
  EXPECT_EQ(wrap.remove(d), &d);
  EXPECT_EQ(iterationOrder(wrap), (std::vector<int>{2, 4, 3}));
  for (TestItem* item : {&e, &f, &g}) EXPECT_EQ(wrap.find(*item), item);
}

TEST(HashedSetTest, RandomChangesAgreeWithAnOrderedSet) {
  // Few distinct hashes force long colliding runs, including runs that wrap.
  constexpr int kIds = 300;
  std::mt19937 random(20240611);
  std::deque<TestItem> items;
  for (int id = 0; id < kIds; ++id) {
    items.emplace_back(id, hashForSlot(random() % 8, 4) + (random() % 3 == 0 ? 1u : 0u));
  }
  HashedSet set(4);
  std::set<int> oracle;
  for (int step = 0; step < 6000; ++step) {
    TestItem& item = items[random() % kIds];
    if (random() % 3 != 0) {
      EXPECT_EQ(set.insert(&item), &item);
      oracle.insert(item.id);
    } else {
      EXPECT_EQ(set.remove(item), oracle.erase(item.id) ? &item : nullptr);
    }
    ASSERT_EQ(set.entries(), oracle.size());
    if (step % 50 != 0) continue;
    for (const TestItem& each : items) {
      ASSERT_EQ(set.contains(each), oracle.count(each.id) == 1) << "step " << step;
    }
    std::vector<int> visited = iterationOrder(set);
    ASSERT_EQ(std::multiset<int>(visited.begin(), visited.end()),
              std::multiset<int>(oracle.begin(), oracle.end()));
  }
}

TEST(HashedSetTest, DrainingVisitsEachItemOnce) {
  // Always the lowest occupied slot, also after an insert below the slots
  // already drained.
  HashedSet small(8);
  TestItem s1(1, hashForSlot(1, 4)), s3(3, hashForSlot(3, 4)), s4(4, hashForSlot(4, 4)),
      s6(6, hashForSlot(6, 4));
  for (TestItem* item : {&s6, &s4, &s3}) small.insert(item);
  EXPECT_EQ(small.removeFirst(), &s3);
  small.insert(&s1);
  for (TestItem* item : {&s1, &s4, &s6}) EXPECT_EQ(small.removeFirst(), item);
  EXPECT_EQ(small.removeFirst(), nullptr);

  HashedSet set(8);
  std::deque<TestItem> items;
  std::multiset<int> expected, drained, drainedByFirst;
  for (int id = 0; id < 60; ++id) {
    set.insert(&items.emplace_back(id, hashForSlot(static_cast<std::uint32_t>(id % 3), 4)));
    expected.insert(id);
  }
  while (HashedItem* item = set.removeFirst()) drained.insert(static_cast<TestItem*>(item)->id);
  EXPECT_EQ(drained, expected);
  // The same through first() and remove(), as owners of tables drain them.
  for (TestItem& item : items) set.insert(&item);
  while (HashedItem* item = set.first()) {
    ASSERT_EQ(set.remove(*item), item);
    drainedByFirst.insert(static_cast<TestItem*>(item)->id);
  }
  EXPECT_EQ(drainedByFirst, expected);
}

TEST(HashedSetTest, BulkOperations) {
  int destroyed = 0;
  HashedSet all, even, c;
  for (int id = 0; id < 10; ++id) {
    auto* item = new TestItem(id, static_cast<std::uint32_t>(id * 7), &destroyed);
    all.insert(item);
    if (id % 2 == 0) even.insert(item);
  }
  EXPECT_FALSE(all.isEqual(even));
  c.insertAll(even);
  EXPECT_TRUE(c.isEqual(even));
  c.insertAll(all);
  EXPECT_TRUE(all.isEqual(c));
  c.removeAll(even);
  EXPECT_EQ(iterationOrder(c).size(), 5u);
  all.forEach([&](HashedItem* item) {
    EXPECT_EQ(c.contains(*item), static_cast<TestItem*>(item)->id % 2 == 1);
  });
  c.removeAll(c);
  even.clear();
  EXPECT_EQ(c.first(), nullptr);
  EXPECT_EQ(even.first(), nullptr);
  EXPECT_EQ(destroyed, 0);
  all.clearAndDestroy();
  EXPECT_EQ(destroyed, 10);
  EXPECT_TRUE(all.isEmpty());
}

}  // namespace
