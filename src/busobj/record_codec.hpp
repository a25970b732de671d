// The business object record over the token codec: the tree builder that
// reads records into objects (with children in the tree arena) and the
// writer of records, shared by BusinessObject, TransactionBusinessObject, the
// key form and the combined message.
//
// Readers never trust the text: every token may be missing, every count may be
// absurd and nesting may be arbitrarily deep. The rules that keep a reader safe:
//   - a missing token anywhere makes the record malformed (the caller then
//     makes its object invalid);
//   - a declared number of child records is compared with the number of tokens
//     the message can still hold before anything is allocated;
//   - nesting is counted per thread (RecordDepth) and a record deeper than
//     MAX_BUSOBJ_DEPTH is malformed, so recursion stays within 100 levels.
#ifndef HBCONNECTOR_BUSOBJ_RECORD_CODEC_HPP_
#define HBCONNECTOR_BUSOBJ_RECORD_CODEC_HPP_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "busobj/tree_arena.hpp"
#include "hbconnector/business_object.hpp"
#include "hbconnector/busobj_spec.hpp"
#include "hbconnector/string_message.hpp"
#include "serial/codec.hpp"

namespace hbconnector::detail {

class TreeArena;

inline constexpr char kBusObjTag[] = "BusinessObject";
inline constexpr char kTransactionTag[] = "TransactionBusinessObject";
inline constexpr char kIgnoreToken[] = "VqIgnore";
inline constexpr char kBlankToken[] = "VqBlank";
inline constexpr char kNullToken[] = "null";
inline constexpr char kTrueToken[] = "true";
inline constexpr char kFalseToken[] = "false";

// The fewest tokens a business object record can have: tag, type name,
// version, verb, locale and count (the older form without the delta flag and
// a type without attributes).
inline constexpr long long kMinRecordTokens = 6;

// The most text space the root object of a read gets in its slot array's
// block: room for the head of any ordinary record (one customer, one order
// head); longer values of the root are heap copies.
inline constexpr std::size_t kRootTextBytes = 4096;

// The nesting level of the record being read on this thread: 1 while a root
// record is read, 2 for its children, and so on. Construct one guard per
// record; tooDeep() tells whether this record lies beyond MAX_BUSOBJ_DEPTH.
class RecordDepth {
 public:
  RecordDepth();
  ~RecordDepth();
  RecordDepth(const RecordDepth&) = delete;
  RecordDepth& operator=(const RecordDepth&) = delete;
  bool tooDeep() const { return level_ > MAX_BUSOBJ_DEPTH; }
  int level() const { return level_; }

 private:
  int level_;
};

// An upper bound of the tokens a message can yield in total: every token takes
// at least two bytes of text in either encoding (one byte and a delimiter, or
// "0#"), the last delimited token possibly one.
long long maxTokensIn(const StringMessage& message);

// One token read by RecordTokens: its bytes, not zero-terminated.
struct TokenView {
  const char* data = nullptr;
  std::size_t size = 0;

  template <std::size_t N>
  bool is(const char (&literal)[N]) const {
    return size == N - 1 && std::memcmp(data, literal, N - 1) == 0;
  }
  std::string text() const { return std::string(data, size); }
  std::string_view view() const { return std::string_view(data, size); }
};

// Reports through the agent's log (message id, type, parameters): the
// reporter the library's own readers use unless handed another.
codec::Reporter& agentReporter();

// The tokens of one record read, for the record readers. For the two message
// classes of the library (exactly StringMessage with a one-character
// delimiter, or exactly StringMessageI18N) the tokens are taken from the
// message's text in place by the codec's tokenizer: no reading copy, no token
// list, no per-token virtual call (the typeid test that decides this keeps
// rows read/ours_delimited and read/ours_prefixed free of those). Any other
// message, such as a connector's subclass, is read through its virtual
// nextToken. Either way the message is left positioned after the tokens
// taken, exactly as if nextToken had taken them, once this object goes.
class RecordTokens {
 public:
  RecordTokens(StringMessage& message, codec::Reporter& reporter);
  ~RecordTokens();
  RecordTokens(const RecordTokens&) = delete;
  RecordTokens& operator=(const RecordTokens&) = delete;

  // The next token; false at the end of the text (and, length-prefixed, at a
  // malformed length field, which ends the message).
  HB_ALWAYS_INLINE bool next(TokenView* token) {
    std::string_view view;
    if (mode_ == Mode::kDelimited) {
      if (!tokenizer_.nextSingleDelimited(&view)) return false;
    } else if (mode_ == Mode::kLengthPrefixed) {
      if (!tokenizer_.nextLengthPrefixed(&view)) return false;
    } else {
      return nextVirtual(token);
    }
    token->data = view.data();
    token->size = view.size();
    return true;
  }
  const StringMessage& message() const { return message_; }
  // Whether the tokens are views of the message's text, valid while it lives
  // and is not changed (the library's own message classes).
  bool inPlace() const { return mode_ != Mode::kVirtual; }
  // The bytes of text not yet taken (in place only; 0 otherwise).
  std::size_t remaining() const { return inPlace() ? tokenizer_.remaining() : 0; }
  codec::Reporter& reporter() { return reporter_; }

  // The spec registered under name, remembering the last name looked up in
  // this read so that the elements of an array cost one lookup.
  BusObjSpec* findSpec(const TokenView& name);

  // A new invalid object for a child record. Children read from the
  // library's own message classes live in one TreeArena per read, sized from
  // the text that remains; others are heap objects.
  BusinessObject* newChild();

 private:
  enum class Mode { kDelimited, kLengthPrefixed, kVirtual };

  bool nextVirtual(TokenView* token);

  StringMessage& message_;
  codec::Reporter& reporter_;
  Mode mode_;
  codec::Tokenizer tokenizer_;
  std::string lookupName_;
  std::string cachedName_;
  BusObjSpec* cachedSpec_ = nullptr;
  TreeArena* arena_ = nullptr;
};

// Reads one business object record, tag first, into bo, an object without
// spec, slots, verb or locale, at nesting level `level` (RecordDepth). False
// when the text holds no such record or it cannot be read completely; bo is
// then invalid and holds nothing of it. What the reader cannot read is told
// to the tokens' reporter.
bool readRecord(RecordTokens& tokens, BusinessObject& bo, int level);

// Makes bo invalid after a record that could not be read completely: nothing
// of it stays behind (no spec, no slots, no verb, no locale, after-image).
void discardRecord(BusinessObject& bo);

// Reads one token per attribute of spec (the entries of a business object or
// transaction record) into slots, a fresh array of spec's attribute count
// whose slots are all unset. Child records become children of owner; level is
// the nesting level of the record holding the entries. withArrayFlags: whether
// a cardinality-"n" entry carries the array's delta flag token. Returns false
// when the record is malformed (a missing token, an impossible count, a child
// record that could not be read); what was stored so far stays in slots for
// the caller to release.
bool readAttributeEntries(RecordTokens& tokens, const BusObjSpec& spec, void** slots,
                          BusinessObject& owner, bool withArrayFlags, int level);

// Writes records straight into one message: child records are written in
// place, not through messages of their own. The capacity the message reports
// (getSize) still follows its growth rule as if every token of the outermost
// record, a nested record's text included, had been appended one by one.
class RecordWriter {
 public:
  // out must be exactly a StringMessage (lengthPrefixed false) or a
  // StringMessageI18N (lengthPrefixed true).
  RecordWriter(StringMessage& out, bool lengthPrefixed);

  // One token of the outermost record (null or empty is written "null").
  void token(const char* text);
  void token(const char* data, std::size_t size);
  void number(int value);
  // The complete business object record of bo (it must be valid).
  void record(const BusinessObject& bo);
  // One entry per attribute of spec for the values in slots. withArrayFlags:
  // whether a non-empty array is followed by its delta flag token.
  void entries(const BusObjSpec& spec, void* const* slots, bool withArrayFlags);
  // The "%d.%d.%d" text of version (of the default version when null).
  const char* version(const Version* version);

 private:
  // Appends one token in the message's encoding, applying the reported
  // capacity's growth rule for tokens of the outermost record.
  void rawToken(const char* data, std::size_t size) {
    const std::string_view token = size == 0 ? codec::kNullToken : std::string_view(data, size);
    char* at = out_.reserveText(codec::encodedSize(token.size(), delimiter_.size()));
    const std::size_t written = codec::encodeToken(encoding_, delimiter_, token, at);
    if (depth_ == 0) {
      const bool prefixed = encoding_ == codec::Encoding::kLengthPrefixed;
      out_.growReportedCapacity(out_.textSize() + written, prefixed ? written + 1 : written);
    }
    out_.commitText(written);
  }
  // A non-empty value token. Most are values of nested records, which have
  // no capacity bookkeeping: a short one is a bounds check, its delimiter or
  // a one- or two-digit length prefix, and a short copy, done here without a
  // call (rows write/ours_delimited and write/ours_prefixed, S, M, L).
  HB_ALWAYS_INLINE void valueToken(const char* data, std::size_t size) {
    if (depth_ == 0 || size >= 256 ||
        (encoding_ == codec::Encoding::kDelimited && delimiter_.size() != 1)) {
      rawToken(data, size);
      return;
    }
    // Room for a prefix of up to three bytes (or the delimiter).
    char* at = out_.reserveText(size + 3);
    std::size_t written;
    if (encoding_ == codec::Encoding::kLengthPrefixed) {
      const std::size_t prefix = codec::formatLengthPrefix(size, at);
      copyBytes(at + prefix, data, size);
      written = prefix + size;
    } else {
      copyBytes(at, data, size);
      at[size] = delimiter_[0];
      written = size + 1;
    }
    out_.commitText(written);
  }
  void child(const BusinessObject& bo);
  // The tag, type name and version tokens that open a record of spec.
  void recordHead(const BusObjSpec& spec);

  StringMessage& out_;
  codec::Encoding encoding_;
  int depth_ = 0;  // 0 while writing the outermost record's own tokens
  std::string_view delimiter_;
  const Version* cachedVersion_ = nullptr;
  int cachedParts_[3] = {0, 0, 0};
  char versionText_[48] = {};
  // The encoded head tokens of the last spec written in a nested record,
  // the same for every record of that spec (name and version as they were).
  const BusObjSpec* headSpec_ = nullptr;
  const char* headName_ = nullptr;
  const Version* headVersion_ = nullptr;
  int headParts_[3] = {0, 0, 0};
  std::string head_;
};

// The "%d.%d.%d" text of version (of the default version when null), valid
// until the calling thread's next version text.
const char* versionText(const Version* version);

// Parses a decimal count token ("no digits give 0", clamped, never undefined).
int countValue(const char* token);
int countValueSlow(const TokenView& token);
// Counts are nearly always one or two plain digits (an attribute count, a
// number of children): those are read here without a call (rows
// read/ours_delimited_tree/M and read/ours_prefixed_tree/M).
HB_ALWAYS_INLINE int countValue(const TokenView& token) {
  if (token.size == 1 || token.size == 2) {
    const unsigned first = static_cast<unsigned char>(token.data[0]) - unsigned{'0'};
    if (first < 10) {
      if (token.size == 1) return static_cast<int>(first);
      const unsigned second = static_cast<unsigned char>(token.data[1]) - unsigned{'0'};
      if (second < 10) return static_cast<int>(first * 10 + second);
    }
  }
  return countValueSlow(token);
}

}  // namespace hbconnector::detail

#endif  // HBCONNECTOR_BUSOBJ_RECORD_CODEC_HPP_
