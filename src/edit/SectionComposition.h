#pragma once

#include "edit/EditState.h"
#include "media/Asset.h"
#include "media/Composition.h"
#include "media/MediaTime.h"

#include <memory>
#include <vector>

namespace lento {

// What of an edit a movie is made of, as plain values taken when the user asks for it: `range`
// of the source, in which each of `sections` plays at its own factor, motion and sound, and every
// stretch that no section covers at the original speed with its sound.
struct EditCut {
    std::vector<SectionState> sections;
    MediaTimeRange range;
    // False: the movie has no sound at all. True: a sound track whenever the source has sound,
    // silent where a section's sound is removed.
    bool sound = true;
    // Whether the laying is written to the diagnostic log, as the sections' export does.
    bool logged = false;

    // Every section of an edit over the whole source, which lasts `duration`.
    static EditCut ofSections(SectionSpan sections, MediaTime duration);
    // One section alone.
    static EditCut ofSection(const SectionState& section);
    // `range` of the source (invalid or empty: all of it, which lasts `duration`) with the Full
    // Video choices.
    static EditCut ofFullVideo(const FullVideoState& choices, MediaTime duration,
                               MediaTimeRange range = MediaTimeRange::invalid());
};

// The composition of `cut`: the entries of sections() laid end to end from zero on one video
// track and, when the cut has sound, one sound track, each entry stretched by its factor exactly.
// Where a section has a ramp, every entry is laid and timed by the cut's one time map instead
// (SegmentTiming), which both tracks share.
// A track the source does not have is not added. The composition tracks take no transform of
// their own: an export turns the picture as the first source laid into the track says.
std::shared_ptr<Composition> makeComposition(const Asset& source, const EditCut& cut);

// The time map of `cut` when a section of it eases into its factor, which makeComposition lays
// it by: one map, built once, for its pictures and sound alike (and for playback to follow).
// Null when no section has a ramp, or when the sections cannot be mapped (the edit's rules never
// let those through).
std::shared_ptr<const TimeMap> rampedTimeMap(const EditCut& cut);

// The sections of a cut together with fillers (no name, the original speed, sound kept) for every
// stretch of `range` that no section covers, sorted by start alone (stable). A section of no
// length still cuts the stretch it lies in. When nothing cuts the range, no filler is made for
// it: no sections, no entries.
std::vector<SectionState> sections(SectionSpan sectionObjects, MediaTimeRange range);

} // namespace lento
