#include "media/FrameStage.h"

#include "support/MediaProbe.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace lento {
namespace {

using Luma = std::function<int(int x, int y)>;
using Chroma = std::function<int(int x, int y)>; // in chroma pixels

FramePtr picture(int width, int height, const Luma& luma, const Chroma& chromaU) {
    FramePtr frame = makeFrame();
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame.get(), 0) < 0) {
        ADD_FAILURE() << "cannot allocate a picture";
        return nullptr;
    }
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            frame->data[0][y * frame->linesize[0] + x] = uint8_t(luma(x, y));
        }
    }
    for (int y = 0; y < (height + 1) / 2; ++y) {
        for (int x = 0; x < (width + 1) / 2; ++x) {
            frame->data[1][y * frame->linesize[1] + x] = uint8_t(chromaU(x, y));
            frame->data[2][y * frame->linesize[2] + x] = 128;
        }
    }
    return frame;
}

int background(int x, int y) {
    return int(60 + 25 * std::sin(0.31 * x + 0.1 * y) + 20 * std::sin(0.17 * y - 0.23 * x));
}

int otherBackground(int x, int y) {
    return int(60 + 25 * std::sin(0.13 * x - 0.29 * y) + 20 * std::cos(0.21 * y + 0.11 * x));
}

// A bright textured square (with its own chroma) moving over a darker textured background, in
// pictures large enough for motion to be measured at the scale exports and previews use.
constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr int kSide = 48;
constexpr double kStartX = 60, kStartY = 50;         // top left corner at the first picture
constexpr double kStepX = 10, kStepY = 5;            // per source picture
constexpr int kBrightLuma = 140, kSquareChroma = 90; // what sets the square apart

FramePtr squareAt(int left, int top) {
    return picture(
        kWidth, kHeight,
        [=](int x, int y) {
            const int u = x - left, v = y - top;
            if (u >= 0 && u < kSide && v >= 0 && v < kSide) {
                return int(190 + 20 * std::sin(0.5 * u) + 15 * std::cos(0.45 * v + 0.2 * u));
            }
            return background(x, y);
        },
        [=](int x, int y) {
            const bool inside =
                2 * x >= left && 2 * x < left + kSide && 2 * y >= top && 2 * y < top + kSide;
            return inside ? kSquareChroma : 128;
        });
}

// The first `count` pictures of a 30 fps shot of the square, slowed four times.
constexpr int64_t kSlowedDuration = 4 * 3000;
std::vector<VideoItem> movingSquare(int count) {
    std::vector<VideoItem> pictures;
    for (int k = 0; k < count; ++k) {
        pictures.push_back(VideoItem{squareAt(int(kStartX + kStepX * k), int(kStartY + kStepY * k)),
                                     k * kSlowedDuration, kSlowedDuration});
    }
    return pictures;
}

struct Centroid {
    double x = 0, y = 0;
    int area = 0;
};

Centroid centroid(const AVFrame& frame, int planeIndex, const std::function<bool(int)>& inside) {
    const int width = planeIndex == 0 ? frame.width : (frame.width + 1) / 2;
    const int height = planeIndex == 0 ? frame.height : (frame.height + 1) / 2;
    Centroid found;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (inside(frame.data[planeIndex][y * frame.linesize[planeIndex] + x])) {
                found.x += x + 0.5;
                found.y += y + 0.5;
                ++found.area;
            }
        }
    }
    if (found.area > 0) {
        found.x /= found.area;
        found.y /= found.area;
    }
    return found;
}

FramePtr reference(const AVFrame& frame) {
    return FramePtr(av_frame_clone(&frame));
}

bool samePixels(const AVFrame& a, const AVFrame& b) {
    for (int index = 0; index < 3; ++index) {
        const int width = index == 0 ? a.width : (a.width + 1) / 2;
        const int height = index == 0 ? a.height : (a.height + 1) / 2;
        for (int y = 0; y < height; ++y) {
            if (std::memcmp(a.data[index] + y * a.linesize[index],
                            b.data[index] + y * b.linesize[index], size_t(width)) != 0) {
                return false;
            }
        }
    }
    return true;
}

// Runs `pictures` (with their times and durations) through a stage and returns its output.
std::vector<VideoItem> runStage(MotionMode mode, AVRational rate, std::vector<VideoItem> pictures,
                                int* sceneCuts = nullptr) {
    std::vector<VideoItem> output;
    FrameStage stage(mode, rate, [&](VideoItem item) {
        output.push_back(std::move(item));
        return true;
    });
    for (VideoItem& item : pictures) {
        const StageOutcome pushed = stage.push(std::move(item));
        EXPECT_TRUE(pushed.ok()) << pushed.message;
    }
    const StageOutcome finished = stage.finish();
    EXPECT_TRUE(finished.ok()) << finished.message;
    if (sceneCuts) {
        *sceneCuts = stage.sceneCuts();
    }
    return output;
}

// A 30 fps source slowed four times: three made pictures between two real ones, each showing
// the square where its steady motion puts it at that time.
TEST(FrameStage, SmoothMotionPutsTheMovingSquareWhereItIsAtEachMadeTime) {
    constexpr int kPictures = 5;
    int sceneCuts = -1;
    const std::vector<VideoItem> output =
        runStage(MotionMode::Smooth, AVRational{30, 1}, movingSquare(kPictures), &sceneCuts);
    EXPECT_EQ(sceneCuts, 0);
    ASSERT_EQ(output.size(), size_t(4 * kPictures));
    for (size_t i = 0; i < output.size(); ++i) {
        SCOPED_TRACE("output picture " + std::to_string(i));
        EXPECT_EQ(output[i].pts, int64_t(i) * 3000);
        EXPECT_EQ(output[i].duration, 3000);
        // The last source picture holds to the end of its time.
        const double moved = std::min(double(i) / 4.0, double(kPictures - 1));
        const double centreX = kStartX + kStepX * moved + kSide / 2.0;
        const double centreY = kStartY + kStepY * moved + kSide / 2.0;
        const Centroid luma =
            centroid(*output[i].frame, 0, [](int value) { return value > kBrightLuma; });
        EXPECT_NEAR(luma.x, centreX, 1.0);
        EXPECT_NEAR(luma.y, centreY, 1.0);
        // A ghost or a smear changes how much of the picture is bright.
        EXPECT_NEAR(luma.area, kSide * kSide, kSide * kSide / 10);
        const Centroid chroma =
            centroid(*output[i].frame, 1, [](int value) { return value < kSquareChroma + 19; });
        EXPECT_NEAR(chroma.x, centreX / 2, 1.0);
        EXPECT_NEAR(chroma.y, centreY / 2, 1.0);
    }
}

// A shot that cuts to another: nothing is moved across it. Blend holds the cut's earlier picture
// up to the midpoint and the later one after it, unchanged. Smooth cross-fades the two, unmoved,
// over the middle two thirds of the pair (half and half at the midpoint, also within the
// stamps' rounding, as at 23.976 fps slowed twice) and shows each side unchanged in the sixth
// nearest it. The shot before the cut is a moving square; what follows it either looks
// different or (for Smooth, which sees that motion cannot explain it) alike overall. A flash
// lighting the same shot is no cut: Smooth makes pictures across it, their brightness between
// the two.
TEST(FrameStage, SceneCutsAreNotMovedAcross) {
    struct Case {
        std::string name;
        MotionMode mode;
        Luma next; // none: the square moving on, a flash lighting it
        AVRational rate{30, 1};
        int factor = 4;
    };
    const Luma brighter = [](int x, int y) { return 120 + otherBackground(x, y); };
    const std::vector<Case> cases{
        {"blend, another brightness", MotionMode::Blend, brighter},
        {"smooth, another brightness", MotionMode::Smooth, brighter},
        {"smooth, alike overall", MotionMode::Smooth, otherBackground},
        {"smooth, a flash", MotionMode::Smooth, nullptr},
        {"smooth, slowed eight times", MotionMode::Smooth, brighter, {30, 1}, 8},
        {"smooth, 23.976 fps slowed twice", MotionMode::Smooth, brighter, {24000, 1001}, 2},
        {"blend, 23.976 fps slowed twice", MotionMode::Blend, brighter, {24000, 1001}, 2},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        // Stamped as a section starting one source picture in is, each rounded to a tick.
        const auto stamp = [&](int64_t k) {
            const int64_t scaled = (k + 1) * test.factor * kVideoTimescale * test.rate.den;
            return (2 * scaled + test.rate.num) / (2 * int64_t(test.rate.num));
        };
        std::vector<VideoItem> pictures = movingSquare(3);
        FramePtr last = reference(*pictures.back().frame);
        FramePtr next = test.next
                            ? picture(kWidth, kHeight, test.next, [](int, int) { return 100; })
                            : squareAt(int(kStartX + 3 * kStepX), int(kStartY + 3 * kStepY));
        for (int y = 0; !test.next && y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                uint8_t& luma = next->data[0][y * next->linesize[0] + x];
                luma = uint8_t(std::min(255, luma + 60));
            }
        }
        pictures.push_back(VideoItem{reference(*next), 0, 0});
        for (size_t k = 0; k < pictures.size(); ++k) {
            pictures[k].pts = stamp(int64_t(k));
            pictures[k].duration = stamp(int64_t(k) + 1) - pictures[k].pts;
        }
        int sceneCuts = -1;
        const std::vector<VideoItem> output =
            runStage(test.mode, test.rate, std::move(pictures), &sceneCuts);
        EXPECT_EQ(sceneCuts, test.next ? 1 : 0);
        ASSERT_EQ(output.size(), size_t(4 * test.factor));
        const int64_t span = stamp(3) - stamp(2);
        for (size_t i = 0; i < output.size(); ++i) {
            const int64_t into = output[i].pts - stamp(2);
            if (into < 0) {
                continue;
            }
            SCOPED_TRACE("output picture " + std::to_string(i));
            const AVFrame& shown = *output[i].frame;
            // The later shot's share of a Smooth picture across the cut.
            const double later = std::clamp(1.5 * double(into) / double(span) - 0.25, 0.0, 1.0);
            if (test.next && test.mode == MotionMode::Smooth && later > 0 && later < 1) {
                double worst = 0;
                for (int y = 0; y < kHeight; y += 7) {
                    for (int x = 0; x < kWidth; x += 7) {
                        const double fade = (1 - later) * last->data[0][y * last->linesize[0] + x] +
                                            later * next->data[0][y * next->linesize[0] + x];
                        worst = std::max(worst,
                                         std::abs(shown.data[0][y * shown.linesize[0] + x] - fade));
                    }
                }
                EXPECT_LE(worst, 1.0);
            } else if (test.next && test.mode == MotionMode::Smooth) {
                EXPECT_TRUE(samePixels(shown, later == 0 ? *last : *next));
            } else if (test.next || into == 0 || into >= span) {
                EXPECT_TRUE(samePixels(shown, 2 * into < span ? *last : *next));
            } else {
                const double lighter = double(into) / double(span) * 60;
                EXPECT_NEAR(shown.data[0][5 * shown.linesize[0] + 5],
                            last->data[0][5 * last->linesize[0] + 5] + lighter, 8);
            }
        }
    }
}

// A source showing each picture twice moves in steps: between a repeated picture and the next
// one Smooth cross-fades, as the change came at one unknown moment, rather than showing the
// square at places the source never had it.
TEST(FrameStage, SmoothCrossFadesASourceThatRepeatsItsPictures) {
    std::vector<VideoItem> pictures;
    for (int k = 0; k < 6; ++k) {
        const int shown = k / 2;
        pictures.push_back(VideoItem{squareAt(int(kStartX + kStepX * 2 * shown), int(kStartY)),
                                     k * kSlowedDuration, kSlowedDuration});
    }
    std::vector<FramePtr> sources;
    for (const VideoItem& item : pictures) {
        sources.push_back(reference(*item.frame));
    }
    const std::vector<VideoItem> output =
        runStage(MotionMode::Smooth, AVRational{30, 1}, std::move(pictures));
    ASSERT_EQ(output.size(), 24u);
    for (size_t i = 4; i < 20; ++i) {
        SCOPED_TRACE("output picture " + std::to_string(i));
        const AVFrame& a = *sources[i / 4];
        const AVFrame& b = *sources[i / 4 + 1];
        const double fraction = double(i % 4) / 4;
        int worst = 0;
        for (int y = 0; y < kHeight; y += 3) {
            for (int x = 0; x < kWidth; x += 3) {
                const double fade = (1 - fraction) * a.data[0][y * a.linesize[0] + x] +
                                    fraction * b.data[0][y * b.linesize[0] + x];
                worst = std::max(
                    worst,
                    int(std::lround(std::abs(
                        fade - output[i].frame->data[0][y * output[i].frame->linesize[0] + x]))));
            }
        }
        EXPECT_LE(worst, 1);
    }
}

// A variable-rate source on a grid whose period is no whole number of ticks: the grid's times
// are exact, the output ends where the last picture does, and each made picture sits between
// its neighbours by their times (a brightness that rises steadily with time stays on its line).
TEST(FrameStage, MadePicturesFollowTheTimesOfVariableRateSources) {
    const std::vector<int64_t> times{0, 2000, 7000, 9000, 15000};
    constexpr int64_t kEnd = 18000;
    // A ramp across the picture keeps neighbours' histograms alike, as in one shot.
    auto lumaAt = [](double ticks) { return 16 + ticks / 200; };
    std::vector<VideoItem> pictures;
    for (size_t i = 0; i < times.size(); ++i) {
        const int64_t next = i + 1 < times.size() ? times[i + 1] : kEnd;
        const int luma = int(lumaAt(double(times[i])));
        pictures.push_back(VideoItem{
            picture(
                64, 48, [=](int x, int) { return luma + 2 * x; }, [](int, int) { return 128; }),
            times[i], next - times[i]});
    }
    const std::vector<VideoItem> output =
        runStage(MotionMode::Blend, AVRational{24000, 1001}, std::move(pictures));
    const std::vector<int64_t> gridTimes{0, 3754, 7508, 11261, 15015};
    ASSERT_EQ(output.size(), gridTimes.size());
    for (size_t i = 0; i < output.size(); ++i) {
        SCOPED_TRACE("output picture " + std::to_string(i));
        EXPECT_EQ(output[i].pts, gridTimes[i]);
        const int64_t next = i + 1 < output.size() ? gridTimes[i + 1] : kEnd;
        EXPECT_EQ(output[i].duration, next - gridTimes[i]);
        const double expected = lumaAt(double(std::min<int64_t>(gridTimes[i], times.back())));
        EXPECT_NEAR(output[i].frame->data[0][0], expected, 1.0);
    }
}

// The grid's rate from the pictures' own stamps: evenly spaced ones give their spacing whatever
// the average their container states (or the rounding of their stamps), dropped pictures
// included; unevenly spaced ones the usual rate nearest their typical spacing; without stamps
// the stream's stated rates.
TEST(FrameStage, TheGridKeepsToThePicturesOwnSpacing) {
    struct Case {
        std::string name;
        std::vector<int64_t> stamps;
        AVRational timeBase;
        bool even;
        AVRational grid;
    };
    auto stamped = [](int count, const std::function<int64_t(int)>& at) {
        std::vector<int64_t> stamps;
        for (int i = 0; i < count; ++i) {
            stamps.push_back(at(i));
        }
        return stamps;
    };
    const std::vector<Case> cases{
        {"every 4th picture of 29.97 fps",
         stamped(30, [](int i) { return i * 4004; }),
         {1, 30000},
         true,
         {7500, 1001}},
        {"29.97 fps in milliseconds",
         stamped(64, [](int i) { return (i * 1001 + 15) / 30; }),
         {1, 1000},
         true,
         {30000, 1001}},
        {"25 fps with a dropped picture and a late last one, out of order",
         {3, 0, 1, 2, 5, 6, 4, 9, 7, 8, 11},
         {1, 25},
         true,
         {25, 1}},
        {"a phone's variable rate",
         stamped(60, [](int i) { return i * 3000 + (i % 7 == 3 ? 450 : 0); }),
         {1, 90000},
         false,
         {30, 1}},
        {"a 15 fps AVI file that leaves out repeated pictures",
         {0, 11, 17, 24, 31, 37, 43, 49},
         {1, 15},
         true,
         {15, 1}},
        {"a phone's slow motion, every 4th on the grid",
         stamped(40, [](int i) { return i; }),
         {1, 240},
         true,
         {60, 1}},
        {"100 fps, every 2nd", stamped(40, [](int i) { return i * 10; }), {1, 1000}, true, {50, 1}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        AssetTrack track;
        track.pictureSpacing = pictureSpacingOf(test.stamps, test.timeBase);
        EXPECT_EQ(track.pictureSpacing.even, test.even);
        EXPECT_EQ(av_cmp_q(motionFrameRate(track), test.grid), 0)
            << motionFrameRate(track).num << "/" << motionFrameRate(track).den;
    }

    struct StatedCase {
        std::string name;
        AVRational nominal, average, grid;
    };
    const std::vector<StatedCase> stated{
        {"one rate written two ways", {30000, 1001}, {2997, 100}, {30000, 1001}},
        {"a variable rate", {90000, 1}, {17900, 600}, {179, 6}},
        {"high speed capped", {240, 1}, {240, 1}, {60, 1}},
        {"nothing known", {0, 0}, {0, 1}, {30, 1}},
    };
    for (const StatedCase& test : stated) {
        SCOPED_TRACE(test.name);
        AssetTrack track;
        track.nominalRate = test.nominal;
        track.averageRate = test.average;
        EXPECT_EQ(av_cmp_q(motionFrameRate(track), test.grid), 0);
    }

    struct FileCase {
        std::string name;
        AVRational grid;
    };
    for (const FileCase& file : std::vector<FileCase>{{"sparse.mp4", {7500, 1001}},
                                                      {"vfr.mp4", {30, 1}},
                                                      {"late.mkv", {30, 1}},
                                                      {"transport.ts", {30, 1}}}) {
        SCOPED_TRACE(file.name);
        auto asset = Asset::assetWithPath(test::fixture(file.name));
        ASSERT_TRUE(asset->isPlayable());
        const AVRational grid = motionFrameRate(asset->tracksWithMediaType(MediaType::Video).at(0));
        EXPECT_EQ(av_cmp_q(grid, file.grid), 0) << grid.num << "/" << grid.den;
    }
}

// Source pictures on the grid pass through as the very same pictures, at their own times, with
// made ones between: stamps as the export retimes them from real files, rounded to ticks, and
// a section that starts between two source pictures, whose later pictures still fall on the grid.
TEST(FrameStage, SourcePicturesOnTheGridPassThroughUnchanged) {
    struct Case {
        std::string name;
        std::vector<int64_t> times; // in ticks, as placed on the output
        int64_t lastDuration;
        AVRational grid;
    };
    auto slowed = [](int count, int64_t factor, const std::function<double(int)>& seconds) {
        std::vector<int64_t> times;
        for (int i = 0; i < count; ++i) {
            times.push_back(std::llround(seconds(i) * double(factor) * kVideoTimescale));
        }
        return times;
    };
    const std::vector<Case> cases{
        {"every 4th picture of 29.97 fps, slowed 4 times",
         slowed(8, 4, [](int i) { return i * 4004 / 30000.0; }),
         4 * 3003,
         {7500, 1001}},
        {"29.97 fps in milliseconds, slowed 3 times",
         slowed(8, 3, [](int i) { return double((i * 1001 + 15) / 30) / 1000; }),
         3 * 3003,
         {30000, 1001}},
        {"a section starting between two pictures of 25 fps, slowed 2 times",
         slowed(8, 2, [](int i) { return i == 0 ? 0.0 : (i - 0.7) / 25; }),
         2 * 3600,
         {25, 1}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        std::vector<VideoItem> pictures;
        std::vector<const uint8_t*> sources;
        for (size_t i = 0; i < test.times.size(); ++i) {
            const int64_t next =
                i + 1 < test.times.size() ? test.times[i + 1] : test.times[i] + test.lastDuration;
            const double shift = 3.0 * double(i);
            pictures.push_back(
                VideoItem{picture(
                              64, 48, [=](int x, int y) { return background(int(x - shift), y); },
                              [](int, int) { return 128; }),
                          test.times[i], next - test.times[i]});
            sources.push_back(pictures.back().frame->data[0]);
        }
        const std::vector<VideoItem> output =
            runStage(MotionMode::Smooth, test.grid, std::move(pictures));
        const double period = double(kVideoTimescale) / av_q2d(test.grid);
        size_t at = 0;
        size_t previous = 0;
        for (size_t i = 0; i < sources.size(); ++i) {
            SCOPED_TRACE("source picture " + std::to_string(i));
            while (at < output.size() && output[at].frame->data[0] != sources[i]) {
                ++at;
            }
            ASSERT_LT(at, output.size()) << "not passed through";
            EXPECT_NEAR(double(output[at].pts), double(test.times[i]), period / 16);
            if (i > 1) {
                // Made pictures fill the grid between two source pictures.
                const double periods = double(test.times[i] - test.times[i - 1]) / period;
                EXPECT_EQ(double(at - previous), std::round(periods));
                EXPECT_NEAR(double(output[at].pts - output[previous].pts),
                            std::round(periods) * period, 1.0);
            }
            previous = at++;
        }
        EXPECT_EQ(output.back().pts + output.back().duration,
                  test.times.back() + test.lastDuration);
    }
}

} // namespace
} // namespace lento
