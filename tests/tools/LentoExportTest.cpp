// Runs the real lento-export program, as a batch user would, and inspects what it leaves behind.

#include "support/MediaProbe.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

const char* const kProgram = LENTO_BINARY_DIR "/lento-export";

struct Outcome {
    int exitCode = -1; // 128 + the signal when the program was killed
    std::string out;
    std::string err;
};

// Every test gets an empty destination folder of its own; the program's output goes to a
// separate folder so that the destination folder shows exactly what the program wrote.
class LentoExportTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_root = fs::path(LENTO_BINARY_DIR) / "test-tmp" /
                 (std::string("lento-export-") + info->name() + "-" + std::to_string(getpid()));
        fs::remove_all(m_root);
        fs::create_directories(destDir());
        fs::create_directories(m_root / "logs");
    }
    void TearDown() override { fs::remove_all(m_root); }

    fs::path destDir() const { return m_root / "out"; }
    std::string dest(const std::string& name = "slow.mp4") const {
        return (destDir() / name).string();
    }

    std::vector<std::string> destFolderContents() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(destDir())) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    // Starts the program with stdout and stderr going to files; returns its pid.
    pid_t start(const std::vector<std::string>& args) {
        std::vector<std::string> argvStrings{kProgram};
        argvStrings.insert(argvStrings.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : argvStrings) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath().c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath().c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = -1;
        const int result = posix_spawn(&pid, kProgram, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(result, 0) << "cannot start " << kProgram;
        return result == 0 ? pid : -1;
    }

    Outcome finish(pid_t pid) {
        Outcome run;
        int status = 0;
        if (pid > 0 && waitpid(pid, &status, 0) == pid) {
            run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        run.out = lento::test::readFileBytes(outPath());
        run.err = lento::test::readFileBytes(errPath());
        return run;
    }

    Outcome runExport(const std::vector<std::string>& args) { return finish(start(args)); }

    std::string errSoFar() const { return lento::test::readFileBytes(errPath()); }

private:
    std::string outPath() const { return (m_root / "logs" / "stdout").string(); }
    std::string errPath() const { return (m_root / "logs" / "stderr").string(); }

    fs::path m_root;
};

const std::string kClip = lento::test::fixture("clip.mp4");

TEST_F(LentoExportTest, SlowsTheClipDownWithItsSound) {
    const Outcome run = runExport({"--factor", "2", kClip, dest()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, dest() + "\n");

    const lento::test::ProbeResult result = lento::test::probe(dest());
    ASSERT_TRUE(result.ok);
    EXPECT_NEAR(result.durationSeconds, 20.0, 0.2);
    ASSERT_NE(result.video(), nullptr);
    EXPECT_NEAR(result.video()->durationSeconds, 20.0, 0.2);
    ASSERT_NE(result.audio(), nullptr);
    EXPECT_NEAR(result.audio()->durationSeconds, 20.0, 0.2);
    // The clip's tone runs from start to end, so the slowed one must too.
    for (double from = 0.5; from < 19; from += 3) {
        EXPECT_GT(lento::test::soundRms(dest(), from, from + 1), 0.02) << "silent at " << from;
    }
    EXPECT_EQ(destFolderContents(), std::vector<std::string>{"slow.mp4"});
}

TEST_F(LentoExportTest, NoSoundLeavesTheSoundOut) {
    const Outcome run = runExport({"--no-sound", kClip, dest()});
    ASSERT_EQ(run.exitCode, 0) << run.err;

    const lento::test::ProbeResult result = lento::test::probe(dest());
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.audio(), nullptr);
    ASSERT_NE(result.video(), nullptr);
    EXPECT_NEAR(result.video()->durationSeconds, 10.0, 0.2);
}

// The clip's frames carry their numbers, so the first exported frame shows where the range began.
TEST_F(LentoExportTest, RangeExportsOnlyThatPartSlowed) {
    const Outcome run = runExport({"--factor", "2", "--range", "2", "5", kClip, dest()});
    ASSERT_EQ(run.exitCode, 0) << run.err;

    const lento::test::ProbeResult result = lento::test::probe(dest());
    ASSERT_TRUE(result.ok);
    EXPECT_NEAR(result.durationSeconds, 6.0, 0.2);
    const auto frames = lento::test::decodeVideoFrames(dest());
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.front().index, 60);
    EXPECT_EQ(frames.back().index, 149);
}

// 0-2 s as it is, 2-4 s three times slower, 4-6 s as it is, 6-10 s without its sound.
TEST_F(LentoExportTest, SectionsSlowTheirOwnPartsOfTheWholeClip) {
    const Outcome run =
        runExport({"--section", "6:10:1:mute", "--section", "2:4:3", kClip, dest()});
    ASSERT_EQ(run.exitCode, 0) << run.err;

    const auto frames = lento::test::decodeVideoFrames(dest());
    ASSERT_EQ(frames.size(), 300u);
    EXPECT_EQ(frames.back().index, 299);
    EXPECT_NEAR(frames[90].time, 2.0 + 30 * 0.1, 0.01);
    EXPECT_NEAR(frames[180].time, 10.0, 0.01);
    EXPECT_GT(lento::test::soundRms(dest(), 3, 9), 0.02);
    EXPECT_LT(lento::test::soundRms(dest(), 10.2, 14), 0.001);
}

TEST_F(LentoExportTest, UsageErrorsExitWithTwoAndWriteNothing) {
    const std::vector<std::vector<std::string>> badCommandLines = {
        {},
        {kClip},
        {kClip, dest(), dest("extra.mp4")},
        {"--factor", "0", kClip, dest()},
        {"--factor", "101", kClip, dest()},
        {"--factor", "2x", kClip, dest()},
        {"--factor"},
        {"--range", "5", "2", kClip, dest()},
        {"--range", "-1", "2", kClip, dest()},
        {"--range", "1", kClip, dest()},
        {"--speed", "2", kClip, dest()},
        {"--section", "2:4:3", "--factor", "2", kClip, dest()},
        {"--range", "1", "5", "--section", "2:4:3", kClip, dest()},
        {"--section", "4:2:3", kClip, dest()},
        {"--section", "2:4:0", kClip, dest()},
        {"--section", "2:4", kClip, dest()},
        {"--section", "2:4:3:loud", kClip, dest()},
        {"--section", "2:5:3", "--section", "4:6:2", kClip, dest()},
    };
    for (const auto& args : badCommandLines) {
        std::string shown;
        for (const std::string& arg : args) {
            shown += " " + arg;
        }
        SCOPED_TRACE("lento-export" + shown);
        const Outcome run = runExport(args);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_NE(run.err.find("usage:"), std::string::npos) << run.err;
        EXPECT_TRUE(run.out.empty());
        EXPECT_TRUE(destFolderContents().empty());
    }
}

TEST_F(LentoExportTest, UnknownPresetListsTheValidNames) {
    const Outcome run = runExport({"--preset", "H264_4K", kClip, dest()});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("H264_4K"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("HighestQuality"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("H264_640x480"), std::string::npos) << run.err;
    EXPECT_TRUE(destFolderContents().empty());
}

TEST_F(LentoExportTest, HelpGoesToStandardOutput) {
    const Outcome run = runExport({"--help"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.out.find("usage:"), std::string::npos);
    EXPECT_TRUE(run.err.empty()) << run.err;
}

TEST_F(LentoExportTest, SourceThatIsNotAMovieFails) {
    for (const std::string& source :
         {lento::test::fixture("text.mov"), (destDir() / "missing.mp4").string()}) {
        SCOPED_TRACE(source);
        const Outcome run = runExport({"--factor", "2", source, dest()});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_NE(run.err.find("lento-export: cannot open " + source), std::string::npos)
            << run.err;
        EXPECT_TRUE(destFolderContents().empty());
    }
}

TEST_F(LentoExportTest, UnwritableDestinationReportsTheFailure) {
    const std::string unreachable = (destDir() / "no-such-folder" / "slow.mp4").string();
    const Outcome run = runExport({kClip, unreachable});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("lento-export: export failed: "), std::string::npos) << run.err;
    EXPECT_TRUE(destFolderContents().empty());
}

// Stopping mid-export must leave neither the movie nor the temporary file beside it. Factor 100
// makes 1000 s of stretched sound, far longer to export than the wait before the signal.
TEST_F(LentoExportTest, InterruptStopsTheExportAndLeavesNothing) {
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(signal));
        const pid_t pid = start({"--factor", "100", kClip, dest()});
        ASSERT_GT(pid, 0);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (errSoFar().find("Exporting") == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ASSERT_EQ(kill(pid, signal), 0);

        const Outcome run = finish(pid);
        EXPECT_EQ(run.exitCode, 130) << run.err;
        EXPECT_TRUE(run.out.empty()) << run.out;
        EXPECT_TRUE(destFolderContents().empty())
            << "left behind: " << ::testing::PrintToString(destFolderContents());
    }
}

} // namespace
