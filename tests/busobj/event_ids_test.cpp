#include <cstdint>
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
const std::string kSerial = "[0-9a-f]{1,16}";

std::uint64_t serialOf(const std::string& id) {
  return std::stoull(id.substr(id.rfind('_') + 1), nullptr, 16);
}
bool matches(const std::string& id, const std::string& pattern) {
  return std::regex_match(id, std::regex(pattern + kSerial));
}

class EventIdTest : public ModelTest {
 protected:
  void SetUp() override {
    ModelTest::SetUp();
    agent().setProperty("ConnectorName", "Conn");
  }
  static std::string idOf(const BusinessObject& bo) { return text(bo, "ObjectEventId"); }
  // The seconds field of "<head><seconds>_<serial>" lies in [before, after].
  static void expectSeconds(const std::string& id, const std::string& head, long before,
                            long after) {
    std::smatch match;
    ASSERT_EQ(id.compare(0, head.size(), head), 0) << id << " vs " << head;
    const std::string rest = id.substr(head.size());
    ASSERT_TRUE(std::regex_match(rest, match, std::regex("([0-9]+)_" + kSerial))) << id;
    EXPECT_GE(std::stol(match[1]), before);
    EXPECT_LE(std::stol(match[1]), after);
  }
};

TEST_F(EventIdTest, RootIdIsConnectorSecondsIndexAndSerialChildrenExtendIt) {
  auto bo = order("I1 I2");
  auto* cust = make("Customer", "C1");
  bo->setAttrValue("Customer", cust, OBJECT);
  const long before = static_cast<long>(std::time(nullptr));
  bo->setObjectEventId(7);
  const long after = static_cast<long>(std::time(nullptr));
  const std::string rootId = idOf(*bo);
  std::smatch match;
  ASSERT_TRUE(std::regex_match(rootId, match, std::regex("Conn_([0-9]+)_7_" + kSerial))) << rootId;
  EXPECT_GE(std::stol(match[1]), before);
  EXPECT_LE(std::stol(match[1]), after);
  EXPECT_EQ(agent().callCount("getConfigProp ConnectorName"), 1);
  // Children: "<parent id>_<position>_<seconds>_<serial>".
  expectSeconds(idOf(*lines(*bo)->getObject(0)), rootId + "_0_", before, after);
  expectSeconds(idOf(*lines(*bo)->getObject(1)), rootId + "_1_", before, after);
  expectSeconds(idOf(*cust), rootId + "_0_", before, after);

  BusinessObject other("Order");
  other.setObjectEventId();
  EXPECT_TRUE(matches(idOf(other), "Conn_[0-9]+_0_"));
  EXPECT_NE(serialOf(idOf(other)), serialOf(rootId));

  // An invalid object is left alone.
  BusinessObject ghost("Nope");
  agent().clearRecords();
  ghost.setObjectEventId();
  EXPECT_TRUE(agent().generated().empty());
  EXPECT_EQ(agent().callCount("getConfigProp ConnectorName"), 0);
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
    ids.insert(idOf(*event));
    event->~BusinessObject();
    sameSecond += now == seconds ? 1 : 0;
    seconds = now;
  }
  ASSERT_GT(sameSecond, 0);
  EXPECT_EQ(ids.size(), 50u);
}

TEST_F(EventIdTest, ExistingIdsAreKeptAndBlankOnesReplaced) {
  auto bo = order("I1 I2 I3");
  set(*bo, "ObjectEventId", "given");
  BusObjArray* items = lines(*bo);
  set(*items->getObject(0), "ObjectEventId", "mine");
  items->getObject(1)->setAttrValue("ObjectEventId", BLANK_VALUE, STRING);
  set(*items->getObject(2), "ObjectEventId", "");
  bo->setObjectEventId();
  EXPECT_EQ(idOf(*bo), "given");
  EXPECT_EQ(idOf(*items->getObject(0)), "mine");
  EXPECT_EQ(idOf(*items->getObject(1)).rfind("given_1_", 0), 0u);
  EXPECT_EQ(idOf(*items->getObject(2)).rfind("given_2_", 0), 0u);
  // The root kept its id without asking for the connector name.
  EXPECT_EQ(agent().callCount("getConfigProp ConnectorName"), 0);
}

TEST_F(EventIdTest, TypesWithoutATextIdAttributeAreReportedOrLeftAlone) {
  // No such attribute: reported; without a parent id the children take the
  // root form with their position.
  SpecBuilder("Bare").attr("Id", STRING).key().attr("Lines", "Item", CARD_MULTIPLE).registerSpec();
  BusinessObject bare("Bare");
  auto* item = make("Item", "I1");
  bare.setAttrValue("Lines", make("Item", "I0"), OBJECT);
  bare.setAttrValue("Lines", item, OBJECT);
  agent().clearRecords();
  bare.setObjectEventId();
  EXPECT_EQ(params(73), (Strings{"-1,Unknown"}));
  EXPECT_EQ(params(72), (Strings{"ObjectEventId,-1"}));
  EXPECT_TRUE(matches(idOf(*item), "Conn_[0-9]+_1_"));

  // A child object attribute of that name is left alone.
  SpecBuilder odd("Odd");
  odd.attr("Id", STRING).key().attr("ObjectEventId", "Customer").attr("End", STRING);
  odd.registerSpec();
  BusinessObject bo("Odd");
  auto* cust = make("Customer", "C1");
  bo.setAttrValue("ObjectEventId", cust, OBJECT);
  bo.setObjectEventId();
  EXPECT_EQ(bo.getAttrValue("ObjectEventId"), cust);
  EXPECT_TRUE(matches(idOf(*cust), "Conn_[0-9]+_0_"));
}

TEST_F(EventIdTest, LongIdsAreCutInFrontAndKeepTheirUniqueTail) {
  agent().setProperty("ConnectorName", std::string(254, 'N'));
  auto bo = order("I1 I2");
  bo->setObjectEventId(3);
  const std::string rootId = idOf(*bo);
  EXPECT_LE(rootId.size(), kIdLimit);
  EXPECT_EQ(rootId.rfind("NNNN", 0), 0u);
  EXPECT_TRUE(matches(rootId, "N+_[0-9]+_3_")) << rootId;
  // Children of a parent whose id fills the room are cut too.
  const std::string secondId = idOf(*lines(*bo)->getObject(1));
  EXPECT_LE(secondId.size(), kIdLimit);
  EXPECT_TRUE(matches(secondId, "N+_1_[0-9]+_")) << secondId;
  EXPECT_NE(idOf(*lines(*bo)->getObject(0)), secondId);

  // A multi-byte character is never split: a parent id of 300 bytes of
  // two-byte characters leaves only whole characters before the tail.
  std::string accents;
  for (int i = 0; i < 150; ++i) accents += "\xC3\xA9";
  auto parent = order("I3");
  set(*parent, "ObjectEventId", accents.c_str());
  parent->setObjectEventId();
  const std::string childId = idOf(*lines(*parent)->getObject(0));
  EXPECT_LE(childId.size(), kIdLimit);
  EXPECT_GE(childId.size(), kIdLimit - 1);
  const std::size_t tail = childId.find("_0_");
  ASSERT_NE(tail, std::string::npos);
  EXPECT_EQ(tail % 2, 0u);
  EXPECT_EQ(childId.substr(0, tail), accents.substr(0, tail));
}

TEST_F(EventIdTest, ConcurrentCallersMakeWellFormedUniqueIds) {
  constexpr int kThreads = 8, kOrders = 40;
  std::vector<std::vector<std::unique_ptr<BusinessObject>>> trees(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&trees, t] {
      for (int n = 0; n < kOrders; ++n) {
        trees[t].push_back(order("I I I"));
        trees[t].back()->setObjectEventId(t);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  std::set<std::string> ids;
  for (int t = 0; t < kThreads; ++t) {
    for (const auto& bo : trees[t]) {
      const std::string rootId = idOf(*bo);
      ASSERT_TRUE(matches(rootId, "Conn_[0-9]+_" + std::to_string(t) + "_")) << rootId;
      ids.insert(rootId);
      for (int k = 0; k < lines(*bo)->getObjectCount(); ++k) {
        const std::string id = idOf(*lines(*bo)->getObject(k));
        ASSERT_TRUE(matches(id, rootId + "_" + std::to_string(k) + "_[0-9]+_")) << id;
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
