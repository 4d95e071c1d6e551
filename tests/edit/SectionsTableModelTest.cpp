#include "edit/SectionsTableModel.h"
#include "edit/SectionRules.h"

#include <QBrush>
#include <QPersistentModelIndex>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <random>

namespace lento {
namespace {

SectionState section(const char* name, int64_t startMs, int64_t endMs,
                     SpeedFactor factor = SpeedFactor()) {
    return {name,
            MediaTime::make(startMs, 1000),
            MediaTime::make(endMs, 1000),
            factor,
            true,
            MotionMode::Hold};
}

QStringList rowTexts(const SectionsTableModel& model, int row) {
    QStringList texts;
    for (int column = 0; column < model.columnCount(); ++column) {
        texts << model.index(row, column).data().toString();
    }
    return texts;
}

bool red(const SectionsTableModel& model, int row, int column) {
    return model.index(row, column).data(Qt::ForegroundRole).value<QBrush>().color() == Qt::red;
}

TEST(SectionsTableModel, ShowsEachSectionsFieldsAndMarksCollidingBoundsRed) {
    EditDocument document;
    EditState edit;
    edit.sections = {section("Jump", 1300, 2300, *SpeedFactor::make(5, 2)),
                     section("Fall", 2000, 4000, SpeedFactor::whole(10))};
    edit.sections[1].audio = false;
    edit.sections[1].motion = MotionMode::Smooth;
    edit.sections[1].rampIn = MediaTime::make(1, 4);
    edit.sections[1].rampOut = MediaTime::make(500, 1000);
    document.reset(edit);
    SectionsTableModel model(&document);

    EXPECT_EQ(model.headerData(2, Qt::Horizontal).toString(), "Start");
    EXPECT_EQ(model.headerData(6, Qt::Horizontal, Qt::UserRole).toString(), "cellMotion");
    EXPECT_EQ(rowTexts(model, 0), QStringList({"1", "Jump", "00:00:01.300", "00:00:02.300",
                                               "2.5x Slower", "No", "Hold Frames", "None"}));
    EXPECT_EQ(rowTexts(model, 1),
              QStringList({"2", "Fall", "00:00:02.000", "00:00:04.000", "10x Slower", "Yes",
                           "Smooth Motion", "0.25 s / 0.5 s"}));
    // The second starts inside the first; the first's end lies inside the second.
    EXPECT_EQ((std::vector<bool>{red(model, 0, 2), red(model, 0, 3), red(model, 1, 2),
                                 red(model, 1, 3), red(model, 1, 1)}),
              (std::vector<bool>{false, true, true, false, false}));

    // Random edits, reversed and touching sections among them: the marks are the rules'.
    std::mt19937 random(7);
    for (int run = 0; run < 20; ++run) {
        EditState many;
        for (int i = 0; i < 12; ++i) {
            many.sections.push_back(
                section("", int64_t(random() % 8) * 1000, int64_t(random() % 8) * 1000));
        }
        document.reset(many);
        int count = 0;
        for (int row = 0; row < 12; ++row) {
            for (int column : {2, 3}) {
                SCOPED_TRACE(testing::Message() << run << ": " << row << ", " << column);
                const bool rule = checkOverSetup(model.sections(), row, column) != -1;
                EXPECT_EQ(red(model, row, column), rule);
                count += rule;
            }
        }
        EXPECT_EQ(model.collisionCount(), count);
        EXPECT_EQ(model.collisionReason(), sectionErrorReason(model.sections()));
    }
    document.reset(edit);

    // A change of one section redraws the marks of the others.
    document.setSectionBounds(1, MediaTime::make(3, 1), MediaTime::make(4, 1));
    EXPECT_FALSE(red(model, 0, 3));
    EXPECT_EQ(model.index(1, 2).data().toString(), "00:00:03.000");
}

// Rows come and go one by one as steps are done and undone, never by a reset, so that a view
// keeps its selection on the section it was on.
TEST(SectionsTableModel, FollowsStepsAndUndoRowByRow) {
    EditDocument document;
    SectionsTableModel model(&document);
    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
    document.addSection(0, section("a", 0, 1000));
    document.addSection(1, section("b", 2000, 3000));
    const QPersistentModelIndex b = model.index(1, 1);
    document.deleteSection(0);
    document.renameSection(0, "c");
    EXPECT_EQ(b.row(), 0);
    EXPECT_EQ(model.index(0, 0).data().toString(), "1");
    EXPECT_EQ(b.data().toString(), "c");
    document.undoStack()->undo();
    document.undoStack()->undo();
    EXPECT_EQ(b.row(), 1);
    EXPECT_EQ(b.data().toString(), "b");
    EXPECT_EQ(model.index(0, 1).data().toString(), "a");
    EXPECT_EQ(reset.count(), 0);
}

} // namespace
} // namespace lento
