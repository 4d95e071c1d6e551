#include "edit/EditFile.h"
#include "edit/EditDocument.h"
#include "edit/EditRecovery.h"
#include "media/Asset.h"
#include "media/FileLock.h"
#include "support/MediaProbe.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <optional>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
    EditState state =
        editOfVideo(qs(fixture("clip.mp4")), Asset::assetWithPath(fixture("clip.mp4"))->duration());
    state.fullVideo = {*SpeedFactor::parse("9.99"), false, MotionMode::Smooth};
    state.sections = {
        {"Jump “one”, \"quoted\"", MediaTime::make(1001, 30000), MediaTime::make(7, 3),
         *SpeedFactor::make(5, 2), false, MotionMode::Blend, MediaTime::make(4999, 10000),
         MediaTime::make(1001 * 10, 30000)},
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
                    a.end.timescale == b.end.timescale &&
                    a.rampIn.timescale == b.rampIn.timescale &&
                    a.rampOut.timescale == b.rampOut.timescale)
            << "section " << i << ": " << a.name.toStdString() << " " << a.start.description()
            << " - " << a.end.description() << " x" << a.factor.text();
    }
}

// A version past the newest this Lento reads.
QByteArray newerVersionOf(QByteArray json) {
    const QByteArray version = "\"version\": ";
    EXPECT_TRUE(json.contains(version + QByteArray::number(editFileVersion(clipEdit()))));
    return json.replace(version + QByteArray::number(editFileVersion(clipEdit())),
                        version + QByteArray::number(kEditFileVersion + 1));
}

// A limit on the size of the files this process writes (the disk full), lifted when it goes.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) : m_previous(std::signal(SIGXFSZ, SIG_IGN)) {
        EXPECT_EQ(getrlimit(RLIMIT_FSIZE, &m_saved), 0);
        rlimit small = m_saved;
        small.rlim_cur = bytes;
        EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_previous);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit m_saved{};
    void (*m_previous)(int);
};

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

    // Written at the lowest version that holds it: ramps need 2, an edit without them is 1 and
    // opens in a Lento that knows no ramps. An edit that Lento wrote before ramps opens as it was
    // and is written again as it was.
    EXPECT_EQ(editFileObject(state, path).value("version"), 2);
    const QByteArray before = R"({"format": "lento-edit", "version": 1,
        "source": {"path": "/videos/a.mp4", "relativePath": "../videos/a.mp4", "fileSize": 5,
                   "duration": {"value": 300300, "timescale": 30000}},
        "fullVideo": {"factor": "2", "audio": true, "motion": "hold"},
        "sections": [{"name": "a", "start": {"value": 1001, "timescale": 30000},
                      "end": {"value": 7, "timescale": 3}, "factor": "2.5", "audio": false,
                      "motion": "blend"}]})";
    const auto saved = parseEditFile(before, problem);
    ASSERT_TRUE(saved) << problem.message.toStdString();
    EXPECT_FALSE(saved->state.sections.at(0).hasRamps());
    const QJsonObject again = editFileObject(saved->state, "/edits/a.lento");
    EXPECT_EQ(again, QJsonDocument::fromJson(before).object());
    EXPECT_FALSE(QJsonDocument(again).toJson().contains("ramp"));
}

TEST(EditFile, BadFilesSayWhyAndGiveNoEdit) {
    Folder folder;
    const QString good = qs(folder / "good.lento");
    EditFileProblem problem;
    ASSERT_TRUE(writeEditFile(clipEdit(), good, problem));
    const QByteArray json = QByteArray::fromStdString(test::readFileBytes(good.toStdString()));
    const auto replaced = [&](const QByteArray& from, const QByteArray& to) {
        QByteArray changed = json;
        EXPECT_TRUE(json.contains(from)) << from.toStdString();
        return changed.replace(from, to);
    };
    const QByteArray size = QByteArray::number(qint64(fs::file_size(fixture("clip.mp4"))));
    QJsonObject sectionsObject = QJsonDocument::fromJson(json).object();
    sectionsObject.insert("sections", QJsonObject());
    // A factor the editor would not take: 3000 broke the sound stretcher, 2147483647 never
    // ended, the others slowed nothing or sped the video up.
    const auto factor = [&](const char* from, const char* to) {
        return replaced(QByteArray("\"factor\": \"") + from + '"',
                        QByteArray("\"factor\": \"") + to + '"');
    };
    // Only regular files are read, none waited on: a FIFO without a writer would block for
    // ever, /dev/zero would fill the memory. A file larger than any edit is not read either.
    ASSERT_EQ(mkfifo((folder / "pipe.lento").c_str(), 0600), 0);
    fs::create_directory(folder / "folder.lento");
    {
        QFile huge(qs(folder / "huge.lento"));
        ASSERT_TRUE(huge.open(QIODevice::WriteOnly) && huge.resize(kEditFileMaxBytes + 1));
    }
    const char* notAFile = "it is not a file but a folder, a device or a pipe";
    const struct {
        const char* name;
        QByteArray bytes;
        Kind kind;
        const char* says = "";
        std::string path = {}; // opened as it is, instead of the bytes written
    } cases[] = {
        {"newer version", newerVersionOf(json), Kind::NewerVersion},
        {"another JSON document", R"({"format": "other", "version": 1})", Kind::NotAnEdit},
        {"a movie", QByteArray::fromStdString(test::readFileBytes(fixture("clip.mp4"))),
         Kind::NotAnEdit},
        {"empty", "", Kind::NotAnEdit},
        {"cut short", json.left(json.size() / 2), Kind::Damaged},
        {"a time that is not rational", replaced("\"timescale\": 30000", "\"timescale\": 30000.5"),
         Kind::Damaged},
        {"timescale 0", replaced("\"timescale\": 30000", "\"timescale\": 0"), Kind::Damaged},
        {"a negative timescale", replaced("\"timescale\": 30000", "\"timescale\": -30000"),
         Kind::Damaged},
        {"a negative file size", replaced("\"fileSize\": " + size, "\"fileSize\": -1"),
         Kind::Damaged},
        {"no sections", replaced("\"sections\"", "\"parts\""), Kind::Damaged},
        {"sections that are no list", QJsonDocument(sectionsObject).toJson(), Kind::Damaged},
        {"a field missing", replaced("\"end\"", "\"fin\""), Kind::Damaged,
         "sections[0].end is missing or wrong"},
        {"factor 3000", factor("2.5", "3000"), Kind::Damaged,
         "sections[0].factor “3000” is not a factor from 1 to 10 with up to two decimals"},
        {"factor 2147483647", factor("4", "2147483647"), Kind::Damaged,
         "sections[1].factor “2147483647”"},
        {"factor 0.5", factor("9.99", "0.5"), Kind::Damaged, "fullVideo.factor “0.5”"},
        {"factor 1/3", factor("2.5", "1/3"), Kind::Damaged, "“1/3” is not a factor"},
        {"factor 11", factor("4", "11"), Kind::Damaged, "“11” is not a factor"},
        {"a negative ramp", replaced("\"value\": 4999", "\"value\": -4999"), Kind::Damaged,
         "sections[0].rampIn is negative"},
        {"a ramp that is no time", replaced("\"rampOut\": {", "\"rampOut\": 1, \"x\": {"),
         Kind::Damaged, "sections[0].rampOut is missing or wrong"},
        {"a FIFO", {}, Kind::Unreadable, notAFile, folder / "pipe.lento"},
        {"a device", {}, Kind::Unreadable, notAFile, "/dev/zero"},
        {"a folder", {}, Kind::Unreadable, notAFile, folder / "folder.lento"},
        {"too large",
         {},
         Kind::Unreadable,
         "it is larger than 64 MB, more than any edit",
         folder / "huge.lento"},
        {"missing", {}, Kind::Unreadable, "No such file or directory", folder / "none.lento"},
    };
    for (const auto& bad : cases) {
        SCOPED_TRACE(bad.name);
        const QString path = qs(bad.path.empty() ? folder / "bad.lento" : bad.path);
        if (bad.path.empty()) {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(bad.bytes);
        }
        EXPECT_FALSE(openEditFile(path, {}, problem));
        EXPECT_EQ(problem.kind, bad.kind) << problem.message.toStdString();
        EXPECT_TRUE(!problem.message.isEmpty() && problem.message.contains(QString(bad.says)))
            << problem.message.toStdString();
    }
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
    // The source the edit opens with, without a warning: the video found is the one it had.
    const auto openedSource = [&] {
        const auto opened = openEditFile(moved, locate, problem);
        EXPECT_TRUE(opened) << problem.message.toStdString();
        EXPECT_TRUE(!opened || opened->warnings.isEmpty());
        return opened ? opened->state.source.path : QString();
    };
    EXPECT_EQ(openedSource(), qs(folder / "moved/videos/clip.mp4"));

    fs::rename(folder / "moved/videos/clip.mp4", folder / "moved/edits/clip.mp4");
    EXPECT_EQ(openedSource(), qs(folder / "moved/edits/clip.mp4"));
    EXPECT_TRUE(asked.isEmpty());

    fs::remove(folder / "moved/edits/clip.mp4");
    answer = qs(fixture("clip.mp4"));
    EXPECT_EQ(openedSource(), answer);
    EXPECT_EQ(asked, QStringList{state.source.path});

    answer.clear();
    EXPECT_FALSE(openEditFile(moved, locate, problem));
    EXPECT_EQ(problem.kind, Kind::SourceMissing);
}

// The source was replaced by a shorter cut: warned, its sections shortened or dropped.
TEST(EditFile, AChangedSourceIsWarnedAboutAndSectionsAreClampedToIt) {
    Folder folder;
    const MediaTime end = Asset::assetWithPath(fixture("vfr.mp4"))->duration();
    EditState state = clipEdit();
    // Ramps that fit the section as saved, not once it is shortened: fitted with it.
    state.sections[1].rampIn = state.sections[1].rampOut = MediaTime::make(5, 2);
    state.sections.push_back({"beyond", end, end + MediaTime::make(1, 1), SpeedFactor::whole(2),
                              true, MotionMode::Hold});
    // Before the start: exported, these held the first picture for seconds or made no picture.
    const auto before = [](const char* name, int64_t start, int64_t stop) {
        return SectionState{
            name, MediaTime::make(start, 1), MediaTime::make(stop, 1), SpeedFactor::whole(2),
            true, MotionMode::Hold};
    };
    state.sections.push_back(before("early", -5, 0));
    state.sections.push_back(before("earlier", -5, -1));
    state.sections.insert(state.sections.begin(), before("straddling", -5, 1));
    fs::copy_file(fixture("vfr.mp4"), folder / "clip.mp4");
    state.source.path = qs(folder / "clip.mp4");
    const QString path = qs(folder / "jump.lento");
    EditFileProblem problem;
    ASSERT_TRUE(writeEditFile(state, path, problem));
    const auto opened = openEditFile(path, {}, problem);
    ASSERT_TRUE(opened) << problem.message.toStdString();
    EXPECT_EQ(opened->state.source.duration, end);
    ASSERT_GT(end, state.sections[2].start) << "vfr.mp4 must end inside the third section";
    ASSERT_EQ(opened->state.sections.size(), 3u);
    EXPECT_EQ(opened->state.sections[0].start, MediaTime::zero());
    EXPECT_EQ(opened->state.sections[0].end, state.sections[0].end);
    EXPECT_EQ(opened->state.sections[1], state.sections[1]);
    EXPECT_EQ(opened->state.sections[2].end, end);
    const SectionState& fitted = opened->state.sections[2];
    EXPECT_EQ(fitted.rampIn, fitted.rampOut);
    EXPECT_EQ(fitted.rampIn + fitted.rampOut, fitted.end - fitted.start);
    ASSERT_FALSE(opened->warnings.isEmpty());
    EXPECT_TRUE(opened->warnings[0].startsWith("The video “clip.mp4” has changed since the edit "
                                               "was saved"));
    EXPECT_EQ(opened->warnings.mid(1).join('\n').toStdString(),
              QStringList({"The section “straddling” began before the start of the video and was "
                           "shortened to it.",
                           "The section “” ran past the end of the video and was shortened to it.",
                           "The ramps of the section “” were longer than the section and were "
                           "shortened to fit it.",
                           "The section “beyond” starts after the end of the video and was "
                           "removed.",
                           "The section “early” ends before the start of the video and was "
                           "removed.",
                           "The section “earlier” ends before the start of the video and was "
                           "removed."})
                  .join('\n')
                  .toStdString());

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

        const bool written = [&] {
            const FileSizeLimit limit(before.size() + 100);
            return writeEditFile(state, path, problem);
        }();

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

// The autosaves in `folder`, without the locks beside them.
QStringList autosavesIn(const QString& folder) {
    return QDir(folder).entryList({"autosave-*.lento"}, QDir::Files);
}

// The child is killed and not yet waited for: its process number still exists, but it holds the
// lock of its autosave no more, and that is what counts.
TEST(EditRecovery, AnEditOfAKilledProcessIsOfferedAndRestoredModified) {
    ensureCoreApp();
    Folder folder;
    const QString autosaves = qs(folder / "state/lento");
    std::string program = "/proc/self/exe", all = "--gtest_also_run_disabled_tests",
                filter = "--gtest_filter=EditRecoveryChild.DISABLED_AutosavesThenWaits";
    char* argv[] = {program.data(), all.data(), filter.data(), nullptr};
    pid_t child = 0;
    qputenv("LENTO_RECOVERY_FOLDER", QFile::encodeName(autosaves));
    const int spawned = posix_spawn(&child, argv[0], nullptr, nullptr, argv, environ);
    qunsetenv("LENTO_RECOVERY_FOLDER");
    ASSERT_EQ(spawned, 0);
    EditDocument document;
    EditRecovery recovery(&document, autosaves);
    ASSERT_TRUE(runEventsUntil([&] { return !autosavesIn(autosaves).isEmpty(); }));
    EXPECT_FALSE(recovery.findOrphan()) << "taken from a Lento still running";

    ASSERT_EQ(::kill(child, SIGKILL), 0);
    std::optional<EditRecovery::Orphan> orphan;
    ASSERT_TRUE(runEventsUntil([&] { return (orphan = recovery.findOrphan()).has_value(); }));
    EXPECT_EQ(::kill(child, 0), 0) << "not waited for yet";
    EXPECT_FALSE(recovery.findOrphan()) << "held while it is offered";
    EditState expected = clipEdit();
    expected.sections[1].name = "renamed";
    expectSameEdit(orphan->state, expected);

    ASSERT_TRUE(recovery.restore(*orphan));
    EXPECT_TRUE(document.isModified());
    EXPECT_EQ(document.state(), expected);
    EXPECT_FALSE(QFile::exists(orphan->path));
    EXPECT_TRUE(QFile::exists(recovery.filePath())) << "taken over as this process's";
    EXPECT_FALSE(recovery.restore(*orphan)) << "only once";
    EXPECT_TRUE(QFile::exists(recovery.filePath())) << "a failed restore keeps this one's own";

    document.markSaved(qs(folder / "saved.lento"));
    EXPECT_FALSE(document.isModified());
    EXPECT_FALSE(QFile::exists(recovery.filePath())) << "removed by a save";
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
}

// What a start finds beside the autosaves it can offer: one a running Lento holds, one a newer
// Lento wrote and one that is damaged. Only the damaged one is handed over, to be said and set
// aside; the others stay where they are.
TEST(EditRecovery, AutosavesThatCannotBeOfferedStayOrAreSetAside) {
    ensureCoreApp();
    Folder folder;
    const QString autosaves = qs(folder / "lento");
    fs::create_directories(autosaves.toStdString());
    EditFileProblem problem;
    ASSERT_TRUE(writeEditFile(clipEdit(), autosaves + "/autosave-7.lento", problem));
    std::string error;
    const auto held =
        FileLock::take(QFile::encodeName(autosaves + "/autosave-7.lock").toStdString(), error);
    ASSERT_TRUE(held) << error;
    const QByteArray newer = newerVersionOf(editFileJson(clipEdit(), {}));
    QFile newerFile(autosaves + "/autosave-8.lento");
    ASSERT_TRUE(newerFile.open(QIODevice::WriteOnly) && newerFile.write(newer) == newer.size());
    newerFile.close();
    EditDocument document;
    EditRecovery recovery(&document, autosaves);
    EXPECT_FALSE(recovery.findOrphan());

    QFile damaged(autosaves + "/autosave-9.lento");
    ASSERT_TRUE(damaged.open(QIODevice::WriteOnly) && damaged.write(newer.left(100)) == 100);
    damaged.close();
    const auto orphan = recovery.findOrphan();
    ASSERT_TRUE(orphan);
    EXPECT_EQ(orphan->path, damaged.fileName());
    EXPECT_FALSE(orphan->damage.isEmpty());
    EXPECT_FALSE(recovery.restore(*orphan));
    const QString kept = EditRecovery::setAsideDamaged(*orphan);
    EXPECT_EQ(kept, autosaves + "/damaged-autosave-9.lento");
    EXPECT_TRUE(QFile::exists(kept));
    EXPECT_FALSE(recovery.findOrphan());
    EXPECT_EQ(autosavesIn(autosaves), QStringList({"autosave-7.lento", "autosave-8.lento"}));
}

// Said once, with the reason, until an autosave is written again.
TEST(EditRecovery, AnAutosaveThatCannotBeWrittenIsSaidOnceWithItsReason) {
    ensureCoreApp();
    Folder folder;
    {
        QFile file(qs(folder / "file"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    const struct {
        const char* name;
        std::string folder;
        const char* reason;
    } cases[] = {
        {"a file", folder / "file", "is not a folder."},
        {"a folder under a file", folder / "file/lento", "cannot be made: Not a directory."},
        {"a full disk", folder / "state", "cannot be written: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EditDocument document;
        EditRecovery recovery(&document, qs(c.folder));
        QSignalSpy said(&recovery, &EditRecovery::autosaveFailed);
        document.reset(clipEdit());
        document.renameSection(0, "one");
        // The lock is taken with the first autosave: the disk fills after it.
        const bool full = c.folder == folder / "state";
        ASSERT_TRUE(!full || recovery.autosaveNow());
        {
            std::optional<FileSizeLimit> limit;
            if (full) {
                limit.emplace(10);
            }
            EXPECT_FALSE(recovery.autosaveNow());
            document.renameSection(0, "two");
            EXPECT_FALSE(recovery.autosaveNow());
        }
        ASSERT_EQ(said.count(), 1);
        const QString reason = said.at(0).at(0).toString();
        EXPECT_TRUE(reason.contains(c.reason)) << reason.toStdString();
        EXPECT_EQ(recovery.failure(), reason);
        if (full) {
            EXPECT_TRUE(recovery.autosaveNow());
            EXPECT_TRUE(recovery.failure().isEmpty());
        }
    }
}

} // namespace
} // namespace lento
