#include "sections/SectionRules.h"

#include <gtest/gtest.h>

#include <thread>

namespace lento {
namespace {

SectionPtr section(double start, double end, int64_t speed = 1, bool audio = true) {
    auto made = std::make_shared<SectionObject>();
    made->initWithName("s", MediaTime::makeWithSeconds(start, 600),
                       MediaTime::makeWithSeconds(end, 600), speed, audio);
    return made;
}

// Which bound cells are red: for each section, {start red, end red}.
std::vector<std::pair<bool, bool>> redCells(const SectionList& list) {
    std::vector<std::pair<bool, bool>> cells;
    for (int64_t row = 0; row < static_cast<int64_t>(list.size()); ++row) {
        cells.emplace_back(checkOverSetup(list, row, 2) != -1, checkOverSetup(list, row, 3) != -1);
    }
    return cells;
}

using Cells = std::vector<std::pair<bool, bool>>;

TEST(SectionObjectTest, TheSoundArgumentKeepsTheSoundAndNothingIsChecked) {
    SectionObject blank;
    EXPECT_EQ(blank.speed(), 0);
    EXPECT_TRUE(blank.name().isEmpty());
    EXPECT_FALSE(blank.startFrame().isValid());
    EXPECT_FALSE(blank.removeAudio());

    SectionObject kept;
    kept.initWithName("a", MediaTime::make(10, 1), MediaTime::make(2, 1), 3, true);
    EXPECT_FALSE(kept.removeAudio());
    EXPECT_EQ(kept.startFrame(), MediaTime::make(10, 1)); // later than its end: stored as given
    kept.changeAudio(false);
    EXPECT_TRUE(kept.removeAudio());
    kept.changeAudio(true);
    EXPECT_FALSE(kept.removeAudio());

    SectionsStorage& storage = SectionsStorage::sharedStorage();
    EXPECT_EQ(&storage, &SectionsStorage::sharedStorage());
    EXPECT_FALSE(storage.isFullSection());
    EXPECT_EQ(storage.count(), 0u);
    SectionList& shown = storage.allObjects();
    storage.addObject(section(0, 1));
    storage.addObjectAtIndex(section(5, 6), 0);
    storage.addObjectAtIndex(section(7, 8), 2);
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0]->startFrame().seconds(), 5.0);
    EXPECT_EQ(shown[2]->startFrame().seconds(), 7.0);
    storage.setFullSectionURL("/movie.mp4");
    storage.cleanAllSections();
    EXPECT_EQ(storage.count(), 0u);
    EXPECT_EQ(storage.fullSectionURL(), "/movie.mp4");
    storage.setFullSectionURL({});
}

TEST(SectionRulesTest, CollidingBoundsAndTheirCount) {
    // Touching sections are fine.
    SectionList touching{section(0, 10), section(10, 20)};
    EXPECT_EQ(redCells(touching), (Cells{{false, false}, {false, false}}));
    EXPECT_EQ(countSectionErrors(touching), 0);
    // Overlap: the second's start and the first's end.
    SectionList overlap{section(0, 10), section(5, 15)};
    EXPECT_EQ(redCells(overlap), (Cells{{false, true}, {true, false}}));
    EXPECT_EQ(countSectionErrors(overlap), 2);
    // Equal starts, and the second's end inside the first.
    SectionList equalStarts{section(0, 10), section(0, 5)};
    EXPECT_EQ(redCells(equalStarts), (Cells{{true, false}, {true, true}}));
    EXPECT_EQ(countSectionErrors(equalStarts), 3);
    // Containment: only the inner section's bounds.
    SectionList contained{section(0, 20), section(5, 10)};
    EXPECT_EQ(redCells(contained), (Cells{{false, false}, {true, true}}));
    // Identical sections: all four.
    SectionList identical{section(0, 10), section(0, 10)};
    EXPECT_EQ(countSectionErrors(identical), 4);
    // Mixed timescales compare by value.
    SectionList mixed{section(0, 10), section(0, 0)};
    mixed[1]->changeStart(MediaTime::make(5000, 1000));
    mixed[1]->changeEnd(MediaTime::make(10, 1));
    EXPECT_EQ(redCells(mixed), (Cells{{false, true}, {true, true}}));
    EXPECT_EQ(checkOverSetup(mixed, 0, 4), -1);
    EXPECT_EQ(checkOverSetupWithValue({}, MediaTime::make(1, 1), -1, true), -1);
}

TEST(SectionRulesTest, TheSectionUnderATime) {
    SectionList list{section(2, 4, 2, false), section(3, 6, 3)};
    EXPECT_EQ(sectionIndexInTime(list, MediaTime::make(1, 1)), -1);
    // The bounds themselves are outside.
    EXPECT_EQ(sectionIndexInTime(list, MediaTime::make(2, 1)), -1);
    EXPECT_EQ(sectionIndexInTime(list, MediaTime::make(6, 1)), -1);
    // In the overlap the earlier section rules.
    EXPECT_EQ(sectionIndexInTime(list, MediaTime::make(35, 10)), 0);
    EXPECT_EQ(sectionIndexInTime(list, MediaTime::make(5, 1)), 1);
    EXPECT_FLOAT_EQ(speedInTime(list, MediaTime::make(25, 10)), 0.5f);
    EXPECT_FALSE(volumnInTime(list, MediaTime::make(25, 10)));
    EXPECT_FLOAT_EQ(speedInTime(list, MediaTime::make(5, 1)), 1.0f / 3.0f);
    EXPECT_TRUE(volumnInTime(list, MediaTime::make(5, 1)));
    EXPECT_FLOAT_EQ(speedInTime(list, MediaTime::make(7, 1)), 1.0f);
    EXPECT_EQ(speedText(1), "Original Speed");
    EXPECT_EQ(speedText(4), "4x Slower");
}

TEST(SectionObjectTest, TimesAreNeverSeenHalfWritten) {
    SectionObject shared;
    const MediaTime a = MediaTime::make(1, 600);
    const MediaTime b = MediaTime::make(-7, 90000);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 200000; ++i) {
            shared.setStartFrame(i % 2 ? a : b);
        }
        done = true;
    });
    bool torn = false;
    while (!done) {
        const MediaTime seen = shared.startFrame();
        torn |= !(seen.value == 0 && seen.timescale == 0) &&
                !(seen.value == a.value && seen.timescale == a.timescale) &&
                !(seen.value == b.value && seen.timescale == b.timescale);
    }
    writer.join();
    EXPECT_FALSE(torn);
}

} // namespace
} // namespace lento
