#pragma once

#include "export/ExportProgressWindowController.h"
#include "export/SavePanel.h"
#include "media/Asset.h"
#include "media/Composition.h"
#include "media/ExportSession.h"

#include <QObject>
#include <QPointer>
#include <QUrl>

#include <functional>
#include <memory>

namespace lento {

// What an exporter hands the flow once the user has confirmed the destination.
struct ExportJob {
    ExportJob() = default;
    ExportJob(std::shared_ptr<Composition> composition, std::shared_ptr<const Asset> source,
              MediaTimeRange timeRange)
        : composition(std::move(composition)), source(std::move(source)), timeRange(timeRange) {}

    std::shared_ptr<Composition> composition;
    // Builds the composition in its place, off the interface thread: laying an edit of many
    // sections takes a while. It works on copies only; a null result ends the flow.
    std::function<std::shared_ptr<Composition>()> makeComposition;
    // The source the composition was made from: its compatible presets choose the 3gp preset.
    std::shared_ptr<const Asset> source;
    // The part to export; an invalid range exports the whole composition.
    MediaTimeRange timeRange;
    // What the log says of the session once it is made.
    enum class Log {
        FirstPreset,   // the first compatible preset, the supported types, the destination
        AllPresets,    // every compatible preset, the supported types, the chosen type
        FirstFileType, // the chosen type and the destination
    };
    Log log = Log::FirstPreset;
    // The preset is the source's first compatible one whatever the destination, rather than
    // the 720p preset for all but 3gp.
    bool firstCompatiblePreset = false;
    // Why there is nothing to export, when the composition is missing; shown as a failure.
    QString error;
};

// An export as the flow hands it over once the user has confirmed it: what is made, at which
// preset, into which file.
struct ExportOrder {
    std::shared_ptr<Composition> composition;
    std::shared_ptr<const Asset> source;
    MediaTimeRange timeRange;
    std::string preset;
    std::string destination;
};

// The name proposed for a movie made from the video at `videoPath`, without extension: the
// video's own with " slow" ("Holiday slow"), or with `detail` between ("Holiday Jump slow");
// "Untitled" without a video.
QString exportedMovieName(const QString& videoPath, const QString& detail = {});

// What a finished export says, above the folder the movie is in.
QString exportedMovieMessage(const QString& fileName);

// The one export flow every exporter runs: the save panel with its "Format:" chooser as a sheet,
// then the export session under the progress sheet, then the clean-up. The exporter supplies the
// composition and answers the progress sheet's cancel.
class ExportFlow : public QObject {
    Q_OBJECT
public:
    explicit ExportFlow(QObject* parent = nullptr);
    ~ExportFlow() override;

    // Opens the save panel as a sheet on `window`, proposing exportedMovieName() of
    // `editedVideo` with its extension, the export format list made from it, and the chooser on
    // that extension. The panel shows the folder last exported to, or the first time the edited
    // video's, and the quality last exported at; it refuses the edited video itself. On
    // confirmation `makeJob` builds the export; a null composition ends the flow. A finished
    // export says where the movie is.
    void begin(QWidget* window, const QUrl& editedVideo,
               ExportProgressWindowControllerDelegate* progressDelegate,
               std::function<ExportJob()> makeJob);
    // The same with a given name and format list.
    void begin(QWidget* window, const QUrl& editedVideo, const QString& name,
               const QStringList& formats, ExportProgressWindowControllerDelegate* progressDelegate,
               std::function<ExportJob()> makeJob);

    SavePanel* savePanel() const { return m_savePanel; }
    ExportSession* exportSession() const { return m_exportSession.get(); }
    ExportProgressWindowController* exportProgressWindowController() const {
        return m_exportProgressWindowController.get();
    }
    // From the confirmed destination (the composition being built) to the end of the export.
    bool isExporting() const { return m_building || m_exportSession != nullptr; }

    // Carries out every flow's orders instead of an export session, ending each with the status
    // it returns (the movie's place is shown on Completed, as after a real export): tests see
    // what the editors export without encoding it. An empty one restores the sessions.
    using Performer = std::function<ExportSession::Status(const ExportOrder& order)>;
    static void setPerformer(Performer performer);

    // Cancels the running export, if any, or the export about to start once its composition is
    // built.
    void cancelExport();

signals:
    // The export has ended and the sheet is gone.
    void exportFinished(lento::ExportSession::Status status, const QString& destination);

private:
    static Performer& performer();
    void confirm(int response);
    void startExport(ExportJob job, const QString& destination, int quality);
    void exportDidFinish();

    QPointer<QWidget> m_window;
    QPointer<SavePanel> m_savePanel;
    ExportProgressWindowControllerDelegate* m_progressDelegate = nullptr;
    std::function<ExportJob()> m_makeJob;
    bool m_building = false; // the job's composition is being built on a worker
    bool m_buildCancelled = false;
    std::shared_ptr<ExportSession> m_exportSession;
    std::unique_ptr<ExportProgressWindowController> m_exportProgressWindowController;
};

} // namespace lento
