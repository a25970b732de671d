// The token codec on its own: the tokenizer over text it does not own, the
// length prefix both ways, and the two forms of the delimiter scan.
#include "serial/codec.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "collections/decimal.hpp"
#include "collections/hex.hpp"
#include "hbconnector/string_message.hpp"

namespace hbconnector::test {
namespace {

namespace codec = detail::codec;
namespace hex = detail::hex;

std::vector<std::string> all(codec::Tokenizer tokens) {
  std::vector<std::string> out;
  std::string_view token;
  while (tokens.next(&token)) out.emplace_back(token);
  return out;
}

// The delimited tokens as the rule says: maximal runs of non-delimiters.
std::vector<std::string> naiveSplit(const std::string& text, char delimiter) {
  std::vector<std::string> out;
  std::string current;
  for (char c : text) {
    if (c == delimiter) {
      if (!current.empty()) out.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) out.push_back(current);
  return out;
}

TEST(CodecTest, ScalarAndSse2DelimiterScansAgreeOnTheSameBytes) {
  std::mt19937 random(15);
  std::vector<std::string> blocks = {std::string(64, '\x03'), std::string(64, 'a'),
                                     std::string(64, '\0')};
  for (int n = 0; n < 200; ++n) {
    std::string block(64, ' ');
    // Few distinct bytes, so the delimiter is common; bytes above 127 too.
    for (char& c : block) c = static_cast<char>("\x03\x04#a\xff\x80"[random() % 6]);
    blocks.push_back(block);
  }
  for (const std::string& block : blocks) {
    for (char c : {'\x03', '\x04', '#', '\xff', '\0'}) {
      const std::uint64_t scalar = codec::byteMask64Scalar(block.data(), c);
      std::uint64_t expected = 0;
      for (int i = 0; i < 64; ++i) expected |= std::uint64_t{block[i] == c} << i;
      EXPECT_EQ(scalar, expected);
#if defined(__SSE2__)
      EXPECT_EQ(codec::byteMask64Sse2(block.data(), c), scalar);
#endif
      EXPECT_EQ(codec::byteMask64(block.data(), c), scalar);
    }
  }
}

TEST(CodecTest, DelimitedTokensAcrossBlocksMatchTheRule) {
  std::mt19937 random(3);
  for (int n = 0; n < 300; ++n) {
    // Texts of up to a few blocks with tokens of 0 to 150 bytes, so tokens
    // start, end and span across 64-byte blocks and the last partial block.
    std::string text;
    const int pieces = static_cast<int>(random() % 12);
    for (int k = 0; k < pieces; ++k) {
      text += std::string(random() % 150, static_cast<char>('a' + k));
      text += std::string(random() % 3 + 1, '\x03');
    }
    if (random() % 2) text += "tail";
    // An exact-size copy: reading past the view shows under the sanitizer.
    auto exact = std::make_unique<char[]>(text.size());
    std::copy(text.begin(), text.end(), exact.get());
    const std::string_view view(exact.get(), text.size());
    EXPECT_EQ(all(codec::Tokenizer::delimited(view, "\x03")), naiveSplit(text, '\x03')) << n;
  }
}

TEST(CodecTest, DelimiterSetsAndPositions) {
  EXPECT_EQ(all(codec::Tokenizer::delimited("\x03\x04x\x04\x03y\x03", "\x03\x04")),
            (std::vector<std::string>{"x", "y"}));
  // No delimiter character: the rest is one token.
  EXPECT_EQ(all(codec::Tokenizer::delimited("a\x03"
                                            "b",
                                            "")),
            (std::vector<std::string>{"a\x03"
                                      "b"}));
  auto tokens = codec::Tokenizer::delimited(
      "ab\x03"
      "cd\x03\x03",
      "\x03", 3);
  std::string_view token;
  EXPECT_TRUE(tokens.hasMore());
  ASSERT_TRUE(tokens.next(&token));
  EXPECT_EQ(token, "cd");
  EXPECT_EQ(tokens.position(), 6u);
  EXPECT_FALSE(tokens.hasMore());
  EXPECT_FALSE(tokens.next(&token));
  EXPECT_EQ(tokens.position(), 7u);
}

TEST(CodecTest, LengthPrefixBothWays) {
  char out[codec::kMaxPrefixLength];
  auto prefix = [&out](std::size_t n) {
    return std::string(out, codec::formatLengthPrefix(n, out));
  };
  EXPECT_EQ(prefix(0), "4#");  // the prefix of "null"
  EXPECT_EQ(prefix(5), "5#");
  EXPECT_EQ(prefix(15), "f#");
  EXPECT_EQ(prefix(16), "10#");
  EXPECT_EQ(prefix(26), "1a#");
  EXPECT_EQ(prefix(255), "ff#");
  EXPECT_EQ(prefix(256), "100#");
  EXPECT_EQ(prefix(SIZE_MAX), std::string(hex::kMaxDigits, 'f') + "#");
  for (std::size_t n :
       {std::size_t{1}, std::size_t{255}, std::size_t{256}, std::size_t{70000}, SIZE_MAX}) {
    const std::string text = prefix(n);
    std::size_t back = 0;
    EXPECT_EQ(hex::parse(std::string_view(text).substr(0, text.size() - 1), SIZE_MAX, &back),
              hex::Parse::kValid);
    EXPECT_EQ(back, n);
  }
  std::size_t value = 7;
  EXPECT_EQ(hex::parse("", 10, &value), hex::Parse::kInvalid);
  EXPECT_EQ(hex::parse("1g", 100, &value), hex::Parse::kInvalid);
  EXPECT_EQ(hex::parse("fffffffffffffffffffff", 100, &value), hex::Parse::kTooLarge);
  EXPECT_EQ(hex::parse("ffffffffffffffffffffz", 100, &value), hex::Parse::kInvalid);
  EXPECT_EQ(value, 7u);  // untouched unless valid
  EXPECT_EQ(hex::parse("A", 100, &value), hex::Parse::kValid);
  EXPECT_EQ(value, 10u);
}

TEST(CodecTest, EncodedTokensReadBackInBothEncodings) {
  const std::vector<std::string> tokens = {"Smith", "", std::string(300, 'x'),
                                           "a#\x03"
                                           "b",
                                           std::string(16, 'y')};
  for (auto encoding : {codec::Encoding::kDelimited, codec::Encoding::kLengthPrefixed}) {
    std::string text;
    for (const std::string& token : tokens) {
      std::string buffer(codec::encodedSize(token.size(), 1), '\0');
      buffer.resize(codec::encodeToken(encoding, "\x04", token, buffer.data()));
      text += buffer;
    }
    auto reader = encoding == codec::Encoding::kDelimited
                      ? codec::Tokenizer::delimited(text, "\x04")
                      : codec::Tokenizer::lengthPrefixed(text);
    const std::vector<std::string> expected = {"Smith", "null", tokens[2], tokens[3], tokens[4]};
    EXPECT_EQ(all(reader), expected);
  }
}

TEST(CodecTest, MalformedLengthFieldsEndTheTextWithoutReadingPastIt) {
  struct Case {
    std::string text;
    std::vector<std::string> tokens;
    bool malformed;
  };
  const Case cases[] = {
      {"3#abc2#de", {"abc", "de"}, false},
      {"0#3#abc", {"", "abc"}, false},                      // "0#" is the empty token
      {"3#abcA#0123456789", {"abc", "0123456789"}, false},  // either letter case
      {"3#abc9#abc", {"abc"}, true},                        // longer than the rest
      {"3#abcx#abc", {"abc"}, true},                        // not hexadecimal
      {"3#abc#abc", {"abc"}, true},                         // empty field
      {"3#abc12", {"abc"}, false},                          // no "#": the end
      {"ffffffffffffffffffff#a", {}, true},                 // far too long, no overflow
  };
  for (const Case& c : cases) {
    auto exact = std::make_unique<char[]>(c.text.size());
    std::copy(c.text.begin(), c.text.end(), exact.get());
    auto tokens = codec::Tokenizer::lengthPrefixed(std::string_view(exact.get(), c.text.size()));
    EXPECT_EQ(all(tokens), c.tokens) << c.text;
    std::string_view token;
    while (tokens.next(&token)) {
    }
    EXPECT_EQ(tokens.malformed(), c.malformed) << c.text;
    EXPECT_FALSE(tokens.hasMore()) << c.text;
    EXPECT_FALSE(tokens.next(&token)) << c.text;  // stays ended
  }
}

// The messages read with the same tokenizer as the record readers: a
// message's nextToken and its in-place view agree token for token.
TEST(CodecTest, MessagesAndTheirUnreadTextAgree) {
  StringMessage delimited("\x03\x03x\x03\x03y\x03z");
  EXPECT_STREQ(delimited.nextToken(), "x");
  EXPECT_EQ(delimited.unreadText(), "\x03y\x03z");
  delimited.consumeText(3);  // "\x03y\x03" read in place
  EXPECT_STREQ(delimited.nextToken(), "z");
  EXPECT_EQ(delimited.nextToken(), nullptr);

  StringMessageI18N prefixed("1#x2#yz1#w");
  EXPECT_STREQ(prefixed.nextToken(), "x");
  EXPECT_EQ(prefixed.unreadText(), "2#yz1#w");
  prefixed.consumeText(4);
  EXPECT_STREQ(prefixed.nextToken(), "w");
  StringMessageI18N broken("1#xz#y");
  EXPECT_STREQ(broken.nextToken(), "x");
  EXPECT_EQ(broken.nextToken(), nullptr);
  EXPECT_EQ(broken.unreadText(), "");  // ended by the malformed field
  broken.resetTokenizer();
  EXPECT_EQ(broken.unreadText(), "1#xz#y");
}

TEST(CodecTest, DecimalNumbersOverViewsStopAtTheirEnd) {
  int value = 99;
  EXPECT_EQ(detail::parseDecimal(std::string_view(" -12x"), &value), 4u);
  EXPECT_EQ(value, -12);
  EXPECT_EQ(detail::parseDecimal(std::string_view("+"), &value), 0u);
  EXPECT_EQ(value, -12);
  // Only the viewed digits count.
  EXPECT_EQ(detail::decimalToInt("12345", 3), 123);
  EXPECT_EQ(detail::decimalToInt("99999999999"), INT_MAX);
  EXPECT_EQ(detail::decimalToInt("-99999999999"), INT_MIN);
  EXPECT_EQ(detail::decimalToInt(nullptr), 0);
}

}  // namespace
}  // namespace hbconnector::test
