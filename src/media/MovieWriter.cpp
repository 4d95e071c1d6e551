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

StageOutcome MovieWriter::open(const std::string& path, FileType type) {
    AVFormatContext* raw = nullptr;
    const int result =
        avformat_alloc_output_context2(&raw, nullptr, fileTypeMuxer(type), path.c_str());
    if (result < 0 || raw == nullptr) {
        return StageOutcome::failed("cannot write this file type: " + ffmpegError(result),
                                    result < 0 ? result : AVERROR_MUXER_NOT_FOUND);
    }
    m_output.reset(raw);
    m_type = type;
    m_path = path;
    m_packet = makePacket();
    m_heldVideo = makePacket();
    if (!m_packet || !m_heldVideo) {
        return StageOutcome::outOfMemory();
    }
    return StageOutcome::succeeded();
}

void MovieWriter::setTags(const SourceTraits& traits) {
    for (const auto& [name, value] : traits.tags) {
        // A tag that cannot be set is left out: the movie is whole without it.
        av_dict_set(&m_output->metadata, name.c_str(), value.c_str(), 0);
    }
}

StageOutcome MovieWriter::addVideo(const VideoFormat& format, const ExportPreset& preset,
                                   const AssetTrack& source, const SourceTraits& traits,
                                   AVRational frameRate) {
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
        return StageOutcome::failed(deep ? "no installed encoder keeps 10-bit pictures"
                                         : "the H.264 encoder is missing",
                                    AVERROR_ENCODER_NOT_FOUND);
    }
    m_video.reset(avcodec_alloc_context3(codec));
    if (!m_video) {
        return StageOutcome::outOfMemory();
    }
    AVCodecContext& encoder = *m_video;
    encoder.width = format.width;
    encoder.height = format.height;
    encoder.pix_fmt = format.pixelFormat;
    // The encoder writes the pixels' shape into the stream, the muxer into the container.
    encoder.sample_aspect_ratio = format.sampleAspect;
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
        return StageOutcome::failed(std::string("cannot start the ") + (hevc ? "HEVC" : "H.264") +
                                        " encoder: " + ffmpegError(result),
                                    result);
    }
    StageOutcome added;
    m_videoStream = addStream(encoder, added);
    if (m_videoStream == nullptr) {
        return added;
    }
    m_videoStream->avg_frame_rate = encoder.framerate;
    m_videoStream->sample_aspect_ratio = format.sampleAspect;
    return addDisplayMatrix(source);
}

bool movieCanHold(FileType type, AVCodecID codec) {
    const AVOutputFormat* format = av_guess_format(fileTypeMuxer(type), nullptr, nullptr);
    return format != nullptr && avformat_query_codec(format, codec, FF_COMPLIANCE_NORMAL) == 1;
}

AVStream* MovieWriter::addCopiedStream(const AVCodecParameters& source, AVRational timeBase,
                                       StageOutcome& outcome) {
    AVStream* stream = avformat_new_stream(m_output.get(), nullptr);
    if (stream == nullptr) {
        outcome = StageOutcome::outOfMemory();
        return nullptr;
    }
    const int result = avcodec_parameters_copy(stream->codecpar, &source);
    if (result < 0) {
        outcome = StageOutcome::failed("cannot describe the copied stream: " + ffmpegError(result),
                                       result);
        return nullptr;
    }
    // The source container's tag may mean nothing in this one; the muxer picks its own.
    stream->codecpar->codec_tag = 0;
    stream->time_base = timeBase;
    return stream;
}

StageOutcome MovieWriter::addCopiedVideo(const AVCodecParameters& source, AVRational timeBase,
                                         AVRational frameRate, const AssetTrack& track) {
    StageOutcome added;
    m_videoStream = addCopiedStream(source, timeBase, added);
    if (m_videoStream == nullptr) {
        return added;
    }
    if (source.codec_id == AV_CODEC_ID_HEVC && isIsoMedia(m_type)) {
        m_videoStream->codecpar->codec_tag = MKTAG('h', 'v', 'c', '1');
    }
    m_videoStream->avg_frame_rate = frameRate;
    m_copiedTimeBase = timeBase;
    return addDisplayMatrix(track);
}

StageOutcome MovieWriter::addCopiedAudio(const AVCodecParameters& source, AVRational timeBase) {
    StageOutcome added;
    m_audioStream = addCopiedStream(source, timeBase, added);
    m_copiedAudioTimeBase = timeBase;
    return added;
}

StageOutcome MovieWriter::addDisplayMatrix(const AssetTrack& source) {
    if (!source.hasDisplayMatrix) {
        return StageOutcome::succeeded();
    }
    uint8_t* matrix = av_stream_new_side_data(m_videoStream, AV_PKT_DATA_DISPLAYMATRIX,
                                              sizeof source.displayMatrix);
    if (matrix == nullptr) {
        return StageOutcome::outOfMemory();
    }
    std::memcpy(matrix, source.displayMatrix.data(), sizeof source.displayMatrix);
    return StageOutcome::succeeded();
}

StageOutcome MovieWriter::addAudio(const AudioFormat& format, const ExportPreset& preset) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (codec == nullptr) {
        return StageOutcome::failed("the AAC encoder is missing", AVERROR_ENCODER_NOT_FOUND);
    }
    m_audio.reset(avcodec_alloc_context3(codec));
    if (!m_audio) {
        return StageOutcome::outOfMemory();
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
        return StageOutcome::failed("cannot start the AAC encoder: " + ffmpegError(result), result);
    }
    // The sound is cut into items before the encoder is made.
    if (encoder.frame_size != format.frameSize) {
        return StageOutcome::failed("the AAC encoder takes " + std::to_string(encoder.frame_size) +
                                        " samples a frame",
                                    AVERROR(EINVAL));
    }
    StageOutcome added;
    m_audioStream = addStream(encoder, added);
    return added;
}

StageOutcome MovieWriter::start() {
    int result = avio_open(&m_output->pb, m_path.c_str(), AVIO_FLAG_WRITE);
    if (result < 0) {
        return StageOutcome::failed("cannot create the file: " + ffmpegError(result), result);
    }
    AVDictionary* options = nullptr;
    if (isIsoMedia(m_type)) {
        // The index goes in front, so that a browser or a phone can play the file while it
        // arrives. The muxer moves it there when finishing, rewriting the file it writes (the
        // temporary one), so the destination only ever sees the finished movie.
        result = av_dict_set(&options, "movflags", "+faststart", 0);
        if (result < 0) {
            return StageOutcome::outOfMemory();
        }
    }
    result = avformat_write_header(m_output.get(), &options);
    av_dict_free(&options);
    if (result < 0) {
        return StageOutcome::failed("cannot write the file: " + ffmpegError(result), result);
    }
    return StageOutcome::succeeded();
}

StageOutcome MovieWriter::writeVideo(VideoItem& item) {
    item.frame->pts = item.pts;
    item.frame->pict_type = AV_PICTURE_TYPE_NONE;
    m_durations[item.pts] = item.duration;
    return encode(*m_video, m_videoStream, item.frame.get());
}

StageOutcome MovieWriter::writeCopiedVideo(AVPacket& packet) {
    return write(packet, m_copiedTimeBase, *m_videoStream);
}

StageOutcome MovieWriter::writeCopiedAudio(AVPacket& packet) {
    return write(packet, m_copiedAudioTimeBase, *m_audioStream);
}

StageOutcome MovieWriter::writeAudio(AudioItem& item) {
    item.frame->pts = item.firstSample;
    return encode(*m_audio, m_audioStream, item.frame.get());
}

StageOutcome MovieWriter::finish(int64_t videoEnd) {
    if (m_video) {
        if (StageOutcome flushed = encode(*m_video, m_videoStream, nullptr); !flushed.ok()) {
            return flushed;
        }
        if (StageOutcome held = writeHeldVideo(videoEnd); !held.ok()) {
            return held;
        }
    }
    if (m_audio) {
        if (StageOutcome flushed = encode(*m_audio, m_audioStream, nullptr); !flushed.ok()) {
            return flushed;
        }
    }
    int result = av_write_trailer(m_output.get());
    if (result >= 0) {
        result = avio_closep(&m_output->pb);
    }
    if (result < 0) {
        return StageOutcome::failed("cannot finish the file: " + ffmpegError(result), result);
    }
    return StageOutcome::succeeded();
}

AVStream* MovieWriter::addStream(const AVCodecContext& encoder, StageOutcome& outcome) {
    AVStream* stream = avformat_new_stream(m_output.get(), nullptr);
    if (stream == nullptr) {
        outcome = StageOutcome::outOfMemory();
        return nullptr;
    }
    const int result = avcodec_parameters_from_context(stream->codecpar, &encoder);
    if (result < 0) {
        outcome = StageOutcome::failed("cannot describe the encoded stream: " + ffmpegError(result),
                                       result);
        return nullptr;
    }
    stream->time_base = encoder.time_base;
    return stream;
}

StageOutcome MovieWriter::encode(AVCodecContext& encoder, AVStream* stream, AVFrame* frame) {
    int result = avcodec_send_frame(&encoder, frame);
    if (result < 0) {
        return StageOutcome::failed("cannot encode: " + ffmpegError(result), result);
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
        if (StageOutcome written = write(*m_packet, encoder.time_base, *stream); !written.ok()) {
            return written;
        }
    }
    if (result != AVERROR(EAGAIN) && result != AVERROR_EOF) {
        return StageOutcome::failed("cannot encode: " + ffmpegError(result), result);
    }
    return StageOutcome::succeeded();
}

StageOutcome MovieWriter::write(AVPacket& packet, AVRational timeBase, const AVStream& stream) {
    av_packet_rescale_ts(&packet, timeBase, stream.time_base);
    packet.stream_index = stream.index;
    const int result = av_interleaved_write_frame(m_output.get(), &packet);
    if (result < 0) {
        return StageOutcome::failed("cannot write the file: " + ffmpegError(result), result);
    }
    return StageOutcome::succeeded();
}

// The muxer measures a track from its first decoding time to the last packet's decoding
// time plus its duration, and shows it up to the latest showing time plus duration. B-frames
// are decoded a few pictures ahead of their showing, and once pictures are stretched that
// lead changes in time: a track whose last part is slowed came out a few pictures short.
// The last packet is decoded with the lead the track started with, as far as its neighbours
// allow, and lasts until `videoEnd` (the first picture is shown at 0), so that both
// measures agree.
StageOutcome MovieWriter::writeHeldVideo(int64_t videoEnd) {
    if (!std::exchange(m_holdingVideo, false)) {
        return StageOutcome::succeeded();
    }
    AVPacket& last = *m_heldVideo;
    const int64_t leadAtStart = std::max<int64_t>(0, -m_firstVideoDts);
    last.dts = std::clamp(last.pts - leadAtStart, m_lastVideoDts + 1, last.pts);
    last.duration = std::max<int64_t>(1, videoEnd - last.pts);
    return write(last, m_video->time_base, *m_videoStream);
}

} // namespace lento
