#include <string>

#include "busobj/model_fixture.hpp"
#include "hbconnector/bo_handler.hpp"
#include "hbconnector/return_status.hpp"
#include "hbconnector/subscription.hpp"

namespace hbconnector::test {
namespace {

// Plays the application: a retrieve fills the stored account, an update
// records the image it was given.
class AccountHandler : public BOHandlerBase {
 public:
  int doVerbFor(BusinessObject& bo, ReturnStatusDescriptor*) override {
    const std::string verb = ModelTest::verbOf(&bo);
    calls += verb + (bo.isDelta() ? "(delta) " : " ");
    if (verb == "Retrieve") {
      if (retrieveResult < 0) return retrieveResult;
      // The retrieve request is a copy of the delta: the application's
      // children replace whatever it carried.
      if (auto* children = static_cast<BusObjArray*>(bo.getAttrValue("Lines"))) {
        children->removeAll();
      }
      bo.setAttrValue("Bal", const_cast<char*>("100"), STRING);
      bo.setAttrValue("Owner", const_cast<char*>("Ann"), STRING);
      bo.setAttrValue("Lines", ModelTest::make("Item", "L1"), OBJECT);
      bo.setAttrValue("Lines", ModelTest::make("Item", "L2"), OBJECT);
      return retrieveResult;
    }
    updated = ModelTest::text(bo, "Bal") + "/" + ModelTest::text(bo, "Owner") + "/" +
              ModelTest::keys(static_cast<BusObjArray*>(bo.getAttrValue("Lines")));
    return 1;
  }
  int retrieveResult = 1;
  std::string calls;
  std::string updated;
};

class UpdateWithoutDeltaTest : public ModelTest {
 protected:
  void SetUp() override {
    ModelTest::SetUp();
    handler_.setSubscriptionHandler(veneer().getSubscriptionHandler());
    // The type lists no "Retrieve": the emulation's own verbs must still reach the handler.
    SpecBuilder("Acct")
        .verbs({"Update"})
        .attr("Id", STRING)
        .key()
        .attr("Bal", STRING)
        .attr("Owner", STRING)
        .attr("Lines", "Item", CARD_MULTIPLE)
        .attr("ObjectEventId", STRING)
        .handler(&handler_)
        .registerSpec();
  }
  // An incoming delta: a new balance, line L2 deleted, line L3 added.
  static void fillDelta(BusinessObject& bo) {
    set(bo, "Id", "A1");
    set(bo, "Bal", "150");
    bo.setVerb("Update");
    bo.setDelta(true);
    bo.setAttrValue("Lines", make("Item", "L2", "Delete"), OBJECT);
    bo.setAttrValue("Lines", make("Item", "L3"), OBJECT);
    lines(bo)->setDelta(true);
  }
  AccountHandler handler_;
};

TEST_F(UpdateWithoutDeltaTest, RetrievesAppliesTheDeltaAndUpdatesTheFullImage) {
  BusinessObject bo("Acct");
  fillDelta(bo);
  ReturnStatusDescriptor status;
  EXPECT_EQ(bo.doVerbFor(&status), 1);
  EXPECT_EQ(handler_.calls, "Retrieve Update ");
  EXPECT_EQ(handler_.updated, "150/Ann/L1 L3 ");
  // The full image comes back into the request's object.
  EXPECT_FALSE(bo.isDelta());
  EXPECT_EQ(text(bo, "Bal"), "150");
  EXPECT_EQ(text(bo, "Owner"), "Ann");
  EXPECT_EQ(keys(lines(bo)), "L1 L3 ");
  EXPECT_EQ(lines(bo)->getObject(0)->getParent(), &bo);
  EXPECT_TRUE(params(62).empty());
  EXPECT_EQ(status.getErrorString(), nullptr);
}

TEST_F(UpdateWithoutDeltaTest, AcceptedDeltasGoStraightToTheHandler) {
  agent().setDeltaSupport("Acct", std::string("true"));
  BusinessObject bo("Acct");
  fillDelta(bo);
  ReturnStatusDescriptor status;
  EXPECT_EQ(bo.doVerbFor(&status), 1);
  EXPECT_EQ(handler_.calls, "Update(delta) ");
  EXPECT_TRUE(bo.isDelta());
}

TEST_F(UpdateWithoutDeltaTest, FailingRetrieveLeavesMessage17115AsTheStatusText) {
  handler_.retrieveResult = -2;
  BusinessObject bo("Acct");
  fillDelta(bo);
  ReturnStatusDescriptor status;
  EXPECT_EQ(bo.doVerbFor(&status), -2);
  EXPECT_EQ(handler_.calls, "Retrieve ");
  auto records = agent().generated(17115);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].type, 6);
  EXPECT_EQ(records[0].flag, 0);
  EXPECT_EQ(records[0].count, 1);
  EXPECT_EQ(records[0].params, "Acct");
  bool loggedAsStatus = false;
  for (const auto& log : agent().logs()) {
    loggedAsStatus |=
        log.typed && log.type == -1 && log.text == FakeAgent::composedText(17115, 6, "Acct");
  }
  EXPECT_TRUE(loggedAsStatus);
  ASSERT_NE(status.getErrorString(), nullptr);
  EXPECT_NE(std::string(status.getErrorString()).find(FakeAgent::composedText(17115, 6, "Acct")),
            std::string::npos);
  // The request's object is untouched.
  EXPECT_TRUE(bo.isDelta());
  EXPECT_EQ(text(bo, "Owner"), "<ignore>");
  EXPECT_EQ(keys(lines(bo)), "L2 L3 ");
}

}  // namespace
}  // namespace hbconnector::test
