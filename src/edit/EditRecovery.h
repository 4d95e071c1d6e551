#pragma once

#include "edit/EditState.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>

namespace lento {

class EditDocument;
class FileLock;

// Keeps a copy of the unsaved edit where the next start finds it when this process dies before
// it is saved. Each running Lento writes a file of its own and holds a lock on it for its life;
// an autosave whose lock nobody holds belongs to a Lento that has ended, and is offered to the
// next one started.
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
    const QString& folder() const { return m_folder; }
    // This process's autosave, named after its process id (and a number when a Lento in another
    // PID namespace has the same id).
    QString filePath() const;

    // Writes the autosave now when the edit has unsaved changes, removes it otherwise.
    bool autosaveNow();
    // The edit was saved, or the window closes with its changes settled: nothing to recover.
    void removeAutosave();
    // Why the last autosave could not be written, a sentence; empty after one that was.
    const QString& failure() const { return m_failure; }

    // An autosave left by a Lento that no longer runs.
    struct Orphan {
        QString path;
        EditState state;
        QString editFilePath; // the edit file it had been opened from or saved to; may be empty
        QString damage;       // why it cannot be read back (the state is then empty)
        // Its lock, held while it is offered, so that a Lento started meanwhile leaves it alone.
        std::shared_ptr<FileLock> hold;
    };
    // The newest orphan, damaged or not. An autosave of a newer Lento stays for that Lento.
    std::optional<Orphan> findOrphan() const;
    // Takes the orphan over as this process's autosave and puts it in the document, modified.
    // False when another Lento took it first or it cannot be read any more; this process's own
    // autosave is then as it was.
    bool restore(const Orphan& orphan);
    // Drops an orphan the user did not want.
    static void discard(const Orphan& orphan);
    // Moves a damaged orphan out of the way of later starts, beside the autosaves under a name
    // that says so; the path it has now, or its old path when it could not be moved.
    static QString setAsideDamaged(const Orphan& orphan);

signals:
    // The autosave could not be written, for `reason` (a sentence). Said once, and again only
    // after an autosave has been written in between.
    void autosaveFailed(const QString& reason);

private:
    void documentChanged();
    // This process's autosave name and its lock; false with `reason` when there is none.
    bool takeName(QString& reason);
    bool write(QString& reason);
    void noteOutcome(const QString& reason);

    QPointer<EditDocument> m_document; // may go first: its owner decides

    QString m_folder;
    QString m_name; // of the autosave, without extension; empty until first needed
    std::unique_ptr<FileLock> m_lock;
    QString m_failure;
    QTimer m_timer;
};

} // namespace lento
