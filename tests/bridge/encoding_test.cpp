#include "hbconnector/encoding.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

std::string take(char* text) {
  std::unique_ptr<char[]> owned(text);
  return owned ? std::string(owned.get()) : std::string("<null>");
}

TEST(EncodingTest, NullGivesNull) {
  EXPECT_EQ(utf8ToAscii8(nullptr), nullptr);
  EXPECT_EQ(ascii8ToUtf8(nullptr), nullptr);
}

TEST(EncodingTest, TwoByteSequencesBecomeOneByteAndBack) {
  EXPECT_EQ(take(utf8ToAscii8("caf\xC3\xA9!")), "caf\xE9!");
  EXPECT_EQ(take(ascii8ToUtf8("caf\xE9!")), "caf\xC3\xA9!");
  EXPECT_EQ(take(utf8ToAscii8("plain ascii")), "plain ascii");
  EXPECT_EQ(take(ascii8ToUtf8("")), "");
  EXPECT_EQ(take(utf8ToAscii8("")), "");
}

TEST(EncodingTest, EveryEightBitCharacterSurvivesTheRoundTrip) {
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::string utf8 = take(ascii8ToUtf8(all.c_str()));
  EXPECT_EQ(utf8.size(), 127u + 2u * 128u);
  EXPECT_EQ(take(utf8ToAscii8(utf8.c_str())), all);
}

TEST(EncodingTest, ThreeByteSequenceIsReadAsTwoBytesThenALoneContinuation) {
  // U+20AC: E2 82 AC. (E2 * 64 + 02) mod 256 = 0x82; AC then pairs with 'x'.
  const std::string out = take(utf8ToAscii8("\xE2\x82\xACx"));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(static_cast<unsigned char>(out[0]), 0x82);
  EXPECT_EQ(static_cast<unsigned char>(out[1]), ((0xACu * 64u) + ('x' & 0x3Fu)) & 0xFFu);
}

TEST(EncodingTest, LeadByteAtTheEndNeverReadsPastTheTerminator) {
  // Exactly sized heap copies so that the address sanitizer sees any read
  // beyond the terminating zero.
  for (const char* input : {"\xC3", "ab\xC3", "\xFF"}) {
    const std::size_t n = std::strlen(input) + 1;
    std::unique_ptr<char[]> exact(new char[n]);
    std::memcpy(exact.get(), input, n);
    std::unique_ptr<char[]> out(utf8ToAscii8(exact.get()));
    ASSERT_NE(out, nullptr);
    EXPECT_LE(std::strlen(out.get()), n - 1) << input;
  }
  std::unique_ptr<char[]> out(utf8ToAscii8("ab\xC3"));
  EXPECT_EQ(static_cast<unsigned char>(out[2]), (0xC3u * 64u) & 0xFFu);
}

}  // namespace
