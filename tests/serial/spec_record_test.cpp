// The specification record: the reader's look-ahead rule, field conversions,
// malformed records, and the writer.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "hbconnector/business_object.hpp"
#include "hbconnector/busobj_spec.hpp"
#include "hbconnector/string_message.hpp"
#include "support/record_text.hpp"
#include "support/spec_builder.hpp"

namespace {

using hbconnector::test::delimited;
using hbconnector::test::prefixed;
using hbconnector::test::RegistryGuard;
using hbconnector::test::SpecBuilder;
using Tokens = std::vector<std::string>;

const std::string E = "\x05";  // the empty marker

const Tokens kHeader = {"BusObjSpec", "Customer", "1.2.3", E, "2", "1"};
const Tokens kId = {"Id", "String", "true",  "false", "true", E,
                    "0",  E,        "1.0.0", "null",  "null", "false"};
const Tokens kAddr = {"Addr", "Address", "false", "false", "false",       "info",
                      "40",   "dflt",    "2.0.0", "n",     "Containment", "true"};
const Tokens kVerb = {"Create", E};

Tokens join(std::initializer_list<Tokens> parts) {
  Tokens all;
  for (const Tokens& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::unique_ptr<BusObjSpec> readPrefixed(const Tokens& tokens) {
  StringMessageI18N message(prefixed(tokens).c_str());
  return std::make_unique<BusObjSpec>(message);
}

std::unique_ptr<BusObjSpec> readDelimited(const Tokens& tokens) {
  StringMessage message(delimited(tokens).c_str());
  return std::make_unique<BusObjSpec>(message);
}

std::string text(const char* value) {
  if (value == nullptr) return "<none>";
  if (value == BusinessObject::getBlankValue()) return "<blank>";
  return value;
}

// The record cannot tell an absent text from an empty one (and writes an
// absent cardinality or relationship as "null"): compare them as one.
std::string loose(const char* value) {
  if (value == nullptr || value[0] == '\0' || std::string(value) == "null") return "<empty>";
  return value;
}

// Everything a spec holds, as one comparable text.
std::string describe(const BusObjSpec& spec) {
  std::string d = text(spec.getName()) + " " + spec.getVersion()->toString() +
                  " info=" + text(spec.getAppSpecificInfo()) +
                  " count=" + std::to_string(spec.getAttributeCount()) + "\n";
  for (int i = 0; i < spec.getAttributeCount(); ++i) {
    const AttrSpec* a = spec.getAttribute(i);
    d += text(a->getName()) + " type=" + std::to_string(a->getType()) + " " +
         text(a->getTypeName()) + (a->isKey() ? " key" : "") + (a->isForeignKey() ? " fk" : "") +
         (a->isRequired() ? " req" : "") + " info=" + loose(a->getAppSpecificInfo()) +
         " max=" + std::to_string(a->getMaxLength()) + " default=" + loose(a->getDefaultValue()) +
         " v=" + a->getVersion().toString() + " card=" + loose(a->getCardinality()) +
         " rel=" + loose(a->getRelationship()) + (a->getAttrFlag() ? " flag" : "") + "\n";
  }
  d += "verbs=" + std::to_string(spec.getVerbCount());
  return d;
}

TEST(SpecRecordTest, FieldsAreConvertedAsRead) {
  std::unique_ptr<BusObjSpec> spec = readPrefixed(join({kHeader, kId, kAddr, kVerb}));
  ASSERT_EQ(spec->getAttributeCount(), 2);
  EXPECT_STREQ(spec->getName(), "Customer");
  EXPECT_EQ(spec->getVersion()->getMinor(), 2);
  EXPECT_STREQ(spec->getAppSpecificInfo(), "");

  const AttrSpec* id = spec->getAttribute(0);
  EXPECT_EQ(id->getType(), STRING);
  EXPECT_TRUE(id->isKey());
  EXPECT_FALSE(id->isForeignKey());
  EXPECT_TRUE(id->isRequired());
  EXPECT_EQ(id->getAppSpecificInfo(), BusinessObject::getBlankValue());
  EXPECT_EQ(id->getMaxLength(), 255);
  EXPECT_EQ(id->getDefaultValue(), BusinessObject::getBlankValue());
  EXPECT_STREQ(id->getCardinality(), "");
  EXPECT_STREQ(id->getRelationship(), "null");
  EXPECT_FALSE(id->getAttrFlag());

  const AttrSpec* addr = spec->getAttribute(1);
  EXPECT_EQ(addr->getType(), OBJECT);
  EXPECT_STREQ(addr->getTypeName(), "Address");
  EXPECT_TRUE(addr->isMultipleCard());
  EXPECT_EQ(addr->getMaxLength(), 40);
  EXPECT_STREQ(addr->getDefaultValue(), "dflt");
  EXPECT_EQ(addr->getVersion().getMajor(), 2);
  EXPECT_TRUE(addr->getAttrFlag());

  EXPECT_TRUE(spec->isVerbSupported("Create"));
  EXPECT_STREQ(spec->getVerbAppSpecificInfo("Create"), "");
}

TEST(SpecRecordTest, TypeNamesMapExactly) {
  const Tokens header = {"BusObjSpec", "T", "1.0.0", E, "3", "0"};
  auto attr = [](const char* name, const char* type) {
    return Tokens{name, type, "false", "false", "false", E, "0", E, "1.0.0", "1", "x", "true"};
  };
  std::unique_ptr<BusObjSpec> spec =
      readPrefixed(join({header, attr("a", "LongText"), attr("b", "date"), attr("c", "Date")}));
  ASSERT_EQ(spec->getAttributeCount(), 3);
  EXPECT_EQ(spec->getAttribute(0)->getType(), LONGTEXT);
  EXPECT_EQ(spec->getAttribute(1)->getType(), OBJECT);  // a child type named "date"
  EXPECT_EQ(spec->getAttribute(2)->getType(), DATE);
}

TEST(SpecRecordTest, ThirteenthTokenIsRecognisedByLookAhead) {
  const std::string twelve = describe(*readPrefixed(join({kHeader, kId, kAddr, kVerb})));
  const Tokens variants[] = {
      join({kHeader, kId, {"true"}, kAddr, {"false"}, kVerb}),
      join({kHeader, kId, {"false"}, kAddr, kVerb}),
      join({kHeader, kId, kAddr, {"true"}, kVerb}),
  };
  for (const Tokens& tokens : variants) {
    std::unique_ptr<BusObjSpec> spec = readPrefixed(tokens);
    EXPECT_EQ(spec->getAttributeCount(), 2);
    EXPECT_EQ(describe(*spec), twelve);
  }
}

TEST(SpecRecordTest, EndsOfRecordWithAndWithoutVerbs) {
  // Two attributes and no verbs: the last look-ahead finds the end.
  const Tokens noVerbs = {"BusObjSpec", "T", "1.0.0", E, "2", "0"};
  EXPECT_EQ(readPrefixed(join({noVerbs, kId, kAddr}))->getAttributeCount(), 2);
  EXPECT_EQ(readPrefixed(join({noVerbs, kId, kAddr, {"true"}}))->getAttributeCount(), 2);
  // ... and a token after them is left over.
  EXPECT_EQ(readPrefixed(join({noVerbs, kId, kAddr, {"extra"}}))->getAttributeCount(), -1);

  // No attributes and one verb: the verb name follows the verb count.
  std::unique_ptr<BusObjSpec> verbOnly =
      readPrefixed({"BusObjSpec", "V", "1.0.0", "about V", "0", "1", "Retrieve", "how"});
  EXPECT_EQ(verbOnly->getAttributeCount(), 0);
  EXPECT_STREQ(verbOnly->getAppSpecificInfo(), "about V");
  EXPECT_STREQ(verbOnly->getVerbAppSpecificInfo("Retrieve"), "how");

  // Tokens after the last verb make the spec invalid.
  EXPECT_EQ(readPrefixed(join({kHeader, kId, kAddr, kVerb, {"Delete"}}))->getAttributeCount(), -1);
  EXPECT_EQ(readDelimited(join({kHeader, kId, kAddr, kVerb, {"x", "y"}}))->getAttributeCount(), -1);
}

TEST(SpecRecordTest, EveryTruncationIsInvalid) {
  const Tokens full = join({kHeader, kId, kAddr, kVerb});
  ASSERT_EQ(readPrefixed(full)->getAttributeCount(), 2);
  ASSERT_EQ(readDelimited(full)->getAttributeCount(), 2);
  for (std::size_t n = 0; n < full.size(); ++n) {
    const Tokens cut(full.begin(), full.begin() + static_cast<long>(n));
    EXPECT_EQ(readPrefixed(cut)->getAttributeCount(), -1) << "tokens kept: " << n;
    EXPECT_EQ(readDelimited(cut)->getAttributeCount(), -1) << "tokens kept: " << n;
  }
}

TEST(SpecRecordTest, ImpossibleCountsAreRefusedBeforeAllocating) {
  const auto start = std::chrono::steady_clock::now();
  for (const Tokens& header : {Tokens{"BusObjSpec", "T", "1.0.0", E, "2000000000", "0"},
                               Tokens{"BusObjSpec", "T", "1.0.0", E, "1", "2000000000"},
                               Tokens{"BusObjSpec", "T", "1.0.0", E, "-1", "0"},
                               Tokens{"BusObjSpec", "T", "1.0.0", E, "1", "-4"}}) {
    EXPECT_EQ(readPrefixed(join({header, kId}))->getAttributeCount(), -1);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  // Counts without digits are 0: the attribute entry is then left over.
  EXPECT_EQ(readPrefixed(join({{"BusObjSpec", "T", "1.0.0", E, "many", "none"}, kId}))
                ->getAttributeCount(),
            -1);
  EXPECT_EQ(readPrefixed({"BusObjSpec", "T", "1.0.0", E, "none", "none"})->getAttributeCount(), 0);
}

TEST(SpecRecordTest, ReadingRestartsAtTheFirstToken) {
  StringMessageI18N message(prefixed(join({kHeader, kId, kAddr, kVerb})).c_str());
  message.nextToken();
  message.nextToken();
  BusObjSpec spec(message);
  EXPECT_EQ(spec.getAttributeCount(), 2);
  EXPECT_STREQ(spec.getName(), "Customer");
}

TEST(SpecRecordTest, WriterProducesTheRecordTheReaderTakes) {
  RegistryGuard guard;
  std::unique_ptr<BusObjSpec> built(SpecBuilder("Shop", "3.4.5")
                                        .info("shop info")
                                        .attr("Code", STRING)
                                        .key()
                                        .required()
                                        .maxLength(12)
                                        .attrInfo("col=CODE")
                                        .defaultValue(BusinessObject::getBlankValue())
                                        .attr("Items", "Item", CARD_MULTIPLE, "2.0.0")
                                        .relationship(CONTAINMENT)
                                        .foreignKey()
                                        .attrFlag(false)
                                        .verbs({"Create"})
                                        .verb("Delete", "soft")
                                        .build());
  std::unique_ptr<StringMessage> record(built->toStringMessage());
  StringMessage in(record->getText());
  BusObjSpec back(in);
  EXPECT_EQ(describe(back), describe(*built));
  EXPECT_STREQ(back.getVerbAppSpecificInfo("Delete"), "soft");
  EXPECT_STREQ(back.getVerbAppSpecificInfo("Create"), "");

  // The bytes of a small record, verb order being fixed by a single verb.
  std::unique_ptr<BusObjSpec> small(
      SpecBuilder("S").attr("A", INTEGER).maxLength(9).defaultValue("7").verbs({"Create"}).build());
  std::unique_ptr<StringMessage> smallRecord(small->toStringMessage());
  EXPECT_EQ(std::string(smallRecord->getText()),
            delimited({"BusObjSpec", "S",     "1.0.0", E,       "1",      "1", "A",
                       "Integer",    "false", "false", "false", E,        "9", "7",
                       "0.0.0",      "null",  "null",  "true",  "Create", E}));
}

}  // namespace
