#pragma once

// Where the pictures of a Blend or Smooth export fall, from the edit's time map. Pure functions
// of the map and the source pictures' stamps, exact: times are MediaTimes, and the place of a
// made picture between its two neighbours is a ratio of two MediaTimes.
//
// Blend and Smooth show pictures on a constant output grid; each grid time goes back through the
// map's inverse to a source position, which lies on a source picture or between two. (Hold shows
// every source picture once, at the map's output times of its stamp and the next one.)

#include "media/MediaTime.h"
#include "media/TimeMap.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace lento {

// A picture on the output grid and where in the source it comes from.
struct GridPicture {
    MediaTime outputTime;
    // The inverse map of outputTime, rounded to the timescale asked for.
    MediaTime sourcePosition;
    // The neighbours among the stamps given: the last at or before the position and the one
    // after it. Both are the same picture where the position lies on or before the first stamp,
    // or on or after the last.
    size_t before = 0;
    size_t after = 0;
    // How far the position lies past `before`, and the distance to `after` (zero when they are
    // the same picture): offset / span is the fraction of the way.
    MediaTime offset;
    MediaTime span;

    // On a source picture: it is shown as it is.
    bool isSourcePicture() const;
    // offset / span as a double, for the pixels' weights; 0 on a source picture.
    double fraction() const;
};

// How many grid pictures the output has: one for each grid time (multiples of `period`, from 0)
// before the map's output end, so that the movie's length is the map's, rounded up to a whole
// picture. `period` positive.
int64_t gridPictureCount(const TimeMap& map, MediaTime period);

// Grid picture `index` (from 0) of period `period`: its output time, its source position at
// `timescale` (the source stream's, or finer for a finer fraction) and its neighbours among
// `stamps`, which must be in increasing order and may be only the few the caller holds. Empty
// `stamps` leave the neighbours at 0 with no offset or span.
GridPicture gridPicture(const TimeMap& map, int64_t index, MediaTime period,
                        std::span<const MediaTime> stamps, int32_t timescale);

} // namespace lento
