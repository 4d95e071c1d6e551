#include "media/MediaTime.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <vector>

#include <gtest/gtest.h>

namespace lento {

// Readable failure output; internal so other test files may print times their own way.
static void PrintTo(const MediaTime& t, std::ostream* out) {
    *out << t.description() << (t.hasBeenRounded() ? " (rounded)" : "") << " epoch " << t.epoch;
}

namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kTwo62 = int64_t(1) << 62;

::testing::AssertionResult isTime(MediaTime t, int64_t value, int32_t timescale, bool rounded) {
    if (t.isNumeric() && t.value == value && t.timescale == timescale &&
        t.hasBeenRounded() == rounded) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << t.description() << (t.hasBeenRounded() ? " (rounded)" : "") << ", expected " << value
           << "/" << timescale << (rounded ? " (rounded)" : "");
}

MediaTime inEpoch(MediaTime t, int64_t epoch) {
    t.epoch = epoch;
    return t;
}

TEST(MediaTimeTest, ConstructionSecondsAndDescription) {
    EXPECT_TRUE(isTime(MediaTime::make(1200, 600), 1200, 600, false));
    EXPECT_FALSE(MediaTime::make(1, 0).isValid());
    EXPECT_FALSE(MediaTime::make(1, -600).isValid());
    EXPECT_FALSE(MediaTime{}.isValid());
    EXPECT_TRUE(isTime(MediaTime::zero(), 0, 1, false));

    // Put together by hand without a timescale: nothing to divide by.
    const MediaTime broken{5, 0, MediaTime::Valid, 0};
    EXPECT_FALSE(broken.isNumeric());
    EXPECT_TRUE(std::isnan(broken.seconds()));

    EXPECT_DOUBLE_EQ(MediaTime::make(-1, 4).seconds(), -0.25);
    EXPECT_TRUE(std::isnan(MediaTime::invalid().seconds()));
    EXPECT_TRUE(std::isnan(MediaTime::indefinite().seconds()));
    EXPECT_EQ(MediaTime::negativeInfinity().seconds(), -INFINITY);

    EXPECT_EQ(MediaTime::make(1200, 600).description(), "1200/600 = 2.000s");
    EXPECT_EQ(MediaTime::make(-1, 3).description(), "-1/3 = -0.333s");
    EXPECT_EQ(MediaTime::indefinite().description(), "INDEFINITE");
}

TEST(MediaTimeTest, MakeWithSecondsRoundsToNearestAwayFromZero) {
    EXPECT_TRUE(isTime(MediaTime::makeWithSeconds(0.5, 1), 1, 1, true));
    EXPECT_TRUE(isTime(MediaTime::makeWithSeconds(-0.5, 1), -1, 1, true));
    EXPECT_TRUE(isTime(MediaTime::makeWithSeconds(2.5, 1), 3, 1, true));
    EXPECT_TRUE(isTime(MediaTime::makeWithSeconds(0.4, 1), 0, 1, true));
    EXPECT_TRUE(isTime(MediaTime::makeWithSeconds(1.0 / 3.0, 600), 200, 600, true));
    EXPECT_TRUE(isTime(MediaTime::makeWithSeconds(1e-300, 600), 0, 600, true));
    EXPECT_TRUE(isTime(MediaTime::makeWithSeconds(-0.0, 600), 0, 600, false));
    EXPECT_TRUE(isTime(MediaTime::makeWithSeconds(2.5, 2), 5, 2, false));

    EXPECT_FALSE(MediaTime::makeWithSeconds(std::nan(""), 600).isValid());
    EXPECT_FALSE(MediaTime::makeWithSeconds(1.0, 0).isValid());
    EXPECT_TRUE(MediaTime::makeWithSeconds(INFINITY, 600).isPositiveInfinity());
    EXPECT_TRUE(MediaTime::makeWithSeconds(-INFINITY, 600).isNegativeInfinity());
}

TEST(MediaTimeTest, MakeWithSecondsHalvesTimescaleOnOverflow) {
    // 1e19 does not fit at 1000; 5e18 does at 500.
    EXPECT_TRUE(isTime(MediaTime::makeWithSeconds(1e16, 1000), 5000000000000000000, 500, true));
    EXPECT_TRUE(isTime(MediaTime::makeWithSeconds(-1e16, 1000), -5000000000000000000, 500, true));
    EXPECT_TRUE(isTime(MediaTime::makeWithSeconds(-0x1p63, 1), kMin, 1, false));

    const MediaTime tooBig = MediaTime::makeWithSeconds(1e19, 600);
    EXPECT_TRUE(tooBig.isPositiveInfinity());
    EXPECT_TRUE(tooBig.hasBeenRounded());
}

TEST(MediaTimeTest, CompareIsExactWhereDoublesAgree) {
    // 999 * 2^52 / 999 and (1000 * 2^52 + 1) / 1000 both become 2^52 as doubles.
    const MediaTime a = MediaTime::make(999 * (int64_t(1) << 52), 999);
    const MediaTime b = MediaTime::make(1000 * (int64_t(1) << 52) + 1, 1000);
    ASSERT_EQ(a.seconds(), b.seconds());
    EXPECT_EQ(compare(a, b), -1);
    EXPECT_EQ(compare(b, a), 1);
    EXPECT_LT(MediaTime::make(-b.value, 1000), MediaTime::make(-a.value, 999));

    EXPECT_EQ(compare(MediaTime::make(1, 2), MediaTime::make(300, 600)), 0);
    EXPECT_EQ(compare(MediaTime::make(kMax, 1), MediaTime::make(kMax, 2)), 1);
}

TEST(MediaTimeTest, CompareOrdersSpecialTimesAndEpochs) {
    // Ascending.
    const std::vector<MediaTime> times = {
        MediaTime::negativeInfinity(),
        MediaTime::make(kMin, 1),
        MediaTime::make(-1, 600),
        MediaTime::make(kMax, 1),
        inEpoch(MediaTime::make(kMin, 1), 1),
        inEpoch(MediaTime::make(0, 1), 1),
        MediaTime::indefinite(),
        MediaTime::positiveInfinity(),
        MediaTime::invalid(),
    };
    for (size_t i = 0; i < times.size(); ++i) {
        for (size_t j = 0; j < times.size(); ++j) {
            const int expected = i < j ? -1 : (i > j ? 1 : 0);
            EXPECT_EQ(compare(times[i], times[j]), expected) << i << " vs " << j;
        }
    }
    EXPECT_EQ(MediaTime::invalid(), MediaTime::make(1, 0));
    EXPECT_EQ(MediaTime::positiveInfinity(), MediaTime::makeWithSeconds(1e19, 1));
}

TEST(MediaTimeTest, AddAndSubtractExact) {
    EXPECT_TRUE(isTime(MediaTime::make(1, 600) + MediaTime::make(2, 600), 3, 600, false));
    EXPECT_TRUE(isTime(MediaTime::make(1, 600) - MediaTime::make(2, 600), -1, 600, false));
    EXPECT_TRUE(isTime(MediaTime::make(1, 600) + MediaTime::make(1, 1000), 8, 3000, false));
    EXPECT_TRUE(isTime(MediaTime::make(1, 600) - MediaTime::make(1, 1000), 2, 3000, false));
    // Equal timescales above the maximum are kept.
    EXPECT_TRUE(isTime(MediaTime::make(1, 2000000000) + MediaTime::make(1, 2000000000), 2,
                       2000000000, false));
    // Subtracting the most negative value must not overflow on the way.
    EXPECT_TRUE(isTime(MediaTime::make(-1, 1) - MediaTime::make(kMin, 1), kMax, 1, false));

    const MediaTime rounded = MediaTime::makeWithSeconds(1.0 / 3.0, 600);
    EXPECT_TRUE(isTime(rounded + MediaTime::make(1, 600), 201, 600, true));
    EXPECT_TRUE(isTime(MediaTime::make(1, 1000) - rounded, -997, 3000, true));

    const MediaTime sum = inEpoch(MediaTime::make(1, 2), 4) + inEpoch(MediaTime::make(1, 3), 4);
    EXPECT_TRUE(isTime(sum, 5, 6, false));
    EXPECT_EQ(sum.epoch, 4);
    EXPECT_FALSE((inEpoch(MediaTime::make(1, 2), 4) + MediaTime::make(1, 2)).isValid());
}

TEST(MediaTimeTest, AddFallsBackToLargerTimescaleWithRounding) {
    // The least common multiple, about 1e18, is far above the maximum timescale.
    EXPECT_TRUE(isTime(MediaTime::make(1, 999999999) + MediaTime::make(1, 1000000000), 2,
                       1000000000, true));
    // At the common 3000 the value overflows; 2^62 + 1000/600 fits at 1000.
    EXPECT_TRUE(
        isTime(MediaTime::make(kTwo62, 1000) + MediaTime::make(1, 600), kTwo62 + 2, 1000, true));
    // Equal timescales whose sum overflows move to half the timescale.
    EXPECT_TRUE(isTime(MediaTime::make(kMax, 2) + MediaTime::make(kMax, 2), kMax, 1, true));
    EXPECT_TRUE(isTime(MediaTime::make(kMin, 2) - MediaTime::make(kMax, 2), -kMax - 1, 1, true));
    // Overflows at 999000, 1000 and 500; fits at 250.
    EXPECT_TRUE(isTime(MediaTime::make(kMax, 1000) + MediaTime::make(kMax, 999),
                       4613994169587761972, 250, true));

    const MediaTime beyond = MediaTime::make(kMax, 1) + MediaTime::make(1, 1);
    EXPECT_TRUE(beyond.isPositiveInfinity());
    EXPECT_TRUE(beyond.hasBeenRounded());
    EXPECT_TRUE((MediaTime::make(kMin, 1) - MediaTime::make(1, 1)).isNegativeInfinity());
}

TEST(MediaTimeTest, AddAndSubtractNonNumeric) {
    const MediaTime one = MediaTime::make(1, 1);
    const MediaTime inf = MediaTime::positiveInfinity();
    const MediaTime negInf = MediaTime::negativeInfinity();
    const MediaTime indefinite = MediaTime::indefinite();
    const MediaTime invalid = MediaTime::invalid();

    EXPECT_TRUE((inf + one).isPositiveInfinity());
    EXPECT_TRUE((one - inf).isNegativeInfinity());
    EXPECT_TRUE((one - negInf).isPositiveInfinity());
    EXPECT_TRUE((inf + inf).isPositiveInfinity());
    EXPECT_TRUE((inf - negInf).isPositiveInfinity());
    EXPECT_TRUE((inf + negInf).isIndefinite());
    EXPECT_TRUE((inf - inf).isIndefinite());
    EXPECT_TRUE((indefinite + one).isIndefinite());
    EXPECT_TRUE((inf - indefinite).isIndefinite());

    EXPECT_FALSE((invalid + one).isValid());
    EXPECT_FALSE((one - invalid).isValid());
    EXPECT_FALSE((indefinite - invalid).isValid());
}

TEST(MediaTimeTest, Multiply) {
    EXPECT_TRUE(isTime(MediaTime::make(3, 600) * -2, -6, 600, false));
    EXPECT_TRUE(isTime(MediaTime::make(3, 600) * 0, 0, 600, false));
    // 2^64 and 2^63 overflow at 1000 and 500.
    EXPECT_TRUE(isTime(MediaTime::make(kTwo62, 1000) * 4, kTwo62, 250, true));
    EXPECT_TRUE(isTime(MediaTime::make(kMin, 2) * -1, kTwo62, 1, true));
    EXPECT_TRUE(isTime(MediaTime::makeWithSeconds(0.1, 10) * 3, 3, 10, true));
    EXPECT_TRUE((MediaTime::make(kMax, 1) * 2).isPositiveInfinity());
    EXPECT_TRUE((MediaTime::make(kMax, 1) * -2).isNegativeInfinity());

    EXPECT_TRUE((MediaTime::positiveInfinity() * -1).isNegativeInfinity());
    EXPECT_TRUE((MediaTime::negativeInfinity() * -3).isPositiveInfinity());
    EXPECT_TRUE((MediaTime::positiveInfinity() * 0).isIndefinite());
    EXPECT_TRUE((MediaTime::indefinite() * 2).isIndefinite());
    EXPECT_FALSE((MediaTime::invalid() * 2).isValid());
}

TEST(MediaTimeTest, ConvertScale) {
    EXPECT_TRUE(isTime(MediaTime::make(1, 3).convertScale(600), 200, 600, false));
    EXPECT_TRUE(isTime(MediaTime::make(1, 1000).convertScale(600), 1, 600, true));
    EXPECT_TRUE(isTime(MediaTime::make(1, 2).convertScale(1), 1, 1, true));
    EXPECT_TRUE(isTime(MediaTime::make(-1, 2).convertScale(1), -1, 1, true));
    EXPECT_TRUE(
        isTime(MediaTime::makeWithSeconds(1.0 / 3.0, 600).convertScale(1200), 400, 1200, true));

    const MediaTime over = MediaTime::make(kMax, 1).convertScale(2);
    EXPECT_TRUE(over.isPositiveInfinity());
    EXPECT_TRUE(over.hasBeenRounded());
    EXPECT_TRUE(MediaTime::make(kMin, 1).convertScale(2).isNegativeInfinity());

    EXPECT_FALSE(MediaTime::make(1, 3).convertScale(0).isValid());
    EXPECT_TRUE(MediaTime::positiveInfinity().convertScale(600).isPositiveInfinity());
    EXPECT_FALSE(MediaTime::invalid().convertScale(600).isValid());
}

TEST(MediaTimeRangeTest, EndValidityAndEmptiness) {
    const MediaTimeRange range =
        MediaTimeRange::fromTimeToTime(MediaTime::make(600, 600), MediaTime::make(3, 1));
    EXPECT_TRUE(isTime(range.duration, 1200, 600, false));
    EXPECT_EQ(range.end(), MediaTime::make(3, 1));
    EXPECT_TRUE(range.isValid());
    EXPECT_FALSE(range.isEmpty());
    EXPECT_EQ(range, MediaTimeRange::make(MediaTime::make(1, 1), MediaTime::make(2, 1)));

    EXPECT_FALSE(
        MediaTimeRange::fromTimeToTime(MediaTime::make(2, 1), MediaTime::make(1, 1)).isValid());
    EXPECT_TRUE(MediaTimeRange::zero().isValid());
    EXPECT_TRUE(MediaTimeRange::zero().isEmpty());
    EXPECT_FALSE(MediaTimeRange::invalid().isValid());
    EXPECT_FALSE(MediaTimeRange::invalid().isEmpty());
    EXPECT_FALSE(MediaTimeRange::make(MediaTime::zero(), MediaTime::indefinite()).isValid());
    EXPECT_FALSE(MediaTimeRange::make(MediaTime::zero(), MediaTime::negativeInfinity()).isValid());
    EXPECT_FALSE(
        MediaTimeRange::make(MediaTime::zero(), inEpoch(MediaTime::make(1, 1), 2)).isValid());

    // Times in another epoch: the duration is a plain length and the end stays in that epoch.
    const MediaTimeRange later = MediaTimeRange::fromTimeToTime(inEpoch(MediaTime::make(1, 1), 3),
                                                                inEpoch(MediaTime::make(4, 1), 3));
    EXPECT_TRUE(later.isValid());
    EXPECT_EQ(later.end(), inEpoch(MediaTime::make(4, 1), 3));
}

TEST(MediaTimeRangeTest, ContainsTime) {
    const MediaTimeRange range = MediaTimeRange::make(MediaTime::make(1, 1), MediaTime::make(1, 1));
    EXPECT_TRUE(range.containsTime(MediaTime::make(600, 600)));
    EXPECT_TRUE(range.containsTime(MediaTime::make(1999, 1000)));
    EXPECT_FALSE(range.containsTime(MediaTime::make(2000, 1000)));
    EXPECT_FALSE(range.containsTime(MediaTime::make(999, 1000)));
    EXPECT_FALSE(range.containsTime(MediaTime::invalid()));
    EXPECT_FALSE(range.containsTime(MediaTime::indefinite()));
    EXPECT_FALSE(MediaTimeRange::zero().containsTime(MediaTime::zero()));
    EXPECT_FALSE(MediaTimeRange::make(MediaTime::make(2, 1), MediaTime::make(-1, 1))
                     .containsTime(MediaTime::make(3, 2)));

    const MediaTimeRange onwards =
        MediaTimeRange::make(MediaTime::make(1, 1), MediaTime::positiveInfinity());
    EXPECT_TRUE(onwards.isValid());
    EXPECT_TRUE(onwards.containsTime(MediaTime::make(kMax, 1)));
    EXPECT_FALSE(onwards.containsTime(MediaTime::positiveInfinity()));
    EXPECT_FALSE(onwards.containsTime(MediaTime::indefinite()));
    EXPECT_FALSE(onwards.containsTime(MediaTime::zero()));
}

} // namespace
} // namespace lento
