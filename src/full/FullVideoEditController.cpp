#include "full/FullVideoEditController.h"

#include "base/Log.h"
#include "controls/MotionChoice.h"
#include "controls/SpeedChooser.h"
#include "edit/SectionComposition.h"
#include "edit/SectionObject.h"
#include "media/PlayerView.h"

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
    : EditorTab(document, QStringLiteral("FullVideoView"), fullVideoRejectedExtensions(), parent) {
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

    setChoicesEnabled(false); // the choices wait for a video
    showSpeedFactor(*m_speed, SpeedFactor());
    m_controlBar->m_leftHandle()->setHidden(true);
    m_controlBar->m_rightHandle()->setHidden(true);

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
    followDocument();
    connect(m_document, &EditDocument::fullVideoChanged, this,
            &FullVideoEditController::showFullVideo);
}

void FullVideoEditController::documentShown(EditSourceIntake::Follow follow) {
    // Without a video, a new edit's choices, not those of the video gone; a video loading shows
    // them once it is ready.
    if (follow != EditSourceIntake::Follow::Loading) {
        showFullVideo();
    }
}

void FullVideoEditController::setChoicesEnabled(bool enabled) {
    for (QWidget* control :
         std::initializer_list<QWidget*>{m_speed, m_motion, m_removeAudio, m_export, m_preview}) {
        control->setEnabled(enabled);
    }
}

void FullVideoEditController::videoUnloaded() {
    setChoicesEnabled(false);
}

void FullVideoEditController::videoReady(Player& /*ready*/) {
    initUIActiveAfterUpload();
}

void FullVideoEditController::videoNotReady(Player::Status status) {
    logLine(status == Player::Status::Failed ? "Failure" : "UnKnown");
}

void FullVideoEditController::initUIActiveAfterUpload() {
    setChoicesEnabled(true);
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
    refreshLivePlayback();
}

LivePlayback::CompositionBuilder
FullVideoEditController::liveComposition(const std::shared_ptr<Asset>& video) const {
    const FullVideoState& choices = m_document->state().fullVideo;
    if (choices.motion == MotionMode::Hold) {
        return {};
    }
    return [video, choices] {
        return makeComposition(*video, EditCut::ofFullVideo(choices, video->duration()));
    };
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

void FullVideoEditController::actionExport() {
    // The choices as they are now: later edits do not change this export.
    const FullVideoState choices = m_document->state().fullVideo;
    beginExport([choices](const std::shared_ptr<Asset>& asset) {
        logLine("%fl", asset->duration().seconds());
        return ExportJob(makeComposition(*asset, EditCut::ofFullVideo(choices, asset->duration())),
                         asset, MediaTimeRange::invalid());
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

} // namespace lento
