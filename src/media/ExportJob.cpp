#include "media/ExportJob.h"

#include "media/BoundedQueue.h"
#include "media/ExportPipeline.h"
#include "media/MovieWriter.h"
#include "media/Muxer.h"
#include "media/PictureRenderer.h"
#include "media/SoundRenderer.h"
#include "media/StreamPlan.h"

#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

namespace lento {

namespace {

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

// Both renderers, each on its own thread, feeding its queue, and the first failure of any
// part of the export. Queues are bounded in bytes as well as in items, so that huge
// pictures do not pile up: four 1080p pictures, two 4K ones, one larger (the encoder keeps
// dozens of its own). The sound's holds the seconds stretched while the movie is being
// opened.
class Renderers {
public:
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
            thread = std::thread([this, &queue, render] { queue.close(failures.note(render())); });
        } catch (const std::system_error& failure) {
            return failures.note(StageOutcome::failed(
                std::string("cannot start the export's threads: ") + failure.code().message(),
                AVERROR(failure.code().value())));
        }
        return StageOutcome::succeeded();
    }
};

// Adds the movie's streams, as planned, to the opened `writer` and starts the file.
StageOutcome addStreams(const ExportPlan& plan, const ExportPreset& preset, StreamPlan& streams,
                        MovieWriter& writer) {
    if (streams.hasVideo) {
        const AssetTrack& source = plan.video.front().source;
        writer.setTags(source.traits);
        const StageOutcome added =
            streams.videoCopier ? writer.addCopiedVideo(streams.videoCopier->parameters(),
                                                        streams.videoCopier->timeBase(),
                                                        streams.videoCopier->frameRate(), source)
                                : writer.addVideo(streams.video, preset, source, source.traits,
                                                  streams.videoFrameRate);
        if (!added.ok()) {
            return added;
        }
    }
    if (streams.hasAudio) {
        const StageOutcome added = streams.audioCopier
                                       ? writer.addCopiedAudio(streams.audioCopier->parameters(),
                                                               streams.audioCopier->timeBase())
                                       : writer.addAudio(streams.audio, preset);
        if (!added.ok()) {
            return added;
        }
    }
    return writer.start();
}

} // namespace

StageOutcome ExportJob::run() const {
    const ExportPlan plan = planExport(composition, timeRange);
    if (StageOutcome planned = plan.check(); !planned.ok()) {
        return planned;
    }
    MovieWriter writer;
    StreamPlan streams = planStreams(plan, preset);
    Renderers renderers;
    FirstFailure& failures = renderers.failures;
    const auto makeMovie = [&]() -> StageOutcome {
        // Stretching the sound takes longer than anything else an export with copied pictures
        // does, so it starts before anything is opened.
        const bool soundFirst = streams.hasAudio && !streams.audioMayBeCopied;
        if (soundFirst) {
            if (StageOutcome started = renderers.startAudio(plan, streams.audio, streams.audioEnd);
                !started.ok()) {
                return started;
            }
        }
        if (StageOutcome opened = failures.note(writer.open(path, fileType)); !opened.ok()) {
            return opened;
        }
        if (StageOutcome chosen = failures.note(chooseCopies(plan, preset, fileType, streams));
            !chosen.ok()) {
            return chosen;
        }
        if (StageOutcome added = failures.note(addStreams(plan, preset, streams, writer));
            !added.ok()) {
            return added;
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
        const StageOutcome muxed = failures.note(interleave(
            writer, streams, renderers.videoQueue, renderers.audioQueue,
            [&] { return cancelled || renderers.stop; }, reportProgress));
        if (!muxed.ok()) {
            return muxed;
        }
        if (cancelled) {
            return StageOutcome::stopped();
        }
        return failures.note(writer.finish(streams.videoEnd));
    };
    const StageOutcome written = makeMovie();
    renderers.stopAndJoin();
    if (std::optional<StageOutcome> failure = failures.first()) {
        return *failure;
    }
    return cancelled ? StageOutcome::stopped() : written;
}

} // namespace lento
