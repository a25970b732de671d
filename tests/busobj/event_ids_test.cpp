#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <new>
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

// The serial field: lowercase hexadecimal, at most 16 digits.
const char kSerial[] = "[0-9a-f]{1,16}";

std::uint64_t serialOf(const std::string& id) {
  return std::stoull(id.substr(id.rfind('_') + 1), nullptr, 16);
}

class EventIdTest : public ModelTest {
 protected:
  void SetUp() override {
    ModelTest::SetUp();
    agent().setProperty("ConnectorName", "Conn");
  }

  // Checks "<prefix><index>_<seconds>_<serial>" for a child.
  static void expectChildId(const BusinessObject& bo, const std::string& parentId, int index,
                            long before, long after) {
    const std::string id = text(bo, "ObjectEventId");
    const std::string head = parentId + "_" + std::to_string(index) + "_";
    ASSERT_EQ(id.compare(0, head.size(), head), 0) << id << " vs " << head;
    std::smatch match;
    const std::string rest = id.substr(head.size());
    ASSERT_TRUE(std::regex_match(rest, match, std::regex(std::string("([0-9]+)_") + kSerial)))
        << id;
    const long seconds = std::stol(match[1]);
    EXPECT_GE(seconds, before);
    EXPECT_LE(seconds, after);
  }
};

TEST_F(EventIdTest, RootIdIsConnectorSecondsIndexAndSerial) {
  BusinessObject order("Order");
  const long before = static_cast<long>(std::time(nullptr));
  order.setObjectEventId(7);
  const long after = static_cast<long>(std::time(nullptr));
  const std::string id = text(order, "ObjectEventId");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(id, match, std::regex(std::string("Conn_([0-9]+)_7_") + kSerial)))
      << id;
  EXPECT_GE(std::stol(match[1]), before);
  EXPECT_LE(std::stol(match[1]), after);
  EXPECT_EQ(agent().callCount("getConfigProp ConnectorName"), 1);

  BusinessObject other("Order");
  other.setObjectEventId();
  const std::string otherId = text(other, "ObjectEventId");
  EXPECT_TRUE(std::regex_match(otherId, std::regex(std::string("Conn_[0-9]+_0_") + kSerial)));
  EXPECT_NE(serialOf(otherId), serialOf(id));
}

TEST_F(EventIdTest, EventsBuiltAtTheSameAddressInTheSameSecondGetDistinctIds) {
  // One event after the other in the same storage, as an allocator hands
  // out the memory of the previous event again.
  alignas(BusinessObject) unsigned char storage[sizeof(BusinessObject)];
  std::set<std::string> ids;
  long seconds = -1;
  int sameSecond = 0;
  for (int i = 0; i < 50; ++i) {
    auto* event = new (storage) BusinessObject("Order");
    const long now = static_cast<long>(std::time(nullptr));
    event->setObjectEventId();
    ids.insert(text(*event, "ObjectEventId"));
    event->~BusinessObject();
    sameSecond += now == seconds ? 1 : 0;
    seconds = now;
  }
  ASSERT_GT(sameSecond, 0);
  EXPECT_EQ(ids.size(), 50u);
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
                               std::regex(std::string("Conn_[0-9]+_1_") + kSerial)));
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
                               std::regex(std::string("Conn_[0-9]+_0_") + kSerial)));
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
  EXPECT_TRUE(std::regex_match(rootId, std::regex(std::string("N+_[0-9]+_3_") + kSerial)))
      << rootId;
  // Children of a parent whose id fills the room are cut too.
  const std::string secondId = text(*second, "ObjectEventId");
  EXPECT_LE(secondId.size(), kIdLimit);
  EXPECT_TRUE(std::regex_match(secondId, std::regex(std::string("N+_1_[0-9]+_") + kSerial)))
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
      ASSERT_TRUE(
          std::regex_match(rootId, std::regex("Conn_[0-9]+_" + std::to_string(t) + "_" + kSerial)))
          << rootId;
      ids.insert(rootId);
      const BusObjArray* array = lines(*order);
      for (int k = 0; k < array->getObjectCount(); ++k) {
        const BusinessObject* item = array->getObject(k);
        const std::string id = text(*item, "ObjectEventId");
        ASSERT_TRUE(std::regex_match(
            id, std::regex(rootId + "_" + std::to_string(k) + "_[0-9]+_" + kSerial)))
            << id;
        ids.insert(id);
      }
    }
  }
  EXPECT_EQ(ids.size(), static_cast<std::size_t>(kThreads * kOrders * 4));
  // The serials alone are distinct too: the time and the index never have
  // to tell two events apart.
  std::set<std::uint64_t> serials;
  for (const std::string& id : ids) serials.insert(serialOf(id));
  EXPECT_EQ(serials.size(), ids.size());
}

}  // namespace
}  // namespace hbconnector::test
