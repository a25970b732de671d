#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "busobj/model_fixture.hpp"

namespace hbconnector::test {
namespace {

// The longest identifier the library makes.
constexpr std::size_t kIdLimit = 259;

std::string hexAddress(const void* object) {
  char text[32];
  std::snprintf(text, sizeof text, "%" PRIxPTR, reinterpret_cast<std::uintptr_t>(object));
  return text;
}

class EventIdTest : public ModelTest {
 protected:
  void SetUp() override {
    ModelTest::SetUp();
    agent().setProperty("ConnectorName", "Conn");
  }

  // Checks "<prefix><index>_<seconds>_<hex address>" for a child and returns
  // the seconds.
  static void expectChildId(const BusinessObject& bo, const std::string& parentId, int index,
                            long before, long after) {
    const std::string id = text(bo, "ObjectEventId");
    const std::string head = parentId + "_" + std::to_string(index) + "_";
    ASSERT_EQ(id.compare(0, head.size(), head), 0) << id << " vs " << head;
    std::smatch match;
    const std::string rest = id.substr(head.size());
    ASSERT_TRUE(std::regex_match(rest, match, std::regex("([0-9]+)_([0-9a-f]+)"))) << id;
    const long seconds = std::stol(match[1]);
    EXPECT_GE(seconds, before);
    EXPECT_LE(seconds, after);
    EXPECT_EQ(match[2].str(), hexAddress(&bo));
  }
};

TEST_F(EventIdTest, RootIdIsConnectorSecondsIndexAndFullAddress) {
  BusinessObject order("Order");
  const long before = static_cast<long>(std::time(nullptr));
  order.setObjectEventId(7);
  const long after = static_cast<long>(std::time(nullptr));
  const std::string id = text(order, "ObjectEventId");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(id, match, std::regex("Conn_([0-9]+)_7_([0-9a-f]+)"))) << id;
  EXPECT_GE(std::stol(match[1]), before);
  EXPECT_LE(std::stol(match[1]), after);
  // All the digits of a 64-bit address, not only the low 32 bits.
  EXPECT_EQ(match[2].str(), hexAddress(&order));
  EXPECT_EQ(agent().callCount("getConfigProp ConnectorName"), 1);

  BusinessObject other("Order");
  other.setObjectEventId();
  EXPECT_TRUE(std::regex_match(text(other, "ObjectEventId"),
                               std::regex("Conn_[0-9]+_0_" + hexAddress(&other))));
}

TEST_F(EventIdTest, ChildrenExtendTheirParentsIdWithTheirPosition) {
  BusinessObject order("Order");
  auto* first = make("Item", "I1");
  auto* second = make("Item", "I2");
  auto* cust = make("Customer", "C1");
  order.setAttrValue("Lines", first, OBJECT);
  order.setAttrValue("Lines", second, OBJECT);
  order.setAttrValue("Customer", cust, OBJECT);
  const long before = static_cast<long>(std::time(nullptr));
  order.setObjectEventId();
  const long after = static_cast<long>(std::time(nullptr));
  const std::string rootId = text(order, "ObjectEventId");
  ASSERT_EQ(rootId.rfind("Conn_", 0), 0u);
  expectChildId(*first, rootId, 0, before, after);
  expectChildId(*second, rootId, 1, before, after);
  expectChildId(*cust, rootId, 0, before, after);
}

TEST_F(EventIdTest, ExistingIdsAreKeptAndBlankOnesReplaced) {
  BusinessObject order("Order");
  set(order, "ObjectEventId", "given");
  auto* kept = make("Item", "I1");
  set(*kept, "ObjectEventId", "mine");
  auto* blank = make("Item", "I2");
  blank->setAttrValue("ObjectEventId", BusinessObject::getBlankValue(), STRING);
  auto* empty = make("Item", "I3");
  set(*empty, "ObjectEventId", "");
  order.setAttrValue("Lines", kept, OBJECT);
  order.setAttrValue("Lines", blank, OBJECT);
  order.setAttrValue("Lines", empty, OBJECT);
  order.setObjectEventId();
  EXPECT_EQ(text(order, "ObjectEventId"), "given");
  EXPECT_EQ(text(*kept, "ObjectEventId"), "mine");
  EXPECT_EQ(text(*blank, "ObjectEventId").rfind("given_1_", 0), 0u);
  EXPECT_EQ(text(*empty, "ObjectEventId").rfind("given_2_", 0), 0u);
  // The root kept its id without asking for the connector name.
  EXPECT_EQ(agent().callCount("getConfigProp ConnectorName"), 0);
}

TEST_F(EventIdTest, TypeWithoutIdAttributeIsReportedAndItsChildrenStillGetIds) {
  SpecBuilder("Bare").attr("Id", STRING).key().attr("Lines", "Item", CARD_MULTIPLE).registerSpec();
  BusinessObject bare("Bare");
  auto* item = make("Item", "I1");
  bare.setAttrValue("Lines", make("Item", "I0"), OBJECT);
  bare.setAttrValue("Lines", item, OBJECT);
  agent().clearRecords();
  bare.setObjectEventId();
  EXPECT_EQ(params(73), (std::vector<std::string>{"-1,Unknown"}));
  ASSERT_EQ(params(72).size(), 1u);
  EXPECT_EQ(params(72)[0], "ObjectEventId,-1");
  // Without a parent id the child takes the root form with its position.
  EXPECT_TRUE(std::regex_match(text(*item, "ObjectEventId"),
                               std::regex("Conn_[0-9]+_1_" + hexAddress(item))));
}

TEST_F(EventIdTest, ChildObjectAttributeNamedLikeTheIdIsLeftAlone) {
  SpecBuilder("Odd")
      .attr("Id", STRING)
      .key()
      .attr("ObjectEventId", "Customer")
      .attr("End", STRING)
      .registerSpec();
  BusinessObject odd("Odd");
  auto* cust = make("Customer", "C1");
  odd.setAttrValue("ObjectEventId", cust, OBJECT);
  odd.setObjectEventId();
  EXPECT_EQ(odd.getAttrValue("ObjectEventId"), cust);
  // The child finds no text id in its parent and takes the root form.
  EXPECT_TRUE(std::regex_match(text(*cust, "ObjectEventId"),
                               std::regex("Conn_[0-9]+_0_" + hexAddress(cust))));
}

TEST_F(EventIdTest, LongIdsAreCutInFrontAndKeepTheirUniqueTail) {
  const std::string longName(254, 'N');
  agent().setProperty("ConnectorName", longName);
  BusinessObject order("Order");
  auto* first = make("Item", "I1");
  auto* second = make("Item", "I2");
  order.setAttrValue("Lines", first, OBJECT);
  order.setAttrValue("Lines", second, OBJECT);
  order.setObjectEventId(3);
  const std::string rootId = text(order, "ObjectEventId");
  EXPECT_LE(rootId.size(), kIdLimit);
  EXPECT_EQ(rootId.rfind("NNNN", 0), 0u);
  EXPECT_TRUE(std::regex_match(rootId, std::regex("N+_[0-9]+_3_" + hexAddress(&order)))) << rootId;
  // Children of a parent whose id fills the room are cut too.
  const std::string secondId = text(*second, "ObjectEventId");
  EXPECT_LE(secondId.size(), kIdLimit);
  EXPECT_TRUE(std::regex_match(secondId, std::regex("N+_1_[0-9]+_" + hexAddress(second))))
      << secondId;
  EXPECT_NE(text(*first, "ObjectEventId"), secondId);

  // A multi-byte character is never split: a parent id of 300 bytes of
  // two-byte characters leaves only whole characters before the tail.
  std::string accents;
  for (int i = 0; i < 150; ++i) accents += "\xC3\xA9";
  BusinessObject parent("Order");
  set(parent, "ObjectEventId", accents.c_str());
  auto* child = make("Item", "I3");
  parent.setAttrValue("Lines", child, OBJECT);
  parent.setObjectEventId();
  const std::string childId = text(*child, "ObjectEventId");
  EXPECT_LE(childId.size(), kIdLimit);
  const std::size_t tail = childId.find("_0_");
  ASSERT_NE(tail, std::string::npos);
  EXPECT_EQ(tail % 2, 0u);
  EXPECT_EQ(childId.substr(0, tail), accents.substr(0, tail));
  EXPECT_GE(childId.size(), kIdLimit - 1);
}

TEST_F(EventIdTest, InvalidObjectIsLeftAlone) {
  BusinessObject ghost("Nope");
  agent().clearRecords();
  ghost.setObjectEventId();
  EXPECT_TRUE(agent().generated().empty());
  EXPECT_EQ(agent().callCount("getConfigProp ConnectorName"), 0);
}

TEST_F(EventIdTest, ConcurrentCallersMakeWellFormedUniqueIds) {
  constexpr int kThreads = 8;
  constexpr int kOrders = 40;
  std::vector<std::vector<std::unique_ptr<BusinessObject>>> trees(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&trees, t] {
      for (int n = 0; n < kOrders; ++n) {
        auto order = std::make_unique<BusinessObject>("Order");
        for (int k = 0; k < 3; ++k) order->setAttrValue("Lines", make("Item", "I"), OBJECT);
        order->setObjectEventId(t);
        trees[t].push_back(std::move(order));
      }
    });
  }
  for (auto& thread : threads) thread.join();

  std::set<std::string> ids;
  for (int t = 0; t < kThreads; ++t) {
    for (const auto& order : trees[t]) {
      const std::string rootId = text(*order, "ObjectEventId");
      ASSERT_TRUE(std::regex_match(
          rootId, std::regex("Conn_[0-9]+_" + std::to_string(t) + "_" + hexAddress(order.get()))))
          << rootId;
      ids.insert(rootId);
      const BusObjArray* array = lines(*order);
      for (int k = 0; k < array->getObjectCount(); ++k) {
        const BusinessObject* item = array->getObject(k);
        const std::string id = text(*item, "ObjectEventId");
        ASSERT_TRUE(std::regex_match(
            id, std::regex(rootId + "_" + std::to_string(k) + "_[0-9]+_" + hexAddress(item))))
            << id;
        ids.insert(id);
      }
    }
  }
  EXPECT_EQ(ids.size(), static_cast<std::size_t>(kThreads * kOrders * 4));
}

}  // namespace
}  // namespace hbconnector::test
