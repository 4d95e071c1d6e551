#include "edit/SectionRules.h"

#include "edit/TimeText.h"

#include <algorithm>

namespace lento {

int64_t checkOverSetupWithValue(SectionSpan sections, MediaTime value, int64_t index,
                                bool isStart) {
    for (size_t i = 0; i < sections.size(); ++i) {
        if (static_cast<int64_t>(i) == index) {
            continue;
        }
        const MediaTime start = sections[i].start;
        const MediaTime end = sections[i].end;
        if (value > start && value < end) {
            return static_cast<int64_t>(i);
        }
        if ((isStart && value == start) || (!isStart && value == end)) {
            return static_cast<int64_t>(i);
        }
    }
    return -1;
}

bool startsBeforeItEnds(const SectionState& section) {
    return section.start < section.end;
}

int64_t checkOverSetup(SectionSpan sections, int64_t row, int64_t column) {
    if (row < 0 || row >= static_cast<int64_t>(sections.size())) {
        return -1;
    }
    const SectionState& section = sections[static_cast<size_t>(row)];
    if ((column == 2 || column == 3) && !startsBeforeItEnds(section)) {
        return row;
    }
    switch (column) {
    case 2:
        return checkOverSetupWithValue(sections, section.start, row, true);
    case 3:
        return checkOverSetupWithValue(sections, section.end, row, false);
    default:
        return -1;
    }
}

// A start collides where another section starts too or where it lies strictly inside another;
// an end where another ends too or where it lies strictly inside another; both bounds of a
// section that does not start before it ends. A time lies strictly inside another section when,
// of the sections starting before it, the one ending last ends after it: the section's own
// bounds never pass that test.
std::vector<std::array<bool, 2>> findBoundCollisions(SectionSpan sections) {
    const size_t count = sections.size();
    std::vector<MediaTime> starts(count);
    std::vector<MediaTime> ends(count);
    std::vector<std::pair<MediaTime, MediaTime>> byStart(count);
    for (size_t i = 0; i < count; ++i) {
        starts[i] = sections[i].start;
        ends[i] = sections[i].end;
        byStart[i] = {starts[i], ends[i]};
    }
    const auto earlier = [](const auto& a, const auto& b) { return a.first < b.first; };
    std::sort(byStart.begin(), byStart.end(), earlier);
    std::vector<MediaTime> lastEnd(count); // the latest end of the first k + 1 by start
    for (size_t k = 0; k < count; ++k) {
        lastEnd[k] = k == 0 ? byStart[k].second : std::max(lastEnd[k - 1], byStart[k].second);
    }
    std::vector<MediaTime> sortedStarts = starts;
    std::vector<MediaTime> sortedEnds = ends;
    std::sort(sortedStarts.begin(), sortedStarts.end());
    std::sort(sortedEnds.begin(), sortedEnds.end());
    const auto shared = [](const std::vector<MediaTime>& sorted, MediaTime time) {
        const auto [first, last] = std::equal_range(sorted.begin(), sorted.end(), time);
        return last - first > 1;
    };
    const auto inside = [&](MediaTime time) {
        const auto before =
            std::lower_bound(byStart.begin(), byStart.end(), std::pair(time, time), earlier) -
            byStart.begin();
        return before > 0 && time < lastEnd[static_cast<size_t>(before - 1)];
    };
    std::vector<std::array<bool, 2>> collisions(count);
    for (size_t i = 0; i < count; ++i) {
        const bool reversed = !(starts[i] < ends[i]);
        collisions[i] = {reversed || shared(sortedStarts, starts[i]) || inside(starts[i]),
                         reversed || shared(sortedEnds, ends[i]) || inside(ends[i])};
    }
    return collisions;
}

int countSectionErrors(SectionSpan sections) {
    int errors = 0;
    for (const std::array<bool, 2>& bounds : findBoundCollisions(sections)) {
        errors += int(bounds[0]) + int(bounds[1]);
    }
    return errors;
}

QString sectionErrorReason(SectionSpan sections) {
    const std::vector<std::array<bool, 2>> collisions = findBoundCollisions(sections);
    for (size_t row = 0; row < collisions.size(); ++row) {
        for (const int64_t column : {2, 3}) {
            if (collisions[row][column == 2 ? 0 : 1]) {
                return boundErrorReason(sections, static_cast<int64_t>(row), column);
            }
        }
    }
    return {};
}

QString boundErrorReason(SectionSpan sections, int64_t row, int64_t column) {
    const int64_t other = checkOverSetup(sections, row, column);
    if (other == -1) {
        return {};
    }
    if (other == row) {
        const SectionState& section = sections[static_cast<size_t>(row)];
        return (section.start == section.end
                    ? QStringLiteral("Section %1 ends where it starts.")
                    : QStringLiteral("Section %1 ends before it starts."))
            .arg(row + 1);
    }
    return QStringLiteral("Sections %1 and %2 overlap.")
        .arg(std::min(row, other) + 1)
        .arg(std::max(row, other) + 1);
}

MediaTime limitBound(const SectionState& section, bool isStart, MediaTime time, MediaTime duration,
                     MediaTime minimum) {
    return limitBoundBy(time, isStart, isStart ? section.end : section.start, duration, minimum);
}

int64_t sectionIndexInTime(SectionSpan sections, MediaTime time) {
    for (size_t i = 0; i < sections.size(); ++i) {
        if (time > sections[i].start && time < sections[i].end) {
            return static_cast<int64_t>(i);
        }
    }
    return -1;
}

PlaybackAtTime playbackAtTime(SectionSpan sections, MediaTime time) {
    const int64_t index = sectionIndexInTime(sections, time);
    if (index < 0) {
        return {};
    }
    const SectionState& under = sections[static_cast<size_t>(index)];
    return {under.factor, under.audio, index};
}

std::optional<MediaTime> nearestBound(SectionSpan sections, MediaTime time, bool forward) {
    std::optional<MediaTime> nearest;
    for (const SectionState& section : sections) {
        for (const MediaTime bound : {section.start, section.end}) {
            const bool beyond = forward ? time < bound : bound < time;
            const bool nearer = !nearest || (forward ? bound < *nearest : *nearest < bound);
            if (bound.isNumeric() && beyond && nearer) {
                nearest = bound;
            }
        }
    }
    return nearest;
}

QString rampErrorReason(const SectionState& section, MediaTime rampIn, MediaTime rampOut) {
    const MediaTime none = MediaTime::zero();
    for (const MediaTime ramp : {rampIn, rampOut}) {
        if (!ramp.isNumeric() || ramp < none) {
            return QStringLiteral("A ramp is a length in seconds, such as 0.5 s, or None.");
        }
    }
    const MediaTime length = section.end - section.start;
    const QString lengthText = length > none ? rampLengthText(length) : QStringLiteral("no length");
    // No ramp always fits, also a section that has no length.
    const auto tooLong = [&](MediaTime ramp) { return ramp > none && !(ramp <= length); };
    if (tooLong(rampIn) || tooLong(rampOut)) {
        const bool in = tooLong(rampIn);
        return QStringLiteral("The ramp %1 (%2) is longer than the section (%3).")
            .arg(in ? QStringLiteral("in") : QStringLiteral("out"),
                 rampLengthText(in ? rampIn : rampOut), lengthText);
    }
    if (tooLong(rampIn + rampOut)) {
        return QStringLiteral("The ramps together (%1) are longer than the section (%2).")
            .arg(rampLengthText(rampIn + rampOut), lengthText);
    }
    return {};
}

} // namespace lento
