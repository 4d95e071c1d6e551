#pragma once

// The sound of an edit stretched along its time map with the pitch kept: every source sample
// lands where the map puts its time, through constant factors and ramps alike, and sections whose
// sound is off are silent from their start to their end, ramps included.
//
// Rubber Band stretches it in its real-time mode, its ratio changed block by block to the map's
// ratio over the block, so that it eases through ramps as the pictures do. Its offline mode with
// a key-frame map (source sample to output sample) was measured against it, on 10 ms bursts
// through ramps and two touching sections to 3 and 10 times slower: the finer engine did not
// hold the key frames (bursts seconds away from their places), the faster one held them to
// 37 ms at x3 but 123 ms at x10, and needs a study pass over the whole sound first; the ratio
// changed block by block, taken from where Rubber Band applies it (MapStretcher.cpp), kept every
// burst within 23 ms from x1.25 to x10 at 48 kHz (at 44.1 kHz within 26 ms up to x7, and one
// burst 46 ms late halfway through a ramp from 1 to 10 in 0.5 s). The sound is streamed: it comes
// in blocks as it is read and goes out as it is made, and ends exactly where the map ends it.

#include "media/MediaTime.h"
#include "media/StageOutcome.h"
#include "media/TimeMap.h"

#include <rubberband/rubberband-c.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <type_traits>
#include <vector>

namespace lento {

struct StretcherDeleter {
    void operator()(RubberBandState state) const { rubberband_delete(state); }
};
using StretcherPtr = std::unique_ptr<std::remove_pointer_t<RubberBandState>, StretcherDeleter>;

class MapStretcher {
public:
    // Takes `count` samples a channel, one pointer a channel; fails or stops as its consumer
    // does.
    using Sink = std::function<StageOutcome(const float* const* planes, int64_t count)>;

    // The stretch Rubber Band is trusted with, either way (the editor's factors go up to 10).
    static constexpr int kMostStretch = 10;

    // `muted`: source ranges whose sound is off (the sections' own bounds), apart, in any order.
    MapStretcher(TimeMap map, int sampleRate, int channels, std::vector<MediaTimeRange> muted = {});
    ~MapStretcher();
    MapStretcher(const MapStretcher&) = delete;
    MapStretcher& operator=(const MapStretcher&) = delete;

    // Follows `map` from the next start() on, keeping Rubber Band: starting it anew costs more
    // than the sound of a short section.
    void retime(TimeMap map, std::vector<MediaTimeRange> muted = {});

    // The output sample of a source sample: the map's output time of its time, rounded to the
    // nearest sample.
    int64_t outputSample(int64_t sourceSample) const;

    // Begins at source sample `firstSample`, whose sound comes out as output sample
    // outputSample(firstSample). Fails when Rubber Band cannot be started, or when the map
    // changes the speed past kMostStretch anywhere.
    StageOutcome start(int64_t firstSample);
    // The next `count` source samples, one pointer a channel. What is made goes to `sink`, never
    // past the output of the samples given so far.
    StageOutcome push(const float* const* planes, int64_t count, const Sink& sink,
                      const std::atomic<bool>& stop);
    // Ends after the samples given: what the stretcher still holds goes to `sink`, so that the
    // output from start() on is exactly outputSample(end) - outputSample(firstSample) samples.
    StageOutcome finish(const Sink& sink, const std::atomic<bool>& stop);

private:
    class Engine;

    TimeMap m_map;
    int m_sampleRate;
    int m_channels;
    std::vector<MediaTimeRange> m_muted;
    std::unique_ptr<Engine> m_engine;
    StretcherPtr m_spare; // Rubber Band kept from the last finish()
};

} // namespace lento
