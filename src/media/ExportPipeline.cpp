#include "media/ExportPipeline.h"

namespace lento {

std::vector<PlacedSegment> placeSegments(const CompositionTrack& track,
                                         const MediaTimeRange& exportRange) {
    std::vector<PlacedSegment> placed;
    const MediaTime rangeEnd = exportRange.end();
    for (const CompositionSegment& segment : track.segments()) {
        if (segment.empty) {
            continue;
        }
        const MediaTime start = segment.targetRange.start;
        const MediaTime end = segment.targetRange.end();
        const MediaTime low = maxTime(start, exportRange.start);
        const MediaTime high = minTime(end, rangeEnd);
        if (low >= high) {
            continue;
        }
        const MediaTime targetDuration = segment.targetRange.duration;
        const MediaTime sourceDuration = segment.sourceRange.duration;
        const MediaTime sourceLow =
            segment.sourceRange.start + scaleTime(low - start, sourceDuration, targetDuration);
        const MediaTime sourceHigh =
            segment.sourceRange.start + scaleTime(high - start, sourceDuration, targetDuration);
        PlacedSegment piece;
        piece.source = segment.sourceTrack;
        piece.sourceRange = MediaTimeRange::fromTimeToTime(sourceLow, sourceHigh);
        piece.targetRange =
            MediaTimeRange::fromTimeToTime(low - exportRange.start, high - exportRange.start);
        placed.push_back(piece);
    }
    return placed;
}

bool SourceStream::open(const AssetTrack& track, int decoderThreads, std::string& error) {
    path = track.asset->path();
    streamIndex = track.streamIndex;
    format = openInputFile(path, error);
    if (!format) {
        return false;
    }
    if (streamIndex < 0 || streamIndex >= static_cast<int>(format->nb_streams)) {
        error = "the source has no such stream";
        return false;
    }
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        if (static_cast<int>(i) != streamIndex) {
            format->streams[i]->discard = AVDISCARD_ALL;
        }
    }
    const AVStream& stream = *format->streams[streamIndex];
    decoder = openDecoder(stream, decoderThreads, error);
    if (!decoder) {
        return false;
    }
    timeBase = stream.time_base;
    origin = av_rescale_q(track.asset->startTimeMicroseconds(), AV_TIME_BASE_Q, timeBase);
    return true;
}

bool SourceStream::isSame(const AssetTrack& track) const {
    return track.asset && path == track.asset->path() && streamIndex == track.streamIndex;
}

} // namespace lento
