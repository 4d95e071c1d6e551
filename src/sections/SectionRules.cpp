#include "sections/SectionRules.h"

extern "C" {
#include <libavutil/rational.h>
}

#include <algorithm>

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

} // namespace

int64_t checkOverSetupWithValue(const SectionList& sections, MediaTime value, int64_t index,
                                bool isStart) {
    for (size_t i = 0; i < sections.size(); ++i) {
        if (static_cast<int64_t>(i) == index) {
            continue;
        }
        const MediaTime start = sections[i]->startFrame();
        const MediaTime end = sections[i]->endFrame();
        if (value > start && value < end) {
            return static_cast<int64_t>(i);
        }
        if ((isStart && value == start) || (!isStart && value == end)) {
            return static_cast<int64_t>(i);
        }
    }
    return -1;
}

bool startsBeforeItEnds(const SectionObject& section) {
    return section.startFrame() < section.endFrame();
}

int64_t checkOverSetup(const SectionList& sections, int64_t row, int64_t column) {
    if (row < 0 || row >= static_cast<int64_t>(sections.size())) {
        return -1;
    }
    const SectionObject& section = *sections[static_cast<size_t>(row)];
    if ((column == 2 || column == 3) && !startsBeforeItEnds(section)) {
        return row;
    }
    switch (column) {
    case 2:
        return checkOverSetupWithValue(sections, section.startFrame(), row, true);
    case 3:
        return checkOverSetupWithValue(sections, section.endFrame(), row, false);
    default:
        return -1;
    }
}

int countSectionErrors(const SectionList& sections) {
    int errors = 0;
    for (size_t row = 0; row < sections.size(); ++row) {
        for (int64_t column : {2, 3}) {
            if (checkOverSetup(sections, static_cast<int64_t>(row), column) != -1) {
                ++errors;
            }
        }
    }
    return errors;
}

QString sectionErrorReason(const SectionList& sections) {
    for (int64_t row = 0; row < static_cast<int64_t>(sections.size()); ++row) {
        for (int64_t column : {2, 3}) {
            const int64_t other = checkOverSetup(sections, row, column);
            if (other == -1) {
                continue;
            }
            if (other == row) {
                const SectionObject& section = *sections[static_cast<size_t>(row)];
                return (section.startFrame() == section.endFrame()
                            ? QStringLiteral("Section %1 ends where it starts.")
                            : QStringLiteral("Section %1 ends before it starts."))
                    .arg(row + 1);
            }
            return QStringLiteral("Sections %1 and %2 overlap.")
                .arg(std::min(row, other) + 1)
                .arg(std::max(row, other) + 1);
        }
    }
    return {};
}

MediaTime oneFrame(const Asset& asset, int32_t timescale) {
    MediaTime frame = MediaTime::make(1, 1000);
    const std::vector<AssetTrack> video = asset.tracksWithMediaType(MediaType::Video);
    if (!video.empty() && video.front().nominalFrameRate > 0) {
        // The rate comes from the stream's rational frame rate; this finds that rational again,
        // so that the frame is exact (1001/30000 s, not 0.0333...).
        const AVRational rate = av_d2q(video.front().nominalFrameRate, 1 << 20);
        if (rate.num > 0 && rate.den > 0) {
            frame = MediaTime::make(rate.den, rate.num);
        }
    }
    return timescale > 0 ? atTimescaleRoundedUp(frame, timescale) : frame;
}

MediaTime limitBound(const SectionObject& section, bool isStart, MediaTime time, MediaTime duration,
                     MediaTime minimum) {
    const MediaTime videoStart = MediaTime::make(0, duration.timescale);
    const auto onVideo = [&](MediaTime t) { return maxTime(videoStart, minTime(t, duration)); };
    time = onVideo(time);
    if (isStart) {
        const MediaTime end = section.endFrame();
        if (end.isNumeric()) {
            time = onVideo(minTime(time, end - minimum));
        }
    } else {
        const MediaTime start = section.startFrame();
        if (start.isNumeric()) {
            time = onVideo(maxTime(time, start + minimum));
        }
    }
    return time;
}

int64_t sectionIndexInTime(const SectionList& sections, MediaTime time) {
    for (size_t i = 0; i < sections.size(); ++i) {
        if (time > sections[i]->startFrame() && time < sections[i]->endFrame()) {
            return static_cast<int64_t>(i);
        }
    }
    return -1;
}

float speedInTime(const SectionList& sections, MediaTime time) {
    const int64_t index = sectionIndexInTime(sections, time);
    if (index < 0) {
        return 1.0f;
    }
    return static_cast<float>(1.0 /
                              static_cast<double>(sections[static_cast<size_t>(index)]->speed()));
}

bool volumnInTime(const SectionList& sections, MediaTime time) {
    const int64_t index = sectionIndexInTime(sections, time);
    return index < 0 || !sections[static_cast<size_t>(index)]->removeAudio();
}

QString speedText(int64_t speed) {
    if (speed == 1) {
        return QStringLiteral("Original Speed");
    }
    return QStringLiteral("%1x Slower").arg(speed);
}

} // namespace lento
