#include "edit/SectionComposition.h"
#include "media/ExportPipeline.h"
#include "media/ExportSession.h"
#include "media/ExportSetup.h"
#include "media/FrameStage.h"
#include "media/PictureTiming.h"
#include "media/TimeMap.h"
#include "support/ExportTesting.h"
#include "support/MediaProbe.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/frame.h>
}

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

namespace lento {
namespace {

using test::fixture;

constexpr double kFrame = 1.0 / 30.0;

MediaTime sec(double seconds) {
    return MediaTime::make(std::llround(seconds * 1000), 1000);
}

SectionState section(double start, double end, const char* factor, double rampIn, double rampOut,
                     MotionMode motion = MotionMode::Hold, bool sound = true) {
    return {QString(), sec(start), sec(end),    *SpeedFactor::fromText(factor),
            sound,     motion,     sec(rampIn), sec(rampOut)};
}

// The cut's map, made here from its sections: what the export should follow.
std::shared_ptr<const TimeMap> mapOf(const EditCut& cut) {
    std::vector<TimeMap::Section> retimed;
    for (const SectionState& s : cut.sections) {
        retimed.push_back({s.start, s.end, s.factor, s.rampIn, s.rampOut});
    }
    std::string error;
    std::optional<TimeMap> map = TimeMap::make(retimed, cut.range.end(), error);
    EXPECT_TRUE(map) << error;
    return map ? std::make_shared<const TimeMap>(std::move(*map)) : nullptr;
}

double outputSeconds(const TimeMap& map, double source) {
    return map.outputTime(sec(source), kVideoTimescale).seconds();
}

struct Case {
    const char* name;
    std::vector<SectionState> sections;
    double seconds;
};

class RampedExportTest : public ::testing::Test {
protected:
    // Lays the first `seconds` of `source` with the case's sections as the editor does and
    // exports it; the cut's time map, or null with the failure told.
    std::shared_ptr<const TimeMap> exportCase(const char* source, const Case& c) {
        const EditCut cut{c.sections,
                          MediaTimeRange::fromTimeToTime(MediaTime::zero(), sec(c.seconds))};
        auto asset = Asset::assetWithPath(fixture(source));
        auto session = ExportSession::exportSessionWithAsset(makeComposition(*asset, cut),
                                                             ExportPresetName::H264_640x480);
        session->setOutputURL(out(c.name));
        session->setOutputFileType(
            outputFileTypeForDestination(session->supportedFileTypes(), out(c.name)));
        session->exportAsynchronouslyWithCompletionHandler([] {});
        session->waitUntilFinished();
        const bool completed = session->status() == ExportSession::Status::Completed;
        EXPECT_TRUE(completed) << session->error();
        return completed ? mapOf(cut) : nullptr;
    }

    std::string out(const std::string& name) const { return folder / (name + ".mp4"); }

    test::TestFolder folder;
};

// The movie lasts as long as the map makes the cut, to one output frame, on both tracks: through
// a ramp in and out, through touching sections' one transition, through ramps that fill their
// section. The sound is there inside ramps, and a muted section is silent through its ramps.
// Hold shows every source picture once, in order, from the map's output time of its stamp to
// that of the next one's; Blend and Smooth fill the constant output grid, as many pictures as
// the map's length holds, and a grid time the map takes back onto a source picture shows that
// picture.
TEST_F(RampedExportTest, FollowsTheMapOnBothTracks) {
    const Case cases[] = {
        {"held-in-and-out", {section(0.5, 2.5, "4", 0.5, 0.75)}, 3},
        {"held-touching", {section(0.3, 1.3, "2", 0, 0.5), section(1.3, 2.7, "3.5", 0.5, 0.3)}, 3},
        {"blended-touching",
         {section(0.4, 1.4, "2", 0, 0.4, MotionMode::Blend),
          section(1.4, 2.6, "4", 0.3, 0.6, MotionMode::Blend)},
         3},
        {"smooth-filled-then-muted",
         {section(0, 1.6, "2.5", 0.8, 0.8, MotionMode::Smooth),
          section(2, 2.8, "2", 0.2, 0.2, MotionMode::Smooth, false)},
         3},
    };
    const auto source = test::decodeVideoFrames(fixture("clip.mp4"));
    std::vector<MediaTime> stamps;
    for (const test::DecodedFrame& frame : source) {
        stamps.push_back(MediaTime::make(frame.index, 30));
    }
    const MediaTime period = MediaTime::make(1, 30);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::shared_ptr<const TimeMap> map = exportCase("clip.mp4", c);
        ASSERT_TRUE(map);
        const double length = map->outputDuration().seconds();
        const auto probe = test::probe(out(c.name));
        ASSERT_TRUE(probe.video() && probe.audio());
        EXPECT_NEAR(probe.video()->durationSeconds, length, kFrame);
        EXPECT_NEAR(probe.audio()->durationSeconds, probe.video()->durationSeconds, kFrame);
        for (const SectionState& s : c.sections) {
            // Into a section's ramp in, or all of a muted one, away from its bounds.
            const double start = s.start.seconds();
            const double rms = test::soundRms(
                out(c.name), outputSeconds(*map, start + 0.05),
                outputSeconds(*map, s.audio ? start + 0.15 : s.end.seconds() - 0.05));
            if (s.audio) {
                EXPECT_GT(rms, 0.02) << start;
            } else {
                EXPECT_LT(rms, 0.001) << start;
            }
        }

        const auto frames = test::decodeVideoFrames(out(c.name));
        if (c.sections.front().motion == MotionMode::Hold) {
            ASSERT_EQ(frames.size(), size_t(c.seconds * 30));
            for (size_t i = 0; i < frames.size(); ++i) {
                ASSERT_EQ(frames[i].index, source[i].index) << i;
                const MediaTime shown = map->outputTime(stamps[i], kVideoTimescale);
                EXPECT_NEAR(frames[i].time, shown.seconds(), 0.002) << i;
            }
            continue;
        }
        ASSERT_EQ(int64_t(frames.size()), gridPictureCount(*map, period));
        int onSource = 0;
        for (size_t i = 0; i < frames.size(); ++i) {
            EXPECT_NEAR(frames[i].time, double(i) * kFrame, 0.002) << i;
            const GridPicture grid = gridPicture(*map, int64_t(i), period, stamps, kVideoTimescale);
            if (grid.isSourcePicture()) {
                EXPECT_EQ(frames[i].index, int(grid.before)) << i;
                ++onSource;
            }
        }
        EXPECT_GT(onSource, 12); // at least the pictures outside the sections
    }
}

// sync.mp4 flashes and beeps at every whole second: each flash and its beep stay within 40 ms of
// each other inside the ramps and after them, and each flash lies where the map puts it.
TEST_F(RampedExportTest, FlashesAndBeepsStayTogetherThroughRamps) {
    const Case cases[] = {
        // Flashes at 1 and 3 s halfway through the ramps, 2 s between them, 4 s after.
        {"in-and-out", {section(0.5, 3.5, "3", 1, 1)}, 4.5},
        // One transition from x2 to x4 over 1.7 to 2.7 s, through the flash at 2 s; 3 s and 4 s
        // after it.
        {"touching", {section(0.5, 2.2, "2", 0, 0.5), section(2.2, 3.6, "4", 0.5, 0.3)}, 4.5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::shared_ptr<const TimeMap> map = exportCase("sync.mp4", c);
        ASSERT_TRUE(map);
        const test::SyncReport sync = test::measureSync(out(c.name));
        EXPECT_EQ(sync.pairs, 5);
        EXPECT_LT(sync.worstSeconds, 0.040);
        int flash = 0;
        for (const test::DecodedFrame& frame : test::decodeVideoFrames(out(c.name))) {
            if (frame.meanLuma > 180) {
                EXPECT_NEAR(frame.time, outputSeconds(*map, flash), 0.002) << flash;
                ++flash;
            }
        }
        EXPECT_EQ(flash, 5);
    }
}

// A 4:2:0 picture whose left half has luma `left` and right half `right`: swapping the two
// changes the picture but not its histogram, which a scene cut would.
FramePtr halvesPicture(int left, int right) {
    FramePtr frame = makeFrame();
    frame->width = 64;
    frame->height = 48;
    frame->format = AV_PIX_FMT_YUV420P;
    if (av_frame_get_buffer(frame.get(), 0) < 0) {
        return nullptr;
    }
    for (int plane = 0; plane < 3; ++plane) {
        const int rows = plane == 0 ? frame->height : frame->height / 2;
        const int half = (plane == 0 ? frame->width : frame->width / 2) / 2;
        for (int y = 0; y < rows; ++y) {
            uint8_t* row = frame->data[plane] + y * frame->linesize[plane];
            std::fill_n(row, half, plane == 0 ? left : 128);
            std::fill_n(row + half, half, plane == 0 ? right : 128);
        }
    }
    return frame;
}

// Pictures stamped 1 s apart in the source, 0.1 s apart on the output: the blended picture a
// third of the way in output time lies where the map's source position puts it between their
// stamps, a ninth of the way under a map that eases in as t^2 (output 0.1 s to source 1 s), and
// a third without a map.
TEST(RampedFrameStage, MakesEachPictureWhereTheMapPutsItsTimeBetweenTheStamps) {
    struct Case {
        const char* name;
        bool mapped;
        double fraction;
    };
    for (const Case& c : {Case{"eased", true, 1.0 / 9}, Case{"in proportion", false, 1.0 / 3}}) {
        SCOPED_TRACE(c.name);
        std::vector<VideoItem> made;
        FrameStage::SourcePosition sourceAt;
        if (c.mapped) {
            sourceAt = [](int64_t time) { return MediaTime::make(time * time, 9000 * 9000); };
        }
        FrameStage stage(
            MotionMode::Blend, AVRational{30, 1},
            [&](VideoItem item) {
                made.push_back(std::move(item));
                return true;
            },
            nullptr, sourceAt);
        for (int64_t i = 0; i < 3; ++i) {
            const bool even = i % 2 == 0;
            FramePtr picture = halvesPicture(even ? 20 : 200, even ? 200 : 20);
            ASSERT_TRUE(
                stage.push(VideoItem{std::move(picture), 9000 * i, 9000, MediaTime::make(i, 1)})
                    .ok());
        }
        ASSERT_TRUE(stage.finish().ok());
        ASSERT_GE(made.size(), 3u);
        EXPECT_EQ(made[1].pts, 3000);
        EXPECT_NEAR(made[1].frame->data[0][0], 20 + 180 * c.fraction, 1.0);
    }
}

} // namespace
} // namespace lento
