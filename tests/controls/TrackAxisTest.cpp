#include "controls/TrackAxis.h"
#include "controls/TrackBands.h"
#include "controls/TrimDrag.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace lento {
namespace {

MediaTime ntsc(int64_t ticks) {
    return MediaTime::make(ticks, 30000);
}

// 300 frames at 29.97 fps along the bar's own track: 6 points in, 380 wide.
const TrackAxis kNtscTrack(ntsc(1001 * 300), 6, 380);

TEST(TrackAxis, PlacesTimesExactlyAndReadsPositionsAsTheNearestTick) {
    EXPECT_EQ(kNtscTrack.positionOf(ntsc(1001 * 150)), 196.0);
    EXPECT_EQ(kNtscTrack.positionOf(ntsc(0)), 6.0);
    EXPECT_EQ(kNtscTrack.positionOf(ntsc(1001 * 300)), 386.0);
    EXPECT_DOUBLE_EQ(*kNtscTrack.positionOf(ntsc(1001)), 6.0 + 380.0 / 300.0);
    // The time's own timescale does not matter, nor does a long video's size.
    EXPECT_EQ(kNtscTrack.positionOf(MediaTime::make(5005, 1000)), 196.0);
    const TrackAxis day(MediaTime::make(int64_t(86400) * 1000000000, 1000000000), 0, 1000);
    EXPECT_EQ(day.positionOf(MediaTime::make(int64_t(86400) * 1000000000 / 4, 1000000000)), 250.0);
    EXPECT_EQ(day.timeAt(750.0), MediaTime::make(int64_t(86400) * 750000000, 1000000000));

    // A position stands for the nearest tick of the duration's timescale, ties away from zero.
    const TrackAxis coarse(MediaTime::make(10, 1), 6, 4);
    EXPECT_EQ(coarse.timeAt(7.0)->value, 3); // 2.5 s
    EXPECT_EQ(coarse.timeAt(5.0)->value, -3);
    EXPECT_EQ(coarse.timeAt(6.9)->value, 2);
    EXPECT_EQ(kNtscTrack.timeAt(196.0)->timescale, 30000);
}

TEST(TrackAxis, RoundTripsEveryPointAndEveryFrame) {
    struct Case {
        const char* name;
        TrackAxis axis;
    };
    for (const Case& c : {Case{"29.97 fps", kNtscTrack},
                          Case{"a wide track at 1/600 s", {MediaTime::make(6001, 600), 0, 2000}},
                          Case{"milliseconds", {MediaTime::make(29954, 1000), 12, 777}},
                          Case{"sound samples", {MediaTime::make(441000, 44100), 6, 380}}}) {
        SCOPED_TRACE(c.name);
        const TrackAxis& axis = c.axis;
        // A tick no wider than a point: every point comes back to itself.
        for (int x = axis.origin(); x <= axis.origin() + axis.width(); ++x) {
            const std::optional<MediaTime> time = axis.timeAt(x);
            ASSERT_TRUE(time);
            EXPECT_EQ(std::lround(*axis.positionOf(*time)), x) << x;
        }
    }
    // Fewer than 1024 ticks to a point: every frame comes back to the very tick.
    for (int64_t frame = 0; frame <= 300; ++frame) {
        const MediaTime time = ntsc(1001 * frame);
        EXPECT_EQ(kNtscTrack.timeAt(*kNtscTrack.positionOf(time)), time) << frame;
    }
}

TEST(TrackAxis, KnowsNoTimeWithoutAnAxisAndClampsNothingButWhatItIsAskedTo) {
    for (const TrackAxis& none :
         {TrackAxis(), TrackAxis(MediaTime::invalid(), 6, 380),
          TrackAxis(MediaTime::zero(), 6, 380), TrackAxis(MediaTime::make(-10, 1), 6, 380),
          TrackAxis(MediaTime::make(10, 1), 6, 0), TrackAxis(MediaTime::indefinite(), 6, 380)}) {
        EXPECT_FALSE(none.isValid());
        EXPECT_FALSE(none.positionOf(MediaTime::make(1, 1)));
        EXPECT_FALSE(none.timeAt(100.0));
    }
    // Off the track lie times off the video, both ways.
    EXPECT_EQ(kNtscTrack.timeAt(-184.0), ntsc(-1001 * 150));
    EXPECT_EQ(kNtscTrack.positionOf(ntsc(1001 * 450)), 576.0);
    EXPECT_FALSE(kNtscTrack.positionOf(MediaTime::positiveInfinity()));
    EXPECT_FALSE(kNtscTrack.timeAt(std::numeric_limits<double>::quiet_NaN()));
    EXPECT_FALSE(kNtscTrack.timeAt(1.0e13));
    EXPECT_EQ(kNtscTrack.clamp(-20.0), 6.0);
    EXPECT_EQ(kNtscTrack.clamp(500.0), 386.0);
    EXPECT_EQ(kNtscTrack.clamp(100.5), 100.5);
}

// A band's ramps are slopes from half the track's height at its bounds to the top where they end,
// along the curve the speed eases by; without ramps it is the plain rectangle.
TEST(TrackAxis, BandsShowTheirRampsAsSlopesAlongTheEasingCurve) {
    const TrackAxis axis(MediaTime::make(10, 1), 0, 1000); // 100 points a second
    const auto tenths = [](int64_t count) { return MediaTime::make(count, 10); };
    const QPolygonF plain{{100, 40}, {100, 0}, {300, 0}, {300, 40}};
    TrackBand band{tenths(10), tenths(30)};
    EXPECT_EQ(bandShape(band, axis, 40), plain);
    band.rampIn = tenths(5);
    band.rampOut = tenths(10);
    const QPolygonF ramped = bandShape(band, axis, 40);
    for (qsizetype i = 1; i + 1 < ramped.size(); ++i) {
        const double x = ramped[i].x();
        const double along = x < 150 ? 1 - (x - 100) / 50 : x > 200 ? (x - 200) / 100 : 0;
        SCOPED_TRACE(x);
        EXPECT_NEAR(ramped[i].y(), 20 * along * along * (3 - 2 * along), 1e-9);
    }
    // Ramps that fill the band meet at the top.
    band.rampIn = band.rampOut = tenths(10);
    EXPECT_EQ(bandShape(band, axis, 40).count(QPointF(200, 0)), 2);
}

// Both handles go through one rule: a frame is 20 ticks at 1/600 s, other sections end at 3 s and
// 7 s, and a handle snaps within 0.1 s.
TEST(TrimDrag, SnapsThenKeepsEachHandleOnTheVideoAndAFrameClearOfTheOther) {
    const auto t = [](int64_t ticks) { return MediaTime::make(ticks, 600); };
    const MediaTime frame = t(20);
    const TrimDrag drag(t(6000), frame, {t(1800), t(4200)}, t(60));
    using Side = TrimDrag::Side;
    struct Case {
        const char* name;
        Side side;
        MediaTime pointed, other;
        bool snap;
        MediaTime expected;
    };
    for (const Case& c : {
             Case{"free: the nearest frame", Side::Left, t(1207), t(4800), true, t(1200)},
             Case{"free, the right one alike", Side::Right, t(1213), t(600), true, t(1220)},
             Case{"near another section's bound", Side::Left, t(1750), t(4800), true, t(1800)},
             Case{"near the video's end", Side::Right, t(5950), t(600), true, t(6000)},
             Case{"before the start", Side::Left, t(-300), t(4800), true, t(0)},
             Case{"past the end", Side::Right, t(7000), t(600), true, t(6000)},
             Case{"onto the other handle", Side::Left, t(3000), t(3000), true, t(2980)},
             Case{"past the other handle", Side::Right, t(100), t(3000), true, t(3020)},
             Case{"snapped past the other handle", Side::Left, t(4190), t(4180), true, t(4160)},
             Case{"no room left", Side::Left, t(500), t(0), true, t(0)},
             Case{"no room right", Side::Right, t(5000), t(6000), true, t(6000)},
             Case{"Shift: where the pointer is", Side::Left, t(1207), t(4800), false, t(1207)},
             Case{"Shift, still on the video", Side::Right, t(6100), t(600), false, t(6000)},
             Case{"Shift, still clear", Side::Right, t(2990), t(3000), false, t(3020)},
         }) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(drag.handleTime(c.side, c.pointed, c.other, c.snap), c.expected);
    }
    // Without a frame length the handles may meet.
    const TrimDrag unframed(t(6000), MediaTime::invalid(), {}, t(60));
    EXPECT_EQ(unframed.handleTime(Side::Right, t(100), t(3000), true), t(3000));
}

} // namespace
} // namespace lento
