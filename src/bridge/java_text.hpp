// Texts on their way into the JVM.
//
// The JVM builds strings from "modified UTF-8": UTF-8 in which U+0000 is the
// two bytes C0 80 and characters above U+FFFF are surrogate pairs of three
// bytes each. Texts from the JVM are already in that form and pass unchanged;
// texts that connector code makes may not be (8-bit "ascii8" text, standard
// four-byte UTF-8, stray bytes). toModifiedUtf8 turns any byte string into a
// well-formed one so that no malformed text ever reaches NewStringUTF.
#ifndef HBCONNECTOR_BRIDGE_JAVA_TEXT_HPP_
#define HBCONNECTOR_BRIDGE_JAVA_TEXT_HPP_

#include <cstddef>
#include <string>

namespace hbconnector::detail {

// Whether the zero-terminated text is well-formed modified UTF-8.
bool isModifiedUtf8(const char* text);
// The same for a text whose length is known: `length` bytes without a zero
// byte, followed by the terminating zero.
bool isModifiedUtf8(const char* text, std::size_t length);
// The same check without the vector skip over ASCII blocks (the form
// compilers without SSE2 build); for tests that compare the two.
bool isModifiedUtf8Portable(const char* text, std::size_t length);

// The text in modified UTF-8: well-formed sequences are kept, a four-byte
// sequence becomes its surrogate pair, and every byte that starts no
// well-formed sequence is taken as the 8-bit character of that code
// (U+0080..U+00FF), so 8-bit text arrives as the characters it stands for.
std::string toModifiedUtf8(const char* text);

// Texts on their way out of the JVM are turned into standard UTF-8 in place:
// each surrogate pair (a high surrogate ED A0..AF xx followed by a low one
// ED B0..BF xx, six bytes) becomes the character's four-byte sequence. A
// surrogate without its partner is kept as its three bytes, so that the text
// goes back to Java as the same string; C0 80 (U+0000) stays as it is.
// text holds length bytes followed by a zero byte; the result is the new
// length, with the terminating zero moved to it. Text without an ED byte is
// left untouched after one memchr over it.
std::size_t joinSurrogatePairs(char* text, std::size_t length);

}  // namespace hbconnector::detail

#endif  // HBCONNECTOR_BRIDGE_JAVA_TEXT_HPP_
