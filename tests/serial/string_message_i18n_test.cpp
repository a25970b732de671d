#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "hbconnector/string_message.hpp"

namespace {

std::vector<std::string> readAll(StringMessage& message) {
  std::vector<std::string> tokens;
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

TEST(StringMessageI18NTest, AppendWritesHexLengthPrefixes) {
  StringMessageI18N m;
  m.append("Smith");
  m.append("");
  m.append(static_cast<const char*>(nullptr));
  m.append(1);
  m.append(0);
  m.append(std::string(26, 'z').c_str());
  m.append(std::string(256, 'q').c_str());
  const std::string expected =
      "5#Smith4#null4#null4#true5#false1a#" + std::string(26, 'z') + "100#" + std::string(256, 'q');
  EXPECT_EQ(std::string(m.getText()), expected);

  char prefix[StringMessageI18N::kMaxPrefixLength];
  EXPECT_EQ(std::string(prefix, StringMessageI18N::formatLengthPrefix(0, prefix)), "4#");
  EXPECT_EQ(std::string(prefix, StringMessageI18N::formatLengthPrefix(0xabc, prefix)), "abc#");
  EXPECT_EQ(std::string(prefix, StringMessageI18N::formatLengthPrefix(SIZE_MAX, prefix)),
            "ffffffffffffffff#");
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
}

TEST(StringMessageI18NTest, ReadsTokensOfAnyByteButZero) {
  std::string all;
  for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
  StringMessageI18N out;
  out.append(all.c_str());
  out.append("#1#");
  out.append("");
  StringMessageI18N in(out.getText());
  EXPECT_EQ(in.getSize(), 3);
  EXPECT_TRUE(in.hasMoreTokens());
  EXPECT_EQ(readAll(in), (std::vector<std::string>{all, "#1#", "null"}));
  EXPECT_FALSE(in.hasMoreTokens());

  auto mixed = fromBytes("0#A#0123456789trailing");  // empty token, upper-case length
  EXPECT_EQ(readAll(*mixed), (std::vector<std::string>{"", "0123456789"}));
  auto counted = fromBytes("3#abc2#de");
  EXPECT_EQ(counted->getSize(), 2);
  EXPECT_EQ(StringMessageI18N("ab\0c", 4).getLength(), 2);
}

TEST(StringMessageI18NTest, MalformedLengthEndsTheMessageUntilReset) {
  const char* const cases[] = {"zz#abc",  "5#abc",
                               "#abc",    "-1#a",
                               " 1#a",    "ffffffffffffffff#x",
                               "1#a9#bc", "fffffffffffffffffffff0#xy"};
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    auto m = fromBytes(text);
    std::vector<std::string> tokens = readAll(*m);
    EXPECT_EQ(tokens.size(), std::string(text) == "1#a9#bc" ? 1u : 0u);
    EXPECT_EQ(m->nextToken(), nullptr);
    EXPECT_FALSE(m->hasMoreTokens());
    EXPECT_EQ(m->takeNextToken(), nullptr);
  }
  auto m = fromBytes("3#abcq#de");
  EXPECT_STREQ(m->nextToken(), "abc");
  EXPECT_EQ(m->nextToken(), nullptr);
  m->resetTokenizer();
  EXPECT_STREQ(m->nextToken(), "abc");

  auto noSeparator = fromBytes("3#abcxyz");
  EXPECT_EQ(readAll(*noSeparator), std::vector<std::string>{"abc"});
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

TEST(StringMessageI18NTest, ReadingSeesTextAppendedWhileReading) {
  StringMessageI18N m(8);
  m.append("a");
  EXPECT_STREQ(m.nextToken(), "a");
  m.append(std::string(100, 'b').c_str());  // reallocates the text
  EXPECT_EQ(std::string(m.nextToken()), std::string(100, 'b'));
  EXPECT_EQ(m.nextToken(), nullptr);
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
