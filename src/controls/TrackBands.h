#pragma once

#include "edit/TrackRules.h"

#include <vector>

class QPainter;
class QPalette;

namespace lento {

class TrackAxis;

// Paints the sections over a track `height` points tall, each as a band from its start to its end
// along `axis`: green, the selected one in the highlight colour and framed all round, those that
// collide in red. The selected band goes over the others.
void paintTrackBands(QPainter& painter, const std::vector<TrackBand>& bands, const TrackAxis& axis,
                     int height, const QPalette& palette);

} // namespace lento
