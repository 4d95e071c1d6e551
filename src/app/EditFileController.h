#pragma once

#include "edit/EditFile.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <optional>

class QWidget;

namespace lento {

class EditDocument;
class EditRecovery;

// The window's edit as a file: opening, saving, the question before unsaved changes are set
// aside, and the autosave that survives a crash.
class EditFileController : public QObject {
    Q_OBJECT
public:
    EditFileController(QWidget* window, EditDocument* document, QObject* parent = nullptr);
    ~EditFileController() override;

    EditRecovery* recovery() const { return m_recovery; }

    // File > Open Edit…, Save Edit, Save Edit As…. The saves are true when the edit was written.
    void actionOpenEdit();
    bool actionSaveEdit();
    bool actionSaveEditAs();
    // File > New Edition: an empty edit, once unsaved changes are settled; false when kept.
    bool actionNewEdition();

    // Opens the edit at `path` in place of the current one. The file is read and its video
    // probed on a worker, the window staying live; a file that cannot be opened is explained in
    // an alert and changes nothing. editOpeningEnded tells the outcome. While one edit is being
    // opened, another is not started.
    void openEdit(const QString& path);

    // The window closes: unsaved changes are settled (true) or the window stays (false).
    bool windowMayClose();

    // At start: an autosave left by a Lento that ended before saving is offered back; one that is
    // damaged is said and kept aside.
    void offerRecovery();

    // "Save changes to the edit of NAME?"
    QString saveChangesQuestion() const;

signals:
    // The edit asked for with openEdit is in the window (true), or was not opened.
    void editOpeningEnded(bool opened);

private:
    // openEdit's steps on the window's thread: the video asked for when it has gone, then the
    // edit put in the window.
    void locateEditSource(const QString& path, SavedEdit saved, EditFileProblem problem);
    // `located`: the user chose the video, which the file does not name.
    void finishOpeningEdit(const QString& path, std::optional<OpenedEdit> opened,
                           const EditFileProblem& problem, bool located);

    // The set-aside guard: asks about unsaved changes; true when the edit may be replaced.
    bool settleChanges();
    bool save(const QString& path);
    QString editName() const;
    // Once, when the autosave cannot be written.
    void sayAutosaveFailed(const QString& reason);

    QPointer<QWidget> m_window;
    QPointer<EditDocument> m_document; // the window's; may go first when the window is destroyed
    EditRecovery* m_recovery;
    bool m_opening = false;
};

} // namespace lento
