#include "controls/TrimDrag.h"

#include "edit/TrackRules.h"

#include <utility>

namespace lento {

TrimDrag::TrimDrag(MediaTime duration, MediaTime frame, std::vector<MediaTime> bounds,
                   MediaTime reach)
    : m_duration(duration), m_frame(frame.isNumeric() ? frame : MediaTime::zero()),
      m_bounds(std::move(bounds)), m_reach(reach) {
    m_bounds.push_back(MediaTime::make(0, duration.timescale));
    m_bounds.push_back(duration);
}

MediaTime TrimDrag::handleTime(Side side, MediaTime pointed, MediaTime other, bool snap) const {
    const MediaTime snapped =
        snap ? snapBound(pointed, m_bounds, m_reach, m_frame, m_duration) : pointed;
    return limitBoundBy(snapped, side == Side::Left, other, m_duration, m_frame);
}

} // namespace lento
