#pragma once

#include "edit/EditState.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <optional>

namespace lento {

class EditDocument;

// Keeps a copy of the unsaved edit where the next start finds it when this process dies before
// it is saved. Each running Lento writes a file of its own, named after its process id, so that
// one never takes another's; a file whose process is gone is offered to the next one started.
class EditRecovery : public QObject {
    Q_OBJECT
public:
    // At most this long after a change, the change is on disk.
    static constexpr int kAutosaveDelayMs = 2000;

    // `folder` defaults to defaultFolder().
    explicit EditRecovery(EditDocument* document, QString folder = {}, QObject* parent = nullptr);
    ~EditRecovery() override;

    // $XDG_STATE_HOME/lento, else ~/.local/state/lento.
    static QString defaultFolder();
    // This process's autosave.
    QString filePath() const;

    // Writes the autosave now when the edit has unsaved changes, removes it otherwise.
    bool autosaveNow();
    // The edit was saved, or the window closes with its changes settled: nothing to recover.
    void removeAutosave();

    // An autosave left by a Lento that no longer runs.
    struct Orphan {
        QString path;
        EditState state;
        QString editFilePath; // the edit file it had been opened from or saved to; may be empty
    };
    std::optional<Orphan> findOrphan() const;
    // Takes the orphan over as this process's autosave and puts it in the document, modified.
    // False when another Lento took it first or it cannot be read any more.
    bool restore(const Orphan& orphan);
    // Drops an orphan the user did not want.
    static void discard(const Orphan& orphan);

private:
    void documentChanged();

    QPointer<EditDocument> m_document; // may go first: its owner decides

    QString m_folder;
    QTimer m_timer;
};

} // namespace lento
