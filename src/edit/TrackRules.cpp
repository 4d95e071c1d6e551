#include "edit/TrackRules.h"

#include <algorithm>

extern "C" {
#include <libavutil/rational.h>
}

namespace lento {

namespace {

// `time` at `timescale`, rounded up rather than to the nearest tick.
MediaTime atTimescaleRoundedUp(MediaTime time, int32_t timescale) {
    MediaTime converted = time.convertScale(timescale);
    if (converted < time) {
        converted = converted + MediaTime::make(1, timescale);
    }
    return converted;
}

MediaTime distance(MediaTime a, MediaTime b) {
    return a < b ? b - a : a - b;
}

} // namespace

MediaTime oneFrame(const Asset& asset, int32_t timescale) {
    MediaTime frame = MediaTime::make(1, 1000);
    const std::vector<AssetTrack> video = asset.tracksWithMediaType(MediaType::Video);
    if (!video.empty()) {
        // Exact from the stream's rational rate: 1001/30000 s, not 0.0333...
        const AVRational rate = video.front().frameRate();
        if (rate.num > 0 && rate.den > 0) {
            frame = MediaTime::make(rate.den, rate.num);
        }
    }
    return timescale > 0 ? atTimescaleRoundedUp(frame, timescale) : frame;
}

int64_t frameNumber(MediaTime time, MediaTime frame) {
    if (!time.isNumeric() || !frame.isNumeric() || frame.value <= 0 || time.value <= 0) {
        return 0;
    }
    // time / frame = (time.value * frame.timescale) / (time.timescale * frame.value), exactly.
    const __int128 numerator = static_cast<__int128>(time.value) * frame.timescale;
    const __int128 denominator = static_cast<__int128>(time.timescale) * frame.value;
    return static_cast<int64_t>(numerator / denominator);
}

MediaTime snapBound(MediaTime time, const std::vector<MediaTime>& bounds, MediaTime reach,
                    MediaTime frame, MediaTime duration) {
    if (!time.isNumeric()) {
        return time;
    }
    const MediaTime videoStart = MediaTime::make(0, time.timescale);
    const auto onVideo = [&](MediaTime t) {
        return duration.isNumeric() ? maxTime(videoStart, minTime(t, duration)) : t;
    };
    MediaTime nearest = MediaTime::invalid();
    for (const MediaTime& bound : bounds) {
        if (bound.isNumeric() && distance(bound, time) <= reach &&
            (!nearest.isValid() || distance(bound, time) < distance(nearest, time))) {
            nearest = bound;
        }
    }
    if (nearest.isValid()) {
        return onVideo(nearest);
    }
    if (!frame.isNumeric() || frame.value <= 0) {
        return onVideo(time);
    }
    // The nearest multiple of the frame, ties upward, at the frame's timescale.
    const MediaTime inFrames = onVideo(time).convertScale(frame.timescale);
    const int64_t frames =
        (2 * std::max<int64_t>(inFrames.value, 0) + frame.value) / (2 * frame.value);
    return onVideo(
        MediaTime::make(frames * frame.value, frame.timescale).convertScale(time.timescale));
}

MediaTime limitBoundBy(MediaTime time, bool isStart, MediaTime other, MediaTime duration,
                       MediaTime minimum) {
    const MediaTime videoStart = MediaTime::make(0, duration.timescale);
    const auto onVideo = [&](MediaTime t) { return maxTime(videoStart, minTime(t, duration)); };
    time = onVideo(time);
    if (other.isNumeric()) {
        time = onVideo(isStart ? minTime(time, other - minimum) : maxTime(time, other + minimum));
    }
    return time;
}

int bandAt(const std::vector<TrackBand>& bands, MediaTime time) {
    int found = -1;
    MediaTime shortest = MediaTime::invalid(); // greater than every time
    for (size_t i = 0; i < bands.size(); ++i) {
        // A reversed section is drawn, and picked, over the stretch its bounds enclose.
        const MediaTime low = minTime(bands[i].start, bands[i].end);
        const MediaTime high = maxTime(bands[i].start, bands[i].end);
        if (time >= low && time < high && high - low < shortest) {
            found = static_cast<int>(i);
            shortest = high - low;
        }
    }
    return found;
}

} // namespace lento
