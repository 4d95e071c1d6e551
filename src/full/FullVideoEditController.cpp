#include "full/FullVideoEditController.h"

#include "base/Dialogs.h"
#include "base/FileNames.h"
#include "base/Log.h"
#include "controls/MotionChoice.h"
#include "controls/PlayerLoading.h"
#include "controls/SpeedChooser.h"
#include "edit/SectionObject.h"
#include "edit/SectionComposition.h"
#include "media/PlayerView.h"
#include "preview/PreviewWindowController.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

namespace lento {

const QStringList& fullVideoRejectedExtensions() {
    static const QStringList rejected{"mpg", "avi", "mpeg", "wmv"};
    return rejected;
}

FullVideoEditController::FullVideoEditController(EditDocument* document, QObject* parent)
    : QObject(parent), m_document(document != nullptr ? document : new EditDocument(this)) {
    m_dropView = new DragAndDropView();
    m_dropView->setObjectName("FullVideoView");

    m_videoPlayer = new PlayerView(m_dropView);
    m_videoPlayer->setMinimumSize(320, 180);
    m_videoPlayer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    m_controlBar = new VideoControlBar(m_dropView);

    m_upload = new QPushButton(tr("Open Video…"), m_dropView);
    m_speed = new QComboBox(m_dropView);
    fillSpeedChooser(*m_speed);
    m_motion = new QComboBox(m_dropView);
    m_motion->addItems(motionItemTexts());
    m_removeAudio = new QCheckBox(QStringLiteral("Remove Audio"), m_dropView);
    m_preview = new QPushButton(tr("Preview"), m_dropView);
    m_export = new QPushButton(tr("Export…"), m_dropView);

    auto* controls = new QHBoxLayout();
    controls->addWidget(m_upload);
    controls->addStretch(1);
    controls->addWidget(m_speed);
    controls->addWidget(m_motion);
    controls->addWidget(m_removeAudio);
    controls->addSpacing(12);
    controls->addWidget(m_preview);
    controls->addWidget(m_export);

    auto* layout = new QVBoxLayout(m_dropView);
    layout->addWidget(m_videoPlayer, 1);
    layout->addWidget(m_controlBar);
    layout->addLayout(controls);

    m_speed->setEnabled(false);
    m_motion->setEnabled(false);
    m_removeAudio->setEnabled(false);
    m_export->setEnabled(false);
    m_preview->setEnabled(false);

    m_exportFlow = new ExportFlow(this);

    connect(m_upload, &QPushButton::clicked, this, &FullVideoEditController::actionUpload);
    connect(m_export, &QPushButton::clicked, this, &FullVideoEditController::actionExport);
    connect(m_preview, &QPushButton::clicked, this,
            [this] { performSegueWithIdentifier(QStringLiteral("segue_PreviewFromFull")); });
    connect(m_removeAudio, &QCheckBox::clicked, this, &FullVideoEditController::checkState);
    connect(m_speed, &QComboBox::currentIndexChanged, this,
            [this] { comboBoxSelectionDidChange(m_speed); });
    connect(m_motion, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (index >= 0 && player() != nullptr) {
            FullVideoState choices = m_document->state().fullVideo;
            choices.motion = motionForItem(index);
            m_document->setFullVideo(choices);
        }
    });
    connect(m_document, &EditDocument::documentReset, this, &FullVideoEditController::showDocument);
    connect(m_document, &EditDocument::fullVideoChanged, this,
            &FullVideoEditController::showFullVideo);

    awakeFromNib();
}

FullVideoEditController::~FullVideoEditController() {
    // The view belongs to the tab that shows it; one that never found a tab is ours to end.
    if (m_dropView) {
        m_dropView->setDelegate(nullptr);
        m_controlBar->setDelegate(nullptr);
        if (m_dropView->parent() == nullptr) {
            delete m_dropView.data();
        }
    }
}

QWidget* FullVideoEditController::view() const {
    return m_dropView;
}

void FullVideoEditController::awakeFromNib() {
    showSpeedFactor(*m_speed, SpeedFactor());
    m_dropView->setDelegate(this);
    m_controlBar->setDelegate(this);
    m_controlBar->m_leftHandle()->setHidden(true);
    m_controlBar->m_rightHandle()->setHidden(true);
    m_controlBar->m_btnPlay()->setEnabled(false);
}

Player* FullVideoEditController::player() const {
    return m_videoPlayer->player();
}

void FullVideoEditController::importVideoFile(const QUrl& url) {
    fileDropped(url);
}

void FullVideoEditController::fileDropped(const QUrl& url) {
    QWidget* parent = m_windowForSheet ? m_windowForSheet.data() : m_dropView.data();
    m_intake.open(*this, *m_document, pathOfUrl(url), fullVideoRejectedExtensions(), parent);
}

void FullVideoEditController::showDocument() {
    QWidget* parent = m_windowForSheet ? m_windowForSheet.data() : m_dropView.data();
    const auto follow = m_intake.follow(*this, *m_document, m_videoPath, parent,
                                        [this](const QUrl& url, std::shared_ptr<Asset> asset) {
                                            loadVideo(url, std::move(asset));
                                        });
    if (follow == EditSourceIntake::Follow::NoSource) {
        unloadVideo();
        showFullVideo(); // a new edit's choices, not those of the video gone
    } else if (follow == EditSourceIntake::Follow::Playing) {
        showFullVideo();
    }
}

void FullVideoEditController::loadVideo(const QUrl& url, std::shared_ptr<Asset> asset) {
    m_videoPath = url;
    loadPlayer(
        *m_videoPlayer, *m_controlBar, std::move(asset), this,
        [this](Player* player) { observeValueForKeyPath(QStringLiteral("status"), player); },
        [this] { itemDidFinishPlaying(); });
}

void FullVideoEditController::unloadVideo() {
    unloadPlayer(*m_videoPlayer, *m_controlBar, this);
    m_videoPath.clear();
    m_controlBar->m_btnPlay()->setEnabled(false);
    for (QWidget* control :
         std::initializer_list<QWidget*>{m_speed, m_motion, m_removeAudio, m_export, m_preview}) {
        control->setEnabled(false);
    }
}

void FullVideoEditController::observeValueForKeyPath(const QString& keyPath, QObject* object) {
    Player* current = player();
    if (keyPath != QLatin1String("status") || current == nullptr || object != current) {
        logLine("Status");
        return;
    }
    switch (current->status()) {
    case Player::Status::ReadyToPlay: {
        m_controlBar->m_btnPlay()->setEnabled(true);
        initUIActiveAfterUpload();
        const MediaTime duration = current->currentItem()->duration();
        m_controlBar->setVideoEndTime(duration);
        m_controlBar->stopVideo();
        logLine("%fl", duration.seconds());
        break;
    }
    case Player::Status::Failed:
        logLine("Failure");
        break;
    case Player::Status::Unknown:
        logLine("UnKnown");
        break;
    }
}

void FullVideoEditController::initUIActiveAfterUpload() {
    m_speed->setEnabled(true);
    m_motion->setEnabled(true);
    m_removeAudio->setEnabled(true);
    m_export->setEnabled(true);
    m_preview->setEnabled(true);
    showFullVideo();
}

void FullVideoEditController::showFullVideo() {
    const FullVideoState& choices = m_document->state().fullVideo;
    showSpeedFactor(*m_speed, choices.factor);
    {
        const QSignalBlocker quietMotion(m_motion);
        m_motion->setCurrentIndex(itemForMotion(choices.motion));
    }
    m_removeAudio->setChecked(!choices.audio);
    Player* current = player();
    if (current == nullptr || current->currentItem() == nullptr) {
        return;
    }
    // The player's rate is the one place the factor becomes a floating-point number.
    m_controlBar->setPlayRate(static_cast<float>(choices.factor.playbackRate()));
    m_controlBar->setVolumnOn(choices.audio);
}

void FullVideoEditController::comboBoxSelectionDidChange(QObject* sender) {
    if (sender != m_speed) {
        return;
    }
    const int index = m_speed->currentIndex();
    Player* current = player();
    FullVideoState choices = m_document->state().fullVideo;
    const SpeedFactor shown = choices.factor;
    std::optional<SpeedFactor> factor;
    if (index >= 0 && current != nullptr && current->currentItem() != nullptr) {
        factor = isCustomSpeedItem(*m_speed, index) ? askForSpeedFactor(sheetWindow(), shown)
                                                    : speedFactorOfItem(*m_speed, index);
    }
    // The chooser shows the document's factor until the step changes it.
    showSpeedFactor(*m_speed, shown);
    if (factor) {
        choices.factor = *factor;
        m_document->setFullVideo(choices);
    }
}

void FullVideoEditController::checkState() {
    const bool remove = m_removeAudio->isChecked();
    logLine(remove ? "selected" : "not selected");
    FullVideoState choices = m_document->state().fullVideo;
    choices.audio = !remove;
    m_document->setFullVideo(choices);
    // Without a change (no video yet) the switch shows the document again.
    m_removeAudio->setChecked(!m_document->state().fullVideo.audio);
}

bool FullVideoEditController::volumnOnOff() const {
    return m_document->state().fullVideo.audio;
}

bool FullVideoEditController::respondsToSelector(std::string_view selector) const {
    return selector == "playVideo" || selector == "pauseVideo" || selector == "monitorVideo" ||
           selector == "adjustAudio:" || selector == "fileDropped:" ||
           selector == "exportProgressWindowControllerDidCancel:";
}

void FullVideoEditController::playVideo() {
    m_controlBar->playVideoWithVolumn(volumnOnOff());
}

void FullVideoEditController::pauseVideo() {}

MediaTime FullVideoEditController::monitorVideo() {
    Player* current = player();
    if (current != nullptr && current->currentItem() != nullptr) {
        return current->currentTime();
    }
    return MediaTime::zero();
}

void FullVideoEditController::adjustAudio(float volume) {
    if (volumnOnOff() && player() != nullptr) {
        player()->setVolume(volume);
    }
}

void FullVideoEditController::itemDidFinishPlaying() {
    m_controlBar->stopVideo();
}

void FullVideoEditController::actionUpload() {
    dialogs::beginImportPanel(sheetWindow(), this, [this](const QUrl& url) { fileDropped(url); });
}

QWidget* FullVideoEditController::sheetWindow() const {
    return m_windowForSheet ? m_windowForSheet.data() : m_dropView->window();
}

void FullVideoEditController::actionExport() {
    Player* current = player();
    if (current == nullptr || current->currentItem() == nullptr) {
        return;
    }
    // The player pauses itself; the bar's button and monitor follow it (loadPlayer).
    current->pause();
    // The choices as they are now: later edits do not change this export.
    const FullVideoState choices = m_document->state().fullVideo;
    m_exportFlow->begin(sheetWindow(), m_videoPath, this, [this, choices]() -> ExportJob {
        Player* source = player();
        if (source == nullptr || source->currentItem() == nullptr) {
            return {};
        }
        PlayerItem& item = *source->currentItem();
        logLine("%fl", item.asset()->duration().seconds());
        auto composition = makeComposition(
            *item.asset(), EditCut::ofFullVideo(choices, item.asset()->duration()));
        return ExportJob(composition, item.asset(),
                         MediaTimeRange::fromTimeToTime(item.reversePlaybackEndTime(),
                                                        item.forwardPlaybackEndTime()));
    });
}

void FullVideoEditController::performSegueWithIdentifier(const QString& identifier) {
    if (identifier != QLatin1String("segue_PreviewFromFull") || player() == nullptr) {
        return;
    }
    prepareForSegue(identifier);
    m_previewWindow =
        new PreviewWindowController(SectionsStorage(m_document->state()), sheetWindow());
    m_previewWindow->setAttribute(Qt::WA_DeleteOnClose);
    m_previewWindow->runModal();
}

void FullVideoEditController::prepareForSegue(const QString& identifier) {
    if (identifier != QLatin1String("segue_PreviewFromFull")) {
        return;
    }
    player()->pause();
}

void FullVideoEditController::exportProgressWindowControllerDidCancel(
    ExportProgressWindowController* /*controller*/) {
    m_exportFlow->cancelExport();
}

} // namespace lento
