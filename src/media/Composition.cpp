#include "media/Composition.h"

#include <algorithm>
#include <cmath>

namespace lento {

// Segments lie end to end in time order, so a time is found by halving: laying sections one
// after another costs n log n, not n squared.
std::vector<CompositionSegment>::iterator CompositionTrack::firstStartingAtOrAfter(MediaTime time) {
    if (m_segments.empty() || m_segments.back().targetRange.start < time) {
        return m_segments.end(); // appending, the builders' usual case
    }
    return std::lower_bound(m_segments.begin(), m_segments.end(), time,
                            [](const CompositionSegment& segment, MediaTime t) {
                                return segment.targetRange.start < t;
                            });
}

MediaTime SegmentTiming::targetTime(MediaTime sourceTime) const {
    return map->outputTime(sourceTime, kTimescale) - shift;
}

MediaTime SegmentTiming::sourceTime(MediaTime targetTime, int32_t timescale) const {
    return map->sourceTime(targetTime + shift, timescale);
}

namespace {

bool insertable(const MediaTimeRange& range, const AssetTrack& sourceTrack, MediaTime at,
                MediaType type) {
    return range.isValid() && range.duration.isNumeric() && range.duration > MediaTime::zero() &&
           at.isNumeric() && at >= MediaTime::zero() && sourceTrack.mediaType == type &&
           sourceTrack.asset;
}

// Moves `segment` later by `by`: a mapped one keeps its source times where they were on it.
void moveLater(CompositionSegment& segment, MediaTime by) {
    segment.targetRange.start = segment.targetRange.start + by;
    if (segment.timing.isMapped()) {
        segment.timing.shift = segment.timing.shift - by;
    }
}

} // namespace

bool CompositionTrack::insertTimeRange(const MediaTimeRange& range, const AssetTrack& sourceTrack,
                                       MediaTime at, MotionMode motion) {
    if (!insertable(range, sourceTrack, at, m_mediaType)) {
        return false;
    }
    CompositionSegment segment;
    segment.empty = false;
    segment.sourceTrack = sourceTrack;
    segment.sourceRange = range;
    segment.targetRange = MediaTimeRange::make(at, range.duration);
    segment.motion = motion;
    return placeSegment(std::move(segment));
}

bool CompositionTrack::insertMappedRange(const MediaTimeRange& range, const AssetTrack& sourceTrack,
                                         MediaTime at, MotionMode motion,
                                         std::shared_ptr<const TimeMap> map) {
    if (!map || !insertable(range, sourceTrack, at, m_mediaType)) {
        return false;
    }
    CompositionSegment segment;
    segment.empty = false;
    segment.sourceTrack = sourceTrack;
    segment.sourceRange = range;
    segment.motion = motion;
    segment.timing.map = std::move(map);
    const MediaTime start = segment.timing.targetTime(range.start); // shift still zero
    const MediaTime duration = segment.timing.targetTime(range.end()) - start;
    if (!duration.isNumeric() || duration <= MediaTime::zero()) {
        return false;
    }
    segment.timing.shift = start - at;
    segment.targetRange = MediaTimeRange::make(at, duration);
    return placeSegment(std::move(segment));
}

// Puts `segment` at its target start, moving whatever lies at or after it later by its length.
bool CompositionTrack::placeSegment(CompositionSegment segment) {
    const MediaTime at = segment.targetRange.start;
    const MediaTime end = timeRange().end();
    if (at > end) {
        CompositionSegment gap;
        gap.targetRange = MediaTimeRange::fromTimeToTime(end, at);
        m_segments.push_back(gap);
    } else {
        splitAt(at);
    }
    const auto position = firstStartingAtOrAfter(at);
    for (auto later = position; later != m_segments.end(); ++later) {
        moveLater(*later, segment.targetRange.duration);
    }
    m_segments.insert(position, std::move(segment));
    return true;
}

void CompositionTrack::splitAt(MediaTime time) {
    // The one segment that could hold `time` strictly inside is the last starting before it.
    auto containing = firstStartingAtOrAfter(time);
    if (containing == m_segments.begin()) {
        return;
    }
    --containing;
    CompositionSegment& segment = *containing;
    const MediaTime start = segment.targetRange.start;
    const MediaTime end = segment.targetRange.end();
    if (!(start < time && time < end)) {
        return;
    }
    CompositionSegment tail = segment;
    const MediaTime wholeTarget = segment.targetRange.duration;
    const MediaTime headTarget = time - start;
    segment.targetRange.duration = headTarget;
    tail.targetRange = MediaTimeRange::fromTimeToTime(time, end);
    if (!segment.empty) {
        const MediaTime headSource =
            segment.timing.isMapped()
                ? segment.timing.sourceTime(time) - segment.sourceRange.start
                : scaleTime(headTarget, segment.sourceRange.duration, wholeTarget);
        const MediaTime sourceEnd = segment.sourceRange.end();
        segment.sourceRange.duration = headSource;
        tail.sourceRange =
            MediaTimeRange::fromTimeToTime(segment.sourceRange.start + headSource, sourceEnd);
    }
    m_segments.insert(containing + 1, tail);
}

void CompositionTrack::scaleTimeRange(const MediaTimeRange& range, MediaTime duration) {
    if (!range.isValid() || !range.duration.isNumeric() || range.duration <= MediaTime::zero() ||
        !duration.isNumeric() || duration < MediaTime::zero()) {
        return;
    }
    const MediaTime rangeEnd = range.end();
    splitAt(range.start);
    splitAt(rangeEnd);
    const MediaTime shift = duration - range.duration;
    // What starts before the range stays; only the range and what follows it move.
    const auto first = firstStartingAtOrAfter(range.start);
    for (auto segment = first; segment != m_segments.end(); ++segment) {
        const MediaTime start = segment->targetRange.start;
        if (start >= rangeEnd) {
            moveLater(*segment, shift);
        } else {
            segment->timing = SegmentTiming();
            segment->targetRange.start =
                range.start + scaleTimeExactly(start - range.start, duration, range.duration);
            segment->targetRange.duration =
                scaleTimeExactly(segment->targetRange.duration, duration, range.duration);
        }
    }
    // A segment squeezed to nothing has no place on the timeline.
    m_segments.erase(std::remove_if(first, m_segments.end(),
                                    [](const CompositionSegment& segment) {
                                        return segment.targetRange.duration <= MediaTime::zero();
                                    }),
                     m_segments.end());
}

MediaTimeRange CompositionTrack::timeRange() const {
    if (m_segments.empty()) {
        return MediaTimeRange::zero();
    }
    return MediaTimeRange::fromTimeToTime(MediaTime::zero(), m_segments.back().targetRange.end());
}

bool CompositionTrack::hasMedia() const {
    return firstSourceTrack() != nullptr;
}

const AssetTrack* CompositionTrack::firstSourceTrack() const {
    for (const CompositionSegment& segment : m_segments) {
        if (!segment.empty) {
            return &segment.sourceTrack;
        }
    }
    return nullptr;
}

CompositionTrack* Composition::addTrack(MediaType type, int32_t preferredTrackID) {
    auto taken = [this](int32_t id) {
        return std::any_of(m_tracks.begin(), m_tracks.end(),
                           [id](const auto& track) { return track->trackID() == id; });
    };
    int32_t id = preferredTrackID;
    if (id <= 0 || taken(id)) {
        id = 1;
        while (taken(id)) {
            ++id;
        }
    }
    m_tracks.push_back(std::make_unique<CompositionTrack>(type, id));
    return m_tracks.back().get();
}

std::vector<CompositionTrack*> Composition::tracksWithMediaType(MediaType type) const {
    std::vector<CompositionTrack*> result;
    for (const auto& track : m_tracks) {
        if (track->mediaType() == type) {
            result.push_back(track.get());
        }
    }
    return result;
}

MediaTime Composition::duration() const {
    MediaTime longest = MediaTime::zero();
    for (const auto& track : m_tracks) {
        longest = maxTime(longest, track->duration());
    }
    return longest;
}

} // namespace lento
