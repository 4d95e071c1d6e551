#include "media/ExportSession.h"

#include "media/ExportPipeline.h"
#include "media/FfmpegHandles.h"
#include "media/FrameStage.h"
#include "media/MovieWriter.h"
#include "media/OutputFile.h"
#include "media/PacketCopy.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <map>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

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
        return motionFrameRate(source.nominalRate, source.averageRate);
    }
    const AVRational rate = source.averageRate.num > 0 ? source.averageRate : source.nominalRate;
    const MediaTime target = first.targetRange.duration;
    const MediaTime sourceLength = first.sourceRange.duration;
    if (rate.num <= 0 || target.value <= 0 || sourceLength.value <= 0) {
        return AVRational{0, 1};
    }
    // Reduced to 32 bits, rounded where it must be: the rate only guides the rate control.
    AVRational slowing{0, 1};
    av_reduce(&slowing.num, &slowing.den, sourceLength.value * target.timescale,
              target.value * sourceLength.timescale, INT32_MAX);
    return slowing.num > 0 ? av_mul_q(rate, slowing) : AVRational{0, 1};
}

// One run of an export: plans it, opens the movie, starts the renderers on their own threads
// and feeds what they make to the encoders in time order.
struct ExportJob {
    const Composition& composition;
    const ExportPreset& preset;
    MediaTimeRange timeRange;
    FileType fileType;
    const std::string& path;
    const std::atomic<bool>& cancelled;
    std::function<void(float)> reportProgress;

    StageOutcome run() {
        const ExportPlan plan = planExport(composition, timeRange);
        if (plan.isEmpty()) {
            return StageOutcome::failed("there is nothing to export");
        }
        MovieWriter writer;
        Streams streams;
        std::optional<PacketCopier> copier;
        if (StageOutcome opened = openMovie(plan, writer, streams, copier); !opened.ok()) {
            return opened;
        }
        Renderers renderers(plan, streams);
        StageOutcome muxed = copier ? muxCopied(writer, *copier, renderers, streams)
                                    : mux(writer, renderers, streams);
        renderers.stopAndJoin();
        if (!renderers.video.ok()) {
            return renderers.video;
        }
        if (!renderers.audio.ok()) {
            return renderers.audio;
        }
        if (!muxed.ok()) {
            return muxed;
        }
        if (cancelled) {
            return StageOutcome::stopped();
        }
        std::string error;
        return writer.finish(streams.videoEnd, error) ? StageOutcome::succeeded()
                                                      : StageOutcome::failed(error);
    }

private:
    // The formats and lengths of the movie's streams; a stream without segments is left out.
    struct Streams {
        bool hasVideo = false;
        bool videoCopied = false; // the pictures go from the source to the movie undecoded
        bool hasAudio = false;
        VideoFormat video;
        AudioFormat audio;
        int64_t videoEnd = 0; // in kVideoTimescale units
        int64_t audioEnd = 0; // in samples
    };

    // Both renderers, each on its own thread, feeding its queue. Queues are bounded in bytes as
    // well as in items, so that huge pictures do not pile up.
    struct Renderers {
        static constexpr size_t kQueueBytes = 64u << 20;

        BoundedQueue<VideoItem> videoQueue{4, kQueueBytes};
        BoundedQueue<AudioItem> audioQueue{32, kQueueBytes};
        std::atomic<bool> stop{false};
        StageOutcome video;
        StageOutcome audio;
        std::thread videoThread;
        std::thread audioThread;

        Renderers(const ExportPlan& plan, const Streams& streams) {
            if (streams.hasVideo && !streams.videoCopied) {
                videoThread = std::thread([this, &plan, &streams] {
                    video =
                        renderVideo(plan.video, streams.video, streams.videoEnd, videoQueue, stop);
                    end(video, videoQueue);
                });
            } else {
                videoQueue.close();
            }
            if (streams.hasAudio) {
                audioThread = std::thread([this, &plan, &streams] {
                    audio =
                        renderAudio(plan.audio, streams.audio, streams.audioEnd, audioQueue, stop);
                    end(audio, audioQueue);
                });
            } else {
                audioQueue.close();
            }
        }
        Renderers(const Renderers&) = delete;
        Renderers& operator=(const Renderers&) = delete;
        ~Renderers() { stopAndJoin(); }

        template <typename Item> void end(const StageOutcome& outcome, BoundedQueue<Item>& queue) {
            if (outcome.kind == StageOutcome::Kind::Failed) {
                // The other renderer has no reason to go on.
                stop = true;
            }
            queue.close();
        }

        void stopAndJoin() {
            stop = true;
            videoQueue.abort();
            audioQueue.abort();
            if (videoThread.joinable()) {
                videoThread.join();
            }
            if (audioThread.joinable()) {
                audioThread.join();
            }
        }
    };

    StageOutcome openMovie(const ExportPlan& plan, MovieWriter& writer, Streams& streams,
                           std::optional<PacketCopier>& copier) const {
        std::string error;
        if (!writer.open(path, fileType, error)) {
            return StageOutcome::failed(error);
        }
        if (preset.copyVideo && PacketCopier::applies(plan)) {
            copier.emplace();
            if (!copier->open(plan.video.front(), error)) {
                return StageOutcome::failed(error);
            }
            if (writer.canHoldVideo(copier->parameters().codec_id)) {
                writer.setTags(readSourceTraits(plan.video.front().source));
                if (!writer.addCopiedVideo(copier->parameters(), copier->timeBase(),
                                           copier->frameRate(), plan.video.front().source, error)) {
                    return StageOutcome::failed(error);
                }
                streams.hasVideo = true;
                streams.videoCopied = true;
                streams.videoEnd =
                    plan.video.back().targetRange.end().convertScale(kVideoTimescale).value;
            } else {
                // The container cannot hold the source's pictures: they are encoded.
                copier.reset();
            }
        }
        if (!plan.video.empty() && !streams.videoCopied) {
            const PlacedSegment& first = plan.video.front();
            presetOutputSize(preset, first.source.naturalWidth, first.source.naturalHeight,
                             streams.video.width, streams.video.height);
            const SourceTraits traits = readSourceTraits(first.source);
            writer.setTags(traits);
            // Never silently fewer bits than the source has; pictures made between the
            // source's are 8-bit for now.
            const bool made =
                std::any_of(plan.video.begin(), plan.video.end(), [](const PlacedSegment& segment) {
                    return segment.motion != MotionMode::Hold;
                });
            streams.video.pixelFormat =
                traits.deep && !made ? AV_PIX_FMT_YUV420P10 : AV_PIX_FMT_YUV420P;
            if (!writer.addVideo(streams.video, preset, first.source, traits,
                                 outputFrameRate(first), error)) {
                return StageOutcome::failed(error);
            }
            streams.hasVideo = true;
            streams.videoEnd =
                plan.video.back().targetRange.end().convertScale(kVideoTimescale).value;
        }
        if (!plan.audio.empty()) {
            const AssetTrack& source = plan.audio.front().source;
            streams.audio.sampleRate = pickSampleRate(source.sampleRate);
            streams.audio.channels = pickChannels(source.channels);
            if (!writer.addAudio(streams.audio, preset, error)) {
                return StageOutcome::failed(error);
            }
            streams.hasAudio = true;
            streams.audioEnd =
                plan.audio.back().targetRange.end().convertScale(streams.audio.sampleRate).value;
        }
        return writer.start(error) ? StageOutcome::succeeded() : StageOutcome::failed(error);
    }

    // Writes the copied pictures and the encoded sound in time order, until both have ended.
    StageOutcome muxCopied(MovieWriter& writer, PacketCopier& copier, Renderers& renderers,
                           const Streams& streams) const {
        std::string error;
        PacketPtr packet = makePacket();
        if (!packet) {
            return StageOutcome::failed("out of memory");
        }
        bool pending = false;
        bool videoEnded = false;
        double videoDone = 0.0;
        double audioDone = streams.hasAudio ? 0.0 : 1.0;
        while (true) {
            if (cancelled || renderers.stop) {
                return StageOutcome::stopped();
            }
            if (!pending && !videoEnded) {
                pending = copier.next(*packet, error);
                if (!error.empty()) {
                    return StageOutcome::failed(error);
                }
                videoEnded = !pending;
                videoDone = videoEnded ? 1.0 : videoDone;
            }
            const AudioItem* audio = renderers.audioQueue.front();
            if (!pending && audio == nullptr) {
                return StageOutcome::succeeded();
            }
            const int64_t videoTicks =
                pending ? av_rescale_q(packet->dts == AV_NOPTS_VALUE ? packet->pts : packet->dts,
                                       copier.timeBase(), AVRational{1, kVideoTimescale})
                        : 0;
            if (pending && (audio == nullptr ||
                            static_cast<__int128>(videoTicks) * streams.audio.sampleRate <=
                                static_cast<__int128>(audio->firstSample) * kVideoTimescale)) {
                if (!writer.writeCopiedVideo(*packet, error)) {
                    return StageOutcome::failed(error);
                }
                pending = false;
                videoDone = double(videoTicks) / double(std::max<int64_t>(1, streams.videoEnd));
            } else {
                if (StageOutcome wrote = writeAudio(writer, renderers, streams, audioDone);
                    !wrote.ok()) {
                    return wrote;
                }
            }
            reportProgress(static_cast<float>(0.99 * std::min({videoDone, audioDone, 1.0})));
        }
    }

    // Encodes the next sound item and says how much of the sound is done.
    static StageOutcome writeAudio(MovieWriter& writer, Renderers& renderers,
                                   const Streams& streams, double& audioDone) {
        std::optional<AudioItem> item = renderers.audioQueue.pop();
        if (!item) {
            return StageOutcome::stopped();
        }
        std::string error;
        if (!writer.writeAudio(*item, error)) {
            return StageOutcome::failed(error);
        }
        audioDone = double(item->firstSample + item->frame->nb_samples) /
                    double(std::max<int64_t>(1, streams.audioEnd));
        return StageOutcome::succeeded();
    }

    // Feeds the encoders in time order, so that the muxer holds little, until both renderers
    // have ended.
    StageOutcome mux(MovieWriter& writer, Renderers& renderers, const Streams& streams) const {
        std::string error;
        double videoDone = streams.hasVideo ? 0.0 : 1.0;
        double audioDone = streams.hasAudio ? 0.0 : 1.0;
        while (true) {
            if (cancelled || renderers.stop) {
                return StageOutcome::stopped();
            }
            const VideoItem* video = renderers.videoQueue.front();
            const AudioItem* audio = renderers.audioQueue.front();
            if (video == nullptr && audio == nullptr) {
                return StageOutcome::succeeded();
            }
            const bool videoFirst =
                video != nullptr &&
                (audio == nullptr ||
                 static_cast<__int128>(video->pts) * streams.audio.sampleRate <=
                     static_cast<__int128>(audio->firstSample) * kVideoTimescale);
            if (videoFirst) {
                std::optional<VideoItem> item = renderers.videoQueue.pop();
                if (!item) {
                    return StageOutcome::stopped();
                }
                if (!writer.writeVideo(*item, error)) {
                    return StageOutcome::failed(error);
                }
                videoDone = double(item->pts + item->duration) /
                            double(std::max<int64_t>(1, streams.videoEnd));
            } else {
                if (StageOutcome wrote = writeAudio(writer, renderers, streams, audioDone);
                    !wrote.ok()) {
                    return wrote;
                }
            }
            reportProgress(static_cast<float>(0.99 * std::min({videoDone, audioDone, 1.0})));
        }
    }
};

} // namespace

std::string ExportSession::warning() const {
    return planExport(*m_composition, m_timeRange).warning;
}

std::unique_ptr<ExportSession>
ExportSession::exportSessionWithAsset(std::shared_ptr<const Composition> composition,
                                      const std::string& presetName) {
    const ExportPreset* preset = exportPresetNamed(presetName);
    if (preset == nullptr || !composition) {
        return nullptr;
    }
    return std::make_unique<ExportSession>(std::move(composition), *preset);
}

ExportSession::ExportSession(std::shared_ptr<const Composition> composition,
                             const ExportPreset& preset)
    : m_composition(std::move(composition)), m_preset(preset) {
    if (!m_preset.fileTypes.empty()) {
        m_outputFileType = m_preset.fileTypes.front();
    }
}

ExportSession::~ExportSession() {
    m_cancelled = true;
    if (m_worker.joinable()) {
        if (m_worker.get_id() == std::this_thread::get_id()) {
            // Destroyed from inside its own completion: the worker touches nothing of the
            // session once the completion has returned, so it may end on its own.
            m_worker.detach();
        } else {
            m_worker.join();
        }
    }
}

std::string ExportSession::error() const {
    std::lock_guard lock(m_errorMutex);
    return m_error;
}

void ExportSession::exportAsynchronouslyWithCompletionHandler(std::function<void()> completion) {
    Status expected = Status::Unknown;
    if (!m_status.compare_exchange_strong(expected, Status::Waiting)) {
        return;
    }
    m_completion = std::move(completion);
    try {
        m_worker = std::thread([this] { run(); });
    } catch (const std::system_error& failure) {
        {
            std::lock_guard lock(m_errorMutex);
            m_error = std::string("cannot start the export: ") + failure.what();
        }
        m_status = Status::Failed;
        end();
    }
}

void ExportSession::cancelExport() {
    m_cancelled = true;
}

void ExportSession::waitUntilFinished() {
    Ending& ending = *m_ending;
    std::unique_lock lock(ending.mutex);
    ending.signal.wait(lock, [&ending] { return ending.finished; });
}

void ExportSession::raiseProgress(float value) {
    float current = m_progress.load();
    while (value > current && !m_progress.compare_exchange_weak(current, value)) {
    }
}

void ExportSession::run() {
    m_status = Status::Exporting;
    std::string error;
    if (writeMovie(error)) {
        raiseProgress(1.0f);
        m_status = Status::Completed;
    } else if (m_cancelled) {
        m_status = Status::Cancelled;
    } else {
        {
            std::lock_guard lock(m_errorMutex);
            m_error = error.empty() ? "the export failed" : error;
        }
        m_status = Status::Failed;
    }
    end();
}

bool ExportSession::writeMovie(std::string& error) {
    // Made before any work, so that a destination that cannot be written fails at once.
    OutputFile output;
    if (!output.open(m_outputPath, error)) {
        return false;
    }
    ExportJob job{*m_composition,
                  m_preset,
                  m_timeRange,
                  m_outputFileType,
                  output.writePath(),
                  m_cancelled,
                  [this](float value) { raiseProgress(value); }};
    // An unfinished movie is never named: the output's destructor throws it away.
    const StageOutcome outcome = job.run();
    if (!outcome.ok()) {
        error = outcome.message;
        return false;
    }
    return !m_cancelled && output.commit(error);
}

void ExportSession::end() {
    // The completion may destroy the session: hold what the waiters need, and the completion
    // itself, outside it, and touch no member once the completion has been called.
    const std::shared_ptr<Ending> ending = m_ending;
    const std::function<void()> completion = std::move(m_completion);
    if (completion) {
        completion();
    }
    {
        std::lock_guard lock(ending->mutex);
        ending->finished = true;
    }
    ending->signal.notify_all();
}

} // namespace lento
