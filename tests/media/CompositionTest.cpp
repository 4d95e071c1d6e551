#include "media/Composition.h"
#include "support/MediaProbe.h"

#include <gtest/gtest.h>

namespace lento {
namespace {

MediaTime seconds(int64_t value) {
    return MediaTime::make(value * 600, 600);
}

MediaTimeRange range(int64_t start, int64_t duration) {
    return MediaTimeRange::make(seconds(start), seconds(duration));
}

class CompositionTest : public ::testing::Test {
protected:
    void SetUp() override {
        asset = Asset::assetWithPath(test::fixture("clip.mp4"));
        ASSERT_TRUE(asset->isPlayable());
        video = asset->tracksWithMediaType(MediaType::Video).at(0);
        audio = asset->tracksWithMediaType(MediaType::Audio).at(0);
    }

    // The (source start, target start, target duration) of each segment in seconds; a gap has
    // source start -1.
    static std::vector<std::array<double, 3>> layout(const CompositionTrack& track) {
        std::vector<std::array<double, 3>> result;
        for (const auto& segment : track.segments()) {
            result.push_back({segment.empty ? -1.0 : segment.sourceRange.start.seconds(),
                              segment.targetRange.start.seconds(),
                              segment.targetRange.duration.seconds()});
        }
        return result;
    }

    std::shared_ptr<Asset> asset;
    AssetTrack video;
    AssetTrack audio;
};

TEST_F(CompositionTest, InsertingAtTheEndInTheMiddleAndBeyond) {
    Composition composition;
    CompositionTrack& track = *composition.addTrack(MediaType::Video);
    ASSERT_TRUE(track.insertTimeRange(range(0, 4), video, seconds(0)));
    // Into the middle: the first piece is split and its tail moves later.
    ASSERT_TRUE(track.insertTimeRange(range(6, 2), video, seconds(1)));
    using Row = std::array<double, 3>;
    EXPECT_EQ(layout(track), (std::vector<Row>{{0, 0, 1}, {6, 1, 2}, {1, 3, 3}}));
    // Beyond the end: a gap first.
    ASSERT_TRUE(track.insertTimeRange(range(8, 1), video, seconds(9)));
    EXPECT_EQ(layout(track),
              (std::vector<Row>{{0, 0, 1}, {6, 1, 2}, {1, 3, 3}, {-1, 6, 3}, {8, 9, 1}}));
    EXPECT_EQ(track.duration(), seconds(10));
    EXPECT_EQ(composition.duration(), seconds(10));
    EXPECT_TRUE(track.hasMedia());
}

TEST_F(CompositionTest, TrackIDsAreChosenWhenFreeOrZeroAndBadInsertionsChangeNothing) {
    Composition composition;
    EXPECT_EQ(composition.addTrack(MediaType::Video, 0)->trackID(), 1);
    EXPECT_EQ(composition.addTrack(MediaType::Audio, 0)->trackID(), 2);
    EXPECT_EQ(composition.addTrack(MediaType::Audio, 7)->trackID(), 7);
    CompositionTrack& track = *composition.addTrack(MediaType::Video, 7);
    EXPECT_EQ(track.trackID(), 3);
    EXPECT_EQ(composition.tracksWithMediaType(MediaType::Audio).size(), 2u);
    EXPECT_FALSE(track.insertTimeRange(MediaTimeRange::invalid(), video, seconds(0)));
    EXPECT_FALSE(track.insertTimeRange(range(0, 0), video, seconds(0)));
    EXPECT_FALSE(track.insertTimeRange(range(0, 1), video, MediaTime::invalid()));
    EXPECT_FALSE(track.insertTimeRange(range(0, 1), video, seconds(-1)));
    EXPECT_FALSE(track.insertTimeRange(range(0, 1), audio, seconds(0)));
    EXPECT_TRUE(track.segments().empty());
    EXPECT_FALSE(track.hasMedia());
    EXPECT_EQ(composition.duration(), MediaTime::zero());
}

TEST_F(CompositionTest, ScalingStretchesOrDropsAPartMovesWhatFollowsAndIsExact) {
    Composition composition;
    CompositionTrack& track = *composition.addTrack(MediaType::Video);
    ASSERT_TRUE(track.insertTimeRange(range(0, 10), video, seconds(0)));
    // Seconds 2 to 4 of the track become 6 seconds long.
    track.scaleTimeRange(range(2, 2), seconds(6));
    using Row = std::array<double, 3>;
    EXPECT_EQ(layout(track), (std::vector<Row>{{0, 0, 2}, {2, 2, 6}, {4, 8, 6}}));
    EXPECT_EQ(track.segments()[1].sourceRange.duration, seconds(2));
    EXPECT_EQ(track.duration(), seconds(14));
    // A split inside a stretched piece maps back to the source proportionally.
    ASSERT_TRUE(track.insertTimeRange(range(9, 1), video, seconds(5)));
    EXPECT_EQ(layout(track),
              (std::vector<Row>{{0, 0, 2}, {2, 2, 3}, {9, 5, 1}, {3, 6, 3}, {4, 9, 6}}));
    // Squeezed to nothing, a part leaves the timeline and what follows closes up.
    track.scaleTimeRange(range(5, 1), seconds(0));
    EXPECT_EQ(layout(track), (std::vector<Row>{{0, 0, 2}, {2, 2, 3}, {3, 5, 3}, {4, 8, 6}}));
    EXPECT_EQ(track.duration(), seconds(14));

    // A whole track scaled at the asset's own timescale stays exact; later inserts follow it.
    CompositionTrack& sound = *composition.addTrack(MediaType::Audio);
    const MediaTime duration = asset->duration();
    ASSERT_TRUE(sound.insertTimeRange(
        MediaTimeRange::make(MediaTime::make(0, duration.timescale), duration), audio,
        MediaTime::zero()));
    const MediaTime tripled = MediaTime::make(duration.value * 3, duration.timescale);
    sound.scaleTimeRange(MediaTimeRange::make(MediaTime::zero(), duration), tripled);
    EXPECT_EQ(sound.duration(), tripled);
    EXPECT_FALSE(sound.segments()[0].targetRange.duration.hasBeenRounded());
    ASSERT_TRUE(sound.insertTimeRange(range(0, 1), audio, tripled));
    EXPECT_EQ(sound.duration(), tripled + seconds(1));
    EXPECT_EQ(sound.segments()[1].targetRange.start, tripled);
}

} // namespace
} // namespace lento
