// Exports the first second of arbitrary bytes that open as a movie, slowed down twice: the export
// must end, completed or failed, without crashing, hanging or leaking, and a failed one must
// leave nothing behind.
#include "MemoryFile.h"
#include "media/Asset.h"
#include "media/ExportSession.h"
#include "media/ExportSetup.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

extern "C" {
#include <libavutil/log.h>
}

namespace {

const std::string& destination() {
    static const std::string path = "/tmp/lento-export-fuzz-" + std::to_string(getpid()) + ".mp4";
    return path;
}

// Large pictures only make each run slow: the paths they take are those of small ones.
bool smallEnough(const lento::Asset& asset) {
    for (const lento::AssetTrack& track : asset.tracksWithMediaType(lento::MediaType::Video)) {
        if (track.naturalWidth * int64_t{track.naturalHeight} > 640 * 480) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    av_log_set_level(AV_LOG_QUIET);
    const lento::fuzz::MemoryFile file(data, size);
    if (!file.ok()) {
        return 0;
    }
    const auto asset = lento::Asset::assetWithPath(file.path());
    if (!asset->isPlayable() || !smallEnough(*asset)) {
        return 0;
    }
    const lento::MediaTime duration = asset->duration();
    const lento::MediaTimeRange firstSecond =
        lento::MediaTimeRange::make(lento::MediaTime::make(0, duration.timescale),
                                    lento::minTime(lento::MediaTime::make(1, 1), duration));
    auto session = lento::ExportSession::exportSessionWithAsset(
        lento::makeFullVideoComposition(*asset, lento::SpeedFactor::whole(2), false, firstSecond),
        lento::ExportPresetName::H264_640x480);
    if (!session) {
        return 0;
    }
    session->setOutputFileType(lento::FileType::MPEG4);
    session->setOutputURL(destination());
    session->exportAsynchronouslyWithCompletionHandler({});
    session->waitUntilFinished();
    const bool written = std::remove(destination().c_str()) == 0;
    if (written != (session->status() == lento::ExportSession::Status::Completed)) {
        std::fprintf(stderr, "export ended %s but %s a movie\n",
                     session->error().empty() ? "well" : session->error().c_str(),
                     written ? "left" : "did not leave");
        __builtin_trap();
    }
    return 0;
}
