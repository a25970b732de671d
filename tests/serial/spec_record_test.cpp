// The specification record: look-ahead rule, conversions, malformed records,
// and the writer.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "hbconnector/business_object.hpp"
#include "hbconnector/busobj_spec.hpp"
#include "hbconnector/string_message.hpp"
#include "support/record_text.hpp"
#include "support/spec_builder.hpp"

namespace {

using hbconnector::test::delimited;
using hbconnector::test::firstTokens;
using hbconnector::test::prefixed;
using hbconnector::test::SpecBuilder;
using hbconnector::test::Tokens;

const std::string E = "\x05";  // the empty marker
const Tokens kHead = {"BusObjSpec", "Customer", "1.2.3", E, "2", "1"};
const Tokens kId = {"Id", "String", "true",  "false", "true", E,
                    "0",  E,        "1.0.0", "null",  "r",    "false"};
const Tokens kAddr = {"Addr", "date", "false", "false", "false", "i",
                      "40",   "d",    "2.0.0", "N",     "C",     "true"};
const Tokens kVerb = {"Create", E};

Tokens join(std::initializer_list<Tokens> parts) {
  Tokens all;
  for (const Tokens& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::unique_ptr<BusObjSpec> read(const Tokens& tokens, bool lengthPrefixed = true) {
  std::unique_ptr<StringMessage> m(lengthPrefixed ? new StringMessageI18N(prefixed(tokens).c_str())
                                                  : new StringMessage(delimited(tokens).c_str()));
  return std::make_unique<BusObjSpec>(*m);
}

// What a spec holds, as text. The record cannot tell an absent text from an
// empty one (nor from "null" in cardinality and relationship).
std::string describe(const BusObjSpec& spec) {
  auto t = [](const char* v) {
    return v == nullptr || v[0] == '\0' || std::string(v) == "null" ? std::string("-") : v;
  };
  std::string d = t(spec.getName()) + spec.getVersion()->toString() + t(spec.getAppSpecificInfo()) +
                  std::to_string(spec.getAttributeCount()) + "/" +
                  std::to_string(spec.getVerbCount());
  for (int i = 0; i < spec.getAttributeCount(); ++i) {
    const AttrSpec* a = spec.getAttribute(i);
    d += "|" + t(a->getName()) + std::to_string(a->getType()) + t(a->getTypeName()) +
         std::to_string(a->isKey()) + std::to_string(a->isForeignKey()) +
         std::to_string(a->isRequired()) + t(a->getAppSpecificInfo()) +
         std::to_string(a->getMaxLength()) + t(a->getDefaultValue()) + a->getVersion().toString() +
         t(a->getCardinality()) + t(a->getRelationship()) + std::to_string(a->getAttrFlag());
  }
  return d;
}

TEST(SpecRecordTest, FieldsAndTheThirteenthToken) {
  std::unique_ptr<BusObjSpec> spec = read(join({kHead, kId, kAddr, kVerb}));
  ASSERT_EQ(spec->getAttributeCount(), 2);
  const AttrSpec* id = spec->getAttribute(0);
  EXPECT_EQ(id->getType(), STRING);
  EXPECT_EQ(id->getMaxLength(), 255);
  EXPECT_EQ(id->getAppSpecificInfo(), BusinessObject::getBlankValue());
  EXPECT_EQ(id->getDefaultValue(), BusinessObject::getBlankValue());
  EXPECT_STREQ(id->getCardinality(), "");
  const AttrSpec* addr = spec->getAttribute(1);
  EXPECT_EQ(addr->getType(), OBJECT);  // "date" is a child type, "Date" would be 6
  EXPECT_TRUE(addr->isMultipleCard());
  EXPECT_STREQ(spec->getVerbAppSpecificInfo("Create"), "");
  // A "true"/"false" after an entry is a thirteenth token of that entry.
  const std::string twelve = describe(*spec);
  for (const Tokens& t : {join({kHead, kId, {"true"}, kAddr, {"false"}, kVerb}),
                          join({kHead, kId, kAddr, {"true"}, kVerb})}) {
    EXPECT_EQ(describe(*read(t)), twelve);
  }
}

TEST(SpecRecordTest, WhereTheRecordEnds) {
  const Tokens noVerbs = {"BusObjSpec", "T", "1.0.0", E, "2", "0"};
  EXPECT_EQ(read(join({noVerbs, kId, kAddr}))->getAttributeCount(), 2);
  EXPECT_EQ(read(join({noVerbs, kId, kAddr, {"left"}}))->getAttributeCount(), -1);
  std::unique_ptr<BusObjSpec> verbOnly =
      read({"BusObjSpec", "V", "1.0.0", "v", "0", "1", "Get", "h"});
  EXPECT_EQ(verbOnly->getAttributeCount(), 0);
  EXPECT_STREQ(verbOnly->getVerbAppSpecificInfo("Get"), "h");
  EXPECT_EQ(read(join({kHead, kId, kAddr, kVerb, {"x"}}), false)->getAttributeCount(), -1);
}

TEST(SpecRecordTest, MalformedRecordsAreInvalid) {
  const Tokens full = join({kHead, kId, kAddr, kVerb});
  for (std::size_t n = 0; n < full.size(); ++n) {
    EXPECT_EQ(read(firstTokens(full, n))->getAttributeCount(), -1) << n;
    EXPECT_EQ(read(firstTokens(full, n), false)->getAttributeCount(), -1) << n;
  }
  // Counts the text cannot hold are refused before anything is allocated.
  for (const char* counts : {"2000000000|0", "1|2000000000", "-1|0", "1|-4", "many|0"}) {
    const std::string c = counts;
    const std::size_t bar = c.find('|');
    const Tokens head = {"BusObjSpec", "T", "1.0.0", E, c.substr(0, bar), c.substr(bar + 1)};
    EXPECT_EQ(read(join({head, kId}))->getAttributeCount(), -1) << counts;
  }
}

TEST(SpecRecordTest, WriterRoundTripAndBytes) {
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
  EXPECT_EQ(std::string(bytes->getText()),
            delimited({"BusObjSpec", "S",     "1.0.0", E,       "1",      "1", "A",
                       "Integer",    "false", "false", "false", E,        "9", "7",
                       "0.0.0",      "null",  "null",  "true",  "Create", E}));
}

}  // namespace
