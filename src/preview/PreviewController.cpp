#include "preview/PreviewController.h"

#include "base/FileNames.h"
#include "base/Log.h"
#include "controls/PlayerLoading.h"
#include "edit/SectionObject.h"
#include "media/Asset.h"
#include "media/ExportSession.h"
#include "edit/SectionComposition.h"
#include "media/PlayerView.h"
#include "preview/PreviewWindowController.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>
#include <QToolButton>

namespace lento {

namespace {

// Small enough to render in a fraction of the export's time, large enough to judge the motion.
constexpr const char* kSmoothPreviewPreset = ExportPresetName::H264_640x480;

// When a copy was last played: playing one that is cached sets its access time, since its
// modification time says when it was rendered.
QDateTime lastPlayed(const QFileInfo& copy) {
    return std::max(copy.lastRead(), copy.lastModified());
}

// Marks a cached copy as played now, so that it is the last to be evicted.
void markPlayed(const QString& copy) {
    QFile file(copy);
    if (!file.open(QIODevice::ReadOnly) ||
        !file.setFileTime(QDateTime::currentDateTime(), QFileDevice::FileAccessTime)) {
        logLine("preview: cannot mark %s as played", copy.toUtf8().constData());
    }
}

} // namespace

void trimPreviewCache(const QString& directory, qint64 maxBytes, const QString& keep) {
    static const QRegularExpression copyName(QStringLiteral("^[0-9a-f]{32}\\.mp4$"));
    QFileInfoList copies;
    qint64 total = 0;
    for (const QFileInfo& file : QDir(directory).entryInfoList(QDir::Files)) {
        if (copyName.match(file.fileName()).hasMatch()) {
            copies.append(file);
            total += file.size();
        }
    }
    std::sort(copies.begin(), copies.end(),
              [](const QFileInfo& a, const QFileInfo& b) { return lastPlayed(a) < lastPlayed(b); });
    const QString kept = QFileInfo(keep).absoluteFilePath();
    for (const QFileInfo& copy : copies) {
        if (total <= maxBytes) {
            return;
        }
        if (copy.absoluteFilePath() == kept) {
            continue;
        }
        if (QFile::remove(copy.absoluteFilePath())) {
            total -= copy.size();
        } else {
            logLine("preview: cannot remove %s", copy.absoluteFilePath().toUtf8().constData());
        }
    }
}

QString previewCacheDirectory() {
    QString base = qEnvironmentVariable("XDG_CACHE_HOME");
    // The base directory specification ignores a relative path.
    if (base.isEmpty() || QDir::isRelativePath(base)) {
        base = QDir::homePath() + QStringLiteral("/.cache");
    }
    return base + QStringLiteral("/lento");
}

QString smoothPreviewPath(const QString& sourcePath, SpeedFactor factor, bool removeAudio) {
    const QFileInfo source(sourcePath);
    const QString key = QStringLiteral("%1\n%2\n%3\n%4 %5 %6 %7")
                            .arg(source.absoluteFilePath())
                            .arg(source.size())
                            .arg(source.lastModified().toMSecsSinceEpoch())
                            .arg(QString::fromStdString(factor.text()))
                            .arg(removeAudio ? 1 : 0)
                            .arg(QLatin1String(motionModeName(MotionMode::Smooth).data()))
                            .arg(QLatin1String(kSmoothPreviewPreset));
    const QByteArray digest =
        QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha256).toHex().left(32);
    return previewCacheDirectory() + QLatin1Char('/') + QString::fromLatin1(digest) +
           QStringLiteral(".mp4");
}

PreviewController::PreviewController(PreviewWindowController* window, PlayerView* playerView,
                                     SectionsStorage edit)
    : QObject(window), m_window(window), m_edit(std::move(edit)), m_previewPlayer(playerView),
      m_exportFlow(new ExportFlow(this)) {}

// A render still running is cancelled (and its threads joined) here.
PreviewController::~PreviewController() = default;

void PreviewController::awakeFromNib() {
    m_window->controlBar()->setDelegate(this);
    m_window->controlBar()->m_btnPlay()->setEnabled(false);
    const SectionsStorage& storage = m_edit;
    const bool previewing = storage.isFullSection();
    // With nothing to preview there is nothing to export either.
    m_window->exportButton()->setEnabled(previewing);
    if (!previewing) {
        return;
    }
    const SectionObject& section = *storage.fullSection();
    if (section.motion() == MotionMode::Smooth && !section.factor().isOne()) {
        const QString copy =
            smoothPreviewPath(storage.fullSectionURL(), section.factor(), section.removeAudio());
        m_source = Asset::assetWithPath(pathBytes(storage.fullSectionURL()).toStdString());
        if (QFileInfo::exists(copy) && m_source->isPlayable()) {
            logLine("preview: %s", copy.toUtf8().constData());
            markPlayed(copy);
            play(copy, SpeedFactor(), section.removeAudio());
            return;
        }
        renderSmoothCopy(copy);
        if (m_render) {
            return;
        }
    }
    play(storage.fullSectionURL(), section.factor(), section.removeAudio());
}

void PreviewController::play(const QString& path, SpeedFactor slowing, bool removeAudio) {
    auto created = std::make_unique<Player>(path);
    Player* player = created.get();
    m_previewPlayer->setPlayer(std::move(created));
    // A source played slowed stands for the slowed movie: the bar tells that movie's times, as
    // it does for a copy that is slowed already.
    m_window->controlBar()->setTimeFactor(slowing);
    attachToBar(player);
    // It plays at once, through the bar's transport; the default pitch algorithm keeps the pitch
    // at every factor.
    PlaybackTransport& transport = *m_window->controlBar()->transport();
    transport.setRate(static_cast<float>(slowing.playbackRate()));
    transport.play(removeAudio ? 0.0f : 1.0f);
}

void PreviewController::attachToBar(Player* player) {
    VideoControlBar& bar = *m_window->controlBar();
    bar.setM_Player(player);
    bar.m_btnPlay()->setEnabled(false);
    connect(player, &Player::statusChanged, this, [this, player] { playerStatusChanged(player); });
    connect(player, &Player::didPlayToEnd, &bar, &VideoControlBar::stopVideo);
    showPausesOnBar(*player, bar);
    playerStatusChanged(player);
}

void PreviewController::playerStatusChanged(Player* player) {
    VideoControlBar& bar = *m_window->controlBar();
    if (player != m_previewPlayer->player() || player->status() != Player::Status::ReadyToPlay ||
        bar.m_btnPlay()->isEnabled()) {
        return;
    }
    bar.m_btnPlay()->setEnabled(true);
    bar.setVideoEndTime(player->currentItem()->duration());
    // The preview plays from the start: the bar shows it playing and follows it.
    bar.m_btnPlay()->setChecked(true);
    bar.actionPlay();
}

bool PreviewController::withSound() const {
    const SectionObject* section = m_edit.fullSection();
    return section != nullptr && !section->removeAudio();
}

bool PreviewController::respondsToSelector(std::string_view selector) const {
    return selector == "exportProgressWindowControllerDidCancel:" ||
           selector == VideoControlBarDelegate::kPlayVideo ||
           selector == VideoControlBarDelegate::kPauseVideo ||
           selector == VideoControlBarDelegate::kAdjustAudio ||
           selector == VideoControlBarDelegate::kMonitorVideo;
}

void PreviewController::playVideo() {
    m_window->controlBar()->playVideoWithVolumn(withSound());
}

void PreviewController::adjustAudio(float volume) {
    if (Player* player = m_previewPlayer->player(); player != nullptr && withSound()) {
        player->setVolume(volume);
    }
}

MediaTime PreviewController::monitorVideo() {
    const Player* player = m_previewPlayer->player();
    if (player == nullptr || player->currentItem() == nullptr) {
        return MediaTime::zero();
    }
    return player->currentTime();
}

// Leaves m_render empty, so that the source plays as it comes, when no copy can be started.
void PreviewController::renderSmoothCopy(const QString& copyPath) {
    const SectionObject& section = *m_edit.fullSection();
    if (!m_source->isPlayable() || !QDir().mkpath(QFileInfo(copyPath).path())) {
        logLine("preview: cannot render %s", copyPath.toUtf8().constData());
        return;
    }
    FullVideoState smooth{section.factor(), !section.removeAudio(), MotionMode::Smooth};
    m_render = ExportSession::exportSessionWithAsset(
        makeComposition(*m_source, EditCut::ofFullVideo(smooth, m_source->duration())),
        kSmoothPreviewPreset);
    if (!m_render) {
        return;
    }
    m_renderPath = copyPath;
    m_render->setOutputFileType(FileType::MPEG4);
    m_render->setOutputURL(copyPath.toStdString());
    // The session's own completion runs on its worker; the timer brings the end to this thread.
    m_render->exportAsynchronouslyWithCompletionHandler([] {});
    m_window->progressBar()->setValue(0);
    m_window->progressBar()->show();
    m_renderTimer = new QTimer(this);
    m_renderTimer->setInterval(100);
    connect(m_renderTimer, &QTimer::timeout, this, &PreviewController::renderProgressed);
    m_renderTimer->start();
}

void PreviewController::renderProgressed() {
    m_window->progressBar()->setValue(static_cast<int>(m_render->progress() * 1000.0f));
    const ExportSession::Status status = m_render->status();
    if (status == ExportSession::Status::Waiting || status == ExportSession::Status::Exporting ||
        status == ExportSession::Status::Unknown) {
        return;
    }
    m_renderTimer->stop();
    m_render->waitUntilFinished();
    m_window->progressBar()->hide();
    const SectionObject* section = m_edit.fullSection();
    const bool removeAudio = section != nullptr && section->removeAudio();
    if (status == ExportSession::Status::Completed) {
        trimPreviewCache(previewCacheDirectory(), kPreviewCacheBytes, m_renderPath);
        play(m_renderPath, SpeedFactor(), removeAudio);
    } else {
        // Without the copy the preview still shows the slowed movie, its pictures held.
        logLine("preview: %s", m_render->error().c_str());
        const SpeedFactor factor = section != nullptr ? section->factor() : SpeedFactor();
        play(m_edit.fullSectionURL(), factor, removeAudio);
    }
    m_render.reset();
}

void PreviewController::windowWillClose() {
    m_window->stopModal();
}

void PreviewController::closeDialog() {
    m_window->close();
}

void PreviewController::exportProgressWindowControllerDidCancel(ExportProgressWindowController*) {
    m_exportFlow->cancelExport();
}

void PreviewController::actionExport() {
    Player* player = m_previewPlayer->player();
    if (player == nullptr || player->currentItem() == nullptr) {
        return;
    }
    player->pause();
    m_exportFlow->begin(
        m_window, urlOfPath(m_edit.fullSectionURL()),
        exportedMovieName(m_edit.fullSectionURL()) + QStringLiteral(".mov"), {"mov", "3gp", "mp4"},
        this, [this]() -> ExportJob {
            Player* source = m_previewPlayer->player();
            const SectionsStorage& storage = m_edit;
            if (source == nullptr || source->currentItem() == nullptr || !storage.fullSection()) {
                return {};
            }
            PlayerItem& item = *source->currentItem();
            const SectionObject& section = *storage.fullSection();
            // A smooth copy on screen is not what the export reads.
            const std::shared_ptr<Asset> movie = m_source ? m_source : item.asset();
            const FullVideoState choices{section.factor(), !section.removeAudio(),
                                         section.motion()};
            ExportJob job(makeComposition(*movie, EditCut::ofFullVideo(choices, movie->duration())),
                          movie,
                          MediaTimeRange::fromTimeToTime(item.reversePlaybackEndTime(),
                                                         item.forwardPlaybackEndTime()));
            job.log = ExportJob::Log::FirstFileType;
            job.firstCompatiblePreset = true;
            return job;
        });
}

} // namespace lento
