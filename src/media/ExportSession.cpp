#include "media/ExportSession.h"

#include "media/ExportPipeline.h"
#include "media/FfmpegHandles.h"
#include "media/FrameStage.h"
#include "media/MovieWriter.h"
#include "media/OutputFile.h"
#include "media/PacketCopy.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
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
    // Waits for the stream's next item, succeeding with `ended` set once the stream has ended
    // whole; fails or stops as the stream's producer did.
    virtual StageOutcome next(bool& ended) = 0;
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
StageOutcome writeItem(MovieWriter& writer, VideoItem& item) {
    return writer.writeVideo(item);
}
int64_t startOf(const AudioItem& item) {
    return item.firstSample;
}
int64_t endOf(const AudioItem& item) {
    return item.firstSample + item.frame->nb_samples;
}
StageOutcome writeItem(MovieWriter& writer, AudioItem& item) {
    return writer.writeAudio(item);
}

// A stream encoded from what a renderer puts in its queue; `end` is the stream's length, in the
// unit of its items' times.
template <typename Item> class QueueFeed : public Feed {
public:
    QueueFeed(BoundedQueue<Item>& queue, MuxTime end) : m_queue(queue), m_end(end) {}
    StageOutcome next(bool& ended) override {
        m_front = m_queue.front();
        ended = m_front == nullptr;
        if (!ended) {
            return StageOutcome::succeeded();
        }
        m_done = 1.0;
        return m_queue.ending();
    }
    MuxTime time() const override { return {startOf(*m_front), m_end.unit}; }
    StageOutcome write(MovieWriter& writer) override {
        std::optional<Item> item = m_queue.pop();
        if (!item) {
            return StageOutcome::stopped();
        }
        if (StageOutcome written = writeItem(writer, *item); !written.ok()) {
            return written;
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
    StageOutcome next(bool& ended) override {
        if (!m_pending && !m_ended) {
            if (StageOutcome read = m_copier.next(*m_packet, m_ended); !read.ok()) {
                return read;
            }
            m_pending = !m_ended;
            m_done = m_ended ? 1.0 : m_done;
            // A packet without a time goes with the one before.
            const int64_t stamp = m_packet->dts != AV_NOPTS_VALUE ? m_packet->dts : m_packet->pts;
            if (m_pending && stamp != AV_NOPTS_VALUE) {
                m_time = MuxTime{stamp, m_copier.timeBase()};
            }
        }
        ended = !m_pending;
        return StageOutcome::succeeded();
    }
    MuxTime time() const override { return m_time; }
    StageOutcome write(MovieWriter& writer) override {
        const StageOutcome written = m_type == MediaType::Video
                                         ? writer.writeCopiedVideo(*m_packet)
                                         : writer.writeCopiedAudio(*m_packet);
        if (!written.ok()) {
            return written;
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

// The first failure of any part of one export, which is the one reported: later ones are
// mostly its consequences (a renderer whose queue is gone, a writer whose disk is full), and
// the parts that merely stopped because of it have nothing to say. Any failure stops the
// other parts.
class FirstFailure {
public:
    explicit FirstFailure(std::atomic<bool>& stop) : m_stop(stop) {}

    // Keeps `outcome` when it is the first failure; passes it on.
    const StageOutcome& note(const StageOutcome& outcome) {
        if (outcome.isFailure()) {
            std::lock_guard lock(m_mutex);
            if (!m_first) {
                m_first = outcome;
            }
            m_stop = true;
        }
        return outcome;
    }

    std::optional<StageOutcome> first() const {
        std::lock_guard lock(m_mutex);
        return m_first;
    }

private:
    std::atomic<bool>& m_stop;
    mutable std::mutex m_mutex;
    std::optional<StageOutcome> m_first;
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
        if (StageOutcome planned = plan.check(); !planned.ok()) {
            return planned;
        }
        MovieWriter writer;
        Streams streams;
        Copiers copiers;
        Renderers renderers;
        const StageOutcome written = makeMovie(plan, writer, streams, copiers, renderers);
        renderers.stopAndJoin();
        if (std::optional<StageOutcome> failure = renderers.failures.first()) {
            return *failure;
        }
        return cancelled ? StageOutcome::stopped() : written;
    }

private:
    // The streams copied from the source rather than decoded and encoded.
    struct Copiers {
        std::optional<PacketCopier> video;
        std::optional<PacketCopier> audio;
    };

    // Both renderers, each on its own thread, feeding its queue, and the first failure of any
    // part of the export. Queues are bounded in bytes as well as in items, so that huge
    // pictures do not pile up: four 1080p pictures, two 4K ones, one larger (the encoder keeps
    // dozens of its own). The sound's holds the seconds stretched while the movie is being
    // opened.
    struct Renderers {
        static constexpr size_t kPictureQueueBytes = 32u << 20;
        static constexpr size_t kSoundQueueBytes = 64u << 20;

        BoundedQueue<VideoItem> videoQueue{4, kPictureQueueBytes};
        BoundedQueue<AudioItem> audioQueue{256, kSoundQueueBytes};
        std::atomic<bool> stop{false};
        FirstFailure failures{stop};
        std::thread videoThread;
        std::thread audioThread;

        Renderers() = default;
        Renderers(const Renderers&) = delete;
        Renderers& operator=(const Renderers&) = delete;
        ~Renderers() { stopAndJoin(); }

        // The renderers take copies of their formats: the movie is still being set up.
        StageOutcome startVideo(const ExportPlan& plan, VideoFormat format, int64_t last) {
            return startThread(videoThread, videoQueue, [this, &plan, format, last] {
                return renderVideo(plan.video, format, last, videoQueue, stop);
            });
        }
        StageOutcome startAudio(const ExportPlan& plan, AudioFormat format, int64_t last) {
            return startThread(audioThread, audioQueue, [this, &plan, format, last] {
                return renderAudio(plan.audio, format, last, audioQueue, stop);
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

    private:
        // Runs `render` on `thread`; its outcome closes the queue it fills.
        template <typename Item, typename Render>
        StageOutcome startThread(std::thread& thread, BoundedQueue<Item>& queue, Render render) {
            try {
                thread =
                    std::thread([this, &queue, render] { queue.close(failures.note(render())); });
            } catch (const std::system_error& failure) {
                return failures.note(StageOutcome::failed(
                    std::string("cannot start the export's threads: ") + failure.code().message(),
                    AVERROR(failure.code().value())));
            }
            return StageOutcome::succeeded();
        }
    };

    // Opens the movie, starts what makes its streams and writes them; what failed first wins.
    StageOutcome makeMovie(const ExportPlan& plan, MovieWriter& writer, Streams& streams,
                           Copiers& copiers, Renderers& renderers) const {
        FirstFailure& failures = renderers.failures;
        planSound(plan, streams);
        // Stretching the sound takes longer than anything else an export with copied pictures
        // does, so it starts before the movie is opened.
        const bool soundFirst = streams.hasAudio && !soundMayBeCopied(plan, streams);
        if (soundFirst) {
            if (StageOutcome started = renderers.startAudio(plan, streams.audio, streams.audioEnd);
                !started.ok()) {
                return started;
            }
        }
        if (StageOutcome opened = failures.note(openMovie(plan, writer, streams, copiers));
            !opened.ok()) {
            return opened;
        }
        if (streams.hasVideo && !streams.videoCopied) {
            if (StageOutcome started = renderers.startVideo(plan, streams.video, streams.videoEnd);
                !started.ok()) {
                return started;
            }
        }
        if (streams.hasAudio && !streams.audioCopied && !soundFirst) {
            if (StageOutcome started = renderers.startAudio(plan, streams.audio, streams.audioEnd);
                !started.ok()) {
                return started;
            }
        }
        renderers.closeUnrendered();
        if (StageOutcome muxed = failures.note(mux(writer, renderers, streams, copiers));
            !muxed.ok()) {
            return muxed;
        }
        if (cancelled) {
            return StageOutcome::stopped();
        }
        return failures.note(writer.finish(streams.videoEnd));
    }

    StageOutcome openMovie(const ExportPlan& plan, MovieWriter& writer, Streams& streams,
                           Copiers& copiers) const {
        if (StageOutcome opened = writer.open(path, fileType); !opened.ok()) {
            return opened;
        }
        if (StageOutcome video = openVideo(plan, writer, streams, copiers.video); !video.ok()) {
            return video;
        }
        if (StageOutcome audio = openAudio(plan, writer, streams, copiers.audio); !audio.ok()) {
            return audio;
        }
        return writer.start();
    }

    StageOutcome openVideo(const ExportPlan& plan, MovieWriter& writer, Streams& streams,
                           std::optional<PacketCopier>& copier) const {
        if (plan.video.empty()) {
            return StageOutcome::succeeded();
        }
        streams.hasVideo = true;
        streams.videoEnd = plan.video.back().targetRange.end().convertScale(kVideoTimescale).value;
        const PlacedSegment& first = plan.video.front();
        if (preset.copyVideo && PacketCopier::applies(plan)) {
            copier.emplace();
            if (StageOutcome opened = copier->open(first); !opened.ok()) {
                return opened;
            }
            if (writer.canHold(copier->parameters().codec_id)) {
                writer.setTags(first.source.traits);
                streams.videoCopied = true;
                return writer.addCopiedVideo(copier->parameters(), copier->timeBase(),
                                             copier->frameRate(), first.source);
            }
            // The container cannot hold the source's pictures: they are encoded.
            copier.reset();
        }
        const PictureSize size =
            presetOutputSize(preset, {first.source.naturalWidth, first.source.naturalHeight,
                                      first.source.sampleAspect});
        streams.video.width = size.width;
        streams.video.height = size.height;
        streams.video.sampleAspect = size.sampleAspect;
        const SourceTraits& traits = first.source.traits;
        writer.setTags(traits);
        // Never silently fewer bits than the source has, also where pictures are made.
        streams.video.pixelFormat = traits.deep ? AV_PIX_FMT_YUV420P10 : AV_PIX_FMT_YUV420P;
        return writer.addVideo(streams.video, preset, first.source, traits, outputFrameRate(first));
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
        if (soundMayBeCopied(plan, streams)) {
            copier.emplace();
            if (StageOutcome opened = copier->open(plan.audio.front()); !opened.ok()) {
                return opened;
            }
            if (writer.canHold(copier->parameters().codec_id)) {
                streams.audioCopied = true;
                return writer.addCopiedAudio(copier->parameters(), copier->timeBase());
            }
            copier.reset();
        }
        return writer.addAudio(streams.audio, preset);
    }

    // The movie's streams as the muxing loop takes them.
    static StageOutcome makeFeeds(Renderers& renderers, const Streams& streams, Copiers& copiers,
                                  std::vector<std::unique_ptr<Feed>>& feeds) {
        const auto copied = [&](PacketCopier& copier, MediaType type, MuxTime end) {
            PacketPtr packet = makePacket();
            if (!packet) {
                return StageOutcome::outOfMemory();
            }
            feeds.push_back(std::make_unique<CopiedFeed>(copier, type, end, std::move(packet)));
            return StageOutcome::succeeded();
        };
        const MuxTime videoEnd{streams.videoEnd, {1, kVideoTimescale}};
        const MuxTime audioEnd{streams.audioEnd, {1, streams.audio.sampleRate}};
        if (copiers.video) {
            if (StageOutcome made = copied(*copiers.video, MediaType::Video, videoEnd);
                !made.ok()) {
                return made;
            }
        } else if (streams.hasVideo) {
            feeds.push_back(std::make_unique<QueueFeed<VideoItem>>(renderers.videoQueue, videoEnd));
        }
        if (copiers.audio) {
            return copied(*copiers.audio, MediaType::Audio, audioEnd);
        }
        if (streams.hasAudio) {
            feeds.push_back(std::make_unique<QueueFeed<AudioItem>>(renderers.audioQueue, audioEnd));
        }
        return StageOutcome::succeeded();
    }

    // Hands what is rendered and what is copied to the movie in time order, so that the muxer
    // holds little, until every stream has ended.
    StageOutcome mux(MovieWriter& writer, Renderers& renderers, const Streams& streams,
                     Copiers& copiers) const {
        std::vector<std::unique_ptr<Feed>> feeds;
        if (StageOutcome made = makeFeeds(renderers, streams, copiers, feeds); !made.ok()) {
            return made;
        }
        while (true) {
            if (cancelled || renderers.stop) {
                return StageOutcome::stopped();
            }
            // The pictures go first where both are due at once.
            Feed* first = nullptr;
            for (const auto& feed : feeds) {
                bool ended = false;
                if (StageOutcome next = feed->next(ended); !next.ok()) {
                    return next;
                }
                if (!ended && (first == nullptr || isBefore(feed->time(), first->time()))) {
                    first = feed.get();
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

StageOutcome ExportSession::outcome() const {
    std::lock_guard lock(m_outcomeMutex);
    return m_outcome;
}

std::string ExportSession::error() const {
    const StageOutcome ended = outcome();
    return ended.isFailure() ? ended.message : std::string();
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
        settle(StageOutcome::failed(std::string("cannot start the export: ") +
                                        failure.code().message(),
                                    AVERROR(failure.code().value())));
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

namespace {

// A failure of the output file, with the system's error where one was left.
StageOutcome systemFailure(std::string message) {
    const int code = errno;
    return StageOutcome::failed(std::move(message), code != 0 ? AVERROR(code) : 0);
}

} // namespace

void ExportSession::run() {
    m_status = Status::Exporting;
    settle(writeMovie());
    end();
}

void ExportSession::settle(const StageOutcome& outcome) {
    {
        std::lock_guard lock(m_outcomeMutex);
        m_outcome = outcome;
    }
    switch (outcome.kind) {
    case StageOutcome::Kind::Succeeded:
        raiseProgress(1.0f);
        m_status = Status::Completed;
        break;
    case StageOutcome::Kind::Stopped:
        m_status = Status::Cancelled;
        break;
    case StageOutcome::Kind::Failed:
        m_status = Status::Failed;
        break;
    }
}

StageOutcome ExportSession::writeMovie() {
    // Made before any work, so that a destination that cannot be written fails at once.
    OutputFile output;
    std::string error;
    errno = 0;
    if (!output.open(m_outputPath, error)) {
        return systemFailure(error);
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
        return outcome;
    }
    if (m_cancelled) {
        return StageOutcome::stopped();
    }
    errno = 0;
    if (!output.commit(error)) {
        return systemFailure(error);
    }
    return StageOutcome::succeeded();
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
