#include "media/TrackOverview.h"

#include "media/Asset.h"
#include "media/FfmpegHandles.h"

extern "C" {
#include <libavutil/samplefmt.h>
}

#include <QMetaObject>
#include <QTransform>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <utility>

namespace lento {

namespace {

using Clock = std::chrono::steady_clock;

// How often a partial waveform goes to the main thread: often enough to grow visibly, rarely
// enough that copying it costs nothing.
constexpr auto kWaveformPostInterval = std::chrono::milliseconds(100);

// The first thumbnail, then the middle one, then the quarters and so on: the whole strip is
// sketched before any part of it is filled in.
std::vector<int> coarseToFine(int count) {
    std::vector<int> order;
    std::vector<bool> taken(static_cast<size_t>(count), false);
    int step = 1;
    while (step < count) {
        step *= 2;
    }
    for (; step >= 1; step /= 2) {
        for (int i = 0; i < count; i += step) {
            if (!taken[static_cast<size_t>(i)]) {
                taken[static_cast<size_t>(i)] = true;
                order.push_back(i);
            }
        }
    }
    return order;
}

// The file opened for one stream of one kind, the others discarded by the demuxer.
struct OpenStream {
    InputContextPtr input;
    CodecContextPtr decoder;
    AVStream* stream = nullptr;
};

bool openStream(const std::string& path, AVMediaType type, OpenStream& open, std::string& error) {
    open.input = openInputFile(path, error);
    if (!open.input) {
        return false;
    }
    const int index = av_find_best_stream(open.input.get(), type, -1, -1, nullptr, 0);
    if (index < 0) {
        error = ffmpegError(index);
        return false;
    }
    for (unsigned i = 0; i < open.input->nb_streams; ++i) {
        if (static_cast<int>(i) != index) {
            open.input->streams[i]->discard = AVDISCARD_ALL;
        }
    }
    open.stream = open.input->streams[index];
    // One thread: the two workers share the machine with playback.
    open.decoder = openDecoder(*open.stream, 1, error);
    return open.decoder != nullptr;
}

// The stream's duration in its time base, from the container's when the stream has none.
int64_t streamDuration(const AVFormatContext& input, const AVStream& stream) {
    if (stream.duration > 0) {
        return stream.duration;
    }
    if (input.duration > 0) {
        return av_rescale_q(input.duration, AV_TIME_BASE_Q, stream.time_base);
    }
    return 0;
}

int64_t streamStart(const AVStream& stream) {
    return stream.start_time != AV_NOPTS_VALUE ? stream.start_time : 0;
}

// A key frame of the strip's stream, decoded and scaled to the thumbnail size.
class KeyFrameReader {
public:
    // `size` is the upright thumbnail's; the stored picture is scaled to its turned size.
    KeyFrameReader(OpenStream& open, QSize size, int rotation)
        : m_open(open), m_size(rotation % 180 != 0 ? size.transposed() : size),
          m_rotation(rotation) {
        m_open.decoder->skip_frame = AVDISCARD_NONKEY;
    }

    bool ready() const { return m_packet && m_frame; }
    // The last thing that went wrong; empty when nothing did.
    const std::string& error() const { return m_error; }

    // Seeks to the key frame at or before `target` (in the stream's time base) and reads its
    // packet. False at the end of the file, on a read error or when cancelled.
    bool readKeyPacketBefore(int64_t target, const std::atomic<bool>& cancelled) {
        const int index = m_open.stream->index;
        int result = av_seek_frame(m_open.input.get(), index, target, AVSEEK_FLAG_BACKWARD);
        if (result < 0) {
            m_error = ffmpegError(result);
            return false;
        }
        while (!cancelled.load()) {
            av_packet_unref(m_packet.get());
            result = av_read_frame(m_open.input.get(), m_packet.get());
            if (result < 0) {
                if (result != AVERROR_EOF) {
                    m_error = ffmpegError(result);
                }
                return false;
            }
            if (m_packet->stream_index == index && (m_packet->flags & AV_PKT_FLAG_KEY) != 0) {
                return true;
            }
        }
        return false;
    }
    int64_t packetTime() const {
        return m_packet->pts != AV_NOPTS_VALUE ? m_packet->pts : m_packet->dts;
    }

    // Decodes the packet read last: sent alone and drained, so that a decoder holding frames
    // back for reordering gives it up at once. A null image on failure.
    QImage decodePacket() {
        AVCodecContext* decoder = m_open.decoder.get();
        avcodec_flush_buffers(decoder);
        int result = avcodec_send_packet(decoder, m_packet.get());
        if (result >= 0) {
            result = avcodec_send_packet(decoder, nullptr);
        }
        if (result >= 0) {
            result = avcodec_receive_frame(decoder, m_frame.get());
        }
        QImage image;
        if (result < 0) {
            m_error = ffmpegError(result);
        } else {
            image = scaled(*m_frame);
        }
        av_frame_unref(m_frame.get());
        avcodec_flush_buffers(decoder);
        return image;
    }

private:
    QImage scaled(const AVFrame& frame) {
        m_scaler.reset(sws_getCachedContext(m_scaler.release(), frame.width, frame.height,
                                            static_cast<AVPixelFormat>(frame.format),
                                            m_size.width(), m_size.height(), AV_PIX_FMT_RGB32,
                                            SWS_AREA, nullptr, nullptr, nullptr));
        if (!m_scaler) {
            m_error = "no scaler for this picture";
            return {};
        }
        // FFmpeg's RGB32 is a native-endian 0xAARRGGBB word, as is Qt's.
        QImage image(m_size, QImage::Format_RGB32);
        if (image.isNull()) {
            m_error = "out of memory";
            return {};
        }
        uint8_t* planes[4] = {image.bits(), nullptr, nullptr, nullptr};
        int strides[4] = {static_cast<int>(image.bytesPerLine()), 0, 0, 0};
        const int rows =
            sws_scale(m_scaler.get(), frame.data, frame.linesize, 0, frame.height, planes, strides);
        if (rows != m_size.height()) {
            return {};
        }
        return m_rotation == 0 ? image : image.transformed(QTransform().rotate(m_rotation));
    }

    OpenStream& m_open;
    QSize m_size;
    int m_rotation;
    PacketPtr m_packet = makePacket();
    FramePtr m_frame = makeFrame();
    ScaleContextPtr m_scaler;
    std::string m_error;
};

using ThumbnailSink = std::function<void(int index, const QImage& image, MediaTime time)>;

// What went wrong, or empty when every thumbnail was made.
std::string makeThumbnails(const TrackOverview::Job& job, const ThumbnailSink& deliver) {
    OpenStream open;
    std::string error;
    if (!openStream(job.path, AVMEDIA_TYPE_VIDEO, open, error)) {
        return error;
    }
    const AVRational base = open.stream->time_base;
    const int32_t timescale = timescaleForTimeBase(base.num, base.den);
    const int64_t start = streamStart(*open.stream);
    const int64_t duration = streamDuration(*open.input, *open.stream);
    KeyFrameReader reader(open, job.size, job.rotation);
    if (duration <= 0 || timescale <= 0) {
        return "the pictures have no duration";
    }
    if (!reader.ready()) {
        return "out of memory";
    }
    // Neighbouring thumbnails of a long group of pictures share their key frame: decoded once.
    std::map<int64_t, QImage> decoded;
    for (int index : coarseToFine(job.count)) {
        const int64_t target = start + av_rescale(duration, index, job.count);
        if (job.cancelled.load() || !reader.readKeyPacketBefore(target, job.cancelled)) {
            continue;
        }
        const int64_t pts = reader.packetTime();
        auto found = decoded.find(pts);
        if (found == decoded.end()) {
            found = decoded.emplace(pts, reader.decodePacket()).first;
        }
        if (found->second.isNull() || job.cancelled.load()) {
            continue;
        }
        const int64_t offset = av_rescale_q(pts - start, base, AVRational{1, timescale});
        deliver(index, found->second, MediaTime::make(offset, timescale));
    }
    return reader.error();
}

// The largest magnitude of one sample over all channels; 0 for a format no decoder gives.
float samplePeak(const AVFrame& frame, int index) {
    const auto format = static_cast<AVSampleFormat>(frame.format);
    const bool planar = av_sample_fmt_is_planar(format) != 0;
    const int channels = frame.ch_layout.nb_channels;
    float peak = 0.0f;
    for (int channel = 0; channel < channels; ++channel) {
        const uint8_t* plane = frame.extended_data[planar ? channel : 0];
        const size_t at =
            planar ? static_cast<size_t>(index) : static_cast<size_t>(index) * channels + channel;
        float value = 0.0f;
        switch (av_get_packed_sample_fmt(format)) {
        case AV_SAMPLE_FMT_FLT:
            value = reinterpret_cast<const float*>(plane)[at];
            break;
        case AV_SAMPLE_FMT_DBL:
            value = static_cast<float>(reinterpret_cast<const double*>(plane)[at]);
            break;
        case AV_SAMPLE_FMT_S16:
            value = reinterpret_cast<const int16_t*>(plane)[at] / 32768.0f;
            break;
        case AV_SAMPLE_FMT_S32:
            value = static_cast<float>(reinterpret_cast<const int32_t*>(plane)[at] / 2147483648.0);
            break;
        case AV_SAMPLE_FMT_U8:
            value = (plane[at] - 128) / 128.0f;
            break;
        default:
            return 0.0f;
        }
        peak = std::max(peak, std::fabs(value));
    }
    return std::min(peak, 1.0f);
}

// Peaks of kWaveformBins equal stretches of the stream's duration. Samples are counted on from
// the first frame's time, so a stream that ends early leaves its last bins silent.
class WaveformMaker {
public:
    WaveformMaker(const AVStream& stream, int64_t totalSamples)
        : m_start(streamStart(stream)), m_base(stream.time_base), m_total(totalSamples) {}

    void add(const AVFrame& frame) {
        if (m_next < 0) {
            const int64_t pts = frame.pts != AV_NOPTS_VALUE ? frame.pts - m_start : 0;
            m_next = std::max<int64_t>(
                0, av_rescale_q(pts, m_base, AVRational{1, std::max(frame.sample_rate, 1)}));
        }
        constexpr int64_t kBins = TrackOverview::kWaveformBins;
        for (int i = 0; i < frame.nb_samples; ++i, ++m_next) {
            float& peak =
                m_peaks[static_cast<size_t>(std::min(kBins - 1, m_next * kBins / m_total))];
            peak = std::max(peak, samplePeak(frame, i));
        }
    }
    const std::vector<float>& peaks() const { return m_peaks; }

private:
    int64_t m_start;
    AVRational m_base;
    int64_t m_total;
    int64_t m_next = -1;
    std::vector<float> m_peaks = std::vector<float>(TrackOverview::kWaveformBins, 0.0f);
};

using WaveformSink = std::function<void(std::vector<float> peaks, bool complete)>;

void makeWaveform(const TrackOverview::Job& job, const WaveformSink& deliver) {
    OpenStream open;
    std::string error;
    if (!openStream(job.path, AVMEDIA_TYPE_AUDIO, open, error)) {
        // No sound is an empty waveform, not a failure.
        deliver({}, true);
        return;
    }
    const AVStream& stream = *open.stream;
    const int rate = open.decoder->sample_rate;
    const int64_t total =
        av_rescale_q(streamDuration(*open.input, stream), stream.time_base, AVRational{1, rate});
    PacketPtr packet = makePacket();
    FramePtr frame = makeFrame();
    if (total <= 0 || rate <= 0 || !packet || !frame) {
        deliver({}, true);
        return;
    }
    WaveformMaker maker(stream, total);
    auto posted = Clock::now();
    bool ended = false;
    while (!ended && !job.cancelled.load()) {
        int result = av_read_frame(open.input.get(), packet.get());
        if (result == AVERROR_EOF) {
            ended = true;
            result = avcodec_send_packet(open.decoder.get(), nullptr);
        } else if (result < 0) {
            // What was read so far stands; the rest stays silent.
            break;
        } else if (packet->stream_index == stream.index) {
            result = avcodec_send_packet(open.decoder.get(), packet.get());
        }
        av_packet_unref(packet.get());
        // A damaged packet costs its own samples only.
        while (result >= 0) {
            result = avcodec_receive_frame(open.decoder.get(), frame.get());
            if (result < 0) {
                break;
            }
            maker.add(*frame);
            av_frame_unref(frame.get());
        }
        if (Clock::now() - posted >= kWaveformPostInterval) {
            deliver(maker.peaks(), false);
            posted = Clock::now();
        }
    }
    if (!job.cancelled.load()) {
        deliver(maker.peaks(), true);
    }
}

int64_t packedSize(QSize size) {
    return (static_cast<int64_t>(size.width()) << 32) | static_cast<uint32_t>(size.height());
}

} // namespace

TrackOverview::TrackOverview(QObject* parent) : QObject(parent) {}

TrackOverview::~TrackOverview() {
    cancel();
    for (Worker& worker : m_workers) {
        worker.thread.join();
    }
}

void TrackOverview::request(const std::string& path, int count, QSize size, int rotation) {
    joinFinishedWorkers();
    if (count <= 0 || size.isEmpty()) {
        return;
    }
    if (path != m_path) {
        cancel();
        m_finishedStrips.clear();
        m_path = path;
        m_rotation = ((rotation % 360) + 360) % 360;
        m_strip = {};
        m_waveform.clear();
        m_waveformComplete = false;
        startWaveform();
    } else if (count == m_strip.count && size == m_strip.size) {
        return;
    }
    if (m_stripJob) {
        m_stripJob->cancelled = true;
        m_stripJob.reset();
    }
    if (m_strip.complete) {
        m_finishedStrips[{m_strip.count, packedSize(m_strip.size)}] = m_strip;
    }
    m_announced = false;
    const auto cached = m_finishedStrips.find({count, packedSize(size)});
    if (cached != m_finishedStrips.end()) {
        m_strip = cached->second;
        for (int i = 0; i < count; ++i) {
            emit thumbnailReady(i);
        }
        announceIfFinished();
        return;
    }
    m_strip = {count,
               size,
               std::vector<QImage>(static_cast<size_t>(count)),
               std::vector<MediaTime>(static_cast<size_t>(count), MediaTime::invalid()),
               false,
               {}};
    startStrip();
}

void TrackOverview::cancel() {
    for (std::shared_ptr<Job>* job : {&m_stripJob, &m_waveformJob}) {
        if (*job) {
            (*job)->cancelled = true;
            job->reset();
        }
    }
}

void TrackOverview::clear() {
    cancel();
    m_path.clear();
    m_strip = {};
    m_finishedStrips.clear();
    m_waveform.clear();
    m_waveformComplete = false;
    m_announced = false;
    emit waveformChanged();
}

bool TrackOverview::isRunning() const {
    return std::any_of(m_workers.begin(), m_workers.end(),
                       [](const Worker& worker) { return !worker.done->load(); });
}

void TrackOverview::startStrip() {
    auto job = std::make_shared<Job>();
    job->id = m_nextJob++;
    job->path = m_path;
    job->count = m_strip.count;
    job->size = m_strip.size;
    job->rotation = m_rotation;
    m_stripJob = job;
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread thread([this, job, done] {
        const uint64_t id = job->id;
        std::string error =
            makeThumbnails(*job, [this, id](int index, const QImage& image, MediaTime time) {
                QMetaObject::invokeMethod(
                    this, [this, id, index, image, time] { takeThumbnail(id, index, image, time); },
                    Qt::QueuedConnection);
            });
        // Done before the news goes out: whoever hears it finds no worker at work.
        *done = true;
        QMetaObject::invokeMethod(
            this, [this, id, error = std::move(error)] { takeThumbnailsDone(id, error); },
            Qt::QueuedConnection);
    });
    m_workers.push_back({std::move(thread), done});
}

void TrackOverview::startWaveform() {
    auto job = std::make_shared<Job>();
    job->id = m_nextJob++;
    job->path = m_path;
    m_waveformJob = job;
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread thread([this, job, done] {
        const uint64_t id = job->id;
        makeWaveform(*job, [this, id](std::vector<float> peaks, bool complete) {
            QMetaObject::invokeMethod(
                this,
                [this, id, peaks = std::move(peaks), complete]() mutable {
                    takeWaveform(id, std::move(peaks), complete);
                },
                Qt::QueuedConnection);
        });
        *done = true;
    });
    m_workers.push_back({std::move(thread), done});
}

void TrackOverview::takeThumbnail(uint64_t job, int index, const QImage& image, MediaTime time) {
    if (!m_stripJob || m_stripJob->id != job || index < 0 || index >= m_strip.count) {
        return;
    }
    m_strip.images[static_cast<size_t>(index)] = image;
    m_strip.times[static_cast<size_t>(index)] = time;
    emit thumbnailReady(index);
}

void TrackOverview::takeThumbnailsDone(uint64_t job, const std::string& error) {
    if (!m_stripJob || m_stripJob->id != job) {
        return;
    }
    m_strip.error = error;
    m_strip.complete = true;
    m_stripJob.reset();
    announceIfFinished();
}

void TrackOverview::takeWaveform(uint64_t job, std::vector<float> peaks, bool complete) {
    if (!m_waveformJob || m_waveformJob->id != job) {
        return;
    }
    m_waveform = std::move(peaks);
    if (complete) {
        m_waveformComplete = true;
        m_waveformJob.reset();
    }
    emit waveformChanged();
    announceIfFinished();
}

void TrackOverview::announceIfFinished() {
    if (!m_announced && m_strip.complete && m_waveformComplete) {
        m_announced = true;
        joinFinishedWorkers();
        emit finished();
    }
}

void TrackOverview::joinFinishedWorkers() {
    const auto finished = std::partition(m_workers.begin(), m_workers.end(),
                                         [](const Worker& worker) { return !worker.done->load(); });
    for (auto worker = finished; worker != m_workers.end(); ++worker) {
        worker->thread.join(); // it has returned, or is about to
    }
    m_workers.erase(finished, m_workers.end());
}

} // namespace lento
