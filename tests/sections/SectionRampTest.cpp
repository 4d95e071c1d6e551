#include "edit/TimeText.h"
#include "sections/RampPlayback.h"
#include "sections/SectionEditController.h"
#include "support/EditorTesting.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QUndoStack>

namespace lento {
namespace {

MediaTime ms(int64_t count) {
    return MediaTime::make(count, 1000);
}

class SectionRampTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(test::dropAndWait(*editor, test::fixture("clip.mp4"))); }
    // A section from `start` to `end` ms of the clip, selected.
    void addSection(int64_t start, int64_t end) {
        editor->actionAddOneSection();
        editor->leftHandle(ms(start));
        editor->rightHandle(ms(end));
    }
    QComboBox* chooser(bool in) const {
        return in ? editor->m_comboRampIn() : editor->m_comboRampOut();
    }
    // A listed length is picked from the list, any other typed and ended with Return.
    void enter(bool in, const QString& text) {
        QComboBox* box = chooser(in);
        if (const int item = box->findText(text); item >= 0) {
            box->setCurrentIndex(item);
            emit box->activated(item);
            return;
        }
        box->lineEdit()->selectAll();
        QTest::keyClicks(box->lineEdit(), text);
        QTest::keyClick(box->lineEdit(), Qt::Key_Return);
    }
    const SectionState& section() const { return editor->document()->section(0); }

    test::Capture capture;
    std::unique_ptr<SectionEditController> editor = std::make_unique<SectionEditController>();
    VideoControlBar* bar = editor->m_VideoControlBar();
    QUndoStack* undo = editor->document()->undoStack();
};

// An entry the rules refuse leaves the section, says why and puts the chooser back; one they take
// is a step, shown in the choosers, the table and on the track.
TEST_F(SectionRampTest, EnteredRampsAreCheckedByTheRulesAndUndone) {
    addSection(1000, 3000);
    struct Entry {
        bool in;
        const char* text;
        MediaTime rampIn, rampOut;
        const char* cell;
        const char* refusal;
    };
    for (const Entry& e : std::initializer_list<Entry>{
             {true, "0.5", ms(500), ms(0), "0.5 s / None", ""},
             {false, "1 s", ms(500), ms(1000), "0.5 s / 1 s", ""},
             {true, "1.2", ms(500), ms(1000), "0.5 s / 1 s",
              "The ramps together (2.2 s) are longer than the section (2 s)."},
             {false, "2.5", ms(500), ms(1000), "0.5 s / 1 s",
              "The ramp out (2.5 s) is longer than the section (2 s)."},
             {true, "fast", ms(500), ms(1000), "0.5 s / 1 s",
              "A ramp is a length in seconds, such as 0.5 s, or None."},
             {true, "999.6 ms", ms(1000), ms(1000), "1 s", ""}}) {
        SCOPED_TRACE(e.text);
        const int steps = undo->count();
        enter(e.in, QString::fromLatin1(e.text));
        EXPECT_EQ(undo->count(), steps + (*e.refusal == 0 ? 1 : 0));
        EXPECT_EQ(section().rampIn, e.rampIn);
        EXPECT_EQ(section().rampOut, e.rampOut);
        EXPECT_EQ(
            editor->tableModel()->index(0, SectionEditController::kColumnRamp).data().toString(),
            e.cell);
        EXPECT_EQ(editor->m_lblRampError()->text(), e.refusal);
        EXPECT_EQ(chooser(true)->currentText(), rampLengthText(e.rampIn));
        EXPECT_EQ(chooser(false)->currentText(), rampLengthText(e.rampOut));
        EXPECT_EQ(bar->m_videoTrack()->bands().at(0).rampOut, e.rampOut);
    }
    undo->undo();
    undo->undo();
    EXPECT_EQ(chooser(false)->currentText(), "None");
    undo->redo();
    EXPECT_EQ(chooser(false)->currentText(), "1 s");
}

// Through ramps the rate eases, never jumping to the section's factor or to 1 on the way, and is
// sent once where the factor holds; an edit without ramps runs no updates.
TEST_F(SectionRampTest, PlaybackEasesThroughRampsWithTheRealPlayer) {
    addSection(1000, 1600);
    editor->m_comboSpeed()->setCurrentIndex(1); // two times slower
    enter(true, "0.25");
    enter(false, "0.25");
    std::vector<std::pair<double, float>> requests; // the position and the rate
    Player* player = editor->m_VideoPlayer()->player();
    QObject::connect(player, &Player::rateRequested, [&](float rate) {
        requests.emplace_back(player->currentTime().seconds(), rate);
    });
    const auto playTo = [&](int64_t end) {
        bool ran = false;
        bar->seekToFrame(ms(950));
        bar->m_btnPlay()->click();
        EXPECT_TRUE(test::waitUntil([&] {
            ran = ran || editor->rampPlayback()->isRunning();
            return player->currentTime() > ms(end);
        }));
        bar->m_btnPlay()->click();
        EXPECT_FALSE(editor->rampPlayback()->isRunning());
        return ran;
    };
    EXPECT_TRUE(playTo(1650));
    // Ramp in to 1.25 s, one factor to 1.35 s, ramp out to 1.6 s: each update's mean rate lies
    // between the factors, falling into the section and rising out of it.
    for (const auto& [from, to, direction] :
         {std::tuple(1.0, 1.25, -1), std::tuple(1.265, 1.325, 0), std::tuple(1.35, 1.6, 1)}) {
        SCOPED_TRACE(from);
        std::vector<float> rates;
        for (const auto& [position, rate] : requests) {
            if (position > from && position < to) {
                rates.push_back(rate);
            }
        }
        EXPECT_TRUE(direction == 0 || !rates.empty());
        for (size_t i = 0; i < rates.size(); ++i) {
            EXPECT_TRUE(direction == 0 ? rates[i] == 0.5f && i == 0
                                       : rates[i] > 0.5f && rates[i] < 1.0f &&
                                             (i == 0 || direction * (rates[i] - rates[i - 1]) >= 0))
                << i << ": " << rates[i];
        }
    }
    undo->undo();
    undo->undo();
    EXPECT_FALSE(playTo(1100));
}

} // namespace
} // namespace lento
