#include "hbconnector/string_message.hpp"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "collections/assert.hpp"

namespace hbconnector::detail {
namespace {

std::atomic<int> g_defaultBufferSize{1024};

std::size_t defaultBufferSize() {
  return static_cast<std::size_t>(g_defaultBufferSize.load(std::memory_order_relaxed));
}

// Sizes come from the lengths of texts in memory, so a sum that wraps can
// only be a caller's mistake; it must not turn into a short buffer.
std::size_t checkedAdd(std::size_t a, std::size_t b) {
  if (a > SIZE_MAX - b) throw std::length_error("string message too long");
  return a + b;
}

int clampToInt(std::size_t value) {
  return value > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(value);
}

// Bytes of data before the first zero byte, at most length.
std::size_t boundedLength(const char* data, std::size_t length) {
  if (data == nullptr) return 0;
  const void* zero = std::memchr(data, '\0', length);
  return zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - data) : length;
}

char* newZeroedBuffer(std::size_t capacity) {
  char* buffer = new char[capacity];
  buffer[0] = '\0';
  return buffer;
}

constexpr char kLengthSeparator = '#';
constexpr char kNullToken[] = "null";
constexpr std::size_t kNullTokenLength = sizeof(kNullToken) - 1;

int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

enum class LengthField { kValid, kInvalid, kTooLong };

// Reads the hexadecimal length field [begin, end). The value is only trusted
// up to `limit` (the bytes that remain after the separator): larger values are
// reported as too long (value SIZE_MAX) without finishing the sum, so nothing
// can overflow.
LengthField parseLengthField(const char* begin, const char* end, std::size_t limit,
                             std::size_t* value) {
  if (begin == end) return LengthField::kInvalid;
  std::size_t sum = 0;
  bool tooLong = false;
  for (const char* p = begin; p != end; ++p) {
    const int digit = hexDigitValue(*p);
    if (digit < 0) return LengthField::kInvalid;
    if (!tooLong) {
      sum = sum * 16 + static_cast<std::size_t>(digit);
      tooLong = sum > limit;
    }
    // Once too long, keep checking the digits: an invalid field wins.
  }
  *value = tooLong ? SIZE_MAX : sum;
  if (tooLong) return LengthField::kTooLong;
  return LengthField::kValid;
}

}  // namespace
}  // namespace hbconnector::detail

using hbconnector::detail::boundedLength;
using hbconnector::detail::checkedAdd;
using hbconnector::detail::clampToInt;
using hbconnector::detail::defaultBufferSize;
using hbconnector::detail::kLengthSeparator;
using hbconnector::detail::kNullToken;
using hbconnector::detail::kNullTokenLength;
using hbconnector::detail::LengthField;
using hbconnector::detail::newZeroedBuffer;
using hbconnector::detail::parseLengthField;

// ---------------------------------------------------------------------------
// StringMessage

StringMessage::StringMessage() {
  capacity_ = defaultBufferSize();
  allocated_ = capacity_;
  text_ = newZeroedBuffer(allocated_);
}

StringMessage::StringMessage(int size) {
  capacity_ = size < 1 ? 1 : static_cast<std::size_t>(size);
  allocated_ = capacity_;
  text_ = newZeroedBuffer(allocated_);
}

StringMessage::StringMessage(TextCopy, const char* data, std::size_t length) {
  capacity_ = checkedAdd(length, 1);
  allocated_ = capacity_;
  text_ = new char[allocated_];
  if (length > 0) std::memcpy(text_, data, length);
  text_[length] = '\0';
  length_ = length;
}

StringMessage::StringMessage(const char* text)
    : StringMessage(TextCopy{}, text, text ? std::strlen(text) : 0) {
  StringMessage::resetTokenizer();
}

StringMessage::StringMessage(const char* text, const char* delimiter)
    : StringMessage(TextCopy{}, text, text ? std::strlen(text) : 0) {
  StringMessage::setDelimiter(delimiter);
}

StringMessage::~StringMessage() {
  delete[] text_;
  delete[] readCopy_;
}

void StringMessage::applyGrowthRule(std::size_t end, std::size_t growth) {
  if (capacity_ <= end) {
    capacity_ = checkedAdd(checkedAdd(capacity_, growth), defaultBufferSize());
  }
}

void StringMessage::reserveBytes(std::size_t needed) {
  const std::size_t required = checkedAdd(checkedAdd(length_, needed), 1);
  if (required <= allocated_) return;
  // At least the reported capacity, and at least double: the reported
  // capacity grows by a fixed step, which would make a long record quadratic.
  std::size_t size = std::max(required, capacity_);
  if (allocated_ <= SIZE_MAX / 2) size = std::max(size, 2 * allocated_);
  char* buffer = new char[size];
  std::memcpy(buffer, text_, length_ + 1);
  delete[] text_;
  text_ = buffer;
  allocated_ = size;
}

void StringMessage::appendBytes(const char* data, std::size_t length) {
  reserveBytes(length);
  std::memcpy(text_ + length_, data, length);
  length_ += length;
  text_[length_] = '\0';
}

void StringMessage::appendPieces(const char* first, std::size_t firstLength, const char* second,
                                 std::size_t secondLength, std::size_t growth) {
  const std::size_t needed = checkedAdd(firstLength, secondLength);
  const std::size_t end = checkedAdd(length_, needed);
  applyGrowthRule(end, growth);
  // A piece may point into the text itself: keep the old buffer until copied.
  std::unique_ptr<char[]> retired;
  if (checkedAdd(end, 1) > allocated_) {
    std::size_t size = std::max(checkedAdd(end, 1), capacity_);
    if (allocated_ <= SIZE_MAX / 2) size = std::max(size, 2 * allocated_);
    char* buffer = new char[size];
    std::memcpy(buffer, text_, length_);
    retired.reset(text_);
    text_ = buffer;
    allocated_ = size;
  }
  if (firstLength > 0) std::memmove(text_ + length_, first, firstLength);
  if (secondLength > 0) std::memmove(text_ + length_ + firstLength, second, secondLength);
  length_ = end;
  text_[length_] = '\0';
}

void StringMessage::append(const char* text) {
  std::size_t n = text ? std::strlen(text) : 0;
  if (n == 0) {
    text = kNullToken;
    n = kNullTokenLength;
  }
  const std::size_t delimiterLength = std::strlen(delimiter_);
  const std::size_t both = checkedAdd(n, delimiterLength);
  appendPieces(text, n, delimiter_, delimiterLength, both);
}

void StringMessage::append(int flag) {
  if (flag == 1) {
    append("true");
  } else if (flag == 0) {
    append("false");
  }
}

void StringMessage::resetTokenizer() {
  // Reading sees the text as it is now; the copy that nextToken splits is
  // made when first needed. Appends only add bytes after readLength_, so the
  // copy made later holds the same bytes.
  readLength_ = length_;
  readPos_ = 0;
  resetDone_ = true;
  copyMade_ = false;
  restartPending_ = true;
}

void StringMessage::makeReadCopy() {
  // Tokens handed out point into the old copy and died with the last reset,
  // so its buffer may be reused when large enough.
  if (readCopy_ == nullptr || readCapacity_ <= readLength_) {
    delete[] readCopy_;
    readCopy_ = nullptr;
    readCapacity_ = checkedAdd(readLength_, 1);
    readCopy_ = new char[readCapacity_];
  }
  std::memcpy(readCopy_, text_, readLength_);
  readCopy_[readLength_] = '\0';
  copyMade_ = true;
}

char* StringMessage::nextToken() {
  if (restartPending_) {
    if (!resetDone_) resetTokenizer();
    restartPending_ = false;
    readPos_ = 0;
  }
  if (!copyMade_) makeReadCopy();
  char* const end = readCopy_ + readLength_;
  char* p = readCopy_ + readPos_;
  char* tokenEnd;
  if (delimiter_[0] != '\0' && delimiter_[1] == '\0') {
    // One delimiter character: the usual case, kept to plain scans.
    const char d = delimiter_[0];
    while (p != end && *p == d) ++p;
    if (p == end) {
      readPos_ = readLength_;
      return nullptr;
    }
    tokenEnd = static_cast<char*>(std::memchr(p, d, static_cast<std::size_t>(end - p)));
    if (tokenEnd == nullptr) tokenEnd = end;
  } else {
    // Zeros written into the copy all lie before p, so the scans stop at end.
    p += std::strspn(p, delimiter_);
    if (p == end) {
      readPos_ = readLength_;
      return nullptr;
    }
    tokenEnd = p + std::strcspn(p, delimiter_);
  }
  if (tokenEnd == end) {
    readPos_ = readLength_;
  } else {
    *tokenEnd = '\0';
    readPos_ = static_cast<std::size_t>(tokenEnd - readCopy_) + 1;
  }
  return p;
}

bool StringMessage::hasMoreTokens() {
  // Before any reset the first read would take the text as it is now. The
  // text holds the same bytes as the reading copy from the position on.
  if (!resetDone_) return std::strspn(text_, delimiter_) < length_;
  const std::size_t position = restartPending_ ? 0 : readPos_;
  const std::size_t remaining = readLength_ - position;
  for (std::size_t i = 0; i < remaining; ++i) {
    if (std::strchr(delimiter_, text_[position + i]) == nullptr) return true;
  }
  return false;
}

void StringMessage::setDelimiter(const char* delimiter) {
  HB_ASSERT(delimiter != nullptr);
  delimiter_ = delimiter;
  resetTokenizer();
}

int StringMessage::getSize() { return clampToInt(capacity_); }

int StringMessage::getDefaultBufferSize() {
  return hbconnector::detail::g_defaultBufferSize.load(std::memory_order_relaxed);
}

void StringMessage::setDefaultBufferSize(int size) {
  hbconnector::detail::g_defaultBufferSize.store(std::max(size, 1), std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------
// StringMessageI18N

// Every token handed out by nextToken, owned until the next reset or the end
// of the message. Slots come in blocks (50 first, then 30 at a time) that are
// chained rather than copied, so recording a token never moves the others.
struct StringMessageI18N::TokenList {
  static constexpr std::size_t kFirstBlock = 50;
  static constexpr std::size_t kGrowBlock = 30;

  struct Block {
    std::unique_ptr<std::unique_ptr<char[]>[]> slots;
    std::size_t capacity;
  };

  TokenList() { addBlock(kFirstBlock); }

  void add(std::unique_ptr<char[]> token) {
    if (used == blocks[current].capacity) {
      ++current;
      if (current == blocks.size()) addBlock(kGrowBlock);
      used = 0;
    }
    blocks[current].slots[used++] = std::move(token);
  }

  // Releases every token; the first block is kept for the next reads.
  void clear() {
    for (std::size_t b = 0; b <= current; ++b) {
      const std::size_t filled = b == current ? used : blocks[b].capacity;
      for (std::size_t i = 0; i < filled; ++i) blocks[b].slots[i].reset();
    }
    blocks.resize(1);
    current = 0;
    used = 0;
  }

  void addBlock(std::size_t capacity) {
    blocks.push_back(Block{std::make_unique<std::unique_ptr<char[]>[]>(capacity), capacity});
  }

  std::vector<Block> blocks;
  std::size_t current = 0;  // block receiving the next token
  std::size_t used = 0;     // filled slots of that block
};

StringMessageI18N::StringMessageI18N() : tokens_(new TokenList) {}

StringMessageI18N::StringMessageI18N(int size) : StringMessage(size), tokens_(new TokenList) {}

StringMessageI18N::StringMessageI18N(const char* text)
    : StringMessage(TextCopy{}, text, text ? std::strlen(text) : 0), tokens_(new TokenList) {}

StringMessageI18N::StringMessageI18N(const char* data, std::size_t length)
    : StringMessage(TextCopy{}, data, boundedLength(data, length)), tokens_(new TokenList) {}

StringMessageI18N::~StringMessageI18N() { delete tokens_; }

std::size_t StringMessageI18N::formatLengthPrefix(std::size_t length, char* out) {
  static constexpr char kDigits[] = "0123456789abcdef";
  if (length == 0) length = kNullTokenLength;
  char reversed[2 * sizeof(std::size_t)];
  std::size_t digits = 0;
  do {
    reversed[digits++] = kDigits[length & 0xf];
    length >>= 4;
  } while (length != 0);
  for (std::size_t i = 0; i < digits; ++i) out[i] = reversed[digits - 1 - i];
  out[digits] = kLengthSeparator;
  return digits + 1;
}

void StringMessageI18N::append(const char* text) {
  std::size_t n = text ? std::strlen(text) : 0;
  if (n == 0) {
    text = kNullToken;
    n = kNullTokenLength;
  }
  char prefix[kMaxPrefixLength];
  const std::size_t prefixLength = formatLengthPrefix(n, prefix);
  const std::size_t both = checkedAdd(prefixLength, n);
  appendPieces(prefix, prefixLength, text, n, checkedAdd(both, 1));
}

void StringMessageI18N::append(int flag) {
  HB_ASSERT(flag == 0 || flag == 1);
  append(flag == 1 ? "true" : "false");
}

void StringMessageI18N::appendRaw(const char* text) {
  if (text == nullptr) return;
  const std::size_t n = std::strlen(text);
  if (n > 0) appendPieces(text, n, nullptr, 0, checkedAdd(n, 1));
}

void StringMessageI18N::appendRaw(const char* data, std::size_t length) {
  length = boundedLength(data, length);
  if (length > 0) appendPieces(data, length, nullptr, 0, checkedAdd(length, 1));
}

void StringMessageI18N::resetTokenizer() {
  position_ = 0;
  malformed_ = false;
  tokens_->clear();
}

bool StringMessageI18N::scanNextToken(const char** begin, std::size_t* length) {
  if (malformed_) return false;
  if (restartPending_) {
    position_ = 0;
    restartPending_ = false;
  }
  if (position_ >= length_) return false;
  const char* field = text_ + position_;
  const char* end = text_ + length_;
  const char* separator =
      static_cast<const char*>(std::memchr(field, kLengthSeparator, length_ - position_));
  if (separator == nullptr) return false;
  const std::size_t remaining = static_cast<std::size_t>(end - separator) - 1;
  std::size_t n = 0;
  if (parseLengthField(field, separator, remaining, &n) != LengthField::kValid) {
    // The rest cannot be split reliably: the message ends here until a reset.
    malformed_ = true;
    return false;
  }
  *begin = separator + 1;
  *length = n;
  position_ = static_cast<std::size_t>(separator - text_) + 1 + n;
  return true;
}

char* StringMessageI18N::takeNextToken() {
  const char* begin = nullptr;
  std::size_t n = 0;
  if (!scanNextToken(&begin, &n)) return nullptr;
  char* token = new char[n + 1];
  std::memcpy(token, begin, n);
  token[n] = '\0';
  return token;
}

char* StringMessageI18N::nextToken() {
  std::unique_ptr<char[]> token(takeNextToken());
  if (!token) return nullptr;
  char* result = token.get();
  tokens_->add(std::move(token));
  return result;
}

bool StringMessageI18N::hasMoreTokens() {
  if (malformed_) return false;
  const std::size_t position = restartPending_ ? 0 : position_;
  if (position >= length_) return false;
  return std::memchr(text_ + position, kLengthSeparator, length_ - position) != nullptr;
}

void StringMessageI18N::setDelimiter([[maybe_unused]] const char* delimiter) {
  constexpr bool kLengthPrefixedTextHasNoDelimiter = false;
  HB_ASSERT(kLengthPrefixedTextHasNoDelimiter);
}

int StringMessageI18N::getSize() {
  const char* const end = text_ + length_;
  const char* position = text_;
  std::size_t count = 0;
  while (position < end) {
    const char* separator = static_cast<const char*>(
        std::memchr(position, kLengthSeparator, static_cast<std::size_t>(end - position)));
    if (separator == nullptr) break;
    const std::size_t bytesLeft = static_cast<std::size_t>(end - separator) - 1;
    std::size_t tokenLength = 0;
    const bool lengthFieldIsHex =
        parseLengthField(position, separator, bytesLeft, &tokenLength) != LengthField::kInvalid;
    HB_ASSERT(lengthFieldIsHex);
    HB_ASSERT(tokenLength <= bytesLeft);
    ++count;
    position = separator + 1 + tokenLength;
  }
  return clampToInt(count);
}
