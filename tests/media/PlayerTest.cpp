#include "media/Player.h"
#include "media/PlayerView.h"
#include "support/MediaProbe.h"
#include "support/QtApp.h"

#include <mpv/client.h>

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

namespace lento {
namespace {

using namespace std::chrono_literals;
using test::fixture;
using test::spinEvents;
using test::waitUntil;

constexpr int kSignalTimeoutMs = 10000;

class PlayerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        test::ensureQtApp();
        Player::setHeadless(true);
    }

    static std::unique_ptr<Player> openPlayer(const std::string& name) {
        return std::make_unique<Player>(QString::fromStdString(fixture(name)));
    }

    // A player of `name` that has become ready.
    static std::unique_ptr<Player> openReady(const std::string& name) {
        auto player = openPlayer(name);
        QSignalSpy ready(player.get(), &Player::statusChanged);
        if (player->status() != Player::Status::ReadyToPlay) {
            ready.wait(kSignalTimeoutMs);
        }
        EXPECT_EQ(player->status(), Player::Status::ReadyToPlay) << name;
        return player;
    }
};

double seconds(const Player& player) {
    return player.currentTime().seconds();
}

MediaTime at(double seconds, const Player& player) {
    return MediaTime::makeWithSeconds(seconds, player.currentItem()->duration().timescale);
}

// --- What the player plays to: mpv's pcm output writes the sound as a WAV file. ---

struct Sound {
    int sampleRate = 0;
    std::vector<float> samples; // first channel only
};

// Sends the player's sound to `path` from now on.
void captureSound(Player& player, const QString& path) {
    const QByteArray file = QFile::encodeName(path);
    ASSERT_GE(mpv_set_property_string(player.handle(), "ao-pcm-file", file.constData()), 0);
    ASSERT_GE(mpv_set_property_string(player.handle(), "ao", "pcm"), 0);
}

uint32_t readLe(const std::string& bytes, size_t at, int size) {
    uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    }
    return value;
}

// 32-bit float or 16-bit integer WAV; mpv fixes the chunk sizes only when it closes the file,
// so the data runs to the end of the file.
Sound readWav(const QString& path) {
    Sound sound;
    const std::string bytes = test::readFileBytes(QFile::encodeName(path).toStdString());
    if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0) {
        return sound;
    }
    int formatTag = 0, channels = 0, bits = 0;
    size_t at = 12;
    while (at + 8 <= bytes.size()) {
        const std::string id = bytes.substr(at, 4);
        const uint32_t size = readLe(bytes, at + 4, 4);
        if (id == "fmt ") {
            formatTag = static_cast<int>(readLe(bytes, at + 8, 2));
            channels = static_cast<int>(readLe(bytes, at + 10, 2));
            sound.sampleRate = static_cast<int>(readLe(bytes, at + 12, 4));
            bits = static_cast<int>(readLe(bytes, at + 22, 2));
            // WAVE_FORMAT_EXTENSIBLE: the format is the first word of the sub-format.
            if (formatTag == 0xFFFE && size >= 40) {
                formatTag = static_cast<int>(readLe(bytes, at + 32, 2));
            }
        } else if (id == "data") {
            at += 8;
            break;
        }
        at += 8 + size;
    }
    if (channels <= 0 || !((formatTag == 3 && bits == 32) || (formatTag == 1 && bits == 16))) {
        return Sound{};
    }
    const size_t frameBytes = static_cast<size_t>(channels) * (bits / 8);
    for (; at + frameBytes <= bytes.size(); at += frameBytes) {
        if (bits == 32) {
            float value = 0;
            std::memcpy(&value, bytes.data() + at, sizeof value);
            sound.samples.push_back(value);
        } else {
            int16_t value = 0;
            std::memcpy(&value, bytes.data() + at, sizeof value);
            sound.samples.push_back(value / 32768.0f);
        }
    }
    return sound;
}

// The last `duration` seconds of the sound.
std::vector<float> tail(const Sound& sound, double duration) {
    const auto count = std::min(sound.samples.size(), size_t(duration * sound.sampleRate));
    return {sound.samples.end() - static_cast<std::ptrdiff_t>(count), sound.samples.end()};
}

double rms(const std::vector<float>& samples) {
    double sum = 0;
    for (float sample : samples) {
        sum += double(sample) * sample;
    }
    return samples.empty() ? 0 : std::sqrt(sum / samples.size());
}

// The frequency of a pure tone, from its zero crossings.
double toneFrequency(const std::vector<float>& samples, int sampleRate) {
    int crossings = 0;
    for (size_t i = 1; i < samples.size(); ++i) {
        crossings += (samples[i - 1] < 0) != (samples[i] < 0);
    }
    return samples.empty() ? 0 : crossings / 2.0 / (double(samples.size()) / sampleRate);
}

// Plays at `rate` for `wall` of real time and returns what came out.
Sound playAndCapture(Player& player, float rate, std::chrono::milliseconds wall,
                     const QString& path) {
    captureSound(player, path);
    player.setRate(rate);
    spinEvents(wall);
    player.pause();
    // Closing the output finishes the file.
    mpv_set_property_string(player.handle(), "ao", "null");
    return readWav(path);
}

// --- Opening ---

TEST_F(PlayerTest, BecomesReadyWithTheFilesDuration) {
    auto player = openPlayer("clip.mp4");
    EXPECT_EQ(player->status(), Player::Status::Unknown);
    QSignalSpy changes(player.get(), &Player::statusChanged);
    ASSERT_TRUE(changes.wait(kSignalTimeoutMs));
    ASSERT_EQ(changes.count(), 1);
    EXPECT_EQ(changes.at(0).at(0).value<Player::Status>(), Player::Status::ReadyToPlay);
    EXPECT_EQ(player->status(), Player::Status::ReadyToPlay);
    ASSERT_NE(player->currentItem(), nullptr);
    const MediaTime duration = player->currentItem()->duration();
    EXPECT_NEAR(duration.seconds(), 10.0, 0.05);
    // Times come in the asset's timescale.
    EXPECT_EQ(player->currentTime(), MediaTime::make(0, duration.timescale));
    EXPECT_EQ(player->currentTime().timescale, duration.timescale);
    EXPECT_EQ(player->rate(), 0.0f);
}

TEST_F(PlayerTest, FilesWithoutPictureOrSoundBecomeReadyAndPlay) {
    for (const char* name : {"silent.mov", "audio.m4a"}) {
        SCOPED_TRACE(name);
        auto player = openReady(name);
        player->play();
        EXPECT_TRUE(waitUntil([&] { return seconds(*player) > 0.3; }, 5s));
    }
}

TEST_F(PlayerTest, FilesThatCannotPlayFail) {
    for (const char* name : {"text.mov", "empty.mp4", "missing.mp4"}) {
        SCOPED_TRACE(name);
        auto player = openPlayer(name);
        EXPECT_EQ(player->status(), Player::Status::Unknown);
        QSignalSpy changes(player.get(), &Player::statusChanged);
        ASSERT_TRUE(changes.wait(kSignalTimeoutMs));
        EXPECT_EQ(changes.at(0).at(0).value<Player::Status>(), Player::Status::Failed);
        EXPECT_EQ(player->status(), Player::Status::Failed);
        // Failure is final: mpv's own verdict does not announce it twice.
        spinEvents(300ms);
        EXPECT_EQ(changes.count(), 1);
        player->play(); // harmless
    }
}

// --- Rate ---

TEST_F(PlayerTest, RateIsZeroWhilePausedAndTheRateWhilePlaying) {
    auto player = openReady("clip.mp4");
    EXPECT_EQ(player->rate(), 0.0f);
    player->setRate(0.5f);
    EXPECT_EQ(player->rate(), 0.5f);
    spinEvents(300ms);
    // mpv's own reports of the pause do not undo the request.
    EXPECT_EQ(player->rate(), 0.5f);
    player->setRate(0.0f);
    EXPECT_EQ(player->rate(), 0.0f);
    player->play();
    EXPECT_EQ(player->rate(), 1.0f);
    player->pause();
    player->play();
    player->setRate(0.25f);
    spinEvents(300ms);
    EXPECT_EQ(player->rate(), 0.25f);
    player->pause();
    spinEvents(300ms);
    EXPECT_EQ(player->rate(), 0.0f);
}

TEST_F(PlayerTest, PlayAskedBeforeReadyHolds) {
    auto player = openPlayer("clip.mp4");
    player->setRate(0.5f);
    // mpv's first report says paused, and arrives after the request.
    bool alwaysPlaying = true;
    QElapsedTimer wall;
    wall.start();
    while (wall.elapsed() < 800) {
        spinEvents(1ms);
        alwaysPlaying = alwaysPlaying && player->rate() == 0.5f;
    }
    EXPECT_TRUE(alwaysPlaying);
    EXPECT_EQ(player->status(), Player::Status::ReadyToPlay);
    EXPECT_GT(seconds(*player), 0.1);
}

// How fast the position moves against the wall clock over `wall`.
double measuredRate(const Player& player, std::chrono::milliseconds wall) {
    const double start = seconds(player);
    QElapsedTimer clock;
    clock.start();
    spinEvents(wall);
    return (seconds(player) - start) / (clock.elapsed() / 1000.0);
}

TEST_F(PlayerTest, ThePositionMovesWithTheClockTimesTheRate) {
    // Without a sound device mpv still keeps real time.
    auto player = openReady("clip.mp4");
    player->play();
    ASSERT_TRUE(waitUntil([&] { return seconds(*player) > 0.0; }));
    EXPECT_NEAR(measuredRate(*player, 1200ms), 1.0, 0.25);

    player->setRate(0.5f);
    spinEvents(200ms);
    EXPECT_NEAR(measuredRate(*player, 1600ms), 0.5, 0.15);

    // Paused, the position stands still.
    player->setRate(0.0f);
    spinEvents(300ms);
    EXPECT_EQ(measuredRate(*player, 500ms), 0.0);
}

// --- Volume ---

TEST_F(PlayerTest, VolumeIsALinearGain) {
    auto player = openReady("clip.mp4");
    EXPECT_EQ(player->volume(), 1.0f);
    player->setVolume(0.25f);
    EXPECT_EQ(player->volume(), 0.25f);
    player->setVolume(2.0f);
    EXPECT_EQ(player->volume(), 1.0f);
    player->setVolume(-1.0f);
    EXPECT_EQ(player->volume(), 0.0f);

    // What comes out is scaled by the gain itself, not by mpv's cubic volume scale.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    player->setVolume(1.0f);
    const Sound full = playAndCapture(*player, 1.0f, 1200ms, dir.filePath("full.wav"));
    auto quieter = openReady("clip.mp4");
    quieter->setVolume(0.25f);
    const Sound quarter = playAndCapture(*quieter, 1.0f, 1200ms, dir.filePath("quarter.wav"));
    const double fullLevel = rms(tail(full, 0.5));
    const double quarterLevel = rms(tail(quarter, 0.5));
    ASSERT_GT(fullLevel, 0.05);
    EXPECT_NEAR(quarterLevel / fullLevel, 0.25, 0.03);
}

// --- Seeking ---

TEST_F(PlayerTest, SeekAnswersTheTargetAtOnceAndPlaysOnFromIt) {
    auto player = openReady("clip.mp4");
    player->seek(at(3.0, *player));
    EXPECT_EQ(player->currentTime(), at(3.0, *player));
    // mpv's reports from before the seek do not pull the position back.
    spinEvents(400ms);
    EXPECT_EQ(player->currentTime(), at(3.0, *player));

    player->play();
    spinEvents(600ms);
    EXPECT_GT(seconds(*player), 3.2);
    EXPECT_LT(seconds(*player), 4.0);
}

TEST_F(PlayerTest, SeekWhilePlayingNeverShowsTheOldPosition) {
    auto player = openReady("clip.mp4");
    player->play();
    spinEvents(500ms);
    for (double target : {6.0, 1.0, 8.0}) {
        player->seek(at(target, *player));
        EXPECT_EQ(player->currentTime(), at(target, *player));
        QElapsedTimer wall;
        wall.start();
        double lowest = target, highest = target;
        while (wall.elapsed() < 600) {
            spinEvents(5ms);
            lowest = std::min(lowest, seconds(*player));
            highest = std::max(highest, seconds(*player));
        }
        EXPECT_GE(lowest, target - 1e-6);
        EXPECT_GT(highest, target + 0.2);
        EXPECT_LT(highest, target + 1.0);
    }
}

TEST_F(PlayerTest, SeekBeforeReadyTakesEffectOnceLoaded) {
    auto player = openPlayer("clip.mp4");
    player->seek(MediaTime::make(5, 1));
    // mpv's first reports, from before the seek, do not show through.
    bool alwaysThere = true;
    QElapsedTimer wall;
    wall.start();
    while (wall.elapsed() < 600) {
        spinEvents(1ms);
        alwaysThere = alwaysThere && std::fabs(seconds(*player) - 5.0) < 1e-9;
    }
    EXPECT_TRUE(alwaysThere);
    EXPECT_EQ(player->status(), Player::Status::ReadyToPlay);
    player->play();
    spinEvents(500ms);
    EXPECT_GT(seconds(*player), 5.2);
    EXPECT_LT(seconds(*player), 6.0);
}

// --- The end of the item ---

TEST_F(PlayerTest, PlayingToTheEndStopsThereOnceAndKeepsTheFileOpen) {
    auto player = openReady("clip.mp4");
    const MediaTime duration = player->currentItem()->duration();
    QSignalSpy ends(player.get(), &Player::didPlayToEnd);
    player->seek(at(9.5, *player));
    player->play();
    ASSERT_TRUE(ends.wait(kSignalTimeoutMs));
    spinEvents(700ms);
    EXPECT_EQ(ends.count(), 1);
    EXPECT_EQ(player->rate(), 0.0f);
    EXPECT_EQ(player->currentTime(), duration);
    EXPECT_EQ(player->status(), Player::Status::ReadyToPlay);

    // Playing on from the end ends again at once.
    player->play();
    ASSERT_TRUE(ends.wait(kSignalTimeoutMs));
    EXPECT_EQ(ends.count(), 2);
    EXPECT_EQ(player->rate(), 0.0f);
    EXPECT_EQ(player->currentTime(), duration);

    // Still open: it goes back and plays again, and tells of the next end too.
    player->seek(at(2.0, *player));
    EXPECT_EQ(player->currentTime(), at(2.0, *player));
    player->play();
    spinEvents(500ms);
    EXPECT_GT(seconds(*player), 2.2);
    EXPECT_LT(seconds(*player), 3.0);
    EXPECT_EQ(ends.count(), 2);
    player->seek(at(9.7, *player));
    ASSERT_TRUE(ends.wait(kSignalTimeoutMs));
    EXPECT_EQ(ends.count(), 3);
    EXPECT_EQ(player->currentTime(), duration);
}

// --- Pitch ---

TEST_F(PlayerTest, KeptPitchSoundsAtATenthOfTheRate) {
    auto player = openReady("clip.mp4");
    ASSERT_EQ(player->currentItem()->audioTimePitchAlgorithm(),
              PlayerItem::PitchAlgorithm::Default);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const Sound sound = playAndCapture(*player, 0.1f, 2000ms, dir.filePath("tenth.wav"));
    ASSERT_GT(sound.sampleRate, 0);
    const auto last = tail(sound, 1.0);
    // The 440 Hz tone at its level, not mpv's silence below 0.25x.
    EXPECT_GT(rms(last), 0.05);
    EXPECT_NEAR(toneFrequency(last, sound.sampleRate), 440.0, 15.0);
    EXPECT_GT(seconds(*player), 0.1);
    EXPECT_LT(seconds(*player), 0.4);
}

TEST_F(PlayerTest, VarispeedLowersThePitchWithTheRate) {
    auto player = openReady("clip.mp4");
    player->setAudioTimePitchAlgorithm(PlayerItem::PitchAlgorithm::Varispeed);
    EXPECT_EQ(player->currentItem()->audioTimePitchAlgorithm(),
              PlayerItem::PitchAlgorithm::Varispeed);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const Sound slow = playAndCapture(*player, 0.5f, 1500ms, dir.filePath("varispeed.wav"));
    const auto last = tail(slow, 0.8);
    EXPECT_GT(rms(last), 0.05);
    EXPECT_NEAR(toneFrequency(last, slow.sampleRate), 220.0, 10.0);

    // And back: the pitch is kept again.
    player->setAudioTimePitchAlgorithm(PlayerItem::PitchAlgorithm::Default);
    const Sound kept = playAndCapture(*player, 0.5f, 1500ms, dir.filePath("kept.wav"));
    const auto keptTail = tail(kept, 0.8);
    EXPECT_GT(rms(keptTail), 0.05);
    EXPECT_NEAR(toneFrequency(keptTail, kept.sampleRate), 440.0, 15.0);
}

// --- Lifetime ---

TEST_F(PlayerTest, DestroyingAPlayerAtAnyMomentIsSafe) {
    // Before it is ready, right after a seek, while playing, at the end.
    openPlayer("clip.mp4").reset();
    {
        auto player = openReady("clip.mp4");
        player->play();
        player->seek(at(4.0, *player));
    }
    {
        auto player = openReady("clip.mp4");
        player->setRate(0.1f);
        spinEvents(300ms);
    }
    {
        auto player = openReady("clip.mp4");
        player->seek(at(9.9, *player));
        player->play();
        spinEvents(400ms);
    }
    // Events queued for destroyed players go nowhere.
    spinEvents(300ms);
}

TEST_F(PlayerTest, ASlotMayDeleteThePlayerThatSignals) {
    Player* player = openPlayer("clip.mp4").release();
    bool deleted = false;
    QObject::connect(player, &Player::statusChanged, [&] {
        delete player;
        deleted = true;
    });
    EXPECT_TRUE(waitUntil([&] { return deleted; }));
    spinEvents(200ms);
}

TEST_F(PlayerTest, AViewOwnsItsPlayerAndReplacesItWhilePlaying) {
    PlayerView view;
    view.resize(320, 240);
    view.show();
    EXPECT_EQ(view.player(), nullptr);

    for (int i = 0; i < 3; ++i) {
        auto player = openReady("clip.mp4");
        player->play();
        Player* raw = player.get();
        view.setPlayer(std::move(player));
        EXPECT_EQ(view.player(), raw);
        spinEvents(300ms);
    }
    // Taken away, it keeps playing.
    std::unique_ptr<Player> taken = view.takePlayer();
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(view.player(), nullptr);
    const double before = seconds(*taken);
    spinEvents(400ms);
    EXPECT_GT(seconds(*taken), before + 0.2);

    view.setPlayer(std::move(taken));
    view.setPlayer(nullptr);
    EXPECT_EQ(view.player(), nullptr);

    // A view destroyed with a playing player takes it along.
    auto another = std::make_unique<PlayerView>();
    auto player = openReady("clip.mp4");
    player->play();
    another->setPlayer(std::move(player));
    another->show();
    spinEvents(200ms);
    another.reset();
    spinEvents(200ms);
}

} // namespace
} // namespace lento
