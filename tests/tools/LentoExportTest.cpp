// Runs the real lento-export program, as a batch user would, and inspects what it leaves behind.

#include "support/MediaProbe.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
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

    // Starts the program through the shell, on arguments that may use $CLIP, $DEST, $OUT (the
    // destination folder) and $FIX (the fixtures' folder), expanded unsplit and unglobbed.
    pid_t start(const std::string& args) {
        const std::string command = "set -f; IFS=; CLIP='" + fixture("clip.mp4") + "' DEST='" +
                                    dest() + "' OUT='" + (m_root / "out").string() +
                                    "' FIX='" LENTO_FIXTURE_DIR "'; exec '" LENTO_BINARY_DIR
                                    "/lento-export' " +
                                    args + " </dev/null >'" + m_out + "' 2>'" + m_err + "'";
        const pid_t pid = fork();
        if (pid == 0) {
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
    Outcome run(const std::string& line) { return finish(start(line)); }

    const fs::path m_root =
        fs::path(LENTO_BINARY_DIR) / "test-tmp" / ("lento-export-" + std::to_string(getpid()));
    const std::string m_out = (m_root / "stdout").string(), m_err = (m_root / "stderr").string();
};

TEST_F(LentoExportTest, SlowsTheClipDownWithItsSound) {
    const Outcome result = run("--factor 2 $CLIP $DEST");
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, dest() + "\n");
    EXPECT_EQ(written(), std::vector<fs::path>{dest()});
    const ProbeResult movie = probe(dest());
    ASSERT_TRUE(movie.ok && movie.video() && movie.audio());
    EXPECT_NEAR(movie.durationSeconds, 20.0, 0.2);
    EXPECT_NEAR(movie.video()->durationSeconds, 20.0, 0.2);
    EXPECT_NEAR(movie.audio()->durationSeconds, 20.0, 0.2);
    // The clip's tone runs from start to end, so the slowed one must too.
    for (double from = 0.5; from < 19; from += 3) {
        EXPECT_GT(soundRms(dest(), from, from + 1), 0.02) << "silent at " << from;
    }
}

// The clip's frames carry their numbers, so the first exported frame shows where the range began.
TEST_F(LentoExportTest, NoSoundLeavesTheSoundOutAndARangeTheRest) {
    const Outcome result = run("--no-sound --factor 2 --range 2 5 $CLIP $DEST");
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const ProbeResult movie = probe(dest());
    ASSERT_TRUE(movie.ok && movie.video());
    EXPECT_EQ(movie.audio(), nullptr);
    EXPECT_NEAR(movie.video()->durationSeconds, 6.0, 0.2);
    const auto frames = decodeVideoFrames(dest());
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.front().index, 60);
    EXPECT_EQ(frames.back().index, 149);
}

// 0-2 s as it is, 2-4 s three times slower, 4-6 s as it is, 6-10 s without its sound. A section
// far shorter than a frame exports too: it simply holds next to nothing.
TEST_F(LentoExportTest, SectionsSlowTheirOwnPartsOfTheWholeClip) {
    const Outcome tiny = run("--section 0:0.00001:2 $CLIP $DEST");
    ASSERT_EQ(tiny.exitCode, 0) << tiny.err;
    EXPECT_NEAR(probe(dest()).durationSeconds, 10.0, 0.01);

    const Outcome result = run("--section 6:10:1:mute --section 2:4:3 $CLIP $DEST");
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const auto frames = decodeVideoFrames(dest());
    ASSERT_GT(frames.size(), 180u);
    EXPECT_NEAR(frames[90].time, 2.0 + 30 * 0.1, 0.01);
    EXPECT_NEAR(frames[180].time, 10.0, 0.01);
    EXPECT_GT(soundRms(dest(), 3, 9), 0.02);
    EXPECT_LT(soundRms(dest(), 10.2, 14), 0.001);
}

// --motion smooth reaches the first section, which names no mode; the second holds its pictures
// as it says. Smooth fills 2-3 s slowed twice with 60 pictures 1/30 s apart, where holding would
// give 30 twice as long; the held section keeps its 30 pictures 0.1 s apart.
TEST_F(LentoExportTest, MotionChoosesHowSlowedPicturesAreShownPerSection) {
    const Outcome result =
        run("--motion smooth --section 2:3:2 --section 5:6:3:mute:hold $CLIP $DEST");
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const auto frames = decodeVideoFrames(dest());
    ASSERT_EQ(frames.size(), 60u + 60u + 60u + 30u + 120u);
    for (size_t i = 60; i < 120; ++i) {
        ASSERT_NEAR(frames[i].time, 2.0 + double(i - 60) / 30, 0.002) << i;
    }
    EXPECT_NEAR(frames[120].time, 4.0, 0.002);
    EXPECT_NEAR(frames[181].time, 6.1, 0.002);
    EXPECT_NEAR(frames[210].time, 9.0, 0.002);
    EXPECT_GT(soundRms(dest(), 2.2, 3.8), 0.02);
    EXPECT_LT(soundRms(dest(), 6.2, 8.8), 0.001);
}

TEST_F(LentoExportTest, UsageErrorsExitWithTwoAndWriteNothing) {
    for (const char* line : {"",
                             "$CLIP",
                             "$CLIP $DEST $DEST",
                             "--factor 0 $CLIP $DEST",
                             "--factor 101 $CLIP $DEST",
                             "--factor 2x $CLIP $DEST",
                             "--factor",
                             "--range 5 2 $CLIP $DEST",
                             "--range -1 2 $CLIP $DEST",
                             "--range 1 $CLIP $DEST",
                             "--speed 2 $CLIP $DEST",
                             "--section 2:4:3 --factor 2 $CLIP $DEST",
                             "--range 1 5 --section 2:4:3 $CLIP $DEST",
                             "--section 4:2:3 $CLIP $DEST",
                             "--section 2:4:0 $CLIP $DEST",
                             "--section 2:4 $CLIP $DEST",
                             "--section 2:4:3:loud $CLIP $DEST",
                             "--section 2:5:3 --section 4:6:2 $CLIP $DEST",
                             "--motion fast $CLIP $DEST",
                             "--motion",
                             "--section 2:4:3:smooth:mute $CLIP $DEST"}) {
        const Outcome result = run(line);
        EXPECT_EQ(result.exitCode, 2) << line;
        EXPECT_NE(result.err.find("usage:"), std::string::npos) << line << ": " << result.err;
        EXPECT_TRUE(result.out.empty() && written().empty()) << line;
    }
}

TEST_F(LentoExportTest, BadSourceOrDestinationFailsWithAMessageAndWritesNothing) {
    for (const auto& [line, error] : std::vector<std::pair<std::string, std::string>>{
             {"--factor 2 $FIX/text.mov $DEST", "cannot open " + fixture("text.mov")},
             {"--factor 2 $OUT/missing.mp4 $DEST", "cannot open " + dest("missing.mp4")},
             {"$CLIP $OUT/none/slow.mp4", "export failed: "}}) {
        const Outcome result = run(line);
        EXPECT_EQ(result.exitCode, 1) << line;
        EXPECT_NE(result.err.find("lento-export: " + error), std::string::npos) << result.err;
        EXPECT_TRUE(written().empty()) << line;
    }
}

// Stopping mid-export must leave neither the movie nor the temporary file beside it. Factor 100
// makes 1000 s of stretched sound, far longer to export than the wait before the signal.
TEST_F(LentoExportTest, InterruptStopsTheExportAndLeavesNothing) {
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(signal));
        const pid_t pid = start("--factor 100 $CLIP $DEST");
        ASSERT_GT(pid, 0);
        for (int tries = 0;
             tries < 500 && readFileBytes(m_err).find("Exporting") == std::string::npos; ++tries) {
            std::this_thread::sleep_for(20ms);
        }
        std::this_thread::sleep_for(300ms);
        ASSERT_EQ(kill(pid, signal), 0);
        const Outcome result = finish(pid);
        EXPECT_EQ(result.exitCode, 130) << result.err;
        EXPECT_TRUE(result.out.empty()) << result.out;
        EXPECT_EQ(written(), std::vector<fs::path>{});
    }
}

} // namespace
} // namespace lento::test
