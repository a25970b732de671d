// The combined message and the key form.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "hbconnector/business_object.hpp"
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
using hbconnector::test::firstTokens;
using hbconnector::test::RegistryGuard;
using hbconnector::test::slotText;
using hbconnector::test::SpecBuilder;
using hbconnector::test::Tokens;
using hbconnector::test::txt;
using Serializer = BusObjAndSpecSerializer;

// A combined message's tokens; for specification records only their type name.
Tokens outer(char* text) {
  StringMessage message(text, STATUS_DELIMITER);
  delete[] text;
  Tokens tokens;
  for (char* t = message.nextToken(); t != nullptr; t = message.nextToken()) {
    std::string token = t;
    if (token.rfind("BusObjSpec\x03", 0) == 0)
      token = token.substr(11, token.find('\x03', 11) - 11);
    tokens.push_back(token);
  }
  return tokens;
}

BusinessObject* combined(const std::string& text, bool keyForm = false) {
  return keyForm ? Serializer::deserializeWithSpec(text.c_str())
                 : Serializer::deserializeWithAllSpecs(text.c_str());
}

class SerializerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SpecBuilder("Leaf").attr("Text", STRING).registerSpec();
    // Tree contains itself, directly and through Twig.
    SpecBuilder("Tree")
        .attr("Id", STRING)
        .key()
        .attr("Note", STRING)
        .attr("Kids", "Tree", CARD_MULTIPLE)
        .attr("Twig", "Twig")
        .attr("Leaf", "Leaf")
        .registerSpec();
    SpecBuilder("Twig").attr("Back", "Tree").registerSpec();
    tree_ = std::make_unique<BusinessObject>("Tree");
    tree_->setVerb("Update");
    tree_->setAttrValue(0, txt("T1"), STRING);
    tree_->setAttrValue(1, txt("a note"), STRING);
    tree_->setAttrValue(2, new BusinessObject("Tree"), OBJECT);
  }
  RegistryGuard registry_;
  FakeAgentScope scope_;
  std::unique_ptr<BusinessObject> tree_;
};

TEST_F(SerializerTest, AllSpecsListsEachTypeOnceAndReadsBack) {
  Tokens tokens = outer(Serializer::serializeWithAllSpecs(tree_.get()));
  ASSERT_EQ(tokens.size(), 5u);
  std::unique_ptr<StringMessage> record(tree_->toStringMessage());
  EXPECT_EQ(tokens[1], record->getText());
  std::sort(tokens.begin() + 2, tokens.end());
  EXPECT_EQ(Tokens(tokens.begin() + 2, tokens.end()), (Tokens{"Leaf", "Tree", "Twig"}));

  // A process that does not know the types learns them from the message.
  char* text = Serializer::serializeWithAllSpecs(tree_.get());
  BusObjSpecRegistry* registry = BusObjSpecRegistry::getInstance();
  for (const char* name : {"Tree", "Twig", "Leaf"}) registry->removeSpec(name, nullptr);
  std::unique_ptr<BusinessObject> back(combined(text));
  delete[] text;
  ASSERT_NE(back->getSpec(), nullptr);
  EXPECT_EQ(back->getSpec(), registry->findSpec("Tree"));
  EXPECT_NE(registry->findSpec("Twig"), nullptr);
  std::unique_ptr<StringMessage> again(back->toStringMessage());
  EXPECT_STREQ(again->getText(), record->getText());
}

TEST_F(SerializerTest, RegisteredSpecsStayAndBadMessagesGiveNull) {
  BusObjSpec* leaf = BusObjSpecRegistry::getInstance()->findSpec("Leaf");
  const std::string otherLeaf = delimited({"BusObjSpec", "Leaf", "9.0.0", "x", "0", "0"});
  const std::string broken = delimited({"BusObjSpec", "Broken", "1.0.0", "x", "3", "0"});
  std::unique_ptr<BusinessObject> bo(combined(
      delimited({"BusObjAndSpec", bars("BusinessObject|Leaf|1.0.0|false|null|en_US|1|kept|"),
                 otherLeaf, broken},
                '\x04')));
  ASSERT_NE(bo, nullptr);
  EXPECT_EQ(bo->getSpec(), leaf);
  EXPECT_EQ(BusObjSpecRegistry::getInstance()->findSpec("Leaf"), leaf);
  EXPECT_EQ(slotText(bo->getAttrValue(0)), "kept");
  EXPECT_EQ(BusObjSpecRegistry::getInstance()->findSpec("Broken"), nullptr);

  for (const char* text : {"", "BusObjAndSpec\x04", "BusObjAndSpek\x04x\x04"}) {
    EXPECT_EQ(combined(text), nullptr);
    EXPECT_EQ(combined(text, true), nullptr);
  }
  std::string flood = "BusObjAndSpec\x04x\x04";
  const std::string spec = delimited({"BusObjSpec", "Flood", "1.0.0", "x", "0", "0"}) + "\x04";
  for (int i = 0; i <= MAX_SPECS_PER_MESSAGE; ++i) flood += spec;
  EXPECT_EQ(combined(flood), nullptr);
  EXPECT_EQ(BusObjSpecRegistry::getInstance()->findSpec("Flood"), nullptr);
}

TEST_F(SerializerTest, KeyFormWriteAndRead) {
  tree_->setAttrValue(4, new BusinessObject("Leaf"), OBJECT);
  std::unique_ptr<StringMessage> key(tree_->toKeyStringMessage());
  EXPECT_STREQ(key->getText(),
               bars("BusinessObject|Tree|1.0.0|Update|5|T1|VqIgnore|0|0|0|").c_str());

  Tokens tokens = outer(Serializer::serializeWithSpec(tree_.get()));
  EXPECT_EQ(tokens, (Tokens{"BusObjAndSpec", key->getText(), "Tree"}));
  tree_->setLocale("de_DE");
  std::unique_ptr<BusinessObject> back(
      combined(std::string("BusObjAndSpec\x04") + key->getText(), true));
  ASSERT_NE(back->getSpec(), nullptr);
  EXPECT_STREQ(back->getVerb(), "Update");
  EXPECT_STREQ(back->getLocale(), "en_US");  // the agent's: the key form carries none
  EXPECT_EQ(slotText(back->getAttrValue(0)), "T1");
  for (int i = 1; i < 5; ++i) EXPECT_TRUE(back->isIgnore(i)) << i;

  // Child tokens other than the markers mean "no child"; truncation is invalid.
  back.reset(combined(std::string("BusObjAndSpec\x04") +
                          bars("BusinessObject|Tree|1.0.0|null|5|VqBlank|n|7|VqBlank|1|"),
                      true));
  ASSERT_NE(back->getSpec(), nullptr);
  EXPECT_TRUE(back->isBlank(0) && back->isIgnore(2) && back->isIgnore(4));
  EXPECT_EQ(back->getAttrValue(3), BusinessObject::getBlankValue());
  const Tokens full = {"BusinessObject", "Tree", "1.0.0", "null", "5", "T9", "n", "0", "0", "0"};
  for (std::size_t n = 1; n < full.size(); ++n) {
    std::unique_ptr<BusinessObject> cut(
        combined("BusObjAndSpec\x04" + delimited(firstTokens(full, n)), true));
    EXPECT_EQ(cut->getSpec(), nullptr) << n;
  }
}

TEST(SerializerDeathTest, NullArgumentsAreProgrammingErrors) {
  EXPECT_DEATH(Serializer::serializeWithAllSpecs(nullptr), "bo != NULL");
  EXPECT_DEATH(Serializer::serializeWithSpec(nullptr), "bo != NULL");
  EXPECT_DEATH(Serializer::deserializeWithAllSpecs(nullptr), "boMsg != NULL");
  EXPECT_DEATH(Serializer::deserializeWithSpec(nullptr), "boMsg != NULL");
}

}  // namespace
