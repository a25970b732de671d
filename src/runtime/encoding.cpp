#include "hbconnector/encoding.hpp"

#include <cstring>
#include <new>

char* utf8ToAscii8(const char* text) {
  if (text == nullptr) return nullptr;
  const std::size_t length = std::strlen(text);
  char* out = new (std::nothrow) char[length + 1];
  if (out == nullptr) return nullptr;
  const auto* in = reinterpret_cast<const unsigned char*>(text);
  std::size_t o = 0;
  for (std::size_t i = 0; i < length;) {
    const unsigned char first = in[i];
    if (first < 0x80) {
      out[o++] = static_cast<char>(first);
      i += 1;
      continue;
    }
    // A lead byte as the last character pairs with the terminating zero,
    // which is still inside the text; the walk then ends without reading on.
    const unsigned char second = in[i + 1];
    out[o++] = static_cast<char>(((first * 64u) + (second & 0x3Fu)) & 0xFFu);
    i += 2;
  }
  out[o] = '\0';
  return out;
}

char* ascii8ToUtf8(const char* text) {
  if (text == nullptr) return nullptr;
  const std::size_t length = std::strlen(text);
  char* out = new (std::nothrow) char[2 * length + 1];
  if (out == nullptr) return nullptr;
  const auto* in = reinterpret_cast<const unsigned char*>(text);
  std::size_t o = 0;
  for (std::size_t i = 0; i <= length; ++i) {
    const unsigned char b = in[i];
    if (b < 0x80) {
      out[o++] = static_cast<char>(b);
    } else {
      out[o++] = static_cast<char>(0xC0u | (b >> 6));
      out[o++] = static_cast<char>(0x80u | (b & 0x3Fu));
    }
  }
  return out;
}
