#include "preview/PreviewController.h"

#include "app/Log.h"
#include "export/ExportSetup.h"
#include "media/PlayerView.h"
#include "preview/PreviewWindowController.h"
#include "sections/SectionObject.h"

#include <QPushButton>

namespace lento {

PreviewController::PreviewController(PreviewWindowController* window, PlayerView* playerView)
    : QObject(window), m_window(window), m_previewPlayer(playerView),
      m_exportFlow(new ExportFlow(this)) {}

void PreviewController::awakeFromNib() {
    SectionsStorage& storage = SectionsStorage::sharedStorage();
    const bool previewing = storage.isFullSection() && storage.fullSection() != nullptr &&
                            storage.fullSection()->speed() >= 1;
    // With nothing to preview there is nothing to export either.
    m_window->exportButton()->setEnabled(previewing);
    if (!previewing) {
        return;
    }
    auto created = std::make_unique<Player>(storage.fullSectionURL());
    Player* player = created.get();
    m_previewPlayer->setPlayer(std::move(created));
    // The default pitch algorithm keeps the pitch at every factor.
    player->play();
    player->setVolume(storage.fullSection()->removeAudio() ? 0.0f : 1.0f);
    player->setRate(static_cast<float>(1.0 / static_cast<double>(storage.fullSection()->speed())));
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
        m_window, QUrl::fromLocalFile(SectionsStorage::sharedStorage().fullSectionURL()),
        QStringLiteral("Untitled.mov"), {"mov", "3gp", "mp4"}, this, [this]() -> ExportJob {
            Player* source = m_previewPlayer->player();
            const SectionsStorage& storage = SectionsStorage::sharedStorage();
            if (source == nullptr || source->currentItem() == nullptr || !storage.fullSection()) {
                return {};
            }
            PlayerItem& item = *source->currentItem();
            const SectionObject& section = *storage.fullSection();
            ExportJob job(makeFullVideoComposition(*item.asset(), static_cast<int>(section.speed()),
                                                   section.removeAudio()),
                          item.asset(),
                          MediaTimeRange::fromTimeToTime(item.reversePlaybackEndTime(),
                                                         item.forwardPlaybackEndTime()));
            job.log = ExportJob::Log::FirstFileType;
            job.firstCompatiblePreset = true;
            return job;
        });
}

} // namespace lento
