// The veneer's object paths: specs announced, verbs for connector code,
// events and synchronous requests.
#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>

#include "hbconnector/bo_handler.hpp"
#include "hbconnector/business_object.hpp"
#include "hbconnector/return_status.hpp"
#include "hbconnector/spec_registry.hpp"
#include "hbconnector/string_message.hpp"
#include "runtime/runtime_internal.hpp"
#include "runtime/upcalls.hpp"
#include "support/fake_agent.hpp"
#include "support/record_text.hpp"
#include "support/spec_builder.hpp"

namespace hbconnector::test {
namespace {

namespace upcall = hbconnector::detail::upcall;

class Handler : public BOHandlerBase {
 public:
  int doVerbFor(BusinessObject&, ReturnStatusDescriptor*) override { return 7; }
};

class VeneerBusObjTest : public ::testing::Test {
 protected:
  void SetUp() override {
    agent().setProperty("ConnectorName", "Conn");
    agent().setProperty("AgentTraceLevel", "4");
    agent().setProperty("PerfLevel", "1");
    scope_.startConnector().handlers["Gadget"] = &handler_;
    veneer_ = &scope_.startVeneer();
  }
  FakeAgent& agent() { return scope_.agent(); }
  BusObjSpec* registered(const char* name) {
    return BusObjSpecRegistry::getInstance()->findSpec(name);
  }

  RegistryGuard registry_;
  FakeAgentScope scope_;
  Handler handler_;
  JToCPPVeneer* veneer_ = nullptr;
};

TEST_F(VeneerBusObjTest, SpecsGetTheirHandlerAndVerbsRunThroughIt) {
  const std::string text = prefixed(split(
      "BusObjSpec|Gadget|1.0.0|\x05|1|0|Name|String|true|false|false|\x05|0|\x05|1.0.0|1|x|true"));
  veneer_->gotBusObjSpec((text + '\0' + "3#odd").data(), static_cast<int>(text.size()) + 6);
  BusObjSpec* spec = registered("Gadget");
  ASSERT_TRUE(spec != nullptr && spec->getAttributeCount() == 1);  // nothing after the zero
  EXPECT_EQ(spec->getBOHandler(), &handler_);
  EXPECT_EQ(handler_.getSubscriptionHandler(), veneer_->getSubscriptionHandler());

  BusinessObject bo("Gadget");
  ReturnStatusDescriptor status;
  PerfMonitor* monitor =
      hbconnector::detail::runtimeMonitor(hbconnector::detail::RuntimeMonitor::kDoVerbFor);
  const int before = monitor->getCount();
  EXPECT_EQ(veneer_->doVerbFor(bo, &status), 7);
  EXPECT_EQ(monitor->getCount(), before + 1);
  EXPECT_EQ(agent().traces().back().text, "JToCPPVeneer::doVerbFor call for Object named: Gadget");
  spec->setBOHandler(nullptr);
  EXPECT_EQ(veneer_->doVerbFor(bo, &status), -1);

  // Malformed specs, and any spec without a connector, are reported, not registered.
  veneer_->gotBusObjSpec(prefixed(split("BusObjSpec|Broken|1.0.0|\x05|1|0")).c_str());
  JToCPPVeneer::setConnector(nullptr);
  veneer_->gotBusObjSpec(text.c_str());
  EXPECT_EQ(registered("Broken"), nullptr);
  EXPECT_EQ(registered("Gadget"), spec);
  int refusals = 0;
  for (const auto& log : agent().logs())
    refusals += log.text.find("not registered") != std::string::npos;
  EXPECT_EQ(refusals, 2);
}

TEST_F(VeneerBusObjTest, ReannouncedSpecsAreReusedOnlyWhenTheirRecordIsUnchanged) {
  // Several verbs: a spec keeps them in a set whose order differs from one
  // reading of the same record to the next.
  const std::string text = prefixed(split(
      "BusObjSpec|Gadget|1.0.0|\x05|1|4|Name|String|true|false|false|\x05|0|\x05|1.0.0|1|x|true|"
      "Create|\x05|Retrieve|\x05|Update|u|Delete|\x05"));
  veneer_->gotBusObjSpec(text.data(), static_cast<int>(text.size()));
  BusObjSpec* spec = registered("Gadget");
  ASSERT_NE(spec, nullptr);
  BusinessObject bo("Gadget");  // keeps a plain pointer to the spec
  spec->setBOHandler(nullptr);
  for (int i = 0; i < 3; ++i) veneer_->gotBusObjSpec(text.data(), static_cast<int>(text.size()));
  EXPECT_EQ(registered("Gadget"), spec);
  EXPECT_EQ(spec->getBOHandler(), &handler_);  // the announcement's handler again

  // Any difference in the record (here the verb's information) is a new spec;
  // the old one stays alive for the objects that point at it.
  const std::string changed = prefixed(split(
      "BusObjSpec|Gadget|1.0.0|\x05|1|4|Name|String|true|false|false|\x05|0|\x05|1.0.0|1|x|true|"
      "Create|by key|Retrieve|\x05|Update|u|Delete|\x05"));
  veneer_->gotBusObjSpec(changed.data(), static_cast<int>(changed.size()));
  BusObjSpec* replaced = registered("Gadget");
  ASSERT_NE(replaced, spec);
  EXPECT_STREQ(replaced->getVerbAppSpecificInfo("Create"), "by key");
  EXPECT_EQ(bo.getSpec(), spec);
  EXPECT_STREQ(spec->getName(), "Gadget");
  registry_.adopt(spec);  // no longer registered: the guard destroys it
}

TEST_F(VeneerBusObjTest, EventsAreFilteredAndNumbered) {
  SpecBuilder("Cust").attr("Name", STRING).attr("ObjectEventId", STRING).registerSpec();
  BusinessObject first("Cust"), second("Cust"), third("Cust");
  for (BusinessObject* bo : {&first, &second, &third}) bo->setVerb("Create");
  EXPECT_EQ(upcall::gotEventFromApp(first), -10);  // nobody subscribes: the agent is not asked
  EXPECT_EQ(agent().generated(80008).at(0).params, "Cust,Create");
  EXPECT_TRUE(agent().events().empty() && first.isIgnore(1));
  veneer_->subscribeTo("Cust", "Create", 0);
  upcall::gotEventFromApp(first);
  upcall::gotEventFromApp(second);
  EXPECT_TRUE(std::regex_match(slotText(first.getAttrValue(1)), std::regex("Conn_[0-9]+_0")));
  EXPECT_TRUE(std::regex_match(slotText(second.getAttrValue(1)), std::regex("Conn_[0-9]+_1")));
  std::unique_ptr<StringMessage> text(second.toStringMessage());
  EXPECT_EQ(agent().events().at(1).data, text->getText());
  // The byte-array form sends every event, continues the count (so its id
  // cannot repeat one of the text form) and adds a zero byte.
  veneer_->cancelSub("Cust", nullptr, "Create");
  EXPECT_EQ(upcall::gotEventFromApp(third, "UTF8"), 0);
  EXPECT_TRUE(std::regex_match(slotText(third.getAttrValue(1)), std::regex("Conn_[0-9]+_2")));
  std::unique_ptr<StringMessageI18N> bytes(third.toStringMessageI18N());
  EXPECT_EQ(agent().events().at(2).data, std::string(bytes->getText()) + '\0');
}

TEST_F(VeneerBusObjTest, ConsumeSyncTakesTheAnswer) {
  SpecBuilder("Item").attr("Label", STRING).registerSpec();
  SpecBuilder("Box").attr("Id", STRING).attr("Items", "Item", CARD_MULTIPLE).registerSpec();
  BusinessObject box("Box");
  box.setAttrValue(0, txt("B1"), STRING);
  agent().setConsumeSyncTexts(bars("BusinessObject|Box|1.0.0|true|Update|en_US|2|B2|1|false|"
                                   "BusinessObject|Item|1.0.0|false|null|en_US|1|I1||"),
                              bars("ReturnStatusDescriptor|1|done|", '\x04'));
  ReturnStatusDescriptor status(-7, "asked");
  // Connector code reaches the current veneer through the static helpers; a
  // request without a collaboration name is skipped.
  ConnectorBase::consumeSync(nullptr, &box, &status);
  EXPECT_TRUE(agent().consumeSyncs().empty());
  ConnectorBase::consumeSync("Collab", &box, &status);
  ASSERT_EQ(agent().consumeSyncs().size(), 1u);
  EXPECT_EQ(agent().consumeSyncs().at(0).boText,
            bars("BusinessObject|Box|1.0.0|false|null|en_US|2|B1|0|"));
  EXPECT_EQ(agent().consumeSyncs().at(0).statusText,
            bars("ReturnStatusDescriptor|-7|asked|", '\x04'));
  EXPECT_EQ(slotText(box.getAttrValue(0)), "B2");
  EXPECT_TRUE(box.isDelta());
  EXPECT_EQ(static_cast<BusObjArray*>(box.getAttrValue(1))->getObject(0)->getParent(), &box);
  EXPECT_EQ(status.getStatus(), 1);
  EXPECT_STREQ(status.getErrorString(), "done");
  // No answer at all is a failure; an unreadable object leaves the box alone.
  agent().setConsumeSyncTexts(std::nullopt, std::nullopt);
  ConnectorBase::consumeSync("Collab", box, &status);
  EXPECT_EQ(status.getStatus(), -1);
  agent().setConsumeSyncTexts(bars("junk|"), bars("ReturnStatusDescriptor|4|null|", '\x04'));
  veneer_->consumeSync("Collab", box, &status);
  EXPECT_EQ(slotText(box.getAttrValue(0)), "B2");
  EXPECT_EQ(status.getStatus(), 4);
}

}  // namespace
}  // namespace hbconnector::test
