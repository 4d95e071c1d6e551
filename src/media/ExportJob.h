#pragma once

#include "media/Composition.h"
#include "media/ExportPresets.h"
#include "media/MediaTime.h"
#include "media/StageOutcome.h"

#include <atomic>
#include <functional>
#include <string>

namespace lento {

// One run of an export, on the calling thread: plans it, opens the movie, starts the renderers on
// their own threads and hands what they make, and what is copied, to the movie in time order.
// The first failure of any part is the outcome.
struct ExportJob {
    const Composition& composition;
    const ExportPreset& preset;
    MediaTimeRange timeRange;
    FileType fileType;
    const std::string& path;
    const std::atomic<bool>& cancelled;
    std::function<void(float)> reportProgress;

    StageOutcome run() const;
};

} // namespace lento
