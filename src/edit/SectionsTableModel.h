#pragma once

#include "edit/EditDocument.h"
#include "media/SpeedFactor.h"

#include <QAbstractTableModel>
#include <QStringList>

#include <array>
#include <vector>

namespace lento {

// The sections table of an edit document: one row per section, in the document's order, following
// every change of the document (undone and redone ones too) row by row, so that a view over it
// keeps its selection and scroll position.
class SectionsTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column {
        kColumnNumber = 0,
        kColumnName = 1,
        kColumnStart = 2,
        kColumnEnd = 3,
        kColumnSpeed = 4,
        kColumnRemoveAudio = 5,
        kColumnMotion = 6,
        kColumnRamp = 7,
        kColumnCount = 8,
    };
    // The columns' identifiers, given by the header under Qt::UserRole.
    static const QStringList& columnIdentifiers();

    explicit SectionsTableModel(EditDocument* document, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    // The texts; the bounds that collide (by the section rules) in red.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // The rows' sections: the document's, while the view shows them all.
    SectionSpan sections() const;
    // Whether the bound in `column` (kColumnStart or kColumnEnd) of `row` collides, as
    // checkOverSetup() says; and how many bounds do (countSectionErrors()).
    bool collides(int row, int column) const;
    int collisionCount() const;
    // Why the exports are blocked (sectionErrorReason()); empty when nothing collides.
    QString collisionReason() const;

private:
    void resetRows();
    void insertRow(int index);
    void removeRow(int index);
    void changeRow(int index);
    // Numbers and collisions of every row may follow one row's change.
    void allRowsChanged();
    // Every bound's collision at once (findBoundCollisions), kept until the next change: a table
    // of a thousand sections redraws at every step of a drag.
    void findCollisions() const;

    EditDocument* m_document;
    // The rows the views know of. The document has changed already when it announces a change;
    // between the begin and the end of a row's insertion or removal this count is the views'.
    int m_rowCount = 0;
    // Per row, whether its start and its end collide; found again after any change.
    mutable std::vector<std::array<bool, 2>> m_collisions;
    mutable int m_collisionCount = 0;
    mutable bool m_collisionsFound = false;
};

// "Original Speed" for the original speed, otherwise the factor as "2x Slower", "2.5x Slower".
QString speedFactorText(SpeedFactor factor);
// The motion column's texts: "Hold Frames", "Blend Frames", "Smooth Motion".
QString motionText(MotionMode motion);
// The ramp column's: "None" without ramps, one length where both are equal ("0.5 s"), else the
// ramp in's and the ramp out's ("None / 1 s", "0.25 s / 0.5 s").
QString rampText(MediaTime rampIn, MediaTime rampOut);

} // namespace lento
