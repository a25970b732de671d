#include "hbconnector/string_message.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> readAll(StringMessage& message) {
  std::vector<std::string> tokens;
  for (char* t = message.nextToken(); t != nullptr; t = message.nextToken()) tokens.push_back(t);
  return tokens;
}

// Restores the process-wide default buffer size whatever a test sets.
struct DefaultSizeGuard {
  int saved = StringMessage::getDefaultBufferSize();
  ~DefaultSizeGuard() { StringMessage::setDefaultBufferSize(saved); }
};

TEST(StringMessageTest, AppendWritesEachTokenWithDelimiterAndNullForEmpty) {
  StringMessage m;
  m.append("a");
  m.append("");
  m.append(static_cast<const char*>(nullptr));
  m.append("b");
  m.append(1);
  m.append(0);
  m.append(2);  // neither flag value: nothing
  m.append(-1);
  EXPECT_EQ(std::string(m.getText()),
            "a\x03null\x03null\x03"
            "b\x03true\x03"
            "false\x03");
  EXPECT_EQ(m.getLength(), 25);
  EXPECT_EQ(m.getSize(), 1024);
}

TEST(StringMessageTest, GrowthAddsTokenDelimiterAndDefaultSize) {
  StringMessage big;
  big.append(std::string(2000, 'x').c_str());
  EXPECT_EQ(big.getSize(), 4049);
  EXPECT_EQ(big.getLength(), 2001);

  // Token, delimiter and zero exactly fill 10 bytes: no growth; one more byte grows.
  StringMessage exact(10);
  exact.append("abcdefgh");
  EXPECT_EQ(exact.getSize(), 10);
  exact.append("x");
  EXPECT_EQ(exact.getSize(), 10 + 1 + 1 + 1024);
  EXPECT_EQ(std::string(exact.getText()), "abcdefgh\x03x\x03");
  StringMessage over(10);
  over.append("abcdefghi");
  EXPECT_EQ(over.getSize(), 10 + 9 + 1 + 1024);

  // Appending the message's own text while it grows reads the old buffer safely.
  StringMessage self("abc");
  EXPECT_EQ(self.getSize(), 4);
  self.append(self.getText());
  EXPECT_EQ(std::string(self.getText()), "abcabc\x03");
}

TEST(StringMessageTest, DefaultBufferSizeSetsCapacityAndGrowthStep) {
  DefaultSizeGuard guard;
  StringMessage::setDefaultBufferSize(16);
  StringMessage m;
  EXPECT_EQ(m.getSize(), 16);
  m.append(std::string(20, 'y').c_str());
  EXPECT_EQ(m.getSize(), 16 + 20 + 1 + 16);
  StringMessage::setDefaultBufferSize(-5);
  EXPECT_EQ(StringMessage::getDefaultBufferSize(), 1);
  StringMessage tiny;
  tiny.append("hello");
  EXPECT_EQ(std::string(tiny.getText()), "hello\x03");
  StringMessage zero(0);
  EXPECT_EQ(zero.getSize(), 1);
  EXPECT_EQ(StringMessage(static_cast<const char*>(nullptr)).getLength(), 0);
}

TEST(StringMessageTest, ReaderCollapsesDelimiterRunsAndSkipsLeadingOnes) {
  StringMessage m("\x03\x03x\x03\x03y");
  EXPECT_STREQ(m.nextToken(), "x");
  EXPECT_STREQ(m.nextToken(), "y");
  EXPECT_EQ(m.nextToken(), nullptr);
  EXPECT_EQ(m.nextToken(), nullptr);

  StringMessage onlyDelimiters("\x03\x03\x03");
  EXPECT_FALSE(onlyDelimiters.hasMoreTokens());
  EXPECT_EQ(onlyDelimiters.nextToken(), nullptr);
}

TEST(StringMessageTest, HasMoreTokensAgreesWithNextToken) {
  StringMessage m(
      "a\x03"
      "b\x03\x03\x03");
  EXPECT_TRUE(m.hasMoreTokens());
  EXPECT_STREQ(m.nextToken(), "a");
  EXPECT_TRUE(m.hasMoreTokens());
  EXPECT_STREQ(m.nextToken(), "b");
  EXPECT_FALSE(m.hasMoreTokens());

  // A message that was only written reads its current text on the first read.
  StringMessage built;
  EXPECT_FALSE(built.hasMoreTokens());
  built.append("t");
  EXPECT_TRUE(built.hasMoreTokens());
  EXPECT_STREQ(built.nextToken(), "t");
  EXPECT_FALSE(built.hasMoreTokens());
}

TEST(StringMessageTest, TextAppendedAfterResetIsSeenOnlyAfterNextReset) {
  StringMessage m("a\x03");
  EXPECT_STREQ(m.nextToken(), "a");
  m.append("b");
  EXPECT_EQ(m.nextToken(), nullptr);
  EXPECT_FALSE(m.hasMoreTokens());
  m.resetTokenizer();
  EXPECT_EQ(readAll(m), (std::vector<std::string>{"a", "b"}));
}

TEST(StringMessageTest, TokensStayValidAndPositionsArePerMessage) {
  StringMessage first(
      "1\x03"
      "2\x03"
      "3\x03");
  StringMessage second("x\x03y\x03");
  char* one = first.nextToken();
  EXPECT_STREQ(second.nextToken(), "x");
  char* two = first.nextToken();
  EXPECT_STREQ(second.nextToken(), "y");
  EXPECT_STREQ(first.nextToken(), "3");
  EXPECT_STREQ(one, "1");
  EXPECT_STREQ(two, "2");
}

TEST(StringMessageTest, SetDelimiterCountsEveryCharacterAndRestartsReading) {
  StringMessage status("x\x04y\x03z\x04", STATUS_DELIMITER);
  EXPECT_EQ(readAll(status), (std::vector<std::string>{"x", "y\x03z"}));
  status.setDelimiter("\x03\x04");
  EXPECT_EQ(readAll(status), (std::vector<std::string>{"x", "y", "z"}));
  status.setDelimiter("");
  EXPECT_EQ(readAll(status), (std::vector<std::string>{"x\x04y\x03z\x04"}));

  StringMessage multi;
  multi.setDelimiter("\x03\x04");
  multi.append("p");
  EXPECT_EQ(std::string(multi.getText()), "p\x03\x04");
}

TEST(StringMessageTest, ManyTokensRoundTrip) {
  StringMessage out;
  std::vector<std::string> expected;
  for (int i = 0; i < 5000; ++i) {
    std::string token = i % 7 == 0 ? ""
                                   : std::string(static_cast<std::size_t>(i % 300),
                                                 static_cast<char>('a' + i % 26));
    out.append(token.c_str());
    expected.push_back(token.empty() ? "null" : token);
  }
  StringMessage in(out.getText());
  EXPECT_EQ(readAll(in), expected);
}

}  // namespace
