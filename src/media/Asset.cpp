#include "media/Asset.h"

#include "media/FfmpegHandles.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>

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

// How many packets' stamps tell a stream's picture spacing where the container keeps no index
// of every sample: two seconds or so, read anyway by most demuxers to probe the stream.
constexpr size_t kStampsRead = 64;

// The stamp of a packet or index entry: its presentation time, else its decoding time.
int64_t stampOf(const AVPacket& packet) {
    return packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts;
}

// Decodes packets of `streamIndex` until one frame comes out. With `stamps`, gathers the stamps
// of the stream's packets on the way, and reads on (without decoding) until it has
// kStampsRead of them.
bool firstFrameDecodes(AVFormatContext& format, int streamIndex, std::vector<int64_t>* stamps) {
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
    bool decoded = false;
    while (packetsLeft-- > 0) {
        if (!draining) {
            const int read = av_read_frame(&format, packet.get());
            if (read < 0) {
                draining = true;
                if (decoded) {
                    return true;
                }
                avcodec_send_packet(decoder.get(), nullptr);
            } else if (packet->stream_index == streamIndex) {
                if (stamps != nullptr && stampOf(*packet) != AV_NOPTS_VALUE) {
                    stamps->push_back(stampOf(*packet));
                }
                if (!decoded) {
                    avcodec_send_packet(decoder.get(), packet.get());
                }
                av_packet_unref(packet.get());
            } else {
                av_packet_unref(packet.get());
                continue;
            }
        }
        if (decoded) {
            if (stamps->size() >= kStampsRead) {
                return true;
            }
            continue;
        }
        const int received = avcodec_receive_frame(decoder.get(), frame.get());
        if (received == 0) {
            if (stamps == nullptr || stamps->size() >= kStampsRead || draining) {
                return true;
            }
            decoded = true;
            continue;
        }
        if (draining && received != AVERROR(EAGAIN)) {
            return false;
        }
    }
    return decoded;
}

// The stamps of every sample of `stream` where the demuxer indexes them all up front
// (QuickTime, MPEG-4); empty otherwise, as other indexes hold only some key pictures.
std::vector<int64_t> indexedStamps(const AVFormatContext& format, AVStream& stream) {
    std::vector<int64_t> stamps;
    if (format.iformat == nullptr || std::strstr(format.iformat->name, "mov") == nullptr) {
        return stamps;
    }
    const int count = avformat_index_get_entries_count(&stream);
    stamps.reserve(size_t(std::max(count, 0)));
    for (int e = 0; e < count; ++e) {
        const AVIndexEntry* entry = avformat_index_get_entry(&stream, e);
        if (entry != nullptr && (entry->flags & AVINDEX_DISCARD_FRAME) == 0) {
            stamps.push_back(entry->timestamp);
        }
    }
    return stamps;
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

// Rates cameras and editors write, whose spacing rounded stamps stand for.
constexpr AVRational kUsualRates[] = {
    {24000, 1001}, {24, 1}, {25, 1},  {30000, 1001},  {30, 1},  {48, 1}, {50, 1},
    {60000, 1001}, {60, 1}, {100, 1}, {120000, 1001}, {120, 1}, {240, 1}};

// The most pictures a second a camera takes: a finer common divisor of the gaps between
// pictures is the stamps' tick rather than a frame rate.
constexpr int64_t kMostPicturesASecond = 240;

// `units / per` seconds as a reduced rational; 0/1 where either is out of range.
AVRational secondsOf(__int128 units, __int128 per) {
    AVRational seconds{0, 1};
    const __int128 most = std::numeric_limits<int64_t>::max();
    if (units > 0 && per > 0 && units <= most && per <= most) {
        av_reduce(&seconds.num, &seconds.den, int64_t(units), int64_t(per), INT32_MAX);
    }
    return seconds;
}

} // namespace

PictureSpacing pictureSpacingOf(std::vector<int64_t> stamps, AVRational timeBase) {
    PictureSpacing result;
    stamps.erase(std::remove(stamps.begin(), stamps.end(), AV_NOPTS_VALUE), stamps.end());
    std::sort(stamps.begin(), stamps.end());
    stamps.erase(std::unique(stamps.begin(), stamps.end()), stamps.end());
    if (stamps.size() < 3 || timeBase.num <= 0 || timeBase.den <= 0 ||
        __int128(stamps.back()) - stamps.front() > std::numeric_limits<int64_t>::max() / 2) {
        return result;
    }
    // The last picture is left out where there are enough others: muxers stamp it loosely.
    const size_t last = stamps.size() > 3 ? stamps.size() - 2 : stamps.size() - 1;
    std::vector<int64_t> gaps;
    for (size_t i = 0; i < last; ++i) {
        gaps.push_back(stamps[i + 1] - stamps[i]);
    }
    std::vector<int64_t> ordered = gaps;
    std::nth_element(ordered.begin(), ordered.begin() + ordered.size() / 2, ordered.end());
    const int64_t typical = ordered[ordered.size() / 2];
    // Each stamp may be a unit off where the time base is coarse (milliseconds).
    const int64_t slack = 1 + typical / 1000;
    int64_t steps = 0;
    result.even = true;
    for (int64_t gap : gaps) {
        const int64_t times = (gap + typical / 2) / typical;
        if (times < 1 || std::abs(gap - times * typical) > slack * times) {
            result.even = false;
            break;
        }
        steps += times;
    }
    if (!result.even) {
        // Pictures left out at will (an AVI file stores no picture where the last one shows
        // again) still lie on the grid of the gaps' common divisor, where that is a frame rate.
        int64_t divisor = 0;
        for (int64_t gap : gaps) {
            divisor = std::gcd(divisor, gap);
        }
        result.even = __int128(divisor) * timeBase.num * kMostPicturesASecond >= timeBase.den;
        result.spacing =
            secondsOf(__int128(result.even ? divisor : typical) * timeBase.num, timeBase.den);
        return result;
    }
    // The span over the steps, or the usual rate whose spacing lies within a unit of the time
    // base of it over the whole span (the closest, should two).
    const __int128 span = __int128(stamps[last] - stamps[0]) * timeBase.num; // over timeBase.den
    double closest = 0;
    for (AVRational rate : kUsualRates) {
        // span / timeBase.den against steps * rate.den / rate.num, over timeBase.den * rate.num
        const __int128 usual = __int128(steps) * rate.den * timeBase.den;
        const __int128 off =
            span * rate.num > usual ? span * rate.num - usual : usual - span * rate.num;
        const double seconds = double(off) / (double(rate.num) * double(timeBase.den));
        if (off <= __int128(timeBase.num) * rate.num &&
            (result.spacing.num == 0 || seconds < closest)) {
            closest = seconds;
            result.spacing = av_inv_q(rate);
        }
    }
    if (result.spacing.num == 0) {
        result.spacing = secondsOf(span, __int128(steps) * timeBase.den);
    }
    return result;
}

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
            track.pictureSpacing =
                pictureSpacingOf(indexedStamps(*format, *format->streams[i]), stream.time_base);
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

    // Without an index of every sample, the first video stream's first packets tell its spacing.
    auto firstVideoTrack = std::find_if(m_tracks.begin(), m_tracks.end(), [&](const AssetTrack& t) {
        return t.streamIndex == firstVideo;
    });
    const bool readStamps =
        firstVideoTrack != m_tracks.end() && firstVideoTrack->pictureSpacing.spacing.num == 0;
    std::vector<int64_t> stamps;
    if (!firstFrameDecodes(*format, timingStream, readStamps ? &stamps : nullptr)) {
        m_error = "the first frame does not decode";
        m_tracks.clear();
        m_duration = MediaTime::invalid();
        m_readableDuration = MediaTime::invalid();
        return;
    }
    if (readStamps) {
        firstVideoTrack->pictureSpacing =
            pictureSpacingOf(std::move(stamps), format->streams[firstVideo]->time_base);
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
