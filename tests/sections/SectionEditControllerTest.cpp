#include "sections/SectionEditController.h"
#include "support/EditorTesting.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QToolButton>

namespace lento {
namespace {

using test::fixture;
using namespace std::chrono_literals;

MediaTime at(double seconds) {
    return MediaTime::makeWithSeconds(seconds, 600);
}

class SectionEditControllerTest : public ::testing::Test {
protected:
    void SetUp() override { editor->view()->resize(1000, 700); }

    void load(const std::string& name) {
        ASSERT_TRUE(test::dropAndWait(*editor, fixture(name))) << name;
    }
    QString cell(int row, int column) const { return table->item(row, column)->text(); }
    bool red(int row, int column) const {
        return table->item(row, column)->foreground().color() == Qt::red;
    }
    // Adds a section and moves its bounds as the handles would.
    void addSection(double start, double end) {
        editor->actionAddOneSection();
        editor->leftHandle(at(start));
        editor->rightHandle(at(end));
    }
    Player* player() const { return editor->m_VideoPlayer()->player(); }

    test::Capture capture;
    std::unique_ptr<SectionEditController> editor = std::make_unique<SectionEditController>();
    VideoControlBar* bar = editor->m_VideoControlBar();
    QTableWidget* table = editor->m_tableViewOfSection();
};

TEST_F(SectionEditControllerTest, TheTableHasItsColumnsAndAnAddedSectionCoversTheVideo) {
    QStringList identifiers;
    for (int column = 0; column < table->columnCount(); ++column) {
        identifiers << table->horizontalHeaderItem(column)->data(Qt::UserRole).toString();
    }
    EXPECT_EQ(identifiers, QStringList({"cellNumber", "cellSectionName", "cellStartFrame",
                                        "cellEndFrame", "cellSpeed", "cellRemoveAudio"}));
    EXPECT_FALSE(editor->m_btnAddSection()->isEnabled());
    load("clip.mp4");
    EXPECT_TRUE(editor->m_btnAddSection()->isEnabled());
    editor->actionAddOneSection();
    ASSERT_EQ(table->rowCount(), 1);
    EXPECT_EQ(QStringList({cell(0, 0), cell(0, 1), cell(0, 2), cell(0, 3), cell(0, 4), cell(0, 5)}),
              QStringList({"1", "0__Section", "00:00:00", "00:00:10", "Original Speed", "No"}));
    EXPECT_EQ(editor->selectedRow(), 0);
    EXPECT_TRUE(editor->m_txtSectionName()->isEnabled());
    EXPECT_EQ(editor->m_txtSectionName()->text(), "0__Section");
    // The handles cover the whole track; the playhead is at the start.
    EXPECT_EQ(bar->m_leftHandle()->x(), 0);
    EXPECT_EQ(bar->m_trackSeeker()->x(), 0);
    EXPECT_EQ(bar->m_rightHandle()->x(),
              bar->m_videoTrack()->x() + bar->m_videoTrack()->width() - 6);
    EXPECT_TRUE(editor->m_btnFullExport()->isEnabled());
}

TEST_F(SectionEditControllerTest, NamesFollowTheCountAndEditsGoToTheSelectedRow) {
    load("clip.mp4");
    addSection(0, 2);
    addSection(3, 4);
    addSection(5, 6);
    table->selectRow(1);
    editor->actionDelSeletedSection();
    ASSERT_EQ(table->rowCount(), 2);
    EXPECT_EQ(cell(0, 1), "0__Section");
    EXPECT_EQ(cell(1, 1), "2__Section");
    // The row still selected now shows the section that moved up.
    EXPECT_EQ(editor->m_txtSectionName()->text(), "2__Section");
    editor->actionAddOneSection();
    EXPECT_EQ(cell(2, 1), "2__Section");

    table->selectRow(0);
    editor->m_txtSectionName()->setText("Jump");
    editor->controlTextDidEndEditing(editor->m_txtSectionName());
    EXPECT_EQ(cell(0, 1), "Jump");
    EXPECT_EQ(cell(1, 1), "2__Section");

    editor->m_comboSpeed()->setCurrentIndex(3);
    EXPECT_EQ(cell(0, 4), "4x Slower");
    table->selectRow(1);
    EXPECT_FLOAT_EQ(bar->curRate(), 1.0f);
    table->selectRow(0);
    EXPECT_EQ(editor->m_comboSpeed()->currentIndex(), 3);
    EXPECT_FLOAT_EQ(bar->curRate(), 0.25f);

    // With nothing selected, edits address no row.
    editor->deSelectSectionEditTable();
    EXPECT_FALSE(editor->m_comboSpeed()->isEnabled());
    editor->leftHandle(at(9));
    editor->comboBoxSelectionDidChange(editor->m_comboSpeed());
    EXPECT_EQ(cell(0, 2), "00:00:00");
    EXPECT_EQ(cell(0, 4), "4x Slower");
}

TEST_F(SectionEditControllerTest, SoundSwitchAndBackgroundClick) {
    load("clip.mp4");
    addSection(2, 4);
    bar->m_btnPlay()->click();
    ASSERT_GT(player()->volume(), 0.0f);
    editor->m_chkRemoveAudio()->click();
    EXPECT_EQ(player()->volume(), 0.0f);
    EXPECT_EQ(cell(0, 5), "Yes");
    editor->m_comboSpeed()->setCurrentIndex(1);
    EXPECT_FLOAT_EQ(player()->rate(), 0.5f);

    // A click on the background clears the selection: rate 1, sound on, handles stay.
    const int left = bar->m_leftHandle()->x();
    QTest::mouseClick(editor->m_MouseClickView(), Qt::LeftButton, {}, QPoint(2, 2));
    EXPECT_EQ(editor->selectedRow(), -1);
    EXPECT_FALSE(editor->m_txtSectionName()->isEnabled());
    EXPECT_FLOAT_EQ(player()->rate(), 1.0f);
    EXPECT_GT(player()->volume(), 0.0f);
    EXPECT_EQ(bar->m_leftHandle()->x(), left);
}

TEST_F(SectionEditControllerTest, CollisionsTurnRedAndBlockTheExports) {
    load("clip.mp4");
    editor->actionAddOneSection();
    editor->actionAddOneSection(); // identical to the first
    EXPECT_EQ(editor->sectionErrors(), 4);
    EXPECT_TRUE(red(0, 2) && red(0, 3) && red(1, 2) && red(1, 3));
    EXPECT_FALSE(editor->m_btnFullExport()->isEnabled());
    EXPECT_FALSE(editor->m_btnSectionExport()->isEnabled());

    // Move the second clear of the first, then the first away from the second.
    editor->leftHandle(at(5)); // both still end at 10, and 5 lies inside the first
    EXPECT_EQ(editor->sectionErrors(), 3);
    table->selectRow(0);
    editor->rightHandle(at(5));
    EXPECT_EQ(editor->sectionErrors(), 0);
    EXPECT_FALSE(red(0, 3) || red(1, 2));
    EXPECT_TRUE(editor->m_btnFullExport()->isEnabled());
    EXPECT_TRUE(editor->m_btnSectionExport()->isEnabled());

    // The start field sets the bound as a handle would, clamped to the video.
    editor->m_txtStartFrame()->setText("00:00:04.5");
    editor->controlTextDidEndEditing(editor->m_txtStartFrame());
    EXPECT_EQ(editor->sectionObjects()[0]->startFrame().seconds(), 4.5);
    EXPECT_EQ(editor->sectionErrors(), 0);
    editor->m_txtEndFrame()->setText("99");
    editor->controlTextDidEndEditing(editor->m_txtEndFrame());
    EXPECT_EQ(editor->sectionObjects()[0]->endFrame(), editor->videoTotalDuration());
    EXPECT_EQ(editor->sectionErrors(), 3);

    // A new video empties the table and the count.
    load("clip.wmv");
    EXPECT_EQ(table->rowCount(), 0);
    EXPECT_EQ(editor->sectionErrors(), 0);
    EXPECT_TRUE(capture.alerts.isEmpty());
    editor->fileDropped(test::fileUrl(fixture("clip.avi")));
    EXPECT_EQ(capture.alerts.size(), 1);
}

TEST_F(SectionEditControllerTest, PlaybackFollowsTheSectionUnderThePlayhead) {
    load("clip.mp4");
    addSection(2, 4);
    editor->m_comboSpeed()->setCurrentIndex(1);
    editor->m_chkRemoveAudio()->click();
    addSection(3, 6); // overlaps the first; created later
    editor->m_comboSpeed()->setCurrentIndex(2);
    table->selectRow(1);
    bar->m_btnPlay()->click();
    auto tickAt = [&](double seconds) {
        player()->seek(at(seconds));
        editor->monitorVideo();
    };
    tickAt(1.0);
    EXPECT_FLOAT_EQ(player()->rate(), 1.0f);
    EXPECT_GT(player()->volume(), 0.0f);
    tickAt(2.5); // inside the first: slowed twice, muted
    EXPECT_FLOAT_EQ(player()->rate(), 0.5f);
    EXPECT_EQ(player()->volume(), 0.0f);
    EXPECT_EQ(editor->curSectionIndex(), 0);
    tickAt(3.5); // the overlap: the earlier section rules
    EXPECT_FLOAT_EQ(player()->rate(), 0.5f);
    tickAt(5.0); // the second alone: its sound comes back at once
    EXPECT_FLOAT_EQ(player()->rate(), 1.0f / 3.0f);
    EXPECT_GT(player()->volume(), 0.0f);
    tickAt(6.0); // its end counts as outside
    EXPECT_FLOAT_EQ(player()->rate(), 1.0f);
    EXPECT_EQ(editor->curSectionIndex(), -1);

    // With no row selected the sections have no effect.
    editor->deSelectSectionEditTable();
    bar->m_btnPlay()->click();
    bar->m_btnPlay()->click();
    tickAt(2.5);
    EXPECT_FLOAT_EQ(player()->rate(), 1.0f);
    EXPECT_GT(player()->volume(), 0.0f);
}

} // namespace
} // namespace lento
