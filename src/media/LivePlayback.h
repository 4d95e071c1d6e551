#pragma once

// What a player shows while it plays a composition whose pictures are made (Blend, Smooth): the
// export's pictures, made live, in time with the player's sound. The player stays the clock and
// the sound, and shows its own pictures where the composition holds them. While playing, the
// pictures are made at a reduced size (at most kPlayingWidth wide); paused, the export's own
// picture at that time is made at full size.
//
// Everything here runs on the player's thread (the main thread); the pictures are made on the
// renderers' workers and taken, never waited for, on a timer.

#include "media/Composition.h"
#include "media/FfmpegHandles.h"
#include "media/LiveRenderer.h"
#include "media/MediaTime.h"

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace lento {

class Player;

class LivePlayback : public QObject {
    Q_OBJECT
public:
    static constexpr int kPlayingWidth = 640;

    // Follows `player`, which must outlive it or be destroyed with its parent.
    explicit LivePlayback(Player* player, QObject* parent = nullptr);
    ~LivePlayback() override;

    // Builds the composition the player's source plays as, from plain values it holds (the
    // edit's), off the player's thread: laying a long edit takes a while.
    using CompositionBuilder = std::function<std::shared_ptr<const Composition>()>;

    // The composition the player's source plays as; null, or one that makes no pictures, leaves
    // the player's own pictures on show. Returns at once: the composition is built and planned
    // on a worker, and playback follows it once planned (isActive()); a composition set before
    // the last one was planned replaces it. No builder is no composition.
    void setComposition(CompositionBuilder build);
    void setComposition(std::shared_ptr<const Composition> composition);
    bool isActive() const { return m_playing != nullptr; }
    // Whether the composition set last is still being built and planned.
    bool isPlanning() const { return m_planned != m_planning; }

    // What playback showed since the composition was set or playback last started: pictures
    // shown, passed over unseen, and the most any was late for its time.
    struct Figures {
        int64_t shown = 0;
        int64_t dropped = 0;
        std::chrono::microseconds worstLate{0};
        // From starting to play (or a seek while playing) to the first picture made on show.
        std::chrono::microseconds firstPicture{-1};
        // Times the pictures were begun anew for a seek (or for starting to play).
        int64_t starts = 0;
        // The longest one look at the clock took on the player's thread, showing a picture
        // included.
        std::chrono::microseconds longestTick{0};
    };
    const Figures& figures() const { return m_figures; }

    // The output time of the player's position now, moved on since the player last told it.
    MediaTime outputClock() const;
    // The output time of the made picture on show (its start); invalid while the player's own
    // picture shows.
    MediaTime shownTime() const { return m_showing ? m_shownTime : MediaTime::invalid(); }
    // The size the picture on show was made at.
    QSize shownSize() const { return m_shownSize; }

signals:
    // The picture to show in place of the player's own; a null image gives the player's back.
    // Shaped for the screen: turned upright and with square pixels.
    void pictureChanged(const QImage& picture);

private:
    void tick();
    void tickPlaying(MediaTime at);
    void tickPaused(MediaTime at);
    void playingChanged(bool playing);
    void show(const VideoItem& item, MediaTime at);
    void showPlayerPicture();
    // Stops following the composition: its pictures are no longer made nor taken.
    void stopPictures();
    // A composition and its whole plan, made on a worker.
    struct Planned {
        std::shared_ptr<const Composition> composition;
        std::shared_ptr<const ExportPlan> plan;
    };
    // Follows the composition set last, once it is built and planned.
    void planned(Planned made);
    MediaTime sourceClock() const;
    bool makesPictureAt(MediaTime at) const;

    QPointer<Player> m_player;
    std::shared_ptr<const Composition> m_composition;
    uint64_t m_planning = 0; // counts the compositions set, to tell the last one's plan apart
    uint64_t m_planned = 0;  // the last one handed over
    std::unique_ptr<LiveRenderer> m_playing; // at the playing size
    std::unique_ptr<LiveRenderer> m_still;   // the export's own size, while paused
    QTimer m_timer;
    ScaleContextPtr m_scaler;
    int m_rotation = 0;
    double m_sourcePicture = 0;                       // a source picture's duration, in seconds
    MediaTime m_pictureStep = MediaTime::zero();      // the most output one source picture spans
    std::chrono::steady_clock::time_point m_lastLook; // when the clock was last looked at
    // The player's position as last read, and since when it has not moved.
    mutable MediaTime m_position = MediaTime::invalid();
    mutable std::chrono::steady_clock::time_point m_positionSince;
    AVRational m_sampleAspect{1, 1};

    MediaTime m_last = MediaTime::invalid(); // the output time last looked at
    bool m_showing = false;                  // a made picture is on show
    MediaTime m_shownTime = MediaTime::invalid();
    MediaTime m_takenEnd = MediaTime::invalid(); // of the picture taken last while playing
    MediaTime m_runFrom = MediaTime::invalid();  // where the pictures were last begun
    QSize m_shownSize;
    MediaTime m_stillAt = MediaTime::invalid();
    Figures m_figures;
    std::chrono::steady_clock::time_point m_started;  // when playing started or moved
    std::chrono::steady_clock::time_point m_runBegun; // when the pictures were last begun
    int64_t m_droppedBefore = 0;
};

} // namespace lento
