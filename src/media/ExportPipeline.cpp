#include "media/ExportPipeline.h"

#include <algorithm>
#include <cstdio>

extern "C" {
#include <libavutil/imgutils.h>
}

namespace lento {

namespace {

const CompositionTrack* firstTrackWithMedia(const Composition& composition, MediaType type) {
    for (CompositionTrack* track : composition.tracksWithMediaType(type)) {
        if (track->hasMedia()) {
            return track;
        }
    }
    return nullptr;
}

// Where on the export's timeline `segment` runs past the readable part of its source; invalid
// when it lies wholly within it.
MediaTime readableEndOnTarget(const PlacedSegment& segment) {
    const Asset& asset = *segment.source.asset;
    const MediaTime readable = asset.readableDuration();
    if (!asset.isDamaged() || segment.sourceRange.end() <= readable) {
        return MediaTime::invalid();
    }
    return segment.targetAt(maxTime(readable, segment.sourceRange.start));
}

// Drops what lies at or after `end` and shortens the segment that crosses it.
void cutAt(std::vector<PlacedSegment>& segments, MediaTime end) {
    std::erase_if(segments,
                  [&](const PlacedSegment& segment) { return segment.targetRange.start >= end; });
    if (segments.empty() || segments.back().targetRange.end() <= end) {
        return;
    }
    PlacedSegment& last = segments.back();
    const MediaTime kept = end - last.targetRange.start;
    last.sourceRange.duration = last.timing.isMapped() ? last.sourceAt(end) - last.sourceRange.start
                                                       : scaleTime(kept, last.sourceRange.duration,
                                                                   last.targetRange.duration);
    last.targetRange.duration = kept;
}

std::string damageText(const Asset& asset) {
    char text[64];
    std::snprintf(text, sizeof text, " is damaged: readable up to %.2f s of %.2f s",
                  asset.readableDuration().seconds(), asset.duration().seconds());
    return asset.path() + text;
}

} // namespace

MediaTime PlacedSegment::targetAt(MediaTime sourceTime) const {
    if (timing.isMapped()) {
        return timing.targetTime(sourceTime);
    }
    return targetRange.start +
           scaleTime(sourceTime - sourceRange.start, targetRange.duration, sourceRange.duration);
}

MediaTime PlacedSegment::sourceAt(MediaTime targetTime) const {
    if (timing.isMapped()) {
        return timing.sourceTime(targetTime);
    }
    return sourceRange.start +
           scaleTime(targetTime - targetRange.start, sourceRange.duration, targetRange.duration);
}

ExportPlan planExport(const Composition& composition, MediaTimeRange requested) {
    ExportPlan plan;
    plan.range = requested;
    if (!requested.isValid() || !requested.duration.isNumeric()) {
        plan.range = MediaTimeRange::make(MediaTime::zero(), composition.duration());
    } else if (requested.isEmpty()) {
        plan.rangeEmpty = true;
        return plan;
    }
    if (const CompositionTrack* track = firstTrackWithMedia(composition, MediaType::Video)) {
        plan.video = placeSegments(*track, plan.range);
    }
    if (const CompositionTrack* track = firstTrackWithMedia(composition, MediaType::Audio)) {
        plan.audio = placeSegments(*track, plan.range);
    }
    MediaTime end = MediaTime::invalid();
    const Asset* damaged = nullptr;
    for (const auto* segments : {&plan.video, &plan.audio}) {
        for (const PlacedSegment& segment : *segments) {
            const MediaTime cut = readableEndOnTarget(segment);
            if (cut.isValid() && (!end.isValid() || cut < end)) {
                end = cut;
                damaged = segment.source.asset.get();
            }
        }
    }
    if (damaged != nullptr) {
        cutAt(plan.video, end);
        cutAt(plan.audio, end);
        plan.range.duration = end;
        plan.warning = damageText(*damaged);
    }
    return plan;
}

StageOutcome ExportPlan::check() const {
    if (rangeEmpty) {
        return StageOutcome::failed("the part to export is empty");
    }
    return isEmpty() ? StageOutcome::failed("there is nothing to export")
                     : StageOutcome::succeeded();
}

FramePtr PicturePool::take(int width, int height, AVPixelFormat format) {
    constexpr int kAlign = 64;
    if (!m_pool || width != m_width || height != m_height || format != m_format) {
        const int size = av_image_get_buffer_size(format, width, height, kAlign);
        if (size <= 0) {
            return nullptr;
        }
        m_pool.reset(av_buffer_pool_init(size_t(size), nullptr));
        m_width = width;
        m_height = height;
        m_format = format;
    }
    FramePtr output = makeFrame();
    AVBufferRef* buffer = m_pool ? av_buffer_pool_get(m_pool.get()) : nullptr;
    if (!output || !buffer) {
        av_buffer_unref(&buffer);
        return nullptr;
    }
    output->buf[0] = buffer;
    output->format = format;
    output->width = width;
    output->height = height;
    if (av_image_fill_arrays(output->data, output->linesize, buffer->data, format, width, height,
                             kAlign) < 0) {
        return nullptr;
    }
    return output;
}

size_t frameBytes(const AVFrame* frame) {
    if (frame == nullptr) {
        return 0;
    }
    size_t bytes = 0;
    for (const AVBufferRef* buffer : frame->buf) {
        bytes += buffer != nullptr ? buffer->size : 0;
    }
    for (int i = 0; i < frame->nb_extended_buf; ++i) {
        bytes += frame->extended_buf[i]->size;
    }
    return bytes;
}

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
        PlacedSegment piece;
        piece.source = segment.sourceTrack;
        piece.motion = segment.motion;
        piece.timing = segment.timing;
        MediaTime sourceLow = segment.sourceRange.start;
        MediaTime sourceHigh = segment.sourceRange.end();
        if (segment.timing.isMapped()) {
            // Clipped where the map shows the clip's bounds; the bounds it keeps stay exact.
            sourceLow = low == start ? sourceLow : segment.timing.sourceTime(low);
            sourceHigh = high == end ? sourceHigh : segment.timing.sourceTime(high);
            piece.timing.shift = piece.timing.shift + exportRange.start;
        } else {
            const MediaTime targetDuration = segment.targetRange.duration;
            const MediaTime sourceDuration = segment.sourceRange.duration;
            sourceLow =
                segment.sourceRange.start + scaleTime(low - start, sourceDuration, targetDuration);
            sourceHigh =
                segment.sourceRange.start + scaleTime(high - start, sourceDuration, targetDuration);
        }
        piece.sourceRange = MediaTimeRange::fromTimeToTime(sourceLow, sourceHigh);
        piece.targetRange =
            MediaTimeRange::fromTimeToTime(low - exportRange.start, high - exportRange.start);
        placed.push_back(piece);
    }
    return placed;
}

} // namespace lento
