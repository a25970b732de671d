#include <cctype>
#include <string>
#include <vector>

#include "busobj/model_fixture.hpp"

namespace hbconnector::test {
namespace {

bool isDecimal(const std::string& text) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return std::stoll(text) >= 0 && std::stoll(text) <= 2147483647LL;
}

class DefaultsTest : public ModelTest {
 protected:
  void SetUp() override {
    ModelTest::SetUp();
    // Part: PartNo key; Name required with a default; Colour required with a
    // blank default; Size required without default; Note optional with a
    // default; Weight required, last (never examined).
    SpecBuilder("Part")
        .attr("PartNo", STRING)
        .key()
        .attr("Name", STRING)
        .required()
        .defaultValue("widget")
        .attr("Note", STRING)
        .defaultValue("none")
        .attr("Weight", FLOAT)
        .required()
        .registerSpec();
    SpecBuilder("Box")
        .attr("BoxNo", STRING)
        .key()
        .attr("Label", STRING)
        .required()
        .defaultValue("box")
        .attr("Parts", "Part", CARD_MULTIPLE)
        .attr("Lid", "Part")
        .attr("Kind", STRING)
        .defaultValue("crate")
        .attr("ObjectEventId", STRING)
        .registerSpec();
    agent().clearRecords();
  }
};

TEST_F(DefaultsTest, UseDefaultsFalseInAnyCaseRefusesTheFirstMissingRequiredValue) {
  agent().setProperty("UseDefaults", "FALSE");
  BusinessObject part("Part");
  set(part, "PartNo", "P1");
  EXPECT_FALSE(part.initAndValidateAttrs());
  EXPECT_EQ(params(17205), (std::vector<std::string>{"Part,Name"}));
  EXPECT_EQ(typeOf(17205), 6);
  EXPECT_EQ(text(part, "Name"), "<ignore>");
  EXPECT_EQ(agent().callCount("getConfigProp UseDefaults"), 1);

  // Only "false" disables defaults: anything else (here cut to six
  // characters by the seven-byte buffer) leaves them on.
  agent().setProperty("UseDefaults", "falsehood");
  agent().clearRecords();
  EXPECT_TRUE(part.initAndValidateAttrs());
  EXPECT_TRUE(params(17205).empty());
  EXPECT_EQ(text(part, "Name"), "widget");
}

TEST_F(DefaultsTest, WithoutUseDefaultsANonEmptyDefaultFillsTheGap) {
  BusinessObject part("Part");
  set(part, "PartNo", "P1");
  EXPECT_TRUE(part.initAndValidateAttrs());
  EXPECT_EQ(text(part, "Name"), "widget");
  // Optional attributes are not filled; the last attribute is not examined
  // although it is required and unset.
  EXPECT_EQ(text(part, "Note"), "<ignore>");
  EXPECT_EQ(text(part, "Weight"), "<ignore>");
  EXPECT_TRUE(params(17205).empty());
  EXPECT_TRUE(params(17206).empty());
}

TEST_F(DefaultsTest, BlankOrMissingDefaultGives17206AndStopsThere) {
  SpecBuilder("Gadget")
      .attr("Id", STRING)
      .key()
      .attr("Colour", STRING)
      .required()
      .defaultValue(BusinessObject::getBlankValue())
      .attr("Size", INTEGER)
      .required()
      .attr("Shape", STRING)
      .required()
      .defaultValue("")
      .attr("Label", STRING)
      .required()
      .defaultValue("x")
      .attr("Last", STRING)
      .registerSpec();
  BusinessObject gadget("Gadget");
  EXPECT_FALSE(gadget.initAndValidateAttrs());
  EXPECT_EQ(params(17206), (std::vector<std::string>{"Gadget,Colour"}));
  EXPECT_EQ(typeOf(17206), 6);
  // Nothing after the failing attribute was touched.
  EXPECT_EQ(text(gadget, "Label"), "<ignore>");

  set(gadget, "Colour", "red");
  agent().clearRecords();
  EXPECT_FALSE(gadget.initAndValidateAttrs());
  EXPECT_EQ(params(17206), (std::vector<std::string>{"Gadget,Size"}));

  set(gadget, "Size", "3");
  agent().clearRecords();
  EXPECT_FALSE(gadget.initAndValidateAttrs());
  EXPECT_EQ(params(17206), (std::vector<std::string>{"Gadget,Shape"}));
}

TEST_F(DefaultsTest, BlankValuesCountAsSet) {
  agent().setProperty("UseDefaults", "false");
  BusinessObject part("Part");
  ASSERT_TRUE(part.setAttrValue("Name", BusinessObject::getBlankValue(), STRING));
  EXPECT_TRUE(part.initAndValidateAttrs());
  ASSERT_TRUE(part.setAttrValue("Name", const_cast<char*>(""), STRING));
  EXPECT_TRUE(part.initAndValidateAttrs());
  EXPECT_TRUE(params(17205).empty());
}

TEST_F(DefaultsTest, ChildrenAreValidatedInOrderAndTheFirstFailureEndsTheWalk) {
  BusinessObject box("Box");
  auto* first = new BusinessObject("Part");
  auto* second = new BusinessObject("Part");
  box.setAttrValue("Parts", first, OBJECT);
  box.setAttrValue("Parts", second, OBJECT);
  box.setAttrValue("Lid", new BusinessObject("Part"), OBJECT);
  EXPECT_TRUE(box.initAndValidateAttrs());
  EXPECT_EQ(text(box, "Label"), "box");
  EXPECT_EQ(text(*first, "Name"), "widget");
  EXPECT_EQ(text(*second, "Name"), "widget");
  auto* lid = static_cast<BusinessObject*>(box.getAttrValue("Lid"));
  EXPECT_EQ(text(*lid, "Name"), "widget");

  // With defaults off, the second element of the array fails; the single
  // child after the array is not reached.
  agent().setProperty("UseDefaults", "False");
  set(*first, "Name", "a");
  second->setAttrValue("Name", IGNORE_VALUE, STRING);
  lid->setAttrValue("Name", IGNORE_VALUE, STRING);
  agent().clearRecords();
  EXPECT_FALSE(box.initAndValidateAttrs());
  EXPECT_EQ(params(17205), (std::vector<std::string>{"Part,Name"}));
}

TEST_F(DefaultsTest, SetDefaultAttrValuesReplacesValuesAndMakesEmptyArrays) {
  SpecBuilder("Tray")
      .attr("Id", STRING)
      .defaultValue("T0")
      .attr("Colour", STRING)
      .defaultValue(BusinessObject::getBlankValue())
      .attr("Ghosts", "NoSuchType", CARD_MULTIPLE)
      .attr("Parts", "Part", CARD_MULTIPLE)
      .registerSpec();
  BusinessObject tray("Tray");
  set(tray, "Id", "T9");
  set(tray, "Colour", "red");
  tray.setDefaultAttrValues();
  EXPECT_EQ(text(tray, "Id"), "T0");
  EXPECT_EQ(text(tray, "Colour"), "red");  // a blank default is not applied
  auto* parts = static_cast<BusObjArray*>(tray.getAttrValue("Parts"));
  ASSERT_NE(parts, nullptr);
  EXPECT_EQ(parts->getObjectCount(), 0);
  ASSERT_NE(parts->getSpec(), nullptr);
  EXPECT_STREQ(parts->getSpec()->getName(), "Part");
  // The unknown child type is reported by the temporary object and the
  // array has no spec.
  auto* ghosts = static_cast<BusObjArray*>(tray.getAttrValue("Ghosts"));
  ASSERT_NE(ghosts, nullptr);
  EXPECT_EQ(ghosts->getSpec(), nullptr);
  EXPECT_EQ(params(64), (std::vector<std::string>{"0.0.0,NoSuchType"}));

  // A second run keeps the arrays and fills their elements.
  parts->addObject(new BusinessObject("Part"));
  tray.setDefaultAttrValues();
  EXPECT_EQ(tray.getAttrValue("Parts"), parts);
  EXPECT_EQ(text(*parts->getObject(0), "Name"), "widget");
  EXPECT_EQ(text(*parts->getObject(0), "Note"), "none");
}

TEST_F(DefaultsTest, SetDefaultAttrValuesWalksSingleChildren) {
  BusinessObject box("Box");
  auto* lid = new BusinessObject("Part");
  set(*lid, "Note", "old");
  box.setAttrValue("Lid", lid, OBJECT);
  box.setDefaultAttrValues();
  EXPECT_EQ(text(*lid, "Note"), "none");
  EXPECT_EQ(text(*lid, "Weight"), "<ignore>");
  EXPECT_EQ(text(box, "Kind"), "crate");
}

// Counts and checks a filled Box tree: every object "Create", keys random
// decimal texts, defaults in the other simple attributes.
void expectFilledPart(const BusinessObject& part) {
  EXPECT_EQ(ModelTest::verbOf(&part), "Create");
  EXPECT_TRUE(isDecimal(ModelTest::text(part, "PartNo"))) << ModelTest::text(part, "PartNo");
  EXPECT_EQ(ModelTest::text(part, "Name"), "widget");
  EXPECT_EQ(ModelTest::text(part, "Note"), "none");
  EXPECT_EQ(ModelTest::text(part, "Weight"), "<ignore>");
}

TEST_F(DefaultsTest, FillForCreateBuildsChildCountChildrenPerArray) {
  BusinessObject box("Box");
  box.setVerb("Create");
  box.fillForCreate(3, 42);
  EXPECT_TRUE(isDecimal(text(box, "BoxNo")));
  EXPECT_EQ(text(box, "Label"), "box");
  EXPECT_EQ(text(box, "Kind"), "crate");
  EXPECT_EQ(text(box, "ObjectEventId"), "<ignore>");
  auto* parts = static_cast<BusObjArray*>(box.getAttrValue("Parts"));
  ASSERT_NE(parts, nullptr);
  ASSERT_EQ(parts->getObjectCount(), 3);
  for (int i = 0; i < 3; ++i) {
    ASSERT_NE(parts->getObject(i), nullptr);
    expectFilledPart(*parts->getObject(i));
    EXPECT_EQ(parts->getObject(i)->getParent(), &box);
  }
  auto* lid = static_cast<BusinessObject*>(box.getAttrValue("Lid"));
  ASSERT_NE(lid, nullptr);
  expectFilledPart(*lid);
  // Random keys: four draws from 2^31 values do not all coincide.
  EXPECT_FALSE(text(*parts->getObject(0), "PartNo") == text(*parts->getObject(1), "PartNo") &&
               text(*parts->getObject(1), "PartNo") == text(*parts->getObject(2), "PartNo") &&
               text(*parts->getObject(2), "PartNo") == text(*lid, "PartNo"));
}

TEST_F(DefaultsTest, FillForCreateNestsAndLeavesOtherVerbsAlone) {
  SpecBuilder("Crate")
      .attr("CrateNo", INTEGER)
      .key()
      .attr("Boxes", "Box", CARD_MULTIPLE)
      .attr("End", STRING)
      .registerSpec();
  BusinessObject crate("Crate");
  crate.setVerb("Create");
  crate.fillForCreate(2, 0);
  auto* boxes = static_cast<BusObjArray*>(crate.getAttrValue("Boxes"));
  ASSERT_NE(boxes, nullptr);
  ASSERT_EQ(boxes->getObjectCount(), 2);
  for (int i = 0; i < 2; ++i) {
    const BusinessObject* box = boxes->getObject(i);
    EXPECT_EQ(verbOf(box), "Create");
    auto* parts = static_cast<BusObjArray*>(box->getAttrValue("Parts"));
    ASSERT_NE(parts, nullptr);
    EXPECT_EQ(parts->getObjectCount(), 2);
  }

  for (const char* verb : {"Retrieve", static_cast<const char*>(nullptr)}) {
    BusinessObject other("Box");
    other.setVerb(verb);
    set(other, "Label", "mine");
    other.fillForCreate(3, 0);
    EXPECT_EQ(text(other, "BoxNo"), "<ignore>");
    EXPECT_EQ(text(other, "Label"), "mine");
    EXPECT_EQ(other.getAttrValue("Parts"), nullptr);
    EXPECT_EQ(other.getAttrValue("Lid"), nullptr);
  }
  // A negative count makes no array elements.
  BusinessObject none("Box");
  none.setVerb("Create");
  none.fillForCreate(-1, 0);
  EXPECT_EQ(none.getAttrValue("Parts"), nullptr);
  EXPECT_NE(none.getAttrValue("Lid"), nullptr);
}

TEST_F(DefaultsTest, FillForCreateStopsAtATypeThatContainsItself) {
  SpecBuilder("Node")
      .attr("Id", STRING)
      .key()
      .attr("Kids", "Node", CARD_MULTIPLE)
      .attr("Twin", "Leaf")
      .attr("End", STRING)
      .registerSpec();
  SpecBuilder("Leaf")
      .attr("Id", STRING)
      .key()
      .attr("Back", "Node")
      .attr("End", STRING)
      .registerSpec();
  BusinessObject node("Node");
  node.setVerb("Create");
  node.fillForCreate(5, 0);
  EXPECT_TRUE(isDecimal(text(node, "Id")));
  EXPECT_EQ(node.getAttrValue("Kids"), nullptr);
  auto* twin = static_cast<BusinessObject*>(node.getAttrValue("Twin"));
  ASSERT_NE(twin, nullptr);
  EXPECT_TRUE(isDecimal(text(*twin, "Id")));
  EXPECT_EQ(twin->getAttrValue("Back"), nullptr);
}

TEST_F(DefaultsTest, FillForCreateSkipsUnknownChildTypes) {
  SpecBuilder("Odd")
      .attr("Id", STRING)
      .key()
      .attr("Ghost", "Missing")
      .attr("End", STRING)
      .registerSpec();
  BusinessObject odd("Odd");
  odd.setVerb("Create");
  odd.fillForCreate(1, 0);
  EXPECT_EQ(odd.getAttrValue("Ghost"), nullptr);
  EXPECT_EQ(params(64).size(), 1u);
  EXPECT_TRUE(isDecimal(text(odd, "Id")));
}

TEST_F(DefaultsTest, GenerateKeysFollowsEachObjectsVerb) {
  BusinessObject box("Box");
  box.setVerb("Create");
  auto* created = make("Part", "old1", "Create");
  auto* retrieved = make("Part", "old2", "Retrieve");
  box.setAttrValue("Parts", created, OBJECT);
  box.setAttrValue("Parts", retrieved, OBJECT);
  box.setAttrValue("Lid", make("Part", "old3", "Create"), OBJECT);
  box.generateKeys();
  EXPECT_TRUE(isDecimal(text(box, "BoxNo")));
  EXPECT_TRUE(isDecimal(text(*created, "PartNo")));
  EXPECT_EQ(text(*retrieved, "PartNo"), "old2");
  auto* lid = static_cast<BusinessObject*>(box.getAttrValue("Lid"));
  EXPECT_TRUE(isDecimal(text(*lid, "PartNo")));
  // Non-key attributes are untouched.
  EXPECT_EQ(text(box, "Label"), "<ignore>");

  BusinessObject idle("Box");
  idle.setVerb("Update");
  idle.setAttrValue("Lid", make("Part", "keep", "Create"), OBJECT);
  idle.generateKeys();
  EXPECT_EQ(text(idle, "BoxNo"), "<ignore>");
  EXPECT_EQ(text(*static_cast<BusinessObject*>(idle.getAttrValue("Lid")), "PartNo"), "keep");
}

}  // namespace
}  // namespace hbconnector::test
