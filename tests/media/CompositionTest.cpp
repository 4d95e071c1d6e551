#include "media/Composition.h"
#include "support/CompositionText.h"
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
    EXPECT_EQ(test::trackText(composition, MediaType::Video), "0-1<0 1-3<6 3-6<1 ");
    // Beyond the end: a gap first.
    ASSERT_TRUE(track.insertTimeRange(range(8, 1), video, seconds(9)));
    EXPECT_EQ(test::trackText(composition, MediaType::Video), "0-1<0 1-3<6 3-6<1 9-10<8 ");
    ASSERT_EQ(track.segments().size(), 5u);
    EXPECT_TRUE(track.segments()[3].empty);
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
    EXPECT_EQ(test::trackText(composition, MediaType::Video), "0-2<0 2-8<2 8-14<4 ");
    EXPECT_EQ(track.segments()[1].sourceRange.duration, seconds(2));
    EXPECT_EQ(track.duration(), seconds(14));
    // A split inside a stretched piece maps back to the source proportionally.
    ASSERT_TRUE(track.insertTimeRange(range(9, 1), video, seconds(5)));
    EXPECT_EQ(test::trackText(composition, MediaType::Video), "0-2<0 2-5<2 5-6<9 6-9<3 9-15<4 ");
    // Squeezed to nothing, a part leaves the timeline and what follows closes up.
    track.scaleTimeRange(range(5, 1), seconds(0));
    EXPECT_EQ(test::trackText(composition, MediaType::Video), "0-2<0 2-5<2 5-8<3 8-14<4 ");
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
