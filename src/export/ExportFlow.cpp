#include "export/ExportFlow.h"

#include "base/Dialogs.h"
#include "base/FileNames.h"
#include "base/Log.h"
#include "base/Worker.h"
#include "export/ExportFormats.h"
#include "export/ExportQualities.h"
#include "media/ExportSetup.h"

#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QMetaObject>

namespace lento {

namespace {

// Shared by every exporter of the run, as a person expects of one program.
QString& lastFolderUsed() {
    static QString folder;
    return folder;
}

// The quality last exported at, proposed again for the next export of the run.
int& lastQualityChosen() {
    static int quality = 0;
    return quality;
}

// The folder last exported to while it is there, else the edited video's, else home.
QString startFolder(const QString& editedVideoPath) {
    if (!lastFolderUsed().isEmpty() && QFileInfo(lastFolderUsed()).isDir()) {
        return lastFolderUsed();
    }
    const QFileInfo video(editedVideoPath);
    if (!editedVideoPath.isEmpty() && video.absoluteDir().exists()) {
        return video.absolutePath();
    }
    return QDir::homePath();
}

// Where the movie is, with a button that opens its folder as the desktop opens folders.
void showExportedMovie(QWidget* window, const QString& destination, const std::string& warning) {
    const QFileInfo movie(destination);
    QString where =
        ExportFlow::tr("It is in %1.").arg(QDir::toNativeSeparators(movie.absolutePath()));
    if (!warning.empty()) {
        where += QStringLiteral("\n\n") + QString::fromStdString(warning);
    }
    if (dialogs::runAlertWithAction(window, exportedMovieMessage(movie.fileName()), where,
                                    ExportFlow::tr("Show in Folder"))) {
        QDesktopServices::openUrl(QUrl::fromLocalFile(movie.absolutePath()));
    }
}

} // namespace

QString exportedMovieMessage(const QString& fileName) {
    return ExportFlow::tr("The movie “%1” is ready.").arg(fileName);
}

QString exportedMovieName(const QString& videoPath, const QString& detail) {
    const QString video = QFileInfo(videoPath).completeBaseName();
    if (video.isEmpty()) {
        return QStringLiteral("Untitled");
    }
    QString name = detail.isEmpty() ? ExportFlow::tr("%1 slow").arg(video)
                                    : ExportFlow::tr("%1 %2 slow").arg(video, detail.trimmed());
    // A section's name may hold a slash, which would name a folder.
    name.replace(QLatin1Char('/'), QLatin1Char('-'));
    return name;
}

ExportFlow::ExportFlow(QObject* parent) : QObject(parent) {}

ExportFlow::~ExportFlow() {
    if (m_exportSession) {
        // The session's completion must not reach a flow that is gone: cancel, and let the
        // session's destructor wait for its threads.
        m_exportSession->cancelExport();
    }
    if (m_savePanel) {
        m_savePanel->deleteLater();
    }
}

void ExportFlow::begin(QWidget* window, const QUrl& editedVideo,
                       ExportProgressWindowControllerDelegate* progressDelegate,
                       std::function<ExportJob()> makeJob) {
    const QString extension = QFileInfo(pathOfUrl(editedVideo)).suffix();
    begin(window, editedVideo,
          QStringLiteral("%1.%2").arg(exportedMovieName(pathOfUrl(editedVideo)), extension),
          makeExtensionArray(extension), progressDelegate, std::move(makeJob));
}

void ExportFlow::begin(QWidget* window, const QUrl& editedVideo, const QString& name,
                       const QStringList& formats,
                       ExportProgressWindowControllerDelegate* progressDelegate,
                       std::function<ExportJob()> makeJob) {
    if (isExporting()) {
        return;
    }
    m_window = window;
    m_progressDelegate = progressDelegate;
    m_makeJob = std::move(makeJob);
    if (m_savePanel) {
        m_savePanel->deleteLater();
    }
    m_savePanel = new SavePanel(window);
    m_savePanel->setAttribute(Qt::WA_DeleteOnClose, false);
    const QString editedPath = pathOfUrl(editedVideo);
    m_savePanel->setDirectory(startFolder(editedPath));
    m_savePanel->setEditedVideoPath(editedPath);
    m_savePanel->setNameFieldStringValue(name);
    m_savePanel->setExtensionHidden(false);
    m_savePanel->setAllowedFileTypes(formats);
    m_savePanel->setAccessoryFormats(formats, IndexOfExportExtensionFromCurVideo(formats));
    QStringList qualities;
    for (const ExportQuality& quality : exportQualities()) {
        qualities << QString::fromUtf8(quality.label);
    }
    m_savePanel->setAccessoryQualities(
        qualities, lastQualityChosen() < qualities.size() ? lastQualityChosen() : 0);
    m_savePanel->setQualityNote(kOriginalQuality, QString::fromUtf8(originalQualityNote()));
    m_savePanel->beginSheetModalForWindow(window,
                                          [guard = QPointer<ExportFlow>(this)](int response) {
                                              if (guard) {
                                                  guard->confirm(response);
                                              }
                                          });
}

void ExportFlow::confirm(int response) {
    if (response != dialogs::kResponseOK || !m_savePanel) {
        return;
    }
    m_savePanel->orderOut();
    // A file already at the destination stays until the export has succeeded: the session
    // writes beside it and replaces it only then.
    const QString destination = m_savePanel->URL();
    lastFolderUsed() = QFileInfo(destination).absolutePath();
    const int quality = m_savePanel->chosenQuality();
    lastQualityChosen() = quality;
    ExportJob job = m_makeJob ? m_makeJob() : ExportJob{};
    if (!job.composition && job.makeComposition && job.source) {
        // The window stays live meanwhile; the flow counts as exporting, so no second one starts.
        m_building = true;
        m_buildCancelled = false;
        auto build = std::move(job.makeComposition);
        runOnWorker(this, std::move(build),
                    [this, job = std::move(job), destination,
                     quality](std::shared_ptr<Composition> composition) mutable {
                        m_building = false;
                        if (m_buildCancelled) {
                            emit exportFinished(ExportSession::Status::Cancelled, destination);
                            return;
                        }
                        job.composition = std::move(composition);
                        startExport(std::move(job), destination, quality);
                    });
        return;
    }
    startExport(std::move(job), destination, quality);
}

void ExportFlow::startExport(ExportJob job, const QString& destination, int quality) {
    if (!job.composition || !job.source) {
        if (!job.error.isEmpty()) {
            dialogs::runModalAlert(m_window, QStringLiteral("Export failed."), job.error);
        }
        return;
    }

    const std::string path = destination.toStdString();
    const auto compatible = exportPresetsCompatibleWithAsset(*job.source);
    const std::string preset = quality == 0 && job.firstCompatiblePreset && !compatible.empty()
                                   ? compatible.front()
                                   : exportPresetNameForQuality(quality, *job.source, path);
    if (const Performer& perform = performer()) {
        const ExportSession::Status status =
            perform({job.composition, job.source, job.timeRange, preset, path});
        if (status == ExportSession::Status::Completed) {
            showExportedMovie(m_window, destination, {});
        }
        emit exportFinished(status, destination);
        return;
    }
    m_exportSession = ExportSession::exportSessionWithAsset(job.composition, preset);
    if (!m_exportSession) {
        return;
    }
    QStringList presetNames;
    for (const std::string& name : compatible) {
        presetNames << QString::fromStdString(name);
    }
    if (job.log == ExportJob::Log::AllPresets) {
        logLine("%s\n", qPrintable(QStringLiteral("(%1)").arg(presetNames.join(", "))));
    } else if (job.log == ExportJob::Log::FirstPreset) {
        logLine("%s\n", presetNames.isEmpty() ? "(null)" : qPrintable(presetNames.first()));
    }
    m_exportSession->setTimeRange(job.timeRange);
    const FileType type = outputFileTypeForDestination(m_exportSession->supportedFileTypes(), path);
    m_exportSession->setOutputFileType(type);
    const QString url = QUrl::fromLocalFile(destination).toString();
    switch (job.log) {
    case ExportJob::Log::FirstPreset:
        logLine("%s\n", qPrintable(fileTypesText(m_exportSession->supportedFileTypes())));
        logLine("%s\n", qPrintable(url));
        break;
    case ExportJob::Log::AllPresets:
        logLine("%s\n", qPrintable(fileTypesText(m_exportSession->supportedFileTypes())));
        logLine("%s\n", fileTypeName(type).c_str());
        break;
    case ExportJob::Log::FirstFileType:
        logLine("%s\n", fileTypeName(type).c_str());
        logLine("%s\n", qPrintable(url));
        break;
    }
    m_exportSession->setOutputURL(path);

    m_exportProgressWindowController = std::make_unique<ExportProgressWindowController>(m_window);
    m_exportProgressWindowController->setExportSession(m_exportSession);
    m_exportProgressWindowController->setDelegate(m_progressDelegate);
    m_exportProgressWindowController->beginSheet();

    // The session ends on its own thread; the clean-up touches windows, so it runs here.
    m_exportSession->exportAsynchronouslyWithCompletionHandler(
        [guard = QPointer<ExportFlow>(this)] {
            QMetaObject::invokeMethod(
                guard,
                [guard] {
                    if (guard)
                        guard->exportDidFinish();
                },
                Qt::QueuedConnection);
        });
}

void ExportFlow::exportDidFinish() {
    if (m_exportProgressWindowController) {
        m_exportProgressWindowController->endSheet();
    }
    m_exportProgressWindowController.reset();
    const std::shared_ptr<ExportSession> session = std::move(m_exportSession);
    if (!session) {
        return;
    }
    const ExportSession::Status status = session->status();
    const StageOutcome outcome = session->outcome();
    const QString destination = QString::fromStdString(session->outputURL());
    if (outcome.isFailure()) {
        dialogs::runModalAlert(m_window, QStringLiteral("Export failed."),
                               QString::fromStdString(outcome.message));
    } else if (outcome.ok()) {
        showExportedMovie(m_window, destination, session->warning());
    }
    emit exportFinished(status, destination);
}

ExportFlow::Performer& ExportFlow::performer() {
    static Performer performer;
    return performer;
}

void ExportFlow::setPerformer(Performer performer) {
    ExportFlow::performer() = std::move(performer);
}

void ExportFlow::cancelExport() {
    m_buildCancelled = m_building;
    if (m_exportSession) {
        m_exportSession->cancelExport();
    }
}

} // namespace lento
