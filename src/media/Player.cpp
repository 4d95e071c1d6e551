#include "media/Player.h"

#include "base/FileNames.h"

#include <mpv/client.h>

extern "C" {
#include <libavutil/rational.h>
}

#include <QFileInfo>
#include <QPointer>

#include <algorithm>
#include <array>
#include <charconv>
#include <clocale>
#include <cmath>
#include <filesystem>
#include <system_error>
#include <utility>

namespace lento {

namespace {

std::atomic<bool> gHeadless{false};

std::string& headlessSoundFile() {
    static std::string path;
    return path;
}

// reply_userdata of the observed properties and of the requests whose answers matter.
enum Reply : uint64_t {
    kIgnoredReply = 0,
    kPauseProperty,
    kTimePosProperty,
    kEofReachedProperty,
    kSeekReply,
    kStepReply,
};

// The filter that keeps the pitch when the rate changes: mpv's own (scaletempo2), which mutes the
// sound below 0.25x unless told otherwise; 0.01x is mpv's slowest rate. rubberband keeps the sound
// too, but it makes every seek wait for its buffers: three times as long at 1x, ten at 0.1x.
constexpr const char* kPitchFilterLabel = "@lento-pitch";
constexpr const char* kPitchFilter = "@lento-pitch:scaletempo2=min-speed=0.01";

constexpr int32_t kFallbackTimescale = 600;

// A frame step that has shown nothing after this long never will (mpv says nothing of a step
// that finds no frame): the next one goes ahead. Steps back through long groups of pictures
// take a good part of it.
constexpr std::chrono::seconds kLostStep(2);
// mpv's positions are doubles: this near counts as there.
constexpr double kSecondsTolerance = 1e-6;

void setOption(mpv_handle* mpv, const char* name, const char* value) {
    // An option this mpv does not know is not worth failing over.
    mpv_set_option_string(mpv, name, value);
}

void setFlagAsync(mpv_handle* mpv, const char* name, bool value) {
    int flag = value ? 1 : 0;
    mpv_set_property_async(mpv, kIgnoredReply, name, MPV_FORMAT_FLAG, &flag);
}

void setDoubleAsync(mpv_handle* mpv, const char* name, double value) {
    mpv_set_property_async(mpv, kIgnoredReply, name, MPV_FORMAT_DOUBLE, &value);
}

void commandAsync(mpv_handle* mpv, uint64_t reply, std::initializer_list<const char*> arguments) {
    std::array<const char*, 8> argv{}; // null-terminated
    if (arguments.size() >= argv.size()) {
        return;
    }
    std::copy(arguments.begin(), arguments.end(), argv.begin());
    mpv_command_async(mpv, reply, argv.data());
}

} // namespace

void MpvHandleDeleter::operator()(mpv_handle* handle) const {
    mpv_terminate_destroy(handle);
}

void Player::setHeadless(bool headless) {
    gHeadless.store(headless);
}

bool Player::isHeadless() {
    return gHeadless.load();
}

void Player::setHeadlessSoundFile(const std::string& path) {
    headlessSoundFile() = path;
}

Player::Player(const QString& path, QObject* parent) : QObject(parent) {
    const QByteArray file = pathBytes(QFileInfo(path).absoluteFilePath());
    startMpv(file);
    // Read while mpv opens the file on its own threads.
    m_item = std::make_unique<PlayerItem>(Asset::assetWithPath(file.toStdString()));
    failUnlessPlayable();
}

Player::Player(std::shared_ptr<Asset> asset, QObject* parent)
    : QObject(parent),
      m_item(std::make_unique<PlayerItem>(asset ? std::move(asset) : Asset::assetWithPath({}))) {
    // The asset's path as the system gave it, bytes that need not be UTF-8.
    std::error_code error;
    const std::filesystem::path file = std::filesystem::absolute(m_item->asset()->path(), error);
    startMpv(QByteArray::fromStdString(error ? m_item->asset()->path() : file.native()));
    failUnlessPlayable();
}

void Player::startMpv(const QByteArray& file) {
    // mpv will not start under a locale that writes numbers differently from C (Qt sets the
    // locale from the environment).
    std::setlocale(LC_NUMERIC, "C");
    m_mpv.reset(mpv_create());
    if (m_mpv) {
        mpv_handle* mpv = m_mpv.get();
        const std::pair<const char*, const char*> options[] = {
            {"config", "no"},
            {"terminal", "no"},
            {"load-scripts", "no"},
            {"osc", "no"},
            {"ytdl", "no"},
            {"load-stats-overlay", "no"},
            {"load-osd-console", "no"},
            {"load-auto-profiles", "no"},
            {"input-default-bindings", "no"},
            {"input-vo-keyboard", "no"},
            {"osd-level", "0"},
            {"resume-playback", "no"},
            {"sid", "no"},
            {"audio-display", "no"},
            {"idle", "yes"},
            {"pause", "yes"},
            {"keep-open", "yes"},
            // The player view switches to its render context once it has one.
            {"vo", "null"},
            // Decoding stays in software; nor need the renderer look for GPU decoders.
            {"hwdec", "no"},
            {"gpu-hwdec-interop", "no"},
            {"af", kPitchFilter},
            {"audio-pitch-correction", "yes"},
            // The desktop's sound servers and ALSA beneath them. mpv's further drivers (JACK, SDL)
            // cost a tenth of a second each where no sound device answers, and SDL's probe now and
            // then hangs; without a device the picture plays on, silent.
            {"ao", "pipewire,pulse,alsa"},
            {"audio-fallback-to-null", "yes"},
        };
        for (const auto& [name, value] : options) {
            setOption(mpv, name, value);
        }
        if (isHeadless() && headlessSoundFile().empty()) {
            setOption(mpv, "ao", "null");
        } else if (isHeadless()) {
            // Set before the sound starts: mpv does not reliably reopen its output once playing.
            // The file output keeps no clock, so the sound plays alone, as fast as it is made.
            const std::pair<const char*, const char*> capture[] = {
                {"vid", "no"},
                {"ao", "pcm"},
                {"ao-pcm-file", headlessSoundFile().c_str()},
                {"ao-pcm-waveheader", "no"},
                {"audio-format", "float"},
                {"audio-channels", "mono"},
                {"audio-samplerate", "48000"},
            };
            for (const auto& [name, value] : capture) {
                setOption(mpv, name, value);
            }
        }
        if (mpv_initialize(mpv) < 0) {
            m_mpv.reset();
        }
    }
    if (m_mpv) {
        mpv_handle* mpv = m_mpv.get();
        mpv_observe_property(mpv, kPauseProperty, "pause", MPV_FORMAT_FLAG);
        mpv_observe_property(mpv, kTimePosProperty, "time-pos", MPV_FORMAT_DOUBLE);
        mpv_observe_property(mpv, kEofReachedProperty, "eof-reached", MPV_FORMAT_FLAG);
        mpv_set_wakeup_callback(mpv, &Player::wakeUp, this);
        commandAsync(mpv, kIgnoredReply, {"loadfile", file.constData()});
    }
}

void Player::failUnlessPlayable() {
    if (!m_mpv || !m_item->asset()->isPlayable()) {
        QMetaObject::invokeMethod(
            this, [this] { setStatus(Status::Failed); }, Qt::QueuedConnection);
    }
}

Player::~Player() {
    if (m_mpv) {
        // Once this returns mpv calls wakeUp() no more; calls already queued die with the
        // QObject.
        mpv_set_wakeup_callback(m_mpv.get(), nullptr, nullptr);
    }
    m_mpv.reset();
}

float Player::rate() const {
    return m_paused ? 0.0f : m_rate;
}

void Player::setRate(float rate) {
    if (!(rate > 0.0f)) {
        pause();
        return;
    }
    m_rate = rate;
    m_stepsQueued = 0;
    if (m_mpv) {
        setDoubleAsync(m_mpv.get(), "speed", rate);
        emit rateRequested(rate);
    }
    if (m_atEnd) {
        // Nothing is left to play: playback ends again at once, and says so.
        QMetaObject::invokeMethod(
            this, [this] { emit didPlayToEnd(); }, Qt::QueuedConnection);
        return;
    }
    setPaused(false);
}

void Player::play() {
    setRate(1.0f);
}

void Player::pause() {
    setPaused(true);
}

void Player::setPaused(bool paused) {
    notePaused(paused);
    if (m_mpv) {
        m_pauseRequested = paused;
        setFlagAsync(m_mpv.get(), "pause", paused);
    }
}

void Player::notePaused(bool paused) {
    if (m_paused == paused) {
        return;
    }
    m_paused = paused;
    emit playingChanged(!paused);
}

void Player::setVolume(float volume) {
    m_volume = std::clamp(std::isnan(volume) ? 0.0f : volume, 0.0f, 1.0f);
    if (m_mpv) {
        // mpv's volume is a cubic scale: its gain is (volume / 100)^3.
        setDoubleAsync(m_mpv.get(), "volume", 100.0 * std::cbrt(double(m_volume)));
    }
}

void Player::setAudioTimePitchAlgorithm(PlayerItem::PitchAlgorithm algorithm) {
    if (!m_item || m_item->m_pitchAlgorithm == algorithm) {
        return;
    }
    m_item->m_pitchAlgorithm = algorithm;
    applyPitchAlgorithm(algorithm);
}

void Player::applyPitchAlgorithm(PlayerItem::PitchAlgorithm algorithm) {
    if (!m_mpv) {
        return;
    }
    mpv_handle* mpv = m_mpv.get();
    // mpv reads audio-pitch-correction when it rebuilds the filter chain, which changing the
    // chain does; set the other way round, the change would wait for the next rate change.
    if (algorithm == PlayerItem::PitchAlgorithm::Varispeed) {
        setFlagAsync(mpv, "audio-pitch-correction", false);
        commandAsync(mpv, kIgnoredReply, {"af", "remove", kPitchFilterLabel});
    } else {
        setFlagAsync(mpv, "audio-pitch-correction", true);
        commandAsync(mpv, kIgnoredReply, {"af", "pre", kPitchFilter});
    }
}

void Player::seek(MediaTime time) {
    if (!time.isNumeric()) {
        return;
    }
    double seconds = std::max(0.0, time.seconds());
    const MediaTime duration = m_item ? m_item->duration() : MediaTime::invalid();
    if (duration.isNumeric()) {
        seconds = std::min(seconds, duration.seconds());
    }
    m_position = seconds;
    // A seek supersedes the steps asked for before it.
    m_stepsQueued = 0;
    m_stepPending = false;
    m_atEnd = duration.isNumeric() && seconds >= duration.seconds();
    // Positions mpv reports from here until the seek has been made are older than it.
    m_awaitingRestart = true;
    if (m_loaded) {
        startSeek(seconds);
    } else {
        m_seekBeforeLoad = seconds;
    }
}

void Player::startSeek(double seconds) {
    if (!m_mpv) {
        return;
    }
    std::array<char, 32> target{};
    std::to_chars(target.data(), target.data() + target.size() - 1, seconds,
                  std::chars_format::fixed, 6);
    ++m_seeksInFlight;
    commandAsync(m_mpv.get(), kSeekReply, {"seek", target.data(), "absolute+exact"});
}

void Player::stepFrame(bool forward) {
    if (!m_mpv || !m_loaded) {
        return;
    }
    // mpv lifts its pause for the one frame and pauses again: neither is a start of playback.
    notePaused(true);
    m_pauseRequested = true;
    m_stepsQueued += forward ? 1 : -1;
    if (m_stepPending && std::chrono::steady_clock::now() - m_stepSent > kLostStep) {
        m_stepPending = false; // mpv showed nothing for it: there was nothing to show
    }
    sendNextStep();
}

void Player::sendNextStep() {
    while (m_stepsQueued != 0 && !m_stepPending && !m_awaitingRestart && !m_seekBeforeLoad) {
        const bool forward = m_stepsQueued > 0;
        m_stepsQueued += forward ? -1 : 1;
        if (canStep(forward)) {
            startStep(forward);
        }
    }
}

bool Player::canStep(bool forward) const {
    if (!forward) {
        return m_position > 0.0;
    }
    if (m_atEnd) {
        return false;
    }
    const MediaTime duration = m_item ? m_item->duration() : MediaTime::invalid();
    if (!duration.isNumeric()) {
        return true;
    }
    // The last frame starts less than a frame before the end.
    double frame = 0.0;
    if (const std::vector<AssetTrack> video =
            m_item->asset()->tracksWithMediaType(MediaType::Video);
        !video.empty() && video.front().frameRate().num > 0) {
        frame = av_q2d(av_inv_q(video.front().frameRate()));
    }
    return m_position + frame < duration.seconds() - kSecondsTolerance;
}

void Player::startStep(bool forward) {
    m_atEnd = false;
    m_stepPending = true;
    m_stepFrom = m_position;
    m_stepSent = std::chrono::steady_clock::now();
    commandAsync(m_mpv.get(), kStepReply, {forward ? "frame-step" : "frame-back-step"});
}

MediaTime Player::currentTime() const {
    const MediaTime duration = m_item ? m_item->duration() : MediaTime::invalid();
    if (m_atEnd && duration.isNumeric()) {
        return duration;
    }
    return MediaTime::makeWithSeconds(m_position, timescale());
}

int32_t Player::timescale() const {
    const MediaTime duration = m_item ? m_item->duration() : MediaTime::invalid();
    return duration.isNumeric() ? duration.timescale : kFallbackTimescale;
}

void Player::setStatus(Status status) {
    // Failed is final.
    if (m_status == status || m_status == Status::Failed) {
        return;
    }
    m_status = status;
    emit statusChanged(status);
}

void Player::wakeUp(void* context) {
    auto* player = static_cast<Player*>(context);
    if (player->m_drainQueued.exchange(true)) {
        return;
    }
    QMetaObject::invokeMethod(
        player, [player] { player->drainEvents(); }, Qt::QueuedConnection);
}

void Player::drainEvents() {
    m_drainQueued.store(false);
    // A slot may delete the player while it hears of an event.
    const QPointer<Player> alive(this);
    while (alive && m_mpv) {
        const mpv_event* event = mpv_wait_event(m_mpv.get(), 0);
        if (event->event_id == MPV_EVENT_NONE) {
            break;
        }
        handleEvent(*event);
    }
}

void Player::handleEvent(const mpv_event& event) {
    switch (event.event_id) {
    case MPV_EVENT_FILE_LOADED:
        m_loaded = true;
        if (m_seekBeforeLoad) {
            startSeek(*m_seekBeforeLoad);
            m_seekBeforeLoad.reset();
        }
        if (m_item->asset()->isPlayable()) {
            setStatus(Status::ReadyToPlay);
        }
        return;
    case MPV_EVENT_END_FILE: {
        m_loaded = false;
        const auto* end = static_cast<const mpv_event_end_file*>(event.data);
        if (end->reason == MPV_END_FILE_REASON_ERROR) {
            setStatus(Status::Failed);
        }
        return;
    }
    case MPV_EVENT_COMMAND_REPLY:
        if (event.reply_userdata == kSeekReply) {
            --m_seeksInFlight;
            // A refused seek brings no restart.
            if (event.error < 0 && m_seeksInFlight == 0) {
                m_awaitingRestart = false;
            }
        } else if (event.reply_userdata == kStepReply && event.error < 0) {
            m_stepPending = false;
            sendNextStep();
        }
        return;
    case MPV_EVENT_PLAYBACK_RESTART:
        // Only a restart after mpv has taken the last seek belongs to it.
        if (m_seeksInFlight == 0 && !m_seekBeforeLoad) {
            m_awaitingRestart = false;
            sendNextStep();
        }
        return;
    case MPV_EVENT_PROPERTY_CHANGE:
        break;
    default:
        return;
    }

    const auto* property = static_cast<const mpv_event_property*>(event.data);
    switch (event.reply_userdata) {
    case kPauseProperty:
        // A step lifts the pause for its one frame: that is no start of playback.
        if (property->format == MPV_FORMAT_FLAG && !m_stepPending) {
            const bool paused = *static_cast<const int*>(property->data) != 0;
            if (!m_pauseRequested) {
                notePaused(paused);
            } else if (*m_pauseRequested == paused) {
                m_pauseRequested.reset();
            }
        }
        return;
    case kTimePosProperty:
        if (property->format == MPV_FORMAT_DOUBLE && !m_awaitingRestart) {
            m_position = *static_cast<const double*>(property->data);
            // Reports of the position the step started from are older than the step.
            if (m_stepPending && m_position != m_stepFrom) {
                m_stepPending = false;
                sendNextStep();
                emit frameShown();
            }
        }
        return;
    case kEofReachedProperty: {
        const bool eof =
            property->format == MPV_FORMAT_FLAG && *static_cast<const int*>(property->data) != 0;
        const bool reachedEnd = eof && !m_eofReached;
        m_eofReached = eof;
        if (reachedEnd) {
            // mpv keeps the file open and pauses on its last frame.
            m_atEnd = true;
            const QPointer<Player> alive(this);
            notePaused(true);
            if (alive) {
                emit didPlayToEnd();
            }
        }
        return;
    }
    default:
        return;
    }
}

} // namespace lento
