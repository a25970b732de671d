// The token codec: the one place that knows how the two token encodings look
// in bytes. Everything above it (StringMessage, StringMessageI18N, the record
// readers and writers) goes through these pieces:
//   - Tokenizer: splits a text held elsewhere (a std::string_view, never
//     copied, never written) into tokens, in either encoding;
//   - the length prefix: formatted and parsed here only;
//   - encodeToken: the bytes of one token, in either encoding;
//   - Reporter: how a reader tells its caller about what it could not read,
//     without knowing who listens.
//
// Delimited: each token is followed by a delimiter; runs of delimiter
// characters count as one separator and leading ones are skipped, so no token
// read is empty. Length-prefixed: each token is its byte length in lowercase
// hexadecimal, "#", then the bytes; a length field that is empty, not
// hexadecimal or longer than the rest of the text ends the text there.
#ifndef HBCONNECTOR_SERIAL_CODEC_HPP_
#define HBCONNECTOR_SERIAL_CODEC_HPP_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "collections/hex.hpp"
#include "hbconnector/export.hpp"

namespace hbconnector::detail::codec {

enum class Encoding { kDelimited, kLengthPrefixed };

inline constexpr char kLengthSeparator = '#';
// The empty token is written as this text in both encodings.
inline constexpr std::string_view kNullToken = "null";

// The most bytes a length prefix takes (digits and "#").
inline constexpr std::size_t kMaxPrefixLength = hex::kMaxDigits + 1;

// Writes the length prefix of a token of `length` bytes ("1a#" for 26) into
// out, which holds kMaxPrefixLength bytes, and returns its length. A length
// of 0 gives "4#", the prefix of "null". Prefixes of tokens shorter than 256
// bytes, nearly all, are written without a loop or a call (rows
// write/ours_prefixed/S, M, L).
inline std::size_t formatLengthPrefix(std::size_t length, char* out) {
  if (length == 0) length = kNullToken.size();
  if (length < 16) {
    out[0] = hex::kDigits[length];
    out[1] = kLengthSeparator;
    return 2;
  }
  if (length < 256) {
    out[0] = hex::kDigits[length >> 4];
    out[1] = hex::kDigits[length & 15];
    out[2] = kLengthSeparator;
    return 3;
  }
  const std::size_t digits = hex::format(length, out);
  out[digits] = kLengthSeparator;
  return digits + 1;
}

// Copies n bytes, kWidth <= n <= 2 * kWidth, as two moves of kWidth bytes
// that overlap in the middle.
template <std::size_t kWidth>
inline void copyOverlapping(char* to, const char* from, std::size_t n) {
  char head[kWidth], tail[kWidth];
  std::memcpy(head, from, kWidth);
  std::memcpy(tail, from + n - kWidth, kWidth);
  std::memcpy(to, head, kWidth);
  std::memcpy(to + n - kWidth, tail, kWidth);
}

// Copies n bytes. Short texts (most tokens and values) take a few moves
// instead of a call; every access stays inside the n bytes of either side.
// Kept for rows write/ours_delimited/S and read/ours_delimited_tree/S: values
// are mostly a few bytes, where a memcpy call costs more than the copy.
inline void copyBytes(char* to, const char* from, std::size_t n) {
  if (n > 32) {
    std::memcpy(to, from, n);
  } else if (n >= 16) {
    copyOverlapping<16>(to, from, n);
  } else if (n >= 8) {
    copyOverlapping<8>(to, from, n);
  } else if (n >= 4) {
    copyOverlapping<4>(to, from, n);
  } else if (n >= 2) {
    copyOverlapping<2>(to, from, n);
  } else if (n == 1) {
    to[0] = from[0];
  }
}

// Writes one token at `at`: the token (kNullToken when empty) followed by
// `delimiter`, or its length prefix and the token. `at` must have room for
// encodedSize() bytes. Returns the bytes written.
inline std::size_t encodeToken(Encoding encoding, std::string_view delimiter,
                               std::string_view token, char* at) {
  if (token.empty()) token = kNullToken;
  if (encoding == Encoding::kLengthPrefixed) {
    const std::size_t prefix = formatLengthPrefix(token.size(), at);
    copyBytes(at + prefix, token.data(), token.size());
    return prefix + token.size();
  }
  copyBytes(at, token.data(), token.size());
  copyBytes(at + token.size(), delimiter.data(), delimiter.size());
  return token.size() + delimiter.size();
}
// The bytes encodeToken writes at most for a token of `size` bytes.
inline std::size_t encodedSize(std::size_t size, std::size_t delimiterLength) {
  return (size == 0 ? kNullToken.size() : size) + kMaxPrefixLength + delimiterLength;
}

// One bit per byte of the 64 bytes at p that equal c. The SSE2 form is the
// one used on x86-64; the scalar form is used elsewhere and is compiled
// everywhere so that tests compare the two on the same bytes.
std::uint64_t byteMask64Scalar(const char* p, char c);
#if defined(__SSE2__)
std::uint64_t byteMask64Sse2(const char* p, char c);
#endif
std::uint64_t byteMask64(const char* p, char c);

// Reports what a reader could not read. The reader holds one by reference
// and calls it; the caller decides where the report goes (the agent's log,
// a test's list). Message ids and types are those of the message catalogue;
// the parameters are the texts the message shows.
class Reporter {
 public:
  virtual ~Reporter() = default;
  virtual void report(int id, int type, std::string_view first, std::string_view second) = 0;
};

// Splits text into tokens from `position` on. The text is only read, never
// past its end. Copyable: a tokenizer is a position in a text.
class Tokenizer {
 public:
  // Delimited: every character of `delimiters` separates tokens (an empty set
  // makes the rest of the text one token).
  static Tokenizer delimited(std::string_view text, std::string_view delimiters,
                             std::size_t position = 0) {
    return Tokenizer(text, Encoding::kDelimited, delimiters, position);
  }
  static Tokenizer lengthPrefixed(std::string_view text, std::size_t position = 0) {
    return Tokenizer(text, Encoding::kLengthPrefixed, {}, position);
  }

  // The next token; false at the end of the text, and (length-prefixed) at a
  // malformed length field, which ends the text for good.
  HB_ALWAYS_INLINE bool next(std::string_view* token) {
    if (encoding_ == Encoding::kLengthPrefixed) return nextPrefixed(token);
    if (single_) return nextDelimited(token);
    return nextInSet(token);
  }
  // next() for a caller that knows the encoding (and, delimited, that there
  // is one delimiter character): one test less per token in the record
  // readers (rows read/ours_delimited/M and read/ours_prefixed/M).
  HB_ALWAYS_INLINE bool nextSingleDelimited(std::string_view* token) {
    return nextDelimited(token);
  }
  HB_ALWAYS_INLINE bool nextLengthPrefixed(std::string_view* token) {
    return nextPrefixed(token);
  }
  bool singleDelimiter() const { return single_; }
  // Whether next() would find a token now.
  bool hasMore() const;

  std::size_t position() const { return position_; }
  bool malformed() const { return malformed_; }
  std::size_t remaining() const { return position_ < size_ ? size_ - position_ : 0; }
  Encoding encoding() const { return encoding_; }

 private:
  Tokenizer(std::string_view text, Encoding encoding, std::string_view delimiters,
            std::size_t position)
      : data_(text.data()),
        size_(text.size()),
        delimiters_(delimiters),
        position_(position),
        encoding_(encoding),
        single_(delimiters.size() == 1),
        delimiter_(delimiters.size() == 1 ? delimiters[0] : '\0') {}

  // One delimiter character: the delimiters of a 64-byte block are found at
  // once as a bit mask and kept, so each block is examined once however many
  // tokens it holds (rows read/ours_delimited/S, M, L).
  HB_ALWAYS_INLINE bool nextDelimited(std::string_view* token) {
    const std::size_t end = size_;
    std::size_t start = position_;
    while (start < end && data_[start] == delimiter_) ++start;
    if (start >= end) {
      position_ = end;
      return false;
    }
    const std::size_t from = start + 1;
    const std::uint64_t bits = (from & ~std::size_t{63}) == blockStart_
                                   ? blockBits_ & (~std::uint64_t{0} << (from & 63))
                                   : 0;
    const std::size_t stop = bits != 0
                                 ? blockStart_ + static_cast<std::size_t>(__builtin_ctzll(bits))
                                 : findDelimiter(from);
    *token = std::string_view(data_ + start, stop - start);
    position_ = stop == end ? end : stop + 1;
    return true;
  }

  // One or two digits and "#", decided without a loop, cover nearly every
  // token (rows read/ours_prefixed/S, M, L); the rest goes the long way.
  HB_ALWAYS_INLINE bool nextPrefixed(std::string_view* token) {
    const std::size_t field = position_;
    const std::size_t end = size_;
    if (!malformed_ && field < end && end - field >= 3) {
      const auto* bytes = reinterpret_cast<const unsigned char*>(data_ + field);
      // The table's values are signed on purpose: -1 marks a byte that is no digit.
      // NOLINTBEGIN(bugprone-signed-char-misuse)
      const int d0 = hex::kDigitValue.values[bytes[0]];
      const int d1 = hex::kDigitValue.values[bytes[1]];
      // NOLINTEND(bugprone-signed-char-misuse)
      const bool one = bytes[1] == kLengthSeparator;
      const bool two = !one && d1 >= 0 && bytes[2] == kLengthSeparator;
      if (d0 >= 0 && (one || two)) {
        const std::size_t separator = field + (one ? 1 : 2);
        const auto n = static_cast<std::size_t>(one ? d0 : d0 * 16 + d1);
        if (n <= end - separator - 1) {
          *token = std::string_view(data_ + separator + 1, n);
          position_ = separator + 1 + n;
          return true;
        }
      }
    }
    return nextPrefixedSlow(token);
  }

  std::size_t findDelimiter(std::size_t from);
  bool nextInSet(std::string_view* token);
  bool nextPrefixedSlow(std::string_view* token);
  bool isDelimiter(char c) const { return delimiters_.find(c) != std::string_view::npos; }

  std::string_view text() const { return std::string_view(data_, size_); }

  const char* data_;
  std::size_t size_;
  std::string_view delimiters_;
  std::size_t position_;
  Encoding encoding_;
  bool single_;
  char delimiter_;
  bool malformed_ = false;
  std::size_t blockStart_ = SIZE_MAX;
  std::uint64_t blockBits_ = 0;
};

}  // namespace hbconnector::detail::codec

#endif  // HBCONNECTOR_SERIAL_CODEC_HPP_
