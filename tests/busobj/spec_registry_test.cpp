#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "hbconnector/business_object.hpp"
#include "hbconnector/collections.hpp"
#include "hbconnector/spec_registry.hpp"
#include "hbconnector/version.hpp"
#include "support/allocation_count.hpp"
#include "support/spec_builder.hpp"
#include "support/threads.hpp"

namespace hbconnector::test {
namespace {

// Specs the test owns and deletes at the end (tables never destroy specs).
class SpecPool {
 public:
  BusObjSpec* make(const std::string& name) {
    specs_.emplace_back(SpecBuilder(name).attr("Id", STRING).build());
    return specs_.back().get();
  }

 private:
  std::vector<std::unique_ptr<BusObjSpec>> specs_;
};

TEST(SpecRegistryTest, LookupsAreExactAndVersionBlindAndTablesNeverDestroySpecs) {
  SpecPool pool;
  auto table = std::make_unique<BusObjSpecTable>();
  BusObjSpec* first = pool.make("Order");
  BusObjSpec* second = pool.make("Order");
  BusObjSpec unnamed;
  for (BusObjSpec* spec : {first, second, static_cast<BusObjSpec*>(nullptr), &unnamed}) {
    table->addSpec(spec);  // null and unnamed specs are ignored
  }
  EXPECT_EQ(table->entries(), 1);
  EXPECT_EQ(table->findSpec("Order"), second);
  for (const char* other : {"order", "Order ", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(table->findSpec(other), nullptr);
  }
  EXPECT_EQ(table->findSpec("Order", "9.9.9"), second);
  EXPECT_EQ(table->findSpec("Order", Version(0, 0, 1)), second);
  EXPECT_EQ(table->findValue(String("Order")), second);

  BusObjSpec* renamed = pool.make("Purchase");
  table->replaceSpec(second, renamed);
  EXPECT_EQ(table->findSpec("Order"), nullptr);
  EXPECT_EQ(table->findSpec("Purchase"), renamed);
  table->removeSpec("Purchase", Version());
  table->removeSpec("Nothing", "1.0.0");
  EXPECT_EQ(table->entries(), 0);
  EXPECT_FALSE(table->remove(String("Purchase")));
  table.reset();  // the pool's deletes would double-free a spec the table deleted
  EXPECT_STREQ(first->getName(), "Order");
}

TEST(SpecRegistryTest, RegistryDestroysEachHeldSpecOnce) {
  auto registry = std::make_unique<BusObjSpecRegistry>();
  BusObjSpec* shared = SpecBuilder("Shared").build();
  registry->addSpec(shared);
  registry->insertKeyAndValue(String("Alias"), shared);  // held under two names
  registry->insertKeyAndValue(String("Empty"), nullptr);
  std::unique_ptr<BusObjSpec> replaced(SpecBuilder("Other").build());
  registry->addSpec(replaced.get());
  registry->addSpec(SpecBuilder("Other").build());
  std::unique_ptr<BusObjSpec> removed(SpecBuilder("Gone").build());
  registry->addSpec(removed.get());
  registry->removeSpec("Gone", "");
  EXPECT_EQ(registry->entries(), 4);
  // "Shared" deleted once, the second "Other" too (the sanitizer sees a double
  // delete or a leak); specs that left the registry stay alive.
  registry.reset();
  EXPECT_STREQ(replaced->getName(), "Other");
  EXPECT_STREQ(removed->getName(), "Gone");
}

TEST(SpecRegistryTest, RawOperationsIterationAndSnapshots) {
  SpecPool pool;
  BusObjSpecTable table;
  std::set<std::string> expected;
  for (int i = 0; i < 40; ++i) {
    const std::string name = "T" + std::to_string(i);
    table.insertKeyAndValue(String(name.c_str()), pool.make(name));
    if (i != 7) expected.insert(name);
  }
  EXPECT_TRUE(table.remove(String("T7")));
  std::set<std::string> seen;
  String name;
  BusObjSpec* spec = nullptr;
  for (bool more = table.first(&name, &spec); more; more = table.next(&name, &spec)) {
    EXPECT_STREQ(spec->getName(), name.c_str());
    EXPECT_TRUE(seen.insert(name.c_str()).second) << "visited twice: " << name.c_str();
  }
  EXPECT_EQ(seen, expected);
  EXPECT_FALSE(table.next(&name, &spec));

  std::unique_ptr<HashedDictionary> copy(table.snapshot());
  EXPECT_EQ(copy->entries(), expected.size());
  EXPECT_EQ(copy->findValue(NameView("T3")), table.findSpec("T3"));
  // assign takes name keys and skips keys that are not names.
  HashedDictionary replacement;
  replacement.insertKeyAndValue(new NameItem("Only"), table.findSpec("T1"));
  replacement.insertKeyAndValue(new IdentityItem(&replacement), table.findSpec("T2"));
  table.assign(replacement);
  EXPECT_EQ(table.entries(), 1);
  EXPECT_EQ(table.findSpec("Only"), copy->findValue(NameView("T1")));
  EXPECT_EQ(table.findSpec("T3"), nullptr);

  // Remove and re-add repeatedly among names that keep arriving, so absent
  // entries pile up between present ones across rebuilds.
  std::vector<BusObjSpec*> specs;
  for (int i = 0; i < 1000; ++i) specs.push_back(pool.make("S" + std::to_string(i)));
  for (BusObjSpec* each : specs) table.addSpec(each);
  for (int round = 0; round < 5; ++round) {
    for (int i = round; i < 1000; i += 3) table.removeSpec(specs[i]->getName(), "");
    for (int i = round; i < 1000; i += 3) {
      EXPECT_EQ(table.findSpec(specs[i]->getName()), nullptr);
      table.addSpec(specs[i]);
    }
  }
  EXPECT_EQ(table.entries(), 1001);
  for (BusObjSpec* each : specs) ASSERT_EQ(table.findSpec(each->getName()), each);
}

TEST(SpecRegistryTest, ConcurrentLookupsWhileAddingAndReplacing) {
  SpecPool pool;
  BusObjSpecTable table;
  constexpr int kInitial = 64, kAdded = 2000;
  std::vector<BusObjSpec*> specs, replacements;
  for (int i = 0; i < kInitial + kAdded; ++i) specs.push_back(pool.make("N" + std::to_string(i)));
  for (int i = 0; i < kInitial; ++i) replacements.push_back(pool.make("N" + std::to_string(i)));
  for (int i = 0; i < kInitial; ++i) table.addSpec(specs[i]);
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 8; ++t) {
    readers.emplace_back([&, t] {
      // Entries present from the start are always found (original or
      // replacement); a lookup never answers another name's spec.
      for (int i = t; !done.load(std::memory_order_acquire); ++i) {
        const int k = i % kInitial;
        BusObjSpec* found = table.findSpec(specs[k]->getName());
        if (found != specs[k] && found != replacements[k]) ++failures;
        BusObjSpec* added = table.findSpec(specs[kInitial + i % kAdded]->getName());
        if (added != nullptr && added != specs[kInitial + i % kAdded]) ++failures;
      }
    });
  }
  for (int i = 0; i < kAdded; ++i) {
    table.addSpec(specs[kInitial + i]);
    if (i % 50 == 0) table.addSpec(replacements[(i / 50) % kInitial]);
    if (i % 97 == 0) table.removeSpec(specs[kInitial + i]->getName(), "");
  }
  done.store(true, std::memory_order_release);
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(table.entries(), kInitial + kAdded - (kAdded + 96) / 97);
}

// Four sets of known names take turns being present (absent ones outnumber
// present three to one) with no allocation, while a reader races the churn.
TEST(SpecRegistryTest, RemovingAndAddingKnownNamesAgainAllocatesNothing) {
  SpecPool pool;
  BusObjSpecTable table;
  constexpr int kSets = 4, kNames = 40, kRounds = 2000;
  std::vector<BusObjSpec*> specs[kSets][2];  // [set][version]
  for (int set = 0; set < kSets; ++set) {
    for (int i = 0; i < kNames; ++i) {
      const std::string name = "S" + std::to_string(set) + "N" + std::to_string(i);
      specs[set][0].push_back(pool.make(name));
      specs[set][1].push_back(pool.make(name));
    }
  }
  BusObjSpec* none = nullptr;
  table.insertKeyAndValue(String("Null"), none);  // a present entry with a null spec
  for (int set = kSets - 1; set >= 0; --set) {
    for (BusObjSpec* spec : specs[set][0]) table.addSpec(spec);
    if (set != 0) {
      for (BusObjSpec* spec : specs[set][0]) table.removeSpec(spec->getName(), "");
    }
  }
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  std::thread reader([&] {
    for (int i = 0; !done.load(std::memory_order_acquire); ++i) {
      const int set = i % kSets, k = i / kSets % kNames;
      BusObjSpec* found = table.findSpec(specs[set][0][k]->getName());
      if (found != nullptr && found != specs[set][0][k] && found != specs[set][1][k]) ++failures;
    }
  });
  const long before = allocationCount();
  for (int round = 1; round <= kRounds; ++round) {
    const int in = round % kSets, out = (round - 1) % kSets, version = round / kSets % 2;
    for (BusObjSpec* spec : specs[out][0]) table.removeSpec(spec->getName(), "");
    for (BusObjSpec* spec : specs[out][0]) {
      table.removeSpec(spec->getName(), "");  // already gone: no change
      ASSERT_EQ(table.findSpec(spec->getName()), nullptr);
    }
    ASSERT_EQ(table.entries(), 1);
    for (BusObjSpec* spec : specs[in][version]) table.addSpec(spec);
  }
  const long allocations = allocationCount() - before;
  done.store(true, std::memory_order_release);
  reader.join();
  EXPECT_EQ(failures.load(), 0);
  if (kCountsAllocations) {
    EXPECT_EQ(allocations, 0);
  }
  // After the last round its set is present, with the specs that round added.
  constexpr int kLast = kRounds % kSets, kVersion = kRounds / kSets % 2;
  EXPECT_EQ(table.entries(), kNames + 1);
  for (int set = 0; set < kSets; ++set) {
    for (int i = 0; i < kNames; ++i) {
      EXPECT_EQ(table.findSpec(specs[set][0][i]->getName()),
                set == kLast ? specs[set][kVersion][i] : nullptr);
    }
  }
  // The entry with a null spec stayed present through the churn.
  EXPECT_TRUE(table.remove(String("Null")));
  EXPECT_FALSE(table.remove(String("Null")));
}

// Iteration walks the present entries in the order they were added, across
// rebuilds and however many absent names the table holds.
TEST(SpecRegistryTest, IterationFollowsTheOrderEntriesWereAdded) {
  SpecPool pool;
  BusObjSpecTable table;
  const auto name = [](int i) { return "N" + std::to_string(i); };
  for (int i = 0; i < 100; ++i) table.addSpec(pool.make(name(i)));
  table.addSpec(pool.make(name(5)));  // a replaced spec keeps its place
  for (int i = 10; i < 20; ++i) table.removeSpec(name(i).c_str(), "");
  table.addSpec(pool.make(name(12)));  // added again: last
  for (int i = 100; i < 3000; ++i) table.addSpec(pool.make(name(i)));
  for (int i = 100; i < 3000; ++i) table.removeSpec(name(i).c_str(), "");
  std::vector<std::string> expected;
  for (int i = 0; i < 100; ++i) {
    if (i < 10 || i >= 20) expected.push_back(name(i));
  }
  expected.push_back(name(12));
  std::vector<std::string> seen;
  String each;
  BusObjSpec* spec = nullptr;
  for (bool more = table.first(&each, &spec); more; more = table.next(&each, &spec)) {
    ASSERT_NE(spec, nullptr);
    EXPECT_STREQ(spec->getName(), each.c_str());
    seen.emplace_back(each.c_str());
  }
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(table.entries(), static_cast<int>(expected.size()));

  // Removing entries while a cursor is out breaks the rule, but the cursor
  // still hands out only present entries.
  ASSERT_TRUE(table.first(&each, &spec));
  EXPECT_STREQ(each.c_str(), "N0");
  table.removeSpec("N1", "");
  table.removeSpec("N2", "");
  ASSERT_TRUE(table.next(&each, &spec));
  EXPECT_STREQ(each.c_str(), "N3");
  EXPECT_STREQ(spec->getName(), "N3");
}

TEST(SpecRegistryTest, AddIfAbsentLetsExactlyOneOfManyRacingSpecsIn) {
  SpecPool pool;
  BusObjSpecTable table;
  EXPECT_EQ(table.addSpecIfAbsent(nullptr), nullptr);
  BusObjSpec* first = pool.make("Once");
  EXPECT_EQ(table.addSpecIfAbsent(first), first);
  EXPECT_EQ(table.addSpecIfAbsent(pool.make("Once")), first);
  EXPECT_EQ(table.findSpec("Once"), first);

  constexpr int kThreads = 8, kRounds = 200;
  for (int round = 0; round < kRounds; ++round) {
    const std::string name = "Race" + std::to_string(round);
    std::vector<BusObjSpec*> offered, answers(kThreads);
    for (int t = 0; t < kThreads; ++t) offered.push_back(pool.make(name));
    runTogether(kThreads, [&](int t) { answers[t] = table.addSpecIfAbsent(offered[t]); });
    BusObjSpec* held = table.findSpec(name.c_str());
    ASSERT_NE(std::find(offered.begin(), offered.end(), held), offered.end());
    for (BusObjSpec* answer : answers) ASSERT_EQ(answer, held) << name;
  }
  EXPECT_EQ(table.entries(), kRounds + 1);
}

TEST(SpecRegistryTest, TheLibraryRegistryIsOneInstanceAndCanBeReplaced) {
  RegistryGuard guard;
  BusObjSpecRegistry* registry = BusObjSpecRegistry::getInstance();
  EXPECT_EQ(registry, BusObjSpecRegistry::getInstance());
  BusObjSpec* spec = SpecBuilder("Global").build();
  guard.adopt(spec);
  HashedDictionary content;
  content.insertKeyAndValue(new NameItem("Global"), spec);
  BusObjSpecRegistry::replaceRegistry(content);
  EXPECT_EQ(registry->findSpec("Global"), spec);
  EXPECT_EQ(BusinessObject("Global").getSpec(), spec);
}

}  // namespace
}  // namespace hbconnector::test
