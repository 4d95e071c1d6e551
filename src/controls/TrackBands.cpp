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

// Where a ramp meets the band's bound, its slope starts: this share of the height down.
constexpr double kRampDepth = 0.5;
// Points along a slope: smooth at the track's sizes, few enough for thousands of bands.
constexpr int kMostSlopeSegments = 16;

// The ramps' curve, s(x) = 3x^2 - 2x^3.
double eased(double x) {
    return x * x * (3.0 - 2.0 * x);
}

// The top edge over a ramp from `from` to `to`, rising from `low` to 0 or falling back.
void addSlope(QPolygonF& shape, double from, double to, double low, bool rising) {
    const int segments = std::clamp(static_cast<int>((to - from) / 3.0), 1, kMostSlopeSegments);
    for (int i = 0; i <= segments; ++i) {
        const double x = double(i) / segments;
        const double along = rising ? 1.0 - eased(x) : eased(x);
        shape << QPointF(i == segments ? to : from + (to - from) * x, low * along);
    }
}

} // namespace

QPolygonF bandShape(const TrackBand& band, const TrackAxis& axis, int height) {
    const std::optional<double> start = axis.positionOf(band.start);
    const std::optional<double> end = axis.positionOf(band.end);
    if (!start || !end) {
        return {};
    }
    const double left = std::min(*start, *end);
    const double right = std::max(left + 1.0, std::max(*start, *end));
    // A ramp's far end along the track, kept on the band; none where the band is backwards.
    const auto rampEnd = [&](MediaTime time, MediaTime ramp) -> std::optional<double> {
        const std::optional<double> x = axis.positionOf(time);
        if (!(band.start < band.end) || !(ramp > MediaTime::zero()) || !x) {
            return std::nullopt;
        }
        return std::clamp(*x, left, right);
    };
    const std::optional<double> inEnd = rampEnd(band.start + band.rampIn, band.rampIn);
    const std::optional<double> outStart = rampEnd(band.end - band.rampOut, band.rampOut);
    const double low = height * kRampDepth;
    QPolygonF shape;
    shape << QPointF(left, height);
    if (inEnd) {
        addSlope(shape, left, *inEnd, low, true);
    } else {
        shape << QPointF(left, 0.0);
    }
    if (outStart) {
        addSlope(shape, *outStart, right, low, false);
    } else {
        shape << QPointF(right, 0.0);
    }
    shape << QPointF(right, height);
    return shape;
}

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
        const QPolygonF shape = bandShape(*band, axis, height);
        if (shape.isEmpty()) {
            continue;
        }
        const QColor colour = band->collides   ? kCollisionColour
                              : band->selected ? selected
                                               : kBandColour;
        QColor fill = colour;
        fill.setAlpha(band->selected ? 80 : 50);
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        painter.drawPolygon(shape);
        // A solid edge along the top (down the slopes too), and the bounds as lines, tell bands
        // apart where they meet; the selected one is framed all round, also when it is red.
        const double edge = band->selected ? 6.0 : 4.0;
        QPolygonF top(shape.begin() + 1, shape.end() - 1);
        top.translate(0.0, edge / 2.0);
        painter.setPen(QPen(colour, edge, Qt::SolidLine, Qt::FlatCap, Qt::RoundJoin));
        painter.drawPolyline(top);
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(colour, band->selected ? 2.0 : 1.0));
        const double left = shape.front().x();
        const double right = shape.back().x();
        if (band->selected) {
            painter.drawPolygon(shape);
        } else {
            painter.drawLine(QPointF(left + 0.5, 0.0), QPointF(left + 0.5, height));
            painter.drawLine(QPointF(right - 0.5, 0.0), QPointF(right - 0.5, height));
        }
    }
}

} // namespace lento
