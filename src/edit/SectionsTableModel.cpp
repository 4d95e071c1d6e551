#include "edit/SectionsTableModel.h"

#include "edit/SectionRules.h"
#include "edit/TimeText.h"

#include <QBrush>

#include <algorithm>

namespace lento {

QString speedFactorText(SpeedFactor factor) {
    if (factor.isOne()) {
        return QStringLiteral("Original Speed");
    }
    return QStringLiteral("%1x Slower").arg(QString::fromStdString(factor.text()));
}

QString motionText(MotionMode motion) {
    switch (motion) {
    case MotionMode::Blend:
        return QStringLiteral("Blend Frames");
    case MotionMode::Smooth:
        return QStringLiteral("Smooth Motion");
    case MotionMode::Hold:
        break;
    }
    return QStringLiteral("Hold Frames");
}

QString rampText(MediaTime rampIn, MediaTime rampOut) {
    if (rampIn == rampOut) {
        return rampLengthText(rampIn);
    }
    return rampLengthText(rampIn) + QStringLiteral(" / ") + rampLengthText(rampOut);
}

const QStringList& SectionsTableModel::columnIdentifiers() {
    static const QStringList identifiers{"cellNumber",   "cellSectionName", "cellStartFrame",
                                         "cellEndFrame", "cellSpeed",       "cellRemoveAudio",
                                         "cellMotion",   "cellRamp"};
    return identifiers;
}

SectionsTableModel::SectionsTableModel(EditDocument* document, QObject* parent)
    : QAbstractTableModel(parent), m_document(document) {
    resetRows();
    connect(document, &EditDocument::documentReset, this, &SectionsTableModel::resetRows);
    connect(document, &EditDocument::sectionInserted, this, &SectionsTableModel::insertRow);
    connect(document, &EditDocument::sectionRemoved, this, &SectionsTableModel::removeRow);
    connect(document, &EditDocument::sectionChanged, this, &SectionsTableModel::changeRow);
}

int SectionsTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_rowCount;
}

SectionSpan SectionsTableModel::sections() const {
    return m_document->state().sections;
}

int SectionsTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant SectionsTableModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
        return {};
    }
    const int row = index.row();
    const int column = index.column();
    if (row >= m_document->sectionCount()) {
        return {}; // a row on its way out
    }
    const SectionState& section = m_document->section(row);
    if (role == Qt::ForegroundRole) {
        return collides(row, column) ? QVariant(QBrush(Qt::red)) : QVariant();
    }
    if (role != Qt::DisplayRole) {
        return {};
    }
    switch (column) {
    case kColumnNumber:
        return QString::number(row + 1);
    case kColumnName:
        return section.name;
    case kColumnStart:
        // Sections are a few frames long: whole seconds would not tell two bounds apart.
        return timeTextWithMilliseconds(section.start);
    case kColumnEnd:
        return timeTextWithMilliseconds(section.end);
    case kColumnSpeed:
        return speedFactorText(section.factor);
    case kColumnRemoveAudio:
        return section.audio ? QStringLiteral("No") : QStringLiteral("Yes");
    case kColumnMotion:
        return motionText(section.motion);
    case kColumnRamp:
        return rampText(section.rampIn, section.rampOut);
    default:
        return {};
    }
}

QVariant SectionsTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= kColumnCount) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    if (role == Qt::UserRole) {
        return columnIdentifiers().at(section);
    }
    if (role == Qt::DisplayRole) {
        static const char* const titles[] = {"No.",   "Name",         "Start",  "End",
                                             "Speed", "Remove Audio", "Motion", "Ramp"};
        return tr(titles[section]);
    }
    return {};
}

void SectionsTableModel::resetRows() {
    beginResetModel();
    m_collisionsFound = false;
    m_rowCount = m_document->sectionCount();
    endResetModel();
}

// The document announces a change once it is made; the row count here changes between the begin
// and the end, as views and selection models expect.
void SectionsTableModel::insertRow(int index) {
    beginInsertRows({}, index, index);
    ++m_rowCount;
    endInsertRows();
    allRowsChanged();
}

void SectionsTableModel::removeRow(int index) {
    beginRemoveRows({}, index, index);
    --m_rowCount;
    endRemoveRows();
    allRowsChanged();
}

void SectionsTableModel::changeRow(int /*index*/) {
    allRowsChanged();
}

bool SectionsTableModel::collides(int row, int column) const {
    if (row < 0 || row >= rowCount() || (column != kColumnStart && column != kColumnEnd)) {
        return false;
    }
    findCollisions();
    const auto at = static_cast<size_t>(row);
    return at < m_collisions.size() && m_collisions[at][column == kColumnStart ? 0 : 1];
}

int SectionsTableModel::collisionCount() const {
    findCollisions();
    return m_collisionCount;
}

QString SectionsTableModel::collisionReason() const {
    findCollisions();
    for (int row = 0; row < rowCount() && m_collisionCount > 0; ++row) {
        for (int column : {kColumnStart, kColumnEnd}) {
            if (collides(row, column)) {
                return boundErrorReason(sections(), row, column);
            }
        }
    }
    return {};
}

void SectionsTableModel::findCollisions() const {
    if (m_collisionsFound) {
        return;
    }
    m_collisions = findBoundCollisions(sections());
    m_collisionCount = 0;
    for (const std::array<bool, 2>& bounds : m_collisions) {
        m_collisionCount += int(bounds[0]) + int(bounds[1]);
    }
    m_collisionsFound = true;
}

void SectionsTableModel::allRowsChanged() {
    m_collisionsFound = false;
    if (m_rowCount > 0) {
        emit dataChanged(this->index(0, 0), this->index(m_rowCount - 1, kColumnCount - 1));
    }
}

} // namespace lento
