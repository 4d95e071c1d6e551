#include "media/BoundedQueue.h"
#include "media/ExportSetup.h"
#include "media/MapStretcher.h"
#include "media/SoundSink.h"
#include "media/StreamPlan.h"
#include "support/MediaProbe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <numbers>
#include <thread>

namespace lento {
namespace {

using test::fixture;

struct Parcel {
    int number = 0;
    size_t size = 1;
    size_t bytes() const { return size; }
};

// A fast producer never gets more than the queue's bound ahead of its consumer, counted in items
// or in bytes, whichever binds first; a parcel larger than the byte bound still passes alone.
// Closing hands out what is left, then tells how the producer ended; aborting drops what is left
// and turns the producer away.
TEST(BoundedQueueTest, HoldsItsBoundAndEndsAsItsProducerSays) {
    struct Case {
        size_t maxItems, maxBytes, parcelBytes;
        int ahead; // the most parcels the producer may be ahead
    };
    for (const Case& c : {Case{3, SIZE_MAX, 1, 3}, Case{100, 25, 10, 2}, Case{4, 8, 100, 1}}) {
        SCOPED_TRACE(::testing::Message() << c.maxItems << " items, " << c.maxBytes << " bytes");
        BoundedQueue<Parcel> queue(c.maxItems, c.maxBytes);
        constexpr int kParcels = 200;
        std::atomic<int> pushed{0};
        std::atomic<bool> closed{false};
        std::thread producer([&] {
            for (int i = 0; i < kParcels; ++i) {
                if (!queue.push({i, c.parcelBytes})) {
                    ADD_FAILURE() << "parcel " << i << " turned away";
                    break;
                }
                ++pushed;
            }
            queue.close(StageOutcome::failed("the source went away", AVERROR(EIO)));
            closed = true;
        });
        int popped = 0;
        int mostAhead = 0;
        while (true) {
            // Let the producer fill the queue, or end.
            while (pushed - popped < c.ahead && !closed) {
                std::this_thread::yield();
            }
            mostAhead = std::max(mostAhead, pushed - popped);
            const Parcel* front = queue.front();
            if (front == nullptr) {
                break;
            }
            EXPECT_EQ(front->number, popped);
            std::optional<Parcel> parcel = queue.pop();
            ASSERT_TRUE(parcel);
            ASSERT_EQ(parcel->number, popped);
            ++popped;
        }
        producer.join();
        EXPECT_EQ(popped, kParcels);
        EXPECT_EQ(mostAhead, c.ahead);
        const StageOutcome ending = queue.ending();
        EXPECT_TRUE(ending.isFailure());
        EXPECT_EQ(ending.code, AVERROR(EIO));
        EXPECT_EQ(ending.message, "the source went away");
        EXPECT_FALSE(queue.push({0, 1}));
    }

    BoundedQueue<Parcel> aborted(4);
    ASSERT_TRUE(aborted.push({1, 1}));
    aborted.abort();
    aborted.close(); // too late: the queue was aborted first
    EXPECT_FALSE(aborted.push({2, 1}));
    EXPECT_FALSE(aborted.pop());
    EXPECT_TRUE(aborted.ending().isStop());
}

// A tone of `count` samples at 48 kHz in `channels` channels, in blocks as the reader hands them.
StageOutcome feedTone(MapStretcher& stretcher, const MapStretcher::Sink& sink, int channels,
                      int64_t count) {
    const std::atomic<bool> stop{false};
    Planes block(static_cast<size_t>(channels), std::vector<float>(kSoundBlock));
    std::vector<const float*> pointers;
    for (const auto& plane : block) {
        pointers.push_back(plane.data());
    }
    for (int64_t at = 0; at < count;) {
        const int n = static_cast<int>(std::min<int64_t>(kSoundBlock, count - at));
        for (auto& plane : block) {
            for (int i = 0; i < n; ++i) {
                plane[static_cast<size_t>(i)] =
                    0.5f * float(std::sin(2 * std::numbers::pi * 440 * double(at + i) / 48000));
            }
        }
        if (StageOutcome processed = stretcher.push(pointers.data(), n, sink, stop);
            !processed.ok()) {
            return processed;
        }
        at += n;
    }
    return StageOutcome::succeeded();
}

// Stretched sound lasts exactly its segment's length, sample for sample, at every factor the
// stretcher takes, unchanged at x1, for segments a few samples long, and where its first samples
// fall under sound already written; and it is the tone, not silence.
TEST(StretcherTest, StretchedSoundLastsExactlyItsSegment) {
    struct Case {
        int64_t source, target, skip;
        int channels;
    };
    for (const Case& c :
         {Case{48000, 120000, 0, 1}, Case{24000, 240000, 0, 2}, Case{48000, 4800, 0, 1},
          Case{30011, 29989, 0, 1}, Case{48000, 96000, 700, 1}, Case{7, 70, 0, 1},
          Case{48000, 48000, 0, 2}}) {
        SCOPED_TRACE(::testing::Message() << c.source << " to " << c.target << " skipping "
                                          << c.skip << ", " << c.channels << " channels");
        const AudioFormat format{48000, c.channels, 1024};
        BoundedQueue<AudioItem> queue(SIZE_MAX);
        SoundSink sink(format, queue);
        ASSERT_TRUE(sink.valid());
        SegmentOutput output(sink, c.channels, c.target - c.skip, c.skip);
        std::string error;
        std::optional<TimeMap> map =
            TimeMap::make({{MediaTime::zero(), MediaTime::make(c.source, 48000),
                            *SpeedFactor::make(c.target, c.source)}},
                          MediaTime::make(c.source, 48000), error);
        ASSERT_TRUE(map) << error;
        MapStretcher stretcher(*map, 48000, c.channels);
        const MapStretcher::Sink write = [&](const float* const* planes, int64_t count) {
            return output.write(planes, static_cast<int>(count));
        };
        const std::atomic<bool> stop{false};
        ASSERT_TRUE(stretcher.start(0).ok());
        ASSERT_TRUE(feedTone(stretcher, write, c.channels, c.source).ok());
        ASSERT_TRUE(stretcher.finish(write, stop).ok());
        ASSERT_TRUE(output.finish().ok());
        ASSERT_TRUE(sink.finish().ok());
        queue.close();

        std::vector<float> sound; // the first channel
        while (std::optional<AudioItem> item = queue.pop()) {
            ASSERT_EQ(item->firstSample, int64_t(sound.size()));
            ASSERT_EQ(item->frame->ch_layout.nb_channels, c.channels);
            const auto* plane = reinterpret_cast<const float*>(item->frame->extended_data[0]);
            sound.insert(sound.end(), plane, plane + item->frame->nb_samples);
        }
        EXPECT_EQ(int64_t(sound.size()), c.target - c.skip);
        // The tone from the first sample to the last: nothing held back, nothing padded.
        const auto loudness = [&](size_t from) {
            double energy = 0;
            for (size_t i = from; i < from + 1024; ++i) {
                energy += double(sound[i]) * sound[i];
            }
            return std::sqrt(energy / 1024);
        };
        if (sound.size() >= 4096) {
            EXPECT_GT(loudness(0), 0.05);
            EXPECT_GT(loudness(sound.size() - 1024), 0.05);
        }
        if (c.source == c.target) {
            // Copied: the very samples given.
            EXPECT_FLOAT_EQ(sound[100],
                            0.5f * float(std::sin(2 * std::numbers::pi * 440 * 100 / 48000.0)));
        }
    }
}

// Which streams a movie has, and which go into it undecoded: pictures are copied only where the
// preset copies and the export is one whole source held longer, sound only at its own speed with
// its own rate and channels, and either only where the container can hold it as it is. Encoded
// pictures take the preset's size, keeping non-square pixels where the shown picture fits.
TEST(StreamPlanTest, CopiesWhatTheSourceAndContainerAllowAndEncodesTheRest) {
    struct Case {
        const char* source;
        SpeedFactor factor;
        MotionMode motion;
        const char* preset;
        FileType type;
        int video; // 0 none, 1 encoded, 2 copied
        int audio;
        int width, height;
        AVRational aspect;
    };
    const auto hold = MotionMode::Hold;
    const auto smooth = MotionMode::Smooth;
    const auto x1 = SpeedFactor();
    const auto x2 = SpeedFactor::whole(2);
    const auto mp4 = FileType::MPEG4;
    const auto mov = FileType::QuickTimeMovie;
    const auto gpp = FileType::ThreeGPP;
    using namespace ExportPresetName;
    const Case cases[] = {
        {"clip.mp4", SpeedFactor::whole(3), hold, Original, mp4, 2, 1, 320, 240, {1, 1}},
        {"clip.mp4", x1, hold, Original, mp4, 2, 2, 320, 240, {1, 1}},
        {"clip.mp4", x1, hold, H264_1280x720, mp4, 1, 2, 320, 240, {1, 1}},
        {"clip.mp4", x2, smooth, Original, mp4, 1, 1, 320, 240, {1, 1}},
        {"sync.mp4", x2, hold, H264_1280x720, mp4, 1, 1, 320, 240, {1, 1}},
        {"phone.mov", x1, hold, H264_1280x720, gpp, 1, 2, 160, 120, {1, 1}},
        {"clip.wmv", x1, hold, H264_1280x720, mp4, 1, 1, 320, 240, {1, 1}},
        {"hdr.mov", x2, hold, Original, mov, 2, 0, 160, 120, {1, 1}},
        {"damaged.mp4", x2, hold, Original, mp4, 1, 1, 320, 240, {1, 1}},
        {"silent.mov", x1, hold, SourceSize, mov, 1, 0, 320, 240, {1, 1}},
        {"audio.m4a", x1, hold, H264_1280x720, mp4, 0, 2, 0, 0, {1, 1}},
        {"anamorphic.mp4", x2, hold, SourceSize, mp4, 1, 0, 720, 480, {32, 27}},
        {"anamorphic.mp4", x2, hold, P480, mp4, 1, 0, 720, 480, {32, 27}},
        {"anamorphic.mp4", x2, hold, H264_640x480, mp4, 1, 0, 640, 360, {1, 1}},
        {"anamorphic-portrait.mp4", x2, hold, P720, mp4, 1, 0, 1280, 720, {3, 4}},
        {"anamorphic-portrait.mp4", x2, hold, P540, mp4, 1, 0, 720, 540, {1, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.source) + " x" + c.factor.text() + " " + c.preset + " " +
                     fileTypeName(c.type));
        auto asset = Asset::assetWithPath(fixture(c.source));
        ASSERT_TRUE(asset->isPlayable()) << asset->error();
        const auto composition =
            makeFullVideoComposition(*asset, c.factor, false, MediaTimeRange::invalid(), c.motion);
        const ExportPlan plan = planExport(*composition, MediaTimeRange::invalid());
        const ExportPreset& preset = *exportPresetNamed(c.preset);
        StreamPlan streams = planStreams(plan, preset);
        ASSERT_TRUE(chooseCopies(plan, preset, c.type, streams).ok());
        EXPECT_EQ(streams.hasVideo ? 1 + int(streams.videoCopied) : 0, c.video);
        EXPECT_EQ(streams.hasAudio ? 1 + int(streams.audioCopied) : 0, c.audio);
        EXPECT_EQ(streams.videoCopier.has_value(), streams.videoCopied);
        EXPECT_EQ(streams.audioCopier.has_value(), streams.audioCopied);
        if (c.video == 1) {
            EXPECT_EQ(streams.video.width, c.width);
            EXPECT_EQ(streams.video.height, c.height);
            EXPECT_EQ(av_cmp_q(streams.video.sampleAspect, c.aspect), 0);
        }
    }
}

} // namespace
} // namespace lento
