#pragma once

#include "controls/VideoControlBar.h"
#include "support/EditorTesting.h"

#include <QTest>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace lento::test {

// The track's place in the seeker, as the interface file lays it out.
constexpr int kTrackStart = 6;
constexpr int kTrackWidth = 380;

// A shown control bar owned by the test, which answers only the reports in `answers` but records
// all, and, like the editors, answers playVideo by starting the player with sound. It keeps the
// log lines, also the player's from its threads (players are headless).
class ControlBarTest : public ::testing::Test, public VideoControlBarDelegate {
protected:
    void SetUp() override {
        bar = std::make_unique<VideoControlBar>();
        bar->resize(bar->sizeHint());
        bar->setDelegate(this);
        bar->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(bar.get()));
    }
    std::vector<std::string> logged(const std::string& prefix) const {
        return capture.linesStartingWith(prefix);
    }

    bool respondsToSelector(std::string_view selector) const override {
        return answers.contains(selector);
    }
    // Notes the report and passes its value on.
    template <typename T> T record(std::string_view selector, T value) {
        calls.emplace_back(selector);
        return value;
    }
    void playVideo() override { record(kPlayVideo, bar.get())->playVideoWithVolumn(true); }
    void pauseVideo() override { calls.emplace_back(kPauseVideo); }
    void adjustAudio(float volume) override { volumes.push_back(record(kAdjustAudio, volume)); }
    MediaTime monitorVideo() override { return record(kMonitorVideo, position); }
    void leftHandle(MediaTime time) override {
        onLeftHandle(left.emplace_back(record(kLeftHandle, time)));
    }
    void rightHandle(MediaTime time) override { right.push_back(record(kRightHandle, time)); }
    void SeekerHandle(MediaTime /*time*/) override { calls.emplace_back(kSeekerHandle); }
    int count(std::string_view selector) const {
        return static_cast<int>(std::count(calls.begin(), calls.end(), selector));
    }

    void makeReadyPlayer() {
        player = std::make_unique<Player>(QString::fromStdString(fixture("clip.mp4")));
        bar->setM_Player(player.get());
        ASSERT_TRUE(waitUntil([&] { return player->status() == Player::Status::ReadyToPlay; }));
    }
    // What an editor does with the bar for a new file, up to the player being ready.
    void loadClip() {
        ASSERT_NO_FATAL_FAILURE(makeReadyPlayer());
        bar->setPlayRate(1.0f);
        bar->setVideoEndTime(player->currentItem()->duration());
        bar->stopVideo();
    }

    // Mouse events as the window system delivers them: a press at (x, y) on the seeker, moves, and
    // a release where the last move went. The window's grab takes them to the press's widget.
    void drag(int x, std::initializer_list<int> toXs, int y = 20,
              Qt::KeyboardModifiers keys = Qt::NoModifier) {
        QWidget* seeker = bar->m_videoSeeker();
        QWindow* window = bar->windowHandle();
        const auto at = [&] { return seeker->mapTo(bar.get(), QPoint(x, y)); };
        QTest::mousePress(window, Qt::LeftButton, keys, at());
        for (int to : toXs) {
            x = to;
            QTest::mouseEvent(QTest::MouseMove, window, Qt::NoButton, keys, at());
        }
        QTest::mouseRelease(window, Qt::LeftButton, keys, at());
    }
    int leftX() const { return bar->m_leftHandle()->x(); }
    int rightX() const { return bar->m_rightHandle()->x(); }
    int playheadX() const { return bar->m_trackSeeker()->x(); }
    QString positionText() const { return bar->m_lblStartTime()->text(); }
    // The time a drag to `x` stands for.
    double secondsAt(int x) const {
        return bar->endTime().seconds() * (x - kTrackStart) / kTrackWidth;
    }
    double playerSeconds() const { return player->currentTime().seconds(); }
    bool playing() const { return player->rate() != 0.0f; }

    std::set<std::string, std::less<>> answers{"leftHandle:", "rightHandle:"};
    std::vector<std::string> calls;
    std::vector<float> volumes;
    std::vector<MediaTime> left, right;
    MediaTime position = MediaTime::zero();
    std::function<void(MediaTime)> onLeftHandle = [](MediaTime) {};
    Capture capture;
    std::unique_ptr<Player> player;
    std::unique_ptr<VideoControlBar> bar;
};

} // namespace lento::test
