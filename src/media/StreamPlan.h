#pragma once

#include "media/ExportPipeline.h"
#include "media/ExportPresets.h"
#include "media/PacketCopy.h"
#include "media/StageOutcome.h"

#include <cstdint>
#include <optional>

namespace lento {

// The movie's streams: for each, whether it is there, and whether its packets are copied from
// the source undecoded or its pictures or sound are rendered and encoded, in what format, and
// how long it lasts. A stream without segments is left out.
struct StreamPlan {
    bool hasVideo = false;
    bool videoCopied = false; // the pictures go from the source to the movie undecoded
    bool hasAudio = false;
    bool audioCopied = false; // so does the sound
    // Sound at its own speed, whose rate and channels an encoding would keep, may be copied;
    // whether it is, only its container tells once the source is opened.
    bool audioMayBeCopied = false;
    VideoFormat video; // of encoded pictures
    AudioFormat audio; // of encoded sound
    // The frame rate the encoder is told; 0/1 when unknown.
    AVRational videoFrameRate{0, 1};
    int64_t videoEnd = 0; // in kVideoTimescale units
    int64_t audioEnd = 0; // in samples
    // Open on the source of each copied stream.
    std::optional<PacketCopier> videoCopier;
    std::optional<PacketCopier> audioCopier;
};

// The streams of `plan` as `preset` writes them, every stream encoded: what the plan alone
// tells, without opening anything.
StreamPlan planStreams(const ExportPlan& plan, const ExportPreset& preset);

// Copies the streams that may be copied and that a movie of `fileType` can hold as they are,
// opening their sources; the others stay encoded.
StageOutcome chooseCopies(const ExportPlan& plan, const ExportPreset& preset, FileType fileType,
                          StreamPlan& streams);

} // namespace lento
