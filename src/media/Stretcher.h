#pragma once

#include "media/ExportPipeline.h"
#include "media/SoundSink.h"
#include "media/StageOutcome.h"

#include <rubberband/rubberband-c.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

namespace lento {

// Planar float sound, one vector a channel.
using Planes = std::vector<std::vector<float>>;

// The most samples a channel the sound stages hand on at once.
inline constexpr int kSoundBlock = 1024;

// The stretcher is built for changes of speed up to ten times either way, the editor's factors
// going from 1 to 10. Rubber Band trusted with more corrupts its memory (from about x300 in
// its real-time mode) or never ends.
inline constexpr int kMostStretch = 10;

// Whether `segment` changes the speed of its sound within what the stretcher is built for,
// compared exactly.
bool withinStretchRange(const PlacedSegment& segment);

struct StretcherDeleter {
    void operator()(RubberBandState state) const { rubberband_delete(state); }
};
using StretcherPtr = std::unique_ptr<std::remove_pointer_t<RubberBandState>, StretcherDeleter>;

// Time-stretches one segment with the pitch kept, into exactly the segment's length: what it
// makes past the length is cut, and what it falls short is padded with silence by `output`.
class Stretcher {
public:
    // `targetCount` samples are made of every `sourceCount`, a ratio the segment's exact one
    // rounded to whole samples: a ratio pushed past the stretcher's range by that rounding (a
    // segment a few samples long) is held to it, and the output pads or cuts the difference.
    Stretcher(const AudioFormat& format, int64_t sourceCount, int64_t targetCount,
              SegmentOutput& output);

    // False when Rubber Band could not be started.
    bool valid() const { return m_state != nullptr; }

    // Primes the stretcher with silence, so that the first real sample comes out at the very
    // start.
    StageOutcome start(const std::atomic<bool>& stop);
    // Stretches the first `count` samples of each plane, at most kSoundBlock.
    StageOutcome process(const Planes& input, int count, const std::atomic<bool>& stop);
    // Feeds silence until the segment's output is complete, or until the stretcher has had
    // all the silence that can still matter (the output is then padded by the caller).
    StageOutcome flush(const std::atomic<bool>& stop);

private:
    StageOutcome feed(const std::vector<const float*>& planes, int count,
                      const std::atomic<bool>& stop);
    StageOutcome retrieve();

    int m_channels;
    int64_t m_sourceCount;
    int64_t m_targetCount;
    SegmentOutput& m_output;
    StretcherPtr m_state;
    Planes m_planes;
    Planes m_silence;
    unsigned m_discard = 0;
};

} // namespace lento
