// doVerbFor: the handler is reached with the request, or, for deltas the agent
// does not accept, with a retrieve and then the full image.
#include <memory>
#include <string>

#include "busobj/model_fixture.hpp"
#include "hbconnector/bo_handler.hpp"
#include "hbconnector/return_status.hpp"
#include "hbconnector/subscription.hpp"
#include "hbconnector/tracing.hpp"

namespace hbconnector::test {
namespace {

// Plays the application: a retrieve fills the stored account, an update
// records the image it was given; failWith makes other verbs fail.
class AccountHandler : public BOHandlerBase {
 public:
  int doVerbFor(BusinessObject& bo, ReturnStatusDescriptor* status) override {
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
    if (failWith != 0) {
      if (setOwnMessage) status->setErrorString("handler's own");
      logMsg("handler failure", MSGTYPE_ERROR);
      return failWith;
    }
    updated = ModelTest::text(bo, "Bal") + "/" + ModelTest::text(bo, "Owner") + "/" +
              ModelTest::keys(static_cast<BusObjArray*>(bo.getAttrValue("Lines")));
    return 1;
  }
  int retrieveResult = 1;
  int failWith = 0;
  bool setOwnMessage = false;
  std::string calls;
  std::string updated;
};

class VerbRoutingTest : public ModelTest {
 protected:
  void SetUp() override {
    ModelTest::SetUp();
    handler_.setSubscriptionHandler(veneer().getSubscriptionHandler());
    // The type lists no "Retrieve": the emulation's own verbs must still reach the handler.
    SpecBuilder acct("Acct");
    acct.verbs({"Update", "Create"})
        .attr("Id", STRING)
        .key()
        .attr("Bal", STRING)
        .attr("Owner", STRING);
    acct.attr("Lines", "Item", CARD_MULTIPLE).attr("ObjectEventId", STRING);
    acct.handler(&handler_).registerSpec();
    // An incoming delta: a new balance, line L2 deleted, line L3 added.
    bo_ = std::make_unique<BusinessObject>("Acct");
    set(*bo_, "Id", "A1");
    set(*bo_, "Bal", "150");
    bo_->setVerb("Update");
    bo_->setDelta(true);
    bo_->setAttrValue("Lines", make("Item", "L2", "Delete"), OBJECT);
    bo_->setAttrValue("Lines", make("Item", "L3"), OBJECT);
    lines(*bo_)->setDelta(true);
  }
  bool logged(int type, const std::string& text) {
    for (const auto& log : agent().logs()) {
      if (log.typed && log.type == type && log.text == text) return true;
    }
    return false;
  }
  AccountHandler handler_;
  std::unique_ptr<BusinessObject> bo_;
  ReturnStatusDescriptor status_;
};

TEST_F(VerbRoutingTest, DeltaTheAgentRefusesIsRetrievedAppliedAndUpdatedAsAFullImage) {
  agent().setDeltaSupport("Acct", std::string("TRUE"));  // only "true" accepts
  EXPECT_EQ(bo_->doVerbFor(&status_), 1);
  EXPECT_EQ(handler_.calls, "Retrieve Update ");
  EXPECT_EQ(handler_.updated, "150/Ann/L1 L3 ");
  // The full image comes back into the request's object.
  EXPECT_FALSE(bo_->isDelta());
  EXPECT_EQ(text(*bo_, "Bal"), "150");
  EXPECT_EQ(text(*bo_, "Owner"), "Ann");
  EXPECT_EQ(keys(lines(*bo_)), "L1 L3 ");
  EXPECT_EQ(lines(*bo_)->getObject(0)->getParent(), bo_.get());
  EXPECT_TRUE(params(62).empty());
  EXPECT_EQ(status_.getErrorString(), nullptr);
}

TEST_F(VerbRoutingTest, AcceptedDeltasAndOtherVerbsGoStraightToTheHandler) {
  agent().setDeltaSupport("Acct", std::string("true"));
  EXPECT_EQ(bo_->doVerbFor(&status_), 1);
  EXPECT_EQ(handler_.calls, "Update(delta) ");
  EXPECT_TRUE(bo_->isDelta());

  // A failing handler's logged error becomes the status text and the
  // pending error is consumed; the handler's own status text wins.
  handler_.calls.clear();
  bo_->setVerb("Create");
  bo_->setDelta(false);
  handler_.failWith = -3;
  EXPECT_EQ(bo_->doVerbFor(&status_), -3);
  EXPECT_EQ(handler_.calls, "Create ");
  ASSERT_NE(status_.getErrorString(), nullptr);
  EXPECT_NE(std::string(status_.getErrorString()).find("handler failure"), std::string::npos);
  EXPECT_EQ(JToCPPVeneer::getErrorMsg(), nullptr);
  ReturnStatusDescriptor own;
  handler_.setOwnMessage = true;
  EXPECT_EQ(bo_->doVerbFor(&own), -3);
  EXPECT_STREQ(own.getErrorString(), "handler's own");
  EXPECT_EQ(BusinessObject("Item").doVerbFor(&status_), -1);  // no handler
}

TEST_F(VerbRoutingTest, FailingRetrieveLeavesMessage17115AsTheStatusText) {
  handler_.retrieveResult = -2;
  EXPECT_EQ(bo_->doVerbFor(&status_), -2);
  EXPECT_EQ(handler_.calls, "Retrieve ");
  auto records = agent().generated(17115);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].type, 6);
  EXPECT_EQ(records[0].flag, 0);
  EXPECT_EQ(records[0].count, 1);
  EXPECT_EQ(records[0].params, "Acct");
  const std::string message = FakeAgent::composedText(17115, 6, "Acct");
  EXPECT_TRUE(logged(-1, message));
  ASSERT_NE(status_.getErrorString(), nullptr);
  EXPECT_NE(std::string(status_.getErrorString()).find(message), std::string::npos);
  // The request's object is untouched.
  EXPECT_TRUE(bo_->isDelta());
  EXPECT_EQ(text(*bo_, "Owner"), "<ignore>");
  EXPECT_EQ(keys(lines(*bo_)), "L2 L3 ");
}

}  // namespace
}  // namespace hbconnector::test
