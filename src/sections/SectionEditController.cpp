#include "sections/SectionEditController.h"

#include "base/Dialogs.h"
#include "base/FileNames.h"
#include "base/Log.h"
#include "controls/MotionChoice.h"
#include "controls/PlayerLoading.h"
#include "controls/SpeedChooser.h"
#include "edit/SectionComposition.h"
#include "edit/SectionRules.h"
#include "export/ExportFormats.h"
#include "media/PlayerView.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QShortcut>
#include <QSlider>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QVBoxLayout>

#include <cmath>
#include <optional>

namespace lento {

namespace {

// The sliders count milliseconds.
constexpr int32_t kSliderUnitsPerSecond = 1000;

// The red that marks colliding bounds, and the reason beside the blocked exports.
const QColor kCollisionRed(176, 0, 0);

// Colliding bounds stay readable in the selected row too: red text on the selection's blue is
// not, so there the cell takes a red highlight with white text.
class BoundCellDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        if (index.data(Qt::ForegroundRole).value<QBrush>().color() == Qt::red) {
            option->font.setBold(true);
            option->palette.setColor(QPalette::Highlight, kCollisionRed);
            option->palette.setColor(QPalette::HighlightedText, Qt::white);
        }
    }
};

MediaTime sliderTime(int value, int32_t timescale) {
    return MediaTime::make(value, kSliderUnitsPerSecond).convertScale(timescale);
}

int sliderValue(MediaTime time) {
    return static_cast<int>(time.convertScale(kSliderUnitsPerSecond).value);
}

// Nothing sets the item's playback end times, so this is the whole composition.
MediaTimeRange playbackRange(const PlayerItem& item) {
    return MediaTimeRange::fromTimeToTime(item.reversePlaybackEndTime(),
                                          item.forwardPlaybackEndTime());
}

const QStringList& sectionRejectedExtensions() {
    static const QStringList rejected{"mpg", "avi", "mpeg"};
    return rejected;
}

} // namespace

SectionEditController::SectionEditController(EditDocument* document, QObject* parent)
    : QObject(parent), m_document(document != nullptr ? document : new EditDocument(this)) {
    buildView();
    awakeFromNib();
}

SectionEditController::~SectionEditController() {
    // The view belongs to the tab that shows it; one that never found a tab is ours to end.
    if (m_dropView) {
        m_dropView->setDelegate(nullptr);
        m_mouseClickView->setDelegate(nullptr);
        m_controlBar->setDelegate(nullptr);
        m_controlBar->m_videoSeeker()->removeEventFilter(this);
        if (m_dropView->parent() == nullptr) {
            delete m_dropView.data();
        }
    }
}

void SectionEditController::buildView() {
    m_dropView = new DragAndDropView();
    m_dropView->setObjectName(QStringLiteral("SectionsView"));
    m_mouseClickView = new MouseClickView(m_dropView);
    auto* rootLayout = new QVBoxLayout(m_dropView);
    rootLayout->setContentsMargins(0, 0, 0, 0);
    rootLayout->addWidget(m_mouseClickView);

    QWidget* background = m_mouseClickView;
    m_videoPlayer = new PlayerView(background);
    m_videoPlayer->setMinimumSize(320, 180);
    m_videoPlayer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    m_controlBar = new VideoControlBar(background);

    m_model = new SectionsTableModel(m_document, this);
    m_table = new QTableView(background);
    // Heard before the view, which moves the selection to a neighbour of a removed row.
    connect(m_model, &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [this](const QModelIndex&, int first, int last) {
                const int64_t row = selectedRow();
                m_removingSelected = row >= first && row <= last;
            });
    m_table->setModel(m_model);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->verticalHeader()->setVisible(false);
    m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    // Sized by the rows around those shown, not by every row of a long edit at every step.
    m_table->horizontalHeader()->setResizeContentsPrecision(100);
    m_table->horizontalHeader()->setSectionResizeMode(kColumnName, QHeaderView::Stretch);
    m_table->setMinimumHeight(120);
    m_table->setItemDelegate(new BoundCellDelegate(m_table));

    m_upload = new QPushButton(tr("Open Video…"), background);
    m_addSection = new QPushButton(tr("Add Section"), background);
    m_delSection = new QPushButton(tr("Delete Section"), background);
    m_sectionExport = new QPushButton(tr("Export Section…"), background);
    m_fullExport = new QPushButton(tr("Export All…"), background);
    m_exportBlocked = new QLabel(background);
    QPalette reasonColours = m_exportBlocked->palette();
    reasonColours.setColor(QPalette::WindowText, kCollisionRed);
    m_exportBlocked->setPalette(reasonColours);
    m_exportBlocked->hide();

    m_editBox = new QGroupBox(tr("Section"), background);
    m_name = new QLineEdit(m_editBox);
    m_startField = new QLineEdit(m_editBox);
    m_endField = new QLineEdit(m_editBox);
    m_startSlider = new QSlider(Qt::Horizontal, m_editBox);
    m_endSlider = new QSlider(Qt::Horizontal, m_editBox);
    m_speed = new QComboBox(m_editBox);
    fillSpeedChooser(*m_speed);
    m_removeAudio = new QCheckBox(QStringLiteral("Remove Audio"), m_editBox);
    m_motion = new QComboBox(m_editBox);
    m_motion->addItems(motionItemTexts());
    auto* startRow = new QHBoxLayout();
    startRow->addWidget(m_startField);
    startRow->addWidget(m_startSlider, 1);
    auto* endRow = new QHBoxLayout();
    endRow->addWidget(m_endField);
    endRow->addWidget(m_endSlider, 1);
    auto* form = new QFormLayout(m_editBox);
    form->addRow(tr("Name:"), m_name);
    form->addRow(tr("Start:"), startRow);
    form->addRow(tr("End:"), endRow);
    form->addRow(tr("Speed:"), m_speed);
    form->addRow(QString(), m_removeAudio);
    form->addRow(tr("Motion:"), m_motion);

    auto* buttons = new QHBoxLayout();
    buttons->addWidget(m_upload);
    buttons->addWidget(m_addSection);
    buttons->addWidget(m_delSection);
    buttons->addStretch(1);
    buttons->addWidget(m_exportBlocked);
    buttons->addWidget(m_sectionExport);
    buttons->addWidget(m_fullExport);

    auto* lower = new QHBoxLayout();
    lower->addWidget(m_table, 3);
    lower->addWidget(m_editBox, 2);
    auto* layout = new QVBoxLayout(background);
    layout->addWidget(m_videoPlayer, 3);
    layout->addWidget(m_controlBar);
    layout->addLayout(lower, 2);
    layout->addLayout(buttons);

    // Until a video is ready and sections exist, there is nothing to do with them.
    for (QWidget* control : std::initializer_list<QWidget*>{m_addSection, m_delSection,
                                                            m_sectionExport, m_fullExport}) {
        control->setEnabled(false);
    }
    setEditControlsEnabled(false);
    m_exportFlow = new ExportFlow(this);

    connect(m_upload, &QPushButton::clicked, this, &SectionEditController::actionUpload);
    connect(m_addSection, &QPushButton::clicked, this, &SectionEditController::actionAddOneSection);
    connect(m_delSection, &QPushButton::clicked, this,
            &SectionEditController::actionDelSeletedSection);
    connect(m_fullExport, &QPushButton::clicked, this, &SectionEditController::actionFullExport);
    connect(m_sectionExport, &QPushButton::clicked, this,
            &SectionEditController::actionSectionExport);
    connect(m_removeAudio, &QCheckBox::clicked, this, &SectionEditController::checkState);
    connect(m_speed, &QComboBox::currentIndexChanged, this,
            [this] { comboBoxSelectionDidChange(m_speed); });
    connect(m_motion, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (index >= 0 && selectedSection() != nullptr) {
            m_document->setSectionMotion(static_cast<int>(selectedRow()), motionForItem(index));
        }
    });
    connect(m_name, &QLineEdit::editingFinished, this,
            [this] { controlTextDidEndEditing(m_name); });
    connect(m_startField, &QLineEdit::editingFinished, this,
            [this] { controlTextDidEndEditing(m_startField); });
    connect(m_endField, &QLineEdit::editingFinished, this,
            [this] { controlTextDidEndEditing(m_endField); });
    // Every move the user makes (drag, click on the groove, keys); the editor's own settings are
    // made with the sliders' signals blocked.
    connect(m_startSlider, &QSlider::valueChanged, this, [this](int value) {
        moveBound(true, sliderTime(value, m_videoTotalDuration.timescale));
    });
    connect(m_endSlider, &QSlider::valueChanged, this, [this](int value) {
        moveBound(false, sliderTime(value, m_videoTotalDuration.timescale));
    });
    for (QSlider* slider : {m_startSlider, m_endSlider}) {
        connect(slider, &QSlider::sliderPressed, m_document, &EditDocument::beginBoundsDrag);
        connect(slider, &QSlider::sliderReleased, m_document, &EditDocument::endBoundsDrag);
    }
    m_dragSeeker = m_controlBar->m_videoSeeker();
    m_dragSeeker->installEventFilter(this);
    connect(m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &SectionEditController::tableViewSelectionDidChange);
    // The model hears of every change first: the rows are there when the tab follows.
    connect(m_document, &EditDocument::documentReset, this, &SectionEditController::showDocument);
    connect(m_document, &EditDocument::sectionInserted, this,
            &SectionEditController::sectionInserted);
    connect(m_document, &EditDocument::sectionRemoved, this,
            &SectionEditController::sectionRemoved);
    connect(m_document, &EditDocument::sectionChanged, this,
            &SectionEditController::showSelectedSection);
    auto* remove =
        new QShortcut(QKeySequence::Delete, m_table, nullptr, nullptr, Qt::WidgetShortcut);
    // Help > Keyboard Shortcuts lists it by this.
    remove->setWhatsThis(tr("Remove the selected section"));
    connect(remove, &QShortcut::activated, this, &SectionEditController::actionDelSeletedSection);
}

void SectionEditController::awakeFromNib() {
    m_sectionErrors = 0;
    m_mouseClickView->setDelegate(this);
    m_dropView->setDelegate(this);
    m_controlBar->setDelegate(this);
    m_controlBar->m_btnPlay()->setEnabled(false);
    showBands();
}

QWidget* SectionEditController::view() const {
    return m_dropView;
}

bool SectionEditController::respondsToSelector(std::string_view selector) const {
    static const std::string_view answered[] = {
        "fileDropped:", "playVideo",
        "pauseVideo",   "adjustAudio:",
        "monitorVideo", "leftHandle:",
        "rightHandle:", "deSelectSectionEditTable",
        "selectBand:",  "exportProgressWindowControllerDidCancel:"};
    return std::find(std::begin(answered), std::end(answered), selector) != std::end(answered);
}

Player* SectionEditController::player() const {
    return m_videoPlayer->player();
}

void SectionEditController::importVideoFile(const QUrl& url) {
    fileDropped(url);
}

void SectionEditController::fileDropped(const QUrl& url) {
    QWidget* parent = m_windowForSheet ? m_windowForSheet.data() : m_dropView.data();
    m_intake.open(*this, *m_document, pathOfUrl(url), sectionRejectedExtensions(), parent);
}

void SectionEditController::showDocument() {
    m_curSectionIndex = -1;
    m_table->clearSelection();
    clearEditPanel();
    reloadData();
    QWidget* parent = m_windowForSheet ? m_windowForSheet.data() : m_dropView.data();
    const auto follow = m_intake.follow(*this, *m_document, m_videoPath, parent,
                                        [this](const QUrl& url, std::shared_ptr<Asset> asset) {
                                            loadVideo(url, std::move(asset));
                                        });
    if (follow == EditSourceIntake::Follow::NoSource) {
        unloadVideo();
    }
}

void SectionEditController::loadVideo(const QUrl& url, std::shared_ptr<Asset> asset) {
    m_videoPath = url;
    Player* loaded = loadPlayer(
        *m_videoPlayer, *m_controlBar, std::move(asset), this,
        [this](Player* loaded) { observeValueForKeyPath(QStringLiteral("status"), loaded); },
        [this] { itemDidFinishPlaying(); });
    m_playFactor = SpeedFactor(); // the rate loading gives the bar
    // A step or playback leaves the frame of the bound jumped to.
    m_boundJumpedTo = MediaTime::invalid();
    const auto moved = [this] { m_boundJumpedTo = MediaTime::invalid(); };
    connect(loaded, &Player::frameShown, this, moved);
    connect(loaded, &Player::playingChanged, this, moved);
}

void SectionEditController::unloadVideo() {
    unloadPlayer(*m_videoPlayer, *m_controlBar, this);
    m_videoPath.clear();
    m_videoTotalDuration = MediaTime::invalid();
    m_controlBar->m_btnPlay()->setEnabled(false);
    m_addSection->setEnabled(false);
    reloadData();
}

void SectionEditController::observeValueForKeyPath(const QString& keyPath, QObject* object) {
    Player* current = player();
    if (keyPath != QLatin1String("status") || current == nullptr || object != current ||
        current->status() != Player::Status::ReadyToPlay) {
        return;
    }
    m_controlBar->m_btnPlay()->setEnabled(true);
    setVideoSlidersForStartEnd();
    const MediaTime duration = current->currentItem()->duration();
    m_controlBar->setVideoEndTime(duration);
    m_controlBar->stopVideo();
    logLine("%fl", duration.seconds());
}

void SectionEditController::setVideoSlidersForStartEnd() {
    Player* current = player();
    m_videoTotalDuration = current != nullptr && current->currentItem() != nullptr
                               ? current->currentItem()->duration()
                               : MediaTime::invalid();
    logLine("%f", m_videoTotalDuration.seconds());
    m_upload->setEnabled(true);
    m_addSection->setEnabled(true);
    const int maximum = m_videoTotalDuration.isNumeric() ? sliderValue(m_videoTotalDuration) : 0;
    const QSignalBlocker quietStart(m_startSlider);
    const QSignalBlocker quietEnd(m_endSlider);
    m_startSlider->setMaximum(maximum);
    m_endSlider->setMaximum(maximum);
    m_startSlider->setMinimum(0);
    m_endSlider->setMinimum(0);
}

void SectionEditController::itemDidFinishPlaying() {
    m_controlBar->stopVideo();
}

void SectionEditController::actionUpload() {
    dialogs::beginImportPanel(sheetWindow(), this, [this](const QUrl& url) { fileDropped(url); });
}

void SectionEditController::reloadData() {
    // The list buttons follow the number of sections.
    const int count = static_cast<int>(sectionObjects().size());
    if (count > 0) {
        m_addSection->setEnabled(true);
        m_delSection->setEnabled(true);
        m_sectionExport->setEnabled(true);
        m_fullExport->setEnabled(true);
    } else if (m_upload->isEnabled()) {
        if (player() != nullptr) {
            m_addSection->setEnabled(true);
        }
        m_delSection->setEnabled(false);
    } else {
        m_addSection->setEnabled(false);
        m_delSection->setEnabled(false);
    }
    updateSectionErrors();
}

void SectionEditController::updateSectionErrors() {
    // Everything that changes a section or the selection passes here: so do the bands.
    showBands();
    m_sectionErrors = m_model->collisionCount();
    const bool clear = m_sectionErrors <= 0;
    m_fullExport->setEnabled(clear && !sectionObjects().empty());
    m_sectionExport->setEnabled(clear && selectedSection() != nullptr);
    m_exportBlocked->setText(m_model->collisionReason());
    m_exportBlocked->setVisible(!clear);
}

int64_t SectionEditController::selectedRow() const {
    const QModelIndexList rows = m_table->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

const SectionState* SectionEditController::selectedSection() const {
    const int64_t row = selectedRow();
    if (row < 0 || row >= static_cast<int64_t>(sectionObjects().size())) {
        return nullptr;
    }
    return &sectionObjects()[static_cast<size_t>(row)];
}

void SectionEditController::setEditControlsEnabled(bool enabled) {
    for (QWidget* control :
         std::initializer_list<QWidget*>{m_name, m_startField, m_endField, m_startSlider,
                                         m_endSlider, m_speed, m_removeAudio, m_motion}) {
        control->setEnabled(enabled);
    }
}

void SectionEditController::clearEditPanel() {
    setEditControlsEnabled(false);
    const QSignalBlocker quietSpeed(m_speed);
    const QSignalBlocker quietMotion(m_motion);
    const QSignalBlocker quietStart(m_startSlider);
    const QSignalBlocker quietEnd(m_endSlider);
    m_name->clear();
    m_startField->clear();
    m_endField->clear();
    m_startSlider->setValue(0);
    m_endSlider->setValue(0);
    m_speed->setCurrentIndex(-1);
    m_removeAudio->setChecked(false);
    m_motion->setCurrentIndex(-1);
}

void SectionEditController::setPlayFactor(SpeedFactor factor) {
    m_playFactor = factor;
    // The player's rate is the one place the factor becomes a floating-point number.
    m_controlBar->setPlayRate(static_cast<float>(factor.playbackRate()));
}

void SectionEditController::tableViewSelectionDidChange() {
    showSelectedSection();
    if (const SectionState* section = selectedSection()) {
        logLine("%ld", static_cast<long>(section->factor.num() / section->factor.den() - 1));
        m_controlBar->seekToFrame(section->start);
    }
}

void SectionEditController::showSelectedSection() {
    const SectionState* section = selectedSection();
    updateSectionErrors();
    if (section == nullptr) {
        clearEditPanel();
        setPlayFactor(SpeedFactor());
        m_controlBar->setVolumnOn(volumnOnOff());
        return;
    }
    if (section->factor != m_playFactor) {
        setPlayFactor(section->factor);
    }
    m_controlBar->setVolumnOn(volumnOnOff());
    setEditControlsEnabled(true);
    if (m_name->text() != section->name) {
        m_name->setText(section->name);
    }
    showSpeedFactor(*m_speed, section->factor);
    m_removeAudio->setChecked(!section->audio);
    {
        const QSignalBlocker quietMotion(m_motion);
        m_motion->setCurrentIndex(itemForMotion(section->motion));
    }
    showBounds();
}

// An added section, or one brought back by undoing its deletion, is the one to work on.
void SectionEditController::sectionInserted(int index) {
    reloadData();
    m_table->selectRow(index);
}

// The row selected in place of a removed one is the one that took its place, none after the last.
void SectionEditController::sectionRemoved(int index) {
    reloadData();
    if (!std::exchange(m_removingSelected, false)) {
        showSelectedSection();
    } else if (index < m_model->rowCount()) {
        m_table->selectRow(index);
        showSelectedSection(); // also where the view had selected that row already
    } else {
        m_table->clearSelection();
        showSelectedSection();
    }
}

void SectionEditController::showBounds() {
    const SectionState* section = selectedSection();
    if (section == nullptr) {
        return;
    }
    const QSignalBlocker quietStart(m_startSlider);
    const QSignalBlocker quietEnd(m_endSlider);
    m_startField->setText(timeTextWithMilliseconds(section->start));
    m_endField->setText(timeTextWithMilliseconds(section->end));
    m_startSlider->setValue(sliderValue(section->start));
    m_endSlider->setValue(sliderValue(section->end));
}

bool SectionEditController::volumnOnOff() const {
    const SectionState* section = selectedSection();
    return section == nullptr || section->audio;
}

void SectionEditController::actionAddOneSection() {
    const int count = m_document->sectionCount();
    SectionState section;
    section.name = QStringLiteral("%1__Section").arg(count);
    section.start = MediaTime::make(0, m_videoTotalDuration.timescale);
    section.end = m_videoTotalDuration;
    m_document->addSection(count, std::move(section));
}

void SectionEditController::actionDelSeletedSection() {
    const int64_t row = selectedRow();
    if (row >= 0) {
        m_document->deleteSection(static_cast<int>(row));
    }
}

void SectionEditController::comboBoxSelectionDidChange(QObject* sender) {
    if (sender != m_speed) {
        return;
    }
    const int index = m_speed->currentIndex();
    Player* current = player();
    const SectionState* section = selectedSection();
    if (index < 0 || current == nullptr || current->currentItem() == nullptr ||
        section == nullptr) {
        return;
    }
    const int row = static_cast<int>(selectedRow());
    const SpeedFactor shown = section->factor;
    const std::optional<SpeedFactor> factor = isCustomSpeedItem(*m_speed, index)
                                                  ? askForSpeedFactor(sheetWindow(), shown)
                                                  : speedFactorOfItem(*m_speed, index);
    // The chooser shows the document's factor until the step changes it.
    showSpeedFactor(*m_speed, shown);
    if (factor) {
        m_document->setSectionFactor(row, *factor);
    }
}

void SectionEditController::checkState() {
    if (selectedSection() == nullptr) {
        return;
    }
    const bool remove = m_removeAudio->isChecked();
    logLine(remove ? "selected" : "not selected");
    m_document->setSectionAudio(static_cast<int>(selectedRow()), !remove);
}

void SectionEditController::controlTextDidEndEditing(QObject* sender) {
    auto* field = qobject_cast<QLineEdit*>(sender);
    if (field != nullptr) {
        field->clearFocus();
    }
    const SectionState* section = selectedSection();
    if (section == nullptr) {
        return;
    }
    if (field == m_name) {
        m_document->renameSection(static_cast<int>(selectedRow()), m_name->text());
    } else if (field == m_startField || field == m_endField) {
        const MediaTime time = parseBoundText(field->text(), m_videoTotalDuration.timescale);
        if (time.isValid()) {
            moveBound(field == m_startField, time);
        } else {
            showBounds();
        }
    }
}

void SectionEditController::moveBound(bool start, MediaTime time) {
    const SectionState* section = selectedSection();
    Player* current = player();
    if (section == nullptr || !m_videoTotalDuration.isNumeric() || current == nullptr ||
        current->currentItem() == nullptr || current->currentItem()->asset() == nullptr) {
        return;
    }
    const MediaTime frame =
        oneFrame(*current->currentItem()->asset(), m_videoTotalDuration.timescale);
    time = limitBound(*section, start, time, m_videoTotalDuration, frame);
    // As a handle drag: the player goes there, the section takes the bound, the handle follows.
    m_controlBar->seekToFrame(time);
    if (start) {
        leftHandle(time);
    } else {
        rightHandle(time);
    }
    // A bound that did not move is a step of nothing: the field shows the bound again.
    showBounds();
}

void SectionEditController::setBoundAtPlayhead(bool start) {
    if (player() != nullptr) {
        moveBound(start, player()->currentTime());
    }
}

void SectionEditController::jumpToBound(bool forward) {
    Player* current = player();
    if (current == nullptr || current->currentItem() == nullptr ||
        current->currentItem()->asset() == nullptr) {
        return;
    }
    MediaTime now = current->currentTime();
    // A bound between two frames shows one of them, and the player reports that frame's time,
    // which may lie on the other side of the bound. While it still shows the frame of the bound
    // jumped to last, the next jump goes on from that bound, so that it passes it.
    const MediaTime frame = oneFrame(*current->currentItem()->asset(), now.timescale);
    if (m_boundJumpedTo.isNumeric() && m_boundJumpedTo - frame < now &&
        now < m_boundJumpedTo + frame) {
        now = m_boundJumpedTo;
    }
    const std::optional<MediaTime> nearest = nearestBound(sectionObjects(), now, forward);
    if (nearest) {
        m_controlBar->seekToFrame(*nearest);
        m_boundJumpedTo = *nearest;
    }
}

void SectionEditController::deSelectSectionEditTable() {
    m_table->clearSelection();
}

void SectionEditController::selectBand(int index) {
    if (index >= 0 && index < m_model->rowCount()) {
        m_table->selectRow(index);
    }
}

void SectionEditController::showBands() {
    std::vector<TrackBand> bands;
    const int64_t selected = selectedRow();
    const SectionSpan list = sectionObjects();
    for (size_t row = 0; row < list.size(); ++row) {
        const SectionState& section = list[row];
        const auto index = static_cast<int64_t>(row);
        const bool collides = m_model->collides(static_cast<int>(row), kColumnStart) ||
                              m_model->collides(static_cast<int>(row), kColumnEnd);
        bands.push_back({section.start, section.end, index == selected, collides});
    }
    m_controlBar->setBands(std::move(bands));
    // The trim handles are the selected section's bounds: without one there are none.
    const SectionState* section = selectedSection();
    m_controlBar->m_leftHandle()->setVisible(section != nullptr);
    m_controlBar->m_rightHandle()->setVisible(section != nullptr);
    if (section != nullptr) {
        m_controlBar->setLeftHanldePos(section->start);
        m_controlBar->setRightHanldePos(section->end);
    }
}

void SectionEditController::leftHandle(MediaTime time) {
    if (const SectionState* section = selectedSection()) {
        m_document->setSectionBounds(static_cast<int>(selectedRow()), time, section->end);
    }
}

void SectionEditController::rightHandle(MediaTime time) {
    if (const SectionState* section = selectedSection()) {
        m_document->setSectionBounds(static_cast<int>(selectedRow()), section->start, time);
    }
}

bool SectionEditController::eventFilter(QObject* watched, QEvent* event) {
    // Compared by address only: the seeker also sends events while the bar around it is being
    // destroyed, when the bar can no longer be asked for it.
    if ((event->type() == QEvent::MouseButtonPress ||
         event->type() == QEvent::MouseButtonRelease) &&
        watched == m_dragSeeker.data() &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        if (event->type() == QEvent::MouseButtonPress) {
            m_document->beginBoundsDrag();
        } else {
            m_document->endBoundsDrag();
        }
    }
    return QObject::eventFilter(watched, event);
}

void SectionEditController::exportProgressWindowControllerDidCancel(
    ExportProgressWindowController* /*controller*/) {
    m_exportFlow->cancelExport();
}

QWidget* SectionEditController::sheetWindow() const {
    return m_windowForSheet ? m_windowForSheet.data() : m_dropView->window();
}

void SectionEditController::actionFullExport() {
    // Blocked sections would make a wrong movie (a reversed one plays its stretch twice).
    if (m_sectionErrors > 0 || player() == nullptr || player()->currentItem() == nullptr) {
        return;
    }
    m_controlBar->pauseVideo();
    // The edit is taken now: later edits do not change this export.
    const EditCut cut = EditCut::ofSections(sectionObjects(), m_videoTotalDuration);
    m_exportFlow->begin(sheetWindow(), m_videoPath, this, [this, cut]() -> ExportJob {
        Player* source = player();
        if (source == nullptr || source->currentItem() == nullptr) {
            return {};
        }
        PlayerItem& item = *source->currentItem();
        ExportJob job(nullptr, item.asset(), playbackRange(item));
        job.makeComposition = [cut, asset = item.asset()] { return makeComposition(*asset, cut); };
        job.log = ExportJob::Log::AllPresets;
        return job;
    });
}

void SectionEditController::actionSectionExport() {
    const int64_t row = selectedRow();
    if (row < 0 || row >= m_document->sectionCount() || player() == nullptr ||
        player()->currentItem() == nullptr) {
        return;
    }
    player()->pause();
    // The section as it is now: later edits do not change this export.
    const SectionState section = m_document->section(static_cast<int>(row));
    const auto makeJob = [this, section]() -> ExportJob {
        Player* source = player();
        if (source == nullptr || source->currentItem() == nullptr) {
            return {};
        }
        PlayerItem& item = *source->currentItem();
        if (!(section.start < section.end)) {
            ExportJob nothing;
            nothing.error = tr("The section ends before it starts.");
            return nothing;
        }
        auto composition = makeComposition(*item.asset(), EditCut::ofSection(section));
        return ExportJob(composition, item.asset(), playbackRange(item));
    };
    // The panel proposes the section's own name.
    const QString extension = QFileInfo(m_videoPath.toLocalFile()).suffix();
    const QString name = exportedMovieName(m_videoPath.toLocalFile(), section.name);
    m_exportFlow->begin(sheetWindow(), m_videoPath, QStringLiteral("%1.%2").arg(name, extension),
                        makeExtensionArray(extension), this, makeJob);
}

} // namespace lento
