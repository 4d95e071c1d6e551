#pragma once

#include "edit/EditState.h"

#include <QObject>
#include <QString>
#include <QUndoStack>

#include <functional>
#include <map>
#include <utility>

namespace lento {

// The one edit the window works on: its source, the Full Video choices and the sections. Every
// change made through it is a step on its undo stack, and every change, done, undone or redone,
// is announced by the signals below, so the views follow whatever changed it.
class EditDocument : public QObject {
    Q_OBJECT
public:
    explicit EditDocument(QObject* parent = nullptr);
    ~EditDocument() override;

    const EditState& state() const { return m_state; }
    int sectionCount() const { return static_cast<int>(m_state.sections.size()); }
    // `index` must be within 0 ... sectionCount() - 1.
    const SectionState& section(int index) const;

    QUndoStack* undoStack() { return &m_undoStack; }

    // Replaces the whole edit (another source loaded, an edit opened or restored) and forgets
    // the history. `filePath` is the edit file it came from, empty for a new edit; `modified`
    // marks an edit that differs from that file (a restored one).
    void reset(EditState state, const QString& filePath = {}, bool modified = false);

    // The steps. Each is one undoable command named for its menu item ("Undo Add Section").
    // Indices out of range and changes that change nothing are ignored.
    void addSection(int index, SectionState section);
    void deleteSection(int index);
    void renameSection(int index, const QString& name);
    // Bounds set between beginBoundsDrag() and endBoundsDrag() on one section are one step. The
    // section's ramps are fitted to its new length (fitRamps), during a drag the ramps it had
    // when the drag began: a drag that shortens a section and lengthens it again keeps them.
    void setSectionBounds(int index, MediaTime start, MediaTime end);
    void beginBoundsDrag();
    void endBoundsDrag();
    void setSectionFactor(int index, SpeedFactor factor);
    void setSectionAudio(int index, bool audio);
    void setSectionMotion(int index, MotionMode motion);
    // Both ramps, fitted to the section (fitRamps): a section's ramps always fit it.
    void setSectionRamps(int index, MediaTime rampIn, MediaTime rampOut);
    void setFullVideo(const FullVideoState& fullVideo);

    // Asked before the edit is replaced by another (another video loaded, an edit opened): the
    // window offers to save unsaved changes; false means keep this edit. True when nobody asks.
    void setSetAsideGuard(std::function<bool()> guard) { m_setAsideGuard = std::move(guard); }
    bool maySetAside() const { return !m_setAsideGuard || m_setAsideGuard(); }

    // Unsaved changes: steps made or undone since the last save, or a restored edit.
    bool isModified() const;
    // The edit was written to `path`: the current step is the saved one.
    void markSaved(const QString& path);
    // The file the edit was last saved to or opened from; empty for a new edit.
    const QString& filePath() const { return m_filePath; }

    // Used by the steps to change the state and announce it; not for callers.
    void applyInsert(int index, const SectionState& section);
    void applyRemove(int index);
    void applySection(int index, const SectionState& section);
    void applyFullVideo(const FullVideoState& fullVideo);
    int boundsDrag() const { return m_boundsDrag; }

signals:
    // After reset(): everything may differ.
    void documentReset();
    void sectionInserted(int index);
    void sectionRemoved(int index);
    void sectionChanged(int index);
    void fullVideoChanged();
    // After any change of the edit, for autosaving.
    void changed();
    void modifiedChanged(bool modified);

private:
    // Pushes `change` made to a copy of section `index` as a step named `text`, unless the index
    // is out of range or the change changes nothing.
    void changeSection(int index, const QString& text,
                       const std::function<void(SectionState&)>& change, int mergeId = -1);
    void updateModified();

    EditState m_state;
    QUndoStack m_undoStack;
    QString m_filePath;
    bool m_restored = false; // modified without any step: restored from an autosave
    bool m_lastModified = false;
    int m_boundsDrag = 0; // the drag in progress, 0 when none
    int m_dragCount = 0;
    // The ramps of the sections the drag in progress has moved, as they were when it began.
    std::map<int, std::pair<MediaTime, MediaTime>> m_dragRamps;
    std::function<bool()> m_setAsideGuard;
};

// A new edit of the video at `path` lasting `duration`: its absolute path and size, the default
// Full Video choices, no sections.
EditState editOfVideo(const QString& path, MediaTime duration);

} // namespace lento
