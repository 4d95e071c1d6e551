#include "media/LivePlayback.h"

#include "base/Worker.h"
#include "media/Player.h"

#include <QTransform>

#include <algorithm>
#include <climits>
#include <cmath>

extern "C" {
#include <libswscale/swscale.h>
}

namespace lento {

namespace {

// How often the player's clock is read for the picture due: a picture of a 60 fps output is
// shown at most 5 ms after its time.
constexpr int kPlayingInterval = 5;
// Paused, the clock only moves when the user moves it.
constexpr int kPausedInterval = 30;
// A clock further than this from the last one read was sent there: a seek.
const MediaTime kLargestStep = MediaTime::make(1, 4);
// Pictures are begun this far ahead of the clock when playback starts or moves: about the time
// the first of them takes to make, so that playback meets them rather than chasing them (the
// player's own picture shows until then).
const MediaTime kStartAhead = MediaTime::make(3, 20);

std::chrono::microseconds microseconds(MediaTime time) {
    return std::chrono::microseconds(time.convertScale(1000000).value);
}

// A span of the steady clock as a media time, exact to the microsecond.
MediaTime mediaTime(std::chrono::steady_clock::duration span) {
    return MediaTime::make(std::chrono::duration_cast<std::chrono::microseconds>(span).count(),
                           1000000);
}

} // namespace

LivePlayback::LivePlayback(Player* player, QObject* parent) : QObject(parent), m_player(player) {
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &LivePlayback::tick);
    if (player != nullptr) {
        connect(player, &Player::playingChanged, this, &LivePlayback::playingChanged);
    }
}

LivePlayback::~LivePlayback() = default;

namespace {

// The composition's first video track that shows a source, if any.
const CompositionTrack* shownTrack(const Composition& composition) {
    for (const CompositionTrack* track : composition.tracksWithMediaType(MediaType::Video)) {
        if (track->firstSourceTrack() != nullptr) {
            return track;
        }
    }
    return nullptr;
}

} // namespace

void LivePlayback::setComposition(std::shared_ptr<const Composition> composition) {
    setComposition(composition ? CompositionBuilder([composition] { return composition; })
                               : CompositionBuilder());
}

void LivePlayback::stopPictures() {
    m_timer.stop();
    // Their workers end on their own.
    m_playing.reset();
    m_still.reset();
    m_composition.reset();
    m_last = MediaTime::invalid();
    m_stillAt = MediaTime::invalid();
    m_figures = {};
    m_droppedBefore = 0;
}

void LivePlayback::setComposition(CompositionBuilder build) {
    // A composition still being made is one left behind.
    const uint64_t planning = ++m_planning;
    if (!build) {
        m_planned = planning;
        stopPictures();
        showPlayerPicture();
        return;
    }
    // The whole edit is built and planned once, for both renderers, on a worker. Playback goes
    // on as it was until then.
    runOnWorker(
        this,
        [build = std::move(build)] {
            Planned made;
            made.composition = build();
            if (made.composition && shownTrack(*made.composition) != nullptr) {
                made.plan = std::make_shared<const ExportPlan>(
                    planExport(*made.composition, MediaTimeRange::invalid()));
            }
            return made;
        },
        [this, planning](Planned made) {
            if (planning == m_planning) {
                m_planned = planning;
                planned(std::move(made));
            }
        });
}

void LivePlayback::planned(Planned made) {
    if (!made.plan || !LiveRenderer::makesPictures(*made.plan)) {
        stopPictures();
        showPlayerPicture();
        return;
    }
    // The same pictures (only the sound changed): they go on as they were made.
    if (m_playing && LiveRenderer::showsSamePictures(*m_playing->plan(), *made.plan)) {
        return;
    }
    stopPictures();
    m_composition = std::move(made.composition);
    const std::shared_ptr<const ExportPlan>& plan = made.plan;
    const CompositionTrack* track = shownTrack(*m_composition);
    const AssetTrack& source = *track->firstSourceTrack();
    m_rotation = source.rotation;
    const AVRational rate = source.frameRate();
    m_sourcePicture = rate.num > 0 ? double(rate.den) / rate.num : 1.0 / 30;
    m_pictureStep = MediaTime::zero();
    for (const CompositionSegment& segment : track->segments()) {
        if (!segment.empty && segment.sourceRange.duration > MediaTime::zero()) {
            // The most output one source picture spans anywhere in the composition.
            const MediaTime step = MediaTime::makeWithSeconds(
                m_sourcePicture * segment.targetRange.duration.seconds() /
                    segment.sourceRange.duration.seconds(),
                90000);
            m_pictureStep = maxTime(m_pictureStep, step);
        }
    }
    m_sampleAspect = source.sampleAspect.num > 0 ? source.sampleAspect : AVRational{1, 1};
    m_playing =
        std::make_unique<LiveRenderer>(m_composition, plan, playingFormat(source, kPlayingWidth));
    // A still needs its one picture: none is made ahead of it.
    m_still =
        std::make_unique<LiveRenderer>(m_composition, plan, playingFormat(source, INT_MAX), 1);
    playingChanged(m_player && m_player->rate() > 0);
}

void LivePlayback::playingChanged(bool playing) {
    if (!m_playing) {
        return;
    }
    if (playing) {
        m_figures = {};
        m_droppedBefore = 0;
    } else {
        // Resuming starts the pictures anew from wherever the playhead is then.
        m_playing->stop();
        m_last = MediaTime::invalid();
    }
    m_stillAt = MediaTime::invalid();
    m_timer.start(playing ? kPlayingInterval : kPausedInterval);
    tick();
}

MediaTime LivePlayback::sourceClock() const {
    if (!m_player || m_player->currentItem() == nullptr) {
        return MediaTime::invalid();
    }
    const MediaTime position = m_player->currentTime();
    const auto now = std::chrono::steady_clock::now();
    if (!(m_player->rate() > 0)) {
        m_position = MediaTime::invalid();
        return position;
    }
    // The position moves once a picture of the source is shown, in time with the sound: it
    // moves on at the rate from there, up to where the next is due. (Asking mpv for its sound's
    // position instead would wait on its core from the thread that draws its pictures, which
    // the core may be waiting for.)
    if (!(m_position.isValid() && m_position == position)) {
        m_position = position;
        m_positionSince = now;
    }
    const double elapsed = std::chrono::duration<double>(now - m_positionSince).count();
    return position +
           MediaTime::makeWithSeconds(std::min(elapsed * m_player->rate(), m_sourcePicture), 90000);
}

MediaTime LivePlayback::outputClock() const {
    const MediaTime source = sourceClock();
    return m_playing && source.isValid() ? m_playing->outputTimeOf(source) : MediaTime::invalid();
}

bool LivePlayback::makesPictureAt(MediaTime at) const {
    return m_playing && at.isValid() && m_playing->makesPictureAt(at);
}

void LivePlayback::tick() {
    if (!m_playing || !m_player) {
        return;
    }
    const auto begun = std::chrono::steady_clock::now();
    const MediaTime at = outputClock();
    if (!at.isValid()) {
        showPlayerPicture();
    } else if (m_player->rate() > 0) {
        tickPlaying(at);
    } else {
        tickPaused(at);
    }
    m_figures.longestTick =
        std::max(m_figures.longestTick, std::chrono::duration_cast<std::chrono::microseconds>(
                                            std::chrono::steady_clock::now() - begun));
}

void LivePlayback::tickPlaying(MediaTime at) {
    m_still->stop();
    m_stillAt = MediaTime::invalid();
    // A seek: the clock went back, or on further than playing since the last look could take
    // it (a source picture's step at x10 is a third of a second of output).
    const auto now = std::chrono::steady_clock::now();
    const MediaTime played = mediaTime(now - m_lastLook);
    const bool sought = !m_last.isValid() || m_last - at > kLargestStep ||
                        at - m_last > played + kLargestStep + m_pictureStep;
    m_lastLook = now;
    // Pictures that fell behind the clock (a machine busy with other work, a player that leaps
    // on as it starts: mpv's does at x10) are not chased: they begin again ahead of it. A start
    // that had its time and showed nothing begins as much further ahead as it took.
    const bool first = m_figures.firstPicture.count() < 0;
    const bool running = m_playing->isRunning();
    const MediaTime reached = m_takenEnd.isValid() ? m_takenEnd : m_runFrom;
    const bool behind = running && reached.isValid() && at - reached > kLargestStep;
    if (sought || behind || !running) {
        const MediaTime taken = mediaTime(now - m_runBegun);
        const bool slowStart = behind && !sought && first && taken > kStartAhead;
        m_runFrom = at + kStartAhead + (slowStart ? taken : MediaTime::zero());
        m_playing->start(m_runFrom);
        m_runBegun = now;
        // The first picture's delay counts from pressing play (or the seek) through the
        // restarts before it.
        if (!first || !running || m_figures.starts == 0) {
            m_started = now;
        }
        m_figures.firstPicture = std::chrono::microseconds(-1);
        m_takenEnd = MediaTime::invalid();
        ++m_figures.starts;
        // Until the first made picture, the player's own, not one left from before.
        showPlayerPicture();
    } else if (at < m_last) {
        // A position read lands a little short of the estimate before it; playback only goes
        // forward.
        at = m_last;
    }
    m_last = at;
    std::optional<VideoItem> item = m_playing->take(at);
    if (item) {
        m_takenEnd =
            MediaTime::make(item->pts + std::max<int64_t>(1, item->duration), kVideoTimescale);
    }
    // Pictures passed over before the first is shown are the start's delay, told apart.
    if (m_figures.firstPicture.count() >= 0) {
        m_figures.dropped = m_droppedBefore + m_playing->dropped();
    }
    // A source that cannot be read on shows what the player makes of it.
    if (!makesPictureAt(at) || m_playing->ending().isFailure()) {
        showPlayerPicture();
        return;
    }
    if (item) {
        if (m_figures.firstPicture.count() < 0) {
            m_figures.firstPicture = std::chrono::duration_cast<std::chrono::microseconds>(
                std::chrono::steady_clock::now() - m_started);
            m_droppedBefore = m_figures.dropped - m_playing->dropped();
        }
        show(*item, at);
        ++m_figures.shown;
    }
}

void LivePlayback::tickPaused(MediaTime at) {
    if (!makesPictureAt(at)) {
        m_still->stop();
        m_stillAt = MediaTime::invalid();
        showPlayerPicture();
        return;
    }
    if (!(m_stillAt.isValid() && m_stillAt == at)) {
        m_still->start(at);
        m_stillAt = at;
    }
    if (m_still->ending().isFailure()) {
        // Tried again only once the playhead moves.
        m_still->stop();
        showPlayerPicture();
        return;
    }
    if (!m_still->isRunning()) {
        return;
    }
    if (std::optional<VideoItem> item = m_still->take(at)) {
        show(*item, at);
        // One picture is all a still needs.
        m_still->stop();
    }
}

void LivePlayback::show(const VideoItem& item, MediaTime at) {
    const AVFrame& frame = *item.frame;
    // Square pixels: the width stretched or squeezed by the pixels' shape.
    const int width = std::max<int>(
        2, int(std::lround(double(frame.width) * m_sampleAspect.num / m_sampleAspect.den)));
    const int height = frame.height;
    m_scaler.reset(sws_getCachedContext(m_scaler.release(), frame.width, frame.height,
                                        static_cast<AVPixelFormat>(frame.format), width, height,
                                        AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr));
    QImage picture(width, height, QImage::Format_RGB32);
    if (!m_scaler || picture.isNull()) {
        return;
    }
    uint8_t* planes[4] = {picture.bits(), nullptr, nullptr, nullptr};
    int strides[4] = {int(picture.bytesPerLine()), 0, 0, 0};
    if (sws_scale(m_scaler.get(), frame.data, frame.linesize, 0, frame.height, planes, strides) !=
        height) {
        return;
    }
    if (m_rotation != 0) {
        picture = picture.transformed(QTransform().rotate(m_rotation));
    }
    // How far the picture due came after its time (a picture shown late, or a late one's
    // predecessor held past its end).
    const MediaTime due = MediaTime::make(item.pts, kVideoTimescale);
    if (at > due) {
        m_figures.worstLate = std::max(m_figures.worstLate, microseconds(at - due));
    }
    m_showing = true;
    m_shownTime = due;
    m_shownSize = QSize(frame.width, frame.height);
    emit pictureChanged(picture);
}

void LivePlayback::showPlayerPicture() {
    if (m_showing) {
        m_showing = false;
        emit pictureChanged(QImage());
    }
}

} // namespace lento
