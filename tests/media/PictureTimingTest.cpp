#include "media/PictureTiming.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lento {
namespace {

MediaTime at(double seconds) {
    return MediaTime::makeWithSeconds(seconds, 600);
}

SpeedFactor factor(const char* text) {
    return *SpeedFactor::fromText(text);
}

TimeMap rampedMap(MediaTime duration) {
    std::string error;
    const auto map = TimeMap::make({{at(0.5), at(1.5), factor("3"), at(0.25), at(0.2)},
                                    {at(1.5), at(2.4), factor("2"), {}, at(0.3)},
                                    {at(3), at(4), factor("4"), at(0.5), at(0.5)}},
                                   duration, error);
    EXPECT_TRUE(map) << error;
    return map.value_or(TimeMap());
}

// Blend and Smooth: the grid at 30 fps over 30000/1001 fps pictures; each grid picture's source
// position comes back to its output time through the map, lies between the neighbours named,
// and the grid ends within one picture after the map's output.
TEST(PictureTiming, GridPicturesComeFromTheInverseMap) {
    std::vector<MediaTime> stamps;
    for (int64_t i = 0; i * 1001 < 5 * 30000; ++i) {
        stamps.push_back(MediaTime::make(i * 1001, 30000));
    }
    const TimeMap map = rampedMap(MediaTime::make(int64_t(stamps.size()) * 1001, 30000));
    const MediaTime period = MediaTime::make(1, 30);
    const int64_t count = gridPictureCount(map, period);
    EXPECT_LT(period * int32_t(count - 1), map.outputDuration());
    EXPECT_GE(period * int32_t(count), map.outputDuration());

    const MediaTime halfTick = MediaTime::make(1, 60000);
    int sourcePictures = 0;
    for (int64_t k = 0; k < count; ++k) {
        const GridPicture picture = gridPicture(map, k, period, stamps, 30000);
        SCOPED_TRACE(picture.outputTime.seconds());
        EXPECT_EQ(picture.outputTime, period * int32_t(k));
        EXPECT_LE(map.outputTime(picture.sourcePosition - halfTick, 90000), picture.outputTime);
        EXPECT_GE(map.outputTime(picture.sourcePosition + halfTick, 90000), picture.outputTime);
        ASSERT_LT(picture.before, stamps.size());
        EXPECT_LE(stamps[picture.before], picture.sourcePosition);
        if (picture.after != picture.before) {
            EXPECT_EQ(picture.after, picture.before + 1);
            EXPECT_LT(picture.sourcePosition, stamps[picture.after]);
            EXPECT_EQ(picture.offset, picture.sourcePosition - stamps[picture.before]);
            EXPECT_GE(picture.fraction(), 0.0);
            EXPECT_LT(picture.fraction(), 1.0);
        }
        sourcePictures += picture.isSourcePicture();
    }
    EXPECT_GT(sourcePictures, 0);

    // Fewer stamps than the grid passes over: the first or the last held.
    const std::vector<MediaTime> few{stamps[10], stamps[11]};
    const GridPicture early = gridPicture(map, 0, period, few, 30000);
    EXPECT_EQ(early.before, 0u);
    EXPECT_EQ(early.after, 0u);
    EXPECT_TRUE(early.isSourcePicture());
    const GridPicture late = gridPicture(map, count - 1, period, few, 30000);
    EXPECT_EQ(late.before, 1u);
    EXPECT_EQ(late.after, 1u);
}

} // namespace
} // namespace lento
