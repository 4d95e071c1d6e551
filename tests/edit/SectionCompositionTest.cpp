#include "edit/SectionComposition.h"

#include "base/Log.h"
#include "support/MediaProbe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace lento {
namespace {

constexpr int32_t kScale = 600;
const MediaTime kTenSeconds = MediaTime::make(6000, kScale);
const std::shared_ptr<Asset> kClip = Asset::assetWithPath(test::fixture("clip.mp4"));

SectionPtr section(double start, double end, int64_t speed, bool sound = true) {
    auto made = std::make_shared<SectionObject>();
    made->initWithName("s", MediaTime::makeWithSeconds(start, kScale),
                       MediaTime::makeWithSeconds(end, kScale), speed, sound);
    return made;
}

SectionPtr section(double start, double end, const char* factor) {
    SectionPtr made = section(start, end, 1);
    made->setFactor(SpeedFactor::parse(factor).value_or(SpeedFactor()));
    return made;
}

std::shared_ptr<Composition> compose(const Asset& asset, const SectionList& list,
                                     MediaTime duration = kTenSeconds) {
    auto composition = std::make_shared<Composition>();
    createOneVideoSection(asset, *composition, list, duration);
    createOneAudioSection(asset, *composition, list, duration);
    return composition;
}

// "start-end xspeed" per entry, in seconds.
std::string shown(const SectionList& list) {
    std::ostringstream text;
    for (const SectionPtr& entry : list) {
        text << entry->startFrame().seconds() << "-" << entry->endFrame().seconds() << "x"
             << (entry->speed() == -1 ? "-1" : entry->factor().text()) << " ";
    }
    return text.str();
}

// "target start-end<source start" per segment with media; "none" without such a track.
std::string shown(const Composition& composition, MediaType type) {
    const auto tracks = composition.tracksWithMediaType(type);
    if (tracks.empty()) {
        return "none";
    }
    std::ostringstream text;
    for (const CompositionSegment& segment : tracks.front()->segments()) {
        if (!segment.empty) {
            text << segment.targetRange.start.seconds() << "-"
                 << segment.targetRange.end().seconds() << "<"
                 << segment.sourceRange.start.seconds() << " ";
        }
    }
    return text.str();
}

TEST(SectionCompositionTest, FillersCoverTheRestAndEveryEntryIsLaidWhole) {
    struct Case {
        SectionList user;
        std::string list, video;
        std::string sound = {}; // empty: the video's
    };
    const std::vector<Case> cases = {
        {{}, "0-10x-1 ", ""},
        {{section(0, 10, 2)}, "0-10x2 ", "0-20<0 "},
        {{section(8, 10, 2), section(0, 2, 3)}, "0-2x3 2-8x1 8-10x2 ", "0-6<0 6-12<2 12-16<8 "},
        {{section(2, 4, 2), section(4, 6, 1)},
         "0-2x1 2-4x2 4-6x1 6-10x1 ",
         "0-2<0 2-6<2 6-8<4 8-12<6 "},
        // A fractional factor stretches exactly: what follows starts where the stretch ends.
        {{section(1, 2, "2.25"), section(2, 3, 3)},
         "0-1x1 1-2x2.25 2-3x3 3-10x1 ",
         "0-1<0 1-3.25<1 3.25-6.25<2 6.25-13.25<3 "},
        // Overlaps are conflicts the editor does not export, yet each is placed whole.
        {{section(3, 5, 1), section(2, 8, 2)},
         "0-2x1 2-8x2 3-5x1 8-10x1 ",
         "0-2<0 2-14<2 14-16<3 16-18<8 "},
        // Removed sound leaves a gap as long as the pictures, so later sound stays with them.
        {{section(2, 4, 3, false), section(6, 10, 1, false)},
         "0-2x1 2-4x3 4-6x1 6-10x1 ",
         "0-2<0 2-8<2 8-10<4 10-14<6 ",
         "0-2<0 8-10<4 "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.list);
        const SectionList before = c.user;
        const SectionList list = sections(c.user, kTenSeconds);
        EXPECT_EQ(shown(list), c.list);
        EXPECT_EQ(c.user, before);
        for (const SectionPtr& user : c.user) {
            EXPECT_EQ(std::count(list.begin(), list.end(), user), 1);
        }
        const auto composition = compose(*kClip, list);
        EXPECT_EQ(shown(*composition, MediaType::Video), c.video);
        EXPECT_EQ(shown(*composition, MediaType::Audio), c.sound.empty() ? c.video : c.sound);
    }
}

TEST(SectionCompositionTest, MissingSourceTracksAreNotAdded) {
    const SectionList list = sections({section(1, 2, 2)}, kTenSeconds);
    const auto soundOnly = compose(*Asset::assetWithPath(test::fixture("audio.m4a")), list);
    EXPECT_EQ(shown(*soundOnly, MediaType::Video), "none");
    EXPECT_EQ(shown(*soundOnly, MediaType::Audio), "0-1<0 1-3<1 3-11<2 ");
    const auto silent = compose(*Asset::assetWithPath(test::fixture("silent.mov")), list);
    EXPECT_EQ(shown(*silent, MediaType::Audio), "none");
}

TEST(SectionCompositionTest, LogLinesShowRawValues) {
    std::vector<std::string> lines;
    setLogSink([&](const std::string& line) { lines.push_back(line); });
    compose(*kClip, sections({section(2, 4, 3)}, kTenSeconds));
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
