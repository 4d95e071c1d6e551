// Runs the real lento-export program, as a batch user would, and inspects what it leaves behind.

#include "ExportOptions.h"
#include "edit/EditFile.h"
#include "media/Asset.h"
#include "support/MediaProbe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <sched.h>
#include <string>
#include <string_view>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace lento::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Outcome {
    int exitCode = -1; // 128 + the signal when the program was killed
    std::string out, err;
};

// How the program is started beyond its arguments: variables exported to it, and a small tmpfs
// mounted over a folder in a mount namespace of its own, which nothing outlives. What the program
// leaves in that folder is listed into the test's `listing()`.
struct Launch {
    std::string environment{}; // "NAME=value ...", expanded by the shell as the arguments are
    std::string tmpfs{};
    std::string tmpfsSize{};
};

// Every test gets an empty destination folder of its own; the program's output goes to files
// beside it, so that the folder shows exactly what the program wrote.
class LentoExportTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::remove_all(m_root);
        fs::create_directories(m_root / "out");
    }
    void TearDown() override { fs::remove_all(m_root); }

    std::string dest(const std::string& name = "slow.mp4") const {
        return (m_root / "out" / name).string();
    }
    std::vector<fs::path> written() const { return {fs::directory_iterator(m_root / "out"), {}}; }

    static constexpr int kCannotMount = 77;

    // Starts the program through the shell, on arguments that may use $CLIP, $DEST, $OUT (the
    // destination folder) and $FIX (the fixtures' folder), expanded unsplit and unglobbed.
    // The output files of an earlier run are removed first, so that what is read from them
    // can only come from this one.
    pid_t start(const std::string& args, const Launch& launch = {}) {
        fs::remove(m_out);
        fs::remove(m_err);
        fs::remove(m_listing);
        std::string command = "set -f; IFS=; CLIP='" + fixture("clip.mp4") + "' DEST='" + dest() +
                              "' OUT='" + (m_root / "out").string() +
                              "' FIX='" LENTO_FIXTURE_DIR "'; ";
        if (!launch.environment.empty()) {
            command += "export " + launch.environment + "; ";
        }
        command += std::string(launch.tmpfs.empty() ? "exec " : "") +
                   "'" LENTO_BINARY_DIR "/lento-export' " + args + " </dev/null >'" + m_out +
                   "' 2>'" + m_err + "'";
        if (!launch.tmpfs.empty()) {
            command +=
                "; status=$?; ls -A '" + launch.tmpfs + "' >'" + m_listing + "'; exit $status";
        }
        const std::string size = "size=" + launch.tmpfsSize;
        const pid_t pid = fork();
        if (pid == 0) {
            if (!launch.tmpfs.empty() &&
                (unshare(CLONE_NEWNS) != 0 ||
                 mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                 mount("tmpfs", launch.tmpfs.c_str(), "tmpfs", 0, size.c_str()) != 0)) {
                _exit(kCannotMount);
            }
            execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
            _exit(127);
        }
        return pid;
    }
    Outcome finish(pid_t pid) const {
        int status = 0;
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                readFileBytes(m_out), readFileBytes(m_err)};
    }
    Outcome run(const std::string& line, const Launch& launch = {}) {
        return finish(start(line, launch));
    }
    std::string listing() const { return readFileBytes(m_listing); }
    // Whether the program has ended, leaving it to finish() to collect.
    static bool ended(pid_t pid) {
        siginfo_t info = {};
        return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == pid;
    }

    const fs::path m_root =
        fs::path(LENTO_BINARY_DIR) / "test-tmp" / ("lento-export-" + std::to_string(getpid()));
    const std::string m_out = (m_root / "stdout").string(), m_err = (m_root / "stderr").string();
    const std::string m_listing = (m_root / "listing").string();
};

// The clip's frames carry their numbers, so the first exported frame shows where the range began.
// An iTunes video is an MPEG-4 file, not a QuickTime movie. The factor may have two decimals.
TEST_F(LentoExportTest, FactorRangeAndNoSoundShapeTheMovie) {
    const Outcome result = run("--no-sound --factor 2.5 --range 2 5 $CLIP $OUT/slow.m4v");
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, dest("slow.m4v") + "\n");
    EXPECT_EQ(written(), std::vector<fs::path>{dest("slow.m4v")});
    const ProbeResult movie = probe(dest("slow.m4v"));
    ASSERT_TRUE(movie.ok && movie.video());
    EXPECT_TRUE(movie.majorBrand == "M4V " || movie.majorBrand.starts_with("mp4") ||
                movie.majorBrand == "isom")
        << movie.majorBrand;
    EXPECT_EQ(movie.audio(), nullptr);
    EXPECT_NEAR(movie.video()->durationSeconds, 7.5, 1.0 / 30);
    const auto frames = decodeVideoFrames(dest("slow.m4v"));
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.front().index, 60);
    EXPECT_EQ(frames.back().index, 149);
}

// A section far shorter than a frame exports: it simply holds next to nothing. --motion smooth
// reaches the section that names no mode; the others hold their pictures as they say, given in
// any order. Smooth fills 2-3 s slowed 2.5 times with 75 pictures, where holding would give 30
// 2.5 times as long; the held section keeps its 30 pictures 0.1 s apart. (The made pictures'
// grid is ExportSessionTest's; that a muted section at normal speed is silent too is the
// composition's and the session's tests'.)
TEST_F(LentoExportTest, SectionsSlowTheirOwnPartsAsTheirMotionSays) {
    const Outcome tiny = run("--section 0:0.00001:2 $CLIP $DEST");
    ASSERT_EQ(tiny.exitCode, 0) << tiny.err;
    EXPECT_NEAR(probe(dest()).durationSeconds, 10.0, 0.01);

    const Outcome result = run("--motion smooth --section 7:8:1:mute --section 5:6:3:mute:hold "
                               "--section 2:3:2.5 $CLIP $DEST");
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const auto frames = decodeVideoFrames(dest());
    ASSERT_EQ(frames.size(), 60u + 75u + 60u + 30u + 120u);
    EXPECT_NEAR(frames[60].time, 2.0, 0.002);
    EXPECT_NEAR(frames[135].time, 4.5, 0.002);
    EXPECT_NEAR(frames[196].time, 6.6, 0.002);
    EXPECT_NEAR(frames[225].time, 9.5, 0.002);
    EXPECT_NEAR(probe(dest()).durationSeconds, 13.5, 1.0 / 30);
    EXPECT_GT(soundRms(dest(), 2.2, 4.3), 0.02);
    EXPECT_LT(soundRms(dest(), 6.7, 9.3), 0.001);
    EXPECT_GT(soundRms(dest(), 9.7, 10.3), 0.02);
    EXPECT_GT(soundRms(dest(), 11.7, 13.3), 0.02);
}

// A saved edit exports as its Export All: each section as it is set, the rest at normal speed.
// A section begun before the video's start is shortened to it (not a first picture held for
// seconds), and the program prints the opening's warnings (which sections are shortened or
// removed, and their words, is the edit file's own tests').
TEST_F(LentoExportTest, ASavedEditExportsItsSections) {
    EditState edit;
    edit.source = {QString::fromStdString(fixture("clip.mp4")),
                   static_cast<int64_t>(fs::file_size(fixture("clip.mp4"))),
                   Asset::assetWithPath(fixture("clip.mp4"))->duration()};
    edit.fullVideo.factor = SpeedFactor::whole(5); // not for Export All
    edit.sections = {
        {"late", MediaTime::make(5, 1), MediaTime::make(6, 1), SpeedFactor::whole(3), false,
         MotionMode::Hold, MediaTime::make(1, 4)},
        {"early", MediaTime::make(-5, 1), MediaTime::make(3, 1), *SpeedFactor::make(5, 2), true,
         MotionMode::Hold},
    };
    const std::string path = (m_root / "jump.lento").string();
    const auto save = [&] {
        EditFileProblem problem;
        ASSERT_TRUE(writeEditFile(edit, QString::fromStdString(path), problem));
    };
    save();
    const Outcome result = run("--edit '" + path + "' $DEST");
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.err.find("warning: The section “early” began before the start of the video "
                              "and was shortened to it."),
              std::string::npos)
        << result.err;
    EXPECT_EQ(written(), std::vector<fs::path>{dest()});
    // "late" eases into x3 over its first quarter second: 0.25 * (1 + 3) / 2 + 0.75 * 3.
    EXPECT_NEAR(probe(dest()).durationSeconds, 16.25, 0.05);
    const auto frames = decodeVideoFrames(dest());
    ASSERT_EQ(frames.size(), 300u);
    EXPECT_EQ(frames[1].index, 1);
    EXPECT_NEAR(frames[1].time, 2.5 / 30, 0.002);
    EXPECT_GT(soundRms(dest(), 0.2, 7.3), 0.02);
    EXPECT_LT(soundRms(dest(), 9.7, 12.05), 0.001);

    // Sections that overlap block Export All, and here too. A factor beyond the editor's is
    // refused as the edit is read (which factors: the edit file's own tests): 3000 broke the
    // sound stretcher.
    edit.sections[0].start = MediaTime::make(5, 2);
    save();
    std::vector<Outcome> refused{run("--edit '" + path + "' $DEST")};
    edit.sections[0].start = MediaTime::make(5, 1);
    edit.sections[1].factor = SpeedFactor::whole(3000);
    save();
    refused.push_back(run("--edit '" + path + "' $DEST"));
    EXPECT_NE(refused.back().err.find("sections[1].factor “3000” is not a factor from 1 to 10 "
                                      "with up to two decimals"),
              std::string::npos)
        << refused.back().err;
    for (const Outcome& each : refused) {
        EXPECT_NE(each.exitCode, 0);
        EXPECT_NE(each.err.find("lento-export: "), std::string::npos) << each.err;
    }
    EXPECT_EQ(written(), std::vector<fs::path>{dest()}) << "the first export left alone";
}

// The words of a command line, split at its spaces.
std::vector<std::string_view> words(const std::string& line) {
    std::vector<std::string_view> args;
    for (size_t at = 0; at < line.size();) {
        const size_t space = std::min(line.find(' ', at), line.size());
        args.emplace_back(line.data() + at, space - at);
        at = space + 1;
    }
    return args;
}

// Command lines that make no sense are refused with the reason, read before any file is touched.
// Which numbers are no factor in the editor's range (its ends taken), which --section texts and
// which extensions are refused is SpeedFactor's, parseSectionArgument's and the file names' own
// tests'.
TEST(LentoExportOptions, CommandLinesThatMakeNoSenseAreRefusedWithTheReason) {
    std::string reason;
    const std::optional<cli::Options> options =
        cli::parseOptions(words("--factor 10 in.mp4 out.mp4"), reason);
    ASSERT_TRUE(options.has_value()) << reason;
    EXPECT_EQ(options->factor, SpeedFactor::whole(10));

    const std::string factor = "--factor needs a number from 1 to 10 with up to two decimals";
    const std::string range = "--range needs START and END in seconds, 0 <= START < END";
    const std::string section = "--section needs START:END:FACTOR[:mute][:MODE]";
    const std::string motion = "--motion needs hold, blend or smooth";
    const std::string files = "SOURCE and DEST are needed";
    const std::string container = "DEST must end in mov, mp4, m4v or 3gp";
    for (const auto& [line, error] : std::vector<std::pair<std::string, std::string>>{
             {"", files},
             {"in.mp4", files},
             {"in.mp4 out.mp4 out.mp4", "too many file names"},
             {"--factor 0.5 in.mp4 out.mp4", factor},
             {"--factor", factor},
             {"--range 5 2 in.mp4 out.mp4", range},
             {"--range -1 2 in.mp4 out.mp4", range},
             {"--range 1 in.mp4 out.mp4", range},
             {"--range 2 2 in.mp4 out.mp4", range},
             {"--speed 2 in.mp4 out.mp4", "unknown option --speed"},
             {"--section 2:4:3 --factor 2 in.mp4 out.mp4", "--section does not go with --factor"},
             {"--range 1 5 --section 2:4:3 in.mp4 out.mp4", "--section does not go with --factor"},
             {"--section 2:4 in.mp4 out.mp4", section},
             {"--section 2:5:3 --section 4:6:2 in.mp4 out.mp4", "--section parts must not overlap"},
             {"--motion fast in.mp4 out.mp4", motion},
             {"--motion", motion},
             {"in.mp4 slow.mkv", container},
             {"in.mp4 slow", container},
             {"--edit", "--edit needs a .lento file"},
             {"--edit in.lento in.mp4 out.mp4", "--edit takes DEST alone, no SOURCE"},
             {"--edit in.lento --factor 2 out.mp4", "--edit goes only with --preset"}}) {
        SCOPED_TRACE(line);
        std::string reason;
        EXPECT_FALSE(cli::parseOptions(words(line), reason).has_value());
        EXPECT_TRUE(reason.starts_with(error)) << reason;
    }
}

// The program itself prints the reason and its usage and writes nothing, also for a range that
// only the source's time base shows to be empty.
TEST_F(LentoExportTest, UsageErrorsExitWithTwoAndWriteNothing) {
    for (const auto& [line, error] : std::vector<std::pair<std::string, std::string>>{
             {"--factor 0.5 $CLIP $DEST", "--factor needs a number from 1 to 10"},
             {"--range 1 1.00001 $CLIP $DEST",
              "--range 1 1.00001 is empty at the time base of " + fixture("clip.mp4")}}) {
        const Outcome result = run(line);
        EXPECT_EQ(result.exitCode, 2) << line;
        EXPECT_NE(result.err.find("lento-export: " + error), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("usage:"), std::string::npos) << line << ": " << result.err;
        EXPECT_TRUE(result.out.empty() && written().empty()) << line;
    }
}

// A destination that is not a regular file is refused before any work and left as it was, and
// so is the source itself under any name: the export would replace it with its slowed copy. An
// edit file that is a FIFO is refused without waiting on it (the devices and folders the edit
// file refuses alike are its own tests').
TEST_F(LentoExportTest, BadSourceOrDestinationFailsWithAMessageAndWritesNothing) {
    fs::create_directory(dest("folder.mp4"));
    ASSERT_EQ(mkfifo(dest("pipe.mov").c_str(), 0600), 0);
    fs::create_symlink("/dev/null", dest("null.mp4"));
    fs::copy_file(fixture("clip.mp4"), dest("own.mp4"));
    fs::create_symlink("own.mp4", dest("link.mp4"));
    fs::create_hard_link(dest("own.mp4"), dest("hard.mp4"));
    ASSERT_EQ(mkfifo(dest("pipe.lento").c_str(), 0600), 0);
    EditState edit;
    edit.source = {QString::fromStdString(dest("own.mp4")),
                   static_cast<int64_t>(fs::file_size(dest("own.mp4"))),
                   Asset::assetWithPath(dest("own.mp4"))->duration()};
    edit.sections = {{"one", MediaTime::make(1, 1), MediaTime::make(2, 1), SpeedFactor::whole(2),
                      true, MotionMode::Hold}};
    EditFileProblem problem;
    ASSERT_TRUE(writeEditFile(edit, QString::fromStdString(dest("own.lento")), problem));
    const std::vector<fs::path> before = written();
    const std::string own = " is the video being exported; choose another name";
    for (const auto& [line, error] : std::vector<std::pair<std::string, std::string>>{
             {"--factor 2 $FIX/text.mov $DEST", "cannot open " + fixture("text.mov")},
             {"--factor 2 $OUT/missing.mp4 $DEST", "cannot open " + dest("missing.mp4")},
             {"$CLIP $OUT/none/slow.mp4", "export failed: "},
             {"$CLIP $OUT/folder.mp4", dest("folder.mp4") + " is a directory"},
             {"$CLIP $OUT/pipe.mov", dest("pipe.mov") + " is not a regular file"},
             {"$CLIP $OUT/null.mp4", dest("null.mp4") + " is not a regular file"},
             {"--factor 2 $OUT/own.mp4 $OUT/own.mp4", dest("own.mp4") + own},
             {"--factor 2 $OUT/own.mp4 $OUT/link.mp4", dest("link.mp4") + own},
             {"--factor 2 $OUT/link.mp4 $OUT/hard.mp4", dest("hard.mp4") + own},
             {"--edit $OUT/own.lento $OUT/hard.mp4", dest("hard.mp4") + own},
             {"--edit $OUT/pipe.lento $DEST", "cannot open " + dest("pipe.lento") +
                                                  ": The edit “pipe.lento” could not be read: "
                                                  "it is not a file but a folder, a device or "
                                                  "a pipe."}}) {
        const Outcome result = run(line);
        EXPECT_EQ(result.exitCode, 1) << line;
        EXPECT_NE(result.err.find("lento-export: " + error), std::string::npos) << result.err;
        if (!error.starts_with("export failed")) {
            EXPECT_EQ(result.err.find("Exporting"), std::string::npos) << result.err;
        }
        EXPECT_EQ(written(), before) << line;
    }
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
    EXPECT_EQ(readFileBytes(dest("own.mp4")), readFileBytes(fixture("clip.mp4")));
}

// Stopping mid-export, however it is stopped, leaves neither the movie nor anything beside it.
// Factor 10 with smooth motion makes 3000 pictures along the motion, far longer to export than
// the wait before the signal. The progress line is printed once the handlers are in place.
TEST_F(LentoExportTest, InterruptStopsTheExportAndLeavesNothing) {
    for (const auto& [stops, exitCode] : std::vector<std::pair<std::vector<int>, int>>{
             {{SIGINT}, 130},
             {{SIGTERM}, 130},
             {{SIGHUP}, 130},
             {{SIGINT, SIGINT}, 130}, // the second one kills it outright
             {{SIGKILL}, 128 + SIGKILL}}) {
        SCOPED_TRACE(strsignal(stops.front()) + std::string(" x") + std::to_string(stops.size()));
        const pid_t pid = start("--factor 10 --motion smooth $CLIP $DEST");
        ASSERT_GT(pid, 0);
        for (int tries = 0; tries < 500 && !ended(pid) &&
                            readFileBytes(m_err).find("Exporting") == std::string::npos;
             ++tries) {
            std::this_thread::sleep_for(20ms);
        }
        std::this_thread::sleep_for(300ms);
        if (ended(pid)) {
            const Outcome early = finish(pid);
            FAIL() << "ended before it was stopped, with " << early.exitCode << ": " << early.err;
        }
        for (const int signal : stops) {
            ASSERT_EQ(kill(pid, signal), 0);
        }
        const Outcome result = finish(pid);
        EXPECT_EQ(result.exitCode, exitCode) << result.err;
        EXPECT_TRUE(result.out.empty()) << result.out;
        EXPECT_EQ(written(), std::vector<fs::path>{});
    }
}

// Only the end of a file ends the input. A source whose reads fail a fifth of the way in (a medium
// that went away) or that another program cuts to a third while it is read fails the export with
// the reason, whatever shows the pictures and whether they are copied, instead of a full-length
// movie that holds its last readable picture; a thread that cannot start fails it too. Nothing is
// written. The faults are real ones, made under the program by a preloaded library.
TEST_F(LentoExportTest, ReadFaultsAndThreadsThatCannotStartFailTheExportWithTheirReason) {
    const std::string source = (m_root / "source.mp4").string();
    const auto fifth = std::to_string(fs::file_size(fixture("faststart.mp4")) / 5);
    const auto third = std::to_string(fs::file_size(fixture("faststart.mp4")) / 3);
    const std::string shim = "LD_PRELOAD='" LENTO_FAULT_SHIM
                             "' ASAN_OPTIONS=\"${ASAN_OPTIONS:-}:verify_asan_link_order=0\" ";
    const std::string reads = shim + "LENTO_FAULT_FILE='" + source + "' LENTO_FAULT_AT=" + fifth;
    struct Case {
        std::string environment;
        const char* args;
        std::string error;
    };
    const std::string eio = "cannot read " + source + ": Input/output error";
    const std::string shrunk = source + " became shorter while it was read";
    const std::string noThreads = "Resource temporarily unavailable";
    for (const Case& c : std::vector<Case>{
             {reads + " LENTO_FAULT=eio", "--factor 2", eio},
             {reads + " LENTO_FAULT=eio", "--factor 2 --motion smooth --no-sound", eio},
             {reads + " LENTO_FAULT=eio", "--factor 2 --preset Original", eio},
             {reads + " LENTO_FAULT=shrink LENTO_FAULT_KEEP=" + third, "--factor 2", shrunk},
             {reads + " LENTO_FAULT=shrink LENTO_FAULT_KEEP=" + third,
              "--factor 2 --motion smooth --no-sound", shrunk},
             {shim + "LENTO_FAULT=threads LENTO_FAULT_AT=0", "--factor 2",
              "export failed: cannot start the export: " + noThreads},
             {shim + "LENTO_FAULT=threads LENTO_FAULT_AT=1", "--factor 2 --no-sound",
              "export failed: cannot start the export's threads: " + noThreads},
             {shim + "LENTO_FAULT=threads LENTO_FAULT_AT=1", "--factor 2",
              "export failed: cannot start the export's threads: " + noThreads}}) {
        SCOPED_TRACE(c.environment + " " + c.args);
        fs::copy_file(fixture("faststart.mp4"), source, fs::copy_options::overwrite_existing);
        const Outcome result = run(std::string(c.args) + " '" + source + "' $DEST",
                                   Launch{.environment = c.environment});
        EXPECT_EQ(result.exitCode, 1) << result.err;
        EXPECT_NE(result.err.find("lento-export: export failed: "), std::string::npos);
        EXPECT_NE(result.err.find(c.error), std::string::npos) << result.err;
        EXPECT_TRUE(result.out.empty()) << result.out;
        EXPECT_EQ(written(), std::vector<fs::path>{});
    }
}

// A disk that fills up fails the export with the system's reason, whichever part of it met the
// full disk first: the writer of pictures held, blended, made along the motion or copied, and of
// sound. Nothing is left on the disk. The disk is a small tmpfs (where one can be mounted: as
// root, as CI runs).
TEST_F(LentoExportTest, AFullDiskFailsTheExportWithItsReasonAndLeavesNothing) {
    const std::string disk = (m_root / "out" / "disk").string();
    fs::create_directory(disk);
    // The muxer writes in blocks of 256 kB: three seconds slowed ten times fill one before the
    // end.
    for (const char* args :
         {"--range 0 3 --factor 10", "--range 0 3 --factor 10 --motion blend",
          "--range 0 3 --factor 10 --motion smooth", "--range 0 3 --factor 10 --preset Original"}) {
        SCOPED_TRACE(args);
        const Outcome result = run(std::string(args) + " $CLIP $OUT/disk/slow.mp4",
                                   Launch{.tmpfs = disk, .tmpfsSize = "64k"});
        if (result.exitCode == kCannotMount) {
            GTEST_SKIP() << "cannot mount a small tmpfs here (it takes root): " << result.err;
        }
        EXPECT_EQ(result.exitCode, 1) << result.err;
        EXPECT_NE(result.err.find("lento-export: export failed: cannot write the file: No space "
                                  "left on device"),
                  std::string::npos)
            << result.err;
        EXPECT_EQ(listing(), "");
    }
}

} // namespace
} // namespace lento::test
