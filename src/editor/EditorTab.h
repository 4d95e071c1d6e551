#pragma once

#include "controls/DragAndDropView.h"
#include "controls/PlayerLoading.h"
#include "controls/VideoControlBar.h"
#include "edit/EditDocument.h"
#include "export/ExportFlow.h"
#include "media/LivePlayback.h"
#include "media/Player.h"

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <memory>

namespace lento {

class PlayerView;

// What the editor's tabs share: the view that takes dropped files, the player under its control
// bar, the intake of the edit's one video, the player's status, the sheets and the export flow.
// A tab lays the player and the bar out in its view and adds its own controls; it hears of the
// video through the hooks below.
class EditorTab : public QObject,
                  public DragAndDropViewDelegate,
                  public VideoControlBarDelegate,
                  public ExportProgressWindowControllerDelegate {
    Q_OBJECT
public:
    ~EditorTab() override;

    // The tab's root view; it is also the tab's drop target.
    QWidget* view() const;
    void setM_windowForSheet(QWidget* window) { m_windowForSheet = window; }

    // Loads a file routed here by the menu import.
    void importVideoFile(const QUrl& url);
    // DragAndDropViewDelegate: the common loading entry.
    void fileDropped(const QUrl& url) override;

    // VideoControlBarDelegate: the bar plays with the tab's sound switch, applies the volume only
    // while the sound is on, and shows the player's position.
    void playVideo() override;
    void pauseVideo() override {}
    void adjustAudio(float volume) override;
    MediaTime monitorVideo() override;
    // Whether the sound plays now.
    virtual bool volumnOnOff() const = 0;

    // ExportProgressWindowControllerDelegate: the sheet's cancel button.
    void
    exportProgressWindowControllerDidCancel(ExportProgressWindowController* controller) override;

    void itemDidFinishPlaying();
    // The player's status, for the player the view holds and for any other sender.
    void observeValueForKeyPath(const QString& keyPath, QObject* object);

    // The export in progress, while there is one.
    SavePanel* savePanel() const { return m_exportFlow->savePanel(); }
    ExportSession* exportSession() const { return m_exportFlow->exportSession(); }
    ExportProgressWindowController* exportProgressWindowController() const {
        return m_exportFlow->exportProgressWindowController();
    }
    ExportFlow* exportFlow() const { return m_exportFlow; }

    EditDocument* document() const { return m_document; }
    const QUrl& videoPath() const { return m_videoPath; }
    PlayerView* m_VideoPlayer() const { return m_videoPlayer; }
    VideoControlBar* m_VideoControlBar() const { return m_controlBar; }
    DragAndDropView* m_dragAndDropView() const { return m_dropView; }
    // Made pictures on the player's view; null without a player.
    LivePlayback* livePlayback() const;

public slots:
    // The open panel as a sheet; the chosen file is taken as a dropped one.
    void actionUpload();

protected:
    // Shows and edits `document` (without one, a document of its own) in a view named
    // `viewName`, refusing files with the `rejected` extensions.
    EditorTab(EditDocument* document, const QString& viewName, QStringList rejected,
              QObject* parent);

    // From now on a replaced document is shown: called by the tab once whatever must hear of the
    // replacement first (a table's model) is in place.
    void followDocument();

    Player* player() const;
    // The sheets of this tab go on the window given for them, else on its view's.
    QWidget* sheetWindow() const;

    // Exports what `build` makes of the playing video's asset (a composition, one to be built
    // on a worker, or why there is none), over the part the player plays. The player pauses;
    // nothing happens without a video. A `name` and `formats` replace the proposed ones.
    using JobBuilder = std::function<ExportJob(const std::shared_ptr<Asset>& asset)>;
    void beginExport(JobBuilder build, const QString& name = {}, const QStringList& formats = {});

    // The hooks, in the order they come: the document was replaced (before its video is
    // followed, then after, with how); a video was loaded, became ready to play, or went away;
    // a status other than ready came.
    virtual void documentWillShow() {}
    virtual void documentShown(EditSourceIntake::Follow /*follow*/) {}
    virtual void videoLoaded(Player& /*loaded*/) {}
    virtual void videoReady(Player& /*ready*/) {}
    virtual void videoUnloaded() {}
    virtual void videoNotReady(Player::Status /*status*/) {}

    // How to build the composition the playing video shows as, where its pictures are made
    // (Blend, Smooth): playback then shows the made pictures live. It is run on a worker, so it
    // holds copies of the edit's values, not the tab. None (the default): the player's own.
    virtual LivePlayback::CompositionBuilder
    liveComposition(const std::shared_ptr<Asset>& /*video*/) const {
        return {};
    }
    // Asks liveComposition() again once the events at hand are handled (a drag's many changes
    // make one): the tab calls it when its edit changed.
    void refreshLivePlayback();

    // The player and the bar, to be laid out by the tab.
    PlayerView* m_videoPlayer = nullptr;
    VideoControlBar* m_controlBar = nullptr;
    QPointer<DragAndDropView> m_dropView; // the root view, owned by the tab
    EditDocument* m_document = nullptr;

private:
    // The intake's alerts go on the window given for sheets, else on the view.
    QWidget* alertParent() const;
    void showDocument();
    void loadVideo(const QUrl& url, std::shared_ptr<Asset> asset);
    void unloadVideo();
    void showLiveComposition();

    const QStringList m_rejected;
    QUrl m_videoPath;
    QPointer<QWidget> m_windowForSheet;
    EditSourceIntake m_intake;          // the edit's video, opened here or followed
    ExportFlow* m_exportFlow = nullptr; // a child
    bool m_liveRefreshQueued = false;
};

} // namespace lento
