#include "controls/VideoSeeker.h"

#include "app/Log.h"

#include <QMouseEvent>

namespace lento {

namespace {

// A marker's frame holds its minimum edges but not its maximum ones, so that two markers side by
// side never both hold a point. An absent marker holds nothing.
bool frameHolds(const QWidget* marker, QPointF point) {
    if (marker == nullptr) {
        return false;
    }
    const QRect frame = marker->geometry();
    return point.x() >= frame.x() && point.x() < frame.x() + frame.width() &&
           point.y() >= frame.y() && point.y() < frame.y() + frame.height();
}

} // namespace

VideoSeeker::VideoSeeker(QWidget* parent) : QWidget(parent) {
    // Nothing of its own is drawn: the track and the markers below show through.
    setAutoFillBackground(false);
    setAttribute(Qt::WA_NoSystemBackground);
}

void VideoSeeker::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    // The markers are the seeker's children: their geometry is in the seeker's coordinates.
    const QPointF point = event->position();
    logLine("x=%f\n", point.x());
    logLine("lefthandle_x=%f\n", m_leftHandleView ? double(m_leftHandleView->x()) : 0.0);

    if (frameHolds(m_trackSeekerView, point)) {
        _handleType = Playhead;
    } else if (frameHolds(m_leftHandleView, point)) {
        _handleType = LeftHandle;
    } else if (frameHolds(m_rightHandleView, point)) {
        _handleType = RightHandle;
    }
    // Accepting the press, also one that missed every marker, keeps the mouse grabbed here
    // until the release, wherever the pointer goes.
    event->accept();
}

void VideoSeeker::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton) || _handleType == None) {
        // Nothing grabbed: the drag goes on to the parent.
        QWidget::mouseMoveEvent(event);
        return;
    }
    event->accept();
    const auto x = static_cast<float>(event->position().x());
    switch (_handleType) {
    case LeftHandle:
        if (delegateResponds(m_delegate, VideoSeekerDelegate::kLeftHandle)) {
            m_delegate->leftHandle(x);
        }
        break;
    case RightHandle:
        if (delegateResponds(m_delegate, VideoSeekerDelegate::kRightHandle)) {
            m_delegate->rightHandle(x);
        }
        break;
    case Playhead:
        if (delegateResponds(m_delegate, VideoSeekerDelegate::kSeekerHandle)) {
            m_delegate->SeekerHandle(x);
        }
        break;
    default:
        break;
    }
}

void VideoSeeker::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    _handleType = None;
    event->accept();
}

} // namespace lento
