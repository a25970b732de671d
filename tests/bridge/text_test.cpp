// The two text conversions of the bridge: ascii8 <-> UTF-8 for agents that
// want 8-bit text, and the repair of bytes into the modified UTF-8 the JVM
// accepts.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "bridge/java_text.hpp"
#include "collections/text.hpp"
#include "hbconnector/encoding.hpp"

namespace {

using hbconnector::detail::characterBoundary;
using hbconnector::detail::isModifiedUtf8;
using hbconnector::detail::isModifiedUtf8Portable;
using hbconnector::detail::toModifiedUtf8;

std::string take(char* text) {
  std::unique_ptr<char[]> owned(text);
  return owned ? std::string(owned.get()) : std::string("<null>");
}

// An exactly sized heap copy, so the address sanitizer sees any read past the zero.
std::unique_ptr<char[]> exactCopy(const char* text) {
  const std::size_t n = std::strlen(text) + 1;
  std::unique_ptr<char[]> copy(new char[n]);
  std::memcpy(copy.get(), text, n);
  return copy;
}

TEST(EncodingTest, Ascii8AndUtf8ConvertBothWays) {
  EXPECT_EQ(utf8ToAscii8(nullptr), nullptr);
  EXPECT_EQ(ascii8ToUtf8(nullptr), nullptr);
  EXPECT_EQ(take(utf8ToAscii8("caf\xC3\xA9!")), "caf\xE9!");
  EXPECT_EQ(take(ascii8ToUtf8("caf\xE9!")), "caf\xC3\xA9!");
  EXPECT_EQ(take(utf8ToAscii8("plain ascii")), "plain ascii");
  EXPECT_EQ(take(ascii8ToUtf8("")), "");
  EXPECT_EQ(take(utf8ToAscii8("")), "");

  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::string utf8 = take(ascii8ToUtf8(all.c_str()));
  EXPECT_EQ(utf8.size(), 127u + 2u * 128u);
  EXPECT_EQ(take(utf8ToAscii8(utf8.c_str())), all);

  // U+20AC (E2 82 AC) reads as two bytes, (E2 * 64 + 02) mod 256, then AC pairs with 'x'.
  const std::string euro = take(utf8ToAscii8("\xE2\x82\xACx"));
  ASSERT_EQ(euro.size(), 2u);
  EXPECT_EQ(static_cast<unsigned char>(euro[0]), 0x82);
  EXPECT_EQ(static_cast<unsigned char>(euro[1]), ((0xACu * 64u) + ('x' & 0x3Fu)) & 0xFFu);
}

TEST(EncodingTest, LeadByteAtTheEndNeverReadsPastTheTerminator) {
  for (const char* input : {"\xC3", "ab\xC3", "\xFF"}) {
    std::unique_ptr<char[]> out(utf8ToAscii8(exactCopy(input).get()));
    ASSERT_NE(out, nullptr);
    EXPECT_LE(std::strlen(out.get()), std::strlen(input)) << input;
  }
  std::unique_ptr<char[]> out(utf8ToAscii8("ab\xC3"));
  EXPECT_EQ(static_cast<unsigned char>(out[2]), (0xC3u * 64u) & 0xFFu);
}

TEST(JavaTextTest, RepairKeepsWellFormedTextAndMendsTheRest) {
  for (const char* text : {"", "plain", "caf\xC3\xA9", "\xE2\x82\xAC 5", "nul\xC0\x80inside",
                           "\xED\xA0\xBD\xED\xB8\x80"}) {
    EXPECT_TRUE(isModifiedUtf8(text)) << text;
    EXPECT_EQ(toModifiedUtf8(text), text);
  }
  const struct {
    const char* in;
    const char* out;
  } mended[] = {
      {"caf\xE9", "caf\xC3\xA9"},
      {"\xFF\x80", "\xC3\xBF\xC2\x80"},
      {"a\xE2\x82", "a\xC3\xA2\xC2\x82"},                        // sequence cut by the end
      {"x\xF0\x9F\x98\x80y", "x\xED\xA0\xBD\xED\xB8\x80y"},      // U+1F600 as D83D DE00
      {"\xF4\x90\x80\x80", "\xC3\xB4\xC2\x90\xC2\x80\xC2\x80"},  // above U+10FFFF: byte by byte
  };
  for (const auto& c : mended) {
    EXPECT_FALSE(isModifiedUtf8(c.in)) << c.in;
    EXPECT_EQ(toModifiedUtf8(c.in), c.out) << c.in;
  }
  for (const char* input : {"\xC3", "\xE2\x82", "\xF0\x9F\x98", "ok\xF0"}) {
    EXPECT_TRUE(isModifiedUtf8(toModifiedUtf8(exactCopy(input).get()).c_str())) << input;
  }
}

TEST(JavaTextTest, CheckFindsEveryByteOutsideTheAsciiGroups) {
  // Long ASCII runs are skipped in groups: a sequence at any offset, including
  // one that straddles a group or sits in the short tail, must still be seen.
  const std::string ascii(200, 'a');
  for (std::size_t at = 0; at < ascii.size(); ++at) {
    const struct {
      const char* bytes;
      bool wellFormed;
    } inserts[] = {{"\xFF", false}, {"\xC3", false},    {"\xE2\x82", false},
                   {"\x80", false}, {"\xC3\xA9", true}, {"\xE2\x82\xAC", true}};
    for (const auto& [inserted, wellFormed] : inserts) {
      std::string text = ascii;
      text.insert(at, inserted);
      const auto copy = exactCopy(text.c_str());
      EXPECT_EQ(isModifiedUtf8(copy.get()), wellFormed) << at << " " << inserted;
      EXPECT_EQ(isModifiedUtf8(copy.get(), text.size()), wellFormed) << at << " " << inserted;
      // The portable form (no vector skip) decides every input the same way.
      EXPECT_EQ(isModifiedUtf8Portable(copy.get(), text.size()), wellFormed)
          << at << " " << inserted;
    }
  }
  // The length given is where checking stops, whatever follows.
  const std::string cut = ascii + std::string(1, '\0') + "\xFF";
  EXPECT_TRUE(isModifiedUtf8(cut.c_str(), ascii.size()));
}

TEST(JavaTextTest, CutsBeforeASplitCharacter) {
  const char* text = "ab\xE2\x82\xAC";
  EXPECT_EQ(characterBoundary(text, 5), 5u);
  for (std::size_t at : {2u, 3u, 4u}) EXPECT_EQ(characterBoundary(text, at), 2u) << at;
  EXPECT_EQ(characterBoundary("\xC3\xA9", 1), 0u);
  EXPECT_EQ(characterBoundary("\xF0\x9F\x98\x80", 3), 0u);
  EXPECT_EQ(characterBoundary("", 0), 0u);
}

}  // namespace

namespace {

using hbconnector::detail::joinSurrogatePairs;

// Joins in an exactly sized heap copy (text and its zero), so the address
// sanitizer sees any access past the terminating zero.
std::string joined(const std::string& text) {
  std::unique_ptr<char[]> copy(new char[text.size() + 1]);
  std::memcpy(copy.get(), text.c_str(), text.size() + 1);
  const std::size_t n = joinSurrogatePairs(copy.get(), text.size());
  EXPECT_EQ(copy[n], '\0');
  EXPECT_EQ(std::strlen(copy.get()), n);
  return std::string(copy.get(), n);
}

TEST(JoinSurrogatePairsTest, PairsBecomeFourByteUtf8AndTheRestStays) {
  // U+1F600 between ASCII, at the ends, twice in a row, and U+10000/U+10FFFF.
  EXPECT_EQ(joined("A\xED\xA0\xBD\xED\xB8\x80"), "A\xF0\x9F\x98\x80");
  EXPECT_EQ(joined("\xED\xA0\xBD\xED\xB8\x80z\xED\xA0\xBD\xED\xB8\x80\xED\xA0\xBD\xED\xB8\x80"),
            "\xF0\x9F\x98\x80z\xF0\x9F\x98\x80\xF0\x9F\x98\x80");
  EXPECT_EQ(joined("\xED\xA0\x80\xED\xB0\x80|\xED\xAF\xBF\xED\xBF\xBF"),
            "\xF0\x90\x80\x80|\xF4\x8F\xBF\xBF");
  // Every result converts back to the JVM's form unchanged.
  EXPECT_EQ(toModifiedUtf8(joined("A\xED\xA0\xBD\xED\xB8\x80"
                                  "b")
                               .c_str()),
            "A\xED\xA0\xBD\xED\xB8\x80"
            "b");
  // No ED byte, U+0000 as C0 80, and BMP characters led by ED (U+D55C) stay.
  EXPECT_EQ(joined("plain \xC0\x80 caf\xC3\xA9"), "plain \xC0\x80 caf\xC3\xA9");
  EXPECT_EQ(joined("\xED\x95\x9C\xEA\xB8\x80"), "\xED\x95\x9C\xEA\xB8\x80");
  EXPECT_EQ(joined(""), "");
}

TEST(JoinSurrogatePairsTest, UnpairedSurrogatesStayAsTheyAreAndRoundTrip) {
  const std::string cases[] = {
      "\xED\xA0\xBD",                          // a high surrogate alone
      "x\xED\xB8\x80y",                        // a low surrogate alone
      "\xED\xB8\x80\xED\xA0\xBD",              // low before high: no pair
      "\xED\xA0\xBD\xED\xA0\xBD\xED\xB8\x80",  // two highs, the second paired
      "\xED\xA0\xBD\xED",                      // cut after the lead byte
      "\xED\xA0",                              // cut inside the first surrogate
      "\xED\xA0\xBD\xED\xB8",                  // cut inside the second surrogate
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(text);
    const std::string out = joined(text);
    if (text == cases[3]) {
      EXPECT_EQ(out, "\xED\xA0\xBD\xF0\x9F\x98\x80");
    } else {
      EXPECT_EQ(out, text);
    }
  }
  // A lone surrogate is well-formed for the JVM, so it goes back unchanged.
  EXPECT_TRUE(isModifiedUtf8(joined("x\xED\xB8\x80y").c_str()));
}

}  // namespace
