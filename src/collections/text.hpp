// Owned copies of C texts, the one copy routine behind every text the library
// keeps in its own fields (object verbs and locales, slot texts, spec texts,
// connector names, subscription verbs), and the bounded formatting of the
// library's own trace and log lines.
#ifndef HBCONNECTOR_COLLECTIONS_TEXT_HPP_
#define HBCONNECTOR_COLLECTIONS_TEXT_HPP_

#include <cstdarg>
#include <cstddef>
#include <string>

#include "hbconnector/export.hpp"

namespace hbconnector::detail {

// A new[] copy of the first length bytes of data, zero-terminated; release
// with delete[].
char* copyText(const char* data, std::size_t length);
// A new[] copy of text; null gives null.
char* copyText(const char* text);

// The largest n <= length such that text[0, n) does not end inside a
// multi-byte sequence: where a long line must be cut, it is cut before the
// character that does not fit.
std::size_t characterBoundary(const char* text, std::size_t length);

// printf formatting into at most kTraceLineLimit - 1 bytes (messages.hpp): a
// longer line is cut before the first character that does not fit whole.
// Empty when the format fails.
std::string vformatBoundedLine(const char* format, va_list args);
std::string formatBoundedLine(const char* format, ...) HB_PRINTF_FORMAT(1, 2);

}  // namespace hbconnector::detail

#endif  // HBCONNECTOR_COLLECTIONS_TEXT_HPP_
