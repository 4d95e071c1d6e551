#pragma once

#include "media/BoundedQueue.h"
#include "media/ExportPipeline.h"
#include "media/StageOutcome.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace lento {

// Decodes, stretches (keeping the pitch) and places the sound of `segments`, silence between
// them, `totalSamples` samples in all.
StageOutcome renderAudio(const std::vector<PlacedSegment>& segments, const AudioFormat& format,
                         int64_t totalSamples, BoundedQueue<AudioItem>& queue,
                         const std::atomic<bool>& stop);

} // namespace lento
