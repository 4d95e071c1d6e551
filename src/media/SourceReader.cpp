#include "media/SourceReader.h"

#include <chrono>
#include <cstdio>

namespace lento {

StageOutcome SourceStream::open(const AssetTrack& track, int decoderThreads, Probing probing) {
    path = track.asset->path();
    streamIndex = track.streamIndex;
    std::string error;
    int code = 0;
    format = probing == Probing::HeaderWhereEnough
                 ? openStreamInput(path, streamIndex, error, &code)
                 : openInputFile(path, error, std::chrono::seconds(20), &code);
    if (!format) {
        return StageOutcome::failed("cannot open " + path + ": " + error, code);
    }
    if (streamIndex < 0 || streamIndex >= static_cast<int>(format->nb_streams)) {
        return StageOutcome::failed(path + " has no such stream", AVERROR_STREAM_NOT_FOUND);
    }
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        if (static_cast<int>(i) != streamIndex) {
            format->streams[i]->discard = AVDISCARD_ALL;
        }
    }
    const AVStream& stream = *format->streams[streamIndex];
    decoder = openDecoder(stream, decoderThreads, error, &code);
    if (!decoder) {
        return StageOutcome::failed("cannot decode " + path + ": " + error, code);
    }
    timeBase = stream.time_base;
    origin = av_rescale_q(track.asset->startTimeMicroseconds(), AV_TIME_BASE_Q, timeBase);
    fileSize = format->pb != nullptr ? avio_size(format->pb) : -1;
    return StageOutcome::succeeded();
}

bool SourceStream::seek(int64_t timestamp) {
    const int result =
        avformat_seek_file(format.get(), streamIndex, INT64_MIN, timestamp, timestamp, 0);
    avcodec_flush_buffers(decoder.get());
    return result >= 0;
}

StageOutcome SourceStream::readPacket(AVPacket& packet, bool& ended) {
    ended = false;
    int read = av_read_frame(format.get(), &packet);
    if (read >= 0) {
        return StageOutcome::succeeded();
    }
    // Some demuxers report a failed read as the end of their data: the input keeps the error.
    if (read == AVERROR_EOF && format->pb != nullptr && format->pb->error < 0) {
        read = format->pb->error;
    }
    if (read != AVERROR_EOF) {
        return StageOutcome::failed("cannot read " + path + ": " + ffmpegError(read), read);
    }
    const int64_t size = format->pb != nullptr ? avio_size(format->pb) : -1;
    if (fileSize >= 0 && size >= 0 && size < fileSize) {
        char text[128];
        std::snprintf(text, sizeof text,
                      " became shorter while it was read (%lld of its %lld bytes are left)",
                      static_cast<long long>(size), static_cast<long long>(fileSize));
        return StageOutcome::failed(path + text, AVERROR_EOF);
    }
    ended = true;
    return StageOutcome::succeeded();
}

StageOutcome SourceStream::feedDecoder(AVPacket& packet, bool& inputEnded, const char* what) {
    bool ended = false;
    if (StageOutcome read = readPacket(packet, ended); !read.ok()) {
        return read;
    }
    int sent = 0;
    if (ended) {
        inputEnded = true;
        sent = avcodec_send_packet(decoder.get(), nullptr);
    } else if (packet.stream_index == streamIndex) {
        sent = avcodec_send_packet(decoder.get(), &packet);
    }
    av_packet_unref(&packet);
    // A damaged packet is no reason to stop; running out of memory is.
    if (sent == AVERROR(ENOMEM)) {
        return StageOutcome::failed(std::string("cannot decode ") + what + ": " + ffmpegError(sent),
                                    sent);
    }
    return StageOutcome::succeeded();
}

bool SourceStream::isSame(const AssetTrack& track) const {
    return track.asset && path == track.asset->path() && streamIndex == track.streamIndex;
}

StageOutcome SourceReader::open(const AssetTrack& track, int decoderThreads) {
    m_track = track;
    m_decoderThreads = decoderThreads;
    m_fresh = true;
    m_checkLanding = false;
    return m_stream.open(track, decoderThreads, SourceStream::Probing::HeaderWhereEnough);
}

StageOutcome SourceReader::restart() {
    m_checkLanding = false;
    m_fresh = true;
    return m_stream.open(m_track, m_decoderThreads, SourceStream::Probing::HeaderWhereEnough);
}

StageOutcome SourceReader::seek(MediaTime time, bool& restarted, MediaTime lead) {
    restarted = false;
    m_wanted = time;
    const MediaTime from = time - lead;
    if (m_fresh && from <= m_track.timeRange.start) {
        return StageOutcome::succeeded();
    }
    m_fresh = false;
    // Rounded down: the key frame sought must not lie after the place.
    const int64_t timestamp =
        av_rescale_q_rnd(from.value, AVRational{1, from.timescale}, m_stream.timeBase,
                         static_cast<AVRounding>(AV_ROUND_DOWN)) +
        m_stream.origin;
    if (!m_stream.seek(timestamp)) {
        restarted = true;
        return restart();
    }
    m_checkLanding = true;
    return StageOutcome::succeeded();
}

StageOutcome SourceReader::checkLanding(MediaTime frameTime, bool& restarted) {
    restarted = false;
    if (!m_checkLanding) {
        return StageOutcome::succeeded();
    }
    m_checkLanding = false;
    if (!frameTime.isValid() || frameTime <= m_wanted) {
        return StageOutcome::succeeded();
    }
    restarted = true;
    return restart();
}

} // namespace lento
