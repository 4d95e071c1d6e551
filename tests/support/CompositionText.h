#pragma once

#include "media/Composition.h"

#include <sstream>
#include <string>

namespace lento::test {

// The first track of `type` laid out as "start-end<source " per placed segment, in seconds of the
// composition and of the source; "none" without such a track.
inline std::string trackText(const Composition& composition, MediaType type) {
    const auto tracks = composition.tracksWithMediaType(type);
    if (tracks.empty()) {
        return "none";
    }
    std::ostringstream text;
    for (const CompositionSegment& segment : tracks.front()->segments()) {
        if (!segment.empty) {
            text << segment.targetRange.start.seconds() << "-"
                 << segment.targetRange.end().seconds() << "<"
                 << segment.sourceRange.start.seconds() << " ";
        }
    }
    return text.str();
}

} // namespace lento::test
