#include "media/MediaTime.h"

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
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

MediaTime t(int64_t value, int32_t timescale) {
    return MediaTime::make(value, timescale);
}
MediaTime rounded(MediaTime time) {
    time.flags |= MediaTime::HasBeenRounded;
    return time;
}
MediaTime inEpoch(MediaTime time, int64_t epoch) {
    time.epoch = epoch;
    return time;
}
const MediaTime kInvalid = MediaTime::invalid();
const MediaTime kIndefinite = MediaTime::indefinite();
const MediaTime kInf = MediaTime::positiveInfinity();
const MediaTime kNegInf = MediaTime::negativeInfinity();
// Put together by hand without a timescale: nothing to divide by.
const MediaTime kBroken{5, 0, MediaTime::Valid, 0};

// A computed time and the time it must be, alike in every field: a value at another timescale,
// a lost or wrong rounded mark, or another epoch all fail.
struct Case {
    const char* what;
    MediaTime got, want;
};
void expectTimes(std::initializer_list<Case> cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const MediaTime& got = c.got;
        const MediaTime& want = c.want;
        EXPECT_TRUE(got.value == want.value && got.timescale == want.timescale &&
                    got.flags == want.flags && got.epoch == want.epoch)
            << ::testing::PrintToString(got) << ", expected " << ::testing::PrintToString(want);
    }
}

TEST(MediaTimeTest, MakeRoundsHalfAwayFromZeroAndHalvesTheTimescaleOnOverflow) {
    expectTimes({
        {"zero timescale", t(1, 0), kInvalid},
        {"negative timescale", t(1, -600), kInvalid},
        {"half down", MediaTime::makeWithSeconds(-0.5, 1), rounded(t(-1, 1))},
        {"odd half", MediaTime::makeWithSeconds(2.5, 1), rounded(t(3, 1))},
        {"below half", MediaTime::makeWithSeconds(0.4, 1), rounded(t(0, 1))},
        {"third", MediaTime::makeWithSeconds(1.0 / 3.0, 600), rounded(t(200, 600))},
        {"tiny", MediaTime::makeWithSeconds(1e-300, 600), rounded(t(0, 600))},
        {"exact", MediaTime::makeWithSeconds(2.5, 2), t(5, 2)},
        {"NaN", MediaTime::makeWithSeconds(std::nan(""), 600), kInvalid},
        {"no timescale", MediaTime::makeWithSeconds(1.0, 0), kInvalid},
        {"+inf", MediaTime::makeWithSeconds(INFINITY, 600), kInf},
        {"-inf", MediaTime::makeWithSeconds(-INFINITY, 600), kNegInf},
        // 1e19 does not fit at 1000; 5e18 does at 500.
        {"halved", MediaTime::makeWithSeconds(1e16, 1000), rounded(t(5000000000000000000, 500))},
        {"halved negative", MediaTime::makeWithSeconds(-1e16, 1000),
         rounded(t(-5000000000000000000, 500))},
        {"most negative", MediaTime::makeWithSeconds(-0x1p63, 1), t(kMin, 1)},
        {"beyond 64 bits", MediaTime::makeWithSeconds(1e19, 600), rounded(kInf)},
    });
    EXPECT_FALSE(kBroken.isNumeric());
    EXPECT_TRUE(std::isnan(kBroken.seconds()));
    EXPECT_DOUBLE_EQ(t(-1, 4).seconds(), -0.25);
    EXPECT_TRUE(std::isnan(kInvalid.seconds()));
    EXPECT_TRUE(std::isnan(kIndefinite.seconds()));
    EXPECT_EQ(kNegInf.seconds(), -INFINITY);
    EXPECT_EQ(t(-1, 3).description(), "-1/3 = -0.333s");
    EXPECT_EQ(kIndefinite.description(), "INDEFINITE");
}

TEST(MediaTimeTest, CompareIsExactAndOrdersSpecialTimesAndEpochs) {
    // 999 * 2^52 / 999 and (1000 * 2^52 + 1) / 1000 both become 2^52 as doubles.
    const MediaTime a = t(999 * (int64_t(1) << 52), 999);
    const MediaTime b = t(1000 * (int64_t(1) << 52) + 1, 1000);
    ASSERT_EQ(a.seconds(), b.seconds());
    // Ascending.
    const std::vector<MediaTime> times = {kNegInf,
                                          t(kMin, 1),
                                          a,
                                          b,
                                          t(kMax, 2),
                                          t(kMax, 1),
                                          inEpoch(t(kMin, 1), 1),
                                          inEpoch(t(0, 1), 1),
                                          kIndefinite,
                                          kInf,
                                          kInvalid};
    for (size_t i = 0; i < times.size(); ++i) {
        for (size_t j = 0; j < times.size(); ++j) {
            const int expected = i < j ? -1 : (i > j ? 1 : 0);
            EXPECT_EQ(compare(times[i], times[j]), expected) << i << " vs " << j;
        }
    }
    EXPECT_EQ(compare(t(1, 2), t(300, 600)), 0);
    EXPECT_EQ(compare(kBroken, kInvalid), 0);
    EXPECT_EQ(compare(rounded(kInf), kInf), 0);
}

TEST(MediaTimeTest, ArithmeticIsExactOrFallsBackToALargerTimescaleMarkedRounded) {
    const MediaTime one = t(1, 1);
    const MediaTime third = MediaTime::makeWithSeconds(1.0 / 3.0, 600); // 200/600, rounded
    expectTimes({
        {"equal timescales above the maximum stay", t(1, 2000000000) + t(1, 2000000000),
         t(2, 2000000000)},
        {"minus the most negative", t(-1, 1) - t(kMin, 1), t(kMax, 1)},
        {"rounded operand", third + t(1, 600), rounded(t(201, 600))},
        {"rounded operand minus", t(1, 1000) - third, rounded(t(-997, 3000))},
        {"same epoch", inEpoch(t(1, 2), 4) + inEpoch(t(1, 3), 4), inEpoch(t(5, 6), 4)},
        {"other epoch", inEpoch(t(1, 2), 4) + t(1, 2), kInvalid},
        // The least common multiple, about 1e18, is far above the maximum timescale.
        {"multiple too large", t(1, 999999999) + t(1, 1000000000), rounded(t(2, 1000000000))},
        // At the common 3000 the value overflows; 2^62 + 1000/600 fits at 1000.
        {"multiple overflows", t(kTwo62, 1000) + t(1, 600), rounded(t(kTwo62 + 2, 1000))},
        {"equal timescales overflow", t(kMax, 2) + t(kMax, 2), rounded(t(kMax, 1))},
        // Overflows at 999000, 1000 and 500; fits at 250.
        {"halved twice", t(kMax, 1000) + t(kMax, 999), rounded(t(4613994169587761972, 250))},
        {"beyond timescale 1", t(kMax, 1) + one, rounded(kInf)},

        {"inf + 1", kInf + one, kInf},
        {"1 - inf", one - kInf, kNegInf},
        {"1 - -inf", one - kNegInf, kInf},
        {"inf - -inf", kInf - kNegInf, kInf},
        {"inf + -inf", kInf + kNegInf, kIndefinite},
        {"inf - inf", kInf - kInf, kIndefinite},
        {"inf - indefinite", kInf - kIndefinite, kIndefinite},
        {"invalid + 1", kInvalid + one, kInvalid},
        {"indefinite - invalid", kIndefinite - kInvalid, kInvalid},

        {"times negative", t(3, 600) * -2, t(-6, 600)},
        // 2^64 and 2^63 overflow at 1000 and 500.
        {"product halved", t(kTwo62, 1000) * 4, rounded(t(kTwo62, 250))},
        {"most negative negated", t(kMin, 2) * -1, rounded(t(kTwo62, 1))},
        {"rounded factor", MediaTime::makeWithSeconds(0.1, 10) * 3, rounded(t(3, 10))},
        {"product beyond", t(kMax, 1) * 2, rounded(kInf)},
        {"product below", t(kMax, 1) * -2, rounded(kNegInf)},
        {"inf times negative", kInf * -1, kNegInf},
        {"-inf times negative", kNegInf * -3, kInf},
        {"inf times zero", kInf * 0, kIndefinite},
        {"indefinite times 2", kIndefinite * 2, kIndefinite},
        {"invalid times 2", kInvalid * 2, kInvalid},

        {"exact scale", t(1, 3).convertScale(600), t(200, 600)},
        {"rounded scale", t(1, 1000).convertScale(600), rounded(t(1, 600))},
        {"rounded stays rounded", third.convertScale(1200), rounded(t(400, 1200))},
        {"scale beyond", t(kMax, 1).convertScale(2), rounded(kInf)},
        {"scale below", t(kMin, 1).convertScale(2), rounded(kNegInf)},
        {"no timescale", t(1, 3).convertScale(0), kInvalid},
        {"inf scaled", kInf.convertScale(600), kInf},
        {"invalid scaled", kInvalid.convertScale(600), kInvalid},

        {"stretch", scaleTime(t(3, 600), t(5, 1), t(3, 1)), t(5, 600)},
        {"stretch rounded away from zero", scaleTime(t(-1, 2), one, t(2, 1)), rounded(t(-1, 2))},
        {"stretch by a negative", scaleTime(t(1, 2), one, t(-2, 1)), rounded(t(-1, 2))},
        {"stretch by nothing", scaleTime(one, one, t(0, 1)), kInvalid},
        {"stretch kept exact", scaleTimeExactly(one, t(9, 1), t(4, 1)), t(9, 4)},
        {"stretch at a multiple", scaleTimeExactly(t(1, 600), one, t(7, 1)), t(1, 4200)},
        {"stretch finer than 32 bits", scaleTimeExactly(t(1, 1000000000), one, t(3, 1)),
         rounded(t(0, 1000000000))},
    });

    // Ratios in lowest terms, exact where 32-bit terms hold them, otherwise the nearest.
    const auto ratio = [](MediaTime a, MediaTime b) {
        const std::optional<TimeRatio> r = ratioOf(a, b);
        return r ? std::to_string(r->num) + "/" + std::to_string(r->den) + (r->exact ? "" : "~")
                 : std::string("none");
    };
    EXPECT_EQ(ratio(t(3, 1), t(2, 1)), "3/2");
    EXPECT_EQ(ratio(t(1, 600), t(1, 48000)), "80/1");
    EXPECT_EQ(ratio(t(-1, 2), t(1, 3)), "-3/2");
    EXPECT_EQ(ratio(t(1, 3), t(-1, 2)), "-2/3");
    EXPECT_EQ(ratio(one, t(0, 1)), "none");
    EXPECT_EQ(ratio(kInf, one), "none");
    EXPECT_EQ(ratio(t(kMax, 1), one), "2147483647/1~");
    const std::optional<TimeRatio> near = ratioOf(t(1000000000, 1), t(4294967311, 1));
    ASSERT_TRUE(near && !near->exact);
    EXPECT_NEAR(double(near->num) / near->den, 1e9 / 4294967311.0, 1e-15);
}

TEST(MediaTimeRangeTest, ValidityEndAndContainedTimes) {
    const MediaTimeRange range = MediaTimeRange::fromTimeToTime(t(600, 600), t(3, 1));
    expectTimes({{"duration", range.duration, t(1200, 600)}});
    EXPECT_EQ(range.end(), t(3, 1));
    EXPECT_TRUE(range.isValid());
    EXPECT_FALSE(range.isEmpty());
    EXPECT_EQ(range, MediaTimeRange::make(t(1, 1), t(2, 1)));
    EXPECT_TRUE(MediaTimeRange::zero().isEmpty());
    EXPECT_FALSE(MediaTimeRange::make(kInvalid, MediaTime::zero()).isEmpty());
    for (const MediaTimeRange& invalid : {
             MediaTimeRange::fromTimeToTime(t(2, 1), t(1, 1)),
             MediaTimeRange::invalid(),
             MediaTimeRange::make(MediaTime::zero(), kIndefinite),
             MediaTimeRange::make(MediaTime::zero(), kNegInf),
             MediaTimeRange::make(MediaTime::zero(), inEpoch(t(1, 1), 2)),
         }) {
        EXPECT_FALSE(invalid.isValid()) << ::testing::PrintToString(invalid.duration);
    }

    // Times in another epoch: the duration is a plain length and the end stays in that epoch.
    const MediaTimeRange later =
        MediaTimeRange::fromTimeToTime(inEpoch(t(1, 1), 3), inEpoch(t(4, 1), 3));
    EXPECT_TRUE(later.isValid());
    EXPECT_EQ(later.end(), inEpoch(t(4, 1), 3));

    const MediaTimeRange second = MediaTimeRange::make(t(1, 1), t(1, 1));
    const MediaTimeRange onwards = MediaTimeRange::make(t(1, 1), kInf);
    const MediaTimeRange backwards = MediaTimeRange::make(t(2, 1), t(-1, 1));
    const struct {
        MediaTimeRange range;
        MediaTime time;
        bool contained;
    } cases[] = {
        {second, t(600, 600), true},    {second, t(1999, 1000), true},
        {second, t(2000, 1000), false}, {second, t(999, 1000), false},
        {second, kInvalid, false},      {second, kIndefinite, false},
        {onwards, t(kMax, 1), true},    {onwards, kInf, false},
        {onwards, kIndefinite, false},  {onwards, MediaTime::zero(), false},
        {backwards, t(3, 2), false},    {MediaTimeRange::zero(), MediaTime::zero(), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.time) + " in " +
                     ::testing::PrintToString(c.range.start) + " + " +
                     ::testing::PrintToString(c.range.duration));
        EXPECT_EQ(c.range.containsTime(c.time), c.contained);
    }
}

} // namespace
} // namespace lento
