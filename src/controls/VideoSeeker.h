#pragma once

#include "base/DelegateProtocol.h"

#include <QPointer>
#include <QWidget>

#include <cstdint>
#include <string_view>

class QMouseEvent;

namespace lento {

// What the track view reports while a marker is dragged: the pointer's x in the seeker's own
// coordinates, in points, unclamped. Every report is optional: the seeker asks
// respondsToSelector() with the names below before each one.
class VideoSeekerDelegate : public DelegateProtocol {
public:
    static constexpr std::string_view kLeftHandle = "leftHandle:";
    static constexpr std::string_view kRightHandle = "rightHandle:";
    static constexpr std::string_view kSeekerHandle = "SeekerHandle:";

    virtual void leftHandle(float /*x*/) {}
    virtual void rightHandle(float /*x*/) {}
    virtual void SeekerHandle(float /*x*/) {}
};

// The transparent view lying over the control bar's track. The track image and the markers live
// in its coordinate space. A press picks the shown marker under the pointer (the playhead first,
// then a trim handle); where both handles lie under it, the first drag event picks the one on the
// side the drag goes, so that handles a few points apart can be pulled apart. Every drag event
// of that press reports the pointer's x for that marker, also once the pointer has left the
// view; the release forgets the choice. A press off the markers is signalled, and a drag from
// there carries the playhead; a click there is signalled as such. It paints nothing, knows no
// media time and moves nothing itself; the playhead's tooltip shows over it.
class VideoSeeker : public QWidget {
    Q_OBJECT
public:
    // Which marker the current press grabbed.
    // EitherHandle: both handles lie under the press and no drag has chosen yet.
    enum HandleType : int32_t {
        None = 0,
        LeftHandle = 1,
        RightHandle = 2,
        Playhead = 3,
        EitherHandle = 4
    };

    explicit VideoSeeker(QWidget* parent = nullptr);

    // Not owned: the bar that sets itself here outlives its seeker.
    VideoSeekerDelegate* delegate() const { return m_delegate; }
    void setDelegate(VideoSeekerDelegate* delegate) { m_delegate = delegate; }

    // The bar's marker views, which the seeker hit-tests by their frames; hidden ones are not
    // there to grab.
    QWidget* m_leftHandle() const { return m_leftHandleView; }
    void setM_leftHandle(QWidget* view) { m_leftHandleView = view; }
    QWidget* m_rightHandle() const { return m_rightHandleView; }
    void setM_rightHandle(QWidget* view) { m_rightHandleView = view; }
    QWidget* m_trackSeeker() const { return m_trackSeekerView; }
    void setM_trackSeeker(QWidget* view) { m_trackSeekerView = view; }

    // The keys held at the last drag event: Shift lets a handle go where the pointer is.
    Qt::KeyboardModifiers dragModifiers() const { return m_dragModifiers; }

signals:
    // A press on the track off every marker. Should the pointer then move away, the drag
    // carries the playhead: SeekerHandle() reports follow.
    void trackPressed(float x);
    // A press and release on the track, off every marker and without moving.
    void trackClicked(float x);
    // The left button went up, whatever its press grabbed.
    void released();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    bool event(QEvent* event) override;

private:
    int32_t _handleType = None;
    Qt::KeyboardModifiers m_dragModifiers;
    QPointF m_pressPoint;
    // The press hit no marker and the pointer has not moved away since: a click on the track. Once
    // it moves away, the drag carries the playhead.
    bool m_trackClick = false;
    VideoSeekerDelegate* m_delegate = nullptr;
    QPointer<QWidget> m_leftHandleView;
    QPointer<QWidget> m_rightHandleView;
    QPointer<QWidget> m_trackSeekerView;
};

} // namespace lento
