#pragma once

#include "media/BoundedQueue.h"
#include "media/ExportPipeline.h"
#include "media/FfmpegHandles.h"
#include "media/StageOutcome.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

struct AVAudioFifo;

namespace lento {

// Planar float sound, one vector a channel.
using Planes = std::vector<std::vector<float>>;

// The most samples a channel the sound stages hand on at once.
inline constexpr int kSoundBlock = 1024;

struct AudioFifoDeleter {
    void operator()(AVAudioFifo* fifo) const;
};
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoDeleter>;

// Collects sound into encoder-sized items on the output timeline. Writing stops when the
// consumer takes no more, and fails when memory runs out.
class SoundSink {
public:
    SoundSink(const AudioFormat& format, BoundedQueue<AudioItem>& queue);

    bool valid() const { return m_fifo != nullptr; }

    // Samples written so far, those still waiting for a whole item included.
    int64_t written() const;

    // Appends `count` samples of each plane (or silence when `planes` is null).
    StageOutcome write(const float* const* planes, int64_t count);
    // Hands out what is left, as a shorter item.
    StageOutcome finish() { return drain(true); }

private:
    StageOutcome append(void* const* planes, int count);
    StageOutcome drain(bool all);

    AudioFormat m_format;
    BoundedQueue<AudioItem>& m_queue;
    AudioFifoPtr m_fifo;
    std::vector<float> m_silence;
    int64_t m_handedOut = 0; // samples already in items
};

// Writes exactly `total` samples of one segment to the sink, after dropping the first `skip`
// of them (where the segment starts under one already written).
class SegmentOutput {
public:
    SegmentOutput(SoundSink& sink, int channels, int64_t total, int64_t skip)
        : m_sink(sink), m_channels(channels), m_left(total), m_skip(skip) {}

    bool full() const { return m_left <= 0; }
    // Samples still owed, those to be dropped included.
    int64_t left() const { return std::max<int64_t>(0, m_left) + m_skip; }

    // Takes `count` samples of each plane (silence when `planes` is null); what goes past the
    // segment's length is cut.
    StageOutcome write(const float* const* planes, int count);
    // Pads with silence up to the segment's length.
    StageOutcome finish();

private:
    SoundSink& m_sink;
    int m_channels;
    int64_t m_left;
    int64_t m_skip;
};

} // namespace lento
