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

#include "hbconnector/business_object.hpp"
#include "hbconnector/busobj_spec.hpp"
#include "hbconnector/string_message.hpp"

namespace hbconnector::detail {

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

// Stores a simple value (a text token or the blank marker) into slot index of
// the value set being read; the setter reports refusals itself.
using SimpleValueSetter = void (*)(BusinessObject& owner, int index, char* value, int type);

// Reads one token per attribute of spec (the entries of a business object or
// transaction record) into slots, a fresh array of spec's attribute count
// whose slots are all unset. Child records are read with the
// BusinessObject(StringMessage&) constructor and become children of owner.
// withArrayFlags: whether a cardinality-"n" entry carries the array's delta
// flag token. Returns false when the record is malformed (a missing token, an
// impossible count, a child record that could not be read); what was stored
// so far stays in slots for the caller to release.
bool readAttributeEntries(StringMessage& message, const BusObjSpec& spec, void** slots,
                          BusinessObject& owner, bool withArrayFlags, SimpleValueSetter setSimple);

// Appends one entry per attribute of spec for the values in slots. Child
// records are written in the encoding of out (lengthPrefixed: out is a
// StringMessageI18N and child texts are appended raw; otherwise each child
// text is appended as one token). withArrayFlags: whether a non-empty array
// is followed by its delta flag token.
void appendAttributeEntries(StringMessage& out, const BusObjSpec& spec, void* const* slots,
                            bool withArrayFlags, bool lengthPrefixed);

// Appends the complete record of child to out in out's encoding.
void appendChildRecord(StringMessage& out, const BusinessObject& child, bool lengthPrefixed);

// The "%d.%d.%d" text of version (of the default version when null), valid
// until the calling thread's next version text.
const char* versionText(const Version* version);

// Parses a decimal count token ("no digits give 0", clamped, never undefined).
int countValue(const char* token);

}  // namespace hbconnector::detail

#endif  // HBCONNECTOR_SERIAL_BUSOBJ_RECORD_HPP_
