#include "media/TrackOverview.h"

#include "support/MediaProbe.h"
#include "support/QtApp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>

namespace lento::test {
namespace {

using namespace std::chrono_literals;

// The frame number a thumbnail of a numbered picture shows: three grey stripes whose levels
// spell its digits (luma 20 + 20 * digit, turned into full-range RGB); -1 where one is no digit.
int numberShown(const QImage& image) {
    int number = 0;
    for (int stripe = 0; stripe < 3; ++stripe) {
        const int x = (2 * stripe + 1) * image.width() / 6;
        const double luma = qGray(image.pixel(x, image.height() / 2)) * 219.0 / 255.0 + 16.0;
        const long digit = std::lround((luma - 20.0) / 20.0);
        if (digit < 0 || digit > 9 || std::abs(luma - (20.0 + 20.0 * digit)) > 6.0) {
            return -1;
        }
        number = number * 10 + static_cast<int>(digit);
    }
    return number;
}

// Each thumbnail shows the picture on show at its slot's start, whatever the key frames: the
// numbered clips have one every 30 frames (a second), and the variable-rate one keeps every third
// frame after 3 s.
TEST(TrackOverview, EachThumbnailShowsThePictureAtItsTimeAndTheWaveformIsMadeOncePerWidth) {
    ensureQtApp();
    struct Case {
        const char* file;
        int count;
        double seconds;
        std::function<int(double)> frameAt;
    };
    const auto everyFrame = [](double t) { return int(std::floor(t * 30.0 + 1e-9)); };
    for (const Case& c : {Case{"clip.mp4", 8, 10.0, everyFrame},
                          // Several thumbnails a second: decoded on from one to the next.
                          Case{"clip.mp4", 40, 10.0, everyFrame},
                          Case{"vfr.mp4", 12, 5.8, [&](double t) {
                                   return t < 3.0 ? everyFrame(t)
                                                  : 3 * int(std::floor(t * 10.0 + 1e-9));
                               }}}) {
        SCOPED_TRACE(std::string(c.file) + " in " + std::to_string(c.count));
        TrackOverview overview;
        int announced = 0;
        QObject::connect(&overview, &TrackOverview::thumbnailReady, [&] { ++announced; });
        overview.request(fixture(c.file), c.count, QSize(48, 36));
        ASSERT_TRUE(waitUntil(
            [&] { return overview.thumbnailsComplete() && overview.waveformComplete(); }));
        EXPECT_EQ(overview.thumbnailsError(), "");
        EXPECT_EQ(announced, c.count);
        ASSERT_EQ(overview.thumbnails().size(), size_t(c.count));
        ASSERT_EQ(overview.thumbnailTimes().size(), size_t(c.count));
        for (int i = 0; i < c.count; ++i) {
            SCOPED_TRACE(i);
            const int expected = c.frameAt(c.seconds * i / c.count);
            const QImage& image = overview.thumbnails()[size_t(i)];
            EXPECT_EQ(image.size(), QSize(48, 36));
            EXPECT_EQ(numberShown(image), expected);
            EXPECT_EQ(overview.thumbnailTimes()[size_t(i)], MediaTime::make(expected, 30));
        }
        if (std::string(c.file) != "clip.mp4" || c.count != 8) {
            continue;
        }
        const std::vector<float>& peaks = overview.waveform();
        ASSERT_EQ(peaks.size(), size_t(TrackOverview::kWaveformBins));
        // The tone (at an eighth of full scale) fills the clip: every bin but the encoder's ramp
        // at the ends holds it.
        const auto quiet = std::count_if(peaks.begin() + 8, peaks.end() - 8,
                                         [](float peak) { return peak < 0.1f; });
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
    }

    // A file without sound has pictures and an empty waveform.
    TrackOverview overview;
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
