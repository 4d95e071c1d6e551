#include "controls/PlaybackTransport.h"
#include "support/EditorTesting.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace lento::test {
namespace {

using namespace std::chrono_literals;

// A transport with a ready headless player of the 10 s, 30 fps clip, and what it signals.
class PlaybackTransportTest : public ::testing::Test {
protected:
    void SetUp() override {
        connect();
        player = std::make_unique<Player>(QString::fromStdString(fixture("clip.mp4")));
        ASSERT_TRUE(waitUntil([&] { return player->status() == Player::Status::ReadyToPlay; }));
    }
    void connect() {
        QObject::connect(&transport, &PlaybackTransport::positionChanged,
                         [this](MediaTime time) { positions.push_back(time); });
        QObject::connect(&transport, &PlaybackTransport::monitorTick, [this] { ++ticks; });
    }
    void attach() {
        transport.setPlayer(player.get());
        transport.setEndTime(player->currentItem()->duration());
    }
    double playerSeconds() const { return player->currentTime().seconds(); }
    // The player shows `expected`, as the last position said, and stays there.
    bool settlesOn(MediaTime expected) {
        const bool reached = waitUntil([&] {
            return player->currentTime() == expected && !positions.empty() &&
                   positions.back() == expected;
        });
        spinEvents(150ms);
        return reached && player->currentTime() == expected;
    }

    Capture capture;
    PlaybackTransport transport;
    std::unique_ptr<Player> player;
    std::vector<MediaTime> positions;
    int ticks = 0;
};

TEST_F(PlaybackTransportTest, TheRateWaitsForTheNextStartPauseAndStopEndTheMonitor) {
    // Without a player only the rate is kept.
    transport.setRate(0.5f);
    transport.play(1.0f);
    transport.seek(MediaTime::make(2, 1));
    transport.pause();
    transport.stop();
    EXPECT_FLOAT_EQ(transport.rate(), 0.5f);
    EXPECT_TRUE(positions.empty());

    attach();
    player->setVolume(0.7f);
    transport.setRate(0.25f); // paused: for the next start
    EXPECT_FALSE(transport.isPlaying());
    transport.play(0.4f);
    EXPECT_FLOAT_EQ(player->rate(), 0.25f);
    EXPECT_FLOAT_EQ(player->volume(), 0.4f);
    transport.setRate(1.0f); // at once while playing
    EXPECT_FLOAT_EQ(player->rate(), 1.0f);
    transport.startMonitor();
    QTimer* monitor = transport.monitorTimer();
    ASSERT_NE(monitor, nullptr);
    EXPECT_EQ(monitor->interval(), 100);
    ASSERT_TRUE(waitUntil([&] { return ticks >= 3; }, 2s));

    // A pause says where it stopped; a stop rewinds.
    positions.clear();
    transport.pause();
    EXPECT_EQ(transport.monitorTimer(), nullptr);
    EXPECT_FALSE(transport.isPlaying());
    ASSERT_FALSE(positions.empty());
    EXPECT_GT(positions.front().seconds(), 0.0);
    const int ticked = ticks;
    spinEvents(300ms);
    EXPECT_EQ(ticks, ticked);
    transport.startMonitor();
    transport.play(1.0f);
    transport.stop();
    EXPECT_EQ(transport.monitorTimer(), nullptr);
    EXPECT_EQ(positions.back(), MediaTime::zero());
    EXPECT_TRUE(
        waitUntil([&] { return std::abs(playerSeconds()) < 0.05 && !transport.isPlaying(); }));
    // A seek says its time at once.
    transport.seek(MediaTime::make(3, 1));
    EXPECT_EQ(positions.back(), MediaTime::make(3, 1));
    EXPECT_TRUE(waitUntil([&] { return std::abs(playerSeconds() - 3.0) < 0.1; }));
}

// The keyboard's moves of a paused video, as the main window makes them through the bar.
TEST_F(PlaybackTransportTest, EveryFrameStepCountsHomeIsFrameZeroAndPlayFromTheEndStartsOver) {
    attach();
    const auto frame = [](int64_t n) { return MediaTime::make(n, 30); };
    transport.seek(frame(45));
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
            transport.stepFrame(c.forward);
            spinEvents(c.apart);
        }
        EXPECT_TRUE(settlesOn(frame(c.to))) << playerSeconds();
        EXPECT_FALSE(transport.isPlaying());
    }

    // End, then Home: the very start, however far the sound ran past the last picture.
    const MediaTime end = transport.endTime();
    transport.seekBy(end);
    EXPECT_TRUE(settlesOn(end));
    transport.seekBy(MediaTime::zero() - end);
    EXPECT_TRUE(settlesOn(MediaTime::make(0, end.timescale)));

    // From the end, play starts over, as after playing to the end; playing, the keys do nothing.
    transport.seekBy(end);
    ASSERT_TRUE(settlesOn(end));
    transport.setRate(1.0f);
    transport.play(1.0f);
    ASSERT_TRUE(waitUntil([&] { return transport.isPlaying() && playerSeconds() > 0.1; }, 2s));
    EXPECT_LT(playerSeconds(), 5.0);
    positions.clear();
    transport.seekBy(end);
    transport.stepFrame(false);
    EXPECT_TRUE(positions.empty());
}

} // namespace
} // namespace lento::test
