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

// How far ahead of the pictures decoded so far a picture is still reached by decoding on, where
// the file has no index to tell where its key frames are.
constexpr int64_t kGoOnSeconds = 1;
// How often a picture is looked for further back when a seek landed after it.
constexpr int kSeekTries = 4;

// The pictures of the strip's stream at given times, scaled to the thumbnail size. The picture at
// a time is decoded from the key frame at or before it; a later time whose pictures follow on from
// those decoded last is reached by decoding on, without seeking back to its key frame.
class PictureReader {
public:
    // `size` is the upright thumbnail's; the stored picture is scaled to its turned size.
    PictureReader(OpenStream& open, QSize size, int rotation)
        : m_open(open), m_size(rotation % 180 != 0 ? size.transposed() : size),
          m_rotation(rotation), m_start(streamStart(*open.stream)) {
        const AVRational base = m_open.stream->time_base;
        m_goOnReach = base.num > 0 ? av_rescale(kGoOnSeconds, base.den, base.num) : 0;
    }

    bool ready() const { return m_packet && m_shown && m_ahead && m_next; }
    // The last thing that went wrong; empty when nothing did.
    const std::string& error() const { return m_error; }

    // Decodes up to the picture on show at `target` (in the stream's time base): the last one
    // that starts at or before it, or the first one where none does. False when the stream
    // gives no picture for it, on a read error before one or when cancelled.
    bool decodeAt(int64_t target, const std::atomic<bool>& cancelled) {
        if (canGoOnTo(target)) {
            decodeOnTo(target, cancelled);
        } else {
            // A key frame is found by its decoding time, which may lie before its showing time:
            // the seek then lands after the target, and goes back further.
            int64_t seekTarget = target;
            int64_t back = std::max<int64_t>(1, m_goOnReach);
            for (int tries = 1;; ++tries) {
                if (!seekBefore(seekTarget)) {
                    return false;
                }
                decodeOnTo(target, cancelled);
                if (m_hasShown || !m_hasAhead || seekTarget <= m_start || tries == kSeekTries) {
                    break;
                }
                seekTarget = std::max(m_start, seekTarget - back);
                back *= 2;
            }
        }
        if (cancelled.load()) {
            return false;
        }
        if (!m_hasShown && m_hasAhead) {
            // The target lies before the first picture: that one is on show.
            takeAsShown(m_ahead.get());
            m_hasAhead = false;
        }
        return m_hasShown;
    }
    // The time of the picture decodeAt() found, in the stream's time base.
    int64_t shownTime() const { return frameTime(*m_shown); }
    // That picture at the thumbnail size; null on failure.
    QImage shownImage() { return scaled(*m_shown); }

private:
    static int64_t frameTime(const AVFrame& frame) {
        return frame.best_effort_timestamp != AV_NOPTS_VALUE ? frame.best_effort_timestamp
                                                             : frame.pts;
    }

    void takeAsShown(AVFrame* frame) {
        av_frame_unref(m_shown.get());
        av_frame_move_ref(m_shown.get(), frame);
        m_hasShown = true;
    }

    // Decodes on until the picture after `target` is there (or the stream ends): the last one
    // starting at or before it is m_shown.
    void decodeOnTo(int64_t target, const std::atomic<bool>& cancelled) {
        if (m_hasAhead && frameTime(*m_ahead) <= target) {
            takeAsShown(m_ahead.get());
            m_hasAhead = false;
        }
        while (!m_hasAhead && nextFrame(cancelled)) {
            if (frameTime(*m_next) <= target) {
                takeAsShown(m_next.get());
            } else {
                av_frame_move_ref(m_ahead.get(), m_next.get());
                m_hasAhead = true;
            }
        }
    }

    // Whether decoding on from the pictures decoded last reaches `target` sooner than a seek:
    // it lies after them and no key frame lies between.
    bool canGoOnTo(int64_t target) const {
        if (!m_hasShown || target < frameTime(*m_shown)) {
            return false;
        }
        if (!m_hasAhead && m_ended) {
            return true; // the last picture stays on show to the end
        }
        const int64_t decoded = m_hasAhead ? frameTime(*m_ahead) : frameTime(*m_shown);
        if (target < decoded) {
            return true;
        }
        const AVIndexEntry* key =
            avformat_index_get_entry_from_timestamp(m_open.stream, target, AVSEEK_FLAG_BACKWARD);
        if (key == nullptr) {
            return target - decoded <= m_goOnReach;
        }
        return key->timestamp <= decoded;
    }

    // Seeks to the key frame at or before `target` and starts decoding afresh there.
    bool seekBefore(int64_t target) {
        avcodec_flush_buffers(m_open.decoder.get());
        av_frame_unref(m_shown.get());
        av_frame_unref(m_ahead.get());
        m_hasShown = m_hasAhead = m_ended = m_flushed = false;
        m_awaitingKey = true;
        const int result =
            av_seek_frame(m_open.input.get(), m_open.stream->index, target, AVSEEK_FLAG_BACKWARD);
        if (result < 0) {
            m_error = ffmpegError(result);
            return false;
        }
        return true;
    }

    // The next picture in presentation order into m_next. False at the end of the stream, on a
    // read error or when cancelled.
    bool nextFrame(const std::atomic<bool>& cancelled) {
        AVCodecContext* decoder = m_open.decoder.get();
        while (!cancelled.load()) {
            int result = avcodec_receive_frame(decoder, m_next.get());
            if (result == 0) {
                return true;
            }
            if (result == AVERROR_EOF) {
                m_ended = true;
                return false;
            }
            if (result != AVERROR(EAGAIN)) {
                m_error = ffmpegError(result);
                return false;
            }
            if (m_flushed) {
                m_ended = true; // a decoder that keeps asking for more after the flush
                return false;
            }
            av_packet_unref(m_packet.get());
            result = av_read_frame(m_open.input.get(), m_packet.get());
            if (result == AVERROR_EOF) {
                m_flushed = true;
                avcodec_send_packet(decoder, nullptr);
                continue;
            }
            if (result < 0) {
                m_error = ffmpegError(result);
                return false;
            }
            if (m_packet->stream_index != m_open.stream->index) {
                continue;
            }
            // Pictures before the first key frame after a seek cannot be decoded whole.
            if (m_awaitingKey && (m_packet->flags & AV_PKT_FLAG_KEY) == 0) {
                continue;
            }
            m_awaitingKey = false;
            // A damaged packet costs its own picture only.
            avcodec_send_packet(decoder, m_packet.get());
        }
        return false;
    }

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
    int64_t m_start;
    int64_t m_goOnReach = 0;
    PacketPtr m_packet = makePacket();
    // The picture on show at the last target, and the one after it when it has been decoded.
    FramePtr m_shown = makeFrame();
    FramePtr m_ahead = makeFrame();
    FramePtr m_next = makeFrame();
    bool m_hasShown = false;
    bool m_hasAhead = false;
    // The file's end has been read (m_flushed) and every picture taken from the decoder.
    bool m_flushed = false;
    bool m_ended = false;
    bool m_awaitingKey = true;
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
    PictureReader reader(open, job.size, job.rotation);
    if (duration <= 0 || timescale <= 0) {
        return "the pictures have no duration";
    }
    if (!reader.ready()) {
        return "out of memory";
    }
    // Neighbouring thumbnails of a short video may show the same picture: scaled once.
    std::map<int64_t, QImage> scaled;
    for (int index : coarseToFine(job.count)) {
        const int64_t target = start + av_rescale(duration, index, job.count);
        if (job.cancelled.load() || !reader.decodeAt(target, job.cancelled)) {
            continue;
        }
        const int64_t pts = reader.shownTime();
        auto found = scaled.find(pts);
        if (found == scaled.end()) {
            found = scaled.emplace(pts, reader.shownImage()).first;
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
