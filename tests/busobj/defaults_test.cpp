#include <cctype>
#include <set>
#include <string>

#include "busobj/model_fixture.hpp"

namespace hbconnector::test {
namespace {

bool isDecimal(const std::string& text) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return std::stoll(text) <= 2147483647LL;
}

class DefaultsTest : public ModelTest {
 protected:
  void SetUp() override {
    ModelTest::SetUp();
    // Part: Name required with a default; Note optional with a default;
    // Weight required, last (never examined).
    SpecBuilder part("Part");
    part.attr("PartNo", STRING).key().attr("Name", STRING).required().defaultValue("widget");
    part.attr("Note", STRING).defaultValue("none").attr("Weight", FLOAT).required();
    part.registerSpec();
    SpecBuilder box("Box");
    box.attr("BoxNo", STRING).key().attr("Label", STRING).required().defaultValue("box");
    box.attr("Parts", "Part", CARD_MULTIPLE).attr("Lid", "Part");
    box.attr("Kind", STRING).defaultValue("crate").attr("ObjectEventId", STRING).registerSpec();
    agent().clearRecords();
  }
  static BusObjArray* parts(const BusinessObject& box) {
    return static_cast<BusObjArray*>(box.getAttrValue("Parts"));
  }
  static BusinessObject* lid(const BusinessObject& box) {
    return static_cast<BusinessObject*>(box.getAttrValue("Lid"));
  }
};

TEST_F(DefaultsTest, InitAndValidateFillsRequiredGapsUnlessUseDefaultsIsFalse) {
  BusinessObject part("Part");
  set(part, "PartNo", "P1");
  agent().setProperty("UseDefaults", "FALSE");  // any case
  EXPECT_FALSE(part.initAndValidateAttrs());
  EXPECT_EQ(params(17205), (Strings{"Part,Name"}));
  EXPECT_EQ(typeOf(17205), 6);
  EXPECT_EQ(text(part, "Name"), "<ignore>");
  EXPECT_EQ(agent().callCount("getConfigProp UseDefaults"), 1);

  // Only "false" disables defaults: anything else (here cut to six
  // characters by the seven-byte buffer) leaves them on, as does no value.
  for (bool present : {true, false}) {
    if (present) agent().setProperty("UseDefaults", "falsehood");
    if (!present) agent().removeProperty("UseDefaults");
    agent().clearRecords();
    BusinessObject fresh("Part");
    EXPECT_TRUE(fresh.initAndValidateAttrs());
    EXPECT_TRUE(params(17205).empty());
    EXPECT_EQ(text(fresh, "Name"), "widget");
    // Optional attributes are not filled; the last is not examined although
    // it is required and unset.
    EXPECT_EQ(text(fresh, "Note"), "<ignore>");
    EXPECT_EQ(text(fresh, "Weight"), "<ignore>");
    EXPECT_TRUE(params(17206).empty());
  }

  // Blank values count as set.
  agent().setProperty("UseDefaults", "false");
  for (const char* value : {static_cast<const char*>(BLANK_VALUE), ""}) {
    ASSERT_TRUE(part.setAttrValue("Name", const_cast<char*>(value), STRING));
    EXPECT_TRUE(part.initAndValidateAttrs());
  }
  EXPECT_EQ(params(17205).size(), 0u);
}

TEST_F(DefaultsTest, BlankOrMissingDefaultGives17206AndStopsThere) {
  SpecBuilder gadget("Gadget");
  gadget.attr("Id", STRING).key();
  gadget.attr("Colour", STRING).required().defaultValue(BLANK_VALUE);
  gadget.attr("Size", INTEGER).required().attr("Shape", STRING).required().defaultValue("");
  gadget.attr("Label", STRING).required().defaultValue("x").attr("Last", STRING).registerSpec();
  BusinessObject bo("Gadget");
  for (const char* failing : {"Colour", "Size", "Shape"}) {
    agent().clearRecords();
    EXPECT_FALSE(bo.initAndValidateAttrs());
    EXPECT_EQ(params(17206), (Strings{std::string("Gadget,") + failing}));
    EXPECT_EQ(typeOf(17206), 6);
    // Nothing after the failing attribute was touched.
    EXPECT_EQ(text(bo, "Label"), "<ignore>");
    set(bo, failing, "3");
  }
  EXPECT_TRUE(bo.initAndValidateAttrs());
  EXPECT_EQ(text(bo, "Label"), "x");
}

TEST_F(DefaultsTest, ChildrenAreValidatedInOrderAndTheFirstFailureEndsTheWalk) {
  BusinessObject box("Box");
  box.setAttrValue("Parts", new BusinessObject("Part"), OBJECT);
  box.setAttrValue("Parts", new BusinessObject("Part"), OBJECT);
  box.setAttrValue("Lid", new BusinessObject("Part"), OBJECT);
  EXPECT_TRUE(box.initAndValidateAttrs());
  EXPECT_EQ(text(box, "Label"), "box");
  BusinessObject* first = parts(box)->getObject(0);
  BusinessObject* second = parts(box)->getObject(1);
  for (BusinessObject* part : {first, second, lid(box)}) EXPECT_EQ(text(*part, "Name"), "widget");

  // With defaults off, the second element of the array fails; the single
  // child after the array is not reached.
  agent().setProperty("UseDefaults", "False");
  set(*first, "Name", "a");
  second->setAttrValue("Name", IGNORE_VALUE, STRING);
  lid(box)->setAttrValue("Name", IGNORE_VALUE, STRING);
  agent().clearRecords();
  EXPECT_FALSE(box.initAndValidateAttrs());
  EXPECT_EQ(params(17205), (Strings{"Part,Name"}));
}

TEST_F(DefaultsTest, SetDefaultAttrValuesReplacesValuesMakesEmptyArraysAndWalksChildren) {
  SpecBuilder tray("Tray");
  tray.attr("Id", STRING).defaultValue("T0").attr("Colour", STRING).defaultValue(BLANK_VALUE);
  tray.attr("Lid", "Part").attr("Ghosts", "NoSuchType", CARD_MULTIPLE);
  tray.attr("Parts", "Part", CARD_MULTIPLE).registerSpec();
  BusinessObject bo("Tray");
  set(bo, "Id", "T9");
  set(bo, "Colour", "red");
  auto* lidPart = make("Part", nullptr);
  set(*lidPart, "Note", "old");
  bo.setAttrValue("Lid", lidPart, OBJECT);
  bo.setDefaultAttrValues();
  EXPECT_EQ(text(bo, "Id"), "T0");
  EXPECT_EQ(text(bo, "Colour"), "red");  // a blank default is not applied
  EXPECT_EQ(text(*lidPart, "Note"), "none");
  EXPECT_EQ(text(*lidPart, "Weight"), "<ignore>");
  BusObjArray* array = parts(bo);
  ASSERT_NE(array, nullptr);
  EXPECT_EQ(array->getObjectCount(), 0);
  ASSERT_NE(array->getSpec(), nullptr);
  EXPECT_STREQ(array->getSpec()->getName(), "Part");
  // The unknown child type is reported by the temporary object and the
  // array has no spec.
  auto* ghosts = static_cast<BusObjArray*>(bo.getAttrValue("Ghosts"));
  ASSERT_NE(ghosts, nullptr);
  EXPECT_EQ(ghosts->getSpec(), nullptr);
  EXPECT_EQ(params(64), (Strings{"0.0.0,NoSuchType"}));

  // A second run keeps the arrays and fills their elements.
  array->addObject(new BusinessObject("Part"));
  bo.setDefaultAttrValues();
  EXPECT_EQ(parts(bo), array);
  EXPECT_EQ(text(*array->getObject(0), "Name"), "widget");
  EXPECT_EQ(text(*array->getObject(0), "Note"), "none");
}

// A filled Part: "Create", a random decimal key, defaults elsewhere.
void expectFilledPart(const BusinessObject* part) {
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(ModelTest::verbOf(part), "Create");
  EXPECT_TRUE(isDecimal(ModelTest::text(*part, "PartNo"))) << ModelTest::text(*part, "PartNo");
  EXPECT_EQ(ModelTest::text(*part, "Name"), "widget");
  EXPECT_EQ(ModelTest::text(*part, "Note"), "none");
  EXPECT_EQ(ModelTest::text(*part, "Weight"), "<ignore>");
}

TEST_F(DefaultsTest, FillForCreateBuildsChildCountChildrenPerArrayAndNests) {
  BusinessObject box("Box");
  box.setVerb("Create");
  box.fillForCreate(3, 42);
  EXPECT_TRUE(isDecimal(text(box, "BoxNo")));
  EXPECT_EQ(text(box, "Label"), "box");
  EXPECT_EQ(text(box, "Kind"), "crate");
  EXPECT_EQ(text(box, "ObjectEventId"), "<ignore>");
  ASSERT_NE(parts(box), nullptr);
  ASSERT_EQ(parts(box)->getObjectCount(), 3);
  std::set<std::string> partKeys;
  for (int i = 0; i < 3; ++i) {
    expectFilledPart(parts(box)->getObject(i));
    EXPECT_EQ(parts(box)->getObject(i)->getParent(), &box);
    partKeys.insert(text(*parts(box)->getObject(i), "PartNo"));
  }
  expectFilledPart(lid(box));
  // Random keys: four draws from 2^31 values do not all coincide.
  partKeys.insert(text(*lid(box), "PartNo"));
  EXPECT_GT(partKeys.size(), 1u);

  SpecBuilder crate("Crate");
  crate.attr("CrateNo", INTEGER).key().attr("Boxes", "Box", CARD_MULTIPLE).attr("End", STRING);
  crate.registerSpec();
  BusinessObject outer("Crate");
  outer.setVerb("Create");
  outer.fillForCreate(2, 0);
  auto* boxes = static_cast<BusObjArray*>(outer.getAttrValue("Boxes"));
  ASSERT_NE(boxes, nullptr);
  ASSERT_EQ(boxes->getObjectCount(), 2);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(verbOf(boxes->getObject(i)), "Create");
    ASSERT_NE(parts(*boxes->getObject(i)), nullptr);
    EXPECT_EQ(parts(*boxes->getObject(i))->getObjectCount(), 2);
  }
}

TEST_F(DefaultsTest, FillForCreateLeavesOtherVerbsAloneAndStopsAtRecursionAndUnknownTypes) {
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

  // A type that contains itself, directly or through another, and an
  // unknown child type (reported once) are not filled.
  SpecBuilder node("Node"), leaf("Leaf");
  node.attr("Id", STRING).key().attr("Kids", "Node", CARD_MULTIPLE).attr("Twin", "Leaf");
  node.attr("Ghost", "Missing").attr("End", STRING).registerSpec();
  leaf.attr("Id", STRING).key().attr("Back", "Node").attr("End", STRING).registerSpec();
  agent().clearRecords();
  BusinessObject bo("Node");
  bo.setVerb("Create");
  bo.fillForCreate(5, 0);
  EXPECT_TRUE(isDecimal(text(bo, "Id")));
  EXPECT_EQ(bo.getAttrValue("Kids"), nullptr);
  EXPECT_EQ(bo.getAttrValue("Ghost"), nullptr);
  EXPECT_EQ(params(64).size(), 1u);
  auto* twin = static_cast<BusinessObject*>(bo.getAttrValue("Twin"));
  ASSERT_NE(twin, nullptr);
  EXPECT_TRUE(isDecimal(text(*twin, "Id")));
  EXPECT_EQ(twin->getAttrValue("Back"), nullptr);
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
  EXPECT_TRUE(isDecimal(text(*lid(box), "PartNo")));
  EXPECT_EQ(text(box, "Label"), "<ignore>");  // non-key attributes are untouched

  BusinessObject idle("Box");
  idle.setVerb("Update");
  idle.setAttrValue("Lid", make("Part", "keep", "Create"), OBJECT);
  idle.generateKeys();
  EXPECT_EQ(text(idle, "BoxNo"), "<ignore>");
  EXPECT_EQ(text(*lid(idle), "PartNo"), "keep");
}

}  // namespace
}  // namespace hbconnector::test
