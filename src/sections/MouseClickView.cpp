#include "sections/MouseClickView.h"

#include <QMouseEvent>

namespace lento {

void MouseClickView::mousePressEvent(QMouseEvent* event) {
    if (delegateResponds(m_delegate, "deSelectSectionEditTable")) {
        m_delegate->deSelectSectionEditTable();
    }
    // The press ends here.
    event->accept();
}

} // namespace lento
