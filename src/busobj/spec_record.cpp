// The specification record (reading a BusObjSpec, writing one) and the key
// form of a business object record.
//
// Attribute entries have twelve tokens; some writers add a thirteenth boolean
// token. The reader tells the two apart with one look-ahead token after the
// twelfth: "true" or "false" is a thirteenth token, anything else is the first
// token of what follows (the next attribute's name or the first verb name).
// The writer writes twelve, and a thirteenth only before a name that is
// itself "true" or "false".
//
// A malformed record (a token missing anywhere, a negative count, counts the
// text cannot hold, tokens left over at the end) gives a spec whose attribute
// count is -1; such a spec is never usable for business objects.
#include <cstring>
#include <string>
#include <vector>

#include "busobj/busobj_access.hpp"
#include "hbconnector/business_object.hpp"
#include "hbconnector/busobj_spec.hpp"
#include "hbconnector/string_message.hpp"
#include "busobj/record_codec.hpp"

namespace {

namespace d = hbconnector::detail;

constexpr char kSpecTag[] = "BusObjSpec";
// Stands for an empty text in the fields that may be empty, since neither
// encoding can carry an empty token.
constexpr char kEmptyMarker[] = "\x05";
// Tokens of an attribute entry after its name, without the optional thirteenth.
constexpr int kEntryTokensAfterName = 11;
constexpr long long kMinAttributeTokens = 12;
constexpr long long kMinVerbTokens = 2;
constexpr int kDefaultMaxLength = 255;

struct TypeName {
  const char* name;
  int code;
};
constexpr TypeName kSimpleTypes[] = {{"Boolean", BOOLEAN},  {"Integer", INTEGER}, {"Float", FLOAT},
                                     {"Double", DOUBLE},    {"String", STRING},   {"Date", DATE},
                                     {"LongText", LONGTEXT}};

int typeCodeOf(const char* typeName) {
  for (const TypeName& t : kSimpleTypes) {
    if (std::strcmp(typeName, t.name) == 0) return t.code;
  }
  return OBJECT;
}

bool is(const char* token, const char* text) { return std::strcmp(token, text) == 0; }
bool isBooleanToken(const char* token) { return is(token, "true") || is(token, "false"); }
bool isEmptyMarker(const char* token) { return is(token, kEmptyMarker); }

const char* orEmptyMarker(const char* text) {
  return text == nullptr || text[0] == '\0' ? kEmptyMarker : text;
}

}  // namespace

BusObjSpec::BusObjSpec(StringMessage& message) {
  message.resetTokenizer();
  auto next = [&message]() -> const char* { return message.nextToken(); };

  const char* tag = next();  // not checked: any first token is taken as the tag
  const char* name = tag != nullptr ? next() : nullptr;
  const char* version = name != nullptr ? next() : nullptr;
  const char* info = version != nullptr ? next() : nullptr;
  const char* attrCountToken = info != nullptr ? next() : nullptr;
  const char* verbCountToken = attrCountToken != nullptr ? next() : nullptr;
  if (name != nullptr) name_ = d::dupText(name);
  if (version != nullptr) version_ = new Version(version);
  if (info != nullptr) appSpecificInfo_ = d::dupText(isEmptyMarker(info) ? "" : info);
  if (verbCountToken == nullptr) {
    attrCount_ = -1;
    return;
  }
  const int attrCount = d::countValue(attrCountToken);
  const int verbCount = d::countValue(verbCountToken);
  // Counts the text cannot hold are refused before anything is allocated.
  if (attrCount < 0 || verbCount < 0 ||
      attrCount * kMinAttributeTokens + verbCount * kMinVerbTokens > d::maxTokensIn(message)) {
    attrCount_ = -1;
    return;
  }
  if (attrCount > 0) attributes_ = new AttrSpec[attrCount];
  attrCount_ = attrCount;

  // The token read ahead after the previous entry, when it was not a
  // thirteenth token; null when none is waiting.
  const char* pending = nullptr;
  bool hadThirteenth = false;
  for (int i = 0; i < attrCount; ++i) {
    const char* attrName = (i == 0 || hadThirteenth) ? next() : pending;
    pending = nullptr;
    const char* typeName = attrName != nullptr ? next() : nullptr;
    if (typeName == nullptr) {
      attrCount_ = -1;
      return;
    }
    const char* t[kEntryTokensAfterName - 1];
    for (const char*& token : t) {
      token = next();
      if (token == nullptr) {
        attrCount_ = -1;
        return;
      }
    }
    const char* lookAhead = next();
    hadThirteenth = lookAhead != nullptr && isBooleanToken(lookAhead);
    if (!hadThirteenth) pending = lookAhead;

    const char* attrInfo = isEmptyMarker(t[3]) ? BLANK_VALUE : t[3];
    int maxLength = d::countValue(t[4]);
    if (maxLength == 0) maxLength = kDefaultMaxLength;
    const char* defaultValue = isEmptyMarker(t[5]) ? BLANK_VALUE : t[5];
    const char* cardinality = is(t[7], "null") ? "" : t[7];
    attributes_[i].setAttribute(attrName, typeCodeOf(typeName), typeName, is(t[0], "true"),
                                is(t[1], "true"), is(t[2], "true"), attrInfo, maxLength,
                                defaultValue, t[6], cardinality, t[8], is(t[9], "true"));
  }

  for (int j = 0; j < verbCount; ++j) {
    const char* verbName = (j == 0 && pending != nullptr) ? pending : next();
    pending = nullptr;
    const char* verbInfo = verbName != nullptr ? next() : nullptr;
    if (verbInfo == nullptr) {
      attrCount_ = -1;
      return;
    }
    addVerb(new VerbSpec(verbName, isEmptyMarker(verbInfo) ? "" : verbInfo));
  }

  // A token read ahead and never used is left over as well.
  if (pending != nullptr || next() != nullptr) attrCount_ = -1;
}

StringMessage* BusObjSpec::toStringMessage() const {
  auto* out = new StringMessage();
  out->append(kSpecTag);
  out->append(name_);
  out->append(d::versionText(version_));
  out->append(orEmptyMarker(appSpecificInfo_));
  out->append(std::to_string(attrCount_).c_str());
  // Verb records are IdentityItem(VerbSpec*); anything else in the set is
  // not a verb record and is not written.
  std::vector<const VerbSpec*> verbs;
  verbs_.forEach([&verbs](const HashedItem* item) {
    if (const auto* identity = dynamic_cast<const IdentityItem*>(item)) {
      if (identity->get() != nullptr)
        verbs.push_back(static_cast<const VerbSpec*>(identity->get()));
    }
  });
  out->append(std::to_string(verbs.size()).c_str());
  for (int i = 0; i < attrCount_; ++i) {
    const AttrSpec& attr = attributes_[i];
    out->append(attr.getName());
    out->append(attr.getTypeName());
    out->append(attr.isKey() ? 1 : 0);
    out->append(attr.isForeignKey() ? 1 : 0);
    out->append(attr.isRequired() ? 1 : 0);
    out->append(orEmptyMarker(attr.getAppSpecificInfo()));
    out->append(std::to_string(attr.getMaxLength()).c_str());
    out->append(orEmptyMarker(attr.getDefaultValue()));
    out->append(d::versionText(attr.getVersionPtr()));
    out->append(attr.getCardinality());
    out->append(attr.getRelationship());
    out->append(attr.getAttrFlag() ? 1 : 0);
    // A following name "true" or "false" would be taken for this entry's
    // optional thirteenth token by the reader's look-ahead and shift every
    // later token; the entry then carries a thirteenth token of its own, so
    // that the name reads as a name. Other records are written unchanged.
    const char* following = i + 1 < attrCount_ ? attributes_[i + 1].getName()
                            : verbs.empty()    ? nullptr
                                               : verbs.front()->getName();
    if (following != nullptr && isBooleanToken(following)) out->append("false");
  }
  for (const VerbSpec* verb : verbs) {
    out->append(verb->getName());
    out->append(orEmptyMarker(verb->getAppSpecificInfo()));
  }
  return out;
}

StringMessage* BusinessObject::toKeyStringMessage() const {
  auto* out = new StringMessage();
  if (spec_ == nullptr) return out;
  const int count = spec_->getAttributeCount() > 0 ? spec_->getAttributeCount() : 0;
  out->append(d::kBusObjTag);
  out->append(spec_->getName());
  out->append(d::versionText(spec_->getVersion()));
  out->append(verb_ != nullptr ? verb_ : d::kNullToken);
  out->append(std::to_string(count).c_str());
  for (int i = 0; i < count; ++i) {
    const AttrSpec* attr = spec_->getAttribute(i);
    const auto* value = static_cast<const char*>(values_[i]);
    if (attr->isObjectType()) {
      out->append("0");
    } else if (value == nullptr) {
      out->append(d::kIgnoreToken);
    } else if (value[0] == '\0') {
      out->append(d::kBlankToken);
    } else {
      out->append(attr->isKey() ? value : d::kIgnoreToken);
    }
  }
  return out;
}
