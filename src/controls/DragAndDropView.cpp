#include "controls/DragAndDropView.h"

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>

namespace lento {

DragAndDropView::DragAndDropView(QWidget* parent) : QWidget(parent) {
    setAcceptDrops(true);
}

void DragAndDropView::dragEnterEvent(QDragEnterEvent* event) {
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void DragAndDropView::dragMoveEvent(QDragMoveEvent* event) {
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void DragAndDropView::dropEvent(QDropEvent* event) {
    performDragOperation(*event->mimeData());
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

bool DragAndDropView::performDragOperation(const QMimeData& data) {
    if (!data.hasUrls()) {
        return true;
    }
    const QList<QUrl> urls = data.urls();
    if (urls.isEmpty() || !urls.first().isLocalFile()) {
        return true;
    }
    if (delegateResponds(m_delegate, "fileDropped:")) {
        m_delegate->fileDropped(urls.first());
    }
    return true;
}

} // namespace lento
