#include "media/Asset.h"
#include "support/MediaProbe.h"

#include <gtest/gtest.h>

namespace lento {
namespace {

using test::fixture;

TEST(AssetTest, PlayableMoviesOfEveryContainerHaveTheirTracks) {
    for (const char* name :
         {"clip.mp4", "clip.mov", "clip.3gp", "clip.m4v", "clip.AVI", "clip.avi"}) {
        SCOPED_TRACE(name);
        auto asset = Asset::assetWithPath(fixture(name));
        ASSERT_TRUE(asset->isPlayable()) << asset->error();
        const auto video = asset->tracksWithMediaType(MediaType::Video);
        const auto audio = asset->tracksWithMediaType(MediaType::Audio);
        ASSERT_EQ(video.size(), 1u);
        ASSERT_EQ(audio.size(), 1u);
        EXPECT_EQ(video[0].naturalWidth, 320);
        EXPECT_EQ(video[0].naturalHeight, 240);
        EXPECT_NEAR(video[0].nominalFrameRate, 30.0, 0.01);
        EXPECT_EQ(video[0].rotation, 0);
        EXPECT_EQ(audio[0].sampleRate, 48000);
        EXPECT_EQ(video[0].asset, asset);
        // Tracks come in file order with IDs from their position.
        EXPECT_LT(video[0].trackID, audio[0].trackID);
        EXPECT_NEAR(asset->duration().seconds(), 10.0, 0.05);
        EXPECT_NEAR(video[0].timeRange.duration.seconds(), 10.0, 0.05);
    }
}

TEST(AssetTest, DurationUsesTheFirstVideoStreamsTimescale) {
    auto movie = Asset::assetWithPath(fixture("clip.mov"));
    auto sound = Asset::assetWithPath(fixture("audio.m4a"));
    ASSERT_TRUE(movie->isPlayable());
    ASSERT_TRUE(sound->isPlayable());
    // The stripe clip is written at 1/15360 by x264 in mp4 and copied into mov.
    EXPECT_EQ(movie->duration().timescale % 30, 0);
    EXPECT_TRUE(movie->duration().isNumeric());
    // Without video, the sound's timescale (its sample rate for AAC).
    EXPECT_EQ(sound->duration().timescale, 48000);
    EXPECT_TRUE(sound->tracksWithMediaType(MediaType::Video).empty());
    EXPECT_EQ(sound->tracksWithMediaType(MediaType::Audio).size(), 1u);
}

TEST(AssetTest, RotationComesFromTheDisplayMatrix) {
    auto portrait = Asset::assetWithPath(fixture("portrait.mp4"));
    ASSERT_TRUE(portrait->isPlayable());
    const auto video = portrait->tracksWithMediaType(MediaType::Video).at(0);
    EXPECT_EQ(video.naturalWidth, 320);
    EXPECT_EQ(video.naturalHeight, 180);
    EXPECT_TRUE(video.hasDisplayMatrix);
    EXPECT_TRUE(video.rotation == 90 || video.rotation == 270) << video.rotation;
}

TEST(AssetTest, BadFilesAreNotPlayable) {
    for (const char* name :
         {"empty.mp4", "random.mp4", "truncated.mp4", "text.mov", "no-such-file.mp4"}) {
        SCOPED_TRACE(name);
        auto asset = Asset::assetWithPath(fixture(name));
        EXPECT_FALSE(asset->isPlayable());
        EXPECT_FALSE(asset->error().empty());
        EXPECT_TRUE(asset->tracks().empty());
        EXPECT_FALSE(asset->duration().isValid());
    }
}

} // namespace
} // namespace lento
