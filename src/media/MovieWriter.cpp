#include "media/MovieWriter.h"

#include "media/Asset.h"

#include <algorithm>
#include <cstring>
#include <thread>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace lento {

namespace {

// Whether `codec` can take `format`.
bool encoderTakes(const AVCodec& codec, AVPixelFormat format) {
    for (const AVPixelFormat* each = codec.pix_fmts; each != nullptr && *each != AV_PIX_FMT_NONE;
         ++each) {
        if (*each == format) {
            return true;
        }
    }
    return false;
}

bool isIsoMedia(FileType type) {
    return type == FileType::QuickTimeMovie || type == FileType::MPEG4;
}

} // namespace

bool MovieWriter::open(const std::string& path, FileType type, std::string& error) {
    AVFormatContext* raw = nullptr;
    const int result =
        avformat_alloc_output_context2(&raw, nullptr, fileTypeMuxer(type), path.c_str());
    if (result < 0 || raw == nullptr) {
        error = "cannot write this file type: " + ffmpegError(result);
        return false;
    }
    m_output.reset(raw);
    m_type = type;
    m_path = path;
    m_packet = makePacket();
    m_heldVideo = makePacket();
    if (!m_packet || !m_heldVideo) {
        error = "out of memory";
        return false;
    }
    return true;
}

void MovieWriter::setTags(const SourceTraits& traits) {
    for (const auto& [name, value] : traits.tags) {
        // A tag that cannot be set is left out: the movie is whole without it.
        av_dict_set(&m_output->metadata, name.c_str(), value.c_str(), 0);
    }
}

bool MovieWriter::addVideo(const VideoFormat& format, const ExportPreset& preset,
                           const AssetTrack& source, const SourceTraits& traits,
                           AVRational frameRate, std::string& error) {
    const bool deep = format.pixelFormat != AV_PIX_FMT_YUV420P;
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    // A libx264 built for 8 bits alone: HEVC Main 10 keeps the depth where the container
    // holds it.
    const bool hevc =
        deep && codec != nullptr && !encoderTakes(*codec, format.pixelFormat) && isIsoMedia(m_type);
    if (hevc) {
        codec = avcodec_find_encoder_by_name("libx265");
    }
    if (codec == nullptr || !encoderTakes(*codec, format.pixelFormat)) {
        error =
            deep ? "no installed encoder keeps 10-bit pictures" : "the H.264 encoder is missing";
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
    encoder.pix_fmt = format.pixelFormat;
    encoder.time_base = AVRational{1, kVideoTimescale};
    if (frameRate.num > 0 && frameRate.den > 0) {
        encoder.framerate = frameRate;
    }
    // The encoders write these into the stream's own headers as well as the container's, so
    // that HDR stays HDR wherever the file goes.
    encoder.color_primaries = traits.primaries;
    encoder.color_trc = traits.transfer;
    encoder.colorspace = traits.matrix;
    encoder.color_range = traits.range;
    encoder.chroma_sample_location = traits.chromaLocation;
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
        result = av_opt_set(encoder.priv_data, "profile",
                            hevc ? "main10" : (deep ? "high10" : "high"), 0);
    }
    if (result >= 0 && hevc) {
        // Apple's players take HEVC only under this tag.
        encoder.codec_tag = MKTAG('h', 'v', 'c', '1');
    }
    if (result >= 0) {
        result = avcodec_open2(&encoder, codec, nullptr);
    }
    if (result < 0) {
        error = std::string("cannot start the ") + (hevc ? "HEVC" : "H.264") +
                " encoder: " + ffmpegError(result);
        return false;
    }
    m_videoStream = addStream(encoder, error);
    if (m_videoStream == nullptr) {
        return false;
    }
    m_videoStream->avg_frame_rate = encoder.framerate;
    return addDisplayMatrix(source, error);
}

bool MovieWriter::canHold(AVCodecID codec) const {
    return avformat_query_codec(m_output->oformat, codec, FF_COMPLIANCE_NORMAL) == 1;
}

AVStream* MovieWriter::addCopiedStream(const AVCodecParameters& source, AVRational timeBase,
                                       std::string& error) {
    AVStream* stream = avformat_new_stream(m_output.get(), nullptr);
    if (stream == nullptr) {
        error = "out of memory";
        return nullptr;
    }
    const int result = avcodec_parameters_copy(stream->codecpar, &source);
    if (result < 0) {
        error = "cannot describe the copied stream: " + ffmpegError(result);
        return nullptr;
    }
    // The source container's tag may mean nothing in this one; the muxer picks its own.
    stream->codecpar->codec_tag = 0;
    stream->time_base = timeBase;
    return stream;
}

bool MovieWriter::addCopiedVideo(const AVCodecParameters& source, AVRational timeBase,
                                 AVRational frameRate, const AssetTrack& track,
                                 std::string& error) {
    m_videoStream = addCopiedStream(source, timeBase, error);
    if (m_videoStream == nullptr) {
        return false;
    }
    if (source.codec_id == AV_CODEC_ID_HEVC && isIsoMedia(m_type)) {
        m_videoStream->codecpar->codec_tag = MKTAG('h', 'v', 'c', '1');
    }
    m_videoStream->avg_frame_rate = frameRate;
    m_copiedTimeBase = timeBase;
    return addDisplayMatrix(track, error);
}

bool MovieWriter::addCopiedAudio(const AVCodecParameters& source, AVRational timeBase,
                                 std::string& error) {
    m_audioStream = addCopiedStream(source, timeBase, error);
    m_copiedAudioTimeBase = timeBase;
    return m_audioStream != nullptr;
}

bool MovieWriter::addDisplayMatrix(const AssetTrack& source, std::string& error) {
    if (!source.hasDisplayMatrix) {
        return true;
    }
    uint8_t* matrix = av_stream_new_side_data(m_videoStream, AV_PKT_DATA_DISPLAYMATRIX,
                                              sizeof source.displayMatrix);
    if (matrix == nullptr) {
        error = "out of memory";
        return false;
    }
    std::memcpy(matrix, source.displayMatrix.data(), sizeof source.displayMatrix);
    return true;
}

bool MovieWriter::addAudio(const AudioFormat& format, const ExportPreset& preset,
                           std::string& error) {
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
    // The preset's rate is for stereo; more channels get as much each.
    encoder.bit_rate = preset.audioBitRate * std::max(1, format.channels) / 2;
    encoder.time_base = AVRational{1, format.sampleRate};
    if ((m_output->oformat->flags & AVFMT_GLOBALHEADER) != 0) {
        encoder.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    const int result = avcodec_open2(&encoder, codec, nullptr);
    if (result < 0) {
        error = "cannot start the AAC encoder: " + ffmpegError(result);
        return false;
    }
    // The sound is cut into items before the encoder is made.
    if (encoder.frame_size != format.frameSize) {
        error = "the AAC encoder takes " + std::to_string(encoder.frame_size) + " samples a frame";
        return false;
    }
    m_audioStream = addStream(encoder, error);
    return m_audioStream != nullptr;
}

bool MovieWriter::start(std::string& error) {
    int result = avio_open(&m_output->pb, m_path.c_str(), AVIO_FLAG_WRITE);
    if (result < 0) {
        error = "cannot create the file: " + ffmpegError(result);
        return false;
    }
    AVDictionary* options = nullptr;
    if (isIsoMedia(m_type)) {
        // The index goes in front, so that a browser or a phone can play the file while it
        // arrives. The muxer moves it there when finishing, rewriting the file it writes (the
        // temporary one), so the destination only ever sees the finished movie.
        result = av_dict_set(&options, "movflags", "+faststart", 0);
        if (result < 0) {
            error = "out of memory";
            return false;
        }
    }
    result = avformat_write_header(m_output.get(), &options);
    av_dict_free(&options);
    if (result < 0) {
        error = "cannot write the file: " + ffmpegError(result);
        return false;
    }
    return true;
}

bool MovieWriter::writeVideo(VideoItem& item, std::string& error) {
    item.frame->pts = item.pts;
    item.frame->pict_type = AV_PICTURE_TYPE_NONE;
    m_durations[item.pts] = item.duration;
    return encode(*m_video, m_videoStream, item.frame.get(), error);
}

bool MovieWriter::writeCopiedVideo(AVPacket& packet, std::string& error) {
    return write(packet, m_copiedTimeBase, *m_videoStream, error);
}

bool MovieWriter::writeCopiedAudio(AVPacket& packet, std::string& error) {
    return write(packet, m_copiedAudioTimeBase, *m_audioStream, error);
}

bool MovieWriter::writeAudio(AudioItem& item, std::string& error) {
    item.frame->pts = item.firstSample;
    return encode(*m_audio, m_audioStream, item.frame.get(), error);
}

bool MovieWriter::finish(int64_t videoEnd, std::string& error) {
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

AVStream* MovieWriter::addStream(const AVCodecContext& encoder, std::string& error) {
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

bool MovieWriter::encode(AVCodecContext& encoder, AVStream* stream, AVFrame* frame,
                         std::string& error) {
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
        if (!write(*m_packet, encoder.time_base, *stream, error)) {
            return false;
        }
    }
    if (result != AVERROR(EAGAIN) && result != AVERROR_EOF) {
        error = "cannot encode: " + ffmpegError(result);
        return false;
    }
    return true;
}

bool MovieWriter::write(AVPacket& packet, AVRational timeBase, const AVStream& stream,
                        std::string& error) {
    av_packet_rescale_ts(&packet, timeBase, stream.time_base);
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
bool MovieWriter::writeHeldVideo(int64_t videoEnd, std::string& error) {
    if (!std::exchange(m_holdingVideo, false)) {
        return true;
    }
    AVPacket& last = *m_heldVideo;
    const int64_t leadAtStart = std::max<int64_t>(0, -m_firstVideoDts);
    last.dts = std::clamp(last.pts - leadAtStart, m_lastVideoDts + 1, last.pts);
    last.duration = std::max<int64_t>(1, videoEnd - last.pts);
    return write(last, m_video->time_base, *m_videoStream, error);
}

} // namespace lento
