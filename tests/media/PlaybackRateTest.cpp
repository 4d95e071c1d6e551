#include "media/PlaybackRate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace lento {
namespace {

MediaTime at(double seconds) {
    return MediaTime::makeWithSeconds(seconds, 600);
}

SpeedFactor factor(const char* text) {
    return *SpeedFactor::fromText(text);
}

// A player that takes a new rate at every update, as mpv does, and plays at it until the next:
// through ramps into and out of slow motion, a ramp joining touching sections and a stretch of
// one factor, its position stays on the map (the drift does not add up from ramp to ramp), the
// rate holds exactly 1 / factor where the factor holds, and it eases without jumps elsewhere.
TEST(PlaybackRate, KeepsThePlayerOnTheMap) {
    std::string error;
    const auto map = TimeMap::make({{at(1), at(3), factor("4"), at(0.6), at(0.3)},
                                    {at(3), at(4), factor("2.5"), at(0.2), at(0.5)},
                                    {at(5), at(6), factor("7/3"), at(0.6), at(0.4)}},
                                   at(8), error);
    ASSERT_TRUE(map) << error;

    for (const MediaTime interval : {MediaTime::make(50, 1000), MediaTime::make(1, 30)}) {
        SCOPED_TRACE(interval.seconds());
        double position = 0; // source seconds, as the player holds it
        double played = 0;   // output seconds
        double lastRate = 1;
        int steady = 0, easing = 0;
        while (position < 8.5) {
            const MediaTime now = MediaTime::makeWithSeconds(position, 1'000'000'000);
            const PlaybackRate rate = playbackRateAt(*map, now, interval);
            SCOPED_TRACE(position);
            if (rate.easing) {
                ++easing;
            } else {
                ++steady;
                EXPECT_DOUBLE_EQ(rate.rate, 1 / map->factorAt(now));
                EXPECT_GT(rate.steadyUntil, now);
            }
            // The ramp from 1 to 4 over 0.6 s changes the rate the fastest: by under 0.12 in
            // 50 ms of playing.
            EXPECT_LT(std::fabs(rate.rate - lastRate), 0.12);
            lastRate = rate.rate;
            position += rate.rate * interval.seconds();
            played += interval.seconds();
            const double onMap =
                map->sourceTime(MediaTime::makeWithSeconds(played, 1'000'000'000), 1'000'000'000)
                    .seconds();
            ASSERT_NEAR(position, onMap, 1e-5);
        }
        EXPECT_GT(steady, 100);
        EXPECT_GT(easing, 40);
    }

    // Past the source's end and before its start the source plays at its own speed.
    EXPECT_EQ(playbackRateAt(*map, at(9), MediaTime::make(1, 20)).rate, 1.0);
    EXPECT_FALSE(playbackRateAt(*map, at(9), MediaTime::make(1, 20)).easing);
    EXPECT_EQ(playbackRateAt(*map, at(-1), MediaTime::make(1, 20)).rate, 1.0);
}

} // namespace
} // namespace lento
