#include "media/PlayerView.h"
#include "support/MediaProbe.h"
#include "support/QtApp.h"

#include <QImage>
#include <QOpenGLWidget>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

namespace lento {
namespace {

using namespace std::chrono_literals;
using test::waitUntil;

std::unique_ptr<Player> playerAt(double seconds, bool playing) {
    auto player = std::make_unique<Player>(QString::fromStdString(test::fixture("clip.mp4")));
    EXPECT_TRUE(waitUntil([&] { return player->status() == Player::Status::ReadyToPlay; }));
    player->seek(MediaTime::makeWithSeconds(seconds, player->currentItem()->duration().timescale));
    if (playing) {
        player->play();
    }
    return player;
}

// What the view shows, read back from the OpenGL widget mpv draws into.
QImage picture(PlayerView& view) {
    auto* canvas = view.findChild<QOpenGLWidget*>();
    return canvas ? canvas->grabFramebuffer() : QImage();
}

int grayAt(const QImage& image, int x) {
    return qGray(image.pixel(x, image.height() / 2));
}

// The clip's frames are three vertical stripes whose grey levels spell the frame number; from
// frame 100 on they differ. Bright and uneven means mpv drew a frame.
bool showsStripes(const QImage& image) {
    int lowest = 255, highest = 0;
    for (int x = image.width() / 4; x < image.width() * 3 / 4; ++x) {
        lowest = std::min(lowest, grayAt(image, x));
        highest = std::max(highest, grayAt(image, x));
    }
    return !image.isNull() && highest > 60 && highest - lowest > 30;
}

bool comesToShowStripes(PlayerView& view) {
    return waitUntil([&] { return showsStripes(picture(view)); }, 15s);
}

// Drawing needs OpenGL, which Qt's offscreen platform lacks: this runs on an X server (Xvfb with
// Mesa's software OpenGL will do) and is skipped elsewhere.
TEST(PlayerViewOnScreen, DrawsLetterboxedAndSurvivesPlayersReplacedAndTakenWhilePlaying) {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform == nullptr || std::string(platform) != "xcb" || !std::getenv("DISPLAY")) {
        GTEST_SKIP() << "needs QT_QPA_PLATFORM=xcb and an X display";
    }
    test::ensureQtApp();
    Player::setHeadless(true);
    auto view = std::make_unique<PlayerView>();
    // Twice as wide as high: the 4:3 picture leaves bars left and right.
    view->resize(480, 240);
    view->show();
    ASSERT_NE(view->findChild<QOpenGLWidget*>(), nullptr) << "no OpenGL on this display";
    view->setPlayer(playerAt(5.5, false));
    ASSERT_TRUE(waitUntil([&] { return view->isRendering(); }, 5s));
    ASSERT_TRUE(comesToShowStripes(*view)) << "the view stayed black";
    const QImage frame = picture(*view);
    const int margin = int(10 * frame.width() / 480.0);
    EXPECT_LT(grayAt(frame, margin), 10);
    EXPECT_LT(grayAt(frame, frame.width() - 1 - margin), 10);

    for (int i = 0; i < 3; ++i) {
        view->setPlayer(playerAt(4.0 + i, true));
        ASSERT_TRUE(comesToShowStripes(*view));
    }
    // Handed on, the player keeps playing without the view, and shows again when given back.
    std::unique_ptr<Player> taken = view->takePlayer();
    EXPECT_FALSE(view->isRendering());
    const double before = taken->currentTime().seconds();
    EXPECT_TRUE(waitUntil([&] { return taken->currentTime().seconds() > before + 0.2; }));
    EXPECT_FALSE(showsStripes(picture(*view)));
    view->setPlayer(std::move(taken));
    EXPECT_TRUE(comesToShowStripes(*view));

    // Destroyed while playing, the view frees mpv's renderer before the player.
    view.reset();
    test::spinEvents(200ms);
}

} // namespace
} // namespace lento
