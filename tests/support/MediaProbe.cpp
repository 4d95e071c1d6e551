#include "support/MediaProbe.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <sstream>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/display.h>
#include <libavutil/pixdesc.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace lento::test {

namespace {

struct FormatContextCloser {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecContextFreer {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameFreer {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFreer {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct ScalerFreer {
    void operator()(SwsContext* context) const { sws_freeContext(context); }
};
struct ResamplerFreer {
    void operator()(SwrContext* context) const { swr_free(&context); }
};

using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextCloser>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFreer>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;
using ScalerPtr = std::unique_ptr<SwsContext, ScalerFreer>;
using ResamplerPtr = std::unique_ptr<SwrContext, ResamplerFreer>;

constexpr double kQuietGapSeconds = 0.3;
constexpr double kFlashLuma = 180;
constexpr double kPairWindowSeconds = 0.5;

FormatContextPtr openInput(const std::string& path) {
    AVFormatContext* raw = nullptr;
    // On failure avformat_open_input frees the context itself.
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
        return nullptr;
    }
    FormatContextPtr context(raw);
    if (avformat_find_stream_info(context.get(), nullptr) < 0) {
        return nullptr;
    }
    return context;
}

double fileStartSeconds(const AVFormatContext& context) {
    if (context.start_time == AV_NOPTS_VALUE) {
        return 0;
    }
    return static_cast<double>(context.start_time) / AV_TIME_BASE;
}

double normalizedDegrees(double degrees) {
    if (!std::isfinite(degrees)) {
        return 0;
    }
    double result = std::fmod(degrees, 360.0);
    if (result < 0) {
        result += 360.0;
    }
    if (result >= 360.0) {
        result -= 360.0;
    }
    return result;
}

double displayRotation(const AVStream& stream) {
    size_t size = 0;
    const uint8_t* matrix = av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (matrix == nullptr || size < 9 * sizeof(int32_t)) {
        return 0;
    }
    return normalizedDegrees(av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix)));
}

char streamType(AVMediaType type) {
    switch (type) {
    case AVMEDIA_TYPE_VIDEO:
        return 'v';
    case AVMEDIA_TYPE_AUDIO:
        return 'a';
    default:
        return '?';
    }
}

// An opened decoder for the first stream of one type; every other stream is discarded.
struct Decoder {
    FormatContextPtr format;
    CodecContextPtr codec;
    int streamIndex = -1;

    const AVStream& stream() const { return *format->streams[streamIndex]; }
};

std::optional<Decoder> openDecoder(const std::string& path, AVMediaType type) {
    Decoder decoder;
    decoder.format = openInput(path);
    if (!decoder.format) {
        return std::nullopt;
    }
    AVFormatContext& format = *decoder.format;
    for (unsigned i = 0; i < format.nb_streams; ++i) {
        const AVStream& stream = *format.streams[i];
        const bool coverArt = (stream.disposition & AV_DISPOSITION_ATTACHED_PIC) != 0;
        if (decoder.streamIndex < 0 && stream.codecpar->codec_type == type && !coverArt) {
            decoder.streamIndex = static_cast<int>(i);
        } else {
            format.streams[i]->discard = AVDISCARD_ALL;
        }
    }
    if (decoder.streamIndex < 0) {
        return std::nullopt;
    }

    const AVStream& stream = decoder.stream();
    const AVCodec* codec = avcodec_find_decoder(stream.codecpar->codec_id);
    if (codec == nullptr) {
        return std::nullopt;
    }
    decoder.codec.reset(avcodec_alloc_context3(codec));
    if (!decoder.codec || avcodec_parameters_to_context(decoder.codec.get(), stream.codecpar) < 0) {
        return std::nullopt;
    }
    decoder.codec->pkt_timebase = stream.time_base;
    if (avcodec_open2(decoder.codec.get(), codec, nullptr) < 0) {
        return std::nullopt;
    }
    return decoder;
}

// Runs every packet of the decoder's stream through it, drains it, and hands each frame over.
// Damaged packets are skipped the way a player would; only hard failures return false.
bool decodeAll(Decoder& decoder, const std::function<void(const AVFrame&)>& onFrame) {
    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!packet || !frame) {
        return false;
    }

    auto receiveAll = [&]() {
        for (;;) {
            const int result = avcodec_receive_frame(decoder.codec.get(), frame.get());
            if (result < 0) {
                return result == AVERROR(EAGAIN) || result == AVERROR_EOF;
            }
            onFrame(*frame);
            av_frame_unref(frame.get());
        }
    };

    while (av_read_frame(decoder.format.get(), packet.get()) >= 0) {
        if (packet->stream_index != decoder.streamIndex) {
            av_packet_unref(packet.get());
            continue;
        }
        const int sent = avcodec_send_packet(decoder.codec.get(), packet.get());
        av_packet_unref(packet.get());
        if (sent < 0 && sent != AVERROR_INVALIDDATA) {
            return false;
        }
        if (!receiveAll()) {
            return false;
        }
    }
    if (avcodec_send_packet(decoder.codec.get(), nullptr) < 0) {
        return false;
    }
    return receiveAll();
}

double frameTimeSeconds(const AVFrame& frame, const Decoder& decoder) {
    const int64_t pts =
        frame.best_effort_timestamp != AV_NOPTS_VALUE ? frame.best_effort_timestamp : frame.pts;
    if (pts == AV_NOPTS_VALUE) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return static_cast<double>(pts) * av_q2d(decoder.stream().time_base) -
           fileStartSeconds(*decoder.format);
}

bool isJpegRangeFormat(AVPixelFormat format) {
    switch (format) {
    case AV_PIX_FMT_YUVJ411P:
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ440P:
    case AV_PIX_FMT_YUVJ444P:
        return true;
    default:
        return false;
    }
}

// The 8-bit luma plane of a frame, converted only when the decoder's format does not have one.
class LumaReader {
public:
    struct Plane {
        const uint8_t* data = nullptr;
        int stride = 0;
        int width = 0;
        int height = 0;
        bool fullRange = false; // 0..255 rather than the usual 16..235
    };

    std::optional<Plane> read(const AVFrame& frame) {
        const auto format = static_cast<AVPixelFormat>(frame.format);
        const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
        if (desc == nullptr || frame.width <= 0 || frame.height <= 0) {
            return std::nullopt;
        }
        const bool jpegFormat = isJpegRangeFormat(format);
        const bool flaggedFull = frame.color_range == AVCOL_RANGE_JPEG;
        if (hasPlainLuma(*desc)) {
            return Plane{frame.data[0], frame.linesize[0], frame.width, frame.height,
                         jpegFormat || flaggedFull};
        }

        scaler_.reset(sws_getCachedContext(scaler_.release(), frame.width, frame.height, format,
                                           frame.width, frame.height, AV_PIX_FMT_YUV420P, SWS_POINT,
                                           nullptr, nullptr, nullptr));
        if (!scaler_) {
            return std::nullopt;
        }
        if (!converted_ || converted_->width != frame.width || converted_->height != frame.height) {
            converted_.reset(av_frame_alloc());
            if (!converted_) {
                return std::nullopt;
            }
            converted_->format = AV_PIX_FMT_YUV420P;
            converted_->width = frame.width;
            converted_->height = frame.height;
            if (av_frame_get_buffer(converted_.get(), 0) < 0) {
                converted_.reset();
                return std::nullopt;
            }
        }
        if (sws_scale(scaler_.get(), frame.data, frame.linesize, 0, frame.height, converted_->data,
                      converted_->linesize) != frame.height) {
            return std::nullopt;
        }
        // swscale brings the yuvj formats and RGB down to studio range itself; a range flag on
        // another YUV format it does not look at.
        const bool rgb = (desc->flags & AV_PIX_FMT_FLAG_RGB) != 0;
        return Plane{converted_->data[0], converted_->linesize[0], frame.width, frame.height,
                     flaggedFull && !jpegFormat && !rgb};
    }

private:
    static bool hasPlainLuma(const AVPixFmtDescriptor& desc) {
        const auto unsuitable = AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL |
                                AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_HWACCEL |
                                AV_PIX_FMT_FLAG_BE;
        const AVComponentDescriptor& luma = desc.comp[0];
        return (desc.flags & unsuitable) == 0 && desc.nb_components >= 1 && luma.plane == 0 &&
               luma.depth == 8 && luma.step == 1 && luma.offset == 0 && luma.shift == 0;
    }

    ScalerPtr scaler_;
    FramePtr converted_;
};

// Mean luma of the columns [x0, x1), on the studio (16..235) scale whatever the plane's range.
double meanOver(const LumaReader::Plane& plane, int x0, int x1) {
    if (x1 <= x0) {
        return 0;
    }
    int64_t sum = 0;
    for (int y = 0; y < plane.height; ++y) {
        const uint8_t* row = plane.data + static_cast<ptrdiff_t>(y) * plane.stride;
        for (int x = x0; x < x1; ++x) {
            sum += row[x];
        }
    }
    const double mean = static_cast<double>(sum) / (static_cast<double>(x1 - x0) * plane.height);
    return plane.fullRange ? 16.0 + mean * 219.0 / 255.0 : mean;
}

// Stripe levels are 20 + 20 * digit; anything further than 6 from a level is not a digit.
int digitFromLuma(double luma) {
    const long digit = std::lround((luma - 20.0) / 20.0);
    if (digit < 0 || digit > 9 || std::abs(luma - (20.0 + 20.0 * digit)) > 6.0) {
        return -1;
    }
    return static_cast<int>(digit);
}

int frameNumber(const LumaReader::Plane& plane) {
    int number = 0;
    for (int stripe = 0; stripe < 3; ++stripe) {
        const int left = stripe * plane.width / 3;
        const int right = (stripe + 1) * plane.width / 3;
        const int quarter = (right - left) / 4;
        const int digit = digitFromLuma(meanOver(plane, left + quarter, right - quarter));
        if (digit < 0) {
            return -1;
        }
        number = number * 10 + digit;
    }
    return number;
}

// Calls onSample(time, value) for every sample of the first audio stream, mixed to mono float.
bool forEachSample(const std::string& path, const std::function<void(double, float)>& onSample) {
    std::optional<Decoder> decoder = openDecoder(path, AVMEDIA_TYPE_AUDIO);
    if (!decoder) {
        return false;
    }

    ResamplerPtr resampler;
    AVChannelLayout inputLayout{};
    int inputFormat = AV_SAMPLE_FMT_NONE;
    int inputRate = 0;
    std::vector<float> mono;
    double nextTime = 0;
    bool failed = false;

    auto prepare = [&](const AVFrame& frame) {
        if (resampler && av_channel_layout_compare(&inputLayout, &frame.ch_layout) == 0 &&
            inputFormat == frame.format && inputRate == frame.sample_rate) {
            return true;
        }
        resampler.reset();
        av_channel_layout_uninit(&inputLayout);
        if (av_channel_layout_copy(&inputLayout, &frame.ch_layout) < 0) {
            return false;
        }
        inputFormat = frame.format;
        inputRate = frame.sample_rate;

        AVChannelLayout monoLayout = AV_CHANNEL_LAYOUT_MONO;
        SwrContext* raw = nullptr;
        // Same rate in and out, so the resampler holds nothing back and sample times stay exact.
        if (swr_alloc_set_opts2(&raw, &monoLayout, AV_SAMPLE_FMT_FLT, frame.sample_rate,
                                &inputLayout, static_cast<AVSampleFormat>(frame.format),
                                frame.sample_rate, 0, nullptr) < 0) {
            return false;
        }
        resampler.reset(raw);
        return swr_init(resampler.get()) >= 0;
    };

    const bool decoded = decodeAll(*decoder, [&](const AVFrame& frame) {
        if (failed || frame.nb_samples <= 0 || frame.sample_rate <= 0) {
            return;
        }
        if (!prepare(frame)) {
            failed = true;
            return;
        }
        mono.resize(static_cast<size_t>(frame.nb_samples) + 64);
        auto* out = reinterpret_cast<uint8_t*>(mono.data());
        const int count =
            swr_convert(resampler.get(), &out, static_cast<int>(mono.size()),
                        const_cast<const uint8_t**>(frame.extended_data), frame.nb_samples);
        if (count < 0) {
            failed = true;
            return;
        }
        const double start = frameTimeSeconds(frame, *decoder);
        const double first = std::isnan(start) ? nextTime : start;
        for (int i = 0; i < count; ++i) {
            onSample(first + static_cast<double>(i) / frame.sample_rate, mono[i]);
        }
        nextTime = first + static_cast<double>(count) / frame.sample_rate;
    });
    av_channel_layout_uninit(&inputLayout);
    return decoded && !failed;
}

} // namespace

const StreamInfo* ProbeResult::video() const {
    const auto it = std::find_if(streams.begin(), streams.end(),
                                 [](const StreamInfo& stream) { return stream.type == 'v'; });
    return it == streams.end() ? nullptr : &*it;
}

const StreamInfo* ProbeResult::audio() const {
    const auto it = std::find_if(streams.begin(), streams.end(),
                                 [](const StreamInfo& stream) { return stream.type == 'a'; });
    return it == streams.end() ? nullptr : &*it;
}

ProbeResult probe(const std::string& path) {
    ProbeResult result;
    FormatContextPtr format = openInput(path);
    if (!format || format->nb_streams == 0) {
        return result;
    }

    result.formatName = format->iformat->name != nullptr ? format->iformat->name : "";
    if (const AVDictionaryEntry* brand = av_dict_get(format->metadata, "major_brand", nullptr, 0)) {
        result.majorBrand = brand->value;
    }
    if (format->duration != AV_NOPTS_VALUE) {
        result.durationSeconds = static_cast<double>(format->duration) / AV_TIME_BASE;
    }

    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream& stream = *format->streams[i];
        const AVCodecParameters& parameters = *stream.codecpar;
        StreamInfo info;
        info.type = streamType(parameters.codec_type);
        info.codecName = avcodec_get_name(parameters.codec_id);
        if (info.type == 'v') {
            info.width = parameters.width;
            info.height = parameters.height;
            info.rotationDegrees = displayRotation(stream);
        } else if (info.type == 'a') {
            info.sampleRate = parameters.sample_rate;
            info.channels = parameters.ch_layout.nb_channels;
        }
        if (stream.duration != AV_NOPTS_VALUE) {
            info.durationSeconds = static_cast<double>(stream.duration) * av_q2d(stream.time_base);
        }
        result.streams.push_back(info);
    }

    // Count packets, and note where each stream's packets start and end for streams whose
    // duration the container does not state.
    std::vector<int64_t> firstPts(format->nb_streams, AV_NOPTS_VALUE);
    std::vector<int64_t> endPts(format->nb_streams, AV_NOPTS_VALUE);
    PacketPtr packet(av_packet_alloc());
    if (!packet) {
        return ProbeResult{};
    }
    while (av_read_frame(format.get(), packet.get()) >= 0) {
        const auto index = static_cast<size_t>(packet->stream_index);
        if (index < result.streams.size()) {
            ++result.streams[index].packetCount;
            const int64_t pts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
            if (pts != AV_NOPTS_VALUE) {
                const int64_t end = pts + std::max<int64_t>(packet->duration, 0);
                if (firstPts[index] == AV_NOPTS_VALUE || pts < firstPts[index]) {
                    firstPts[index] = pts;
                }
                if (endPts[index] == AV_NOPTS_VALUE || end > endPts[index]) {
                    endPts[index] = end;
                }
            }
        }
        av_packet_unref(packet.get());
    }

    for (size_t i = 0; i < result.streams.size(); ++i) {
        StreamInfo& info = result.streams[i];
        if (info.durationSeconds > 0 || endPts[i] == AV_NOPTS_VALUE) {
            continue;
        }
        const AVStream& stream = *format->streams[i];
        const int64_t start = stream.start_time != AV_NOPTS_VALUE ? stream.start_time : firstPts[i];
        info.durationSeconds = static_cast<double>(endPts[i] - start) * av_q2d(stream.time_base);
    }

    result.ok = true;
    return result;
}

std::vector<DecodedFrame> decodeVideoFrames(const std::string& path) {
    std::optional<Decoder> decoder = openDecoder(path, AVMEDIA_TYPE_VIDEO);
    if (!decoder) {
        return {};
    }

    std::vector<DecodedFrame> frames;
    double lastOwnDuration = 0;
    LumaReader luma;
    bool failed = false;
    const bool decoded = decodeAll(*decoder, [&](const AVFrame& frame) {
        const std::optional<LumaReader::Plane> plane = luma.read(frame);
        if (!plane) {
            failed = true;
            return;
        }
        DecodedFrame decodedFrame;
        decodedFrame.time = frameTimeSeconds(frame, *decoder);
        if (std::isnan(decodedFrame.time)) {
            // No timestamp at all: place it one nominal frame after the previous one.
            const double step = av_q2d(av_inv_q(decoder->stream().avg_frame_rate));
            decodedFrame.time = frames.empty() ? 0 : frames.back().time + (step > 0 ? step : 0);
        }
        decodedFrame.meanLuma = meanOver(*plane, 0, plane->width);
        decodedFrame.index = frameNumber(*plane);
        frames.push_back(decodedFrame);
        lastOwnDuration = frame.pkt_duration > 0 ? static_cast<double>(frame.pkt_duration) *
                                                       av_q2d(decoder->stream().time_base)
                                                 : 0;
    });
    if (!decoded || failed) {
        return {};
    }

    std::stable_sort(frames.begin(), frames.end(),
                     [](const DecodedFrame& a, const DecodedFrame& b) { return a.time < b.time; });
    for (size_t i = 0; i + 1 < frames.size(); ++i) {
        frames[i].duration = frames[i + 1].time - frames[i].time;
    }
    if (!frames.empty()) {
        frames.back().duration = lastOwnDuration;
    }
    return frames;
}

std::vector<double> flashTimes(const std::string& path) {
    std::vector<double> times;
    for (const DecodedFrame& frame : decodeVideoFrames(path)) {
        if (frame.meanLuma > kFlashLuma) {
            times.push_back(frame.time);
        }
    }
    return times;
}

std::vector<double> soundOnsets(const std::string& path, double threshold) {
    std::vector<double> onsets;
    double lastLoud = -std::numeric_limits<double>::infinity();
    const bool ok = forEachSample(path, [&](double time, float value) {
        if (std::abs(value) <= threshold) {
            return;
        }
        if (time - lastLoud >= kQuietGapSeconds) {
            onsets.push_back(time);
        }
        lastLoud = time;
    });
    return ok ? onsets : std::vector<double>{};
}

double soundRms(const std::string& path, double from, double to) {
    double sumOfSquares = 0;
    int64_t count = 0;
    const bool ok = forEachSample(path, [&](double time, float value) {
        if (time >= from && time < to) {
            sumOfSquares += static_cast<double>(value) * value;
            ++count;
        }
    });
    if (!ok || count == 0) {
        return 0;
    }
    return std::sqrt(sumOfSquares / static_cast<double>(count));
}

SyncReport measureSync(const std::string& path) {
    const std::vector<double> flashes = flashTimes(path);
    const std::vector<double> onsets = soundOnsets(path);
    SyncReport report;
    for (const double flash : flashes) {
        double nearest = std::numeric_limits<double>::infinity();
        for (const double onset : onsets) {
            nearest = std::min(nearest, std::abs(onset - flash));
        }
        if (nearest <= kPairWindowSeconds) {
            ++report.pairs;
        } else {
            nearest = std::numeric_limits<double>::infinity();
        }
        report.worstSeconds = std::max(report.worstSeconds, nearest);
    }
    return report;
}

std::string fixture(const std::string& name) {
    return std::string(LENTO_FIXTURE_DIR) + "/" + name;
}

std::string readFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return {};
    }
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

} // namespace lento::test
