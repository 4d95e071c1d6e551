#include "controls/TrackBands.h"

#include "controls/TrackAxis.h"

#include <QPainter>
#include <QPalette>

#include <algorithm>
#include <optional>

namespace lento {

namespace {

// Sections that are neither selected nor colliding.
const QColor kBandColour(0x2e, 0x9e, 0x5b);
// Sections that collide, as the table shows their bounds.
const QColor kCollisionColour(0xd0, 0x10, 0x10);

} // namespace

void paintTrackBands(QPainter& painter, const std::vector<TrackBand>& bands, const TrackAxis& axis,
                     int height, const QPalette& palette) {
    const QColor selected = palette.color(QPalette::Highlight);
    std::vector<const TrackBand*> order;
    for (const TrackBand& band : bands) {
        order.push_back(&band);
    }
    std::stable_partition(order.begin(), order.end(),
                          [](const TrackBand* band) { return !band->selected; });
    for (const TrackBand* band : order) {
        const std::optional<double> start = axis.positionOf(band->start);
        const std::optional<double> end = axis.positionOf(band->end);
        if (!start || !end) {
            continue;
        }
        const double left = std::min(*start, *end);
        const double right = std::max(*start, *end);
        const QColor colour = band->collides   ? kCollisionColour
                              : band->selected ? selected
                                               : kBandColour;
        const QRectF area(left, 0.0, std::max(1.0, right - left), height);
        QColor fill = colour;
        fill.setAlpha(band->selected ? 80 : 50);
        painter.fillRect(area, fill);
        // A solid edge along the top, and the bounds as lines, tell bands apart where they meet;
        // the selected one is framed all round, also when it is red.
        painter.fillRect(QRectF(area.x(), 0.0, area.width(), band->selected ? 6.0 : 4.0), colour);
        painter.setPen(QPen(colour, band->selected ? 2.0 : 1.0));
        painter.setBrush(Qt::NoBrush);
        if (band->selected) {
            painter.drawRect(area.adjusted(1.0, 1.0, -1.0, -1.0));
        } else {
            painter.drawLine(QPointF(left + 0.5, 0.0), QPointF(left + 0.5, height));
            painter.drawLine(QPointF(right - 0.5, 0.0), QPointF(right - 0.5, height));
        }
    }
}

} // namespace lento
