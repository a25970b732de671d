// The delimited token message and the return status record written with it.
#include "hbconnector/string_message.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "hbconnector/return_status.hpp"
#include "support/record_text.hpp"

namespace hbconnector::test {
namespace {

using Tokens = std::vector<std::string>;

Tokens readAll(StringMessage& message) {
  Tokens tokens;
  for (char* t = message.nextToken(); t != nullptr; t = message.nextToken()) tokens.push_back(t);
  return tokens;
}

TEST(StringMessageTest, AppendWritesEachTokenWithDelimiterAndNullForEmpty) {
  StringMessage m;
  m.append("a");
  m.append("");
  m.append(static_cast<const char*>(nullptr));
  m.append("b");
  for (int flag : {1, 0, 2, -1}) m.append(flag);  // neither flag value: nothing
  EXPECT_EQ(std::string(m.getText()), bars("a|null|null|b|true|false|"));
  EXPECT_EQ(m.getLength(), 25);
  EXPECT_EQ(m.getSize(), 1024);

  // A child record appended whole is one token followed by its parent's delimiter.
  StringMessage child;
  for (const char* t : {"Address", "", "Paris"}) child.append(t);
  StringMessage parent;
  parent.append("1");
  parent.append(child.getText());
  EXPECT_EQ(std::string(parent.getText()), bars("1|Address|null|Paris||"));
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
  EXPECT_EQ(std::string(exact.getText()), bars("abcdefgh|x|"));
  StringMessage over(10);
  over.append("abcdefghi");
  EXPECT_EQ(over.getSize(), 10 + 9 + 1 + 1024);

  // Appending the message's own text while it grows reads the old buffer safely.
  StringMessage self("abc");
  EXPECT_EQ(self.getSize(), 4);
  self.append(self.getText());
  EXPECT_EQ(std::string(self.getText()), bars("abcabc|"));

  const int saved = StringMessage::getDefaultBufferSize();
  StringMessage::setDefaultBufferSize(16);
  StringMessage m;
  EXPECT_EQ(m.getSize(), 16);
  m.append(std::string(20, 'y').c_str());
  EXPECT_EQ(m.getSize(), 16 + 20 + 1 + 16);
  StringMessage::setDefaultBufferSize(-5);
  EXPECT_EQ(StringMessage::getDefaultBufferSize(), 1);
  StringMessage tiny;
  tiny.append("hello");
  StringMessage::setDefaultBufferSize(saved);
  EXPECT_EQ(std::string(tiny.getText()), bars("hello|"));
  EXPECT_EQ(StringMessage(0).getSize(), 1);
  EXPECT_EQ(StringMessage(static_cast<const char*>(nullptr)).getLength(), 0);
}

TEST(StringMessageTest, ReaderCollapsesDelimiterRunsAndHasMoreTokensAgrees) {
  StringMessage m(bars("||x||y").c_str());
  EXPECT_TRUE(m.hasMoreTokens());
  EXPECT_STREQ(m.nextToken(), "x");
  EXPECT_TRUE(m.hasMoreTokens());
  EXPECT_STREQ(m.nextToken(), "y");
  EXPECT_FALSE(m.hasMoreTokens());
  EXPECT_EQ(m.nextToken(), nullptr);
  EXPECT_EQ(m.nextToken(), nullptr);
  StringMessage trailing(bars("a|b|||").c_str());
  EXPECT_EQ(readAll(trailing), (Tokens{"a", "b"}));
  EXPECT_FALSE(trailing.hasMoreTokens());
  StringMessage onlyDelimiters(bars("|||").c_str());
  EXPECT_FALSE(onlyDelimiters.hasMoreTokens());
  EXPECT_EQ(onlyDelimiters.nextToken(), nullptr);

  // A message that was only written reads its current text on the first read;
  // text appended after reading started is seen only after a reset.
  StringMessage built;
  EXPECT_FALSE(built.hasMoreTokens());
  built.append("t");
  EXPECT_TRUE(built.hasMoreTokens());
  EXPECT_STREQ(built.nextToken(), "t");
  built.append("u");
  EXPECT_EQ(built.nextToken(), nullptr);
  EXPECT_FALSE(built.hasMoreTokens());
  built.resetTokenizer();
  EXPECT_EQ(readAll(built), (Tokens{"t", "u"}));

  // Tokens stay valid and positions are per message.
  StringMessage first(bars("1|2|3|").c_str());
  StringMessage second(bars("x|y|").c_str());
  char* one = first.nextToken();
  EXPECT_STREQ(second.nextToken(), "x");
  char* two = first.nextToken();
  EXPECT_STREQ(second.nextToken(), "y");
  EXPECT_STREQ(first.nextToken(), "3");
  EXPECT_STREQ(one, "1");
  EXPECT_STREQ(two, "2");
}

TEST(StringMessageTest, SetDelimiterCountsEveryCharacterAndRestartsReading) {
  StringMessage status(bars("x|y\x03z|", '\x04').c_str(), STATUS_DELIMITER);
  EXPECT_EQ(readAll(status), (Tokens{"x", "y\x03z"}));
  status.setDelimiter("\x03\x04");
  EXPECT_EQ(readAll(status), (Tokens{"x", "y", "z"}));
  status.setDelimiter("");
  EXPECT_EQ(readAll(status), (Tokens{bars("x|y\x03z|", '\x04')}));

  StringMessage multi;
  multi.setDelimiter("\x03\x04");
  multi.append("p");
  EXPECT_EQ(std::string(multi.getText()), "p\x03\x04");

  StringMessage out;
  Tokens expected;
  for (int i = 0; i < 5000; ++i) {
    const std::string token =
        i % 7 == 0 ? "" : std::string(i % 300u, static_cast<char>('a' + i % 26));
    out.append(token.c_str());
    expected.push_back(token.empty() ? "null" : token);
  }
  StringMessage in(out.getText());
  EXPECT_EQ(readAll(in), expected);
}

ReturnStatusDescriptor readStatus(const std::string& text) {
  StringMessage in(bars(text, '\x04').c_str(), STATUS_DELIMITER);
  return ReturnStatusDescriptor(in);
}

TEST(ReturnStatusTest, RecordRoundTripsAndReadingConverts) {
  std::unique_ptr<StringMessage> out(ReturnStatusDescriptor(-5, nullptr).toStringMessage());
  EXPECT_EQ(std::string(out->getText()), bars("ReturnStatusDescriptor|-5|null|", '\x04'));
  EXPECT_EQ(std::string(out->getDelimiter()), STATUS_DELIMITER);
  for (const char* message : {static_cast<const char*>(nullptr), "disk\x03 full", ""}) {
    for (int status : {-5, INT_MIN}) {
      std::unique_ptr<StringMessage> record(
          ReturnStatusDescriptor(status, message).toStringMessage());
      StringMessage in(record->getText(), STATUS_DELIMITER);
      ReturnStatusDescriptor back(in);
      EXPECT_EQ(back.getStatus(), status);
      // An empty message is written "null", so it reads back as none.
      if (message == nullptr || *message == '\0') {
        EXPECT_EQ(back.getErrorString(), nullptr);
      } else {
        EXPECT_STREQ(back.getErrorString(), message);
      }
    }
  }
  // Only lower-case "null" means no message; the status converts like atoi, clamped.
  ReturnStatusDescriptor letters = readStatus("ReturnStatusDescriptor|abc|Null|");
  EXPECT_EQ(letters.getStatus(), 0);
  EXPECT_STREQ(letters.getErrorString(), "Null");
  EXPECT_EQ(readStatus("X| 42xyz|null|").getStatus(), 42);
  EXPECT_EQ(readStatus("X|99999999999|").getStatus(), INT_MAX);
  EXPECT_EQ(readStatus("X|-99999999999|").getStatus(), INT_MIN);
  ReturnStatusDescriptor tagOnly = readStatus("ReturnStatusDescriptor|");
  EXPECT_EQ(tagOnly.getStatus(), 0);
  EXPECT_EQ(tagOnly.getErrorString(), nullptr);
  ReturnStatusDescriptor noMessage = readStatus("X|-7");
  EXPECT_EQ(noMessage.getStatus(), -7);
  EXPECT_EQ(noMessage.getErrorString(), nullptr);
}

TEST(ReturnStatusTest, DescriptorOwnsItsCopies) {
  std::string text = "original";
  ReturnStatusDescriptor a(1, text.c_str());
  text[0] = 'X';
  EXPECT_STREQ(a.getErrorString(), "original");
  ReturnStatusDescriptor b(a);
  ReturnStatusDescriptor c;
  c = a;
  a.setErrorString("changed");
  a.setStatus(9);
  EXPECT_STREQ(b.getErrorString(), "original");
  EXPECT_STREQ(c.getErrorString(), "original");
  EXPECT_EQ(c.getStatus(), 1);
  a.setErrorString(a.getErrorString());  // its own text
  EXPECT_STREQ(a.getErrorString(), "changed");
  c = c;
  EXPECT_STREQ(c.getErrorString(), "original");
  a.setErrorString(nullptr);
  EXPECT_EQ(a.getErrorString(), nullptr);
  EXPECT_EQ(ReturnStatusDescriptor("m").getStatus(), 0);
}

}  // namespace
}  // namespace hbconnector::test
