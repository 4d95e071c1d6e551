// The destination of an export: what may be replaced, what a replacement keeps, and that
// nothing is left behind however the writer ends.

#include "media/OutputFile.h"
#include "media/ExportSession.h"
#include "media/ExportSetup.h"
#include "media/FileLock.h"
#include "support/ExportTesting.h"
#include "support/MediaProbe.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace lento {
namespace {

namespace fs = std::filesystem;

class OutputFileTest : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return *folder / name; }
    std::vector<std::string> names() const {
        std::vector<std::string> found;
        for (const auto& entry : fs::directory_iterator(folder->path())) {
            found.push_back(entry.path().filename().string());
        }
        std::sort(found.begin(), found.end());
        return found;
    }

    std::optional<test::TestFolder> folder{std::in_place}; // made anew to empty it
};

// Both ways of writing: the file appears under the destination's name only on commit, a
// replacement keeps the replaced file's mode (and owner, where the test may give files away)
// and a link stays a link, and an uncommitted file vanishes with its writer.
TEST_F(OutputFileTest, OnlyACommittedFileAppearsAndItKeepsWhatItReplaces) {
    for (const OutputFile::Naming naming :
         {OutputFile::Naming::Unnamed, OutputFile::Naming::Named}) {
        SCOPED_TRACE(naming == OutputFile::Naming::Named ? "named" : "unnamed");
        folder.emplace();
        const auto write = [](OutputFile& output, const std::string& text) {
            std::ofstream(output.writePath(), std::ios::trunc) << text;
        };
        std::string error;
        {
            OutputFile abandoned;
            ASSERT_TRUE(abandoned.open(path("abandoned.mp4"), error, naming)) << error;
            EXPECT_EQ(abandoned.naming(), naming);
            write(abandoned, "half a movie");
        }
        EXPECT_EQ(names(), std::vector<std::string>{});

        // The longest name a folder takes.
        const std::string replacedName = std::string(251, 'n') + ".mp4";
        const std::string replacedPath = path(replacedName);
        { std::ofstream(replacedPath) << "old movie"; }
        ASSERT_EQ(chmod(replacedPath.c_str(), 0640), 0);
        const bool mayGiveAway = geteuid() == 0;
        if (mayGiveAway) {
            ASSERT_EQ(chown(replacedPath.c_str(), 4321, 8765), 0);
        }
        fs::create_symlink(replacedName, path("link.mp4"));
        OutputFile replacing;
        ASSERT_TRUE(replacing.open(path("link.mp4"), error, naming)) << error;
        write(replacing, "replacement");
        EXPECT_EQ(test::readFileBytes(replacedPath), "old movie");
        ASSERT_TRUE(replacing.commit(error)) << error;
        EXPECT_EQ(test::readFileBytes(replacedPath), "replacement");
        EXPECT_TRUE(fs::is_symlink(path("link.mp4")));
        struct stat replaced = {};
        ASSERT_EQ(stat(replacedPath.c_str(), &replaced), 0);
        EXPECT_EQ(replaced.st_mode & 07777, 0640u);
        if (mayGiveAway) {
            EXPECT_EQ(replaced.st_uid, 4321u);
            EXPECT_EQ(replaced.st_gid, 8765u);
        }
        EXPECT_EQ(names(), (std::vector<std::string>{"link.mp4", replacedName}));
    }
}

// A named file is debris when no open file marks it in use any more, whatever number its name
// carries: a writer in another PID namespace (a container, another machine on the volume) has a
// number that may run nowhere here, or be another process's. Here a child holds such a file as
// that writer would, under the number of a process that is gone; an unmarked file under the
// number of a running process is a killed writer's.
TEST_F(OutputFileTest, NamedFilesAreRemovedOnlyWhenNoWriterHoldsThem) {
    const pid_t gone = fork();
    if (gone == 0) {
        _exit(0);
    }
    ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
    const std::string live = path(outputFileTemporaryName(gone, 3));
    const std::string debris = path(outputFileTemporaryName(getppid(), 0));
    const std::string foreign = path(".lento-12x-0.part");
    for (const std::string& name : {debris, foreign}) {
        std::ofstream(name) << "debris";
    }
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t writer = fork();
    if (writer == 0) {
        const int fd = ::open(live.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
        const bool marked = fd >= 0 && markFileInUse(fd) == FileLockResult::Taken;
        (void)!write(ready[1], marked ? "y" : "n", 1);
        pause(); // writing, until killed
        _exit(0);
    }
    close(ready[1]);
    char marked = 0;
    ASSERT_EQ(read(ready[0], &marked, 1), 1);
    close(ready[0]);
    ASSERT_EQ(marked, 'y');
    EXPECT_TRUE(isFileInUse(live));
    EXPECT_FALSE(isFileInUse(debris));

    std::string error;
    {
        OutputFile first;
        ASSERT_TRUE(first.open(path("first.mp4"), error, OutputFile::Naming::Named)) << error;
        std::ofstream(first.writePath()) << "first movie";
        EXPECT_TRUE(isFileInUse(first.writePath()));
        EXPECT_TRUE(fs::exists(live));
        EXPECT_FALSE(fs::exists(debris));
        EXPECT_TRUE(fs::exists(foreign));

        // A second export to the folder leaves the first's file alone, in this process too.
        OutputFile second;
        ASSERT_TRUE(second.open(path("second.mp4"), error, OutputFile::Naming::Named)) << error;
        EXPECT_TRUE(fs::exists(first.writePath()));
        EXPECT_TRUE(fs::exists(live));
        ASSERT_TRUE(first.commit(error)) << error;
        EXPECT_EQ(test::readFileBytes(path("first.mp4")), "first movie");
    }

    // Killed, the writer holds nothing: its file is debris for the next one.
    ASSERT_EQ(kill(writer, SIGKILL), 0);
    ASSERT_EQ(waitpid(writer, nullptr, 0), writer);
    EXPECT_FALSE(isFileInUse(live));
    OutputFile next;
    ASSERT_TRUE(next.open(path("next.mp4"), error, OutputFile::Naming::Named)) << error;
    EXPECT_FALSE(fs::exists(live));
    EXPECT_TRUE(fs::exists(foreign));
}

// The completion is the worker's last touch of the session, so it may release the session.
// Under the address sanitizer a worker that went on touching the session is caught here.
TEST_F(OutputFileTest, ASessionMayBeDestroyedByItsOwnCompletion) {
    const auto asset = Asset::assetWithPath(test::fixture("clip.mp4"));
    ASSERT_TRUE(asset->isPlayable());
    const auto second = MediaTimeRange::make(MediaTime::zero(), MediaTime::make(1, 1));
    auto session = ExportSession::exportSessionWithAsset(
        makeFullVideoComposition(*asset, SpeedFactor(), false, second),
        ExportPresetName::H264_640x480);
    ASSERT_TRUE(session);
    session->setOutputURL(path("short.mov"));
    // Held by the completion, so that the worker is done with it before it is freed.
    auto ended = std::make_shared<std::promise<ExportSession::Status>>();
    std::future<ExportSession::Status> status = ended->get_future();
    session->exportAsynchronouslyWithCompletionHandler([&session, ended] {
        const ExportSession::Status last = session->status();
        session.reset();
        ended->set_value(last);
    });
    EXPECT_EQ(status.get(), ExportSession::Status::Completed);
    EXPECT_EQ(session, nullptr);
    EXPECT_EQ(names(), std::vector<std::string>{"short.mov"});
}

} // namespace
} // namespace lento
