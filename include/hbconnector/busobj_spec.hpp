// Business object specifications: the definition of one business object type.
//
// The agent announces every type the connector handles as a specification
// record; the runtime builds a BusObjSpec from it, attaches the connector's
// handler for the type and registers it (spec_registry.hpp). Every
// BusinessObject points to its spec and takes from it the number, order,
// names and types of its value slots, the key and required flags, default
// values, the verbs it may carry and the handler that performs them.
//
// Specs are read-only for connector code once registered: the mutators
// setAttribute and setAttributeCount refuse (message 54). A registered spec
// must outlive every business object of its type; the registry never
// destroys a spec it replaces. After registration any number of threads may
// read a spec.
#ifndef HBCONNECTOR_BUSOBJ_SPEC_HPP_
#define HBCONNECTOR_BUSOBJ_SPEC_HPP_

#include <string_view>

#include "hbconnector/collections.hpp"
#include "hbconnector/export.hpp"
#include "hbconnector/version.hpp"

class BOHandlerBase;
class StringMessage;
namespace hbconnector::detail {
class BusObjAccess;
}

// Attribute type codes. Simple values are texts whatever their type; the code
// only decides how a slot is treated. Code 0 is a child business object whose
// type name is the attribute's typeName.
inline constexpr int OBJECT = 0;
inline constexpr int BOOLEAN = 1;
inline constexpr int INTEGER = 2;
inline constexpr int FLOAT = 3;
inline constexpr int DOUBLE = 4;
inline constexpr int STRING = 5;
inline constexpr int DATE = 6;
inline constexpr int LONGTEXT = 7;

// The same type codes as a scoped enumeration, for code that prefers it to
// the integers (static_cast<int> gives the code).
enum class AttrType : int {
  Object = OBJECT,
  Boolean = BOOLEAN,
  Integer = INTEGER,
  Float = FLOAT,
  Double = DOUBLE,
  String = STRING,
  Date = DATE,
  LongText = LONGTEXT,
};

// Attribute vocabulary. Only cardinality "n" (any case) makes an attribute an
// array of children.
inline constexpr char CARD_SINGLE[] = "1";
inline constexpr char CARD_MULTIPLE[] = "n";
inline constexpr char CONTAINMENT[] = "Containment";

// The definition of one attribute.
class HB_EXPORT AttrSpec {
 public:
  // Name none, type 0; fill with setAttribute.
  AttrSpec();
  AttrSpec(const AttrSpec&) = delete;
  AttrSpec& operator=(const AttrSpec&) = delete;
  ~AttrSpec();

  // Fills the entry. Texts are copied (null stays none); appSpecificInfo and
  // defaultValue equal to the blank marker (BusinessObject::getBlankValue())
  // are kept as the marker itself. version is parsed ("%d.%d.%d"; null gives
  // none). A type code outside 0..7 reports message 61 and returns -1 with
  // nothing stored; otherwise 0. The overload without attrFlag stores true.
  int setAttribute(const char* name, int type, const char* typeName, bool isKey, bool isForeignKey,
                   bool isRequired, const char* appSpecificInfo, int maxLength,
                   const char* defaultValue, const char* version, const char* cardinality,
                   const char* relationship, bool attrFlag);
  int setAttribute(const char* name, int type, const char* typeName, bool isKey, bool isForeignKey,
                   bool isRequired, const char* appSpecificInfo, int maxLength,
                   const char* defaultValue, const char* version, const char* cardinality,
                   const char* relationship);

  const char* getName() const { return name_; }
  int getType() const { return type_; }
  const char* getTypeName() const { return typeName_; }
  const char* getAppSpecificInfo() const { return appSpecificInfo_; }
  int getMaxLength() const { return maxLength_; }
  const char* getDefaultValue() const { return defaultValue_; }
  const char* getCardinality() const { return cardinality_; }
  const char* getRelationship() const { return relationship_; }
  bool getAttrFlag() const { return attrFlag_; }
  // A copy of the attribute's version (three default components when none).
  Version getVersion() const;
  // The version itself, or null when none.
  const Version* getVersionPtr() const { return version_; }

  bool isKey() const { return key_; }
  bool isForeignKey() const { return foreignKey_; }
  bool isRequired() const { return required_; }
  bool isType(int type) const { return type_ == type; }
  bool isObjectType() const { return type_ == OBJECT; }
  // Cardinality present and equal to "n" in either case.
  bool isMultipleCard() const;
  // Both absent: true; one absent: false; else equal ignoring case.
  bool isCardinality(const char* cardinality) const;
  // Exact comparison with the name.
  bool isName(const char* name) const;
  // Both absent: true; one absent: false; else exact comparison.
  bool isTypeName(const char* typeName) const;

 private:
  friend class hbconnector::detail::BusObjAccess;
  void release();

  char* name_ = nullptr;
  int type_ = 0;
  char* typeName_ = nullptr;
  bool key_ = false;
  bool foreignKey_ = false;
  bool required_ = false;
  char* appSpecificInfo_ = nullptr;
  int maxLength_ = 0;
  char* defaultValue_ = nullptr;
  char* cardinality_ = nullptr;
  char* relationship_ = nullptr;
  bool attrFlag_ = true;
  Version* version_ = nullptr;
};

// A verb the type supports, with its application-specific information.
class HB_EXPORT VerbSpec {
 public:
  VerbSpec() = default;
  // Copies both texts; appSpecificInfo may be null.
  VerbSpec(const char* name, const char* appSpecificInfo);
  VerbSpec(const VerbSpec&) = delete;
  VerbSpec& operator=(const VerbSpec&) = delete;
  ~VerbSpec();

  const char* getName() const { return name_; }
  const char* getAppSpecificInfo() const { return appSpecificInfo_; }

 private:
  char* name_ = nullptr;
  char* appSpecificInfo_ = nullptr;
};

class HB_EXPORT BusObjSpec {
 public:
  // An empty spec (no name, no attributes, no verbs) for connector code and
  // tests that build specs by hand.
  BusObjSpec();
  // Reads one specification record from the message (restarted at its first
  // token). The attribute count becomes -1 (the spec is invalid) when the
  // record is malformed or tokens remain after it. Attribute and verb counts
  // that the text cannot hold (twelve tokens per attribute, two per verb) are
  // refused before anything is allocated.
  explicit BusObjSpec(StringMessage& message);
  BusObjSpec(const BusObjSpec&) = delete;
  BusObjSpec& operator=(const BusObjSpec&) = delete;
  // Releases attributes, verbs, name, version and information; never the handler.
  ~BusObjSpec();

  const char* getName() const { return name_; }
  Version* getVersion() const { return version_; }
  const char* getAppSpecificInfo() const { return appSpecificInfo_; }
  // The number of attributes; -1 marks a malformed spec.
  int getAttributeCount() const { return attrCount_; }
  // The entry, or null when index is outside 0..count-1.
  AttrSpec* getAttribute(int index) const;
  // Linear search by exact name; null (and a level-5 trace "Attempt to get
  // nonexistent attribute detected.") when absent.
  AttrSpec* getAttribute(const char* name) const;
  // Linear search by exact name; -1 when absent (no trace).
  int getAttributeIndex(const char* name) const;
  // The same for a name that need not be zero-terminated.
  [[nodiscard]] int attributeIndex(std::string_view name) const;
  AttrSpec* getAttributes() const { return attributes_; }
  AttrSpec* getAttrSpecs() const { return attributes_; }

  // True for a null verb; otherwise whether a verb record has exactly that name.
  bool isVerbSupported(const char* verb) const;
  // The record's information; null for a null verb or an unknown one.
  const char* getVerbAppSpecificInfo(const char* verb) const;
  // The verb records: IdentityItem(VerbSpec*) items compared by identity.
  HashedSet* getVerbs() { return &verbs_; }
  int getVerbCount() const { return static_cast<int>(verbs_.entries()); }
  // Takes ownership of verb; -1 when this same record is already held.
  int addVerb(VerbSpec* verb);
  // Removes and deletes verb; -1 when it is not held.
  int removeVerb(VerbSpec* verb);

  BOHandlerBase* getBOHandler() const { return handler_; }
  void setBOHandler(BOHandlerBase* handler) { handler_ = handler; }

  // Direct setters: store the pointer or value unchanged; ownership of texts
  // (new[]), the Version (new) and the attribute array (new[]) passes to the spec.
  void setName(char* name);
  void setAppSpecificInfo(char* info);
  void setVersion(Version* version);
  void setAttrCount(int count) { attrCount_ = count; }
  void setAttrSpecs(AttrSpec* attributes);

  // Refused: message 54 with "BusObjSpec::setAttribute"; return 0.
  int setAttribute(int index, const AttrSpec& attribute);
  int setAttribute(int index, const char* name, const AttrSpec& attribute);
  // Refused: message 54 with "BusObjSpec::setAttributeCount"; returns the
  // unchanged count.
  int setAttributeCount(int count);
  int setAttributeCount(long count);

  // Always 0.
  int compare(const BusObjSpec& other) const;

  // The specification record as a new message (delimiter code 3); the caller
  // deletes it.
  StringMessage* toStringMessage() const;

 private:
  friend class hbconnector::detail::BusObjAccess;

  char* name_ = nullptr;
  int attrCount_ = 0;
  char* appSpecificInfo_ = nullptr;
  HashedSet verbs_;
  BOHandlerBase* handler_ = nullptr;
  Version* version_ = nullptr;
  AttrSpec* attributes_ = nullptr;
};

#endif  // HBCONNECTOR_BUSOBJ_SPEC_HPP_
