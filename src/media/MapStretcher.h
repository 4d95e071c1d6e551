#pragma once

// The sound of an edit stretched along its time map with the pitch kept: every source sample
// lands where the map puts its time, through constant factors and ramps alike, and sections whose
// sound is off are silent from their start to their end, ramps included.
//
// Rubber Band stretches it in its real-time mode, one frame of its analysis at a time, each
// given the ratio that lands it where the map says, counted from what Rubber Band has really
// made (MapStretcher.cpp): the map's speed changes, gentle (a ramp) or abrupt (sections of 25 ms
// at x3 and x1 in turn), cost nothing in placement and no restart, so the sound of an edit read
// on can be one run of one stretcher. Measured on 10 ms bursts at 44.1 and 48 kHz, through ramps
// from 1 to 10 in 0.5 s and such sections: every burst within 32 ms of its place, most within 10
// ms, the sound exactly the map's length. (Rubber Band given the map's ratio for each block, as it
// was before, drifted 1.7% to 7.5% over sections at x3 and x1, and was 46 ms late after a ramp
// at 44.1 kHz. Its offline mode with a key-frame map did not hold bursts to their places: the
// finer engine by seconds, the faster one by up to 123 ms at x10, after a study pass over the
// whole sound.) The sound is streamed: it comes in blocks as it is read and goes out as it is
// made, and ends exactly where the map ends it.

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
    // Whether `source` made to last `target` stays within kMostStretch either way, exactly.
    static bool withinStretch(MediaTime source, MediaTime target) {
        return target <= source * kMostStretch && source <= target * kMostStretch;
    }

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
