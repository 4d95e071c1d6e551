#pragma once

#include "base/DelegateProtocol.h"
#include "controls/MarkerImage.h"
#include "controls/PlaybackTransport.h"
#include "controls/TrackAxis.h"
#include "controls/TrackImage.h"
#include "controls/TrimDrag.h"
#include "controls/VideoSeeker.h"
#include "controls/VolumeSlider.h"
#include "edit/TimeText.h"
#include "edit/TrackRules.h"
#include "media/MediaTime.h"
#include "media/Player.h"
#include "media/SpeedFactor.h"

#include <QLabel>
#include <QPointer>
#include <QString>
#include <QToolButton>
#include <QWidget>

#include <array>
#include <optional>
#include <string_view>
#include <vector>

namespace lento {

class TrackOverview;

// What the control bar reports to its owner. Every report is optional: the bar asks
// respondsToSelector() with the names below before each one and skips it otherwise. The bar also
// signals the handle drags and track clicks, for owners that listen rather than answer.
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
// with its playhead and trim handles, and the volume slider, in a row whose track takes the width
// left over. It drives the player its owner hands it through its transport, and polls the owner
// for the position every 0.1 s while playing. As its seeker's delegate it turns drags of the
// playhead into seeks and drags of the trim handles into new trim bounds, which it reports to
// its owner.
class VideoControlBar : public QWidget, public VideoSeekerDelegate {
    Q_OBJECT
public:
    using Side = TrimDrag::Side;

    explicit VideoControlBar(QWidget* parent = nullptr);
    ~VideoControlBar() override;

    // Not owned: the owner outlives its bar.
    VideoControlBarDelegate* delegate() const { return m_delegate; }
    void setDelegate(VideoControlBarDelegate* delegate) { m_delegate = delegate; }

    // What plays the bar's player; a child, for whoever else drives that player.
    PlaybackTransport* transport() const { return m_transport; }
    // Weak: the owner makes a new player for every file and hands it over here.
    Player* m_Player() const { return m_transport->player(); }
    void setM_Player(Player* player) { m_transport->setPlayer(player); }

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

    // The running monitor timer, or null when playback was not started from the play button.
    QTimer* monitorVideoTimer() const { return m_transport->monitorTimer(); }
    // The duration last given to setVideoEndTime(); invalid until then.
    MediaTime endTime() const { return m_transport->endTime(); }
    // The rate the next start, or a running playback, uses.
    float curRate() const { return m_transport->rate(); }

    // Starts the player at the current rate, at the slider's volume or silent.
    void playVideoWithVolumn(bool withVolume);
    // Pauses the player and stops the monitor; the play button keeps its state.
    void pauseVideo();
    // Pauses, switches the play button off and rewinds to zero.
    void stopVideo();
    // Sends the player to `time` and shows it at once in the label and by the playhead.
    void seekToFrame(MediaTime time);
    // Keyboard moves of a paused playhead, as the transport makes them.
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
    // to the millisecond, with the number of frames). The markers stay where they are.
    void setVideoEndTime(MediaTime time);
    // The labels and tooltips show the player's times stretched by `factor`: the times of the
    // slowed movie whose source the player plays slowed. 1 by default. Nothing else changes.
    void setTimeFactor(SpeedFactor factor);

    // The player is gone: no duration, the labels at zero, the playhead at the start and the
    // track without pictures or sound, as before the first video.
    void showNoVideo();
    QString convertTimeToString(MediaTime time) const;
    // Moves the playhead to `time` along the track, with its exact time and frame as tooltip.
    void setSeekerPosition(MediaTime time);
    // Place a trim handle at `time` by the same rule as the playhead; nothing is clamped, sought
    // or reported.
    void setLeftHanldePos(MediaTime time);
    void setRightHanldePos(MediaTime time);

    // The owner's sections, drawn as bands along the track; a dragged handle snaps to the bounds
    // of the bands that are not selected.
    void setBands(std::vector<TrackBand> bands);
    // Makes the filmstrip and waveform of the player's file in the background.
    TrackOverview* overview() const { return m_videoTrack()->overview(); }

    // The seeker's reports, x in its coordinates. A playhead drag is held on the track and seeks
    // the player. A trim handle's drag, one path for both, lands where TrimDrag says (snapped
    // unless Shift is held; on the video and a frame clear of the other handle), seeks the player
    // there, reports the time to the owner and signals it, then puts the handle on it. Handle
    // drags need an owner that takes them; every drag needs a loaded item and a time axis.
    bool respondsToSelector(std::string_view selector) const override;
    void leftHandle(float x) override;
    void rightHandle(float x) override;
    void SeekerHandle(float x) override;

signals:
    // A trim handle was dragged to `time`; the player is already there.
    void handleDragged(lento::TrimDrag::Side side, lento::MediaTime time);
    // The press that dragged a trim handle was released.
    void handleDragFinished(lento::TrimDrag::Side side);
    // A click on the track at `time`, over the band at `band` of those given to setBands(), or
    // -1 for none.
    void trackClicked(lento::MediaTime time, int band);

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
    // Where a marker stands: at `time` on a track whose width stood for `span` when it was
    // placed. A later duration leaves it there; a wider track takes it along.
    struct MarkerPlace {
        MediaTime time = MediaTime::invalid();
        MediaTime span = MediaTime::invalid();
    };
    enum Marker { Playhead, LeftMarker, RightMarker, kMarkers };

    // The track's axis in the seeker's coordinates, from the duration and the track's frame.
    TrackAxis trackAxis() const;
    // Puts a marker's centre line on `time`; without an axis it waits at the track's start.
    void placeMarker(Marker marker, MediaTime time);
    void showMarkers();
    void showMarker(Marker marker);
    MarkerImage* markerImage(Marker marker) const;
    // The time a trim handle stands for on today's axis.
    MediaTime handleTime(Side side) const;
    // The one path of both trim handles' drags.
    void dragHandle(Side side, float x);
    // Whether the owner takes handle drags, as a delegate or through the signal.
    bool handleDragsTaken(Side side) const;
    TrimDrag trimDrag(const TrackAxis& axis) const;
    // A press off the markers sends the player to the frame nearest the pointer (a drag from
    // there scrubs as the playhead's does); a click on a band also selects it through the owner.
    void pressTrack(float x);
    void clickTrack(float x);
    // The seeker's button went up: a handle drag, if there was one, is over.
    void finishDrag();
    // One frame of the loaded video at the duration's timescale; invalid without an item.
    MediaTime frameDuration() const;
    // The time the labels show for the player's `time`.
    MediaTime shownTime(MediaTime time) const;
    // The exact time a label shows for the player's `time`, and its frame number.
    QString timeToolTip(MediaTime time) const;
    void showEndTime();
    float sliderVolume() const;

    PlaybackTransport* m_transport = nullptr; // a child
    Outlets m_outlets;
    std::array<MarkerPlace, kMarkers> m_places;
    // The side of the handle that the seeker's current press dragged, if any.
    std::optional<Side> m_draggedSide;
    std::vector<TrackBand> m_bands;
    SpeedFactor m_timeFactor;
    VideoControlBarDelegate* m_delegate = nullptr;
};

} // namespace lento
