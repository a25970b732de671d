// The std::string_view surface of BusinessObject: texts by name and index,
// markers, typed children and arrays with std::unique_ptr ownership, verbs
// and type codes as scoped enumerations.
#include <memory>
#include <string>
#include <string_view>

#include "busobj/model_fixture.hpp"

namespace hbconnector::test {
namespace {

using StringViewSurfaceTest = ModelTest;
using namespace std::string_view_literals;

TEST_F(StringViewSurfaceTest, TextsByNameAndIndexKeepUnsetBlankAndValueApart) {
  BusinessObject item("Item");
  // Names need not be zero-terminated: only the view's bytes count.
  const std::string_view qtyName = "QtyExtra"sv.substr(0, 3);
  EXPECT_EQ(item.attrIndex(qtyName), 1);
  EXPECT_EQ(item.attrIndex("qty"), -1);                // exact, case-sensitive
  EXPECT_EQ(item.getAttrText(qtyName), std::nullopt);  // unset

  const std::string value = "12";
  ASSERT_TRUE(item.setAttrText(qtyName, std::string_view(value)));
  EXPECT_EQ(item.getAttrText(1), "12");
  EXPECT_EQ(text(item, "Qty"), "12");                        // the same slot the old API reads
  EXPECT_NE(item.getAttrText("Qty")->data(), value.data());  // a copy was stored

  // An empty value is the blank marker; blank reads as an empty view.
  ASSERT_TRUE(item.setAttrText(2, ""));
  EXPECT_EQ(item.getAttrValue(2), BusinessObject::getBlankValue());
  EXPECT_EQ(item.getAttrText("Note"), ""sv);
  ASSERT_TRUE(item.setAttrText("Note", "n"));
  ASSERT_TRUE(item.setAttrBlank("Note"));
  EXPECT_TRUE(item.isBlank("Note"));
  ASSERT_TRUE(item.unsetAttr(2));
  EXPECT_TRUE(item.isIgnore(2));

  // A slot's own text stored again is copied before the old one goes.
  ASSERT_TRUE(item.setAttrText("Qty", *item.getAttrText("Qty")));
  EXPECT_EQ(item.getAttrText("Qty"), "12");
  EXPECT_TRUE(params(72).empty());
  EXPECT_TRUE(params(73).empty());
}

TEST_F(StringViewSurfaceTest, RefusedTextSettersReportAndLeaveTheSlot) {
  BusinessObject order("Order");
  ASSERT_TRUE(order.setAttrText("Status", "open"));
  // A zero byte cannot travel in a record: refused, the old value stays.
  EXPECT_FALSE(order.setAttrText("Status", "a\0b"sv));
  EXPECT_EQ(order.getAttrText("Status"), "open");
  // A child attribute has no text; unknown names and bad indexes are refused.
  EXPECT_FALSE(order.setAttrText("Customer", "C1"));
  EXPECT_EQ(order.getAttrText("Customer"), std::nullopt);
  EXPECT_FALSE(order.setAttrText("Missing", "x"));
  EXPECT_FALSE(order.setAttrText(99, "x"));
  EXPECT_FALSE(order.setAttrBlank("Missing"));
  EXPECT_FALSE(order.unsetAttr(-1));
  EXPECT_EQ(order.getAttrText(-1), std::nullopt);
  EXPECT_EQ(params(72), (Strings{"Status,5", "Customer,0", "Missing,-1", "Missing,-1"}));
  EXPECT_EQ(params(73), (Strings{"99,-1", "-1,-1"}));

  // An invalid object refuses everything without crashing.
  BusinessObject invalid("Nope");
  EXPECT_EQ(invalid.attrIndex("Status"), -1);
  EXPECT_EQ(invalid.getAttrText(0), std::nullopt);
  EXPECT_FALSE(invalid.setAttrText(0, "x"));
  EXPECT_EQ(invalid.getChild(0), nullptr);
  EXPECT_EQ(invalid.newChild("Customer"), nullptr);
}

TEST_F(StringViewSurfaceTest, ChildrenChangeHandsAsUniquePointers) {
  BusinessObject order("Order");
  EXPECT_EQ(order.getChild("Customer"), nullptr);
  EXPECT_EQ(order.getChildArray("Lines"), nullptr);

  std::unique_ptr<BusinessObject> first = order.newChild("Customer");
  ASSERT_NE(first, nullptr);
  EXPECT_STREQ(first->getName(), "Customer");
  ASSERT_TRUE(first->setAttrText("CustId", "C1"));
  BusinessObject* raw = first.get();
  ASSERT_TRUE(order.addChild("Customer", std::move(first)));
  EXPECT_EQ(first, nullptr);  // the object owns it now
  EXPECT_EQ(order.getChild("Customer"), raw);
  EXPECT_EQ(raw->getParent(), &order);
  // A second child replaces the first, which goes (the leak checker would
  // see it otherwise; a double free if the caller had to delete it too).
  std::unique_ptr<BusinessObject> second = order.newChild("Customer");
  ASSERT_TRUE(order.addChild(2, std::move(second)));
  EXPECT_EQ(order.getChild(2)->getAttrText("CustId"), std::nullopt);

  // Array attributes append, in order; objects() walks them.
  for (const char* key : {"L1", "L2", "L3"}) {
    std::unique_ptr<BusinessObject> line = order.newChild("Lines");
    ASSERT_TRUE(line->setAttrText("ItemId", key));
    ASSERT_TRUE(order.addChild("Lines", std::move(line)));
  }
  std::string seen;
  for (BusinessObject* line : order.getChildArray("Lines")->objects()) {
    seen += std::string(*line->getAttrText("ItemId")) + " ";
    EXPECT_EQ(line->getParent(), &order);
  }
  EXPECT_EQ(seen, "L1 L2 L3 ");
  EXPECT_EQ(order.getChild("Lines"), nullptr);  // an array is no single child
  EXPECT_EQ(order.getChildArray("Customer"), nullptr);

  // Refused: the caller keeps its object.
  std::unique_ptr<BusinessObject> stray = std::make_unique<BusinessObject>("Customer");
  EXPECT_FALSE(order.addChild("Lines", std::move(stray)));  // Lines holds Item objects
  ASSERT_NE(stray, nullptr);
  EXPECT_FALSE(order.addChild("Status", std::move(stray)));  // a simple attribute
  EXPECT_FALSE(order.addChild("Missing", std::move(stray)));
  std::unique_ptr<BusinessObject> none;
  EXPECT_FALSE(order.addChild("Customer", std::move(none)));
  auto invalid = std::make_unique<BusinessObject>("Nope");
  EXPECT_FALSE(order.addChild("Customer", std::move(invalid)));
  EXPECT_NE(invalid, nullptr);
  EXPECT_NE(stray, nullptr);
  EXPECT_EQ(order.newChild("Status"), nullptr);

  // Unsetting an array slot releases the array with its elements.
  ASSERT_TRUE(order.unsetAttr("Lines"));
  EXPECT_EQ(order.getChildArray("Lines"), nullptr);
  ASSERT_TRUE(order.setAttrBlank("Lines"));
  EXPECT_EQ(order.getChildArray("Lines"), nullptr);  // the blank marker is no array
}

TEST_F(StringViewSurfaceTest, VerbsAndTypeCodesAsScopedEnumerations) {
  static_assert(verbFromName("Update") == Verb::Update);
  static_assert(!verbFromName("update").has_value());
  static_assert(std::string_view(verbName(Verb::Retrieve)) == RETRIEVE);
  static_assert(static_cast<int>(AttrType::LongText) == LONGTEXT);
  static_assert(static_cast<int>(AttrType::Object) == OBJECT);
  EXPECT_EQ(verbFromName(""), std::nullopt);

  SpecBuilder("Verbed").verbs({"Create", "Delete"}).attr("Id", STRING).registerSpec();
  BusinessObject bo("Verbed");
  EXPECT_FALSE(bo.hasVerb(Verb::Create));
  bo.setVerb(Verb::Create);
  EXPECT_TRUE(bo.hasVerb(Verb::Create));
  EXPECT_FALSE(bo.hasVerb(Verb::Delete));
  // A verb the spec does not list is refused as setVerb refuses it.
  bo.setVerb(Verb::Update);
  EXPECT_TRUE(bo.hasVerb(Verb::Create));
  EXPECT_EQ(params(62), (Strings{"Update,Verbed"}));
  EXPECT_EQ(bo.getAttrType(0), static_cast<int>(AttrType::String));
}

}  // namespace
}  // namespace hbconnector::test
