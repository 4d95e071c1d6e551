#pragma once

#include "media/MediaTime.h"

#include <optional>

namespace lento {

// The track's time axis: the video's start lies at `origin` and its end (`duration`) `width`
// points further right, in the coordinates of the view that holds the track. Free of widgets.
//
// Both directions are exact rational arithmetic on the times' own values, never seconds in a
// double: a time lies at origin + time * width / duration, given as a double only at the end,
// and a position stands for the tick of the duration's timescale nearest to it (ties away from
// zero). Positions count in 1/1024 of a point, finer than any screen and coarse enough to stay
// exact. Nothing is clamped: times outside the video lie outside the track, and back.
class TrackAxis {
public:
    // No axis: every conversion gives nothing.
    TrackAxis() = default;
    TrackAxis(MediaTime duration, int origin, int width);

    // A numeric duration above zero along a track of some width.
    bool isValid() const;
    MediaTime duration() const { return m_duration; }
    int origin() const { return m_origin; }
    int width() const { return m_width; }

    // Where `time` lies; nothing without an axis or for a time that is not numeric.
    std::optional<double> positionOf(MediaTime time) const;
    // The time at `x`, at the duration's timescale; nothing without an axis or where the time
    // would not fit.
    std::optional<MediaTime> timeAt(double x) const;
    // `x` kept on the track, both ends included.
    double clamp(double x) const;

private:
    MediaTime m_duration = MediaTime::invalid();
    int m_origin = 0;
    int m_width = 0;
};

} // namespace lento
