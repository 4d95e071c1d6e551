#include "preview/PreviewWindowController.h"

#include "controls/VideoControlBar.h"
#include "media/PlayerView.h"
#include "preview/PreviewController.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

namespace lento {

PreviewWindowController::PreviewWindowController(SectionsStorage edit, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(tr("Preview"));
    resize(800, 520);
    m_playerView = new PlayerView(this);
    m_playerView->setMinimumSize(320, 180);
    m_controlBar = new VideoControlBar(this);
    m_controlBar->m_leftHandle()->setHidden(true);
    m_controlBar->m_rightHandle()->setHidden(true);
    m_exportButton = new QPushButton(tr("Export…"), this);
    m_closeButton = new QPushButton(tr("Close"), this);
    auto* buttons = new QHBoxLayout();
    buttons->addStretch(1);
    buttons->addWidget(m_exportButton);
    buttons->addWidget(m_closeButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_playerView, 1);
    layout->addWidget(m_controlBar);
    layout->addLayout(buttons);

    m_previewController = new PreviewController(this, m_playerView, std::move(edit));
    connect(m_exportButton, &QPushButton::clicked, m_previewController,
            &PreviewController::actionExport);
    connect(m_closeButton, &QPushButton::clicked, m_previewController,
            &PreviewController::closeDialog);
    m_previewController->awakeFromNib();
}

// The bar, deleted before its delegate, must not report to it meanwhile.
PreviewWindowController::~PreviewWindowController() {
    m_controlBar->setDelegate(nullptr);
}

void PreviewWindowController::runModal() {
    setWindowModality(Qt::ApplicationModal);
    m_inModalSession = true;
    show();
}

void PreviewWindowController::stopModal() {
    if (m_inModalSession) {
        m_inModalSession = false;
        emit modalSessionEnded();
    }
}

void PreviewWindowController::closeEvent(QCloseEvent* event) {
    m_previewController->windowWillClose();
    QDialog::closeEvent(event);
}

} // namespace lento
