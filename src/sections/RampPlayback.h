#pragma once

#include "media/TimeMap.h"

#include <QObject>
#include <QPointer>

#include <memory>

class QTimer;

namespace lento {

class EditDocument;
class Player;
class VideoControlBar;

// The Sections tab's playback through ramps: while the player plays and the sections apply, the
// player's rate follows the edit's time map, sent through the bar every update as
// playbackRateAt() gives it (inside a ramp at every update that finds the player moved on, in a
// stretch of one factor once).
// Where no section has a ramp nothing runs, and where the sections make no map (they overlap)
// nothing follows it: the tab's monitor then sets the factor of the section under the playhead.
// The map is built once per change of the sections or the video, when it is first needed.
class RampPlayback : public QObject {
    Q_OBJECT
public:
    // Well inside the 50 ms between updates that keep the rate's steps smooth, also when a timer
    // fires late on a busy main thread.
    static constexpr int kUpdateIntervalMs = 40;

    // Follows `document`'s sections; sends the rate through `bar`. Both outlive it.
    RampPlayback(EditDocument& document, VideoControlBar& bar, QObject* parent = nullptr);

    // The player of the edit's video (null: none).
    void setPlayer(Player* player);
    // Whether the sections apply to playback now (the tab has a row selected).
    void setApplies(bool applies);
    // The rate is this one's to set: the sections apply, have ramps and make a map.
    bool follows();
    // Updates run: the player plays and follows the map.
    bool isRunning() const;

private:
    void sectionsChanged();
    // Starts the updates when the player plays and follows the map, stops them otherwise.
    void startOrStop();
    void sendRate();
    // Built when the sections or the video changed since; null when they make no map.
    const TimeMap* map();

    EditDocument& m_document;
    VideoControlBar& m_bar;
    QPointer<Player> m_player;
    QTimer* m_timer = nullptr; // a child
    bool m_applies = false;
    bool m_hasRamps = false;
    bool m_mapStale = true;
    std::shared_ptr<const TimeMap> m_map; // the one the export lays the edit by
    // The rate sent last in this run of updates; 0 when none since the run began or the sections
    // changed, so that the next update sends one.
    double m_sentRate = 0.0;
};

} // namespace lento
