#include "edit/EditRecovery.h"

#include "edit/EditDocument.h"
#include "edit/EditFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace lento {

namespace {

const QString kPrefix = QStringLiteral("autosave-");

// A process that exists, whoever's it is (EPERM: another user's), holds on to its autosave.
bool processRuns(qint64 pid) {
    return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

} // namespace

EditRecovery::EditRecovery(EditDocument* document, QString folder, QObject* parent)
    : QObject(parent), m_document(document),
      m_folder(folder.isEmpty() ? defaultFolder() : std::move(folder)) {
    m_timer.setSingleShot(true);
    m_timer.setInterval(kAutosaveDelayMs);
    connect(&m_timer, &QTimer::timeout, this, &EditRecovery::autosaveNow);
    connect(document, &EditDocument::changed, this, &EditRecovery::documentChanged);
    connect(document, &EditDocument::modifiedChanged, this, &EditRecovery::documentChanged);
}

// A process that ends without settling its changes (stopped by the session) leaves the
// autosave for the next start, with the changes of its last two seconds.
EditRecovery::~EditRecovery() {
    if (m_timer.isActive()) {
        autosaveNow();
    }
}

QString EditRecovery::defaultFolder() {
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty() || QDir::isRelativePath(base)) {
        base = QDir::homePath() + QStringLiteral("/.local/state");
    }
    return base + QStringLiteral("/lento");
}

QString EditRecovery::filePath() const {
    return QStringLiteral("%1/%2%3.%4")
        .arg(m_folder, kPrefix)
        .arg(QCoreApplication::applicationPid())
        .arg(QLatin1String(kEditFileExtension));
}

void EditRecovery::documentChanged() {
    if (m_document && !m_document->isModified()) {
        removeAutosave();
    } else if (!m_timer.isActive()) {
        // Not restarted by later changes: a long run of edits is still saved every 2 s.
        m_timer.start();
    }
}

bool EditRecovery::autosaveNow() {
    m_timer.stop();
    if (!m_document) {
        return false;
    }
    if (!m_document->isModified()) {
        removeAutosave();
        return true;
    }
    if (!QDir().mkpath(m_folder)) {
        return false;
    }
    const QString path = filePath();
    QJsonObject root = editFileObject(m_document->state(), path);
    root.insert("recovery", QJsonObject{{"pid", QCoreApplication::applicationPid()},
                                        {"editFile", m_document->filePath()}});
    const QByteArray json = QJsonDocument(root).toJson(QJsonDocument::Compact);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(json) != json.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

void EditRecovery::removeAutosave() {
    m_timer.stop();
    QFile::remove(filePath());
}

std::optional<EditRecovery::Orphan> EditRecovery::findOrphan() const {
    const QDir folder(m_folder);
    const QFileInfoList files =
        folder.entryInfoList({kPrefix + "*." + kEditFileExtension}, QDir::Files, QDir::Time);
    for (const QFileInfo& info : files) {
        bool numeric = false;
        const qint64 pid = info.completeBaseName().mid(kPrefix.size()).toLongLong(&numeric);
        if (!numeric || pid == QCoreApplication::applicationPid() || processRuns(pid)) {
            continue;
        }
        QFile file(info.filePath());
        if (!file.open(QIODevice::ReadOnly)) {
            continue;
        }
        const QByteArray json = file.readAll();
        EditFileProblem problem;
        std::optional<SavedEdit> saved = parseEditFile(json, problem);
        if (!saved) {
            // Damaged is damaged for good: it would be skipped at every start. A newer Lento's
            // stays for that Lento.
            if (problem.kind != EditFileProblem::Kind::NewerVersion) {
                QFile::remove(info.filePath());
            }
            continue;
        }
        const QJsonObject recovery =
            QJsonDocument::fromJson(json).object().value("recovery").toObject();
        return Orphan{info.filePath(), std::move(saved->state),
                      recovery.value("editFile").toString()};
    }
    return std::nullopt;
}

bool EditRecovery::restore(const Orphan& orphan) {
    if (!m_document) {
        return false;
    }
    QFile::remove(filePath());
    // The rename is the claim: of two Lentos starting at once, one gets it.
    if (!QFile::rename(orphan.path, filePath())) {
        return false;
    }
    m_document->reset(orphan.state, orphan.editFilePath, true);
    return true;
}

void EditRecovery::discard(const Orphan& orphan) {
    QFile::remove(orphan.path);
}

} // namespace lento
