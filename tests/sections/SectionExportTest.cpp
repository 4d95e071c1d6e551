#include "export/SavePanel.h"
#include "sections/SectionEditController.h"
#include "support/EditorTesting.h"
#include "support/ExportTesting.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QTableView>
#include <QToolButton>

namespace lento {
namespace {

using test::fixture;

class SectionExportTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(test::dropAndWait(*editor, fixture("clip.mov")));
        // One section from 2 s to 4 s, three times slower.
        editor->actionAddOneSection();
        editor->leftHandle(MediaTime::make(2, 1));
        editor->rightHandle(MediaTime::make(4, 1));
        editor->m_comboSpeed()->setCurrentIndex(2);
    }

    // Exports through `action` as "Part1" with `format` chosen; the status.
    ExportSession::Status exportAs(void (SectionEditController::*action)(), const QString& format) {
        return test::answerAndExport(
            *editor->exportFlow(), [&] { (editor.get()->*action)(); }, folder.path(), "Part1",
            format, &offer);
    }

    test::Capture capture;
    test::TestFolder folder;
    std::unique_ptr<SectionEditController> editor = std::make_unique<SectionEditController>();
    test::SavePanelOffer offer;
};

// Every section at its own factor, also a fractional one, the rest at the original speed; the
// edit as it was when asked: a later change does not reach the export.
TEST_F(SectionExportTest, TheWholeEditSlowsEachSectionByItsOwnFactor) {
    const test::RecordedExports recorded;
    editor->document()->setSectionFactor(0, *SpeedFactor::parse("2.25"));
    ASSERT_EQ(test::answerAndExport(
                  *editor->exportFlow(),
                  [&] {
                      editor->actionFullExport();
                      editor->document()->setSectionFactor(0, SpeedFactor::whole(9));
                  },
                  folder.path(), "Part1", "mp4", &offer),
              ExportSession::Status::Completed);
    EXPECT_EQ(offer.name, "clip slow.mov");
    EXPECT_EQ(capture.questions, QStringList{exportedMovieMessage("Part1.mp4")});
    ASSERT_EQ(recorded.orders().size(), 1u);
    EXPECT_EQ(recorded.orders().back().destination, folder / "Part1.mp4");
    EXPECT_EQ(recorded.track(MediaType::Video), "0-2<0 2-6.5<2 6.5-12.5<4 ");
    EXPECT_EQ(recorded.track(MediaType::Audio), "0-2<0 2-6.5<2 6.5-12.5<4 ");
}

// The section alone, from its first frame, into the chosen file.
TEST_F(SectionExportTest, TheSelectedSectionAloneIsExportedAsItIsWhenAsked) {
    const test::RecordedExports recorded;
    editor->document()->renameSection(0, "Jump/Run");
    ASSERT_EQ(exportAs(&SectionEditController::actionSectionExport, "mov"),
              ExportSession::Status::Completed);
    EXPECT_EQ(offer.name, "clip Jump-Run slow.mov");
    ASSERT_EQ(recorded.orders().size(), 1u);
    EXPECT_EQ(recorded.orders().back().destination, folder / "Part1.mov");
    EXPECT_EQ(recorded.track(MediaType::Video), "0-6<2 ");
    EXPECT_EQ(recorded.track(MediaType::Audio), "0-6<2 ");
    EXPECT_TRUE(capture.alerts.isEmpty());
    EXPECT_EQ(folder.fileCount(), 0);
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
    EXPECT_TRUE(test::waitUntil([&] { return !capture.alerts.isEmpty(); }));
    EXPECT_TRUE(asked);
    EXPECT_EQ(capture.alerts, QStringList({"Export failed."}));
    EXPECT_EQ(editor->exportSession(), nullptr);
    EXPECT_EQ(folder.fileCount(), 0);
}

} // namespace
} // namespace lento
