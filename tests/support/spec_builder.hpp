// Business object specs built in tests attribute by attribute; modifiers such
// as key() apply to the attribute added last. Defaults: version "1.0.0", the
// verbs Create, Retrieve, Update and Delete, maxLength 255. registerSpec()
// needs a RegistryGuard declared before any object of the registered types.
#ifndef HBCONNECTOR_TESTS_SUPPORT_SPEC_BUILDER_HPP_
#define HBCONNECTOR_TESTS_SUPPORT_SPEC_BUILDER_HPP_

#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hbconnector/busobj_spec.hpp"

class BOHandlerBase;
class HashedDictionary;

namespace hbconnector::test {

class SpecBuilder {
 public:
  explicit SpecBuilder(std::string name, std::string version = "1.0.0");

  // A simple attribute of type code 1..7 (any code is accepted, so tests can
  // build odd specs; an invalid code makes build() fail the test).
  SpecBuilder& attr(const std::string& name, int type);
  // A child-object attribute (type code 0) of the given child type.
  SpecBuilder& attr(const std::string& name, const std::string& childType,
                    const char* cardinality = CARD_SINGLE, const char* childVersion = "1.0.0");

  // Modifiers of the attribute added last.
  SpecBuilder& key(bool on = true);
  SpecBuilder& foreignKey(bool on = true);
  SpecBuilder& required(bool on = true);
  // Pass BusinessObject::getBlankValue() for a blank default.
  SpecBuilder& defaultValue(const char* value);
  SpecBuilder& maxLength(int length);
  SpecBuilder& attrInfo(const char* info);
  SpecBuilder& relationship(const char* relationship);
  SpecBuilder& attrFlag(bool flag);

  // Type-level settings.
  SpecBuilder& verbs(std::initializer_list<const char*> names);
  SpecBuilder& verb(const char* name, const char* info = nullptr);
  SpecBuilder& info(const char* info);
  SpecBuilder& handler(BOHandlerBase* handler);

  // A new spec; the caller owns it.
  BusObjSpec* build() const;
  // Builds, registers (replacing a spec of the same name, which stays
  // alive) and leaves the spec to the active RegistryGuard. Requires one.
  BusObjSpec* registerSpec() const;

 private:
  struct Attr {
    std::string name;
    int type = 0;
    std::optional<std::string> typeName;
    bool key = false;
    bool foreignKey = false;
    bool required = false;
    std::optional<std::string> info;
    int maxLength = 255;
    std::optional<std::string> defaultValue;
    bool blankDefault = false;
    std::optional<std::string> version;
    std::optional<std::string> cardinality;
    std::optional<std::string> relationship;
    bool attrFlag = true;
  };
  struct Verb {
    std::string name;
    std::optional<std::string> info;
  };
  Attr& last();

  std::string name_;
  std::string version_;
  std::optional<std::string> info_;
  std::vector<Attr> attrs_;
  std::vector<Verb> verbs_;
  BOHandlerBase* handler_ = nullptr;
};

// Gives the registry back the entries it had at construction and deletes every
// spec registered meanwhile, once. Guards nest; the innermost is active.
class RegistryGuard {
 public:
  RegistryGuard();
  RegistryGuard(const RegistryGuard&) = delete;
  RegistryGuard& operator=(const RegistryGuard&) = delete;
  ~RegistryGuard();

  // Deletes spec with the guard even if it is no longer registered then.
  void adopt(BusObjSpec* spec);

  // The innermost live guard, or null.
  static RegistryGuard* active();

 private:
  std::unique_ptr<HashedDictionary> saved_;
  std::vector<BusObjSpec*> adopted_;
  RegistryGuard* outer_;
};

}  // namespace hbconnector::test

#endif  // HBCONNECTOR_TESTS_SUPPORT_SPEC_BUILDER_HPP_
