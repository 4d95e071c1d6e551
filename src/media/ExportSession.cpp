#include "media/ExportSession.h"

#include "media/ExportPipeline.h"
#include "media/FfmpegHandles.h"
#include "media/FrameStage.h"
#include "media/OutputFile.h"

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

int pickSampleRate(int sourceRate) {
    static const int supported[] = {96000, 88200, 64000, 48000, 44100, 32000,
                                    24000, 22050, 16000, 12000, 11025, 8000};
    for (int rate : supported) {
        if (rate == sourceRate) {
            return rate;
        }
    }
    return 48000;
}

// The encoders and the muxer of one export.
class MovieWriter {
public:
    bool open(const std::string& path, FileType type, std::string& error) {
        AVFormatContext* raw = nullptr;
        const int result =
            avformat_alloc_output_context2(&raw, nullptr, fileTypeMuxer(type), path.c_str());
        if (result < 0 || raw == nullptr) {
            error = "cannot write this file type: " + ffmpegError(result);
            return false;
        }
        m_output.reset(raw);
        m_path = path;
        m_packet = makePacket();
        m_heldVideo = makePacket();
        if (!m_packet || !m_heldVideo) {
            error = "out of memory";
            return false;
        }
        return true;
    }

    bool addVideo(const VideoFormat& format, const ExportPreset& preset, const AssetTrack& source,
                  AVRational frameRate, std::string& error) {
        const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
        if (codec == nullptr) {
            error = "the H.264 encoder is missing";
            return false;
        }
        m_video.reset(avcodec_alloc_context3(codec));
        if (!m_video) {
            error = "out of memory";
            return false;
        }
        AVCodecContext& encoder = *m_video;
        encoder.width = format.width;
        encoder.height = format.height;
        encoder.pix_fmt = AV_PIX_FMT_YUV420P;
        encoder.time_base = AVRational{1, kVideoTimescale};
        if (frameRate.num > 0 && frameRate.den > 0) {
            encoder.framerate = frameRate;
        }
        // Two frame threads a core rather than x264's one and a half: the decoding and sound
        // threads wait on their queues now and then, and the extra encoder thread fills those
        // gaps (about 3% faster on two cores, for a dozen megabytes).
        const unsigned cores = std::thread::hardware_concurrency();
        encoder.thread_count = cores == 0 ? 0 : static_cast<int>(std::min(2 * cores, 16u));
        if ((m_output->oformat->flags & AVFMT_GLOBALHEADER) != 0) {
            encoder.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        }
        int result = av_opt_set(encoder.priv_data, "preset", preset.x264Preset, 0);
        if (result >= 0) {
            result = av_opt_set(encoder.priv_data, "crf", std::to_string(preset.crf).c_str(), 0);
        }
        if (result >= 0) {
            result = av_opt_set(encoder.priv_data, "profile", "high", 0);
        }
        if (result >= 0) {
            result = avcodec_open2(&encoder, codec, nullptr);
        }
        if (result < 0) {
            error = "cannot start the H.264 encoder: " + ffmpegError(result);
            return false;
        }
        m_videoStream = addStream(encoder, error);
        if (m_videoStream == nullptr) {
            return false;
        }
        if (source.hasDisplayMatrix) {
            uint8_t* matrix = av_stream_new_side_data(m_videoStream, AV_PKT_DATA_DISPLAYMATRIX,
                                                      sizeof source.displayMatrix);
            if (matrix == nullptr) {
                error = "out of memory";
                return false;
            }
            std::memcpy(matrix, source.displayMatrix.data(), sizeof source.displayMatrix);
        }
        return true;
    }

    bool addAudio(AudioFormat& format, const ExportPreset& preset, std::string& error) {
        const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
        if (codec == nullptr) {
            error = "the AAC encoder is missing";
            return false;
        }
        m_audio.reset(avcodec_alloc_context3(codec));
        if (!m_audio) {
            error = "out of memory";
            return false;
        }
        AVCodecContext& encoder = *m_audio;
        encoder.sample_fmt = AV_SAMPLE_FMT_FLTP;
        encoder.sample_rate = format.sampleRate;
        av_channel_layout_default(&encoder.ch_layout, format.channels);
        encoder.bit_rate = preset.audioBitRate;
        encoder.time_base = AVRational{1, format.sampleRate};
        if ((m_output->oformat->flags & AVFMT_GLOBALHEADER) != 0) {
            encoder.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        }
        const int result = avcodec_open2(&encoder, codec, nullptr);
        if (result < 0) {
            error = "cannot start the AAC encoder: " + ffmpegError(result);
            return false;
        }
        format.frameSize = encoder.frame_size > 0 ? encoder.frame_size : 1024;
        m_audioStream = addStream(encoder, error);
        return m_audioStream != nullptr;
    }

    bool start(std::string& error) {
        int result = avio_open(&m_output->pb, m_path.c_str(), AVIO_FLAG_WRITE);
        if (result < 0) {
            error = "cannot create the file: " + ffmpegError(result);
            return false;
        }
        result = avformat_write_header(m_output.get(), nullptr);
        if (result < 0) {
            error = "cannot write the file: " + ffmpegError(result);
            return false;
        }
        return true;
    }

    bool writeVideo(VideoItem& item, std::string& error) {
        item.frame->pts = item.pts;
        item.frame->pict_type = AV_PICTURE_TYPE_NONE;
        m_durations[item.pts] = item.duration;
        return encode(*m_video, m_videoStream, item.frame.get(), error);
    }

    bool writeAudio(AudioItem& item, std::string& error) {
        item.frame->pts = item.firstSample;
        return encode(*m_audio, m_audioStream, item.frame.get(), error);
    }

    // Flushes the encoders and closes the file; the pictures last until `videoEnd` (in
    // kVideoTimescale units).
    bool finish(int64_t videoEnd, std::string& error) {
        if (m_video &&
            !(encode(*m_video, m_videoStream, nullptr, error) && writeHeldVideo(videoEnd, error))) {
            return false;
        }
        if (m_audio && !encode(*m_audio, m_audioStream, nullptr, error)) {
            return false;
        }
        int result = av_write_trailer(m_output.get());
        if (result < 0) {
            error = "cannot finish the file: " + ffmpegError(result);
            return false;
        }
        result = avio_closep(&m_output->pb);
        if (result < 0) {
            error = "cannot finish the file: " + ffmpegError(result);
            return false;
        }
        return true;
    }

    // Closes the file without finishing it.
    void abandon() { m_output.reset(); }

private:
    // A stream of the movie that carries what `encoder` makes.
    AVStream* addStream(const AVCodecContext& encoder, std::string& error) {
        AVStream* stream = avformat_new_stream(m_output.get(), nullptr);
        if (stream == nullptr) {
            error = "out of memory";
            return nullptr;
        }
        const int result = avcodec_parameters_from_context(stream->codecpar, &encoder);
        if (result < 0) {
            error = "cannot describe the encoded stream: " + ffmpegError(result);
            return nullptr;
        }
        stream->time_base = encoder.time_base;
        return stream;
    }

    bool encode(AVCodecContext& encoder, AVStream* stream, AVFrame* frame, std::string& error) {
        int result = avcodec_send_frame(&encoder, frame);
        if (result < 0) {
            error = "cannot encode: " + ffmpegError(result);
            return false;
        }
        while ((result = avcodec_receive_packet(&encoder, m_packet.get())) == 0) {
            if (&encoder == m_video.get()) {
                const auto found = m_durations.find(m_packet->pts);
                if (found != m_durations.end()) {
                    m_packet->duration = found->second;
                    m_durations.erase(found);
                }
                if (m_firstVideoDts == AV_NOPTS_VALUE) {
                    m_firstVideoDts = m_packet->dts;
                }
                // Each picture packet waits for the next, so that the last one can be given
                // the duration that makes the track last its full length.
                std::swap(m_packet, m_heldVideo);
                const bool held = std::exchange(m_holdingVideo, true);
                if (!held) {
                    continue;
                }
                m_lastVideoDts = m_packet->dts;
            }
            if (!write(*m_packet, encoder, *stream, error)) {
                return false;
            }
        }
        if (result != AVERROR(EAGAIN) && result != AVERROR_EOF) {
            error = "cannot encode: " + ffmpegError(result);
            return false;
        }
        return true;
    }

    bool write(AVPacket& packet, const AVCodecContext& encoder, const AVStream& stream,
               std::string& error) {
        av_packet_rescale_ts(&packet, encoder.time_base, stream.time_base);
        packet.stream_index = stream.index;
        const int result = av_interleaved_write_frame(m_output.get(), &packet);
        if (result < 0) {
            error = "cannot write the file: " + ffmpegError(result);
            return false;
        }
        return true;
    }

    // The muxer measures a track from its first decoding time to the last packet's decoding
    // time plus its duration, and shows it up to the latest showing time plus duration. B-frames
    // are decoded a few pictures ahead of their showing, and once pictures are stretched that
    // lead changes in time: a track whose last part is slowed came out a few pictures short.
    // The last packet is decoded with the lead the track started with, as far as its neighbours
    // allow, and lasts until `videoEnd` (the first picture is shown at 0), so that both
    // measures agree.
    bool writeHeldVideo(int64_t videoEnd, std::string& error) {
        if (!std::exchange(m_holdingVideo, false)) {
            return true;
        }
        AVPacket& last = *m_heldVideo;
        const int64_t leadAtStart = std::max<int64_t>(0, -m_firstVideoDts);
        last.dts = std::clamp(last.pts - leadAtStart, m_lastVideoDts + 1, last.pts);
        last.duration = std::max<int64_t>(1, videoEnd - last.pts);
        return write(last, *m_video, *m_videoStream, error);
    }

    OutputContextPtr m_output;
    std::string m_path;
    PacketPtr m_packet;
    PacketPtr m_heldVideo; // the latest picture packet, not yet written
    bool m_holdingVideo = false;
    int64_t m_firstVideoDts = AV_NOPTS_VALUE;
    int64_t m_lastVideoDts = INT64_MIN + 1; // of the latest picture packet written
    CodecContextPtr m_video;
    CodecContextPtr m_audio;
    AVStream* m_videoStream = nullptr;      // owned by m_output
    AVStream* m_audioStream = nullptr;      // owned by m_output
    std::map<int64_t, int64_t> m_durations; // picture durations by time stamp, until encoded
};

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
        if (StageOutcome opened = openMovie(plan, writer, streams); !opened.ok()) {
            return opened;
        }
        Renderers renderers(plan, streams);
        StageOutcome muxed = mux(writer, renderers, streams);
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
            if (streams.hasVideo) {
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

    StageOutcome openMovie(const ExportPlan& plan, MovieWriter& writer, Streams& streams) const {
        std::string error;
        if (!writer.open(path, fileType, error)) {
            return StageOutcome::failed(error);
        }
        if (!plan.video.empty()) {
            const PlacedSegment& first = plan.video.front();
            presetOutputSize(preset, first.source.naturalWidth, first.source.naturalHeight,
                             streams.video.width, streams.video.height);
            if (!writer.addVideo(streams.video, preset, first.source, outputFrameRate(first),
                                 error)) {
                return StageOutcome::failed(error);
            }
            streams.hasVideo = true;
            streams.videoEnd =
                plan.video.back().targetRange.end().convertScale(kVideoTimescale).value;
        }
        if (!plan.audio.empty()) {
            const AssetTrack& source = plan.audio.front().source;
            streams.audio.sampleRate = pickSampleRate(source.sampleRate);
            streams.audio.channels = std::clamp(source.channels, 1, 2);
            if (!writer.addAudio(streams.audio, preset, error)) {
                return StageOutcome::failed(error);
            }
            streams.hasAudio = true;
            streams.audioEnd =
                plan.audio.back().targetRange.end().convertScale(streams.audio.sampleRate).value;
        }
        return writer.start(error) ? StageOutcome::succeeded() : StageOutcome::failed(error);
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
                std::optional<AudioItem> item = renderers.audioQueue.pop();
                if (!item) {
                    return StageOutcome::stopped();
                }
                if (!writer.writeAudio(*item, error)) {
                    return StageOutcome::failed(error);
                }
                audioDone = double(item->firstSample + item->frame->nb_samples) /
                            double(std::max<int64_t>(1, streams.audioEnd));
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
