#include "support/ControlsTesting.h"

#include <QHelpEvent>
#include <QMouseEvent>
#include <QToolTip>

namespace lento::test {
namespace {

using namespace std::chrono_literals;

class TrimTrackTest : public ControlBarTest {};

// Takes only the playhead's reports, but counts every report.
struct PlayheadReports : VideoSeekerDelegate {
    bool respondsToSelector(std::string_view s) const override { return s == kSeekerHandle; }
    void leftHandle(float /*x*/) override { ++handles; }
    void rightHandle(float /*x*/) override { ++handles; }
    void SeekerHandle(float /*x*/) override { ++playhead; }
    int handles = 0, playhead = 0;
};

TEST_F(TrimTrackTest, ThePlayheadWinsOverAHandleExceptAtItsFeetAndTheLeftOverTheRight) {
    ASSERT_NO_FATAL_FAILURE(loadClip());
    ASSERT_EQ(playheadX(), leftX());
    drag(6, {100, 120});
    EXPECT_TRUE(left.empty());
    EXPECT_EQ(playheadX(), 114);
    EXPECT_NEAR(playerSeconds(), secondsAt(120), 0.05);
    EXPECT_EQ(logged("x="), std::vector<std::string>{"x=6.000000\n"});
    EXPECT_EQ(logged("lefthandle_x="), std::vector<std::string>{"lefthandle_x=0.000000\n"});

    // Above the playhead the left handle's foot is still there to grab. The drag seeks, then
    // reports, then moves the handle, whatever the owner did with it meanwhile.
    bar->seekToFrame(MediaTime::zero());
    onLeftHandle = [&](MediaTime reported) {
        EXPECT_NEAR(playerSeconds(), reported.seconds(), 0.05);
        EXPECT_EQ(positionText(), timeTextWithMilliseconds(reported));
        EXPECT_EQ(leftX(), 0);
        bar->m_leftHandle()->move(200, bar->m_leftHandle()->y());
    };
    drag(6, {133}, 2);
    onLeftHandle = [](MediaTime) {};
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].timescale, bar->endTime().timescale);
    EXPECT_EQ(leftX(), 127);
    // Placed from the reported time, a handle lands where the drag put it; so does the playhead.
    bar->setLeftHanldePos(MediaTime::zero());
    bar->setLeftHanldePos(left[0]);
    EXPECT_EQ(leftX(), 127);
    EXPECT_EQ(playheadX(), 127);
}

// Whole frames of the 30 fps clip.
bool onAFrame(MediaTime time) {
    return time.value * 30 % time.timescale == 0;
}

TEST_F(TrimTrackTest, BetweenTwoHandlesTheDragsDirectionChoosesAndHandlesSnap) {
    ASSERT_NO_FATAL_FAILURE(loadClip());
    bar->seekToFrame(MediaTime::make(9, 1)); // the playhead out of the way
    const MediaTime five = MediaTime::make(5, 1);
    const MediaTime fivePlus = MediaTime::make(5 * 30 + 3, 30); // three frames (4 points) on
    struct Case {
        const char* name;
        MediaTime leftAt, rightAt;
        int pressFromLeft, dragBy;
        bool rightMoves;
    };
    for (const Case& c : {Case{"together, to the left", five, five, 6, -20, false},
                          Case{"together, to the right", five, five, 6, 20, true},
                          Case{"apart, to the left", five, fivePlus, 8, -20, false},
                          Case{"apart, to the right", five, fivePlus, 8, 20, true}}) {
        SCOPED_TRACE(c.name);
        bar->setLeftHanldePos(c.leftAt);
        bar->setRightHanldePos(c.rightAt);
        const int leftBefore = leftX(), rightBefore = rightX();
        left.clear();
        right.clear();
        drag(leftBefore + c.pressFromLeft, {leftBefore + c.pressFromLeft + c.dragBy});
        ASSERT_EQ(right.size(), c.rightMoves ? 1u : 0u);
        ASSERT_EQ(left.size(), c.rightMoves ? 0u : 1u);
        const MediaTime reported = c.rightMoves ? right[0] : left[0];
        EXPECT_TRUE(onAFrame(reported)) << reported.value << "/" << reported.timescale;
        EXPECT_EQ(c.rightMoves ? leftX() : rightX(), c.rightMoves ? leftBefore : rightBefore);
    }

    // Another section's bound pulls a handle within 5 points, unless Shift is held; the
    // selected section's own bounds do not.
    bar->setBands({{MediaTime::make(1, 1), MediaTime::make(7, 1), false, false},
                   {MediaTime::make(2, 1), MediaTime::make(3, 1), true, false}});
    bar->setLeftHanldePos(MediaTime::make(2, 1));
    bar->setRightHanldePos(MediaTime::make(3, 1));
    const int seven = kTrackStart + 7 * kTrackWidth / 10; // 272
    right.clear();
    drag(rightX() + 6, {seven + 4, seven - 4, seven + 7});
    drag(rightX() + 6, {seven + 4}, 2, Qt::ShiftModifier); // above the playhead, which followed
    ASSERT_EQ(right.size(), 4u);
    EXPECT_EQ(right[0], MediaTime::make(7, 1));
    EXPECT_EQ(right[1], MediaTime::make(7, 1));
    EXPECT_NE(right[2], MediaTime::make(7, 1));
    EXPECT_NEAR(right[3].seconds(), secondsAt(seven + 4), 0.001); // 5 ms from the nearest frame
    left.clear();
    drag(leftX() + 6, {kTrackStart + 3 * kTrackWidth / 10 - 3}, 4); // 3 points short of 3 s
    ASSERT_EQ(left.size(), 1u);
    EXPECT_NE(left[0], MediaTime::make(3, 1));
}

TEST_F(TrimTrackTest, PausedTheLabelAndThePlayheadShowTheExactTimeAndFramePlayingWholeSeconds) {
    ASSERT_NO_FATAL_FAILURE(loadClip());
    answers.insert("SeekerHandle:");
    bar->seekToFrame(MediaTime::make(13, 10));
    EXPECT_EQ(bar->m_trackSeeker()->toolTip(), "00:00:01.300, frame 39");
    EXPECT_EQ(positionText(), "00:00:01.300");
    EXPECT_EQ(bar->m_lblStartTime()->toolTip(), "00:00:01.300, frame 39");
    EXPECT_EQ(bar->m_lblEndTime()->text(), "00:00:10");
    EXPECT_EQ(bar->m_lblEndTime()->toolTip(), "00:00:10.000, 300 frames");
    drag(playheadX() + 6, {kTrackStart + kTrackWidth / 2}); // 5 s
    EXPECT_EQ(bar->m_trackSeeker()->toolTip(), "00:00:05.000, frame 150");
    // The seeker, which takes the mouse, shows it over the playhead only.
    QWidget* seeker = bar->m_videoSeeker();
    const QPoint over(playheadX() + 6, 20);
    QHelpEvent help(QEvent::ToolTip, over, seeker->mapToGlobal(over));
    QCoreApplication::sendEvent(seeker, &help);
    EXPECT_EQ(QToolTip::text(), bar->m_trackSeeker()->toolTip());
    QHelpEvent away(QEvent::ToolTip, QPoint(300, 20), seeker->mapToGlobal(QPoint(300, 20)));
    QCoreApplication::sendEvent(seeker, &away);
    EXPECT_FALSE(away.isAccepted());

    // The source played 2.5 times slower: the labels tell the slowed movie's times, the frames
    // keep their numbers and the playhead its place.
    bar->setTimeFactor(*SpeedFactor::make(5, 2));
    EXPECT_EQ(bar->m_lblEndTime()->text(), "00:00:25");
    EXPECT_EQ(bar->m_lblEndTime()->toolTip(), "00:00:25.000, 300 frames");
    const int at = playheadX();
    bar->seekToFrame(MediaTime::make(5, 1));
    EXPECT_EQ(positionText(), "00:00:12.500");
    EXPECT_EQ(bar->m_trackSeeker()->toolTip(), "00:00:12.500, frame 150");
    EXPECT_EQ(playheadX(), at);

    // Playing, the monitor shows whole seconds; paused again, where the player stopped.
    answers = {"playVideo", "monitorVideo"};
    position = MediaTime::make(6, 1);
    bar->m_btnPlay()->click();
    ASSERT_TRUE(waitUntil([&] { return count("monitorVideo") > 0; }, 2s));
    EXPECT_EQ(positionText(), "00:00:15");
    bar->m_btnPlay()->click();
    EXPECT_EQ(positionText(),
              timeTextWithMilliseconds(SpeedFactor::make(5, 2)->stretch(player->currentTime())));
}

TEST_F(TrimTrackTest, MarkersStopAtTheTrackEndsAndHandlesShortOfEachOther) {
    std::vector<std::pair<VideoControlBar::Side, MediaTime>> signalled;
    QObject::connect(
        bar.get(), &VideoControlBar::handleDragged,
        [&](VideoControlBar::Side side, MediaTime time) { signalled.emplace_back(side, time); });
    std::vector<VideoControlBar::Side> finished;
    QObject::connect(bar.get(), &VideoControlBar::handleDragFinished,
                     [&](VideoControlBar::Side side) { finished.push_back(side); });
    ASSERT_NO_FATAL_FAILURE(loadClip());
    answers.insert("SeekerHandle:");
    bar->setLeftHanldePos(MediaTime::make(2, 1));
    bar->setRightHanldePos(MediaTime::make(4, 1));
    // The playhead goes anywhere on the track, trim range or not, and only seeks.
    drag(6, {500});
    EXPECT_EQ(playheadX(), kTrackStart + kTrackWidth - 6);
    EXPECT_EQ(positionText(), "00:00:10.000");
    drag(playheadX() + 6, {-20});
    EXPECT_EQ(playheadX(), kTrackStart - 6);
    EXPECT_TRUE(calls.empty());

    // Dragged onto or past the other handle, a handle stops a frame short of it, as a typed bound
    // does, and takes the player there.
    bar->setRightHanldePos(MediaTime::make(5, 1));
    bar->seekToFrame(MediaTime::make(8, 1));
    const MediaTime frame = oneFrame(*player->currentItem()->asset(), bar->endTime().timescale);
    drag(rightX() + 6, {}); // no motion, no report
    drag(leftX() + 6, {150, rightX() + 6, rightX() + 46});
    ASSERT_EQ(left.size(), 3u);
    EXPECT_EQ(left.back(), MediaTime::make(5, 1) - frame);
    EXPECT_TRUE(waitUntil([&] { return player->currentTime() == left.back(); }));
    drag(rightX() + 6, {300, -30}, 2); // at the feet of both: the direction chooses
    ASSERT_EQ(right.size(), 2u);
    EXPECT_EQ(right.back(), left.back() + frame);
    EXPECT_EQ(rightX(), std::lround(5.0 * kTrackWidth / 10.0));
    // The bar logs every report of the right handle.
    EXPECT_EQ(logged("rightHandle: "),
              (std::vector<std::string>{"rightHandle: 300.000000", "rightHandle: -30.000000"}));
    // Both go out as signals too, beside the reports; an owner that only listens gets them.
    EXPECT_EQ(signalled.size(), left.size() + right.size());
    EXPECT_EQ(signalled.back(), std::pair(VideoControlBar::Side::Right, right.back()));
    answers.clear();
    drag(rightX() + 6, {300}, 2);
    EXPECT_EQ(signalled.size(), left.size() + right.size() + 1);
    // Each press that dragged a handle ends with its release; the playhead's drags do not count.
    using Side = VideoControlBar::Side;
    EXPECT_EQ(finished, (std::vector{Side::Left, Side::Right, Side::Right}));
    EXPECT_EQ(rightX(), 300 - 6);
}

TEST_F(TrimTrackTest, TheTrackStretchesWithTheBarAndMarkersKeepTheirTimes) {
    ASSERT_NO_FATAL_FAILURE(loadClip());
    bar->setLeftHanldePos(MediaTime::make(2, 1));
    bar->setRightHanldePos(MediaTime::make(8, 1));
    drag(6, {196}); // the playhead to 5 s
    const int endLabel = bar->m_lblEndTime()->x();
    const int volume = bar->m_ctrlVolumn()->x();

    // A window twice as wide: the track takes all that is new, the labels and the slider keep
    // their places at its ends, and every marker stays on its time.
    bar->resize(bar->sizeHint().width() + kTrackWidth, bar->sizeHint().height());
    EXPECT_EQ(bar->m_videoTrack()->x(), kTrackStart);
    EXPECT_EQ(bar->m_videoTrack()->width(), 2 * kTrackWidth);
    EXPECT_EQ(bar->m_lblEndTime()->x(), endLabel + kTrackWidth);
    EXPECT_EQ(bar->m_ctrlVolumn()->x(), volume + kTrackWidth);
    EXPECT_EQ(bar->sizeHint().width(), bar->m_subView()->width() - kTrackWidth);
    EXPECT_EQ(leftX(), 152);
    EXPECT_EQ(rightX(), 608);
    EXPECT_EQ(playheadX(), 380);
    // Drags and placements follow the wider axis.
    drag(rightX() + 6, {6 + 684});
    ASSERT_EQ(right.size(), 1u);
    EXPECT_NEAR(right[0].seconds(), 9.0, 0.01);
    EXPECT_EQ(playheadX(), rightX()); // the drag took the player there
    bar->setLeftHanldePos(MediaTime::make(1, 1));
    EXPECT_EQ(leftX(), 76);
}

TEST_F(TrimTrackTest,
       AClickOnTheTrackGoesToTheNearestFrameADragFromItScrubsHiddenHandlesAreNotThere) {
    // As in the "Full Video" tab and the preview: the handles are hidden and the owner does not
    // take them.
    answers.clear();
    bar->m_leftHandle()->hide();
    bar->m_rightHandle()->hide();
    ASSERT_NO_FATAL_FAILURE(loadClip());
    bar->seekToFrame(MediaTime::make(5, 1));
    struct Case {
        const char* name;
        int x, y;
    };
    for (const Case& c : {Case{"where the hidden left handle lies", 6, 2},
                          Case{"on the filmstrip", 100, 20}, Case{"on the waveform", 250, 60},
                          Case{"past the end, where the right handle lies", 390, 30}}) {
        SCOPED_TRACE(c.name);
        drag(c.x, {}, c.y);
        const int x = std::min(c.x, kTrackStart + kTrackWidth);
        const MediaTime expected = MediaTime::make(std::lround(secondsAt(x) * 30.0), 30);
        EXPECT_EQ(positionText(), timeTextWithMilliseconds(expected));
        EXPECT_EQ(playheadX(), std::lround(expected.seconds() * kTrackWidth / 10.0));
        EXPECT_TRUE(waitUntil([&] { return player->currentTime() == expected; }))
            << playerSeconds();
    }
    EXPECT_TRUE(logged("rightHandle: ").empty());
    EXPECT_EQ(leftX(), 0);
    EXPECT_EQ(rightX(), 380);
    EXPECT_TRUE(calls.empty());

    // A drag from anywhere on the track carries the playhead, once it has gone 3 points.
    drag(300, {302, 250, 60});
    EXPECT_EQ(playheadX(), 54);
    EXPECT_NEAR(playerSeconds(), secondsAt(60), 0.05);
    EXPECT_TRUE(bar->m_leftHandle()->isHidden() && bar->m_rightHandle()->isHidden());

    // In the bar's place, a delegate that takes only the playhead's reports gets only those.
    PlayheadReports reports;
    bar->m_videoSeeker()->setDelegate(&reports);
    drag(6, {30}, 2);
    drag(386, {300});
    drag(playheadX() + 6, {70});
    EXPECT_EQ(reports.handles, 0);
    EXPECT_EQ(reports.playhead, 3);
    // A move with nothing grabbed goes on to the seeker's parents.
    QMouseEvent move(QEvent::MouseMove, QPointF(200, 20), QPointF(), Qt::NoButton, Qt::LeftButton,
                     Qt::NoModifier);
    QCoreApplication::sendEvent(bar->m_videoSeeker(), &move);
    EXPECT_FALSE(move.isAccepted());
}

} // namespace
} // namespace lento::test
