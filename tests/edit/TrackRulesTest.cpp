#include "edit/TrackRules.h"

#include <gtest/gtest.h>

namespace lento {
namespace {

MediaTime ntsc(int64_t ticks) {
    return MediaTime::make(ticks, 30000);
}

TEST(TrackRules, SnapsToTheNearestBoundInReachElseToAFrameAndStaysOnTheVideo) {
    const MediaTime frame = ntsc(1001); // 29.97 fps, exactly
    const MediaTime duration = ntsc(1001 * 300 + 500);
    const MediaTime reach = ntsc(3000);
    const std::vector<MediaTime> bounds{ntsc(50000), ntsc(54000)};
    struct Case {
        const char* name;
        MediaTime time, expected;
    };
    for (const Case& c :
         {Case{"the nearer of two bounds in reach", ntsc(52500), ntsc(54000)},
          Case{"a bound at the edge of reach", ntsc(47000), ntsc(50000)},
          Case{"out of reach: the nearest frame", ntsc(46000), ntsc(46046)},
          Case{"past half a frame: the next", ntsc(1001 * 7 + 501), ntsc(1001 * 8)},
          Case{"past the end: the last frame on it", ntsc(1001 * 301), ntsc(1001 * 300)},
          Case{"before the start", ntsc(-700), ntsc(0)}}) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(snapBound(c.time, bounds, reach, frame, duration), c.expected);
    }
    // Without a frame length only the bounds and the video's ends hold.
    EXPECT_EQ(snapBound(ntsc(12345), {}, reach, MediaTime::invalid(), duration), ntsc(12345));

    EXPECT_EQ(frameNumber(ntsc(1001 * 100), frame), 100);
    EXPECT_EQ(frameNumber(ntsc(1001 * 100 - 1), frame), 99);
    EXPECT_EQ(frameNumber(ntsc(-5), frame), 0);
}

TEST(TrackRules, AClickPicksTheShortestBandUnderItReversedOnesToo) {
    const auto s = [](int64_t seconds) { return MediaTime::make(seconds, 1); };
    const std::vector<TrackBand> bands{{s(0), s(10)}, {s(6), s(4)}, {s(5), s(6)}};
    EXPECT_EQ(bandAt(bands, s(1)), 0);
    EXPECT_EQ(bandAt(bands, s(4)), 1);
    EXPECT_EQ(bandAt(bands, MediaTime::make(11, 2)), 2);
    EXPECT_EQ(bandAt(bands, s(10)), -1); // the end is not inside
    EXPECT_EQ(bandAt({}, s(1)), -1);
}

} // namespace
} // namespace lento
