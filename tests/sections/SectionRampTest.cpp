#include "edit/TimeText.h"
#include "sections/RampPlayback.h"
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

// Through ramps the rate eases, sent at every update, never jumping to the section's factor or to
// 1 on the way; in between it is sent once. An edit without ramps runs no updates.
TEST_F(SectionRampTest, PlaybackEasesThroughRampsWithTheRealPlayer) {
    addSection(1.0, 1.6);
    editor->m_comboSpeed()->setCurrentIndex(1); // two times slower
    type(true, "0.25");
    type(false, "0.25");
    struct Request {
        double position;
        float rate;
    };
    std::vector<Request> requests;
    QObject::connect(player(), &Player::rateRequested, [&](float rate) {
        requests.push_back({player()->currentTime().seconds(), rate});
    });
    bar->seekToFrame(at(0.95));
    bar->m_btnPlay()->click();
    ASSERT_TRUE(test::waitUntil([&] { return player()->currentTime() > at(1.65); }));
    EXPECT_TRUE(editor->rampPlayback()->isRunning());
    bar->m_btnPlay()->click();
    EXPECT_FALSE(editor->rampPlayback()->isRunning());

    // Ramp in: 1 to 1.25 s; one factor to 1.35 s; ramp out to 1.6 s. The updates' mean rates
    // lie strictly between the two factors, falling into the section and rising out of it.
    struct Stretch {
        const char* name;
        double from;
        double to;
        int direction; // -1 falling, 1 rising, 0 one factor
    };
    for (const Stretch& stretch :
         {Stretch{"ramp in", 1.0, 1.25, -1}, Stretch{"one factor", 1.265, 1.325, 0},
          Stretch{"ramp out", 1.35, 1.6, 1}}) {
        SCOPED_TRACE(stretch.name);
        std::vector<float> rates;
        for (const Request& request : requests) {
            if (request.position > stretch.from && request.position < stretch.to) {
                rates.push_back(request.rate);
            }
        }
        if (stretch.direction == 0) {
            EXPECT_LE(rates.size(), 1u);
            EXPECT_TRUE(rates.empty() || rates[0] == 0.5f);
            continue;
        }
        ASSERT_FALSE(rates.empty());
        for (size_t i = 0; i < rates.size(); ++i) {
            EXPECT_GT(rates[i], 0.5f) << i;
            EXPECT_LT(rates[i], 1.0f) << i;
            if (i > 0) {
                EXPECT_GE(stretch.direction * (rates[i] - rates[i - 1]), 0.0f) << i;
            }
        }
    }

    // Without ramps the section's factor is set as the playhead enters it, and nothing runs.
    editor->document()->undoStack()->undo();
    editor->document()->undoStack()->undo();
    ASSERT_FALSE(section().hasRamps());
    bar->seekToFrame(at(0.95));
    bar->m_btnPlay()->click();
    bool ran = false;
    ASSERT_TRUE(test::waitUntil([&] {
        ran = ran || editor->rampPlayback()->isRunning();
        return player()->currentTime() > at(1.1);
    }));
    bar->m_btnPlay()->click();
    EXPECT_FALSE(ran);
}

} // namespace
} // namespace lento
