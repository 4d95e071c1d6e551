// Playback that follows the sections: while a row is selected, the rate and the sound change as
// the playhead enters and leaves sections.
#include "app/Log.h"
#include "media/PlayerView.h"
#include "sections/SectionEditController.h"
#include "sections/SectionRules.h"

namespace lento {

void SectionEditController::playVideo() {
    m_controlBar->playVideoWithVolumn(volumnOnOff());
}

void SectionEditController::pauseVideo() {}

void SectionEditController::adjustAudio(float volume) {
    if (volumnOnOff() && player() != nullptr) {
        player()->setVolume(volume);
    }
}

MediaTime SectionEditController::monitorVideo() {
    Player* current = player();
    if (current == nullptr || current->currentItem() == nullptr) {
        return MediaTime::make(0, m_videoTotalDuration.timescale);
    }
    const MediaTime now = current->currentTime();
    if (selectedRow() != -1) {
        const int64_t index = sectionIndexInTime(m_sectionObjects, now);
        m_curSectionIndex = index;
        if (index == -1) {
            if (current->rate() != 1.0f) {
                m_controlBar->setPlayRate(1.0f);
            }
            if (current->volume() == 0.0f) {
                m_controlBar->setVolumnOn(true);
            }
        } else {
            const SectionObject& section = *m_sectionObjects[static_cast<size_t>(index)];
            const double wanted = 1.0 / static_cast<double>(section.speed());
            if (static_cast<double>(current->rate()) != wanted) {
                m_controlBar->setPlayRate(static_cast<float>(wanted));
            }
            if (section.removeAudio() && current->volume() != 0.0f) {
                m_controlBar->setVolumnOn(false);
            } else if (!section.removeAudio() && current->volume() == 0.0f) {
                // Out of a section without sound straight into one with sound.
                m_controlBar->setVolumnOn(true);
            }
        }
    }
    return now;
}

} // namespace lento
