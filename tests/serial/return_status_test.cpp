#include "hbconnector/return_status.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>

#include "hbconnector/string_message.hpp"

namespace {

ReturnStatusDescriptor readRecord(const char* text) {
  StringMessage in(text, STATUS_DELIMITER);
  return ReturnStatusDescriptor(in);
}

TEST(ReturnStatusTest, RecordWithoutMessageRoundTrips) {
  ReturnStatusDescriptor status(-5, nullptr);
  std::unique_ptr<StringMessage> out(status.toStringMessage());
  EXPECT_EQ(std::string(out->getText()), "ReturnStatusDescriptor\x04-5\x04null\x04");
  EXPECT_EQ(std::string(out->getDelimiter()), STATUS_DELIMITER);
  ReturnStatusDescriptor back = readRecord(out->getText());
  EXPECT_EQ(back.getStatus(), -5);
  EXPECT_EQ(back.getErrorString(), nullptr);

  ReturnStatusDescriptor full(INT_MIN, "disk\x03 full");
  std::unique_ptr<StringMessage> fullOut(full.toStringMessage());
  ReturnStatusDescriptor fullBack = readRecord(fullOut->getText());
  EXPECT_EQ(fullBack.getStatus(), INT_MIN);
  EXPECT_STREQ(fullBack.getErrorString(), "disk\x03 full");

  ReturnStatusDescriptor empty(3, "");  // written "null", so it reads back as no message
  std::unique_ptr<StringMessage> emptyOut(empty.toStringMessage());
  EXPECT_EQ(readRecord(emptyOut->getText()).getErrorString(), nullptr);
}

TEST(ReturnStatusTest, ReadingConvertsStatusAndRecognisesOnlyLowerCaseNull) {
  ReturnStatusDescriptor letters = readRecord(
      "ReturnStatusDescriptor\x04"
      "abc\x04Null\x04");
  EXPECT_EQ(letters.getStatus(), 0);
  EXPECT_STREQ(letters.getErrorString(), "Null");
  EXPECT_EQ(readRecord("X\x04 42xyz\x04null\x04").getStatus(), 42);
  EXPECT_EQ(readRecord("X\x04"
                       "99999999999\x04")
                .getStatus(),
            INT_MAX);
  EXPECT_EQ(readRecord("X\x04-99999999999\x04").getStatus(), INT_MIN);

  ReturnStatusDescriptor tagOnly = readRecord("ReturnStatusDescriptor\x04");
  EXPECT_EQ(tagOnly.getStatus(), 0);
  EXPECT_EQ(tagOnly.getErrorString(), nullptr);
  ReturnStatusDescriptor noMessage = readRecord("X\x04-7");
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
