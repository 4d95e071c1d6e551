#include "controls/MarkerImage.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace lento {

namespace {

// Trim handles are drawn in one colour on every theme; the outline keeps them apart from the
// window on light and dark palettes alike.
const QColor kHandleColour(0xf2, 0xa0, 0x2c);

} // namespace

MarkerImage::MarkerImage(Kind kind, QWidget* parent) : QWidget(parent), m_kind(kind) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void MarkerImage::fitTo(const QRect& track) {
    const int reach = m_kind == Kind::Playhead ? -kOverhang : kOverhang;
    setGeometry(x(), track.y() - reach, kWidth, track.height() + 2 * reach);
}

void MarkerImage::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const double w = width();
    const double h = height();
    const double centre = w / 2.0;
    const QColor text = palette().color(QPalette::WindowText);
    const QColor window = palette().color(QPalette::Window);

    if (m_kind == Kind::Playhead) {
        const QColor accent = palette().color(QPalette::Highlight);
        // A line down the middle with a knob on the track, haloed in the window colour.
        painter.setPen(QPen(window, 4.0, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(QPointF(centre, 2.0), QPointF(centre, h - 2.0));
        painter.setPen(QPen(accent, 2.0, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(QPointF(centre, 2.0), QPointF(centre, h - 2.0));
        const double knob = std::min(w, h) / 2.0 - 1.0;
        painter.setPen(QPen(window, 1.5));
        painter.setBrush(accent);
        painter.drawEllipse(QPointF(centre, h / 2.0), knob, knob);
        return;
    }

    // A bracket opening toward the inside of the trim range: "[" on the left, "]" on the right.
    // Its feet stick out above and below the playhead.
    const double spine = 4.0;
    const double foot = 6.0;
    const double spineLeft = centre - spine / 2.0;
    const double spineRight = centre + spine / 2.0;
    QPainterPath path;
    if (m_kind == Kind::LeftHandle) {
        path.moveTo(spineLeft, 0.5);
        path.lineTo(w - 0.5, 0.5);
        path.lineTo(w - 0.5, foot);
        path.lineTo(spineRight, foot);
        path.lineTo(spineRight, h - foot);
        path.lineTo(w - 0.5, h - foot);
        path.lineTo(w - 0.5, h - 0.5);
        path.lineTo(spineLeft, h - 0.5);
    } else {
        path.moveTo(spineRight, 0.5);
        path.lineTo(0.5, 0.5);
        path.lineTo(0.5, foot);
        path.lineTo(spineLeft, foot);
        path.lineTo(spineLeft, h - foot);
        path.lineTo(0.5, h - foot);
        path.lineTo(0.5, h - 0.5);
        path.lineTo(spineRight, h - 0.5);
    }
    path.closeSubpath();
    QColor outline = text;
    outline.setAlpha(200);
    painter.setPen(QPen(outline, 1.0));
    painter.setBrush(kHandleColour);
    painter.drawPath(path);
}

} // namespace lento
