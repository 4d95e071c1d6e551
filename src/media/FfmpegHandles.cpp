#include "media/FfmpegHandles.h"

#include <cstdint>
#include <functional>

namespace lento {

void OutputContextDeleter::operator()(AVFormatContext* context) const {
    if (context->pb != nullptr && (context->oformat->flags & AVFMT_NOFILE) == 0) {
        avio_closep(&context->pb);
    }
    avformat_free_context(context);
}

FramePtr makeFrame() {
    return FramePtr(av_frame_alloc());
}

PacketPtr makePacket() {
    return PacketPtr(av_packet_alloc());
}

std::string ffmpegError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

namespace {

// Sets `error`, and `code` where the caller wants it.
void fail(std::string& error, int* code, int result, std::string text) {
    error = std::move(text);
    if (code != nullptr) {
        *code = result;
    }
}

// The reading deadline of an input lives in the context's user field as steady-clock ticks:
// FFmpeg copies the interrupt callback into the file it opens, so the callback may only refer
// to the context itself, never to anything that goes away before it.
intptr_t deadlineTicks(std::chrono::steady_clock::time_point end) {
    return static_cast<intptr_t>(end.time_since_epoch().count());
}

int interruptWhenLate(void* opaque) {
    const auto* context = static_cast<const AVFormatContext*>(opaque);
    const intptr_t deadline = reinterpret_cast<intptr_t>(context->opaque);
    return deadlineTicks(std::chrono::steady_clock::now()) > deadline ? 1 : 0;
}

// Opens `path`, probing its streams unless `headerSuffices` says the header told enough.
InputContextPtr openInput(const std::string& path, std::string& error,
                          std::chrono::milliseconds timeout,
                          const std::function<bool(const AVFormatContext&)>& headerSuffices,
                          int* code) {
    AVFormatContext* raw = avformat_alloc_context();
    if (raw == nullptr) {
        fail(error, code, AVERROR(ENOMEM), "out of memory");
        return nullptr;
    }
    raw->opaque =
        reinterpret_cast<void*>(deadlineTicks(std::chrono::steady_clock::now() + timeout));
    raw->interrupt_callback.callback = interruptWhenLate;
    raw->interrupt_callback.opaque = raw;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "probesize", "20000000", 0);
    av_dict_set(&options, "analyzeduration", "20000000", 0);
    int result = avformat_open_input(&raw, path.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (result < 0) {
        // avformat_open_input frees the context on failure.
        fail(error, code, result, ffmpegError(result));
        return nullptr;
    }
    InputContextPtr context(raw);
    if (!headerSuffices(*context)) {
        result = avformat_find_stream_info(context.get(), nullptr);
    }
    // Once open, reading takes as long as the file needs.
    context->opaque = reinterpret_cast<void*>(INTPTR_MAX);
    if (result < 0) {
        fail(error, code, result, ffmpegError(result));
        return nullptr;
    }
    return context;
}

} // namespace

InputContextPtr openInputFile(const std::string& path, std::string& error,
                              std::chrono::milliseconds timeout, int* code) {
    return openInput(
        path, error, timeout, [](const AVFormatContext&) { return false; }, code);
}

InputContextPtr openStreamInput(const std::string& path, int streamIndex, std::string& error,
                                int* code) {
    return openInput(
        path, error, std::chrono::seconds(20),
        [streamIndex](const AVFormatContext& format) {
            // Containers without a header (transport streams) describe their streams only as
            // they go.
            if ((format.ctx_flags & AVFMTCTX_NOHEADER) != 0 || streamIndex < 0 ||
                streamIndex >= static_cast<int>(format.nb_streams)) {
                return false;
            }
            const AVCodecParameters& stream = *format.streams[streamIndex]->codecpar;
            if (stream.codec_id == AV_CODEC_ID_NONE) {
                return false;
            }
            return stream.codec_type == AVMEDIA_TYPE_AUDIO
                       ? stream.sample_rate > 0 && stream.ch_layout.nb_channels > 0
                       : stream.codec_type == AVMEDIA_TYPE_VIDEO && stream.width > 0 &&
                             stream.height > 0;
        },
        code);
}

CodecContextPtr openDecoder(const AVStream& stream, int threads, std::string& error, int* code) {
    const AVCodec* codec = avcodec_find_decoder(stream.codecpar->codec_id);
    if (codec == nullptr) {
        fail(error, code, AVERROR_DECODER_NOT_FOUND, "no decoder for this stream");
        return nullptr;
    }
    CodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context) {
        fail(error, code, AVERROR(ENOMEM), "out of memory");
        return nullptr;
    }
    int result = avcodec_parameters_to_context(context.get(), stream.codecpar);
    if (result < 0) {
        fail(error, code, result, ffmpegError(result));
        return nullptr;
    }
    context->pkt_timebase = stream.time_base;
    context->thread_count = threads;
    result = avcodec_open2(context.get(), codec, nullptr);
    if (result < 0) {
        fail(error, code, result, ffmpegError(result));
        return nullptr;
    }
    return context;
}

} // namespace lento
