#include "sections/SectionEditController.h"

#include <QFileInfo>
#include <QLabel>
#include <QVBoxLayout>

namespace lento {

SectionEditController::SectionEditController(QObject* parent) : QObject(parent) {
    m_dropView = new DragAndDropView();
    m_dropView->setObjectName("SectionsView");
    auto* layout = new QVBoxLayout(m_dropView);
    auto* label = new QLabel(tr("Drop a video here to mark its sections."), m_dropView);
    label->setAlignment(Qt::AlignCenter);
    layout->addWidget(label);
    m_dropView->setDelegate(this);
}

SectionEditController::~SectionEditController() {
    if (m_dropView) {
        m_dropView->setDelegate(nullptr);
    }
}

QWidget* SectionEditController::view() const {
    return m_dropView;
}

void SectionEditController::importVideoFile(const QUrl& url) {
    fileDropped(url);
}

void SectionEditController::fileDropped(const QUrl& url) {
    m_videoPath = url;
}

} // namespace lento
