#include <memory>
#include <string>

#include "busobj/model_fixture.hpp"

namespace hbconnector::test {
namespace {

using SpecTest = ModelTest;

TEST_F(SpecTest, AttrSpecRefusesBadTypeCodesStoresCopiesAndKeepsTheBlankMarker) {
  AttrSpec attr;
  for (int code : {8, -1}) {
    EXPECT_EQ(attr.setAttribute("A", code, "X", false, false, false, nullptr, 10, nullptr, nullptr,
                                nullptr, nullptr),
              -1);
  }
  EXPECT_EQ(params(61), (Strings{"8", "-1"}));
  EXPECT_EQ(typeOf(61), 7);
  EXPECT_EQ(attr.getName(), nullptr);
  EXPECT_EQ(attr.getMaxLength(), 0);

  std::string name = "Amount";
  ASSERT_EQ(attr.setAttribute(name.c_str(), DOUBLE, "Double", true, true, false, BLANK_VALUE, 12,
                              "0.0", "2.3.4", "N", CONTAINMENT, false),
            0);
  name[0] = 'X';
  EXPECT_TRUE(attr.isName("Amount"));
  EXPECT_FALSE(attr.isName("amount"));
  EXPECT_EQ(attr.getAppSpecificInfo(), BLANK_VALUE);
  EXPECT_STREQ(attr.getDefaultValue(), "0.0");
  EXPECT_EQ(attr.getVersion().compare("2.3.4"), 0);
  EXPECT_STREQ(attr.getRelationship(), "Containment");
  // Filling again replaces everything (the old texts are released).
  ASSERT_EQ(attr.setAttribute("Child", OBJECT, "Customer", false, false, true, "info", 0,
                              BLANK_VALUE, nullptr, nullptr, nullptr),
            0);
  EXPECT_EQ(attr.getDefaultValue(), BLANK_VALUE);
  EXPECT_STREQ(attr.getAppSpecificInfo(), "info");
  EXPECT_EQ(attr.getVersionPtr(), nullptr);
  EXPECT_EQ(attr.getVersion().compare("0.0.0"), 0);
  EXPECT_TRUE(attr.isTypeName("Customer"));
  EXPECT_FALSE(attr.isTypeName(nullptr));
  EXPECT_FALSE(AttrSpec().isTypeName("T"));
  EXPECT_TRUE(AttrSpec().isTypeName(nullptr));
}

TEST_F(SpecTest, CardinalityComparisonsIgnoreCase) {
  auto card = [](const char* text) {
    auto attr = std::make_unique<AttrSpec>();
    attr->setAttribute("C", OBJECT, "T", false, false, false, nullptr, 0, nullptr, nullptr, text,
                       nullptr);
    return attr;
  };
  for (const char* multiple : {"n", "N"}) EXPECT_TRUE(card(multiple)->isMultipleCard());
  for (const char* single : {"1", "", "nn", static_cast<const char*>(nullptr)}) {
    EXPECT_FALSE(card(single)->isMultipleCard()) << (single ? single : "null");
  }
  EXPECT_TRUE(card(nullptr)->isCardinality(nullptr));
  EXPECT_FALSE(card(nullptr)->isCardinality("1"));
  EXPECT_FALSE(card("1")->isCardinality(nullptr));
  EXPECT_TRUE(card("N")->isCardinality("n"));
}

TEST_F(SpecTest, AttributeLookupsAreExactAndOnlyTheNamedOneTraces) {
  BusObjSpec* spec =
      SpecBuilder("Shape").attr("Width", INTEGER).attr("width", STRING).registerSpec();
  EXPECT_EQ(spec->getAttributeIndex("width"), 1);
  EXPECT_EQ(spec->getAttributeIndex("WIDTH"), -1);
  EXPECT_EQ(spec->getAttributeIndex(nullptr), -1);
  EXPECT_EQ(spec->getAttribute(2), nullptr);
  EXPECT_EQ(spec->getAttribute(-1), nullptr);
  EXPECT_TRUE(agent().traces().empty());
  EXPECT_EQ(spec->getAttribute("Width"), spec->getAttribute(0));
  EXPECT_EQ(spec->getAttribute("Height"), nullptr);
  auto traces = agent().traces();
  ASSERT_EQ(traces.size(), 1u);
  EXPECT_EQ(traces[0].level, 5);
  EXPECT_EQ(traces[0].text, "Attempt to get nonexistent attribute detected.");
}

TEST_F(SpecTest, VerbRecordsAreHeldByIdentity) {
  BusObjSpec* spec = SpecBuilder("Doc").verbs({}).attr("Id", STRING).registerSpec();
  auto* create = new VerbSpec("Create", "c-info");
  EXPECT_EQ(spec->addVerb(create), 0);
  EXPECT_EQ(spec->addVerb(create), -1);
  EXPECT_EQ(spec->addVerb(new VerbSpec("Create", "twin")), 0);
  EXPECT_EQ(spec->addVerb(nullptr), -1);
  EXPECT_EQ(spec->getVerbCount(), 2);
  EXPECT_TRUE(spec->isVerbSupported(nullptr));
  EXPECT_TRUE(spec->isVerbSupported("Create"));
  EXPECT_FALSE(spec->isVerbSupported("create"));
  EXPECT_EQ(spec->getVerbAppSpecificInfo(nullptr), nullptr);
  EXPECT_EQ(spec->getVerbAppSpecificInfo("Delete"), nullptr);
  EXPECT_NE(spec->getVerbAppSpecificInfo("Create"), nullptr);  // either record
  EXPECT_EQ(spec->removeVerb(create), 0);                      // deletes the record
  EXPECT_EQ(spec->getVerbCount(), 1);
  EXPECT_STREQ(spec->getVerbAppSpecificInfo("Create"), "twin");
  VerbSpec outsider("Create", nullptr);
  EXPECT_EQ(spec->removeVerb(&outsider), -1);
}

TEST_F(SpecTest, MutatorsRefuseWithMessage54AndDirectSettersTakeOwnership) {
  BusObjSpec* spec = SpecBuilder("Fixed").attr("A", STRING).attr("B", STRING).registerSpec();
  AttrSpec extra;
  EXPECT_EQ(spec->setAttribute(0, extra), 0);
  EXPECT_EQ(spec->setAttribute(0, "A", extra), 0);
  EXPECT_EQ(spec->setAttributeCount(5), 2);
  EXPECT_EQ(spec->setAttributeCount(7L), 2);
  EXPECT_EQ(spec->getAttributeCount(), 2);
  EXPECT_STREQ(spec->getAttribute(0)->getName(), "A");
  EXPECT_EQ(params(54),
            (Strings{"BusObjSpec::setAttribute", "BusObjSpec::setAttribute",
                     "BusObjSpec::setAttributeCount", "BusObjSpec::setAttributeCount"}));
  EXPECT_EQ(typeOf(54), 7);

  // Replaced members are released (the leak checker sees any that are not);
  // the same pointer again stays.
  BusObjSpec direct;
  EXPECT_EQ(direct.getAttribute(0), nullptr);
  char* name = new char[4]{'O', 'n', 'e', '\0'};
  direct.setName(name);
  direct.setName(name);
  direct.setName(new char[4]{'T', 'w', 'o', '\0'});
  EXPECT_STREQ(direct.getName(), "Two");
  direct.setVersion(new Version(1, 2, 3));
  direct.setVersion(new Version(4, 5, 6));
  EXPECT_EQ(direct.getVersion()->getMajor(), 4);
  direct.setAppSpecificInfo(new char[2]{'a', '\0'});
  direct.setAppSpecificInfo(new char[2]{'b', '\0'});
  direct.setAttrSpecs(new AttrSpec[3]);
  direct.setAttrSpecs(new AttrSpec[1]);
  direct.setAttrCount(1);
  EXPECT_NE(direct.getAttribute(0), nullptr);
}

}  // namespace
}  // namespace hbconnector::test
