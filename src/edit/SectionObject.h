#pragma once

#include "edit/EditState.h"
#include "media/MediaTime.h"
#include "media/MotionMode.h"
#include "media/SpeedFactor.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace lento {

// One named stretch of the loaded video with its own slow-down factor and sound switch. A plain
// holder: it checks nothing about its bounds. Times are read and written whole under a lock, so
// a reader never sees half of one.
class SectionObject {
public:
    // Every field zero: no name, invalid times, speed 0, sound kept.
    SectionObject() = default;

    // `audio` true keeps the sound (removeAudio false).
    void initWithName(const QString& name, MediaTime start, MediaTime end, int64_t speed,
                      bool audio);
    // A section of the edit, as its document holds it.
    static std::shared_ptr<SectionObject> fromState(const SectionState& state);

    void changeName(const QString& name) { setName(name); }
    void changeStart(MediaTime start) { setStartFrame(start); }
    void changeEnd(MediaTime end) { setEndFrame(end); }
    void changeSpeed(int64_t speed) { setSpeed(speed); }
    // `audio` true keeps the sound.
    void changeAudio(bool audio) { setRemoveAudio(!audio); }

    QString name() const;
    void setName(const QString& name);
    MediaTime startFrame() const;
    void setStartFrame(MediaTime start);
    MediaTime endFrame() const;
    void setEndFrame(MediaTime end);
    // The factor's whole part, for choosers that offer whole factors; -1 marks the composition
    // builder's whole-video filler.
    int64_t speed() const { return m_speed; }
    // A whole factor (below 1: the original speed).
    void setSpeed(int64_t speed) {
        m_speed = speed;
        m_factor = SpeedFactor::whole(speed);
    }
    // The exact factor the section is slowed by.
    SpeedFactor factor() const { return m_factor; }
    void setFactor(SpeedFactor factor) {
        m_factor = factor;
        m_speed = factor.num() / factor.den();
    }
    bool removeAudio() const { return m_removeAudio; }
    void setRemoveAudio(bool remove) { m_removeAudio = remove; }
    // How its slowed pictures are shown; Hold unless chosen.
    MotionMode motion() const { return m_motion; }
    void setMotion(MotionMode motion) { m_motion = motion; }

    // "<name> [start, end) xN", for the log.
    QString description() const;

private:
    mutable std::mutex m_lock;
    QString m_name;
    MediaTime m_startFrame;
    MediaTime m_endFrame;
    int64_t m_speed = 0;
    SpeedFactor m_factor;
    bool m_removeAudio = false;
    MotionMode m_motion = MotionMode::Hold;
};

using SectionPtr = std::shared_ptr<SectionObject>;
using SectionList = std::vector<SectionPtr>;

// The edit as the rules, the export builders and the preview read it: made from the document's
// values at one moment and never changed afterwards, so that an export or a preview keeps what it
// was given while the user edits on. The full section is the Full Video tab's choices over the
// whole source.
class SectionsStorage {
public:
    // No edit: no sections and no full section.
    SectionsStorage() = default;
    explicit SectionsStorage(const EditState& edit);

    // Whether there is a source to play whole.
    bool isFullSection() const { return m_fullSection != nullptr; }
    const SectionList& allObjects() const { return m_objectsStorage; }
    const SectionList& objectsStorage() const { return m_objectsStorage; }
    uint64_t count() const { return m_objectsStorage.size(); }
    const SectionPtr& objectAtIndex(int64_t index) const;

    const SectionPtr& fullSection() const { return m_fullSection; }
    // The source's path, for the full section and the sections alike.
    const QString& fullSectionURL() const { return m_sourcePath; }
    const QString& sectionsURL() const { return m_sourcePath; }

private:
    SectionList m_objectsStorage;
    SectionPtr m_fullSection;
    QString m_sourcePath;
};

} // namespace lento
