#include "edit/SectionComposition.h"

#include "base/Log.h"
#include "edit/TimeText.h"

#include <algorithm>
#include <cstddef>

namespace lento {

namespace {

SectionPtr makeFiller(MediaTime start, MediaTime end, int64_t speed = 1) {
    auto filler = std::make_shared<SectionObject>();
    filler->initWithName(QString(), start, end, speed, true);
    return filler;
}

// The stretches of 0 ... `end` that no section covers, in time order. A section of no length
// still cuts the stretch it lies in, as a cut at its place. Sorted by start once, then swept:
// n log n for any number of sections.
SectionList fillersBetween(const SectionList& sectionObjects, MediaTime end) {
    std::vector<std::pair<MediaTime, MediaTime>> bounds;
    bounds.reserve(sectionObjects.size());
    for (const SectionPtr& section : sectionObjects) {
        bounds.emplace_back(section->startFrame(), section->endFrame());
    }
    std::sort(bounds.begin(), bounds.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    SectionList fillers;
    MediaTime covered = MediaTime::make(0, end.timescale); // everything before it is placed
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

// Lays every entry of `list` but the skipped ones end to end on `track`, from zero at the video's
// timescale. Sound leaves entries with their sound removed out but still advances past them.
void layEntries(CompositionTrack& track, const AssetTrack& source, const SectionList& list,
                MediaTime videoTotalDuration) {
    const bool sound = source.mediaType == MediaType::Audio;
    const char* const format = sound ? "audio:%lld, %s" : "video:%lld, %s";
    MediaTime position = MediaTime::make(0, videoTotalDuration.timescale);
    for (const SectionPtr& entry : list) {
        if (entry->speed() == -1) {
            continue;
        }
        const SpeedFactor factor = entry->factor();
        const MediaTime start = entry->startFrame();
        const MediaTime length = entry->endFrame() - start;
        const MediaTime advance = factor.stretch(length);
        if (sound && entry->removeAudio()) {
            position = position + advance;
            continue;
        }
        // A range the track refuses is simply not placed; the later entries keep their places.
        track.insertTimeRange(MediaTimeRange::make(start, length), source, position,
                              entry->motion());
        logLine(format, static_cast<long long>(position.value), timeTextOf(position).c_str());
        if (!factor.isOne()) {
            track.scaleTimeRange(MediaTimeRange::make(position, length), advance);
        }
        position = position + advance;
    }
}

} // namespace

SectionList sections(const SectionList& sectionObjects, MediaTime videoTotalDuration) {
    SectionList list = sectionObjects;
    SectionList fillers = fillersBetween(sectionObjects, videoTotalDuration);
    const MediaTime videoStart = MediaTime::make(0, videoTotalDuration.timescale);
    if (!(videoStart < videoTotalDuration) ||
        (fillers.size() == 1 && fillers.front()->startFrame() == videoStart &&
         fillers.front()->endFrame() == videoTotalDuration)) {
        // Nothing cut the video: the builders lay nothing for it.
        fillers = {makeFiller(videoStart, videoTotalDuration, -1)};
    }
    list.insert(list.end(), fillers.begin(), fillers.end());
    std::stable_sort(list.begin(), list.end(), [](const SectionPtr& a, const SectionPtr& b) {
        return a->startFrame() < b->startFrame();
    });
    for (const SectionPtr& entry : list) {
        const MediaTime start = entry->startFrame();
        logLine("j section : %lld, %lld, %s", static_cast<long long>(start.value),
                static_cast<long long>(entry->endFrame().value - start.value),
                timeTextOf(start).c_str());
    }
    return list;
}

namespace {

// Lays the entries from the asset's first track of `type` into a new track; an asset without one
// gets none (a sound-only movie passes the editor's intake; it simply has no pictures to lay).
void createOneSection(MediaType type, const Asset& asset, Composition& composition,
                      const SectionList& list, MediaTime videoTotalDuration) {
    const auto sources = asset.tracksWithMediaType(type);
    if (sources.empty()) {
        return;
    }
    CompositionTrack* track = composition.addTrack(type, 0);
    layEntries(*track, sources.front(), list, videoTotalDuration);
}

} // namespace

void createOneVideoSection(const Asset& asset, Composition& composition, const SectionList& list,
                           MediaTime videoTotalDuration) {
    createOneSection(MediaType::Video, asset, composition, list, videoTotalDuration);
}

void createOneAudioSection(const Asset& asset, Composition& composition, const SectionList& list,
                           MediaTime videoTotalDuration) {
    createOneSection(MediaType::Audio, asset, composition, list, videoTotalDuration);
}

} // namespace lento
