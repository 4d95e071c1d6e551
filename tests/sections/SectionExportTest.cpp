#include "app/Dialogs.h"
#include "export/SavePanel.h"
#include "media/PlayerView.h"
#include "sections/SectionEditController.h"
#include "support/MediaProbe.h"
#include "support/QtApp.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QSignalSpy>
#include <QTableWidget>
#include <QToolButton>

#include <filesystem>

namespace lento {
namespace {

namespace fs = std::filesystem;
using test::fixture;
using namespace std::chrono_literals;

class SectionExportTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::ensureQtApp();
        Player::setHeadless(true);
        dialogs::setResponder(
            {[this](const QString& message, const QString&) { alerts << message; }, {}});
        folder = fs::path(LENTO_BINARY_DIR) / "test-output" /
                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(folder);
        fs::create_directories(folder);
        editor = std::make_unique<SectionEditController>();
        editor->fileDropped(QUrl::fromLocalFile(QString::fromStdString(fixture("clip.mov"))));
        ASSERT_TRUE(
            test::waitUntil([&] { return editor->m_VideoControlBar()->m_btnPlay()->isEnabled(); }));
        // One section from 2 s to 4 s, three times slower.
        editor->actionAddOneSection();
        editor->leftHandle(MediaTime::make(2, 1));
        editor->rightHandle(MediaTime::make(4, 1));
        editor->m_comboSpeed()->setCurrentIndex(2);
    }
    void TearDown() override {
        editor.reset();
        SavePanel::setResponder({});
        dialogs::setResponder({});
        fs::remove_all(folder);
    }

    // Exports through `action` into `name`, typed as "Part1" with `format` chosen; the status.
    ExportSession::Status exportAs(void (SectionEditController::*action)(), const QString& format) {
        SavePanel::setResponder([&](SavePanel& panel) {
            proposed = panel.nameFieldStringValue();
            panel.setDirectory(QString::fromStdString(folder.string()));
            panel.setNameFieldStringValue("Part1");
            panel.formatChooser()->setCurrentIndex(panel.formatChooser()->findText(format));
            return dialogs::kResponseOK;
        });
        QSignalSpy finished(editor->exportFlow(), &ExportFlow::exportFinished);
        (editor.get()->*action)();
        EXPECT_TRUE(test::waitUntil([&] { return finished.count() > 0; }, 60s));
        return finished.isEmpty() ? ExportSession::Status::Unknown
                                  : finished.first().first().value<ExportSession::Status>();
    }
    std::string out(const std::string& name) const { return (folder / name).string(); }

    std::unique_ptr<SectionEditController> editor;
    fs::path folder;
    QStringList alerts;
    QString proposed;
};

TEST_F(SectionExportTest, TheWholeCompositionSlowsEachSectionByItsOwnFactor) {
    ASSERT_EQ(exportAs(&SectionEditController::actionFullExport, "mp4"),
              ExportSession::Status::Completed);
    EXPECT_EQ(proposed, "Untitled.mov");
    const auto probe = test::probe(out("Part1.mp4"));
    ASSERT_NE(probe.audio(), nullptr);
    EXPECT_NEAR(probe.durationSeconds, 14.0, 0.1);
    EXPECT_NEAR(probe.audio()->durationSeconds, 14.0, 0.1);
    const auto frames = test::decodeVideoFrames(out("Part1.mp4"));
    ASSERT_EQ(frames.size(), 300u);
    EXPECT_NEAR(frames[60].time, 2.0, 0.01);
    EXPECT_NEAR(frames[120].time, 8.0, 0.01);
    EXPECT_NEAR(frames[299].time, 8.0 + 179.0 / 30.0, 0.01);
}

TEST_F(SectionExportTest, TheSelectedSectionAloneStartsWithItsFirstFrame) {
    ASSERT_EQ(exportAs(&SectionEditController::actionSectionExport, "mov"),
              ExportSession::Status::Completed);
    const auto frames = test::decodeVideoFrames(out("Part1.mov"));
    ASSERT_EQ(frames.size(), 60u);
    EXPECT_EQ(frames.front().index, 60);
    EXPECT_NEAR(test::probe(out("Part1.mov")).durationSeconds, 6.0, 0.1);
    EXPECT_NE(test::probe(out("Part1.mov")).audio(), nullptr);

    // Without its sound, no sound stream.
    editor->m_chkRemoveAudio()->click();
    ASSERT_EQ(exportAs(&SectionEditController::actionSectionExport, "3gp"),
              ExportSession::Status::Completed);
    EXPECT_EQ(test::probe(out("Part1.3gp")).audio(), nullptr);
    EXPECT_TRUE(alerts.isEmpty());
}

TEST_F(SectionExportTest, NoSelectionDoesNothingAndABackwardSectionIsRefused) {
    editor->m_VideoControlBar()->m_btnPlay()->click();
    editor->deSelectSectionEditTable();
    bool asked = false;
    SavePanel::setResponder([&](SavePanel&) {
        asked = true;
        return dialogs::kResponseOK;
    });
    editor->actionSectionExport();
    EXPECT_FALSE(asked);
    EXPECT_GT(editor->m_VideoPlayer()->player()->rate(), 0.0f);

    editor->m_tableViewOfSection()->selectRow(0);
    editor->leftHandle(MediaTime::make(5, 1)); // now starts after its end
    editor->actionSectionExport();
    EXPECT_TRUE(test::waitUntil([&] { return !alerts.isEmpty(); }));
    EXPECT_TRUE(asked);
    EXPECT_EQ(alerts, QStringList({"Export failed."}));
    EXPECT_EQ(editor->exportSession(), nullptr);
    EXPECT_TRUE(fs::is_empty(folder));
}

} // namespace
} // namespace lento
