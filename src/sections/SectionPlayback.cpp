// Playback that follows the sections: while a row is selected, the rate and the sound change as
// the playhead enters and leaves sections.
#include "base/Log.h"
#include "edit/SectionComposition.h"
#include "edit/SectionRules.h"
#include "media/PlayerView.h"
#include "sections/RampPlayback.h"
#include "sections/SectionEditController.h"

namespace lento {

void SectionEditController::setPlayFactor(SpeedFactor factor) {
    m_playFactor = factor;
    // The player's rate is the one place the factor becomes a floating-point number.
    m_controlBar->setPlayRate(static_cast<float>(factor.playbackRate()));
}

LivePlayback::CompositionBuilder
SectionEditController::liveComposition(const std::shared_ptr<Asset>& video) const {
    const SectionSpan sections = sectionObjects();
    const bool made = std::any_of(sections.begin(), sections.end(), [](const SectionState& s) {
        return s.motion != MotionMode::Hold;
    });
    if (!made || m_sectionErrors > 0) {
        return {};
    }
    // The sections are copied here, plain values; they are laid on the worker.
    return [video, sections = std::vector<SectionState>(sections.begin(), sections.end())] {
        return makeComposition(*video, EditCut::ofSections(sections, video->duration()));
    };
}

MediaTime SectionEditController::monitorVideo() {
    Player* current = player();
    if (current == nullptr || current->currentItem() == nullptr) {
        return MediaTime::make(0, m_videoTotalDuration.timescale);
    }
    const MediaTime now = current->currentTime();
    if (selectedRow() != -1) {
        const PlaybackAtTime wanted = playbackAtTime(sectionObjects(), now);
        m_curSectionIndex = wanted.section;
        // Through ramps the rate is the map's, sent more often than this.
        if (wanted.factor != m_playFactor && !m_rampPlayback->follows()) {
            setPlayFactor(wanted.factor);
        }
        // Sound comes back on leaving a section without it, also straight into one with sound.
        if (wanted.sound != (current->volume() != 0.0f)) {
            m_controlBar->setVolumnOn(wanted.sound);
        }
    }
    return now;
}

} // namespace lento
