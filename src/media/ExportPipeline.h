#pragma once

// What the stages of an export share: the plan of what it writes, and the pictures and sound
// the renderers hand to the writer, on their own threads, through bounded queues.

#include "media/BoundedQueue.h"
#include "media/Composition.h"
#include "media/FfmpegHandles.h"
#include "media/StageOutcome.h"

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

namespace lento {

// Output picture times are counted in 1/90000 s, which holds the frame times of the usual
// frame rates exactly.
inline constexpr int kVideoTimescale = 90000;

static_assert(SegmentTiming::kTimescale == kVideoTimescale);

// A composition segment as the export sees it: its target range measured from the start of
// the exported range, clipped to it.
struct PlacedSegment {
    AssetTrack source;
    MediaTimeRange sourceRange;
    MediaTimeRange targetRange;
    MotionMode motion = MotionMode::Hold;
    SegmentTiming timing; // mapped: measured from the start of the exported range too

    // Where a source time within the segment lands on the export's timeline.
    MediaTime targetAt(MediaTime sourceTime) const;
    // The source time shown at a time on the export's timeline within the segment.
    MediaTime sourceAt(MediaTime targetTime) const;
};

// The non-empty segments of `track` that meet `exportRange`, clipped to it.
std::vector<PlacedSegment> placeSegments(const CompositionTrack& track,
                                         const MediaTimeRange& exportRange);

// What an export of a composition writes: the range, the segments of its first video and sound
// tracks that hold media, placed in it, and what the user should know about the result.
struct ExportPlan {
    MediaTimeRange range;
    std::vector<PlacedSegment> video;
    std::vector<PlacedSegment> audio;
    // Set when a source is damaged and the export ends where its readable part ends.
    std::string warning;
    bool rangeEmpty = false; // a range was asked for and holds no time

    bool isEmpty() const { return video.empty() && audio.empty(); }
    // Fails where there is nothing to write: an empty range (never taken for "everything"), or
    // a range that holds no media.
    StageOutcome check() const;
};

// Plans the export of `requested`, all of `composition` when the range is invalid. A source cut
// off mid-file ends the export where its readable content ends, for pictures and sound alike.
ExportPlan planExport(const Composition& composition, MediaTimeRange requested);

// The bytes of picture or sound memory a frame holds.
size_t frameBytes(const AVFrame* frame);

// Output pictures (one size and format) whose memory comes back to a pool once the encoder is
// done with them: fresh memory for every picture costs the kernel more time than making it.
class PicturePool {
public:
    // A picture of `width` x `height` in `format` with uninitialised pixels; null when out of
    // memory.
    FramePtr take(int width, int height, AVPixelFormat format = AV_PIX_FMT_YUV420P);

private:
    BufferPoolPtr m_pool;
    int m_width = 0;
    int m_height = 0;
    AVPixelFormat m_format = AV_PIX_FMT_NONE;
};

struct VideoItem {
    FramePtr frame; // 4:2:0 at the output size and depth
    int64_t pts = 0;
    int64_t duration = 0;
    // The source time a picture retimed along a time map shows; invalid otherwise.
    MediaTime source = MediaTime::invalid();

    size_t bytes() const { return frameBytes(frame.get()); }
};

struct AudioItem {
    FramePtr frame; // planar float at the output rate, at most one encoder frame long
    int64_t firstSample = 0;

    size_t bytes() const { return frameBytes(frame.get()); }
};

struct VideoFormat {
    int width = 0;
    int height = 0;
    AVRational sampleAspect{1, 1};                  // the shape of a pixel, as the movie says it
    AVPixelFormat pixelFormat = AV_PIX_FMT_YUV420P; // 4:2:0, 8 or 10 bits
};

struct AudioFormat {
    int sampleRate = 0;
    int channels = 0;
    int frameSize = 1024; // samples per item: an AAC frame
};

} // namespace lento
