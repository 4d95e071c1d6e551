#pragma once

#include "media/Asset.h"
#include "media/MediaTime.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

struct mpv_handle;
struct mpv_event;

namespace lento {

// The item a player plays: one file, with the pitch behaviour of slowed playback.
class PlayerItem {
public:
    enum class PitchAlgorithm {
        // The pitch falls with the rate, as on a tape machine.
        Varispeed,
        // The pitch is kept at every rate.
        Default,
    };

    explicit PlayerItem(std::shared_ptr<Asset> asset) : m_asset(std::move(asset)) {}

    const std::shared_ptr<Asset>& asset() const { return m_asset; }
    MediaTime duration() const { return m_asset ? m_asset->duration() : MediaTime::invalid(); }
    PitchAlgorithm audioTimePitchAlgorithm() const { return m_pitchAlgorithm; }
    // Nothing sets these: the whole item plays and exports.
    MediaTime reversePlaybackEndTime() const { return MediaTime::invalid(); }
    MediaTime forwardPlaybackEndTime() const { return MediaTime::invalid(); }

private:
    friend class Player;
    std::shared_ptr<Asset> m_asset;
    PitchAlgorithm m_pitchAlgorithm = PitchAlgorithm::Default;
};

struct MpvHandleDeleter {
    void operator()(mpv_handle* handle) const;
};
using MpvHandlePtr = std::unique_ptr<mpv_handle, MpvHandleDeleter>;

// Plays one file through libmpv. Status and end-of-item changes arrive as signals on the thread
// that owns the player (the main thread).
class Player : public QObject {
    Q_OBJECT
public:
    enum class Status { Unknown = 0, ReadyToPlay = 1, Failed = 2 };
    Q_ENUM(Status)

    // Players made while this is set have no window and no sound device (tests, CI); they keep
    // the same clock and events.
    static void setHeadless(bool headless);
    static bool isHeadless();
    // Headless players made while this names a file play the sound alone, as fast as it is
    // made, into that file as raw 48 kHz mono floats (empty: no sound). Main thread only.
    static void setHeadlessSoundFile(const std::string& path);

    // Probes `path` on the calling thread while mpv opens it, which waits as long as the disk
    // does: the editors probe on a worker thread and hand the result to the other constructor.
    explicit Player(const QString& path, QObject* parent = nullptr);
    // Plays the file `asset` was probed from, without probing it again.
    explicit Player(std::shared_ptr<Asset> asset, QObject* parent = nullptr);
    ~Player() override;

    Status status() const { return m_status; }
    PlayerItem* currentItem() const { return m_item.get(); }

    // 0 while paused.
    float rate() const;
    // r > 0 plays at r; 0 pauses.
    void setRate(float rate);
    // Plays at 1.0.
    void play();
    void pause();

    // Linear gain, 0.0 to 1.0.
    float volume() const { return m_volume; }
    void setVolume(float volume);

    void setAudioTimePitchAlgorithm(PlayerItem::PitchAlgorithm algorithm);

    // Goes to `time`; currentTime() answers it at once.
    void seek(MediaTime time);
    // In the item's timescale.
    MediaTime currentTime() const;

    // Shows the next (or the previous) frame and stays paused on it; frameShown() follows once
    // currentTime() is that frame's time. Steps asked for while one is under way are made one
    // after the other, each announced: every call is one frame. Nothing happens past either end.
    void stepFrame(bool forward);

    // Stopped at the end of the item, having played or been sent there, and not moved since.
    bool atEnd() const { return m_atEnd; }

    // For the player view's render context. Null when mpv could not start.
    mpv_handle* handle() const { return m_mpv.get(); }

signals:
    void statusChanged(lento::Player::Status status);
    // Once each time playback reaches the end of the item; playback stops there.
    void didPlayToEnd();
    // Playback started or stopped, whoever asked for it (rate() turned from or to 0).
    void playingChanged(bool playing);
    // A frame asked for by stepFrame() is on show.
    void frameShown();
    // mpv was asked to play at `rate` (setRate() or play()); each request is one signal.
    void rateRequested(float rate);

private:
    // mpv's wakeup callback, called on any of mpv's threads.
    static void wakeUp(void* player);
    // Starts mpv on `file`, which it opens on its own threads.
    void startMpv(const QByteArray& file);
    // Ends in Failed, on a later pass, when mpv did not start or the item does not play.
    void failUnlessPlayable();
    // Runs on the player's thread, queued there by wakeUp().
    void drainEvents();
    void handleEvent(const mpv_event& event);
    void setStatus(Status status);
    void setPaused(bool paused);
    // Records mpv's or our own pause, and says so when it changes.
    void notePaused(bool paused);
    void startSeek(double seconds);
    // Sends the next of the steps asked for, unless one is under way or a seek is.
    void sendNextStep();
    // Whether a step that way can show another frame: not back from the first, nor on from the
    // last.
    bool canStep(bool forward) const;
    void startStep(bool forward);
    void applyPitchAlgorithm(PlayerItem::PitchAlgorithm algorithm);
    int32_t timescale() const;

    std::unique_ptr<PlayerItem> m_item;
    MpvHandlePtr m_mpv;
    Status m_status = Status::Unknown;
    bool m_loaded = false;

    bool m_paused = true;
    float m_rate = 1.0f;
    float m_volume = 1.0f;
    // The pause value we last asked for until mpv reports it; its reports until then may be
    // older than the request.
    std::optional<bool> m_pauseRequested;

    double m_position = 0;
    // mpv's eof-reached, as last reported.
    bool m_eofReached = false;
    // Stopped at the end of the item and not moved since.
    bool m_atEnd = false;
    // A seek asked for before the file was loaded.
    std::optional<double> m_seekBeforeLoad;
    // Seek commands mpv has not answered yet; positions it reports before the restart that
    // follows the last answer are older than the seek.
    int m_seeksInFlight = 0;
    bool m_awaitingRestart = false;
    // A frame step mpv has not shown yet, the position it starts from and when it was sent.
    bool m_stepPending = false;
    double m_stepFrom = 0;
    std::chrono::steady_clock::time_point m_stepSent;
    // Frames still to step, forward (positive) or back, not yet sent. mpv takes one step at a
    // time: a step sent during a seek (a step back is one) is swallowed by it.
    int m_stepsQueued = 0;

    std::atomic<bool> m_drainQueued{false};
};

} // namespace lento
