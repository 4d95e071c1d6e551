#include "app/AppDelegate.h"
#include "app/Dialogs.h"
#include "app/Log.h"
#include "app/MainWindow.h"
#include "controls/VideoControlBar.h"
#include "export/ExportFormats.h"
#include "export/ExportProgressWindowController.h"
#include "export/SavePanel.h"
#include "full/FullVideoEditController.h"
#include "media/PlayerView.h"
#include "support/MediaProbe.h"
#include "support/QtApp.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
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

TEST(ExportFormatsTest, TheListStartsWithTheVideosOwnExtension) {
    EXPECT_EQ(makeExtensionArray("mp4"), QStringList({"mp4", "mov", "3gp"}));
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
    EXPECT_EQ(panel.formatLabel()->text(), "Format:");
    EXPECT_EQ(panel.formatChooser()->currentText(), "mp4");

    panel.setNameFieldStringValue("Holiday");
    panel.formatChooser()->setCurrentIndex(2);
    EXPECT_EQ(panel.nameFieldStringValue(), "Holiday.3gp");
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
}

TEST(ExportProgressTest, TheSheetIsIndeterminateUntilSomethingIsWrittenAndCancelStopsThePoll) {
    test::ensureQtApp();
    struct CountingDelegate : ExportProgressWindowControllerDelegate {
        bool respondsToSelector(std::string_view s) const override {
            return s == "exportProgressWindowControllerDidCancel:";
        }
        void exportProgressWindowControllerDidCancel(ExportProgressWindowController*) override {
            ++cancels;
        }
        int cancels = 0;
    } delegate;
    ExportProgressWindowController controller;
    auto session = ExportSession::exportSessionWithAsset(std::make_shared<Composition>(),
                                                         ExportPresetName::HighestQuality);
    controller.setExportSession(std::shared_ptr<ExportSession>(std::move(session)));
    controller.setDelegate(&delegate);
    ASSERT_NE(controller.updateTimer(), nullptr);
    EXPECT_EQ(controller.updateTimer()->interval(), 100);
    test::spinEvents(150ms);
    EXPECT_TRUE(controller.isIndeterminate());
    EXPECT_EQ(controller.progressBar()->maximum(), 0);
    controller.setProgress(0.25f);
    EXPECT_FALSE(controller.isIndeterminate());
    EXPECT_GT(controller.progressBar()->maximum(), 0);

    controller.cancelButton()->click();
    EXPECT_EQ(delegate.cancels, 1);
    EXPECT_EQ(controller.updateTimer(), nullptr);
    controller.cancelButton()->click();
    EXPECT_EQ(delegate.cancels, 2);

    // Without a delegate that answers, cancel only stops the poll.
    ExportProgressWindowController lone;
    lone.cancelExport();
    EXPECT_EQ(lone.updateTimer(), nullptr);
}

class FullVideoExportTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::ensureQtApp();
        Player::setHeadless(true);
        setLogSink([this](const std::string& line) { log.push_back(line); });
        dialogs::setResponder({[this](const QString& message, const QString& informative) {
                                   alerts << message + "|" + informative;
                               },
                               {}});
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        folder = fs::path(LENTO_BINARY_DIR) / "test-output" / info->name();
        fs::remove_all(folder);
        fs::create_directories(folder);
        window = std::make_unique<MainWindow>();
        window->appDelegate()->applicationDidFinishLaunching();
        editor = window->fullVideoEditController();
    }
    void TearDown() override {
        window.reset();
        SavePanel::setResponder({});
        dialogs::setResponder({});
        setLogSink({});
        fs::remove_all(folder);
    }

    void load(const std::string& path) {
        editor->fileDropped(QUrl::fromLocalFile(QString::fromStdString(path)));
        ASSERT_TRUE(test::waitUntil([&] {
            return editor->m_VideoPlayer()->player()->status() == Player::Status::ReadyToPlay;
        }));
    }

    // Answers the save panel with `name` in the test's folder, choosing `format` (when given)
    // after typing the name.
    void answerSavePanel(int response, const QString& name, const QString& format = {}) {
        SavePanel::setResponder([=, this](SavePanel& panel) {
            proposed = panel.nameFieldStringValue();
            offered.clear();
            for (int i = 0; i < panel.formatChooser()->count(); ++i) {
                offered << panel.formatChooser()->itemText(i);
            }
            panel.setDirectory(QString::fromStdString(folder.string()));
            panel.setNameFieldStringValue(name);
            if (!format.isEmpty()) {
                panel.formatChooser()->setCurrentIndex(panel.formatChooser()->findText(format));
            }
            return response;
        });
    }

    // Runs the export and waits until it has ended; the status it ended with.
    ExportSession::Status exportAndWait() {
        QSignalSpy finished(editor->exportFlow(), &ExportFlow::exportFinished);
        editor->actionExport();
        EXPECT_TRUE(test::waitUntil([&] { return finished.count() > 0; }, 60s));
        return finished.isEmpty() ? ExportSession::Status::Unknown
                                  : finished.first().first().value<ExportSession::Status>();
    }

    std::string out(const std::string& name) const { return (folder / name).string(); }

    std::unique_ptr<MainWindow> window;
    FullVideoEditController* editor = nullptr;
    fs::path folder;
    std::vector<std::string> log;
    QStringList alerts;
    QString proposed;
    QStringList offered;
};

TEST_F(FullVideoExportTest, AWholeExportStretchesPictureAndSoundIntoTheChosenContainer) {
    load(fixture("clip.mp4"));
    editor->m_comboSpeed()->setCurrentIndex(2);
    answerSavePanel(dialogs::kResponseOK, "Holiday", "3gp");
    EXPECT_EQ(exportAndWait(), ExportSession::Status::Completed);
    EXPECT_EQ(proposed, "Untitled.mp4");
    EXPECT_EQ(offered, QStringList({"mp4", "mov", "3gp"}));
    EXPECT_TRUE(alerts.isEmpty());
    EXPECT_EQ(editor->exportSession(), nullptr);
    EXPECT_EQ(editor->exportProgressWindowController(), nullptr);

    const auto probe = test::probe(out("Holiday.3gp"));
    ASSERT_TRUE(probe.ok);
    EXPECT_EQ(probe.majorBrand.substr(0, 3), "3gp");
    ASSERT_NE(probe.video(), nullptr);
    ASSERT_NE(probe.audio(), nullptr);
    EXPECT_NEAR(probe.video()->durationSeconds, 30.0, 0.1);
    EXPECT_NEAR(probe.audio()->durationSeconds, 30.0, 0.1);
    // The log names the preset, the types and the destination.
    EXPECT_NE(std::find(log.begin(), log.end(), "HighestQuality\n"), log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), "(QuickTime movie, MPEG-4, 3GPP)\n"), log.end());
}

TEST_F(FullVideoExportTest, RemovedOrMissingSoundLeavesNoSoundStream) {
    load(fixture("clip.mp4"));
    editor->m_chkRemoveAudio()->click();
    answerSavePanel(dialogs::kResponseOK, "quiet.mov");
    ASSERT_EQ(exportAndWait(), ExportSession::Status::Completed);
    auto probe = test::probe(out("quiet.mov"));
    EXPECT_EQ(probe.majorBrand, "qt  ");
    EXPECT_EQ(probe.audio(), nullptr);

    load(fixture("silent.mov"));
    answerSavePanel(dialogs::kResponseOK, "silent.mp4");
    ASSERT_EQ(exportAndWait(), ExportSession::Status::Completed);
    probe = test::probe(out("silent.mp4"));
    EXPECT_EQ(probe.audio(), nullptr);
    EXPECT_NE(probe.majorBrand, "qt  ");
}

TEST_F(FullVideoExportTest, ACancelledSaveDialogWritesNothingAndLeavesThePlayerPaused) {
    load(fixture("clip.mp4"));
    editor->m_VideoControlBar()->m_btnPlay()->click();
    ASSERT_GT(editor->m_VideoPlayer()->player()->rate(), 0.0f);
    answerSavePanel(dialogs::kResponseCancel, "nothing.mp4");
    editor->actionExport();
    test::spinEvents(100ms);
    EXPECT_EQ(editor->m_VideoPlayer()->player()->rate(), 0.0f);
    // The bar is not told: its button stays on.
    EXPECT_TRUE(editor->m_VideoControlBar()->m_btnPlay()->isChecked());
    EXPECT_EQ(editor->exportSession(), nullptr);
    EXPECT_TRUE(fs::is_empty(folder));
}

TEST_F(FullVideoExportTest, CancelOnTheSheetEndsTheExportAndKeepsTheOlderFile) {
    load(fixture("clip.mp4"));
    editor->m_comboSpeed()->setCurrentIndex(9);
    { std::ofstream(out("keep.mp4")) << "older"; }
    answerSavePanel(dialogs::kResponseOK, "keep.mp4");
    QSignalSpy finished(editor->exportFlow(), &ExportFlow::exportFinished);
    editor->actionExport();
    ASSERT_TRUE(
        test::waitUntil([&] { return editor->exportProgressWindowController() != nullptr; }));
    ExportProgressWindowController* sheet = editor->exportProgressWindowController();
    EXPECT_TRUE(sheet->window()->isVisible());
    EXPECT_TRUE(sheet->isIndeterminate() || sheet->progress() > 0.0f);
    sheet->cancelButton()->click();
    EXPECT_EQ(sheet->updateTimer(), nullptr);
    ASSERT_TRUE(test::waitUntil([&] { return finished.count() > 0; }, 30s));
    EXPECT_EQ(finished.first().first().value<ExportSession::Status>(),
              ExportSession::Status::Cancelled);
    EXPECT_EQ(editor->exportProgressWindowController(), nullptr);
    EXPECT_TRUE(alerts.isEmpty());
    EXPECT_EQ(test::readFileBytes(out("keep.mp4")), "older");
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}

TEST_F(FullVideoExportTest, AFailedExportSaysSoAndExportingOverTheSourceWorks) {
    fs::copy_file(fixture("clip.mp4"), out("own.mp4"));
    load(out("own.mp4"));
    answerSavePanel(dialogs::kResponseOK, QString::fromStdString(out("missing/where.mp4")));
    EXPECT_EQ(exportAndWait(), ExportSession::Status::Failed);
    ASSERT_EQ(alerts.size(), 1);
    EXPECT_TRUE(alerts[0].startsWith("Export failed.|"));
    EXPECT_GT(alerts[0].size(), QString("Export failed.|").size());

    editor->m_comboSpeed()->setCurrentIndex(1);
    answerSavePanel(dialogs::kResponseOK, "own.mp4");
    EXPECT_EQ(exportAndWait(), ExportSession::Status::Completed);
    EXPECT_NEAR(test::probe(out("own.mp4")).durationSeconds, 20.0, 0.1);
}

TEST_F(FullVideoExportTest, ASoundOnlySourceExportsItsSoundStretched) {
    load(fixture("audio.m4a"));
    editor->m_comboSpeed()->setCurrentIndex(1);
    answerSavePanel(dialogs::kResponseOK, "sound.mp4");
    ASSERT_EQ(exportAndWait(), ExportSession::Status::Completed);
    const auto probe = test::probe(out("sound.mp4"));
    EXPECT_EQ(probe.video(), nullptr);
    ASSERT_NE(probe.audio(), nullptr);
    EXPECT_NEAR(probe.audio()->durationSeconds, 20.0, 0.1);
}

} // namespace
} // namespace lento
