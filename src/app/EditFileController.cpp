#include "app/EditFileController.h"

#include "base/Dialogs.h"
#include "base/FileNames.h"
#include "base/Worker.h"
#include "edit/EditDocument.h"
#include "edit/EditFile.h"
#include "edit/EditRecovery.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QTimer>
#include <QWidget>

namespace lento {

namespace {

const QStringList kEditTypes{QLatin1String(kEditFileExtension)};

} // namespace

EditFileController::EditFileController(QWidget* window, EditDocument* document, QObject* parent)
    : QObject(parent), m_window(window), m_document(document),
      m_recovery(new EditRecovery(document, {}, this)) {
    m_document->setSetAsideGuard([this] { return settleChanges(); });
    connect(m_recovery, &EditRecovery::autosaveFailed, this, &EditFileController::sayAutosaveFailed,
            Qt::QueuedConnection);
}

EditFileController::~EditFileController() {
    if (m_document) {
        m_document->setSetAsideGuard({});
    }
}

QString EditFileController::editName() const {
    const QString& source = m_document->state().source.path;
    if (!source.isEmpty()) {
        return QFileInfo(source).fileName();
    }
    if (!m_document->filePath().isEmpty()) {
        return QFileInfo(m_document->filePath()).completeBaseName();
    }
    return tr("Untitled");
}

QString EditFileController::saveChangesQuestion() const {
    return tr("Save changes to the edit of %1?").arg(editName());
}

bool EditFileController::settleChanges() {
    if (!m_document->isModified()) {
        return true;
    }
    const int answer = dialogs::runQuestion(m_window, saveChangesQuestion(),
                                            tr("Your changes will be lost if you don't save them."),
                                            {tr("Save"), tr("Don't Save"), tr("Cancel")});
    switch (answer) {
    case 0:
        return actionSaveEdit();
    case 1:
        return true;
    default:
        return false;
    }
}

bool EditFileController::save(const QString& path) {
    EditFileProblem problem;
    if (!writeEditFile(m_document->state(), path, problem)) {
        dialogs::runModalAlert(m_window, tr("The edit could not be saved."), problem.message);
        return false;
    }
    m_document->markSaved(path);
    m_recovery->removeAutosave();
    return true;
}

bool EditFileController::actionSaveEdit() {
    const QString& path = m_document->filePath();
    return path.isEmpty() ? actionSaveEditAs() : save(path);
}

bool EditFileController::actionSaveEditAs() {
    QString suggested = m_document->filePath();
    if (suggested.isEmpty()) {
        const QString& source = m_document->state().source.path;
        const QFileInfo info(source.isEmpty() ? QDir::home().filePath(tr("Untitled")) : source);
        suggested = info.absoluteDir().filePath(info.completeBaseName() + '.' + kEditFileExtension);
    }
    const QUrl url = dialogs::runSavePanel(m_window, tr("Save Edit"), suggested, kEditTypes);
    QString path = pathOfUrl(url);
    if (path.isEmpty()) {
        return false;
    }
    if (QFileInfo(path).suffix().compare(QLatin1String(kEditFileExtension), Qt::CaseInsensitive)) {
        path += '.' + QLatin1String(kEditFileExtension);
    }
    return save(path);
}

bool EditFileController::actionNewEdition() {
    if (!m_document->maySetAside()) {
        return false;
    }
    m_document->reset({});
    return true;
}

void EditFileController::actionOpenEdit() {
    const QUrl url = dialogs::runOpenPanel(m_window, tr("Open Edit"), kEditTypes);
    if (const QString path = pathOfUrl(url); !path.isEmpty()) {
        openEdit(path);
    }
}

void EditFileController::openEdit(const QString& path) {
    if (m_opening) {
        return;
    }
    m_opening = true;
    runOnWorker(
        this, [path] { return openEditFileWithoutAsking(path); },
        [this, path](EditFileOpening opening) {
            if (opening.unlocated) {
                locateEditSource(path, std::move(*opening.unlocated), opening.problem);
            } else {
                finishOpeningEdit(path, std::move(opening.opened), opening.problem, false);
            }
        });
}

void EditFileController::locateEditSource(const QString& path, SavedEdit saved,
                                          EditFileProblem problem) {
    const QString& missing = saved.state.source.path;
    dialogs::runModalAlert(m_window,
                           tr("Where is the video “%1”?").arg(QFileInfo(missing).fileName()),
                           tr("It is no longer at %1. Choose it to open the edit.")
                               .arg(QDir::toNativeSeparators(missing)),
                           dialogs::AlertStyle::Informational);
    const QUrl url =
        dialogs::runOpenPanel(m_window, tr("Locate Video"), {"mov", "3gp", "mp4", "m4v"});
    const QString source = pathOfUrl(url);
    if (source.isEmpty()) {
        finishOpeningEdit(path, std::nullopt, problem, false);
        return;
    }
    // The chosen video is probed on the worker too.
    runOnWorker(
        this,
        [state = std::move(saved.state), source]() mutable {
            EditFileProblem attachProblem;
            std::optional<OpenedEdit> opened =
                attachEditSource(std::move(state), source, attachProblem);
            return std::make_pair(std::move(opened), attachProblem);
        },
        [this, path](std::pair<std::optional<OpenedEdit>, EditFileProblem> attached) {
            finishOpeningEdit(path, std::move(attached.first), attached.second, true);
        });
}

void EditFileController::finishOpeningEdit(const QString& path, std::optional<OpenedEdit> opened,
                                           const EditFileProblem& problem, bool located) {
    m_opening = false;
    if (!opened) {
        dialogs::runModalAlert(
            m_window, tr("The edit “%1” could not be opened.").arg(QFileInfo(path).fileName()),
            problem.message);
        emit editOpeningEnded(false);
        return;
    }
    if (!m_document || !m_document->maySetAside()) {
        emit editOpeningEnded(false);
        return;
    }
    // What was mended on the way, and a video the user located, differ from the file: they are
    // for the user to save, or the next opening asks again.
    m_document->reset(std::move(opened->state), QFileInfo(path).absoluteFilePath(),
                      located || !opened->warnings.isEmpty());
    if (!opened->warnings.isEmpty()) {
        dialogs::runModalAlert(m_window, tr("The edit was opened with changes."),
                               opened->warnings.join('\n'), dialogs::AlertStyle::Informational);
    }
    emit editOpeningEnded(true);
}

bool EditFileController::windowMayClose() {
    if (!m_document->maySetAside()) {
        return false;
    }
    m_recovery->removeAutosave();
    return true;
}

void EditFileController::offerRecovery() {
    std::optional<EditRecovery::Orphan> orphan = m_recovery->findOrphan();
    // A damaged one is said and set aside; the next one is looked for after it.
    for (int damaged = 0; orphan && !orphan->damage.isEmpty() && damaged < 100; ++damaged) {
        const QString kept = EditRecovery::setAsideDamaged(*orphan);
        dialogs::runModalAlert(m_window, tr("An unsaved edit could not be restored."),
                               tr("Lento ended before the edit was saved, and what it left "
                                  "cannot be read. %1\nIt was kept as %2.")
                                   .arg(orphan->damage, QDir::toNativeSeparators(kept)));
        orphan = m_recovery->findOrphan();
    }
    if (!orphan || !orphan->damage.isEmpty()) {
        return;
    }
    const QString name = orphan->state.source.isEmpty()
                             ? tr("Untitled")
                             : QFileInfo(orphan->state.source.path).fileName();
    const int answer = dialogs::runQuestion(
        m_window, tr("Restore the unsaved edit of %1?").arg(name),
        tr("Lento ended before the edit was saved."), {tr("Restore"), tr("Discard")});
    if (answer == 0) {
        if (m_document->maySetAside() && !m_recovery->restore(*orphan)) {
            dialogs::runModalAlert(m_window, tr("The edit could not be restored."),
                                   tr("Another Lento has taken it, or it is no longer there."));
        }
    } else if (answer == 1) {
        EditRecovery::discard(*orphan);
    }
}

void EditFileController::sayAutosaveFailed(const QString& reason) {
    // Not in the middle of a drag: the alert would take the mouse from it.
    if (QApplication::mouseButtons() != Qt::NoButton) {
        QTimer::singleShot(250, this, [this, reason] { sayAutosaveFailed(reason); });
        return;
    }
    dialogs::runModalAlert(
        m_window, tr("Lento cannot keep this edit safe."),
        tr("%1\nUntil the edit is saved, a crash would lose its changes.").arg(reason));
}

} // namespace lento
