#pragma once

// The stages of an export: the video and sound renderers that run on their own threads and
// hand finished pictures and sound to the writer through bounded queues.

#include "media/BoundedQueue.h"
#include "media/Composition.h"
#include "media/FfmpegHandles.h"

#include <atomic>
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
};

// The non-empty segments of `track` that meet `exportRange`, clipped to it.
std::vector<PlacedSegment> placeSegments(const CompositionTrack& track,
                                         const MediaTimeRange& exportRange);

// One stream of a source file opened for decoding; the file's other streams are skipped.
struct SourceStream {
    std::string path;
    int streamIndex = -1;
    InputContextPtr format;
    CodecContextPtr decoder;
    AVRational timeBase{1, 1};
    int64_t origin = 0; // the asset's start, in timeBase units

    bool open(const AssetTrack& track, int decoderThreads, std::string& error);
    bool isSame(const AssetTrack& track) const;
};

struct VideoItem {
    FramePtr frame; // yuv420p at the output size
    int64_t pts = 0;
    int64_t duration = 0;
};

struct AudioItem {
    FramePtr frame; // planar float at the output rate, at most one encoder frame long
    int64_t firstSample = 0;
};

struct VideoFormat {
    int width = 0;
    int height = 0;
};

struct AudioFormat {
    int sampleRate = 0;
    int channels = 0;
    int frameSize = 1024; // samples per item
};

// Decodes, retimes and scales the pictures of `segments`, ending the stream at `end`
// (in kVideoTimescale units). Returns an error text, empty on success or when stopped.
std::string renderVideo(const std::vector<PlacedSegment>& segments, const VideoFormat& format,
                        int64_t end, BoundedQueue<VideoItem>& queue, const std::atomic<bool>& stop);

// Decodes, stretches (keeping the pitch) and places the sound of `segments`, silence between
// them, `totalSamples` samples in all. Returns an error text, empty on success or when stopped.
std::string renderAudio(const std::vector<PlacedSegment>& segments, const AudioFormat& format,
                        int64_t totalSamples, BoundedQueue<AudioItem>& queue,
                        const std::atomic<bool>& stop);

} // namespace lento
