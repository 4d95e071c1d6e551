#include "edit/TimeText.h"

#include <gtest/gtest.h>

namespace lento {
namespace {

TEST(TimeText, DropsTheFractionTowardMinusInfinityAndWrapsAtADay) {
    EXPECT_EQ(timeText(MediaTime::make(37259, 10)), "01:02:05");
    EXPECT_EQ(timeText(MediaTime::invalid()), "00:00:00");
    EXPECT_EQ(timeText(MediaTime::make(-1, 2)), "23:59:59");
    EXPECT_EQ(timeText(MediaTime::make(86400, 1)), "00:00:00");
    EXPECT_EQ(timeText(MediaTime::make(int64_t{86400} * 400 + 3725, 1)), "01:02:05");
}

} // namespace
} // namespace lento
