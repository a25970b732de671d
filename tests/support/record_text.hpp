// Record texts written by hand in tests, so that expected bytes never come
// from the code under test. Token lists are written "a|b|c" (split), and
// bars("a|b|") puts the character of code 3 (or `delimiter`) for each '|'.
#ifndef HBCONNECTOR_TESTS_SUPPORT_RECORD_TEXT_HPP_
#define HBCONNECTOR_TESTS_SUPPORT_RECORD_TEXT_HPP_

#include <cstdio>
#include <string>
#include <vector>

namespace hbconnector::test {

using Tokens = std::vector<std::string>;

inline Tokens split(const std::string& text) {
  Tokens tokens(1);
  for (char c : text) {
    if (c == '|') {
      tokens.emplace_back();
    } else {
      tokens.back().push_back(c);
    }
  }
  if (tokens.back().empty()) tokens.pop_back();
  return tokens;
}

inline std::string bars(std::string text, char delimiter = '\x03') {
  for (char& c : text) c = c == '|' ? delimiter : c;
  return text;
}

inline std::string delimited(const Tokens& tokens, char delimiter = '\x03') {
  std::string text;
  for (const std::string& token : tokens) text += token + delimiter;
  return text;
}

inline std::string prefixed(const Tokens& tokens) {
  std::string text;
  for (const std::string& token : tokens) {
    char length[32];
    std::snprintf(length, sizeof length, "%zx#", token.size());
    text += length + token;
  }
  return text;
}

inline Tokens firstTokens(const Tokens& tokens, std::size_t n) {
  return Tokens(tokens.begin(), tokens.begin() + static_cast<long>(n));
}

// For the void* value parameters of the setters (which copy the text).
inline char* txt(const char* text) { return const_cast<char*>(text); }

inline std::string slotText(const void* value) {
  return value != nullptr ? static_cast<const char*>(value) : "<unset>";
}

}  // namespace hbconnector::test

#endif  // HBCONNECTOR_TESTS_SUPPORT_RECORD_TEXT_HPP_
