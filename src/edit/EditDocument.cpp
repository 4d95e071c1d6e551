#include "edit/EditDocument.h"

#include "base/FileNames.h"
#include "media/TimeMap.h"

#include <QFileInfo>
#include <QUndoCommand>

#include <filesystem>
#include <functional>
#include <system_error>
#include <utility>

namespace lento {

namespace {

// The ids under which steps merge.
constexpr int kBoundsMergeId = 1;

void fitSectionRamps(SectionState& section, MediaTime rampIn, MediaTime rampOut) {
    const Ramps ramps = fitRamps(section.end - section.start, rampIn, rampOut);
    section.rampIn = ramps.in;
    section.rampOut = ramps.out;
}

class InsertSection : public QUndoCommand {
public:
    InsertSection(EditDocument* document, int index, SectionState section, bool insert)
        : QUndoCommand(insert ? QObject::tr("Add Section") : QObject::tr("Delete Section")),
          m_document(document), m_index(index), m_section(std::move(section)), m_insert(insert) {}

    void redo() override { apply(m_insert); }
    void undo() override { apply(!m_insert); }

private:
    void apply(bool insert) {
        if (insert) {
            m_document->applyInsert(m_index, m_section);
        } else {
            m_document->applyRemove(m_index);
        }
    }

    EditDocument* m_document;
    int m_index;
    SectionState m_section;
    bool m_insert;
};

class ChangeSection : public QUndoCommand {
public:
    ChangeSection(EditDocument* document, int index, SectionState before, SectionState after,
                  const QString& text, int mergeId, int drag)
        : QUndoCommand(text), m_document(document), m_index(index), m_before(std::move(before)),
          m_after(std::move(after)), m_mergeId(mergeId), m_drag(drag) {}

    void redo() override { m_document->applySection(m_index, m_after); }
    void undo() override { m_document->applySection(m_index, m_before); }
    int id() const override { return m_mergeId; }
    bool mergeWith(const QUndoCommand* other) override {
        const auto* next = static_cast<const ChangeSection*>(other);
        if (m_drag == 0 || next->m_drag != m_drag || next->m_index != m_index) {
            return false;
        }
        m_after = next->m_after;
        // A drag that ends where it began leaves no step.
        setObsolete(m_after == m_before);
        return true;
    }

private:
    EditDocument* m_document;
    int m_index;
    SectionState m_before;
    SectionState m_after;
    int m_mergeId;
    int m_drag;
};

class ChangeFullVideo : public QUndoCommand {
public:
    ChangeFullVideo(EditDocument* document, FullVideoState before, FullVideoState after)
        : QUndoCommand(QObject::tr("Change Full Video Settings")), m_document(document),
          m_before(before), m_after(after) {}

    void redo() override { m_document->applyFullVideo(m_after); }
    void undo() override { m_document->applyFullVideo(m_before); }

private:
    EditDocument* m_document;
    FullVideoState m_before;
    FullVideoState m_after;
};

} // namespace

EditDocument::EditDocument(QObject* parent) : QObject(parent) {
    connect(&m_undoStack, &QUndoStack::cleanChanged, this, [this] { updateModified(); });
}

EditDocument::~EditDocument() {
    // The steps point back here: drop them before the state they change.
    m_undoStack.blockSignals(true);
    m_undoStack.clear();
}

const SectionState& EditDocument::section(int index) const {
    return m_state.sections.at(static_cast<size_t>(index));
}

void EditDocument::reset(EditState state, const QString& filePath, bool modified) {
    m_undoStack.clear();
    m_state = std::move(state);
    m_filePath = filePath;
    m_restored = modified;
    m_boundsDrag = 0;
    m_dragRamps.clear();
    emit documentReset();
    emit changed();
    updateModified();
}

void EditDocument::addSection(int index, SectionState section) {
    if (index < 0 || index > sectionCount()) {
        return;
    }
    m_undoStack.push(new InsertSection(this, index, std::move(section), true));
}

void EditDocument::deleteSection(int index) {
    if (index < 0 || index >= sectionCount()) {
        return;
    }
    m_undoStack.push(new InsertSection(this, index, section(index), false));
}

void EditDocument::changeSection(int index, const QString& text,
                                 const std::function<void(SectionState&)>& change, int mergeId) {
    if (index < 0 || index >= sectionCount()) {
        return;
    }
    SectionState after = section(index);
    change(after);
    if (section(index) == after) {
        return;
    }
    const int drag = mergeId == kBoundsMergeId ? m_boundsDrag : 0;
    m_undoStack.push(new ChangeSection(this, index, section(index), std::move(after), text,
                                       drag != 0 ? mergeId : -1, drag));
}

void EditDocument::renameSection(int index, const QString& name) {
    changeSection(index, tr("Rename Section"), [&](SectionState& after) { after.name = name; });
}

void EditDocument::setSectionBounds(int index, MediaTime start, MediaTime end) {
    if (index < 0 || index >= sectionCount()) {
        return;
    }
    std::pair<MediaTime, MediaTime> ramps{section(index).rampIn, section(index).rampOut};
    if (m_boundsDrag != 0) {
        ramps = m_dragRamps.try_emplace(index, ramps).first->second;
    }
    changeSection(
        index, tr("Move Section Bounds"),
        [&](SectionState& after) {
            after.start = start;
            after.end = end;
            fitSectionRamps(after, ramps.first, ramps.second);
        },
        kBoundsMergeId);
}

void EditDocument::beginBoundsDrag() {
    m_boundsDrag = ++m_dragCount;
    m_dragRamps.clear();
}

void EditDocument::endBoundsDrag() {
    m_boundsDrag = 0;
    m_dragRamps.clear();
}

void EditDocument::setSectionFactor(int index, SpeedFactor factor) {
    changeSection(index, tr("Change Factor"), [&](SectionState& after) { after.factor = factor; });
}

void EditDocument::setSectionAudio(int index, bool audio) {
    changeSection(index, audio ? tr("Sound On") : tr("Sound Off"),
                  [&](SectionState& after) { after.audio = audio; });
}

void EditDocument::setSectionMotion(int index, MotionMode motion) {
    changeSection(index, tr("Change Motion"), [&](SectionState& after) { after.motion = motion; });
}

void EditDocument::setSectionRamps(int index, MediaTime rampIn, MediaTime rampOut) {
    changeSection(index, tr("Change Ramp"),
                  [&](SectionState& after) { fitSectionRamps(after, rampIn, rampOut); });
}

void EditDocument::setFullVideo(const FullVideoState& fullVideo) {
    if (fullVideo == m_state.fullVideo) {
        return;
    }
    m_undoStack.push(new ChangeFullVideo(this, m_state.fullVideo, fullVideo));
}

void EditDocument::applyInsert(int index, const SectionState& section) {
    m_state.sections.insert(m_state.sections.begin() + index, section);
    emit sectionInserted(index);
    emit changed();
}

void EditDocument::applyRemove(int index) {
    m_state.sections.erase(m_state.sections.begin() + index);
    emit sectionRemoved(index);
    emit changed();
}

void EditDocument::applySection(int index, const SectionState& section) {
    m_state.sections[static_cast<size_t>(index)] = section;
    emit sectionChanged(index);
    emit changed();
}

void EditDocument::applyFullVideo(const FullVideoState& fullVideo) {
    m_state.fullVideo = fullVideo;
    emit fullVideoChanged();
    emit changed();
}

bool EditDocument::isModified() const {
    return m_restored || !m_undoStack.isClean();
}

void EditDocument::markSaved(const QString& path) {
    m_filePath = path;
    m_restored = false;
    m_undoStack.setClean();
    updateModified();
}

void EditDocument::updateModified() {
    const bool modified = isModified();
    if (modified != m_lastModified) {
        m_lastModified = modified;
        emit modifiedChanged(modified);
    }
}

EditState editOfVideo(const QString& path, MediaTime duration) {
    const QFileInfo file(path);
    EditState edit;
    edit.source.path = file.absoluteFilePath();
    std::error_code error;
    const auto size = std::filesystem::file_size(pathBytes(edit.source.path).toStdString(), error);
    edit.source.fileSize = error ? 0 : static_cast<int64_t>(size);
    edit.source.duration = duration;
    return edit;
}

} // namespace lento
