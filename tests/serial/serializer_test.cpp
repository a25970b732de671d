// The combined message and the key form.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "hbconnector/business_object.hpp"
#include "hbconnector/busobj_spec.hpp"
#include "hbconnector/serializer.hpp"
#include "hbconnector/spec_registry.hpp"
#include "hbconnector/string_message.hpp"
#include "support/fake_agent.hpp"
#include "support/record_text.hpp"
#include "support/spec_builder.hpp"

namespace {

using hbconnector::test::bars;
using hbconnector::test::delimited;
using hbconnector::test::FakeAgentScope;
using hbconnector::test::RegistryGuard;
using hbconnector::test::slotText;
using hbconnector::test::SpecBuilder;
using hbconnector::test::txt;

// The tokens of a delimited text split at code 4.
std::vector<std::string> outerTokens(const std::string& text) {
  StringMessage message(text.c_str(), STATUS_DELIMITER);
  std::vector<std::string> tokens;
  for (char* t = message.nextToken(); t != nullptr; t = message.nextToken()) tokens.push_back(t);
  return tokens;
}

std::string take(char* text) {
  std::string copy = text;
  delete[] text;
  return copy;
}

std::string specName(const std::string& record) {
  StringMessage message(record.c_str());
  message.nextToken();
  return message.nextToken();
}

class SerializerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SpecBuilder("Leaf").attr("Text", STRING).registerSpec();
    // A type that contains itself, directly and through Twig.
    SpecBuilder("Tree")
        .attr("Id", STRING)
        .key()
        .attr("Note", STRING)
        .attr("Kids", "Tree", CARD_MULTIPLE)
        .attr("Twig", "Twig")
        .attr("Leaf", "Leaf")
        .registerSpec();
    SpecBuilder("Twig").attr("Back", "Tree").registerSpec();
  }

  std::unique_ptr<BusinessObject> makeTree() {
    auto tree = std::make_unique<BusinessObject>("Tree");
    tree->setVerb("Update");
    tree->setAttrValue(0, txt("T1"), STRING);
    tree->setAttrValue(1, txt("a note"), STRING);
    auto* kid = new BusinessObject("Tree");
    kid->setAttrValue(0, txt("T2"), STRING);
    tree->setAttrValue(2, kid, OBJECT);
    return tree;
  }

  FakeAgentScope scope_;
  RegistryGuard registry_;
};

TEST_F(SerializerTest, AllSpecsListsEachReachableTypeOnce) {
  std::unique_ptr<BusinessObject> tree = makeTree();
  const std::vector<std::string> tokens =
      outerTokens(take(BusObjAndSpecSerializer::serializeWithAllSpecs(tree.get())));
  ASSERT_EQ(tokens.size(), 5u);
  EXPECT_EQ(tokens[0], "BusObjAndSpec");
  std::unique_ptr<StringMessage> record(tree->toStringMessage());
  EXPECT_EQ(tokens[1], record->getText());
  std::vector<std::string> names = {specName(tokens[2]), specName(tokens[3]), specName(tokens[4])};
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Leaf", "Tree", "Twig"}));

  std::unique_ptr<HashedDictionary> specs(BusObjAndSpecSerializer::collectSpecs(tree.get()));
  EXPECT_EQ(specs->entries(), 3u);
  // The collection only refers to the registered specs.
  EXPECT_EQ(specs->findValue(NameView("Tree")),
            BusObjSpecRegistry::getInstance()->findSpec("Tree"));
}

TEST_F(SerializerTest, AllSpecsRoundTripRegistersUnknownTypes) {
  std::unique_ptr<BusinessObject> tree = makeTree();
  const std::string text = take(BusObjAndSpecSerializer::serializeWithAllSpecs(tree.get()));
  // A fresh process would not know the types: forget them (the guard still
  // deletes the originals) and read the message.
  BusObjSpecRegistry* registry = BusObjSpecRegistry::getInstance();
  for (const char* name : {"Tree", "Twig", "Leaf"}) registry->removeSpec(name, nullptr);
  std::unique_ptr<BusinessObject> back(
      BusObjAndSpecSerializer::deserializeWithAllSpecs(text.c_str()));
  ASSERT_NE(back, nullptr);
  ASSERT_NE(back->getSpec(), nullptr);
  EXPECT_EQ(back->getSpec(), registry->findSpec("Tree"));
  EXPECT_NE(registry->findSpec("Twig"), nullptr);
  EXPECT_NE(registry->findSpec("Leaf"), nullptr);
  std::unique_ptr<StringMessage> again(back->toStringMessage());
  std::unique_ptr<StringMessage> original(tree->toStringMessage());
  EXPECT_STREQ(again->getText(), original->getText());
}

TEST_F(SerializerTest, RegisteredSpecIsKeptAndMalformedSpecIsDropped) {
  BusObjSpec* registered = BusObjSpecRegistry::getInstance()->findSpec("Leaf");
  // The message's Leaf has another attribute; the registered one stays.
  const std::string otherLeaf =
      delimited({"BusObjSpec", "Leaf", "9.0.0", "\x05", "1", "0", "Other", "String", "false",
                 "false", "false", "\x05", "0", "\x05", "1.0.0", "null", "null", "true"});
  const std::string broken = delimited({"BusObjSpec", "Broken", "1.0.0", "\x05", "3", "0"});
  const std::string leafRecord = bars("BusinessObject|Leaf|1.0.0|false|null|en_US|1|kept|");
  const std::string message = delimited({"BusObjAndSpec", leafRecord, otherLeaf, broken}, '\x04');
  std::unique_ptr<BusinessObject> leaf(
      BusObjAndSpecSerializer::deserializeWithAllSpecs(message.c_str()));
  ASSERT_NE(leaf, nullptr);
  EXPECT_EQ(leaf->getSpec(), registered);
  EXPECT_EQ(BusObjSpecRegistry::getInstance()->findSpec("Leaf"), registered);
  EXPECT_EQ(slotText(leaf->getAttrValue(0)), "kept");
  EXPECT_EQ(BusObjSpecRegistry::getInstance()->findSpec("Broken"), nullptr);
}

TEST_F(SerializerTest, TextsThatAreNotCombinedMessagesGiveNull) {
  EXPECT_EQ(BusObjAndSpecSerializer::deserializeWithAllSpecs(""), nullptr);
  EXPECT_EQ(BusObjAndSpecSerializer::deserializeWithAllSpecs("BusObjAndSpec\x04"), nullptr);
  EXPECT_EQ(BusObjAndSpecSerializer::deserializeWithSpec("BusObjAndSpec"), nullptr);
  EXPECT_EQ(BusObjAndSpecSerializer::deserializeWithAllSpecs("BusObjAndSpeck\x04x\x04"), nullptr);

  // One specification token more than accepted: nothing is read or registered.
  const std::string spec = delimited({"BusObjSpec", "Flood", "1.0.0", "\x05", "0", "0"});
  std::string flood = std::string("BusObjAndSpec\x04") +
                      bars("BusinessObject|Flood|1.0.0|false|null|en_US|0|") + "\x04";
  for (int i = 0; i <= MAX_SPECS_PER_MESSAGE; ++i) flood += spec + "\x04";
  EXPECT_EQ(BusObjAndSpecSerializer::deserializeWithAllSpecs(flood.c_str()), nullptr);
  EXPECT_EQ(BusObjSpecRegistry::getInstance()->findSpec("Flood"), nullptr);
}

TEST_F(SerializerTest, ObjectOfUnknownTypeReadsInvalid) {
  scope_.startVeneer();
  const std::string message =
      std::string("BusObjAndSpec\x04") + bars("BusinessObject|Ghost|1.0.0|false|null|en_US|0|");
  std::unique_ptr<BusinessObject> ghost(
      BusObjAndSpecSerializer::deserializeWithAllSpecs(message.c_str()));
  ASSERT_NE(ghost, nullptr);
  EXPECT_EQ(ghost->getSpec(), nullptr);
  EXPECT_EQ(scope_.agent().generated(64).size(), 1u);
}

TEST_F(SerializerTest, KeyFormCarriesKeysOnlyAndReadsBack) {
  scope_.agent().setLocale("fr_FR");
  std::unique_ptr<BusinessObject> tree = makeTree();
  auto* leaf = new BusinessObject("Leaf");
  tree->setAttrValue(4, leaf, OBJECT);
  std::unique_ptr<StringMessage> key(tree->toKeyStringMessage());
  EXPECT_STREQ(key->getText(),
               bars("BusinessObject|Tree|1.0.0|Update|5|T1|VqIgnore|0|0|0|").c_str());
  tree->setAttrValue(0, BusinessObject::getBlankValue(), STRING);
  tree->setAttrValue(1, BusinessObject::getIgnoreValue(), STRING);
  std::unique_ptr<StringMessage> blankKey(tree->toKeyStringMessage());
  EXPECT_STREQ(blankKey->getText(),
               bars("BusinessObject|Tree|1.0.0|Update|5|VqBlank|VqIgnore|0|0|0|").c_str());

  tree->setAttrValue(0, txt("T1"), STRING);
  const std::string text = take(BusObjAndSpecSerializer::serializeWithSpec(tree.get()));
  const std::vector<std::string> tokens = outerTokens(text);
  ASSERT_EQ(tokens.size(), 3u);
  EXPECT_EQ(specName(tokens[2]), "Tree");

  tree->setLocale("de_DE");
  std::unique_ptr<BusinessObject> back(BusObjAndSpecSerializer::deserializeWithSpec(text.c_str()));
  ASSERT_NE(back, nullptr);
  ASSERT_NE(back->getSpec(), nullptr);
  EXPECT_STREQ(back->getVerb(), "Update");
  EXPECT_FALSE(back->isDelta());
  EXPECT_STREQ(back->getLocale(), "fr_FR");  // the key form has none: the default one
  EXPECT_EQ(slotText(back->getAttrValue(0)), "T1");
  for (int i = 1; i < 5; ++i) EXPECT_TRUE(back->isIgnore(i)) << i;
}

TEST_F(SerializerTest, KeyFormReaderRefusesBadKeyForms) {
  auto read = [](const std::string& key) {
    const std::string message = std::string("BusObjAndSpec\x04") + key;
    return std::unique_ptr<BusinessObject>(
        BusObjAndSpecSerializer::deserializeWithSpec(message.c_str()));
  };
  // Child tokens other than the markers are taken as "no child": the key
  // form never carries child records.
  std::unique_ptr<BusinessObject> children =
      read(bars("BusinessObject|Tree|1.0.0|null|5|T9|n|7|VqBlank|1|"));
  ASSERT_NE(children->getSpec(), nullptr);
  EXPECT_TRUE(children->isIgnore(2));
  EXPECT_EQ(children->getAttrValue(3), BusinessObject::getBlankValue());
  EXPECT_TRUE(children->isIgnore(4));

  const std::vector<std::string> full = {
      "BusinessObject", "Tree", "1.0.0", "null", "5", "T9", "n", "0", "0", "0"};
  // Without any key-form token the text is no combined message at all.
  EXPECT_EQ(read(""), nullptr);
  for (std::size_t n = 1; n < full.size(); ++n) {
    const std::vector<std::string> cut(full.begin(), full.begin() + static_cast<long>(n));
    std::unique_ptr<BusinessObject> bo = read(delimited(cut));
    ASSERT_NE(bo, nullptr);
    EXPECT_EQ(bo->getSpec(), nullptr) << "tokens kept: " << n;
  }
  EXPECT_EQ(read(bars("BusinessObject|Tree|1.0.0|null|4|T9|n|0|0|"))->getSpec(), nullptr);
}

TEST(SerializerDeathTest, NullArgumentsAreProgrammingErrors) {
  EXPECT_DEATH(BusObjAndSpecSerializer::serializeWithAllSpecs(nullptr), "bo != NULL");
  EXPECT_DEATH(BusObjAndSpecSerializer::serializeWithSpec(nullptr), "bo != NULL");
  EXPECT_DEATH(BusObjAndSpecSerializer::deserializeWithAllSpecs(nullptr), "boMsg != NULL");
  EXPECT_DEATH(BusObjAndSpecSerializer::deserializeWithSpec(nullptr), "boMsg != NULL");
}

}  // namespace
