#pragma once

#include "base/DelegateProtocol.h"

#include <QWidget>

namespace lento {

class MouseClickViewDelegate : public DelegateProtocol {
public:
    virtual void deSelectSectionEditTable() = 0;
};

// The background of the sections tab: a click on it clears the section table's selection.
class MouseClickView : public QWidget {
    Q_OBJECT
public:
    explicit MouseClickView(QWidget* parent = nullptr) : QWidget(parent) {}

    MouseClickViewDelegate* delegate() const { return m_delegate; }
    void setDelegate(MouseClickViewDelegate* delegate) { m_delegate = delegate; }

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    MouseClickViewDelegate* m_delegate = nullptr; // the owning controller, which outlives us
};

} // namespace lento
