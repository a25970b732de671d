#include "collections/assert.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(AssertDeathTest, FailureReportsExpressionFileAndLine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const int line = __LINE__ + 1;
  EXPECT_DEATH(HB_ASSERT(1 + 1 == 3),
               "^Assertion failed: 1 \\+ 1 == 3, file assert_test\\.cpp, line " +
                   std::to_string(line) + "\n");
}

TEST(AssertTest, PassingCheckEvaluatesOnceAndContinues) {
  int evaluations = 0;
  HB_ASSERT(++evaluations == 1);
  EXPECT_EQ(evaluations, 1);
}

}  // namespace
