#pragma once

#include "controls/DragAndDropView.h"
#include "controls/PlayerLoading.h"
#include "controls/VideoControlBar.h"
#include "edit/EditDocument.h"
#include "export/ExportFlow.h"
#include "media/Player.h"
#include "preview/PreviewWindowController.h"

#include <QObject>
#include <QPointer>
#include <QUrl>

class QCheckBox;
class QComboBox;
class QPushButton;
class QWidget;

namespace lento {

class PlayerView;

// The "Full Video" tab: a view of the edit document's source and Full Video choices. It loads
// videos into the document, plays the source under the control bar at the chosen slow-down
// factor, with or without its sound, and makes each choice a step of the document.
class FullVideoEditController : public QObject,
                                public DragAndDropViewDelegate,
                                public VideoControlBarDelegate,
                                public ExportProgressWindowControllerDelegate {
    Q_OBJECT
public:
    // Shows and edits `document`; without one, a document of its own.
    explicit FullVideoEditController(EditDocument* document = nullptr, QObject* parent = nullptr);
    ~FullVideoEditController() override;

    // The tab's root view; it is also the tab's drop target.
    QWidget* view() const;
    void setM_windowForSheet(QWidget* window) { m_windowForSheet = window; }

    // Loads a file routed here by the menu import.
    void importVideoFile(const QUrl& url);

    // DragAndDropViewDelegate: the common loading entry.
    void fileDropped(const QUrl& url) override;

    // VideoControlBarDelegate.
    bool respondsToSelector(std::string_view selector) const override;
    void playVideo() override;
    void pauseVideo() override;
    MediaTime monitorVideo() override;
    void adjustAudio(float volume) override;

    // ExportProgressWindowControllerDelegate: the sheet's cancel button.
    void
    exportProgressWindowControllerDidCancel(ExportProgressWindowController* controller) override;

    // The export in progress, while there is one.
    SavePanel* savePanel() const { return m_exportFlow->savePanel(); }
    ExportSession* exportSession() const { return m_exportFlow->exportSession(); }
    ExportProgressWindowController* exportProgressWindowController() const {
        return m_exportFlow->exportProgressWindowController();
    }
    ExportFlow* exportFlow() const { return m_exportFlow; }

    // True while the sound is on (the remove-audio switch is off).
    bool volumnOnOff() const;
    void initUIActiveAfterUpload();
    void itemDidFinishPlaying();
    // The player's status, for the player the view holds and for any other sender.
    void observeValueForKeyPath(const QString& keyPath, QObject* object);

    EditDocument* document() const { return m_document; }
    const QUrl& videoPath() const { return m_videoPath; }

    PlayerView* m_VideoPlayer() const { return m_videoPlayer; }
    QComboBox* m_comboSpeed() const { return m_speed; }
    QComboBox* m_comboMotion() const { return m_motion; }
    QCheckBox* m_chkRemoveAudio() const { return m_removeAudio; }
    DragAndDropView* m_dragAndDropView() const { return m_dropView; }
    QPushButton* m_btnExport() const { return m_export; }
    QPushButton* m_btnPreview() const { return m_preview; }
    QPushButton* m_btnUpload() const { return m_upload; }
    VideoControlBar* m_VideoControlBar() const { return m_controlBar; }

    // Opens the preview window ("segue_PreviewFromFull") on the tab's video, factor, sound and
    // motion.
    void performSegueWithIdentifier(const QString& identifier);
    void prepareForSegue(const QString& identifier);
    PreviewWindowController* previewWindow() const { return m_previewWindow; }

public slots:
    void actionUpload();
    void actionExport();
    void comboBoxSelectionDidChange(QObject* sender);
    void checkState();

private:
    void awakeFromNib();
    Player* player() const;
    // The document was replaced: its source plays here (loaded unless it already does).
    void showDocument();
    void loadVideo(const QUrl& url, std::shared_ptr<Asset> asset);
    void unloadVideo();
    // The choices, the rate and the sound as the document has them.
    void showFullVideo();
    // The sheets of this tab go on the window given for them, else on its view's.
    QWidget* sheetWindow() const;

    QUrl m_videoPath;
    QPointer<QWidget> m_windowForSheet;
    EditDocument* m_document = nullptr;
    // The video this tab probed for the document it is resetting: no need to probe it again.
    EditSourceIntake m_intake; // the edit's video, opened here or followed

    // The view and its controls; the view owns them, the tab owns the view.
    QPointer<DragAndDropView> m_dropView;
    PlayerView* m_videoPlayer = nullptr;
    QComboBox* m_speed = nullptr;
    QComboBox* m_motion = nullptr; // how exports show the slowed pictures
    QCheckBox* m_removeAudio = nullptr;
    QPushButton* m_export = nullptr;
    QPushButton* m_preview = nullptr;
    QPushButton* m_upload = nullptr;
    VideoControlBar* m_controlBar = nullptr;
    ExportFlow* m_exportFlow = nullptr; // a child
    QPointer<PreviewWindowController> m_previewWindow;
};

// The extensions the "Full Video" tab rejects, compared exactly.
const QStringList& fullVideoRejectedExtensions();

} // namespace lento
