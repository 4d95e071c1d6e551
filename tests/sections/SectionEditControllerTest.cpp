#include "sections/SectionEditController.h"
#include "controls/SpeedChooser.h"
#include "edit/SectionRules.h"
#include "edit/TimeText.h"
#include "support/EditorTesting.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTableView>
#include <QTest>
#include <QToolButton>

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QTimer>
#include <QUndoStack>

namespace lento {
namespace {

using test::fixture;

MediaTime at(double seconds) {
    return MediaTime::makeWithSeconds(seconds, 600);
}

class SectionEditControllerTest : public ::testing::Test {
protected:
    void SetUp() override { editor->view()->resize(1000, 700); }

    void load(const std::string& name) {
        ASSERT_TRUE(test::dropAndWait(*editor, fixture(name))) << name;
    }
    QString cell(int row, int column) const {
        return table->model()->index(row, column).data().toString();
    }
    // Adds a section and moves its bounds as the handles would.
    void addSection(double start, double end) {
        editor->actionAddOneSection();
        editor->leftHandle(at(start));
        editor->rightHandle(at(end));
    }
    Player* player() const { return editor->m_VideoPlayer()->player(); }
    // A drag on the track as the window system delivers it, at the height of the handles' feet.
    void drag(int x, std::initializer_list<int> toXs) {
        QWindow* window = editor->view()->windowHandle();
        const auto at = [&] { return bar->m_videoSeeker()->mapTo(editor->view(), QPoint(x, 2)); };
        QTest::mousePress(window, Qt::LeftButton, {}, at());
        for (int to : toXs) {
            x = to;
            QTest::mouseEvent(QTest::MouseMove, window, Qt::NoButton, {}, at());
        }
        QTest::mouseRelease(window, Qt::LeftButton, {}, at());
    }
    // Types into a bound field as the user does: the text, then Return.
    void type(QLineEdit* field, const QString& text) {
        field->selectAll();
        QTest::keyClicks(field, text);
        QTest::keyClick(field, Qt::Key_Return);
    }
    // The count, the export buttons and the reason beside them show what the rules say of the
    // list (the table's red cells are its model's); `blocked` is what the case expects of them.
    void expectTheRulesShown(bool blocked) {
        const SectionSpan list = editor->sectionObjects();
        EXPECT_EQ(editor->sectionErrors(), countSectionErrors(list));
        const QString reason = sectionErrorReason(list);
        EXPECT_EQ(!reason.isEmpty(), blocked);
        EXPECT_EQ(editor->m_lblExportBlocked()->text(), reason);
        EXPECT_EQ(editor->m_lblExportBlocked()->isVisibleTo(editor->view()), blocked);
        EXPECT_EQ(editor->m_btnFullExport()->isEnabled(), !blocked && !list.empty());
        EXPECT_EQ(editor->m_btnSectionExport()->isEnabled(),
                  !blocked && editor->selectedRow() != -1);
    }

    test::Capture capture;
    std::unique_ptr<SectionEditController> editor = std::make_unique<SectionEditController>();
    VideoControlBar* bar = editor->m_VideoControlBar();
    QTableView* table = editor->m_tableViewOfSection();
};

TEST_F(SectionEditControllerTest, AddedSectionsCoverTheVideoAndEditsGoToTheSelectedRow) {
    EXPECT_FALSE(editor->m_btnAddSection()->isEnabled());
    load("clip.mp4");
    editor->actionAddOneSection();
    EXPECT_EQ(
        QStringList({cell(0, 0), cell(0, 1), cell(0, 2), cell(0, 3), cell(0, 4), cell(0, 5)}),
        QStringList({"1", "0__Section", "00:00:00.000", "00:00:10.000", "Original Speed", "No"}));
    EXPECT_EQ(editor->m_txtSectionName()->text(), "0__Section");

    // Names follow the count.
    editor->leftHandle(at(0));
    editor->rightHandle(at(2));
    addSection(3, 4);
    addSection(5, 6);
    table->selectRow(1);
    editor->actionDelSeletedSection();
    ASSERT_EQ(table->model()->rowCount(), 2);
    EXPECT_EQ(cell(0, 1), "0__Section");
    EXPECT_EQ(cell(1, 1), "2__Section");
    // The row still selected now shows the section that moved up.
    EXPECT_EQ(editor->m_txtSectionName()->text(), "2__Section");
    editor->actionAddOneSection();
    EXPECT_EQ(cell(2, 1), "2__Section");

    table->selectRow(0);
    editor->m_comboSpeed()->setCurrentIndex(3);
    EXPECT_EQ(cell(0, 4), "4x Slower");
    table->selectRow(1);
    EXPECT_FLOAT_EQ(bar->curRate(), 1.0f);
    table->selectRow(0);
    EXPECT_EQ(editor->m_comboSpeed()->currentIndex(), 3);
    EXPECT_FLOAT_EQ(bar->curRate(), 0.25f);

    EXPECT_EQ(cell(0, 6), "Hold Frames");
    editor->m_comboMotion()->setCurrentIndex(2);
    EXPECT_EQ(cell(0, 6), "Smooth Motion");
    table->selectRow(1);
    EXPECT_EQ(editor->m_comboMotion()->currentText(), "Hold Frames");
    table->selectRow(0);
    EXPECT_EQ(editor->m_comboMotion()->currentText(), "Smooth Motion");

    // With nothing selected, edits address no row.
    editor->deSelectSectionEditTable();
    EXPECT_FALSE(editor->m_comboSpeed()->isEnabled());
    editor->leftHandle(at(9));
    editor->comboBoxSelectionDidChange(editor->m_comboSpeed());
    EXPECT_EQ(cell(0, 2), "00:00:00.000");
    EXPECT_EQ(cell(0, 4), "4x Slower");

    // Deleting the last row leaves none selected: the panel shows no section, there is no
    // section to export.
    table->selectRow(2);
    editor->actionDelSeletedSection();
    EXPECT_EQ(editor->selectedRow(), -1);
    EXPECT_EQ(QStringList({editor->m_txtSectionName()->text(), editor->m_txtStartFrame()->text(),
                           editor->m_txtEndFrame()->text()}),
              QStringList({"", "", ""}));
    EXPECT_FALSE(editor->m_btnSectionExport()->isEnabled());
    EXPECT_TRUE(editor->m_btnFullExport()->isEnabled());
}

TEST_F(SectionEditControllerTest, CollisionsAndReversedSectionsTurnRedSayWhyAndBlockTheExports) {
    editor->view()->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(editor->view()));
    load("clip.mp4");
    editor->actionAddOneSection();
    editor->actionAddOneSection(); // identical to the first
    expectTheRulesShown(true);
    const auto bandsShown = [&] {
        std::vector<std::pair<bool, bool>> shown; // selected, red
        for (const TrackBand& band : bar->m_videoTrack()->bands()) {
            shown.emplace_back(band.selected, band.collides);
        }
        return shown;
    };
    EXPECT_EQ(bandsShown(), (std::vector<std::pair<bool, bool>>{{false, true}, {true, true}}));
    // In the selected row the red bounds take a red highlight, not the selection's blue.
    const QRect bound = table->visualRect(table->model()->index(1, 2));
    const QImage shown = table->viewport()->grab().toImage();
    EXPECT_EQ(shown.pixelColor(bound.right() - 1, bound.center().y()), QColor(176, 0, 0));

    // Moved clear of each other, nothing is red and both exports are open.
    editor->leftHandle(at(5));
    table->selectRow(0);
    editor->rightHandle(at(5));
    expectTheRulesShown(false);
    EXPECT_EQ(bandsShown(), (std::vector<std::pair<bool, bool>>{{true, false}, {false, false}}));

    // A start moved past the end (the handles' report takes any time) turns red and blocks like
    // a collision.
    editor->leftHandle(at(7));
    expectTheRulesShown(true);
    EXPECT_EQ(editor->m_lblExportBlocked()->text(), "Section 1 ends before it starts.");

    // The fields and the sliders keep a section one frame long at least.
    const auto first = [&] { return editor->document()->section(0); };
    type(editor->m_txtStartFrame(), "6");
    EXPECT_EQ(first().start, at(5) - MediaTime::make(1, 30));
    EXPECT_EQ(editor->m_txtStartFrame()->text(), "00:00:04.967");
    EXPECT_EQ(cell(0, 2), "00:00:04.967");
    expectTheRulesShown(false);
    editor->m_sliderEndFrame()->triggerAction(QAbstractSlider::SliderToMinimum);
    EXPECT_EQ(first().end, at(5));

    // A new video empties the table and the count.
    load("clip.wmv");
    EXPECT_EQ(table->model()->rowCount(), 0);
    expectTheRulesShown(false);
    EXPECT_TRUE(capture.alerts.isEmpty());
    editor->fileDropped(test::fileUrl(fixture("clip.avi")));
    EXPECT_EQ(capture.alerts.size(), 1);
}

TEST_F(SectionEditControllerTest, PlaybackFollowsTheSectionUnderThePlayhead) {
    load("clip.mp4");
    addSection(2, 4);
    bar->m_btnPlay()->click();
    ASSERT_GT(player()->volume(), 0.0f);
    // The sound switch and the speed chooser take effect at once.
    editor->m_chkRemoveAudio()->click();
    EXPECT_EQ(player()->volume(), 0.0f);
    EXPECT_EQ(cell(0, 5), "Yes");
    editor->m_comboSpeed()->setCurrentIndex(1);
    EXPECT_FLOAT_EQ(player()->rate(), 0.5f);
    addSection(5, 8);
    // The rates the player asks mpv for.
    std::vector<float> speeds;
    QObject::connect(player(), &Player::rateRequested,
                     [&speeds](float rate) { speeds.push_back(rate); });
    auto tickAt = [&](double seconds) {
        player()->seek(at(seconds));
        editor->monitorVideo();
    };
    tickAt(2.5); // inside the first, the second selected: slowed twice, muted
    EXPECT_FLOAT_EQ(player()->rate(), 0.5f);
    EXPECT_EQ(player()->volume(), 0.0f);
    EXPECT_EQ(editor->curSectionIndex(), 0);
    tickAt(4.5); // between them: normal speed, the sound back
    EXPECT_FLOAT_EQ(player()->rate(), 1.0f);
    EXPECT_GT(player()->volume(), 0.0f);
    EXPECT_EQ(editor->curSectionIndex(), -1);

    // Entering a section sets its rate once; staying in it sends nothing, also where a float
    // cannot hold 1 / factor (what plays is told in exact factors: SectionRulesTest).
    editor->m_comboSpeed()->setCurrentIndex(2);
    tickAt(4.5);
    speeds.clear();
    tickAt(6.0);
    ASSERT_FALSE(speeds.empty());
    EXPECT_FLOAT_EQ(speeds.back(), 1.0f / 3.0f);
    speeds.clear();
    tickAt(6.5);
    tickAt(7.0);
    EXPECT_EQ(speeds, std::vector<float>{});
    EXPECT_FLOAT_EQ(player()->rate(), 1.0f / 3.0f);

    // A click on the background clears the selection: the handles stay, the sections no longer
    // apply.
    const int left = bar->m_leftHandle()->x();
    QTest::mouseClick(editor->m_MouseClickView(), Qt::LeftButton, {}, QPoint(2, 2));
    EXPECT_EQ(editor->selectedRow(), -1);
    EXPECT_EQ(bar->m_leftHandle()->x(), left);
    tickAt(2.5);
    EXPECT_FLOAT_EQ(player()->rate(), 1.0f);
    EXPECT_GT(player()->volume(), 0.0f);
}

// Every edit of the tab is a step of the document; undoing and redoing them all brings the table,
// the panel and the document back together, step by step.
TEST_F(SectionEditControllerTest, EditsAreStepsThatTheTableAndPanelFollowThroughUndoAndRedo) {
    editor->view()->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(editor->view()));
    load("clip.mp4");
    const EditDocument& document = *editor->document();
    QUndoStack& steps = *editor->document()->undoStack();
    const auto expectTheDocumentShown = [&] {
        ASSERT_EQ(table->model()->rowCount(), document.sectionCount());
        for (int row = 0; row < document.sectionCount(); ++row) {
            SCOPED_TRACE(row);
            const SectionState& section = document.section(row);
            EXPECT_EQ(QStringList({cell(row, 1), cell(row, 2), cell(row, 3), cell(row, 4)}),
                      QStringList({section.name, timeTextWithMilliseconds(section.start),
                                   timeTextWithMilliseconds(section.end),
                                   speedFactorText(section.factor)}));
        }
        const int64_t row = editor->selectedRow();
        if (row < 0) {
            EXPECT_FALSE(editor->m_comboSpeed()->isEnabled());
            return;
        }
        const SectionState& selected = document.section(static_cast<int>(row));
        EXPECT_EQ(editor->m_txtSectionName()->text(), selected.name);
        EXPECT_EQ(editor->m_txtStartFrame()->text(), timeTextWithMilliseconds(selected.start));
        EXPECT_EQ(editor->m_comboSpeed()->currentText(), speedFactorText(selected.factor));
        EXPECT_FLOAT_EQ(bar->curRate(), static_cast<float>(selected.factor.playbackRate()));
    };

    editor->actionAddOneSection();
    editor->actionAddOneSection();
    EXPECT_EQ(steps.undoText(), "Add Section");
    // A whole drag of the handle, however many moves, is one step.
    const int drags = steps.count();
    // At the handle's foot, above the playhead, which sits at the section's start too.
    const int grab = bar->m_leftHandle()->x() + 6;
    drag(grab, {grab + 40, grab + 90, grab + 120});
    EXPECT_EQ(steps.count(), drags + 1);
    EXPECT_EQ(steps.undoText(), "Move Section Bounds");
    EXPECT_GT(document.section(1).start, MediaTime::make(1, 1));
    expectTheDocumentShown();

    // "Custom…" asks for the factor: only 1 to 10 with two decimals at most is taken, and while
    // OK is greyed out the line under the field says why.
    QStringList refused;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        auto* field = dialog->findChild<QLineEdit*>(kCustomSpeedFieldName);
        auto* rule = dialog->findChild<QLabel*>(kCustomSpeedRuleName);
        QPushButton* ok = dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
        for (const char* text : {"0.5", "10.5", "11", "10.01", "", "2.555"}) {
            field->clear();
            QTest::keyClicks(field, text);
            if (ok->isEnabled()) {
                refused << field->text();
            }
            EXPECT_EQ(rule->isVisibleTo(dialog), !ok->isEnabled()) << text;
        }
        field->clear();
        QTest::keyClicks(field, "2.5");
        EXPECT_FALSE(rule->isVisibleTo(dialog));
        ok->click();
    });
    editor->m_comboSpeed()->setCurrentIndex(editor->m_comboSpeed()->count() - 1);
    EXPECT_EQ(refused, QStringList({"2.55"})); // the third decimal is not typed
    EXPECT_EQ(document.section(1).factor, *SpeedFactor::make(5, 2));
    EXPECT_EQ(cell(1, 4), "2.5x Slower");
    expectTheDocumentShown();

    editor->m_chkRemoveAudio()->click();
    editor->m_txtSectionName()->setText("Jump");
    editor->controlTextDidEndEditing(editor->m_txtSectionName());
    table->selectRow(0);
    editor->actionDelSeletedSection();
    const EditState end = document.state();
    ASSERT_EQ(steps.count(), drags + 5);

    while (steps.canUndo()) {
        SCOPED_TRACE(steps.undoText().toStdString());
        steps.undo();
        expectTheDocumentShown();
    }
    EXPECT_EQ(document.sectionCount(), 0);
    while (steps.canRedo()) {
        SCOPED_TRACE(steps.redoText().toStdString());
        steps.redo();
        expectTheDocumentShown();
    }
    EXPECT_EQ(document.state(), end);
}

// The handles show only while a section is selected, always on its bounds; a click on the track
// goes where it was made, and selects the band there.
TEST_F(SectionEditControllerTest, TheHandlesAreTheSelectedSectionsBoundsAndNoneWithoutOne) {
    editor->view()->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(editor->view()));
    load("clip.mp4");
    QWidget* seeker = bar->m_videoSeeker();
    QWindow* window = editor->view()->windowHandle();
    const QWidget* track = bar->m_videoTrack();
    const auto xOf = [&](double seconds) {
        return track->x() + int(std::lround(seconds / 10.0 * track->width()));
    };
    // Where both handles point, or (-1, -1) while both are hidden.
    const auto handles = [&] {
        const bool shown = bar->m_leftHandle()->isVisible();
        EXPECT_EQ(bar->m_rightHandle()->isVisible(), shown);
        return shown ? std::pair(bar->m_leftHandle()->x() + 6, bar->m_rightHandle()->x() + 6)
                     : std::pair(-1, -1);
    };
    const auto on = [&](double start, double end) { return std::pair(xOf(start), xOf(end)); };
    const std::pair none(-1, -1);
    EXPECT_EQ(handles(), none);
    addSection(2, 4);
    addSection(6, 8);
    EXPECT_EQ(handles(), on(6, 8));

    // A click on the first band selects it and leaves the player at the clicked frame.
    QTest::mouseClick(window, Qt::LeftButton, {},
                      seeker->mapTo(editor->view(), QPoint(xOf(3.0) + 1, 30)));
    EXPECT_EQ(editor->selectedRow(), 0);
    EXPECT_EQ(handles(), on(2, 4));
    const MediaTime clicked = player()->currentTime();
    EXPECT_EQ(clicked.value * 30 % clicked.timescale, 0) << clicked.seconds(); // on a frame
    EXPECT_NEAR(clicked.seconds(), 3.0, 0.1);

    // A click on the video deselects the row: the handles go.
    const QWidget* video = editor->m_VideoPlayer();
    QTest::mouseClick(window, Qt::LeftButton, {},
                      video->mapTo(editor->view(), video->rect().center()));
    EXPECT_EQ(editor->selectedRow(), -1);
    EXPECT_EQ(handles(), none);

    // A bound moved and undone with nothing selected: shown where the table has it.
    table->selectRow(1);
    drag(xOf(6), {xOf(7)});
    EXPECT_EQ(cell(1, 2), "00:00:07.000");
    editor->deSelectSectionEditTable();
    editor->document()->undoStack()->undo();
    EXPECT_EQ(cell(1, 2), "00:00:06.000");
    EXPECT_EQ(handles(), none);
    table->selectRow(1);
    EXPECT_EQ(handles(), on(6, 8));

    // Where a handle was, with nothing selected, a drag only moves the playhead.
    editor->deSelectSectionEditTable();
    const EditState before = editor->document()->state();
    drag(xOf(6), {xOf(5)});
    EXPECT_EQ(editor->document()->state(), before);
    EXPECT_EQ(handles(), none);
    EXPECT_TRUE(
        test::waitUntil([&] { return std::abs(player()->currentTime().seconds() - 5.0) < 0.05; }));

    // Another video comes without sections, and without handles.
    table->selectRow(0);
    load("clip.mov");
    EXPECT_EQ(table->model()->rowCount(), 0);
    EXPECT_EQ(handles(), none);
}

} // namespace
} // namespace lento
