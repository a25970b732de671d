#include "support/spec_builder.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <unordered_set>

#include "hbconnector/business_object.hpp"
#include "hbconnector/collections.hpp"
#include "hbconnector/spec_registry.hpp"
#include "hbconnector/version.hpp"

namespace hbconnector::test {
namespace {

RegistryGuard* activeGuard = nullptr;

const char* orNull(const std::optional<std::string>& text) {
  return text ? text->c_str() : nullptr;
}

char* copyOf(const std::string& text) {
  char* copy = new char[text.size() + 1];
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

}  // namespace

SpecBuilder::SpecBuilder(std::string name, std::string version)
    : name_(std::move(name)), version_(std::move(version)) {
  for (const char* verb : {"Create", "Retrieve", "Update", "Delete"}) verbs_.push_back({verb, {}});
}

SpecBuilder& SpecBuilder::attr(const std::string& name, int type) {
  Attr attr;
  attr.name = name;
  attr.type = type;
  static const char* const kTypeNames[] = {nullptr,  "Boolean", "Integer", "Float",
                                           "Double", "String",  "Date",    "LongText"};
  if (type > 0 && type <= LONGTEXT) attr.typeName = kTypeNames[type];
  attrs_.push_back(std::move(attr));
  return *this;
}

SpecBuilder& SpecBuilder::attr(const std::string& name, const std::string& childType,
                               const char* cardinality, const char* childVersion) {
  Attr attr;
  attr.name = name;
  attr.type = OBJECT;
  attr.typeName = childType;
  if (cardinality != nullptr) attr.cardinality = cardinality;
  if (childVersion != nullptr) attr.version = childVersion;
  attr.relationship = CONTAINMENT;
  attrs_.push_back(std::move(attr));
  return *this;
}

SpecBuilder::Attr& SpecBuilder::last() {
  if (attrs_.empty()) {
    ADD_FAILURE() << "SpecBuilder: attribute modifier before any attribute";
    attrs_.push_back(Attr{});
  }
  return attrs_.back();
}

SpecBuilder& SpecBuilder::key(bool on) {
  last().key = on;
  return *this;
}

SpecBuilder& SpecBuilder::foreignKey(bool on) {
  last().foreignKey = on;
  return *this;
}

SpecBuilder& SpecBuilder::required(bool on) {
  last().required = on;
  return *this;
}

SpecBuilder& SpecBuilder::defaultValue(const char* value) {
  Attr& attr = last();
  attr.blankDefault = value == BusinessObject::getBlankValue();
  attr.defaultValue =
      (value != nullptr && !attr.blankDefault) ? std::optional<std::string>(value) : std::nullopt;
  return *this;
}

SpecBuilder& SpecBuilder::maxLength(int length) {
  last().maxLength = length;
  return *this;
}

SpecBuilder& SpecBuilder::attrInfo(const char* info) {
  last().info = info != nullptr ? std::optional<std::string>(info) : std::nullopt;
  return *this;
}

SpecBuilder& SpecBuilder::relationship(const char* relationship) {
  last().relationship =
      relationship != nullptr ? std::optional<std::string>(relationship) : std::nullopt;
  return *this;
}

SpecBuilder& SpecBuilder::attrFlag(bool flag) {
  last().attrFlag = flag;
  return *this;
}

SpecBuilder& SpecBuilder::verbs(std::initializer_list<const char*> names) {
  verbs_.clear();
  for (const char* name : names) verbs_.push_back({name, {}});
  return *this;
}

SpecBuilder& SpecBuilder::verb(const char* name, const char* info) {
  verbs_.push_back({name, info != nullptr ? std::optional<std::string>(info) : std::nullopt});
  return *this;
}

SpecBuilder& SpecBuilder::info(const char* info) {
  info_ = info != nullptr ? std::optional<std::string>(info) : std::nullopt;
  return *this;
}

SpecBuilder& SpecBuilder::handler(BOHandlerBase* handler) {
  handler_ = handler;
  return *this;
}

BusObjSpec* SpecBuilder::build() const {
  auto* spec = new BusObjSpec();
  spec->setName(copyOf(name_));
  spec->setVersion(new Version(version_.c_str()));
  if (info_) spec->setAppSpecificInfo(copyOf(*info_));
  auto* attributes = new AttrSpec[attrs_.size()];
  for (std::size_t i = 0; i < attrs_.size(); ++i) {
    const Attr& a = attrs_[i];
    const char* defaultValue =
        a.blankDefault ? BusinessObject::getBlankValue() : orNull(a.defaultValue);
    const int rc = attributes[i].setAttribute(
        a.name.c_str(), a.type, orNull(a.typeName), a.key, a.foreignKey, a.required, orNull(a.info),
        a.maxLength, defaultValue, orNull(a.version), orNull(a.cardinality), orNull(a.relationship),
        a.attrFlag);
    EXPECT_EQ(rc, 0) << "SpecBuilder: attribute " << a.name << " of " << name_;
  }
  spec->setAttrSpecs(attributes);
  spec->setAttrCount(static_cast<int>(attrs_.size()));
  for (const Verb& verb : verbs_) spec->addVerb(new VerbSpec(verb.name.c_str(), orNull(verb.info)));
  spec->setBOHandler(handler_);
  return spec;
}

BusObjSpec* SpecBuilder::registerSpec() const {
  BusObjSpec* spec = build();
  if (RegistryGuard* guard = RegistryGuard::active()) {
    guard->adopt(spec);
  } else {
    ADD_FAILURE() << "SpecBuilder::registerSpec needs a RegistryGuard";
  }
  BusObjSpecRegistry::getInstance()->addSpec(spec);
  return spec;
}

RegistryGuard::RegistryGuard()
    : saved_(BusObjSpecRegistry::getInstance()->snapshot()), outer_(activeGuard) {
  activeGuard = this;
}

RegistryGuard::~RegistryGuard() {
  std::unordered_set<BusObjSpec*> before;
  saved_->forEach(
      [&](const HashedItem&, void* spec) { before.insert(static_cast<BusObjSpec*>(spec)); });
  std::unordered_set<BusObjSpec*> doomed(adopted_.begin(), adopted_.end());
  std::unique_ptr<HashedDictionary> now(BusObjSpecRegistry::getInstance()->snapshot());
  now->forEach([&](const HashedItem&, void* spec) {
    auto* added = static_cast<BusObjSpec*>(spec);
    if (added != nullptr && before.count(added) == 0) doomed.insert(added);
  });
  BusObjSpecRegistry::replaceRegistry(*saved_);
  for (BusObjSpec* spec : doomed) {
    if (before.count(spec) == 0) delete spec;
  }
  activeGuard = outer_;
}

void RegistryGuard::adopt(BusObjSpec* spec) { adopted_.push_back(spec); }

RegistryGuard* RegistryGuard::active() { return activeGuard; }

}  // namespace hbconnector::test
