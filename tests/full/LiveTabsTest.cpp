#include "app/AppDelegate.h"
#include "app/MainWindow.h"
#include "edit/SectionComposition.h"
#include "full/FullVideoEditController.h"
#include "media/LivePlayback.h"
#include "sections/SectionEditController.h"
#include "support/EditorTesting.h"

#include <gtest/gtest.h>

#include <memory>

namespace lento {
namespace {

using test::fixture;

// Each tab shows pictures made as the export makes them while its edit makes any (the Full
// Video's motion, a section's), the export's own picture at full size while paused, at the
// output time where the export shows the playhead (through a ramp, where its map puts it), and
// the player's own pictures again once the edit holds them.
TEST(LiveTabsTest, EachTabShowsMadePicturesWhileItsEditMakesThem) {
    test::Capture capture;
    auto window = std::make_unique<MainWindow>();
    window->appDelegate()->applicationDidFinishLaunching();
    FullVideoEditController* full = window->fullVideoEditController();
    SectionEditController* sections = window->sectionEditController();
    ASSERT_TRUE(test::dropAndWait(*full, fixture("short.mp4")));
    EditDocument& document = *full->document();
    const QSize stored(320, 240);

    struct Step {
        const char* name;
        EditorTab* tab;
        std::function<void()> edit;
        bool made;
        // Where the export shows source time `at`, for an edit that makes pictures.
        std::function<MediaTime(MediaTime at)> output = nullptr;
    };
    const MediaTime duration = full->m_VideoPlayer()->player()->currentItem()->duration();
    const std::vector<Step> steps = {
        {"Full Video, Smooth x4", full,
         [&] {
             document.setFullVideo({SpeedFactor::whole(4), true, MotionMode::Smooth});
         },
         true, [](MediaTime at) { return at * 4; }},
        {"Full Video, held", full,
         [&] {
             document.setFullVideo({SpeedFactor::whole(4), true, MotionMode::Hold});
         },
         false},
        {"a section blended, easing in", sections,
         [&] {
             document.addSection(0, {QStringLiteral("a"), MediaTime::make(1, 2),
                                     MediaTime::make(3, 2), SpeedFactor::whole(3), true,
                                     MotionMode::Blend, MediaTime::make(1, 4)});
         },
         true,
         [&](MediaTime at) {
             const EditCut cut = EditCut::ofSections(document.state().sections, duration);
             return rampedTimeMap(cut)->outputTime(at, kVideoTimescale);
         }},
        {"the section held", sections, [&] { document.setSectionMotion(0, MotionMode::Hold); },
         false},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        ASSERT_TRUE(test::waitUntil([&] {
            return step.tab->m_VideoPlayer()->player() != nullptr &&
                   step.tab->m_VideoPlayer()->player()->status() == Player::Status::ReadyToPlay &&
                   step.tab->livePlayback() != nullptr;
        }));
        step.edit();
        // Paused at 1 s of the source, inside the section.
        step.tab->m_VideoPlayer()->player()->seek(MediaTime::make(1, 1));
        PlayerView& view = *step.tab->m_VideoPlayer();
        LivePlayback& live = *step.tab->livePlayback();
        EXPECT_TRUE(test::waitUntil([&] {
            return live.isActive() == step.made && view.livePicture().isNull() != step.made;
        }));
        if (step.made) {
            EXPECT_NEAR(live.outputClock().seconds(),
                        step.output(view.player()->currentTime()).seconds(), 0.001);
            EXPECT_EQ(live.shownSize(), stored);
            EXPECT_EQ(view.livePicture().size(), stored);
        }
    }
}

} // namespace
} // namespace lento
