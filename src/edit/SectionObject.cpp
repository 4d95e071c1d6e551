#include "edit/SectionObject.h"

#include <algorithm>

namespace lento {

void SectionObject::initWithName(const QString& name, MediaTime start, MediaTime end, int64_t speed,
                                 bool audio) {
    setName(name);
    setStartFrame(start);
    setEndFrame(end);
    setSpeed(speed);
    setRemoveAudio(!audio);
}

std::shared_ptr<SectionObject> SectionObject::fromState(const SectionState& state) {
    auto section = std::make_shared<SectionObject>();
    section->initWithName(state.name, state.start, state.end, 1, state.audio);
    section->setFactor(state.factor);
    section->setMotion(state.motion);
    return section;
}

QString SectionObject::name() const {
    std::lock_guard lock(m_lock);
    return m_name;
}

void SectionObject::setName(const QString& name) {
    std::lock_guard lock(m_lock);
    m_name = name;
}

MediaTime SectionObject::startFrame() const {
    std::lock_guard lock(m_lock);
    return m_startFrame;
}

void SectionObject::setStartFrame(MediaTime start) {
    std::lock_guard lock(m_lock);
    m_startFrame = start;
}

MediaTime SectionObject::endFrame() const {
    std::lock_guard lock(m_lock);
    return m_endFrame;
}

void SectionObject::setEndFrame(MediaTime end) {
    std::lock_guard lock(m_lock);
    m_endFrame = end;
}

QString SectionObject::description() const {
    return QStringLiteral("%1 [%2, %3) x%4")
        .arg(name(), QString::fromStdString(startFrame().description()),
             QString::fromStdString(endFrame().description()))
        .arg(QString::fromStdString(m_factor.text()));
}

SectionsStorage::SectionsStorage(const EditState& edit) {
    m_objectsStorage.reserve(edit.sections.size());
    for (const SectionState& section : edit.sections) {
        m_objectsStorage.push_back(SectionObject::fromState(section));
    }
    if (!edit.source.isEmpty()) {
        m_sourcePath = edit.source.path;
        const MediaTime duration = edit.source.duration;
        m_fullSection = SectionObject::fromState({QString(), MediaTime::make(0, duration.timescale),
                                                  duration, edit.fullVideo.factor,
                                                  edit.fullVideo.audio, edit.fullVideo.motion});
    }
}

const SectionPtr& SectionsStorage::objectAtIndex(int64_t index) const {
    return m_objectsStorage.at(static_cast<size_t>(index));
}

} // namespace lento
