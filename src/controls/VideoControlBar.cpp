#include "controls/VideoControlBar.h"

#include "edit/TimeText.h"

#include "base/Log.h"
#include "ui_VideoControlBar.h"

#include <QPainter>
#include <QPainterPath>
#include <QStyle>

#include <algorithm>
#include <array>
#include <cmath>

namespace lento {

namespace {

constexpr int kMonitorIntervalMs = 100;

// A dragged marker's left edge lies this far left of the pointer: half a marker, so that the
// pointer holds the marker by its centre line. With the track starting this far right of the
// seeker's origin, a marker dragged to a time and one placed at it land on the same spot.
constexpr float kMarkerHalfWidth = 6.0f;
// The least distance between a dragged handle's centre and the other handle's centre.
constexpr double kHandleGap = 4.0;
// How near, in points, a dragged handle must come to another section's bound to snap to it.
constexpr double kSnapReach = 5.0;
// How long the track keeps a width before a filmstrip is made for it.
constexpr int kOverviewDelayMs = 150;

// Trim handles are drawn in one colour on every theme; the outline keeps them apart from the
// window on light and dark palettes alike.
const QColor kHandleColour(0xf2, 0xa0, 0x2c);
// Sections that are neither selected nor colliding.
const QColor kBandColour(0x2e, 0x9e, 0x5b);
// Sections that collide, as the table shows their bounds.
const QColor kCollisionColour(0xd0, 0x10, 0x10);

QColor withAlpha(QColor colour, int alpha) {
    colour.setAlpha(alpha);
    return colour;
}

} // namespace

TrackImage::TrackImage(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void TrackImage::setBands(std::vector<TrackBand> bands, MediaTime duration) {
    m_bands = std::move(bands);
    m_duration = duration;
    update();
}

QRect TrackImage::filmstripRect() const {
    return QRect(0, 0, width(), std::max(0, height() - kWaveformHeight));
}

QRect TrackImage::waveformRect() const {
    const QRect strip = filmstripRect();
    return QRect(0, strip.bottom() + 1, width(), height() - strip.height());
}

void TrackImage::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bar = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    constexpr double kRadius = 4.0;
    // Shades of the text colour contrast with the window whatever the theme.
    const QColor text = palette().color(QPalette::WindowText);
    QPainterPath frame;
    frame.addRoundedRect(bar, kRadius, kRadius);
    painter.fillPath(frame, withAlpha(text, 70));
    painter.save();
    painter.setClipPath(frame);
    paintFilmstrip(painter);
    paintWaveform(painter);
    paintBands(painter);
    painter.restore();
    painter.setPen(QPen(withAlpha(text, 150), 1.0));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(frame);
}

void TrackImage::paintFilmstrip(QPainter& painter) const {
    if (m_overview == nullptr) {
        return;
    }
    const std::vector<QImage>& thumbnails = m_overview->thumbnails();
    const QRect strip = filmstripRect();
    if (thumbnails.empty() || strip.isEmpty()) {
        return;
    }
    // The strip was made for this width or, until the one for it arrives, for another one: its
    // thumbnails are spread over the track either way.
    const double slot = double(strip.width()) / double(thumbnails.size());
    const QImage* shown = nullptr;
    for (size_t i = 0; i < thumbnails.size(); ++i) {
        // A thumbnail not made yet shows its left neighbour, so the strip has no holes.
        if (!thumbnails[i].isNull()) {
            shown = &thumbnails[i];
        }
        if (shown == nullptr) {
            continue;
        }
        const QRectF target(strip.x() + slot * double(i), strip.y(), slot, strip.height());
        painter.drawImage(target, *shown);
    }
}

void TrackImage::paintWaveform(QPainter& painter) const {
    const QRect area = waveformRect();
    painter.fillRect(area, withAlpha(palette().color(QPalette::Base), 200));
    if (m_overview == nullptr || m_overview->waveform().empty() || area.width() <= 0) {
        return;
    }
    const std::vector<float>& peaks = m_overview->waveform();
    const double middle = area.center().y() + 0.5;
    // Scaled to the loudest peak, so that quiet recordings show their shape too; hiss alone is
    // not blown up to full height.
    constexpr float kQuietest = 0.05f;
    const double half = (area.height() / 2.0 - 1.0) /
                        std::max(kQuietest, *std::max_element(peaks.begin(), peaks.end()));
    painter.setPen(QPen(withAlpha(palette().color(QPalette::WindowText), 170), 1.0));
    const size_t bins = peaks.size();
    for (int column = 0; column < area.width(); ++column) {
        // The loudest bin under this column.
        const size_t from = bins * size_t(column) / size_t(area.width());
        const size_t to = std::max(from + 1, bins * size_t(column + 1) / size_t(area.width()));
        const float peak = *std::max_element(peaks.begin() + std::ptrdiff_t(from),
                                             peaks.begin() + std::ptrdiff_t(std::min(to, bins)));
        const double reach = std::max(0.5, half * double(peak));
        const double x = area.x() + column + 0.5;
        painter.drawLine(QPointF(x, middle - reach), QPointF(x, middle + reach));
    }
}

void TrackImage::paintBands(QPainter& painter) const {
    const double duration = m_duration.seconds();
    if (!std::isfinite(duration) || duration <= 0.0) {
        return;
    }
    const double scale = width() / duration;
    const QColor selected = palette().color(QPalette::Highlight);
    // The selected band goes last, over the others.
    std::vector<const TrackBand*> order;
    for (const TrackBand& band : m_bands) {
        order.push_back(&band);
    }
    std::stable_partition(order.begin(), order.end(),
                          [](const TrackBand* band) { return !band->selected; });
    for (const TrackBand* band : order) {
        const double start = band->start.seconds();
        const double end = band->end.seconds();
        if (!std::isfinite(start) || !std::isfinite(end)) {
            continue;
        }
        const double left = std::min(start, end) * scale;
        const double right = std::max(start, end) * scale;
        const QColor colour = band->collides   ? kCollisionColour
                              : band->selected ? selected
                                               : kBandColour;
        const QRectF area(left, 0.0, std::max(1.0, right - left), height());
        painter.fillRect(area, withAlpha(colour, band->selected ? 80 : 50));
        // A solid edge along the top, and the bounds as lines, tell bands apart where they meet;
        // the selected one is framed all round, also when it is red.
        painter.fillRect(QRectF(area.x(), 0.0, area.width(), band->selected ? 6.0 : 4.0), colour);
        painter.setPen(QPen(colour, band->selected ? 2.0 : 1.0));
        painter.setBrush(Qt::NoBrush);
        if (band->selected) {
            painter.drawRect(area.adjusted(1.0, 1.0, -1.0, -1.0));
        } else {
            painter.drawLine(QPointF(left + 0.5, 0.0), QPointF(left + 0.5, height()));
            painter.drawLine(QPointF(right - 0.5, 0.0), QPointF(right - 0.5, height()));
        }
    }
}

MarkerImage::MarkerImage(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void MarkerImage::setKind(Kind kind) {
    m_kind = kind;
    update();
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
    // Its feet stick out above and below the playhead, where a handle under the playhead can
    // still be grabbed.
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
    painter.setPen(QPen(withAlpha(text, 200), 1.0));
    painter.setBrush(kHandleColour);
    painter.drawPath(path);
}

VolumeSlider::VolumeSlider(QWidget* parent) : QSlider(Qt::Horizontal, parent) {
    setRange(0, 100);
}

float VolumeSlider::floatValue() const {
    const int span = maximum() - minimum();
    if (span <= 0) {
        return 0.0f;
    }
    return static_cast<float>(value() - minimum()) / static_cast<float>(span);
}

VideoControlBar::VideoControlBar(QWidget* parent) : QWidget(parent) {
    // The interface file's root becomes the bar's one child, at the size the file gives it.
    auto* subView = new QWidget(this);
    Ui::VideoControlBar ui;
    ui.setupUi(subView);

    m_outlets.m_subView = subView;
    m_outlets.m_btnPlay = ui.m_btnPlay;
    m_outlets.m_lblStartTime = ui.m_lblStartTime;
    m_outlets.m_lblEndTime = ui.m_lblEndTime;
    m_outlets.m_ctrlVolumn = ui.m_ctrlVolumn;
    m_outlets.m_videoSeeker = ui.m_videoSeeker;
    m_outlets.m_videoTrack = ui.m_videoTrack;
    m_outlets.m_leftHandle = ui.m_leftHandle;
    m_outlets.m_rightHandle = ui.m_rightHandle;
    m_outlets.m_trackSeeker = ui.m_trackSeeker;

    ui.m_leftHandle->setKind(MarkerImage::Kind::LeftHandle);
    ui.m_rightHandle->setKind(MarkerImage::Kind::RightHandle);
    ui.m_trackSeeker->setKind(MarkerImage::Kind::Playhead);
    // The playhead rides above the handles.
    ui.m_trackSeeker->raise();

    m_overview = new TrackOverview(this);
    ui.m_videoTrack->setOverview(m_overview);
    TrackImage* track = ui.m_videoTrack;
    connect(m_overview, &TrackOverview::thumbnailReady, track, [track] { track->update(); });
    connect(m_overview, &TrackOverview::waveformChanged, track, [track] { track->update(); });
    m_overviewDelay = new QTimer(this);
    m_overviewDelay->setSingleShot(true);
    m_overviewDelay->setInterval(kOverviewDelayMs);
    connect(m_overviewDelay, &QTimer::timeout, this, &VideoControlBar::requestOverview);

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

    // The seeker reports its drags here and hit-tests the bar's own markers.
    VideoSeeker* seeker = ui.m_videoSeeker;
    seeker->setDelegate(this);
    seeker->setM_leftHandle(ui.m_leftHandle);
    seeker->setM_rightHandle(ui.m_rightHandle);
    seeker->setM_trackSeeker(ui.m_trackSeeker);

    m_fileGeometry = {subView->size(), seeker->width(), ui.m_videoTrack->width(),
                      ui.m_lblEndTime->x(), ui.m_ctrlVolumn->x()};
    for (QWidget* marker : markers()) {
        *markerShare(marker) = double(marker->x()) / m_fileGeometry.trackWidth;
    }
}

VideoControlBar::~VideoControlBar() {
    // The seeker, a child, outlives this part of the bar by a little.
    if (m_videoSeeker()) {
        m_videoSeeker()->setDelegate(nullptr);
    }
}

QSize VideoControlBar::sizeHint() const {
    return m_fileGeometry.subView.isValid() ? m_fileGeometry.subView : QWidget::sizeHint();
}

QSize VideoControlBar::minimumSizeHint() const {
    return sizeHint();
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

    // Every off, pause and stop has already dropped the previous timer; this only makes sure.
    invalidateMonitorVideoTimer();
    auto* timer = new QTimer(this);
    timer->setInterval(kMonitorIntervalMs);
    timer->setSingleShot(false);
    connect(timer, &QTimer::timeout, this, &VideoControlBar::monitorVideoPlaying);
    timer->start();
    _monitorVideoTimer = timer;
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
    Player* player = m_weakPlayer;
    if (!player) {
        return;
    }
    // From the end, playback starts over, as it does after playing to the end.
    if (player->atEnd()) {
        seekToFrame(MediaTime::make(0, _endTime.isNumeric() ? _endTime.timescale : 1));
    }
    player->setVolume(withVolume ? sliderVolume() : 0.0f);
    player->play();
    player->setRate(_curRate);
}

void VideoControlBar::pauseVideo() {
    Player* player = m_weakPlayer;
    if (!player) {
        return;
    }
    player->pause();
    invalidateMonitorVideoTimer();
    // Where it stopped, to the millisecond.
    if (hasLoadedItem()) {
        setVideoStartTime(player->currentTime());
        setSeekerPosition(player->currentTime());
    }
}

void VideoControlBar::stopVideo() {
    Player* player = m_weakPlayer;
    if (!player) {
        return;
    }
    player->pause();
    if (m_btnPlay()) {
        m_btnPlay()->setChecked(false);
    }
    seekToFrame(MediaTime::zero());
    invalidateMonitorVideoTimer();
}

void VideoControlBar::seekToFrame(MediaTime time) {
    Player* player = m_weakPlayer;
    if (!player) {
        return;
    }
    player->seek(time);
    setVideoStartTime(time);
    setSeekerPosition(time);
}

void VideoControlBar::setM_Player(Player* player) {
    m_weakPlayer = player;
    if (player) {
        connect(player, &Player::frameShown, this, [this, player] {
            // The owner may have moved on to another player before this one's frame came.
            if (player == m_weakPlayer) {
                setVideoStartTime(player->currentTime());
                setSeekerPosition(player->currentTime());
            }
        });
    }
}

void VideoControlBar::stepFrame(bool forward) {
    if (hasLoadedItem() && m_weakPlayer->rate() == 0.0f) {
        m_weakPlayer->stepFrame(forward);
    }
}

void VideoControlBar::seekBy(MediaTime delta) {
    if (!hasLoadedItem() || m_weakPlayer->rate() != 0.0f || !_endTime.isNumeric()) {
        return;
    }
    const MediaTime start = MediaTime::make(0, _endTime.timescale);
    // The sound may run a little past the last picture: from there, the move counts from the end.
    const MediaTime now = std::clamp(m_weakPlayer->currentTime(), start, _endTime);
    seekToFrame(std::clamp(now + delta, start, _endTime));
}

void VideoControlBar::setPlayRate(float rate) {
    _curRate = rate;
    Player* player = m_weakPlayer;
    // A paused player takes the rate at its next start.
    if (!player || player->rate() == 0.0f) {
        return;
    }
    player->play();
    player->setRate(_curRate);
}

void VideoControlBar::setVolumnOn(bool on) {
    Player* player = m_weakPlayer;
    if (!player) {
        return;
    }
    player->setVolume(on ? sliderVolume() : 0.0f);
}

void VideoControlBar::setVideoStartTime(MediaTime time) {
    QLabel* label = m_lblStartTime();
    if (!label) {
        return;
    }
    // Whole seconds while the video plays, as the monitor ticks; to the millisecond while it
    // stands still, where a frame is looked for.
    const MediaTime shown = shownTime(time);
    const bool still = m_weakPlayer && m_weakPlayer->rate() == 0.0f && shown.isNumeric();
    label->setText(still ? timeTextWithMilliseconds(shown) : convertTimeToString(shown));
    label->setToolTip(timeToolTip(time));
}

void VideoControlBar::setVideoEndTime(MediaTime time) {
    _endTime = time;
    logLine("%fl", time.seconds());
    showEndTime();
    setVideoStartTime(MediaTime::zero());
    if (m_videoTrack()) {
        m_videoTrack()->setBands(m_bands, _endTime);
    }
    // The owner gives the duration once its player is ready: the file is known by then.
    requestOverview();
}

void VideoControlBar::showEndTime() {
    QLabel* label = m_lblEndTime();
    if (!label) {
        return;
    }
    const MediaTime shown = shownTime(_endTime);
    label->setText(convertTimeToString(shown));
    const MediaTime frame = frameDuration();
    if (!shown.isNumeric() || !frame.isNumeric()) {
        label->setToolTip(timeTextWithMilliseconds(shown));
        return;
    }
    label->setToolTip(
        tr("%1, %2 frames").arg(timeTextWithMilliseconds(shown)).arg(frameNumber(_endTime, frame)));
}

void VideoControlBar::setTimeFactor(SpeedFactor factor) {
    m_timeFactor = factor;
    showEndTime();
}

MediaTime VideoControlBar::shownTime(MediaTime time) const {
    return m_timeFactor.isOne() ? time : m_timeFactor.stretch(time);
}

void VideoControlBar::showNoVideo() {
    invalidateMonitorVideoTimer();
    m_overview->clear();
    _endTime = MediaTime::invalid();
    if (m_lblEndTime()) {
        m_lblEndTime()->setText(convertTimeToString(MediaTime::zero()));
    }
    setVideoStartTime(MediaTime::zero());
    placeMarker(m_trackSeeker(), MediaTime::zero());
    m_playheadTime = MediaTime::invalid();
    if (m_trackSeeker()) {
        m_trackSeeker()->setToolTip(QString());
    }
    if (m_videoTrack()) {
        m_videoTrack()->setBands(m_bands, _endTime);
    }
}

QString VideoControlBar::convertTimeToString(MediaTime time) const {
    return timeText(time);
}

void VideoControlBar::setSeekerPosition(MediaTime time) {
    placeMarker(m_trackSeeker(), time);
    m_playheadTime = time;
    if (m_trackSeeker()) {
        m_trackSeeker()->setToolTip(playheadToolTip());
    }
}

QString VideoControlBar::playheadToolTip() const {
    return timeToolTip(m_playheadTime);
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
    if (m_videoTrack()) {
        m_videoTrack()->setBands(m_bands, _endTime);
    }
}

void VideoControlBar::trackPressed(float x) {
    if (const std::optional<MediaTime> time = frameAtPosition(x); time && hasLoadedItem()) {
        seekToFrame(*time);
    }
}

void VideoControlBar::trackClicked(float x) {
    const std::optional<MediaTime> time = timeAtPosition(x);
    if (!time || !delegateResponds(m_delegate, VideoControlBarDelegate::kSelectBand)) {
        return;
    }
    const int band = bandAt(m_bands, *time);
    if (band >= 0) {
        m_delegate->selectBand(band);
        // Whatever the selection did to the player, the click said where to go.
        trackPressed(x);
    }
}

std::optional<MediaTime> VideoControlBar::frameAtPosition(float x) const {
    const double start = trackStart();
    const double end = start + trackWidth();
    const std::optional<MediaTime> time =
        timeAtPosition(static_cast<float>(std::clamp(static_cast<double>(x), start, end)));
    if (!time) {
        return std::nullopt;
    }
    return snapBound(*time, {}, MediaTime::zero(), frameDuration(), _endTime);
}

MediaTime VideoControlBar::frameDuration() const {
    if (!hasLoadedItem() || !m_weakPlayer->currentItem()->asset() || !_endTime.isNumeric()) {
        return MediaTime::invalid();
    }
    return oneFrame(*m_weakPlayer->currentItem()->asset(), _endTime.timescale);
}

double VideoControlBar::positionOfTime(MediaTime time) const {
    const double duration = _endTime.seconds();
    return trackStart() + time.seconds() * (trackWidth() / duration);
}

MediaTime VideoControlBar::snappedHandleTime(MediaTime time,
                                             const std::function<bool(double)>& allowed) const {
    if (m_videoSeeker() && (m_videoSeeker()->dragModifiers() & Qt::ShiftModifier)) {
        return time;
    }
    std::vector<MediaTime> bounds{MediaTime::make(0, _endTime.timescale), _endTime};
    for (const TrackBand& band : m_bands) {
        if (!band.selected) {
            bounds.push_back(band.start);
            bounds.push_back(band.end);
        }
    }
    // Points are no exact measure: the reach is a time only as near as the track's scale.
    const MediaTime reach = MediaTime::makeWithSeconds(
        _endTime.seconds() * kSnapReach / trackWidth(), _endTime.timescale);
    const MediaTime snapped = snapBound(time, bounds, reach, frameDuration(), _endTime);
    return allowed(positionOfTime(snapped)) ? snapped : time;
}

void VideoControlBar::requestOverview() {
    TrackImage* track = m_videoTrack();
    if (!hasLoadedItem() || !track || !m_weakPlayer->currentItem()->asset()) {
        return;
    }
    const Asset& asset = *m_weakPlayer->currentItem()->asset();
    const QRect strip = track->filmstripRect();
    const std::vector<AssetTrack> video = asset.tracksWithMediaType(MediaType::Video);
    if (strip.isEmpty()) {
        return;
    }
    // Thumbnails keep the picture's shape, upright, in device pixels for sharpness.
    double aspect = 16.0 / 9.0;
    const int rotation = video.empty() ? 0 : video.front().rotation;
    if (!video.empty() && video.front().naturalWidth > 0 && video.front().naturalHeight > 0) {
        aspect = double(video.front().naturalWidth) / double(video.front().naturalHeight);
        if (rotation % 180 != 0) {
            aspect = 1.0 / aspect;
        }
    }
    const double ratio = track->devicePixelRatioF();
    const int height = std::max(1, static_cast<int>(std::lround(strip.height() * ratio)));
    const int width = std::max(1, static_cast<int>(std::lround(height * aspect)));
    const int count =
        std::max(1, static_cast<int>(std::ceil(strip.width() * ratio / double(width))));
    m_overview->request(asset.path(), count, QSize(width, height), rotation);
}

void VideoControlBar::setLeftHanldePos(MediaTime time) {
    placeMarker(m_leftHandle(), time);
}

void VideoControlBar::setRightHanldePos(MediaTime time) {
    placeMarker(m_rightHandle(), time);
}

bool VideoControlBar::respondsToSelector(std::string_view selector) const {
    return selector == VideoSeekerDelegate::kLeftHandle ||
           selector == VideoSeekerDelegate::kRightHandle ||
           selector == VideoSeekerDelegate::kSeekerHandle ||
           selector == VideoSeekerDelegate::kTrackPressed ||
           selector == VideoSeekerDelegate::kTrackClicked;
}

void VideoControlBar::leftHandle(float x) {
    const double start = trackStart();
    if (start > x) {
        x = static_cast<float>(start);
    }
    // Without a right handle its edge counts as 0.
    const double rightEdge = m_rightHandle() ? m_rightHandle()->x() : 0.0;
    if (x > rightEdge + kMarkerHalfWidth - kHandleGap) {
        return;
    }
    const std::optional<MediaTime> pointed = timeAtPosition(x);
    if (!pointed || !delegateResponds(m_delegate, VideoControlBarDelegate::kLeftHandle) ||
        !hasLoadedItem()) {
        return;
    }
    const MediaTime time = snappedHandleTime(
        *pointed, [&](double at) { return at <= rightEdge + kMarkerHalfWidth - kHandleGap; });
    // The owner hears of the new bound once the player is on its way there; whatever it does
    // to the handle meanwhile, the drag has the last word.
    seekToFrame(time);
    m_delegate->leftHandle(time);
    placeDraggedHandle(m_leftHandle(), time, *pointed, x);
}

void VideoControlBar::rightHandle(float x) {
    logLine("rightHandle: %f", x);
    const double end = trackStart() + trackWidth();
    if (x > end) {
        x = static_cast<float>(end);
    }
    const double leftEdge = m_leftHandle() ? m_leftHandle()->x() : 0.0;
    if (leftEdge + kMarkerHalfWidth + kHandleGap > x) {
        return;
    }
    const std::optional<MediaTime> pointed = timeAtPosition(x);
    if (!pointed || !delegateResponds(m_delegate, VideoControlBarDelegate::kRightHandle) ||
        !hasLoadedItem()) {
        return;
    }
    const MediaTime time = snappedHandleTime(
        *pointed, [&](double at) { return leftEdge + kMarkerHalfWidth + kHandleGap <= at; });
    seekToFrame(time);
    m_delegate->rightHandle(time);
    placeDraggedHandle(m_rightHandle(), time, *pointed, x);
}

void VideoControlBar::placeDraggedHandle(QWidget* handle, MediaTime time, MediaTime pointed,
                                         float x) {
    if (time == pointed) {
        moveDraggedMarker(handle, x);
    } else {
        placeMarker(handle, time);
    }
}

void VideoControlBar::SeekerHandle(float x) {
    // The playhead goes anywhere on the track, trim range or not.
    const double start = trackStart();
    if (start > x) {
        x = static_cast<float>(start);
    }
    const double end = start + trackWidth();
    if (x > end) {
        x = static_cast<float>(end);
    }
    const std::optional<MediaTime> time = timeAtPosition(x);
    if (!time || !hasLoadedItem()) {
        return;
    }
    seekToFrame(*time);
    moveDraggedMarker(m_trackSeeker(), x);
}

std::optional<MediaTime> VideoControlBar::timeAtPosition(float x) const {
    const double duration = _endTime.seconds();
    const double width = trackWidth();
    if (!std::isfinite(duration) || duration <= 0.0 || width <= 0.0) {
        return std::nullopt;
    }
    const double seconds = duration * ((static_cast<double>(x) - trackStart()) / width);
    if (!std::isfinite(seconds)) {
        return std::nullopt;
    }
    return MediaTime::makeWithSeconds(seconds, _endTime.timescale);
}

void VideoControlBar::moveDraggedMarker(QWidget* marker, float x) {
    setMarkerLeft(marker, static_cast<double>(x - kMarkerHalfWidth));
}

void VideoControlBar::setMarkerLeft(QWidget* marker, double left) {
    if (!marker) {
        return;
    }
    // Times far beyond the duration still land beyond the track, within what a widget can hold.
    constexpr double kFarOff = 1.0e6;
    left = std::clamp(left, -kFarOff, kFarOff);
    marker->move(static_cast<int>(std::lround(left)), marker->y());
    const double width = trackWidth();
    if (double* share = markerShare(marker); share != nullptr && width > 0.0) {
        *share = left / width;
    }
}

std::array<QWidget*, 3> VideoControlBar::markers() const {
    return {m_trackSeeker(), m_leftHandle(), m_rightHandle()};
}

double* VideoControlBar::markerShare(QWidget* marker) {
    const std::array<QWidget*, 3> all = markers();
    const auto found = std::find(all.begin(), all.end(), marker);
    if (marker == nullptr || found == all.end()) {
        return nullptr;
    }
    return &m_markerShares[static_cast<size_t>(found - all.begin())];
}

void VideoControlBar::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    stretchToWidth(width());
    m_overviewDelay->start();
}

void VideoControlBar::stretchToWidth(int width) {
    const FileGeometry& file = m_fileGeometry;
    if (!m_subView() || !m_videoSeeker() || !m_videoTrack() || file.trackWidth <= 0) {
        return;
    }
    const int extra = std::max(0, width - file.subView.width());
    m_subView()->resize(file.subView.width() + extra, file.subView.height());
    m_videoSeeker()->resize(file.seekerWidth + extra, m_videoSeeker()->height());
    m_videoTrack()->resize(file.trackWidth + extra, m_videoTrack()->height());
    if (m_lblEndTime()) {
        m_lblEndTime()->move(file.endTimeX + extra, m_lblEndTime()->y());
    }
    if (m_ctrlVolumn()) {
        m_ctrlVolumn()->move(file.volumeX + extra, m_ctrlVolumn()->y());
    }
    const double track = trackWidth();
    for (QWidget* marker : markers()) {
        if (const double* share = markerShare(marker)) {
            setMarkerLeft(marker, *share * track);
        }
    }
}

bool VideoControlBar::hasLoadedItem() const {
    return m_weakPlayer && m_weakPlayer->currentItem() != nullptr;
}

double VideoControlBar::trackStart() const {
    return m_videoTrack() ? m_videoTrack()->x() : 0.0;
}

double VideoControlBar::trackWidth() const {
    return m_videoTrack() ? m_videoTrack()->width() : 0.0;
}

void VideoControlBar::placeMarker(QWidget* marker, MediaTime time) {
    if (!marker) {
        return;
    }
    const double seconds = time.seconds();
    const double duration = _endTime.seconds();
    const double width = trackWidth();
    // Without a duration or a track there is no axis: the marker waits at the track's start.
    double x = 0.0;
    if (std::isfinite(seconds) && std::isfinite(duration) && duration > 0.0 && width > 0.0) {
        x = seconds * (width / duration);
    }
    setMarkerLeft(marker, x);
}

void VideoControlBar::invalidateMonitorVideoTimer() {
    if (_monitorVideoTimer) {
        _monitorVideoTimer->stop();
        // The owner may stop playback from inside a tick, while the timer is still emitting.
        _monitorVideoTimer->deleteLater();
    }
    _monitorVideoTimer = nullptr;
}

float VideoControlBar::sliderVolume() const {
    return m_ctrlVolumn() ? m_ctrlVolumn()->floatValue() : 0.0f;
}

} // namespace lento
