#pragma once

#include "media/ExportPipeline.h"
#include "media/SourceReader.h"

#include <string>

namespace lento {

// One stream of one whole source, read packet by packet and handed on undecoded, its times
// stretched exactly: the pictures (or the sound) of the movie are the source's, bit for bit.
class PacketCopier {
public:
    // Whether the pictures of `plan` can be copied: one segment holding its whole, undamaged
    // source, held longer (no pictures made) by a ratio of 32-bit whole numbers.
    static bool applies(const ExportPlan& plan);
    // Whether the sound of `plan` can be copied: one segment holding its whole, undamaged
    // source at its own speed. Stretched sound must be made anew.
    static bool appliesToSound(const ExportPlan& plan);

    StageOutcome open(const PlacedSegment& segment);
    const AVCodecParameters& parameters() const {
        return *m_source.format->streams[m_source.streamIndex]->codecpar;
    }
    // The time base of the packets handed on: the source's, stretched.
    AVRational timeBase() const { return m_timeBase; }
    // The source's nominal picture rate, slowed.
    AVRational frameRate() const { return m_frameRate; }
    // The next packet of the stream, or `ended` set at its end; fails as reading does.
    StageOutcome next(AVPacket& packet, bool& ended);

private:
    SourceStream m_source;
    AVRational m_timeBase{1, 1};
    AVRational m_frameRate{0, 1};
};

} // namespace lento
