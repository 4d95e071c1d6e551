#include "export/ExportProgressWindowController.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace lento {

namespace {
constexpr int kProgressSteps = 1000;
}

ExportProgressWindowController::ExportProgressWindowController(QWidget* parent) {
    m_window = new QDialog(parent);
    m_window->setObjectName(QStringLiteral("ExportProgress"));
    m_window->setWindowTitle(tr("Exporting"));
    m_window->setWindowModality(Qt::WindowModal);
    // Closing the sheet is the exporter's business, once the export has ended.
    m_window->setWindowFlag(Qt::WindowCloseButtonHint, false);
    auto* label = new QLabel(tr("Exporting the movie…"), m_window);
    m_progressBar = new QProgressBar(m_window);
    m_progressBar->setMinimumWidth(320);
    m_progressBar->setRange(0, 0); // indeterminate until something is written
    m_cancelButton = new QPushButton(tr("Cancel"), m_window);
    auto* buttons = new QHBoxLayout();
    buttons->addStretch(1);
    buttons->addWidget(m_cancelButton);
    auto* layout = new QVBoxLayout(m_window);
    layout->addWidget(label);
    layout->addWidget(m_progressBar);
    layout->addLayout(buttons);
    connect(m_cancelButton, &QPushButton::clicked, this,
            &ExportProgressWindowController::cancelExport);
    connect(this, &ExportProgressWindowController::progressChanged, m_progressBar,
            [this](float value) {
                if (isIndeterminate()) {
                    m_progressBar->setRange(0, 0);
                } else {
                    m_progressBar->setRange(0, kProgressSteps);
                    m_progressBar->setValue(static_cast<int>(value * kProgressSteps));
                }
            });
}

ExportProgressWindowController::~ExportProgressWindowController() {
    stopTimer();
    if (m_window) {
        m_window->hide();
        m_window->deleteLater();
    }
}

void ExportProgressWindowController::setExportSession(std::shared_ptr<ExportSession> session) {
    m_exportSession = std::move(session);
    stopTimer();
    m_updateTimer = new QTimer(this);
    m_updateTimer->setInterval(100);
    connect(m_updateTimer, &QTimer::timeout, this, &ExportProgressWindowController::updateProgress);
    m_updateTimer->start();
}

void ExportProgressWindowController::updateProgress() {
    if (m_exportSession) {
        setProgress(m_exportSession->progress());
    }
}

void ExportProgressWindowController::setProgress(float progress) {
    m_progress = progress;
    emit progressChanged(progress);
}

void ExportProgressWindowController::cancelExport() {
    if (delegateResponds(m_delegate, "exportProgressWindowControllerDidCancel:")) {
        m_delegate->exportProgressWindowControllerDidCancel(this);
    }
    stopTimer();
}

void ExportProgressWindowController::stopTimer() {
    if (m_updateTimer != nullptr) {
        m_updateTimer->stop();
        m_updateTimer->deleteLater();
        m_updateTimer = nullptr;
    }
}

void ExportProgressWindowController::beginSheet() {
    if (m_window) {
        m_window->open();
    }
}

void ExportProgressWindowController::endSheet() {
    if (m_window) {
        m_window->hide();
    }
}

} // namespace lento
