// Pieces of the business object record shared by the record readers and
// writers (BusinessObject, TransactionBusinessObject, the key form).
//
// Readers never trust the text: every token may be missing, every count may be
// absurd and nesting may be arbitrarily deep. The rules that keep a reader safe:
//   - a missing token anywhere makes the record malformed (the caller then
//     makes its object invalid);
//   - a declared number of child records is compared with the number of tokens
//     the message can still hold before anything is allocated;
//   - nesting is counted per thread (RecordDepth) and a record deeper than
//     MAX_BUSOBJ_DEPTH is malformed, so recursion stays within 100 levels.
#ifndef HBCONNECTOR_SERIAL_BUSOBJ_RECORD_HPP_
#define HBCONNECTOR_SERIAL_BUSOBJ_RECORD_HPP_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "busobj/tree_arena.hpp"
#include "hbconnector/business_object.hpp"
#include "hbconnector/busobj_spec.hpp"
#include "hbconnector/string_message.hpp"

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
};

// The tokens of one record read, for the record readers. For the two message
// classes of the library (exactly StringMessage with a one-character
// delimiter, or exactly StringMessageI18N) the tokens are found in the
// message's text directly: no reading copy, no token list, no per-token
// virtual call. Any other message, such as a connector's subclass, is read
// through its virtual nextToken. Either way the message is left positioned
// after the tokens taken, exactly as if nextToken had taken them, once this
// object goes.
class RecordTokens {
 public:
  explicit RecordTokens(StringMessage& message);
  ~RecordTokens();
  RecordTokens(const RecordTokens&) = delete;
  RecordTokens& operator=(const RecordTokens&) = delete;

  // The next token; false at the end of the text (and, length-prefixed, at a
  // malformed length field, which ends the message).
  __attribute__((always_inline)) bool next(TokenView* token) {
    if (mode_ == Mode::kDelimited) return nextDelimited(token);
    if (mode_ == Mode::kLengthPrefixed) return nextPrefixed(token);
    return nextOther(token);
  }
  const StringMessage& message() const { return message_; }

  // The spec registered under name, remembering the last name looked up in
  // this read so that the elements of an array cost one lookup.
  BusObjSpec* findSpec(const TokenView& name);

  // A new invalid object for a child record. Children read from the
  // library's own message classes live in one TreeArena per read, sized from
  // the text that remains; others are heap objects.
  BusinessObject* newChild();

  // Lends a message text it does not own while this object lives, so that a
  // record held elsewhere (the agent's characters) is read without copying it
  // first. `text` has `length` bytes followed by a zero byte and must stay
  // unchanged while lent. The message must be exactly a StringMessage; it is
  // only read meanwhile (appending would free the lent text). When this
  // object goes, the message gets back its own text, empty, reading reset.
  class LentText {
   public:
    LentText(StringMessage& message, const char* text, std::size_t length);
    ~LentText();
    LentText(const LentText&) = delete;
    LentText& operator=(const LentText&) = delete;

   private:
    StringMessage& message_;
    char* own_;
    std::size_t ownAllocated_;
    std::size_t ownCapacity_;
  };

 private:
  enum class Mode { kDelimited, kLengthPrefixed, kVirtual };

  // The value of a hexadecimal digit in either case, -1 for any other byte.
  struct HexTable {
    signed char values[256];
  };
  static constexpr HexTable kHexValue = [] {
    HexTable table{};
    for (int c = 0; c < 256; ++c) {
      table.values[c] = c >= '0' && c <= '9'   ? static_cast<signed char>(c - '0')
                        : c >= 'a' && c <= 'f' ? static_cast<signed char>(c - 'a' + 10)
                        : c >= 'A' && c <= 'F' ? static_cast<signed char>(c - 'A' + 10)
                                               : static_cast<signed char>(-1);
    }
    return table;
  }();

  __attribute__((always_inline)) bool nextDelimited(TokenView* token) {
    // Delimiters in a row count as one: skip any before the token.
    std::size_t start = position_;
    while (start < end_ && text_[start] == delimiter_) ++start;
    if (start >= end_) {
      position_ = end_;
      return false;
    }
    // The token ends at the next delimiter: usually in the block at hand.
    const std::size_t from = start + 1;
    std::size_t stop;
    const std::uint64_t bits = (from & ~std::size_t{63}) == blockStart_
                                   ? blockBits_ & (~std::uint64_t{0} << (from & 63))
                                   : 0;
    if (bits != 0) {
      stop = blockStart_ + static_cast<std::size_t>(__builtin_ctzll(bits));
    } else {
      stop = findDelimiter(from);
    }
    token->data = text_ + start;
    token->size = stop - start;
    position_ = stop == end_ ? end_ : stop + 1;
    return true;
  }

  __attribute__((always_inline)) bool nextPrefixed(TokenView* token) {
    // One or two digits and "#", decided without a branch: nearly every
    // token. Everything else goes the long way.
    const std::size_t field = position_;
    if (end_ - field >= 3 && field < end_ &&
        !static_cast<const StringMessageI18N&>(message_).malformed_) {
      const auto* bytes = reinterpret_cast<const unsigned char*>(text_ + field);
      // The table's values are signed on purpose: -1 marks a byte that is no digit.
      // NOLINTBEGIN(bugprone-signed-char-misuse)
      const int d0 = kHexValue.values[bytes[0]];
      const int d1 = kHexValue.values[bytes[1]];
      // NOLINTEND(bugprone-signed-char-misuse)
      const bool one = bytes[1] == '#';
      const bool two = !one && d1 >= 0 && bytes[2] == '#';
      if (d0 >= 0 && (one || two)) {
        const std::size_t separator = field + (one ? 1 : 2);
        const auto n = static_cast<std::size_t>(one ? d0 : d0 * 16 + d1);
        if (n <= end_ - separator - 1) {
          token->data = text_ + separator + 1;
          token->size = n;
          position_ = separator + 1 + n;
          return true;
        }
      }
    }
    return nextOther(token);
  }

  // The position of the first delimiter at or after `from`, or end_.
  std::size_t findDelimiter(std::size_t from);
  // next() for the modes other than the delimited one.
  bool nextOther(TokenView* token);
  // A length-prefixed token read by the message itself, for every case the
  // quick path leaves to it (malformed or unusual length fields, the end).
  bool nextPrefixedByMessage(TokenView* token);

  StringMessage& message_;
  Mode mode_;
  const char* text_ = nullptr;
  std::size_t position_ = 0;
  std::size_t end_ = 0;
  char delimiter_ = 0;
  // The delimiters of one 64-byte block of the text as a bit mask, so that
  // each block is examined once however many tokens it holds.
  std::size_t blockStart_ = SIZE_MAX;
  std::uint64_t blockBits_ = 0;
  std::string lookupName_;
  std::string cachedName_;
  BusObjSpec* cachedSpec_ = nullptr;
  TreeArena* arena_ = nullptr;
};

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
    if (size == 0) {
      data = "null";
      size = 4;
    }
    // Room for the longest prefix or the delimiter, the token and the zero.
    const std::size_t room = size + StringMessage::kMaxTokenOverhead + delimiterLength_;
    if (out_.length_ + room + 1 > out_.allocated_) out_.reserveBytes(room);
    char* at = out_.text_ + out_.length_;
    if (lengthPrefixed_) {
      std::size_t prefixLength;
      if (size < 16) {
        at[0] = kHexDigits[size];
        at[1] = '#';
        prefixLength = 2;
      } else if (size < 256) {
        at[0] = kHexDigits[size >> 4];
        at[1] = kHexDigits[size & 15];
        at[2] = '#';
        prefixLength = 3;
      } else {
        prefixLength = StringMessageI18N::formatLengthPrefix(size, at);
      }
      if (depth_ == 0) {
        out_.applyGrowthRule(out_.length_ + prefixLength + size, prefixLength + size + 1);
      }
      copyBytes(at + prefixLength, data, size);
      out_.length_ += prefixLength + size;
    } else {
      if (depth_ == 0) {
        out_.applyGrowthRule(out_.length_ + size + delimiterLength_, size + delimiterLength_);
      }
      copyBytes(at, data, size);
      copyBytes(at + size, delimiter_, delimiterLength_);
      out_.length_ += size + delimiterLength_;
    }
    out_.text_[out_.length_] = '\0';
  }
  // A non-empty value token. Most are values of nested records, which have
  // no capacity bookkeeping: a short one is a bounds check, its delimiter or
  // a one- or two-digit length prefix, and a short copy, done here without a
  // call.
  __attribute__((always_inline)) void valueToken(const char* data, std::size_t size) {
    // Room for a prefix of up to three bytes (or the delimiter) and the zero.
    if (depth_ == 0 || size >= 256 || out_.length_ + size + 4 > out_.allocated_) {
      rawToken(data, size);
      return;
    }
    char* at = out_.text_ + out_.length_;
    if (lengthPrefixed_) {
      if (size < 16) {
        at[0] = kHexDigits[size];
        at[1] = '#';
        at += 2;
      } else {
        at[0] = kHexDigits[size >> 4];
        at[1] = kHexDigits[size & 15];
        at[2] = '#';
        at += 3;
      }
      copyBytes(at, data, size);
      at[size] = '\0';
    } else {
      if (delimiterLength_ != 1) {
        rawToken(data, size);
        return;
      }
      copyBytes(at, data, size);
      at[size] = delimiter_[0];
      at[size + 1] = '\0';
      at += 1;
    }
    out_.length_ = static_cast<std::size_t>(at + size - out_.text_);
  }
  static constexpr char kHexDigits[] = "0123456789abcdef";
  void child(const BusinessObject& bo);
  // The tag, type name and version tokens that open a record of spec.
  void recordHead(const BusObjSpec& spec);

  StringMessage& out_;
  bool lengthPrefixed_;
  int depth_ = 0;  // 0 while writing the outermost record's own tokens
  const char* delimiter_;
  std::size_t delimiterLength_;
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
int countValue(const TokenView& token);

}  // namespace hbconnector::detail

#endif  // HBCONNECTOR_SERIAL_BUSOBJ_RECORD_HPP_
