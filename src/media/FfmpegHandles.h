#pragma once

#include <chrono>
#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace lento {

// Owners of FFmpeg handles, each freed the way its library asks.
struct InputContextDeleter {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct OutputContextDeleter {
    void operator()(AVFormatContext* context) const;
};
struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct ScaleContextDeleter {
    void operator()(SwsContext* context) const { sws_freeContext(context); }
};
struct BufferPoolDeleter {
    // Buffers still out keep the pool alive until they come back.
    void operator()(AVBufferPool* pool) const { av_buffer_pool_uninit(&pool); }
};
struct ResampleContextDeleter {
    void operator()(SwrContext* context) const { swr_free(&context); }
};

using InputContextPtr = std::unique_ptr<AVFormatContext, InputContextDeleter>;
using OutputContextPtr = std::unique_ptr<AVFormatContext, OutputContextDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using ScaleContextPtr = std::unique_ptr<SwsContext, ScaleContextDeleter>;
using BufferPoolPtr = std::unique_ptr<AVBufferPool, BufferPoolDeleter>;
using ResampleContextPtr = std::unique_ptr<SwrContext, ResampleContextDeleter>;

FramePtr makeFrame();
PacketPtr makePacket();

// FFmpeg's text for an error code.
std::string ffmpegError(int code);

// Opens a media file for reading and reads its stream information. Reading gives up once
// `timeout` has passed, so that a hostile file cannot hang the caller. Returns null and sets
// `error` (and `code`, FFmpeg's error code, when given) on failure.
InputContextPtr openInputFile(const std::string& path, std::string& error,
                              std::chrono::milliseconds timeout = std::chrono::seconds(20),
                              int* code = nullptr);

// Opens a media file to decode its stream `streamIndex`, sound or pictures. Where the
// container's header describes that stream well enough to decode it, the streams are not probed:
// probing decodes the first pictures, which for a large video takes longer than opening the sound
// itself, and an export has probed its source once already.
InputContextPtr openStreamInput(const std::string& path, int streamIndex, std::string& error,
                                int* code = nullptr);

// A decoder for one stream of an open input, or null with `error` (and `code`) set.
CodecContextPtr openDecoder(const AVStream& stream, int threads, std::string& error,
                            int* code = nullptr);

} // namespace lento
