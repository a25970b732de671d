#include "collections/decimal.hpp"

#include <climits>
#include <cstring>

namespace hbconnector::detail {

namespace {

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::size_t parseDecimal(std::string_view text, int* value) {
  std::size_t p = 0;
  const std::size_t end = text.size();
  while (p != end && isSpace(text[p])) ++p;
  bool negative = false;
  if (p != end && (text[p] == '+' || text[p] == '-')) {
    negative = text[p] == '-';
    ++p;
  }
  if (p == end || !isDigit(text[p])) return 0;
  // The magnitude stops growing once it passes the limit, so it never leaves
  // the range of long long however many digits follow.
  long long magnitude = 0;
  const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
  for (; p != end && isDigit(text[p]); ++p) {
    if (magnitude <= limit) magnitude = magnitude * 10 + (text[p] - '0');
  }
  if (magnitude > limit) magnitude = limit;
  *value = static_cast<int>(negative ? -magnitude : magnitude);
  return p;
}

const char* parseDecimal(const char* text, int* value) {
  if (text == nullptr) return nullptr;
  const std::size_t used = parseDecimal(std::string_view(text), value);
  return used == 0 ? nullptr : text + used;
}

int decimalToInt(const char* text) {
  int value = 0;
  if (text != nullptr) parseDecimal(std::string_view(text), &value);
  return value;
}

int decimalToInt(const char* data, std::size_t size) {
  int value = 0;
  parseDecimal(std::string_view(data, size), &value);
  return value;
}

}  // namespace hbconnector::detail
