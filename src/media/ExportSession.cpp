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
        return motionFrameRate(source);
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

// The formats and lengths of the movie's streams; a stream without segments is left out.
struct Streams {
    bool hasVideo = false;
    bool videoCopied = false; // the pictures go from the source to the movie undecoded
    bool hasAudio = false;
    bool audioCopied = false; // so does the sound
    VideoFormat video;
    AudioFormat audio;
    int64_t videoEnd = 0; // in kVideoTimescale units
    int64_t audioEnd = 0; // in samples
};

// A time on the movie's timeline in some unit.
struct MuxTime {
    int64_t value = 0;
    AVRational unit{1, 1};
};

// Whether `a` comes before `b`, exactly.
bool isBefore(MuxTime a, MuxTime b) {
    return static_cast<__int128>(a.value) * a.unit.num * b.unit.den <
           static_cast<__int128>(b.value) * b.unit.num * a.unit.den;
}

// How much of a stream lasting until `end` lies before `time`.
double shareOf(MuxTime time, MuxTime end) {
    const double length = double(end.value) * av_q2d(end.unit);
    return length > 0 ? std::clamp(double(time.value) * av_q2d(time.unit) / length, 0.0, 1.0) : 1.0;
}

// One stream of the movie as the muxing loop sees it: encoded from a renderer's queue, or
// copied from the source packet by packet.
class Feed {
public:
    virtual ~Feed() = default;
    // Waits for the stream's next item; false once the stream has ended (or stopped), with
    // `error` set on a failure.
    virtual bool next(std::string& error) = 0;
    // The next item's time, once `next` has found one.
    virtual MuxTime time() const = 0;
    // Hands the next item to the movie.
    virtual StageOutcome write(MovieWriter& writer) = 0;
    // How much of the stream is written, 0 to 1.
    double done() const { return m_done; }

protected:
    double m_done = 0.0;
};

// Where an item starts and ends on its stream's timeline, and how the movie takes it.
int64_t startOf(const VideoItem& item) {
    return item.pts;
}
int64_t endOf(const VideoItem& item) {
    return item.pts + item.duration;
}
bool writeItem(MovieWriter& writer, VideoItem& item, std::string& error) {
    return writer.writeVideo(item, error);
}
int64_t startOf(const AudioItem& item) {
    return item.firstSample;
}
int64_t endOf(const AudioItem& item) {
    return item.firstSample + item.frame->nb_samples;
}
bool writeItem(MovieWriter& writer, AudioItem& item, std::string& error) {
    return writer.writeAudio(item, error);
}

// A stream encoded from what a renderer puts in its queue; `end` is the stream's length, in the
// unit of its items' times.
template <typename Item> class QueueFeed : public Feed {
public:
    QueueFeed(BoundedQueue<Item>& queue, MuxTime end) : m_queue(queue), m_end(end) {}
    bool next(std::string&) override {
        m_front = m_queue.front();
        m_done = m_front == nullptr ? 1.0 : m_done;
        return m_front != nullptr;
    }
    MuxTime time() const override { return {startOf(*m_front), m_end.unit}; }
    StageOutcome write(MovieWriter& writer) override {
        std::optional<Item> item = m_queue.pop();
        std::string error;
        if (!item) {
            return StageOutcome::stopped();
        }
        if (!writeItem(writer, *item, error)) {
            return StageOutcome::failed(error);
        }
        m_done = shareOf({endOf(*item), m_end.unit}, m_end);
        return StageOutcome::succeeded();
    }

private:
    BoundedQueue<Item>& m_queue;
    MuxTime m_end;
    const Item* m_front = nullptr;
};

class CopiedFeed : public Feed {
public:
    CopiedFeed(PacketCopier& copier, MediaType type, MuxTime end, PacketPtr packet)
        : m_copier(copier), m_type(type), m_end(end), m_packet(std::move(packet)) {}
    bool next(std::string& error) override {
        if (!m_pending && !m_ended) {
            m_pending = m_copier.next(*m_packet, error);
            m_ended = !m_pending;
            m_done = m_ended ? 1.0 : m_done;
            // A packet without a time goes with the one before.
            const int64_t stamp = m_packet->dts != AV_NOPTS_VALUE ? m_packet->dts : m_packet->pts;
            if (m_pending && stamp != AV_NOPTS_VALUE) {
                m_time = MuxTime{stamp, m_copier.timeBase()};
            }
        }
        return m_pending;
    }
    MuxTime time() const override { return m_time; }
    StageOutcome write(MovieWriter& writer) override {
        std::string error;
        const bool wrote = m_type == MediaType::Video ? writer.writeCopiedVideo(*m_packet, error)
                                                      : writer.writeCopiedAudio(*m_packet, error);
        if (!wrote) {
            return StageOutcome::failed(error);
        }
        m_pending = false;
        m_done = shareOf(m_time, m_end);
        return StageOutcome::succeeded();
    }

private:
    PacketCopier& m_copier;
    MediaType m_type;
    MuxTime m_end;
    PacketPtr m_packet;
    MuxTime m_time{0, {1, 1}};
    bool m_pending = false;
    bool m_ended = false;
};

// One run of an export: plans it, opens the movie, starts the renderers on their own threads
// and feeds what they make, and what is copied, to the movie in time order.
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
        Copiers copiers;
        Renderers renderers;
        planSound(plan, streams);
        // Stretching the sound takes longer than anything else an export with copied pictures
        // does, so it starts before the movie is opened.
        const bool soundFirst = streams.hasAudio && !soundMayBeCopied(plan, streams);
        if (soundFirst) {
            renderers.startAudio(plan, streams.audio, streams.audioEnd);
        }
        if (StageOutcome opened = openMovie(plan, writer, streams, copiers); !opened.ok()) {
            return opened;
        }
        if (streams.hasVideo && !streams.videoCopied) {
            renderers.startVideo(plan, streams.video, streams.videoEnd);
        }
        if (streams.hasAudio && !streams.audioCopied && !soundFirst) {
            renderers.startAudio(plan, streams.audio, streams.audioEnd);
        }
        renderers.closeUnrendered();
        StageOutcome muxed = mux(writer, renderers, streams, copiers);
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
    // The streams copied from the source rather than decoded and encoded.
    struct Copiers {
        std::optional<PacketCopier> video;
        std::optional<PacketCopier> audio;
    };

    // Both renderers, each on its own thread, feeding its queue. Queues are bounded in bytes as
    // well as in items, so that huge pictures do not pile up. The sound's holds the seconds
    // stretched while the movie is being opened.
    struct Renderers {
        static constexpr size_t kQueueBytes = 64u << 20;

        BoundedQueue<VideoItem> videoQueue{4, kQueueBytes};
        BoundedQueue<AudioItem> audioQueue{256, kQueueBytes};
        std::atomic<bool> stop{false};
        StageOutcome video;
        StageOutcome audio;
        std::thread videoThread;
        std::thread audioThread;

        Renderers() = default;
        // The renderers take copies of their formats: the movie is still being set up.
        void startVideo(const ExportPlan& plan, VideoFormat format, int64_t last) {
            videoThread = std::thread([this, &plan, format, last] {
                video = renderVideo(plan.video, format, last, videoQueue, stop);
                end(video, videoQueue);
            });
        }
        void startAudio(const ExportPlan& plan, AudioFormat format, int64_t last) {
            audioThread = std::thread([this, &plan, format, last] {
                audio = renderAudio(plan.audio, format, last, audioQueue, stop);
                end(audio, audioQueue);
            });
        }
        // Ends the queues no renderer feeds.
        void closeUnrendered() {
            if (!videoThread.joinable()) {
                videoQueue.close();
            }
            if (!audioThread.joinable()) {
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
                           Copiers& copiers) const {
        std::string error;
        if (!writer.open(path, fileType, error)) {
            return StageOutcome::failed(error);
        }
        if (StageOutcome video = openVideo(plan, writer, streams, copiers.video); !video.ok()) {
            return video;
        }
        if (StageOutcome audio = openAudio(plan, writer, streams, copiers.audio); !audio.ok()) {
            return audio;
        }
        return writer.start(error) ? StageOutcome::succeeded() : StageOutcome::failed(error);
    }

    StageOutcome openVideo(const ExportPlan& plan, MovieWriter& writer, Streams& streams,
                           std::optional<PacketCopier>& copier) const {
        if (plan.video.empty()) {
            return StageOutcome::succeeded();
        }
        std::string error;
        streams.hasVideo = true;
        streams.videoEnd = plan.video.back().targetRange.end().convertScale(kVideoTimescale).value;
        const PlacedSegment& first = plan.video.front();
        if (preset.copyVideo && PacketCopier::applies(plan)) {
            copier.emplace();
            if (!copier->open(first, error)) {
                return StageOutcome::failed(error);
            }
            if (writer.canHold(copier->parameters().codec_id)) {
                writer.setTags(first.source.traits);
                streams.videoCopied = true;
                return writer.addCopiedVideo(copier->parameters(), copier->timeBase(),
                                             copier->frameRate(), first.source, error)
                           ? StageOutcome::succeeded()
                           : StageOutcome::failed(error);
            }
            // The container cannot hold the source's pictures: they are encoded.
            copier.reset();
        }
        presetOutputSize(preset, first.source.naturalWidth, first.source.naturalHeight,
                         streams.video.width, streams.video.height);
        const SourceTraits& traits = first.source.traits;
        writer.setTags(traits);
        // Never silently fewer bits than the source has, also where pictures are made.
        streams.video.pixelFormat = traits.deep ? AV_PIX_FMT_YUV420P10 : AV_PIX_FMT_YUV420P;
        return writer.addVideo(streams.video, preset, first.source, traits, outputFrameRate(first),
                               error)
                   ? StageOutcome::succeeded()
                   : StageOutcome::failed(error);
    }

    // The sound's format and length in the movie.
    static void planSound(const ExportPlan& plan, Streams& streams) {
        if (plan.audio.empty()) {
            return;
        }
        const AssetTrack& source = plan.audio.front().source;
        streams.hasAudio = true;
        streams.audio.sampleRate = pickSampleRate(source.sampleRate);
        streams.audio.channels = pickChannels(source.channels);
        streams.audioEnd =
            plan.audio.back().targetRange.end().convertScale(streams.audio.sampleRate).value;
    }

    static bool soundMayBeCopied(const ExportPlan& plan, const Streams& streams) {
        const AssetTrack& source = plan.audio.front().source;
        return PacketCopier::appliesToSound(plan) &&
               streams.audio.sampleRate == source.sampleRate &&
               streams.audio.channels == source.channels;
    }

    // Sound at its own speed is copied where the movie can hold it as it is and an encoding
    // would keep its rate and channels; any other is decoded, stretched and encoded.
    StageOutcome openAudio(const ExportPlan& plan, MovieWriter& writer, Streams& streams,
                           std::optional<PacketCopier>& copier) const {
        if (!streams.hasAudio) {
            return StageOutcome::succeeded();
        }
        std::string error;
        if (soundMayBeCopied(plan, streams)) {
            copier.emplace();
            if (!copier->open(plan.audio.front(), error)) {
                return StageOutcome::failed(error);
            }
            if (writer.canHold(copier->parameters().codec_id)) {
                streams.audioCopied = true;
                return writer.addCopiedAudio(copier->parameters(), copier->timeBase(), error)
                           ? StageOutcome::succeeded()
                           : StageOutcome::failed(error);
            }
            copier.reset();
        }
        return writer.addAudio(streams.audio, preset, error) ? StageOutcome::succeeded()
                                                             : StageOutcome::failed(error);
    }

    // Hands what is rendered and what is copied to the movie in time order, so that the muxer
    // holds little, until every stream has ended.
    StageOutcome mux(MovieWriter& writer, Renderers& renderers, const Streams& streams,
                     Copiers& copiers) const {
        std::vector<std::unique_ptr<Feed>> feeds;
        auto copied = [&](PacketCopier& copier, MediaType type, MuxTime end) {
            PacketPtr packet = makePacket();
            if (!packet) {
                return false;
            }
            feeds.push_back(std::make_unique<CopiedFeed>(copier, type, end, std::move(packet)));
            return true;
        };
        const MuxTime videoEnd{streams.videoEnd, {1, kVideoTimescale}};
        const MuxTime audioEnd{streams.audioEnd, {1, streams.audio.sampleRate}};
        if (copiers.video) {
            if (!copied(*copiers.video, MediaType::Video, videoEnd)) {
                return StageOutcome::failed("out of memory");
            }
        } else if (streams.hasVideo) {
            feeds.push_back(std::make_unique<QueueFeed<VideoItem>>(renderers.videoQueue, videoEnd));
        }
        if (copiers.audio) {
            if (!copied(*copiers.audio, MediaType::Audio, audioEnd)) {
                return StageOutcome::failed("out of memory");
            }
        } else if (streams.hasAudio) {
            feeds.push_back(std::make_unique<QueueFeed<AudioItem>>(renderers.audioQueue, audioEnd));
        }
        while (true) {
            if (cancelled || renderers.stop) {
                return StageOutcome::stopped();
            }
            // The pictures go first where both are due at once.
            Feed* first = nullptr;
            for (const auto& feed : feeds) {
                std::string error;
                if (feed->next(error)) {
                    if (first == nullptr || isBefore(feed->time(), first->time())) {
                        first = feed.get();
                    }
                } else if (!error.empty()) {
                    return StageOutcome::failed(error);
                }
            }
            if (first == nullptr) {
                return StageOutcome::succeeded();
            }
            if (StageOutcome wrote = first->write(writer); !wrote.ok()) {
                return wrote;
            }
            double done = 1.0;
            for (const auto& feed : feeds) {
                done = std::min(done, feed->done());
            }
            reportProgress(static_cast<float>(0.99 * done));
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
