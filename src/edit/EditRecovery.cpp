#include "edit/EditRecovery.h"

#include "base/FileNames.h"
#include "edit/EditDocument.h"
#include "edit/EditFile.h"
#include "media/FileLock.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

namespace lento {

namespace {

namespace fs = std::filesystem;

const QString kPrefix = QStringLiteral("autosave-");
const QString kDamagedPrefix = QStringLiteral("damaged-");
const QString kLockExtension = QStringLiteral(".lock");

fs::path fsPath(const QString& path) {
    return fs::path(pathBytes(path).toStdString());
}

QString qPath(const fs::path& path) {
    return pathFromBytes(QByteArray::fromStdString(path.native()));
}

QString editExtension() {
    return QLatin1Char('.') + QLatin1String(kEditFileExtension);
}

// autosave-123.lento locks autosave-123.lock.
QString lockPathOf(const QString& autosave) {
    return autosave.left(autosave.size() - editExtension().size()) + kLockExtension;
}

QString quoted(const QString& path) {
    return QStringLiteral("“%1”").arg(path);
}

// The autosaves in `folder`, newest first.
std::vector<fs::path> autosavesIn(const QString& folder) {
    std::vector<std::pair<fs::file_time_type, fs::path>> found;
    std::error_code error;
    for (fs::directory_iterator it(fsPath(folder), error), end; !error && it != end;
         it.increment(error)) {
        const QString name = qPath(it->path().filename());
        if (name.startsWith(kPrefix) && name.endsWith(editExtension()) &&
            it->is_regular_file(error)) {
            found.emplace_back(it->last_write_time(error), it->path());
        }
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a > b; });
    std::vector<fs::path> paths;
    for (auto& [time, path] : found) {
        paths.push_back(std::move(path));
    }
    return paths;
}

bool readWhole(const fs::path& path, QByteArray& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes = QByteArray::fromStdString(
        std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    return !in.bad();
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
// autosave for the next start, with the changes of its last two seconds. Its lock goes with it.
EditRecovery::~EditRecovery() {
    if (m_timer.isActive()) {
        autosaveNow();
    }
    std::error_code error;
    if (m_lock && !fs::exists(fsPath(filePath()), error)) {
        m_lock->removeFile();
    }
}

QString EditRecovery::defaultFolder() {
    QString base = pathFromBytes(qgetenv("XDG_STATE_HOME"));
    if (base.isEmpty() || !base.startsWith(QLatin1Char('/'))) {
        base = pathFromBytes(qgetenv("HOME")) + QStringLiteral("/.local/state");
    }
    return base + QStringLiteral("/lento");
}

QString EditRecovery::filePath() const {
    const QString name =
        m_name.isEmpty() ? kPrefix + QString::number(QCoreApplication::applicationPid()) : m_name;
    return m_folder + QLatin1Char('/') + name + editExtension();
}

void EditRecovery::documentChanged() {
    if (m_document && !m_document->isModified()) {
        removeAutosave();
    } else if (!m_timer.isActive()) {
        // Not restarted by later changes: a long run of edits is still saved every 2 s.
        m_timer.start();
    }
}

bool EditRecovery::takeName(QString& reason) {
    if (m_lock) {
        return true;
    }
    std::error_code error;
    const fs::path folder = fsPath(m_folder);
    if (fs::exists(folder, error) && !fs::is_directory(folder, error)) {
        reason = tr("Unsaved changes are kept in %1, which is not a folder.").arg(quoted(m_folder));
        return false;
    }
    if (!fs::create_directories(folder, error) && error) {
        reason = tr("The folder %1 for unsaved changes cannot be made: %2.")
                     .arg(quoted(m_folder), QString::fromLocal8Bit(error.message()));
        return false;
    }
    const QString pid = QString::number(QCoreApplication::applicationPid());
    for (int n = 0; n < 100; ++n) {
        const QString name =
            n == 0 ? kPrefix + pid : kPrefix + pid + QLatin1Char('-') + QString::number(n);
        const QString autosave = m_folder + QLatin1Char('/') + name + editExtension();
        std::string lockError;
        std::unique_ptr<FileLock> lock =
            FileLock::take(pathBytes(lockPathOf(autosave)).toStdString(), lockError);
        if (!lock && !lockError.empty()) {
            reason = tr("%1 cannot be written: %2.")
                         .arg(quoted(lockPathOf(autosave)), QString::fromLocal8Bit(lockError));
            return false;
        }
        // Held: a Lento with this process id in another PID namespace. There and unheld: the
        // autosave of a Lento that had this id before, which waits to be offered.
        if (lock && !fs::exists(fsPath(autosave), error)) {
            m_name = name;
            m_lock = std::move(lock);
            return true;
        }
    }
    reason = tr("Every autosave name for this process is taken in %1.").arg(quoted(m_folder));
    return false;
}

bool EditRecovery::write(QString& reason) {
    const QString path = filePath();
    QJsonObject root = editFileObject(m_document->state(), path);
    root.insert("recovery", QJsonObject{{"pid", QCoreApplication::applicationPid()},
                                        {"editFile", m_document->filePath()}});
    const QByteArray json = QJsonDocument(root).toJson(QJsonDocument::Compact);
    QSaveFile file(path);
    // As for the edit file: flush() sees an error of the last buffered write, commit() not.
    if (!file.open(QIODevice::WriteOnly) || file.write(json) != json.size() || !file.flush() ||
        !file.commit()) {
        reason = tr("%1 cannot be written: %2.").arg(quoted(path), file.errorString());
        file.cancelWriting();
        return false;
    }
    return true;
}

void EditRecovery::noteOutcome(const QString& reason) {
    if (reason.isEmpty()) {
        m_failure.clear();
    } else if (m_failure.isEmpty()) {
        m_failure = reason;
        emit autosaveFailed(reason);
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
    QString reason;
    const bool written = takeName(reason) && write(reason);
    noteOutcome(reason);
    return written;
}

void EditRecovery::removeAutosave() {
    m_timer.stop();
    // Only a file this process named is its own: the same process id may have left one before.
    if (m_lock) {
        std::error_code ignored;
        fs::remove(fsPath(filePath()), ignored);
    }
}

std::optional<EditRecovery::Orphan> EditRecovery::findOrphan() const {
    for (const fs::path& found : autosavesIn(m_folder)) {
        const QString path = qPath(found);
        if (m_lock && path == filePath()) {
            continue;
        }
        // Held: its Lento runs, or another one just started offers it.
        const std::string lockPath = pathBytes(lockPathOf(path)).toStdString();
        std::string lockError;
        std::shared_ptr<FileLock> hold = FileLock::take(lockPath, lockError);
        if (!hold && (lockError.empty() || FileLock::isHeld(lockPath))) {
            continue;
        }
        QByteArray json;
        if (!readWhole(found, json)) {
            continue; // taken by another Lento meanwhile
        }
        EditFileProblem problem;
        std::optional<SavedEdit> saved = parseEditFile(json, problem);
        if (!saved) {
            if (problem.kind == EditFileProblem::Kind::NewerVersion) {
                continue;
            }
            return Orphan{path, {}, {}, problem.message, std::move(hold)};
        }
        const QJsonObject recovery =
            QJsonDocument::fromJson(json).object().value("recovery").toObject();
        return Orphan{path,
                      std::move(saved->state),
                      recovery.value("editFile").toString(),
                      {},
                      std::move(hold)};
    }
    return std::nullopt;
}

bool EditRecovery::restore(const Orphan& orphan) {
    if (!m_document || !orphan.damage.isEmpty()) {
        return false;
    }
    QString reason;
    if (!takeName(reason)) {
        noteOutcome(reason);
        return false;
    }
    // The rename is the claim: of two Lentos starting at once, one gets it. It replaces this
    // process's autosave only when it succeeds.
    if (std::rename(pathBytes(orphan.path).constData(), pathBytes(filePath()).constData()) != 0) {
        return false;
    }
    if (orphan.hold) {
        orphan.hold->removeFile();
    }
    m_document->reset(orphan.state, orphan.editFilePath, true);
    return true;
}

void EditRecovery::discard(const Orphan& orphan) {
    std::error_code ignored;
    fs::remove(fsPath(orphan.path), ignored);
    if (orphan.hold) {
        orphan.hold->removeFile();
    }
}

QString EditRecovery::setAsideDamaged(const Orphan& orphan) {
    const fs::path from = fsPath(orphan.path);
    const QString name = qPath(from.filename());
    for (int n = 0; n < 100; ++n) {
        QString kept = kDamagedPrefix + name;
        if (n > 0) {
            kept.insert(kept.size() - editExtension().size(),
                        QLatin1Char('-') + QString::number(n));
        }
        const fs::path to = from.parent_path() / fsPath(kept);
        std::error_code error;
        if (fs::exists(to, error)) {
            continue;
        }
        fs::rename(from, to, error);
        if (error) {
            break;
        }
        if (orphan.hold) {
            orphan.hold->removeFile();
        }
        return qPath(to);
    }
    return orphan.path;
}

} // namespace lento
