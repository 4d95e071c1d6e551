#pragma once

#include "base/DelegateProtocol.h"

#include <QUrl>
#include <QWidget>

class QMimeData;

namespace lento {

class DragAndDropViewDelegate : public DelegateProtocol {
public:
    // The first file of a drop.
    virtual void fileDropped(const QUrl& url) = 0;
    bool respondsToSelector(std::string_view selector) const override {
        return selector == "fileDropped:";
    }
};

// A drop target for files from the desktop's file managers. Any drag shows the copy cursor; a
// drop of files hands the first one to the delegate.
class DragAndDropView : public QWidget {
    Q_OBJECT
public:
    explicit DragAndDropView(QWidget* parent = nullptr);

    DragAndDropViewDelegate* delegate() const { return m_delegate; }
    void setDelegate(DragAndDropViewDelegate* delegate) { m_delegate = delegate; }

    // The drop itself, also for callers that have a drop's data without a drag.
    bool performDragOperation(const QMimeData& data);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    DragAndDropViewDelegate* m_delegate = nullptr; // the owning controller, which outlives us
};

} // namespace lento
