#include "edit/SectionRules.h"
#include "support/MediaProbe.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace lento {
namespace {

SectionState section(double start, double end, int64_t speed = 1, bool audio = true) {
    return {"s", MediaTime::makeWithSeconds(start, 600), MediaTime::makeWithSeconds(end, 600),
            SpeedFactor::whole(speed), audio};
}

// Which bound cells are red: per section its start and end, R red, - not ("-R R-").
std::string redCells(SectionSpan list) {
    std::string cells;
    for (int64_t row = 0; row < static_cast<int64_t>(list.size()); ++row) {
        cells += row > 0 ? " " : "";
        for (int64_t column : {2, 3}) {
            cells += checkOverSetup(list, row, column) != -1 ? 'R' : '-';
        }
    }
    return cells;
}

TEST(SectionRulesTest, CollidingBoundsTheirCountAndTheReason) {
    struct Case {
        const char* name;
        std::vector<SectionState> list;
        std::string red;
        QString reason;
    };
    const QString overlap = "Sections 1 and 2 overlap.";
    const std::vector<Case> cases{
        {"touching", {section(0, 10), section(10, 20)}, "-- --", ""},
        {"overlap", {section(0, 10), section(5, 15)}, "-R R-", overlap},
        {"equal starts, an end inside", {section(0, 10), section(0, 5)}, "R- RR", overlap},
        {"containment: the inner bounds", {section(0, 20), section(5, 10)}, "-- RR", overlap},
        {"identical", {section(0, 10), section(0, 10)}, "RR RR", overlap},
        {"reversed, by itself whatever lies inside it",
         {section(0, 5), section(15, 12), section(13, 14)},
         "-- RR --",
         "Section 2 ends before it starts."},
        {"empty", {section(7, 7)}, "RR", "Section 1 ends where it starts."},
        {"the first red bound in table order says why",
         {section(20, 18), section(0, 10), section(5, 15)},
         "RR -R R-",
         "Section 1 ends before it starts."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(redCells(c.list), c.red);
        EXPECT_EQ(countSectionErrors(c.list), std::ranges::count(c.red, 'R'));
        EXPECT_EQ(sectionErrorReason(c.list), c.reason);
    }
    // Mixed timescales compare by value.
    std::vector<SectionState> mixed{section(0, 10), section(0, 0)};
    mixed[1].start = MediaTime::make(5000, 1000);
    mixed[1].end = MediaTime::make(10, 1);
    EXPECT_EQ(redCells(mixed), "-R RR");
    EXPECT_EQ(checkOverSetup(mixed, 0, 4), -1);
    EXPECT_EQ(checkOverSetupWithValue({}, MediaTime::make(1, 1), -1, true), -1);
}

TEST(SectionRulesTest, TypedBoundsStayOnTheVideoAndOneFrameFromTheOtherBound) {
    const auto clip = Asset::assetWithPath(test::fixture("clip.mp4"));
    const int32_t timescale = clip->duration().timescale;
    const MediaTime frame = oneFrame(*clip, timescale);
    EXPECT_EQ(frame, MediaTime::make(1, 30)); // exact, at the video's timescale
    EXPECT_EQ(frame.timescale, timescale);
    EXPECT_EQ(oneFrame(*Asset::assetWithPath(test::fixture("audio.m4a")), 1000),
              MediaTime::make(1, 1000));

    const MediaTime duration = MediaTime::make(10, 1);
    struct Case {
        const char* name;
        SectionState section;
        bool isStart;
        double typed;
        MediaTime landed;
    };
    const std::vector<Case> cases{
        {"start after the end", section(2, 6), true, 8, MediaTime::make(6, 1) - frame},
        {"start before the video", section(2, 6), true, -1, MediaTime::make(0, 1)},
        {"end before the start", section(2, 6), false, 1, MediaTime::make(2, 1) + frame},
        {"end past the video", section(2, 6), false, 99, duration},
        {"no room before the end", section(0, 0.01), true, 5, MediaTime::make(0, 1)},
        {"no room after the start", section(9.99, 3), false, 9, duration},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(limitBound(c.section, c.isStart, MediaTime::makeWithSeconds(c.typed, 600),
                             duration, frame),
                  c.landed);
    }
}

// What plays at a time, in exact factors: a float rate cannot tell 1/3 from the rate last sent.
TEST(SectionRulesTest, WhatPlaysAtATimeAndTheBoundsAroundIt) {
    std::vector<SectionState> list{section(2, 4, 2, false), section(3, 6, 3)};
    list[1].factor = *SpeedFactor::make(7, 3);
    struct Case {
        MediaTime time;
        int64_t section;
        SpeedFactor factor;
        bool sound;
    };
    const std::vector<Case> cases{
        {MediaTime::make(1, 1), -1, SpeedFactor(), true},
        // The bounds themselves are outside.
        {MediaTime::make(2, 1), -1, SpeedFactor(), true},
        {MediaTime::make(6, 1), -1, SpeedFactor(), true},
        {MediaTime::make(25, 10), 0, SpeedFactor::whole(2), false},
        // In the overlap the earlier section rules.
        {MediaTime::make(35, 10), 0, SpeedFactor::whole(2), false},
        {MediaTime::make(3000, 600), 1, *SpeedFactor::make(7, 3), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.time.seconds());
        const PlaybackAtTime playing = playbackAtTime(list, c.time);
        EXPECT_EQ(playing.section, c.section);
        EXPECT_EQ(sectionIndexInTime(list, c.time), c.section);
        EXPECT_EQ(playing.factor, c.factor);
        EXPECT_EQ(playing.sound, c.sound);
    }

    // The bounds around a time, of any section, never the time itself.
    EXPECT_EQ(nearestBound(list, MediaTime::make(3, 1), true), MediaTime::make(4, 1));
    EXPECT_EQ(nearestBound(list, MediaTime::make(3, 1), false), MediaTime::make(2, 1));
    EXPECT_EQ(nearestBound(list, MediaTime::make(6, 1), true), std::nullopt);
    EXPECT_EQ(nearestBound({}, MediaTime::make(1, 1), false), std::nullopt);
}

} // namespace
} // namespace lento
