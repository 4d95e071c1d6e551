#include "media/Asset.h"

#include "media/FfmpegHandles.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

extern "C" {
#include <libavutil/display.h>
#include <libavutil/pixdesc.h>
}

namespace lento {

int32_t timescaleForTimeBase(int num, int den) {
    if (num <= 0 || den <= 0) {
        return 0;
    }
    if (den % num == 0) {
        return den / num;
    }
    return den;
}

namespace {

// Converts a count of `timeBase` units into a media time at `timescale`, to the nearest value.
MediaTime timeFromStreamUnits(int64_t units, AVRational timeBase, int32_t timescale) {
    if (units == AV_NOPTS_VALUE || timescale <= 0) {
        return MediaTime::invalid();
    }
    const int64_t value = av_rescale_q_rnd(units, timeBase, AVRational{1, timescale},
                                           static_cast<AVRounding>(AV_ROUND_NEAR_INF));
    return MediaTime::make(value, timescale);
}

bool isRealVideo(const AVStream& stream) {
    return stream.codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
           (stream.disposition & AV_DISPOSITION_ATTACHED_PIC) == 0;
}

// A tag the movie keeps: its name there and the names sources write it under.
struct KeptTag {
    const char* name;
    std::array<const char*, 2> sourceNames;
};

// The first of `names` that `dictionary` holds, or nothing.
const char* firstTag(const AVDictionary* dictionary, const std::array<const char*, 2>& names) {
    for (const char* name : names) {
        if (const AVDictionaryEntry* entry = av_dict_get(dictionary, name, nullptr, 0)) {
            return entry->value;
        }
    }
    return nullptr;
}

// What an export keeps of `stream`'s source: the container's tags (or the stream's), and for
// pictures their colour description and depth.
SourceTraits traitsOf(const AVFormatContext& format, const AVStream& stream) {
    SourceTraits traits;
    // Phones write these under Apple's long names or the short ones; the muxers take the short.
    static constexpr KeptTag kept[] = {
        {"creation_time", {"creation_time", "com.apple.quicktime.creationdate"}},
        {"location", {"location", "com.apple.quicktime.location.ISO6709"}},
        {"make", {"make", "com.apple.quicktime.make"}},
        {"model", {"model", "com.apple.quicktime.model"}},
    };
    for (const auto& [name, sourceNames] : kept) {
        const char* value = firstTag(format.metadata, sourceNames);
        if (value == nullptr) {
            value = firstTag(stream.metadata, sourceNames);
        }
        if (value != nullptr) {
            traits.tags.emplace_back(name, value);
        }
    }
    if (stream.codecpar->codec_type != AVMEDIA_TYPE_VIDEO) {
        return traits;
    }
    const AVCodecParameters& parameters = *stream.codecpar;
    traits.primaries = parameters.color_primaries;
    traits.transfer = parameters.color_trc;
    traits.matrix = parameters.color_space;
    traits.range = parameters.color_range;
    traits.chromaLocation = parameters.chroma_location;
    const auto pixels = static_cast<AVPixelFormat>(parameters.format);
    if (pixels == AV_PIX_FMT_YUVJ420P || pixels == AV_PIX_FMT_YUVJ422P ||
        pixels == AV_PIX_FMT_YUVJ444P) {
        // The scaler turns these full-range formats into limited-range 4:2:0.
        traits.range = AVCOL_RANGE_MPEG;
    }
    const AVPixFmtDescriptor* description = av_pix_fmt_desc_get(pixels);
    traits.deep = (description != nullptr && description->comp[0].depth > 8) ||
                  parameters.bits_per_raw_sample > 8;
    return traits;
}

// Decodes packets of `streamIndex` until one frame comes out.
bool firstFrameDecodes(AVFormatContext& format, int streamIndex) {
    std::string error;
    CodecContextPtr decoder = openDecoder(*format.streams[streamIndex], 1, error);
    if (!decoder) {
        return false;
    }
    PacketPtr packet = makePacket();
    FramePtr frame = makeFrame();
    // A sane file yields a frame within a few hundred packets; give up long before a hostile one
    // can keep us busy.
    int packetsLeft = 2000;
    bool draining = false;
    while (packetsLeft-- > 0) {
        if (!draining) {
            const int read = av_read_frame(&format, packet.get());
            if (read < 0) {
                draining = true;
                avcodec_send_packet(decoder.get(), nullptr);
            } else if (packet->stream_index == streamIndex) {
                avcodec_send_packet(decoder.get(), packet.get());
                av_packet_unref(packet.get());
            } else {
                av_packet_unref(packet.get());
                continue;
            }
        }
        const int received = avcodec_receive_frame(decoder.get(), frame.get());
        if (received == 0) {
            return true;
        }
        if (draining && received != AVERROR(EAGAIN)) {
            return false;
        }
    }
    return false;
}

int rotationFromMatrix(const int32_t* matrix) {
    const double counterClockwise = av_display_rotation_get(matrix);
    if (std::isnan(counterClockwise)) {
        return 0;
    }
    int clockwise = static_cast<int>(std::lround(-counterClockwise)) % 360;
    if (clockwise < 0) {
        clockwise += 360;
    }
    // Only quarter turns are meaningful for a movie's picture.
    return ((clockwise + 45) / 90 % 4) * 90;
}

// The container's stated duration, measured from its start (`start`, in microseconds), or
// AV_NOPTS_VALUE. Matroska states the end of its own timeline, which begins at zero, rather than
// the length of what it holds: streams that start an hour in would add an hour of nothing.
int64_t statedDurationMicroseconds(const AVFormatContext& format, int64_t start) {
    if (format.duration == AV_NOPTS_VALUE || format.duration <= 0) {
        return AV_NOPTS_VALUE;
    }
    if (start > 0 && format.iformat != nullptr &&
        std::strstr(format.iformat->name, "matroska") != nullptr) {
        return format.duration > start ? format.duration - start : AV_NOPTS_VALUE;
    }
    return format.duration;
}

// Where the file's data stops, in microseconds from the asset's start, or AV_NOPTS_VALUE when
// every indexed sample lies within the file. Only a demuxer that indexes every sample up front
// (QuickTime, MPEG-4) can tell: a file cut off after its index was written keeps an index that
// points past its end, and the first such sample is where the readable content stops.
int64_t readableEndMicroseconds(AVFormatContext& format, int64_t start) {
    const int64_t size = format.pb != nullptr ? avio_size(format.pb) : -1;
    if (size <= 0) {
        return AV_NOPTS_VALUE;
    }
    int64_t end = AV_NOPTS_VALUE;
    for (unsigned i = 0; i < format.nb_streams; ++i) {
        AVStream* stream = format.streams[i];
        const int count = avformat_index_get_entries_count(stream);
        for (int e = 0; e < count; ++e) {
            const AVIndexEntry* entry = avformat_index_get_entry(stream, e);
            if (entry != nullptr && entry->pos + entry->size > size) {
                const int64_t at =
                    av_rescale_q(entry->timestamp, stream->time_base, AV_TIME_BASE_Q) - start;
                end = end == AV_NOPTS_VALUE ? at : std::min(end, at);
                break;
            }
        }
    }
    return end == AV_NOPTS_VALUE ? end : std::max<int64_t>(end, 0);
}

} // namespace

std::shared_ptr<Asset> Asset::assetWithPath(const std::string& path) {
    std::shared_ptr<Asset> asset(new Asset(path));
    asset->load();
    return asset;
}

void Asset::load() {
    InputContextPtr format = openInputFile(m_path, m_error);
    if (!format) {
        return;
    }
    m_startMicroseconds = format->start_time == AV_NOPTS_VALUE ? 0 : format->start_time;
    const int64_t stated = statedDurationMicroseconds(*format, m_startMicroseconds);

    int firstVideo = -1;
    int firstAudio = -1;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream& stream = *format->streams[i];
        const bool video = isRealVideo(stream);
        const bool audio = stream.codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
        if (!video && !audio) {
            continue;
        }
        if (avcodec_find_decoder(stream.codecpar->codec_id) == nullptr) {
            continue;
        }
        if (video && firstVideo < 0) {
            firstVideo = static_cast<int>(i);
        }
        if (audio && firstAudio < 0) {
            firstAudio = static_cast<int>(i);
        }

        AssetTrack track;
        track.trackID = static_cast<int32_t>(i) + 1;
        track.streamIndex = static_cast<int>(i);
        track.mediaType = video ? MediaType::Video : MediaType::Audio;
        const int32_t timescale = timescaleForTimeBase(stream.time_base.num, stream.time_base.den);
        if (video) {
            track.naturalWidth = stream.codecpar->width;
            track.naturalHeight = stream.codecpar->height;
            // The container's word where it has one, else the stream's own.
            const AVRational aspect =
                av_guess_sample_aspect_ratio(format.get(), format->streams[i], nullptr);
            if (aspect.num > 0 && aspect.den > 0) {
                av_reduce(&track.sampleAspect.num, &track.sampleAspect.den, aspect.num, aspect.den,
                          INT32_MAX);
            }
            const AVRational rate =
                stream.avg_frame_rate.num > 0 ? stream.avg_frame_rate : stream.r_frame_rate;
            track.nominalFrameRate = rate.den > 0 ? av_q2d(rate) : 0.0;
            if (stream.r_frame_rate.num > 0 && stream.r_frame_rate.den > 0) {
                track.nominalRate = stream.r_frame_rate;
            }
            if (stream.avg_frame_rate.num > 0 && stream.avg_frame_rate.den > 0) {
                track.averageRate = stream.avg_frame_rate;
            }
            size_t size = 0;
            const uint8_t* matrix =
                av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
            if (matrix != nullptr && size >= sizeof track.displayMatrix) {
                std::memcpy(track.displayMatrix.data(), matrix, sizeof track.displayMatrix);
                track.hasDisplayMatrix = true;
                track.rotation = rotationFromMatrix(track.displayMatrix.data());
            }
        } else {
            track.sampleRate = stream.codecpar->sample_rate;
            track.channels = stream.codecpar->ch_layout.nb_channels;
        }
        const int64_t origin = av_rescale_q(m_startMicroseconds, AV_TIME_BASE_Q, stream.time_base);
        const int64_t start = stream.start_time == AV_NOPTS_VALUE ? origin : stream.start_time;
        MediaTime trackStart = timeFromStreamUnits(start - origin, stream.time_base, timescale);
        const int64_t offset = av_rescale_q(start - origin, stream.time_base, AV_TIME_BASE_Q);
        MediaTime trackDuration =
            stream.duration != AV_NOPTS_VALUE
                ? timeFromStreamUnits(stream.duration, stream.time_base, timescale)
                : timeFromStreamUnits(
                      stated == AV_NOPTS_VALUE ? stated : std::max<int64_t>(stated - offset, 0),
                      AV_TIME_BASE_Q, timescale);
        track.timeRange = MediaTimeRange::make(trackStart, trackDuration);
        track.traits = traitsOf(*format, stream);
        m_tracks.push_back(track);
    }

    const int timingStream = firstVideo >= 0 ? firstVideo : firstAudio;
    if (timingStream < 0) {
        m_error = "no audio or video stream that can be decoded";
        m_tracks.clear();
        return;
    }
    const AVStream& timing = *format->streams[timingStream];
    const int32_t timescale = timescaleForTimeBase(timing.time_base.num, timing.time_base.den);
    if (stated != AV_NOPTS_VALUE) {
        m_duration = timeFromStreamUnits(stated, AV_TIME_BASE_Q, timescale);
    } else {
        MediaTime longest = MediaTime::invalid();
        for (const AssetTrack& track : m_tracks) {
            const MediaTime end = track.timeRange.end();
            if (end.isNumeric() && (!longest.isValid() || end > longest)) {
                longest = end;
            }
        }
        m_duration = longest.isValid() ? longest.convertScale(timescale) : longest;
    }

    m_readableDuration = m_duration;
    const int64_t readableEnd = readableEndMicroseconds(*format, m_startMicroseconds);
    if (readableEnd != AV_NOPTS_VALUE && m_duration.isNumeric()) {
        m_readableDuration =
            minTime(m_duration, timeFromStreamUnits(readableEnd, AV_TIME_BASE_Q, timescale));
    }

    if (!firstFrameDecodes(*format, timingStream)) {
        m_error = "the first frame does not decode";
        m_tracks.clear();
        m_duration = MediaTime::invalid();
        m_readableDuration = MediaTime::invalid();
        return;
    }
    m_playable = true;
}

std::vector<AssetTrack> Asset::tracks() const {
    std::vector<AssetTrack> result = m_tracks;
    for (AssetTrack& track : result) {
        track.asset = shared_from_this();
    }
    return result;
}

std::vector<AssetTrack> Asset::tracksWithMediaType(MediaType type) const {
    std::vector<AssetTrack> result;
    for (AssetTrack& track : tracks()) {
        if (track.mediaType == type) {
            result.push_back(std::move(track));
        }
    }
    return result;
}

} // namespace lento
