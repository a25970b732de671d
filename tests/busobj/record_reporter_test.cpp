// The record reader tells what it cannot read to the reporter it is handed;
// the library's own readers hand it the one that reports to the agent.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "busobj/busobj_access.hpp"
#include "busobj/record_codec.hpp"
#include "collections/decimal.hpp"
#include "hbconnector/business_object.hpp"
#include "hbconnector/string_message.hpp"
#include "support/fake_agent.hpp"
#include "support/record_text.hpp"
#include "support/spec_builder.hpp"

namespace hbconnector::test {
namespace {

class Collecting : public detail::codec::Reporter {
 public:
  void report(int id, int type, std::string_view first, std::string_view second) override {
    lines.push_back(std::to_string(id) + "/" + std::to_string(type) + ":" + std::string(first) +
                    "," + std::string(second));
  }
  std::vector<std::string> lines;
};

class RecordReporterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SpecBuilder("Line").attr("LineId", STRING).registerSpec();
    SpecBuilder("Order").attr("Id", STRING).attr("Lines", "Line", CARD_MULTIPLE).registerSpec();
    scope_.startVeneer();
  }

  // Reads text with the given reporter; whether it gave a valid object.
  static bool readWith(StringMessage& message, detail::codec::Reporter& reporter) {
    std::unique_ptr<BusinessObject> bo(detail::BusObjAccess::makeInvalid());
    detail::RecordTokens tokens(message, reporter);
    const bool read = detail::readRecord(tokens, *bo, 1);
    EXPECT_EQ(read, bo->getSpec() != nullptr);
    if (!read) {
      EXPECT_EQ(bo->getAttrValues(), nullptr);
      EXPECT_EQ(bo->getVerb(), nullptr);
      EXPECT_EQ(bo->getLocale(), nullptr);
    }
    return read;
  }

  FakeAgentScope scope_;
  RegistryGuard registry_;
};

TEST_F(RecordReporterTest, ProblemsGoToTheReporterHandedToTheReader) {
  const std::string texts[] = {
      "BusinessObject|Ghost|2.0.0|false|Create|en_US|0|",           // unknown type
      "BusinessObject|Order|1.0.0|false|Create|en_US|3|O1|0|x|",    // wrong count
      "BusinessObject|Order|1.0.0|false|Create|en_US|2|O1|1|true|"  // unknown child
      "BusinessObject|Nope|1.2.3|false|null|en_US|0|",
      "BusinessObject|Order|1.0.0|false|Create|en_US|",  // cut: no report
  };
  const std::vector<std::string> expected = {"64/6:2.0.0,Ghost", "64/6:1.0.0,Order",
                                             "64/6:1.2.3,Nope"};
  for (bool lengthPrefixed : {false, true}) {
    Collecting reporter;
    for (const std::string& text : texts) {
      std::unique_ptr<StringMessage> message(
          lengthPrefixed ? new StringMessageI18N(prefixed(split(text)).c_str())
                         : new StringMessage(bars(text).c_str()));
      EXPECT_FALSE(readWith(*message, reporter)) << text;
    }
    EXPECT_EQ(reporter.lines, expected);
  }
  // None of it reached the agent: the caller chose where reports go.
  EXPECT_TRUE(scope_.agent().generated(64).empty());

  // The library's own reader reports to the agent.
  StringMessage message(bars(texts[0]).c_str());
  BusinessObject bo(message);
  EXPECT_EQ(bo.getSpec(), nullptr);
  ASSERT_EQ(scope_.agent().generated(64).size(), 1u);
  EXPECT_EQ(scope_.agent().generated(64)[0].params, "2.0.0,Ghost");
}

TEST_F(RecordReporterTest, AGoodRecordReportsNothingAndLeavesTheMessageAfterIt) {
  Collecting reporter;
  StringMessage message(bars("BusinessObject|Order|1.0.0|false|Create|en_US|2|O1|1|true|"
                             "BusinessObject|Line|1.0.0|false|null|en_US|1|L1||after|")
                            .c_str());
  EXPECT_TRUE(readWith(message, reporter));
  EXPECT_TRUE(reporter.lines.empty());
  EXPECT_STREQ(message.nextToken(), "after");
}

// Counts of one or two bytes take a shortcut past the decimal parser; every
// such token must read as the parser reads it (digits, signs, blanks, junk).
TEST(RecordCountTest, ShortCountsReadAsTheDecimalParserReadsThem) {
  for (int first = 0; first < 256; ++first) {
    const char one[] = {static_cast<char>(first)};
    ASSERT_EQ(detail::countValue(detail::TokenView{one, 1}), detail::decimalToInt(one, 1)) << first;
    for (int second = 0; second < 256; ++second) {
      const char two[] = {static_cast<char>(first), static_cast<char>(second)};
      ASSERT_EQ(detail::countValue(detail::TokenView{two, 2}), detail::decimalToInt(two, 2))
          << first << "," << second;
    }
  }
  const char longer[] = "12345";
  EXPECT_EQ(detail::countValue(detail::TokenView{longer, 5}), 12345);
  EXPECT_EQ(detail::countValue(detail::TokenView{longer, 0}), 0);
}

}  // namespace
}  // namespace hbconnector::test
