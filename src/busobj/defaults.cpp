// Whole-tree services of BusinessObject that work from the specs rather than
// from single values: the required-attribute check that may fill missing
// values from defaults, bulk application of defaults, and test trees for the
// verb "Create" with random key values.
#include <algorithm>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <strings.h>

#include "busobj/busobj_access.hpp"
#include "busobj/diagnostics.hpp"
#include "hbconnector/business_object.hpp"
#include "hbconnector/connector.hpp"

using hbconnector::detail::BusObjAccess;

namespace hbconnector::detail {
namespace {

// "UseDefaults" is only ever compared with "false": six characters and the
// terminating zero are enough to tell.
inline constexpr int kUseDefaultsSize = 7;

bool isCreate(const char* verb) { return verb != nullptr && std::strcmp(verb, CREATE) == 0; }

bool defaultsAllowed() {
  char value[kUseDefaultsSize] = {};
  ConnectorBase::getConfigProp("UseDefaults", value, kUseDefaultsSize);
  return strcasecmp(value, "false") != 0;
}

bool isUsableDefault(const char* value) {
  return value != nullptr && value != BLANK_VALUE && value[0] != '\0';
}

// The decimal text of a non-negative pseudo-random integer. Each thread has
// its own generator, seeded once from the system's entropy source, so that
// concurrent test-tree builders neither race nor repeat each other's keys.
std::string randomKeyText() {
  thread_local std::mt19937 generator{std::random_device{}()};
  std::uniform_int_distribution<int> distribution(0, std::numeric_limits<int>::max());
  return std::to_string(distribution(generator));
}

void storeRandomKey(BusinessObject& bo, int index, int type) {
  const std::string key = randomKeyText();
  bo.setAttrValue(index, const_cast<char*>(key.c_str()), type);
}

// fillForCreate with the specs of bo's ancestors in the tree being built.
// A type found among its own ancestors contains itself, and filling it again
// would build children without end (until the stack runs out): no child of
// such a type is made at that point. Types that do not contain themselves
// never meet their own spec on the path, so their trees are unaffected.
void fillForCreateAt(BusinessObject& bo, int childCount, int flag,
                     std::vector<const BusObjSpec*>& path) {
  if (bo.getSpec() == nullptr || !isCreate(bo.getVerb())) return;
  path.push_back(bo.getSpec());
  const int count = bo.getAttrCount();
  for (int i = 0; i < count; ++i) {
    const AttrSpec* attr = bo.getAttrSpec(i);
    if (attr->isObjectType()) {
      const int children = attr->isMultipleCard() ? childCount : 1;
      for (int k = 0; k < children; ++k) {
        auto* child = static_cast<BusinessObject*>(bo.newAttrValue(i));
        // An unknown child type has already been reported (message 64) by the
        // child's construction; an invalid object has no place in a tree.
        if (child == nullptr || child->getSpec() == nullptr ||
            std::find(path.begin(), path.end(), child->getSpec()) != path.end()) {
          delete child;
          break;
        }
        child->setVerb(bo.getVerb());
        fillForCreateAt(*child, childCount, flag, path);
        // A test child replaces one the slot held (released: the tree is
        // being filled by the library, no caller holds the old child).
        if (!BusObjAccess::storeTyped(bo, i, child, OBJECT, BusObjAccess::Displaced::kRelease))
          delete child;
      }
    } else if (attr->isKey()) {
      storeRandomKey(bo, i, attr->getType());
    } else if (isUsableDefault(attr->getDefaultValue())) {
      bo.setAttrValue(i, const_cast<char*>(attr->getDefaultValue()), attr->getType());
    }
  }
  path.pop_back();
}

}  // namespace
}  // namespace hbconnector::detail

using hbconnector::detail::isUsableDefault;
using hbconnector::detail::reportMsg;

bool BusinessObject::initAndValidateAttrs() {
  if (spec_ == nullptr || values_ == nullptr) return true;
  const bool useDefaults = hbconnector::detail::defaultsAllowed();
  // The last attribute of a spec is not examined.
  const int last = getAttrCount() - 1;
  for (int i = 0; i < last; ++i) {
    const AttrSpec* attr = spec_->getAttribute(i);
    if (values_[i] != IGNORE_VALUE) {
      if (!attr->isObjectType()) continue;  // set, a blank value included
      if (BusObjArray* array = BusObjAccess::arrayAt(*this, i)) {
        for (int k = 0; k < array->getObjectCount(); ++k) {
          BusinessObject* element = array->getObject(k);
          if (element != nullptr && !element->initAndValidateAttrs()) return false;
        }
      } else if (BusinessObject* child = BusObjAccess::childAt(*this, i)) {
        if (!child->initAndValidateAttrs()) return false;
      }
      continue;
    }
    if (attr->isObjectType() || !attr->isRequired()) continue;
    if (!useDefaults) {
      reportMsg(hbconnector::detail::kMsgRequiredNoDefaults, 6, getName(), attr->getName());
      return false;
    }
    const char* fallback = getDefaultValue(i);
    if (!isUsableDefault(fallback)) {
      reportMsg(hbconnector::detail::kMsgRequiredBadDefault, 6, getName(), attr->getName());
      return false;
    }
    setAttrValue(i, const_cast<char*>(fallback), attr->getType());
  }
  return true;
}

void BusinessObject::setDefaultAttrValues() {
  if (spec_ == nullptr || values_ == nullptr) return;
  const int count = getAttrCount();
  for (int i = 0; i < count; ++i) {
    const AttrSpec* attr = spec_->getAttribute(i);
    if (!attr->isObjectType()) {
      // The blank marker is an empty text, so blank defaults are skipped too.
      if (isUsableDefault(attr->getDefaultValue())) {
        setAttrValue(i, const_cast<char*>(attr->getDefaultValue()), attr->getType());
      }
      continue;
    }
    if (attr->isMultipleCard() && values_[i] == nullptr) {
      // The array takes its spec from a temporary object of the child type,
      // whose construction reports an unknown type (the array then has none).
      BusinessObject temporary(attr->getTypeName());
      BusObjAccess::storeSlot(*this, i, new BusObjArray(temporary.getSpec()));
    }
    if (BusObjArray* array = BusObjAccess::arrayAt(*this, i)) {
      for (int k = 0; k < array->getObjectCount(); ++k) {
        if (BusinessObject* element = array->getObject(k)) element->setDefaultAttrValues();
      }
    } else if (BusinessObject* child = BusObjAccess::childAt(*this, i)) {
      child->setDefaultAttrValues();
    }
  }
}

void BusinessObject::fillForCreate(int childCount, int flag) {
  std::vector<const BusObjSpec*> path;
  hbconnector::detail::fillForCreateAt(*this, childCount, flag, path);
}

void BusinessObject::generateKeys() {
  if (spec_ == nullptr || values_ == nullptr || !hbconnector::detail::isCreate(verb_)) return;
  const int count = getAttrCount();
  for (int i = 0; i < count; ++i) {
    const AttrSpec* attr = spec_->getAttribute(i);
    if (!attr->isObjectType()) {
      if (attr->isKey()) hbconnector::detail::storeRandomKey(*this, i, attr->getType());
    } else if (BusObjArray* array = BusObjAccess::arrayAt(*this, i)) {
      for (int k = 0; k < array->getObjectCount(); ++k) {
        if (BusinessObject* element = array->getObject(k)) element->generateKeys();
      }
    } else if (BusinessObject* child = BusObjAccess::childAt(*this, i)) {
      child->generateKeys();
    }
  }
}
