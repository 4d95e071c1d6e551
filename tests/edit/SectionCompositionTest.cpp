#include "edit/SectionComposition.h"

#include "base/Log.h"
#include "support/CompositionText.h"
#include "support/MediaProbe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace lento {
namespace {

constexpr int32_t kScale = 600;
const MediaTime kTenSeconds = MediaTime::make(6000, kScale);
const std::shared_ptr<Asset> kClip = Asset::assetWithPath(test::fixture("clip.mp4"));

SectionState section(double start, double end, int64_t speed, bool sound = true) {
    return {"s", MediaTime::makeWithSeconds(start, kScale), MediaTime::makeWithSeconds(end, kScale),
            SpeedFactor::whole(speed), sound};
}

SectionState section(double start, double end, const char* factor) {
    SectionState made = section(start, end, 1);
    made.factor = SpeedFactor::parse(factor).value_or(SpeedFactor());
    return made;
}

// "start-end xfactor" per entry, in seconds; "(name)" after a section's own.
std::string shown(const std::vector<SectionState>& list) {
    std::ostringstream text;
    for (const SectionState& entry : list) {
        text << entry.start.seconds() << "-" << entry.end.seconds() << "x" << entry.factor.text()
             << (entry.name.isEmpty() ? "" : "(" + entry.name.toStdString() + ")") << " ";
    }
    return text.str();
}

std::string shown(const Composition& composition, MediaType type) {
    return test::trackText(composition, type);
}

TEST(SectionCompositionTest, FillersCoverTheRestAndEveryEntryIsLaidWhole) {
    struct Case {
        std::vector<SectionState> user;
        std::string list, video;
        std::string sound = {}; // empty: the video's
    };
    const std::vector<Case> cases = {
        {{}, "", ""},
        {{section(0, 10, 2)}, "0-10x2(s) ", "0-20<0 "},
        {{section(8, 10, 2), section(0, 2, 3)},
         "0-2x3(s) 2-8x1 8-10x2(s) ",
         "0-6<0 6-12<2 12-16<8 "},
        {{section(2, 4, 2), section(4, 6, 1)},
         "0-2x1 2-4x2(s) 4-6x1(s) 6-10x1 ",
         "0-2<0 2-6<2 6-8<4 8-12<6 "},
        // A fractional factor stretches exactly: what follows starts where the stretch ends.
        {{section(1, 2, "2.25"), section(2, 3, 3)},
         "0-1x1 1-2x2.25(s) 2-3x3(s) 3-10x1 ",
         "0-1<0 1-3.25<1 3.25-6.25<2 6.25-13.25<3 "},
        // Overlaps are conflicts the editor does not export, yet each is placed whole.
        {{section(3, 5, 1), section(2, 8, 2)},
         "0-2x1 2-8x2(s) 3-5x1(s) 8-10x1 ",
         "0-2<0 2-14<2 14-16<3 16-18<8 "},
        // Removed sound leaves a gap as long as the pictures, so later sound stays with them.
        {{section(2, 4, 3, false), section(6, 10, 1, false)},
         "0-2x1 2-4x3(s) 4-6x1 6-10x1(s) ",
         "0-2<0 2-8<2 8-10<4 10-14<6 ",
         "0-2<0 8-10<4 "},
        // A section of no length cuts the video where it lies.
        {{section(5, 5, 2)}, "0-5x1 5-5x2(s) 5-10x1 ", "0-5<0 5-10<5 "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.list);
        const EditCut cut = EditCut::ofSections(c.user, kTenSeconds);
        EXPECT_EQ(shown(sections(cut.sections, cut.range)), c.list);
        const auto composition = makeComposition(*kClip, cut);
        EXPECT_EQ(shown(*composition, MediaType::Video), c.video);
        EXPECT_EQ(shown(*composition, MediaType::Audio), c.sound.empty() ? c.video : c.sound);
    }
}

// The Full Video tab, one section alone and the whole edit are laid by the same rule; only the
// whole edit keeps a sound track where no entry has sound.
TEST(SectionCompositionTest, OneSectionAndTheFullVideoAreCutsOfTheirOwnRange) {
    const SectionState jump = section(2, 4, 3);
    SectionState muted = jump;
    muted.audio = false;
    const FullVideoState slowed{*SpeedFactor::make(5, 2), true, MotionMode::Blend};
    struct Case {
        const char* name;
        EditCut cut;
        std::string video, sound;
    };
    const std::vector<Case> cases{
        {"a section", EditCut::ofSection(jump), "0-6<2 ", "0-6<2 "},
        {"a section without sound", EditCut::ofSection(muted), "0-6<2 ", "none"},
        {"the whole edit without sound",
         EditCut::ofSections({{section(0, 10, 1, false)}}, kTenSeconds), "0-10<0 ", ""},
        {"the full video", EditCut::ofFullVideo(slowed, kTenSeconds), "0-25<0 ", "0-25<0 "},
        {"the full video without sound", EditCut::ofFullVideo({SpeedFactor(), false}, kTenSeconds),
         "0-10<0 ", "none"},
        {"a range of it",
         EditCut::ofFullVideo(
             slowed, kTenSeconds,
             MediaTimeRange::fromTimeToTime(MediaTime::make(1, 1), MediaTime::make(3, 1))),
         "0-5<1 ", "0-5<1 "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto composition = makeComposition(*kClip, c.cut);
        EXPECT_EQ(shown(*composition, MediaType::Video), c.video);
        EXPECT_EQ(shown(*composition, MediaType::Audio), c.sound);
    }
    const auto blended = makeComposition(*kClip, EditCut::ofFullVideo(slowed, kTenSeconds));
    EXPECT_EQ(blended->tracksWithMediaType(MediaType::Video).front()->segments().front().motion,
              MotionMode::Blend);
}

TEST(SectionCompositionTest, MissingSourceTracksAreNotAdded) {
    const EditCut cut = EditCut::ofSections({{section(1, 2, 2)}}, kTenSeconds);
    const auto soundOnly = makeComposition(*Asset::assetWithPath(test::fixture("audio.m4a")), cut);
    EXPECT_EQ(shown(*soundOnly, MediaType::Video), "none");
    EXPECT_EQ(shown(*soundOnly, MediaType::Audio), "0-1<0 1-3<1 3-11<2 ");
    const auto silent = makeComposition(*Asset::assetWithPath(test::fixture("silent.mov")), cut);
    EXPECT_EQ(shown(*silent, MediaType::Audio), "none");
}

TEST(SectionCompositionTest, LogLinesShowRawValues) {
    std::vector<std::string> lines;
    setLogSink([&](const std::string& line) { lines.push_back(line); });
    makeComposition(*kClip, EditCut::ofSections({{section(2, 4, 3)}}, kTenSeconds));
    makeComposition(*kClip, EditCut::ofSection(section(2, 4, 3))); // not logged
    setLogSink({});
    const std::vector<std::string> expected = {"j section : 0, 1200, 00:00:00",
                                               "j section : 1200, 1200, 00:00:02",
                                               "j section : 2400, 3600, 00:00:04",
                                               "video:0, 00:00:00",
                                               "video:1200, 00:00:02",
                                               "video:4800, 00:00:08",
                                               "audio:0, 00:00:00",
                                               "audio:1200, 00:00:02",
                                               "audio:4800, 00:00:08"};
    EXPECT_EQ(lines, expected);
}

} // namespace
} // namespace lento
