#include "edit/EditDocument.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <random>

namespace lento {
namespace {

SectionState sectionAt(int64_t startMs, int64_t endMs, const char* name) {
    SectionState section;
    section.name = name;
    section.start = MediaTime::make(startMs, 1000);
    section.end = MediaTime::make(endMs, 1000);
    return section;
}

// Long random runs of every kind of step: undoing them all gives back the start field by field,
// redoing them all the end.
TEST(EditDocument, RandomStepsUndoToTheStartAndRedoToTheEnd) {
    for (unsigned seed : {1u, 2u, 3u, 4u}) {
        SCOPED_TRACE(seed);
        std::mt19937 random(seed);
        EditDocument document;
        EditState start;
        start.source.path = "/videos/a.mp4";
        start.source.duration = MediaTime::make(10, 1);
        start.sections = {sectionAt(0, 1000, "a"), sectionAt(2000, 3000, "b")};
        document.reset(start);
        auto pick = [&](int n) { return int(random() % unsigned(n)); };
        for (int step = 0; step < 400; ++step) {
            const int count = document.sectionCount();
            const int index = count > 0 ? pick(count) : 0;
            switch (pick(count > 0 ? 9 : 2)) {
            case 0:
                document.addSection(pick(count + 1), sectionAt(pick(9000), 9500, "new"));
                break;
            case 1:
                document.setFullVideo(
                    {*SpeedFactor::make(pick(900) + 100, 100), pick(2) == 0, MotionMode(pick(3))});
                break;
            case 2:
                document.deleteSection(index);
                break;
            case 3:
                document.renameSection(index, QString::number(step));
                break;
            case 4:
                // Times that are not whole frames of anything.
                document.setSectionBounds(index, MediaTime::make(pick(7000), 7001),
                                          MediaTime::make(7001 + pick(7000), 7001));
                break;
            case 5:
                document.setSectionFactor(index, *SpeedFactor::make(pick(1000) + 100, 100));
                break;
            case 6:
                document.setSectionAudio(index, !document.section(index).audio);
                break;
            case 7:
                document.setSectionMotion(index, MotionMode(pick(3)));
                break;
            case 8:
                // Often longer than the section together: fitted to it.
                document.setSectionRamps(index, MediaTime::make(pick(3000), 1000),
                                         MediaTime::make(pick(4) == 0 ? 0 : pick(3000), 999));
                break;
            }
        }
        const EditState end = document.state();
        ASSERT_GT(document.undoStack()->count(), 300);
        EXPECT_TRUE(document.isModified());
        while (document.undoStack()->canUndo()) {
            document.undoStack()->undo();
        }
        EXPECT_EQ(document.state(), start);
        EXPECT_FALSE(document.isModified());
        while (document.undoStack()->canRedo()) {
            document.undoStack()->redo();
        }
        EXPECT_EQ(document.state(), end);
    }
}

TEST(EditDocument, ADragIsOneStepAndTheSavedStepIsUnmodified) {
    EditDocument document;
    EditState start;
    start.sections = {sectionAt(0, 1000, "a")};
    document.reset(start, "/edits/a.lento");
    QSignalSpy modified(&document, &EditDocument::modifiedChanged);

    document.beginBoundsDrag();
    for (int ms = 100; ms <= 500; ms += 100) {
        document.setSectionBounds(0, MediaTime::make(ms, 1000), MediaTime::make(1000, 1000));
    }
    document.endBoundsDrag();
    EXPECT_EQ(document.undoStack()->count(), 1);
    EXPECT_EQ(document.undoStack()->undoText(), "Move Section Bounds");
    EXPECT_EQ(modified.count(), 1);

    // A drag that comes back to where it began leaves no step.
    document.beginBoundsDrag();
    document.setSectionBounds(0, MediaTime::make(300, 1000), MediaTime::make(1000, 1000));
    document.setSectionBounds(0, MediaTime::make(500, 1000), MediaTime::make(1000, 1000));
    document.endBoundsDrag();
    EXPECT_EQ(document.undoStack()->count(), 1);

    // Ramps fit their section, also while a drag shortens it; the drag that lengthens it again
    // gives them back, and one that ends where it began still leaves no step.
    const int before = document.undoStack()->count();
    document.setSectionRamps(0, MediaTime::make(1, 1), MediaTime::make(1, 2));
    EXPECT_EQ(document.undoStack()->undoText(), "Change Ramp");
    EXPECT_EQ(document.section(0).rampIn, MediaTime::make(1, 3));
    EXPECT_EQ(document.section(0).rampOut, MediaTime::make(1, 6));
    document.setSectionBounds(0, MediaTime::make(0, 1000), MediaTime::make(1000, 1000));
    document.setSectionRamps(0, MediaTime::make(3, 10), MediaTime::make(2, 10));
    const SectionState ramped = document.section(0);
    document.beginBoundsDrag();
    document.setSectionBounds(0, MediaTime::make(900, 1000), MediaTime::make(1000, 1000));
    EXPECT_EQ(document.section(0).rampIn, MediaTime::make(6, 100));
    EXPECT_EQ(document.section(0).rampOut, MediaTime::make(4, 100));
    document.setSectionBounds(0, MediaTime::make(0, 1000), MediaTime::make(1000, 1000));
    document.endBoundsDrag();
    EXPECT_EQ(document.section(0), ramped);
    EXPECT_EQ(document.undoStack()->count(), before + 3);
    document.setSectionBounds(0, MediaTime::make(900, 1000), MediaTime::make(1000, 1000));
    document.setSectionBounds(0, MediaTime::make(0, 1000), MediaTime::make(1000, 1000));
    EXPECT_NE(document.section(0), ramped) << "outside a drag, shortened ramps stay short";
    document.undoStack()->setIndex(before);

    document.markSaved("/edits/b.lento");
    EXPECT_FALSE(document.isModified());
    document.undoStack()->undo();
    EXPECT_TRUE(document.isModified());
    document.undoStack()->redo();
    EXPECT_FALSE(document.isModified());
    EXPECT_EQ(document.filePath(), "/edits/b.lento");

    // A drag that reaches a second section is a step of its own for it: undone, both return.
    document.addSection(1, sectionAt(2000, 3000, "b"));
    const EditState beforeBoth = document.state();
    const int steps = document.undoStack()->count();
    document.beginBoundsDrag();
    document.setSectionBounds(0, MediaTime::make(200, 1000), MediaTime::make(1000, 1000));
    document.setSectionBounds(1, MediaTime::make(2100, 1000), MediaTime::make(3000, 1000));
    document.endBoundsDrag();
    EXPECT_EQ(document.undoStack()->count(), steps + 2);
    document.undoStack()->setIndex(steps);
    EXPECT_EQ(document.state(), beforeBoth);

    document.reset(start, "/edits/a.lento", true);
    EXPECT_TRUE(document.isModified()) << "a restored edit is unsaved";
}

} // namespace
} // namespace lento
