// Every reader, writer and walker handles a tree MAX_BUSOBJ_DEPTH deep on a
// 256 KiB thread stack, and a record one level deeper is refused at once.
#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "busobj/model_fixture.hpp"
#include "hbconnector/string_message.hpp"
#include "hbconnector/transaction_busobj.hpp"
#include "support/record_text.hpp"

namespace hbconnector::test {
namespace {

constexpr std::size_t kSmallStack = 256 * 1024;

// Runs work on a new thread whose stack is kSmallStack bytes.
void onSmallStack(const std::function<void()>& work) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, kSmallStack), 0);
  pthread_t thread;
  auto body = [](void* arg) -> void* {
    (*static_cast<const std::function<void()>*>(arg))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, body, const_cast<std::function<void()>*>(&work)), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

class DepthCapTest : public ModelTest {
 protected:
  void SetUp() override {
    ModelTest::SetUp();
    SpecBuilder node("Node");
    node.attr("Name", STRING).key().attr("Next", "Node").attr("Kids", "Node", CARD_MULTIPLE);
    node.attr("Note", STRING).required().defaultValue("d").attr("ObjectEventId", STRING);
    node.registerSpec();
  }

  // A chain of `levels` objects, each the child of the previous one; every
  // second link is a one-element array, so both kinds of child nest.
  static std::unique_ptr<BusinessObject> chain(int levels, const char* verb) {
    auto root = std::unique_ptr<BusinessObject>(make("Node", "n1", verb));
    BusinessObject* tail = root.get();
    for (int level = 2; level <= levels; ++level) {
      const std::string name = "n" + std::to_string(level);
      BusinessObject* next = make("Node", name.c_str(), verb);
      tail->setAttrValue(level % 2 == 0 ? "Next" : "Kids", next, OBJECT);
      tail = next;
    }
    return root;
  }

  // The child of bo (through Next or the first of Kids), or null.
  static BusinessObject* below(const BusinessObject* bo) {
    auto* next = static_cast<BusinessObject*>(bo->getAttrValue("Next"));
    auto* kids = static_cast<BusObjArray*>(bo->getAttrValue("Kids"));
    return next != nullptr ? next : kids != nullptr ? kids->getObject(0) : nullptr;
  }
  static int depthOf(const BusinessObject* bo) {
    int depth = 0;
    for (; bo != nullptr; bo = below(bo)) ++depth;
    return depth;
  }
  static BusinessObject* levelOf(BusinessObject* root, int level) {
    while (--level > 0) root = below(root);
    return root;
  }

  static std::string write(const BusinessObject& bo, bool prefixed) {
    std::unique_ptr<StringMessage> out(prefixed ? bo.toStringMessageI18N() : bo.toStringMessage());
    return out->getText();
  }

  static std::unique_ptr<BusinessObject> read(const std::string& text, bool prefixed) {
    std::unique_ptr<StringMessage> in(prefixed ? new StringMessageI18N(text.c_str())
                                               : new StringMessage(text.c_str()));
    return std::make_unique<BusinessObject>(*in);
  }
};

TEST_F(DepthCapTest, EveryWalkerHandlesATreeAtTheCapOnASmallStack) {
  onSmallStack([&] {
    std::unique_ptr<BusinessObject> tree = chain(MAX_BUSOBJ_DEPTH, "Create");
    ASSERT_EQ(depthOf(tree.get()), MAX_BUSOBJ_DEPTH);
    for (bool prefixed : {false, true}) {
      const std::string text = write(*tree, prefixed);
      std::unique_ptr<BusinessObject> back = read(text, prefixed);
      ASSERT_NE(back->getSpec(), nullptr) << prefixed;
      EXPECT_EQ(depthOf(back.get()), MAX_BUSOBJ_DEPTH);
      EXPECT_EQ(write(*back, prefixed), text);
    }
    std::unique_ptr<BusinessObject> copy(tree->duplicate());
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(depthOf(copy.get()), MAX_BUSOBJ_DEPTH);
    EXPECT_EQ(copy->compare(tree.get()), 0);
    std::string dump(1 << 20, '\0');
    EXPECT_GT(tree->dump(dump.data(), static_cast<int>(dump.size())), 0);
    EXPECT_NE(dump.find("n100"), std::string::npos);
    delete tree->toKeyStringMessage();

    copy->markVerb("Update");
    EXPECT_TRUE(copy->markVerbsAgainst(tree.get()));
    EXPECT_EQ(copy->mergeDelta(tree.get()), 0);
    EXPECT_EQ(copy->applyDelta(tree.get()), 0);
    tree->setDefaultAttrValues();
    EXPECT_TRUE(tree->initAndValidateAttrs());
    tree->generateKeys();
    tree->setObjectEventId();
    EXPECT_EQ(depthOf(tree.get()), MAX_BUSOBJ_DEPTH);
    // The deepest object got its id after all the others.
    const BusinessObject* deepest = levelOf(tree.get(), MAX_BUSOBJ_DEPTH);
    EXPECT_NE(deepest->getAttrValue("ObjectEventId"), nullptr);
    EXPECT_EQ(text(*deepest, "Note"), "d");

    // A transaction whose current and prior images are both at the cap: the
    // prior image's children start one level below its record.
    const std::string transaction =
        write(*tree, false) +
        bars("TransactionBusinessObject|Node|1.0.0|null|5|VqIgnore|0|0|VqIgnore|VqIgnore|");
    StringMessage in(transaction.c_str());
    TransactionBusinessObject both(in);
    ASSERT_NE(both.getSpec(), nullptr);
    ASSERT_TRUE(both.hasPriorImage());
    ASSERT_TRUE(
        both.setOldAttrValue("Next", chain(MAX_BUSOBJ_DEPTH - 1, nullptr).release(), OBJECT));
    std::unique_ptr<StringMessage> again(both.toStringMessage());
    StringMessage reread(again->getText());
    TransactionBusinessObject twice(reread);
    ASSERT_NE(twice.getSpec(), nullptr);
    EXPECT_EQ(depthOf(static_cast<const BusinessObject*>(twice.getOldAttrValue("Next"))),
              MAX_BUSOBJ_DEPTH - 1);
    std::unique_ptr<StringMessage> third(twice.toStringMessage());
    EXPECT_STREQ(third->getText(), again->getText());
  });
}

TEST_F(DepthCapTest, OneLevelPastTheCapIsRefusedAtOnceOnASmallStack) {
  std::unique_ptr<BusinessObject> tree = chain(MAX_BUSOBJ_DEPTH + 1, nullptr);
  const std::string delimited = write(*tree, false);
  const std::string prefixed = write(*tree, true);
  onSmallStack([&] {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(read(delimited, false)->getSpec(), nullptr);
    EXPECT_EQ(read(prefixed, true)->getSpec(), nullptr);
    StringMessage in(delimited.c_str());
    TransactionBusinessObject transaction(in);
    EXPECT_EQ(transaction.getSpec(), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  });
  // The same text cut to the cap reads: the refusal is the depth alone.
  BusinessObject* last = levelOf(tree.get(), MAX_BUSOBJ_DEPTH);
  last->setAttrValue("Next", IGNORE_VALUE, OBJECT);
  last->setAttrValue("Kids", IGNORE_VALUE, OBJECT);
  EXPECT_NE(read(write(*tree, false), false)->getSpec(), nullptr);
}

}  // namespace
}  // namespace hbconnector::test
