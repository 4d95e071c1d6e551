#include "app/AppDelegate.h"
#include "app/MainWindow.h"
#include "base/Dialogs.h"
#include "controls/VideoControlBar.h"
#include "export/ExportFormats.h"
#include "export/ExportProgressWindowController.h"
#include "export/ExportQualities.h"
#include "export/SavePanel.h"
#include "full/FullVideoEditController.h"
#include "media/PlayerView.h"
#include "support/EditorTesting.h"
#include "support/ExportTesting.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialog>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QToolButton>

#include <filesystem>
#include <fstream>

namespace lento {
namespace {

namespace fs = std::filesystem;
using test::fixture;
using namespace std::chrono_literals;

// Opens nothing: notes the local folders and files the desktop is asked to open.
class FolderOpener : public QObject {
    Q_OBJECT
public:
    FolderOpener() { QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "open"); }
    ~FolderOpener() override { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }

    QList<QUrl> opened;

public slots:
    void open(const QUrl& url) { opened << url; }
};

TEST(ExportFormatsTest, TheListStartsWithTheVideosOwnExtension) {
    EXPECT_EQ(makeExtensionArray("3gp"), QStringList({"3gp", "mov", "mp4"}));
    EXPECT_EQ(makeExtensionArray("mov"), QStringList({"mov", "mp4", "3gp"}));
    EXPECT_EQ(makeExtensionArray("MOV"), QStringList({"MOV", "mov", "mp4", "3gp"}));
    EXPECT_EQ(makeExtensionArray("m4v"), QStringList({"m4v", "mov", "mp4", "3gp"}));
    EXPECT_EQ(IndexOfExportExtensionFromCurVideo(makeExtensionArray("m4v")), 0);
}

TEST(SavePanelTest, TheFormatChooserRewritesOnlyTheExtension) {
    test::ensureQtApp();
    SavePanel panel;
    panel.setNameFieldStringValue("Untitled.mp4");
    panel.setAllowedFileTypes(makeExtensionArray("mp4"));
    panel.setAccessoryFormats(makeExtensionArray("mp4"), 0);
    EXPECT_EQ(panel.formatChooser()->currentText(), "mp4");

    panel.setNameFieldStringValue("Holiday");
    panel.formatChooser()->setCurrentIndex(1);
    EXPECT_EQ(panel.nameFieldStringValue(), "Holiday.mov");
    EXPECT_FALSE(panel.isExtensionHidden());
    panel.setDirectory(QDir::tempPath());
    EXPECT_EQ(panel.URL(), QDir(QDir::tempPath()).filePath("Holiday.mov"));
    // A name typed without an allowed extension takes the chosen format's.
    panel.setNameFieldStringValue("/somewhere/Trip");
    EXPECT_EQ(panel.URL(), "/somewhere/Trip.mov");
    panel.setNameFieldStringValue("/somewhere/Trip.MP4");
    EXPECT_EQ(panel.URL(), "/somewhere/Trip.MP4");
    // Only a format's extension is rewritten; other dots belong to the name.
    panel.setNameFieldStringValue("Trip.2024");
    panel.formatChooser()->setCurrentIndex(0);
    EXPECT_EQ(panel.nameFieldStringValue(), "Trip.2024.mp4");
}

// Cancel reaching the editors' delegates is tested with their exports.
TEST(ExportProgressTest, TheSheetIsIndeterminateUntilSomethingIsWrittenAndCancelStopsThePoll) {
    test::ensureQtApp();
    ExportProgressWindowController controller;
    controller.setExportSession(ExportSession::exportSessionWithAsset(
        std::make_shared<Composition>(), ExportPresetName::HighestQuality));
    ASSERT_NE(controller.updateTimer(), nullptr);
    test::spinEvents(150ms);
    EXPECT_TRUE(controller.isIndeterminate());
    EXPECT_EQ(controller.progressBar()->maximum(), 0);
    controller.setProgress(0.25f);
    EXPECT_FALSE(controller.isIndeterminate());
    EXPECT_GT(controller.progressBar()->maximum(), 0);
    controller.cancelButton()->click(); // without a delegate
    EXPECT_EQ(controller.updateTimer(), nullptr);
}

class FullVideoExportTest : public ::testing::Test {
protected:
    void SetUp() override {
        window->appDelegate()->applicationDidFinishLaunching();
        editor = window->fullVideoEditController();
    }

    void load(const std::string& path) { ASSERT_TRUE(test::dropAndWait(*editor, path)); }
    ExportSession::Status exportAs(const QString& name, const QString& format = {},
                                   const QString& quality = {}) {
        return test::answerAndExport(
            *editor->exportFlow(), [&] { editor->actionExport(); }, folder.path(), name, format,
            &offer, quality);
    }

    test::Capture capture;
    test::TestFolder folder;
    std::unique_ptr<MainWindow> window = std::make_unique<MainWindow>();
    FullVideoEditController* editor = nullptr;
    test::SavePanelOffer offer;
};

TEST_F(FullVideoExportTest, AWholeExportStretchesPictureAndSoundIntoTheChosenContainer) {
    load(fixture("short.mp4"));
    editor->m_comboSpeed()->setCurrentIndex(2);
    // A name typed with its own folder keeps it through the change of format.
    fs::create_directory(folder / "out");
    EXPECT_EQ(exportAs(QString::fromStdString(folder / "out/Holiday"), "3gp"),
              ExportSession::Status::Completed);
    EXPECT_EQ(offer.name, "short slow.mp4");
    EXPECT_EQ(offer.formats, QStringList({"mp4", "mov", "3gp"}));
    EXPECT_EQ(capture.questions, QStringList{exportedMovieMessage("Holiday.3gp")});
    // The panel opens beside the video the first time, then where the last export went.
    EXPECT_EQ(offer.folder.toStdString(), fs::path(fixture("short.mp4")).parent_path().string());
    test::answerSavePanel(dialogs::kResponseCancel, folder.path(), "none", {}, &offer);
    editor->actionExport();
    EXPECT_EQ(offer.folder.toStdString(), folder / "out");
    EXPECT_TRUE(capture.alerts.isEmpty());
    EXPECT_EQ(editor->exportSession(), nullptr);
    EXPECT_EQ(editor->exportProgressWindowController(), nullptr);

    const auto probe = test::probe(folder / "out/Holiday.3gp");
    EXPECT_EQ(probe.majorBrand.substr(0, 3), "3gp");
    ASSERT_TRUE(probe.video() && probe.audio());
    EXPECT_NEAR(probe.video()->durationSeconds, 6.0, 0.1);
    EXPECT_NEAR(probe.audio()->durationSeconds, 6.0, 0.1);
    // The log names the preset, the types and the destination.
    EXPECT_TRUE(capture.logged("HighestQuality\n"));
    EXPECT_TRUE(capture.logged("(QuickTime movie, MPEG-4, 3GPP)\n"));
}

// The quality row offers the standard choice first and selected, then Original and the sizes;
// Original copies the source's pictures and says under the row what it does where it cannot.
TEST_F(FullVideoExportTest, TheQualityRowChoosesThePresetAndOriginalCopiesThePictures) {
    load(fixture("short.mp4"));
    editor->m_comboSpeed()->setCurrentIndex(1);
    ASSERT_EQ(exportAs("Copied", "mov", "Original (no re-encoding)"),
              ExportSession::Status::Completed);
    EXPECT_EQ(offer.qualities, QStringList({"Standard", "Original (no re-encoding)", "Source Size",
                                            "1080p", "720p", "540p", "480p"}));
    EXPECT_EQ(offer.chosenQuality, "Standard");
    EXPECT_EQ(offer.qualityNote, QString::fromUtf8(originalQualityNote()));
    EXPECT_EQ(test::frameDigests(folder / "Copied.mov"), test::frameDigests(fixture("short.mp4")));
    // The next panel proposes the quality last exported at; any other choice hides the note.
    test::answerSavePanel(dialogs::kResponseCancel, folder.path(), "none", {}, &offer, "480p");
    editor->actionExport();
    EXPECT_EQ(offer.chosenQuality, "Original (no re-encoding)");
    EXPECT_TRUE(offer.qualityNote.isEmpty());

    // The message that says where the movie is opens its folder, as the desktop opens folders.
    const test::RecordedExports recorded;
    FolderOpener opener;
    capture.questionAnswer = 1;
    ASSERT_EQ(exportAs("Shown"), ExportSession::Status::Completed);
    EXPECT_EQ(capture.questions.last(), exportedMovieMessage("Shown.mp4"));
    EXPECT_EQ(opener.opened,
              QList<QUrl>{QUrl::fromLocalFile(QString::fromStdString(folder.path()))});
}

TEST_F(FullVideoExportTest, CancelOnTheSheetEndsTheExportAndKeepsTheOlderFile) {
    load(fixture("clip.mp4"));
    editor->m_comboSpeed()->setCurrentIndex(9);
    { std::ofstream(folder / "keep.mp4") << "older"; }
    const ExportSession::Status status = test::answerAndExport(
        *editor->exportFlow(),
        [&] {
            editor->actionExport();
            ASSERT_TRUE(test::waitUntil(
                [&] { return editor->exportProgressWindowController() != nullptr; }));
            ExportProgressWindowController* sheet = editor->exportProgressWindowController();
            EXPECT_TRUE(sheet->window()->isVisible());
            sheet->cancelButton()->click();
        },
        folder.path(), "keep.mp4");
    EXPECT_EQ(status, ExportSession::Status::Cancelled);
    EXPECT_EQ(editor->exportProgressWindowController(), nullptr);
    EXPECT_TRUE(capture.alerts.isEmpty());
    EXPECT_EQ(test::readFileBytes(folder / "keep.mp4"), "older");
    EXPECT_EQ(folder.fileCount(), 1);
}

TEST_F(FullVideoExportTest, AFailedExportSaysSoAndTheEditedVideoIsNoDestination) {
    fs::copy_file(fixture("clip.mp4"), folder / "own.mp4");
    fs::create_symlink(folder / "own.mp4", folder / "link.mp4");
    load(folder / "own.mp4");
    EXPECT_EQ(exportAs(QString::fromStdString(folder / "missing/where.mp4")),
              ExportSession::Status::Failed);
    EXPECT_EQ(capture.alerts, QStringList({"Export failed."}));
    ASSERT_EQ(capture.informatives.size(), 1);
    EXPECT_FALSE(capture.informatives[0].isEmpty());

    // Each name of the edited video is refused and the panel asked again, until another name.
    const test::RecordedExports recorded;
    capture.clear();
    const QStringList answers = {"own.mp4", "link.mp4", "./own.mp4", "copy.mp4"};
    int asked = 0;
    SavePanel::setResponder([&](SavePanel& panel) {
        panel.setDirectory(QString::fromStdString(folder.path()));
        panel.setNameFieldStringValue(answers.value(asked++));
        return dialogs::kResponseOK;
    });
    QSignalSpy finished(editor->exportFlow(), &ExportFlow::exportFinished);
    editor->actionExport();
    ASSERT_TRUE(test::waitUntil([&] { return finished.count() == 1; }, 60s));
    EXPECT_EQ(asked, 4);
    EXPECT_EQ(capture.alerts,
              QStringList(3, "This is the video being edited. Choose another name."));
    EXPECT_NEAR(test::probe(folder / "own.mp4").durationSeconds, 10.0, 0.1);
    ASSERT_EQ(recorded.orders().size(), 1u);
    EXPECT_EQ(recorded.orders().back().destination, folder / "copy.mp4");
}

TEST_F(FullVideoExportTest, ASoundOnlySourceExportsItsSoundStretched) {
    const test::RecordedExports recorded;
    load(fixture("audio.m4a"));
    editor->m_comboSpeed()->setCurrentIndex(1);
    ASSERT_EQ(exportAs("sound.mp4"), ExportSession::Status::Completed);
    EXPECT_EQ(recorded.track(MediaType::Video), "none");
    EXPECT_EQ(recorded.track(MediaType::Audio), "0-20<0 ");
}

} // namespace
} // namespace lento

#include "ExportFlowTest.moc"
