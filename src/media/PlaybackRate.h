#pragma once

#include "media/MediaTime.h"
#include "media/TimeMap.h"

namespace lento {

// The rate a player plays at so that its position follows the edit's time map: what the editor
// sends the player on every update while it plays an edit with ramps.
struct PlaybackRate {
    // For the player's speed: source seconds per second played.
    double rate = 1.0;
    // True inside a ramp (or where the next update falls past a change of speed): send the rate
    // again at the next update. False where the rate holds exactly until `steadyUntil`.
    bool easing = false;
    // The source time up to which a steady rate holds (the end of its stretch); past the
    // source's end, positive infinity.
    MediaTime steadyUntil = MediaTime::positiveInfinity();
};

// The rate from the player's source time `sourceTime` to the next update, `interval` of played
// time later (the editor's update period, at most 50 ms). Inside a stretch of one factor that
// lasts past the next update it is exactly 1 / factor. Elsewhere it is the mean rate over the
// interval, so that a player that plays it until the next update arrives where the map says:
// taking the rate at the update's instant instead runs ahead through every ramp into slow motion
// and falls behind through every ramp out of it (35 ms of played time, at 50 ms updates, over
// ramps from 1 to 4 and back to 1 within a few seconds). `interval` positive.
PlaybackRate playbackRateAt(const TimeMap& map, MediaTime sourceTime, MediaTime interval);

} // namespace lento
