// Playback that follows the sections: while a row is selected, the rate and the sound change as
// the playhead enters and leaves sections.
#include "base/Log.h"
#include "edit/SectionRules.h"
#include "media/PlayerView.h"
#include "sections/SectionEditController.h"

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
        const SectionList& list = sectionObjects();
        const int64_t index = sectionIndexInTime(list, now);
        m_curSectionIndex = index;
        const SectionObject* under = index == -1 ? nullptr : list[static_cast<size_t>(index)].get();
        const SpeedFactor factor = under == nullptr ? SpeedFactor() : under->factor();
        if (factor != m_playFactor) {
            setPlayFactor(factor);
        }
        // Sound comes back on leaving a section without it, also straight into one with sound.
        const bool soundWanted = under == nullptr || !under->removeAudio();
        if (soundWanted != (current->volume() != 0.0f)) {
            m_controlBar->setVolumnOn(soundWanted);
        }
    }
    return now;
}

} // namespace lento
