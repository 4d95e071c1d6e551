#include "support/ControlsTesting.h"

#include <cmath>

namespace lento::test {
namespace {

using namespace std::chrono_literals;

class VideoControlBarTest : public ControlBarTest {
protected:
    // As the user clicks: the button changes state, then reports.
    void pressPlay() { bar->m_btnPlay()->click(); }
    // The play button, the player and the monitor timer.
    std::string state() const {
        return std::string(bar->m_btnPlay()->isChecked() ? "on" : "off") +
               (playing() ? " playing" : " still") + (bar->monitorVideoTimer() ? " monitored" : "");
    }
    void expectNoMoreTicks() {
        const int ticks = count("monitorVideo");
        spinEvents(300ms);
        EXPECT_EQ(count("monitorVideo"), ticks);
    }
};

TEST_F(VideoControlBarTest, WithoutAPlayerOnlyTheRateTheLabelsAndThePlayheadChange) {
    bar->setSeekerPosition(MediaTime::make(5, 1)); // no duration: no time axis
    EXPECT_EQ(playheadX(), 0);
    bar->setVideoEndTime(MediaTime::make(8, 1));
    position = MediaTime::make(12, 1);
    bar->monitorVideoPlaying(); // the owner does not answer
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(playheadX(), 0);
    // Beyond the duration the playhead leaves the track: nothing is clamped. Then, without a
    // player, nothing but the rate changes.
    answers = {"monitorVideo"};
    bar->monitorVideoPlaying();
    bar->m_btnPlay()->setChecked(true);
    bar->stopVideo();
    bar->seekToFrame(MediaTime::make(2, 1));
    bar->pauseVideo();
    bar->setVolumnOn(true);
    bar->playVideoWithVolumn(true);
    bar->setPlayRate(0.5f);
    EXPECT_TRUE(bar->m_btnPlay()->isChecked());
    EXPECT_EQ(positionText(), "00:00:12");
    EXPECT_EQ(playheadX(), std::lround(12.0 * kTrackWidth / 8));
    EXPECT_FLOAT_EQ(bar->curRate(), 0.5f);

    // A duration shows its text and resets the position label, but leaves the playhead.
    bar->setVideoEndTime(MediaTime::make(37259, 10));
    EXPECT_EQ(bar->m_lblEndTime()->text(), "01:02:05");
    EXPECT_EQ(positionText(), "00:00:00");
    EXPECT_EQ(playheadX(), std::lround(12.0 * kTrackWidth / 8));
    EXPECT_EQ(logged(""), (std::vector<std::string>{"8.000000l", "3725.900000l"}));
}

TEST_F(VideoControlBarTest, PlayPauseSeekAndStopDriveThePlayerAndTheMonitor) {
    ASSERT_NO_FATAL_FAILURE(makeReadyPlayer());
    bar->setVideoEndTime(player->currentItem()->duration());
    // An owner that cannot play: the button goes on and off, but nothing runs.
    pressPlay();
    spinEvents(200ms);
    EXPECT_EQ(state(), "on still");
    pressPlay();
    EXPECT_EQ(state(), "off still");
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(logged("play button"),
              (std::vector<std::string>{"play button : 1", "play button : 0"}));

    answers = {"playVideo", "pauseVideo", "monitorVideo"};
    pressPlay(); // before any rate is given
    EXPECT_EQ(state(), "on still monitored");
    pressPlay();
    bar->setPlayRate(0.5f); // for the next start
    spinEvents(100ms);
    EXPECT_EQ(state(), "off still");
    position = MediaTime::make(3, 1);
    pressPlay();
    EXPECT_FLOAT_EQ(player->rate(), 0.5f);
    QTimer* timer = bar->monitorVideoTimer();
    ASSERT_NE(timer, nullptr);
    ASSERT_TRUE(waitUntil([&] { return count("monitorVideo") >= 3; }, 2s));
    EXPECT_EQ(positionText(), "00:00:03");
    bar->setPlayRate(1.0f); // at once while playing
    EXPECT_FLOAT_EQ(player->rate(), 1.0f);
    EXPECT_EQ(state(), "on playing monitored");
    EXPECT_EQ(bar->monitorVideoTimer(), timer);

    // The owner's pause keeps the button on until the next click, which pauses again.
    bar->pauseVideo();
    EXPECT_EQ(state(), "on still");
    expectNoMoreTicks();
    pressPlay();
    EXPECT_EQ(state(), "off still");
    pressPlay();
    EXPECT_EQ(state(), "on playing monitored");
    pressPlay();
    EXPECT_EQ(state(), "off still");
    expectNoMoreTicks();

    // A seek shows its time at once, to the millisecond while paused; playing, the monitor shows
    // whole seconds. Stop rewinds and switches everything off.
    bar->seekToFrame(MediaTime::make(3, 1));
    EXPECT_EQ(positionText(), "00:00:03.000");
    EXPECT_EQ(playheadX(), std::lround(3.0 * kTrackWidth / bar->endTime().seconds()));
    EXPECT_TRUE(waitUntil([&] { return std::abs(playerSeconds() - 3.0) < 0.1; }));
    EXPECT_FALSE(playing());
    position = MediaTime::make(4, 1);
    pressPlay();
    ASSERT_TRUE(waitUntil([&] { return positionText() == "00:00:04"; }, 2s));
    bar->stopVideo();
    EXPECT_EQ(state(), "off still");
    EXPECT_EQ(positionText(), "00:00:00.000");
    EXPECT_EQ(playheadX(), 0);
    EXPECT_NEAR(playerSeconds(), 0.0, 0.05);
    expectNoMoreTicks();
    // The bar pauses the player itself; the owner is never told.
    EXPECT_EQ(count("playVideo"), 4);
    EXPECT_EQ(count("pauseVideo"), 0);
}

TEST_F(VideoControlBarTest, SliderReportsItsValueAndTheSoundSwitchAppliesIt) {
    ASSERT_NO_FATAL_FAILURE(loadClip());
    answers = {"adjustAudio:"};
    player->setVolume(0.7f);
    VolumeSlider* slider = bar->m_ctrlVolumn();
    slider->setValue(50);
    slider->triggerAction(QAbstractSlider::SliderSingleStepSub);
    ASSERT_EQ(volumes.size(), 2u);
    EXPECT_FLOAT_EQ(volumes.back(), slider->floatValue());
    EXPECT_EQ(calls.size(), 2u);
    EXPECT_FLOAT_EQ(player->volume(), 0.7f);

    answers.clear();
    slider->setValue(40);
    EXPECT_EQ(calls.size(), 2u);
    bar->setVolumnOn(true);
    EXPECT_FLOAT_EQ(player->volume(), 0.4f);
    bar->setVolumnOn(false);
    EXPECT_FLOAT_EQ(player->volume(), 0.0f);
    EXPECT_FALSE(playing());
    bar->playVideoWithVolumn(true);
    EXPECT_FLOAT_EQ(player->volume(), 0.4f);
    EXPECT_FLOAT_EQ(player->rate(), 1.0f);
    bar->playVideoWithVolumn(false);
    EXPECT_FLOAT_EQ(player->volume(), 0.0f);
}

// The keyboard's moves of a paused video, as the main window makes them, on the 30 fps clip.
TEST_F(VideoControlBarTest, EveryFrameStepCountsHomeIsFrameZeroAndPlayFromTheEndStartsOver) {
    ASSERT_NO_FATAL_FAILURE(loadClip());
    answers = {"playVideo", "monitorVideo"};
    const auto frame = [](int64_t n) { return MediaTime::make(n, 30); };
    // Settled: the player and the label agree, and stay so.
    const auto settlesOn = [&](MediaTime expected) {
        const bool reached = waitUntil([&] {
            return player->currentTime() == expected &&
                   positionText() == timeTextWithMilliseconds(expected);
        });
        spinEvents(150ms);
        return reached && player->currentTime() == expected;
    };
    bar->seekToFrame(frame(45));
    ASSERT_TRUE(settlesOn(frame(45)));
    struct Case {
        const char* name;
        bool forward;
        int presses;
        std::chrono::milliseconds apart;
        int64_t to;
    };
    for (const Case& c : {Case{"five back, 50 ms apart", false, 5, 50ms, 40},
                          Case{"ten on, at key-repeat speed", true, 10, 30ms, 50},
                          Case{"three back at once", false, 3, 0ms, 47}}) {
        SCOPED_TRACE(c.name);
        for (int i = 0; i < c.presses; ++i) {
            bar->stepFrame(c.forward);
            spinEvents(c.apart);
        }
        EXPECT_TRUE(settlesOn(frame(c.to))) << playerSeconds();
        EXPECT_FALSE(playing());
    }

    // End, then Home: the very start, however far the sound ran past the last picture.
    bar->seekBy(bar->endTime());
    EXPECT_TRUE(settlesOn(bar->endTime()));
    bar->seekBy(MediaTime::zero() - bar->endTime());
    EXPECT_TRUE(settlesOn(MediaTime::make(0, bar->endTime().timescale)));
    EXPECT_EQ(bar->m_lblStartTime()->toolTip(), "00:00:00.000, frame 0");

    // From the end, play starts over, as after playing to the end.
    bar->seekBy(bar->endTime());
    ASSERT_TRUE(settlesOn(bar->endTime()));
    pressPlay();
    ASSERT_TRUE(waitUntil([&] { return playing() && playerSeconds() > 0.1; }, 2s));
    EXPECT_LT(playerSeconds(), 5.0);
    EXPECT_EQ(state(), "on playing monitored");
}

} // namespace
} // namespace lento::test
