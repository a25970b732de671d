// The veneer's business object operations: spec announcements, verbs run for
// connector code, and synchronous requests.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "hbconnector/bo_handler.hpp"
#include "hbconnector/business_object.hpp"
#include "hbconnector/connector.hpp"
#include "hbconnector/return_status.hpp"
#include "hbconnector/spec_registry.hpp"
#include "hbconnector/string_message.hpp"
#include "hbconnector/tracing.hpp"
#include "runtime/runtime_internal.hpp"
#include "support/fake_agent.hpp"
#include "support/record_text.hpp"
#include "support/spec_builder.hpp"

namespace {

using hbconnector::test::bars;
using hbconnector::test::FakeAgentScope;
using hbconnector::test::prefixed;
using hbconnector::test::RegistryGuard;
using hbconnector::test::slotText;
using hbconnector::test::SpecBuilder;
using hbconnector::test::txt;

class CountingHandler : public BOHandlerBase {
 public:
  int calls = 0;
  int result = 7;
  int doVerbFor(BusinessObject&, ReturnStatusDescriptor*) override {
    ++calls;
    return result;
  }
};

const std::string E = "\x05";

std::string gadgetSpecText() {
  return prefixed({"BusObjSpec", "Gadget", "1.0.0", E,       "1",      "1", "Name",
                   "String",     "true",   "false", "false", E,        "0", E,
                   "1.0.0",      "1",      "x",     "true",  "Create", E});
}

class VeneerBusObjTest : public ::testing::Test {
 protected:
  RegistryGuard registry_;
  FakeAgentScope scope_;
  CountingHandler handler_;
};

TEST_F(VeneerBusObjTest, AnnouncedSpecGetsTheConnectorsHandlerAndIsRegistered) {
  scope_.startConnector().handlers["Gadget"] = &handler_;
  JToCPPVeneer& veneer = scope_.startVeneer();
  veneer.gotBusObjSpec(gadgetSpecText().c_str());
  BusObjSpec* spec = BusObjSpecRegistry::getInstance()->findSpec("Gadget");
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(spec->getAttributeCount(), 1);
  EXPECT_EQ(spec->getBOHandler(), &handler_);
  EXPECT_EQ(handler_.getSubscriptionHandler(), veneer.getSubscriptionHandler());
}

TEST_F(VeneerBusObjTest, ByteFormStopsAtTheFirstZeroAndAtItsLength) {
  scope_.startConnector();
  JToCPPVeneer& veneer = scope_.startVeneer();
  std::string bytes = gadgetSpecText();
  bytes.push_back('\0');
  bytes += "7#garbage";
  veneer.gotBusObjSpec(bytes.data(), static_cast<int>(bytes.size()));
  BusObjSpec* spec = BusObjSpecRegistry::getInstance()->findSpec("Gadget");
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(spec->getAttributeCount(), 1);   // nothing left over
  EXPECT_EQ(spec->getBOHandler(), nullptr);  // the connector has no handler for it

  // A length that ends inside the text leaves the record short: refused.
  const std::string other = prefixed({"BusObjSpec", "Short", "1.0.0", E, "0", "1", "Create", E});
  veneer.gotBusObjSpec(other.data(), static_cast<int>(other.size()) - 3);
  EXPECT_EQ(BusObjSpecRegistry::getInstance()->findSpec("Short"), nullptr);
}

TEST_F(VeneerBusObjTest, UnusableSpecsAreReportedAndNotRegistered) {
  scope_.startConnector();
  JToCPPVeneer& veneer = scope_.startVeneer();
  veneer.gotBusObjSpec(prefixed({"BusObjSpec", "Broken", "1.0.0", E, "1", "0"}).c_str());
  veneer.gotBusObjSpec(nullptr);
  EXPECT_EQ(BusObjSpecRegistry::getInstance()->findSpec("Broken"), nullptr);
  int reported = 0;
  for (const auto& log : scope_.agent().logs()) {
    if (log.text.find("is not registered") != std::string::npos) ++reported;
  }
  EXPECT_EQ(reported, 2);

  JToCPPVeneer::setConnector(nullptr);
  veneer.gotBusObjSpec(gadgetSpecText().c_str());
  EXPECT_EQ(BusObjSpecRegistry::getInstance()->findSpec("Gadget"), nullptr);
  EXPECT_NE(scope_.agent().logs().back().text.find("no connector"), std::string::npos);
}

TEST_F(VeneerBusObjTest, DoVerbForTracesRunsTheHandlerAndIsMeasured) {
  scope_.agent().setProperty("AgentTraceLevel", "4");
  scope_.agent().setProperty("PerfLevel", "1");
  scope_.startConnector();
  JToCPPVeneer& veneer = scope_.startVeneer();
  SpecBuilder("Gadget").attr("Name", STRING).handler(&handler_).registerSpec();
  BusinessObject gadget("Gadget");
  ReturnStatusDescriptor status;
  PerfMonitor* monitor =
      hbconnector::detail::runtimeMonitor(hbconnector::detail::RuntimeMonitor::kDoVerbFor);
  ASSERT_NE(monitor, nullptr);
  const int before = monitor->getCount();
  EXPECT_EQ(veneer.doVerbFor(gadget, &status), 7);
  EXPECT_EQ(handler_.calls, 1);
  EXPECT_EQ(monitor->getCount(), before + 1);
  bool traced = false;
  for (const auto& trace : scope_.agent().traces()) {
    traced |=
        trace.level == 4 && trace.text == "JToCPPVeneer::doVerbFor call for Object named: Gadget";
  }
  EXPECT_TRUE(traced);

  BusinessObject invalid("Unregistered");
  EXPECT_EQ(veneer.doVerbFor(invalid, &status), -1);
  gadget.getSpec()->setBOHandler(nullptr);
  EXPECT_EQ(veneer.doVerbFor(gadget, &status), -1);
  EXPECT_EQ(handler_.calls, 1);
  EXPECT_EQ(monitor->getCount(), before + 1);
}

TEST_F(VeneerBusObjTest, LongTypeNamesAreCutInTheTraceLine) {
  scope_.agent().setProperty("AgentTraceLevel", "4");
  JToCPPVeneer& veneer = scope_.startVeneer();
  const std::string longName(2000, 'N');
  SpecBuilder(longName).attr("A", STRING).handler(&handler_).registerSpec();
  BusinessObject bo(longName.c_str());
  ReturnStatusDescriptor status;
  veneer.doVerbFor(bo, &status);
  ASSERT_FALSE(scope_.agent().traces().empty());
  EXPECT_EQ(scope_.agent().traces().back().text.size(), 511u);
}

TEST_F(VeneerBusObjTest, ConsumeSyncTakesTheAnsweredObjectAndStatus) {
  JToCPPVeneer& veneer = scope_.startVeneer();
  SpecBuilder("Item").attr("Label", STRING).registerSpec();
  SpecBuilder("Box").attr("Id", STRING).attr("Items", "Item", CARD_MULTIPLE).registerSpec();
  BusinessObject box("Box");
  box.setVerb("Create");
  box.setAttrValue(0, txt("B1"), STRING);
  scope_.agent().setConsumeSyncTexts(bars("BusinessObject|Box|1.0.0|true|Update|en_US|2|B2|1|false|"
                                          "BusinessObject|Item|1.0.0|false|null|en_US|1|I1||"),
                                     bars("ReturnStatusDescriptor|1|done|", '\x04'));
  ReturnStatusDescriptor status(-7, "asked");
  veneer.consumeSync("Collab", box, &status);

  const auto requests = scope_.agent().consumeSyncs();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].name, "Collab");
  EXPECT_EQ(requests[0].boText, bars("BusinessObject|Box|1.0.0|false|Create|en_US|2|B1|0|"));
  EXPECT_EQ(requests[0].statusText, bars("ReturnStatusDescriptor|-7|asked|", '\x04'));

  EXPECT_EQ(slotText(box.getAttrValue(0)), "B2");
  EXPECT_STREQ(box.getVerb(), "Update");
  EXPECT_TRUE(box.isDelta());
  auto* items = static_cast<BusObjArray*>(box.getAttrValue(1));
  ASSERT_NE(items, nullptr);
  EXPECT_EQ(items->getObject(0)->getParent(), &box);
  EXPECT_EQ(status.getStatus(), 1);
  EXPECT_STREQ(status.getErrorString(), "done");
}

TEST_F(VeneerBusObjTest, ConsumeSyncWithoutAnswerReportsFailure) {
  JToCPPVeneer& veneer = scope_.startVeneer();
  SpecBuilder("Item").attr("Label", STRING).registerSpec();
  BusinessObject item("Item");
  item.setAttrValue(0, txt("keep"), STRING);
  scope_.agent().setConsumeSyncTexts(std::nullopt, std::nullopt);
  ReturnStatusDescriptor status;
  veneer.consumeSync("Collab", item, &status);
  EXPECT_EQ(status.getStatus(), -1);
  EXPECT_EQ(slotText(item.getAttrValue(0)), "keep");

  // An answer that is not an object of the same type leaves the object alone.
  scope_.agent().setConsumeSyncTexts(bars("garbage|"),
                                     bars("ReturnStatusDescriptor|4|null|", '\x04'));
  veneer.consumeSync("Collab", item, &status);
  EXPECT_EQ(slotText(item.getAttrValue(0)), "keep");
  EXPECT_EQ(status.getStatus(), 4);
  EXPECT_EQ(status.getErrorString(), nullptr);
}

}  // namespace
