#pragma once

#include "media/BoundedQueue.h"
#include "media/ExportPipeline.h"
#include "media/MovieWriter.h"
#include "media/StageOutcome.h"
#include "media/StreamPlan.h"

#include <functional>

namespace lento {

// Hands the movie's streams to `writer` in time order, what the renderers put in their queues
// and what is copied alike, so that the muxer holds little, until every stream has ended; the
// pictures go first where both are due at once. Stops as soon as `stopped` says so, and tells
// `progress` the share written (up to 0.99: the movie is not finished yet).
StageOutcome interleave(MovieWriter& writer, StreamPlan& streams, BoundedQueue<VideoItem>& pictures,
                        BoundedQueue<AudioItem>& sound, const std::function<bool()>& stopped,
                        const std::function<void(float)>& progress);

} // namespace lento
