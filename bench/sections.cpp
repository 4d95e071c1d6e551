// How the handling of sections grows with their number: the collision check, the list with its
// fillers and the composition laid from it, as Export All and `lento-export --edit` make them.
//
//   bench_sections SOURCE                      times 1,000 to 100,000 sections over SOURCE
//   bench_sections SOURCE --write N EDIT.lento  writes an edit of N sections over SOURCE
//   bench_sections SOURCE --sound               times the sound stage alone for 1, 10,000 and
//                                               100,000 sections: its own processor time, which
//                                               a busy machine leaves nearly as it is
//
// The sections share the source evenly: each takes the first half of its slot, slowed twice,
// the sound kept, the other half left to a filler. Run by bench/sections, which also times the
// exports of such edits.

#include "Timing.h"
#include "base/Log.h"
#include "edit/EditFile.h"
#include "edit/SectionComposition.h"
#include "edit/SectionRules.h"
#include "media/Asset.h"
#include "media/ExportPipeline.h"
#include "media/SoundRenderer.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace lento;
constexpr int kRuns = 5;

double medianMs(const std::function<void()>& work) {
    return bench::timesMs(kRuns, work).median;
}

EditState evenEdit(const QString& source, const Asset& asset, int count) {
    EditState state;
    const MediaTime duration = asset.duration();
    state.source = {QFileInfo(source).absoluteFilePath(), QFileInfo(source).size(), duration};
    // Slots of whole ticks at a fine timescale, so that no two sections touch.
    constexpr int32_t kTimescale = 1'000'000;
    const int64_t slot = int64_t(duration.seconds() * kTimescale) / count;
    for (int i = 0; i < count; ++i) {
        state.sections.push_back({QString::number(i + 1), MediaTime::make(i * slot, kTimescale),
                                  MediaTime::make(i * slot + slot / 2, kTimescale),
                                  SpeedFactor::whole(2), true, MotionMode::Hold});
    }
    return state;
}

double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

// Renders the sound of an edit of `count` sections as an export does, handing its items to a
// consumer that drops them; prints the stage's processor and wall time.
int timeSound(const Asset& asset, const QString& source, int count) {
    const EditState state = evenEdit(source, asset, count);
    const auto composition =
        makeComposition(asset, EditCut::ofSections(state.sections, asset.duration()));
    const ExportPlan plan = planExport(*composition, MediaTimeRange::invalid());
    if (plan.audio.empty()) {
        std::fprintf(stderr, "bench_sections: no sound to render\n");
        return 1;
    }
    const AudioFormat format{48000, 2, 1024};
    const int64_t total = plan.audio.back().targetRange.end().convertScale(format.sampleRate).value;
    BoundedQueue<AudioItem> queue(256, 64u << 20);
    std::atomic<bool> stop{false};
    int64_t samples = 0;
    std::thread consumer([&] {
        while (std::optional<AudioItem> item = queue.pop()) {
            samples += item->frame->nb_samples;
        }
    });
    double cpu = 0;
    const auto start = std::chrono::steady_clock::now();
    const StageOutcome outcome = [&] {
        const double before = threadCpuSeconds();
        StageOutcome rendered = renderAudio(plan.audio, format, total, queue, stop);
        cpu = threadCpuSeconds() - before;
        return rendered;
    }();
    queue.close(outcome);
    consumer.join();
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!outcome.ok()) {
        std::fprintf(stderr, "bench_sections: the sound failed: %s\n", outcome.message.c_str());
        return 1;
    }
    std::printf("  %6d sections: %7.1f s of processor, %7.1f s wall, %.1f s of sound in %zu "
                "segments\n",
                count, cpu, wall, double(samples) / format.sampleRate, plan.audio.size());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const bool sound = argc == 3 && std::string(argv[2]) == "--sound";
    if (argc != 2 && !sound && !(argc == 5 && std::string(argv[2]) == "--write")) {
        std::fprintf(stderr, "usage: bench_sections SOURCE [--write N EDIT.lento | --sound]\n");
        return 2;
    }
    const QString source = QString::fromLocal8Bit(argv[1]);
    const auto asset = Asset::assetWithPath(QFile::encodeName(source).toStdString());
    if (!asset->isPlayable()) {
        std::fprintf(stderr, "bench_sections: %s does not play\n", argv[1]);
        return 1;
    }
    if (argc == 5) {
        EditFileProblem problem;
        if (!writeEditFile(evenEdit(source, *asset, std::atoi(argv[3])),
                           QString::fromLocal8Bit(argv[4]), problem)) {
            std::fprintf(stderr, "bench_sections: %s\n", qPrintable(problem.message));
            return 1;
        }
        return 0;
    }

    setLogSink([](const std::string&) {}); // the builders' lines, one per entry
    if (sound) {
        std::printf("the sound stage of an export over %s:\n", argv[1]);
        for (const int count : {1, 10000, 100000}) {
            if (const int failed = timeSound(*asset, source, count)) {
                return failed;
            }
        }
        return 0;
    }
    const MediaTime duration = asset->duration();
    std::printf("sections over %s (%.0f s), median of %d, ms (and microseconds per section):\n",
                argv[1], duration.seconds(), kRuns);
    std::printf("  %9s %18s %18s %18s\n", "sections", "collision check", "list with fillers",
                "composition");
    for (const int count : {1000, 10000, 100000}) {
        const std::vector<SectionState> objects = evenEdit(source, *asset, count).sections;
        const EditCut cut = EditCut::ofSections(objects, duration);
        const double check = medianMs([&] { (void)sectionErrorReason(objects); });
        const double fill = medianMs([&] { (void)sections(objects, cut.range); });
        // The list with fillers again, then both tracks.
        const double lay = medianMs([&] { (void)makeComposition(*asset, cut); });
        const auto show = [count](double ms) {
            static char text[32];
            std::snprintf(text, sizeof text, "%8.1f (%5.2f)", ms, ms * 1000 / count);
            return std::string(text);
        };
        std::printf("  %9d %18s %18s %18s\n", count, show(check).c_str(), show(fill).c_str(),
                    show(lay).c_str());
    }
    return 0;
}
