#include "app/EditFileController.h"

#include "base/Dialogs.h"
#include "edit/EditDocument.h"
#include "edit/EditFile.h"
#include "edit/EditRecovery.h"

#include <QDir>
#include <QFileInfo>
#include <QWidget>

namespace lento {

namespace {

const QStringList kEditTypes{QLatin1String(kEditFileExtension)};

} // namespace

EditFileController::EditFileController(QWidget* window, EditDocument* document, QObject* parent)
    : QObject(parent), m_window(window), m_document(document),
      m_recovery(new EditRecovery(document, {}, this)) {
    m_document->setSetAsideGuard([this] { return settleChanges(); });
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
    if (!url.isLocalFile()) {
        return false;
    }
    QString path = url.toLocalFile();
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
    if (url.isLocalFile()) {
        openEdit(url.toLocalFile());
    }
}

bool EditFileController::openEdit(const QString& path) {
    bool located = false;
    const auto locate = [this, &located](const QString& missing) {
        dialogs::runModalAlert(m_window,
                               tr("Where is the video “%1”?").arg(QFileInfo(missing).fileName()),
                               tr("It is no longer at %1. Choose it to open the edit.")
                                   .arg(QDir::toNativeSeparators(missing)),
                               dialogs::AlertStyle::Informational);
        const QUrl url =
            dialogs::runOpenPanel(m_window, tr("Locate Video"), {"mov", "3gp", "mp4", "m4v"});
        located = url.isLocalFile();
        return located ? url.toLocalFile() : QString();
    };
    EditFileProblem problem;
    std::optional<OpenedEdit> opened = openEditFile(path, locate, problem);
    if (!opened) {
        dialogs::runModalAlert(
            m_window, tr("The edit “%1” could not be opened.").arg(QFileInfo(path).fileName()),
            problem.message);
        return false;
    }
    if (!m_document->maySetAside()) {
        return false;
    }
    // What was mended on the way, and a video the user located, differ from the file: they are
    // for the user to save, or the next opening asks again.
    m_document->reset(std::move(opened->state), QFileInfo(path).absoluteFilePath(),
                      located || !opened->warnings.isEmpty());
    if (!opened->warnings.isEmpty()) {
        dialogs::runModalAlert(m_window, tr("The edit was opened with changes."),
                               opened->warnings.join('\n'), dialogs::AlertStyle::Informational);
    }
    return true;
}

bool EditFileController::windowMayClose() {
    if (!m_document->maySetAside()) {
        return false;
    }
    m_recovery->removeAutosave();
    return true;
}

void EditFileController::offerRecovery() {
    const std::optional<EditRecovery::Orphan> orphan = m_recovery->findOrphan();
    if (!orphan) {
        return;
    }
    const QString name = orphan->state.source.isEmpty()
                             ? tr("Untitled")
                             : QFileInfo(orphan->state.source.path).fileName();
    const int answer = dialogs::runQuestion(
        m_window, tr("Restore the unsaved edit of %1?").arg(name),
        tr("Lento ended before the edit was saved."), {tr("Restore"), tr("Discard")});
    if (answer == 0) {
        if (m_document->maySetAside()) {
            m_recovery->restore(*orphan);
        }
    } else if (answer == 1) {
        EditRecovery::discard(*orphan);
    }
}

} // namespace lento
