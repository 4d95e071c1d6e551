#include "controls/PlaybackTransport.h"

#include "media/Player.h"

#include <QTimer>

#include <algorithm>

namespace lento {

PlaybackTransport::PlaybackTransport(QObject* parent) : QObject(parent) {}

void PlaybackTransport::setPlayer(Player* player) {
    // The same player handed over again keeps one connection.
    if (m_player) {
        disconnect(m_player, nullptr, this, nullptr);
    }
    m_player = player;
    if (player) {
        connect(player, &Player::frameShown, this, [this, player] {
            // The owner may have moved on to another player before this one's frame came.
            if (player == m_player) {
                emit positionChanged(player->currentTime());
            }
        });
    }
}

bool PlaybackTransport::hasItem() const {
    return m_player && m_player->currentItem() != nullptr;
}

bool PlaybackTransport::isPlaying() const {
    return m_player && m_player->rate() != 0.0f;
}

void PlaybackTransport::setRate(float rate) {
    m_rate = rate;
    // A paused player takes the rate at its next start. A playing one is asked once: playing at
    // 1 first would send mpv a rate of 1 between two others, on every update through a ramp.
    if (isPlaying()) {
        m_player->setRate(m_rate);
    }
}

void PlaybackTransport::play(float volume) {
    if (!m_player) {
        return;
    }
    // From the end, playback starts over, as it does after playing to the end.
    if (m_player->atEnd()) {
        seek(MediaTime::make(0, m_endTime.isNumeric() ? m_endTime.timescale : 1));
    }
    m_player->setVolume(volume);
    m_player->play();
    m_player->setRate(m_rate);
}

void PlaybackTransport::setVolume(float volume) {
    if (m_player) {
        m_player->setVolume(volume);
    }
}

void PlaybackTransport::pause() {
    if (!m_player) {
        return;
    }
    m_player->pause();
    stopMonitor();
    // Where it stopped, to the millisecond.
    if (hasItem()) {
        emit positionChanged(m_player->currentTime());
    }
}

void PlaybackTransport::stop() {
    if (!m_player) {
        return;
    }
    m_player->pause();
    seek(MediaTime::zero());
    stopMonitor();
}

void PlaybackTransport::seek(MediaTime time) {
    if (!m_player) {
        return;
    }
    m_player->seek(time);
    emit positionChanged(time);
}

void PlaybackTransport::stepFrame(bool forward) {
    if (hasItem() && !isPlaying()) {
        m_player->stepFrame(forward);
    }
}

void PlaybackTransport::seekBy(MediaTime delta) {
    if (!hasItem() || isPlaying() || !m_endTime.isNumeric()) {
        return;
    }
    const MediaTime start = MediaTime::make(0, m_endTime.timescale);
    // The sound may run a little past the last picture: from there, the move counts from the end.
    const MediaTime now = std::clamp(m_player->currentTime(), start, m_endTime);
    seek(std::clamp(now + delta, start, m_endTime));
}

void PlaybackTransport::startMonitor() {
    stopMonitor();
    auto* timer = new QTimer(this);
    timer->setInterval(kMonitorIntervalMs);
    connect(timer, &QTimer::timeout, this, &PlaybackTransport::monitorTick);
    timer->start();
    m_monitor = timer;
}

void PlaybackTransport::stopMonitor() {
    if (m_monitor) {
        m_monitor->stop();
        // The owner may stop playback from inside a tick, while the timer is still emitting.
        m_monitor->deleteLater();
    }
    m_monitor = nullptr;
}

} // namespace lento
