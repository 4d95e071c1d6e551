#pragma once

#include "media/Asset.h"
#include "media/MediaTime.h"
#include "media/MotionMode.h"

#include <memory>
#include <optional>
#include <vector>

namespace lento {

// A piece of a composition track: a source range of one asset track laid on the track's
// timeline, or an empty stretch (a gap).
struct CompositionSegment {
    bool empty = true;
    AssetTrack sourceTrack;               // meaningful when not empty
    MediaTimeRange sourceRange;           // on the source's timeline
    MediaTimeRange targetRange;           // on the composition's timeline
    MotionMode motion = MotionMode::Hold; // how an export shows it when slowed
};

class CompositionTrack {
public:
    CompositionTrack(MediaType type, int32_t trackID) : m_mediaType(type), m_trackID(trackID) {}

    MediaType mediaType() const { return m_mediaType; }
    int32_t trackID() const { return m_trackID; }

    // Inserts `range` of `sourceTrack` at `at`, moving whatever lies at or after `at` later by
    // the range's duration. Inserting beyond the track's end leaves a gap before the new piece.
    // Returns false, changing nothing, for an invalid or empty range, a negative or invalid
    // `at`, or a source track of another media type. Pictures of the new piece are shown as
    // `motion` says.
    bool insertTimeRange(const MediaTimeRange& range, const AssetTrack& sourceTrack, MediaTime at,
                         MotionMode motion = MotionMode::Hold);
    // Stretches or squeezes what lies in `range` to `duration`, moving later content by the
    // difference.
    void scaleTimeRange(const MediaTimeRange& range, MediaTime duration);

    const std::vector<CompositionSegment>& segments() const { return m_segments; }
    // From zero to the end of the last segment.
    MediaTimeRange timeRange() const;
    MediaTime duration() const { return timeRange().duration; }
    // True when at least one segment takes media from a source; a track of gaps only has none.
    bool hasMedia() const;

    // The source track of the first segment that is not a gap (exports keep its display
    // matrix); null when there is none.
    const AssetTrack* firstSourceTrack() const;

private:
    void splitAt(MediaTime time);
    std::vector<CompositionSegment>::iterator firstStartingAtOrAfter(MediaTime time);

    MediaType m_mediaType;
    int32_t m_trackID;
    std::vector<CompositionSegment> m_segments;
};

class Composition {
public:
    // Adds an empty track. A preferred ID of 0, or one already taken, lets the composition
    // choose a free ID.
    CompositionTrack* addTrack(MediaType type, int32_t preferredTrackID = 0);

    const std::vector<std::unique_ptr<CompositionTrack>>& tracks() const { return m_tracks; }
    std::vector<CompositionTrack*> tracksWithMediaType(MediaType type) const;
    // The end of the longest track.
    MediaTime duration() const;

private:
    std::vector<std::unique_ptr<CompositionTrack>> m_tracks;
};

} // namespace lento
