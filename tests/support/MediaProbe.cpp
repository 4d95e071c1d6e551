#include "support/MediaProbe.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <numeric>
#include <optional>
#include <sstream>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/display.h>
#include <libavutil/md5.h>
#include <libavutil/pixdesc.h>
}

namespace lento::test {

namespace {

// Frees what an FFmpeg free function taking `T**` frees.
template <auto Free> struct Freer {
    template <typename T> void operator()(T* pointer) const { Free(&pointer); }
};
using FormatPtr = std::unique_ptr<AVFormatContext, Freer<avformat_close_input>>;
using CodecPtr = std::unique_ptr<AVCodecContext, Freer<avcodec_free_context>>;
using FramePtr = std::unique_ptr<AVFrame, Freer<av_frame_free>>;
using PacketPtr = std::unique_ptr<AVPacket, Freer<av_packet_free>>;

constexpr double kQuietGapSeconds = 0.3;
constexpr double kFlashLuma = 180;
constexpr double kPairWindowSeconds = 0.5;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

FormatPtr openInput(const std::string& path) {
    AVFormatContext* raw = nullptr;
    // On failure avformat_open_input frees the context itself.
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
        return nullptr;
    }
    FormatPtr format(raw);
    return avformat_find_stream_info(raw, nullptr) < 0 ? nullptr : std::move(format);
}

// An opened decoder for the first stream of one type; every other stream is discarded.
struct Decoder {
    FormatPtr format;
    CodecPtr codec;
    const AVStream* stream = nullptr;
};

std::optional<Decoder> openDecoder(const std::string& path, AVMediaType type) {
    Decoder decoder{openInput(path), nullptr};
    if (!decoder.format) {
        return std::nullopt;
    }
    for (unsigned i = 0; i < decoder.format->nb_streams; ++i) {
        AVStream& stream = *decoder.format->streams[i];
        const bool coverArt = (stream.disposition & AV_DISPOSITION_ATTACHED_PIC) != 0;
        if (!decoder.stream && stream.codecpar->codec_type == type && !coverArt) {
            decoder.stream = &stream;
        } else {
            stream.discard = AVDISCARD_ALL;
        }
    }
    if (!decoder.stream) {
        return std::nullopt;
    }
    const AVStream& stream = *decoder.stream;
    const AVCodec* codec = avcodec_find_decoder(stream.codecpar->codec_id);
    decoder.codec.reset(codec != nullptr ? avcodec_alloc_context3(codec) : nullptr);
    if (!decoder.codec || avcodec_parameters_to_context(decoder.codec.get(), stream.codecpar) < 0) {
        return std::nullopt;
    }
    decoder.codec->pkt_timebase = stream.time_base;
    if (avcodec_open2(decoder.codec.get(), codec, nullptr) < 0) {
        return std::nullopt;
    }
    return decoder;
}

// Runs every packet of the decoder's stream through it, drains it, and hands each frame over,
// with its time (s) from the file's start. Damaged packets are skipped the way a player would;
// only hard failures, and onFrame returning false, return false.
bool decodeAll(Decoder& decoder, const std::function<bool(const AVFrame&, double)>& onFrame) {
    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!packet || !frame) {
        return false;
    }
    const AVFormatContext& format = *decoder.format;
    const double start = format.start_time == AV_NOPTS_VALUE
                             ? 0
                             : static_cast<double>(format.start_time) / AV_TIME_BASE;
    double next = 0; // where a frame without a timestamp goes: right after the one before
    const auto receiveAll = [&] {
        int result = 0;
        while ((result = avcodec_receive_frame(decoder.codec.get(), frame.get())) >= 0) {
            const int64_t pts = frame->best_effort_timestamp;
            const AVStream& stream = *decoder.stream;
            const double time = pts == AV_NOPTS_VALUE
                                    ? next
                                    : static_cast<double>(pts) * av_q2d(stream.time_base) - start;
            const double length =
                av_q2d(frame->nb_samples > 0 ? AVRational{frame->nb_samples, frame->sample_rate}
                                             : av_inv_q(stream.avg_frame_rate));
            next = time + (std::isfinite(length) ? length : 0);
            const bool ok = onFrame(*frame, time);
            av_frame_unref(frame.get());
            if (!ok) {
                return false;
            }
        }
        return result == AVERROR(EAGAIN) || result == AVERROR_EOF;
    };
    while (av_read_frame(decoder.format.get(), packet.get()) >= 0) {
        const int sent = packet->stream_index == decoder.stream->index
                             ? avcodec_send_packet(decoder.codec.get(), packet.get())
                             : 0;
        av_packet_unref(packet.get());
        if ((sent < 0 && sent != AVERROR_INVALIDDATA) || !receiveAll()) {
            return false;
        }
    }
    return avcodec_send_packet(decoder.codec.get(), nullptr) >= 0 && receiveAll();
}

// Mean of the columns [x0, x1) of an 8-bit luma plane.
// On the 8-bit scale whatever the depth (8 or 10 bits).
double meanLuma(const AVFrame& frame, int x0, int x1) {
    const bool deep = frame.format == AV_PIX_FMT_YUV420P10;
    int64_t sum = 0;
    for (int y = 0; y < frame.height; ++y) {
        const uint8_t* row = frame.data[0] + static_cast<ptrdiff_t>(y) * frame.linesize[0];
        if (deep) {
            const auto* wide = reinterpret_cast<const uint16_t*>(row);
            sum = std::accumulate(wide + x0, wide + x1, sum);
        } else {
            sum = std::accumulate(row + x0, row + x1, sum);
        }
    }
    return static_cast<double>(sum) /
           (static_cast<double>(x1 - x0) * frame.height * (deep ? 4 : 1));
}

// Three stripes, each of level 20 + 20 * digit; a stripe further than 6 from a level is no digit.
int frameNumber(const AVFrame& frame) {
    int number = 0;
    for (int stripe = 0; stripe < 3; ++stripe) {
        const int left = stripe * frame.width / 3;
        const int right = (stripe + 1) * frame.width / 3;
        const int quarter = (right - left) / 4;
        const double luma = meanLuma(frame, left + quarter, right - quarter);
        const long digit = std::lround((luma - 20.0) / 20.0);
        if (digit < 0 || digit > 9 || std::abs(luma - (20.0 + 20.0 * digit)) > 6.0) {
            return -1;
        }
        number = number * 10 + static_cast<int>(digit);
    }
    return number;
}

// Calls onSample(time, value) for every sample of the first audio stream, mixed to mono.
bool forEachSample(const std::string& path, const std::function<void(double, float)>& onSample) {
    std::optional<Decoder> decoder = openDecoder(path, AVMEDIA_TYPE_AUDIO);
    return decoder && decodeAll(*decoder, [&](const AVFrame& frame, double start) {
               const int channels = frame.ch_layout.nb_channels;
               if (frame.format != AV_SAMPLE_FMT_FLTP || channels <= 0 || frame.sample_rate <= 0) {
                   return false;
               }
               for (int i = 0; i < frame.nb_samples; ++i) {
                   float sum = 0;
                   for (int channel = 0; channel < channels; ++channel) {
                       sum += reinterpret_cast<const float*>(frame.extended_data[channel])[i];
                   }
                   onSample(start + static_cast<double>(i) / frame.sample_rate, sum / channels);
               }
               return true;
           });
}

std::string hex(const uint8_t (&sum)[16]) {
    char text[33] = {};
    for (int i = 0; i < 16; ++i) {
        std::snprintf(text + 2 * i, 3, "%02x", sum[i]);
    }
    return text;
}

// Counts each stream's packets and digests their data.
void digestPackets(AVFormatContext& format, std::vector<StreamInfo>& streams) {
    using Md5Ptr = std::unique_ptr<AVMD5, void (*)(AVMD5*)>;
    std::vector<Md5Ptr> digests;
    for (size_t i = 0; i < streams.size(); ++i) {
        digests.emplace_back(av_md5_alloc(), [](AVMD5* p) { av_free(p); });
        if (!digests.back()) {
            return;
        }
        av_md5_init(digests.back().get());
    }
    PacketPtr packet(av_packet_alloc());
    while (packet && av_read_frame(&format, packet.get()) >= 0) {
        const auto index = size_t(packet->stream_index);
        ++streams[index].packets;
        av_md5_update(digests[index].get(), packet->data, packet->size);
        av_packet_unref(packet.get());
    }
    for (size_t i = 0; i < streams.size(); ++i) {
        uint8_t sum[16];
        av_md5_final(digests[i].get(), sum);
        streams[i].packetDigest = hex(sum);
    }
}

const StreamInfo* firstOfType(const std::vector<StreamInfo>& streams, char type) {
    const auto it = std::ranges::find(streams, type, &StreamInfo::type);
    return it == streams.end() ? nullptr : &*it;
}

} // namespace

const StreamInfo* ProbeResult::video() const {
    return firstOfType(streams, 'v');
}

const StreamInfo* ProbeResult::audio() const {
    return firstOfType(streams, 'a');
}

ProbeResult probe(const std::string& path) {
    ProbeResult result;
    const FormatPtr format = openInput(path);
    if (!format || format->nb_streams == 0) {
        return result;
    }
    if (const AVDictionaryEntry* brand = av_dict_get(format->metadata, "major_brand", nullptr, 0)) {
        result.majorBrand = brand->value;
    }
    if (format->duration != AV_NOPTS_VALUE) {
        result.durationSeconds = static_cast<double>(format->duration) / AV_TIME_BASE;
    }
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream& stream = *format->streams[i];
        StreamInfo& info = result.streams.emplace_back();
        if (stream.duration != AV_NOPTS_VALUE) {
            info.durationSeconds = static_cast<double>(stream.duration) * av_q2d(stream.time_base);
        }
        if (stream.start_time != AV_NOPTS_VALUE) {
            info.startSeconds = static_cast<double>(stream.start_time) * av_q2d(stream.time_base);
        }
        if (stream.codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            info.type = 'a';
        } else if (stream.codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            info.type = 'v';
            info.width = stream.codecpar->width;
            info.height = stream.codecpar->height;
            info.containerAspect = {stream.sample_aspect_ratio.num, stream.sample_aspect_ratio.den};
            info.codedAspect = {stream.codecpar->sample_aspect_ratio.num,
                                stream.codecpar->sample_aspect_ratio.den};
            const uint8_t* matrix =
                av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr);
            const double degrees =
                matrix ? av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix)) : 0;
            // The matrix gives (-180, 180].
            info.rotationDegrees = std::isfinite(degrees) ? std::fmod(degrees + 360, 360) : 0;
            const AVCodecParameters& video = *stream.codecpar;
            const auto name = [](const char* text) { return std::string(text ? text : ""); };
            info.pixelFormat = name(av_get_pix_fmt_name(static_cast<AVPixelFormat>(video.format)));
            info.primaries = name(av_color_primaries_name(video.color_primaries));
            info.transfer = name(av_color_transfer_name(video.color_trc));
            info.frameRateNum = stream.avg_frame_rate.num;
            info.frameRateDen = stream.avg_frame_rate.den;
        }
        if (const AVCodecDescriptor* codec = avcodec_descriptor_get(stream.codecpar->codec_id)) {
            info.codec = codec->name;
        }
        if (const char* profile =
                avcodec_profile_name(stream.codecpar->codec_id, stream.codecpar->profile)) {
            info.profile = profile;
        }
        if (info.type == 'a') {
            info.sampleRate = stream.codecpar->sample_rate;
            char layout[64] = {};
            if (av_channel_layout_describe(&stream.codecpar->ch_layout, layout, sizeof layout) >
                0) {
                info.channelLayout = layout;
            }
        }
    }
    digestPackets(*format, result.streams);
    const AVDictionaryEntry* tag = nullptr;
    while ((tag = av_dict_get(format->metadata, "", tag, AV_DICT_IGNORE_SUFFIX)) != nullptr) {
        result.tags[tag->key] = tag->value;
    }
    // A box's header comes before its contents, so the first mention of each type is its box.
    const std::string bytes = readFileBytes(path);
    const size_t index = bytes.find("moov");
    result.indexFirst = index != std::string::npos && index < bytes.find("mdat");
    result.ok = true;
    return result;
}

std::vector<std::string> frameDigests(const std::string& path) {
    std::optional<Decoder> decoder = openDecoder(path, AVMEDIA_TYPE_VIDEO);
    std::vector<std::string> digests;
    const bool decoded =
        decoder && decodeAll(*decoder, [&](const AVFrame& frame, double) {
            const AVPixFmtDescriptor* pixels =
                av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
            std::unique_ptr<AVMD5, void (*)(AVMD5*)> md5(av_md5_alloc(),
                                                         [](AVMD5* p) { av_free(p); });
            if (pixels == nullptr || !md5) {
                return false;
            }
            av_md5_init(md5.get());
            const int bytesPerSample = pixels->comp[0].depth > 8 ? 2 : 1;
            for (int plane = 0; plane < 3 && frame.data[plane] != nullptr; ++plane) {
                const int shiftX = plane == 0 ? 0 : pixels->log2_chroma_w;
                const int shiftY = plane == 0 ? 0 : pixels->log2_chroma_h;
                const int width = AV_CEIL_RSHIFT(frame.width, shiftX) * bytesPerSample;
                for (int y = 0; y < AV_CEIL_RSHIFT(frame.height, shiftY); ++y) {
                    av_md5_update(md5.get(),
                                  frame.data[plane] + ptrdiff_t(y) * frame.linesize[plane], width);
                }
            }
            uint8_t sum[16];
            av_md5_final(md5.get(), sum);
            digests.push_back(hex(sum));
            return true;
        });
    return decoded ? digests : std::vector<std::string>{};
}

std::vector<DecodedFrame> decodeVideoFrames(const std::string& path) {
    std::optional<Decoder> decoder = openDecoder(path, AVMEDIA_TYPE_VIDEO);
    std::vector<DecodedFrame> frames;
    const bool decoded =
        decoder && decodeAll(*decoder, [&](const AVFrame& frame, double time) {
            if ((frame.format != AV_PIX_FMT_YUV420P && frame.format != AV_PIX_FMT_YUV420P10) ||
                frame.width < 3) {
                return false;
            }
            frames.push_back({time, frameNumber(frame), meanLuma(frame, 0, frame.width)});
            return true;
        });
    return decoded ? frames : std::vector<DecodedFrame>{};
}

std::vector<double> soundOnsets(const std::string& path, double threshold) {
    std::vector<double> onsets;
    double lastLoud = -kInfinity;
    const bool ok = forEachSample(path, [&](double time, float value) {
        if (std::abs(value) > threshold) {
            if (time - lastLoud >= kQuietGapSeconds) {
                onsets.push_back(time);
            }
            lastLoud = time;
        }
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
    return ok && count > 0 ? std::sqrt(sumOfSquares / static_cast<double>(count)) : 0;
}

SyncReport measureSync(const std::string& path) {
    const std::vector<double> onsets = soundOnsets(path);
    SyncReport report;
    for (const DecodedFrame& frame : decodeVideoFrames(path)) {
        if (frame.meanLuma <= kFlashLuma) {
            continue;
        }
        const double flash = frame.time;
        double nearest = kInfinity;
        for (const double onset : onsets) {
            nearest = std::min(nearest, std::abs(onset - flash));
        }
        const bool paired = nearest <= kPairWindowSeconds;
        report.pairs += paired ? 1 : 0;
        report.worstSeconds = std::max(report.worstSeconds, paired ? nearest : kInfinity);
    }
    return report;
}

std::string fixture(const std::string& name) {
    return std::string(LENTO_FIXTURE_DIR) + "/" + name;
}

std::string readFileBytes(const std::string& path) {
    std::ostringstream contents;
    contents << std::ifstream(path, std::ios::binary).rdbuf();
    return contents.str();
}

} // namespace lento::test
