#pragma once

#include "edit/EditState.h"
#include "media/MediaTime.h"
#include "media/MotionMode.h"
#include "media/SpeedFactor.h"

#include <QString>

#include <cstdint>
#include <optional>

namespace lento {

// One named stretch of the loaded video with its own slow-down factor and sound switch, under
// the names the preview and the log know it by: a face over the edit's plain value, which it
// holds by copy. It checks nothing about its bounds.
class SectionObject {
public:
    // No name, invalid times, the original speed, sound kept.
    SectionObject() = default;
    explicit SectionObject(SectionState state) : m_state(std::move(state)) {}

    // `audio` true keeps the sound (removeAudio false).
    void initWithName(const QString& name, MediaTime start, MediaTime end, int64_t speed,
                      bool audio);

    void changeName(const QString& name) { m_state.name = name; }
    void changeStart(MediaTime start) { m_state.start = start; }
    void changeEnd(MediaTime end) { m_state.end = end; }
    void changeSpeed(int64_t speed) { setSpeed(speed); }
    // `audio` true keeps the sound.
    void changeAudio(bool audio) { m_state.audio = audio; }

    const QString& name() const { return m_state.name; }
    void setName(const QString& name) { m_state.name = name; }
    MediaTime startFrame() const { return m_state.start; }
    void setStartFrame(MediaTime start) { m_state.start = start; }
    MediaTime endFrame() const { return m_state.end; }
    void setEndFrame(MediaTime end) { m_state.end = end; }
    // The factor's whole part, for choosers that offer whole factors.
    int64_t speed() const { return m_state.factor.num() / m_state.factor.den(); }
    // A whole factor (below 1: the original speed).
    void setSpeed(int64_t speed) { m_state.factor = SpeedFactor::whole(speed); }
    // The exact factor the section is slowed by.
    SpeedFactor factor() const { return m_state.factor; }
    void setFactor(SpeedFactor factor) { m_state.factor = factor; }
    bool removeAudio() const { return !m_state.audio; }
    void setRemoveAudio(bool remove) { m_state.audio = !remove; }
    // How its slowed pictures are shown; Hold unless chosen.
    MotionMode motion() const { return m_state.motion; }
    void setMotion(MotionMode motion) { m_state.motion = motion; }

    const SectionState& state() const { return m_state; }

private:
    SectionState m_state;
};

// What the preview reads of an edit: made from the document's values at one moment and never
// changed afterwards, so that a preview keeps what it was given while the user edits on. The
// full section is the Full Video tab's choices over the whole source.
class SectionsStorage {
public:
    // No edit: no full section.
    SectionsStorage() = default;
    explicit SectionsStorage(const EditState& edit);

    // Whether there is a source to play whole.
    bool isFullSection() const { return m_fullSection.has_value(); }
    // Null without one.
    const SectionObject* fullSection() const {
        return m_fullSection ? &*m_fullSection : nullptr;
    }
    // The source's path, for the full section and the sections alike.
    const QString& fullSectionURL() const { return m_sourcePath; }
    const QString& sectionsURL() const { return m_sourcePath; }

private:
    std::optional<SectionObject> m_fullSection;
    QString m_sourcePath;
};

} // namespace lento
