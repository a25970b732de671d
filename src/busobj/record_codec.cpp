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
#include "busobj/record_codec.hpp"

#include <charconv>
#include <cstring>
#include <memory>
#include <string>
#include <typeinfo>

#include "busobj/busobj_access.hpp"
#include "busobj/diagnostics.hpp"
#include "busobj/tree_arena.hpp"
#include "collections/decimal.hpp"
#include "hbconnector/spec_registry.hpp"
#include "hbconnector/version.hpp"
#include "serial/codec.hpp"

namespace hbconnector::detail {

namespace {

thread_local int tRecordLevel = 0;

// Reads the rest of a business object record whose tag has been taken into
// bo, an object without spec, slots, verb or locale. False when the record is
// malformed; bo keeps what was set for the caller to release.
bool readRecordBody(RecordTokens& tokens, BusinessObject& bo, int level);

// Reads one child record at the given level; null when it could not be read
// (the child is then already released).
BusinessObject* readChild(RecordTokens& tokens, BusinessObject& parent, int level) {
  if (level > MAX_BUSOBJ_DEPTH) return nullptr;
  TokenView tag;
  if (!tokens.next(&tag) || !tag.is(kBusObjTag)) return nullptr;
  std::unique_ptr<BusinessObject> child(tokens.newChild());
  if (!readRecordBody(tokens, *child, level) || child->getSpec() == nullptr) return nullptr;
  child->setParent(&parent);
  return child.release();
}

// Reads a record's header, everything up to the attribute entries, into bo:
// its delta flag, verb and locale, and its spec with a fresh slot array.
// Returns the spec, or null when the header is malformed or names an unknown
// type (reported); *withFlags tells whether the record carries delta flags
// (newer records). Out of line so that its token reads do not enlarge the
// frame of each level of the recursion: a tree at the depth cap must fit a
// 256 KiB thread stack, also under the address sanitizer.
HB_NOINLINE const BusObjSpec* readRecordHeader(RecordTokens& tokens, BusinessObject& bo,
                                               bool* withFlags) {
  TokenView typeName, version, verb, locale, count;
  if (!tokens.next(&typeName) || !tokens.next(&version) || !tokens.next(&verb)) return nullptr;
  // Older records have no delta flag: the verb follows the version directly,
  // and their arrays carry no flag either.
  const bool hasFlag = verb.is(kTrueToken) || verb.is(kFalseToken);
  const bool delta = verb.is(kTrueToken);
  if (hasFlag && !tokens.next(&verb)) return nullptr;
  if (!tokens.next(&locale)) return nullptr;
  const auto unknownType = [&] {
    tokens.reporter().report(kMsgUnknownType, kMsgUnknownType.type, version.view(),
                             typeName.view());
    return nullptr;
  };
  BusObjSpec* spec = tokens.findSpec(typeName);
  if (spec == nullptr) return unknownType();
  if (!tokens.next(&count)) return nullptr;
  if (spec->getAttributeCount() < 0 || countValue(count) != spec->getAttributeCount()) {
    return unknownType();
  }
  if (hasFlag) BusObjAccess::setDelta(bo, delta);
  *withFlags = hasFlag;
  if (!BusObjAccess::inArena(bo)) {
    if (tokens.inPlace() && bo.getVerb() == nullptr && bo.getLocale() == nullptr &&
        bo.getAttrValues() == nullptr) {
      // The root of a read from the library's own messages: its slots and
      // texts (verb, locale, values) get one block. The root's own texts take
      // at most the rest of the text plus verb and locale; beyond
      // kRootTextBytes the block would mostly stay unused by a record whose
      // bulk is its children, so longer texts then go to the heap.
      const std::size_t needed = tokens.remaining() + verb.size + locale.size + 2;
      BusObjAccess::attachSpecWithTexts(bo, spec,
                                        needed < kRootTextBytes ? needed : kRootTextBytes);
      BusObjAccess::adoptVerb(bo, BusObjAccess::copyBlockText(bo, verb.data, verb.size));
      if (locale.size != 0) {
        BusObjAccess::adoptLocale(bo, BusObjAccess::copyBlockText(bo, locale.data, locale.size));
      }
      return spec;
    }
  }
  TreeArena* arena = BusObjAccess::inArena(bo) ? TreeArena::of(&bo) : nullptr;
  if (arena != nullptr && bo.getVerb() == nullptr) {
    BusObjAccess::adoptVerb(bo, arena->copyText(verb.data, verb.size));
  } else {
    BusObjAccess::setVerbUnchecked(bo, verb.data, verb.size);
  }
  if (locale.size != 0) {
    if (arena != nullptr && bo.getLocale() == nullptr) {
      BusObjAccess::adoptLocale(bo, arena->copyText(locale.data, locale.size));
    } else {
      BusObjAccess::setLocaleUnchecked(bo, locale.data, locale.size);
    }
  }
  BusObjAccess::attachSpec(bo, spec);
  return spec;
}

bool readRecordBody(RecordTokens& tokens, BusinessObject& bo, int level) {
  bool withFlags = false;
  const BusObjSpec* spec = readRecordHeader(tokens, bo, &withFlags);
  return spec != nullptr &&
         readAttributeEntries(tokens, *spec, BusObjAccess::values(bo), bo, withFlags, level);
}

}  // namespace

RecordDepth::RecordDepth() : level_(++tRecordLevel) {}

RecordDepth::~RecordDepth() { --tRecordLevel; }

long long maxTokensIn(const StringMessage& message) {
  return static_cast<long long>(message.getLength()) / 2 + 1;
}

int countValue(const char* token) { return decimalToInt(token); }

int countValueSlow(const TokenView& token) { return decimalToInt(token.data, token.size); }

// ---- RecordTokens -------------------------------------------------------------

namespace {

// Message ids and types with their texts as the agent's log shows them.
class AgentReporter final : public codec::Reporter {
 public:
  void report(int id, int type, std::string_view first, std::string_view second) override {
    reportMsg(id, type, std::string(first).c_str(), std::string(second).c_str());
  }
};

// The tokenizer over a message of the library's own classes read in place;
// false for any other message.
bool inPlaceTokenizer(StringMessage& message, codec::Tokenizer* tokenizer) {
  const std::type_info& type = typeid(message);
  const char* delimiter = message.getDelimiter();
  if (type == typeid(StringMessage) && delimiter[0] != '\0' && delimiter[1] == '\0') {
    *tokenizer = codec::Tokenizer::delimited(message.unreadText(), std::string_view(delimiter, 1));
    return true;
  }
  if (type == typeid(StringMessageI18N)) {
    *tokenizer =
        codec::Tokenizer::lengthPrefixed(static_cast<StringMessageI18N&>(message).unreadText());
    return true;
  }
  return false;
}

}  // namespace

codec::Reporter& agentReporter() {
  static AgentReporter reporter;
  return reporter;
}

RecordTokens::RecordTokens(StringMessage& message, codec::Reporter& reporter)
    : message_(message),
      reporter_(reporter),
      mode_(Mode::kVirtual),
      tokenizer_(codec::Tokenizer::lengthPrefixed({})) {
  if (inPlaceTokenizer(message, &tokenizer_)) {
    mode_ = tokenizer_.encoding() == codec::Encoding::kLengthPrefixed ? Mode::kLengthPrefixed
                                                                      : Mode::kDelimited;
  }
}

RecordTokens::~RecordTokens() {
  // A malformed length field is met again by the message's next read, which
  // then ends the message itself.
  if (mode_ == Mode::kLengthPrefixed) {
    static_cast<StringMessageI18N&>(message_).consumeText(tokenizer_.position());
  } else if (mode_ == Mode::kDelimited) {
    message_.consumeText(tokenizer_.position());
  }
  // The objects read keep the arena alive; the reader's own hold ends here.
  if (arena_ != nullptr) arena_->release();
}

bool RecordTokens::nextVirtual(TokenView* token) {
  const char* text = message_.nextToken();
  if (text == nullptr) return false;
  token->data = text;
  token->size = std::strlen(text);
  return true;
}

BusinessObject* RecordTokens::newChild() {
  if (mode_ == Mode::kVirtual) return BusObjAccess::makeInvalid();
  if (arena_ == nullptr) {
    // Every token of n bytes takes at least n + 1 bytes of text (its
    // delimiter, or a length prefix of two bytes or more), and the last one
    // at most one byte less: the rest of the text bounds every copy.
    arena_ = TreeArena::create(tokenizer_.remaining() + 1);
  }
  return arena_->newObject();
}

bool readRecord(RecordTokens& tokens, BusinessObject& bo, int level) {
  TokenView tag;
  if (!tokens.next(&tag) || !tag.is(kBusObjTag)) return false;
  if (readRecordBody(tokens, bo, level)) return true;
  // Nothing of a record that cannot be read completely stays behind.
  discardRecord(bo);
  return false;
}

void discardRecord(BusinessObject& bo) {
  BusObjAccess::invalidate(bo);
  BusObjAccess::setVerbUnchecked(bo, nullptr);
  BusObjAccess::setLocaleUnchecked(bo, nullptr);
  BusObjAccess::setDelta(bo, false);
}

BusObjSpec* RecordTokens::findSpec(const TokenView& name) {
  if (cachedSpec_ != nullptr && name.size == cachedName_.size() &&
      std::memcmp(name.data, cachedName_.data(), name.size) == 0) {
    return cachedSpec_;
  }
  lookupName_.assign(name.data, name.size);
  BusObjSpec* spec = BusObjSpecRegistry::getInstance()->findSpec(lookupName_.c_str());
  if (spec != nullptr) {
    cachedName_ = lookupName_;
    cachedSpec_ = spec;
  }
  return spec;
}

// ---- reading --------------------------------------------------------------------

bool readAttributeEntries(RecordTokens& tokens, const BusObjSpec& spec, void** slots,
                          BusinessObject& owner, bool withArrayFlags, int level) {
  const int count = spec.getAttributeCount();
  TreeArena* arena = BusObjAccess::inArena(owner) ? TreeArena::of(&owner) : nullptr;
  // Only the owner's own slots share its text block (a prior image's do not).
  const bool textBlock = slots == BusObjAccess::values(owner) && BusObjAccess::hasTextBlock(owner);
  for (int i = 0; i < count; ++i) {
    TokenView token;
    if (!tokens.next(&token)) return false;
    const AttrSpec* attr = spec.getAttributes() + i;
    if (token.is(kIgnoreToken)) continue;
    if (token.is(kBlankToken)) {
      // The marker is stored for any kind of attribute.
      slots[i] = BusinessObject::getBlankValue();
      continue;
    }
    if (!attr->isObjectType()) {
      // The slot is fresh and the type is the attribute's own: this is what
      // the typed setter would store, without its checks.
      slots[i] = arena != nullptr ? arena->copyText(token.data, token.size)
                 : textBlock      ? BusObjAccess::copyBlockText(owner, token.data, token.size)
                                  : copySlotText(token.data, token.size);
      continue;
    }
    const int n = countValue(token);
    if (n < 1) continue;
    if (!attr->isMultipleCard()) {
      // Whatever count a single-child attribute declares, it holds one child.
      BusinessObject* child = readChild(tokens, owner, level + 1);
      if (child == nullptr) return false;
      slots[i] = child;
      continue;
    }
    // Refuse a count the remaining text cannot hold before allocating for it.
    if (static_cast<long long>(n) * kMinRecordTokens > maxTokensIn(tokens.message())) return false;
    auto* array = new BusObjArray(nullptr);
    slots[i] = array;
    if (withArrayFlags) {
      TokenView flag;
      if (!tokens.next(&flag)) return false;
      array->setDelta(flag.is(kTrueToken));
    }
    for (int k = 0; k < n; ++k) {
      BusinessObject* child = readChild(tokens, owner, level + 1);
      if (child == nullptr) return false;
      array->setSpec(child->getSpec());
      array->addObject(child);
    }
  }
  return true;
}

// ---- writing --------------------------------------------------------------------

namespace {

// The number of elements of array that have a record to write.
int writableElements(const BusObjArray& array) {
  int n = 0;
  for (int k = 0; k < array.getObjectCount(); ++k) {
    const BusinessObject* element = array.getObject(k);
    if (element != nullptr && element->getSpec() != nullptr) ++n;
  }
  return n;
}

}  // namespace

RecordWriter::RecordWriter(StringMessage& out, bool lengthPrefixed)
    : out_(out),
      encoding_(lengthPrefixed ? codec::Encoding::kLengthPrefixed : codec::Encoding::kDelimited),
      delimiter_(lengthPrefixed ? std::string_view() : std::string_view(out.getDelimiter())) {}

void RecordWriter::token(const char* text) {
  rawToken(text != nullptr ? text : "", text != nullptr ? std::strlen(text) : 0);
}

void RecordWriter::token(const char* data, std::size_t size) { rawToken(data, size); }

void RecordWriter::number(int value) {
  char digits[16];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  rawToken(digits, static_cast<std::size_t>(result.ptr - digits));
}

const char* RecordWriter::version(const Version* version) {
  int parts[3];
  if (version != nullptr) {
    parts[0] = version->getMajor();
    parts[1] = version->getMinor();
    parts[2] = version->getPoint();
  } else {
    const Version fallback;
    parts[0] = fallback.getMajor();
    parts[1] = fallback.getMinor();
    parts[2] = fallback.getPoint();
  }
  if (cachedVersion_ == nullptr || cachedVersion_ != version ||
      std::memcmp(parts, cachedParts_, sizeof parts) != 0) {
    // "%d.%d.%d" without the format parser: three signed decimals (at most
    // 11 characters each) and two dots fit the buffer.
    char* at = versionText_;
    char* const end = versionText_ + sizeof versionText_ - 1;
    for (int k = 0; k < 3; ++k) {
      if (k > 0) *at++ = '.';
      at = std::to_chars(at, end, parts[k]).ptr;
    }
    *at = '\0';
    std::memcpy(cachedParts_, parts, sizeof parts);
    cachedVersion_ = version;
  }
  return versionText_;
}

void RecordWriter::record(const BusinessObject& bo) {
  const BusObjSpec* spec = bo.getSpec();
  const int count = spec->getAttributeCount() > 0 ? spec->getAttributeCount() : 0;
  recordHead(*spec);
  if (bo.isDelta()) {
    token(kTrueToken, sizeof(kTrueToken) - 1);
  } else {
    token(kFalseToken, sizeof(kFalseToken) - 1);
  }
  token(bo.getVerb() != nullptr ? bo.getVerb() : kNullToken);
  token(bo.getLocale());
  number(count);
  if (count > 0) entries(*spec, bo.getAttrValues(), true);
}

void RecordWriter::recordHead(const BusObjSpec& spec) {
  const Version* specVersion = spec.getVersion();
  // The children of an array mostly share one spec: the head of a nested
  // record is encoded once and appended in one piece while spec, name and
  // version stay the same. Tokens of the outermost record go one by one, for
  // the capacity rule.
  if (depth_ > 0 && &spec == headSpec_ && spec.getName() == headName_ &&
      specVersion == headVersion_ &&
      (specVersion == nullptr ||
       (specVersion->getMajor() == headParts_[0] && specVersion->getMinor() == headParts_[1] &&
        specVersion->getPoint() == headParts_[2]))) {
    std::memcpy(out_.reserveText(head_.size()), head_.data(), head_.size());
    out_.commitText(head_.size());
    return;
  }
  const std::size_t start = out_.textSize();
  token(kBusObjTag, sizeof(kBusObjTag) - 1);
  token(spec.getName());
  token(version(specVersion));
  if (depth_ == 0) return;
  head_.assign(out_.getText() + start, out_.textSize() - start);
  headSpec_ = &spec;
  headName_ = spec.getName();
  headVersion_ = specVersion;
  if (specVersion != nullptr) {
    headParts_[0] = specVersion->getMajor();
    headParts_[1] = specVersion->getMinor();
    headParts_[2] = specVersion->getPoint();
  }
}

void RecordWriter::child(const BusinessObject& bo) {
  // A child record is one token of its parent's record: in the delimited
  // encoding its text is followed by one more delimiter; in the
  // length-prefixed encoding it is appended raw. The reported capacity grows
  // once for the whole text, as appending it in one piece would.
  const std::size_t start = out_.textSize();
  ++depth_;
  record(bo);
  --depth_;
  const std::size_t size = out_.textSize() - start;
  if (encoding_ == codec::Encoding::kLengthPrefixed) {
    if (depth_ == 0) out_.growReportedCapacity(start + size, size + 1);
    return;
  }
  if (depth_ == 0) {
    out_.growReportedCapacity(start + size + delimiter_.size(), size + delimiter_.size());
  }
  std::memcpy(out_.reserveText(delimiter_.size()), delimiter_.data(), delimiter_.size());
  out_.commitText(delimiter_.size());
}

void RecordWriter::entries(const BusObjSpec& spec, void* const* slots, bool withArrayFlags) {
  const int count = spec.getAttributeCount();
  const AttrSpec* attrs = spec.getAttributes();
  for (int i = 0; i < count; ++i) {
    const AttrSpec* attr = attrs + i;
    void* value = slots[i];
    if (!attr->isObjectType()) {
      if (value == nullptr) {
        token(kIgnoreToken, sizeof(kIgnoreToken) - 1);
      } else {
        const char* text = static_cast<const char*>(value);
        if (text[0] == '\0') {
          token(kBlankToken, sizeof(kBlankToken) - 1);
        } else {
          valueToken(text, std::strlen(text));
        }
      }
      continue;
    }
    if (value == nullptr) {
      token("0", 1);
      continue;
    }
    // A child slot is blank only by identity: its content is an object.
    if (value == BusinessObject::getBlankValue()) {
      token(kBlankToken, sizeof(kBlankToken) - 1);
      continue;
    }
    if (attr->isMultipleCard()) {
      const auto* array = static_cast<const BusObjArray*>(value);
      const int n = writableElements(*array);
      number(n);
      if (n == 0) continue;
      if (withArrayFlags) {
        if (array->isDelta()) {
          token(kTrueToken, sizeof(kTrueToken) - 1);
        } else {
          token(kFalseToken, sizeof(kFalseToken) - 1);
        }
      }
      for (int k = 0; k < array->getObjectCount(); ++k) {
        const BusinessObject* element = array->getObject(k);
        if (element != nullptr && element->getSpec() != nullptr) child(*element);
      }
      continue;
    }
    const auto* single = static_cast<const BusinessObject*>(value);
    if (single->getSpec() == nullptr) {
      token("0", 1);
      continue;
    }
    token("1", 1);
    child(*single);
  }
}

const char* versionText(const Version* version) {
  if (version != nullptr) return version->toString();
  return Version().toString();
}

}  // namespace hbconnector::detail

using hbconnector::detail::BusObjAccess;

BusinessObject::BusinessObject(StringMessage& message) {
  namespace d = hbconnector::detail;
  d::RecordDepth depth;
  if (depth.tooDeep()) return;
  d::RecordTokens tokens(message, d::agentReporter());
  d::readRecord(tokens, *this, depth.level());
}

void BusObjAccess::writeRecord(const BusinessObject& bo, StringMessage& out, bool lengthPrefixed) {
  if (bo.getSpec() != nullptr) hbconnector::detail::RecordWriter(out, lengthPrefixed).record(bo);
}

StringMessage* BusinessObject::toStringMessage() const {
  auto* out = new StringMessage();
  if (spec_ != nullptr) hbconnector::detail::RecordWriter(*out, false).record(*this);
  return out;
}

StringMessageI18N* BusinessObject::toStringMessageI18N() const {
  auto* out = new StringMessageI18N();
  if (spec_ != nullptr) hbconnector::detail::RecordWriter(*out, true).record(*this);
  return out;
}
