#include "media/ExportSession.h"

#include "media/ExportPipeline.h"
#include "media/FfmpegHandles.h"
#include "media/OutputFile.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <map>
#include <optional>
#include <system_error>
#include <thread>

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
        return true;
    }

    bool addVideo(const VideoFormat& format, const ExportPreset& preset, const AssetTrack& source,
                  double frameRate, std::string& error) {
        const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
        if (codec == nullptr) {
            error = "the H.264 encoder is missing";
            return false;
        }
        m_video.reset(avcodec_alloc_context3(codec));
        AVCodecContext& encoder = *m_video;
        encoder.width = format.width;
        encoder.height = format.height;
        encoder.pix_fmt = AV_PIX_FMT_YUV420P;
        encoder.time_base = AVRational{1, kVideoTimescale};
        if (frameRate > 0) {
            encoder.framerate = av_d2q(frameRate, 100000);
        }
        // Two frame threads a core rather than x264's one and a half: the decoding and sound
        // threads wait on their queues now and then, and the extra encoder thread fills those
        // gaps (about 3% faster on two cores, for a dozen megabytes).
        const unsigned cores = std::thread::hardware_concurrency();
        encoder.thread_count = cores == 0 ? 0 : static_cast<int>(std::min(2 * cores, 16u));
        if ((m_output->oformat->flags & AVFMT_GLOBALHEADER) != 0) {
            encoder.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        }
        av_opt_set(encoder.priv_data, "preset", preset.x264Preset, 0);
        av_opt_set(encoder.priv_data, "crf", std::to_string(preset.crf).c_str(), 0);
        av_opt_set(encoder.priv_data, "profile", "high", 0);
        const int result = avcodec_open2(&encoder, codec, nullptr);
        if (result < 0) {
            error = "cannot start the H.264 encoder: " + ffmpegError(result);
            return false;
        }
        m_videoStream = avformat_new_stream(m_output.get(), nullptr);
        avcodec_parameters_from_context(m_videoStream->codecpar, &encoder);
        m_videoStream->time_base = encoder.time_base;
        if (source.hasDisplayMatrix) {
            uint8_t* matrix = av_stream_new_side_data(m_videoStream, AV_PKT_DATA_DISPLAYMATRIX,
                                                      sizeof source.displayMatrix);
            if (matrix != nullptr) {
                std::memcpy(matrix, source.displayMatrix.data(), sizeof source.displayMatrix);
            }
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
        m_audioStream = avformat_new_stream(m_output.get(), nullptr);
        avcodec_parameters_from_context(m_audioStream->codecpar, &encoder);
        m_audioStream->time_base = encoder.time_base;
        return true;
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

    bool finish(std::string& error) {
        if (m_video && !encode(*m_video, m_videoStream, nullptr, error)) {
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
            }
            av_packet_rescale_ts(m_packet.get(), encoder.time_base, stream->time_base);
            m_packet->stream_index = stream->index;
            result = av_interleaved_write_frame(m_output.get(), m_packet.get());
            if (result < 0) {
                error = "cannot write the file: " + ffmpegError(result);
                return false;
            }
        }
        if (result != AVERROR(EAGAIN) && result != AVERROR_EOF) {
            error = "cannot encode: " + ffmpegError(result);
            return false;
        }
        return true;
    }

    OutputContextPtr m_output;
    std::string m_path;
    PacketPtr m_packet;
    CodecContextPtr m_video;
    CodecContextPtr m_audio;
    AVStream* m_videoStream = nullptr;      // owned by m_output
    AVStream* m_audioStream = nullptr;      // owned by m_output
    std::map<int64_t, int64_t> m_durations; // picture durations by time stamp, until encoded
};

const CompositionTrack* firstTrackWithMedia(const Composition& composition, MediaType type) {
    for (CompositionTrack* track : composition.tracksWithMediaType(type)) {
        if (track->hasMedia()) {
            return track;
        }
    }
    return nullptr;
}

// One run of an export: places the composition's segments, starts the renderers on their own
// threads and feeds what they make to the encoders in time order.
struct ExportJob {
    const Composition& composition;
    const ExportPreset& preset;
    MediaTimeRange timeRange;
    FileType fileType;
    const std::string& path;
    const std::atomic<bool>& cancelled;
    std::function<void(float)> reportProgress;

    bool run(std::string& error) {
        MediaTimeRange range = timeRange;
        if (!range.isValid() || !range.duration.isNumeric() || range.isEmpty()) {
            range = MediaTimeRange::make(MediaTime::zero(), composition.duration());
        }
        const CompositionTrack* videoTrack = firstTrackWithMedia(composition, MediaType::Video);
        const CompositionTrack* audioTrack = firstTrackWithMedia(composition, MediaType::Audio);
        const std::vector<PlacedSegment> videoSegments =
            videoTrack ? placeSegments(*videoTrack, range) : std::vector<PlacedSegment>();
        const std::vector<PlacedSegment> audioSegments =
            audioTrack ? placeSegments(*audioTrack, range) : std::vector<PlacedSegment>();
        if (videoSegments.empty() && audioSegments.empty()) {
            error = "there is nothing to export";
            return false;
        }

        MovieWriter writer;
        if (!writer.open(path, fileType, error)) {
            return false;
        }
        VideoFormat videoFormat;
        int64_t videoEnd = 0;
        if (!videoSegments.empty()) {
            const PlacedSegment& first = videoSegments.front();
            presetOutputSize(preset, first.source.naturalWidth, first.source.naturalHeight,
                             videoFormat.width, videoFormat.height);
            const double stretch =
                first.targetRange.duration.seconds() / first.sourceRange.duration.seconds();
            const double frameRate = stretch > 0 ? first.source.nominalFrameRate / stretch : 0.0;
            if (!writer.addVideo(videoFormat, preset, first.source, frameRate, error)) {
                return false;
            }
            videoEnd = videoSegments.back().targetRange.end().convertScale(kVideoTimescale).value;
        }
        AudioFormat audioFormat;
        int64_t audioEnd = 0;
        if (!audioSegments.empty()) {
            const AssetTrack& source = audioSegments.front().source;
            audioFormat.sampleRate = pickSampleRate(source.sampleRate);
            audioFormat.channels = std::clamp(source.channels, 1, 2);
            if (!writer.addAudio(audioFormat, preset, error)) {
                return false;
            }
            audioEnd =
                audioSegments.back().targetRange.end().convertScale(audioFormat.sampleRate).value;
        }
        if (!writer.start(error)) {
            return false;
        }

        std::atomic<bool> stop{false};
        BoundedQueue<VideoItem> videoQueue(4);
        BoundedQueue<AudioItem> audioQueue(32);
        std::string videoError;
        std::string audioError;
        std::thread videoThread;
        std::thread audioThread;
        if (!videoSegments.empty()) {
            videoThread = std::thread([&] {
                videoError = renderVideo(videoSegments, videoFormat, videoEnd, videoQueue, stop);
                if (!videoError.empty()) {
                    stop = true;
                }
                videoQueue.close();
            });
        } else {
            videoQueue.close();
        }
        if (!audioSegments.empty()) {
            audioThread = std::thread([&] {
                audioError = renderAudio(audioSegments, audioFormat, audioEnd, audioQueue, stop);
                if (!audioError.empty()) {
                    stop = true;
                }
                audioQueue.close();
            });
        } else {
            audioQueue.close();
        }

        bool ok = true;
        double videoDone = videoSegments.empty() ? 1.0 : 0.0;
        double audioDone = audioSegments.empty() ? 1.0 : 0.0;
        while (ok) {
            if (cancelled || stop) {
                ok = false;
                break;
            }
            const VideoItem* video = videoQueue.front();
            const AudioItem* audio = audioQueue.front();
            if (video == nullptr && audio == nullptr) {
                break;
            }
            // Feed the encoders in time order so that the muxer holds little.
            const bool videoFirst =
                video != nullptr &&
                (audio == nullptr ||
                 static_cast<__int128>(video->pts) * audioFormat.sampleRate <=
                     static_cast<__int128>(audio->firstSample) * kVideoTimescale);
            if (videoFirst) {
                std::optional<VideoItem> item = videoQueue.pop();
                ok = writer.writeVideo(*item, error);
                videoDone =
                    double(item->pts + item->duration) / double(std::max<int64_t>(1, videoEnd));
            } else {
                std::optional<AudioItem> item = audioQueue.pop();
                ok = writer.writeAudio(*item, error);
                audioDone = double(item->firstSample + item->frame->nb_samples) /
                            double(std::max<int64_t>(1, audioEnd));
            }
            reportProgress(static_cast<float>(0.99 * std::min({videoDone, audioDone, 1.0})));
        }
        stop = true;
        videoQueue.abort();
        audioQueue.abort();
        if (videoThread.joinable()) {
            videoThread.join();
        }
        if (audioThread.joinable()) {
            audioThread.join();
        }
        if (!videoError.empty() || !audioError.empty()) {
            error = !videoError.empty() ? videoError : audioError;
            return false;
        }
        if (!ok || cancelled) {
            return false;
        }
        return writer.finish(error);
    }
};
} // namespace

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
    return job.run(error) && !m_cancelled && output.commit(error);
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
