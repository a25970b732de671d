// The business object record: reading it into a BusinessObject and writing a
// BusinessObject as a record, in both token encodings.
//
// Choices made where the text may be bad:
//   - A record with a token missing anywhere, a child record that cannot be
//     read (unknown type, wrong count, truncated, nested too deep) or a
//     declared number of array elements that the rest of the text cannot hold
//     gives an invalid object: no spec, no slots, no verb, no locale. The
//     parent of a bad child is invalid as well, because the position in the
//     message is lost once a child record is broken.
//   - Records nested deeper than MAX_BUSOBJ_DEPTH (a root is level 1) are
//     refused at once, counted per thread, so reading never recurses beyond
//     that bound whatever the text says.
//
// Choices made for objects the record cannot represent exactly:
//   - A child-object attribute holding the blank marker is written "VqBlank",
//     which reads back as the blank marker, so the value survives a round trip.
//   - Null elements of an array and invalid children are not written (an
//     element record needs a type); the element count counts the written ones.
//   - An invalid object writes nothing: its message is empty.
#include "serial/busobj_record.hpp"

#include <cstring>
#include <memory>
#include <string>

#include "busobj/busobj_access.hpp"
#include "busobj/diagnostics.hpp"
#include "hbconnector/spec_registry.hpp"
#include "hbconnector/version.hpp"
#include "serial/decimal.hpp"

namespace hbconnector::detail {

namespace {

thread_local int tRecordLevel = 0;

bool isToken(const char* token, const char* expected) { return std::strcmp(token, expected) == 0; }

// Reads one child record; null when it could not be read (the child is then
// already released).
BusinessObject* readChild(StringMessage& message, BusinessObject& parent) {
  std::unique_ptr<BusinessObject> child(new BusinessObject(message));
  if (child->getSpec() == nullptr) return nullptr;
  child->setParent(&parent);
  return child.release();
}

void storeSimpleValue(BusinessObject& owner, int index, char* value, int type) {
  owner.setAttrValue(index, value, type);
}

// The number of elements of array that have a record to write.
int writableElements(const BusObjArray& array) {
  int n = 0;
  for (int k = 0; k < array.getObjectCount(); ++k) {
    const BusinessObject* element = array.getObject(k);
    if (element != nullptr && element->getSpec() != nullptr) ++n;
  }
  return n;
}

void appendRecord(StringMessage& out, const BusinessObject& bo, bool lengthPrefixed) {
  const BusObjSpec* spec = bo.getSpec();
  if (spec == nullptr) return;
  const int count = spec->getAttributeCount() > 0 ? spec->getAttributeCount() : 0;
  out.append(kBusObjTag);
  out.append(spec->getName());
  out.append(versionText(spec->getVersion()));
  out.append(bo.isDelta() ? kTrueToken : kFalseToken);
  out.append(bo.getVerb() != nullptr ? bo.getVerb() : kNullToken);
  out.append(bo.getLocale());
  out.append(std::to_string(count).c_str());
  if (count > 0) appendAttributeEntries(out, *spec, bo.getAttrValues(), true, lengthPrefixed);
}

}  // namespace

RecordDepth::RecordDepth() : level_(++tRecordLevel) {}

RecordDepth::~RecordDepth() { --tRecordLevel; }

long long maxTokensIn(const StringMessage& message) {
  return static_cast<long long>(message.getLength()) / 2 + 1;
}

int countValue(const char* token) { return decimalToInt(token); }

const char* versionText(const Version* version) {
  if (version != nullptr) return version->toString();
  return Version().toString();
}

bool readAttributeEntries(StringMessage& message, const BusObjSpec& spec, void** slots,
                          BusinessObject& owner, bool withArrayFlags, SimpleValueSetter setSimple) {
  const int count = spec.getAttributeCount();
  for (int i = 0; i < count; ++i) {
    char* token = message.nextToken();
    if (token == nullptr) return false;
    const AttrSpec* attr = spec.getAttribute(i);
    if (isToken(token, kIgnoreToken)) continue;
    if (isToken(token, kBlankToken)) {
      setSimple(owner, i, BusinessObject::getBlankValue(), attr->getType());
      continue;
    }
    if (!attr->isObjectType()) {
      setSimple(owner, i, token, attr->getType());
      continue;
    }
    const int n = countValue(token);
    if (n < 1) continue;
    if (!attr->isMultipleCard()) {
      // Whatever count a single-child attribute declares, it holds one child.
      BusinessObject* child = readChild(message, owner);
      if (child == nullptr) return false;
      slots[i] = child;
      continue;
    }
    // Refuse a count the remaining text cannot hold before allocating for it.
    if (static_cast<long long>(n) * kMinRecordTokens > maxTokensIn(message)) return false;
    auto* array = new BusObjArray(nullptr);
    slots[i] = array;
    if (withArrayFlags) {
      const char* flag = message.nextToken();
      if (flag == nullptr) return false;
      array->setDelta(isToken(flag, kTrueToken));
    }
    for (int k = 0; k < n; ++k) {
      BusinessObject* child = readChild(message, owner);
      if (child == nullptr) return false;
      array->setSpec(child->getSpec());
      array->addObject(child);
    }
  }
  return true;
}

void appendChildRecord(StringMessage& out, const BusinessObject& child, bool lengthPrefixed) {
  if (lengthPrefixed) {
    std::unique_ptr<StringMessageI18N> record(child.toStringMessageI18N());
    static_cast<StringMessageI18N&>(out).appendRaw(record->getText());
  } else {
    std::unique_ptr<StringMessage> record(child.toStringMessage());
    out.append(record->getText());
  }
}

void appendAttributeEntries(StringMessage& out, const BusObjSpec& spec, void* const* slots,
                            bool withArrayFlags, bool lengthPrefixed) {
  const int count = spec.getAttributeCount();
  for (int i = 0; i < count; ++i) {
    const AttrSpec* attr = spec.getAttribute(i);
    void* value = slots[i];
    if (!attr->isObjectType()) {
      if (value == nullptr) {
        out.append(kIgnoreToken);
      } else {
        const char* text = static_cast<const char*>(value);
        out.append(text[0] == '\0' ? kBlankToken : text);
      }
      continue;
    }
    if (value == nullptr) {
      out.append("0");
      continue;
    }
    // A child slot is blank only by identity: its content is an object.
    if (value == BusinessObject::getBlankValue()) {
      out.append(kBlankToken);
      continue;
    }
    if (attr->isMultipleCard()) {
      const auto* array = static_cast<const BusObjArray*>(value);
      const int n = writableElements(*array);
      out.append(std::to_string(n).c_str());
      if (n == 0) continue;
      if (withArrayFlags) out.append(array->isDelta() ? kTrueToken : kFalseToken);
      for (int k = 0; k < array->getObjectCount(); ++k) {
        const BusinessObject* element = array->getObject(k);
        if (element != nullptr && element->getSpec() != nullptr) {
          appendChildRecord(out, *element, lengthPrefixed);
        }
      }
      continue;
    }
    const auto* child = static_cast<const BusinessObject*>(value);
    if (child->getSpec() == nullptr) {
      out.append("0");
      continue;
    }
    out.append("1");
    appendChildRecord(out, *child, lengthPrefixed);
  }
}

}  // namespace hbconnector::detail

using hbconnector::detail::BusObjAccess;

BusinessObject::BusinessObject(StringMessage& message) {
  namespace d = hbconnector::detail;
  d::RecordDepth depth;
  if (depth.tooDeep()) return;
  // Nothing of a record that cannot be read completely stays behind.
  auto fail = [this] {
    BusObjAccess::invalidate(*this);
    BusObjAccess::setVerbUnchecked(*this, nullptr);
    BusObjAccess::setLocaleUnchecked(*this, nullptr);
    delta_ = false;
  };

  const char* tag = message.nextToken();
  if (tag == nullptr || !d::isToken(tag, d::kBusObjTag)) return;
  const char* typeName = message.nextToken();
  const char* version = typeName != nullptr ? message.nextToken() : nullptr;
  const char* token = version != nullptr ? message.nextToken() : nullptr;
  if (token == nullptr) return;

  // Older records have no delta flag: the verb follows the version directly,
  // and their arrays carry no flag either.
  const bool hasFlag = d::isToken(token, d::kTrueToken) || d::isToken(token, d::kFalseToken);
  if (hasFlag) {
    delta_ = d::isToken(token, d::kTrueToken);
    token = message.nextToken();
    if (token == nullptr) {
      fail();
      return;
    }
  }
  BusObjAccess::setVerbUnchecked(*this, token);
  const char* locale = message.nextToken();
  if (locale == nullptr) {
    fail();
    return;
  }
  if (locale[0] != '\0') BusObjAccess::setLocaleUnchecked(*this, locale);

  BusObjSpec* spec = BusObjSpecRegistry::getInstance()->findSpec(typeName);
  if (spec == nullptr) {
    d::reportMsg(d::kMsgUnknownType, 6, version, typeName);
    fail();
    return;
  }
  const char* countToken = message.nextToken();
  if (countToken == nullptr) {
    fail();
    return;
  }
  if (spec->getAttributeCount() < 0 || d::countValue(countToken) != spec->getAttributeCount()) {
    d::reportMsg(d::kMsgUnknownType, 6, version, typeName);
    fail();
    return;
  }
  BusObjAccess::attachSpec(*this, spec);
  if (!d::readAttributeEntries(message, *spec, values_, *this, hasFlag, &d::storeSimpleValue)) {
    fail();
  }
}

StringMessage* BusinessObject::toStringMessage() const {
  auto* out = new StringMessage();
  hbconnector::detail::appendRecord(*out, *this, false);
  return out;
}

StringMessageI18N* BusinessObject::toStringMessageI18N() const {
  auto* out = new StringMessageI18N();
  hbconnector::detail::appendRecord(*out, *this, true);
  return out;
}
