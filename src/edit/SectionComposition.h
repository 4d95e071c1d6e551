#pragma once

#include "edit/SectionObject.h"
#include "media/Asset.h"
#include "media/Composition.h"
#include "media/MediaTime.h"

namespace lento {

// Turning the section editor's list into one time-scaled composition of the whole video, free of
// widgets. Nothing is kept between calls.

// The user's sections (the same objects, unchanged) together with filler sections (name "",
// speed 1, sound kept) for every stretch of 0 ... `videoTotalDuration` that no section covers,
// sorted by start alone (stable). When no section cuts or covers the video, the one filler left
// is the whole-video filler with speed -1, which the builders skip. Logs one line per entry.
SectionList sections(const SectionList& sectionObjects, MediaTime videoTotalDuration);

// Adds one video track to `composition` and lays the entries of `list` (from sections()) end to
// end on it from zero, each stretched by its speed. The source's first video track is read; a
// source without one gets no video track. The composition track takes no transform of its own:
// an export turns the picture as the first source laid into the track says.
void createOneVideoSection(const Asset& asset, Composition& composition, const SectionList& list,
                           MediaTime videoTotalDuration);

// The same for the source's first sound track, when it has one. An entry with its sound removed
// leaves an empty stretch of the length it has on the video track, so that later sound stays
// with its pictures.
void createOneAudioSection(const Asset& asset, Composition& composition, const SectionList& list,
                           MediaTime videoTotalDuration);

} // namespace lento
