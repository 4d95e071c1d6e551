#pragma once

#include "base/DelegateProtocol.h"
#include "media/ExportSession.h"

#include <QObject>
#include <QPointer>

#include <memory>

class QDialog;
class QProgressBar;
class QPushButton;
class QTimer;
class QWidget;

namespace lento {

class ExportProgressWindowController;

class ExportProgressWindowControllerDelegate : public DelegateProtocol {
public:
    virtual void exportProgressWindowControllerDidCancel(ExportProgressWindowController*) {}
};

// The sheet that covers a window while an export runs: follows the session's progress ten
// times a second and turns its cancel button into a report to the delegate.
class ExportProgressWindowController : public QObject {
    Q_OBJECT
public:
    // The "ExportProgress" window, made for `parent` (the window it covers).
    explicit ExportProgressWindowController(QWidget* parent = nullptr);
    ~ExportProgressWindowController() override;

    // Stores the session and starts the poll.
    void setExportSession(std::shared_ptr<ExportSession> session);
    const std::shared_ptr<ExportSession>& exportSession() const { return m_exportSession; }

    // Not owned: the exporter that owns this controller.
    void setDelegate(ExportProgressWindowControllerDelegate* delegate) { m_delegate = delegate; }
    ExportProgressWindowControllerDelegate* delegate() const { return m_delegate; }

    float progress() const { return m_progress; }
    void setProgress(float progress);
    // True exactly while nothing has been written.
    bool isIndeterminate() const { return m_progress == 0.0f; }

    QDialog* window() const { return m_window; }
    QProgressBar* progressBar() const { return m_progressBar; }
    QPushButton* cancelButton() const { return m_cancelButton; }
    QTimer* updateTimer() const { return m_updateTimer; }

    // Shows the window as a sheet on its parent, and takes it away.
    void beginSheet();
    void endSheet();

public slots:
    void updateProgress();
    void cancelExport();

signals:
    void progressChanged(float progress);

private:
    void stopTimer();

    std::shared_ptr<ExportSession> m_exportSession;
    QTimer* m_updateTimer = nullptr; // a child, or none
    float m_progress = 0.0f;
    ExportProgressWindowControllerDelegate* m_delegate = nullptr;
    QPointer<QDialog> m_window;
    QProgressBar* m_progressBar = nullptr;
    QPushButton* m_cancelButton = nullptr;
};

} // namespace lento
