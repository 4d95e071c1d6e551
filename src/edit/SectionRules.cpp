#include "edit/SectionRules.h"

#include <algorithm>

namespace lento {

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
            if (QString reason = boundErrorReason(sections, row, column); !reason.isEmpty()) {
                return reason;
            }
        }
    }
    return {};
}

QString boundErrorReason(const SectionList& sections, int64_t row, int64_t column) {
    const int64_t other = checkOverSetup(sections, row, column);
    if (other == -1) {
        return {};
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
    return static_cast<float>(sections[static_cast<size_t>(index)]->factor().playbackRate());
}

bool volumnInTime(const SectionList& sections, MediaTime time) {
    const int64_t index = sectionIndexInTime(sections, time);
    return index < 0 || !sections[static_cast<size_t>(index)]->removeAudio();
}

} // namespace lento
