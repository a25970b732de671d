#include "hbconnector/transaction_busobj.hpp"

#include <cstring>
#include <string>

#include "busobj/busobj_access.hpp"
#include "busobj/diagnostics.hpp"
#include "busobj/record_codec.hpp"
#include "hbconnector/bo_handler.hpp"
#include "hbconnector/spec_registry.hpp"
#include "hbconnector/string_message.hpp"

namespace d = hbconnector::detail;
using hbconnector::detail::BusObjAccess;

namespace {

bool isPresentChild(const void* value) {
  return value != nullptr && value != BusinessObject::getBlankValue();
}

}  // namespace

TransactionBusinessObject::TransactionBusinessObject(StringMessage& message)
    : BusinessObject(message) {
  if (spec_ != nullptr) readTransactionRecord(message);
}

TransactionBusinessObject::~TransactionBusinessObject() { releasePriorImage(); }

void TransactionBusinessObject::releaseOldSlot(int index) {
  BusObjAccess::releaseValue(*this, *spec_->getAttribute(index), oldValues_[index]);
  oldValues_[index] = nullptr;
}

void TransactionBusinessObject::releasePriorImage() {
  if (oldValues_ == nullptr) return;
  // The prior image only exists together with a spec: every path that clears
  // the spec releases the prior image first.
  for (int i = 0; i < spec_->getAttributeCount(); ++i) releaseOldSlot(i);
  delete[] oldValues_;
  oldValues_ = nullptr;
}

void TransactionBusinessObject::readTransactionRecord(StringMessage& message) {
  // The children of the prior image are nested one level below this record.
  d::RecordDepth depth;
  d::RecordTokens tokens(message, d::agentReporter());
  d::TokenView tag;
  if (!tokens.next(&tag) || !tag.is(d::kTransactionTag)) return;
  // The prior image goes first: it only exists together with a spec.
  auto fail = [this] {
    releasePriorImage();
    d::discardRecord(*this);
  };
  d::TokenView typeName, version, verb;
  if (!tokens.next(&typeName) || !tokens.next(&version) || !tokens.next(&verb)) {
    fail();
    return;
  }
  BusObjAccess::setVerbUnchecked(*this, verb.data, verb.size);
  BusObjSpec* spec = tokens.findSpec(typeName);
  if (spec == nullptr) {
    tokens.reporter().report(d::kMsgUnknownType, d::kMsgUnknownType.type, version.view(),
                             typeName.view());
    fail();
    return;
  }
  // The current values were laid out by the first record's spec; a spec that
  // lays them out differently cannot take its place.
  if (spec != spec_ && !BusObjAccess::sameLayout(spec, spec_)) {
    fail();
    return;
  }
  spec_ = spec;
  const int count = spec_->getAttributeCount();
  oldValues_ = new void*[count > 0 ? count : 0]();
  d::TokenView countToken;
  if (!tokens.next(&countToken)) {
    fail();
    return;
  }
  if (d::countValue(countToken) != count) {
    tokens.reporter().report(d::kMsgUnknownType, d::kMsgUnknownType.type, version.view(),
                             typeName.view());
    return;
  }
  if (!d::readAttributeEntries(tokens, *spec_, oldValues_, *this, false, depth.level())) {
    fail();
  }
}

void TransactionBusinessObject::appendTransactionRecord(StringMessage& out,
                                                        bool lengthPrefixed) const {
  d::RecordWriter writer(out, lengthPrefixed);
  writer.token(d::kTransactionTag);
  writer.token(spec_->getName());
  writer.token(writer.version(spec_->getVersion()));
  writer.token(verb_ != nullptr ? verb_ : d::kNullToken);
  writer.number(spec_->getAttributeCount());
  writer.entries(*spec_, oldValues_, false);
}

void* TransactionBusinessObject::getOldAttrValue(int index) const {
  if (spec_ == nullptr || index < 0 || index >= spec_->getAttributeCount()) {
    d::reportMsg(d::kMsgBadAttribute, 7, index, "Unknown");
    return nullptr;
  }
  return oldValues_ != nullptr ? oldValues_[index] : nullptr;
}

void* TransactionBusinessObject::getOldAttrValue(const char* name) const {
  const int index = (spec_ != nullptr && name != nullptr) ? spec_->getAttributeIndex(name) : -1;
  return getOldAttrValue(index);
}

bool TransactionBusinessObject::storeOld(int index, void* value, int type) {
  if (spec_ == nullptr || index < 0 || index >= spec_->getAttributeCount()) return false;
  if (oldValues_ == nullptr) oldValues_ = new void*[spec_->getAttributeCount()]();
  if (value == nullptr || value == BusinessObject::getBlankValue()) {
    releaseOldSlot(index);
    oldValues_[index] = value;
    return true;
  }
  const AttrSpec* attr = spec_->getAttribute(index);
  if (attr->getType() != type) return false;
  if (type != OBJECT) {
    // Copied before the old text goes: value may be that very text.
    char* copy = d::copySlotText(static_cast<const char*>(value));
    releaseOldSlot(index);
    oldValues_[index] = copy;
    return true;
  }
  auto* child = static_cast<BusinessObject*>(value);
  child->setParent(this);
  void*& slot = oldValues_[index];
  if (attr->isMultipleCard()) {
    if (!isPresentChild(slot)) slot = new BusObjArray(child->getSpec());
    static_cast<BusObjArray*>(slot)->addObject(child);
  } else {
    // A different child takes the slot; the one it displaces is not released
    // (the caller that stored it keeps it and deletes it).
    slot = child;
  }
  return true;
}

bool TransactionBusinessObject::setOldAttrValue(int index, void* value, int type) {
  if (storeOld(index, value, type)) return true;
  d::reportMsg(d::kMsgBadAttribute, 7, index, type);
  return false;
}

bool TransactionBusinessObject::setOldAttrValue(const char* name, void* value, int type) {
  const int index = (spec_ != nullptr && name != nullptr) ? spec_->getAttributeIndex(name) : -1;
  if (index >= 0 && storeOld(index, value, type)) return true;
  d::reportMsg(d::kMsgSetByNameRefused, 7, name, type);
  return false;
}

int TransactionBusinessObject::compare(const BusinessObject* other) const {
  if (other == nullptr || spec_ == nullptr || other->getSpec() == nullptr) return -1;
  if (!BusObjAccess::sameLayout(spec_, other->getSpec())) return -1;
  // Without a prior image every value is missing on this side: no difference.
  if (oldValues_ == nullptr) return 0;
  void** theirs = other->getAttrValues();
  for (int i = 0; i < spec_->getAttributeCount(); ++i) {
    const AttrSpec* attr = spec_->getAttribute(i);
    const void* prior = oldValues_[i];
    const void* current = theirs[i];
    if (!attr->isObjectType()) {
      if (prior != nullptr && current != nullptr &&
          std::strcmp(static_cast<const char*>(prior), static_cast<const char*>(current)) != 0) {
        return -1;
      }
      continue;
    }
    if (!isPresentChild(prior) || !isPresentChild(current)) continue;
    if (attr->isMultipleCard()) {
      if (static_cast<const BusObjArray*>(prior)->compare(
              static_cast<const BusObjArray*>(current)) != 0) {
        return -1;
      }
    } else if (static_cast<const BusinessObject*>(current)->compare(
                   static_cast<const BusinessObject*>(prior)) != 0) {
      return -1;
    }
  }
  return 0;
}

int TransactionBusinessObject::doVerbFor(ReturnStatusDescriptor* status) {
  if (spec_ == nullptr || spec_->getBOHandler() == nullptr) return -1;
  return spec_->getBOHandler()->doTransactionVerb(*this, status);
}

StringMessage* TransactionBusinessObject::toStringMessage() const {
  StringMessage* out = BusinessObject::toStringMessage();
  if (spec_ != nullptr && oldValues_ != nullptr) appendTransactionRecord(*out, false);
  return out;
}

StringMessageI18N* TransactionBusinessObject::toStringMessageI18N() const {
  StringMessageI18N* out = BusinessObject::toStringMessageI18N();
  if (spec_ != nullptr && oldValues_ != nullptr) appendTransactionRecord(*out, true);
  return out;
}

void d::BusObjAccess::writeRecord(const TransactionBusinessObject& bo, StringMessage& out,
                                  bool lengthPrefixed) {
  writeRecord(static_cast<const BusinessObject&>(bo), out, lengthPrefixed);
  if (bo.spec_ != nullptr && bo.oldValues_ != nullptr)
    bo.appendTransactionRecord(out, lengthPrefixed);
}

StringMessage* TransactionBusinessObject::toBusObjStringMessage() const {
  return BusinessObject::toStringMessage();
}
