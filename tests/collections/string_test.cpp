#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hbconnector/collections.hpp"

namespace {

TEST(StringTest, HashXorsLittleEndianGroupsIntoTheLength) {
  EXPECT_EQ(String("abcde").hash(), 0x64636201u);
  EXPECT_EQ(String().hash(), 0u);
  EXPECT_EQ(String("abcdefgh").hash(), 8u ^ 0x64636261u ^ 0x68676665u);
  // Bytes above 0x7F count as unsigned; zero bytes count too.
  EXPECT_EQ(String::hashOf("\xff\x01", 2), 2u ^ 0x01ffu);
  EXPECT_EQ(String("a\0b", 3).hash(), 3u ^ 0x620061u);
}

TEST(StringTest, CopiesShareUntilOneChanges) {
  String original("Customer");
  String copy(original);
  EXPECT_EQ(original.useCount(), 2);
  EXPECT_EQ(copy.data(), original.data());
  copy.append("Address");
  EXPECT_STREQ(original.c_str(), "Customer");
  EXPECT_STREQ(copy.c_str(), "CustomerAddress");
  EXPECT_EQ(original.useCount(), 1);

  // Also when the shared text has spare room after an earlier append.
  String grown("abc");
  grown += 'd';
  String sharer(grown);
  sharer += 'e';
  EXPECT_STREQ(grown.c_str(), "abcd");
  EXPECT_STREQ(sharer.c_str(), "abcde");

  // Every empty string shares one representation.
  String empty1, empty2(""), empty3(static_cast<const char*>(nullptr));
  EXPECT_EQ(empty1.data(), empty2.data());
  EXPECT_EQ(empty1.data(), empty3.data());
  EXPECT_EQ(empty1.useCount(), 0);
  empty1 += "x";
  EXPECT_STREQ(empty1.c_str(), "x");
  EXPECT_STREQ(empty2.c_str(), "");
}

TEST(StringTest, AppendAndConcatenate) {
  String s("ab");
  s.append(s);
  s.append(s.c_str() + 1, 2);  // from its own bytes
  EXPECT_STREQ(s.c_str(), "ababba");
  for (int i = 0; i < 6; ++i) s += s;  // the source is freed by the reallocation
  EXPECT_EQ(s.length(), 6u * 64);
  EXPECT_EQ(s.view().substr(0, 12), "ababbaababba");
  s = s.c_str() + 378;
  EXPECT_STREQ(s.c_str(), "ababba");

  const String base("Ab");
  EXPECT_STREQ((base + String("Cd") + "Ef" + 'G').c_str(), "AbCdEfG");
  EXPECT_STREQ(base.c_str(), "Ab");
  const String mixed("Mixed Case 1 \xC4");
  EXPECT_STREQ(mixed.toUpper().c_str(), "MIXED CASE 1 \xC4");
  EXPECT_STREQ(mixed.toLower().c_str(), "mixed case 1 \xC4");
  EXPECT_STREQ(mixed.c_str(), "Mixed Case 1 \xC4");
}

TEST(StringTest, Comparisons) {
  EXPECT_LT(String("abc").compareTo(String("abd")), 0);
  EXPECT_LT(String("ab").compareTo(String("abc")), 0);
  EXPECT_GT(String("abc").compareTo(String("ab")), 0);
  EXPECT_EQ(String("abc").compareTo(String("abc")), 0);
  EXPECT_GT(String("\x80").compareTo(String("a")), 0);  // bytes compare unsigned
  EXPECT_LT(String("a\0a", 3).compareTo(String("a\0b", 3)), 0);
  EXPECT_FALSE(String("Name") == String("name"));
  EXPECT_TRUE(String("Apple") < String("apple"));

  EXPECT_EQ(String("Name").compareToIgnoreCase(String("nAME")), 0);
  EXPECT_LT(String("name").compareToIgnoreCase(String("NAMES")), 0);
  // '_' lies between the cases: 'A' ignoring case is 'a', above '_'.
  EXPECT_GT(String("A").compareToIgnoreCase(String("_")), 0);
}

TEST(StringTest, AtChecksTheBounds) {
  const String s("abc");
  EXPECT_EQ(s[2], 'c');
  EXPECT_DEATH(s.at(3), "Assertion failed");
  EXPECT_DEATH(String().at(0), "Assertion failed");
}

TEST(StringTest, ReadLineReadsWholeLinesOfAnyLength) {
  const std::string longLine(1300, 'x'), line511(511, 'a'), line512(512, 'b'), line513(513, 'c');
  std::istringstream in("first\n\n" + longLine + "\n" + line511 + "\n" + line512 + "\n" + line513 +
                        "\nlast without end");
  String line("stale");
  for (const std::string& expected : {std::string("first"), std::string(), longLine, line511,
                                      line512, line513, std::string("last without end")}) {
    ASSERT_TRUE(line.readLine(in));
    EXPECT_EQ(line.view(), expected);
  }
  EXPECT_FALSE(line.readLine(in));
  EXPECT_TRUE(line.isEmpty());

  std::istringstream only512(line512);
  ASSERT_TRUE(line.readLine(only512));
  EXPECT_EQ(line.view(), line512);
  EXPECT_FALSE(line.readLine(only512));
}

TEST(StringTest, CopiesAcrossThreadsKeepTheCountExact) {
  const String shared("shared across threads");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&shared] {
      for (int i = 0; i < 20000; ++i) {
        String copy(shared);
        String second = copy;
        second += 'x';
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(shared.useCount(), 1);
  EXPECT_STREQ(shared.c_str(), "shared across threads");
}

}  // namespace
