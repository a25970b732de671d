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

#include <charconv>
#include <cstring>
#include <memory>
#include <string>
#include <typeinfo>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "busobj/busobj_access.hpp"
#include "busobj/diagnostics.hpp"
#include "busobj/tree_arena.hpp"
#include "hbconnector/spec_registry.hpp"
#include "hbconnector/version.hpp"
#include "serial/decimal.hpp"

namespace hbconnector::detail {

namespace {

thread_local int tRecordLevel = 0;

// One bit per byte of the 64 bytes at p that equals c.
std::uint64_t byteMask64(const char* p, char c) {
#if defined(__SSE2__)
  const __m128i needle = _mm_set1_epi8(c);
  const auto* blocks = reinterpret_cast<const __m128i*>(p);
  const auto b0 = static_cast<std::uint32_t>(
      _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(blocks), needle)));
  const auto b1 = static_cast<std::uint32_t>(
      _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(blocks + 1), needle)));
  const auto b2 = static_cast<std::uint32_t>(
      _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(blocks + 2), needle)));
  const auto b3 = static_cast<std::uint32_t>(
      _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(blocks + 3), needle)));
  return static_cast<std::uint64_t>(b0) | static_cast<std::uint64_t>(b1) << 16 |
         static_cast<std::uint64_t>(b2) << 32 | static_cast<std::uint64_t>(b3) << 48;
#else
  std::uint64_t mask = 0;
  for (int i = 0; i < 64; ++i) mask |= static_cast<std::uint64_t>(p[i] == c) << i;
  return mask;
#endif
}

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

bool readRecordBody(RecordTokens& tokens, BusinessObject& bo, int level) {
  TokenView typeName, version, token;
  if (!tokens.next(&typeName) || !tokens.next(&version) || !tokens.next(&token)) return false;
  // Older records have no delta flag: the verb follows the version directly,
  // and their arrays carry no flag either.
  const bool hasFlag = token.is(kTrueToken) || token.is(kFalseToken);
  if (hasFlag) {
    BusObjAccess::setDelta(bo, token.is(kTrueToken));
    if (!tokens.next(&token)) return false;
  }
  TreeArena* arena = BusObjAccess::inArena(bo) ? TreeArena::of(&bo) : nullptr;
  if (arena != nullptr && bo.getVerb() == nullptr) {
    BusObjAccess::adoptVerb(bo, arena->copyText(token.data, token.size));
  } else {
    BusObjAccess::setVerbUnchecked(bo, token.data, token.size);
  }
  TokenView locale;
  if (!tokens.next(&locale)) return false;
  if (locale.size != 0) {
    if (arena != nullptr && bo.getLocale() == nullptr) {
      BusObjAccess::adoptLocale(bo, arena->copyText(locale.data, locale.size));
    } else {
      BusObjAccess::setLocaleUnchecked(bo, locale.data, locale.size);
    }
  }

  BusObjSpec* spec = tokens.findSpec(typeName);
  if (spec == nullptr) {
    reportMsg(kMsgUnknownType, 6, version.text().c_str(), typeName.text().c_str());
    return false;
  }
  TokenView count;
  if (!tokens.next(&count)) return false;
  if (spec->getAttributeCount() < 0 || countValue(count) != spec->getAttributeCount()) {
    reportMsg(kMsgUnknownType, 6, version.text().c_str(), typeName.text().c_str());
    return false;
  }
  BusObjAccess::attachSpec(bo, spec);
  return readAttributeEntries(tokens, *spec, BusObjAccess::values(bo), bo, hasFlag, level);
}

}  // namespace

RecordDepth::RecordDepth() : level_(++tRecordLevel) {}

RecordDepth::~RecordDepth() { --tRecordLevel; }

long long maxTokensIn(const StringMessage& message) {
  return static_cast<long long>(message.getLength()) / 2 + 1;
}

int countValue(const char* token) { return decimalToInt(token); }

int countValue(const TokenView& token) { return decimalToInt(token.data, token.size); }

// ---- RecordTokens -------------------------------------------------------------

RecordTokens::RecordTokens(StringMessage& message) : message_(message), mode_(Mode::kVirtual) {
  const std::type_info& type = typeid(message);
  if (type == typeid(StringMessage) && message.delimiter_[0] != '\0' &&
      message.delimiter_[1] == '\0') {
    mode_ = Mode::kDelimited;
    // What nextToken does first when reading (re)starts.
    if (message.restartPending_) {
      if (!message.resetDone_) message.resetTokenizer();
      message.restartPending_ = false;
      message.readPos_ = 0;
    }
    text_ = message.text_;
    position_ = message.readPos_;
    end_ = message.readLength_;
    delimiter_ = message.delimiter_[0];
  } else if (type == typeid(StringMessageI18N)) {
    mode_ = Mode::kLengthPrefixed;
    auto& prefixed = static_cast<StringMessageI18N&>(message);
    // What nextToken does first when reading restarts.
    if (prefixed.restartPending_) {
      prefixed.position_ = 0;
      prefixed.restartPending_ = false;
    }
    text_ = prefixed.text_;
    position_ = prefixed.position_;
    end_ = prefixed.length_;
  }
}

RecordTokens::~RecordTokens() {
  if (mode_ == Mode::kDelimited) message_.readPos_ = position_;
  if (mode_ == Mode::kLengthPrefixed)
    static_cast<StringMessageI18N&>(message_).position_ = position_;
  // The objects read keep the arena alive; the reader's own hold ends here.
  if (arena_ != nullptr) arena_->release();
}

RecordTokens::LentText::LentText(StringMessage& message, const char* text, std::size_t length)
    : message_(message),
      own_(message.text_),
      ownAllocated_(message.allocated_),
      ownCapacity_(message.capacity_) {
  // Nothing writes through text_ while it is lent: reading takes tokens from
  // it directly or from the message's own reading copy.
  message.text_ = const_cast<char*>(text);
  message.length_ = length;
  message.allocated_ = length + 1;
  message.capacity_ = length + 1;
  message.resetTokenizer();
}

RecordTokens::LentText::~LentText() {
  message_.text_ = own_;
  message_.text_[0] = '\0';
  message_.length_ = 0;
  message_.allocated_ = ownAllocated_;
  message_.capacity_ = ownCapacity_;
  message_.resetTokenizer();
}

bool RecordTokens::nextPrefixedByMessage(TokenView* token) {
  auto& prefixed = static_cast<StringMessageI18N&>(message_);
  prefixed.position_ = position_;
  const bool found = prefixed.scanNextToken(&token->data, &token->size);
  position_ = prefixed.position_;
  return found;
}

BusinessObject* RecordTokens::newChild() {
  if (mode_ == Mode::kVirtual) return BusObjAccess::makeInvalid();
  if (arena_ == nullptr) {
    // Every token of n bytes takes at least n + 1 bytes of text (its
    // delimiter, or a length prefix of two bytes or more), and the last one
    // at most one byte less: the rest of the text bounds every copy.
    std::size_t remaining;
    if (mode_ == Mode::kDelimited) {
      remaining = end_ - position_;
    } else {
      remaining = end_ > position_ ? end_ - position_ : 0;
    }
    arena_ = TreeArena::create(remaining + 1);
  }
  return arena_->newObject();
}

bool RecordTokens::nextOther(TokenView* token) {
  switch (mode_) {
    case Mode::kDelimited:
      return next(token);
    case Mode::kLengthPrefixed: {
      // Fields of up to eight hexadecimal digits, then "#", then no more
      // bytes than remain (next() takes those of one or two digits itself).
      // Anything else is read by the message.
      if (static_cast<StringMessageI18N&>(message_).malformed_) return false;
      const std::size_t field = position_;
      std::size_t i = field;
      std::size_t n = 0;
      while (i < end_ && i - field < 8) {
        const char c = text_[i];
        if (c == '#') break;
        int digit;
        if (c >= '0' && c <= '9') {
          digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
          digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
          digit = c - 'A' + 10;
        } else {
          return nextPrefixedByMessage(token);
        }
        n = n * 16 + static_cast<std::size_t>(digit);
        ++i;
      }
      if (i == field || i >= end_ || text_[i] != '#' || n > end_ - i - 1) {
        return nextPrefixedByMessage(token);
      }
      token->data = text_ + i + 1;
      token->size = n;
      position_ = i + 1 + n;
      return true;
    }
    case Mode::kVirtual: {
      const char* text = message_.nextToken();
      if (text == nullptr) return false;
      token->data = text;
      token->size = std::strlen(text);
      return true;
    }
  }
  return false;
}

std::size_t RecordTokens::findDelimiter(std::size_t from) {
  while (from < end_) {
    const std::size_t block = from & ~std::size_t{63};
    if (block != blockStart_) {
      if (end_ - block >= 64) {
        blockBits_ = byteMask64(text_ + block, delimiter_);
      } else {
        // The last, partial block: no byte past the text is read.
        blockBits_ = 0;
        for (std::size_t i = 0; block + i < end_; ++i) {
          blockBits_ |= static_cast<std::uint64_t>(text_[block + i] == delimiter_) << i;
        }
      }
      blockStart_ = block;
    }
    const std::uint64_t bits = blockBits_ & (~std::uint64_t{0} << (from - block));
    if (bits != 0) return block + static_cast<std::size_t>(__builtin_ctzll(bits));
    from = block + 64;
  }
  return end_;
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
      lengthPrefixed_(lengthPrefixed),
      delimiter_(out.delimiter_),
      delimiterLength_(std::strlen(out.delimiter_)) {}

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
    std::snprintf(versionText_, sizeof versionText_, "%d.%d.%d", parts[0], parts[1], parts[2]);
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
      (specVersion == nullptr || (specVersion->getMajor() == headParts_[0] &&
                                  specVersion->getMinor() == headParts_[1] &&
                                  specVersion->getPoint() == headParts_[2]))) {
    out_.appendBytes(head_.data(), head_.size());
    return;
  }
  const std::size_t start = out_.length_;
  token(kBusObjTag, sizeof(kBusObjTag) - 1);
  token(spec.getName());
  token(version(specVersion));
  if (depth_ == 0) return;
  head_.assign(out_.text_ + start, out_.length_ - start);
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
  const std::size_t start = out_.length_;
  ++depth_;
  record(bo);
  --depth_;
  const std::size_t size = out_.length_ - start;
  if (lengthPrefixed_) {
    if (depth_ == 0) out_.applyGrowthRule(start + size, size + 1);
    return;
  }
  if (depth_ == 0) {
    out_.applyGrowthRule(start + size + delimiterLength_, size + delimiterLength_);
  }
  out_.appendBytes(delimiter_, delimiterLength_);
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
  d::RecordTokens tokens(message);
  d::TokenView tag;
  if (!tokens.next(&tag) || !tag.is(d::kBusObjTag)) return;
  if (!d::readRecordBody(tokens, *this, depth.level())) {
    // Nothing of a record that cannot be read completely stays behind.
    BusObjAccess::invalidate(*this);
    BusObjAccess::setVerbUnchecked(*this, nullptr);
    BusObjAccess::setLocaleUnchecked(*this, nullptr);
    delta_ = false;
  }
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
