// The export alone, as the editor runs it on a video it has open: the source is probed once,
// then each run builds the full-video composition and times the export session from its start
// to its completion. Process start-up and probing, which lento-export adds to every export,
// are left out.
// Usage: bench_export_session SOURCE FACTOR PRESET DESTINATION RUNS
// Prints "best median" in seconds.

#include "media/Asset.h"
#include "media/EncoderMemory.h"
#include "media/ExportSession.h"
#include "media/ExportSetup.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: bench_export_session SOURCE FACTOR PRESET DESTINATION RUNS\n");
        return 2;
    }
    av_log_set_level(AV_LOG_ERROR);
    // As the editor does.
    lento::keepEncoderMemoryInSmallPages();
    const std::string destination = argv[4];
    const auto factor = lento::SpeedFactor::parse(argv[2]);
    const int runs = std::atoi(argv[5]);
    const auto asset = lento::Asset::assetWithPath(argv[1]);
    if (!factor || runs < 1 || !asset->isPlayable()) {
        std::fprintf(stderr, "bench_export_session: bad factor, run count or source\n");
        return 2;
    }
    std::vector<double> seconds;
    for (int run = 0; run < runs; ++run) {
        auto session = lento::ExportSession::exportSessionWithAsset(
            lento::makeFullVideoComposition(*asset, *factor, false), argv[3]);
        if (!session) {
            std::fprintf(stderr, "bench_export_session: no preset named %s\n", argv[3]);
            return 2;
        }
        session->setOutputFileType(
            lento::outputFileTypeForDestination(session->supportedFileTypes(), destination));
        session->setOutputURL(destination);
        std::promise<void> finished;
        const auto start = std::chrono::steady_clock::now();
        session->exportAsynchronouslyWithCompletionHandler([&finished] { finished.set_value(); });
        finished.get_future().wait();
        seconds.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        session->waitUntilFinished();
        if (session->status() != lento::ExportSession::Status::Completed) {
            std::fprintf(stderr, "bench_export_session: %s\n", session->error().c_str());
            return 1;
        }
    }
    std::sort(seconds.begin(), seconds.end());
    std::printf("%.3f %.3f\n", seconds.front(), seconds[seconds.size() / 2]);
    return 0;
}
