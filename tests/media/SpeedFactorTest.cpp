#include "media/SpeedFactor.h"

#include <gtest/gtest.h>

namespace lento {
namespace {

TEST(SpeedFactor, ParsesWhatTheEditorOffersAndRefusesTheRest) {
    struct Case {
        const char* text;
        bool ok;
        int64_t num, den;
    };
    for (const Case& c :
         {Case{"2.5", true, 5, 2}, Case{"2,25", true, 9, 4}, Case{" 3 ", true, 3, 1},
          Case{"1.50", true, 3, 2}, Case{"2.125", false, 0, 0}, Case{"0", false, 0, 0},
          Case{"-2", false, 0, 0}, Case{"2.", false, 0, 0}, Case{"x2", false, 0, 0},
          Case{"", false, 0, 0}, Case{"99999999999999999999", false, 0, 0}}) {
        SCOPED_TRACE(c.text);
        const auto factor = SpeedFactor::parse(c.text);
        ASSERT_EQ(factor.has_value(), c.ok);
        if (c.ok) {
            EXPECT_EQ(factor->num(), c.num);
            EXPECT_EQ(factor->den(), c.den);
        }
    }
    // The range, at both of its ends.
    for (const auto& [text, within] : {std::pair{"0.5", false},
                                       {"0.99", false},
                                       {"1", true},
                                       {"9.99", true},
                                       {"10", true},
                                       {"10.01", false}}) {
        EXPECT_EQ(SpeedFactor::parse(text)->isWithinEditorRange(), within) << text;
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
