#pragma once

#include "base/DelegateProtocol.h"
#include "controls/VideoSeeker.h"
#include "edit/TimeText.h"
#include "edit/TrackRules.h"
#include "media/MediaTime.h"
#include "media/Player.h"
#include "media/SpeedFactor.h"
#include "media/TrackOverview.h"

#include <QLabel>
#include <QPointer>
#include <QSlider>
#include <QString>
#include <QTimer>
#include <QToolButton>
#include <QWidget>

#include <array>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace lento {

// The bar's track image: the video's filmstrip over its waveform, in a rounded frame drawn in the
// palette's colours so that it shows on light and dark themes alike, with every section laid
// over it as a band. The mouse goes through it to the seeker.
class TrackImage : public QWidget {
    Q_OBJECT
public:
    // The waveform's strip along the bottom; the filmstrip takes the rest.
    static constexpr int kWaveformHeight = 18;

    explicit TrackImage(QWidget* parent = nullptr);

    // Not owned: the bar's overview, which outlives its track.
    void setOverview(const TrackOverview* overview) { m_overview = overview; }
    // The bands, placed along the track by `duration`.
    void setBands(std::vector<TrackBand> bands, MediaTime duration);
    const std::vector<TrackBand>& bands() const { return m_bands; }
    QRect filmstripRect() const;
    QRect waveformRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void paintFilmstrip(QPainter& painter) const;
    void paintWaveform(QPainter& painter) const;
    void paintBands(QPainter& painter) const;

    const TrackOverview* m_overview = nullptr;
    std::vector<TrackBand> m_bands;
    MediaTime m_duration = MediaTime::invalid();
};

// A marker on the track: the playhead or one of the two trim handles. Its centre line, half its
// width right of its left edge, points at its time. The mouse goes through it to the seeker.
class MarkerImage : public QWidget {
    Q_OBJECT
public:
    enum class Kind { Playhead, LeftHandle, RightHandle };

    explicit MarkerImage(QWidget* parent = nullptr);

    Kind kind() const { return m_kind; }
    void setKind(Kind kind);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Kind m_kind = Kind::Playhead;
};

// The volume slider. Whatever its integer range, floatValue() runs from 0.0 at its minimum to
// 1.0 at its maximum: a player volume as it is.
class VolumeSlider : public QSlider {
    Q_OBJECT
public:
    explicit VolumeSlider(QWidget* parent = nullptr);

    float floatValue() const;
};

// What the control bar reports to its owner. Every report is optional: the bar asks
// respondsToSelector() with the names below before each one and skips it otherwise.
class VideoControlBarDelegate : public DelegateProtocol {
public:
    static constexpr std::string_view kLeftHandle = "leftHandle:";
    static constexpr std::string_view kRightHandle = "rightHandle:";
    static constexpr std::string_view kSeekerHandle = "SeekerHandle:";
    static constexpr std::string_view kPlayVideo = "playVideo";
    static constexpr std::string_view kPauseVideo = "pauseVideo";
    static constexpr std::string_view kAdjustAudio = "adjustAudio:";
    static constexpr std::string_view kMonitorVideo = "monitorVideo";
    static constexpr std::string_view kSelectBand = "selectBand:";

    // A trim handle was dragged to a new time (the player is already there).
    virtual void leftHandle(MediaTime /*time*/) {}
    virtual void rightHandle(MediaTime /*time*/) {}
    // Never sent: a playhead drag seeks the player itself.
    virtual void SeekerHandle(MediaTime /*time*/) {}
    // The play button went on; answer with playVideoWithVolumn().
    virtual void playVideo() {}
    // Never sent: the bar pauses the player itself.
    virtual void pauseVideo() {}
    // The volume slider moved to `volume` (0.0 to 1.0); applying it is the owner's choice.
    virtual void adjustAudio(float /*volume*/) {}
    // Asked on every monitor tick: the position to show.
    virtual MediaTime monitorVideo() { return MediaTime::zero(); }
    // A click on the track picked the band at `index` of those given to setBands().
    virtual void selectBand(int /*index*/) {}
};

// The strip under each editor's player: play toggle, position and duration labels, the track
// with its playhead and trim handles, and the volume slider. It drives the player its owner hands
// it and polls the owner for the position every 0.1 s while playing. As its seeker's delegate it
// turns drags of the playhead into seeks and drags of the trim handles into new trim bounds,
// which it reports to its owner.
class VideoControlBar : public QWidget, public VideoSeekerDelegate {
    Q_OBJECT
public:
    explicit VideoControlBar(QWidget* parent = nullptr);
    ~VideoControlBar() override;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // Not owned: the owner outlives its bar.
    VideoControlBarDelegate* delegate() const { return m_delegate; }
    void setDelegate(VideoControlBarDelegate* delegate) { m_delegate = delegate; }

    // Weak: the owner makes a new player for every file and hands it over here.
    Player* m_Player() const { return m_weakPlayer; }
    void setM_Player(Player* player);

    // The interface file's views. Weak references, like the player.
    QWidget* m_subView() const { return m_outlets.m_subView; }
    QToolButton* m_btnPlay() const { return m_outlets.m_btnPlay; }
    QLabel* m_lblStartTime() const { return m_outlets.m_lblStartTime; }
    QLabel* m_lblEndTime() const { return m_outlets.m_lblEndTime; }
    VolumeSlider* m_ctrlVolumn() const { return m_outlets.m_ctrlVolumn; }
    VideoSeeker* m_videoSeeker() const { return m_outlets.m_videoSeeker; }
    TrackImage* m_videoTrack() const { return m_outlets.m_videoTrack; }
    MarkerImage* m_leftHandle() const { return m_outlets.m_leftHandle; }
    MarkerImage* m_rightHandle() const { return m_outlets.m_rightHandle; }
    MarkerImage* m_trackSeeker() const { return m_outlets.m_trackSeeker; }
    void setM_subView(QWidget* view) { m_outlets.m_subView = view; }
    void setM_btnPlay(QToolButton* button) { m_outlets.m_btnPlay = button; }
    void setM_lblStartTime(QLabel* label) { m_outlets.m_lblStartTime = label; }
    void setM_lblEndTime(QLabel* label) { m_outlets.m_lblEndTime = label; }
    void setM_ctrlVolumn(VolumeSlider* slider) { m_outlets.m_ctrlVolumn = slider; }
    void setM_videoSeeker(VideoSeeker* seeker) { m_outlets.m_videoSeeker = seeker; }
    void setM_videoTrack(TrackImage* track) { m_outlets.m_videoTrack = track; }
    void setM_leftHandle(MarkerImage* marker) { m_outlets.m_leftHandle = marker; }
    void setM_rightHandle(MarkerImage* marker) { m_outlets.m_rightHandle = marker; }
    void setM_trackSeeker(MarkerImage* marker) { m_outlets.m_trackSeeker = marker; }

    // The running monitor timer, or null when playback was not started from the play button.
    QTimer* monitorVideoTimer() const { return _monitorVideoTimer; }
    // The duration last given to setVideoEndTime(); invalid until then.
    MediaTime endTime() const { return _endTime; }
    // The rate the next start, or a running playback, uses.
    float curRate() const { return _curRate; }

    // Starts the player at the current rate, at the slider's volume or silent.
    void playVideoWithVolumn(bool withVolume);
    // Pauses the player and stops the monitor; the play button keeps its state.
    void pauseVideo();
    // Pauses, switches the play button off and rewinds to zero.
    void stopVideo();
    // Sends the player to `time` and shows it at once in the label and by the playhead.
    void seekToFrame(MediaTime time);
    // Keyboard moves of a paused playhead: to the next or previous frame (shown in the label once
    // the player shows it), and by `delta` within the video, both ends included. Both do
    // nothing while the video plays.
    void stepFrame(bool forward);
    void seekBy(MediaTime delta);
    // Kept for the next start; applied at once while the player plays.
    void setPlayRate(float rate);
    // The slider's volume, or silence, for the player; playback is not touched.
    void setVolumnOn(bool on);
    // The current-position label: "HH:mm:ss" while the video plays, to the millisecond while it
    // stands still; its tooltip adds the frame number.
    void setVideoStartTime(MediaTime time);
    // The duration: the time axis of the track and the duration label ("HH:mm:ss"; its tooltip
    // to the millisecond, with the number of frames).
    void setVideoEndTime(MediaTime time);
    // The labels and tooltips show the player's times stretched by `factor`: the times of the
    // slowed movie whose source the player plays slowed. 1 by default. Nothing else changes.
    void setTimeFactor(SpeedFactor factor);
    SpeedFactor timeFactor() const { return m_timeFactor; }

    // The player is gone: no duration, the labels at zero, the playhead at the start and the
    // track without pictures or sound, as before the first video.
    void showNoVideo();
    QString convertTimeToString(MediaTime time) const;
    // Moves the playhead to `time` along the track.
    void setSeekerPosition(MediaTime time);
    // Place a trim handle at `time` by the same rule as the playhead; nothing is clamped, sought
    // or reported.
    void setLeftHanldePos(MediaTime time);
    void setRightHanldePos(MediaTime time);

    // The owner's sections, drawn as bands along the track; a dragged handle snaps to the bounds
    // of the bands that are not selected.
    void setBands(std::vector<TrackBand> bands);
    // Makes the filmstrip and waveform of the player's file in the background.
    TrackOverview* overview() const { return m_overview; }
    // The playhead's tooltip: its exact time and frame number.
    QString playheadToolTip() const;
    // The exact time a label shows for the player's `time`, and its frame number.
    QString timeToolTip(MediaTime time) const;

    // The seeker's reports, x in its coordinates. Each drag is clamped to the track and, for a
    // trim handle, kept clear of the other handle (a drag past that limit is ignored). An
    // accepted drag seeks the player, then reports a handle's new time to the owner, then moves
    // the marker so that its centre sits on that time. A handle's time snaps to another band's
    // bound within 5 points, otherwise to the nearest frame boundary; with Shift held it is where
    // the pointer is. Handle drags need an owner that takes the report; every drag needs a
    // loaded item and a time axis.
    bool respondsToSelector(std::string_view selector) const override;
    void leftHandle(float x) override;
    void rightHandle(float x) override;
    void SeekerHandle(float x) override;
    // A press off the markers sends the player to the frame nearest the pointer, a drag from
    // there scrubs as the playhead's does, and a click on a band also selects it through the owner.
    void trackPressed(float x) override;
    void trackClicked(float x) override;

public slots:
    void actionPlay();
    void actionVolumnControl();
    void monitorVideoPlaying();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    struct Outlets {
        QPointer<QWidget> m_subView;
        QPointer<QToolButton> m_btnPlay;
        QPointer<QLabel> m_lblStartTime;
        QPointer<QLabel> m_lblEndTime;
        QPointer<VolumeSlider> m_ctrlVolumn;
        QPointer<VideoSeeker> m_videoSeeker;
        QPointer<TrackImage> m_videoTrack;
        QPointer<MarkerImage> m_leftHandle;
        QPointer<MarkerImage> m_rightHandle;
        QPointer<MarkerImage> m_trackSeeker;
    };

    // The time-to-position rule shared by the playhead and the trim handles: the marker's left
    // edge goes to seconds(time) * (track width / seconds(duration)).
    void placeMarker(QWidget* marker, MediaTime time);
    // The position-to-time rule: seconds(duration) * ((x - track start) / track width), at the
    // duration's timescale. None while the duration or the track width is zero.
    std::optional<MediaTime> timeAtPosition(float x) const;
    // The frame boundary nearest the time at `x`, which is clamped to the track.
    std::optional<MediaTime> frameAtPosition(float x) const;
    // A dragged marker's left edge goes half a marker left of the pointer.
    void moveDraggedMarker(QWidget* marker, float x);
    // A dragged handle goes under the pointer, or onto the time it snapped to.
    void placeDraggedHandle(QWidget* handle, MediaTime time, MediaTime pointed, float x);
    // Moves a marker's left edge to `left` and keeps its share of the track for a resize.
    void setMarkerLeft(QWidget* marker, double left);
    // The playhead, the left handle and the right handle, in the order of m_markerShares.
    std::array<QWidget*, 3> markers() const;
    double* markerShare(QWidget* marker);
    // The track takes whatever width the bar has beyond the interface file's; the markers keep
    // their shares of it.
    void stretchToWidth(int width);
    // The player is there and holds an item.
    bool hasLoadedItem() const;
    // One frame of the loaded video at the duration's timescale; invalid without an item.
    MediaTime frameDuration() const;
    // A dragged handle's time, snapped unless Shift is held; `allowed` says whether a track
    // position is still clear of the other handle (a snap that is not falls back to `time`).
    MediaTime snappedHandleTime(MediaTime time, const std::function<bool(double)>& allowed) const;
    double positionOfTime(MediaTime time) const;
    // The time the labels show for the player's `time`.
    MediaTime shownTime(MediaTime time) const;
    void showEndTime();
    // Asks the overview for a strip that fits the track as it is now.
    void requestOverview();
    double trackStart() const;
    double trackWidth() const;
    void invalidateMonitorVideoTimer();
    float sliderVolume() const;

    // The interface file's own geometry, which the track stretches from.
    struct FileGeometry {
        QSize subView;
        int seekerWidth = 0;
        int trackWidth = 0;
        int endTimeX = 0;
        int volumeX = 0;
    };

    QPointer<QTimer> _monitorVideoTimer;
    MediaTime _endTime = MediaTime::invalid();
    float _curRate = 0.0f;
    QPointer<Player> m_weakPlayer;
    Outlets m_outlets;
    FileGeometry m_fileGeometry;
    // Each marker's left edge as a share of the track's width.
    std::array<double, 3> m_markerShares{};
    TrackOverview* m_overview = nullptr; // a child
    // Resizes come in bursts: the strip is asked for once the track has kept its width a while.
    QTimer* m_overviewDelay = nullptr;
    std::vector<TrackBand> m_bands;
    MediaTime m_playheadTime = MediaTime::invalid();
    SpeedFactor m_timeFactor;
    VideoControlBarDelegate* m_delegate = nullptr;
};

} // namespace lento
