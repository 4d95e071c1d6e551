#pragma once

#include "media/MediaTime.h"
#include "media/MotionMode.h"
#include "media/SpeedFactor.h"

#include <QString>

#include <cstdint>
#include <span>
#include <vector>

namespace lento {

// The edit as plain values: what is saved, restored, undone and handed to an export. Nothing in
// it is shared with the widgets that show it.

// One named stretch of the source with its own factor, sound switch and motion, easing into its
// factor over its ramp in and out of it over its ramp out (source lengths inside its bounds,
// together at most its length; zero changes the speed at once). TimeMap says how ramps meet.
struct SectionState {
    QString name;
    MediaTime start;
    MediaTime end;
    SpeedFactor factor;
    bool audio = true; // the sound kept
    MotionMode motion = MotionMode::Hold;
    MediaTime rampIn = MediaTime::zero();
    MediaTime rampOut = MediaTime::zero();

    bool hasRamps() const { return rampIn != MediaTime::zero() || rampOut != MediaTime::zero(); }

    friend bool operator==(const SectionState&, const SectionState&) = default;
};

// Sections as the rules, the table, the composition and playback read them: the edit's own.
using SectionSpan = std::span<const SectionState>;

// The video the edit is made of. The size is the file's, in bytes: with the duration it tells
// whether the file found on reopening is still the one that was edited.
struct SourceState {
    QString path; // absolute
    int64_t fileSize = 0;
    MediaTime duration;

    bool isEmpty() const { return path.isEmpty(); }
    friend bool operator==(const SourceState&, const SourceState&) = default;
};

// The Full Video tab's choices for the whole source.
struct FullVideoState {
    SpeedFactor factor;
    bool audio = true;
    MotionMode motion = MotionMode::Hold;

    friend bool operator==(const FullVideoState&, const FullVideoState&) = default;
};

struct EditState {
    SourceState source;
    FullVideoState fullVideo;
    std::vector<SectionState> sections;

    friend bool operator==(const EditState&, const EditState&) = default;
};

} // namespace lento
