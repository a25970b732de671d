#include "collections/text.hpp"

#include <cstdio>
#include <cstring>

#include "collections/messages.hpp"

namespace hbconnector::detail {

char* copyText(const char* data, std::size_t length) {
  char* copy = new char[length + 1];
  std::memcpy(copy, data, length);
  copy[length] = '\0';
  return copy;
}

char* copyText(const char* text) {
  return text != nullptr ? copyText(text, std::strlen(text)) : nullptr;
}

std::size_t characterBoundary(const char* text, std::size_t length) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  const auto isContinuation = [](unsigned char b) { return (b & 0xC0) == 0x80; };
  // Walk back over at most three continuation bytes to the sequence's lead.
  std::size_t lead = length;
  for (int back = 0; back < 4 && lead > 0; ++back) {
    --lead;
    if (!isContinuation(p[lead])) break;
  }
  if (lead == length) return length;
  const unsigned char b = p[lead];
  std::size_t needed = 1;
  if ((b & 0xE0) == 0xC0) {
    needed = 2;
  } else if ((b & 0xF0) == 0xE0) {
    needed = 3;
  } else if ((b & 0xF8) == 0xF0) {
    needed = 4;
  }
  return length - lead >= needed ? length : lead;
}

std::string vformatBoundedLine(const char* format, va_list args) {
  std::string line(kTraceLineLimit, '\0');
  const int written = std::vsnprintf(line.data(), line.size(), format, args);
  if (written < 0) return {};
  std::size_t length = static_cast<std::size_t>(written);
  if (length >= kTraceLineLimit) length = characterBoundary(line.data(), kTraceLineLimit - 1);
  line.resize(length);
  return line;
}

std::string formatBoundedLine(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string line = vformatBoundedLine(format, args);
  va_end(args);
  return line;
}

}  // namespace hbconnector::detail
