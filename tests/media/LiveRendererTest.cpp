#include "media/LiveRenderer.h"
#include "media/LivePlayback.h"

#include "media/PictureRenderer.h"
#include "media/Player.h"
#include "support/MediaProbe.h"
#include "support/QtApp.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QThreadPool>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace lento {
namespace {

MediaTime ms(int64_t value) {
    return MediaTime::make(value, 1000);
}

// A stretch of the source laid on the output, `tenths` / 10 times slower, shown as `motion` says.
struct Stretch {
    int64_t fromMs;
    int64_t toMs;
    int64_t tenths;
    MotionMode motion;
};

std::shared_ptr<Composition> compose(const AssetTrack& video,
                                     const std::vector<Stretch>& stretches) {
    auto composition = std::make_shared<Composition>();
    CompositionTrack* track = composition->addTrack(MediaType::Video);
    MediaTime at = MediaTime::zero();
    for (const Stretch& s : stretches) {
        const auto range = MediaTimeRange::fromTimeToTime(ms(s.fromMs), ms(s.toMs));
        EXPECT_TRUE(track->insertTimeRange(range, video, at, s.motion));
        const MediaTime stretched = MediaTime::make((s.toMs - s.fromMs) * s.tenths, 10000);
        track->scaleTimeRange(MediaTimeRange{at, range.duration}, stretched);
        at = at + stretched;
    }
    return composition;
}

// Every picture the export's picture path makes of the whole composition, at `format`.
std::vector<VideoItem> exportPictures(const Composition& composition, const VideoFormat& format) {
    const ExportPlan plan = planExport(composition, MediaTimeRange::invalid());
    BoundedQueue<VideoItem> queue(SIZE_MAX);
    std::atomic<bool> stop{false};
    const StageOutcome rendered = renderVideo(
        plan.video, format, plan.range.duration.convertScale(kVideoTimescale).value, queue, stop);
    EXPECT_TRUE(rendered.ok()) << rendered.message;
    queue.close();
    std::vector<VideoItem> pictures;
    while (std::optional<VideoItem> item = queue.pop()) {
        pictures.push_back(std::move(*item));
    }
    return pictures;
}

const VideoItem* pictureAt(const std::vector<VideoItem>& pictures, int64_t ticks) {
    for (const VideoItem& item : pictures) {
        if (item.pts <= ticks && ticks < item.pts + item.duration) {
            return &item;
        }
    }
    return nullptr;
}

// The renderer's picture for `at`, waited for as long as it takes to make.
std::optional<VideoItem> waitFor(LiveRenderer& renderer, MediaTime at) {
    while (true) {
        if (std::optional<VideoItem> item = renderer.take(at)) {
            return item;
        }
        const StageOutcome ending = renderer.ending();
        if (!ending.ok()) {
            ADD_FAILURE() << "the run ended: " << ending.message;
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// The PSNR of `a` against `b` over all three planes; infinite where they are the same.
double psnr(const AVFrame& a, const AVFrame& b) {
    if (a.width != b.width || a.height != b.height || a.format != b.format) {
        return 0;
    }
    double squares = 0;
    int64_t samples = 0;
    for (int plane = 0; plane < 3; ++plane) {
        const int rows = plane == 0 ? a.height : (a.height + 1) / 2;
        const int columns = plane == 0 ? a.width : (a.width + 1) / 2;
        for (int y = 0; y < rows; ++y) {
            const uint8_t* p = a.data[plane] + y * a.linesize[plane];
            const uint8_t* q = b.data[plane] + y * b.linesize[plane];
            for (int x = 0; x < columns; ++x) {
                const double d = double(p[x]) - double(q[x]);
                squares += d * d;
            }
            samples += columns;
        }
    }
    return squares == 0 ? std::numeric_limits<double>::infinity()
                        : 10 * std::log10(255.0 * 255.0 * double(samples) / squares);
}

// Playback from any place shows the export's own pictures at that place: the same picture
// (the same pixels, the same time) for every output picture from there on, after a seek
// forward or back too, at the playing size, where the composition holds, blends or makes them;
// none is passed over when every one is asked for.
TEST(LiveRendererTest, ShowsTheExportsPicturesFromWherePlaybackStarts) {
    constexpr double kSame = std::numeric_limits<double>::infinity();
    constexpr double kNearlySame = 50;
    const auto asset = Asset::assetWithPath(test::fixture("short.mp4"));
    ASSERT_TRUE(asset->isPlayable());
    const AssetTrack video = asset->tracksWithMediaType(MediaType::Video).front();
    struct Case {
        const char* name;
        std::vector<Stretch> stretches;
        int maxWidth;
        std::vector<int64_t> startsMs; // one run from each, in turn
        // Infinite: the same pixels. Smooth's motion is measured from the previous pair's as
        // its first guess, so a run begun elsewhere makes its pictures a hair apart (54 to
        // 90 dB here).
        double leastPsnr = kSame;
    };
    const std::vector<Case> cases = {
        {"Smooth x4, mid-way, then back to the start",
         {{0, 2000, 40, MotionMode::Smooth}},
         640,
         {3217, 0},
         kNearlySame},
        {"Blend x3 at a reduced size, then forward",
         {{0, 2000, 30, MotionMode::Blend}},
         160,
         {1000, 4560}},
        {"Smooth x2.5, source pictures off the grid",
         {{0, 2000, 25, MotionMode::Smooth}},
         640,
         {1234},
         kNearlySame},
        {"a held stretch, then Smooth x4 from just inside it",
         {{0, 500, 10, MotionMode::Hold},
          {500, 1500, 40, MotionMode::Smooth},
          {1500, 2000, 10, MotionMode::Hold}},
         640,
         {520, 2345, 4480},
         kNearlySame},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::shared_ptr<Composition> composition = compose(video, c.stretches);
        const VideoFormat format = playingFormat(video, c.maxWidth);
        EXPECT_LE(format.width, c.maxWidth);
        const std::vector<VideoItem> expected = exportPictures(*composition, format);
        ASSERT_FALSE(expected.empty());
        LiveRenderer renderer(composition, format);
        for (int64_t startMs : c.startsMs) {
            SCOPED_TRACE("from " + std::to_string(startMs) + " ms");
            renderer.start(ms(startMs));
            int64_t at = ms(startMs).convertScale(kVideoTimescale).value;
            // A dozen output pictures on, each as the export has it.
            for (int shown = 0; shown < 12; ++shown) {
                const VideoItem* wanted = pictureAt(expected, at);
                if (wanted == nullptr) {
                    break;
                }
                std::optional<VideoItem> live =
                    waitFor(renderer, MediaTime::make(at, kVideoTimescale));
                ASSERT_TRUE(live);
                EXPECT_EQ(live->pts, wanted->pts) << "at tick " << at;
                EXPECT_EQ(live->duration, wanted->duration) << "at tick " << at;
                const double match = psnr(*live->frame, *wanted->frame);
                EXPECT_GE(match, c.leastPsnr) << "at tick " << at;
                at = wanted->pts + wanted->duration;
            }
            EXPECT_EQ(renderer.dropped(), 0);
        }
    }
}

// The player's view follows the player with the export's pictures: paused, the export's own
// picture at the playhead, at full size, again after each seek; playing, pictures of the
// export's grid, only forward, undisturbed by the same pictures set again; a composition that
// holds its pictures gives the player's own back.
TEST(LivePlaybackTest, ShowsTheExportsPicturesAtThePlayersPlace) {
    test::ensureQtApp();
    Player::setHeadless(true);
    const auto asset = Asset::assetWithPath(test::fixture("short.mp4"));
    ASSERT_TRUE(asset->isPlayable());
    const AssetTrack video = asset->tracksWithMediaType(MediaType::Video).front();
    const std::shared_ptr<Composition> smooth = compose(video, {{0, 2000, 40, MotionMode::Smooth}});
    const std::vector<VideoItem> stills = exportPictures(*smooth, playingFormat(video, INT_MAX));
    const std::vector<VideoItem> playing =
        exportPictures(*smooth, playingFormat(video, LivePlayback::kPlayingWidth));

    Player player(asset);
    ASSERT_TRUE(test::waitUntil([&] { return player.status() == Player::Status::ReadyToPlay; }));
    LivePlayback live(&player);
    QSignalSpy pictures(&live, &LivePlayback::pictureChanged);
    live.setComposition(smooth);
    // Planned on a worker, not on the player's thread.
    EXPECT_FALSE(live.isActive());
    ASSERT_TRUE(test::waitUntil([&] { return live.isActive(); }));

    for (int64_t sourceMs : {1000, 1500, 250}) {
        SCOPED_TRACE("paused at " + std::to_string(sourceMs) + " ms of the source");
        player.seek(ms(sourceMs));
        // The export's picture at the place the player reports, which may be the source picture
        // next to the one asked for.
        const auto wanted = [&]() -> const VideoItem* {
            return pictureAt(stills, live.outputClock().convertScale(kVideoTimescale).value);
        };
        EXPECT_TRUE(test::waitUntil([&] {
            return wanted() != nullptr &&
                   live.shownTime() == MediaTime::make(wanted()->pts, kVideoTimescale);
        })) << "shows "
            << live.shownTime().seconds() << " s at " << live.outputClock().seconds() << " s";
        EXPECT_NEAR(live.outputClock().seconds(), double(sourceMs) * 4 / 1000, 4.0 / 30);
        EXPECT_EQ(live.shownSize(), QSize(video.naturalWidth, video.naturalHeight));
    }

    {
        SCOPED_TRACE("playing");
        player.setRate(0.25f);
        std::vector<int64_t> shown;
        test::waitUntil([&] {
            const MediaTime time = live.shownTime();
            const int64_t ticks = time.convertScale(kVideoTimescale).value;
            if (time.isValid() && (shown.empty() || shown.back() != ticks)) {
                shown.push_back(ticks);
            }
            return shown.size() >= 8;
        });
        // The same pictures set again (as when the sound is switched) go on being made.
        const int64_t shownBefore = live.figures().shown;
        live.setComposition(compose(video, {{0, 2000, 40, MotionMode::Smooth}}));
        EXPECT_TRUE(test::waitUntil([&] { return !live.isPlanning(); }));
        EXPECT_GE(live.figures().shown, shownBefore);
        player.pause();
        EXPECT_GE(shown.size(), 8u);
        for (size_t i = 0; i < shown.size(); ++i) {
            const VideoItem* made = pictureAt(playing, shown[i]);
            ASSERT_NE(made, nullptr) << shown[i];
            EXPECT_EQ(made->pts, shown[i]) << "off the grid";
            if (i > 0) {
                EXPECT_GT(shown[i], shown[i - 1]);
            }
        }
    }

    {
        SCOPED_TRACE("playing a file without sound");
        const auto silent = Asset::assetWithPath(test::fixture("silent.mov"));
        const AssetTrack track = silent->tracksWithMediaType(MediaType::Video).front();
        Player quiet(silent);
        ASSERT_TRUE(test::waitUntil([&] { return quiet.status() == Player::Status::ReadyToPlay; }));
        LivePlayback follows(&quiet);
        follows.setComposition(compose(track, {{0, 10000, 40, MotionMode::Smooth}}));
        quiet.setRate(0.25f);
        // The player's position moves once a source picture (every fourth output picture); the
        // pictures made between are shown all the same.
        constexpr int64_t kSourcePicture = 4 * kVideoTimescale / 30;
        EXPECT_TRUE(test::waitUntil([&] {
            const MediaTime time = follows.shownTime();
            return time.isValid() && time.convertScale(kVideoTimescale).value % kSourcePicture != 0;
        }));
        quiet.pause();
    }

    {
        SCOPED_TRACE("held, set before the Smooth one was planned");
        live.setComposition(smooth);
        live.setComposition(compose(video, {{0, 2000, 40, MotionMode::Hold}}));
        EXPECT_TRUE(test::waitUntil([&] { return !live.shownTime().isValid(); }));
        // Both plans made and handed over: the Smooth one, set first, was left behind.
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::processEvents();
        EXPECT_FALSE(live.isActive());
        EXPECT_FALSE(live.shownTime().isValid());
        ASSERT_FALSE(pictures.isEmpty());
        EXPECT_TRUE(pictures.back().front().value<QImage>().isNull());
    }
}

} // namespace
} // namespace lento
