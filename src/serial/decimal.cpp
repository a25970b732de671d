#include "serial/decimal.hpp"

#include <climits>

namespace hbconnector::detail {

namespace {

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

const char* parseDecimal(const char* text, int* value) {
  if (text == nullptr) return nullptr;
  const char* p = text;
  while (isSpace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  if (!isDigit(*p)) return nullptr;
  // The magnitude stops growing once it passes the limit, so it never leaves
  // the range of long long however many digits follow.
  long long magnitude = 0;
  const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
  for (; isDigit(*p); ++p) {
    if (magnitude <= limit) magnitude = magnitude * 10 + (*p - '0');
  }
  if (magnitude > limit) magnitude = limit;
  *value = static_cast<int>(negative ? -magnitude : magnitude);
  return p;
}

int decimalToInt(const char* text) {
  int value = 0;
  parseDecimal(text, &value);
  return value;
}

int decimalToInt(const char* data, std::size_t size) {
  const char* p = data;
  const char* const end = data + size;
  while (p != end && isSpace(*p)) ++p;
  bool negative = false;
  if (p != end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  long long magnitude = 0;
  const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
  for (; p != end && isDigit(*p); ++p) {
    if (magnitude <= limit) magnitude = magnitude * 10 + (*p - '0');
  }
  if (magnitude > limit) magnitude = limit;
  return static_cast<int>(negative ? -magnitude : magnitude);
}

}  // namespace hbconnector::detail
