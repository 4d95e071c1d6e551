#include "media/PlaybackRate.h"

#include <algorithm>

namespace lento {

namespace {

// Fine enough that rounding the times takes nothing measurable from the rate.
constexpr int32_t kNanoseconds = MediaTime::kMaxTimescale;

} // namespace

PlaybackRate playbackRateAt(const TimeMap& map, MediaTime sourceTime, MediaTime interval) {
    PlaybackRate steady;
    const auto& pieces = map.pieces();
    if (!sourceTime.isNumeric() || !interval.isNumeric() || interval <= MediaTime::zero()) {
        return steady;
    }
    // The piece that holds the time: the last that starts at or before it.
    const auto after = std::upper_bound(
        pieces.begin(), pieces.end(), sourceTime,
        [](MediaTime time, const TimeMap::Piece& piece) { return time < piece.sourceStart; });
    // Before the source's start and past its end the source plays at its own speed.
    if (after == pieces.begin() || sourceTime >= pieces.back().sourceEnd) {
        if (after == pieces.begin() && !pieces.empty()) {
            steady.steadyUntil = pieces.front().sourceStart;
        }
        return steady;
    }
    const TimeMap::Piece& piece = *(after - 1);
    const MediaTime next = map.outputTime(sourceTime, kNanoseconds) + interval;
    if (!piece.isRamp() && next <= piece.outputEnd) {
        return {piece.from.playbackRate(), false, piece.sourceEnd};
    }
    const MediaTime reached = map.sourceTime(next, kNanoseconds);
    return {(reached - sourceTime).seconds() / interval.seconds(), true, sourceTime};
}

} // namespace lento
