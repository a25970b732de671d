// The event upcalls: subscription filter, event ids, encodings.
#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>

#include "bridge/upcalls.hpp"
#include "hbconnector/business_object.hpp"
#include "hbconnector/connector.hpp"
#include "hbconnector/string_message.hpp"
#include "support/fake_agent.hpp"
#include "support/record_text.hpp"
#include "support/spec_builder.hpp"

namespace {

namespace upcall = hbconnector::detail::upcall;
using hbconnector::test::FakeAgentScope;
using hbconnector::test::RegistryGuard;
using hbconnector::test::slotText;
using hbconnector::test::SpecBuilder;
using hbconnector::test::txt;

class EventUpcallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SpecBuilder("Cust").attr("Name", STRING).attr("ObjectEventId", STRING).registerSpec();
    scope_.agent().setProperty("ConnectorName", "Conn");
  }

  std::unique_ptr<BusinessObject> makeEvent(const char* name) {
    auto bo = std::make_unique<BusinessObject>("Cust");
    bo->setVerb("Create");
    bo->setAttrValue(0, txt(name), STRING);
    return bo;
  }

  RegistryGuard registry_;
  FakeAgentScope scope_;
};

TEST_F(EventUpcallTest, UnsubscribedTextEventIsFilteredWithoutCallingTheAgent) {
  scope_.startVeneer();
  std::unique_ptr<BusinessObject> bo = makeEvent("Ann");
  EXPECT_EQ(upcall::gotEventFromApp(*bo), -10);
  EXPECT_TRUE(scope_.agent().events().empty());
  const auto reports = scope_.agent().generated(80008);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].type, 5);
  EXPECT_EQ(reports[0].flag, 1);
  EXPECT_EQ(reports[0].count, 2);
  EXPECT_EQ(reports[0].params, "Cust,Create");
  EXPECT_TRUE(bo->isIgnore(1));  // no id was spent on it
}

TEST_F(EventUpcallTest, SubscribedTextEventsGetNumberedIds) {
  JToCPPVeneer& veneer = scope_.startVeneer();
  veneer.subscribeTo("Cust", "Create", 0);
  scope_.agent().setEventResult(4);
  std::unique_ptr<BusinessObject> first = makeEvent("Ann");
  std::unique_ptr<BusinessObject> second = makeEvent("Bob");
  EXPECT_EQ(upcall::gotEventFromApp(*first), 4);
  EXPECT_EQ(upcall::gotEventFromApp(*second), 4);
  EXPECT_TRUE(std::regex_match(slotText(first->getAttrValue(1)), std::regex("Conn_[0-9]+_0")));
  EXPECT_TRUE(std::regex_match(slotText(second->getAttrValue(1)), std::regex("Conn_[0-9]+_1")));
  const auto events = scope_.agent().events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_FALSE(events[0].byteArray);
  std::unique_ptr<StringMessage> record(first->toStringMessage());
  EXPECT_EQ(events[0].data, record->getText());

  // An id already present is kept.
  std::unique_ptr<BusinessObject> third = makeEvent("Cy");
  third->setAttrValue(1, txt("mine"), STRING);
  upcall::gotEventFromApp(*third);
  EXPECT_EQ(slotText(third->getAttrValue(1)), "mine");
}

TEST_F(EventUpcallTest, Ascii8TextEventsAreSentAsUtf8) {
  scope_.agent().setProperty("CharacterEncoding", "ascii8");
  JToCPPVeneer& veneer = scope_.startVeneer();
  veneer.subscribeTo("Cust", nullptr, 0);
  std::unique_ptr<BusinessObject> bo = makeEvent("Ren\xE9");
  upcall::gotEventFromApp(*bo);
  const auto events = scope_.agent().events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_NE(events[0].data.find("Ren\xC3\xA9"), std::string::npos);
  EXPECT_EQ(events[0].data.find("Ren\xE9"), std::string::npos);
}

TEST_F(EventUpcallTest, ByteArrayEventsAreAlwaysSentWithATerminatingZero) {
  scope_.startVeneer();  // nothing subscribed
  std::unique_ptr<BusinessObject> bo = makeEvent("Ann");
  EXPECT_EQ(upcall::gotEventFromApp(*bo, "UTF8"), 0);
  // The byte-array form counts its own ids.
  EXPECT_TRUE(std::regex_match(slotText(bo->getAttrValue(1)), std::regex("Conn_[0-9]+_0")));
  const auto events = scope_.agent().events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events[0].byteArray);
  EXPECT_EQ(events[0].encoding, "UTF8");
  std::unique_ptr<StringMessageI18N> record(bo->toStringMessageI18N());
  EXPECT_EQ(events[0].data, std::string(record->getText()) + std::string(1, '\0'));
}

TEST_F(EventUpcallTest, TypesWithoutAnIdAttributeAreSentAsTheyAre) {
  JToCPPVeneer& veneer = scope_.startVeneer();
  SpecBuilder("Plain").attr("Name", STRING).registerSpec();
  veneer.subscribeTo("Plain", "Create", 0);
  BusinessObject plain("Plain");
  plain.setVerb("Create");
  EXPECT_EQ(upcall::gotEventFromApp(plain), 0);
  EXPECT_EQ(upcall::gotEventFromApp(plain, "UTF8"), 0);
  EXPECT_EQ(scope_.agent().events().size(), 2u);
  EXPECT_TRUE(scope_.agent().generated(72).empty());
  EXPECT_TRUE(scope_.agent().generated(73).empty());

  BusinessObject invalid("Unregistered");
  EXPECT_EQ(upcall::gotEventFromApp(invalid), -1);
  EXPECT_EQ(upcall::gotEventFromApp(invalid, "UTF8"), -1);
  EXPECT_EQ(scope_.agent().events().size(), 2u);
}

}  // namespace
