#include "edit/TimeText.h"
#include "sections/SectionEditController.h"
#include "support/EditorTesting.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QTableView>
#include <QTest>
#include <QUndoStack>

#include <vector>

namespace lento {
namespace {

using test::fixture;

MediaTime at(double seconds) {
    return MediaTime::makeWithSeconds(seconds, 600);
}

MediaTime milliseconds(int64_t count) {
    return MediaTime::make(count, 1000);
}

class SectionRampTest : public ::testing::Test {
protected:
    void SetUp() override {
        editor->view()->resize(1000, 700);
        ASSERT_TRUE(test::dropAndWait(*editor, fixture("clip.mp4")));
    }
    // A section from `start` to `end` seconds, selected.
    void addSection(double start, double end) {
        editor->actionAddOneSection();
        editor->leftHandle(at(start));
        editor->rightHandle(at(end));
    }
    QComboBox* chooser(bool in) const {
        return in ? editor->m_comboRampIn() : editor->m_comboRampOut();
    }
    // Types into a ramp's chooser as the user does: the text, then Return.
    void type(bool in, const QString& text) {
        QLineEdit* field = chooser(in)->lineEdit();
        field->selectAll();
        QTest::keyClicks(field, text);
        QTest::keyClick(field, Qt::Key_Return);
    }
    // Picks a listed length from a ramp's chooser.
    void choose(bool in, const QString& item) {
        QComboBox* box = chooser(in);
        const int index = box->findText(item);
        ASSERT_GE(index, 0) << item.toStdString();
        box->setCurrentIndex(index);
        emit box->activated(index);
    }
    const SectionState& section() const { return editor->document()->section(0); }
    QString rampCell() const {
        return editor->tableModel()->index(0, SectionEditController::kColumnRamp).data().toString();
    }
    Player* player() const { return editor->m_VideoPlayer()->player(); }

    test::Capture capture;
    std::unique_ptr<SectionEditController> editor = std::make_unique<SectionEditController>();
    VideoControlBar* bar = editor->m_VideoControlBar();
};

// Each entry is checked by the rules: a refused one leaves the section, shows why and puts the
// chooser back; an accepted one is a step, shown in the chooser, the table and on the track.
TEST_F(SectionRampTest, EnteredRampsAreCheckedByTheRulesAndUndone) {
    addSection(1, 3);
    EXPECT_EQ(rampCell(), "None");
    EXPECT_EQ(chooser(true)->currentText(), "None");
    const QLabel* message = editor->m_lblRampError();
    struct Entry {
        bool in;
        const char* text;
        MediaTime rampIn;
        MediaTime rampOut;
        const char* cell;
        QString refusal; // empty: taken
    };
    const MediaTime none = MediaTime::zero();
    const std::vector<Entry> entries{
        {true, "0.5", milliseconds(500), none, "0.5 s / None", ""},
        {false, "1 s", milliseconds(500), milliseconds(1000), "0.5 s / 1 s", ""},
        {true, "1.2", milliseconds(500), milliseconds(1000), "0.5 s / 1 s",
         "The ramps together (2.2 s) are longer than the section (2 s)."},
        {false, "2.5", milliseconds(500), milliseconds(1000), "0.5 s / 1 s",
         "The ramp out (2.5 s) is longer than the section (2 s)."},
        {true, "fast", milliseconds(500), milliseconds(1000), "0.5 s / 1 s",
         "A ramp is a length in seconds, such as 0.5 s, or None."},
        {true, "999.6 ms", milliseconds(1000), milliseconds(1000), "1 s", ""},
    };
    int steps = editor->document()->undoStack()->count();
    for (const Entry& entry : entries) {
        SCOPED_TRACE(entry.text);
        // The usual lengths are chosen from the list, others typed.
        if (chooser(entry.in)->findText(QString::fromLatin1(entry.text)) >= 0) {
            choose(entry.in, QString::fromLatin1(entry.text));
        } else {
            type(entry.in, QString::fromLatin1(entry.text));
        }
        EXPECT_EQ(section().rampIn, entry.rampIn);
        EXPECT_EQ(section().rampOut, entry.rampOut);
        EXPECT_EQ(rampCell(), entry.cell);
        EXPECT_EQ(message->text(), entry.refusal);
        EXPECT_EQ(message->isVisibleTo(editor->view()), !entry.refusal.isEmpty());
        EXPECT_EQ(chooser(true)->currentText(), rampLengthText(entry.rampIn));
        EXPECT_EQ(chooser(false)->currentText(), rampLengthText(entry.rampOut));
        EXPECT_EQ(bar->m_videoTrack()->bands().at(0).rampIn, entry.rampIn);
        EXPECT_EQ(bar->m_videoTrack()->bands().at(0).rampOut, entry.rampOut);
        // One step per change taken, none for a refusal.
        steps += entry.refusal.isEmpty() ? 1 : 0;
        EXPECT_EQ(editor->document()->undoStack()->count(), steps);
    }

    QUndoStack* undo = editor->document()->undoStack();
    EXPECT_EQ(undo->undoText(), "Change Ramp");
    undo->undo();
    undo->undo();
    EXPECT_EQ(rampCell(), "0.5 s / None");
    EXPECT_EQ(chooser(false)->currentText(), "None");
    undo->redo();
    EXPECT_EQ(section().rampOut, milliseconds(1000));
    EXPECT_EQ(chooser(false)->currentText(), "1 s");

    // Without a selection the choosers are empty and take nothing.
    editor->deSelectSectionEditTable();
    EXPECT_FALSE(chooser(true)->isEnabled());
    EXPECT_EQ(chooser(true)->currentText(), "");
}

} // namespace
} // namespace lento
