#include "media/Asset.h"
#include "media/ExportPipeline.h"

#include <optional>

extern "C" {
#include <libavutil/imgutils.h>
}

namespace lento {

namespace {

struct DecodedPicture {
    FramePtr frame;
    MediaTime time; // on the source's timeline
};

// Reads the decoded pictures of one video stream in presentation order, from a seek point on.
class PictureReader {
public:
    bool open(const AssetTrack& track, std::string& error) {
        // One decoding thread: the encoder keeps every core busy, and each extra thread would
        // hold its own pictures.
        if (!m_source.open(track, 1, error)) {
            return false;
        }
        m_packet = makePacket();
        return true;
    }

    const SourceStream& source() const { return m_source; }

    bool seek(MediaTime time, std::string& error) {
        const int64_t timestamp =
            av_rescale_q_rnd(time.value, AVRational{1, time.timescale}, m_source.timeBase,
                             static_cast<AVRounding>(AV_ROUND_DOWN)) +
            m_source.origin;
        // Land on the key frame at or before the time; the pictures before it are skipped later.
        const int result = avformat_seek_file(m_source.format.get(), m_source.streamIndex,
                                              INT64_MIN, timestamp, timestamp, 0);
        if (result < 0) {
            // Some files cannot seek; reading from the top still works.
            av_seek_frame(m_source.format.get(), m_source.streamIndex, 0, AVSEEK_FLAG_BACKWARD);
        }
        avcodec_flush_buffers(m_source.decoder.get());
        m_inputEnded = false;
        m_drained = false;
        (void)error;
        return true;
    }

    // The next picture, or nothing at the end of the stream. Sets `error` on a read failure.
    std::optional<DecodedPicture> next(std::string& error) {
        while (!m_drained) {
            FramePtr frame = makeFrame();
            const int received = avcodec_receive_frame(m_source.decoder.get(), frame.get());
            if (received == 0) {
                int64_t pts = frame->best_effort_timestamp;
                if (pts == AV_NOPTS_VALUE) {
                    pts = frame->pts != AV_NOPTS_VALUE ? frame->pts : m_lastPts + 1;
                }
                m_lastPts = pts;
                const int64_t units = (pts - m_source.origin) * m_source.timeBase.num;
                DecodedPicture picture{std::move(frame),
                                       MediaTime::make(units, m_source.timeBase.den)};
                return picture;
            }
            if (received == AVERROR_EOF) {
                m_drained = true;
                break;
            }
            if (received != AVERROR(EAGAIN)) {
                error = "cannot decode the video: " + ffmpegError(received);
                return std::nullopt;
            }
            if (m_inputEnded) {
                m_drained = true;
                break;
            }
            const int read = av_read_frame(m_source.format.get(), m_packet.get());
            if (read < 0) {
                m_inputEnded = true;
                avcodec_send_packet(m_source.decoder.get(), nullptr);
                continue;
            }
            if (m_packet->stream_index == m_source.streamIndex) {
                // A damaged packet is dropped; the decoder goes on with the next one.
                avcodec_send_packet(m_source.decoder.get(), m_packet.get());
            }
            av_packet_unref(m_packet.get());
        }
        return std::nullopt;
    }

private:
    SourceStream m_source;
    PacketPtr m_packet;
    int64_t m_lastPts = 0;
    bool m_inputEnded = false;
    bool m_drained = false;
};

// Turns decoded pictures into output pictures (size, pixel format) and keeps the last one back
// until the next shows how long it lasts.
class PictureSink {
public:
    PictureSink(const VideoFormat& format, BoundedQueue<VideoItem>& queue)
        : m_format(format), m_queue(queue) {}

    bool place(const AVFrame& frame, int64_t pts, std::string& error) {
        if (m_pending.frame) {
            if (pts <= m_pending.pts) {
                // Pictures never share or go back in time on the output.
                pts = m_pending.pts + 1;
            }
            m_pending.duration = pts - m_pending.pts;
            if (!m_queue.push(std::move(m_pending))) {
                return false;
            }
        } else {
            // The movie starts with its first picture.
            pts = 0;
        }
        m_pending = VideoItem{convert(frame, error), pts, 0};
        return m_pending.frame != nullptr;
    }

    bool finish(int64_t end) {
        if (!m_pending.frame) {
            return true;
        }
        m_pending.duration = std::max<int64_t>(1, end - m_pending.pts);
        return m_queue.push(std::move(m_pending));
    }

private:
    FramePtr convert(const AVFrame& frame, std::string& error) {
        if (frame.width == m_format.width && frame.height == m_format.height &&
            frame.format == AV_PIX_FMT_YUV420P) {
            return FramePtr(av_frame_clone(&frame));
        }
        m_scaler.reset(sws_getCachedContext(m_scaler.release(), frame.width, frame.height,
                                            static_cast<AVPixelFormat>(frame.format),
                                            m_format.width, m_format.height, AV_PIX_FMT_YUV420P,
                                            SWS_BILINEAR, nullptr, nullptr, nullptr));
        FramePtr output = pooledFrame();
        if (!m_scaler || !output) {
            error = "cannot convert the pictures";
            return nullptr;
        }
        sws_scale(m_scaler.get(), frame.data, frame.linesize, 0, frame.height, output->data,
                  output->linesize);
        av_frame_copy_props(output.get(), &frame);
        return output;
    }

    // An output picture whose memory comes back to a pool once the encoder is done with it:
    // fresh memory for every picture costs the kernel more time than the scaling.
    FramePtr pooledFrame() {
        constexpr int kAlign = 64;
        if (!m_pool) {
            const int size = av_image_get_buffer_size(AV_PIX_FMT_YUV420P, m_format.width,
                                                      m_format.height, kAlign);
            if (size <= 0) {
                return nullptr;
            }
            m_pool.reset(av_buffer_pool_init(size_t(size), nullptr));
        }
        FramePtr output = makeFrame();
        AVBufferRef* buffer = m_pool ? av_buffer_pool_get(m_pool.get()) : nullptr;
        if (!output || !buffer) {
            av_buffer_unref(&buffer);
            return nullptr;
        }
        output->buf[0] = buffer;
        output->format = AV_PIX_FMT_YUV420P;
        output->width = m_format.width;
        output->height = m_format.height;
        if (av_image_fill_arrays(output->data, output->linesize, buffer->data, AV_PIX_FMT_YUV420P,
                                 m_format.width, m_format.height, kAlign) < 0) {
            return nullptr;
        }
        return output;
    }

    VideoFormat m_format;
    BoundedQueue<VideoItem>& m_queue;
    ScaleContextPtr m_scaler;
    BufferPoolPtr m_pool;
    VideoItem m_pending;
};

int64_t outputTicks(MediaTime time) {
    return time.convertScale(kVideoTimescale).value;
}

} // namespace

std::string renderVideo(const std::vector<PlacedSegment>& segments, const VideoFormat& format,
                        int64_t end, BoundedQueue<VideoItem>& queue,
                        const std::atomic<bool>& stop) {
    std::string error;
    std::optional<PictureReader> reader;
    PictureSink sink(format, queue);
    // A picture read past the end of one segment, kept for the next when that one continues
    // where the last stopped.
    std::optional<DecodedPicture> lookahead;
    MediaTime readerPosition = MediaTime::invalid();

    for (const PlacedSegment& segment : segments) {
        if (stop) {
            return {};
        }
        const MediaTime sourceStart = segment.sourceRange.start;
        const MediaTime sourceEnd = segment.sourceRange.end();
        const bool sameSource = reader && reader->source().isSame(segment.source);
        if (!sameSource) {
            reader.emplace();
            if (!reader->open(segment.source, error)) {
                return error;
            }
            lookahead.reset();
            readerPosition = MediaTime::invalid();
        }
        if (!(readerPosition.isValid() && readerPosition == sourceStart)) {
            lookahead.reset();
            reader->seek(sourceStart, error);
        }
        readerPosition = sourceEnd;

        auto place = [&](const DecodedPicture& picture, MediaTime sourceTime) {
            const MediaTime offset =
                scaleTime(sourceTime - sourceStart, segment.targetRange.duration,
                          segment.sourceRange.duration);
            return sink.place(*picture.frame, outputTicks(segment.targetRange.start + offset),
                              error);
        };

        // The picture on screen when the segment starts: the last one before its start.
        std::optional<DecodedPicture> onScreen;
        bool placedAny = false;
        while (!stop) {
            std::optional<DecodedPicture> picture;
            if (lookahead) {
                picture = std::move(lookahead);
                lookahead.reset();
            } else {
                picture = reader->next(error);
                if (!error.empty()) {
                    return error;
                }
            }
            if (!picture) {
                break;
            }
            if (picture->time < sourceStart) {
                onScreen = std::move(picture);
                continue;
            }
            if (picture->time >= sourceEnd) {
                lookahead = std::move(picture);
                break;
            }
            if (!placedAny && onScreen && picture->time > sourceStart) {
                if (!place(*onScreen, sourceStart)) {
                    return error;
                }
            }
            placedAny = true;
            if (!place(*picture, picture->time)) {
                return error;
            }
        }
        if (!placedAny && onScreen && !stop) {
            // The whole segment lies within one picture.
            if (!place(*onScreen, sourceStart)) {
                return error;
            }
        }
    }
    if (!stop) {
        sink.finish(end);
    }
    return error;
}

} // namespace lento
