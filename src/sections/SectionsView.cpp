#include "sections/SectionsView.h"

#include "controls/MotionChoice.h"
#include "controls/SpeedChooser.h"
#include "controls/VideoControlBar.h"
#include "edit/SectionsTableModel.h"
#include "edit/TimeText.h"
#include "media/PlayerView.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QVBoxLayout>

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

int sliderValue(MediaTime time) {
    return static_cast<int>(time.convertScale(kSliderUnitsPerSecond).value);
}

// The usual lengths listed, any other typed. Without a completer: typing "0.2" must not become
// the listed "0.25 s".
QComboBox* makeRampChooser(QWidget* parent) {
    auto* chooser = new QComboBox(parent);
    chooser->setEditable(true);
    chooser->setInsertPolicy(QComboBox::NoInsert);
    chooser->setCompleter(nullptr);
    for (const int milliseconds : {0, 250, 500, 1000}) {
        chooser->addItem(rampLengthText(MediaTime::make(milliseconds, 1000)));
    }
    chooser->setToolTip(QObject::tr("Seconds of the section over which the speed eases, to the "
                                    "millisecond (0.4 s, 350 ms)"));
    return chooser;
}

void showRamp(QComboBox& chooser, MediaTime length) {
    const QSignalBlocker quiet(chooser);
    const QString text = rampLengthText(length);
    chooser.setCurrentIndex(chooser.findText(text));
    chooser.setEditText(text);
}

} // namespace

SectionsView::SectionsView(PlayerView* player, VideoControlBar* bar, QWidget* parent)
    : MouseClickView(parent) {
    m_table = new QTableView(this);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->verticalHeader()->setVisible(false);
    m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    // Sized by the rows around those shown, not by every row of a long edit at every step.
    m_table->horizontalHeader()->setResizeContentsPrecision(100);
    m_table->setMinimumHeight(120);
    m_table->setItemDelegate(new BoundCellDelegate(m_table));

    m_upload = new QPushButton(tr("Open Video…"), this);
    m_addSection = new QPushButton(tr("Add Section"), this);
    m_delSection = new QPushButton(tr("Delete Section"), this);
    m_sectionExport = new QPushButton(tr("Export Section…"), this);
    m_fullExport = new QPushButton(tr("Export All…"), this);
    m_exportBlocked = new QLabel(this);
    QPalette reasonColours = m_exportBlocked->palette();
    reasonColours.setColor(QPalette::WindowText, kCollisionRed);
    m_exportBlocked->setPalette(reasonColours);
    m_exportBlocked->hide();

    m_editBox = new QGroupBox(tr("Section"), this);
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
    m_rampIn = makeRampChooser(m_editBox);
    m_rampOut = makeRampChooser(m_editBox);
    m_rampError = new QLabel(m_editBox);
    m_rampError->setWordWrap(true);
    QPalette rampErrorColours = m_rampError->palette();
    rampErrorColours.setColor(QPalette::WindowText, kCollisionRed);
    m_rampError->setPalette(rampErrorColours);
    // Room for two lines, empty until there is a message: one must not move the player and the
    // track.
    m_rampError->setMinimumHeight(2 * m_rampError->fontMetrics().lineSpacing());
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
    auto* speedRow = new QHBoxLayout();
    speedRow->addWidget(m_speed, 1);
    speedRow->addWidget(m_removeAudio);
    form->addRow(tr("Speed:"), speedRow);
    form->addRow(tr("Motion:"), m_motion);
    auto* rampRow = new QHBoxLayout();
    rampRow->addWidget(m_rampIn, 1);
    rampRow->addWidget(new QLabel(tr("Out:"), m_editBox));
    rampRow->addWidget(m_rampOut, 1);
    form->addRow(tr("Ramp In:"), rampRow);
    form->addRow(QString(), m_rampError);

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
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(player, 3);
    layout->addWidget(bar);
    layout->addLayout(lower, 2);
    layout->addLayout(buttons);

    // Until a video is ready and sections exist, there is nothing to do with them.
    for (QWidget* control : std::initializer_list<QWidget*>{m_addSection, m_delSection,
                                                            m_sectionExport, m_fullExport}) {
        control->setEnabled(false);
    }
    setEditControlsEnabled(false);

    // Every move the user makes (drag, click on the groove, keys); the view's own settings are
    // made with the sliders' signals blocked.
    connect(m_startSlider, &QSlider::valueChanged, this, [this](int value) {
        emit boundSlid(true,
                       MediaTime::make(value, kSliderUnitsPerSecond).convertScale(m_timescale));
    });
    connect(m_endSlider, &QSlider::valueChanged, this, [this](int value) {
        emit boundSlid(false,
                       MediaTime::make(value, kSliderUnitsPerSecond).convertScale(m_timescale));
    });
    for (const bool in : {true, false}) {
        QComboBox* chooser = in ? m_rampIn : m_rampOut;
        connect(chooser, &QComboBox::activated, this, [this, in] { emit rampEntered(in); });
        connect(chooser->lineEdit(), &QLineEdit::editingFinished, this,
                [this, in] { emit rampEntered(in); });
    }
}

void SectionsView::setModel(SectionsTableModel* model) {
    m_table->setModel(model);
    m_table->horizontalHeader()->setSectionResizeMode(SectionsTableModel::kColumnName,
                                                      QHeaderView::Stretch);
}

void SectionsView::setDuration(MediaTime duration) {
    if (duration.isNumeric()) {
        m_timescale = duration.timescale;
    }
    const int maximum = duration.isNumeric() ? sliderValue(duration) : 0;
    const QSignalBlocker quietStart(m_startSlider);
    const QSignalBlocker quietEnd(m_endSlider);
    m_startSlider->setMaximum(maximum);
    m_endSlider->setMaximum(maximum);
    m_startSlider->setMinimum(0);
    m_endSlider->setMinimum(0);
}

void SectionsView::showSection(const SectionState& section) {
    setEditControlsEnabled(true);
    if (m_name->text() != section.name) {
        m_name->setText(section.name);
    }
    showSpeedFactor(*m_speed, section.factor);
    m_removeAudio->setChecked(!section.audio);
    {
        const QSignalBlocker quietMotion(m_motion);
        m_motion->setCurrentIndex(itemForMotion(section.motion));
    }
    showBounds(section.start, section.end);
    showRamps(section.rampIn, section.rampOut);
    showRampError({});
}

void SectionsView::showRamps(MediaTime rampIn, MediaTime rampOut) {
    showRamp(*m_rampIn, rampIn);
    showRamp(*m_rampOut, rampOut);
}

void SectionsView::showRampError(const QString& reason) {
    m_rampError->setText(reason);
}

void SectionsView::showBounds(MediaTime start, MediaTime end) {
    const QSignalBlocker quietStart(m_startSlider);
    const QSignalBlocker quietEnd(m_endSlider);
    m_startField->setText(timeTextWithMilliseconds(start));
    m_endField->setText(timeTextWithMilliseconds(end));
    m_startSlider->setValue(sliderValue(start));
    m_endSlider->setValue(sliderValue(end));
}

void SectionsView::setEditControlsEnabled(bool enabled) {
    for (QWidget* control : std::initializer_list<QWidget*>{
             m_name, m_startField, m_endField, m_startSlider, m_endSlider, m_speed, m_removeAudio,
             m_motion, m_rampIn, m_rampOut}) {
        control->setEnabled(enabled);
    }
}

void SectionsView::clearEditPanel() {
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
    for (QComboBox* chooser : {m_rampIn, m_rampOut}) {
        const QSignalBlocker quietRamp(chooser);
        chooser->setCurrentIndex(-1);
        chooser->clearEditText();
    }
    showRampError({});
}

void SectionsView::showExportBlocked(const QString& reason) {
    m_exportBlocked->setText(reason);
    m_exportBlocked->setVisible(!reason.isEmpty());
}

} // namespace lento
