#include "media/ExportSession.h"
#include "media/ExportSetup.h"
#include "media/FrameStage.h"
#include "media/SpeedFactor.h"
#include "support/ExportTesting.h"
#include "support/MediaProbe.h"

#include <QSize>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>
#include <tuple>

namespace lento {
namespace {

namespace fs = std::filesystem;
using test::fixture;

constexpr double kFrame = 1.0 / 30.0;

// A factor as the editor takes it, and how many times longer it makes a movie, for the probes.
SpeedFactor factorOf(const char* text) {
    return SpeedFactor::parse(text).value_or(SpeedFactor());
}
double timesOf(const char* text) {
    const SpeedFactor factor = factorOf(text);
    return double(factor.num()) / double(factor.den());
}

class ExportSessionTest : public ::testing::Test {
protected:
    std::string out(const std::string& name) const { return folder / name; }

    struct Outcome {
        ExportSession::Status status;
        std::string error;
        std::vector<float> progress;
        int completions = 0;
        bool completedOnWorker = false;
    };

    // Runs an export to its end, sampling the progress while it runs.
    static Outcome run(ExportSession& session, const std::string& destination) {
        session.setOutputURL(destination);
        session.setOutputFileType(
            outputFileTypeForDestination(session.supportedFileTypes(), destination));
        std::vector<float> progress;
        std::atomic<int> completions{0};
        std::atomic<bool> onWorker{false};
        const auto caller = std::this_thread::get_id();
        session.exportAsynchronouslyWithCompletionHandler([&] {
            ++completions;
            onWorker = std::this_thread::get_id() != caller;
        });
        while (session.status() == ExportSession::Status::Waiting ||
               session.status() == ExportSession::Status::Exporting) {
            progress.push_back(session.progress());
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        session.waitUntilFinished();
        progress.push_back(session.progress());
        return {session.status(), session.error(), progress, completions, onWorker};
    }

    static std::unique_ptr<ExportSession>
    fullVideoSession(const std::string& source, SpeedFactor factor, bool removeAudio,
                     const char* preset = ExportPresetName::H264_1280x720,
                     MediaTimeRange range = MediaTimeRange::invalid(),
                     MotionMode motion = MotionMode::Hold) {
        auto asset = Asset::assetWithPath(source);
        EXPECT_TRUE(asset->isPlayable()) << asset->error();
        return ExportSession::exportSessionWithAsset(
            makeFullVideoComposition(*asset, factor, removeAudio, range, motion), preset);
    }

    test::TestFolder folder;
};

// Every picture the source's decoder gives appears once, in order, shown `factor` times as
// long (each picture's time exactly, also at a fractional factor), whatever the container does with
// its time stamps: transport and program streams that cannot seek to their start, B-frames without
// stamps, stamps out of order, streams that start an hour in. Both tracks last the stretched length
// of the source, the sound to its end, and the picture keeps the way it is turned for showing.
// (That a source without sound gives none is the stream plan's and the composition's tests'.)
TEST_F(ExportSessionTest, EveryDecodedFrameOfEverySourceShapeIsKeptOnceAndStretched) {
    struct Case {
        const char* source;
        const char* factor;
        double seconds;
    };
    const Case cases[] = {
        {"short.mp4", "2.5", 2},    {"vfr.mp4", "2", 6},      {"transport.ts", "2", 2},
        {"interlaced.mpg", "2", 2}, {"late.mkv", "2.25", 2},  {"bframes.avi", "2", 2},
        {"no-offsets.mp4", "2", 2}, {"portrait.mp4", "1", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.source) + " x" + c.factor);
        auto asset = Asset::assetWithPath(fixture(c.source));
        ASSERT_TRUE(asset->isPlayable()) << asset->error();
        ASSERT_NEAR(asset->duration().seconds(), c.seconds, 0.05);
        const auto original = test::probe(fixture(c.source));
        auto session = fullVideoSession(fixture(c.source), factorOf(c.factor), false);
        const std::string destination = out(std::string(c.factor) + "-" + c.source + ".mp4");
        const Outcome outcome = run(*session, destination);
        ASSERT_EQ(outcome.status, ExportSession::Status::Completed) << outcome.error;
        EXPECT_EQ(outcome.completions, 1);
        EXPECT_TRUE(outcome.completedOnWorker);
        EXPECT_TRUE(std::is_sorted(outcome.progress.begin(), outcome.progress.end()));
        EXPECT_EQ(outcome.progress.back(), 1.0f);

        const double length = asset->duration().seconds() * timesOf(c.factor);
        const auto probe = test::probe(destination);
        EXPECT_NE(probe.majorBrand, "qt  ");
        ASSERT_NE(probe.video(), nullptr);
        EXPECT_NEAR(probe.video()->durationSeconds, length, 0.01);
        EXPECT_EQ(probe.video()->rotationDegrees, original.video()->rotationDegrees);
        ASSERT_EQ(probe.audio() != nullptr, original.audio() != nullptr);
        if (original.audio()) {
            EXPECT_NEAR(probe.audio()->durationSeconds, length, kFrame);
            EXPECT_GT(test::soundRms(destination, 0.2, 0.6), 0.03);
            EXPECT_GT(test::soundRms(destination, length - 0.5, length - 0.1), 0.03);
        }

        const auto source = test::decodeVideoFrames(fixture(c.source));
        const auto frames = test::decodeVideoFrames(destination);
        ASSERT_FALSE(source.empty());
        ASSERT_EQ(frames.size(), source.size());
        // The movie starts with the first picture; the later ones keep their stretched times
        // where the source stamps them in order and within its stated length.
        for (size_t i = 0; i < frames.size(); ++i) {
            ASSERT_EQ(frames[i].index, source[i].index) << i;
            if (i > 0 && source[i].time > source[i - 1].time &&
                source[i].time < asset->duration().seconds()) {
                ASSERT_NEAR(frames[i].time, timesOf(c.factor) * source[i].time, 0.002) << i;
            }
        }
    }
}

// The data of damaged.mp4 stops 4 s into its 10 s: the movie stops there too, pictures and sound
// alike, and the session says so.
TEST_F(ExportSessionTest, ADamagedSourceEndsWhereItsReadablePartEndsAndSaysSo) {
    auto asset = Asset::assetWithPath(fixture("damaged.mp4"));
    ASSERT_TRUE(asset->isPlayable()) << asset->error();
    EXPECT_NEAR(asset->duration().seconds(), 10.0, 0.05);
    ASSERT_TRUE(asset->isDamaged());
    const double readable = asset->readableDuration().seconds();
    EXPECT_NEAR(readable, 3.7, 0.5);
    auto session = ExportSession::exportSessionWithAsset(
        makeFullVideoComposition(*asset, SpeedFactor::whole(2), false),
        ExportPresetName::H264_1280x720);
    char expected[256];
    std::snprintf(expected, sizeof expected, "%s is damaged: readable up to %.2f s of 10.00 s",
                  fixture("damaged.mp4").c_str(), readable);
    EXPECT_EQ(session->warning(), expected);
    EXPECT_EQ(fullVideoSession(fixture("clip.mp4"), SpeedFactor(), false)->warning(), "");

    ASSERT_EQ(run(*session, out("damaged.mp4")).status, ExportSession::Status::Completed);
    const auto probe = test::probe(out("damaged.mp4"));
    ASSERT_TRUE(probe.video() && probe.audio());
    EXPECT_NEAR(probe.video()->durationSeconds, 2 * readable, 2 * kFrame);
    EXPECT_NEAR(probe.audio()->durationSeconds, 2 * readable, 2 * kFrame);
    EXPECT_GT(test::soundRms(out("damaged.mp4"), 2 * readable - 0.5, 2 * readable - 0.1), 0.03);
    const auto frames = test::decodeVideoFrames(out("damaged.mp4"));
    EXPECT_NEAR(static_cast<double>(frames.size()), readable * 30, 1.0);
    for (size_t i = 0; i < frames.size(); ++i) {
        ASSERT_EQ(frames[i].index, static_cast<int>(i));
    }
}

TEST(ExportPresetTest, TheSizeFollowsThePresetUprightOrNot) {
    const ExportPreset& hd = *exportPresetNamed(ExportPresetName::H264_1280x720);
    const ExportPreset& best = *exportPresetNamed(ExportPresetName::HighestQuality);
    for (const auto& [preset, from, to] : {std::tuple{&hd, QSize(1920, 1080), QSize(1280, 720)},
                                           {&hd, QSize(1080, 1920), QSize(720, 1280)},
                                           {&best, QSize(1919, 1081), QSize(1918, 1080)}}) {
        const PictureSize size = presetOutputSize(*preset, {from.width(), from.height(), {1, 1}});
        EXPECT_EQ(QSize(size.width, size.height), to) << from.width() << "x" << from.height();
    }
}

// Pictures keep the shape they are shown in, whatever the shape of their pixels: where a preset
// holds the shown picture as it is, the stored pixels are kept and the movie says their shape,
// in the container and in the coded stream; where it makes the picture smaller, the pixels come
// out square at the shown shape. Copied pictures keep theirs, made pictures are shaped as held
// ones, and the display rotation comes along. (Which size and shape each preset gives, Source
// Size among them, is the stream plan's, tested with it.)
TEST_F(ExportSessionTest, PicturesKeepTheirShapeWhateverTheShapeOfTheirPixels) {
    struct Case {
        const char* source;
        const char* preset;
        MotionMode motion;
        int width, height;
        std::pair<int, int> aspect;
    };
    using namespace ExportPresetName;
    const Case cases[] = {
        {"anamorphic.mp4", Original, MotionMode::Hold, 720, 480, {32, 27}},
        {"anamorphic.mp4", H264_640x480, MotionMode::Smooth, 640, 360, {1, 1}},
        {"anamorphic-portrait.mp4", P720, MotionMode::Hold, 1280, 720, {3, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.source) + " " + c.preset + " " +
                     std::string(motionModeName(c.motion)));
        auto session = fullVideoSession(fixture(c.source), SpeedFactor::whole(2), true, c.preset,
                                        MediaTimeRange::invalid(), c.motion);
        const Outcome outcome = run(*session, out("shaped.mp4"));
        ASSERT_EQ(outcome.status, ExportSession::Status::Completed) << outcome.error;
        const auto source = test::probe(fixture(c.source));
        const auto probe = test::probe(out("shaped.mp4"));
        ASSERT_TRUE(source.video() && probe.video());
        EXPECT_EQ(std::make_pair(probe.video()->width, probe.video()->height),
                  std::make_pair(c.width, c.height));
        EXPECT_EQ(probe.video()->containerAspect, c.aspect);
        EXPECT_EQ(probe.video()->codedAspect, c.aspect);
        EXPECT_EQ(probe.video()->rotationDegrees, source.video()->rotationDegrees);
    }
}

// Flashes and beeps stay together at every speed. Sound at its own speed is copied packet for
// packet (where the movie can hold it as it is: the stream plan's test); stretched sound is made
// anew.
TEST_F(ExportSessionTest, SoundStaysWithItsPicturesAndIsCopiedAtItsOwnSpeed) {
    struct Case {
        const char* factor;
        const char* preset;
        const char* destination;
        bool copied;
    };
    const auto source = test::probe(fixture("sync.mp4"));
    ASSERT_TRUE(source.audio());
    for (const Case& c : {Case{"2.5", ExportPresetName::H264_1280x720, "sync-x2.5.mp4", false},
                          Case{"1", ExportPresetName::Original, "sync-x1.mov", true}}) {
        SCOPED_TRACE(c.destination);
        const std::string destination = out(c.destination);
        auto session = fullVideoSession(fixture("sync.mp4"), factorOf(c.factor), false, c.preset);
        const Outcome outcome = run(*session, destination);
        ASSERT_EQ(outcome.status, ExportSession::Status::Completed) << outcome.error;
        const auto probe = test::probe(destination);
        ASSERT_TRUE(probe.audio());
        EXPECT_EQ(probe.audio()->codec, c.copied ? source.audio()->codec : "aac");
        EXPECT_EQ(probe.audio()->packetDigest == source.audio()->packetDigest, c.copied);
        if (c.copied) {
            EXPECT_EQ(probe.audio()->packets, source.audio()->packets);
            EXPECT_NEAR(probe.audio()->durationSeconds, source.audio()->durationSeconds, 0.001);
        }
        const auto report = test::measureSync(destination);
        EXPECT_EQ(report.pairs, 10);
        EXPECT_LT(report.worstSeconds, timesOf(c.factor) * kFrame);
        // Nothing the stretcher holds back comes before the sound: the first beep lands on its
        // flash, far closer than the frame the check above allows.
        const auto frames = test::decodeVideoFrames(destination);
        const auto flash =
            std::ranges::find_if(frames, [](const auto& f) { return f.meanLuma > 180; });
        const auto onsets = test::soundOnsets(destination);
        ASSERT_TRUE(flash != frames.end() && !onsets.empty());
        EXPECT_NEAR(onsets.front(), flash->time, 0.010);
    }

    // Four hundred sections of 25 ms, x3 and x1 in turn, every fourth one muted, sound on one
    // stretcher through them all: every beep stays on its flash, and the sound lasts the movie.
    auto asset = Asset::assetWithPath(fixture("sync.mp4"));
    auto composition = std::make_shared<Composition>();
    CompositionTrack& pictures = *composition->addTrack(MediaType::Video);
    CompositionTrack& sound = *composition->addTrack(MediaType::Audio);
    MediaTime at = MediaTime::zero();
    for (int i = 0; i < 400; ++i) {
        const auto piece = MediaTimeRange::make(MediaTime::make(i, 40), MediaTime::make(1, 40));
        const MediaTime length = piece.duration * (i % 2 == 0 ? 3 : 1);
        pictures.insertTimeRange(piece, asset->tracksWithMediaType(MediaType::Video).at(0), at);
        pictures.scaleTimeRange(MediaTimeRange::make(at, piece.duration), length);
        if (i % 4 != 3) {
            sound.insertTimeRange(piece, asset->tracksWithMediaType(MediaType::Audio).at(0), at);
            sound.scaleTimeRange(MediaTimeRange::make(at, piece.duration), length);
        }
        at = at + length;
    }
    auto session =
        ExportSession::exportSessionWithAsset(composition, ExportPresetName::H264_1280x720);
    const Outcome outcome = run(*session, out("sync-sections.mp4"));
    ASSERT_EQ(outcome.status, ExportSession::Status::Completed) << outcome.error;
    const auto report = test::measureSync(out("sync-sections.mp4"));
    EXPECT_EQ(report.pairs, 10);
    EXPECT_LT(report.worstSeconds, 2 * kFrame);
    const auto probe = test::probe(out("sync-sections.mp4"));
    ASSERT_TRUE(probe.audio() && probe.video());
    EXPECT_NEAR(probe.audio()->durationSeconds, 20.0, kFrame);
}

TEST_F(ExportSessionTest, GapsInTheSoundAreSilenceAndLaterSoundStaysInPlace) {
    auto asset = Asset::assetWithPath(fixture("sync.mp4"));
    auto composition = std::make_shared<Composition>();
    const auto video = asset->tracksWithMediaType(MediaType::Video).at(0);
    const auto audio = asset->tracksWithMediaType(MediaType::Audio).at(0);
    auto at = [](double s) { return MediaTime::makeWithSeconds(s, 600); };
    auto span = [&](double from, double to) {
        return MediaTimeRange::fromTimeToTime(at(from), at(to));
    };
    CompositionTrack& pictures = *composition->addTrack(MediaType::Video);
    pictures.insertTimeRange(span(0, 8), video, at(0));
    CompositionTrack& sound = *composition->addTrack(MediaType::Audio);
    sound.insertTimeRange(span(0, 2), audio, at(0));
    sound.insertTimeRange(span(5, 8), audio, at(5));
    auto session =
        ExportSession::exportSessionWithAsset(composition, ExportPresetName::HighestQuality);
    ASSERT_EQ(run(*session, out("gap.mov")).status, ExportSession::Status::Completed);
    EXPECT_EQ(test::soundRms(out("gap.mov"), 2.05, 4.95), 0.0);
    const auto onsets = test::soundOnsets(out("gap.mov"));
    ASSERT_EQ(onsets.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_NEAR(onsets[i], double(i < 2 ? i : i + 3), 0.005);
    }
    EXPECT_EQ(test::measureSync(out("gap.mov")).pairs, 5);
}

// Blend and Smooth fill the slowed stretch with pictures on a constant grid at the source's own
// spacing (that of a source which drops pictures, or states another average): N times the
// pictures, evenly spaced from zero, the source's pictures where the grid meets them, the movie
// N times as long on both tracks, also for a fractional N. Encoded pictures keep the source's
// depth and colour tags: 10-bit PQ HDR stays 10-bit High 10 tagged BT.2020 PQ, 8-bit
// stays 8-bit High. (The grid over a variable-rate source is the frame stage's and the picture
// timing's own tests'.)
TEST_F(ExportSessionTest, MadePicturesFillAConstantGridAndKeepTheLengthDepthAndColour) {
    struct Case {
        const char* source;
        double from;
        double seconds;
        MotionMode motion;
        const char* factor;
        const char* colour; // pixels, profile, primaries/transfer
        AVRational grid;
        double numbered; // the rate the pictures' numbers count at; 0 for unnumbered pictures
    };
    const char* hdr = "yuv420p10le High 10 bt2020/smpte2084";
    const char* sdr = "yuv420p High unknown/unknown";
    const Case cases[] = {
        {"clip.mp4", 3, 2, MotionMode::Blend, "2.5", sdr, {30, 1}, 30},
        {"clip.mp4", 3, 1, MotionMode::Smooth, "4", sdr, {30, 1}, 30},
        {"sparse.mp4", 0, 3.9, MotionMode::Smooth, "4", sdr, {7500, 1001}, 30000 / 1001.0},
        {"hdr.mov", 0, 1, MotionMode::Blend, "3", hdr, {30, 1}, 0},
        {"hdr.mov", 0, 1, MotionMode::Smooth, "2.5", hdr, {30, 1}, 0},
    };
    for (const Case& c : cases) {
        const std::string name =
            std::string(motionModeName(c.motion)) + "-x" + c.factor + "-" + c.source;
        SCOPED_TRACE(name);
        auto asset = Asset::assetWithPath(fixture(c.source));
        ASSERT_TRUE(asset->isPlayable());
        const AVRational rate = motionFrameRate(asset->tracksWithMediaType(MediaType::Video).at(0));
        ASSERT_EQ(av_cmp_q(rate, c.grid), 0) << rate.num << "/" << rate.den;
        const MediaTimeRange range =
            MediaTimeRange::make(MediaTime::make(int64_t(c.from * 1000), 1000),
                                 MediaTime::make(int64_t(c.seconds * 1000), 1000));
        auto session = fullVideoSession(fixture(c.source), factorOf(c.factor), false,
                                        ExportPresetName::H264_640x480, range, c.motion);
        const Outcome outcome = run(*session, out(name + ".mp4"));
        ASSERT_EQ(outcome.status, ExportSession::Status::Completed) << outcome.error;

        const double length = c.seconds * timesOf(c.factor);
        const double step = av_q2d(av_inv_q(rate));
        const auto frames = test::decodeVideoFrames(out(name + ".mp4"));
        ASSERT_FALSE(frames.empty());
        EXPECT_NEAR(double(frames.size()), length / step, 1.0);
        std::set<int> sourceNumbers;
        for (const auto& frame : test::decodeVideoFrames(fixture(c.source))) {
            sourceNumbers.insert(frame.index);
        }
        for (size_t i = 0; i < frames.size(); ++i) {
            ASSERT_NEAR(frames[i].time, double(i) * step, 0.002) << i;
            const double number = (c.from + frames[i].time / timesOf(c.factor)) * c.numbered;
            const int whole = int(std::lround(number));
            if (c.numbered > 0 && std::abs(number - whole) < 1e-3 && sourceNumbers.count(whole)) {
                EXPECT_EQ(frames[i].index, whole) << "output picture " << i;
            }
        }
        const auto probe = test::probe(out(name + ".mp4"));
        ASSERT_TRUE(probe.video() != nullptr);
        const test::StreamInfo& video = *probe.video();
        EXPECT_EQ(video.codec, "h264");
        EXPECT_EQ(video.pixelFormat + " " + video.profile + " " + video.primaries + "/" +
                      video.transfer,
                  c.colour);
        EXPECT_NEAR(video.durationSeconds, length, step);
        if (test::probe(fixture(c.source)).audio() != nullptr) {
            ASSERT_TRUE(probe.audio() != nullptr);
            EXPECT_NEAR(probe.audio()->durationSeconds, length, step);
        }
    }
}

TEST_F(ExportSessionTest, FailuresEndAsFailedWithAnErrorAndWriteNothing) {
    // The source turns bad between building the composition and exporting it.
    const std::string path = out("vanishing.mp4");
    fs::copy_file(fixture("clip.mp4"), path);
    auto session = fullVideoSession(path, SpeedFactor::whole(2), false);
    { std::ofstream(path, std::ios::trunc) << "no longer a movie"; }
    const Outcome broken = run(*session, out("result.mp4"));
    EXPECT_EQ(broken.status, ExportSession::Status::Failed);
    EXPECT_FALSE(broken.error.empty());
    EXPECT_EQ(broken.completions, 1);
    EXPECT_FALSE(fs::exists(out("result.mp4")));

    // Nothing to write: nothing in the composition, or a range that holds no time (never taken
    // for "everything"); sound sped up beyond what the stretcher is built for, which Rubber Band
    // itself would have crashed on (slowed beyond it: the stretcher's own test).
    auto empty = std::make_shared<Composition>();
    empty->addTrack(MediaType::Video);
    auto asset = Asset::assetWithPath(fixture("sync.mp4"));
    const auto stretched = [&](int64_t from, int64_t to) {
        auto composition = std::make_shared<Composition>();
        CompositionTrack& sound = *composition->addTrack(MediaType::Audio);
        const auto range = MediaTimeRange::make(MediaTime::zero(), MediaTime::make(from, 1000));
        sound.insertTimeRange(range, asset->tracksWithMediaType(MediaType::Audio).at(0),
                              MediaTime::zero());
        sound.scaleTimeRange(range, MediaTime::make(to, 1000));
        return composition;
    };
    struct Refused {
        std::shared_ptr<Composition> composition;
        MediaTimeRange range;
        const char* error;
    };
    for (const Refused& c :
         {Refused{empty, MediaTimeRange::invalid(), "there is nothing to export"},
          Refused{makeFullVideoComposition(*asset, SpeedFactor::whole(2), false),
                  MediaTimeRange::make(MediaTime::make(1, 1), MediaTime::make(0, 600)),
                  "the part to export is empty"},
          Refused{stretched(2000, 100), MediaTimeRange::invalid(),
                  "cannot change the speed of the sound 0.05 times: at most 10 times"}}) {
        SCOPED_TRACE(c.error);
        auto session =
            ExportSession::exportSessionWithAsset(c.composition, ExportPresetName::HighestQuality);
        session->setTimeRange(c.range);
        const Outcome refused = run(*session, out("none.mp4"));
        EXPECT_EQ(refused.status, ExportSession::Status::Failed);
        EXPECT_EQ(refused.error, c.error);
        EXPECT_EQ(session->outcome().kind, StageOutcome::Kind::Failed);
        EXPECT_FALSE(fs::exists(out("none.mp4")));
    }

    EXPECT_EQ(ExportSession::exportSessionWithAsset(empty, "NoSuchPreset"), nullptr);
    EXPECT_EQ(folder.fileCount(), 1);
}

// What the source has comes along: Original copies the pictures bit for bit (8-bit H.264 and
// 10-bit HEVC alike) and an encoding keeps every one of them; the movie lasts `factor` times as
// long at the slowed nominal rate (a phone's 120 fps slowed four times is a true 30 fps), the
// sound keeps its rate and layout, the date and place (and, in QuickTime, the camera) come along,
// and the index comes before the media data.
TEST_F(ExportSessionTest, PicturesSoundAndTagsOfTheSourceComeAlong) {
    struct Case {
        const char* source;
        int factor;
        const char* preset;
        const char* destination;
        bool bitForBit;
        double seconds; // the source's
        int rateNum, rateDen;
    };
    for (const Case& c :
         {Case{"short.mp4", 3, ExportPresetName::Original, "original.mp4", true, 2, 10, 1},
          Case{"hdr.mov", 2, ExportPresetName::Original, "original.mov", true, 1, 15, 1},
          Case{"phone.mov", 4, ExportPresetName::SourceSize, "slow.mov", false, 1, 30, 1},
          Case{"phone.mov", 4, ExportPresetName::Original, "slow.mp4", false, 1, 30, 1},
          // Matroska's millisecond stamps: 60 pictures in 3.998 s.
          Case{"late.mkv", 2, ExportPresetName::Original, "late.mov", true, 2, 30000, 1999}}) {
        SCOPED_TRACE(c.destination);
        auto session =
            fullVideoSession(fixture(c.source), SpeedFactor::whole(c.factor), false, c.preset);
        ASSERT_EQ(run(*session, out(c.destination)).status, ExportSession::Status::Completed);
        const std::vector<std::string> pictures = test::frameDigests(fixture(c.source));
        const std::vector<std::string> written = test::frameDigests(out(c.destination));
        ASSERT_FALSE(pictures.empty());
        EXPECT_EQ(written.size(), pictures.size());
        EXPECT_TRUE(!c.bitForBit || written == pictures);
        const auto source = test::probe(fixture(c.source));
        const auto probe = test::probe(out(c.destination));
        ASSERT_TRUE(probe.video());
        EXPECT_NEAR(probe.video()->durationSeconds, c.factor * c.seconds, kFrame);
        EXPECT_EQ(std::make_pair(probe.video()->frameRateNum, probe.video()->frameRateDen),
                  std::make_pair(c.rateNum, c.rateDen));
        EXPECT_TRUE(probe.indexFirst);
        // The movie starts where the source does, however late that is (late.mkv: an hour in):
        // each track as far in as it was, stretched (late.mkv's pictures follow its sound's
        // encoder delay by 21 ms).
        const double sourceStart =
            std::ranges::min(source.streams, {}, &test::StreamInfo::startSeconds).startSeconds;
        EXPECT_NEAR(probe.video()->startSeconds,
                    c.factor * (source.video()->startSeconds - sourceStart), 0.001);
        if (source.audio() && probe.audio()) {
            EXPECT_NEAR(probe.audio()->startSeconds,
                        c.factor * (source.audio()->startSeconds - sourceStart), 0.001);
        }
        EXPECT_NEAR(probe.durationSeconds, c.factor * c.seconds, 2 * c.factor * kFrame);
        ASSERT_EQ(probe.audio() != nullptr, source.audio() != nullptr);
        if (source.audio()) {
            EXPECT_EQ(probe.audio()->sampleRate, source.audio()->sampleRate);
            EXPECT_EQ(probe.audio()->channelLayout, source.audio()->channelLayout);
        }
        if (std::string(c.source) != "phone.mov") {
            continue;
        }
        std::vector<std::string> kept = {"creation_time", "location"};
        if (std::string(c.destination).ends_with(".mov")) {
            kept.insert(kept.end(), {"make", "model"});
        }
        for (const std::string& name : kept) {
            ASSERT_TRUE(source.tags.count(name)) << name;
            EXPECT_EQ(probe.tags.count(name) ? probe.tags.at(name) : "", source.tags.at(name))
                << name;
        }
    }
}

} // namespace
} // namespace lento
