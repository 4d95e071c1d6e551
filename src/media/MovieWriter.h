#pragma once

#include "media/ExportPipeline.h"
#include "media/ExportPresets.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace lento {

// The encoders and the muxer of one export.
class MovieWriter {
public:
    bool open(const std::string& path, FileType type, std::string& error);
    // Copies the source's tags to the movie.
    void setTags(const SourceTraits& traits);
    bool addVideo(const VideoFormat& format, const ExportPreset& preset, const AssetTrack& source,
                  const SourceTraits& traits, AVRational frameRate, std::string& error);
    // A picture stream whose packets are copied from `source` unchanged, with their times in
    // `timeBase`.
    bool addCopiedVideo(const AVCodecParameters& source, AVRational timeBase, AVRational frameRate,
                        const AssetTrack& track, std::string& error);
    // Whether the movie can hold pictures or sound of `codec` as they are.
    bool canHold(AVCodecID codec) const;
    bool addAudio(const AudioFormat& format, const ExportPreset& preset, std::string& error);
    // A sound stream whose packets are copied from `source` unchanged, with their times in
    // `timeBase`.
    bool addCopiedAudio(const AVCodecParameters& source, AVRational timeBase, std::string& error);
    bool start(std::string& error);
    bool writeVideo(VideoItem& item, std::string& error);
    // A copied picture packet, its times in the copied stream's time base.
    bool writeCopiedVideo(AVPacket& packet, std::string& error);
    bool writeAudio(AudioItem& item, std::string& error);
    // A copied sound packet, its times in the copied stream's time base.
    bool writeCopiedAudio(AVPacket& packet, std::string& error);
    // Flushes the encoders and closes the file; the pictures last until `videoEnd` (in
    // kVideoTimescale units).
    bool finish(int64_t videoEnd, std::string& error);

private:
    AVStream* addStream(const AVCodecContext& encoder, std::string& error);
    AVStream* addCopiedStream(const AVCodecParameters& source, AVRational timeBase,
                              std::string& error);
    bool addDisplayMatrix(const AssetTrack& source, std::string& error);
    bool encode(AVCodecContext& encoder, AVStream* stream, AVFrame* frame, std::string& error);
    bool write(AVPacket& packet, AVRational timeBase, const AVStream& stream, std::string& error);
    bool writeHeldVideo(int64_t videoEnd, std::string& error);

    OutputContextPtr m_output;
    FileType m_type = FileType::QuickTimeMovie;
    std::string m_path;
    PacketPtr m_packet;
    PacketPtr m_heldVideo; // the latest picture packet, not yet written
    bool m_holdingVideo = false;
    int64_t m_firstVideoDts = AV_NOPTS_VALUE;
    int64_t m_lastVideoDts = INT64_MIN + 1; // of the latest picture packet written
    CodecContextPtr m_video;
    CodecContextPtr m_audio;
    AVRational m_copiedTimeBase{0, 1};      // of copied pictures; 0/1 when pictures are encoded
    AVRational m_copiedAudioTimeBase{0, 1}; // of copied sound; 0/1 when sound is encoded
    AVStream* m_videoStream = nullptr;      // owned by m_output
    AVStream* m_audioStream = nullptr;      // owned by m_output
    std::map<int64_t, int64_t> m_durations; // picture durations by time stamp, until encoded
};

} // namespace lento
