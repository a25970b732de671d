// Writing record texts by hand in tests, independently of the library's
// writers, so that the expected bytes do not come from the code under test.
//
//   bars("BusinessObject|Customer|...|Paris||")   '|' stands for code 3
//   prefixed({"BusinessObject", "Customer"})        "e#BusinessObject8#Customer"
//   delimited({"a", "b"})                           "a\x03" "b\x03"
#ifndef HBCONNECTOR_TESTS_SUPPORT_RECORD_TEXT_HPP_
#define HBCONNECTOR_TESTS_SUPPORT_RECORD_TEXT_HPP_

#include <cstdio>
#include <string>
#include <vector>

namespace hbconnector::test {

// text with every '|' replaced by the character of code 3 (or delimiter).
inline std::string bars(std::string text, char delimiter = '\x03') {
  for (char& c : text) {
    if (c == '|') c = delimiter;
  }
  return text;
}

// Each token followed by the delimiter.
inline std::string delimited(const std::vector<std::string>& tokens, char delimiter = '\x03') {
  std::string text;
  for (const std::string& token : tokens) {
    text += token;
    text += delimiter;
  }
  return text;
}

// Each token as its lowercase hexadecimal byte length, "#", then its bytes.
inline std::string prefixed(const std::vector<std::string>& tokens) {
  std::string text;
  for (const std::string& token : tokens) {
    char length[32];
    std::snprintf(length, sizeof length, "%zx#", token.size());
    text += length;
    text += token;
  }
  return text;
}

// A text for the void* value parameters of the setters (which copy it).
inline char* txt(const char* text) { return const_cast<char*>(text); }

// The text of a slot known to hold one.
inline std::string slotText(const void* value) {
  return value != nullptr ? std::string(static_cast<const char*>(value)) : std::string("<unset>");
}

}  // namespace hbconnector::test

#endif  // HBCONNECTOR_TESTS_SUPPORT_RECORD_TEXT_HPP_
