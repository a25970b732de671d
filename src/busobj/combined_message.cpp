// The combined message "BusObjAndSpec": a business object record followed by
// the specification records it needs.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "hbconnector/business_object.hpp"
#include "hbconnector/busobj_spec.hpp"
#include "hbconnector/connector.hpp"
#include "hbconnector/serializer.hpp"
#include "hbconnector/spec_registry.hpp"
#include "hbconnector/string_message.hpp"
#include "runtime/assert.hpp"
#include "busobj/record_codec.hpp"

namespace {

namespace d = hbconnector::detail;

char* copyOut(const char* text) {
  const std::size_t n = std::strlen(text);
  char* copy = new char[n + 1];
  std::memcpy(copy, text, n + 1);
  return copy;
}

// Wraps the inner records into the outer message and hands out its text.
char* combine(const char* boText, const std::vector<BusObjSpec*>& specs) {
  StringMessage outer;
  outer.setDelimiter(STATUS_DELIMITER);
  outer.append(BUSOBJ_AND_SPEC_TAG);
  outer.append(boText);
  for (const BusObjSpec* spec : specs) {
    std::unique_ptr<StringMessage> record(spec->toStringMessage());
    outer.append(record->getText());
  }
  return copyOut(outer.getText());
}

// Registers a spec read from a combined message unless the registry already
// knows its name (the registered spec stays: business objects may point to
// it). Malformed specs and surplus ones are deleted. Threads reading messages
// with the same new type at once register exactly one spec between them: the
// check and the addition are one step.
void registerUnlessKnown(const char* specText) {
  StringMessage message(specText);
  std::unique_ptr<BusObjSpec> spec(new BusObjSpec(message));
  if (spec->getAttributeCount() < 0 || spec->getName() == nullptr) return;
  BusObjSpecRegistry* registry = BusObjSpecRegistry::getInstance();
  if (registry->findSpec(spec->getName()) != nullptr) return;
  if (registry->addSpecIfAbsent(spec.get()) == spec.get()) spec.release();
}

// The default locale of objects read from the key form, which carries none.
const char* defaultLocale() {
  const char* locale = ConnectorBase::getLocale();
  return locale != nullptr && locale[0] != '\0' ? locale : "en_US";
}

// Rewrites a key-form record (tag, type, version, verb, count, one token per
// attribute) as an ordinary business object record: an after-image with the
// default locale, in which every child-object attribute is empty, as the key
// form never carries children. Tokens are copied as they come, so a
// truncated key form stays truncated and the reader refuses it.
std::unique_ptr<StringMessage> keyFormAsRecord(const char* keyText) {
  StringMessage in(keyText);
  auto out = std::make_unique<StringMessage>();
  const char* header[5];
  for (const char*& token : header) {
    token = in.nextToken();
    if (token == nullptr) {
      // Too short to rewrite: hand the reader the truncated text itself.
      return std::make_unique<StringMessage>(keyText);
    }
  }
  out->append(header[0]);
  out->append(header[1]);
  out->append(header[2]);
  out->append(d::kFalseToken);
  out->append(header[3]);
  out->append(defaultLocale());
  out->append(header[4]);
  const BusObjSpec* spec = BusObjSpecRegistry::getInstance()->findSpec(header[1]);
  const int count = spec != nullptr ? spec->getAttributeCount() : -1;
  int i = 0;
  for (const char* token = in.nextToken(); token != nullptr; token = in.nextToken(), ++i) {
    const AttrSpec* attr = (i < count) ? spec->getAttribute(i) : nullptr;
    const bool keepsToken = attr == nullptr || !attr->isObjectType() ||
                            std::strcmp(token, d::kIgnoreToken) == 0 ||
                            std::strcmp(token, d::kBlankToken) == 0;
    out->append(keepsToken ? token : "0");
  }
  return out;
}

// Splits a combined message. False when it is not one: wrong tag, no business
// object token, or more specification tokens than accepted.
bool splitCombined(StringMessage& outer, const char** boText, std::vector<const char*>* specs) {
  const char* tag = outer.nextToken();
  if (tag == nullptr || std::strcmp(tag, BUSOBJ_AND_SPEC_TAG) != 0) return false;
  *boText = outer.nextToken();
  if (*boText == nullptr) return false;
  // Every token is taken before any is parsed, so that an oversized message
  // changes nothing in the registry.
  for (const char* token = outer.nextToken(); token != nullptr; token = outer.nextToken()) {
    if (specs->size() >= static_cast<std::size_t>(MAX_SPECS_PER_MESSAGE)) return false;
    specs->push_back(token);
  }
  return true;
}

}  // namespace

HashedDictionary* BusObjAndSpecSerializer::collectSpecs(BusinessObject* bo) {
  auto* specs = new HashedDictionary();
  if (bo == nullptr || bo->getSpec() == nullptr) return specs;
  BusObjSpecRegistry* registry = BusObjSpecRegistry::getInstance();
  // A work list instead of recursion: a long chain of child types cannot
  // exhaust the stack, and each type is taken once, so cycles end.
  std::vector<BusObjSpec*> work;
  auto add = [&](BusObjSpec* spec) {
    if (spec == nullptr || spec->getName() == nullptr) return;
    if (specs->contains(NameView(spec->getName()))) return;
    specs->insertKeyAndValue(new NameItem(spec->getName()), spec);
    work.push_back(spec);
  };
  add(registry->findSpec(bo->getSpec()->getName()));
  while (!work.empty()) {
    BusObjSpec* spec = work.back();
    work.pop_back();
    for (int i = 0; i < spec->getAttributeCount(); ++i) {
      const AttrSpec* attr = spec->getAttribute(i);
      if (attr->isObjectType() && attr->getTypeName() != nullptr) {
        add(registry->findSpec(attr->getTypeName()));
      }
    }
  }
  return specs;
}

char* BusObjAndSpecSerializer::serializeWithAllSpecs(BusinessObject* bo) {
  HB_ASSERT(bo != NULL);
  std::unique_ptr<StringMessage> record(bo->toStringMessage());
  std::unique_ptr<HashedDictionary> collected(collectSpecs(bo));
  std::vector<BusObjSpec*> specs;
  collected->forEach([&specs](const HashedItem&, void* value) {
    specs.push_back(static_cast<BusObjSpec*>(value));
  });
  return combine(record->getText(), specs);
}

char* BusObjAndSpecSerializer::serializeWithSpec(BusinessObject* bo) {
  HB_ASSERT(bo != NULL);
  std::unique_ptr<StringMessage> record(bo->toKeyStringMessage());
  std::vector<BusObjSpec*> specs;
  if (BusObjSpec* own = bo->getSpec()) {
    BusObjSpec* registered = BusObjSpecRegistry::getInstance()->findSpec(own->getName());
    specs.push_back(registered != nullptr ? registered : own);
  }
  return combine(record->getText(), specs);
}

BusinessObject* BusObjAndSpecSerializer::deserializeWithAllSpecs(const char* boMsg) {
  HB_ASSERT(boMsg != NULL);
  StringMessage outer(boMsg, STATUS_DELIMITER);
  const char* boText = nullptr;
  std::vector<const char*> specs;
  if (!splitCombined(outer, &boText, &specs)) return nullptr;
  for (const char* specText : specs) registerUnlessKnown(specText);
  StringMessage record(boText);
  return new BusinessObject(record);
}

BusinessObject* BusObjAndSpecSerializer::deserializeWithSpec(const char* boMsg) {
  HB_ASSERT(boMsg != NULL);
  StringMessage outer(boMsg, STATUS_DELIMITER);
  const char* boText = nullptr;
  std::vector<const char*> specs;
  if (!splitCombined(outer, &boText, &specs)) return nullptr;
  if (!specs.empty()) registerUnlessKnown(specs.front());
  std::unique_ptr<StringMessage> record = keyFormAsRecord(boText);
  return new BusinessObject(*record);
}
