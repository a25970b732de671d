// Conversions between the JVM's UTF-8 form and 8-bit characters, used when
// the connector runs with the "CharacterEncoding" property "ascii8".
#ifndef HBCONNECTOR_ENCODING_HPP_
#define HBCONNECTOR_ENCODING_HPP_

#include "hbconnector/export.hpp"

// UTF-8 to 8-bit: each two-byte sequence becomes one byte ((first * 64) +
// (second & 0x3F)) mod 256; bytes below 0x80 are copied. Characters above
// U+00FF cannot be represented and give meaningless bytes. A new text the
// caller deletes with delete[]; null for null.
HB_EXPORT char* utf8ToAscii8(const char* text);
// 8-bit to UTF-8: bytes of 0x80 and above become two bytes. A new text the
// caller deletes with delete[]; null for null.
HB_EXPORT char* ascii8ToUtf8(const char* text);

#endif  // HBCONNECTOR_ENCODING_HPP_
