#include "fuzz_support.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include "hbconnector/business_object.hpp"
#include "hbconnector/busobj_spec.hpp"
#include "hbconnector/collections.hpp"
#include "hbconnector/spec_registry.hpp"
#include "hbconnector/string_message.hpp"

namespace hbfuzz {
namespace {

struct Attr {
  const char* name;
  const char* type;
  bool key;
  const char* cardinality;
};

// A specification record (delimited, code 3) of a type with the usual verbs.
std::string specText(const char* name, std::initializer_list<Attr> attrs) {
  StringMessage out;
  const char empty[] = "\x05";
  out.append("BusObjSpec");
  out.append(name);
  out.append("1.0.0");
  out.append(empty);
  out.append(std::to_string(attrs.size()).c_str());
  out.append("4");
  for (const Attr& a : attrs) {
    out.append(a.name);
    out.append(a.type);
    out.append(a.key ? "true" : "false");
    out.append("false");
    out.append("false");
    out.append(empty);
    out.append("255");
    out.append(empty);
    out.append("1.0.0");
    out.append(a.cardinality);
    out.append("Containment");
    out.append("false");
  }
  for (const char* verb : {"Create", "Retrieve", "Update", "Delete"}) {
    out.append(verb);
    out.append(empty);
  }
  return out.getText();
}

std::set<const BusObjSpec*>& fixedSpecs() {
  static std::set<const BusObjSpec*> specs;
  return specs;
}

void registerText(const std::string& text) {
  StringMessage message(text.c_str());
  auto* spec = new BusObjSpec(message);
  if (spec->getAttributeCount() < 0) fail("a fixed type does not read");
  BusObjSpecRegistry::getInstance()->addSpec(spec);
  fixedSpecs().insert(spec);
}

}  // namespace

void registerFixedTypes() {
  if (!fixedSpecs().empty()) return;
  registerText(
      specText("Address", {{"City", "String", false, "1"}, {"Zip", "String", false, "1"}}));
  registerText(specText("Line", {{"LineId", "String", true, "1"},
                                 {"Qty", "Integer", false, "1"},
                                 {"Price", "Double", false, "1"}}));
  registerText(specText("Customer", {{"Name", "String", true, "1"},
                                     {"Address", "Address", false, "1"},
                                     {"Orders", "Order", false, "n"},
                                     {"Active", "Boolean", false, "1"},
                                     {"ObjectEventId", "String", false, "1"}}));
  registerText(specText("Order", {{"Id", "String", true, "1"},
                                  {"Lines", "Line", false, "n"},
                                  {"Buyer", "Customer", false, "1"},
                                  {"Note", "LongText", false, "1"}}));
  registerText(specText("Node", {{"Name", "String", true, "1"},
                                 {"Next", "Node", false, "1"},
                                 {"Kids", "Node", false, "N"},
                                 {"When", "Date", false, "1"}}));
}

void dropForeignSpecs() {
  BusObjSpecRegistry* registry = BusObjSpecRegistry::getInstance();
  std::vector<std::pair<String, BusObjSpec*>> foreign;
  String name;
  BusObjSpec* spec = nullptr;
  for (bool more = registry->first(&name, &spec); more; more = registry->next(&name, &spec)) {
    if (fixedSpecs().count(spec) == 0) foreign.emplace_back(name, spec);
  }
  std::set<BusObjSpec*> released;
  for (auto& [key, held] : foreign) {
    registry->remove(key);
    if (held != nullptr && released.insert(held).second) delete held;
  }
}

std::string asText(const std::uint8_t* data, std::size_t size) {
  const void* zero = std::memchr(data, 0, size);
  const std::size_t n =
      zero != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - data)
                      : size;
  return std::string(reinterpret_cast<const char*>(data), n);
}

std::string takeText(StringMessage* message) {
  std::string text = message->getText();
  delete message;
  return text;
}

void expectSameText(const std::string& first, const std::string& second, const char* what) {
  if (first == second) return;
  std::fprintf(stderr, "round trip changed the text (%s)\nfirst:  ", what);
  for (unsigned char c : first) std::fprintf(stderr, c >= 32 && c < 127 ? "%c" : "\\x%02x", c);
  std::fprintf(stderr, "\nsecond: ");
  for (unsigned char c : second) std::fprintf(stderr, c >= 32 && c < 127 ? "%c" : "\\x%02x", c);
  std::fprintf(stderr, "\n");
  std::abort();
}

void exerciseTreeOperations(const BusinessObject& bo) {
  std::unique_ptr<BusinessObject> copy(bo.duplicate());
  if (copy == nullptr || copy->getSpec() != bo.getSpec()) fail("a valid object does not copy");
  if (copy->compare(&bo) != 0 || bo.compare(copy.get()) != 0) fail("a copy differs");
  char text[2048];
  copy->dump(text, sizeof text);
  delete copy->toKeyStringMessage();
  copy->markVerb("Update");
  copy->markVerbsAgainst(const_cast<BusinessObject*>(&bo));
  copy->mergeDelta(const_cast<BusinessObject*>(&bo));
  copy->applyDelta(const_cast<BusinessObject*>(&bo));
  copy->setDefaultAttrValues();
  copy->initAndValidateAttrs();
  copy->setObjectEventId();
}

void fail(const char* what) {
  std::fprintf(stderr, "broken invariant: %s\n", what);
  std::abort();
}

}  // namespace hbfuzz
