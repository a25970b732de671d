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
#include "support/threads.hpp"

namespace hbconnector::test {
namespace {

using Serializer = BusObjAndSpecSerializer;

// The tokens of a combined message (deleted here); spec records by type name.
Tokens outer(char* text) {
  StringMessage message(text, STATUS_DELIMITER);
  delete[] text;
  Tokens tokens;
  for (char* t = message.nextToken(); t != nullptr; t = message.nextToken()) {
    const std::string token = t;
    tokens.push_back(token.rfind("BusObjSpec\x03", 0) == 0
                         ? token.substr(11, token.find('\x03', 11) - 11)
                         : token);
  }
  return tokens;
}

std::unique_ptr<BusinessObject> combined(const std::string& text, bool keyForm = false) {
  return std::unique_ptr<BusinessObject>(keyForm
                                             ? Serializer::deserializeWithSpec(text.c_str())
                                             : Serializer::deserializeWithAllSpecs(text.c_str()));
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

TEST_F(SerializerTest, AllSpecsListsEachTypeOnceAndTeachesThemToAReader) {
  Tokens tokens = outer(Serializer::serializeWithAllSpecs(tree_.get()));
  std::unique_ptr<StringMessage> record(tree_->toStringMessage());
  std::sort(tokens.begin() + 2, tokens.end());
  EXPECT_EQ(tokens, (Tokens{"BusObjAndSpec", record->getText(), "Leaf", "Tree", "Twig"}));

  char* text = Serializer::serializeWithAllSpecs(tree_.get());
  BusObjSpecRegistry* registry = BusObjSpecRegistry::getInstance();
  for (const char* name : {"Tree", "Twig", "Leaf"}) registry->removeSpec(name, nullptr);
  std::unique_ptr<BusinessObject> back = combined(text);
  delete[] text;
  ASSERT_NE(back->getSpec(), nullptr);
  EXPECT_EQ(back->getSpec(), registry->findSpec("Tree"));
  EXPECT_NE(registry->findSpec("Twig"), nullptr);
  std::unique_ptr<StringMessage> again(back->toStringMessage());
  EXPECT_STREQ(again->getText(), record->getText());
}

TEST_F(SerializerTest, RegisteredSpecsStayAndBadMessagesGiveNull) {
  BusObjSpec* leaf = BusObjSpecRegistry::getInstance()->findSpec("Leaf");
  std::unique_ptr<BusinessObject> bo = combined(
      delimited({"BusObjAndSpec", bars("BusinessObject|Leaf|1.0.0|false|null|en_US|1|kept|"),
                 bars("BusObjSpec|Leaf|9.0.0|x|0|0|"), bars("BusObjSpec|Broken|1.0.0|x|3|0|")},
                '\x04'));
  ASSERT_NE(bo, nullptr);
  EXPECT_EQ(bo->getSpec(), leaf);  // the message's Leaf (no attributes) was discarded
  EXPECT_EQ(slotText(bo->getAttrValue(0)), "kept");
  EXPECT_EQ(BusObjSpecRegistry::getInstance()->findSpec("Broken"), nullptr);

  for (const char* text : {"", "BusObjAndSpec\x04", "BusObjAndSpek\x04x\x04"}) {
    EXPECT_EQ(combined(text), nullptr);
    EXPECT_EQ(combined(text, true), nullptr);
  }
  std::string flood = "BusObjAndSpec\x04x\x04";
  for (int i = 0; i <= MAX_SPECS_PER_MESSAGE; ++i) flood += bars("BusObjSpec|Flood|1|x|0|0||\x04");
  EXPECT_EQ(combined(flood), nullptr);
  EXPECT_EQ(BusObjSpecRegistry::getInstance()->findSpec("Flood"), nullptr);
}

TEST_F(SerializerTest, KeyFormWriteAndRead) {
  tree_->setAttrValue(4, new BusinessObject("Leaf"), OBJECT);
  tree_->setLocale("de_DE");
  std::unique_ptr<StringMessage> key(tree_->toKeyStringMessage());
  EXPECT_EQ(key->getText(), bars("BusinessObject|Tree|1.0.0|Update|5|T1|VqIgnore|0|0|0|"));
  EXPECT_EQ(outer(Serializer::serializeWithSpec(tree_.get())),
            (Tokens{"BusObjAndSpec", key->getText(), "Tree"}));
  std::unique_ptr<BusinessObject> back =
      combined(std::string("BusObjAndSpec\x04") + key->getText(), true);
  ASSERT_NE(back->getSpec(), nullptr);
  EXPECT_STREQ(back->getVerb(), "Update");
  EXPECT_STREQ(back->getLocale(), "en_US");  // the agent's: the key form carries none
  EXPECT_EQ(slotText(back->getAttrValue(0)), "T1");
  for (int i = 1; i < 5; ++i) EXPECT_TRUE(back->isIgnore(i)) << i;

  // Child tokens other than the markers mean "no child"; a cut key form is invalid.
  back = combined(bars("BusObjAndSpec\x04"
                       "BusinessObject|Tree|1.0.0|null|5|VqBlank|n|7|VqBlank|1|"),
                  true);
  ASSERT_NE(back->getSpec(), nullptr);
  EXPECT_TRUE(back->isBlank(0) && back->isIgnore(2) && back->isIgnore(4));
  EXPECT_EQ(back->getAttrValue(3), BusinessObject::getBlankValue());
  const Tokens full = split("BusinessObject|Tree|1.0.0|null|5|T9|n|0|0|0");
  for (std::size_t n = 1; n < full.size(); ++n) {
    EXPECT_EQ(combined("BusObjAndSpec\x04" + delimited(firstTokens(full, n)), true)->getSpec(),
              nullptr)
        << n;
  }
}

TEST_F(SerializerTest, ThreadsReadingOneNewTypeAtOnceShareOneRegisteredSpec) {
  BusObjSpecRegistry* registry = BusObjSpecRegistry::getInstance();
  constexpr int kThreads = 8;
  for (int round = 0; round < 50; ++round) {
    const std::string type = "Fresh" + std::to_string(round);
    const std::string text =
        delimited({"BusObjAndSpec", bars("BusinessObject|" + type + "|1.0.0|false|null|en_US|1|v|"),
                   bars("BusObjSpec|" + type +
                        "|1.0.0|x|1|0|Text|String|false|false|false|x|0|x|1.0.0|1|"
                        "Containment|false|")},
                  '\x04');
    std::vector<std::unique_ptr<BusinessObject>> read(kThreads);
    runTogether(kThreads, [&](int t) { read[t] = combined(text); });
    // Every object points at the one registered spec; a spec that lost the
    // race was never registered and was released (the leak checker of the
    // sanitizer runs sees any that was not).
    BusObjSpec* registered = registry->findSpec(type.c_str());
    ASSERT_NE(registered, nullptr);
    for (const auto& bo : read) {
      ASSERT_NE(bo, nullptr);
      EXPECT_EQ(bo->getSpec(), registered) << type;
      EXPECT_EQ(slotText(bo->getAttrValue(0)), "v");
    }
  }
}

TEST(SerializerDeathTest, NullArgumentsAreProgrammingErrors) {
  EXPECT_DEATH(Serializer::serializeWithAllSpecs(nullptr), "bo != NULL");
  EXPECT_DEATH(Serializer::serializeWithSpec(nullptr), "bo != NULL");
  EXPECT_DEATH(Serializer::deserializeWithAllSpecs(nullptr), "boMsg != NULL");
  EXPECT_DEATH(Serializer::deserializeWithSpec(nullptr), "boMsg != NULL");
}

}  // namespace
}  // namespace hbconnector::test
