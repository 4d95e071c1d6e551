#pragma once

#include "sections/SectionObject.h"

#include <QDialog>

class QProgressBar;
class QPushButton;

namespace lento {

class PlayerView;
class PreviewController;

// The preview window: a player view with an export and a close control, for the full section of
// the edit it is given. It runs in a modal session of the application, which its closing ends.
class PreviewWindowController : public QDialog {
    Q_OBJECT
public:
    explicit PreviewWindowController(SectionsStorage edit = {}, QWidget* parent = nullptr);
    ~PreviewWindowController() override;

    PreviewController* previewController() const { return m_previewController; }
    PlayerView* playerView() const { return m_playerView; }
    QPushButton* exportButton() const { return m_exportButton; }
    QPushButton* closeButton() const { return m_closeButton; }
    // Shown while a smooth preview is being made.
    QProgressBar* progressBar() const { return m_progressBar; }

    // Shows the window in a modal session of the application.
    void runModal();
    bool isInModalSession() const { return m_inModalSession; }

signals:
    void modalSessionEnded();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    friend class PreviewController;
    void stopModal();

    PlayerView* m_playerView = nullptr;
    QPushButton* m_exportButton = nullptr;
    QPushButton* m_closeButton = nullptr;
    QProgressBar* m_progressBar = nullptr;
    PreviewController* m_previewController = nullptr; // a child
    bool m_inModalSession = false;
};

} // namespace lento
