#pragma once

#include "edit/EditState.h"
#include "edit/TrackRules.h"
#include "media/Asset.h"

#include <QString>

#include <array>
#include <optional>
#include <vector>

namespace lento {

// The timing rules between sections, free of widgets, on the sections as the edit holds them.

// Index of the first other section (skipping `index`, the one the value belongs to) that the
// bound `value` collides with, or -1. A start collides when it lies strictly inside another
// section or equals another's start; an end when it lies strictly inside another or equals
// another's end. Sections may touch.
int64_t checkOverSetupWithValue(SectionSpan sections, MediaTime value, int64_t index,
                                bool isStart);

// The same for the bound shown in one cell of the section table: column 2 is the start,
// column 3 the end; any other column gives -1. Both bounds of a section that does not start
// before it ends collide with the section itself: they give `row`.
int64_t checkOverSetup(SectionSpan sections, int64_t row, int64_t column);

// Whether the section starts before it ends. One that does not spans nothing, or (exported) plays
// its stretch twice and loses the rest of the video, so it blocks the exports like a collision.
bool startsBeforeItEnds(const SectionState& section);

// Whether the start ([0]) and the end ([1]) of each section collide, as checkOverSetup() says,
// for all of them at once in n log n rather than n squared.
std::vector<std::array<bool, 2>> findBoundCollisions(SectionSpan sections);

// How many start and end bounds of the list collide with another section or their own.
int countSectionErrors(SectionSpan sections);

// Why the exports are blocked, for the first colliding bound in table order ("Sections 1 and 2
// overlap.", "Section 3 ends before it starts."); empty when nothing collides.
QString sectionErrorReason(SectionSpan sections);
// The same for the bound in one cell; empty when it does not collide.
QString boundErrorReason(SectionSpan sections, int64_t row, int64_t column);

// Why ramps of `rampIn` and `rampOut` cannot be the section's, for the edit panel ("The ramps
// together (1.5 s) are longer than the section (1 s)."); empty when they can. Ramps lie inside the
// section: each a length of at least zero (an invalid one is text that is not a length), together
// at most the section's length.
QString rampErrorReason(const SectionState& section, MediaTime rampIn, MediaTime rampOut);

// oneFrame() (TrackRules.h) gives the shortest section the bound fields and sliders make.

// Where a bound typed or slid to `time` lands: on the video (0 ... `duration`) and at least
// `minimum` from the section's other bound, on its own side. The other bound never moves: where
// it leaves no room on the video, the bound stops at the video's edge.
MediaTime limitBound(const SectionState& section, bool isStart, MediaTime time, MediaTime duration,
                     MediaTime minimum);

// Index of the first section that `time` lies strictly inside, or -1.
int64_t sectionIndexInTime(SectionSpan sections, MediaTime time);

// What plays at a time while the sections apply: the factor and the sound of the first section
// the time lies strictly inside (`section`, its index), else the original speed with sound.
struct PlaybackAtTime {
    SpeedFactor factor;
    bool sound = true;
    int64_t section = -1;
};
PlaybackAtTime playbackAtTime(SectionSpan sections, MediaTime time);

// The nearest bound of any section after `time` (or before it), if there is one.
std::optional<MediaTime> nearestBound(SectionSpan sections, MediaTime time, bool forward);

} // namespace lento
