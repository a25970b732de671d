// The model tests' fixture: a fake agent with a veneer, a registry guard and the
// types Item (ItemId key, Qty Integer, Note), Customer (CustId key, Name) and
// Order (OrderId key, Status, Customer child, Lines of Item), each ending in
// ObjectEventId.
#ifndef HBCONNECTOR_TESTS_BUSOBJ_MODEL_FIXTURE_HPP_
#define HBCONNECTOR_TESTS_BUSOBJ_MODEL_FIXTURE_HPP_

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "hbconnector/business_object.hpp"
#include "support/fake_agent.hpp"
#include "support/spec_builder.hpp"

namespace hbconnector::test {

using Strings = std::vector<std::string>;

class ModelTest : public ::testing::Test {
 public:
  void SetUp() override {
    scope_.agent().setProperty("AgentTraceLevel", "5");
    scope_.startVeneer();
    SpecBuilder item("Item"), customer("Customer"), order("Order");
    item.attr("ItemId", STRING).key().attr("Qty", INTEGER).attr("Note", STRING);
    item.attr("ObjectEventId", STRING).registerSpec();
    customer.attr("CustId", STRING).key().attr("Name", STRING).attr("ObjectEventId", STRING);
    customer.registerSpec();
    order.attr("OrderId", STRING).key().attr("Status", STRING).attr("Customer", "Customer");
    order.attr("Lines", "Item", CARD_MULTIPLE).attr("ObjectEventId", STRING).registerSpec();
    scope_.agent().clearRecords();
  }

  // Helpers, public so that test handlers can use them too.
  FakeAgent& agent() { return scope_.agent(); }
  JToCPPVeneer& veneer() { return *scope_.veneer(); }

  // The parameter texts of every generateMsg call for id, in order.
  Strings params(int id) {
    Strings out;
    for (const auto& record : scope_.agent().generated(id)) out.push_back(record.params);
    return out;
  }
  int typeOf(int id) {
    auto records = scope_.agent().generated(id);
    return records.empty() ? -100 : records.front().type;
  }

  static void set(BusinessObject& bo, const char* name, const char* text) {
    int index = bo.getSpec()->getAttributeIndex(name);
    ASSERT_GE(index, 0) << name;
    ASSERT_TRUE(bo.setAttrValue(index, const_cast<char*>(text), bo.getAttrType(index)));
  }
  static std::string text(const BusinessObject& bo, const char* name) {
    const void* value = bo.getAttrValue(name);
    if (value == nullptr) return "<ignore>";
    if (value == BusinessObject::getBlankValue()) return "<blank>";
    return static_cast<const char*>(value);
  }
  static std::string verbOf(const BusinessObject* bo) {
    return bo == nullptr ? "<none>" : bo->getVerb() == nullptr ? "<null>" : bo->getVerb();
  }
  // A new object of type with its key (first attribute) set.
  static BusinessObject* make(const char* type, const char* key, const char* verb = nullptr) {
    auto* bo = new BusinessObject(type);
    if (key != nullptr) bo->setAttrValue(0, const_cast<char*>(key), STRING);
    if (verb != nullptr) bo->setVerb(verb);
    return bo;
  }
  // An order (key `key`) whose Lines hold items with the given keys (space
  // separated; no array at all for "").
  static std::unique_ptr<BusinessObject> order(const std::string& lineKeys,
                                               const char* key = "O1") {
    std::unique_ptr<BusinessObject> bo(make("Order", key));
    for (std::size_t start = 0; start < lineKeys.size();) {
      std::size_t end = std::min(lineKeys.find(' ', start), lineKeys.size());
      bo->setAttrValue("Lines", make("Item", lineKeys.substr(start, end - start).c_str()), OBJECT);
      start = end + 1;
    }
    return bo;
  }
  static BusObjArray* lines(const BusinessObject& order) {
    return static_cast<BusObjArray*>(order.getAttrValue("Lines"));
  }
  static BusinessObject* customer(const BusinessObject& order) {
    return static_cast<BusinessObject*>(order.getAttrValue("Customer"));
  }
  // The ItemId keys of an array, in order ("-" for a null slot).
  static std::string keys(const BusObjArray* array) {
    std::string out;
    for (int i = 0; array != nullptr && i < array->getObjectCount(); ++i) {
      const BusinessObject* bo = array->getObject(i);
      out += bo == nullptr ? "-" : static_cast<const char*>(bo->getAttrValue(0));
      out += ' ';
    }
    return out;
  }
  // The verbs of an array's elements, in order.
  static std::string verbs(const BusObjArray* array) {
    std::string out;
    for (int i = 0; array != nullptr && i < array->getObjectCount(); ++i) {
      out += verbOf(array->getObject(i)) + " ";
    }
    return out;
  }

 protected:
  // Declared in this order so the registry outlives the agent scope's veneer
  // and every object a test makes.
  RegistryGuard registry_;
  FakeAgentScope scope_;
};

}  // namespace hbconnector::test

#endif  // HBCONNECTOR_TESTS_BUSOBJ_MODEL_FIXTURE_HPP_
