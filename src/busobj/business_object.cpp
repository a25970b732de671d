// BusinessObject: construction, value slots, verbs, copies, comparison, the
// verb operation and the readable dump. Tree operations for delta handling
// live in delta.cpp; the text formats and whole-tree services elsewhere.
#include "hbconnector/business_object.hpp"

#include <cstring>
#include <string>
#include <string_view>

#include "busobj/busobj_access.hpp"
#include "busobj/diagnostics.hpp"
#include "busobj/tree_arena.hpp"
#include "collections/assert.hpp"
#include "hbconnector/bo_handler.hpp"
#include "hbconnector/connector.hpp"
#include "hbconnector/return_status.hpp"
#include "hbconnector/spec_registry.hpp"
#include "hbconnector/string_message.hpp"
#include "hbconnector/transaction_busobj.hpp"
#include "hbconnector/version.hpp"

namespace {
// The blank marker's text: shared by every blank slot, never written, never
// freed. Its address is what identifies the marker.
char blankText[1] = {'\0'};
}  // namespace

char* const IGNORE_VALUE = nullptr;
char* const BLANK_VALUE = blankText;

namespace hbconnector::detail {

namespace {

// The locale of objects built by type name without one: the agent's, else "en_US".
char* defaultLocaleCopy() {
  const char* agentLocale = ConnectorBase::getLocale();
  if (agentLocale != nullptr && agentLocale[0] != '\0') return dupText(agentLocale);
  return dupText("en_US");
}

bool isVerb(const char* verb, const char* name) {
  return verb != nullptr && std::strcmp(verb, name) == 0;
}

}  // namespace

// ---- BusObjAccess -----------------------------------------------------------

BusinessObject* BusObjAccess::makeInvalid() { return new BusinessObject(BusinessObject::NoInit{}); }

BusinessObject* BusObjAccess::constructInvalid(void* memory) {
  return new (memory) BusinessObject(BusinessObject::NoInit{});
}

char* BusObjAccess::copyOwnedText(const BusinessObject& bo, const char* data, std::size_t length) {
  if ((bo.arenaFlags_ & BusinessObject::kArenaObject) != 0)
    return TreeArena::of(&bo)->copyText(data, length);
  return dupText(data, length);
}

void BusObjAccess::releaseOwnedText(const BusinessObject& bo, char* text) {
  if (text == nullptr || text == BLANK_VALUE) return;
  // Texts in the tree's text block go with the tree, those in the object's
  // own block with its slot array.
  if ((bo.arenaFlags_ & BusinessObject::kArenaObject) != 0 && TreeArena::of(&bo)->ownsText(text))
    return;
  if (inTextBlock(bo, text)) return;
  delete[] text;
}

namespace {

// The text space of a text block starts after the slots and two words: its
// end and its cursor.
char** blockWords(const BusinessObject& bo, void** values) {
  const int count = bo.getSpec()->getAttributeCount();
  return reinterpret_cast<char**>(values + (count > 0 ? count : 0));
}

}  // namespace

void BusObjAccess::attachSpecWithTexts(BusinessObject& bo, BusObjSpec* spec,
                                       std::size_t textCapacity) {
  if (spec == nullptr || (bo.arenaFlags_ & BusinessObject::kArenaObject) != 0) {
    attachSpec(bo, spec);
    return;
  }
  invalidate(bo);
  bo.spec_ = spec;
  const std::size_t count =
      spec->getAttributeCount() > 0 ? static_cast<std::size_t>(spec->getAttributeCount()) : 0;
  const std::size_t textWords = (textCapacity + sizeof(void*) - 1) / sizeof(void*);
  // Every slot starts with the ignore marker; the text space is not cleared.
  bo.values_ = new void*[count + 2 + textWords];
  std::memset(bo.values_, 0, count * sizeof(void*));
  char** words = blockWords(bo, bo.values_);
  char* start = reinterpret_cast<char*>(words + 2);
  words[0] = start + textWords * sizeof(void*);
  words[1] = start;
  bo.arenaFlags_ |= BusinessObject::kTextBlock;
}

char* BusObjAccess::copyBlockText(BusinessObject& bo, const char* data, std::size_t length) {
  if ((bo.arenaFlags_ & BusinessObject::kTextBlock) == 0) return dupText(data, length);
  char** words = blockWords(bo, bo.values_);
  if (static_cast<std::size_t>(words[0] - words[1]) <= length) return dupText(data, length);
  char* text = words[1];
  words[1] += length + 1;
  copyBytes(text, data, length);
  text[length] = '\0';
  return text;
}

bool BusObjAccess::inTextBlock(const BusinessObject& bo, const void* text) {
  if ((bo.arenaFlags_ & BusinessObject::kTextBlock) == 0) return false;
  char** words = blockWords(bo, bo.values_);
  const char* p = static_cast<const char*>(text);
  return p >= reinterpret_cast<const char*>(words + 2) && p < words[0];
}

void BusObjAccess::detachTextBlock(BusinessObject& bo, bool withSlots) {
  if ((bo.arenaFlags_ & BusinessObject::kTextBlock) == 0) return;
  if (withSlots) {
    const AttrSpec* attrs = bo.spec_->getAttributes();
    const int count = bo.spec_->getAttributeCount();
    for (int i = 0; i < count && attrs != nullptr; ++i) {
      void* value = bo.values_[i];
      if (!attrs[i].isObjectType() && value != nullptr && value != BLANK_VALUE &&
          inTextBlock(bo, value)) {
        bo.values_[i] = dupText(static_cast<const char*>(value));
      }
    }
  }
  if (bo.verb_ != nullptr && inTextBlock(bo, bo.verb_)) bo.verb_ = dupText(bo.verb_);
  if (bo.locale_ != nullptr && inTextBlock(bo, bo.locale_)) bo.locale_ = dupText(bo.locale_);
  bo.arenaFlags_ &= static_cast<std::uint8_t>(~BusinessObject::kTextBlock);
}

BusinessObject* BusObjAccess::makeWithSpec(BusObjSpec* spec) {
  BusinessObject* bo = makeInvalid();
  if (spec != nullptr) {
    attachSpec(*bo, spec);
    bo->locale_ = defaultLocaleCopy();
  }
  return bo;
}

void BusObjAccess::attachSpec(BusinessObject& bo, BusObjSpec* spec) {
  invalidate(bo);
  if (spec == nullptr) return;
  bo.spec_ = spec;
  const int count = spec->getAttributeCount() > 0 ? spec->getAttributeCount() : 0;
  // Every slot starts with the ignore marker.
  if ((bo.arenaFlags_ & BusinessObject::kArenaObject) != 0) {
    bo.values_ = TreeArena::of(&bo)->allocateSlots(static_cast<std::size_t>(count));
    bo.arenaFlags_ |= BusinessObject::kArenaSlots;
  } else {
    bo.values_ = new void*[count]();
  }
}

void BusObjAccess::invalidate(BusinessObject& bo) {
  if (bo.values_ != nullptr && bo.spec_ != nullptr) {
    // Slot by slot as releaseSlot does it (each slot is cleared before its
    // value goes), with the arena looked up once.
    const TreeArena* arena =
        (bo.arenaFlags_ & BusinessObject::kArenaObject) != 0 ? TreeArena::of(&bo) : nullptr;
    const AttrSpec* attrs = bo.spec_->getAttributes();
    const int count = bo.spec_->getAttributeCount();
    // The object's own text block, if any, looked up once as well (empty
    // range otherwise).
    const char* blockStart = nullptr;
    const char* blockEnd = nullptr;
    if ((bo.arenaFlags_ & BusinessObject::kTextBlock) != 0) {
      char** words = blockWords(bo, bo.values_);
      blockStart = reinterpret_cast<const char*>(words + 2);
      blockEnd = words[0];
    }
    for (int i = 0; i < count && attrs != nullptr; ++i) {
      void* value = bo.values_[i];
      bo.values_[i] = nullptr;
      if (value == nullptr || value == BLANK_VALUE) continue;
      if (!attrs[i].isObjectType()) {
        const char* text = static_cast<const char*>(value);
        if ((arena == nullptr || !arena->ownsText(value)) &&
            (text < blockStart || text >= blockEnd))
          delete[] static_cast<char*>(value);
      } else {
        releaseValue(bo, attrs[i], value);
      }
    }
  }
  // The verb and locale outlive the slot array they may have been read into.
  if (bo.values_ != nullptr && bo.spec_ != nullptr) detachTextBlock(bo, false);
  bo.arenaFlags_ &= static_cast<std::uint8_t>(~BusinessObject::kTextBlock);
  if ((bo.arenaFlags_ & BusinessObject::kArenaSlots) == 0) delete[] bo.values_;
  bo.arenaFlags_ &= static_cast<std::uint8_t>(~BusinessObject::kArenaSlots);
  bo.values_ = nullptr;
  bo.spec_ = nullptr;
}

void BusObjAccess::setVerbUnchecked(BusinessObject& bo, const char* verb) {
  char* copy = verb != nullptr ? copyOwnedText(bo, verb, std::strlen(verb)) : nullptr;
  releaseOwnedText(bo, bo.verb_);
  bo.verb_ = copy;
}

void BusObjAccess::setLocaleUnchecked(BusinessObject& bo, const char* locale) {
  char* copy = locale != nullptr ? copyOwnedText(bo, locale, std::strlen(locale)) : nullptr;
  releaseOwnedText(bo, bo.locale_);
  bo.locale_ = copy;
}

void BusObjAccess::setVerbUnchecked(BusinessObject& bo, const char* data, std::size_t length) {
  char* copy = copyOwnedText(bo, data, length);
  releaseOwnedText(bo, bo.verb_);
  bo.verb_ = copy;
}

void BusObjAccess::setLocaleUnchecked(BusinessObject& bo, const char* data, std::size_t length) {
  char* copy = copyOwnedText(bo, data, length);
  releaseOwnedText(bo, bo.locale_);
  bo.locale_ = copy;
}

void BusObjAccess::releaseValue(const BusinessObject& owner, const AttrSpec& attr, void* value) {
  if (value == nullptr || value == BLANK_VALUE) return;
  if (!attr.isObjectType()) {
    releaseOwnedText(owner, static_cast<char*>(value));
  } else if (attr.isMultipleCard()) {
    delete static_cast<BusObjArray*>(value);
  } else {
    delete static_cast<BusinessObject*>(value);
  }
}

BusinessObject* BusObjAccess::childAt(const BusinessObject& bo, int index) {
  const AttrSpec* attr = bo.getAttrSpec(index);
  if (attr == nullptr || !attr->isObjectType() || attr->isMultipleCard()) return nullptr;
  void* value = bo.values_[index];
  return value == BLANK_VALUE ? nullptr : static_cast<BusinessObject*>(value);
}

BusObjArray* BusObjAccess::arrayAt(const BusinessObject& bo, int index) {
  const AttrSpec* attr = bo.getAttrSpec(index);
  if (attr == nullptr || !isArrayAttr(*attr)) return nullptr;
  void* value = bo.values_[index];
  return value == BLANK_VALUE ? nullptr : static_cast<BusObjArray*>(value);
}

bool BusObjAccess::sameLayout(const BusObjSpec* a, const BusObjSpec* b) {
  if (a == b) return true;
  if (a == nullptr || b == nullptr) return false;
  const int count = a->getAttributeCount();
  if (count != b->getAttributeCount()) return false;
  for (int i = 0; i < count; ++i) {
    const AttrSpec* x = a->getAttribute(i);
    const AttrSpec* y = b->getAttribute(i);
    if (x == nullptr || y == nullptr) return false;
    if (x->getType() != y->getType() || isArrayAttr(*x) != isArrayAttr(*y)) return false;
  }
  return true;
}

void BusObjAccess::takeContents(BusinessObject& bo, BusinessObject& answer) {
  // setValues, not a plain swap: it also clears the arena-slots flag, so
  // neither object later takes the other's slots for arena memory.
  void** mine = bo.values_;
  bo.setValues(answer.values_);
  answer.setValues(mine);
  const BusObjSpec* spec = bo.getSpec();
  for (int i = 0; i < spec->getAttributeCount(); ++i) {
    if (BusinessObject* child = childAt(bo, i)) child->setParent(&bo);
    if (BusObjArray* array = arrayAt(bo, i)) {
      for (int k = 0; k < array->getObjectCount(); ++k) {
        if (BusinessObject* element = array->getObject(k)) element->setParent(&bo);
      }
    }
  }
  const char* verb = answer.getVerb();
  setVerbUnchecked(bo, verb != nullptr && std::strcmp(verb, "null") != 0 ? verb : nullptr);
  bo.delta_ = answer.isDelta();
}

// The typed setter without its messages; the public overloads report.
bool BusObjAccess::storeTyped(BusinessObject& bo, int index, void* value, int type,
                              Displaced displaced) {
  if (bo.values_ == nullptr || index < 0 || index >= bo.getAttrCount()) return false;
  if (value == nullptr || value == BLANK_VALUE) {
    bo.releaseSlot(index);
    bo.values_[index] = value;
    return true;
  }
  const AttrSpec* attr = bo.spec_->getAttribute(index);
  if (attr->getType() != type) return false;
  if (type != OBJECT) {
    // Copy before releasing: value may be the slot's own text.
    char* copy = copySlotText(static_cast<const char*>(value));
    bo.releaseSlot(index);
    bo.values_[index] = copy;
    return true;
  }
  auto* child = static_cast<BusinessObject*>(value);
  if (child == &bo) return false;  // an object holding itself would be destroyed twice
  child->setParent(&bo);
  if (attr->isMultipleCard()) {
    void* current = bo.values_[index];
    BusObjArray* array;
    if (current == nullptr || current == BLANK_VALUE) {
      array = new BusObjArray(child->getSpec());
      bo.values_[index] = array;
    } else {
      array = static_cast<BusObjArray*>(current);
    }
    // The same child twice in one array would be destroyed twice.
    if (!holds(*array, child)) array->addObject(child);
    return true;
  }
  // The same child stored again stays as it is. A different one takes the
  // slot; the one it displaces is released only for the library's own
  // operations (a caller of setAttrValue keeps it and deletes it).
  if (bo.values_[index] != child) {
    if (displaced == Displaced::kRelease) bo.releaseSlot(index);
    bo.values_[index] = child;
  }
  return true;
}

void BusObjAccess::appendFreshChild(BusinessObject& bo, int index, BusinessObject* child) {
  const AttrSpec* attr = bo.getAttrSpec(index);
  if (attr == nullptr || !isArrayAttr(*attr) || child == &bo) {
    // Not an array slot: the typed setter decides (and releases what it refuses).
    if (!storeTyped(bo, index, child, OBJECT, Displaced::kRelease)) delete child;
    return;
  }
  child->setParent(&bo);
  void* current = bo.values_[index];
  if (current == nullptr || current == BLANK_VALUE) {
    current = new BusObjArray(child->getSpec());
    bo.values_[index] = current;
  }
  static_cast<BusObjArray*>(current)->addObject(child);
}

bool BusObjAccess::holds(const BusObjArray& array, const BusinessObject* object) {
  for (int i = 0; i < array.count_; ++i) {
    if (array.slots_[i] == object) return true;
  }
  return false;
}

void BusObjAccess::copyVerb(BusinessObject& to, const char* verb) {
  // A verb read from text as "null" means none.
  if (verb != nullptr && std::strcmp(verb, "null") != 0) to.setVerb(verb);
}

BusinessObject* BusObjAccess::copyValues(const BusinessObject& from) {
  if (from.spec_ == nullptr) return nullptr;
  BusinessObject* copy = makeWithSpec(from.spec_);
  copyVerb(*copy, from.verb_);
  copy->setAttrValues(from.values_);
  return copy;
}

void BusObjAccess::copySlots(BusinessObject& bo, void* const* source, Displaced displaced) {
  if (source == nullptr || bo.values_ == nullptr) return;
  const int count = bo.getAttrCount();
  for (int i = 0; i < count; ++i) {
    const AttrSpec* attr = bo.spec_->getAttribute(i);
    void* value = source[i];
    if (!attr->isObjectType()) {
      storeTyped(bo, i, value, attr->getType(), Displaced::kRelease);
      continue;
    }
    if (value == nullptr || value == BLANK_VALUE) continue;  // absent: the slot keeps its content
    if (attr->isMultipleCard()) {
      const auto* from = static_cast<const BusObjArray*>(value);
      auto* array = new BusObjArray(from->getSpec());
      for (int k = 0; k < from->getObjectCount(); ++k) {
        const BusinessObject* element = from->getObject(k);
        if (element == nullptr) continue;
        if (BusinessObject* copy = copyValues(*element)) {
          copy->setParent(&bo);
          array->addObject(copy);
        }
      }
      // The previous array goes (when it goes) only now: the source may be
      // this very slot.
      if (displaced == Displaced::kRelease) bo.releaseSlot(i);
      bo.values_[i] = array;
    } else if (BusinessObject* copy = copyValues(*static_cast<const BusinessObject*>(value))) {
      if (!storeTyped(bo, i, copy, OBJECT, displaced)) delete copy;
    }
  }
}

void BusObjAccess::initByName(BusinessObject& bo, const char* typeName, const char* locale,
                              const Version* version) {
  BusObjSpec* spec =
      typeName != nullptr ? BusObjSpecRegistry::getInstance()->findSpec(typeName) : nullptr;
  if (spec == nullptr) {
    const std::string versionText = (version != nullptr ? *version : Version()).toString();
    reportMsg(kMsgUnknownType, kMsgUnknownType.type, versionText.c_str(), typeName);
    return;
  }
  attachSpec(bo, spec);
  bo.delta_ = false;
  bo.locale_ = (locale != nullptr && locale[0] != '\0') ? dupText(locale) : defaultLocaleCopy();
}

}  // namespace hbconnector::detail

using hbconnector::detail::BusObjAccess;
using hbconnector::detail::reportMsg;

// ---- construction -----------------------------------------------------------

BusinessObject::BusinessObject(const char* typeName) {
  BusObjAccess::initByName(*this, typeName, nullptr, nullptr);
}

BusinessObject::BusinessObject(const char* typeName, const char* locale) {
  BusObjAccess::initByName(*this, typeName, locale, nullptr);
}

BusinessObject::BusinessObject(const char* typeName, const Version& version) {
  BusObjAccess::initByName(*this, typeName, nullptr, &version);
}

BusinessObject::BusinessObject(NoInit) {}

// The flag that marks objects living in a tree's memory sits in padding.
static_assert(sizeof(BusinessObject) == 9 * sizeof(void*), "BusinessObject changed size");

BusinessObject::~BusinessObject() {
  // Verb and locale go before the slots, so that none is moved out of a
  // text block only to be released.
  // An object of a tree read keeps its texts in the tree's text block, which
  // goes with the tree, unless set since: checked here without a call per
  // text (rows read/ours_*/M and L destroy every object of a tree).
  const hbconnector::detail::TreeArena* arena =
      (arenaFlags_ & kArenaObject) != 0 ? hbconnector::detail::TreeArena::of(this) : nullptr;
  for (char** text : {&verb_, &appSpecificInfo_, &locale_}) {
    if (*text != nullptr && (arena == nullptr || !arena->ownsText(*text))) {
      BusObjAccess::releaseOwnedText(*this, *text);
    }
    *text = nullptr;
  }
  BusObjAccess::invalidate(*this);
}

void BusinessObject::setValues(void** values) {
  // The array replaced goes to the caller as any slot array does: its texts
  // (and the verb and locale) are moved out of its text block first, so that
  // whoever holds it next releases them one by one.
  if (values != values_) BusObjAccess::detachTextBlock(*this, true);
  values_ = values;
  arenaFlags_ &= static_cast<std::uint8_t>(~kArenaSlots);
}

void BusinessObject::operator delete(BusinessObject* object, std::destroying_delete_t) {
  if ((object->arenaFlags_ & kArenaObject) != 0) {
    hbconnector::detail::TreeArena::destroy(object);
    return;
  }
  // The memory starts at the complete object, which may be of a derived class.
  void* memory = dynamic_cast<void*>(object);
  object->~BusinessObject();
  ::operator delete(memory);
}

void BusinessObject::releaseSlot(int index) {
  const AttrSpec* attr = spec_ != nullptr ? spec_->getAttribute(index) : nullptr;
  if (attr == nullptr || values_ == nullptr) return;
  void* value = values_[index];
  values_[index] = nullptr;
  BusObjAccess::releaseValue(*this, *attr, value);
}

// ---- type and spec access ---------------------------------------------------

const char* BusinessObject::getName() const {
  return spec_ != nullptr ? spec_->getName() : nullptr;
}

Version* BusinessObject::getVersion() const {
  return spec_ != nullptr ? spec_->getVersion() : nullptr;
}

int BusinessObject::getAttrCount() const {
  return spec_ != nullptr ? spec_->getAttributeCount() : 0;
}

AttrSpec* BusinessObject::getAttrSpec(int index) const {
  return spec_ != nullptr ? spec_->getAttribute(index) : nullptr;
}

AttrSpec* BusinessObject::getAttrSpec(const char* name) const {
  return spec_ != nullptr ? spec_->getAttribute(name) : nullptr;
}

const char* BusinessObject::getAttrName(int index) const {
  const AttrSpec* attr = getAttrSpec(index);
  return attr != nullptr ? attr->getName() : nullptr;
}

int BusinessObject::getAttrType(int index) const {
  const AttrSpec* attr = getAttrSpec(index);
  return attr != nullptr ? attr->getType() : -1;
}

int BusinessObject::getAttrType(const char* name) const {
  const AttrSpec* attr = getAttrSpec(name);
  return attr != nullptr ? attr->getType() : -1;
}

// ---- values -----------------------------------------------------------------

void* BusinessObject::getAttrValue(int index) const {
  if (values_ == nullptr || index < 0 || index >= getAttrCount()) {
    reportMsg(hbconnector::detail::kMsgBadAttribute, 7, index, "Unknown");
    return nullptr;
  }
  return values_[index];
}

void* BusinessObject::getAttrValue(const char* name) const {
  return getAttrValue(spec_ != nullptr ? spec_->getAttributeIndex(name) : -1);
}

bool BusinessObject::setAttrValue(int index, void* value, int type) {
  if (BusObjAccess::storeTyped(*this, index, value, type, BusObjAccess::Displaced::kKeep))
    return true;
  reportMsg(hbconnector::detail::kMsgBadAttribute, 7, index, type);
  return false;
}

bool BusinessObject::setAttrValue(const char* name, void* value, int type) {
  const int index = spec_ != nullptr ? spec_->getAttributeIndex(name) : -1;
  if (index >= 0 &&
      BusObjAccess::storeTyped(*this, index, value, type, BusObjAccess::Displaced::kKeep))
    return true;
  reportMsg(hbconnector::detail::kMsgSetByNameRefused, 7, name, type);
  return false;
}

bool BusinessObject::isIgnore(int index) const { return getAttrValue(index) == nullptr; }

bool BusinessObject::isIgnore(const char* name) const { return getAttrValue(name) == nullptr; }

bool BusinessObject::isBlank(int index) const {
  const void* value = getAttrValue(index);
  if (value == nullptr) return false;
  if (value == BLANK_VALUE) return true;
  // A child object or array is never an empty text.
  return getAttrType(index) != OBJECT && static_cast<const char*>(value)[0] == '\0';
}

bool BusinessObject::isBlank(const char* name) const {
  return isBlank(spec_ != nullptr ? spec_->getAttributeIndex(name) : -1);
}

bool BusinessObject::isBlankValue(const void* value) {
  return value != nullptr && (value == BLANK_VALUE || static_cast<const char*>(value)[0] == '\0');
}

namespace {

void* newValueFor(const AttrSpec* attr) {
  if (attr == nullptr) return nullptr;
  if (attr->isObjectType()) return new BusinessObject(attr->getTypeName(), attr->getVersion());
  const int length = attr->getMaxLength() > 0 ? attr->getMaxLength() : 0;
  return new char[static_cast<std::size_t>(length) + 1]();
}

}  // namespace

void* BusinessObject::newAttrValue(int index) const { return newValueFor(getAttrSpec(index)); }

void* BusinessObject::newAttrValue(const char* name) const {
  return newValueFor(getAttrSpec(name));
}

const char* BusinessObject::getDefaultValue(int index) const {
  const AttrSpec* attr = getAttrSpec(index);
  return attr != nullptr ? attr->getDefaultValue() : IGNORE_VALUE;
}

const char* BusinessObject::getDefaultValue(const char* name) const {
  const AttrSpec* attr = getAttrSpec(name);
  return attr != nullptr ? attr->getDefaultValue() : IGNORE_VALUE;
}

void BusinessObject::setAttrValues(void** source) {
  BusObjAccess::copySlots(*this, source, BusObjAccess::Displaced::kKeep);
}

// ---- values by std::string_view ---------------------------------------------

int BusinessObject::attrIndex(std::string_view name) const {
  return spec_ != nullptr ? spec_->attributeIndex(name) : -1;
}

std::optional<std::string_view> BusinessObject::getAttrText(int index) const {
  const AttrSpec* attr = getAttrSpec(index);
  if (attr == nullptr || values_ == nullptr || attr->isObjectType()) return std::nullopt;
  const auto* value = static_cast<const char*>(values_[index]);
  if (value == nullptr) return std::nullopt;
  return std::string_view(value);
}

std::optional<std::string_view> BusinessObject::getAttrText(std::string_view name) const {
  return getAttrText(attrIndex(name));
}

namespace {

// Reports a refused setter call the way setAttrValue does: message 73 with
// the index by index, 72 with the name by name.
void reportRefused(int index, int type) {
  reportMsg(hbconnector::detail::kMsgBadAttribute, 7, index, type);
}
void reportRefused(std::string_view name, int type) {
  const std::string text(name);
  reportMsg(hbconnector::detail::kMsgSetByNameRefused, 7, text.c_str(), type);
}

}  // namespace

namespace hbconnector::detail {

// Stores a copy of value in simple attribute index; false when refused.
bool BusObjAccess::storeText(BusinessObject& bo, int index, std::string_view value) {
  const AttrSpec* attr = bo.getAttrSpec(index);
  if (attr == nullptr || bo.values_ == nullptr || attr->isObjectType()) return false;
  if (value.find('\0') != std::string_view::npos) return false;
  if (value.empty()) {
    bo.releaseSlot(index);
    bo.values_[index] = BLANK_VALUE;
    return true;
  }
  // Copied before the old text goes: value may view that very text.
  char* copy = copySlotText(value.data(), value.size());
  bo.releaseSlot(index);
  bo.values_[index] = copy;
  return true;
}

bool BusObjAccess::storeMarker(BusinessObject& bo, int index, char* marker) {
  if (bo.values_ == nullptr || index < 0 || index >= bo.getAttrCount()) return false;
  bo.releaseSlot(index);
  bo.values_[index] = marker;
  return true;
}

}  // namespace hbconnector::detail

bool BusinessObject::setAttrText(int index, std::string_view value) {
  if (BusObjAccess::storeText(*this, index, value)) return true;
  reportRefused(index, getAttrType(index));
  return false;
}

bool BusinessObject::setAttrText(std::string_view name, std::string_view value) {
  const int index = attrIndex(name);
  if (BusObjAccess::storeText(*this, index, value)) return true;
  reportRefused(name, getAttrType(index));
  return false;
}

bool BusinessObject::setAttrBlank(int index) {
  if (BusObjAccess::storeMarker(*this, index, BLANK_VALUE)) return true;
  reportRefused(index, -1);
  return false;
}

bool BusinessObject::setAttrBlank(std::string_view name) {
  if (BusObjAccess::storeMarker(*this, attrIndex(name), BLANK_VALUE)) return true;
  reportRefused(name, -1);
  return false;
}

bool BusinessObject::unsetAttr(int index) {
  if (BusObjAccess::storeMarker(*this, index, IGNORE_VALUE)) return true;
  reportRefused(index, -1);
  return false;
}

bool BusinessObject::unsetAttr(std::string_view name) {
  if (BusObjAccess::storeMarker(*this, attrIndex(name), IGNORE_VALUE)) return true;
  reportRefused(name, -1);
  return false;
}

BusinessObject* BusinessObject::getChild(int index) const {
  return values_ != nullptr ? BusObjAccess::childAt(*this, index) : nullptr;
}

BusinessObject* BusinessObject::getChild(std::string_view name) const {
  return getChild(attrIndex(name));
}

BusObjArray* BusinessObject::getChildArray(int index) const {
  return values_ != nullptr ? BusObjAccess::arrayAt(*this, index) : nullptr;
}

BusObjArray* BusinessObject::getChildArray(std::string_view name) const {
  return getChildArray(attrIndex(name));
}

std::unique_ptr<BusinessObject> BusinessObject::newChild(std::string_view name) const {
  const AttrSpec* attr = getAttrSpec(attrIndex(name));
  if (attr == nullptr || !attr->isObjectType()) return nullptr;
  std::unique_ptr<BusinessObject> child(static_cast<BusinessObject*>(newValueFor(attr)));
  if (child != nullptr && child->getSpec() == nullptr) child.reset();
  return child;
}

namespace {

// Stores child in slot index when it is a valid object of the attribute's
// child type; the single child it displaces is destroyed.
bool storeOwnedChild(BusinessObject& bo, int index, std::unique_ptr<BusinessObject>& child) {
  const AttrSpec* attr = bo.getAttrSpec(index);
  if (attr == nullptr || !attr->isObjectType() || child == nullptr || child->getSpec() == nullptr ||
      !attr->isTypeName(child->getName())) {
    return false;
  }
  if (!BusObjAccess::storeTyped(bo, index, child.get(), OBJECT, BusObjAccess::Displaced::kRelease))
    return false;
  child.release();
  return true;
}

}  // namespace

bool BusinessObject::addChild(int index, std::unique_ptr<BusinessObject>&& child) {
  if (storeOwnedChild(*this, index, child)) return true;
  reportRefused(index, OBJECT);
  return false;
}

bool BusinessObject::addChild(std::string_view name, std::unique_ptr<BusinessObject>&& child) {
  if (storeOwnedChild(*this, attrIndex(name), child)) return true;
  reportRefused(name, OBJECT);
  return false;
}

bool BusinessObject::hasVerb(Verb verb) const {
  return verb_ != nullptr && std::string_view(verb_) == verbName(verb);
}

// ---- other state ------------------------------------------------------------

void BusinessObject::setVerb(const char* verb) {
  if (verb != nullptr && (spec_ == nullptr || !spec_->isVerbSupported(verb))) {
    if (spec_ != nullptr) reportMsg(hbconnector::detail::kMsgVerbNotSupported, 6, verb, getName());
    return;
  }
  BusObjAccess::setVerbUnchecked(*this, verb);
}

const char* BusinessObject::setLocale(const char* locale) {
  if (locale == nullptr || locale[0] == '\0') return nullptr;
  BusObjAccess::setLocaleUnchecked(*this, locale);
  return locale_;
}

void BusinessObject::setAppSpecificInfo(const char* info) {
  char* copy = hbconnector::detail::dupText(info);
  BusObjAccess::releaseOwnedText(*this, appSpecificInfo_);
  appSpecificInfo_ = copy;
}

// ---- whole-object operations ------------------------------------------------

bool BusinessObject::keysEqual(const BusinessObject* other) const {
  if (other == nullptr || values_ == nullptr || other->values_ == nullptr) return false;
  if (!BusObjAccess::sameLayout(spec_, other->spec_)) return false;
  const int count = getAttrCount();
  for (int i = 0; i < count; ++i) {
    const AttrSpec* attr = spec_->getAttribute(i);
    // Keys are simple values; a child object has no text to compare.
    if (!attr->isKey() || attr->isObjectType()) continue;
    const auto* mine = static_cast<const char*>(values_[i]);
    const auto* theirs = static_cast<const char*>(other->values_[i]);
    if (mine == nullptr || theirs == nullptr || std::strcmp(mine, theirs) != 0) return false;
  }
  return true;
}

int BusinessObject::compare(const BusinessObject* other) const {
  if (other == nullptr || values_ == nullptr || other->values_ == nullptr) return -1;
  if (!BusObjAccess::sameLayout(spec_, other->spec_)) return -1;
  // The last attribute of a spec is not compared.
  const int last = getAttrCount() - 1;
  for (int i = 0; i < last; ++i) {
    const AttrSpec* attr = spec_->getAttribute(i);
    if (!attr->isObjectType()) {
      const auto* mine = static_cast<const char*>(values_[i]);
      const auto* theirs = static_cast<const char*>(other->values_[i]);
      if (mine != nullptr && theirs != nullptr && std::strcmp(mine, theirs) != 0) return -1;
    } else if (attr->isMultipleCard()) {
      const BusObjArray* mine = BusObjAccess::arrayAt(*this, i);
      const BusObjArray* theirs = BusObjAccess::arrayAt(*other, i);
      if (mine != nullptr && theirs != nullptr && mine->compare(theirs) != 0) return -1;
    } else {
      const BusinessObject* mine = BusObjAccess::childAt(*this, i);
      const BusinessObject* theirs = BusObjAccess::childAt(*other, i);
      if (mine != nullptr && theirs != nullptr && mine->compare(theirs) != 0) return -1;
    }
  }
  return 0;
}

BusinessObject* BusinessObject::duplicate() const {
  if (spec_ == nullptr || values_ == nullptr) return nullptr;
  BusinessObject* copy = BusObjAccess::makeWithSpec(spec_);
  BusObjAccess::copyVerb(*copy, verb_);
  copy->delta_ = delta_;
  const int count = getAttrCount();
  for (int i = 0; i < count; ++i) {
    const AttrSpec* attr = spec_->getAttribute(i);
    if (!attr->isObjectType()) {
      BusObjAccess::storeTyped(*copy, i, values_[i], attr->getType(),
                               BusObjAccess::Displaced::kRelease);
    } else if (attr->isMultipleCard()) {
      const BusObjArray* array = BusObjAccess::arrayAt(*this, i);
      if (array == nullptr) continue;
      for (int k = 0; k < array->getObjectCount(); ++k) {
        const BusinessObject* element = array->getObject(k);
        BusinessObject* elementCopy = element != nullptr ? element->duplicate() : nullptr;
        if (elementCopy != nullptr) BusObjAccess::appendFreshChild(*copy, i, elementCopy);
      }
      // An array without elements is the same as none and is not created.
      if (BusObjArray* copied = BusObjAccess::arrayAt(*copy, i)) copied->setDelta(array->isDelta());
    } else if (const BusinessObject* child = BusObjAccess::childAt(*this, i)) {
      if (BusinessObject* childCopy = child->duplicate()) {
        BusObjAccess::storeTyped(*copy, i, childCopy, OBJECT, BusObjAccess::Displaced::kRelease);
      }
    }
  }
  return copy;
}

bool BusinessObject::copyFrom(const BusinessObject& other) {
  if (&other == this) return true;
  // Slots of another layout cannot be read with this object's attribute kinds.
  if (spec_ == nullptr || !BusObjAccess::sameLayout(spec_, other.spec_)) return false;
  setAttrValues(other.values_);
  delta_ = other.delta_;
  return true;
}

int BusinessObject::doVerbFor(ReturnStatusDescriptor* status) {
  JToCPPVeneer::clearErrorMsg();
  BOHandlerBase* handler = spec_ != nullptr ? spec_->getBOHandler() : nullptr;
  if (handler == nullptr) return -1;
  int result;
  if (delta_ && hbconnector::detail::isVerb(verb_, UPDATE)) {
    result = handler->isDeltaSupported(*this) ? handler->doVerbFor(*this, status)
                                              : handler->doUpdateWithoutDelta(*this, status);
  } else {
    result = handler->doVerbFor(*this, status);
  }
  const char* pending = JToCPPVeneer::getErrorMsg();
  if (pending != nullptr && status != nullptr && status->getErrorString() == nullptr) {
    status->setErrorString(pending);
    JToCPPVeneer::clearErrorMsg();
  }
  return result;
}

// ---- dump -------------------------------------------------------------------

namespace {

// Appends pieces to a caller's buffer, keeping it zero-terminated and
// refusing any piece that would not leave room for the terminating zero.
class DumpWriter {
 public:
  DumpWriter(char* buffer, int size) : buffer_(buffer), size_(static_cast<std::size_t>(size)) {}

  bool append(std::string_view piece) {
    if (count_ + piece.size() >= size_) return false;
    std::memcpy(buffer_ + count_, piece.data(), piece.size());
    count_ += piece.size();
    buffer_[count_] = '\0';
    return true;
  }
  // Lets a child dump write into the rest of the buffer.
  bool appendChild(const BusinessObject& child) {
    const int room = static_cast<int>(size_ - count_);
    const int written = child.dump(buffer_ + count_, room);
    if (written < 1 || written >= room) return false;
    count_ += static_cast<std::size_t>(written);
    return true;
  }
  int count() const { return static_cast<int>(count_); }
  int size() const { return static_cast<int>(size_); }

 private:
  char* buffer_;
  std::size_t size_;
  std::size_t count_ = 0;
};

const char* orEmpty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

int BusinessObject::dump(char* buffer, int size) const {
  if (buffer == nullptr) return 0;
  if (size <= 0) return -1;
  buffer[0] = '\0';
  if (spec_ == nullptr || values_ == nullptr) return -1;
  DumpWriter out(buffer, size);
  std::string header = "\nBusiness Object Dump\nName: ";
  header += orEmpty(getName());
  header += "\nVerb: ";
  header += verb_ != nullptr ? verb_ : "NULL";
  header += " \n Type: ";
  header += delta_ ? "Delta" : "AfterImage";
  header += "\n";
  if (!out.append(header)) return -1;
  const int count = getAttrCount();
  for (int i = 0; i < count; ++i) {
    HB_ASSERT(out.count() < out.size());
    const AttrSpec* attr = spec_->getAttribute(i);
    if (!attr->isObjectType()) {
      const std::string line =
          "\nAttr " + std::to_string(i) + ": " + orEmpty(attr->getName()) + " = ";
      if (!out.append(line)) return -1;
      const auto* value = static_cast<const char*>(values_[i]);
      const char* shown = value == nullptr   ? "-- VqIgnore --"
                          : value[0] == '\0' ? "-- Blank --"
                                             : value;
      if (!out.append(shown)) return -1;
    } else if (attr->isMultipleCard()) {
      if (const BusObjArray* array = BusObjAccess::arrayAt(*this, i)) {
        for (int k = 0; k < array->getObjectCount(); ++k) {
          const BusinessObject* element = array->getObject(k);
          if (element != nullptr && !out.appendChild(*element)) return -1;
        }
      }
    } else if (const BusinessObject* child = BusObjAccess::childAt(*this, i)) {
      if (!out.appendChild(*child)) return -1;
    }
  }
  return out.count();
}
