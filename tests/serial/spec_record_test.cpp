// The specification record: look-ahead rule, conversions, malformed records,
// and the writer.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "hbconnector/business_object.hpp"
#include "hbconnector/busobj_spec.hpp"
#include "hbconnector/string_message.hpp"
#include "support/record_text.hpp"
#include "support/spec_builder.hpp"

namespace hbconnector::test {
namespace {

// '~' stands for the empty marker (code 5).
std::string marked(std::string text) {
  for (char& c : text) c = c == '~' ? '\x05' : c;
  return text;
}
const std::string kHead = "BusObjSpec|Customer|1.2.3|~|2|1|";
const std::string kId = "Id|String|true|false|true|~|0|~|1.0.0|null|r|false|";
const std::string kAddr = "Addr|date|false|false|false|i|40|d|2.0.0|N|C|true|";
const std::string kVerb = "Create|~|";

std::unique_ptr<BusObjSpec> read(const std::string& tokens, bool lengthPrefixed = true) {
  const auto t = split(marked(tokens));
  std::unique_ptr<StringMessage> m(lengthPrefixed ? new StringMessageI18N(prefixed(t).c_str())
                                                  : new StringMessage(delimited(t).c_str()));
  return std::make_unique<BusObjSpec>(*m);
}

// What a spec holds. The record cannot tell an absent text from an empty one
// (nor from "null" in cardinality and relationship).
std::string describe(const BusObjSpec& spec) {
  auto t = [](const char* v) {
    return v == nullptr || v[0] == '\0' || std::string(v) == "null" ? std::string("-") : v;
  };
  std::string d = t(spec.getName()) + spec.getVersion()->toString() + t(spec.getAppSpecificInfo()) +
                  std::to_string(spec.getAttributeCount()) + std::to_string(spec.getVerbCount());
  for (int i = 0; i < spec.getAttributeCount(); ++i) {
    const AttrSpec* a = spec.getAttribute(i);
    d += "|" + t(a->getName()) + std::to_string(a->getType()) + t(a->getTypeName()) +
         std::to_string(a->isKey() + 2 * a->isForeignKey() + 4 * a->isRequired()) +
         t(a->getAppSpecificInfo()) + std::to_string(a->getMaxLength()) + t(a->getDefaultValue()) +
         a->getVersion().toString() + t(a->getCardinality()) + t(a->getRelationship()) +
         std::to_string(a->getAttrFlag());
  }
  return d;
}

TEST(SpecRecordTest, FieldsAndTheThirteenthToken) {
  std::unique_ptr<BusObjSpec> spec = read(kHead + kId + kAddr + kVerb);
  ASSERT_EQ(spec->getAttributeCount(), 2);
  const AttrSpec* id = spec->getAttribute(0);
  EXPECT_EQ(id->getType(), STRING);
  EXPECT_EQ(id->getMaxLength(), 255);
  EXPECT_EQ(id->getDefaultValue(), BusinessObject::getBlankValue());
  EXPECT_STREQ(id->getCardinality(), "");
  EXPECT_EQ(spec->getAttribute(1)->getType(), OBJECT);  // "date" names a child type
  EXPECT_TRUE(spec->getAttribute(1)->isMultipleCard());
  EXPECT_STREQ(spec->getVerbAppSpecificInfo("Create"), "");
  const std::string twelve = describe(*spec);
  EXPECT_EQ(describe(*read(kHead + kId + "true|" + kAddr + "false|" + kVerb)), twelve);
  EXPECT_EQ(describe(*read(kHead + kId + kAddr + "true|" + kVerb, false)), twelve);
}

TEST(SpecRecordTest, EndsLeftoversAndMalformedRecords) {
  EXPECT_EQ(read("BusObjSpec|T|1.0.0|~|2|0|" + kId + kAddr)->getAttributeCount(), 2);
  EXPECT_EQ(read("BusObjSpec|T|1.0.0|~|2|0|" + kId + kAddr + "left|")->getAttributeCount(), -1);
  EXPECT_EQ(read(kHead + kId + kAddr + kVerb + "x|", false)->getAttributeCount(), -1);
  std::unique_ptr<BusObjSpec> verbOnly = read("BusObjSpec|V|1.0.0|v|0|1|Get|h|");
  EXPECT_EQ(verbOnly->getAttributeCount(), 0);
  EXPECT_STREQ(verbOnly->getVerbAppSpecificInfo("Get"), "h");

  const auto full = split(marked(kHead + kId + kAddr + kVerb));
  for (std::size_t n = 0; n < full.size(); ++n) {
    StringMessageI18N m(prefixed(firstTokens(full, n)).c_str());
    EXPECT_EQ(BusObjSpec(m).getAttributeCount(), -1) << n;
  }
  // Counts the text cannot hold are refused before anything is allocated.
  for (const char* counts : {"2000000000|0|", "1|2000000000|", "-1|0|", "1|-4|", "many|0|"}) {
    EXPECT_EQ(read("BusObjSpec|T|1.0.0|~|" + std::string(counts) + kId)->getAttributeCount(), -1)
        << counts;
  }
}

TEST(SpecRecordTest, WriterRoundTripAndBytes) {
  RegistryGuard guard;
  std::unique_ptr<BusObjSpec> built(SpecBuilder("Shop", "3.4.5")
                                        .info("shop")
                                        .attr("Code", STRING)
                                        .key()
                                        .required()
                                        .maxLength(12)
                                        .attrInfo("col")
                                        .defaultValue(BusinessObject::getBlankValue())
                                        .attr("Items", "Item", CARD_MULTIPLE, "2.0.0")
                                        .relationship(CONTAINMENT)
                                        .foreignKey()
                                        .attrFlag(false)
                                        .verbs({"Create"})
                                        .verb("Delete", "soft")
                                        .build());
  std::unique_ptr<StringMessage> record(built->toStringMessage());
  BusObjSpec back(*record);
  EXPECT_EQ(describe(back), describe(*built));
  EXPECT_STREQ(back.getVerbAppSpecificInfo("Delete"), "soft");

  std::unique_ptr<BusObjSpec> small(
      SpecBuilder("S").attr("A", INTEGER).maxLength(9).defaultValue("7").verbs({"Create"}).build());
  std::unique_ptr<StringMessage> bytes(small->toStringMessage());
  EXPECT_EQ(bytes->getText(), bars(marked("BusObjSpec|S|1.0.0|~|1|1|A|Integer|false|false|false|~|"
                                          "9|7|0.0.0|null|null|true|Create|~|")));
}

TEST(SpecRecordTest, NamesThatLookLikeTheThirteenthTokenSurviveTheWriter) {
  // Attributes and a verb named like booleans, right after twelve-token
  // entries: the reader's look-ahead must not take them for a thirteenth token.
  std::unique_ptr<BusObjSpec> odd(SpecBuilder("Odd")
                                      .attr("true", STRING)
                                      .attr("false", INTEGER)
                                      .attr("Plain", STRING)
                                      .attr("true", STRING)
                                      .verbs({"false"})
                                      .build());
  std::unique_ptr<StringMessage> record(odd->toStringMessage());
  BusObjSpec back(*record);
  ASSERT_EQ(back.getAttributeCount(), 4);
  EXPECT_EQ(describe(back), describe(*odd));
  EXPECT_NE(back.getVerbAppSpecificInfo("false"), nullptr);
  std::unique_ptr<StringMessage> again(back.toStringMessage());
  EXPECT_STREQ(again->getText(), record->getText());
  // Only the entries before such a name carry the extra token: the first,
  // the third and the fourth (before the verb).
  const std::string text = record->getText();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\x03'), 6 + 4 * 12 + 3 + 2);
}

}  // namespace
}  // namespace hbconnector::test
