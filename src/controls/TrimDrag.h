#pragma once

#include "media/MediaTime.h"

#include <vector>

namespace lento {

// Where a dragged trim handle lands, in media time, by one rule for both handles. Free of
// widgets.
//
// The pointer's time snaps to the nearest of the snap bounds within reach (the video's ends
// always among them), else to the nearest frame boundary; with snapping off it stays where the
// pointer is. Then it is held on the video and at least one frame on its own side of the other
// handle, as a typed bound is: a drag past that limit stops the handle there.
class TrimDrag {
public:
    enum class Side { Left, Right };

    // `frame`: one frame of the video, the grid the handles snap to and the least a section
    // spans. `bounds`: the other sections' bounds, which pull a handle within `reach`.
    TrimDrag(MediaTime duration, MediaTime frame, std::vector<MediaTime> bounds, MediaTime reach);

    // The time of the handle on `side` pointed at `pointed` while the other stands at `other`.
    MediaTime handleTime(Side side, MediaTime pointed, MediaTime other, bool snap) const;

private:
    MediaTime m_duration;
    MediaTime m_frame;
    std::vector<MediaTime> m_bounds;
    MediaTime m_reach;
};

} // namespace lento
