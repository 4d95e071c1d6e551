// lento-export: slows a video down from the command line, with the editor's export engine.

#include "ExportOptions.h"
#include "base/FileNames.h"
#include "base/Log.h"
#include "edit/EditFile.h"
#include "edit/SectionComposition.h"
#include "edit/SectionRules.h"
#include "media/Asset.h"
#include "media/EncoderMemory.h"
#include "media/ExportPresets.h"
#include "media/ExportSession.h"
#include "media/ExportSetup.h"
#include "media/MediaTime.h"
#include "media/MotionMode.h"
#include "media/OutputFile.h"
#include "media/SpeedFactor.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <unistd.h>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

namespace {

using lento::cli::kFactorRule;
using lento::cli::kWrittenExtensions;
using lento::cli::Options;
using lento::cli::SectionOption;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

// Set by the signal handler, read by the waiting loop. Only a lock-free atomic may be touched
// from a handler.
std::atomic<bool> g_stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void requestStop(int) {
    g_stopRequested.store(true);
}

std::string presetNames() {
    std::string names;
    for (const auto* table : {&lento::qualityPresetTable(), &lento::exportPresetTable()}) {
        for (const lento::ExportPreset& preset : *table) {
            names += names.empty() ? "" : ", ";
            names += preset.name;
        }
    }
    return names;
}

void printUsage(std::FILE* out) {
    std::fprintf(out,
                 "usage: lento-export [--factor N] [--motion MODE] [--no-sound] [--preset NAME] "
                 "[--range START END] SOURCE DEST\n"
                 "       lento-export --section START:END:FACTOR[:mute][:MODE][:ramp=IN[,OUT]]... "
                 "[--motion MODE] [--no-sound] [--preset NAME] SOURCE DEST\n"
                 "       lento-export --edit FILE.lento [--preset NAME] DEST\n"
                 "Slows SOURCE down N times and writes it to DEST; the sound keeps its pitch.\n"
                 "With --section, writes the whole of SOURCE with each section slowed by its own\n"
                 "factor and the rest at normal speed. With --edit, writes an edit saved by Lento\n"
                 "as its Export All does: its video with each of its sections as set there.\n"
                 "  --factor N         how many times slower, %s (default 1)\n"
                 "  --motion MODE      how slowed pictures are shown: hold (each source picture\n"
                 "                     held longer, the default), blend (cross-fades between\n"
                 "                     neighbours) or smooth (pictures made along the motion);\n"
                 "                     blend and smooth give the source's frame rate, at most 60\n"
                 "  --no-sound         leave the sound out\n"
                 "  --preset NAME      one of %s\n"
                 "                     (default: from DEST's extension)\n"
                 "  --range START END  export only this part of SOURCE, in seconds\n"
                 "  --section START:END:FACTOR[:mute][:MODE][:ramp=IN[,OUT]]\n"
                 "                     slow this part of SOURCE (seconds) down FACTOR times\n"
                 "                     (as N),\n"
                 "                     \"mute\" leaving its sound out, MODE (hold, blend,\n"
                 "                     smooth) overriding --motion, ramp easing into FACTOR\n"
                 "                     over its first IN seconds and out over its last OUT\n"
                 "                     (one value for both); repeatable, sections may\n"
                 "                     touch but not overlap; not with --factor or --range\n"
                 "  --edit FILE.lento  export the sections of a saved edit; only with --preset\n"
                 "  --help             show this help\n"
                 "DEST's extension chooses the container: %s.\n",
                 kFactorRule, presetNames().c_str(), kWrittenExtensions);
}

void installStopHandlers() {
    struct sigaction action = {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    // A second Ctrl-C kills the program outright, for the case where stopping hangs.
    action.sa_flags = SA_RESETHAND;
    // A closed terminal stops the export like Ctrl-C, rather than killing it mid-file.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        if (sigaction(signal, &action, nullptr) != 0) {
            std::perror("lento-export: cannot handle stop signals");
        }
    }
}

// Shows the progress on standard error: one line rewritten in place on a terminal, otherwise a
// line at every tenth so that logs stay short.
class ProgressLine {
public:
    ProgressLine() : m_terminal(isatty(STDERR_FILENO) == 1) {}

    void show(float progress) {
        const int percent = std::clamp(static_cast<int>(progress * 100.0f), 0, 100);
        const int shown = m_terminal ? percent : percent / 10 * 10;
        if (shown == m_lastShown) {
            return;
        }
        m_lastShown = shown;
        std::fprintf(stderr, m_terminal ? "\rExporting: %d%%" : "Exporting: %d%%\n", shown);
        std::fflush(stderr);
    }

    void finish() {
        if (m_terminal && m_lastShown >= 0) {
            std::fputc('\n', stderr);
        }
    }

private:
    bool m_terminal;
    int m_lastShown = -1;
};

// The whole source with each section slowed by its own factor, as the section editor lays it;
// nothing, with the reason on standard error, when a section starts after the end.
std::optional<lento::EditCut> sectionsCut(const lento::Asset& asset, const Options& options) {
    const lento::MediaTime duration = asset.duration();
    std::vector<lento::SectionState> sections;
    for (const SectionOption& part : options.sections) {
        if (part.start >= duration.seconds()) {
            std::fprintf(stderr,
                         "lento-export: --section %g:%g starts after the end of %s (%.3f s)\n",
                         part.start, part.end, options.source.c_str(), duration.seconds());
            return std::nullopt;
        }
        // A section running past the end means "until the end".
        const lento::MediaTime start =
            lento::MediaTime::makeWithSeconds(part.start, duration.timescale);
        // A section shorter than a tick of the video's timescale keeps one: rounded to nothing
        // it would cut nothing, and the sections would lay nothing at all.
        const lento::MediaTime end = lento::minTime(
            lento::maxTime(lento::MediaTime::makeWithSeconds(part.end, duration.timescale),
                           start + lento::MediaTime::make(1, duration.timescale)),
            duration);
        sections.push_back({QString::number(sections.size() + 1), start, end, part.factor,
                            !part.mute, part.motion.value_or(options.motion), part.rampIn,
                            part.rampOut});
    }
    lento::EditCut cut = lento::EditCut::ofSections(sections, duration);
    cut.sound = !options.noSound;
    return cut;
}

// The saved edit laid as the section editor's Export All lays it; nothing, with the reason on
// standard error, when it has no sections or they collide.
std::optional<lento::EditCut> editCut(const lento::OpenedEdit& edit, const lento::Asset& asset,
                                      const Options& options) {
    const std::vector<lento::SectionState>& sections = edit.state.sections;
    if (sections.empty()) {
        std::fprintf(stderr, "lento-export: %s has no sections to export\n", options.edit.c_str());
        return std::nullopt;
    }
    if (const QString reason = lento::sectionErrorReason(sections); !reason.isEmpty()) {
        std::fprintf(stderr, "lento-export: %s: %s\n", options.edit.c_str(), qPrintable(reason));
        return std::nullopt;
    }
    return lento::EditCut::ofSections(sections, asset.duration());
}

// Opens the edit of --edit and points `options` at its source; false, with the reason on
// standard error, when it cannot be opened. What was mended on opening is warned about.
std::optional<lento::OpenedEdit> openEdit(Options& options) {
    lento::EditFileProblem problem;
    std::optional<lento::OpenedEdit> edit =
        lento::openEditFile(QString::fromLocal8Bit(options.edit), {}, problem);
    if (!edit) {
        std::fprintf(stderr, "lento-export: cannot open %s: %s\n", options.edit.c_str(),
                     qPrintable(problem.message));
        return std::nullopt;
    }
    for (const QString& warning : edit->warnings) {
        std::fprintf(stderr, "lento-export: warning: %s\n", qPrintable(warning));
    }
    options.source = lento::pathBytes(edit->state.source.path).toStdString();
    return edit;
}

// Why DEST may not be written when it is the video exported, or the edit, under any name (the
// path itself, a symbolic link to it, another hard link): the export would replace its own
// source. Empty when DEST is another file or none yet.
std::string sameFileRefusal(const Options& options) {
    std::error_code ignored; // a DEST not there yet cannot be either
    if (std::filesystem::equivalent(options.destination, options.source, ignored)) {
        return options.destination + " is the video being exported; choose another name";
    }
    if (!options.edit.empty() &&
        std::filesystem::equivalent(options.destination, options.edit, ignored)) {
        return options.destination + " is the edit being exported; choose another name";
    }
    return {};
}

int exportMovie(Options options) {
    // Before any work: a destination that can only be refused is refused at once.
    std::string destinationError;
    if (!lento::OutputFile::checkDestination(options.destination, destinationError)) {
        std::fprintf(stderr, "lento-export: %s\n", destinationError.c_str());
        return kExitFailure;
    }
    std::optional<lento::OpenedEdit> edit;
    if (!options.edit.empty()) {
        edit = openEdit(options);
        if (!edit) {
            return kExitFailure;
        }
    }
    if (const std::string refusal = sameFileRefusal(options); !refusal.empty()) {
        std::fprintf(stderr, "lento-export: %s\n", refusal.c_str());
        return kExitFailure;
    }
    const auto asset = lento::Asset::assetWithPath(options.source);
    if (!asset->isPlayable()) {
        std::fprintf(stderr, "lento-export: cannot open %s: %s\n", options.source.c_str(),
                     asset->error().empty() ? "not a playable movie" : asset->error().c_str());
        return kExitFailure;
    }

    lento::MediaTimeRange range = lento::MediaTimeRange::invalid();
    if (options.hasRange) {
        const lento::MediaTime duration = asset->duration();
        if (options.rangeStart >= duration.seconds()) {
            std::fprintf(stderr, "lento-export: --range starts after the end of %s (%.3f s)\n",
                         options.source.c_str(), duration.seconds());
            return kExitUsage;
        }
        // A range running past the end means "until the end".
        const lento::MediaTime start =
            lento::MediaTime::makeWithSeconds(options.rangeStart, duration.timescale);
        const lento::MediaTime end = lento::minTime(
            lento::MediaTime::makeWithSeconds(options.rangeEnd, duration.timescale), duration);
        range = lento::MediaTimeRange::fromTimeToTime(start, end);
        if (range.isEmpty()) {
            std::fprintf(stderr,
                         "lento-export: --range %g %g is empty at the time base of %s "
                         "(1/%d s)\n",
                         options.rangeStart, options.rangeEnd, options.source.c_str(),
                         duration.timescale);
            printUsage(stderr);
            return kExitUsage;
        }
    }
    const std::optional<lento::EditCut> cut =
        edit ? editCut(*edit, *asset, options)
        : options.sections.empty()
            ? lento::EditCut::ofFullVideo({options.factor, !options.noSound, options.motion},
                                          asset->duration(), range)
            : sectionsCut(*asset, options);
    if (!cut) {
        return kExitUsage;
    }
    const std::shared_ptr<lento::Composition> composition = lento::makeComposition(*asset, *cut);
    const std::string presetName =
        options.preset.empty() ? lento::exportPresetNameForDestination(*asset, options.destination)
                               : options.preset;

    // Declared before the session, so that it outlives the session's worker thread.
    std::promise<void> finished;
    std::future<void> done = finished.get_future();

    auto session = lento::ExportSession::exportSessionWithAsset(composition, presetName);
    if (!session) {
        std::fprintf(stderr, "lento-export: no preset named %s\n", presetName.c_str());
        return kExitUsage;
    }
    session->setOutputFileType(
        lento::outputFileTypeForDestination(session->supportedFileTypes(), options.destination));
    session->setOutputURL(options.destination);

    installStopHandlers();
    ProgressLine progress;
    progress.show(0.0f);
    session->exportAsynchronouslyWithCompletionHandler([&finished] { finished.set_value(); });
    bool cancelled = false;
    while (done.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
        if (g_stopRequested.load() && !cancelled) {
            session->cancelExport();
            cancelled = true;
        }
        progress.show(session->progress());
    }
    session->waitUntilFinished();

    const lento::StageOutcome outcome = session->outcome();
    switch (outcome.kind) {
    case lento::StageOutcome::Kind::Succeeded:
        // An interrupt that came too late to stop anything leaves the finished movie.
        progress.show(1.0f);
        progress.finish();
        if (const std::string warning = session->warning(); !warning.empty()) {
            std::fprintf(stderr, "lento-export: warning: %s\n", warning.c_str());
        }
        std::printf("%s\n", options.destination.c_str());
        return 0;
    case lento::StageOutcome::Kind::Stopped:
        progress.finish();
        std::fprintf(stderr, "lento-export: interrupted, nothing written\n");
        return kExitInterrupted;
    case lento::StageOutcome::Kind::Failed:
        progress.finish();
        std::fprintf(stderr, "lento-export: export failed: %s\n", outcome.message.c_str());
        return kExitFailure;
    }
    return kExitFailure;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    std::string error;
    const std::optional<Options> options = lento::cli::parseOptions(args, error);
    if (!options) {
        std::fprintf(stderr, "lento-export: %s\n", error.c_str());
        printUsage(stderr);
        return kExitUsage;
    }
    if (options->help) {
        printUsage(stdout);
        return 0;
    }
    if (!options->preset.empty() && !lento::exportPresetNamed(options->preset)) {
        std::fprintf(stderr, "lento-export: unknown preset %s; the presets are: %s\n",
                     options->preset.c_str(), presetNames().c_str());
        return kExitUsage;
    }
    // The encoders' chatter would bury the progress line; real errors still come through.
    av_log_set_level(AV_LOG_ERROR);
    // The editor's diagnostic lines mean nothing to someone running a batch.
    lento::setLogSink([](const std::string&) {});
    // Without it the export is only slower.
    lento::keepEncoderMemoryInSmallPages();
    return exportMovie(*options);
}
