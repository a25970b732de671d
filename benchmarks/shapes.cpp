#include "shapes.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "hbconnector/business_object.hpp"
#include "hbconnector/busobj_spec.hpp"
#include "hbconnector/spec_registry.hpp"
#include "hbconnector/version.hpp"

namespace hbbench {
namespace {

constexpr int kCustomerAttrs = 20;
constexpr int kOrderAttrs = 10;  // simple ones; the Lines array comes last
constexpr int kLineAttrs = 10;

char* copyOf(const std::string& text) {
  char* copy = new char[text.size() + 1];
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

// One attribute description for makeSpec.
struct Attr {
  std::string name;
  bool key = false;
  const char* childType = nullptr;  // a child array of this type when set
};

BusObjSpec* makeSpec(const char* name, const std::vector<Attr>& attrs) {
  auto* spec = new BusObjSpec();
  spec->setName(copyOf(name));
  spec->setVersion(new Version("1.0.0"));
  auto* attributes = new AttrSpec[attrs.size()];
  for (std::size_t i = 0; i < attrs.size(); ++i) {
    const Attr& a = attrs[i];
    const int rc =
        a.childType != nullptr
            ? attributes[i].setAttribute(a.name.c_str(), OBJECT, a.childType, false, false, false,
                                         nullptr, 0, nullptr, "1.0.0", CARD_MULTIPLE, CONTAINMENT)
            : attributes[i].setAttribute(a.name.c_str(), STRING, "String", a.key, false, false,
                                         nullptr, 255, nullptr, nullptr, CARD_SINGLE, nullptr);
    if (rc != 0) {
      std::fprintf(stderr, "bad attribute %s\n", a.name.c_str());
      std::abort();
    }
  }
  spec->setAttrSpecs(attributes);
  spec->setAttrCount(static_cast<int>(attrs.size()));
  for (const char* verb : {"Create", "Retrieve", "Update", "Delete"}) {
    spec->addVerb(new VerbSpec(verb, nullptr));
  }
  return spec;
}

std::vector<Attr> simpleAttrs(const char* prefix, int count) {
  std::vector<Attr> attrs;
  for (int i = 0; i < count; ++i) attrs.push_back({std::string(prefix) + std::to_string(i)});
  attrs[0].key = true;
  return attrs;
}

std::string attrName(const char* prefix, int i) { return std::string(prefix) + std::to_string(i); }

// Deterministic values: letters and digits, a length drawn around `average`.
class ValueSource {
 public:
  explicit ValueSource(std::uint64_t seed) : state_(seed) {}
  std::string next(int average) {
    const int length = average - 6 + static_cast<int>(draw() % 13);
    std::string value;
    for (int i = 0; i < length; ++i) {
      static constexpr char kChars[] =
          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 -.";
      value += kChars[draw() % (sizeof(kChars) - 1)];
    }
    return value;
  }

 private:
  std::uint64_t draw() {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return state_ >> 33;
  }
  std::uint64_t state_;
};

// One object of the tree being generated.
struct Node {
  std::string type;
  const char* verb;
  const char* prefix;
  std::vector<std::string> values;
  std::vector<Node> children;  // the Lines array (Order only)
  bool hasArray = false;
};

void appendDelimited(std::string& out, const std::string& token) {
  out += token.empty() ? "null" : token;
  out += '\x03';
}

std::string delimitedOf(const Node& node) {
  std::string out;
  for (const char* t :
       {"BusinessObject", node.type.c_str(), "1.0.0", "false", node.verb, "en_US"}) {
    appendDelimited(out, t);
  }
  appendDelimited(out, std::to_string(node.values.size() + (node.hasArray ? 1 : 0)));
  for (const std::string& v : node.values) appendDelimited(out, v);
  if (node.hasArray) {
    appendDelimited(out, std::to_string(node.children.size()));
    if (!node.children.empty()) appendDelimited(out, "false");
    for (const Node& child : node.children) appendDelimited(out, delimitedOf(child));
  }
  return out;
}

void appendPrefixed(std::string& out, const std::string& token) {
  const std::string& t = token.empty() ? std::string("null") : token;
  char prefix[24];
  std::snprintf(prefix, sizeof prefix, "%zx#", t.size());
  out += prefix;
  out += t;
}

void prefixedOf(const Node& node, std::string& out) {
  for (const char* t :
       {"BusinessObject", node.type.c_str(), "1.0.0", "false", node.verb, "en_US"}) {
    appendPrefixed(out, t);
  }
  appendPrefixed(out, std::to_string(node.values.size() + (node.hasArray ? 1 : 0)));
  for (const std::string& v : node.values) appendPrefixed(out, v);
  if (node.hasArray) {
    appendPrefixed(out, std::to_string(node.children.size()));
    if (!node.children.empty()) appendPrefixed(out, "false");
    for (const Node& child : node.children) prefixedOf(child, out);
  }
}

void jsonOf(const Node& node, std::string& out) {
  out += "{\"type\":\"" + node.type + "\",\"version\":\"1.0.0\",\"delta\":false,\"verb\":";
  out += std::strcmp(node.verb, "null") == 0 ? std::string("null")
                                             : "\"" + std::string(node.verb) + "\"";
  out += ",\"locale\":\"en_US\"";
  for (std::size_t i = 0; i < node.values.size(); ++i) {
    out += ",\"" + attrName(node.prefix, static_cast<int>(i)) + "\":\"" + node.values[i] + "\"";
  }
  if (node.hasArray) {
    out += ",\"Lines\":{\"delta\":false,\"elements\":[";
    for (std::size_t k = 0; k < node.children.size(); ++k) {
      if (k > 0) out += ',';
      jsonOf(node.children[k], out);
    }
    out += "]}";
  }
  out += '}';
}

Node makeNode(Shape shape) {
  ValueSource values(42);
  Node root;
  if (shape == Shape::kS) {
    root = Node{"Customer", "Create", "C", {}, {}, false};
    for (int i = 0; i < kCustomerAttrs; ++i) root.values.push_back(values.next(18));
    return root;
  }
  root = Node{"Order", "Create", "O", {}, {}, true};
  for (int i = 0; i < kOrderAttrs; ++i) root.values.push_back(values.next(20));
  const int lines = shape == Shape::kM ? 200 : 10000;
  for (int k = 0; k < lines; ++k) {
    Node line{"OrderLine", "null", "A", {}, {}, false};
    for (int i = 0; i < kLineAttrs; ++i) line.values.push_back(values.next(25));
    root.children.push_back(std::move(line));
  }
  return root;
}

}  // namespace

const char* shapeName(Shape shape) {
  switch (shape) {
    case Shape::kS:
      return "S";
    case Shape::kM:
      return "M";
    case Shape::kL:
      return "L";
  }
  return "?";
}

void registerSpecs() {
  static std::once_flag once;
  std::call_once(once, [] {
    BusObjSpecRegistry* registry = BusObjSpecRegistry::getInstance();
    registry->addSpec(makeSpec("Customer", simpleAttrs("C", kCustomerAttrs)));
    registry->addSpec(makeSpec("OrderLine", simpleAttrs("A", kLineAttrs)));
    std::vector<Attr> order = simpleAttrs("O", kOrderAttrs);
    order.push_back({"Lines", false, "OrderLine"});
    registry->addSpec(makeSpec("Order", order));
  });
}

const Document& document(Shape shape) {
  static std::mutex mutex;
  static std::map<Shape, Document> documents;
  std::lock_guard<std::mutex> lock(mutex);
  auto found = documents.find(shape);
  if (found != documents.end()) return found->second;
  const Node root = makeNode(shape);
  Document doc;
  doc.delimited = delimitedOf(root);
  prefixedOf(root, doc.lengthPrefixed);
  jsonOf(root, doc.json);
  return documents.emplace(shape, std::move(doc)).first->second;
}

BusinessObject* makeOrder(const std::vector<int>& lineNumbers, int variant) {
  registerSpecs();
  auto* order = new BusinessObject("Order", "en_US");
  order->setVerb("Update");
  for (int i = 0; i < kOrderAttrs; ++i) {
    std::string value = i == 0 ? std::string("ORDER-1") : "o" + std::to_string(i + variant);
    order->setAttrValue(i, const_cast<char*>(value.c_str()), STRING);
  }
  BusObjArray* lines = nullptr;
  for (int number : lineNumbers) {
    auto* line = new BusinessObject("OrderLine", "en_US");
    for (int i = 0; i < kLineAttrs; ++i) {
      std::string value =
          i == 0 ? "L" + std::to_string(number) : "v" + std::to_string(number * 7 + i + variant);
      line->setAttrValue(i, const_cast<char*>(value.c_str()), STRING);
    }
    if (lines == nullptr) {
      order->setAttrValue(kOrderAttrs, line, OBJECT);  // creates the array
      lines = static_cast<BusObjArray*>(order->getAttrValue(kOrderAttrs));
    } else {
      // Appended directly: setAttrValue looks through the whole array for the child.
      line->setParent(order);
      lines->addObject(line);
    }
  }
  return order;
}

}  // namespace hbbench
