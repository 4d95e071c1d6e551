#include "media/PlayerView.h"
#include "support/MediaProbe.h"
#include "support/QtApp.h"

#include <QImage>
#include <QOpenGLWidget>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

namespace lento {
namespace {

using namespace std::chrono_literals;
using test::fixture;
using test::spinEvents;
using test::waitUntil;

// Drawing needs OpenGL, which Qt's offscreen platform lacks: these run on an X server (Xvfb with
// Mesa's software OpenGL will do) and are skipped elsewhere.
class PlayerViewOnScreen : public ::testing::Test {
protected:
    void SetUp() override {
        const char* platform = std::getenv("QT_QPA_PLATFORM");
        if (platform == nullptr || std::string(platform) != "xcb" ||
            std::getenv("DISPLAY") == nullptr) {
            GTEST_SKIP() << "needs QT_QPA_PLATFORM=xcb and an X display";
        }
        test::ensureQtApp();
        Player::setHeadless(true);
    }

    static std::unique_ptr<Player> readyPlayerAt(double seconds) {
        auto player = std::make_unique<Player>(QString::fromStdString(fixture("clip.mp4")));
        QSignalSpy ready(player.get(), &Player::statusChanged);
        EXPECT_TRUE(ready.wait(10000));
        EXPECT_EQ(player->status(), Player::Status::ReadyToPlay);
        player->seek(
            MediaTime::makeWithSeconds(seconds, player->currentItem()->duration().timescale));
        return player;
    }
};

// What the view shows, read back from the OpenGL widget mpv draws into.
QImage picture(PlayerView& view) {
    auto* canvas = view.findChild<QOpenGLWidget*>();
    return canvas ? canvas->grabFramebuffer() : QImage();
}

int gray(const QImage& image, int x, int y) {
    return qGray(image.pixel(x, y));
}

// The clip's frames are three vertical stripes whose grey levels spell the frame number; from
// frame 100 on they differ. Bright and uneven means mpv drew a frame.
bool showsStripes(const QImage& image) {
    if (image.isNull()) {
        return false;
    }
    const int y = image.height() / 2;
    int lowest = 255, highest = 0;
    for (int x = image.width() / 4; x < image.width() * 3 / 4; ++x) {
        lowest = std::min(lowest, gray(image, x, y));
        highest = std::max(highest, gray(image, x, y));
    }
    return highest > 60 && highest - lowest > 30;
}

TEST_F(PlayerViewOnScreen, DrawsTheFrameLetterboxed) {
    PlayerView view;
    // Twice as wide as high: the 4:3 picture leaves bars left and right.
    view.resize(480, 240);
    view.show();
    // Frame 165: stripes at grey levels of 1, 6 and 5.
    ASSERT_NE(view.findChild<QOpenGLWidget*>(), nullptr) << "no OpenGL on this display";
    view.setPlayer(readyPlayerAt(5.5));
    ASSERT_TRUE(waitUntil([&] { return view.isRendering(); }, 5s));

    QImage frame;
    ASSERT_TRUE(waitUntil(
        [&] {
            frame = picture(view);
            return showsStripes(frame);
        },
        10s))
        << "the view stayed black";
    const double scale = frame.width() / 480.0;
    EXPECT_LT(gray(frame, int(10 * scale), frame.height() / 2), 10);
    EXPECT_LT(gray(frame, frame.width() - 1 - int(10 * scale), frame.height() / 2), 10);
}

TEST_F(PlayerViewOnScreen, PlayersCanBeReplacedAndTakenWhilePlaying) {
    PlayerView view;
    view.resize(320, 240);
    view.show();
    for (int i = 0; i < 3; ++i) {
        auto player = readyPlayerAt(4.0 + i);
        player->play();
        view.setPlayer(std::move(player));
        ASSERT_TRUE(waitUntil([&] { return showsStripes(picture(view)); }, 10s));
    }

    // Handed on, the player keeps playing without the view.
    std::unique_ptr<Player> taken = view.takePlayer();
    EXPECT_FALSE(view.isRendering());
    const double before = taken->currentTime().seconds();
    spinEvents(500ms);
    EXPECT_GT(taken->currentTime().seconds(), before + 0.2);
    EXPECT_FALSE(showsStripes(picture(view)));

    // And shows again when given back.
    view.setPlayer(std::move(taken));
    EXPECT_TRUE(waitUntil([&] { return showsStripes(picture(view)); }, 10s));

    // Destroyed while playing, the view frees mpv's renderer before the player.
    auto other = std::make_unique<PlayerView>();
    other->resize(320, 240);
    other->show();
    auto player = readyPlayerAt(6.0);
    player->play();
    other->setPlayer(std::move(player));
    EXPECT_TRUE(waitUntil([&] { return showsStripes(picture(*other)); }, 10s));
    other.reset();
    spinEvents(200ms);
}

} // namespace
} // namespace lento
