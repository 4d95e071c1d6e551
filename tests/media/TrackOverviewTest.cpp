#include "media/TrackOverview.h"

#include "support/MediaProbe.h"
#include "support/QtApp.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace lento::test {
namespace {

using namespace std::chrono_literals;

// The clip is 10 s at 30 fps with a key frame every 30 frames and a tone throughout.
TEST(TrackOverview, MakesKeyFrameThumbnailsInOrderAndTheWholeWaveformOncePerWidth) {
    ensureQtApp();
    TrackOverview overview;
    int announced = 0;
    QObject::connect(&overview, &TrackOverview::thumbnailReady, [&] { ++announced; });
    overview.request(fixture("clip.mp4"), 8, QSize(48, 36));
    ASSERT_TRUE(
        waitUntil([&] { return overview.thumbnailsComplete() && overview.waveformComplete(); }));
    EXPECT_EQ(overview.thumbnailsError(), "");
    EXPECT_EQ(announced, 8);

    ASSERT_EQ(overview.thumbnails().size(), 8u);
    ASSERT_EQ(overview.thumbnailTimes().size(), 8u);
    for (size_t i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(overview.thumbnails()[i].size(), QSize(48, 36));
        // The key frame at or before the slot's start, never more than a group of pictures back.
        const double slot = 10.0 * double(i) / 8.0;
        const double shown = overview.thumbnailTimes()[i].seconds();
        EXPECT_LE(shown, slot + 1e-9);
        EXPECT_GT(shown, slot - 1.0);
        if (i > 0) {
            EXPECT_GT(shown, overview.thumbnailTimes()[i - 1].seconds());
            // The frames are numbered: different frames, different pictures.
            EXPECT_NE(overview.thumbnails()[i], overview.thumbnails()[i - 1]);
        }
    }

    const std::vector<float>& peaks = overview.waveform();
    ASSERT_EQ(peaks.size(), size_t(TrackOverview::kWaveformBins));
    // The tone (at an eighth of full scale) fills the clip: every bin but the encoder's ramp at
    // the ends holds it.
    const auto quiet =
        std::count_if(peaks.begin() + 8, peaks.end() - 8, [](float peak) { return peak < 0.1f; });
    EXPECT_EQ(quiet, 0);
    EXPECT_NEAR(peaks[peaks.size() / 2], 0.125f, 0.01f);

    // Another width makes another strip; back to the first, the kept one shows at once.
    overview.request(fixture("clip.mp4"), 3, QSize(48, 36));
    ASSERT_TRUE(waitUntil([&] { return overview.thumbnailsComplete(); }));
    EXPECT_EQ(overview.thumbnails().size(), 3u);
    announced = 0;
    overview.request(fixture("clip.mp4"), 8, QSize(48, 36));
    EXPECT_EQ(announced, 8);
    EXPECT_FALSE(overview.isRunning());
    EXPECT_TRUE(overview.thumbnailsComplete());

    // A file without sound has pictures and an empty waveform.
    overview.request(fixture("silent.mov"), 2, QSize(48, 36));
    ASSERT_TRUE(
        waitUntil([&] { return overview.thumbnailsComplete() && overview.waveformComplete(); }));
    EXPECT_TRUE(overview.waveform().empty());
    EXPECT_FALSE(overview.thumbnails()[1].isNull());
}

TEST(TrackOverview, ACancelledOrReplacedRequestStopsAndAnnouncesNothing) {
    ensureQtApp();
    for (const bool byNewFile : {false, true}) {
        SCOPED_TRACE(byNewFile ? "a new file" : "cancel()");
        TrackOverview overview;
        std::vector<std::string> paths;
        QObject::connect(&overview, &TrackOverview::thumbnailReady,
                         [&] { paths.push_back(overview.path()); });
        overview.request(fixture("clip.mp4"), 60, QSize(320, 240));
        if (byNewFile) {
            // Stored landscape, shown turned a quarter: the thumbnails come upright.
            overview.request(fixture("portrait.mp4"), 2, QSize(18, 32), 90);
        } else {
            overview.cancel();
        }
        // The old workers stop within a packet or two; what they made meanwhile is dropped.
        EXPECT_TRUE(waitUntil([&] { return !overview.isRunning(); }, 500ms));
        spinEvents(50ms);
        const std::vector<std::string> expected =
            byNewFile ? std::vector<std::string>(2, fixture("portrait.mp4"))
                      : std::vector<std::string>{};
        EXPECT_EQ(paths, expected) << overview.thumbnailsError();
        EXPECT_EQ(overview.thumbnailsComplete(), byNewFile);
        if (byNewFile) {
            EXPECT_EQ(overview.thumbnails()[1].size(), QSize(18, 32));
        }
    }
}

} // namespace
} // namespace lento::test
