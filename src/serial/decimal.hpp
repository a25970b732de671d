// Decimal text to integer conversion shared by the record readers.
//
// Numbers in records are read the way the C library reads "%d": leading white
// space, an optional sign, then decimal digits. Unlike the C library, values
// beyond the range of int are clamped to it instead of being undefined.
#ifndef HBCONNECTOR_SERIAL_DECIMAL_HPP_
#define HBCONNECTOR_SERIAL_DECIMAL_HPP_

#include <cstddef>

namespace hbconnector::detail {

// Reads one number at text. Returns the position after its last digit and
// stores the (clamped) value, or returns null and leaves value untouched when
// no digit follows the white space and sign. Null text gives null.
const char* parseDecimal(const char* text, int* value);

// The number at the start of text; 0 when there is none (or text is null).
int decimalToInt(const char* text);
// The same over the `size` bytes at data (not zero-terminated).
int decimalToInt(const char* data, std::size_t size);

}  // namespace hbconnector::detail

#endif  // HBCONNECTOR_SERIAL_DECIMAL_HPP_
