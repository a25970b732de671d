// Writes a Customer business object with its Address child token by token in
// both record encodings, reads both texts back token by token and prints them
// with control characters shown visibly.
//
// Exit status 0 only when both texts are exactly the expected record texts and
// both read back as the tokens written.
#include <hbconnector/string_message.hpp>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// The Customer's own tokens up to its child, then the Address child's tokens.
// The child has no verb: an empty token, written "null".
const std::vector<std::string> kCustomer = {
    "BusinessObject", "Customer", "1.0.0", "false", "Create", "en_US", "2", "Smith", "1"};
const std::vector<std::string> kAddress = {"BusinessObject", "Address", "1.0.0", "false", "",
                                           "en_US",          "1",       "Paris"};

const char kExpectedDelimited[] =
    "BusinessObject\x03"
    "Customer\x03"
    "1.0.0\x03"
    "false\x03"
    "Create\x03"
    "en_US\x03"
    "2\x03Smith\x03"
    "1\x03"
    "BusinessObject\x03"
    "Address\x03"
    "1.0.0\x03"
    "false\x03"
    "null\x03"
    "en_US\x03"
    "1\x03Paris\x03\x03";
const char kExpectedLengthPrefixed[] =
    "e#BusinessObject8#Customer5#1.0.05#false6#Create5#en_US1#25#Smith1#1"
    "e#BusinessObject7#Address5#1.0.05#false4#null5#en_US1#15#Paris";

std::string visible(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == 3) {
      out += "<ETX>";
    } else if (c == 4) {
      out += "<EOT>";
    } else if (c < 32 || c == 127) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

template <typename Message>
void appendTokens(Message& message, const std::vector<std::string>& tokens) {
  for (const std::string& token : tokens) message.append(token.c_str());
}

std::vector<std::string> readTokens(StringMessage& message) {
  std::vector<std::string> tokens;
  for (char* t = message.nextToken(); t != nullptr; t = message.nextToken()) tokens.push_back(t);
  return tokens;
}

// Prints one encoding's text and the tokens read back; true when both match.
bool report(const char* name, const std::string& text, const std::string& expected,
            StringMessage& reader, const std::vector<std::string>& expectedTokens) {
  std::printf("%s text (%zu bytes):\n  %s\n", name, text.size(), visible(text).c_str());
  const bool textOk = text == expected;
  if (!textOk) std::printf("  expected:\n  %s\n", visible(expected).c_str());
  const std::vector<std::string> tokens = readTokens(reader);
  std::printf("%s tokens read back (%zu):\n", name, tokens.size());
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    std::printf("  %2zu  %s\n", i + 1, visible(tokens[i]).c_str());
  }
  const bool tokensOk = tokens == expectedTokens;
  std::printf("%s: text %s, tokens %s\n\n", name, textOk ? "as expected" : "DIFFERS",
              tokensOk ? "as written" : "DIFFER");
  return textOk && tokensOk;
}

}  // namespace

int main() {
  std::vector<std::string> expectedTokens = kCustomer;
  for (const std::string& t : kAddress) expectedTokens.push_back(t.empty() ? "null" : t);

  // Delimited: the child's text, already ending in a delimiter, is one token.
  StringMessage address;
  appendTokens(address, kAddress);
  StringMessage customer;
  appendTokens(customer, kCustomer);
  customer.append(address.getText());
  StringMessage delimitedReader(customer.getText());

  // Length-prefixed: the child's encoded text is appended without a prefix.
  StringMessageI18N addressI18N;
  appendTokens(addressI18N, kAddress);
  StringMessageI18N customerI18N;
  appendTokens(customerI18N, kCustomer);
  customerI18N.appendRaw(addressI18N.getText());
  StringMessageI18N prefixedReader(customerI18N.getText());

  const bool delimitedOk =
      report("Delimited", customer.getText(), kExpectedDelimited, delimitedReader, expectedTokens);
  const bool prefixedOk = report("Length-prefixed", customerI18N.getText(), kExpectedLengthPrefixed,
                                 prefixedReader, expectedTokens);
  const bool ok = delimitedOk && prefixedOk;
  std::printf("%s\n",
              ok ? "Both encodings match the expected record texts." : "MISMATCH: see above.");
  return ok ? 0 : 1;
}
