#include "bridge/java_text.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

using hbconnector::detail::characterBoundary;
using hbconnector::detail::isModifiedUtf8;
using hbconnector::detail::toModifiedUtf8;

TEST(JavaTextTest, WellFormedTextPassesUnchanged) {
  for (const char* text : {"", "plain", "caf\xC3\xA9", "\xE2\x82\xAC 5", "nul\xC0\x80inside",
                           "\xED\xA0\xBD\xED\xB8\x80"}) {
    EXPECT_TRUE(isModifiedUtf8(text)) << text;
    EXPECT_EQ(toModifiedUtf8(text), text);
  }
}

TEST(JavaTextTest, EightBitBytesBecomeTheirCharacters) {
  EXPECT_FALSE(isModifiedUtf8("caf\xE9"));
  EXPECT_EQ(toModifiedUtf8("caf\xE9"), "caf\xC3\xA9");
  EXPECT_EQ(toModifiedUtf8("\xFF\x80"), "\xC3\xBF\xC2\x80");
  // A lead byte whose sequence is cut by the end of the text.
  EXPECT_EQ(toModifiedUtf8("a\xE2\x82"), "a\xC3\xA2\xC2\x82");
}

TEST(JavaTextTest, FourByteSequencesBecomeSurrogatePairs) {
  // U+1F600 is D83D DE00.
  EXPECT_FALSE(isModifiedUtf8("\xF0\x9F\x98\x80"));
  EXPECT_EQ(toModifiedUtf8("x\xF0\x9F\x98\x80y"), "x\xED\xA0\xBD\xED\xB8\x80y");
  // Above U+10FFFF is not a character: the bytes are taken one by one.
  EXPECT_EQ(toModifiedUtf8("\xF4\x90\x80\x80"), "\xC3\xB4\xC2\x90\xC2\x80\xC2\x80");
}

TEST(JavaTextTest, RepairNeverReadsPastTheTerminator) {
  for (const char* input : {"\xC3", "\xE2\x82", "\xF0\x9F\x98", "ok\xF0"}) {
    const std::size_t n = std::strlen(input) + 1;
    std::unique_ptr<char[]> exact(new char[n]);
    std::memcpy(exact.get(), input, n);
    const std::string out = toModifiedUtf8(exact.get());
    EXPECT_TRUE(isModifiedUtf8(out.c_str())) << input;
  }
}

TEST(JavaTextTest, CutsBeforeASplitCharacter) {
  const char* text = "ab\xE2\x82\xAC";
  EXPECT_EQ(characterBoundary(text, 5), 5u);
  EXPECT_EQ(characterBoundary(text, 4), 2u);
  EXPECT_EQ(characterBoundary(text, 3), 2u);
  EXPECT_EQ(characterBoundary(text, 2), 2u);
  EXPECT_EQ(characterBoundary("\xC3\xA9", 1), 0u);
  EXPECT_EQ(characterBoundary("\xF0\x9F\x98\x80", 3), 0u);
  EXPECT_EQ(characterBoundary("", 0), 0u);
}

}  // namespace
