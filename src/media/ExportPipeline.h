#pragma once

// The stages of an export: the video and sound renderers that run on their own threads and
// hand finished pictures and sound to the writer through bounded queues.

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

// A composition segment as the export sees it: its target range measured from the start of
// the exported range, clipped to it.
struct PlacedSegment {
    AssetTrack source;
    MediaTimeRange sourceRange;
    MediaTimeRange targetRange;
    MotionMode motion = MotionMode::Hold;
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

// One stream of a source file opened for decoding; the file's other streams are skipped.
struct SourceStream {
    std::string path;
    int streamIndex = -1;
    InputContextPtr format;
    CodecContextPtr decoder;
    AVRational timeBase{1, 1};
    int64_t origin = 0; // the asset's start, in timeBase units

    int64_t fileSize = -1; // in bytes when opened; -1 when the input cannot tell

    // Probing reads the first stretch of every stream; a stream only decoded can often do
    // without, a copied one needs what it finds.
    enum class Probing { Full, HeaderWhereEnough };
    StageOutcome open(const AssetTrack& track, int decoderThreads, Probing probing = Probing::Full);
    bool isSame(const AssetTrack& track) const;
    // Seeks to the key frame at or before `timestamp` (in timeBase units, origin included) and
    // empties the decoder. False when the file cannot seek there.
    bool seek(int64_t timestamp);
    // Reads the file's next packet into `packet`, succeeding with `ended` set at the end of the
    // file. Only the end of the file ends the input: a read error fails with the system's
    // reason, and so does a file that has become shorter since it was opened (cut by another
    // program, or on a medium that went away), which the demuxer takes for its end.
    StageOutcome readPacket(AVPacket& packet, bool& ended);
    // Reads the file's next packet and hands it to the decoder when it is this stream's, or
    // tells the decoder the input has ended (setting `inputEnded`). A damaged packet is dropped
    // and decoding goes on; reading fails as `readPacket` says, and decoding when memory runs
    // out, the message naming `what` was being decoded.
    StageOutcome feedDecoder(AVPacket& packet, bool& inputEnded, const char* what);
};

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
    AVRational sampleAspect{1, 1}; // the shape of a pixel, as the movie says it
    AVPixelFormat pixelFormat = AV_PIX_FMT_YUV420P; // 4:2:0, 8 or 10 bits
};

struct AudioFormat {
    int sampleRate = 0;
    int channels = 0;
    int frameSize = 1024; // samples per item: an AAC frame
};

// Decodes, retimes and scales the pictures of `segments`, ending the stream at `end`
// (in kVideoTimescale units). Every decoded picture of each segment is handed on once, in order.
StageOutcome renderVideo(const std::vector<PlacedSegment>& segments, const VideoFormat& format,
                         int64_t end, BoundedQueue<VideoItem>& queue,
                         const std::atomic<bool>& stop);

// Decodes, stretches (keeping the pitch) and places the sound of `segments`, silence between
// them, `totalSamples` samples in all.
StageOutcome renderAudio(const std::vector<PlacedSegment>& segments, const AudioFormat& format,
                         int64_t totalSamples, BoundedQueue<AudioItem>& queue,
                         const std::atomic<bool>& stop);

} // namespace lento
