#include "hbconnector/version.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string text(const Version& v) { return v.toString(); }

struct DefaultComponentGuard {
  int saved = Version::getDefaultComponent();
  ~DefaultComponentGuard() { Version::setDefaultComponent(saved); }
};

TEST(VersionTest, ParsingFollowsThreeNumberFormatWithDefaultComponent) {
  DefaultComponentGuard guard;
  EXPECT_EQ(text(Version("4.1")), "4.1.0");
  EXPECT_EQ(text(Version("-1.+2.3")), "-1.2.3");
  EXPECT_EQ(text(Version(" 4. 1")), "4.1.0");
  EXPECT_EQ(text(Version("4.1.0.7")), "4.1.0");
  EXPECT_EQ(text(Version("99999999999.-99999999999.1")), "2147483647.-2147483648.1");
  Version::setDefaultComponent(9);
  EXPECT_EQ(text(Version("4.1")), "4.1.9");
  EXPECT_EQ(text(Version("4.x.3")), "4.9.9");
  EXPECT_EQ(text(Version("4..1")), "4.9.9");
  EXPECT_EQ(text(Version("v4.1.0")), "9.9.9");
  EXPECT_EQ(text(Version(nullptr)), "9.9.9");
  EXPECT_EQ(text(Version("-")), "9.9.9");
}

TEST(VersionTest, CompareGivesFirstDifferingFieldDifference) {
  EXPECT_EQ(Version(4, 1, 0).compare(Version(4, 0, 7)), 1);
  EXPECT_EQ(Version(4, 0, 7).compare(Version(4, 1, 0)), -1);
  EXPECT_EQ(Version(3, 2, 9).compare(Version(3, 2, 1)), 8);
  EXPECT_EQ(Version(5, 0, 0).compare("3.9.9"), 2);
  EXPECT_EQ(Version(4, 1, 0).compare("4.1.0"), 0);
  EXPECT_EQ(Version(4, 1, 0).compareMajor(6), -2);
  EXPECT_EQ(Version(4, 1, 0).compareMinor(Version(0, 4, 0)), -3);
  EXPECT_EQ(Version(4, 1, 0).comparePoint(-3), 3);
  // Differences that do not fit an int keep their sign.
  EXPECT_EQ(Version(INT_MAX, 0, 0).compare(Version(INT_MIN, 0, 0)), INT_MAX);
  EXPECT_EQ(Version(0, 0, INT_MIN).compare(Version(0, 0, 1)), INT_MIN);
  EXPECT_EQ(Version(0, INT_MIN, 0).compareMinor(INT_MAX), INT_MIN);
}

TEST(VersionTest, StartUpChecks) {
  const Version cdk = Version::getCDKVersion();
  EXPECT_EQ(text(cdk), "4.1.0");
  for (const char* agent : {"4.1.0", "4.1"}) EXPECT_EQ(Version(agent).compare(cdk), 0) << agent;
  for (const char* agent : {"4.1.1", "4.2.0"}) EXPECT_NE(Version(agent).compare(cdk), 0) << agent;

  for (const char* ok : {"3.0.1", "3.5.0", "4.1.0", "5.0.0"})
    EXPECT_EQ(Version::checkConnectorVersion(ok), 0) << ok;
  for (const char* refused : {"3.0.0", "3", "3.0", "2.9.9", "x"})
    EXPECT_EQ(Version::checkConnectorVersion(refused), -1) << refused;
  EXPECT_EQ(Version::checkConnectorVersion(nullptr), -1);
  DefaultComponentGuard guard;
  Version::setDefaultComponent(1);
  EXPECT_EQ(Version::checkConnectorVersion("3"), 0);  // reads as 3.1.1
}

TEST(VersionTest, ToStringBufferBelongsToEachThread) {
  EXPECT_EQ(text(Version(INT_MIN, INT_MIN, INT_MIN)), "-2147483648.-2147483648.-2147483648");
  const char* mine = Version(1, 2, 3).toString();
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &mismatches] {
      for (int i = 0; i < 20000; ++i) {
        const Version v(t, i, -t * i);
        const std::string expected =
            std::to_string(t) + "." + std::to_string(i) + "." + std::to_string(-t * i);
        if (expected != v.toString()) ++mismatches[t];
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
  EXPECT_STREQ(mine, "1.2.3");
}

TEST(VersionTest, ProcessWideValues) {
  Version* stored = Version::getConnectorVersion();
  const Version saved = *stored;
  Version::setConnectorVersion(Version(7, 8, 9));
  EXPECT_EQ(Version::getConnectorVersion(), stored);
  EXPECT_EQ(text(*stored), "7.8.9");
  Version::setConnectorVersion(*stored);
  EXPECT_EQ(text(*stored), "7.8.9");
  Version::setConnectorVersion(saved);

  const char* before = Version::getSeparator();
  std::string setTo = "::";
  Version::setSeparator(setTo.c_str());
  setTo = "??";
  EXPECT_STREQ(Version::getSeparator(), "::");
  Version::setSeparator(nullptr);
  EXPECT_STREQ(Version::getSeparator(), "::");
  std::thread reader([before] {
    for (int i = 0; i < 1000; ++i) EXPECT_NE(Version::getSeparator()[0], '\0');
    EXPECT_STREQ(before, ".");  // earlier texts stay readable
  });
  for (int i = 0; i < 1000; ++i) Version::setSeparator(i % 2 ? "-" : "_");
  reader.join();
  Version::setSeparator(before);
  EXPECT_STREQ(Version::getSeparator(), ".");
}

}  // namespace
