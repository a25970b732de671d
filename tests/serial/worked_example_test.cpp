// The Customer record with its Address child, built and read at token level in
// both encodings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hbconnector/string_message.hpp"

namespace {

const std::vector<std::string> kCustomerTokens = {
    "BusinessObject", "Customer", "1.0.0", "false", "Create", "en_US", "2", "Smith", "1"};
const std::vector<std::string> kAddressTokens = {"BusinessObject",
                                                 "Address",
                                                 "1.0.0",
                                                 "false",
                                                 "",  // no verb: written "null"
                                                 "en_US",
                                                 "1",
                                                 "Paris"};

std::vector<std::string> expectedTokens() {
  std::vector<std::string> all = kCustomerTokens;
  for (const std::string& t : kAddressTokens) all.push_back(t.empty() ? "null" : t);
  return all;
}

template <typename Message>
void appendAll(Message& m, const std::vector<std::string>& tokens) {
  for (const std::string& t : tokens) m.append(t.c_str());
}

std::vector<std::string> readAll(StringMessage& message) {
  std::vector<std::string> tokens;
  for (char* t = message.nextToken(); t != nullptr; t = message.nextToken()) tokens.push_back(t);
  return tokens;
}

TEST(WorkedExampleTest, DelimitedTextNestsTheChildAsOneToken) {
  StringMessage child;
  appendAll(child, kAddressTokens);
  StringMessage customer;
  appendAll(customer, kCustomerTokens);
  customer.append(child.getText());
  EXPECT_EQ(std::string(customer.getText()),
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
            "1\x03Paris\x03\x03");
  StringMessage in(customer.getText());
  EXPECT_EQ(readAll(in), expectedTokens());
}

TEST(WorkedExampleTest, LengthPrefixedTextNestsTheChildRaw) {
  StringMessageI18N child;
  appendAll(child, kAddressTokens);
  StringMessageI18N customer;
  appendAll(customer, kCustomerTokens);
  customer.appendRaw(child.getText());
  EXPECT_EQ(std::string(customer.getText()),
            "e#BusinessObject8#Customer5#1.0.05#false6#Create5#en_US1#25#Smith1#1"
            "e#BusinessObject7#Address5#1.0.05#false4#null5#en_US1#15#Paris");
  StringMessageI18N in(customer.getText(), static_cast<std::size_t>(customer.getLength()));
  EXPECT_EQ(in.getSize(), 17);
  EXPECT_EQ(readAll(in), expectedTokens());
}

}  // namespace
