#include "preview/PreviewController.h"

#include "base/FileNames.h"
#include "controls/PlayerLoading.h"
#include "edit/SectionComposition.h"
#include "edit/SectionObject.h"
#include "media/Asset.h"
#include "media/LivePlayback.h"
#include "media/PlayerView.h"
#include "preview/PreviewWindowController.h"

#include <QPushButton>
#include <QToolButton>

namespace lento {

PreviewController::PreviewController(PreviewWindowController* window, PlayerView* playerView,
                                     SectionsStorage edit)
    : QObject(window), m_window(window), m_edit(std::move(edit)), m_previewPlayer(playerView),
      m_exportFlow(new ExportFlow(this)) {}

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
    play(*storage.fullSection());
}

void PreviewController::play(const SectionObject& section) {
    auto created = std::make_unique<Player>(m_edit.fullSectionURL());
    Player* player = created.get();
    m_previewPlayer->setPlayer(std::move(created));
    // The source played slowed stands for the slowed movie: the bar tells that movie's times.
    m_window->controlBar()->setTimeFactor(section.factor());
    attachToBar(player);
    // It plays at once, through the bar's transport; the default pitch algorithm keeps the pitch
    // at every factor.
    PlaybackTransport& transport = *m_window->controlBar()->transport();
    transport.setRate(static_cast<float>(section.factor().playbackRate()));
    transport.play(section.removeAudio() ? 0.0f : 1.0f);
}

std::shared_ptr<Composition> PreviewController::composition(const Asset& movie) const {
    const SectionObject& section = *m_edit.fullSection();
    const FullVideoState choices{section.factor(), !section.removeAudio(), section.motion()};
    return makeComposition(movie, EditCut::ofFullVideo(choices, movie.duration()));
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
    // Made pictures take the place of the player's held ones as soon as they are planned.
    if (m_edit.fullSection()->motion() != MotionMode::Hold) {
        m_previewPlayer->livePlayback()->setComposition(
            composition(*player->currentItem()->asset()));
    }
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
            const std::shared_ptr<Asset> movie = item.asset();
            ExportJob job(composition(*movie), movie,
                          MediaTimeRange::fromTimeToTime(item.reversePlaybackEndTime(),
                                                         item.forwardPlaybackEndTime()));
            job.log = ExportJob::Log::FirstFileType;
            job.firstCompatiblePreset = true;
            return job;
        });
}

} // namespace lento
