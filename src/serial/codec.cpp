#include "serial/codec.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace hbconnector::detail::codec {

std::uint64_t byteMask64Scalar(const char* p, char c) {
  std::uint64_t mask = 0;
  for (int i = 0; i < 64; ++i) mask |= static_cast<std::uint64_t>(p[i] == c) << i;
  return mask;
}

namespace {

// The mask of one 64-byte block, inlined into the tokenizer's scan: a call
// per block costs as much as the compares (rows read/ours_delimited/M, L).
HB_ALWAYS_INLINE std::uint64_t blockMask(const char* p, char c) {
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
  return byteMask64Scalar(p, c);
#endif
}

}  // namespace

#if defined(__SSE2__)
std::uint64_t byteMask64Sse2(const char* p, char c) { return blockMask(p, c); }
#endif

std::uint64_t byteMask64(const char* p, char c) { return blockMask(p, c); }

std::size_t Tokenizer::findDelimiter(std::size_t from) {
  const std::size_t end = size_;
  const char* text = data_;
  while (from < end) {
    const std::size_t block = from & ~std::size_t{63};
    if (block != blockStart_) {
      if (end - block >= 64) {
        blockBits_ = blockMask(text + block, delimiter_);
      } else {
        // The last, partial block: no byte past the text is read.
        blockBits_ = 0;
        for (std::size_t i = 0; block + i < end; ++i) {
          blockBits_ |= static_cast<std::uint64_t>(text[block + i] == delimiter_) << i;
        }
      }
      blockStart_ = block;
    }
    const std::uint64_t bits = blockBits_ & (~std::uint64_t{0} << (from - block));
    if (bits != 0) return block + static_cast<std::size_t>(__builtin_ctzll(bits));
    from = block + 64;
  }
  return end;
}

bool Tokenizer::nextInSet(std::string_view* token) {
  const std::string_view view = text();
  const std::size_t end = view.size();
  std::size_t start = position_;
  while (start < end && isDelimiter(view[start])) ++start;
  if (start >= end) {
    position_ = end;
    return false;
  }
  std::size_t stop = start + 1;
  while (stop < end && !isDelimiter(view[stop])) ++stop;
  *token = view.substr(start, stop - start);
  position_ = stop == end ? end : stop + 1;
  return true;
}

bool Tokenizer::nextPrefixedSlow(std::string_view* token) {
  const std::string_view view = text();
  const std::size_t end = view.size();
  if (malformed_ || position_ >= end) return false;
  const std::size_t separator = view.find(kLengthSeparator, position_);
  if (separator == std::string_view::npos) return false;
  const std::size_t bytesLeft = end - separator - 1;
  std::size_t n = 0;
  if (hex::parse(view.substr(position_, separator - position_), bytesLeft, &n) !=
      hex::Parse::kValid) {
    // The rest cannot be split reliably: the text ends here.
    malformed_ = true;
    return false;
  }
  *token = view.substr(separator + 1, n);
  position_ = separator + 1 + n;
  return true;
}

bool Tokenizer::hasMore() const {
  const std::string_view view = text();
  const std::size_t end = view.size();
  if (position_ >= end) return false;
  if (encoding_ == Encoding::kLengthPrefixed) {
    return !malformed_ && view.find(kLengthSeparator, position_) != std::string_view::npos;
  }
  for (std::size_t i = position_; i < end; ++i) {
    if (!isDelimiter(view[i])) return true;
  }
  return false;
}

}  // namespace hbconnector::detail::codec
