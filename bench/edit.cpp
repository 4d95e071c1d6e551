// Saving and opening an edit of 1,000 sections, and undoing and redoing each kind of step on it.
// Usage: bench_edit [SOURCE]  (SOURCE defaults to the test fixtures' clip.mp4)
// Prints the median and the slowest of 20 runs of each; the targets are 50 ms to save or open, 16
// ms to undo or redo any step.

#include "Timing.h"
#include "edit/EditDocument.h"
#include "edit/EditFile.h"
#include "media/Asset.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <utility>
#include <vector>

namespace {

using namespace lento;
using bench::Times;

constexpr int kSections = 1000;
constexpr int kRuns = 20;

Times timesMs(const std::function<void()>& work) {
    return bench::timesMs(kRuns, work);
}

// Sections of 1001/30000 s apart, each with its own name, factor and motion: nothing that
// a writer could share between them.
EditState bigEdit(const QString& source) {
    const auto asset = Asset::assetWithPath(QFile::encodeName(source).toStdString());
    EditState state;
    state.source = {QFileInfo(source).absoluteFilePath(), QFileInfo(source).size(),
                    asset->duration()};
    const int64_t timescale = 30000;
    const int64_t step = asset->duration().value * timescale /
                         (asset->duration().timescale * int64_t(kSections)) / 2 * 2;
    for (int i = 0; i < kSections; ++i) {
        state.sections.push_back(
            {QStringLiteral("Section %1").arg(i + 1), MediaTime::make(i * step, timescale),
             MediaTime::make(i * step + step / 2, timescale),
             *SpeedFactor::make(100 + i % 901, 100), i % 2 == 0, static_cast<MotionMode>(i % 3)});
    }
    return state;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const QString source =
        argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(LENTO_FIXTURE_DIR "/clip.mp4");
    if (!Asset::assetWithPath(QFile::encodeName(source).toStdString())->isPlayable()) {
        std::fprintf(stderr, "bench_edit: %s does not play (make the fixtures first)\n",
                     qPrintable(source));
        return 1;
    }
    const EditState state = bigEdit(source);
    const QString path = QDir::temp().filePath(
        QStringLiteral("bench-edit-%1.lento").arg(QCoreApplication::applicationPid()));
    EditFileProblem problem;
    bool ok = true;
    const Times save = timesMs([&] { ok = ok && writeEditFile(state, path, problem); });
    const Times read = timesMs([&] { ok = ok && readEditFile(path, problem).has_value(); });
    const Times open = timesMs([&] { ok = ok && openEditFile(path, {}, problem).has_value(); });
    const Times probe = timesMs([&] {
        ok = ok && Asset::assetWithPath(QFile::encodeName(source).toStdString())->isPlayable();
    });
    QFile::remove(path);
    if (!ok) {
        std::fprintf(stderr, "bench_edit: %s\n", qPrintable(problem.message));
        return 1;
    }
    std::printf("edit of %d sections, median / slowest of %d (target 50 ms):\n", kSections, kRuns);
    for (const auto& [name, times] : {std::pair<const char*, Times>{"save", save},
                                      {"read", read},
                                      {"open, its video probed", open},
                                      {"  of which the probe alone", probe}}) {
        std::printf("  %-26s %8.2f / %8.2f ms\n", name, times.median, times.slowest);
    }

    EditDocument document;
    document.reset(state);
    const int middle = kSections / 2;
    const SectionState& section = state.sections[middle];
    const std::pair<const char*, std::function<void()>> steps[] = {
        {"add", [&] { document.addSection(middle, section); }},
        {"delete", [&] { document.deleteSection(middle); }},
        {"rename", [&] { document.renameSection(middle, QStringLiteral("renamed")); }},
        {"bounds", [&] { document.setSectionBounds(middle, section.start, section.end * 2); }},
        {"factor", [&] { document.setSectionFactor(middle, SpeedFactor::whole(9)); }},
        {"sound", [&] { document.setSectionAudio(middle, !section.audio); }},
        {"motion", [&] { document.setSectionMotion(middle, MotionMode::Smooth); }},
        {"full video",
         [&] {
             document.setFullVideo({SpeedFactor::whole(3), false, {}});
         }},
    };
    double slowest = 0;
    for (const auto& [name, step] : steps) {
        document.reset(state);
        step();
        const Times undo = timesMs([&] {
            document.undoStack()->undo();
            document.undoStack()->redo();
        });
        std::printf("  %-10s undo + redo %.3f / %.3f ms\n", name, undo.median, undo.slowest);
        slowest = std::max(slowest, undo.slowest);
    }
    std::printf("undo + redo of a step with %d sections: at most %.3f ms (target 16 ms each)\n",
                kSections, slowest);
    return 0;
}
