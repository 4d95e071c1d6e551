#pragma once

#include "edit/SectionObject.h"

#include <QDialog>

class QPushButton;

namespace lento {

class PlayerView;
class PreviewController;
class VideoControlBar;

// The preview window, for the full section of the edit it is given: a player view under which
// the editors' control bar plays, pauses and seeks the preview, with an export and a close
// control. It runs in a modal session of the application, which its closing ends.
class PreviewWindowController : public QDialog {
    Q_OBJECT
public:
    explicit PreviewWindowController(SectionsStorage edit = {}, QWidget* parent = nullptr);
    ~PreviewWindowController() override;

    PreviewController* previewController() const { return m_previewController; }
    PlayerView* playerView() const { return m_playerView; }
    // Its trim handles are hidden: the preview plays the whole movie.
    VideoControlBar* controlBar() const { return m_controlBar; }
    QPushButton* exportButton() const { return m_exportButton; }
    QPushButton* closeButton() const { return m_closeButton; }

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
    VideoControlBar* m_controlBar = nullptr;
    QPushButton* m_exportButton = nullptr;
    QPushButton* m_closeButton = nullptr;
    PreviewController* m_previewController = nullptr; // a child
    bool m_inModalSession = false;
};

} // namespace lento
