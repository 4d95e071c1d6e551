#include "media/PacketCopy.h"

#include "media/Asset.h"

#include <optional>

namespace lento {

namespace {

// target / source as a ratio of 32-bit numbers, when it is one exactly.
bool stretchOf(const PlacedSegment& segment, AVRational& stretch) {
    const MediaTime target = segment.targetRange.duration;
    const MediaTime source = segment.sourceRange.duration;
    if (target.value <= 0 || source.value <= 0) {
        return false;
    }
    const std::optional<TimeRatio> ratio = ratioOf(target, source);
    if (!ratio || !ratio->exact) {
        return false;
    }
    stretch = AVRational{ratio->num, ratio->den};
    return true;
}

// Whether `segments` are one segment that lays its whole, undamaged source at the start, at one
// speed throughout (a ramp changes each packet's spacing).
bool holdsWholeSource(const std::vector<PlacedSegment>& segments, const ExportPlan& plan) {
    if (segments.size() != 1 || !plan.warning.empty() || segments.front().timing.isMapped()) {
        return false;
    }
    const PlacedSegment& segment = segments.front();
    const AssetTrack& track = segment.source;
    return track.asset && segment.sourceRange.start <= track.timeRange.start &&
           (segment.sourceRange.end() >= track.timeRange.end() ||
            segment.sourceRange.end() >= track.asset->duration()) &&
           segment.targetRange.start == MediaTime::zero();
}

} // namespace

bool PacketCopier::applies(const ExportPlan& plan) {
    AVRational stretch{0, 1};
    // Pictures made between the source's cannot be copied.
    return holdsWholeSource(plan.video, plan) && plan.video.front().motion == MotionMode::Hold &&
           stretchOf(plan.video.front(), stretch);
}

bool PacketCopier::appliesToSound(const ExportPlan& plan) {
    AVRational stretch{0, 1};
    return holdsWholeSource(plan.audio, plan) && stretchOf(plan.audio.front(), stretch) &&
           stretch.num == 1 && stretch.den == 1;
}

StageOutcome PacketCopier::open(const PlacedSegment& segment) {
    AVRational stretch{0, 1};
    if (!stretchOf(segment, stretch)) {
        return StageOutcome::failed("the source cannot be copied at this speed");
    }
    // Only the demuxer is needed, but opening the decoder too checks what is copied is whole.
    if (StageOutcome opened = m_source.open(segment.source, 1); !opened.ok()) {
        return opened;
    }
    const AVRational source = m_source.timeBase;
    // Every time keeps its number and takes a longer unit: exact, whatever the factor.
    int64_t num = int64_t{source.num} * stretch.num;
    int64_t den = int64_t{source.den} * stretch.den;
    if (av_reduce(&m_timeBase.num, &m_timeBase.den, num, den, INT32_MAX) != 1) {
        return StageOutcome::failed("the source cannot be copied at this speed");
    }
    const AVRational rate = segment.source.frameRate();
    m_frameRate = rate.num > 0 ? av_div_q(rate, stretch) : AVRational{0, 1};
    return StageOutcome::succeeded();
}

StageOutcome PacketCopier::next(AVPacket& packet, bool& ended) {
    while (true) {
        av_packet_unref(&packet);
        if (StageOutcome read = m_source.readPacket(packet, ended); !read.ok() || ended) {
            return read;
        }
        if (packet.stream_index != m_source.streamIndex) {
            continue;
        }
        // The movie starts where the source does.
        if (packet.pts != AV_NOPTS_VALUE) {
            packet.pts -= m_source.origin;
        }
        if (packet.dts != AV_NOPTS_VALUE) {
            packet.dts -= m_source.origin;
        }
        packet.pos = -1;
        return StageOutcome::succeeded();
    }
}

} // namespace lento
