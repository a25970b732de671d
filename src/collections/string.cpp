#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <istream>
#include <new>

#include "collections/assert.hpp"
#include "hbconnector/collections.hpp"

// Representation header; the zero-terminated bytes follow it in the same
// allocation. The count is atomic because handles sharing one representation
// are copied and released on different threads.
struct String::Rep {
  std::atomic<long> refs;
  std::size_t length;
  std::size_t capacity;  // bytes available for text, not counting the terminator

  char* bytes() noexcept { return reinterpret_cast<char*>(this) + sizeof(Rep); }
  const char* bytes() const noexcept { return reinterpret_cast<const char*>(this) + sizeof(Rep); }

  // The one representation of every empty string. It is never written and
  // its count is never touched, so it needs no synchronisation and is never
  // freed.
  struct Empty;
  static Empty sharedEmpty;

  static Rep* empty() noexcept;
  static bool isSharedEmpty(const Rep* rep) noexcept;
  // A fresh unshared representation with room for capacity bytes, empty.
  static Rep* allocate(std::size_t capacity);
  // A representation holding a copy of the bytes (data may be null when
  // length is 0).
  static Rep* make(const char* data, std::size_t length);
  static void retain(Rep* rep) noexcept;
  static void release(Rep* rep) noexcept;
};

struct String::Rep::Empty {
  Rep header;
  char terminator;
};

constinit String::Rep::Empty String::Rep::sharedEmpty{{{0}, 0, 0}, '\0'};

String::Rep* String::Rep::empty() noexcept {
  static_assert(offsetof(Empty, terminator) == sizeof(Rep),
                "the empty text must directly follow its header");
  return &sharedEmpty.header;
}

bool String::Rep::isSharedEmpty(const Rep* rep) noexcept { return rep == &sharedEmpty.header; }

String::Rep* String::Rep::allocate(std::size_t capacity) {
  void* memory = ::operator new(sizeof(Rep) + capacity + 1);
  auto* rep = new (memory) Rep{{1}, 0, capacity};
  rep->bytes()[0] = '\0';
  return rep;
}

String::Rep* String::Rep::make(const char* data, std::size_t length) {
  if (length == 0) return empty();
  Rep* rep = allocate(length);
  std::memcpy(rep->bytes(), data, length);
  rep->bytes()[length] = '\0';
  rep->length = length;
  return rep;
}

void String::Rep::retain(Rep* rep) noexcept {
  if (!isSharedEmpty(rep)) rep->refs.fetch_add(1, std::memory_order_relaxed);
}

void String::Rep::release(Rep* rep) noexcept {
  if (isSharedEmpty(rep)) return;
  if (rep->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    rep->~Rep();
    ::operator delete(static_cast<void*>(rep));
  }
}

namespace {

unsigned char lowerAscii(unsigned char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

unsigned char upperAscii(unsigned char c) noexcept {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

int sign(std::ptrdiff_t value) noexcept { return (value > 0) - (value < 0); }

// Bytes read from a stream in one go by String::readLine.
constexpr std::size_t kLinePiece = 512;

}  // namespace

String::String() noexcept : rep_(Rep::empty()) {}

String::String(const char* text) : rep_(Rep::empty()) {
  if (text != nullptr) rep_ = Rep::make(text, std::strlen(text));
}

String::String(const char* data, std::size_t length) : rep_(Rep::empty()) {
  HB_ASSERT(data != nullptr || length == 0);
  rep_ = Rep::make(data, length);
}

String::String(std::string_view text) : rep_(Rep::make(text.data(), text.size())) {}

String::String(char c) : rep_(Rep::make(&c, 1)) {}

String::String(const String& other) noexcept : rep_(other.rep_) { Rep::retain(rep_); }

String::String(String&& other) noexcept : rep_(other.rep_) { other.rep_ = Rep::empty(); }

// Self-assignment is safe without a test: the text is retained before it is released.
// NOLINTNEXTLINE(bugprone-unhandled-self-assignment)
String& String::operator=(const String& other) noexcept {
  // Retain first so that assigning a string to itself never frees its text.
  Rep::retain(other.rep_);
  Rep::release(rep_);
  rep_ = other.rep_;
  return *this;
}

String& String::operator=(String&& other) noexcept {
  if (this != &other) {
    Rep::release(rep_);
    rep_ = other.rep_;
    other.rep_ = Rep::empty();
  }
  return *this;
}

String& String::operator=(const char* text) {
  // Build the new text before releasing the old one: text may point into it.
  String copy(text);
  std::swap(rep_, copy.rep_);
  return *this;
}

String::~String() { Rep::release(rep_); }

const char* String::data() const noexcept { return rep_->bytes(); }

std::size_t String::length() const noexcept { return rep_->length; }

char String::at(std::size_t index) const {
  HB_ASSERT(index < rep_->length);
  return rep_->bytes()[index];
}

std::uint32_t String::hash() const noexcept { return hashOf(data(), length()); }

std::uint32_t String::hashOf(const char* data, std::size_t length) noexcept {
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  std::uint32_t hash = static_cast<std::uint32_t>(length);
  std::size_t i = 0;
  for (; i + 4 <= length; i += 4) {
    hash ^= static_cast<std::uint32_t>(bytes[i]) | static_cast<std::uint32_t>(bytes[i + 1]) << 8 |
            static_cast<std::uint32_t>(bytes[i + 2]) << 16 |
            static_cast<std::uint32_t>(bytes[i + 3]) << 24;
  }
  std::uint32_t tail = 0;
  for (unsigned shift = 0; i < length; ++i, shift += 8) {
    tail |= static_cast<std::uint32_t>(bytes[i]) << shift;
  }
  return hash ^ tail;
}

int String::compareTo(const String& other) const noexcept {
  const std::size_t n = std::min(length(), other.length());
  if (n > 0) {
    const int byBytes = std::memcmp(data(), other.data(), n);
    if (byBytes != 0) return byBytes < 0 ? -1 : 1;
  }
  return sign(static_cast<std::ptrdiff_t>(length()) - static_cast<std::ptrdiff_t>(other.length()));
}

int String::compareToIgnoreCase(const String& other) const noexcept {
  const std::size_t n = std::min(length(), other.length());
  const auto* a = reinterpret_cast<const unsigned char*>(data());
  const auto* b = reinterpret_cast<const unsigned char*>(other.data());
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char ca = lowerAscii(a[i]);
    const unsigned char cb = lowerAscii(b[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return sign(static_cast<std::ptrdiff_t>(length()) - static_cast<std::ptrdiff_t>(other.length()));
}

String String::operator+(const String& other) const {
  String result(*this);
  result.append(other);
  return result;
}

String String::operator+(const char* text) const {
  String result(*this);
  result.append(text);
  return result;
}

String String::operator+(char c) const {
  String result(*this);
  result.append(c);
  return result;
}

String& String::append(const String& other) { return append(other.data(), other.length()); }

String& String::append(const char* text) {
  if (text == nullptr) return *this;
  return append(text, std::strlen(text));
}

String& String::append(char c) { return append(&c, 1); }

String& String::append(const char* data, std::size_t length) {
  HB_ASSERT(data != nullptr || length == 0);
  if (length == 0) return *this;
  const std::size_t oldLength = rep_->length;
  const std::size_t newLength = oldLength + length;
  const bool unshared =
      !Rep::isSharedEmpty(rep_) && rep_->refs.load(std::memory_order_acquire) == 1;
  if (unshared && rep_->capacity >= newLength) {
    // data may point into this very text; memmove keeps that safe.
    std::memmove(rep_->bytes() + oldLength, data, length);
  } else {
    // Room to grow geometrically, so that appending piece by piece stays
    // linear. The old text is released only after data has been copied,
    // because data may point into it.
    const std::size_t capacity = unshared ? std::max(newLength, rep_->capacity * 2) : newLength;
    Rep* grown = Rep::allocate(capacity);
    std::memcpy(grown->bytes(), rep_->bytes(), oldLength);
    std::memcpy(grown->bytes() + oldLength, data, length);
    Rep::release(rep_);
    rep_ = grown;
  }
  rep_->length = newLength;
  rep_->bytes()[newLength] = '\0';
  return *this;
}

String String::toUpper() const {
  if (isEmpty()) return String();
  Rep* rep = Rep::make(data(), length());
  for (std::size_t i = 0; i < rep->length; ++i) {
    rep->bytes()[i] = static_cast<char>(upperAscii(static_cast<unsigned char>(rep->bytes()[i])));
  }
  return String(rep);
}

String String::toLower() const {
  if (isEmpty()) return String();
  Rep* rep = Rep::make(data(), length());
  for (std::size_t i = 0; i < rep->length; ++i) {
    rep->bytes()[i] = static_cast<char>(lowerAscii(static_cast<unsigned char>(rep->bytes()[i])));
  }
  return String(rep);
}

bool String::readLine(std::istream& in) {
  String line;
  bool readSomething = false;
  char piece[kLinePiece + 1];
  for (;;) {
    // get() stops before the end-of-line character and after at most
    // kLinePiece bytes, whatever the line length.
    in.get(piece, sizeof piece, '\n');
    const std::streamsize got = in.gcount();
    if (got > 0) {
      line.append(piece, static_cast<std::size_t>(got));
      readSomething = true;
    }
    if (in.bad()) break;
    if (in.fail() && !in.eof()) {
      // get() reports an empty piece (the line ends right here) as a failure.
      in.clear(in.rdstate() & ~std::ios_base::failbit);
    }
    const auto next = in.peek();
    if (next == std::istream::traits_type::eof()) {
      // The last line of the input may lack its end-of-line character. The
      // caller sees the end of input on the following call.
      if (readSomething) in.clear(in.rdstate() & ~std::ios_base::failbit);
      break;
    }
    if (next == '\n') {
      in.get();
      readSomething = true;
      break;
    }
  }
  *this = std::move(line);
  return readSomething;
}

long String::useCount() const noexcept {
  return Rep::isSharedEmpty(rep_) ? 0 : rep_->refs.load(std::memory_order_relaxed);
}
