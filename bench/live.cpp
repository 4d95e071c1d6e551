// Live playback of made pictures, as the editor plays them: the real player (no sound device),
// the live pictures shown in a player view of the editor's default size (offscreen), Smooth at
// each factor over a 1280x720 30 fps clip with sound, made once by ffmpeg into the build tree
// (or the clip given as the first argument).
//
// For each factor it prints:
//   first:  from pressing play to the first made picture on show, and from a seek while playing;
//   drops:  made pictures passed over unseen, per 10 s of playback;
//   late:   the most a picture came on show after its time on the sound's clock (the output's
//           frame is 33 ms);
//   stall:  the main thread's worst delay: a 10 ms timer's largest lateness, i.e. the longest an
//           input event could have waited, and the longest of live playback's own turns in it
//           (reading the clock, taking a picture, turning it into the image shown);
//   cpu:    processor time of the whole program (player, sound, made pictures) per second of
//           playback, which tells the share of the machine playback needs whatever its load.
// Targets: first within 300 ms, at most 1 drop per 10 s, late within one output frame, stall
// within 50 ms.
// Then, for an edit of 10,000 Smooth sections taken anew (as after each batch of edits), paused
// and playing: how soon playback follows it (its composition laid and planned on a worker), and
// the main thread's worst stall meanwhile (within 50 ms; a few ms of it are playback's own).
//
//   bench_live [CLIP] [SECONDS]   (SECONDS of playback per factor, 10 by default; 0 times the
//                                 long edit alone)

#include "PlayerBench.h"
#include "Timing.h"
#include "edit/SectionComposition.h"
#include "media/LivePlayback.h"
#include "media/Player.h"
#include "media/PlayerView.h"

#include <QApplication>

#include <QTimer>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace lento;
using Clock = std::chrono::steady_clock;

// Live playback's pictures are judged between the looks, so the event loop naps a little longer.
constexpr std::chrono::microseconds kNap(500);

bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    return bench::waitUntil(done, timeout, kNap);
}

// The longest a 10 ms timer waited past its time while it ran.
class StallWatch {
public:
    StallWatch() {
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const auto now = Clock::now();
            const auto late = now - m_last - std::chrono::milliseconds(10);
            m_worst = std::max(m_worst, std::chrono::duration<double, std::milli>(late).count());
            m_last = now;
        });
    }
    void start() {
        m_worst = 0;
        m_last = Clock::now();
        m_timer.start(10);
    }
    double worst() const { return m_worst; }

private:
    QTimer m_timer;
    Clock::time_point m_last;
    double m_worst = 0;
};

double processorSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double ms(std::chrono::microseconds time) {
    return double(time.count()) / 1000.0;
}

// Shows a player of `asset` in `view`, at the editor's default size, once it is ready.
Player* showPlayer(PlayerView& view, const std::shared_ptr<Asset>& asset) {
    view.resize(960, 540);
    view.show();
    view.setPlayer(std::make_unique<Player>(asset));
    Player* player = view.player();
    if (!runUntil([&] { return player->status() != Player::Status::Unknown; },
                  std::chrono::seconds(20)) ||
        player->status() != Player::Status::ReadyToPlay) {
        std::fprintf(stderr, "the player did not get ready\n");
        std::exit(1);
    }
    return player;
}

void runFactor(const std::shared_ptr<Asset>& asset, int factor, int seconds) {
    PlayerView view;
    Player* player = showPlayer(view, asset);
    FullVideoState choices;
    choices.factor = SpeedFactor::whole(factor);
    choices.motion = MotionMode::Smooth;
    LivePlayback& live = *view.livePlayback();
    live.setComposition(makeComposition(*asset, EditCut::ofFullVideo(choices, asset->duration())));
    StallWatch stall;

    // Play from the start.
    player->seek(MediaTime::make(2, 1));
    runUntil([] { return false; }, std::chrono::milliseconds(300));
    stall.start();
    player->setRate(float(1.0 / factor));
    runUntil([&] { return live.figures().firstPicture.count() >= 0; }, std::chrono::seconds(10));
    const double firstPlay = ms(live.figures().firstPicture);
    const double processorBefore = processorSeconds();
    runUntil([] { return false; }, std::chrono::seconds(seconds));
    const double processor = (processorSeconds() - processorBefore) / seconds;
    const LivePlayback::Figures played = live.figures();
    const double stallPlaying = stall.worst();

    // A seek while playing, further into the clip.
    stall.start();
    player->seek(MediaTime::make(12, 1));
    runUntil([&] { return live.figures().firstPicture.count() < 0; }, std::chrono::seconds(2));
    runUntil([&] { return live.figures().firstPicture.count() >= 0; }, std::chrono::seconds(10));
    const double firstSeek = ms(live.figures().firstPicture);
    runUntil([] { return false; }, std::chrono::seconds(3));
    const double stallSeek = stall.worst();
    player->pause();

    std::printf("Smooth x%-3d first %6.0f ms play, %6.0f ms seek | drops %5.1f /10 s (%lld shown)"
                " | late %5.1f ms | stall %5.1f ms playing, %5.1f ms seeking, own %4.1f ms | cpu "
                "%4.2f s/s\n",
                factor, firstPlay, firstSeek, double(played.dropped) * 10.0 / seconds,
                static_cast<long long>(played.shown), ms(played.worstLate), stallPlaying, stallSeek,
                ms(live.figures().longestTick), processor);
    std::fflush(stdout);
}

// What a change to a long edit costs the main thread: the live playback taking the new edit of
// `count` Smooth sections (x2, each the first half of its slot), while paused and while playing;
// the composition's own making and planning are timed apart.
void runLongEdit(const std::shared_ptr<Asset>& asset, int count) {
    PlayerView view;
    Player* player = showPlayer(view, asset);
    constexpr int32_t kTimescale = 1'000'000;
    const int64_t slot = asset->duration().convertScale(kTimescale).value / count;
    std::vector<SectionState> sections;
    for (int i = 0; i < count; ++i) {
        sections.push_back({QString::number(i + 1), MediaTime::make(i * slot, kTimescale),
                            MediaTime::make(i * slot + slot / 2, kTimescale), SpeedFactor::whole(2),
                            true, MotionMode::Smooth});
    }
    const EditCut cut = EditCut::ofSections(sections, asset->duration());
    std::shared_ptr<const Composition> composition;
    const bench::Times making =
        bench::timesMs(3, [&] { composition = makeComposition(*asset, cut); });
    const bench::Times planning =
        bench::timesMs(3, [&] { (void)planExport(*composition, MediaTimeRange::invalid()); });
    LivePlayback& live = *view.livePlayback();
    player->seek(MediaTime::make(2, 1));
    runUntil([] { return false; }, std::chrono::milliseconds(300));
    // Each change taken until playback follows it; the main thread's worst delay meanwhile
    // (a 10 ms timer's lateness) tells how long an input event could have waited.
    StallWatch stall;
    // As the sections tab hands it over: the sections copied, laid and planned on a worker.
    const auto take = [&] {
        live.setComposition([asset, sections] {
            return makeComposition(*asset, EditCut::ofSections(sections, asset->duration()));
        });
        runUntil([&] { return !live.isPlanning() && live.isActive(); }, std::chrono::seconds(10));
    };
    stall.start();
    const bench::Times paused = bench::timesMs(5, take);
    const double stallPaused = stall.worst();
    player->setRate(0.5f);
    runUntil([] { return false; }, std::chrono::milliseconds(500));
    stall.start();
    const bench::Times playing = bench::timesMs(5, take);
    runUntil([] { return false; }, std::chrono::seconds(2));
    const double stallPlaying = stall.worst();
    player->pause();
    std::printf("%d Smooth sections: composition %6.1f ms, its plan %6.1f ms (apart) | followed "
                "in %6.1f ms paused, %6.1f ms playing (median) | stall %5.1f ms paused, %5.1f ms "
                "playing, own %4.1f ms\n",
                count, making.median, planning.median, paused.median, playing.median, stallPaused,
                stallPlaying, ms(live.figures().longestTick));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("offscreen"));
    QApplication application(argc, argv);
    Player::setHeadless(true);
    const std::string clip =
        argc > 1 ? argv[1] : bench::playerClip("live-720p30.mp4", 1280, 720, 30);
    const int seconds = argc > 2 ? std::max(0, std::atoi(argv[2])) : 10;
    const auto asset = Asset::assetWithPath(clip);
    if (!asset->isPlayable()) {
        std::fprintf(stderr, "cannot play %s\n", clip.c_str());
        return 1;
    }
    std::printf("%s, %d s of playback per factor\n", clip.c_str(), seconds);
    for (int factor : {2, 4, 10}) {
        if (seconds > 0) {
            runFactor(asset, factor, seconds);
        }
    }
    runLongEdit(asset, 10000);
    return 0;
}
