#include "editor/EditorTab.h"

#include "base/Dialogs.h"
#include "base/FileNames.h"
#include "base/Log.h"
#include "media/LivePlayback.h"
#include "media/PlayerView.h"

namespace lento {

EditorTab::EditorTab(EditDocument* document, const QString& viewName, QStringList rejected,
                     QObject* parent)
    : QObject(parent), m_document(document != nullptr ? document : new EditDocument(this)),
      m_rejected(std::move(rejected)) {
    m_dropView = new DragAndDropView();
    m_dropView->setObjectName(viewName);
    m_videoPlayer = new PlayerView(m_dropView);
    m_videoPlayer->setMinimumSize(320, 180);
    m_videoPlayer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    m_controlBar = new VideoControlBar(m_dropView);
    m_exportFlow = new ExportFlow(this);
    m_dropView->setDelegate(this);
    m_controlBar->setDelegate(this);
    m_controlBar->m_btnPlay()->setEnabled(false);
}

LivePlayback* EditorTab::livePlayback() const {
    return m_videoPlayer->livePlayback();
}

void EditorTab::refreshLivePlayback() {
    if (m_liveRefreshQueued) {
        return;
    }
    m_liveRefreshQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_liveRefreshQueued = false;
            showLiveComposition();
        },
        Qt::QueuedConnection);
}

void EditorTab::showLiveComposition() {
    Player* current = player();
    LivePlayback* live = livePlayback();
    if (live == nullptr || current == nullptr || current->currentItem() == nullptr ||
        current->status() != Player::Status::ReadyToPlay) {
        return;
    }
    live->setComposition(liveComposition(current->currentItem()->asset()));
}

void EditorTab::followDocument() {
    connect(m_document, &EditDocument::documentReset, this, &EditorTab::showDocument);
}

EditorTab::~EditorTab() {
    // The view belongs to the tab that shows it; one that never found a tab is ours to end.
    if (m_dropView) {
        m_dropView->setDelegate(nullptr);
        m_controlBar->setDelegate(nullptr);
        if (m_dropView->parent() == nullptr) {
            delete m_dropView.data();
        }
    }
}

QWidget* EditorTab::view() const {
    return m_dropView;
}

Player* EditorTab::player() const {
    return m_videoPlayer->player();
}

QWidget* EditorTab::sheetWindow() const {
    return m_windowForSheet ? m_windowForSheet.data() : m_dropView->window();
}

void EditorTab::importVideoFile(const QUrl& url) {
    fileDropped(url);
}

QWidget* EditorTab::alertParent() const {
    return m_windowForSheet ? m_windowForSheet.data() : m_dropView.data();
}

void EditorTab::fileDropped(const QUrl& url) {
    m_intake.open(*this, *m_document, pathOfUrl(url), m_rejected, alertParent());
}

void EditorTab::actionUpload() {
    dialogs::beginImportPanel(sheetWindow(), this, [this](const QUrl& url) { fileDropped(url); });
}

void EditorTab::showDocument() {
    documentWillShow();
    const auto follow = m_intake.follow(*this, *m_document, m_videoPath, alertParent(),
                                        [this](const QUrl& url, std::shared_ptr<Asset> asset) {
                                            loadVideo(url, std::move(asset));
                                        });
    if (follow == EditSourceIntake::Follow::NoSource) {
        unloadVideo();
    }
    documentShown(follow);
    refreshLivePlayback();
}

void EditorTab::loadVideo(const QUrl& url, std::shared_ptr<Asset> asset) {
    m_videoPath = url;
    Player* loaded = loadPlayer(
        *m_videoPlayer, *m_controlBar, std::move(asset), this,
        [this](Player* player) { observeValueForKeyPath(QStringLiteral("status"), player); },
        [this] { itemDidFinishPlaying(); });
    videoLoaded(*loaded);
}

void EditorTab::unloadVideo() {
    unloadPlayer(*m_videoPlayer, *m_controlBar, this);
    m_videoPath.clear();
    m_controlBar->m_btnPlay()->setEnabled(false);
    videoUnloaded();
}

void EditorTab::observeValueForKeyPath(const QString& keyPath, QObject* object) {
    Player* current = player();
    if (keyPath != QLatin1String("status") || current == nullptr || object != current) {
        logLine("Status");
        return;
    }
    if (current->status() != Player::Status::ReadyToPlay) {
        videoNotReady(current->status());
        return;
    }
    m_controlBar->m_btnPlay()->setEnabled(true);
    videoReady(*current);
    refreshLivePlayback();
    const MediaTime duration = current->currentItem()->duration();
    m_controlBar->setVideoEndTime(duration);
    m_controlBar->stopVideo();
    logLine("%fl", duration.seconds());
}

void EditorTab::itemDidFinishPlaying() {
    m_controlBar->stopVideo();
}

void EditorTab::playVideo() {
    m_controlBar->playVideoWithVolumn(volumnOnOff());
}

void EditorTab::adjustAudio(float volume) {
    if (volumnOnOff() && player() != nullptr) {
        player()->setVolume(volume);
    }
}

MediaTime EditorTab::monitorVideo() {
    Player* current = player();
    if (current != nullptr && current->currentItem() != nullptr) {
        return current->currentTime();
    }
    return MediaTime::zero();
}

void EditorTab::exportProgressWindowControllerDidCancel(
    ExportProgressWindowController* /*controller*/) {
    m_exportFlow->cancelExport();
}

void EditorTab::beginExport(JobBuilder build, const QString& name, const QStringList& formats) {
    Player* current = player();
    if (current == nullptr || current->currentItem() == nullptr) {
        return;
    }
    // The player pauses itself; the bar's button and monitor follow it (loadPlayer).
    current->pause();
    auto makeJob = [this, build = std::move(build)]() -> ExportJob {
        Player* source = player();
        if (source == nullptr || source->currentItem() == nullptr) {
            return {};
        }
        PlayerItem& item = *source->currentItem();
        ExportJob job = build(item.asset());
        job.source = item.asset();
        // Nothing sets the item's playback end times, so this is the whole composition.
        job.timeRange = MediaTimeRange::fromTimeToTime(item.reversePlaybackEndTime(),
                                                       item.forwardPlaybackEndTime());
        return job;
    };
    if (name.isEmpty()) {
        m_exportFlow->begin(sheetWindow(), m_videoPath, this, std::move(makeJob));
    } else {
        m_exportFlow->begin(sheetWindow(), m_videoPath, name, formats, this, std::move(makeJob));
    }
}

} // namespace lento
