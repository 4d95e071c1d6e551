#pragma once

#include "export/ExportFlow.h"

#include <QObject>
#include <QPointer>

namespace lento {

class PlayerView;
class PreviewWindowController;

// Plays the movie the shared section store names, at its slow-down factor and with or without
// its sound, and exports it stretched.
class PreviewController : public QObject, public ExportProgressWindowControllerDelegate {
    Q_OBJECT
public:
    PreviewController(PreviewWindowController* window, PlayerView* playerView);

    // Start-up: plays the store's full section, if there is one.
    void awakeFromNib();
    // The window is closing: the modal session ends.
    void windowWillClose();

    bool respondsToSelector(std::string_view selector) const override {
        return selector == "exportProgressWindowControllerDidCancel:";
    }
    void exportProgressWindowControllerDidCancel(ExportProgressWindowController*) override;

    PlayerView* m_PreviewPlayer() const { return m_previewPlayer; }
    SavePanel* savePanel() const { return m_exportFlow->savePanel(); }
    ExportSession* exportSession() const { return m_exportFlow->exportSession(); }
    ExportProgressWindowController* exportProgressWindowController() const {
        return m_exportFlow->exportProgressWindowController();
    }
    ExportFlow* exportFlow() const { return m_exportFlow; }

public slots:
    void closeDialog();
    void actionExport();

private:
    QPointer<PreviewWindowController> m_window;
    PlayerView* m_previewPlayer = nullptr; // in the window
    ExportFlow* m_exportFlow = nullptr;    // a child
};

} // namespace lento
