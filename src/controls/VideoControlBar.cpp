#include "controls/VideoControlBar.h"

#include "base/Log.h"
#include "edit/TimeText.h"
#include "ui_VideoControlBar.h"

#include <QLayout>
#include <QMetaMethod>
#include <QStyle>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <utility>

namespace lento {

namespace {

// How near, in points, a dragged handle must come to another section's bound to snap to it.
constexpr double kSnapReach = 5.0;

} // namespace

VideoControlBar::VideoControlBar(QWidget* parent)
    : QWidget(parent), m_transport(new PlaybackTransport(this)) {
    // The interface file's row fills the bar; the track takes the width the rest leaves.
    auto* subView = new QWidget(this);
    Ui::VideoControlBar ui;
    ui.setupUi(subView);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(subView);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);

    // The track lies half a marker in from the seeker's sides, so that a marker's centre line
    // reaches both its ends, and clear of the handles' feet above and below.
    VideoSeeker* seeker = ui.m_videoSeeker;
    seeker->layout()->setContentsMargins(MarkerImage::kWidth / 2, MarkerImage::kOverhang,
                                         MarkerImage::kWidth / 2, MarkerImage::kOverhang);
    auto* left = new MarkerImage(MarkerImage::Kind::LeftHandle, seeker);
    auto* right = new MarkerImage(MarkerImage::Kind::RightHandle, seeker);
    // The playhead rides above the handles.
    auto* playhead = new MarkerImage(MarkerImage::Kind::Playhead, seeker);
    m_outlets = {subView,         ui.m_btnPlay, ui.m_lblStartTime, ui.m_lblEndTime,
                 ui.m_ctrlVolumn, seeker,       ui.m_videoTrack,   left,
                 right,           playhead};
    // Until placed, the handles stand at the track's ends, the playhead at its start.
    m_places[RightMarker] = {MediaTime::make(1, 1), MediaTime::make(1, 1)};
    // Laid out at once, so that markers land on the track also before the bar is shown.
    resize(sizeHint());
    for (QLayout* row : {static_cast<QLayout*>(layout), subView->layout(), seeker->layout()}) {
        row->activate();
    }
    showMarkers();

    QToolButton* button = ui.m_btnPlay;
    const QIcon playIcon = style()->standardIcon(QStyle::SP_MediaPlay);
    const QIcon pauseIcon = style()->standardIcon(QStyle::SP_MediaPause);
    button->setIcon(button->isChecked() ? pauseIcon : playIcon);
    connect(button, &QToolButton::toggled, button, [button, playIcon, pauseIcon](bool on) {
        button->setIcon(on ? pauseIcon : playIcon);
        button->setToolTip(on ? tr("Pause") : tr("Play"));
    });
    connect(button, &QToolButton::clicked, this, &VideoControlBar::actionPlay);
    connect(ui.m_ctrlVolumn, &QSlider::valueChanged, this, &VideoControlBar::actionVolumnControl);
    connect(m_transport, &PlaybackTransport::positionChanged, this, [this](MediaTime time) {
        setVideoStartTime(time);
        setSeekerPosition(time);
    });
    connect(m_transport, &PlaybackTransport::monitorTick, this,
            &VideoControlBar::monitorVideoPlaying);

    // The seeker reports its drags here and hit-tests the bar's own markers.
    seeker->setDelegate(this);
    seeker->setM_leftHandle(left);
    seeker->setM_rightHandle(right);
    seeker->setM_trackSeeker(playhead);
    connect(seeker, &VideoSeeker::trackPressed, this, &VideoControlBar::pressTrack);
    connect(seeker, &VideoSeeker::trackClicked, this, &VideoControlBar::clickTrack);
    connect(seeker, &VideoSeeker::released, this, &VideoControlBar::finishDrag);
}

VideoControlBar::~VideoControlBar() {
    // The seeker, a child, outlives this part of the bar by a little.
    if (m_videoSeeker()) {
        m_videoSeeker()->setDelegate(nullptr);
        m_videoSeeker()->disconnect(this);
    }
}

void VideoControlBar::actionPlay() {
    const unsigned long state = m_btnPlay() && m_btnPlay()->isChecked() ? 1 : 0;
    logLine("play button : %lu", state);
    if (state != 1) {
        pauseVideo();
        return;
    }
    if (!delegateResponds(m_delegate, VideoControlBarDelegate::kPlayVideo)) {
        return;
    }
    m_delegate->playVideo();
    m_transport->startMonitor();
}

void VideoControlBar::actionVolumnControl() {
    const float volume = sliderVolume();
    if (delegateResponds(m_delegate, VideoControlBarDelegate::kAdjustAudio)) {
        m_delegate->adjustAudio(volume);
    }
}

void VideoControlBar::monitorVideoPlaying() {
    if (!delegateResponds(m_delegate, VideoControlBarDelegate::kMonitorVideo)) {
        return;
    }
    const MediaTime position = m_delegate->monitorVideo();
    setVideoStartTime(position);
    setSeekerPosition(position);
}

void VideoControlBar::playVideoWithVolumn(bool withVolume) {
    m_transport->play(withVolume ? sliderVolume() : 0.0f);
}

void VideoControlBar::pauseVideo() {
    m_transport->pause();
}

void VideoControlBar::stopVideo() {
    if (!m_transport->player()) {
        return;
    }
    if (m_btnPlay()) {
        m_btnPlay()->setChecked(false);
    }
    m_transport->stop();
}

void VideoControlBar::seekToFrame(MediaTime time) {
    m_transport->seek(time);
}

void VideoControlBar::stepFrame(bool forward) {
    m_transport->stepFrame(forward);
}

void VideoControlBar::seekBy(MediaTime delta) {
    m_transport->seekBy(delta);
}

void VideoControlBar::setPlayRate(float rate) {
    m_transport->setRate(rate);
}

void VideoControlBar::setVolumnOn(bool on) {
    m_transport->setVolume(on ? sliderVolume() : 0.0f);
}

void VideoControlBar::setVideoStartTime(MediaTime time) {
    QLabel* label = m_lblStartTime();
    if (!label) {
        return;
    }
    // Whole seconds while the video plays, as the monitor ticks; to the millisecond while it
    // stands still, where a frame is looked for.
    const MediaTime shown = shownTime(time);
    const bool still = m_transport->player() && !m_transport->isPlaying() && shown.isNumeric();
    label->setText(still ? timeTextWithMilliseconds(shown) : convertTimeToString(shown));
    label->setToolTip(timeToolTip(time));
}

void VideoControlBar::setVideoEndTime(MediaTime time) {
    m_transport->setEndTime(time);
    logLine("%fl", time.seconds());
    showEndTime();
    setVideoStartTime(MediaTime::zero());
    m_videoTrack()->setBands(m_bands, time);
    // The owner gives the duration once its player is ready: the file is known by then.
    if (m_transport->hasItem() && m_transport->player()->currentItem()->asset()) {
        m_videoTrack()->showVideo(*m_transport->player()->currentItem()->asset());
    }
}

void VideoControlBar::showEndTime() {
    QLabel* label = m_lblEndTime();
    if (!label) {
        return;
    }
    const MediaTime shown = shownTime(endTime());
    label->setText(convertTimeToString(shown));
    const MediaTime frame = frameDuration();
    if (!shown.isNumeric() || !frame.isNumeric()) {
        label->setToolTip(timeTextWithMilliseconds(shown));
        return;
    }
    label->setToolTip(tr("%1, %2 frames")
                          .arg(timeTextWithMilliseconds(shown))
                          .arg(frameNumber(endTime(), frame)));
}

void VideoControlBar::setTimeFactor(SpeedFactor factor) {
    m_timeFactor = factor;
    showEndTime();
}

MediaTime VideoControlBar::shownTime(MediaTime time) const {
    return m_timeFactor.isOne() ? time : m_timeFactor.stretch(time);
}

void VideoControlBar::showNoVideo() {
    m_transport->stopMonitor();
    m_transport->setEndTime(MediaTime::invalid());
    m_videoTrack()->showNoVideo();
    if (m_lblEndTime()) {
        m_lblEndTime()->setText(convertTimeToString(MediaTime::zero()));
    }
    setVideoStartTime(MediaTime::zero());
    placeMarker(Playhead, MediaTime::zero());
    m_trackSeeker()->setToolTip(QString());
    m_videoTrack()->setBands(m_bands, endTime());
}

QString VideoControlBar::convertTimeToString(MediaTime time) const {
    return timeText(time);
}

void VideoControlBar::setSeekerPosition(MediaTime time) {
    placeMarker(Playhead, time);
    m_trackSeeker()->setToolTip(timeToolTip(time));
}

QString VideoControlBar::timeToolTip(MediaTime time) const {
    if (!time.isNumeric()) {
        return {};
    }
    const QString text = timeTextWithMilliseconds(shownTime(time));
    const MediaTime frame = frameDuration();
    if (!frame.isNumeric()) {
        return text;
    }
    // A slowed movie holds each source frame longer: the frames keep their numbers.
    return tr("%1, frame %2").arg(text).arg(frameNumber(time, frame));
}

void VideoControlBar::setBands(std::vector<TrackBand> bands) {
    m_bands = std::move(bands);
    m_videoTrack()->setBands(m_bands, endTime());
}

void VideoControlBar::setLeftHanldePos(MediaTime time) {
    placeMarker(LeftMarker, time);
}

void VideoControlBar::setRightHanldePos(MediaTime time) {
    placeMarker(RightMarker, time);
}

TrackAxis VideoControlBar::trackAxis() const {
    const QRect track = m_videoTrack()->geometry();
    return TrackAxis(endTime(), track.x(), track.width());
}

MarkerImage* VideoControlBar::markerImage(Marker marker) const {
    return marker == Playhead     ? m_trackSeeker()
           : marker == LeftMarker ? m_leftHandle()
                                  : m_rightHandle();
}

void VideoControlBar::placeMarker(Marker marker, MediaTime time) {
    m_places[marker] = {time, endTime()};
    showMarker(marker);
}

void VideoControlBar::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // The layout has stretched the track by now: the markers go with their shares of it.
    showMarkers();
}

void VideoControlBar::showMarkers() {
    for (const Marker marker : {Playhead, LeftMarker, RightMarker}) {
        showMarker(marker);
    }
}

void VideoControlBar::showMarker(Marker marker) {
    MarkerImage* image = markerImage(marker);
    const MarkerPlace& place = m_places[marker];
    const QRect track = m_videoTrack()->geometry();
    const TrackAxis axis(place.span, track.x(), track.width());
    // Times far beyond the duration still land beyond the track, within what a widget can hold.
    constexpr double kFarOff = 1.0e6;
    const double centre =
        std::clamp(axis.positionOf(place.time).value_or(axis.origin()), -kFarOff, kFarOff);
    image->fitTo(track);
    image->move(static_cast<int>(std::lround(centre - MarkerImage::kWidth / 2.0)), image->y());
}

MediaTime VideoControlBar::handleTime(Side side) const {
    const TrackAxis axis = trackAxis();
    const MarkerPlace& place = m_places[side == Side::Left ? LeftMarker : RightMarker];
    if (place.span == axis.duration()) {
        return place.time;
    }
    // Placed on another axis, or on none: the time where it stands now.
    const QRect track = m_videoTrack()->geometry();
    const std::optional<double> at =
        TrackAxis(place.span, track.x(), track.width()).positionOf(place.time);
    return axis.timeAt(at.value_or(axis.origin())).value_or(MediaTime::invalid());
}

bool VideoControlBar::respondsToSelector(std::string_view selector) const {
    return selector == VideoSeekerDelegate::kLeftHandle ||
           selector == VideoSeekerDelegate::kRightHandle ||
           selector == VideoSeekerDelegate::kSeekerHandle;
}

void VideoControlBar::leftHandle(float x) {
    dragHandle(Side::Left, x);
}

void VideoControlBar::rightHandle(float x) {
    logLine("rightHandle: %f", x);
    dragHandle(Side::Right, x);
}

bool VideoControlBar::handleDragsTaken(Side side) const {
    return delegateResponds(m_delegate, side == Side::Left
                                            ? VideoControlBarDelegate::kLeftHandle
                                            : VideoControlBarDelegate::kRightHandle) ||
           isSignalConnected(QMetaMethod::fromSignal(&VideoControlBar::handleDragged));
}

TrimDrag VideoControlBar::trimDrag(const TrackAxis& axis) const {
    std::vector<MediaTime> bounds;
    for (const TrackBand& band : m_bands) {
        if (!band.selected) {
            bounds.push_back(band.start);
            bounds.push_back(band.end);
        }
    }
    // Points are no exact measure: the reach is a time only as near as the track's scale.
    const MediaTime reach = axis.timeAt(axis.origin() + kSnapReach).value_or(MediaTime::zero());
    return TrimDrag(axis.duration(), frameDuration(), std::move(bounds), reach);
}

void VideoControlBar::dragHandle(Side side, float x) {
    const TrackAxis axis = trackAxis();
    const std::optional<MediaTime> pointed = axis.timeAt(axis.clamp(x));
    if (!pointed || !handleDragsTaken(side) || !m_transport->hasItem()) {
        return;
    }
    const bool snap = !(m_videoSeeker()->dragModifiers() & Qt::ShiftModifier);
    const MediaTime other = handleTime(side == Side::Left ? Side::Right : Side::Left);
    const MediaTime time = trimDrag(axis).handleTime(side, *pointed, other, snap);
    // The owner hears of the new bound once the player is on its way there; whatever it does
    // to the handle meanwhile, the drag has the last word.
    seekToFrame(time);
    const std::string_view report = side == Side::Left ? VideoControlBarDelegate::kLeftHandle
                                                       : VideoControlBarDelegate::kRightHandle;
    if (delegateResponds(m_delegate, report)) {
        side == Side::Left ? m_delegate->leftHandle(time) : m_delegate->rightHandle(time);
    }
    emit handleDragged(side, time);
    m_draggedSide = side;
    placeMarker(side == Side::Left ? LeftMarker : RightMarker, time);
}

void VideoControlBar::finishDrag() {
    if (const std::optional<Side> side = std::exchange(m_draggedSide, std::nullopt)) {
        emit handleDragFinished(*side);
    }
}

void VideoControlBar::SeekerHandle(float x) {
    // The playhead goes anywhere on the track, trim range or not.
    const TrackAxis axis = trackAxis();
    const std::optional<MediaTime> time = axis.timeAt(axis.clamp(x));
    if (time && m_transport->hasItem()) {
        seekToFrame(*time);
    }
}

void VideoControlBar::pressTrack(float x) {
    const TrackAxis axis = trackAxis();
    const std::optional<MediaTime> time = axis.timeAt(axis.clamp(x));
    if (time && m_transport->hasItem()) {
        seekToFrame(snapBound(*time, {}, MediaTime::zero(), frameDuration(), endTime()));
    }
}

void VideoControlBar::clickTrack(float x) {
    const std::optional<MediaTime> time = trackAxis().timeAt(x);
    const bool listened =
        isSignalConnected(QMetaMethod::fromSignal(&VideoControlBar::trackClicked));
    if (!time ||
        !(listened || delegateResponds(m_delegate, VideoControlBarDelegate::kSelectBand))) {
        return;
    }
    const int band = bandAt(m_bands, *time);
    emit trackClicked(*time, band);
    if (band >= 0) {
        if (delegateResponds(m_delegate, VideoControlBarDelegate::kSelectBand)) {
            m_delegate->selectBand(band);
        }
        // Whatever the selection did to the player, the click said where to go.
        pressTrack(x);
    }
}

MediaTime VideoControlBar::frameDuration() const {
    const MediaTime end = endTime();
    if (!m_transport->hasItem() || !m_transport->player()->currentItem()->asset() ||
        !end.isNumeric()) {
        return MediaTime::invalid();
    }
    return oneFrame(*m_transport->player()->currentItem()->asset(), end.timescale);
}

float VideoControlBar::sliderVolume() const {
    return m_ctrlVolumn() ? m_ctrlVolumn()->floatValue() : 0.0f;
}

} // namespace lento
