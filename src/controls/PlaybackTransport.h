#pragma once

#include "media/MediaTime.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

namespace lento {

class Player;

// Drives one player for the control bar and for whoever shares the bar's player: starts it at
// the chosen rate and volume, pauses, stops, seeks and steps it, and ticks a monitor every
// 0.1 s while playback started from the play button runs. Every time it sends the player to, and
// every frame the player shows, comes out as positionChanged(). It holds no widget.
//
// Without a player, only the rate (kept for the next start) and the end time change.
class PlaybackTransport : public QObject {
    Q_OBJECT
public:
    static constexpr int kMonitorIntervalMs = 100;

    explicit PlaybackTransport(QObject* parent = nullptr);

    // Weak: its owner makes a new player for every file.
    Player* player() const { return m_player; }
    void setPlayer(Player* player);
    // The player is there and holds an item.
    bool hasItem() const;
    bool isPlaying() const;
    // The video's duration as its owner gives it, the end of seekBy(); invalid until then.
    MediaTime endTime() const { return m_endTime; }
    void setEndTime(MediaTime time) { m_endTime = time; }

    float rate() const { return m_rate; }
    // Kept for the next start; applied at once while the player plays.
    void setRate(float rate);
    // Starts the player at the rate, at `volume`; from the end it starts over.
    void play(float volume);
    void setVolume(float volume);
    // Pauses the player and stops the monitor; where it stopped comes out.
    void pause();
    // Pauses, stops the monitor and rewinds to zero.
    void stop();
    void seek(MediaTime time);
    // Keyboard moves of a paused player: to the next or previous frame (it comes out once the
    // player shows it), and by `delta` within the video, both ends included. Both do nothing
    // while the player plays.
    void stepFrame(bool forward);
    void seekBy(MediaTime delta);

    // Ticks monitorTick() until a pause or a stop; a running monitor is replaced.
    void startMonitor();
    void stopMonitor();
    // The running monitor, or null.
    QTimer* monitorTimer() const { return m_monitor; }

signals:
    void positionChanged(lento::MediaTime time);
    void monitorTick();

private:
    QPointer<Player> m_player;
    MediaTime m_endTime = MediaTime::invalid();
    float m_rate = 0.0f;
    QPointer<QTimer> m_monitor;
};

} // namespace lento
