#include "media/Player.h"
#include "support/ExportTesting.h"
#include "support/MediaProbe.h"
#include "support/QtApp.h"

#include <mpv/client.h>

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

namespace lento {
namespace {

using namespace std::chrono_literals;
using test::fixture;
using test::spinEvents;
using test::waitUntil;

class PlayerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        test::ensureQtApp();
        Player::setHeadless(true);
    }
};

std::unique_ptr<Player> openPlayer(const std::string& name) {
    return std::make_unique<Player>(QString::fromStdString(fixture(name)));
}
// A player of `name` that has become ready.
std::unique_ptr<Player> openReady(const std::string& name) {
    auto player = openPlayer(name);
    EXPECT_TRUE(waitUntil([&] { return player->status() == Player::Status::ReadyToPlay; })) << name;
    return player;
}
double seconds(const Player& player) {
    return player.currentTime().seconds();
}
MediaTime at(double seconds, const Player& player) {
    return MediaTime::makeWithSeconds(seconds, player.currentItem()->duration().timescale);
}

// The lowest and highest position seen while the events run for `wall`, or until the position
// passes `past`.
std::pair<double, double> positionsOver(const Player& player, std::chrono::milliseconds wall,
                                        double past = INFINITY) {
    std::pair<double, double> range{seconds(player), seconds(player)};
    waitUntil(
        [&] {
            range = {std::min(range.first, seconds(player)),
                     std::max(range.second, seconds(player))};
            return range.second > past;
        },
        wall);
    return range;
}

// --- What the player plays to: a headless player can write its sound to a file, as bare
// 48 kHz mono floats. ---

constexpr int kSampleRate = 48000;

size_t capturedSamples(const std::string& path) {
    std::error_code error;
    const auto bytes = std::filesystem::file_size(path, error);
    return error ? 0 : size_t(bytes / sizeof(float));
}

// Plays from the clip's start at `rate` until the capture holds `soundSeconds` more sound, then
// pauses; returns the capture's length once it has stopped growing. The seek also drops what
// the output still held.
size_t captureFromStart(Player& player, float rate, const std::string& path, double soundSeconds) {
    const size_t wanted = capturedSamples(path) + size_t(soundSeconds * kSampleRate);
    player.seek(MediaTime::make(0, 1));
    player.setRate(rate);
    EXPECT_TRUE(waitUntil([&] { return capturedSamples(path) >= wanted; }, 60s));
    player.pause();
    size_t before = capturedSamples(path);
    for (;;) {
        spinEvents(100ms);
        const size_t now = capturedSamples(path);
        if (now == before) {
            return now;
        }
        before = now;
    }
}

std::vector<float> capturedSound(const std::string& path) {
    const std::string bytes = test::readFileBytes(path);
    std::vector<float> samples(bytes.size() / sizeof(float));
    if (!samples.empty()) {
        std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    }
    return samples;
}

// The level and the frequency (from its zero crossings) of the tone in the `duration` seconds
// of sound before sample `end` (by default the end).
struct Tone {
    double level = 0, frequency = 0;
};
Tone toneBefore(const std::vector<float>& sound, double duration, size_t end = SIZE_MAX) {
    end = std::min(end, sound.size());
    const size_t count = std::min(end, size_t(duration * kSampleRate));
    double sum = 0;
    int crossings = 0;
    for (size_t i = end - count; i < end; ++i) {
        sum += double(sound[i]) * sound[i];
        crossings += i > end - count && (sound[i - 1] < 0) != (sound[i] < 0);
    }
    return count == 0 ? Tone{}
                      : Tone{std::sqrt(sum / count), crossings / 2.0 / count * kSampleRate};
}

TEST_F(PlayerTest, PlayableFilesBecomeReadyOnceAndOthersFail) {
    auto player = openPlayer("clip.mp4");
    EXPECT_EQ(player->status(), Player::Status::Unknown);
    QSignalSpy changes(player.get(), &Player::statusChanged);
    ASSERT_TRUE(changes.wait(10000));
    spinEvents(300ms);
    ASSERT_EQ(changes.count(), 1);
    EXPECT_EQ(changes.at(0).at(0).value<Player::Status>(), Player::Status::ReadyToPlay);
    const MediaTime duration = player->currentItem()->duration();
    EXPECT_NEAR(duration.seconds(), 10.0, 0.05);
    // Times come in the asset's timescale.
    EXPECT_EQ(player->currentTime(), MediaTime::make(0, duration.timescale));
    EXPECT_EQ(player->rate(), 0.0f);

    for (const char* name : {"silent.mov", "audio.m4a"}) {
        auto other = openReady(name);
        other->play();
        EXPECT_TRUE(waitUntil([&] { return seconds(*other) > 0.3; }, 5s)) << name;
    }
    for (const char* name : {"text.mov", "empty.mp4", "missing.mp4"}) {
        SCOPED_TRACE(name);
        auto failing = openPlayer(name);
        QSignalSpy failed(failing.get(), &Player::statusChanged);
        ASSERT_TRUE(failed.wait(10000));
        // Failure is final: mpv's own verdict does not announce it twice.
        spinEvents(300ms);
        ASSERT_EQ(failed.count(), 1);
        EXPECT_EQ(failed.at(0).at(0).value<Player::Status>(), Player::Status::Failed);
        EXPECT_EQ(failing->status(), Player::Status::Failed);
        failing->play(); // harmless
    }
}

TEST_F(PlayerTest, RateAndSeekAnswerAtOnceAndMpvsOlderReportsDoNotShowThrough) {
    // Asked before ready: mpv's first reports say paused at the start, and arrive after the
    // requests.
    auto player = openPlayer("clip.mp4");
    player->seek(MediaTime::make(5, 1));
    player->setRate(0.5f);
    bool rateHeld = true;
    double lowest = 5.0;
    EXPECT_TRUE(waitUntil([&] {
        rateHeld = rateHeld && player->rate() == 0.5f;
        lowest = std::min(lowest, seconds(*player));
        return seconds(*player) > 5.1;
    }));
    EXPECT_TRUE(rateHeld);
    EXPECT_EQ(player->status(), Player::Status::ReadyToPlay);
    EXPECT_EQ(lowest, 5.0);

    player->setRate(0.0f);
    EXPECT_EQ(player->rate(), 0.0f);
    player->seek(at(3.0, *player));
    EXPECT_EQ(player->currentTime(), at(3.0, *player));
    EXPECT_EQ(positionsOver(*player, 400ms), std::make_pair(3.0, 3.0));
    // What mpv is asked to play at, request by request.
    std::vector<float> requested;
    QObject::connect(player.get(), &Player::rateRequested,
                     [&requested](float rate) { requested.push_back(rate); });
    player->play();
    EXPECT_EQ(player->rate(), 1.0f);
    for (double target : {6.0, 1.0}) {
        SCOPED_TRACE(target);
        player->seek(at(target, *player));
        EXPECT_EQ(player->currentTime(), at(target, *player));
        const auto [lowest, highest] = positionsOver(*player, 10s, target + 0.2);
        EXPECT_GE(lowest, target - 1e-6);
        EXPECT_GT(highest, target + 0.2);
        EXPECT_LT(highest, target + 1.0);
    }
    player->pause();
    player->play();
    player->setRate(0.25f);
    player->setRate(-1.0f); // pauses, asks for no rate
    EXPECT_EQ(requested, (std::vector<float>{1.0f, 1.0f, 0.25f}));
    spinEvents(300ms);
    EXPECT_EQ(player->rate(), 0.0f);
    const auto [still, stillAfter] = positionsOver(*player, 300ms);
    EXPECT_EQ(still, stillAfter);
}

TEST_F(PlayerTest, PlayingToTheEndStopsThereOnceAndKeepsTheFileOpen) {
    auto player = openReady("clip.mp4");
    const MediaTime duration = player->currentItem()->duration();
    QSignalSpy ends(player.get(), &Player::didPlayToEnd);
    player->seek(at(9.5, *player));
    player->play();
    ASSERT_TRUE(ends.wait(10000));
    spinEvents(700ms);
    EXPECT_EQ(ends.count(), 1);
    EXPECT_EQ(player->rate(), 0.0f);
    EXPECT_EQ(player->currentTime(), duration);
    EXPECT_EQ(player->status(), Player::Status::ReadyToPlay);

    // Playing on from the end ends again at once.
    player->play();
    ASSERT_TRUE(ends.wait(10000));
    EXPECT_EQ(ends.count(), 2);
    EXPECT_EQ(player->rate(), 0.0f);

    // Still open: it goes back, plays on from there, and tells of the next end too.
    player->seek(at(9.0, *player));
    player->play();
    const auto [lowest, highest] = positionsOver(*player, 400ms);
    EXPECT_GE(lowest, 9.0);
    EXPECT_LT(highest, 9.7);
    EXPECT_EQ(ends.count(), 2);
    ASSERT_TRUE(ends.wait(10000));
    EXPECT_EQ(ends.count(), 3);
    EXPECT_EQ(player->currentTime(), duration);
}

TEST_F(PlayerTest, SoundKeepsItsPitchUnlessVarispeedAndItsLevelFollowsTheVolumeLinearly) {
    test::TestFolder folder;
    const std::string path = folder / "sound";
    Player::setHeadlessSoundFile(path);
    auto player = openReady("clip.mp4");
    Player::setHeadlessSoundFile({});
    EXPECT_EQ(player->volume(), 1.0f);
    player->setVolume(2.0f);
    EXPECT_EQ(player->volume(), 1.0f);
    player->setVolume(-1.0f);
    EXPECT_EQ(player->volume(), 0.0f);
    player->setVolume(0.25f);
    EXPECT_EQ(player->volume(), 0.25f);

    // Kept from the start, then varispeed, then kept again; each from the clip's start.
    const size_t kept = captureFromStart(*player, 0.1f, path, 3.0);
    player->setAudioTimePitchAlgorithm(PlayerItem::PitchAlgorithm::Varispeed);
    const size_t varispeed = captureFromStart(*player, 0.5f, path, 3.0);
    player->setAudioTimePitchAlgorithm(PlayerItem::PitchAlgorithm::Default);
    const size_t keptAgain = captureFromStart(*player, 0.5f, path, 2.0);

    const std::vector<float> sound = capturedSound(path);
    const double full = test::soundRms(test::fixture("clip.mp4"), 0.5, 1.0);
    ASSERT_GT(full, 0.05);
    // mpv fills its output ahead, at 1x until the rate is set: measure the last second at 0.1x,
    // where the 440 Hz tone keeps its level throughout, not mpv's silence below 0.25x.
    for (const size_t end : {kept - kSampleRate / 2, kept}) {
        const Tone tone = toneBefore(sound, 0.5, end);
        EXPECT_GT(tone.level, full / 8);
        EXPECT_NEAR(tone.frequency, 440.0, 25.0);
    }
    // Varispeed only resamples: the level is the source's scaled by the gain itself, not by
    // mpv's cubic volume scale.
    const Tone slow = toneBefore(sound, 0.8, varispeed);
    EXPECT_NEAR(slow.level / full, 0.25, 0.03);
    EXPECT_NEAR(slow.frequency, 220.0, 10.0);
    const Tone again = toneBefore(sound, 1.0, keptAgain);
    EXPECT_GT(again.level, full / 8);
    EXPECT_NEAR(again.frequency, 440.0, 15.0);
}

TEST_F(PlayerTest, DestroyingAPlayerAtAnyMomentIsSafe) {
    // Before it is ready, right after a seek, while playing, at the end.
    openPlayer("clip.mp4").reset();
    for (double from : {4.0, 0.0, 9.9}) {
        auto player = openReady("clip.mp4");
        player->play();
        player->seek(at(from, *player));
        spinEvents(from == 4.0 ? 0ms : 400ms);
    }
    // A slot may delete the player that signals.
    Player* player = openPlayer("clip.mp4").release();
    bool deleted = false;
    QObject::connect(player, &Player::statusChanged, [&] {
        delete player;
        deleted = true;
    });
    EXPECT_TRUE(waitUntil([&] { return deleted; }));
    // Events queued for destroyed players go nowhere.
    spinEvents(300ms);
}

} // namespace
} // namespace lento
