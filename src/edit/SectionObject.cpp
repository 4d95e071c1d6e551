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
        .arg(m_speed);
}

SectionsStorage& SectionsStorage::sharedStorage() {
    // Made once, on first use, whichever thread asks first.
    static SectionsStorage storage;
    return storage;
}

const SectionPtr& SectionsStorage::objectAtIndex(int64_t index) const {
    return m_objectsStorage.at(static_cast<size_t>(index));
}

void SectionsStorage::delObjectAtIndex(int64_t index) {
    m_objectsStorage.erase(m_objectsStorage.begin() + static_cast<std::ptrdiff_t>(index));
}

void SectionsStorage::addObject(SectionPtr section) {
    m_objectsStorage.push_back(std::move(section));
}

void SectionsStorage::addObjectAtIndex(SectionPtr section, int64_t index) {
    m_objectsStorage.insert(m_objectsStorage.begin() + static_cast<std::ptrdiff_t>(index),
                            std::move(section));
}

} // namespace lento
