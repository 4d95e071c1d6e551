#include "media/StreamPlan.h"

#include "media/Asset.h"
#include "media/FrameStage.h"
#include "media/MovieWriter.h"

#include <algorithm>

namespace lento {

namespace {

// The source's rate up to 48 kHz: beyond that no one hears a difference, and AAC players
// are not bound to play it.
int pickSampleRate(int sourceRate) {
    static const int supported[] = {48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000};
    for (int rate : supported) {
        if (rate == sourceRate) {
            return rate;
        }
    }
    return 48000;
}

// Up to 5.1, the most AAC players are sure to play; more channels are mixed down to stereo.
int pickChannels(int sourceChannels) {
    return sourceChannels > 6 ? 2 : std::max(sourceChannels, 1);
}

// The frame rate the encoder is told: the grid's where pictures are made, otherwise the
// source's slowed by the stretch (pictures held longer come less often). 0/1 when unknown.
AVRational outputFrameRate(const PlacedSegment& first) {
    const AssetTrack& source = first.source;
    if (first.motion != MotionMode::Hold) {
        return motionFrameRate(source);
    }
    const AVRational rate = source.frameRate();
    const MediaTime target = first.targetRange.duration;
    const MediaTime sourceLength = first.sourceRange.duration;
    if (rate.num <= 0 || target.value <= 0 || sourceLength.value <= 0) {
        return AVRational{0, 1};
    }
    // Rounded where it must be: the rate only guides the rate control.
    const std::optional<TimeRatio> slowing = ratioOf(sourceLength, target);
    return slowing && slowing->num > 0 ? av_mul_q(rate, AVRational{slowing->num, slowing->den})
                                       : AVRational{0, 1};
}

} // namespace

StreamPlan planStreams(const ExportPlan& plan, const ExportPreset& preset) {
    StreamPlan streams;
    if (!plan.video.empty()) {
        const PlacedSegment& first = plan.video.front();
        streams.hasVideo = true;
        streams.videoEnd = plan.video.back().targetRange.end().convertScale(kVideoTimescale).value;
        const PictureSize size =
            presetOutputSize(preset, {first.source.naturalWidth, first.source.naturalHeight,
                                      first.source.sampleAspect});
        streams.video.width = size.width;
        streams.video.height = size.height;
        streams.video.sampleAspect = size.sampleAspect;
        // Never silently fewer bits than the source has, also where pictures are made.
        streams.video.pixelFormat =
            first.source.traits.deep ? AV_PIX_FMT_YUV420P10 : AV_PIX_FMT_YUV420P;
        streams.videoFrameRate = outputFrameRate(first);
    }
    if (!plan.audio.empty()) {
        const AssetTrack& source = plan.audio.front().source;
        streams.hasAudio = true;
        streams.audio.sampleRate = pickSampleRate(source.sampleRate);
        streams.audio.channels = pickChannels(source.channels);
        streams.audioEnd =
            plan.audio.back().targetRange.end().convertScale(streams.audio.sampleRate).value;
        streams.audioMayBeCopied = PacketCopier::appliesToSound(plan) &&
                                   streams.audio.sampleRate == source.sampleRate &&
                                   streams.audio.channels == source.channels;
    }
    return streams;
}

StageOutcome chooseCopies(const ExportPlan& plan, const ExportPreset& preset, FileType fileType,
                          StreamPlan& streams) {
    const auto copy = [fileType](const PlacedSegment& segment, std::optional<PacketCopier>& copier,
                                 bool& copied) {
        copier.emplace();
        if (StageOutcome opened = copier->open(segment); !opened.ok()) {
            return opened;
        }
        copied = movieCanHold(fileType, copier->parameters().codec_id);
        if (!copied) {
            // The container cannot hold the source's packets: they are encoded.
            copier.reset();
        }
        return StageOutcome::succeeded();
    };
    if (streams.hasVideo && preset.copyVideo && PacketCopier::applies(plan)) {
        if (StageOutcome chosen =
                copy(plan.video.front(), streams.videoCopier, streams.videoCopied);
            !chosen.ok()) {
            return chosen;
        }
    }
    if (streams.hasAudio && streams.audioMayBeCopied) {
        return copy(plan.audio.front(), streams.audioCopier, streams.audioCopied);
    }
    return StageOutcome::succeeded();
}

} // namespace lento
