// Token messages: every record exchanged with the agent (business objects,
// specifications, status records, combined messages) is written and read as a
// sequence of text tokens through one of these two classes.
//
// StringMessage: the delimited encoding. Each token is written followed by the
// delimiter (default: the one character of code 3); an empty token is written
// as "null". Reading splits at delimiter characters; runs of delimiters count
// as one separator and leading delimiters are skipped, so no token read is
// ever empty.
//
// StringMessageI18N: the length-prefixed encoding. Each token is written as its
// byte length in lowercase hexadecimal, "#", then the bytes ("5#Smith",
// "1a#..." for 26 bytes); the empty token is written "4#null". There is no
// separator and no terminator. Tokens may contain any byte but zero.
//
// Ownership: callers own the messages they create. A token returned by
// nextToken() belongs to the message and stays valid until the message is
// reset or destroyed; callers copy what they keep.
//
// Record readers call only the virtual operations, so every reader works on
// both classes. A message belongs to one thread at a time; each message keeps
// its own reading position.
//
// Example:
//   StringMessageI18N out;
//   out.append("Smith");
//   out.append("");                 // text is now "5#Smith4#null"
//   StringMessageI18N in(out.getText());
//   for (char* t = in.nextToken(); t != nullptr; t = in.nextToken()) { ... }
#ifndef HBCONNECTOR_STRING_MESSAGE_HPP_
#define HBCONNECTOR_STRING_MESSAGE_HPP_

#include <climits>
#include <cstddef>
#include <string_view>

#include "hbconnector/export.hpp"

// The delimiters of the delimited encoding: business object and specification
// records use code 3; status records and the combined message use code 4.
inline constexpr char BUSOBJ_DELIMITER[] = "\x03";
inline constexpr char STATUS_DELIMITER[] = "\x04";

class HB_EXPORT StringMessage {
 public:
  // Empty text, capacity = the default buffer size, delimiter code 3.
  StringMessage();
  // Empty text with the given capacity (at least 1: room for the zero).
  explicit StringMessage(int size);
  // A copy of text (null is taken as empty), ready to be read.
  explicit StringMessage(const char* text);
  // As above, then setDelimiter(delimiter). The delimiter text is not copied
  // and must outlive the message (pass one of the constants above).
  StringMessage(const char* text, const char* delimiter);
  // For the library's record readers: a message over the `length` bytes at
  // text, ready to be read in place, that neither copies nor releases them.
  // text[length] must be zero; the bytes must stay unchanged and outlive the
  // message. The first append moves the text into a buffer of its own.
  struct Borrowed {};
  StringMessage(Borrowed, char* text, std::size_t length);
  StringMessage(const StringMessage&) = delete;
  StringMessage& operator=(const StringMessage&) = delete;
  virtual ~StringMessage();

  // Appends one token: the text (null or empty is written "null") followed by
  // the delimiter. Growth: when capacity <= length + 1 + n, capacity becomes
  // capacity + n + 1 + default buffer size.
  virtual void append(const char* text);
  // 1 appends "true", 0 appends "false", any other value appends nothing.
  virtual void append(int flag);
  // Restarts reading at the first token over a fresh copy of the current text.
  virtual void resetTokenizer();
  // The next token, or null at the end of the text.
  virtual char* nextToken();
  // Whether nextToken would return a token now. Before the first read this
  // looks at the whole text (the text as it is now when no reading copy has
  // been made yet).
  virtual bool hasMoreTokens();
  // Sets the delimiter characters (every character counts; not null) and
  // resets reading.
  virtual void setDelimiter(const char* delimiter);
  // The capacity of the text buffer in bytes (INT_MAX if larger).
  virtual int getSize();

  // The text, zero-terminated; the message keeps ownership.
  const char* getText() const { return text_; }
  // Bytes of text, without the terminating zero (INT_MAX if larger).
  int getLength() const { return length_ > INT_MAX ? INT_MAX : static_cast<int>(length_); }
  const char* getDelimiter() const { return delimiter_; }

  // The process-wide default buffer size (initially 1024): the capacity of a
  // message created without text and the fixed part of every growth step.
  // Values below 1 are taken as 1. Safe to call from any thread; change it
  // only while no message is being built so that growth stays predictable.
  static int getDefaultBufferSize();
  static void setDefaultBufferSize(int size);

  // In-place access for the library's record readers and writers, which take
  // tokens from the text and write tokens into it without a call per token.
  // Connector code has no need of these; the virtual operations above are
  // the interface.
  //
  // The text that reading has not consumed: from where the next read starts
  // (reading is started first, as nextToken would) to the end of what reading
  // sees. consumeText marks its first `bytes` as read.
  std::string_view unreadText();
  void consumeText(std::size_t bytes) { readPos_ += bytes; }
  // Room for `bytes` more bytes and the terminating zero after the text;
  // returns where they go. commitText then adds `bytes` (at most as many as
  // reserved) written there to the text. The capacity getSize reports is not
  // touched: growReportedCapacity applies its growth rule (when it is not
  // larger than `end`, it grows by `growth` + default buffer size).
  char* reserveText(std::size_t bytes) {
    if (length_ + bytes + 1 > allocated_) reserveBytes(bytes);
    return text_ + length_;
  }
  void commitText(std::size_t bytes) {
    length_ += bytes;
    text_[length_] = '\0';
  }
  void growReportedCapacity(std::size_t end, std::size_t growth) { applyGrowthRule(end, growth); }
  // Bytes of text, without the terminating zero, not clamped.
  std::size_t textSize() const { return length_; }
  // Empties a message that is only written, keeping its buffer, as a new
  // message would start (capacity the default buffer size, reading reset).
  void clearText();

 protected:
  struct TextCopy {};
  // Capacity length + 1 holding a copy of `length` bytes of data; no reading
  // copy is made.
  StringMessage(TextCopy, const char* data, std::size_t length);

  // Appends the bytes of `first` and then of `second` (either may alias the
  // current text). When the capacity is not larger than length + both
  // lengths, it first grows by `growth` + default buffer size; callers pass a
  // growth of at least both lengths, so the zero always fits.
  void appendPieces(const char* first, std::size_t firstLength, const char* second,
                    std::size_t secondLength, std::size_t growth);
  // Appends one token (the empty token as "null") in the delimited or the
  // length-prefixed encoding, with the growth rule of append; the token may
  // alias the current text.
  void appendToken(std::string_view token, bool lengthPrefixed);
  // Makes room for a text of `end` bytes and its zero. Returns the old
  // buffer when it was replaced (the caller deletes it once nothing points
  // into it), else null.
  char* growFor(std::size_t end);
  // Makes room for `needed` more bytes and the terminating zero in the
  // buffer, doubling it when it must grow, so that a long run of appends
  // copies the text a logarithmic number of times.
  void reserveBytes(std::size_t needed);

  // The growth rule of the capacity reported by getSize: when it is not
  // larger than `end`, it grows by `growth` + default buffer size.
  void applyGrowthRule(std::size_t end, std::size_t growth);

  // Makes the reading copy of the first readLength_ bytes of the text.
  void makeReadCopy();

  char* text_ = nullptr;
  char* readCopy_ = nullptr;
  bool restartPending_ = true;
  // The capacity that getSize reports and the growth rule advances.
  std::size_t capacity_ = 0;
  std::size_t length_ = 0;
  const char* delimiter_ = BUSOBJ_DELIMITER;
  // Position where the next read continues (the same in the text and in the
  // reading copy, which differ only by the zeros ending tokens handed out).
  std::size_t readPos_ = 0;
  // Bytes that reading sees (the text's length at the last reset) and the
  // size of the reading copy's buffer.
  std::size_t readLength_ = 0;
  std::size_t readCapacity_ = 0;
  // Bytes allocated for text_ (at least length_ + 1).
  std::size_t allocated_ = 0;
  // Whether a reset has fixed readLength_, and whether the reading copy holds
  // those bytes. The copy is made by the first nextToken that needs it, so a
  // message read only by the record reader is never copied.
  bool resetDone_ = false;
  bool copyMade_ = false;
  // Whether text_ is the caller's (Borrowed): never released or written.
  bool borrowed_ = false;
};

class HB_EXPORT StringMessageI18N : public StringMessage {
 public:
  StringMessageI18N();
  explicit StringMessageI18N(int size);
  // A copy of text (null is taken as empty).
  explicit StringMessageI18N(const char* text);
  // A copy of the first `length` bytes of data, stopping early at a zero byte
  // (byte arrays from the agent need no terminating zero).
  StringMessageI18N(const char* data, std::size_t length);
  // As StringMessage's: the first `length` bytes at data read in place,
  // stopping early at a zero byte; data[length] must be zero.
  StringMessageI18N(Borrowed, char* data, std::size_t length);
  ~StringMessageI18N() override;

  // Appends the length prefix and the token ("4#null" for null or empty).
  void append(const char* text) override;
  // 1 appends "true", 0 appends "false"; any other value is a programming
  // error (assertion failure).
  void append(int flag) override;
  // Moves reading to the start and releases every token handed out so far.
  void resetTokenizer() override;
  // The next length-prefixed token, or null at the end of the text. Length
  // fields are read as hexadecimal in either letter case; "0#" reads as the
  // empty token.
  //
  // Malformed input never reads past the text: when the length field before
  // the next "#" is empty, holds a character that is not a hexadecimal digit,
  // or announces more bytes than remain after the "#", the message is treated
  // as ending there: nextToken returns null, now and on every later call until
  // resetTokenizer().
  char* nextToken() override;
  // Whether a "#" lies at or after the reading position; false once a
  // malformed length field has ended the message.
  bool hasMoreTokens() override;
  // The length-prefixed encoding has no delimiter: calling this is a
  // programming error (assertion failure).
  void setDelimiter(const char* delimiter) override;
  // The number of tokens in the whole text. A length field that is empty or
  // not hexadecimal, or a token length larger than the rest of the text, is a
  // programming error here (assertion failure); use nextToken to read
  // untrusted text.
  int getSize() override;

  // Appends already encoded text without a prefix (nesting a record); null or
  // empty text appends nothing. The (data, length) form stops early at a zero
  // byte, like the (data, length) constructor.
  void appendRaw(const char* text);
  void appendRaw(const char* data, std::size_t length);

  // Writes the length prefix of a token of `length` bytes ("1a#" for 26) into
  // out, which must hold kMaxPrefixLength bytes, and returns its length
  // (without a terminating zero). A length of 0 gives "4#", the prefix of "null".
  static constexpr std::size_t kMaxPrefixLength = 2 * sizeof(std::size_t) + 2;
  static std::size_t formatLengthPrefix(std::size_t length, char* out);

  // Reads the next token like nextToken but does not keep it: the caller owns
  // the returned text and deletes it with delete[]. Null at the end.
  char* takeNextToken();

  // In-place reading for the library's record readers, as in the base class:
  // the text from the reading position to its end (empty once a malformed
  // length field has ended the message), and marking bytes of it read.
  std::string_view unreadText();
  void consumeText(std::size_t bytes) { position_ += bytes; }

 private:
  struct TokenList;
  // Finds the next token's bytes without copying; false at the end or on a
  // malformed length field (which also ends the message).
  bool scanNextToken(std::string_view* token);

  std::size_t position_ = 0;
  bool malformed_ = false;
  TokenList* tokens_ = nullptr;
};

#endif  // HBCONNECTOR_STRING_MESSAGE_HPP_
