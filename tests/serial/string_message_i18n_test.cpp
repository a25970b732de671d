// The length-prefixed token message.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "hbconnector/string_message.hpp"

namespace {

using Tokens = std::vector<std::string>;

Tokens readAll(StringMessage& message) {
  Tokens tokens;
  for (char* t = message.nextToken(); t != nullptr; t = message.nextToken()) tokens.push_back(t);
  return tokens;
}

// A message over exactly these bytes, copied from a buffer without a
// terminating zero so that any read past them is caught by the sanitizer.
std::unique_ptr<StringMessageI18N> fromBytes(const std::string& bytes) {
  std::unique_ptr<char[]> exact(new char[bytes.size()]);
  std::memcpy(exact.get(), bytes.data(), bytes.size());
  return std::make_unique<StringMessageI18N>(exact.get(), bytes.size());
}

TEST(StringMessageI18NTest, AppendWritesHexLengthPrefixesAndNestsChildrenRaw) {
  StringMessageI18N m;
  for (const char* t : {"Smith", "", static_cast<const char*>(nullptr)}) m.append(t);
  m.append(1);
  m.append(0);
  m.append(std::string(26, 'z').c_str());
  m.append(std::string(256, 'q').c_str());
  EXPECT_EQ(std::string(m.getText()), "5#Smith4#null4#null4#true5#false1a#" + std::string(26, 'z') +
                                          "100#" + std::string(256, 'q'));
  char prefix[StringMessageI18N::kMaxPrefixLength];
  EXPECT_EQ(std::string(prefix, StringMessageI18N::formatLengthPrefix(0, prefix)), "4#");
  EXPECT_EQ(std::string(prefix, StringMessageI18N::formatLengthPrefix(0xabc, prefix)), "abc#");
  EXPECT_EQ(std::string(prefix, StringMessageI18N::formatLengthPrefix(SIZE_MAX, prefix)),
            "ffffffffffffffff#");

  // The Customer record with its Address child appended raw: the reader sees
  // every token of both, the child's no-verb written "null".
  const Tokens customer = {"BusinessObject", "Customer", "1.0.0", "false", "Create",
                           "en_US",          "2",        "Smith", "1"};
  const Tokens address = {"BusinessObject", "Address", "1.0.0", "false", "", "en_US", "1", "Paris"};
  StringMessageI18N child, parent;
  for (const std::string& t : address) child.append(t.c_str());
  for (const std::string& t : customer) parent.append(t.c_str());
  parent.appendRaw(child.getText());
  EXPECT_EQ(std::string(parent.getText()),
            "e#BusinessObject8#Customer5#1.0.05#false6#Create5#en_US1#25#Smith1#1"
            "e#BusinessObject7#Address5#1.0.05#false4#null5#en_US1#15#Paris");
  StringMessageI18N in(parent.getText(), static_cast<std::size_t>(parent.getLength()));
  EXPECT_EQ(in.getSize(), 17);
  Tokens expected = customer;
  for (const std::string& t : address) expected.push_back(t.empty() ? "null" : t);
  EXPECT_EQ(readAll(in), expected);
}

TEST(StringMessageI18NTest, GrowthOfAppendAndAppendRaw) {
  StringMessageI18N token;
  token.append(std::string(2000, 'x').c_str());  // prefix "7d0#"
  EXPECT_EQ(token.StringMessage::getSize(), 1024 + 4 + 2000 + 1 + 1024);
  StringMessageI18N raw;
  raw.appendRaw(std::string(2000, 'x').c_str());
  EXPECT_EQ(raw.StringMessage::getSize(), 4049);

  StringMessageI18N exact(10);
  exact.append("abcdefg");  // "7#abcdefg" and the zero fill 10 bytes
  EXPECT_EQ(exact.StringMessage::getSize(), 10);
  exact.append("x");
  EXPECT_EQ(exact.StringMessage::getSize(), 10 + 2 + 1 + 1 + 1024);
  StringMessageI18N rawExact(10);
  rawExact.appendRaw("123456789");
  EXPECT_EQ(rawExact.StringMessage::getSize(), 10);
  rawExact.appendRaw("0", 1);
  EXPECT_EQ(rawExact.StringMessage::getSize(), 10 + 1 + 1 + 1024);
  rawExact.appendRaw("ab\0cd", 5);  // stops at the zero byte
  rawExact.appendRaw("");
  rawExact.appendRaw(nullptr);
  EXPECT_EQ(std::string(rawExact.getText()), "1234567890ab");

  // Reading sees text appended while reading, even when it moves the text.
  StringMessageI18N m(8);
  m.append("a");
  EXPECT_STREQ(m.nextToken(), "a");
  m.append(std::string(100, 'b').c_str());
  EXPECT_EQ(std::string(m.nextToken()), std::string(100, 'b'));
  EXPECT_EQ(m.nextToken(), nullptr);
}

TEST(StringMessageI18NTest, ReadsTokensOfAnyByteButZero) {
  std::string all;
  for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
  StringMessageI18N out;
  for (const char* t : {all.c_str(), "#1#", ""}) out.append(t);
  StringMessageI18N in(out.getText());
  EXPECT_EQ(in.getSize(), 3);
  EXPECT_TRUE(in.hasMoreTokens());
  EXPECT_EQ(readAll(in), (Tokens{all, "#1#", "null"}));
  EXPECT_FALSE(in.hasMoreTokens());

  EXPECT_EQ(readAll(*fromBytes("0#A#0123456789trailing")), (Tokens{"", "0123456789"}));
  EXPECT_EQ(fromBytes("3#abc2#de")->getSize(), 2);
  EXPECT_EQ(StringMessageI18N("ab\0c", 4).getLength(), 2);
  EXPECT_EQ(readAll(*fromBytes("3#abcxyz")), Tokens{"abc"});
}

TEST(StringMessageI18NTest, MalformedLengthEndsTheMessageUntilReset) {
  for (const char* text : {"zz#abc", "5#abc", "#abc", "-1#a", " 1#a", "ffffffffffffffff#x",
                           "1#a9#bc", "fffffffffffffffffffff0#xy"}) {
    SCOPED_TRACE(text);
    auto m = fromBytes(text);
    EXPECT_EQ(readAll(*m).size(), std::string(text) == "1#a9#bc" ? 1u : 0u);
    EXPECT_EQ(m->nextToken(), nullptr);
    EXPECT_FALSE(m->hasMoreTokens());
    EXPECT_EQ(m->takeNextToken(), nullptr);
  }
  auto m = fromBytes("3#abcq#de");
  EXPECT_STREQ(m->nextToken(), "abc");
  EXPECT_EQ(m->nextToken(), nullptr);
  m->resetTokenizer();
  EXPECT_STREQ(m->nextToken(), "abc");
}

TEST(StringMessageI18NTest, TokensBelongToTheMessageUntilReset) {
  StringMessageI18N out;
  for (int i = 0; i < 200; ++i) out.append(std::to_string(i).c_str());
  StringMessageI18N in(out.getText());
  std::vector<char*> kept;  // more than the first 50 slots and several blocks of 30
  for (char* t = in.nextToken(); t != nullptr; t = in.nextToken()) kept.push_back(t);
  ASSERT_EQ(kept.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(std::string(kept[i]), std::to_string(i));
  in.resetTokenizer();
  std::unique_ptr<char[]> owned(in.takeNextToken());
  EXPECT_STREQ(owned.get(), "0");
  EXPECT_STREQ(in.nextToken(), "1");
  EXPECT_EQ(readAll(in).size(), 198u);
}

TEST(StringMessageI18NTest, BorrowedTextIsReadInPlaceAndNeverWritten) {
  // Both classes over the caller's bytes: the same tokens as a copy gives,
  // a reset and a second read included, and an append moves the text into
  // a buffer of the message's own, leaving the caller's bytes as they were.
  char prefixed[] =
      "3#abc0#2#de\0"
      "2#zz";
  const std::string before(prefixed, sizeof prefixed);
  StringMessageI18N lent(StringMessage::Borrowed{}, prefixed, sizeof prefixed - 1);
  EXPECT_EQ(lent.getLength(), 11);  // reading stops at the zero byte
  EXPECT_EQ(readAll(lent), (Tokens{"abc", "", "de"}));
  lent.resetTokenizer();
  EXPECT_STREQ(lent.nextToken(), "abc");
  lent.append("more");
  EXPECT_STREQ(lent.getText(), "3#abc0#2#de4#more");
  EXPECT_EQ(std::string(prefixed, sizeof prefixed), before);

  char delimited[] = "one\x03two\x03";
  StringMessage plain(StringMessage::Borrowed{}, delimited, sizeof delimited - 1);
  EXPECT_EQ(plain.getText(), static_cast<const char*>(delimited));
  EXPECT_STREQ(plain.nextToken(), "one");
  EXPECT_STREQ(plain.nextToken(), "two");
  EXPECT_EQ(plain.nextToken(), nullptr);
  plain.append("three");
  EXPECT_STREQ(plain.getText(), "one\x03two\x03three\x03");
  EXPECT_STREQ(delimited, "one\x03two\x03");
}

TEST(StringMessageI18NDeathTest, ProgrammingErrorsStopTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  StringMessageI18N m;
  EXPECT_DEATH(m.append(2),
               "Assertion failed: flag == 0 \\|\\| flag == 1, file string_message\\.cpp");
  EXPECT_DEATH(m.setDelimiter(STATUS_DELIMITER),
               "Assertion failed: kLengthPrefixedTextHasNoDelimiter");
  StringMessageI18N tooLong("9#abc");
  EXPECT_DEATH(
      tooLong.getSize(),
      "Assertion failed: tokenLength <= bytesLeft, file string_message\\.cpp, line [0-9]+");
  StringMessageI18N notHex("x#abc");
  EXPECT_DEATH(notHex.getSize(), "Assertion failed: lengthFieldIsHex");
  StringMessage plain;
  EXPECT_DEATH(plain.setDelimiter(nullptr), "Assertion failed: delimiter != nullptr");
}

}  // namespace
