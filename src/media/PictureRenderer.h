#pragma once

#include "media/BoundedQueue.h"
#include "media/ExportPipeline.h"
#include "media/StageOutcome.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace lento {

// Decodes, retimes and scales the pictures of `segments`, ending the stream at `end`
// (in kVideoTimescale units). Every decoded picture of each segment is handed on once, in order.
StageOutcome renderVideo(const std::vector<PlacedSegment>& segments, const VideoFormat& format,
                         int64_t end, BoundedQueue<VideoItem>& queue,
                         const std::atomic<bool>& stop);

} // namespace lento
