#include "edit/SectionObject.h"

namespace lento {

void SectionObject::initWithName(const QString& name, MediaTime start, MediaTime end, int64_t speed,
                                 bool audio) {
    setName(name);
    setStartFrame(start);
    setEndFrame(end);
    setSpeed(speed);
    setRemoveAudio(!audio);
}

SectionsStorage::SectionsStorage(const EditState& edit) {
    if (!edit.source.isEmpty()) {
        m_sourcePath = edit.source.path;
        const MediaTime duration = edit.source.duration;
        m_fullSection.emplace(SectionState{QString(), MediaTime::make(0, duration.timescale),
                                           duration, edit.fullVideo.factor, edit.fullVideo.audio,
                                           edit.fullVideo.motion});
    }
}

} // namespace lento
