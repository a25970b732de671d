// AttrSpec, VerbSpec and BusObjSpec (the record reader and writer live with
// the text formats).
#include "hbconnector/busobj_spec.hpp"

#include <cstring>
#include <string>
#include <string_view>
#include <typeinfo>

#include "busobj/busobj_access.hpp"
#include "busobj/diagnostics.hpp"
#include "hbconnector/business_object.hpp"

namespace hbconnector::detail {
namespace {

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoreCase(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (asciiLower(*a) != asciiLower(*b)) return false;
  }
  return *a == *b;
}

// The blank marker is shared and never copied or released; other texts are.
char* copyInfoText(const char* text) {
  if (text == BLANK_VALUE) return BLANK_VALUE;
  return dupText(text);
}

void releaseInfoText(char* text) {
  if (text != BLANK_VALUE) delete[] text;
}

// Verb records are held as IdentityItem(VerbSpec*); a connector may have put
// other items into the set, which are skipped.
const VerbSpec* verbOf(const HashedItem* item) {
  // The usual item is exactly an IdentityItem: no need for the full cast.
  const auto* identity = typeid(*item) == typeid(IdentityItem)
                             ? static_cast<const IdentityItem*>(item)
                             : dynamic_cast<const IdentityItem*>(item);
  return identity != nullptr ? static_cast<const VerbSpec*>(identity->get()) : nullptr;
}

const VerbSpec* findVerb(const HashedSet& verbs, const char* verb) {
  const VerbSpec* found = nullptr;
  verbs.forEach([&](const HashedItem* item) {
    const VerbSpec* record = verbOf(item);
    if (found == nullptr && record != nullptr && record->getName() != nullptr &&
        std::strcmp(record->getName(), verb) == 0) {
      found = record;
    }
  });
  return found;
}

constexpr std::size_t kVerbSetSizeHint = 8;

}  // namespace
}  // namespace hbconnector::detail

using hbconnector::detail::dupText;

// ---- AttrSpec ---------------------------------------------------------------

AttrSpec::AttrSpec() = default;

AttrSpec::~AttrSpec() { release(); }

void AttrSpec::release() {
  delete[] name_;
  delete[] typeName_;
  delete[] cardinality_;
  delete[] relationship_;
  delete version_;
  hbconnector::detail::releaseInfoText(appSpecificInfo_);
  hbconnector::detail::releaseInfoText(defaultValue_);
  name_ = typeName_ = cardinality_ = relationship_ = appSpecificInfo_ = defaultValue_ = nullptr;
  version_ = nullptr;
}

int AttrSpec::setAttribute(const char* name, int type, const char* typeName, bool isKey,
                           bool isForeignKey, bool isRequired, const char* appSpecificInfo,
                           int maxLength, const char* defaultValue, const char* version,
                           const char* cardinality, const char* relationship, bool attrFlag) {
  using namespace hbconnector::detail;
  if (type < OBJECT || type > LONGTEXT) {
    reportMsg(kMsgBadTypeCode, kMsgBadTypeCode.type, std::to_string(type).c_str());
    return -1;
  }
  // Copy everything before releasing: the arguments may be this entry's own texts.
  char* newName = dupText(name);
  char* newTypeName = dupText(typeName);
  char* newInfo = copyInfoText(appSpecificInfo);
  char* newDefault = copyInfoText(defaultValue);
  Version* newVersion = version != nullptr ? new Version(version) : nullptr;
  char* newCardinality = dupText(cardinality);
  char* newRelationship = dupText(relationship);
  release();
  name_ = newName;
  type_ = type;
  typeName_ = newTypeName;
  key_ = isKey;
  foreignKey_ = isForeignKey;
  required_ = isRequired;
  appSpecificInfo_ = newInfo;
  maxLength_ = maxLength;
  defaultValue_ = newDefault;
  version_ = newVersion;
  cardinality_ = newCardinality;
  relationship_ = newRelationship;
  attrFlag_ = attrFlag;
  return 0;
}

int AttrSpec::setAttribute(const char* name, int type, const char* typeName, bool isKey,
                           bool isForeignKey, bool isRequired, const char* appSpecificInfo,
                           int maxLength, const char* defaultValue, const char* version,
                           const char* cardinality, const char* relationship) {
  return setAttribute(name, type, typeName, isKey, isForeignKey, isRequired, appSpecificInfo,
                      maxLength, defaultValue, version, cardinality, relationship, true);
}

Version AttrSpec::getVersion() const { return version_ != nullptr ? *version_ : Version(); }

bool AttrSpec::isMultipleCard() const {
  return cardinality_ != nullptr && hbconnector::detail::equalsIgnoreCase(cardinality_, "n");
}

bool AttrSpec::isCardinality(const char* cardinality) const {
  if (cardinality == nullptr || cardinality_ == nullptr) {
    return cardinality == nullptr && cardinality_ == nullptr;
  }
  return hbconnector::detail::equalsIgnoreCase(cardinality_, cardinality);
}

bool AttrSpec::isName(const char* name) const {
  return name != nullptr && name_ != nullptr && std::strcmp(name_, name) == 0;
}

bool AttrSpec::isTypeName(const char* typeName) const {
  if (typeName == nullptr || typeName_ == nullptr) {
    return typeName == nullptr && typeName_ == nullptr;
  }
  return std::strcmp(typeName_, typeName) == 0;
}

// ---- VerbSpec ---------------------------------------------------------------

VerbSpec::VerbSpec(const char* name, const char* appSpecificInfo)
    : name_(dupText(name)), appSpecificInfo_(dupText(appSpecificInfo)) {}

VerbSpec::~VerbSpec() {
  delete[] name_;
  delete[] appSpecificInfo_;
}

// ---- BusObjSpec -------------------------------------------------------------

BusObjSpec::BusObjSpec() : verbs_(hbconnector::detail::kVerbSetSizeHint) {}

BusObjSpec::~BusObjSpec() {
  delete[] attributes_;
  delete[] name_;
  delete version_;
  delete[] appSpecificInfo_;
  while (HashedItem* item = verbs_.removeFirst()) {
    delete hbconnector::detail::verbOf(item);
    delete item;
  }
}

AttrSpec* BusObjSpec::getAttribute(int index) const {
  if (attributes_ == nullptr || index < 0 || index >= attrCount_) return nullptr;
  return &attributes_[index];
}

AttrSpec* BusObjSpec::getAttribute(const char* name) const {
  const int index = getAttributeIndex(name);
  if (index < 0) {
    hbconnector::detail::traceLine(5, "Attempt to get nonexistent attribute detected.");
    return nullptr;
  }
  return &attributes_[index];
}

int BusObjSpec::getAttributeIndex(const char* name) const {
  if (name == nullptr || attributes_ == nullptr) return -1;
  for (int i = 0; i < attrCount_; ++i) {
    if (attributes_[i].isName(name)) return i;
  }
  return -1;
}

int BusObjSpec::attributeIndex(std::string_view name) const {
  if (attributes_ == nullptr) return -1;
  for (int i = 0; i < attrCount_; ++i) {
    const char* own = attributes_[i].getName();
    if (own != nullptr && name == own) return i;
  }
  return -1;
}

bool BusObjSpec::isVerbSupported(const char* verb) const {
  return verb == nullptr || hbconnector::detail::findVerb(verbs_, verb) != nullptr;
}

const char* BusObjSpec::getVerbAppSpecificInfo(const char* verb) const {
  if (verb == nullptr) return nullptr;
  const VerbSpec* record = hbconnector::detail::findVerb(verbs_, verb);
  return record != nullptr ? record->getAppSpecificInfo() : nullptr;
}

int BusObjSpec::addVerb(VerbSpec* verb) {
  if (verb == nullptr || verbs_.contains(IdentityItem(verb))) return -1;
  verbs_.insert(new IdentityItem(verb));
  return 0;
}

int BusObjSpec::removeVerb(VerbSpec* verb) {
  if (verb == nullptr) return -1;
  HashedItem* item = verbs_.remove(IdentityItem(verb));
  if (item == nullptr) return -1;
  delete item;
  delete verb;
  return 0;
}

// The direct setters take ownership; what they replace is released unless it
// is the very pointer passed in again.
void BusObjSpec::setName(char* name) {
  if (name != name_) delete[] name_;
  name_ = name;
}

void BusObjSpec::setAppSpecificInfo(char* info) {
  if (info != appSpecificInfo_) delete[] appSpecificInfo_;
  appSpecificInfo_ = info;
}

void BusObjSpec::setVersion(Version* version) {
  if (version != version_) delete version_;
  version_ = version;
}

void BusObjSpec::setAttrSpecs(AttrSpec* attributes) {
  if (attributes != attributes_) delete[] attributes_;
  attributes_ = attributes;
}

int BusObjSpec::setAttribute(int, const AttrSpec&) {
  hbconnector::detail::reportMsg(hbconnector::detail::kMsgSpecMutatorRefused, 7,
                                 "BusObjSpec::setAttribute");
  return 0;
}

int BusObjSpec::setAttribute(int, const char*, const AttrSpec&) {
  hbconnector::detail::reportMsg(hbconnector::detail::kMsgSpecMutatorRefused, 7,
                                 "BusObjSpec::setAttribute");
  return 0;
}

int BusObjSpec::setAttributeCount(int) {
  hbconnector::detail::reportMsg(hbconnector::detail::kMsgSpecMutatorRefused, 7,
                                 "BusObjSpec::setAttributeCount");
  return attrCount_;
}

int BusObjSpec::setAttributeCount(long) {
  hbconnector::detail::reportMsg(hbconnector::detail::kMsgSpecMutatorRefused, 7,
                                 "BusObjSpec::setAttributeCount");
  return attrCount_;
}

int BusObjSpec::compare(const BusObjSpec&) const { return 0; }
