// The one rule that turns the tracker library's time pairs into microseconds.
#include <gtest/gtest.h>

#include <climits>

#include "tracker/contract/tracker_records.h"

namespace okulon {
namespace {

TEST(TimeValue, CombinesSecondsAndMicrosecondsWithTheirSigns) {
    EXPECT_EQ(5000250, TimeInMicroseconds(5, 250));
    EXPECT_EQ(-1000000, TimeInMicroseconds(-1, 0));
    EXPECT_EQ(99999999, TimeInMicroseconds(100, -1));
    EXPECT_EQ(0, TimeInMicroseconds(0, 0));
}

TEST(TimeValue, NeverOverflowsThirtyTwoBits) {
    EXPECT_EQ(2147483647LL * 1000000 + 999999, TimeInMicroseconds(INT32_MAX, 999999));
    EXPECT_EQ(-2147483648LL * 1000000 - 2147483648LL, TimeInMicroseconds(INT32_MIN, INT32_MIN));
}

}  // namespace
}  // namespace okulon
