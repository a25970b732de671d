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
#include "collections/hex.hpp"
#include "serial/codec.hpp"

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

}  // namespace
}  // namespace hbconnector::detail

using hbconnector::detail::boundedLength;
using hbconnector::detail::checkedAdd;
using hbconnector::detail::clampToInt;
using hbconnector::detail::defaultBufferSize;
using hbconnector::detail::newZeroedBuffer;
namespace codec = hbconnector::detail::codec;
namespace hex = hbconnector::detail::hex;

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

StringMessage::StringMessage(Borrowed, char* text, std::size_t length) {
  capacity_ = checkedAdd(length, 1);
  allocated_ = capacity_;
  text_ = text;
  length_ = length;
  borrowed_ = true;
  StringMessage::resetTokenizer();
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
  if (!borrowed_) delete[] text_;
  delete[] readCopy_;
}

void StringMessage::clearText() {
  if (borrowed_) {
    // Never write into the caller's bytes.
    text_ = newZeroedBuffer(1);
    allocated_ = 1;
    borrowed_ = false;
  }
  length_ = 0;
  text_[0] = '\0';
  capacity_ = defaultBufferSize();
  StringMessage::resetTokenizer();
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
  if (!borrowed_) delete[] text_;
  borrowed_ = false;
  text_ = buffer;
  allocated_ = size;
}

void StringMessage::appendPieces(const char* first, std::size_t firstLength, const char* second,
                                 std::size_t secondLength, std::size_t growth) {
  const std::size_t needed = checkedAdd(firstLength, secondLength);
  const std::size_t end = checkedAdd(length_, needed);
  applyGrowthRule(end, growth);
  // A piece may point into the text itself: keep the old buffer until copied.
  std::unique_ptr<char[]> retired(growFor(end));
  if (firstLength > 0) std::memmove(text_ + length_, first, firstLength);
  if (secondLength > 0) std::memmove(text_ + length_ + firstLength, second, secondLength);
  length_ = end;
  text_[length_] = '\0';
}

char* StringMessage::growFor(std::size_t end) {
  if (checkedAdd(end, 1) <= allocated_) return nullptr;
  std::size_t size = std::max(checkedAdd(end, 1), capacity_);
  if (allocated_ <= SIZE_MAX / 2) size = std::max(size, 2 * allocated_);
  char* buffer = new char[size];
  std::memcpy(buffer, text_, length_);
  char* old = borrowed_ ? nullptr : text_;
  borrowed_ = false;
  text_ = buffer;
  allocated_ = size;
  return old;
}

void StringMessage::appendToken(std::string_view token, bool lengthPrefixed) {
  if (token.empty()) token = codec::kNullToken;
  const std::string_view delimiter =
      lengthPrefixed ? std::string_view() : std::string_view(delimiter_);
  char prefix[codec::kMaxPrefixLength];
  const std::size_t overhead =
      lengthPrefixed ? codec::formatLengthPrefix(token.size(), prefix) : delimiter.size();
  const std::size_t needed = checkedAdd(token.size(), overhead);
  const std::size_t end = checkedAdd(length_, needed);
  // The length-prefixed encoding counts room for the zero in its growth step.
  applyGrowthRule(end, lengthPrefixed ? checkedAdd(needed, 1) : needed);
  // The token may point into the text itself: keep the old buffer until copied.
  std::unique_ptr<char[]> retired(growFor(end));
  const auto encoding =
      lengthPrefixed ? codec::Encoding::kLengthPrefixed : codec::Encoding::kDelimited;
  length_ += codec::encodeToken(encoding, delimiter, token, text_ + length_);
  text_[length_] = '\0';
}

void StringMessage::append(const char* text) {
  appendToken(text ? std::string_view(text) : std::string_view(), false);
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

std::string_view StringMessage::unreadText() {
  // What nextToken does first when reading (re)starts.
  if (restartPending_) {
    if (!resetDone_) StringMessage::resetTokenizer();
    restartPending_ = false;
    readPos_ = 0;
  }
  return {text_ + readPos_, readLength_ - readPos_};
}

char* StringMessage::nextToken() {
  unreadText();
  if (!copyMade_) makeReadCopy();
  // Tokens are handed out from the reading copy, each ended by a zero written
  // over the delimiter that follows it.
  auto tokens =
      codec::Tokenizer::delimited(std::string_view(readCopy_, readLength_), delimiter_, readPos_);
  std::string_view token;
  const bool found = tokens.next(&token);
  readPos_ = tokens.position();
  if (!found) return nullptr;
  char* start = readCopy_ + (token.data() - readCopy_);
  start[token.size()] = '\0';
  return start;
}

bool StringMessage::hasMoreTokens() {
  // Before any reset the first read would take the text as it is now. The
  // text holds the same bytes as the reading copy from the position on.
  if (!resetDone_) {
    return codec::Tokenizer::delimited(std::string_view(text_, length_), delimiter_).hasMore();
  }
  const std::size_t position = restartPending_ ? 0 : readPos_;
  return codec::Tokenizer::delimited(std::string_view(text_, readLength_), delimiter_, position)
      .hasMore();
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

StringMessageI18N::StringMessageI18N() = default;

StringMessageI18N::StringMessageI18N(int size) : StringMessage(size) {}

StringMessageI18N::StringMessageI18N(const char* text)
    : StringMessage(TextCopy{}, text, text ? std::strlen(text) : 0) {}

StringMessageI18N::StringMessageI18N(const char* data, std::size_t length)
    : StringMessage(TextCopy{}, data, boundedLength(data, length)) {}

StringMessageI18N::StringMessageI18N(Borrowed, char* data, std::size_t length)
    : StringMessage(Borrowed{}, data, boundedLength(data, length)) {}

StringMessageI18N::~StringMessageI18N() { delete tokens_; }

std::size_t StringMessageI18N::formatLengthPrefix(std::size_t length, char* out) {
  return codec::formatLengthPrefix(length, out);
}

void StringMessageI18N::append(const char* text) {
  appendToken(text ? std::string_view(text) : std::string_view(), true);
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
  if (tokens_ != nullptr) tokens_->clear();
}

std::string_view StringMessageI18N::unreadText() {
  // What nextToken does first when reading restarts.
  if (restartPending_) {
    position_ = 0;
    restartPending_ = false;
  }
  if (malformed_ || position_ >= length_) return {};
  return {text_ + position_, length_ - position_};
}

bool StringMessageI18N::scanNextToken(std::string_view* token) {
  const std::string_view unread = unreadText();
  auto tokens = codec::Tokenizer::lengthPrefixed(unread);
  const bool found = tokens.next(token);
  // A malformed length field ends the message until the next reset.
  if (tokens.malformed()) malformed_ = true;
  position_ += tokens.position();
  return found;
}

char* StringMessageI18N::takeNextToken() {
  std::string_view found;
  if (!scanNextToken(&found)) return nullptr;
  char* token = new char[found.size() + 1];
  std::memcpy(token, found.data(), found.size());
  token[found.size()] = '\0';
  return token;
}

char* StringMessageI18N::nextToken() {
  std::unique_ptr<char[]> token(takeNextToken());
  if (!token) return nullptr;
  char* result = token.get();
  // The list of tokens handed out is made by the first nextToken: messages
  // that are only written, or read by the record reader, never need one.
  if (tokens_ == nullptr) tokens_ = new TokenList;
  tokens_->add(std::move(token));
  return result;
}

bool StringMessageI18N::hasMoreTokens() {
  if (malformed_) return false;
  const std::size_t position = restartPending_ ? 0 : position_;
  if (position >= length_) return false;
  return codec::Tokenizer::lengthPrefixed(std::string_view(text_, length_), position).hasMore();
}

void StringMessageI18N::setDelimiter([[maybe_unused]] const char* delimiter) {
  constexpr bool kLengthPrefixedTextHasNoDelimiter = false;
  HB_ASSERT(kLengthPrefixedTextHasNoDelimiter);
}

int StringMessageI18N::getSize() {
  const std::string_view text(text_, length_);
  std::size_t position = 0;
  std::size_t count = 0;
  while (position < text.size()) {
    const std::size_t separator = text.find(codec::kLengthSeparator, position);
    if (separator == std::string_view::npos) break;
    const std::size_t bytesLeft = text.size() - separator - 1;
    std::size_t tokenLength = 0;
    const hex::Parse parsed =
        hex::parse(text.substr(position, separator - position), bytesLeft, &tokenLength);
    const bool lengthFieldIsHex = parsed != hex::Parse::kInvalid;
    HB_ASSERT(lengthFieldIsHex);
    if (parsed == hex::Parse::kTooLarge) tokenLength = SIZE_MAX;
    HB_ASSERT(tokenLength <= bytesLeft);
    ++count;
    position = separator + 1 + tokenLength;
  }
  return clampToInt(count);
}
