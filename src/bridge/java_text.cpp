#include "bridge/java_text.hpp"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace hbconnector::detail {
namespace {

bool isContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Length of the well-formed modified UTF-8 sequence at p (1 to 3), or 0.
std::size_t sequenceLength(const unsigned char* p) {
  const unsigned char b = p[0];
  if (b >= 0x01 && b < 0x80) return 1;
  if ((b & 0xE0) == 0xC0) return isContinuation(p[1]) ? 2 : 0;
  if ((b & 0xF0) == 0xE0) return isContinuation(p[1]) && isContinuation(p[2]) ? 3 : 0;
  return 0;
}

// The code point of a well-formed standard four-byte sequence at p, or 0.
std::uint32_t fourByteCodePoint(const unsigned char* p) {
  if ((p[0] & 0xF8) != 0xF0 || !isContinuation(p[1]) || !isContinuation(p[2]) ||
      !isContinuation(p[3])) {
    return 0;
  }
  const std::uint32_t cp =
      ((p[0] & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
  return cp >= 0x10000 && cp <= 0x10FFFF ? cp : 0;
}

void appendThreeBytes(std::string* out, std::uint32_t unit) {
  out->push_back(static_cast<char>(0xE0 | (unit >> 12)));
  out->push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
  out->push_back(static_cast<char>(0x80 | (unit & 0x3F)));
}

}  // namespace

bool isModifiedUtf8(const char* text) { return isModifiedUtf8(text, std::strlen(text)); }

namespace {

// kBlocks adds the 64-byte SSE2 skip (the read benchmarks' long ASCII values);
// without it the same function is the portable form, which other targets
// compile and the tests compare against on x86-64.
template <bool kBlocks>
bool checkModifiedUtf8(const char* text, std::size_t length) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  const unsigned char* const end = p + length;
  // Records are mostly ASCII: skip whole groups without a high bit, within
  // the text's own bytes, and check byte by byte only from the first group
  // that has one.
#if defined(__SSE2__)
  if constexpr (kBlocks) {
    while (end - p >= 64) {
      const auto* blocks = reinterpret_cast<const __m128i*>(p);
      const __m128i any =
          _mm_or_si128(_mm_or_si128(_mm_loadu_si128(blocks), _mm_loadu_si128(blocks + 1)),
                       _mm_or_si128(_mm_loadu_si128(blocks + 2), _mm_loadu_si128(blocks + 3)));
      if (_mm_movemask_epi8(any) != 0) break;
      p += 64;
    }
  }
#endif
  while (end - p >= 8) {
    std::uint64_t group;
    std::memcpy(&group, p, sizeof group);
    if ((group & 0x8080808080808080ULL) != 0) break;
    p += 8;
  }
  while (p != end) {
    // A sequence may not run over the end: the continuation checks stop at
    // the terminating zero, which is no continuation byte.
    const std::size_t n = sequenceLength(p);
    if (n == 0) return false;
    p += n;
  }
  return true;
}

}  // namespace

bool isModifiedUtf8(const char* text, std::size_t length) {
  return checkModifiedUtf8<true>(text, length);
}

bool isModifiedUtf8Portable(const char* text, std::size_t length) {
  return checkModifiedUtf8<false>(text, length);
}

std::string toModifiedUtf8(const char* text) {
  std::string out;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != 0) {
    // Continuation checks stop at the terminating zero, which is no
    // continuation byte, so no read goes past it.
    if (const std::size_t n = sequenceLength(p); n > 0) {
      out.append(reinterpret_cast<const char*>(p), n);
      p += n;
    } else if (const std::uint32_t cp = fourByteCodePoint(p); cp != 0) {
      const std::uint32_t v = cp - 0x10000;
      appendThreeBytes(&out, 0xD800 + (v >> 10));
      appendThreeBytes(&out, 0xDC00 + (v & 0x3FF));
      p += 4;
    } else {
      out.push_back(static_cast<char>(0xC0 | (p[0] >> 6)));
      out.push_back(static_cast<char>(0x80 | (p[0] & 0x3F)));
      p += 1;
    }
  }
  return out;
}

namespace {

// Whether p (with at least three bytes before end) starts a surrogate of
// the range lead..lead+0x0F in its second byte: ED A0..AF xx is a high
// surrogate, ED B0..BF xx a low one.
bool isSurrogate(const unsigned char* p, const unsigned char* end, unsigned char lead) {
  return end - p >= 3 && p[0] == 0xED && (p[1] & 0xF0) == lead && isContinuation(p[2]);
}

}  // namespace

std::size_t joinSurrogatePairs(char* text, std::size_t length) {
  auto* first = static_cast<unsigned char*>(std::memchr(text, 0xED, length));
  if (first == nullptr) return length;
  auto* const begin = reinterpret_cast<unsigned char*>(text);
  const unsigned char* const end = begin + length;
  // Writing never overtakes reading: a pair of six bytes becomes four.
  unsigned char* out = first;
  const unsigned char* p = first;
  while (p != end) {
    if (isSurrogate(p, end, 0xA0) && isSurrogate(p + 3, end, 0xB0)) {
      const std::uint32_t high = ((p[1] & 0x0Fu) << 6) | (p[2] & 0x3Fu);
      const std::uint32_t low = ((p[4] & 0x0Fu) << 6) | (p[5] & 0x3Fu);
      const std::uint32_t cp = 0x10000 + (high << 10) + low;
      *out++ = static_cast<unsigned char>(0xF0 | (cp >> 18));
      *out++ = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
      *out++ = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
      *out++ = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      p += 6;
      continue;
    }
    // Any other byte is copied as it is; the next ED is found by memchr.
    const void* next =
        p + 1 < end ? std::memchr(p + 1, 0xED, static_cast<std::size_t>(end - p - 1)) : nullptr;
    const unsigned char* stop = next != nullptr ? static_cast<const unsigned char*>(next) : end;
    const std::size_t run = static_cast<std::size_t>(stop - p);
    if (out != p) std::memmove(out, p, run);
    out += run;
    p = stop;
  }
  *out = 0;
  return static_cast<std::size_t>(out - begin);
}

}  // namespace hbconnector::detail
