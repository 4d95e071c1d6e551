#include "controls/VideoControlBar.h"
#include "app/Log.h"
#include "support/MediaProbe.h"
#include "support/QtApp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace lento {
namespace {

using namespace std::chrono_literals;

// An owner that answers only the reports it is given but records every report it receives, so
// that a report sent without asking shows up.
class FakeOwner : public VideoControlBarDelegate {
public:
    explicit FakeOwner(std::set<std::string, std::less<>> answers = {})
        : m_answers(std::move(answers)) {}

    bool respondsToSelector(std::string_view selector) const override {
        return m_answers.contains(selector);
    }
    void playVideo() override {
        calls.emplace_back("playVideo");
        if (onPlayVideo) {
            onPlayVideo();
        }
    }
    void pauseVideo() override { calls.emplace_back("pauseVideo"); }
    void adjustAudio(float volume) override {
        calls.emplace_back("adjustAudio:");
        volumes.push_back(volume);
    }
    MediaTime monitorVideo() override {
        calls.emplace_back("monitorVideo");
        return position;
    }

    int count(const std::string& selector) const {
        return static_cast<int>(std::count(calls.begin(), calls.end(), selector));
    }

    std::vector<std::string> calls;
    std::vector<float> volumes;
    MediaTime position = MediaTime::zero();
    std::function<void()> onPlayVideo;

private:
    std::set<std::string, std::less<>> m_answers;
};

// Collects the diagnostic lines that start with a prefix (the player writes its own).
class LogCapture {
public:
    explicit LogCapture(std::string prefix) : m_prefix(std::move(prefix)) {
        setLogSink([this](const std::string& line) {
            std::lock_guard lock(m_mutex);
            if (line.starts_with(m_prefix)) {
                m_lines.push_back(line);
            }
        });
    }
    ~LogCapture() { setLogSink({}); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }

private:
    std::string m_prefix;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

class VideoControlBarTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::ensureQtApp();
        bar = std::make_unique<VideoControlBar>();
    }

    void answer(std::set<std::string, std::less<>> selectors) {
        owner = std::make_unique<FakeOwner>(std::move(selectors));
        bar->setDelegate(owner.get());
    }

    void makeReadyPlayer() {
        Player::setHeadless(true);
        player = std::make_unique<Player>(QString::fromStdString(test::fixture("clip.mp4")));
        bar->setM_Player(player.get());
        ASSERT_TRUE(test::waitUntil([&] { return player->status() != Player::Status::Unknown; }));
        ASSERT_EQ(player->status(), Player::Status::ReadyToPlay);
    }

    // What an editor does with the bar for a new file, up to the player being ready.
    void loadClip() {
        ASSERT_NO_FATAL_FAILURE(makeReadyPlayer());
        bar->setPlayRate(1.0f);
        bar->setVideoEndTime(player->currentItem()->duration());
        bar->stopVideo();
    }

    // The owner's answer to playVideo, as both editors give it.
    void startWithSound() {
        owner->onPlayVideo = [this] { bar->playVideoWithVolumn(true); };
    }

    // As the user clicks: the button changes state, then reports.
    void pressPlay() { bar->m_btnPlay()->click(); }

    int trackWidth() const { return bar->m_videoTrack()->width(); }
    int playheadX() const { return bar->m_trackSeeker()->x(); }
    QString positionText() const { return bar->m_lblStartTime()->text(); }
    bool playing() const { return player->rate() != 0.0f; }

    std::unique_ptr<FakeOwner> owner = std::make_unique<FakeOwner>();
    std::unique_ptr<Player> player;
    std::unique_ptr<VideoControlBar> bar;
};

// --- The time text ------------------------------------------------------------------------------

TEST(TimeText, DropsTheFractionOfASecond) {
    EXPECT_EQ(timeText(MediaTime::make(37259, 10)), "01:02:05");
    EXPECT_EQ(timeText(MediaTime::make(3725 * 600 + 599, 600)), "01:02:05");
    EXPECT_EQ(timeText(MediaTime::make(999, 1000)), "00:00:00");
    EXPECT_EQ(timeText(MediaTime::invalid()), "00:00:00");
}

TEST(TimeText, NegativeTimesShowTheTimeBeforeMidnight) {
    EXPECT_EQ(timeText(MediaTime::make(-1, 1)), "23:59:59");
    EXPECT_EQ(timeText(MediaTime::make(-1, 2)), "23:59:59");
    EXPECT_EQ(timeText(MediaTime::make(-3601, 1)), "22:59:59");
}

TEST(TimeText, ADayWrapsToMidnight) {
    EXPECT_EQ(timeText(MediaTime::make(86400, 1)), "00:00:00");
    EXPECT_EQ(timeText(MediaTime::make(90061, 1)), "01:01:01");
    EXPECT_EQ(timeText(MediaTime::make(int64_t{86400} * 400 + 3725, 1)), "01:02:05");
}

// --- The interface file and the marker layout ---------------------------------------------------

TEST_F(VideoControlBarTest, TrackAndMarkersShareTheSeekersCoordinates) {
    for (QWidget* view :
         std::initializer_list<QWidget*>{bar->m_videoTrack(), bar->m_leftHandle(),
                                         bar->m_rightHandle(), bar->m_trackSeeker()}) {
        EXPECT_EQ(view->parentWidget(), bar->m_videoSeeker()) << view->objectName().toStdString();
        // The seeker must get every press on the track, also on a marker.
        EXPECT_TRUE(view->testAttribute(Qt::WA_TransparentForMouseEvents));
    }
    const QRect track = bar->m_videoTrack()->geometry();
    EXPECT_EQ(track.x(), 6);
    EXPECT_EQ(bar->m_trackSeeker()->width(), 12);
    EXPECT_EQ(bar->m_leftHandle()->x() + bar->m_leftHandle()->width() / 2, track.x());
    EXPECT_EQ(bar->m_rightHandle()->x() + bar->m_rightHandle()->width() / 2, track.right() + 1);

    // Placed from a time, the playhead's centre runs from the track's start to its end.
    bar->setVideoEndTime(MediaTime::make(10, 1));
    const int halfMarker = bar->m_trackSeeker()->width() / 2;

    bar->setSeekerPosition(MediaTime::zero());
    EXPECT_EQ(playheadX() + halfMarker, track.x());
    bar->setSeekerPosition(MediaTime::make(10, 1));
    EXPECT_EQ(playheadX() + halfMarker, track.right() + 1);
}

// --- Without a player ---------------------------------------------------------------------------

TEST_F(VideoControlBarTest, WithoutAPlayerOnlyTheRateIsKept) {
    bar->setVideoEndTime(MediaTime::make(10, 1));
    bar->setVideoStartTime(MediaTime::make(42, 1));
    bar->setSeekerPosition(MediaTime::make(5, 1));
    const int x = playheadX();
    bar->m_btnPlay()->setChecked(true);

    bar->stopVideo();
    bar->seekToFrame(MediaTime::make(2, 1));
    bar->pauseVideo();
    bar->setVolumnOn(true);
    bar->playVideoWithVolumn(true);
    bar->setPlayRate(0.5f);

    EXPECT_TRUE(bar->m_btnPlay()->isChecked());
    EXPECT_EQ(positionText(), "00:00:42");
    EXPECT_EQ(playheadX(), x);
    EXPECT_FLOAT_EQ(bar->curRate(), 0.5f);
}

// --- The play toggle ----------------------------------------------------------------------------

TEST_F(VideoControlBarTest, PlayWithAnOwnerThatCannotPlayLeavesTheButtonOnAndNothingRuns) {
    ASSERT_NO_FATAL_FAILURE(loadClip());
    answer({});
    LogCapture log("play button");

    pressPlay();
    EXPECT_TRUE(bar->m_btnPlay()->isChecked());
    EXPECT_EQ(bar->monitorVideoTimer(), nullptr);
    test::spinEvents(200ms);
    EXPECT_FALSE(playing());

    pressPlay();
    EXPECT_FALSE(bar->m_btnPlay()->isChecked());
    EXPECT_FALSE(playing());
    EXPECT_TRUE(owner->calls.empty());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"play button : 1", "play button : 0"}));
}

TEST_F(VideoControlBarTest, PlayAsksTheOwnerAndStartsTheMonitor) {
    ASSERT_NO_FATAL_FAILURE(loadClip());
    answer({"playVideo", "monitorVideo"});
    startWithSound();
    owner->position = MediaTime::make(3, 1);

    pressPlay();
    EXPECT_EQ(owner->count("playVideo"), 1);
    EXPECT_FLOAT_EQ(player->rate(), 1.0f);
    QTimer* timer = bar->monitorVideoTimer();
    ASSERT_NE(timer, nullptr);
    EXPECT_TRUE(timer->isActive());
    EXPECT_FALSE(timer->isSingleShot());
    EXPECT_EQ(timer->interval(), 100);
    ASSERT_TRUE(test::waitUntil([&] { return owner->count("monitorVideo") >= 3; }, 2s));
    EXPECT_EQ(positionText(), "00:00:03");

    pressPlay();
    EXPECT_FALSE(playing());
    EXPECT_EQ(bar->monitorVideoTimer(), nullptr);
    const int ticks = owner->count("monitorVideo");
    test::spinEvents(300ms);
    EXPECT_EQ(owner->count("monitorVideo"), ticks);
}

TEST_F(VideoControlBarTest, OwnerPauseKeepsTheButtonOnUntilTheNextClick) {
    ASSERT_NO_FATAL_FAILURE(loadClip());
    answer({"playVideo", "pauseVideo"});
    startWithSound();
    pressPlay();
    ASSERT_TRUE(playing());

    bar->pauseVideo();
    EXPECT_TRUE(bar->m_btnPlay()->isChecked());
    EXPECT_FALSE(playing());
    EXPECT_EQ(bar->monitorVideoTimer(), nullptr);

    pressPlay(); // off: another pause
    EXPECT_FALSE(bar->m_btnPlay()->isChecked());
    EXPECT_FALSE(playing());
    EXPECT_EQ(owner->count("playVideo"), 1);

    pressPlay();
    EXPECT_EQ(owner->count("playVideo"), 2);
    EXPECT_TRUE(playing());
    EXPECT_NE(bar->monitorVideoTimer(), nullptr);
    // The bar pauses the player itself; the owner is never told.
    EXPECT_EQ(owner->count("pauseVideo"), 0);
}

// --- The rate -----------------------------------------------------------------------------------

TEST_F(VideoControlBarTest, RateWaitsForTheNextStartUnlessPlaying) {
    ASSERT_NO_FATAL_FAILURE(loadClip());
    answer({"playVideo"});
    startWithSound();

    bar->setPlayRate(0.5f);
    test::spinEvents(100ms);
    EXPECT_FALSE(playing());

    pressPlay();
    EXPECT_FLOAT_EQ(player->rate(), 0.5f);

    // While playing, a new rate applies at once.
    QTimer* timer = bar->monitorVideoTimer();

    bar->setPlayRate(0.25f);
    EXPECT_FLOAT_EQ(player->rate(), 0.25f);
    EXPECT_TRUE(bar->m_btnPlay()->isChecked());
    EXPECT_EQ(bar->monitorVideoTimer(), timer);
}

TEST_F(VideoControlBarTest, BeforeAnyRateIsGivenPlayLeavesThePlayerStill) {
    answer({"playVideo"});
    startWithSound();
    ASSERT_NO_FATAL_FAILURE(makeReadyPlayer());

    pressPlay();
    EXPECT_EQ(owner->count("playVideo"), 1);
    EXPECT_NE(bar->monitorVideoTimer(), nullptr);
    EXPECT_FALSE(playing());
}

// --- Stop and seek ------------------------------------------------------------------------------

TEST_F(VideoControlBarTest, StopRewindsAndSwitchesEverythingOff) {
    ASSERT_NO_FATAL_FAILURE(loadClip());
    answer({"playVideo", "monitorVideo"});
    startWithSound();
    owner->position = MediaTime::make(4, 1);
    pressPlay();
    ASSERT_TRUE(test::waitUntil([&] { return owner->count("monitorVideo") >= 1; }, 2s));
    ASSERT_NE(playheadX(), 0);

    bar->stopVideo();
    EXPECT_FALSE(bar->m_btnPlay()->isChecked());
    EXPECT_EQ(positionText(), "00:00:00");
    EXPECT_EQ(playheadX(), 0);
    EXPECT_EQ(bar->monitorVideoTimer(), nullptr);
    EXPECT_FALSE(playing());
    EXPECT_NEAR(player->currentTime().seconds(), 0.0, 0.05);
    const int ticks = owner->count("monitorVideo");
    test::spinEvents(300ms);
    EXPECT_EQ(owner->count("monitorVideo"), ticks);
}

TEST_F(VideoControlBarTest, SeekShowsTheTimeBeforeThePlayerGetsThere) {
    ASSERT_NO_FATAL_FAILURE(loadClip());
    const double duration = bar->endTime().seconds();

    bar->seekToFrame(MediaTime::make(3, 1));
    EXPECT_EQ(positionText(), "00:00:03");
    EXPECT_EQ(playheadX(), std::lround(3.0 * (trackWidth() / duration)));
    EXPECT_TRUE(
        test::waitUntil([&] { return std::abs(player->currentTime().seconds() - 3.0) < 0.1; }));
    EXPECT_FALSE(playing());
}

// --- Duration and the monitor tick --------------------------------------------------------------

TEST_F(VideoControlBarTest, DurationShowsItsTextAndResetsThePositionLabel) {
    bar->setVideoEndTime(MediaTime::make(10, 1));
    bar->setSeekerPosition(MediaTime::make(5, 1));
    const int x = playheadX();
    bar->setVideoStartTime(MediaTime::make(42, 1));
    LogCapture log("");

    bar->setVideoEndTime(MediaTime::make(37259, 10));
    EXPECT_EQ(bar->m_lblEndTime()->text(), "01:02:05");
    EXPECT_EQ(positionText(), "00:00:00");
    EXPECT_EQ(playheadX(), x);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"3725.900000l"});
}

TEST_F(VideoControlBarTest, MonitorTickPlacesThePlayheadInProportion) {
    bar->setVideoEndTime(MediaTime::make(8, 1));
    owner->position = MediaTime::make(5, 1);
    bar->monitorVideoPlaying(); // the owner does not answer
    EXPECT_TRUE(owner->calls.empty());
    EXPECT_EQ(playheadX(), 0);

    answer({"monitorVideo"});
    const double step = trackWidth() / 8.0;
    owner->position = MediaTime::make(5, 2);
    bar->monitorVideoPlaying();
    EXPECT_EQ(positionText(), "00:00:02");
    EXPECT_EQ(playheadX(), std::lround(2.5 * step));

    // Beyond the duration the playhead leaves the track; nothing is clamped.
    owner->position = MediaTime::make(12, 1);
    bar->monitorVideoPlaying();
    EXPECT_EQ(positionText(), "00:00:12");
    EXPECT_EQ(playheadX(), std::lround(12 * step));
    EXPECT_GT(playheadX(), trackWidth());
}

TEST_F(VideoControlBarTest, WithoutAnAxisThePlayheadStaysAtTheTrackStart) {
    bar->setSeekerPosition(MediaTime::make(5, 1)); // no duration yet
    EXPECT_EQ(playheadX(), 0);

    bar->setVideoEndTime(MediaTime::make(10, 1));
    bar->setSeekerPosition(MediaTime::make(5, 1));
    ASSERT_GT(playheadX(), 0);
    bar->setVideoEndTime(MediaTime::zero());
    bar->setSeekerPosition(MediaTime::make(5, 1));
    EXPECT_EQ(playheadX(), 0);

    bar->setVideoEndTime(MediaTime::make(10, 1));
    bar->m_videoTrack()->resize(0, bar->m_videoTrack()->height());
    bar->setSeekerPosition(MediaTime::make(5, 1));
    EXPECT_EQ(playheadX(), 0);
}

// --- Sound --------------------------------------------------------------------------------------

TEST_F(VideoControlBarTest, VolumeSliderOnlyReportsItsValue) {
    ASSERT_NO_FATAL_FAILURE(loadClip());
    answer({"adjustAudio:"});
    player->setVolume(0.7f);
    VolumeSlider* slider = bar->m_ctrlVolumn();

    slider->setValue(50);
    slider->triggerAction(QAbstractSlider::SliderSingleStepSub);
    ASSERT_EQ(owner->volumes.size(), 2u);
    EXPECT_FLOAT_EQ(owner->volumes.back(), slider->floatValue());
    EXPECT_LT(owner->volumes.back(), owner->volumes.front());
    EXPECT_EQ(owner->calls.size(), 2u);
    EXPECT_FLOAT_EQ(player->volume(), 0.7f);
    EXPECT_FALSE(playing());

    answer({});
    slider->setValue(20);
    EXPECT_TRUE(owner->calls.empty());
}

TEST_F(VideoControlBarTest, SoundSwitchAppliesTheSlidersValue) {
    ASSERT_NO_FATAL_FAILURE(loadClip());
    VolumeSlider* slider = bar->m_ctrlVolumn();
    slider->setValue(slider->maximum());
    bar->setVolumnOn(true);
    EXPECT_FLOAT_EQ(player->volume(), 1.0f);
    slider->setValue(slider->minimum());
    bar->setVolumnOn(true);
    EXPECT_FLOAT_EQ(player->volume(), 0.0f);

    slider->setValue((slider->minimum() + slider->maximum()) * 2 / 5);
    const float sliderVolume = slider->floatValue();

    bar->setVolumnOn(true);
    EXPECT_FLOAT_EQ(player->volume(), sliderVolume);
    bar->setVolumnOn(false);
    EXPECT_FLOAT_EQ(player->volume(), 0.0f);
    EXPECT_FALSE(playing());

    bar->playVideoWithVolumn(true);
    EXPECT_FLOAT_EQ(player->volume(), sliderVolume);
    EXPECT_FLOAT_EQ(player->rate(), 1.0f);
    bar->playVideoWithVolumn(false);
    EXPECT_FLOAT_EQ(player->volume(), 0.0f);
}

} // namespace
} // namespace lento
