#include "app/Log.h"
#include "controls/VideoControlBar.h"
#include "controls/VideoSeeker.h"
#include "media/Player.h"
#include "support/MediaProbe.h"
#include "support/QtApp.h"

#include <QMouseEvent>
#include <QTest>
#include <QWindow>
#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

namespace lento {

static void PrintTo(const MediaTime& time, std::ostream* out) {
    *out << time.description();
}

namespace {

constexpr int kTrackStart = 6;
constexpr int kTrackWidth = 380;
// Half way down the seeker: on the track, where every marker is.
constexpr int kMiddle = 20;

// Mouse events as the window system delivers them: pressed at a point of `view`, moved and
// released while the button is held. The window's mouse grab takes the events to whichever
// widget the press went to, wherever the pointer is.
class Mouse {
public:
    explicit Mouse(QWidget* view) : m_view(view) {}
    ~Mouse() {
        if (m_held) {
            release();
        }
    }
    Mouse(const Mouse&) = delete;
    Mouse& operator=(const Mouse&) = delete;

    void press(int x, int y = kMiddle) {
        m_at = QPoint(x, y);
        QTest::mousePress(window(), Qt::LeftButton, {}, inWindow());
        m_held = true;
    }
    void dragTo(int x) {
        m_at.setX(x);
        QTest::mouseMove(window(), inWindow());
    }
    // Where the last event was, so that the window system adds no move of its own.
    void release() {
        QTest::mouseRelease(window(), Qt::LeftButton, {}, inWindow());
        m_held = false;
    }
    void drag(int fromX, std::initializer_list<int> toXs, int y = kMiddle) {
        press(fromX, y);
        for (int x : toXs) {
            dragTo(x);
        }
        release();
    }

private:
    QWindow* window() const { return m_view->window()->windowHandle(); }
    QPoint inWindow() const { return m_view->mapTo(m_view->window(), m_at); }

    QWidget* m_view;
    QPoint m_at;
    bool m_held = false;
};

class LogLines {
public:
    LogLines() {
        setLogSink([this](const std::string& line) {
            std::lock_guard lock(m_mutex);
            m_lines.push_back(line);
        });
    }
    ~LogLines() { setLogSink({}); }
    LogLines(const LogLines&) = delete;
    LogLines& operator=(const LogLines&) = delete;

    std::vector<std::string> startingWith(const std::string& prefix) const {
        std::lock_guard lock(m_mutex);
        std::vector<std::string> found;
        for (const std::string& line : m_lines) {
            if (line.starts_with(prefix)) {
                found.push_back(line);
            }
        }
        return found;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

// --- The seeker on its own ----------------------------------------------------------------------

class SeekerReports : public VideoSeekerDelegate {
public:
    bool respondsToSelector(std::string_view selector) const override {
        return selector == kSeekerHandle;
    }
    // Recorded whether asked for or not, so that a report sent without asking shows.
    void leftHandle(float x) override { reports.push_back("left " + std::to_string(x)); }
    void rightHandle(float x) override { reports.push_back("right " + std::to_string(x)); }
    void SeekerHandle(float x) override { reports.push_back("playhead " + std::to_string(x)); }

    std::vector<std::string> reports;
};

class DragCatcher : public QWidget {
public:
    int moves = 0;

protected:
    void mouseMoveEvent(QMouseEvent* /*event*/) override { ++moves; }
};

TEST(VideoSeekerTest, ReportsEveryDragOfWhatWasGrabbedAndPassesOnTheRest) {
    test::ensureQtApp();
    DragCatcher window;
    window.resize(400, 100);
    auto* seeker = new VideoSeeker(&window);
    seeker->setGeometry(50, 30, 200, 40);
    auto* playhead = new QWidget(seeker);
    playhead->setGeometry(100, 0, 12, 40);
    auto* leftHandle = new QWidget(seeker);
    leftHandle->setGeometry(0, 0, 12, 40);
    leftHandle->hide();
    for (QWidget* marker : {playhead, leftHandle}) {
        marker->setAttribute(Qt::WA_TransparentForMouseEvents);
    }
    seeker->setM_trackSeeker(playhead);
    seeker->setM_leftHandle(leftHandle);
    SeekerReports delegate;
    seeker->setDelegate(&delegate);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    Mouse mouse(seeker);

    // Unclamped, one report per event, also beyond either side of the seeker.
    mouse.drag(105, {-30, 10, 11, 320});
    EXPECT_EQ(delegate.reports,
              (std::vector<std::string>{"playhead -30.000000", "playhead 10.000000",
                                        "playhead 11.000000", "playhead 320.000000"}));
    EXPECT_EQ(window.moves, 0);

    // A hidden handle is grabbed like a visible one, but the delegate does not take its reports.
    delegate.reports.clear();
    mouse.drag(5, {60, 70});
    EXPECT_TRUE(delegate.reports.empty());
    EXPECT_EQ(window.moves, 0);

    // A press on no marker grabs nothing, also after a grab: its drags go on to the parent.
    mouse.drag(150, {160, 170, 180});
    EXPECT_TRUE(delegate.reports.empty());
    EXPECT_EQ(window.moves, 3);
}

// --- The bar ------------------------------------------------------------------------------------

// An owner that records every report, asked for or not.
class TrimOwner : public VideoControlBarDelegate {
public:
    bool respondsToSelector(std::string_view selector) const override {
        return takesHandles && (selector == kLeftHandle || selector == kRightHandle);
    }
    void leftHandle(MediaTime time) override {
        left.push_back(time);
        if (onReport) {
            onReport(time);
        }
    }
    void rightHandle(MediaTime time) override { right.push_back(time); }
    void SeekerHandle(MediaTime /*time*/) override { ++playheadReports; }

    bool takesHandles = true;
    std::vector<MediaTime> left;
    std::vector<MediaTime> right;
    int playheadReports = 0;
    std::function<void(MediaTime)> onReport;
};

class TrimTrackTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::ensureQtApp();
        bar = std::make_unique<VideoControlBar>();
        bar->resize(bar->sizeHint());
        bar->setDelegate(&owner);
        bar->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(bar.get()));
        mouse = std::make_unique<Mouse>(bar->m_videoSeeker());
    }
    void TearDown() override { mouse.reset(); }

    // What an editor does with the bar for a new file, up to the player being ready.
    void loadClip() {
        Player::setHeadless(true);
        player = std::make_unique<Player>(QString::fromStdString(test::fixture("clip.mp4")));
        bar->setM_Player(player.get());
        ASSERT_TRUE(test::waitUntil([&] { return player->status() != Player::Status::Unknown; }));
        ASSERT_EQ(player->status(), Player::Status::ReadyToPlay);
        bar->setPlayRate(1.0f);
        bar->setVideoEndTime(player->currentItem()->duration());
        bar->stopVideo();
        ASSERT_GT(duration(), 0.0);
    }

    double duration() const { return bar->endTime().seconds(); }
    // The time a drag to `x` stands for.
    double secondsAt(int x) const { return duration() * (x - kTrackStart) / kTrackWidth; }
    MediaTime time(double seconds) const {
        return MediaTime::makeWithSeconds(seconds, bar->endTime().timescale);
    }
    double playerSeconds() const { return player->currentTime().seconds(); }
    int leftX() const { return bar->m_leftHandle()->x(); }
    int rightX() const { return bar->m_rightHandle()->x(); }
    int playheadX() const { return bar->m_trackSeeker()->x(); }
    QString positionText() const { return bar->m_lblStartTime()->text(); }

    TrimOwner owner;
    std::unique_ptr<Player> player;
    std::unique_ptr<VideoControlBar> bar;
    std::unique_ptr<Mouse> mouse;
};

TEST_F(TrimTrackTest, ThePlayheadWinsOverAHandleUnderItExceptAtTheHandlesFeet) {
    ASSERT_NO_FATAL_FAILURE(loadClip());
    ASSERT_EQ(playheadX(), leftX());
    LogLines log;

    mouse->drag(6, {100, 120});
    EXPECT_TRUE(owner.left.empty());
    EXPECT_EQ(leftX(), 0);
    EXPECT_EQ(playheadX(), 114);
    EXPECT_NEAR(playerSeconds(), secondsAt(120), 0.05);
    EXPECT_EQ(log.startingWith("x="), std::vector<std::string>{"x=6.000000\n"});
    EXPECT_EQ(log.startingWith("lefthandle_x="),
              std::vector<std::string>{"lefthandle_x=0.000000\n"});

    // Above the playhead the left handle's foot is still there to grab.
    bar->seekToFrame(MediaTime::zero());
    mouse->drag(6, {50}, 2);
    EXPECT_EQ(owner.left.size(), 1u);
    EXPECT_EQ(leftX(), 44);
}

TEST_F(TrimTrackTest, TheLeftHandleWinsWhereTheHandlesOverlap) {
    ASSERT_NO_FATAL_FAILURE(loadClip());
    bar->setLeftHanldePos(time(duration() / 2));
    bar->setRightHanldePos(time(duration() / 2));
    ASSERT_EQ(leftX(), rightX());
    const int handles = leftX();

    mouse->drag(handles + 6, {handles - 20});
    EXPECT_EQ(owner.left.size(), 1u);
    EXPECT_TRUE(owner.right.empty());
    EXPECT_EQ(leftX(), handles - 26);
    EXPECT_EQ(rightX(), handles);
}

TEST_F(TrimTrackTest, APressWithoutMotionChangesNothingAndTheReleaseForgetsTheGrab) {
    ASSERT_NO_FATAL_FAILURE(loadClip());
    bar->setRightHanldePos(time(duration() / 2));
    const int right = rightX();

    mouse->press(right + 6);
    mouse->release();
    // After the release a press on bare track grabs nothing.
    mouse->drag(300, {250, 200});

    EXPECT_TRUE(owner.right.empty());
    EXPECT_EQ(rightX(), right);
    EXPECT_EQ(playheadX(), 0);
    EXPECT_EQ(positionText(), "00:00:00");
    test::spinEvents(std::chrono::milliseconds(100));
    EXPECT_NEAR(playerSeconds(), 0.0, 0.05);
}

TEST_F(TrimTrackTest, HandlesDraggedOffTheTrackStopAtItsEnds) {
    ASSERT_NO_FATAL_FAILURE(loadClip());
    bar->setLeftHanldePos(time(2.0));
    bar->setRightHanldePos(time(6.0));
    bar->seekToFrame(time(4.0));

    // Both drags leave the seeker on their way.
    mouse->drag(leftX() + 6, {40, -60});
    ASSERT_EQ(owner.left.size(), 2u);
    EXPECT_EQ(owner.left.back(), MediaTime::zero());
    EXPECT_EQ(leftX(), kTrackStart - 6);
    EXPECT_EQ(positionText(), "00:00:00");

    mouse->drag(rightX() + 6, {300, 450});
    ASSERT_EQ(owner.right.size(), 2u);
    EXPECT_EQ(owner.right.back(), bar->endTime());
    EXPECT_EQ(owner.right.back().timescale, bar->endTime().timescale);
    EXPECT_EQ(rightX(), kTrackStart + kTrackWidth - 6);
    EXPECT_EQ(positionText(), bar->m_lblEndTime()->text());
}

TEST_F(TrimTrackTest, AHandleStopsShortOfTheOtherWithoutSnapping) {
    ASSERT_NO_FATAL_FAILURE(loadClip());
    bar->setRightHanldePos(time(5.0));
    bar->seekToFrame(time(8.0));
    const int right = rightX();
    LogLines log;

    // Up to 2 points past the right handle's edge, then nothing.
    mouse->drag(6, {150, right, right + 3, right + 40});
    EXPECT_EQ(owner.left.size(), 2u);
    EXPECT_EQ(leftX(), right - 6);
    EXPECT_NEAR(playerSeconds(), secondsAt(right), 0.05);

    // The right handle, from the left handle's new place: no nearer than 10 points past its edge.
    const int left = leftX();
    mouse->drag(right + 6, {300, left + 11, left + 9, 0});
    EXPECT_EQ(owner.right.size(), 2u);
    EXPECT_EQ(rightX(), left + 5);
    const std::vector<std::string> lines = log.startingWith("rightHandle: ");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines.back(), "rightHandle: 0.000000");
}

TEST_F(TrimTrackTest, TheDragSeeksThenReportsThenMoves) {
    ASSERT_NO_FATAL_FAILURE(loadClip());
    bar->seekToFrame(time(8.0));
    owner.onReport = [&](MediaTime reported) {
        EXPECT_NEAR(playerSeconds(), reported.seconds(), 0.05);
        EXPECT_EQ(positionText(), bar->convertTimeToString(reported));
        EXPECT_EQ(leftX(), 0);
        bar->m_leftHandle()->move(200, bar->m_leftHandle()->y());
    };

    mouse->drag(6, {133});
    ASSERT_EQ(owner.left.size(), 1u);
    EXPECT_EQ(owner.left[0].timescale, bar->endTime().timescale);
    EXPECT_EQ(leftX(), 127);

    // Placed from the reported time, a handle lands where the drag put it; so does the playhead.
    bar->setLeftHanldePos(MediaTime::zero());
    bar->setLeftHanldePos(owner.left[0]);
    EXPECT_EQ(leftX(), 127);
    EXPECT_EQ(playheadX(), 127);
}

TEST_F(TrimTrackTest, ThePlayheadGoesAnywhereOnTheTrackAndOnlySeeks) {
    ASSERT_NO_FATAL_FAILURE(loadClip());
    bar->setLeftHanldePos(time(2.0));
    bar->setRightHanldePos(time(4.0));

    mouse->drag(6, {350});
    EXPECT_EQ(playheadX(), 344);
    EXPECT_NEAR(playerSeconds(), secondsAt(350), 0.05);

    mouse->drag(350, {500});
    EXPECT_EQ(playheadX(), kTrackStart + kTrackWidth - 6);
    EXPECT_EQ(positionText(), bar->m_lblEndTime()->text());

    mouse->drag(playheadX() + 6, {-20});
    EXPECT_EQ(playheadX(), kTrackStart - 6);
    EXPECT_NEAR(playerSeconds(), 0.0, 0.05);
    EXPECT_EQ(owner.playheadReports, 0);
    EXPECT_TRUE(owner.left.empty() && owner.right.empty());
}

TEST_F(TrimTrackTest, WithoutAnItemOrATimeAxisDragsChangeNothing) {
    bar->setVideoEndTime(MediaTime::make(10, 1));
    bar->setLeftHanldePos(MediaTime::make(2, 1));
    bar->setRightHanldePos(MediaTime::make(8, 1));
    bar->setVideoStartTime(MediaTime::make(3, 1));
    const int left = leftX();
    const int right = rightX();
    const auto unchanged = [&] {
        EXPECT_EQ(playheadX(), 0);
        EXPECT_EQ(leftX(), left);
        EXPECT_EQ(rightX(), right);
        EXPECT_EQ(positionText(), "00:00:03");
        EXPECT_TRUE(owner.left.empty() && owner.right.empty());
    };

    mouse->drag(6, {200});
    mouse->drag(left + 6, {50});
    mouse->drag(right + 6, {250});
    unchanged();

    // A ready player, but no duration, a zero one, then no track width.
    ASSERT_NO_FATAL_FAILURE(loadClip());
    const MediaTime clipDuration = bar->endTime();
    for (const auto& noAxis : std::initializer_list<std::function<void()>>{
             [&] { bar->setVideoEndTime(MediaTime::invalid()); },
             [&] { bar->setVideoEndTime(MediaTime::zero()); },
             [&] {
                 bar->setVideoEndTime(clipDuration);
                 bar->m_videoTrack()->resize(0, bar->m_videoTrack()->height());
             }}) {
        noAxis();
        bar->setVideoStartTime(MediaTime::make(3, 1));
        mouse->drag(6, {200});
        mouse->drag(left + 6, {50});
        mouse->drag(right + 6, {250});
        unchanged();
    }
    test::spinEvents(std::chrono::milliseconds(100));
    EXPECT_NEAR(playerSeconds(), 0.0, 0.05);
}

TEST_F(TrimTrackTest, WithAnOwnerThatTakesNoHandleReportsOnlyThePlayheadMoves) {
    // As in the "Full Video" tab: the handles are hidden and the owner does not take them.
    owner.takesHandles = false;
    bar->m_leftHandle()->hide();
    bar->m_rightHandle()->hide();
    ASSERT_NO_FATAL_FAILURE(loadClip());
    bar->seekToFrame(time(5.0));
    test::spinEvents(std::chrono::milliseconds(100));

    mouse->drag(6, {100}, 2);
    mouse->drag(386, {300});
    EXPECT_EQ(leftX(), 0);
    EXPECT_EQ(rightX(), 380);
    EXPECT_NEAR(playerSeconds(), 5.0, 0.05);
    EXPECT_TRUE(owner.left.empty() && owner.right.empty());

    mouse->drag(playheadX() + 6, {60});
    EXPECT_EQ(playheadX(), 54);
    EXPECT_NEAR(playerSeconds(), secondsAt(60), 0.05);
    EXPECT_TRUE(bar->m_leftHandle()->isHidden() && bar->m_rightHandle()->isHidden());
}

} // namespace
} // namespace lento
