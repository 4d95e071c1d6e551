#include "controls/VideoSeeker.h"

#include "base/Log.h"

#include <QHelpEvent>
#include <QMouseEvent>
#include <QToolTip>

#include <cmath>

namespace lento {

namespace {

// A marker's frame holds its minimum edges but not its maximum ones, so that two markers side by
// side never both hold a point. An absent or hidden marker holds nothing.
bool frameHolds(const QWidget* marker, QPointF point) {
    if (marker == nullptr || marker->isHidden()) {
        return false;
    }
    const QRect frame = marker->geometry();
    return point.x() >= frame.x() && point.x() < frame.x() + frame.width() &&
           point.y() >= frame.y() && point.y() < frame.y() + frame.height();
}

// A press and release this close together are a click, not a drag.
constexpr double kClickSlop = 3.0;

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

    const bool onLeft = frameHolds(m_leftHandleView, point);
    const bool onRight = frameHolds(m_rightHandleView, point);
    m_pressPoint = point;
    m_trackClick = false;
    if (frameHolds(m_trackSeekerView, point)) {
        _handleType = Playhead;
    } else if (onLeft && onRight) {
        _handleType = EitherHandle;
    } else if (onLeft) {
        _handleType = LeftHandle;
    } else if (onRight) {
        _handleType = RightHandle;
    } else {
        m_trackClick = true;
        emit trackPressed(static_cast<float>(point.x()));
    }
    // Accepting the press, also one that missed every marker, keeps the mouse grabbed here
    // until the release, wherever the pointer goes.
    event->accept();
}

void VideoSeeker::mouseMoveEvent(QMouseEvent* event) {
    if (m_trackClick && (event->buttons() & Qt::LeftButton) &&
        std::abs(event->position().x() - m_pressPoint.x()) > kClickSlop) {
        // A drag from anywhere on the track scrubs.
        m_trackClick = false;
        _handleType = Playhead;
    }
    if (!(event->buttons() & Qt::LeftButton) || _handleType == None) {
        // Nothing grabbed: the drag goes on to the parent.
        QWidget::mouseMoveEvent(event);
        return;
    }
    event->accept();
    m_dragModifiers = event->modifiers();
    const auto x = static_cast<float>(event->position().x());
    if (_handleType == EitherHandle) {
        if (event->position().x() == m_pressPoint.x()) {
            return; // no direction yet
        }
        _handleType = event->position().x() < m_pressPoint.x() ? LeftHandle : RightHandle;
    }
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
    const bool click =
        m_trackClick && std::abs(event->position().x() - m_pressPoint.x()) <= kClickSlop;
    m_trackClick = false;
    if (click) {
        emit trackClicked(static_cast<float>(m_pressPoint.x()));
    }
    emit released();
}

bool VideoSeeker::event(QEvent* event) {
    // The markers let the mouse through to the seeker, so the playhead's tooltip is shown here.
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        if (frameHolds(m_trackSeekerView, help->pos()) && !m_trackSeekerView->toolTip().isEmpty()) {
            QToolTip::showText(help->globalPos(), m_trackSeekerView->toolTip(), this);
        } else {
            QToolTip::hideText();
            event->ignore();
        }
        return true;
    }
    return QWidget::event(event);
}

} // namespace lento
