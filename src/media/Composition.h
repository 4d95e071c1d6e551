#pragma once

#include "media/Asset.h"
#include "media/MediaTime.h"
#include "media/MotionMode.h"
#include "media/TimeMap.h"

#include <memory>
#include <optional>
#include <vector>

namespace lento {

// How a segment's source times reach the composition's timeline. Without a map in proportion to
// its two ranges; with one, through the edit's time map, shared by every segment of the edit, so
// that ramps ease as the map says: source time t lands at map->outputTime(t, kTimescale) - shift.
struct SegmentTiming {
    // The export's picture timescale, which holds the usual frame times exactly.
    static constexpr int32_t kTimescale = 90000;

    std::shared_ptr<const TimeMap> map;
    MediaTime shift = MediaTime::zero();

    bool isMapped() const { return map != nullptr; }
    // Where a source time lands on the timeline; only for a mapped segment.
    MediaTime targetTime(MediaTime sourceTime) const;
    // The source time shown at a time on the timeline, rounded to `timescale`; only for a
    // mapped segment.
    MediaTime sourceTime(MediaTime targetTime, int32_t timescale = kTimescale) const;
};

// A piece of a composition track: a source range of one asset track laid on the track's
// timeline, or an empty stretch (a gap).
struct CompositionSegment {
    bool empty = true;
    AssetTrack sourceTrack;               // meaningful when not empty
    MediaTimeRange sourceRange;           // on the source's timeline
    MediaTimeRange targetRange;           // on the composition's timeline
    MotionMode motion = MotionMode::Hold; // how an export shows it when slowed
    SegmentTiming timing;                 // in proportion unless mapped
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
    // Inserts `range` of `sourceTrack` at `at`, lasting as long as `map` makes it and timed by
    // it throughout (its output time of the range's start lands at `at`), moving whatever lies at
    // or after `at` later by that length. Refuses what insertTimeRange refuses, and a range the
    // map makes no longer than nothing.
    bool insertMappedRange(const MediaTimeRange& range, const AssetTrack& sourceTrack, MediaTime at,
                           MotionMode motion, std::shared_ptr<const TimeMap> map);
    // Stretches or squeezes what lies in `range` to `duration`, moving later content by the
    // difference. A mapped segment within `range` is timed in proportion from then on.
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
    bool placeSegment(CompositionSegment segment);
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
