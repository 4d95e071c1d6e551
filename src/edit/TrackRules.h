#pragma once

#include "media/Asset.h"
#include "media/MediaTime.h"

#include <cstdint>
#include <vector>

namespace lento {

// The track's rules between media time and what the user points at, free of widgets.

// One section as the track shows it.
struct TrackBand {
    MediaTime start;
    MediaTime end;
    bool selected = false;
    // One of its bounds collides with another section, or it ends before it starts.
    bool collides = false;
    // The section's ramps, inside it.
    MediaTime rampIn = MediaTime::zero();
    MediaTime rampOut = MediaTime::zero();
};

// The length of one frame of the asset's first video track at `timescale`, never shorter than
// the frame (one millisecond without a video track or frame rate).
MediaTime oneFrame(const Asset& asset, int32_t timescale);

// The number, from 0, of the frame of length `frame` that shows at `time`; 0 before the start.
int64_t frameNumber(MediaTime time, MediaTime frame);

// Where a handle dragged to `time` lands: on the nearest of `bounds` not farther than `reach`;
// otherwise on the nearest frame boundary (a multiple of `frame`, when it is numeric and
// positive); never outside 0 ... `duration`.
MediaTime snapBound(MediaTime time, const std::vector<MediaTime>& bounds, MediaTime reach,
                    MediaTime frame, MediaTime duration);

// Where a section's bound moved to `time` may go: on the video (0 ... `duration`) and at least
// `minimum` on its own side of `other`, the section's other bound (no limit where that is not
// numeric). The other bound never moves: where it leaves no room on the video, the bound stops at
// the video's edge. Typed bounds and dragged handles alike.
MediaTime limitBoundBy(MediaTime time, bool isStart, MediaTime other, MediaTime duration,
                       MediaTime minimum);

// Index of the band that a click at `time` picks: the shortest one holding it (so that a short
// section over a long one can be reached), or -1.
int bandAt(const std::vector<TrackBand>& bands, MediaTime time);

} // namespace lento
