// Opens arbitrary bytes as a media file: opening must never crash, hang or leak, whatever the
// file holds.
#include "MemoryFile.h"
#include "media/Asset.h"

#include <cstddef>
#include <cstdint>

extern "C" {
#include <libavutil/log.h>
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    av_log_set_level(AV_LOG_QUIET);
    const lento::fuzz::MemoryFile file(data, size);
    if (!file.ok()) {
        return 0;
    }
    auto asset = lento::Asset::assetWithPath(file.path());
    if (asset->isPlayable()) {
        // Everything a caller reads of a playable asset must be sane.
        for (const auto& track : asset->tracks()) {
            (void)track.timeRange.end();
        }
        (void)asset->duration().seconds();
    }
    return 0;
}
