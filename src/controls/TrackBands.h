#pragma once

#include "edit/TrackRules.h"

#include <QPolygonF>

#include <vector>

class QPainter;
class QPalette;

namespace lento {

class TrackAxis;

// The outline of `band` along `axis` over a track `height` points tall, from its bottom left up,
// along its top and down to its bottom right. Without ramps it is the rectangle from its start to
// its end (at least a point wide). Its ramps are slopes: over a ramp in the top rises from half
// the height at the start to the full height where the ramp ends, along the curve the speed eases
// by, and over a ramp out it falls back the same way to the end. Empty without an axis.
QPolygonF bandShape(const TrackBand& band, const TrackAxis& axis, int height);

// Paints the sections over a track `height` points tall, each as its bandShape(): green, the
// selected one in the highlight colour and framed all round, those that collide in red. The
// selected band goes over the others.
void paintTrackBands(QPainter& painter, const std::vector<TrackBand>& bands, const TrackAxis& axis,
                     int height, const QPalette& palette);

} // namespace lento
