#include "sections/SectionEditController.h"

#include "base/Log.h"
#include "controls/MotionChoice.h"
#include "controls/SpeedChooser.h"
#include "edit/SectionRules.h"
#include "media/PlayerView.h"
#include "sections/RampPlayback.h"

#include <QCheckBox>
#include <QComboBox>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QSlider>
#include <QTableView>
#include <QVBoxLayout>

#include <optional>

namespace lento {

namespace {

const QStringList& sectionRejectedExtensions() {
    static const QStringList rejected{"mpg", "avi", "mpeg"};
    return rejected;
}

} // namespace

SectionEditController::SectionEditController(EditDocument* document, QObject* parent)
    : EditorTab(document, QStringLiteral("SectionsView"), sectionRejectedExtensions(), parent) {
    m_view = new SectionsView(m_videoPlayer, m_controlBar, m_dropView);
    auto* rootLayout = new QVBoxLayout(m_dropView);
    rootLayout->setContentsMargins(0, 0, 0, 0);
    rootLayout->addWidget(m_view);
    m_model = new SectionsTableModel(m_document, this);
    m_rampPlayback = new RampPlayback(*m_document, *m_controlBar, this);
    // Heard before the view, which moves the selection to a neighbour of a removed row.
    connect(m_model, &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [this](const QModelIndex&, int first, int last) {
                const int64_t row = selectedRow();
                m_removingSelected = row >= first && row <= last;
            });
    m_view->setModel(m_model);
    connectView();
    m_view->setDelegate(this);
    showBands();
}

SectionEditController::~SectionEditController() {
    if (m_dropView) {
        m_view->setDelegate(nullptr);
        m_controlBar->m_videoSeeker()->removeEventFilter(this);
    }
}

void SectionEditController::connectView() {
    connect(m_view->upload(), &QPushButton::clicked, this, &SectionEditController::actionUpload);
    connect(m_view->addSection(), &QPushButton::clicked, this,
            &SectionEditController::actionAddOneSection);
    connect(m_view->delSection(), &QPushButton::clicked, this,
            &SectionEditController::actionDelSeletedSection);
    connect(m_view->fullExport(), &QPushButton::clicked, this,
            &SectionEditController::actionFullExport);
    connect(m_view->sectionExport(), &QPushButton::clicked, this,
            &SectionEditController::actionSectionExport);
    connect(m_view->removeAudio(), &QCheckBox::clicked, this, &SectionEditController::checkState);
    connect(m_view->speed(), &QComboBox::currentIndexChanged, this,
            [this] { comboBoxSelectionDidChange(m_view->speed()); });
    connect(m_view->motion(), &QComboBox::currentIndexChanged, this, [this](int index) {
        if (index >= 0 && selectedSection() != nullptr) {
            m_document->setSectionMotion(static_cast<int>(selectedRow()), motionForItem(index));
        }
    });
    for (QLineEdit* field : {m_view->name(), m_view->startField(), m_view->endField()}) {
        connect(field, &QLineEdit::editingFinished, this,
                [this, field] { controlTextDidEndEditing(field); });
    }
    connect(m_view, &SectionsView::boundSlid, this, &SectionEditController::moveBound);
    connect(m_view, &SectionsView::rampEntered, this, &SectionEditController::enterRamp);
    for (QSlider* slider : {m_view->startSlider(), m_view->endSlider()}) {
        connect(slider, &QSlider::sliderPressed, m_document, &EditDocument::beginBoundsDrag);
        connect(slider, &QSlider::sliderReleased, m_document, &EditDocument::endBoundsDrag);
    }
    m_dragSeeker = m_controlBar->m_videoSeeker();
    m_dragSeeker->installEventFilter(this);
    connect(m_view->table()->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &SectionEditController::tableViewSelectionDidChange);
    // The model hears of every change first: the rows are there when the tab follows.
    followDocument();
    connect(m_document, &EditDocument::sectionInserted, this,
            &SectionEditController::sectionInserted);
    connect(m_document, &EditDocument::sectionRemoved, this,
            &SectionEditController::sectionRemoved);
    connect(m_document, &EditDocument::sectionChanged, this,
            &SectionEditController::showSelectedSection);
    for (auto changed : {&EditDocument::sectionInserted, &EditDocument::sectionRemoved,
                         &EditDocument::sectionChanged}) {
        connect(m_document, changed, this, &SectionEditController::refreshLivePlayback);
    }
    auto* remove =
        new QShortcut(QKeySequence::Delete, m_view->table(), nullptr, nullptr, Qt::WidgetShortcut);
    // Help > Keyboard Shortcuts lists it by this.
    remove->setWhatsThis(tr("Remove the selected section"));
    connect(remove, &QShortcut::activated, this, &SectionEditController::actionDelSeletedSection);
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

void SectionEditController::documentWillShow() {
    m_curSectionIndex = -1;
    m_view->table()->clearSelection();
    m_view->clearEditPanel();
    reloadData();
}

void SectionEditController::videoLoaded(Player& loaded) {
    m_playFactor = SpeedFactor(); // the rate loading gives the bar
    // A step or playback leaves the frame of the bound jumped to.
    m_boundJumpedTo = MediaTime::invalid();
    const auto moved = [this] { m_boundJumpedTo = MediaTime::invalid(); };
    connect(&loaded, &Player::frameShown, this, moved);
    connect(&loaded, &Player::playingChanged, this, moved);
    m_rampPlayback->setPlayer(&loaded);
}

void SectionEditController::videoUnloaded() {
    m_videoTotalDuration = MediaTime::invalid();
    m_view->addSection()->setEnabled(false);
    reloadData();
}

void SectionEditController::videoReady(Player& ready) {
    m_videoTotalDuration = ready.currentItem()->duration();
    logLine("%f", m_videoTotalDuration.seconds());
    m_view->upload()->setEnabled(true);
    m_view->addSection()->setEnabled(true);
    m_view->setDuration(m_videoTotalDuration);
}

void SectionEditController::reloadData() {
    // The list buttons follow the number of sections.
    const bool any = !sectionObjects().empty();
    m_view->addSection()->setEnabled(any || player() != nullptr);
    m_view->delSection()->setEnabled(any);
    updateSectionErrors(); // and the exports
}

void SectionEditController::updateSectionErrors() {
    // Everything that changes a section or the selection passes here: so do the bands.
    showBands();
    m_sectionErrors = m_model->collisionCount();
    const bool clear = m_sectionErrors <= 0;
    m_view->fullExport()->setEnabled(clear && !sectionObjects().empty());
    m_view->sectionExport()->setEnabled(clear && selectedSection() != nullptr);
    m_view->showExportBlocked(clear ? QString() : m_model->collisionReason());
}

int64_t SectionEditController::selectedRow() const {
    const QModelIndexList rows = m_view->table()->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

const SectionState* SectionEditController::selectedSection() const {
    const int64_t row = selectedRow();
    if (row < 0 || row >= static_cast<int64_t>(sectionObjects().size())) {
        return nullptr;
    }
    return &sectionObjects()[static_cast<size_t>(row)];
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
    const SpeedFactor factor = section != nullptr ? section->factor : SpeedFactor();
    m_rampPlayback->setApplies(section != nullptr);
    if (!m_rampPlayback->follows() && (section == nullptr || factor != m_playFactor)) {
        setPlayFactor(factor);
    }
    m_controlBar->setVolumnOn(volumnOnOff());
    if (section == nullptr) {
        m_view->clearEditPanel();
    } else {
        m_view->showSection(*section);
    }
}

// An added section, or one brought back by undoing its deletion, is the one to work on.
void SectionEditController::sectionInserted(int index) {
    reloadData();
    m_view->table()->selectRow(index);
}

// The row selected in place of a removed one is the one that took its place, none after the last.
void SectionEditController::sectionRemoved(int index) {
    reloadData();
    if (std::exchange(m_removingSelected, false)) {
        if (index < m_model->rowCount()) {
            m_view->table()->selectRow(index);
        } else {
            m_view->table()->clearSelection();
        }
    }
    showSelectedSection(); // also where the view had selected that row already
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
    QComboBox* speed = m_view->speed();
    const int index = speed->currentIndex();
    const SectionState* section = selectedSection();
    if (sender != speed || index < 0 || player() == nullptr || player()->currentItem() == nullptr ||
        section == nullptr) {
        return;
    }
    const int row = static_cast<int>(selectedRow());
    const SpeedFactor shown = section->factor;
    const std::optional<SpeedFactor> factor = isCustomSpeedItem(*speed, index)
                                                  ? askForSpeedFactor(sheetWindow(), shown)
                                                  : speedFactorOfItem(*speed, index);
    // The chooser shows the document's factor until the step changes it.
    showSpeedFactor(*speed, shown);
    if (factor) {
        m_document->setSectionFactor(row, *factor);
    }
}

void SectionEditController::checkState() {
    if (selectedSection() == nullptr) {
        return;
    }
    const bool remove = m_view->removeAudio()->isChecked();
    logLine(remove ? "selected" : "not selected");
    m_document->setSectionAudio(static_cast<int>(selectedRow()), !remove);
}

void SectionEditController::controlTextDidEndEditing(QObject* sender) {
    auto* field = qobject_cast<QLineEdit*>(sender);
    if (field != nullptr) {
        field->clearFocus();
    }
    if (selectedSection() == nullptr) {
        return;
    }
    if (field == m_view->name()) {
        m_document->renameSection(static_cast<int>(selectedRow()), field->text());
    } else if (field == m_view->startField() || field == m_view->endField()) {
        const MediaTime time = parseBoundText(field->text(), m_videoTotalDuration.timescale);
        if (time.isValid()) {
            moveBound(field == m_view->startField(), time);
        } else {
            showBounds();
        }
    }
}

void SectionEditController::deSelectSectionEditTable() {
    m_view->table()->clearSelection();
}

} // namespace lento
