#include "media/SpeedFactor.h"

#include <gtest/gtest.h>

namespace lento {
namespace {

TEST(SpeedFactor, ParsesWhatTheEditorOffersAndRefusesTheRest) {
    for (const auto& [text, num, den] :
         {std::tuple{"2.5", 5, 2}, {"2,25", 9, 4}, {" 3 ", 3, 1}, {"1.50", 3, 2}}) {
        const auto factor = SpeedFactor::parse(text);
        ASSERT_TRUE(factor.has_value()) << text;
        EXPECT_EQ(factor->num(), num) << text;
        EXPECT_EQ(factor->den(), den) << text;
    }
    for (const char* refused : {"2.125", "0", "-2", "2.", "x2", "", "99999999999999999999"}) {
        EXPECT_FALSE(SpeedFactor::parse(refused)) << refused;
    }
    // The range, at both of its ends.
    for (const char* within : {"1", "9.99", "10"}) {
        EXPECT_TRUE(SpeedFactor::parse(within)->isWithinEditorRange()) << within;
    }
    for (const char* outside : {"0.5", "0.99", "10.01"}) {
        EXPECT_FALSE(SpeedFactor::parse(outside)->isWithinEditorRange()) << outside;
    }
    // What every way in (chooser, command line, edit file) takes.
    for (const char* refused : {"3000", "2147483647", "0.5", "1/3", "11", "10.001", "0", ""}) {
        EXPECT_FALSE(SpeedFactor::parseInEditorRange(refused)) << refused;
    }
    EXPECT_EQ(SpeedFactor::parseInEditorRange("10"), SpeedFactor::whole(10));
    EXPECT_EQ(SpeedFactor::parseInEditorRange("1.00"), SpeedFactor());
}

TEST(SpeedFactor, TextRoundTripsEveryRatio) {
    for (const auto& [num, den, text] : {std::tuple{3, 1, "3"},
                                         {5, 2, "2.5"},
                                         {9, 4, "2.25"},
                                         {7, 3, "7/3"},
                                         {1, 1024, "1/1024"},
                                         {1, 512, "0.001953125"}}) {
        const SpeedFactor factor = *SpeedFactor::make(num, den);
        EXPECT_EQ(factor.text(), text);
        EXPECT_EQ(SpeedFactor::fromText(factor.text()), factor) << text;
    }
}

TEST(SpeedFactor, StretchesExactlyAndOrdersByValue) {
    const SpeedFactor twoAndAHalf = *SpeedFactor::parse("2.5");
    // One frame at 30 fps lasts 1/12 s at x2.5: no tick is lost.
    const MediaTime frame = twoAndAHalf.stretch(MediaTime::make(1, 30));
    EXPECT_EQ(frame, MediaTime::make(1, 12));
    EXPECT_FALSE(frame.hasBeenRounded());
    EXPECT_EQ(twoAndAHalf.squeeze(frame), MediaTime::make(1, 30));
    // A timescale that cannot grow further is rounded, and says so: 7/3 ns is 2 ns, and 7 ns
    // squeezed by 7/3 is 3 ns.
    const SpeedFactor sevenThirds = *SpeedFactor::make(7, 3);
    const MediaTime coarse = sevenThirds.stretch(MediaTime::make(1, 1000000000));
    EXPECT_TRUE(coarse.hasBeenRounded());
    EXPECT_EQ(coarse.value, 2);
    EXPECT_EQ(coarse.timescale, 1000000000);
    const MediaTime squeezed = sevenThirds.squeeze(MediaTime::make(7, 1000000000));
    EXPECT_EQ(squeezed.value, 3);
    EXPECT_EQ(squeezed.timescale, 1000000000);
    EXPECT_LT(*SpeedFactor::make(7, 3), twoAndAHalf);
    EXPECT_GT(SpeedFactor::whole(3), twoAndAHalf);
    EXPECT_EQ(SpeedFactor::whole(0), SpeedFactor());
}

} // namespace
} // namespace lento
