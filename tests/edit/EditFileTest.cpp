#include "edit/EditFile.h"
#include "edit/EditDocument.h"
#include "edit/EditRecovery.h"
#include "media/Asset.h"
#include "support/MediaProbe.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <sys/resource.h>

namespace lento {
namespace {

namespace fs = std::filesystem;
using test::fixture;
using Kind = EditFileProblem::Kind;

QString qs(const std::string& path) {
    return QString::fromStdString(path);
}

// An empty folder of its own, removed with it.
struct Folder {
    QTemporaryDir dir{QDir::temp().filePath("lento-edit-test-XXXXXX")};
    std::string operator/(const std::string& name) const {
        return QDir(dir.path()).filePath(qs(name)).toStdString();
    }
    qsizetype fileCount() const { return QDir(dir.path()).entryList(QDir::Files).size(); }
};

// The event loop the autosave's timer runs on, made once and kept to the end.
void ensureCoreApp() {
    static int argc = 1;
    static char name[] = "lento_edit_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* application =
        QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
    (void)application;
}

bool runEventsUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

// An edit of clip.mp4 whose times are no whole number of frames nor of the clip's ticks.
EditState clipEdit() {
    const auto asset = Asset::assetWithPath(fixture("clip.mp4"));
    EditState state;
    state.source = {qs(fixture("clip.mp4")),
                    static_cast<int64_t>(fs::file_size(fixture("clip.mp4"))), asset->duration()};
    state.fullVideo = {*SpeedFactor::make(7, 3), false, MotionMode::Smooth};
    state.sections = {
        {"Jump “one”, \"quoted\"", MediaTime::make(1001, 30000), MediaTime::make(7, 3),
         *SpeedFactor::make(5, 2), false, MotionMode::Blend},
        {"", MediaTime::make(3, 1), MediaTime::make(9'000'000'001, 1'000'000'000),
         SpeedFactor::whole(4), true, MotionMode::Hold},
    };
    return state;
}

// Equal field by field, each time at the timescale it was written at: 2/60 stays 2/60.
void expectSameEdit(const EditState& read, const EditState& written) {
    EXPECT_EQ(read.source, written.source);
    EXPECT_EQ(read.source.duration.timescale, written.source.duration.timescale);
    EXPECT_EQ(read.fullVideo, written.fullVideo);
    ASSERT_EQ(read.sections.size(), written.sections.size());
    for (size_t i = 0; i < read.sections.size(); ++i) {
        const SectionState &a = read.sections[i], &b = written.sections[i];
        EXPECT_TRUE(a == b && a.start.timescale == b.start.timescale &&
                    a.end.timescale == b.end.timescale)
            << "section " << i << ": " << a.name.toStdString() << " " << a.start.description()
            << " - " << a.end.description() << " x" << a.factor.text();
    }
}

TEST(EditFile, SavedEditOpensFieldByField) {
    Folder folder;
    const EditState state = clipEdit();
    const QString path = qs(folder / "jump.lento");
    EditFileProblem problem;
    ASSERT_TRUE(writeEditFile(state, path, problem)) << problem.message.toStdString();
    int asked = 0;
    const auto opened = openEditFile(
        path, [&](const QString&) { return ++asked, QString(); }, problem);
    ASSERT_TRUE(opened) << problem.message.toStdString();
    EXPECT_EQ(asked, 0);
    EXPECT_TRUE(opened->warnings.isEmpty()) << opened->warnings.join('\n').toStdString();
    expectSameEdit(opened->state, state);
}

TEST(EditFile, BadFilesSayWhyAndGiveNoEdit) {
    Folder folder;
    const QString good = qs(folder / "good.lento");
    EditFileProblem problem;
    ASSERT_TRUE(writeEditFile(clipEdit(), good, problem));
    const QByteArray json = QByteArray::fromStdString(test::readFileBytes(good.toStdString()));
    QByteArray newer = json;
    newer.replace("\"version\": 1", "\"version\": 2");
    QByteArray fractional = json;
    fractional.replace("\"timescale\": 30000", "\"timescale\": 30000.5");
    QByteArray noEnd = json;
    noEnd.replace("\"end\"", "\"fin\"");
    const struct {
        const char* name;
        QByteArray bytes;
        Kind kind;
    } cases[] = {
        {"newer version", newer, Kind::NewerVersion},
        {"another JSON document", R"({"format": "other", "version": 1})", Kind::NotAnEdit},
        {"a movie", QByteArray::fromStdString(test::readFileBytes(fixture("clip.mp4"))),
         Kind::NotAnEdit},
        {"empty", "", Kind::NotAnEdit},
        {"cut short", json.left(json.size() / 2), Kind::Damaged},
        {"a time that is not rational", fractional, Kind::Damaged},
        {"a field missing", noEnd, Kind::Damaged},
    };
    for (const auto& bad : cases) {
        SCOPED_TRACE(bad.name);
        const QString path = qs(folder / "bad.lento");
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bad.bytes);
        file.close();
        EXPECT_FALSE(openEditFile(path, {}, problem));
        EXPECT_EQ(problem.kind, bad.kind) << problem.message.toStdString();
        EXPECT_FALSE(problem.message.isEmpty());
    }
    EXPECT_FALSE(openEditFile(qs(folder / "none.lento"), {}, problem));
    EXPECT_EQ(problem.kind, Kind::Unreadable);
}

// The edit and its video moved together, then the video put beside the edit, then lost.
TEST(EditFile, AMissingSourceIsLookedForBesideTheEditThenAsked) {
    Folder folder;
    fs::create_directories(folder / "project/edits");
    fs::create_directories(folder / "project/videos");
    fs::copy_file(fixture("clip.mp4"), folder / "project/videos/clip.mp4");
    EditState state = clipEdit();
    state.source.path = qs(folder / "project/videos/clip.mp4");
    EditFileProblem problem;
    ASSERT_TRUE(writeEditFile(state, qs(folder / "project/edits/jump.lento"), problem));
    fs::rename(folder / "project", folder / "moved");
    const QString moved = qs(folder / "moved/edits/jump.lento");

    QStringList asked;
    QString answer;
    const auto locate = [&](const QString& missing) {
        asked << missing;
        return answer;
    };
    auto opened = openEditFile(moved, locate, problem);
    ASSERT_TRUE(opened) << problem.message.toStdString();
    EXPECT_EQ(opened->state.source.path, qs(folder / "moved/videos/clip.mp4"));

    fs::rename(folder / "moved/videos/clip.mp4", folder / "moved/edits/clip.mp4");
    opened = openEditFile(moved, locate, problem);
    ASSERT_TRUE(opened) << problem.message.toStdString();
    EXPECT_EQ(opened->state.source.path, qs(folder / "moved/edits/clip.mp4"));
    EXPECT_TRUE(asked.isEmpty());

    fs::remove(folder / "moved/edits/clip.mp4");
    answer = qs(fixture("clip.mp4"));
    opened = openEditFile(moved, locate, problem);
    ASSERT_TRUE(opened) << problem.message.toStdString();
    EXPECT_EQ(asked, QStringList{state.source.path});
    EXPECT_EQ(opened->state.source.path, answer);
    EXPECT_TRUE(opened->warnings.isEmpty());

    answer.clear();
    EXPECT_FALSE(openEditFile(moved, locate, problem));
    EXPECT_EQ(problem.kind, Kind::SourceMissing);
}

// The source was replaced by a shorter cut: warned, its sections shortened or dropped.
TEST(EditFile, AChangedSourceIsWarnedAboutAndSectionsAreClampedToIt) {
    Folder folder;
    const MediaTime end = Asset::assetWithPath(fixture("vfr.mp4"))->duration();
    EditState state = clipEdit();
    state.sections.push_back({"beyond", end, end + MediaTime::make(1, 1), SpeedFactor::whole(2),
                              true, MotionMode::Hold});
    fs::copy_file(fixture("vfr.mp4"), folder / "clip.mp4");
    state.source.path = qs(folder / "clip.mp4");
    const QString path = qs(folder / "jump.lento");
    EditFileProblem problem;
    ASSERT_TRUE(writeEditFile(state, path, problem));
    const auto opened = openEditFile(path, {}, problem);
    ASSERT_TRUE(opened) << problem.message.toStdString();
    EXPECT_EQ(opened->state.source.duration, end);
    ASSERT_GT(end, state.sections[1].start) << "vfr.mp4 must end inside the second section";
    ASSERT_EQ(opened->state.sections.size(), 2u);
    EXPECT_EQ(opened->state.sections[0], state.sections[0]);
    EXPECT_EQ(opened->state.sections[1].end, end);
    EXPECT_EQ(opened->warnings.size(), 3) << opened->warnings.join('\n').toStdString();

    fs::copy_file(fixture("text.mov"), folder / "clip.mp4", fs::copy_options::overwrite_existing);
    EXPECT_FALSE(openEditFile(path, {}, problem));
    EXPECT_EQ(problem.kind, Kind::SourceUnusable);
}

// A write that fails half way (the disk full, here a file size limit) leaves the saved edit,
// whether the edit is larger than what is written at once or small enough to go in one piece.
TEST(EditFile, AFailedSaveLeavesTheOldFileWhole) {
    Folder folder;
    const QString path = qs(folder / "jump.lento");
    EditFileProblem problem;
    ASSERT_TRUE(writeEditFile(clipEdit(), path, problem));
    const std::string before = test::readFileBytes(path.toStdString());
    for (const size_t sections : {2000, 3}) {
        SCOPED_TRACE(sections);
        EditState state = clipEdit();
        state.sections.resize(sections, state.sections[0]);

        rlimit saved{};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved;
        small.rlim_cur = before.size() + 100;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        const bool written = writeEditFile(state, path, problem);
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);

        EXPECT_FALSE(written);
        EXPECT_EQ(problem.kind, Kind::Unwritable);
        EXPECT_EQ(test::readFileBytes(path.toStdString()), before);
        EXPECT_EQ(folder.fileCount(), 1) << "no temporary file left";
    }
    EXPECT_FALSE(writeEditFile(clipEdit(), qs(folder / "no/such/folder.lento"), problem));
}

// Run only by the test below, in a process of its own: autosaves a change and waits to be killed.
TEST(EditRecoveryChild, DISABLED_AutosavesThenWaits) {
    ensureCoreApp();
    EditDocument document;
    EditRecovery recovery(&document, qEnvironmentVariable("LENTO_RECOVERY_FOLDER"));
    document.reset(clipEdit());
    document.renameSection(1, "renamed");
    ASSERT_TRUE(runEventsUntil([&] { return QFile::exists(recovery.filePath()); }));
    runEventsUntil([] { return false; }, 60000);
}

TEST(EditRecovery, AnEditOfAKilledProcessIsOfferedAndRestoredModified) {
    ensureCoreApp();
    Folder folder;
    const QString autosaves = qs(folder / "state/lento");
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LENTO_RECOVERY_FOLDER", autosaves);
    child.setProcessEnvironment(environment);
    child.start(QFile::symLinkTarget("/proc/self/exe"),
                {"--gtest_also_run_disabled_tests",
                 "--gtest_filter=EditRecoveryChild.DISABLED_AutosavesThenWaits"});
    ASSERT_TRUE(child.waitForStarted());
    EditDocument document;
    EditRecovery recovery(&document, autosaves);
    ASSERT_TRUE(runEventsUntil([&] { return !QDir(autosaves).isEmpty(); }));
    EXPECT_FALSE(recovery.findOrphan()) << "taken from a Lento still running";

    child.kill();
    ASSERT_TRUE(child.waitForFinished());
    const auto orphan = recovery.findOrphan();
    ASSERT_TRUE(orphan);
    EditState expected = clipEdit();
    expected.sections[1].name = "renamed";
    expectSameEdit(orphan->state, expected);

    ASSERT_TRUE(recovery.restore(*orphan));
    EXPECT_TRUE(document.isModified());
    EXPECT_EQ(document.state(), expected);
    EXPECT_FALSE(QFile::exists(orphan->path));
    EXPECT_TRUE(QFile::exists(recovery.filePath())) << "taken over as this process's";
    EXPECT_FALSE(recovery.restore(*orphan)) << "only once";

    document.markSaved(qs(folder / "saved.lento"));
    EXPECT_FALSE(QFile::exists(recovery.filePath())) << "removed by a save";
}

} // namespace
} // namespace lento
