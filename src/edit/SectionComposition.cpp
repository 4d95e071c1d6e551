#include "edit/SectionComposition.h"

#include "base/Log.h"
#include "edit/TimeText.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>

namespace lento {

namespace {

SectionState makeFiller(MediaTime start, MediaTime end) {
    SectionState filler;
    filler.start = start;
    filler.end = end;
    return filler;
}

// The stretches of `range` that no section covers, in time order. A section of no length still
// cuts the stretch it lies in, as a cut at its place. Sorted by start once, then swept: n log n
// for any number of sections.
std::vector<SectionState> fillersBetween(SectionSpan sectionObjects, MediaTimeRange range) {
    std::vector<std::pair<MediaTime, MediaTime>> bounds;
    bounds.reserve(sectionObjects.size());
    for (const SectionState& section : sectionObjects) {
        bounds.emplace_back(section.start, section.end);
    }
    std::sort(bounds.begin(), bounds.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<SectionState> fillers;
    const MediaTime end = range.end();
    MediaTime covered = range.start; // everything before it is placed
    for (const auto& [start, stop] : bounds) {
        if (covered >= end) {
            break;
        }
        if (start > covered) {
            fillers.push_back(makeFiller(covered, minTime(start, end)));
        }
        covered = maxTime(covered, stop);
    }
    if (covered < end) {
        fillers.push_back(makeFiller(covered, end));
    }
    return fillers;
}

std::string timeTextOf(MediaTime time) {
    return timeText(time).toStdString();
}

void logEntries(const std::vector<SectionState>& list) {
    for (const SectionState& entry : list) {
        logLine("j section : %lld, %lld, %s", static_cast<long long>(entry.start.value),
                static_cast<long long>(entry.end.value - entry.start.value),
                timeTextOf(entry.start).c_str());
    }
}

// Lays every entry of `list` end to end on a new track of `type` from `position`, reading the
// source's first track of that type; a source without one gets no track (a sound-only movie
// passes the editor's intake; it simply has no pictures to lay). Sound leaves entries with their
// sound removed out but still advances past them. With `map`, each entry lies where the map puts
// it, the range's start at `position`, and is timed by it throughout.
void layEntries(MediaType type, const Asset& source, Composition& composition,
                const std::vector<SectionState>& list, MediaTime position, bool logged,
                const std::shared_ptr<const TimeMap>& map, MediaTime rangeStart) {
    const auto sources = source.tracksWithMediaType(type);
    if (sources.empty()) {
        return;
    }
    CompositionTrack& track = *composition.addTrack(type, 0);
    const bool sound = type == MediaType::Audio;
    const char* const format = sound ? "audio:%lld, %s" : "video:%lld, %s";
    const MediaTime origin =
        map ? map->outputTime(rangeStart, SegmentTiming::kTimescale) - position : position;
    for (const SectionState& entry : list) {
        const MediaTime length = entry.end - entry.start;
        if (map) {
            position = map->outputTime(entry.start, SegmentTiming::kTimescale) - origin;
            if (!(sound && !entry.audio)) {
                track.insertMappedRange(MediaTimeRange::make(entry.start, length), sources.front(),
                                        position, entry.motion, map);
                if (logged) {
                    logLine(format, static_cast<long long>(position.value),
                            timeTextOf(position).c_str());
                }
            }
            continue;
        }
        const MediaTime advance = entry.factor.stretch(length);
        if (sound && !entry.audio) {
            position = position + advance;
            continue;
        }
        // A range the track refuses is simply not placed; the later entries keep their places.
        track.insertTimeRange(MediaTimeRange::make(entry.start, length), sources.front(),
                              position, entry.motion);
        if (logged) {
            logLine(format, static_cast<long long>(position.value), timeTextOf(position).c_str());
        }
        if (!entry.factor.isOne()) {
            track.scaleTimeRange(MediaTimeRange::make(position, length), advance);
        }
        position = position + advance;
    }
}

} // namespace

std::shared_ptr<const TimeMap> rampedTimeMap(const EditCut& cut) {
    const auto ramped = [](const SectionState& section) { return section.hasRamps(); };
    if (std::none_of(cut.sections.begin(), cut.sections.end(), ramped)) {
        return nullptr;
    }
    std::vector<TimeMap::Section> retimed;
    MediaTime end = cut.range.end();
    for (const SectionState& section : cut.sections) {
        if (section.end <= section.start) {
            continue; // it cuts the stretch it lies in, but retimes nothing
        }
        retimed.push_back(
            {section.start, section.end, section.factor, section.rampIn, section.rampOut});
        end = maxTime(end, section.end);
    }
    std::string error;
    std::optional<TimeMap> map = TimeMap::make(std::move(retimed), end, error);
    if (!map) {
        logLine("cannot ease the sections into their speeds: %s", error.c_str());
        return nullptr;
    }
    return std::make_shared<const TimeMap>(std::move(*map));
}

EditCut EditCut::ofSections(SectionSpan sections, MediaTime duration) {
    return {std::vector<SectionState>(sections.begin(), sections.end()),
            MediaTimeRange::make(MediaTime::make(0, duration.timescale), duration),
            true,
            true};
}

EditCut EditCut::ofSection(const SectionState& section) {
    return {{section}, MediaTimeRange::fromTimeToTime(section.start, section.end), section.audio};
}

EditCut EditCut::ofFullVideo(const FullVideoState& choices, MediaTime duration,
                             MediaTimeRange range) {
    if (!range.isValid() || range.isEmpty()) {
        range = MediaTimeRange::make(MediaTime::make(0, duration.timescale), duration);
    }
    const SectionState whole{QString(), range.start, range.end(), choices.factor, choices.audio,
                             choices.motion};
    return {{whole}, range, choices.audio};
}

std::vector<SectionState> sections(SectionSpan sectionObjects, MediaTimeRange range) {
    std::vector<SectionState> list(sectionObjects.begin(), sectionObjects.end());
    std::vector<SectionState> fillers = fillersBetween(sectionObjects, range);
    if (fillers.size() == 1 && fillers.front().start == range.start &&
        fillers.front().end == range.end()) {
        fillers.clear(); // nothing cut the range: nothing is laid for it
    }
    list.insert(list.end(), fillers.begin(), fillers.end());
    std::stable_sort(list.begin(), list.end(), [](const SectionState& a, const SectionState& b) {
        return a.start < b.start;
    });
    return list;
}

std::shared_ptr<Composition> makeComposition(const Asset& source, const EditCut& cut) {
    const std::vector<SectionState> list = sections(cut.sections, cut.range);
    if (cut.logged) {
        logEntries(list);
    }
    auto composition = std::make_shared<Composition>();
    const MediaTime start = MediaTime::make(0, cut.range.start.timescale);
    const std::shared_ptr<const TimeMap> map = rampedTimeMap(cut);
    layEntries(MediaType::Video, source, *composition, list, start, cut.logged, map,
               cut.range.start);
    if (cut.sound) {
        layEntries(MediaType::Audio, source, *composition, list, start, cut.logged, map,
                   cut.range.start);
    }
    return composition;
}

} // namespace lento
