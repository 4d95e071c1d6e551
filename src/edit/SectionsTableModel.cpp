#include "edit/SectionsTableModel.h"

#include "controls/TimeText.h"
#include "sections/SectionRules.h"

#include <QBrush>

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

const QStringList& SectionsTableModel::columnIdentifiers() {
    static const QStringList identifiers{"cellNumber",   "cellSectionName", "cellStartFrame",
                                         "cellEndFrame", "cellSpeed",       "cellRemoveAudio",
                                         "cellMotion"};
    return identifiers;
}

SectionsTableModel::SectionsTableModel(EditDocument* document, QObject* parent)
    : QAbstractTableModel(parent), m_document(document) {
    for (int row = 0; row < document->sectionCount(); ++row) {
        m_objects.push_back(SectionObject::fromState(document->section(row)));
    }
    connect(document, &EditDocument::documentReset, this, &SectionsTableModel::resetRows);
    connect(document, &EditDocument::sectionInserted, this, &SectionsTableModel::insertRow);
    connect(document, &EditDocument::sectionRemoved, this, &SectionsTableModel::removeRow);
    connect(document, &EditDocument::sectionChanged, this, &SectionsTableModel::changeRow);
}

int SectionsTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_objects.size());
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
    const SectionObject& section = *m_objects[static_cast<size_t>(row)];
    if (role == Qt::ForegroundRole) {
        const bool collides = (column == kColumnStart || column == kColumnEnd) &&
                              checkOverSetup(m_objects, row, column) != -1;
        return collides ? QVariant(QBrush(Qt::red)) : QVariant();
    }
    if (role != Qt::DisplayRole) {
        return {};
    }
    switch (column) {
    case kColumnNumber:
        return QString::number(row + 1);
    case kColumnName:
        return section.name();
    case kColumnStart:
        // Sections are a few frames long: whole seconds would not tell two bounds apart.
        return timeTextWithMilliseconds(section.startFrame());
    case kColumnEnd:
        return timeTextWithMilliseconds(section.endFrame());
    case kColumnSpeed:
        return speedFactorText(section.factor());
    case kColumnRemoveAudio:
        return section.removeAudio() ? QStringLiteral("Yes") : QStringLiteral("No");
    case kColumnMotion:
        return motionText(section.motion());
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
        static const char* const titles[] = {"No.",   "Name",         "Start", "End",
                                             "Speed", "Remove Audio", "Motion"};
        return tr(titles[section]);
    }
    return {};
}

void SectionsTableModel::resetRows() {
    beginResetModel();
    m_objects.clear();
    for (int row = 0; row < m_document->sectionCount(); ++row) {
        m_objects.push_back(SectionObject::fromState(m_document->section(row)));
    }
    endResetModel();
}

// The document announces a change once it is made; the rows here change between the begin and
// the end, as views and selection models expect.
void SectionsTableModel::insertRow(int index) {
    beginInsertRows({}, index, index);
    m_objects.insert(m_objects.begin() + index,
                     SectionObject::fromState(m_document->section(index)));
    endInsertRows();
    allRowsChanged();
}

void SectionsTableModel::removeRow(int index) {
    beginRemoveRows({}, index, index);
    m_objects.erase(m_objects.begin() + index);
    endRemoveRows();
    allRowsChanged();
}

void SectionsTableModel::changeRow(int index) {
    m_objects[static_cast<size_t>(index)] = SectionObject::fromState(m_document->section(index));
    allRowsChanged();
}

void SectionsTableModel::allRowsChanged() {
    if (!m_objects.empty()) {
        emit dataChanged(this->index(0, 0),
                         this->index(static_cast<int>(m_objects.size()) - 1, kColumnCount - 1));
    }
}

} // namespace lento
