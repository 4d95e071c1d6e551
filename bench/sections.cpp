// How the handling of sections grows with their number: the collision check, the list with its
// fillers and the composition laid from it, as Export All and `lento-export --edit` make them.
//
//   bench_sections SOURCE                      times 1,000 to 100,000 sections over SOURCE
//   bench_sections SOURCE --write N EDIT.lento  writes an edit of N sections over SOURCE
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

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
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

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    if (argc != 2 && !(argc == 5 && std::string(argv[2]) == "--write")) {
        std::fprintf(stderr, "usage: bench_sections SOURCE [--write N EDIT.lento]\n");
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
