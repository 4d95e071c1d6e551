#pragma once

#include "media/ExportPipeline.h"
#include "media/ExportPresets.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace lento {

// Whether a movie of `type` can hold pictures or sound of `codec` as they are.
bool movieCanHold(FileType type, AVCodecID codec);

// The encoders and the muxer of one export.
class MovieWriter {
public:
    StageOutcome open(const std::string& path, FileType type);
    // Copies the source's tags to the movie.
    void setTags(const SourceTraits& traits);
    StageOutcome addVideo(const VideoFormat& format, const ExportPreset& preset,
                          const AssetTrack& source, const SourceTraits& traits,
                          AVRational frameRate);
    // A picture stream whose packets are copied from `source` unchanged, with their times in
    // `timeBase`.
    StageOutcome addCopiedVideo(const AVCodecParameters& source, AVRational timeBase,
                                AVRational frameRate, const AssetTrack& track);
    StageOutcome addAudio(const AudioFormat& format, const ExportPreset& preset);
    // A sound stream whose packets are copied from `source` unchanged, with their times in
    // `timeBase`.
    StageOutcome addCopiedAudio(const AVCodecParameters& source, AVRational timeBase);
    StageOutcome start();
    StageOutcome writeVideo(VideoItem& item);
    // A copied picture packet, its times in the copied stream's time base.
    StageOutcome writeCopiedVideo(AVPacket& packet);
    StageOutcome writeAudio(AudioItem& item);
    // A copied sound packet, its times in the copied stream's time base.
    StageOutcome writeCopiedAudio(AVPacket& packet);
    // Flushes the encoders and closes the file; the pictures last until `videoEnd` (in
    // kVideoTimescale units).
    StageOutcome finish(int64_t videoEnd);

private:
    // The new stream, or null with `outcome` saying why.
    AVStream* addStream(const AVCodecContext& encoder, StageOutcome& outcome);
    AVStream* addCopiedStream(const AVCodecParameters& source, AVRational timeBase,
                              StageOutcome& outcome);
    StageOutcome addDisplayMatrix(const AssetTrack& source);
    StageOutcome encode(AVCodecContext& encoder, AVStream* stream, AVFrame* frame);
    StageOutcome write(AVPacket& packet, AVRational timeBase, const AVStream& stream);
    StageOutcome writeHeldVideo(int64_t videoEnd);

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
