#include "collections/hex.hpp"

namespace hbconnector::detail::hex {

std::size_t format(std::size_t value, char* out) {
  char reversed[kMaxDigits];
  std::size_t digits = 0;
  do {
    reversed[digits++] = kDigits[value & 0xf];
    value >>= 4;
  } while (value != 0);
  for (std::size_t i = 0; i < digits; ++i) out[i] = reversed[digits - 1 - i];
  return digits;
}

Parse parse(std::string_view digits, std::size_t limit, std::size_t* value) {
  if (digits.empty()) return Parse::kInvalid;
  std::size_t sum = 0;
  bool tooLarge = false;
  for (const char c : digits) {
    const int digit = digitValue(c);
    if (digit < 0) return Parse::kInvalid;
    if (!tooLarge) {
      sum = sum * 16 + static_cast<std::size_t>(digit);
      tooLarge = sum > limit;
    }
  }
  if (tooLarge) return Parse::kTooLarge;
  *value = sum;
  return Parse::kValid;
}

}  // namespace hbconnector::detail::hex
