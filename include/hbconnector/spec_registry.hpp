// The spec registry: business object type names to their BusObjSpec.
//
// The library has exactly one registry, BusObjSpecRegistry::getInstance(),
// filled as the agent announces types and read whenever a business object is
// built by type name or from text. Names compare exactly (case matters);
// versions never take part in a lookup.
//
// addSpec of a name already present replaces the entry but never destroys the
// spec that leaves: business objects may still point to it.
//
// Thread-safe: lookups may run on any number of threads while specs are added,
// removed or replaced on another.
//
// BusObjSpecTable has the same operations and serves as a temporary table of
// registered specs; it never destroys a spec. The registry destroys the specs
// it still holds when it is destroyed (the process-wide instance lives until
// the process ends and is never destroyed, so late agent threads cannot see a
// dead registry).
#ifndef HBCONNECTOR_SPEC_REGISTRY_HPP_
#define HBCONNECTOR_SPEC_REGISTRY_HPP_

#include <memory>

#include "hbconnector/collections.hpp"
#include "hbconnector/export.hpp"

class BusObjSpec;
class Version;

class HB_EXPORT BusObjSpecTable {
 public:
  BusObjSpecTable();
  BusObjSpecTable(const BusObjSpecTable&) = delete;
  BusObjSpecTable& operator=(const BusObjSpecTable&) = delete;
  // Releases the entries, never the specs.
  virtual ~BusObjSpecTable();

  // Key = the spec's name; an existing entry of that name is replaced (its
  // spec is not destroyed). A spec without a name is ignored.
  void addSpec(BusObjSpec* spec);
  // Adds spec unless the table already holds an entry of its name, in one
  // step: of several threads offering specs of one name at once, exactly one
  // adds its own and all of them get that one back. Returns the spec the
  // table now holds under the name: spec itself when it was added, else the
  // one already there (spec then stays the caller's). Null for a spec
  // without a name.
  BusObjSpec* addSpecIfAbsent(BusObjSpec* spec);
  // The spec registered under name, or null. Versions are not compared.
  BusObjSpec* findSpec(const char* name) const;
  BusObjSpec* findSpec(const char* name, const char* version) const;
  BusObjSpec* findSpec(const char* name, const Version& version) const;
  // Removes the entry of that name, if any (the second argument is not
  // used); the spec is not destroyed.
  void removeSpec(const char* name, const char* version);
  void removeSpec(const char* name, const Version& version);
  // removeSpec(old's name), then addSpec(newSpec).
  void replaceSpec(BusObjSpec* oldSpec, BusObjSpec* newSpec);

  // Raw dictionary operations by String key (key not taken over).
  void insertKeyAndValue(const String& name, BusObjSpec* spec);
  BusObjSpec* findValue(const String& name) const;
  bool remove(const String& name);
  int entries() const;
  // Cursor iteration in the order the entries were added (a replaced spec
  // keeps its entry's place; a name removed and added again comes last);
  // false at the end. The table must not change in between.
  bool first(String* name, BusObjSpec** spec) const;
  bool next(String* name, BusObjSpec** spec) const;

  // A copy of the entries (specs shared) as a name-keyed dictionary
  // (NameItem keys, BusObjSpec* values); the caller deletes it.
  HashedDictionary* snapshot() const;
  // Replaces the content by a copy of the entries of dictionary (NameKey keys,
  // BusObjSpec* values); specs are shared, none is destroyed.
  void assign(const HashedDictionary& dictionary);

 protected:
  struct Table;
  std::unique_ptr<Table> table_;
};

class HB_EXPORT BusObjSpecRegistry : public BusObjSpecTable {
 public:
  BusObjSpecRegistry();
  // Destroys every spec it still holds, exactly once each.
  ~BusObjSpecRegistry() override;

  // The library's registry.
  static BusObjSpecRegistry* getInstance();
  // Makes the library's registry a copy of dictionary (entries copied, specs shared).
  static void replaceRegistry(const HashedDictionary& dictionary);
};

#endif  // HBCONNECTOR_SPEC_REGISTRY_HPP_
