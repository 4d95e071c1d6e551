#pragma once

#include "media/BoundedQueue.h"
#include "media/ExportPipeline.h"
#include "media/StageOutcome.h"

#include <atomic>
#include <cstdint>
#include <limits>
#include <vector>

namespace lento {

// Decodes, retimes and scales the pictures of `segments`, ending the stream at `end`
// (in kVideoTimescale units). Every decoded picture of each segment is handed on once, in order.
// Made pictures (Blend, Smooth) before `passBefore` are passed over, neither made nor handed on:
// see FrameStage::passBefore.
StageOutcome renderVideo(const std::vector<PlacedSegment>& segments, const VideoFormat& format,
                         int64_t end, BoundedQueue<VideoItem>& queue, const std::atomic<bool>& stop,
                         int64_t passBefore = std::numeric_limits<int64_t>::min());

} // namespace lento
