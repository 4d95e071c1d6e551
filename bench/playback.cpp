// How fast the player gets going, without a window or sound device:
//   ready: from making a Player to its ReadyToPlay signal;
//   seek:  from seek() to mpv showing the new position (its playback restart), paused and while
//          playing;
//   step:  from stepFrame() to the player's frameShown(), the stepped frame on show, forward
//          and back in turn.
// Medians over 15 runs on a 1080p 30 fps H.264 clip with sound, made once by ffmpeg into the build
// tree. Targets: ready within 100 ms, seek and step within 60 ms.

#include "PlayerBench.h"
#include "media/Player.h"

#include <mpv/client.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using lento::MediaTime;
using lento::Player;
using Clock = std::chrono::steady_clock;
using lento::bench::spinEvents;
using lento::bench::waitUntil;

constexpr int kRuns = 15;

struct ClientDeleter {
    void operator()(mpv_handle* handle) const { mpv_destroy(handle); }
};
using ClientPtr = std::unique_ptr<mpv_handle, ClientDeleter>;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Summary {
    double median = 0, low = 0, high = 0;
};

Summary summarize(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    if (values.empty()) {
        return {};
    }
    return {values[values.size() / 2], values.front(), values.back()};
}

void print(const char* what, const std::vector<double>& values, double target) {
    const Summary s = summarize(values);
    std::printf("%-22s median %6.1f ms  (min %6.1f, max %6.1f, %zu runs)  target %3.0f ms  %s\n",
                what, s.median, s.low, s.high, values.size(), target,
                s.median <= target ? "met" : "MISSED");
}

std::unique_ptr<Player> waitReady(const std::string& path, double* milliseconds) {
    const auto start = Clock::now();
    auto player = std::make_unique<Player>(QString::fromStdString(path));
    double readyAt = -1;
    QObject::connect(player.get(), &Player::statusChanged, [&](Player::Status status) {
        if (status == Player::Status::ReadyToPlay) {
            readyAt = millisecondsSince(start);
        }
    });
    const bool ready = waitUntil([&] { return player->status() != Player::Status::Unknown; },
                                 std::chrono::seconds(10));
    if (!ready || player->status() != Player::Status::ReadyToPlay) {
        std::fprintf(stderr, "the player did not become ready\n");
        std::exit(1);
    }
    if (milliseconds) {
        *milliseconds = readyAt;
    }
    return player;
}

// Waits on a second client of the player's core, which hears mpv's events as the player does.
// Returns the time-pos mpv shows after the restart, NaN on timeout.
double waitForRestart(mpv_handle* client) {
    for (;;) {
        const mpv_event* event = mpv_wait_event(client, 5.0);
        if (event->event_id == MPV_EVENT_NONE) {
            return std::nan("");
        }
        if (event->event_id == MPV_EVENT_PLAYBACK_RESTART) {
            double position = std::nan("");
            mpv_get_property(client, "time-pos", MPV_FORMAT_DOUBLE, &position);
            return position;
        }
    }
}

std::vector<double> measureSeeks(Player& player, bool playing) {
    ClientPtr client(mpv_create_client(player.handle(), "bench"));
    const int32_t timescale = player.currentItem()->duration().timescale;
    if (playing) {
        player.play();
        spinEvents(std::chrono::milliseconds(300));
    }
    std::vector<double> times;
    for (int run = 0; run < kRuns; ++run) {
        // Spread over the clip, mostly between keyframes.
        const double target = std::fmod(0.4 + run * 1.37, 9.0);
        // Drop what came before this seek.
        while (mpv_wait_event(client.get(), 0)->event_id != MPV_EVENT_NONE) {
        }
        const auto start = Clock::now();
        player.seek(MediaTime::makeWithSeconds(target, timescale));
        const double shown = waitForRestart(client.get());
        const double elapsed = millisecondsSince(start);
        if (std::isnan(shown) || std::fabs(shown - target) > 0.1) {
            std::fprintf(stderr, "seek to %.3f showed %.3f\n", target, shown);
        }
        times.push_back(elapsed);
        spinEvents(std::chrono::milliseconds(playing ? 150 : 50));
    }
    player.pause();
    return times;
}

std::vector<double> measureSteps(Player& player) {
    const int32_t timescale = player.currentItem()->duration().timescale;
    player.seek(MediaTime::makeWithSeconds(4.5, timescale));
    spinEvents(std::chrono::milliseconds(300));
    std::vector<double> times;
    bool shown = false;
    QObject::connect(&player, &Player::frameShown, [&] { shown = true; });
    for (int run = 0; run < kRuns; ++run) {
        shown = false;
        const double before = player.currentTime().seconds();
        const auto start = Clock::now();
        player.stepFrame(run % 3 != 2);
        if (!waitUntil([&] { return shown; }, std::chrono::seconds(5))) {
            std::fprintf(stderr, "the step from %.3f showed no frame\n", before);
        }
        times.push_back(millisecondsSince(start));
        spinEvents(std::chrono::milliseconds(50));
    }
    return times;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    Player::setHeadless(true);
    const std::string clip = lento::bench::playerClip("playback-1080p30.mp4", 1920, 1080, 10);

    // One unmeasured run warms the disk cache and the libraries.
    waitReady(clip, nullptr).reset();

    std::vector<double> ready;
    for (int run = 0; run < kRuns; ++run) {
        double milliseconds = 0;
        waitReady(clip, &milliseconds).reset();
        ready.push_back(milliseconds);
    }

    auto player = waitReady(clip, nullptr);
    const std::vector<double> pausedSeeks = measureSeeks(*player, false);
    const std::vector<double> playingSeeks = measureSeeks(*player, true);
    const std::vector<double> steps = measureSteps(*player);

    std::printf("playback, headless, %s\n", clip.c_str());
    print("ready", ready, 100);
    print("seek (paused)", pausedSeeks, 60);
    print("seek (playing)", playingSeeks, 60);
    print("frame step", steps, 60);
    std::fflush(stdout);
    return 0;
}
