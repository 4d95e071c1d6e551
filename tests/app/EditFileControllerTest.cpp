#include "app/EditFileController.h"
#include "app/AppDelegate.h"
#include "app/MainWindow.h"
#include "base/Dialogs.h"
#include "base/FileNames.h"
#include "edit/EditDocument.h"
#include "edit/EditFile.h"
#include "edit/EditRecovery.h"
#include "full/FullVideoEditController.h"
#include "media/Asset.h"
#include "media/PlayerView.h"
#include "support/EditorTesting.h"
#include "support/ExportTesting.h"

#include <gtest/gtest.h>

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>

#include <QDir>
#include <QFileInfo>

#include <filesystem>
#include <functional>
#include <optional>

namespace lento {
namespace {

namespace fs = std::filesystem;
using test::fixture;

QString qs(const std::string& path) {
    return QString::fromStdString(path);
}

class EditFileControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        window = std::make_unique<MainWindow>();
        window->appDelegate()->applicationDidFinishLaunching();
        files = window->editFileController();
        document = window->document();
        // Every question and panel is answered from the fields below, and noted.
        dialogs::setResponder(
            {.alert =
                 [this](const QString& message, const QString& informative) {
                     capture.alerts << message;
                     capture.informatives << informative;
                 },
             .openPanel =
                 [this](const QStringList&) {
                     opened << openAnswer;
                     return std::make_pair(openAnswer.isEmpty() ? dialogs::kResponseCancel
                                                                : dialogs::kResponseOK,
                                           urlOfPath(openAnswer));
                 },
             .question =
                 [this](const QString& message, const QStringList& buttons) {
                     questions << message;
                     return static_cast<int>(buttons.indexOf(answer));
                 },
             .savePanel =
                 [this](const QString& suggested) {
                     suggestions << suggested;
                     return std::make_pair(dialogs::kResponseOK, QUrl::fromLocalFile(saveAnswer));
                 }});
    }

    // An edit of clip.mp4 with one change on its undo stack.
    void changedClipEdit() {
        document->reset(editOfVideo(qs(fixture("clip.mp4")),
                                    Asset::assetWithPath(fixture("clip.mp4"))->duration()));
        document->addSection(0, {"jump", MediaTime::make(1, 3), MediaTime::make(2, 1),
                                 *SpeedFactor::make(5, 2), true, MotionMode::Blend});
    }

    // Opens the edit as the window does, the file read on a worker; true when it was opened.
    bool openEdit(const QString& path) {
        std::optional<bool> ended;
        const auto connection = QObject::connect(files, &EditFileController::editOpeningEnded,
                                                 [&](bool opened) { ended = opened; });
        files->openEdit(path);
        EXPECT_TRUE(test::waitUntil([&] { return ended.has_value(); })) << "never ended";
        QObject::disconnect(connection);
        return ended.value_or(false);
    }

    // A drop of `url` as the window system makes it: the drag enters `target`, then drops there.
    static void dropOn(QWidget* target, const QUrl& url) {
        QMimeData data;
        data.setUrls({url});
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(target, &enter);
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(target, &drop);
    }

    test::Capture capture;
    test::TestFolder folder;
    std::unique_ptr<MainWindow> window;
    EditFileController* files = nullptr;
    EditDocument* document = nullptr;
    QString answer, openAnswer, saveAnswer;
    QStringList questions, opened, suggestions;
};

TEST_F(EditFileControllerTest, UnsavedChangesAreSavedDroppedOrKeptAsAnswered) {
    changedClipEdit();
    EXPECT_TRUE(window->isWindowModified());
    const EditState changed = document->state();

    answer = "Cancel";
    window->show();
    EXPECT_FALSE(window->close());
    EXPECT_FALSE(files->actionNewEdition());
    EXPECT_EQ(document->state(), changed);
    EXPECT_EQ(questions, QStringList(2, "Save changes to the edit of clip.mp4?"));

    // Save without a file asks where, next to the video, and adds the extension.
    answer = "Save";
    saveAnswer = qs(folder / "jump");
    EXPECT_TRUE(files->actionNewEdition());
    EXPECT_EQ(suggestions, QStringList{qs(fixture("clip.lento"))});
    EXPECT_TRUE(document->state().sections.empty());
    EXPECT_FALSE(window->isWindowModified());
    EditFileProblem problem;
    const auto saved = readEditFile(qs(folder / "jump.lento"), problem);
    ASSERT_TRUE(saved) << problem.message.toStdString();
    EXPECT_EQ(saved->state, changed);

    // Opening asks too; Don't Save drops the changes.
    changedClipEdit();
    answer = "Don't Save";
    EXPECT_TRUE(openEdit(qs(folder / "jump.lento")));
    EXPECT_EQ(document->state(), changed);
    EXPECT_EQ(document->filePath(), qs(folder / "jump.lento"));
    EXPECT_FALSE(document->isModified());
    EXPECT_EQ(questions.size(), 4);

    // Save Edit writes where it came from, without asking.
    document->renameSection(0, "leap");
    EXPECT_TRUE(files->actionSaveEdit());
    EXPECT_EQ(suggestions.size(), 1);
    EXPECT_EQ(readEditFile(qs(folder / "jump.lento"), problem)->state, document->state());
    EXPECT_TRUE(window->close());
    EXPECT_TRUE(capture.alerts.isEmpty());
}

TEST_F(EditFileControllerTest, OpeningAlertsOnBadFilesAsksForAMissingVideoAndIsDroppedOn) {
    changedClipEdit();
    const EditState changed = document->state();
    {
        QFile text(qs(folder / "notes.lento"));
        ASSERT_TRUE(text.open(QIODevice::WriteOnly));
        text.write("shopping list");
    }
    // Which files are refused, and why, is the edit file's own test: here the window says it.
    EXPECT_FALSE(openEdit(qs(folder / "notes.lento")));
    EXPECT_EQ(capture.alerts, QStringList{"The edit “notes.lento” could not be opened."});
    EXPECT_EQ(capture.informatives, QStringList{"The file is not a Lento edit."});
    EXPECT_EQ(document->state(), changed);
    EXPECT_TRUE(questions.isEmpty()) << "nothing to set aside for a file that cannot open";

    // The video is gone: the user is asked for it, and the edit is opened with a note of its
    // sections shortened to the video chosen, modified.
    EditState state = changed;
    state.source.path = qs(folder / "gone.mp4");
    state.sections[0].end = MediaTime::make(600, 1);
    EditFileProblem problem;
    ASSERT_TRUE(writeEditFile(state, qs(folder / "gone.lento"), problem));
    document->reset({});
    capture.clear();
    openAnswer = qs(fixture("clip.mp4"));
    dropOn(window->fullVideoEditController()->m_dragAndDropView(),
           QUrl::fromLocalFile(qs(folder / "gone.lento")));
    ASSERT_TRUE(test::waitUntil([&] { return !document->state().source.isEmpty(); }))
        << capture.informatives.join(" / ").toStdString();
    EXPECT_EQ(opened, QStringList{openAnswer});
    EXPECT_EQ(document->state().source.path, openAnswer);
    EXPECT_TRUE(document->isModified());
    EXPECT_EQ(capture.alerts,
              QStringList({"Where is the video “gone.mp4”?", "The edit was opened with changes."}));

    // A located video is a change too, with nothing else mended: closing offers to save where
    // the video is now, or the next opening would ask for it again.
    state = changed;
    state.source.path = qs(folder / "moved.mp4");
    ASSERT_TRUE(writeEditFile(state, qs(folder / "moved.lento"), problem));
    capture.clear();
    questions.clear();
    answer = "Don't Save";
    EXPECT_TRUE(openEdit(qs(folder / "moved.lento")));
    EXPECT_EQ(capture.alerts, QStringList{"Where is the video “moved.mp4”?"});
    EXPECT_EQ(document->state().source.path, openAnswer);
    EXPECT_TRUE(window->isWindowModified());
    answer = "Cancel";
    window->show();
    EXPECT_FALSE(window->close());
    EXPECT_EQ(questions, QStringList({"Save changes to the edit of clip.mp4?",
                                      "Save changes to the edit of clip.mp4?"}));
}

// A name that is not UTF-8 (Latin-1 "café", as an old camera card has it) reaches the editor by
// every way in as the system gives it, and plays: dropped, named on the command line, chosen in
// a panel that gives its URL, and kept in a saved edit.
TEST_F(EditFileControllerTest, AVideoNamedInAnotherEncodingOpensByEveryWayIn) {
    const std::string bytes = folder / "caf\xe9.mp4";
    fs::copy_file(fixture("clip.mp4"), bytes);
    const QString path = pathFromBytes(QByteArray::fromStdString(bytes));
    FullVideoEditController& full = *window->fullVideoEditController();
    const auto opens = [&](const char* way, const std::function<void()>& open) {
        SCOPED_TRACE(way);
        document->reset({});
        ASSERT_EQ(full.m_VideoPlayer()->player(), nullptr);
        open();
        ASSERT_TRUE(test::waitUntil([&] {
            const Player* player = full.m_VideoPlayer()->player();
            return player != nullptr && player->status() == Player::Status::ReadyToPlay;
        })) << capture.alerts.join(" / ").toStdString();
        EXPECT_EQ(full.m_VideoPlayer()->player()->currentItem()->asset()->path(), bytes);
        EXPECT_EQ(pathBytes(document->state().source.path).toStdString(), bytes);
        EXPECT_EQ(document->state().source.fileSize, int64_t(fs::file_size(bytes)));
    };
    opens("dropped", [&] { dropOn(full.m_dragAndDropView(), urlOfPath(path)); });
    opens("named", [&] { window->openFileNamed(path); });
    openAnswer = path;
    opens("chosen", [&] { window->appDelegate()->actionImportVideo(); });
    saveAnswer = qs(folder / "cafe.lento");
    ASSERT_TRUE(files->actionSaveEditAs());
    answer = "Don't Save";
    opens("saved in an edit", [&] { ASSERT_TRUE(openEdit(saveAnswer)); });
    EXPECT_TRUE(capture.alerts.isEmpty()) << capture.alerts.join(" / ").toStdString();
}

// Autosaves that cannot be written are said once; a damaged one found at start is said and kept
// aside, not asked about.
TEST_F(EditFileControllerTest, AnEditThatCannotBeKeptSafeIsSaidOnceAndADamagedOneAtStart) {
    const QString autosaves = files->recovery()->folder();
    QDir(autosaves).removeRecursively();
    QDir().mkpath(QFileInfo(autosaves).path());
    {
        QFile blocker(autosaves);
        ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    }
    changedClipEdit();
    EXPECT_FALSE(files->recovery()->autosaveNow());
    test::spinEvents(std::chrono::milliseconds(50));
    EXPECT_EQ(capture.alerts, QStringList{"Lento cannot keep this edit safe."});
    EXPECT_TRUE(capture.informatives.value(0).contains("is not a folder"))
        << capture.informatives.value(0).toStdString();

    capture.clear();
    ASSERT_TRUE(QFile::remove(autosaves) && QDir().mkpath(autosaves));
    {
        QFile damaged(autosaves + "/autosave-1.lento");
        ASSERT_TRUE(damaged.open(QIODevice::WriteOnly));
        damaged.write(R"({"format": "lento-edit", "version": 1, "sour)");
    }
    files->offerRecovery();
    EXPECT_EQ(capture.alerts, QStringList{"An unsaved edit could not be restored."});
    EXPECT_TRUE(capture.informatives.value(0).contains(autosaves + "/damaged-autosave-1.lento"))
        << capture.informatives.value(0).toStdString();
    EXPECT_TRUE(questions.isEmpty());
    EXPECT_TRUE(QFile::remove(autosaves + "/damaged-autosave-1.lento"));
}

} // namespace
} // namespace lento
