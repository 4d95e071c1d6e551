#pragma once

#include "app/DelegateProtocol.h"

#include <QPointer>
#include <QWidget>

namespace lento {

// What the track view reports while a marker is dragged: the pointer's x in the seeker's own
// coordinates, in points, unclamped.
class VideoSeekerDelegate : public DelegateProtocol {
public:
    virtual void leftHandle(float /*x*/) {}
    virtual void rightHandle(float /*x*/) {}
    virtual void SeekerHandle(float /*x*/) {}
};

// The transparent view lying over the control bar's track. The track image and the markers live
// in its coordinate space. It paints nothing; grabbing and dragging the markers comes later.
class VideoSeeker : public QWidget {
    Q_OBJECT
public:
    explicit VideoSeeker(QWidget* parent = nullptr);

    // Not owned: the bar that sets itself here outlives its seeker.
    VideoSeekerDelegate* delegate() const { return m_delegate; }
    void setDelegate(VideoSeekerDelegate* delegate) { m_delegate = delegate; }

    // The bar's marker views, which the seeker hit-tests by their frames.
    QWidget* m_leftHandle() const { return m_leftHandleView; }
    void setM_leftHandle(QWidget* view) { m_leftHandleView = view; }
    QWidget* m_rightHandle() const { return m_rightHandleView; }
    void setM_rightHandle(QWidget* view) { m_rightHandleView = view; }
    QWidget* m_trackSeeker() const { return m_trackSeekerView; }
    void setM_trackSeeker(QWidget* view) { m_trackSeekerView = view; }

private:
    VideoSeekerDelegate* m_delegate = nullptr;
    QPointer<QWidget> m_leftHandleView;
    QPointer<QWidget> m_rightHandleView;
    QPointer<QWidget> m_trackSeekerView;
};

} // namespace lento
