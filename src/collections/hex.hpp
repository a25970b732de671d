// Lowercase hexadecimal numbers as the length-prefixed token encoding writes
// and reads them: no leading zeros on writing, either letter case on reading.
#ifndef HBCONNECTOR_COLLECTIONS_HEX_HPP_
#define HBCONNECTOR_COLLECTIONS_HEX_HPP_

#include <cstddef>
#include <string_view>

namespace hbconnector::detail::hex {

// The most digits a std::size_t takes.
inline constexpr std::size_t kMaxDigits = 2 * sizeof(std::size_t);

inline constexpr char kDigits[] = "0123456789abcdef";

// The value of a hexadecimal digit in either case, -1 for any other byte.
struct DigitTable {
  signed char values[256];
};
inline constexpr DigitTable kDigitValue = [] {
  DigitTable table{};
  for (int c = 0; c < 256; ++c) {
    table.values[c] = c >= '0' && c <= '9'   ? static_cast<signed char>(c - '0')
                      : c >= 'a' && c <= 'f' ? static_cast<signed char>(c - 'a' + 10)
                      : c >= 'A' && c <= 'F' ? static_cast<signed char>(c - 'A' + 10)
                                             : static_cast<signed char>(-1);
  }
  return table;
}();

inline int digitValue(char c) { return kDigitValue.values[static_cast<unsigned char>(c)]; }

// Writes value in lowercase hexadecimal without leading zeros ("0" for 0) to
// out, which holds kMaxDigits bytes; returns the number of digits written.
std::size_t format(std::size_t value, char* out);

enum class Parse { kValid, kInvalid, kTooLarge };

// Reads digits as one number. An empty field or a byte that is no digit is
// kInvalid; a value above limit is kTooLarge (and the sum stops growing there,
// so nothing overflows; later digits are still checked: kInvalid wins). On
// kValid, value holds the number.
Parse parse(std::string_view digits, std::size_t limit, std::size_t* value);

}  // namespace hbconnector::detail::hex

#endif  // HBCONNECTOR_COLLECTIONS_HEX_HPP_
