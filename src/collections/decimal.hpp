// Decimal text to integer conversion: the one parser of decimal numbers in
// records, configuration values and version texts.
//
// Numbers in records are read the way the C library reads "%d": leading white
// space, an optional sign, then decimal digits. Unlike the C library, values
// beyond the range of int are clamped to it instead of being undefined.
#ifndef HBCONNECTOR_COLLECTIONS_DECIMAL_HPP_
#define HBCONNECTOR_COLLECTIONS_DECIMAL_HPP_

#include <cstddef>
#include <string_view>

namespace hbconnector::detail {

// Reads one number at the start of text. Returns the number of bytes up to
// and including its last digit and stores the (clamped) value, or returns 0
// and leaves value untouched when no digit follows the white space and sign.
std::size_t parseDecimal(std::string_view text, int* value);

// Reads one number at text. Returns the position after its last digit and
// stores the (clamped) value, or returns null and leaves value untouched when
// no digit follows the white space and sign. Null text gives null.
const char* parseDecimal(const char* text, int* value);

// The number at the start of text; 0 when there is none (or text is null).
int decimalToInt(const char* text);
// The same over the `size` bytes at data (not zero-terminated).
int decimalToInt(const char* data, std::size_t size);

}  // namespace hbconnector::detail

#endif  // HBCONNECTOR_COLLECTIONS_DECIMAL_HPP_
