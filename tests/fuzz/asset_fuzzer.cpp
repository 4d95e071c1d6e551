// Opens arbitrary bytes as a media file: opening must never crash, hang or leak, whatever the
// file holds.
#include "media/Asset.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

extern "C" {
#include <libavutil/log.h>
}

namespace {

const std::string& scratchPath() {
    static const std::string path = "/tmp/lento-asset-fuzz-" + std::to_string(getpid()) + ".mp4";
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    av_log_set_level(AV_LOG_QUIET);
    FILE* file = std::fopen(scratchPath().c_str(), "wb");
    if (file == nullptr) {
        return 0;
    }
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    auto asset = lento::Asset::assetWithPath(scratchPath());
    if (asset->isPlayable()) {
        // Everything a caller reads of a playable asset must be sane.
        for (const auto& track : asset->tracks()) {
            (void)track.timeRange.end();
        }
        (void)asset->duration().seconds();
    }
    return 0;
}
